#include "app/AppDelegate.h"

#include "app/Settings.h"
#include "app/SettingsKeys.h"
#include "platform/session/SessionLocker.h"

namespace wl {

AppDelegate::AppDelegate(Settings& settings, SessionLocker& locker, QObject* parent)
    : QObject(parent), m_settings(settings), m_locker(locker)
{
}

void AppDelegate::watchedDeviceRemoved()
{
    lockIt();
}

void AppDelegate::lockIt()
{
    if (!m_settings.boolForKey(keys::UseScreenSaver))
        m_locker.lockScreenImmediate();
    else
        m_locker.startScreenSaver();
}

} // namespace wl
