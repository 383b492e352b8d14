#include "app/SingleInstance.h"

#include "app/Log.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

namespace wl {

namespace {
const char kShowRequest[] = "show\n";
}

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent), m_folder(std::move(folder))
{
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = m_server.nextPendingConnection()) {
            peer->setParent(this);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (peer->canReadLine() && peer->readLine() == kShowRequest)
                    Q_EMIT activationRequested();
                peer->disconnectFromServer();
            });
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        }
    });
}

SingleInstance::~SingleInstance() = default;

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
    // The first instance may be between taking the lock and listening: give it a moment.
    for (int attempt = 0; attempt < 10; ++attempt) {
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(200)) {
            socket.write(kShowRequest);
            socket.flush();
            socket.waitForBytesWritten(500);
            socket.disconnectFromServer();
            return true;
        }
        if (socket.error() != QLocalSocket::ServerNotFoundError &&
            socket.error() != QLocalSocket::ConnectionRefusedError)
            break;
        QThread::msleep(100);
    }
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
