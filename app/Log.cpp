#include "app/Log.h"

#include <QByteArray>
#include <QMutex>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace wl {

namespace {
QMutex& sinkMutex()
{
    static QMutex mutex;
    return mutex;
}

LogSink& currentSink()
{
    static LogSink sink;
    return sink;
}

// Standard error, written without ever waiting: a reader that went away or stopped reading
// costs the line, never the guard. Callers hold outputMutex().
class StandardError
{
public:
    StandardError()
    {
        struct stat info = {};
        if (::fstat(STDERR_FILENO, &info) != 0)
            return;
        if (S_ISSOCK(info.st_mode)) {
            m_kind = Kind::Socket;
        } else if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
            // A pipe or a terminal can block the writer. A description of our own can be
            // non-blocking without changing the one we share with the process that started us.
            m_fd = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            m_kind = m_fd >= 0 ? Kind::OwnNonBlocking : Kind::Polled;
        } else {
            m_kind = Kind::File; // a file never waits for a reader
        }
    }

    void write(const QByteArray& line) const
    {
        switch (m_kind) {
        case Kind::None:
            return;
        case Kind::Socket:
            writeAll(line, [](const char* data, size_t size) {
                return ::send(STDERR_FILENO, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            });
            return;
        case Kind::OwnNonBlocking:
            writeAll(line, [fd = m_fd](const char* data, size_t size) {
                return ::write(fd, data, size);
            });
            return;
        case Kind::Polled:
            writeAll(line, [](const char* data, size_t size) -> ssize_t {
                pollfd ready = {STDERR_FILENO, POLLOUT, 0};
                if (::poll(&ready, 1, 0) != 1 || (ready.revents & (POLLERR | POLLHUP)) != 0) {
                    errno = EAGAIN;
                    return -1;
                }
                return ::write(STDERR_FILENO, data, size);
            });
            return;
        case Kind::File:
            writeAll(line, [](const char* data, size_t size) {
                return ::write(STDERR_FILENO, data, size);
            });
            return;
        }
    }

private:
    enum class Kind
    {
        None,
        Socket,
        OwnNonBlocking,
        Polled,
        File
    };

    // Gives up on the first error, a full buffer included: the rest of the line is dropped.
    template <typename Write> static void writeAll(const QByteArray& line, Write writeSome)
    {
        const char* data = line.constData();
        size_t left = size_t(line.size());
        while (left > 0) {
            const ssize_t n = writeSome(data, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            data += n;
            left -= size_t(n);
        }
    }

    Kind m_kind = Kind::None;
    int m_fd = -1;
};

// The system log socket, written without waiting: a journal that is gone or stalled loses the
// line, it does not hold up the program. Callers hold outputMutex().
class SystemLog
{
public:
    ~SystemLog()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    void write(const QByteArray& message)
    {
        // user.notice, tagged with our name and pid, as syslog(3) sends it.
        const QByteArray datagram =
            "<13>wardlatch[" + QByteArray::number(::getpid()) + "]: " + message;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (m_fd < 0 && !connect())
                return;
            if (::send(m_fd, datagram.constData(), size_t(datagram.size()),
                       MSG_DONTWAIT | MSG_NOSIGNAL) >= 0 ||
                errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            // The journal went away or was restarted: connect afresh once.
            ::close(m_fd);
            m_fd = -1;
        }
    }

private:
    bool connect()
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return false;
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, "/dev/log", sizeof(address.sun_path) - 1);
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0)
            return true;
        ::close(m_fd);
        m_fd = -1;
        return false;
    }

    int m_fd = -1;
};

QMutex& outputMutex()
{
    static QMutex mutex;
    return mutex;
}

void writeStandardError(const QByteArray& line)
{
    static const StandardError standardError;
    QMutexLocker lock(&outputMutex());
    standardError.write(line);
}

void systemLog(const QString& message)
{
    static SystemLog journal;
    const QByteArray utf8 = message.toUtf8();
    {
        QMutexLocker lock(&outputMutex());
        journal.write(utf8);
    }
    writeStandardError("wardlatch: " + utf8 + '\n');
}
} // namespace

void log(const QString& message)
{
    LogSink sink;
    {
        QMutexLocker lock(&sinkMutex());
        sink = currentSink();
    }
    if (sink)
        sink(message);
    else
        systemLog(message);
}

LogSink setLogSink(LogSink sink)
{
    QMutexLocker lock(&sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

void installMessageHandler()
{
    qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
            writeStandardError(qFormatLogMessage(type, context, message).toLocal8Bit() + '\n');
        });
}

} // namespace wl
