// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SingleInstance.h"

#include "platform/log/Log.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace wl {

namespace {
const char kShowRequest[] = "show\n";
const char kLockRequest[] = "lock\n";
const char kStatusRequest[] = "status\n";
const char kLockedReply[] = "locked\n";
const char kUnconfirmedReply[] = "unconfirmed\n";
const char kGuardingReply[] = "guarding\t";
const char kNotGuardingReply[] = "not-guarding\t";
// The answer to a client turned away because too many wait: it may try again shortly.
const char kBusyReply[] = "busy\n";
constexpr qint64 kMaxRequestLength = 64;
constexpr qint64 kMaxReplyLength = 4096;
// The locker confirms or gives up within seconds; a client is not held longer than this.
constexpr std::chrono::seconds kLockReplyLimit{30};

QString socketPathIn(const QString& folder)
{
    return folder + QStringLiteral("/instance.socket");
}

bool isPrivateFolder(const QString& folder)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(folder).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

// Whether a live process may hold the instance lock: then it answers on the socket now or
// shortly. A lock file still being written counts as held.
bool lockHolderAlive(const QString& folder)
{
    const QString path = folder + QStringLiteral("/instance.lock");
    qint64 pid = 0;
    QLockFile lock(path);
    if (!lock.getLockInfo(&pid, nullptr, nullptr) || pid <= 0)
        return QFile::exists(path);
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Sends one request to the running instance and returns its answer line, empty when it closed
// without one or said nothing within replyTimeout. None when no instance could be reached.
// holderKnown: the caller saw the lock held, so a socket not there yet is waited for.
enum class Connect
{
    Ok,
    NotThere, // no socket, or nobody listening on it
    Failed,
};

// A plain socket rather than QLocalSocket: a reply written just before the peer closes (the
// busy answer) must still be read, whatever order the two arrive in.
Connect connectTo(const QString& path, int& fd)
{
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Connect::Failed;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (name.size() >= qsizetype(sizeof address.sun_path)) {
        ::close(fd);
        return Connect::Failed;
    }
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    // An instance too busy to accept makes connect wait for room: not for long.
    const timeval limit = {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return Connect::Ok;
    const int error = errno;
    ::close(fd);
    return error == ENOENT || error == ECONNREFUSED || error == EAGAIN ? Connect::NotThere
                                                                       : Connect::Failed;
}

// Sends the request and reads until a whole line, the peer's close, or the deadline. False
// when the request could not be sent.
bool sendAndRead(int fd, const char* request, std::chrono::milliseconds replyTimeout,
                 QByteArray& answer)
{
    const size_t length = std::strlen(request);
    if (::send(fd, request, length, MSG_NOSIGNAL) != ssize_t(length))
        return false;
    const QDeadlineTimer deadline(replyTimeout);
    while (!answer.contains('\n') && answer.size() < kMaxReplyLength) {
        pollfd wait = {fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, int(std::max<qint64>(0, deadline.remainingTime())));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[512];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break; // closed: with or without a word
        answer.append(buffer, got);
    }
    const qsizetype end = answer.indexOf('\n');
    if (end >= 0)
        answer.truncate(end + 1);
    return true;
}

// Sends one request to the running instance and returns its answer line, empty when it closed
// without one or said nothing within replyTimeout. None when no instance could be reached.
// holderKnown: the caller saw the lock held, so a socket not there yet is waited for.
std::optional<QByteArray> exchange(const QString& folder, const char* request,
                                   std::chrono::milliseconds replyTimeout, bool holderKnown)
{
    // The instance may be between taking the lock and listening, or have its hands full with
    // other clients (they are dropped within seconds): give it a moment.
    const QDeadlineTimer deadline(3000);
    do {
        int fd = -1;
        const Connect connected = connectTo(socketPathIn(folder), fd);
        if (connected == Connect::Ok) {
            QByteArray answer;
            const bool sent = sendAndRead(fd, request, replyTimeout, answer);
            ::close(fd);
            // Not sent: closed before it could be, as a busy instance does. Ask again.
            if (sent && answer != kBusyReply)
                return answer;
        } else if (connected == Connect::Failed || (!holderKnown && !lockHolderAlive(folder))) {
            break;
        }
        QThread::msleep(100);
    } while (!deadline.hasExpired());
    return std::nullopt;
}

// One line on the wire: the description's line breaks become dashes.
QByteArray statusLine(const SingleInstance::Status& status)
{
    QString text = status.description;
    text.replace(QLatin1Char('\n'), QStringLiteral(" — "));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return QByteArray(status.guarding ? kGuardingReply : kNotGuardingReply) + text.toUtf8() + '\n';
}
} // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent), m_folder(std::move(folder))
{
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = m_server.nextPendingConnection())
            accept(peer);
    });
}

SingleInstance::~SingleInstance() = default;

void SingleInstance::setClientLimits(std::chrono::milliseconds requestTimeout, int maxClients)
{
    m_requestTimeout = requestTimeout;
    m_maxClients = maxClients;
}

