// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/notify/DesktopNotifier.h"

#include <QObject>
#include <QString>

namespace wl {

// org.freedesktop.Notifications on the session bus. A notification stays until the user
// dismisses it, so one raised while the user is away is still there when they come back; a newer
// one replaces the one before instead of piling up. The call is asynchronous with a short
// timeout: a missing or hung notification daemon costs one log line, never a wait.
class DBusDesktopNotifier : public QObject, public DesktopNotifier
{
    Q_OBJECT
public:
    static constexpr int kDefaultTimeoutMs = 2000;

    explicit DBusDesktopNotifier(QObject* parent = nullptr);
    explicit DBusDesktopNotifier(int callTimeoutMs, QObject* parent = nullptr);
    ~DBusDesktopNotifier() override;

    void notify(const QString& title, const QString& body) override;

Q_SIGNALS:
    // On the owning thread once the daemon has answered: the notification's id.
    void shown(uint id);
    // On the owning thread when the daemon refused, was missing or did not answer in time.
    void failed(const QString& error);

private:
    void send(const QString& title, const QString& body);

    const int m_callTimeoutMs;
    uint m_lastId = 0; // owning thread only
};

} // namespace wl
