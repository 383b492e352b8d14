// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QComboBox>

namespace wl {

// The device pop-up. The key device changes only by a choice from the opened list: on the closed
// pop-up the wheel, the arrow keys and type-ahead do nothing, since a stray key press or scroll
// would otherwise move the guard off the device the user carries without the list being seen.
// Space, F4 and Alt+Down still open the list. A click on an item that cannot be chosen does
// nothing, where the list would otherwise choose the item last hovered or stepped to.
class WLDevicePopUp : public QComboBox
{
    Q_OBJECT
public:
    explicit WLDevicePopUp(QWidget* parent = nullptr);

    bool eventFilter(QObject* watched, QEvent* event) override;

protected:
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
};

} // namespace wl
