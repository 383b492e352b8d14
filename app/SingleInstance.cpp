#include "app/SingleInstance.h"

#include "app/Log.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

namespace wl {

namespace {
const char kShowRequest[] = "show\n";
// The answer to a client turned away because too many wait: it may try again shortly.
const char kBusyReply[] = "busy\n";
constexpr qint64 kMaxRequestLength = 64;
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
    QTimer::singleShot(m_requestTimeout, peer, [peer] {
        if (peer->state() != QLocalSocket::ConnectedState)
            return;
        log(QStringLiteral("Closed a client of the instance socket that sent no request"));
        peer->abort();
        peer->deleteLater();
    });
    connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
        if (!peer->canReadLine() && peer->bytesAvailable() < kMaxRequestLength)
            return; // the rest of the request is on its way
        if (peer->readLine(kMaxRequestLength) == kShowRequest)
            Q_EMIT activationRequested();
        else
            log(QStringLiteral("Ignored an unknown request on the instance socket"));
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
    const QByteArray path = QFile::encodeName(m_folder);
    ::mkdir(path.constData(), 0700);
    struct stat info = {};
    // Only a folder of ours that nobody else can enter keeps other users off the socket.
    if (::lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::getuid() || (info.st_mode & 077) != 0) {
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
    const QString socketPath = m_folder + QStringLiteral("/instance.socket");
    // The first instance may be between taking the lock and listening, or have its hands full
    // with other clients (they are dropped within seconds): give it a moment.
    const QDeadlineTimer deadline(3000);
    do {
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(200)) {
            socket.write(kShowRequest);
            socket.flush();
            socket.waitForBytesWritten(500);
            // It acts on the request and closes without a word, or answers that it is busy.
            socket.waitForReadyRead(500);
            if (socket.readLine(kMaxRequestLength) != kBusyReply) {
                socket.disconnectFromServer();
                return true;
            }
        } else if (socket.error() != QLocalSocket::ServerNotFoundError &&
                   socket.error() != QLocalSocket::ConnectionRefusedError) {
            break;
        }
        QThread::msleep(100);
    } while (!deadline.hasExpired());
    return false;
}

void SingleInstance::listen()
{
    const QString socketPath = m_folder + QStringLiteral("/instance.socket");
    QLocalServer::removeServer(socketPath); // a leftover of an instance that crashed
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(socketPath))
        log(QStringLiteral("Could not listen on %1: %2").arg(socketPath, m_server.errorString()));
}

} // namespace wl
