#include "platform/session/DBusSessionLocker.h"

#include "app/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <unistd.h>

namespace wl {

namespace {
const QString kLogin1 = QStringLiteral("org.freedesktop.login1");
const QString kLogin1Path = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSession = QStringLiteral("org.freedesktop.login1.Session");
const QString kAutoSession = QStringLiteral("/org/freedesktop/login1/session/auto");

struct ScreenSaverService
{
    QString service;
    QString path;
};
const ScreenSaverService kFreedesktopSaver{QStringLiteral("org.freedesktop.ScreenSaver"),
                                           QStringLiteral("/org/freedesktop/ScreenSaver")};
const ScreenSaverService kGnomeSaver{QStringLiteral("org.gnome.ScreenSaver"),
                                     QStringLiteral("/org/gnome/ScreenSaver")};

bool replyIsTrue(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    QVariant value = reply.arguments().constFirst();
    if (value.canConvert<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value.typeId() == QMetaType::Bool && value.toBool();
}

// Runs one request's attempts in turn on the locker's thread, then deletes itself.
class RequestRun : public QObject
{
public:
    RequestRun(QObject* parent, std::vector<DBusSessionLocker::Attempt> attempts,
               int confirmDelayMs, std::function<void(bool, const QString&)> done)
        : QObject(parent), m_attempts(std::move(attempts)), m_confirmDelayMs(confirmDelayMs),
          m_done(std::move(done))
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
        auto* watcher = new QDBusPendingCallWatcher(m_attempts[m_index].confirm(), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
            watcher->deleteLater();
            if (replyIsTrue(watcher->reply())) {
                finish(true, m_attempts[m_index].description);
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
    const int m_confirmDelayMs;
    std::function<void(bool, const QString&)> m_done;
    size_t m_index = 0;
};
} // namespace

DBusSessionLocker::DBusSessionLocker(QObject* parent) : DBusSessionLocker(Options{}, parent) {}

DBusSessionLocker::DBusSessionLocker(Options options, QObject* parent)
    : QObject(parent), m_options(options)
{
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
    // The first request leaves now, from this thread; the rest is the owning thread's work.
    QDBusPendingCall first = attempts.front().send();
    if (QThread::currentThread() == thread()) {
        runFrom(kind, std::move(attempts), std::move(first));
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, kind, attempts = std::move(attempts), first]() mutable {
            runFrom(kind, std::move(attempts), first);
        },
        Qt::QueuedConnection);
}

void DBusSessionLocker::runFrom(Kind kind, std::vector<Attempt> attempts, QDBusPendingCall first)
{
    const bool lockRequest = kind == Kind::Lock;
    auto* run = new RequestRun(this, std::move(attempts), m_options.confirmDelayMs,
                               [this, lockRequest](bool confirmed, const QString& detail) {
                                   if (!confirmed)
                                       reportUnconfirmed(lockRequest, detail);
                                   Q_EMIT requestFinished(lockRequest, confirmed, detail);
                               });
    run->start(std::move(first));
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
                  .arg(tried));
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
        notifier->notify(QStringLiteral("Wardlatch could not lock your session"),
                         QStringLiteral("Your key device went away or the lock shortcut was "
                                        "pressed, but no screen locker confirmed the lock. "
                                        "Tried: %1. A screen locker must be running in this "
                                        "session (the desktop's own, or xss-lock with a locker "
                                        "on a window manager).")
                             .arg(tried));
    } else {
        notifier->notify(QStringLiteral("Wardlatch could not start the screen saver"),
                         QStringLiteral("Your key device went away or the lock shortcut was "
                                        "pressed, but no screen saver confirmed that it started. "
                                        "Tried: %1. A screen locker or screen saver must be "
                                        "running in this session.")
                             .arg(tried));
    }
}

std::vector<DBusSessionLocker::Attempt>
DBusSessionLocker::lockAttempts(const QString& sessionPath) const
{
    const int timeout = m_options.callTimeoutMs;
    auto saverLock = [timeout](const ScreenSaverService& saver) {
        return Attempt{
            saver.service + QStringLiteral(".Lock"),
            [saver, timeout] {
                return QDBusConnection::sessionBus().asyncCall(
                    QDBusMessage::createMethodCall(saver.service, saver.path, saver.service,
                                                   QStringLiteral("Lock")),
                    timeout);
            },
            [saver, timeout] {
                return QDBusConnection::sessionBus().asyncCall(
                    QDBusMessage::createMethodCall(saver.service, saver.path, saver.service,
                                                   QStringLiteral("GetActive")),
                    timeout);
            }};
    };
    return {
        Attempt{QStringLiteral("logind Session.Lock"),
                [sessionPath, timeout] {
                    return QDBusConnection::systemBus().asyncCall(
                        QDBusMessage::createMethodCall(kLogin1, sessionPath, kSession,
                                                       QStringLiteral("Lock")),
                        timeout);
                },
                [sessionPath, timeout] {
                    QDBusMessage get = QDBusMessage::createMethodCall(
                        kLogin1, sessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                        QStringLiteral("Get"));
                    get << kSession << QStringLiteral("LockedHint");
                    return QDBusConnection::systemBus().asyncCall(get, timeout);
                }},
        saverLock(kFreedesktopSaver),
        saverLock(kGnomeSaver),
    };
}

std::vector<DBusSessionLocker::Attempt> DBusSessionLocker::screenSaverAttempts() const
{
    const int timeout = m_options.callTimeoutMs;
    auto setActive = [timeout](const ScreenSaverService& saver) {
        return Attempt{
            saver.service + QStringLiteral(".SetActive"),
            [saver, timeout] {
                QDBusMessage call = QDBusMessage::createMethodCall(
                    saver.service, saver.path, saver.service, QStringLiteral("SetActive"));
                call << true;
                return QDBusConnection::sessionBus().asyncCall(call, timeout);
            },
            [saver, timeout] {
                return QDBusConnection::sessionBus().asyncCall(
                    QDBusMessage::createMethodCall(saver.service, saver.path, saver.service,
                                                   QStringLiteral("GetActive")),
                    timeout);
            }};
    };
    return {setActive(kFreedesktopSaver), setActive(kGnomeSaver)};
}

} // namespace wl
