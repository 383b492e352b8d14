#pragma once

#include "platform/notify/DesktopNotifier.h"
#include "platform/session/SessionLocker.h"

#include <QDBusPendingCall>
#include <QMutex>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

namespace wl {

// Locks through logind's Session.Lock on our own session and starts the screen saver through
// the desktop's ScreenSaver interfaces, then checks that it happened. Session.Lock only asks the
// desktop to lock, and a ScreenSaver may answer NotSupported: a lock nobody confirms within
// confirmDelayMs is retried through the next way, and when no way confirms, one line says so
// and, with a notifier set, a desktop notification tells the user.
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

    // The logind session object Session.Lock goes to; empty until resolved.
    QString sessionPath() const;

    struct Attempt
    {
        QString description;
        std::function<QDBusPendingCall()> send;
        std::function<QDBusPendingCall()> confirm; // replies a boolean: true when done
    };

Q_SIGNALS:
    void sessionResolved(const QString& path);
    // On the owning thread when a request has ended.
    void requestFinished(bool lockRequest, bool confirmed, const QString& detail);

private:
    enum class Kind
    {
        Lock,
        ScreenSaver
    };
    void resolveSession();
    void resolveByPid();
    void setSessionPath(const QString& path);
    void request(Kind kind);
    void runFrom(Kind kind, std::vector<Attempt> attempts, QDBusPendingCall firstCall);
    void reportUnconfirmed(bool lockRequest, const QString& tried);
    std::vector<Attempt> lockAttempts(const QString& sessionPath) const;
    std::vector<Attempt> screenSaverAttempts() const;

    const Options m_options;
    mutable QMutex m_mutex;
    QString m_sessionPath;
    std::vector<Kind> m_waitingForSession;
    DesktopNotifier* m_notifier = nullptr;
};

} // namespace wl
