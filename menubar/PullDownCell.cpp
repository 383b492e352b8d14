// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/PullDownCell.h"

#include <QAction>
#include <QScreen>
#include <QWidget>

namespace wl {

namespace {

void copyItems(const QMenu& from, QMenu& to)
{
    for (QAction* original : from.actions()) {
        QAction* copy = nullptr;
        if (original->isSeparator()) {
            copy = to.addSeparator();
        } else if (const QMenu* submenu = original->menu()) {
            QMenu* subCopy = to.addMenu(original->icon(), original->text());
            copyItems(*submenu, *subCopy);
            copy = subCopy->menuAction();
        } else {
            copy = to.addAction(original->icon(), original->text());
            copy->setCheckable(original->isCheckable());
            copy->setChecked(original->isChecked());
            copy->setShortcut(original->shortcut());
            QObject::connect(copy, &QAction::triggered, original,
                             [original] { original->trigger(); });
        }
        copy->setToolTip(original->toolTip());
        copy->setFont(original->font());
        copy->setIconVisibleInMenu(original->isIconVisibleInMenu());
        copy->setEnabled(original->isEnabled());
        copy->setVisible(original->isVisible());
    }
}

} // namespace

std::unique_ptr<QMenu> copyMenu(const QMenu& menu)
{
    auto copy = std::make_unique<QMenu>(menu.title());
    copyItems(menu, *copy);
    return copy;
}

QPoint PullDownCell::popUpPosition(const QRect& globalFrame, const QSize& menuSize,
                                   const QRect& screen, Qt::Edge preferredEdge)
{
    // Each edge: where the list goes, and whether it fits there.
    const QPoint below(globalFrame.left(), globalFrame.bottom() + 1);
    const QPoint above(globalFrame.left(), globalFrame.top() - menuSize.height());
    const QPoint right(globalFrame.right() + 1, globalFrame.top());
    const QPoint left(globalFrame.left() - menuSize.width(), globalFrame.top());
    const auto fits = [&](const QPoint& at) {
        return screen.isEmpty() || screen.contains(QRect(at, menuSize));
    };
    const auto either = [&](const QPoint& preferred, const QPoint& opposite) {
        return fits(preferred) || !fits(opposite) ? preferred : opposite;
    };
    switch (preferredEdge) {
    case Qt::TopEdge:
        return either(above, below);
    case Qt::LeftEdge:
        return either(left, right);
    case Qt::RightEdge:
        return either(right, left);
    case Qt::BottomEdge:
        break;
    }
    return either(below, above);
}

void PullDownCell::performClickWithFrame(const QRect& frame, QWidget* view)
{
    QMenu* menu = m_menu;
    if (!menu || !view)
        return;
    // A pull-down list is at least as wide as what it drops from.
    menu->setMinimumWidth(frame.width());
    const QRect globalFrame(view->mapToGlobal(frame.topLeft()), frame.size());
    const QScreen* screen = view->screen();
    const QPoint at =
        popUpPosition(globalFrame, menu->sizeHint(), screen ? screen->availableGeometry() : QRect(),
                      m_preferredEdge);
    // Nothing of this cell is touched after the list closes: it may be gone by then.
    menu->exec(at);
}

} // namespace wl
