// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/DBusMocks.h"

#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

namespace wl::test {

namespace {
const char kBusConfig[] =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig><type>session</type><listen>unix:tmpdir=%1</listen><auth>EXTERNAL</auth>"
    "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
    "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
} // namespace

PrivateBuses::PrivateBuses()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return;
    }
    QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
    if (!config.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot write bus.conf");
        return;
    }
    config.write(QString::fromLatin1(kBusConfig).arg(m_dir.path()).toUtf8());
    config.close();
    if (!startDaemon(&m_systemAddress, &m_systemPid) ||
        !startDaemon(&m_sessionAddress, &m_sessionPid))
        return;
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_systemAddress.toUtf8());
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_sessionAddress.toUtf8());
}

bool PrivateBuses::startDaemon(QString* address, qint64* pid)
{
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--config-file=") + m_dir.filePath(QStringLiteral("bus.conf")),
                  QStringLiteral("--print-address=1"), QStringLiteral("--print-pid=1"),
                  QStringLiteral("--fork")});
    if (!daemon.waitForFinished(10000) || daemon.exitCode() != 0) {
        m_error = QStringLiteral("dbus-daemon did not start: ") +
                  QString::fromLocal8Bit(daemon.readAllStandardError()) + daemon.errorString();
        return false;
    }
    const QStringList lines = QString::fromUtf8(daemon.readAllStandardOutput())
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() < 2) {
        m_error = QStringLiteral("dbus-daemon printed no address");
        return false;
    }
    *address = lines.at(0).trimmed();
    *pid = lines.at(1).trimmed().toLongLong();
    return true;
}

PrivateBuses::~PrivateBuses()
{
    for (qint64 pid : {m_systemPid, m_sessionPid}) {
        if (pid > 0)
            ::kill(pid_t(pid), SIGTERM);
    }
}

DBusMock::DBusMock(Bus bus, QString busName, QStringList args)
    : m_bus(bus), m_busName(std::move(busName)), m_args(std::move(args))
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

DBusMock::~DBusMock()
{
    stop();
}

QDBusConnection DBusMock::connection() const
{
    return m_bus == Bus::System ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
}

bool DBusMock::start(int timeoutMs)
{
    QDBusConnection bus = connection();
    if (!bus.isConnected())
        return false;
    QDBusServiceWatcher watcher(m_busName, bus, QDBusServiceWatcher::WatchForRegistration);
    QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
    QStringList args{QStringLiteral("-m"), QStringLiteral("dbusmock"),
                     m_bus == Bus::System ? QStringLiteral("--system")
                                          : QStringLiteral("--session")};
    args << m_args;
    m_process.start(QStringLiteral("/usr/bin/python3"), args);
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    if (bus.interface()->isServiceRegistered(m_busName))
        return true;
    return registered.wait(timeoutMs) || bus.interface()->isServiceRegistered(m_busName);
}

void DBusMock::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    QDBusConnection bus = connection();
    QDBusServiceWatcher watcher(m_busName, bus, QDBusServiceWatcher::WatchForUnregistration);
    QSignalSpy gone(&watcher, &QDBusServiceWatcher::serviceUnregistered);
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // The bus may tell others a moment later that the name is free: wait for that too.
    if (bus.isConnected() && bus.interface()->isServiceRegistered(m_busName))
        gone.wait(5000);
}

QString DBusMock::output() const
{
    return QString::fromUtf8(const_cast<QProcess&>(m_process).readAll());
}

QDBusMessage DBusMock::mockCall(const QString& path, const QString& method,
                                const QVariantList& args, int timeoutMs) const
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        m_busName, path, QStringLiteral("org.freedesktop.DBus.Mock"), method);
    call.setArguments(args);
    return connection().call(call, QDBus::Block, timeoutMs);
}

QStringList DBusMock::calledMethods(const QString& path) const
{
    const QDBusMessage reply = mockCall(path, QStringLiteral("GetCalls"));
    QStringList names;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return names;
    // a(tsav): timestamp, method name, arguments
    const QDBusArgument calls = reply.arguments().constFirst().value<QDBusArgument>();
    calls.beginArray();
    while (!calls.atEnd()) {
        quint64 stamp = 0;
        QString name;
        QVariantList callArgs;
        calls.beginStructure();
        calls >> stamp >> name >> callArgs;
        calls.endStructure();
        names << name;
    }
    calls.endArray();
    return names;
}

std::unique_ptr<DBusMock> DBusMock::logind(const QString& sessionId)
{
    auto mock = std::make_unique<DBusMock>(
        Bus::System, QStringLiteral("org.freedesktop.login1"),
        QStringList{QStringLiteral("--template"), QStringLiteral("logind")});
    if (!mock->start())
        return nullptr;
    const QString root = QStringLiteral("/org/freedesktop/login1");
    const QString sessionPath = root + QStringLiteral("/session/") + sessionId;
    QDBusMessage added = mock->mockCall(
        root, QStringLiteral("AddSession"),
        {sessionId, QStringLiteral("seat0"), quint32(1000), QStringLiteral("alice"), true});
    if (added.type() != QDBusMessage::ReplyMessage)
        return nullptr;
    mock->mockCall(root, QStringLiteral("AddMethod"),
                   {QStringLiteral("org.freedesktop.login1.Manager"),
                    QStringLiteral("GetSessionByPID"), QStringLiteral("u"), QStringLiteral("o"),
                    QStringLiteral("ret = '%1'").arg(sessionPath)});
    return mock;
}

std::unique_ptr<DBusMock> DBusMock::screenSaver(const QString& service, const QString& path,
                                                bool confirms)
{
    auto mock =
        std::make_unique<DBusMock>(Bus::Session, service, QStringList{service, path, service});
    if (!mock->start())
        return nullptr;
    const QString remember = confirms ? QStringLiteral("self.wl_active = True") : QString();
    const QVariantList methods{
        QVariantList{QStringLiteral("Lock"), QStringLiteral(""), QStringLiteral(""), remember},
        QVariantList{QStringLiteral("SetActive"), QStringLiteral("b"), QStringLiteral("b"),
                     confirms ? QStringLiteral("self.wl_active = args[0]\nret = args[0]")
                              : QStringLiteral("ret = False")},
        QVariantList{QStringLiteral("GetActive"), QStringLiteral(""), QStringLiteral("b"),
                     QStringLiteral("ret = getattr(self, 'wl_active', False)")},
    };
    for (const QVariant& m : methods) {
        const QVariantList fields = m.toList();
        const QDBusMessage reply =
            mock->mockCall(path, QStringLiteral("AddMethod"),
                           {service, fields.at(0), fields.at(1), fields.at(2), fields.at(3)});
        if (reply.type() != QDBusMessage::ReplyMessage)
            return nullptr;
    }
    return mock;
}

} // namespace wl::test
