// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/updates/IssueReporter.h"

#include <QByteArray>

#include <atomic>
#include <csignal>
#include <cstring>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace wl {

namespace {
constexpr int kSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
constexpr int kMaxFrames = 64;

std::atomic<bool> g_setUp{false};
std::atomic<bool> g_reporting{false}; // one report per process
int g_logSocket = -1;                 // datagram socket to the system log
int g_pipe[2] = {-1, -1};             // backtrace text passes through here
char g_altStack[64 * 1024];           // a stack overflow leaves no room on the stack itself
char g_text[32 * 1024];

// Everything below runs inside a signal handler: only async-signal-safe calls.
void writeAll(int fd, const char* data, size_t size)
{
    while (fd >= 0 && size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return;
        data += n;
        size -= size_t(n);
    }
}

size_t appendText(char* buffer, size_t at, size_t capacity, std::string_view text)
{
    for (char c : text) {
        if (at + 1 >= capacity)
            break;
        buffer[at++] = c;
    }
    return at;
}

size_t appendNumber(char* buffer, size_t at, size_t capacity, long value)
{
    char digits[24];
    int n = 0;
    unsigned long v = value < 0 ? 0ul - static_cast<unsigned long>(value) : value;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v && n < int(sizeof digits));
    if (value < 0)
        at = appendText(buffer, at, capacity, "-");
    while (n > 0 && at + 1 < capacity)
        buffer[at++] = digits[--n];
    return at;
}

// One line to the system log (critical, user facility) and to stderr.
void reportLine(std::string_view line)
{
    char record[1024];
    size_t at = appendText(record, 0, sizeof record, "<10>wardlatch[");
    at = appendNumber(record, at, sizeof record, long(::getpid()));
    at = appendText(record, at, sizeof record, "]: ");
    const size_t header = at;
    at = appendText(record, at, sizeof record, line);
    if (g_logSocket >= 0)
        ::send(g_logSocket, record, at, MSG_NOSIGNAL | MSG_DONTWAIT); // never hang a dying process
    char out[1024];
    size_t o = appendText(out, 0, sizeof out, "wardlatch: ");
    o = appendText(out, o, sizeof out, std::string_view(record + header, at - header));
    o = appendText(out, o, sizeof out, "\n");
    writeAll(STDERR_FILENO, out, o);
}

const char* signalName(int sig)
{
    switch (sig) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGABRT:
        return "SIGABRT";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    default:
        return "signal";
    }
}

void reportBacktrace()
{
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    if (g_pipe[1] < 0) {
        ::backtrace_symbols_fd(frames, count, STDERR_FILENO);
        return;
    }
    ::backtrace_symbols_fd(frames, count, g_pipe[1]);
    const ssize_t got = ::read(g_pipe[0], g_text, sizeof g_text - 1);
    if (got <= 0)
        return;
    size_t start = 0;
    for (size_t i = 0; i < size_t(got); ++i) {
        if (g_text[i] == '\n') {
            reportLine(std::string_view(g_text + start, i - start));
            start = i + 1;
        }
    }
    if (start < size_t(got))
        reportLine(std::string_view(g_text + start, size_t(got) - start));
}

void onFatalSignal(int sig)
{
    if (!g_reporting.exchange(true)) {
        char line[128];
        size_t at = appendText(line, 0, sizeof line, "fatal signal ");
        at = appendNumber(line, at, sizeof line, sig);
        at = appendText(line, at, sizeof line, " (");
        at = appendText(line, at, sizeof line, signalName(sig));
        at = appendText(line, at, sizeof line, "), backtrace:");
        reportLine(std::string_view(line, at));
        reportBacktrace();
    }
    // End the way the signal would have ended the process: it is blocked until we return.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void onTerminate()
{
    if (!g_reporting.exchange(true)) {
        QByteArray what = "unknown";
        if (std::exception_ptr current = std::current_exception()) {
            try {
                std::rethrow_exception(current);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
                what = "not a std::exception";
            }
        } else {
            what = "std::terminate without an exception";
        }
        const QByteArray line = "uncaught exception: " + what;
        reportLine(std::string_view(line.constData(), size_t(line.size())));
        reportLine("backtrace:");
        reportBacktrace();
    }
    ::signal(SIGABRT, SIG_DFL);
    std::abort();
}

void openLogSocket()
{
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return;
    }
    g_logSocket = fd;
}
} // namespace

void IssueReporter::setup(bool reportingUnhandledIssues)
{
    if (!reportingUnhandledIssues || g_setUp.exchange(true))
        return;
    openLogSocket();
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_pipe[0] = g_pipe[1] = -1;
    // The first backtrace() loads its unwinder; do it now rather than in a handler.
    void* warmUp[1];
    ::backtrace(warmUp, 1);

    stack_t stack{};
    stack.ss_sp = g_altStack;
    stack.ss_size = sizeof g_altStack;
    ::sigaltstack(&stack, nullptr);

    struct sigaction action
    {
    };
    action.sa_handler = onFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK;
    for (int sig : kSignals)
        ::sigaction(sig, &action, nullptr);
    std::set_terminate(onTerminate);
}

bool IssueReporter::isSetUp()
{
    return g_setUp.load();
}

} // namespace wl
