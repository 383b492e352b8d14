#pragma once

#include "devices/WLDeviceListProtocol.h"

#include <QObject>

namespace wl {

class Settings;
class SessionLocker;

// The application controller: the watcher delegate that turns the loss of the key device, or
// the lock shortcut, into the lock action.
class AppDelegate : public QObject, public WLDeviceListDelegate
{
    Q_OBJECT
public:
    AppDelegate(Settings& settings, SessionLocker& locker, QObject* parent = nullptr);

    // WLDeviceListDelegate; may run on the audio thread.
    void watchedDeviceRemoved() override;

    // Locks the session or starts the screen saver, by "UseScreenSaver" read now.
    void lockIt();

private:
    Settings& m_settings;
    SessionLocker& m_locker;
};

} // namespace wl
