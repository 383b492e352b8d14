// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/PrivateXServer.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace wl::test {

PrivateXServer::PrivateXServer()
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        m_error = QStringLiteral("pipe failed");
        return;
    }
    const QByteArray fd = QByteArray::number(ready[1]);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::fcntl(ready[1], F_SETFD, 0); // Xvfb writes its display number here when it is ready
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.constData(), "-screen", "0", "640x480x24",
                 "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    if (m_pid < 0) {
        ::close(ready[0]);
        m_error = QStringLiteral("fork failed");
        return;
    }
    QByteArray number;
    pollfd p{ready[0], POLLIN, 0};
    while (!number.endsWith('\n')) {
        const int n = ::poll(&p, 1, 15000);
        if (n < 0 && errno == EINTR)
            continue;
        char buffer[16];
        const ssize_t got = n > 0 ? ::read(ready[0], buffer, sizeof buffer) : -1;
        if (got <= 0)
            break;
        number.append(buffer, got);
    }
    ::close(ready[0]);
    if (!number.endsWith('\n')) {
        m_error = QStringLiteral("Xvfb did not start (is the xvfb package installed?)");
        return;
    }
    m_display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
}

PrivateXServer::~PrivateXServer()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

} // namespace wl::test
