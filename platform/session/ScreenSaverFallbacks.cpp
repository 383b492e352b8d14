// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's screen savers: the fallbacks of a lock, and the only way to start the screen
// saver.
#include "platform/session/DBusSessionLocker.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace wl {

namespace {

struct ScreenSaverService
{
    QString service;
    QString path;
};
const ScreenSaverService kFreedesktopSaver{QStringLiteral("org.freedesktop.ScreenSaver"),
                                           QStringLiteral("/org/freedesktop/ScreenSaver")};
const ScreenSaverService kGnomeSaver{QStringLiteral("org.gnome.ScreenSaver"),
                                     QStringLiteral("/org/gnome/ScreenSaver")};

// The screen saver's GetActive.
std::function<QDBusPendingCall(bool)> saverActive(const ScreenSaverService& saver, int timeout)
{
    return [saver, timeout](bool startService) {
        QDBusMessage get = QDBusMessage::createMethodCall(saver.service, saver.path, saver.service,
                                                          QStringLiteral("GetActive"));
        get.setAutoStartService(startService);
        return QDBusConnection::sessionBus().asyncCall(get, timeout);
    };
}

} // namespace

void DBusSessionLocker::subscribeToScreenSavers()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kFreedesktopSaver.service, kFreedesktopSaver.path, kFreedesktopSaver.service,
                QStringLiteral("ActiveChanged"), this, SLOT(freedesktopSaverActiveChanged(bool)));
    bus.connect(kGnomeSaver.service, kGnomeSaver.path, kGnomeSaver.service,
                QStringLiteral("ActiveChanged"), this, SLOT(gnomeSaverActiveChanged(bool)));
}

void DBusSessionLocker::freedesktopSaverActiveChanged(bool active)
{
    if (active)
        ++m_freedesktopSaverSignals;
}

void DBusSessionLocker::gnomeSaverActiveChanged(bool active)
{
    if (active)
        ++m_gnomeSaverSignals;
}

std::function<quint64()> DBusSessionLocker::saverSignals(const QString& service) const
{
    const std::atomic<quint64>* count =
        service == kGnomeSaver.service ? &m_gnomeSaverSignals : &m_freedesktopSaverSignals;
    return [count] { return count->load(); };
}

std::vector<DBusSessionLocker::Attempt> DBusSessionLocker::screenSaverLocks() const
{
    const int timeout = m_options.callTimeoutMs;
    auto lock = [this, timeout](const ScreenSaverService& saver) {
        return Attempt{saver.service + QStringLiteral(".Lock"),
                       [saver, timeout] {
                           return QDBusConnection::sessionBus().asyncCall(
                               QDBusMessage::createMethodCall(saver.service, saver.path,
                                                              saver.service,
                                                              QStringLiteral("Lock")),
                               timeout);
                       },
                       saverActive(saver, timeout), saverSignals(saver.service)};
    };
    return {lock(kFreedesktopSaver), lock(kGnomeSaver)};
}

std::vector<DBusSessionLocker::Attempt> DBusSessionLocker::screenSaverAttempts() const
{
    const int timeout = m_options.callTimeoutMs;
    auto setActive = [this, timeout](const ScreenSaverService& saver) {
        return Attempt{saver.service + QStringLiteral(".SetActive"),
                       [saver, timeout] {
                           QDBusMessage call = QDBusMessage::createMethodCall(
                               saver.service, saver.path, saver.service,
                               QStringLiteral("SetActive"));
                           call << true;
                           return QDBusConnection::sessionBus().asyncCall(call, timeout);
                       },
                       saverActive(saver, timeout), saverSignals(saver.service)};
    };
    return {setActive(kFreedesktopSaver), setActive(kGnomeSaver)};
}

} // namespace wl
