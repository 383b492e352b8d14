// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/WLDropDownButton.h"

#include <QKeyEvent>

#include <algorithm>

namespace wl {

WLDropDownButton::WLDropDownButton(QWidget* parent) : WLDropDownButton(QString(), parent) {}

WLDropDownButton::WLDropDownButton(const QString& text, QWidget* parent) : QPushButton(text, parent)
{
    // Counts the clicks the base handling makes; connected first, it only counts.
    connect(this, &QAbstractButton::clicked, this, [this] { ++m_clicks; });
}

WLDropDownButton::~WLDropDownButton() = default;

void WLDropDownButton::awakeFromNib()
{
    if (m_buttonMenu)
        setUsesMenu(true);
}

void WLDropDownButton::setUsesMenu(bool usesMenu)
{
    if (usesMenu && !m_popUpCell) {
        m_popUpCell = std::make_unique<PullDownCell>();
        m_popUpCell->setPreferredEdge(Qt::BottomEdge);
    } else if (!usesMenu && m_popUpCell) {
        // Safe while the list is open: the cell does not touch itself once the list closes.
        m_popUpCell.reset();
    }
}

void WLDropDownButton::runPopUp()
{
    if (!m_popUpCell || !m_buttonMenu)
        return;
    const std::unique_ptr<QMenu> copy = copyMenu(*m_buttonMenu);
    // An empty list would still take the next click, wherever it lands.
    const QList<QAction*> items = copy->actions();
    if (std::none_of(items.begin(), items.end(),
                     [](const QAction* a) { return a->isVisible() && !a->isSeparator(); }))
        return;
    m_popUpCell->setMenu(copy.get());
    QPointer<WLDropDownButton> self(this);
    m_popUpCell->performClickWithFrame(rect(), this);
    if (self)
        update(); // the pressed look goes, with or without a choice
}

bool WLDropDownButton::event(QEvent* event)
{
    const quint64 before = m_clicks;
    const bool handled = QPushButton::event(event);
    if (m_clicks != before && usesMenu())
        runPopUp();
    return handled;
}

void WLDropDownButton::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    // With autoDefault, or as the default button, the base class clicks on Return itself.
    if (enter && usesMenu() && !autoDefault() && !isDefault()) {
        if (!event->isAutoRepeat())
            click();
        event->accept();
        return;
    }
    QPushButton::keyPressEvent(event);
}

} // namespace wl