void SingleInstance::accept(QLocalSocket* peer)
{
    peer->setParent(this);
    connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
    // Clients that connect and stay silent must not pile up in the program that guards the
    // session: a few may wait, briefly; the rest are turned away at once.
    if (m_clients >= m_maxClients) {
        if (!m_turningAway)
            log(QStringLiteral("Too many clients wait on the instance socket; turning new ones "
                               "away"));
        m_turningAway = true;
        peer->write(kBusyReply);
        peer->flush();
        peer->abort();
        peer->deleteLater();
        return;
    }
    ++m_clients;
    connect(peer, &QObject::destroyed, this, [this] {
        if (--m_clients == 0)
            m_turningAway = false;
    });
    auto* timeout = new QTimer(peer);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, peer, [peer] {
        if (peer->state() != QLocalSocket::ConnectedState)
            return;
        log(QStringLiteral("Closed a client of the instance socket that sent no request"));
        peer->abort();
        peer->deleteLater();
    });
    timeout->start(m_requestTimeout);
    connect(peer, &QLocalSocket::readyRead, this, [this, peer, timeout] {
        if (!peer->canReadLine() && peer->bytesAvailable() < kMaxRequestLength)
            return; // the rest of the request is on its way
        disconnect(peer, &QLocalSocket::readyRead, this, nullptr);
        const QByteArray request = peer->readLine(kMaxRequestLength);
        if (request == kShowRequest) {
            Q_EMIT activationRequested();
        } else if (request == kLockRequest && m_lockHandler) {
            // The answer waits for the lock's outcome; the client may give up and go first.
            timeout->disconnect();
            connect(timeout, &QTimer::timeout, peer, [peer] {
                log(QStringLiteral("Closed a client of the instance socket: the lock's outcome "
                                   "did not come"));
                peer->abort();
                peer->deleteLater();
            });
            timeout->start(kLockReplyLimit);
            m_lockHandler([peer = QPointer<QLocalSocket>(peer)](bool confirmed) {
                if (!peer)
                    return;
                peer->write(confirmed ? kLockedReply : kUnconfirmedReply);
                peer->disconnectFromServer();
            });
            return;
        } else if (request == kStatusRequest && m_statusHandler) {
            peer->write(statusLine(m_statusHandler()));
        } else {
            log(QStringLiteral("Ignored an unknown request on the instance socket"));
        }
        peer->disconnectFromServer();
    });
}

QString SingleInstance::defaultFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime))
        return runtime + QStringLiteral("/wardlatch");
    return QDir::tempPath() + QStringLiteral("/wardlatch-%1").arg(::getuid());
}

bool SingleInstance::prepareFolder()
{
    ::mkdir(QFile::encodeName(m_folder).constData(), 0700);
    // Only a folder of ours that nobody else can enter keeps other users off the socket.
    if (!isPrivateFolder(m_folder)) {
        log(QStringLiteral("Not checking for another instance: %1 is not a private folder")
                .arg(m_folder));
        return false;
    }
    return true;
}

bool SingleInstance::claim()
{
    if (!prepareFolder())
        return true;
    m_lock = std::make_unique<QLockFile>(m_folder + QStringLiteral("/instance.lock"));
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0)) {
        listen();
        return true;
    }
    if (tellRunningInstance())
        return false;
    // The holder is alive but does not answer: it is still starting, or hung. Run anyway rather
    // than leave the user without a guard.
    log(QStringLiteral("Another instance holds the lock but does not answer; starting anyway"));
    return true;
}

bool SingleInstance::tellRunningInstance()
{
    // It acts on the request and closes without a word, or answers that it is busy.
    return exchange(m_folder, kShowRequest, std::chrono::milliseconds(500), true).has_value();
}

SingleInstance::LockAnswer SingleInstance::askToLock(const QString& folder,
                                                     std::chrono::milliseconds replyTimeout)
{
    if (!isPrivateFolder(folder))
        return LockAnswer::NotRunning;
    const std::optional<QByteArray> answer = exchange(folder, kLockRequest, replyTimeout, false);
    if (!answer)
        return LockAnswer::NotRunning;
    if (*answer == kLockedReply)
        return LockAnswer::Locked;
    if (*answer == kUnconfirmedReply)
        return LockAnswer::Unconfirmed;
    return LockAnswer::NoAnswer;
}

std::optional<SingleInstance::Status>
SingleInstance::askStatus(const QString& folder, std::chrono::milliseconds replyTimeout)
{
    if (!isPrivateFolder(folder))
        return std::nullopt;
    const std::optional<QByteArray> answer = exchange(folder, kStatusRequest, replyTimeout, false);
    if (!answer)
        return std::nullopt;
    for (const char* prefix : {kGuardingReply, kNotGuardingReply}) {
        if (answer->startsWith(prefix) && answer->endsWith('\n'))
            return Status{prefix == kGuardingReply,
                          QString::fromUtf8(answer->mid(qstrlen(prefix)).chopped(1))};
    }
    return Status{false, tr("Wardlatch is running but did not answer")};
}

void SingleInstance::listen()
{
    const QString socketPath = socketPathIn(m_folder);
    QLocalServer::removeServer(socketPath); // a leftover of an instance that crashed
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(socketPath))
        log(QStringLiteral("Could not listen on %1: %2").arg(socketPath, m_server.errorString()));
}

} // namespace wl
