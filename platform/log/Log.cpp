// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/log/Log.h"

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
// costs the line, never the guard. Callers hold the output's mutex.
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

// The system log socket, written without waiting: a journal that is stalled loses the line,
// it does not hold up the program. Callers hold the output's mutex.
class SystemLog
{
public:
    ~SystemLog()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool reachable() { return m_fd >= 0 || connect(); }

    // False when the journal cannot be reached at all, so the caller can put the line
    // elsewhere; a full journal drops it and counts as written.
    bool write(int priority, const QByteArray& message)
    {
        // Tagged with our name and pid, as syslog(3) sends it.
        const QByteArray datagram = '<' + QByteArray::number(priority) + ">wardlatch[" +
                                    QByteArray::number(::getpid()) + "]: " + message;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (m_fd < 0 && !connect())
                return false;
            if (::send(m_fd, datagram.constData(), size_t(datagram.size()),
                       MSG_DONTWAIT | MSG_NOSIGNAL) >= 0 ||
                errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            // The journal went away or was restarted: connect afresh once.
            ::close(m_fd);
            m_fd = -1;
        }
        return false;
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

// Syslog priorities, user facility.
constexpr int kNotice = 8 + 5;

int priorityOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 8 + 7;
    case QtInfoMsg:
        return 8 + 6;
    case QtWarningMsg:
        return 8 + 4;
    case QtCriticalMsg:
        return 8 + 3;
    case QtFatalMsg:
        return 8 + 2;
    }
    return kNotice;
}

// The one place lines go, chosen when first used.
class Output
{
public:
    Output()
    {
        LogSurroundings surroundings;
        struct stat info = {};
        surroundings.stderrOpen = ::fstat(STDERR_FILENO, &info) == 0;
        if (surroundings.stderrOpen)
            surroundings.stderrId = QByteArray::number(quint64(info.st_dev)) + ':' +
                                    QByteArray::number(quint64(info.st_ino));
        surroundings.stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
        surroundings.journalStream = qgetenv("JOURNAL_STREAM");
        surroundings.choice = qgetenv("WL_LOG");
        surroundings.systemLogReachable = m_journal.reachable();
        m_target = chooseLogTarget(surroundings);
    }

    // text goes to the journal as it is; standard error gets it as a line, after prefix.
    void write(int priority, const QByteArray& text, const QByteArray& prefix)
    {
        QMutexLocker lock(&m_mutex);
        // A journal that went away after the start costs standard error the line, not the log.
        if (m_target == LogTarget::SystemLog && m_journal.write(priority, text))
            return;
        m_standardError.write(prefix + text + '\n');
    }

private:
    QMutex m_mutex;
    const StandardError m_standardError;
    SystemLog m_journal;
    LogTarget m_target = LogTarget::StandardError;
};

Output& output()
{
    // Owned by the process and never destroyed: Qt may still write messages while static
    // objects are torn down at exit.
    static Output* const instance = new Output;
    return *instance;
}
} // namespace

void log(const QString& message, LogCategory category)
{
    LogSink sink;
    {
        QMutexLocker lock(&sinkMutex());
        sink = currentSink();
    }
    if (sink) {
        sink(message);
        return;
    }
    // The short name: "usb: ", not "wardlatch.usb: ".
    const char* name = logCategoryName(category) + std::strlen("wardlatch.");
    const QByteArray text = name + QByteArrayLiteral(": ") + message.toUtf8();
    output().write(kNotice, text, "wardlatch: ");
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
            output().write(priorityOf(type),
                           qFormatLogMessage(type, context, message).toLocal8Bit(), {});
        });
    output(); // chosen now, from the surroundings the program was started in
}

const char* logCategoryName(LogCategory category)
{
    switch (category) {
    case LogCategory::App:
        return "wardlatch.app";
    case LogCategory::Settings:
        return "wardlatch.settings";
    case LogCategory::Usb:
        return "wardlatch.usb";
    case LogCategory::Audio:
        return "wardlatch.audio";
    case LogCategory::Lock:
        return "wardlatch.lock";
    case LogCategory::Shortcut:
        return "wardlatch.shortcut";
    case LogCategory::Tray:
        return "wardlatch.tray";
    }
    return "wardlatch.app";
}

LogTarget chooseLogTarget(const LogSurroundings& s)
{
    if (!s.stderrOpen)
        return LogTarget::SystemLog;
    if (s.choice == "stderr")
        return LogTarget::StandardError;
    // Started by a service manager or a session that hands standard error to the journal
    // already: writing there once is enough.
    const bool stderrIsJournal = !s.journalStream.isEmpty() && s.journalStream == s.stderrId;
    if (s.choice != "journal" && (s.stderrIsTerminal || stderrIsJournal))
        return LogTarget::StandardError;
    return s.systemLogReachable ? LogTarget::SystemLog : LogTarget::StandardError;
}

} // namespace wl
