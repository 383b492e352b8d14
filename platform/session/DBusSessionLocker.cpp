// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/session/DBusSessionLocker.h"

#include "platform/log/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <optional>

#include <unistd.h>

namespace wl {

namespace {
const QString kLogin1 = QStringLiteral("org.freedesktop.login1");
const QString kLogin1Path = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSession = QStringLiteral("org.freedesktop.login1.Session");
const QString kAutoSession = QStringLiteral("/org/freedesktop/login1/session/auto");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

// A boolean, also inside a D-Bus variant; none for anything else.
std::optional<bool> asBool(QVariant value)
{
    if (value.canConvert<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    if (value.typeId() != QMetaType::Bool)
        return std::nullopt;
    return value.toBool();
}

// The boolean a state read answered; none when it failed.
std::optional<bool> replyBool(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return asBool(reply.arguments().constFirst());
}

// The baseline read does not start a service that is not running: such a way was off.
std::optional<bool> stateBefore(const QDBusMessage& reply)
{
    if (reply.type() == QDBusMessage::ErrorMessage &&
        (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
         reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")))
        return false;
    return replyBool(reply);
}

// Runs one request's attempts in turn on the locker's thread, then deletes itself.
class RequestRun : public QObject
{
public:
    RequestRun(QObject* parent, std::vector<DBusSessionLocker::Attempt> attempts,
               std::vector<DBusSessionLocker::Baseline> baselines, int confirmDelayMs,
               std::function<void(bool, const QString&)> done)
        : QObject(parent), m_attempts(std::move(attempts)), m_baselines(std::move(baselines)),
          m_confirmDelayMs(confirmDelayMs), m_done(std::move(done))
    {
    }

    void start(QDBusPendingCall firstCall) { awaitSent(std::move(firstCall)); }

private:
    void awaitSent(QDBusPendingCall call)
    {
        auto* watcher = new QDBusPendingCallWatcher(call, this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
            watcher->deleteLater();
            if (watcher->isError()) {
                next();
                return;
            }
            QTimer::singleShot(m_confirmDelayMs, this, [this] { confirm(); });
        });
    }

    void confirm()
    {
        auto* watcher = new QDBusPendingCallWatcher(m_attempts[m_index].confirm(true), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
            watcher->deleteLater();
            decide(replyBool(watcher->reply()));
        });
    }

    // The baseline read went out before any request, so it is normally answered long since and
    // its watcher reports at once.
    void decide(std::optional<bool> after)
    {
        auto* watcher = new QDBusPendingCallWatcher(m_baselines[m_index].read, this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, after] {
            watcher->deleteLater();
            const auto& attempt = m_attempts[m_index];
            const std::optional<bool> before = stateBefore(watcher->reply());
            // A state that was on already proves nothing (a locker that died while locked
            // leaves LockedHint true), and neither does one we could not read: then only the
            // signal counts, which logind and the screen savers send as the state turns on.
            const bool turnedOn = before.has_value() && !*before && after.value_or(false);
            const bool announced = attempt.turnedOnSignals() > m_baselines[m_index].turnedOnSignals;
            if (turnedOn || announced) {
                finish(true, attempt.description);
                return;
            }
            next();
        });
    }

    void next()
    {
        if (++m_index >= m_attempts.size()) {
            QStringList tried;
            for (const auto& attempt : m_attempts)
                tried << attempt.description;
            finish(false, tried.join(QStringLiteral(", ")));
            return;
        }
        awaitSent(m_attempts[m_index].send());
    }

    void finish(bool confirmed, const QString& detail)
    {
        m_done(confirmed, detail);
        deleteLater();
    }

    std::vector<DBusSessionLocker::Attempt> m_attempts;
    const std::vector<DBusSessionLocker::Baseline> m_baselines;
    const int m_confirmDelayMs;
    std::function<void(bool, const QString&)> m_done;
    size_t m_index = 0;
};
} // namespace

DBusSessionLocker::DBusSessionLocker(QObject* parent) : DBusSessionLocker(Options{}, parent) {}

DBusSessionLocker::DBusSessionLocker(Options options, QObject* parent)
    : QObject(parent), m_options(options)
{
    // Subscribed before any request, so a screen saver's "now active" can never be missed.
    subscribeToScreenSavers();
    resolveSession();
}

DBusSessionLocker::~DBusSessionLocker() = default;

QString DBusSessionLocker::sessionPath() const
{
    QMutexLocker lock(&m_mutex);
    return m_sessionPath;
}

void DBusSessionLocker::resolveSession()
{
    const QString sessionId = qEnvironmentVariable("XDG_SESSION_ID");
    if (sessionId.isEmpty()) {
        resolveByPid();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kLogin1, kLogin1Path, kManager,
                                                       QStringLiteral("GetSession"));
    call << sessionId;
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection::systemBus().asyncCall(call, m_options.callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (reply.isValid())
            setSessionPath(reply.value().path());
        else
            resolveByPid();
    });
}

void DBusSessionLocker::resolveByPid()
{
    QDBusMessage call = QDBusMessage::createMethodCall(kLogin1, kLogin1Path, kManager,
                                                       QStringLiteral("GetSessionByPID"));
    call << quint32(::getpid());
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection::systemBus().asyncCall(call, m_options.callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        setSessionPath(reply.isValid() ? reply.value().path() : kAutoSession);
    });
}

