#include "menubar/WLDevicePopUp.h"

#include <QKeyEvent>
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

WLDevicePopUp::WLDevicePopUp(QWidget* parent) : QComboBox(parent) {}

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
