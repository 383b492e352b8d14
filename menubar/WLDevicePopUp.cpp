// SPDX-License-Identifier: GPL-3.0-or-later
#include "menubar/WLDevicePopUp.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

namespace wl {

namespace {

// The keys with which QComboBox opens its list; it steps or searches on most others.
bool opensList(const QKeyEvent& event)
{
    switch (event.key()) {
    case Qt::Key_Space:
    case Qt::Key_F4:
        return true;
    case Qt::Key_Down:
        return event.modifiers().testFlag(Qt::AltModifier);
    default:
        return false;
    }
}

} // namespace

WLDevicePopUp::WLDevicePopUp(QWidget* parent) : QComboBox(parent)
{
    // The list exists from here on; filters run newest first, so this one sees a click before
    // the list's own handling does.
    view()->viewport()->installEventFilter(this);
}

bool WLDevicePopUp::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease && watched == view()->viewport()) {
        const QModelIndex under =
            view()->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint());
        if (under.isValid() && !under.flags().testFlag(Qt::ItemIsEnabled))
            return true;
    }
    return QComboBox::eventFilter(watched, event);
}

void WLDevicePopUp::wheelEvent(QWheelEvent* event)
{
    // Left to the panel, as over any other control that does not scroll.
    event->ignore();
}

void WLDevicePopUp::keyPressEvent(QKeyEvent* event)
{
    if (opensList(*event))
        QComboBox::keyPressEvent(event);
    else
        event->ignore();
}

void WLDevicePopUp::inputMethodEvent(QInputMethodEvent* event)
{
    // Committed text would be type-ahead.
    event->ignore();
}

} // namespace wl