void DBusSessionLocker::setSessionPath(const QString& path)
{
    // Listening before the first lock can go out: LockedHint may turn true before we read it.
    QDBusConnection::systemBus().connect(
        kLogin1, path, kProperties, QStringLiteral("PropertiesChanged"), {kSession}, QString(),
        this, SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
    std::vector<Kind> waiting;
    {
        QMutexLocker lock(&m_mutex);
        m_sessionPath = path;
        waiting.swap(m_waitingForSession);
    }
    Q_EMIT sessionResolved(path);
    for (Kind kind : waiting)
        request(kind);
}

void DBusSessionLocker::lockScreenImmediate()
{
    request(Kind::Lock);
}

void DBusSessionLocker::startScreenSaver()
{
    request(Kind::ScreenSaver);
}

void DBusSessionLocker::request(Kind kind)
{
    std::vector<Attempt> attempts;
    if (kind == Kind::Lock) {
        QMutexLocker lock(&m_mutex);
        if (m_sessionPath.isEmpty()) {
            // Still asking logind which session is ours: the request goes out once it answers.
            m_waitingForSession.push_back(kind);
            return;
        }
        attempts = lockAttempts(m_sessionPath);
    } else {
        attempts = screenSaverAttempts();
    }
    // Every way's state is read first: the reads leave on the same connections ahead of any
    // request, so they answer what was true before we asked. Read per fallback instead, a way
    // our own other request had just turned on would count as "already on".
    std::vector<Baseline> baselines;
    baselines.reserve(attempts.size());
    for (const Attempt& attempt : attempts)
        baselines.push_back(Baseline{attempt.confirm(false), attempt.turnedOnSignals()});
    // The first request leaves now, from this thread; the rest is the owning thread's work.
    QDBusPendingCall first = attempts.front().send();
    if (QThread::currentThread() == thread()) {
        runFrom(kind, std::move(attempts), std::move(baselines), std::move(first));
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, kind, attempts = std::move(attempts), baselines = std::move(baselines),
         first]() mutable { runFrom(kind, std::move(attempts), std::move(baselines), first); },
        Qt::QueuedConnection);
}

void DBusSessionLocker::runFrom(Kind kind, std::vector<Attempt> attempts,
                                std::vector<Baseline> baselines, QDBusPendingCall first)
{
    const bool lockRequest = kind == Kind::Lock;
    auto* run =
        new RequestRun(this, std::move(attempts), std::move(baselines), m_options.confirmDelayMs,
                       [this, lockRequest](bool confirmed, const QString& detail) {
                           if (!confirmed)
                               reportUnconfirmed(lockRequest, detail);
                           Q_EMIT requestFinished(lockRequest, confirmed, detail);
                       });
    run->start(std::move(first));
}

void DBusSessionLocker::sessionPropertiesChanged(const QString& interface,
                                                 const QVariantMap& changed, const QStringList&)
{
    if (interface == kSession &&
        asBool(changed.value(QStringLiteral("LockedHint"))).value_or(false))
        ++m_sessionLockedSignals;
}

void DBusSessionLocker::setOutcomeHandler(OutcomeHandler handler)
{
    disconnect(m_outcomeConnection);
    if (handler)
        m_outcomeConnection = connect(
            this, &DBusSessionLocker::requestFinished, this,
            [handler = std::move(handler)](bool lockRequest, bool confirmed, const QString&) {
                handler(lockRequest, confirmed);
            });
}

void DBusSessionLocker::setNotifier(DesktopNotifier* notifier)
{
    QMutexLocker lock(&m_mutex);
    m_notifier = notifier;
}

void DBusSessionLocker::reportUnconfirmed(bool lockRequest, const QString& tried)
{
    log(lockRequest
            ? QStringLiteral("Could not lock the session: nothing confirmed the lock (tried %1)")
                  .arg(tried)
            : QStringLiteral("Could not start the screen saver: nothing confirmed it (tried %1)")
                  .arg(tried),
        LogCategory::Lock);
    DesktopNotifier* notifier = nullptr;
    {
        QMutexLocker lock(&m_mutex);
        notifier = m_notifier;
    }
    if (!notifier)
        return;
    // The user reads this when they come back to an open session: say what was tried and what
    // it takes for the next lock to work.
    if (lockRequest) {
        notifier->notify(tr("Wardlatch could not lock your session"),
                         tr("Your key device went away or the lock shortcut was pressed, but no "
                            "screen locker confirmed the lock. Tried: %1. A screen locker must be "
                            "running in this session (the desktop's own, or xss-lock with a "
                            "locker on a window manager).")
                             .arg(tried));
    } else {
        notifier->notify(tr("Wardlatch could not start the screen saver"),
                         tr("Your key device went away or the lock shortcut was pressed, but no "
                            "screen saver confirmed that it started. Tried: %1. A screen locker "
                            "or screen saver must be running in this session.")
                             .arg(tried));
    }
}

std::vector<DBusSessionLocker::Attempt>
DBusSessionLocker::lockAttempts(const QString& sessionPath) const
{
    const int timeout = m_options.callTimeoutMs;
    std::vector<Attempt> attempts{
        Attempt{QStringLiteral("logind Session.Lock"),
                [sessionPath, timeout] {
                    return QDBusConnection::systemBus().asyncCall(
                        QDBusMessage::createMethodCall(kLogin1, sessionPath, kSession,
                                                       QStringLiteral("Lock")),
                        timeout);
                },
                [sessionPath, timeout](bool startService) {
                    QDBusMessage get = QDBusMessage::createMethodCall(
                        kLogin1, sessionPath, kProperties, QStringLiteral("Get"));
                    get << kSession << QStringLiteral("LockedHint");
                    get.setAutoStartService(startService);
                    return QDBusConnection::systemBus().asyncCall(get, timeout);
                },
                [this] { return m_sessionLockedSignals.load(); }},
    };
    // Session.Lock only asks the desktop to lock: its screen saver is the way left when no
    // locker answers logind.
    for (Attempt& fallback : screenSaverLocks())
        attempts.push_back(std::move(fallback));
    return attempts;
}

} // namespace wl
