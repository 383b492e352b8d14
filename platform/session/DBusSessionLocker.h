// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/notify/DesktopNotifier.h"
#include "platform/session/SessionLocker.h"

#include <QDBusPendingCall>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <vector>

namespace wl {

// Locks through logind's Session.Lock on our own session and starts the screen saver through
// the desktop's ScreenSaver interfaces, then checks that it happened. Session.Lock only asks the
// desktop to lock, and a ScreenSaver may answer NotSupported: a lock nobody confirms within
// confirmDelayMs is retried through the next way, and when no way confirms, one line says so
// and, with a notifier set, a desktop notification tells the user.
// Only a change after the request confirms: a way's state read as off before the first request
// went out and as on afterwards, or that way's signal saying it turned on. A LockedHint left
// true by a locker that died while locked confirms nothing.
// The first request goes out on the calling thread before the call returns; the checks and the
// fallbacks run on the thread that owns this object (the main thread) and never block it.
class DBusSessionLocker : public QObject, public SessionLocker
{
    Q_OBJECT
public:
    struct Options
    {
        int confirmDelayMs = 1000;
        int callTimeoutMs = 2000;
    };

    explicit DBusSessionLocker(QObject* parent = nullptr);
    explicit DBusSessionLocker(Options options, QObject* parent = nullptr);
    ~DBusSessionLocker() override;

    void lockScreenImmediate() override;
    void startScreenSaver() override;

    // Told when a request ends unconfirmed; none by default. Not owned: it must outlive this
    // locker.
    void setNotifier(DesktopNotifier* notifier);
    void setOutcomeHandler(OutcomeHandler handler) override;

    // The logind session object Session.Lock goes to; empty until resolved.
    QString sessionPath() const;

    struct Attempt
    {
        QString description;
        std::function<QDBusPendingCall()> send;
        // Replies a boolean, true when done; startService false leaves a service that is not
        // running unstarted.
        std::function<QDBusPendingCall(bool startService)> confirm;
        // How many signals saying "now locked" (or "now active") this way has sent so far.
        std::function<quint64()> turnedOnSignals;
    };
    // One way's state when the request began.
    struct Baseline
    {
        QDBusPendingCall read; // its confirm(false), sent before the first request
        quint64 turnedOnSignals = 0;
    };

Q_SIGNALS:
    void sessionResolved(const QString& path);
    // On the owning thread when a request has ended.
    void requestFinished(bool lockRequest, bool confirmed, const QString& detail);

private Q_SLOTS:
    void sessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                  const QStringList& invalidated);
    void freedesktopSaverActiveChanged(bool active);
    void gnomeSaverActiveChanged(bool active);

private:
    QMetaObject::Connection m_outcomeConnection;
    enum class Kind
    {
        Lock,
        ScreenSaver
    };
    void resolveSession();
    void resolveByPid();
    void setSessionPath(const QString& path);
    void request(Kind kind);
    void runFrom(Kind kind, std::vector<Attempt> attempts, std::vector<Baseline> baselines,
                 QDBusPendingCall firstCall);
    void reportUnconfirmed(bool lockRequest, const QString& tried);
    std::vector<Attempt> lockAttempts(const QString& sessionPath) const;
    std::vector<Attempt> screenSaverAttempts() const;
    std::vector<Attempt> screenSaverLocks() const;
    void subscribeToScreenSavers();
    std::function<quint64()> saverSignals(const QString& service) const;

    const Options m_options;
    mutable QMutex m_mutex;
    QString m_sessionPath;
    std::vector<Kind> m_waitingForSession;
    DesktopNotifier* m_notifier = nullptr;
    // Counted on the owning thread, read from any thread a request starts on.
    std::atomic<quint64> m_sessionLockedSignals{0};
    std::atomic<quint64> m_freedesktopSaverSignals{0};
    std::atomic<quint64> m_gnomeSaverSignals{0};
};

} // namespace wl
