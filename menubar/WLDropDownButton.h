// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "menubar/PullDownCell.h"

#include <QMenu>
#include <QPointer>
#include <QPushButton>

#include <memory>

namespace wl {

// A push button that drops its own menu down from itself as a pull-down list. The menu is the
// button's own (buttonMenu, set by whoever loads the interface; the panel owns it), never changed
// here: each opening lists a fresh copy of its current items. QPushButton::setMenu is not used:
// its pop-up behaves differently.
class WLDropDownButton : public QPushButton
{
    Q_OBJECT
public:
    explicit WLDropDownButton(QWidget* parent = nullptr);
    explicit WLDropDownButton(const QString& text, QWidget* parent = nullptr);
    ~WLDropDownButton() override;

    void setButtonMenu(QMenu* menu) { m_buttonMenu = menu; }
    QMenu* buttonMenu() const { return m_buttonMenu; }

    // Called once the interface is loaded: a button with a menu turns the pull-down on.
    void awakeFromNib();

    void setUsesMenu(bool usesMenu);
    bool usesMenu() const { return m_popUpCell != nullptr; }
    PullDownCell* popUpCell() const { return m_popUpCell.get(); }

    // Shows a copy of the button's menu below the button and returns when it has closed.
    void runPopUp();

protected:
    // The click handling: the button's own click (its clicked signal and whatever that runs)
    // completes first, then the list drops down.
    bool event(QEvent* event) override;
    // Return and Enter activate the button like Space, so the keyboard can open the list.
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPointer<QMenu> m_buttonMenu;
    std::unique_ptr<PullDownCell> m_popUpCell;
    quint64 m_clicks = 0;
};

} // namespace wl
