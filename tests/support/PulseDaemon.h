// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace wl::test {

// A private pulseaudio daemon with its own runtime and home folders, listening on a socket of
// its own. Sinks are loaded with pactl; the daemon can be stopped and started again on the
// same socket. A missing pulseaudio or pactl is an error, never a skip.
class PulseDaemon
{
public:
    PulseDaemon();
    ~PulseDaemon();
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    // Starts the daemon and waits until it answers.
    bool start(int timeoutMs = 15000);
    // Ends it: terminate (SIGTERM) or kill (SIGKILL), then waits for the process.
    void stop(bool kill = false);
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    QString error() const { return m_error; }
    QString socketPath() const;
    // PULSE_SERVER for clients of this daemon.
    QString serverAddress() const { return QStringLiteral("unix:") + socketPath(); }
    // Points this process's clients at the daemon (and keeps them out of $HOME).
    void exportServer() const;

    // Runs pactl against the daemon; the trimmed output in *output.
    bool pactl(const QStringList& args, QString* output = nullptr);
    // Loads a null sink; its module index, or -1.
    int loadNullSink(const QString& name);

private:
    QTemporaryDir m_runtime;
    QTemporaryDir m_home;
    QProcess m_process;
    QString m_error;
};

} // namespace wl::test
