// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/PulseDaemon.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>

#include <csignal>

#include <sys/prctl.h>

namespace wl::test {

namespace {
QProcessEnvironment daemonEnvironment(const QString& runtime, const QString& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
    env.remove(QStringLiteral("PULSE_SERVER"));
    env.remove(QStringLiteral("DISPLAY"));
    return env;
}
} // namespace

PulseDaemon::PulseDaemon()
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    // A test that crashes takes its daemon with it.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

PulseDaemon::~PulseDaemon()
{
    stop();
}

QString PulseDaemon::socketPath() const
{
    return m_runtime.filePath(QStringLiteral("pulse/native"));
}

void PulseDaemon::exportServer() const
{
    qputenv("PULSE_SERVER", serverAddress().toUtf8());
    // The client keeps its cookie there instead of the user's home.
    qputenv("PULSE_COOKIE", m_home.filePath(QStringLiteral("cookie")).toUtf8());
}

bool PulseDaemon::start(int timeoutMs)
{
    m_error.clear();
    const QString program = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
    if (program.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("pactl")).isEmpty()) {
        m_error = QStringLiteral("pulseaudio or pactl is not installed (scripts/bootstrap)");
        return false;
    }
    if (!m_runtime.isValid() || !m_home.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    QDir(m_runtime.path()).mkpath(QStringLiteral("pulse"));
    m_process.setProcessEnvironment(daemonEnvironment(m_runtime.path(), m_home.path()));
    m_process.start(
        program,
        {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
         QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--disallow-exit"),
         QStringLiteral("--use-pid-file=no"), QStringLiteral("--log-level=error"),
         QStringLiteral("-L"),
         QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=") + socketPath()});
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("pulseaudio did not start: ") + m_process.errorString();
        return false;
    }
    const bool answered = QTest::qWaitFor(
        [&] {
            return !isRunning() ||
                   (QFileInfo::exists(socketPath()) && pactl({QStringLiteral("info")}));
        },
        timeoutMs);
    if (!answered || !isRunning()) {
        m_error = QStringLiteral("pulseaudio did not answer");
        stop(true);
        return false;
    }
    return true;
}

void PulseDaemon::stop(bool kill)
{
    if (!isRunning())
        return;
    if (kill)
        m_process.kill();
    else
        m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

bool PulseDaemon::pactl(const QStringList& args, QString* output)
{
    QProcess p;
    QProcessEnvironment env = daemonEnvironment(m_runtime.path(), m_home.path());
    env.insert(QStringLiteral("PULSE_SERVER"), serverAddress());
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("pactl"), args);
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("pactl ") + args.join(QLatin1Char(' ')) + QStringLiteral(": ") +
                  QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        return false;
    }
    if (output)
        *output = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    return true;
}

int PulseDaemon::loadNullSink(const QString& name)
{
    QString index;
    if (!pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                QStringLiteral("sink_name=") + name},
               &index))
        return -1;
    bool ok = false;
    const int value = index.toInt(&ok);
    return ok ? value : -1;
}

} // namespace wl::test
