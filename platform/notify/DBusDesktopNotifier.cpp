// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/notify/DBusDesktopNotifier.h"

#include "platform/log/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

namespace wl {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// Our menu entry and icon, so the desktop shows and files the notification as ours.
const QString kAppId = QStringLiteral("org.wardlatch.Wardlatch");
constexpr uchar kUrgencyCritical = 2;
constexpr int kNeverExpires = 0;
} // namespace

DBusDesktopNotifier::DBusDesktopNotifier(QObject* parent)
    : DBusDesktopNotifier(kDefaultTimeoutMs, parent)
{
}

DBusDesktopNotifier::DBusDesktopNotifier(int callTimeoutMs, QObject* parent)
    : QObject(parent), m_callTimeoutMs(callTimeoutMs)
{
}

DBusDesktopNotifier::~DBusDesktopNotifier() = default;

void DBusDesktopNotifier::notify(const QString& title, const QString& body)
{
    if (QThread::currentThread() == thread()) {
        send(title, body);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, title, body] { send(title, body); }, Qt::QueuedConnection);
}

void DBusDesktopNotifier::send(const QString& title, const QString& body)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("urgency"), QVariant::fromValue(kUrgencyCritical)},
        {QStringLiteral("desktop-entry"), kAppId},
    };
    call << QStringLiteral("Wardlatch") << m_lastId << kAppId << title << body << QStringList{}
         << hints << kNeverExpires;
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(call, m_callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        QDBusPendingReply<uint> reply = *watcher;
        if (reply.isValid()) {
            m_lastId = reply.value();
            Q_EMIT shown(m_lastId);
            return;
        }
        const QString error = reply.error().message();
        log(QStringLiteral("Could not show a desktop notification: %1").arg(error),
            LogCategory::Tray);
        Q_EMIT failed(error);
    });
}

} // namespace wl
