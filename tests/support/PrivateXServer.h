// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <sys/types.h>

namespace wl::test {

// A private Xvfb for this test process, on a display number the server picks itself. Start it
// before the QApplication so that the application connects to it; the destructor ends it.
class PrivateXServer
{
public:
    PrivateXServer();
    ~PrivateXServer();
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString display() const { return m_display; } // ":N"

private:
    pid_t m_pid = -1;
    QString m_display;
    QString m_error;
};

} // namespace wl::test
