// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/Services.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QSignalSpy>
#include <QTest>

namespace wl::test {

Service::Service(QStringList options) : m_options(std::move(options))
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

bool Service::start(int timeoutMs)
{
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    QStringList{QStringLiteral(WL_SERVICES_SCRIPT)} + m_options);
    QByteArray said;
    if (!QTest::qWaitFor(
            [&] {
                said += m_process.readAllStandardOutput();
                return said.contains("ready\n") || m_process.state() == QProcess::NotRunning;
            },
            timeoutMs) ||
        !said.contains("ready\n"))
        return false;
    for (const QString& line : QString::fromLocal8Bit(said).split(u'\n')) {
        if (const qsizetype eq = line.indexOf(u'='); eq > 0)
            m_addresses.insert(line.left(eq), line.mid(eq + 1));
    }
    return true;
}

void Service::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000))
        kill();
}

void Service::kill()
{
    m_process.kill();
    m_process.waitForFinished(10000);
}

namespace {
QString quoted(const QString& arg)
{
    return QLatin1Char('\'') + QString(arg).replace(u'\'', QStringLiteral("'\\''")) +
           QLatin1Char('\'');
}
} // namespace

DBusMock::DBusMock(bool system, QString busName, const QStringList& dbusmockArgs)
    : Service({}), m_system(system), m_busName(std::move(busName))
{
    QStringList words{system ? QStringLiteral("system") : QStringLiteral("session"), m_busName};
    for (const QString& arg : dbusmockArgs)
        words << quoted(arg);
    m_options = {QStringLiteral("--mock"), words.join(u' ')};
}

void DBusMock::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    QDBusServiceWatcher watcher(m_busName, connection(),
                                QDBusServiceWatcher::WatchForUnregistration);
    QSignalSpy gone(&watcher, &QDBusServiceWatcher::serviceUnregistered);
    Service::stop();
    if (connection().interface()->isServiceRegistered(m_busName))
        gone.wait(5000);
}

QDBusConnection DBusMock::connection() const
{
    return m_system ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
}

QDBusMessage DBusMock::mockCall(const QString& path, const QString& method,
                                const QVariantList& args) const
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        m_busName, path, QStringLiteral("org.freedesktop.DBus.Mock"), method);
    call.setArguments(args);
    return connection().call(call, QDBus::Block, 5000);
}

QList<std::pair<QString, QVariantList>> DBusMock::calls(const QString& path) const
{
    const QDBusMessage reply = mockCall(path, QStringLiteral("GetCalls"));
    QList<std::pair<QString, QVariantList>> calls;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return calls;
    // a(tsav): timestamp, method name, arguments
    const QDBusArgument list = reply.arguments().constFirst().value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        quint64 stamp = 0;
        std::pair<QString, QVariantList> call;
        list.beginStructure();
        list >> stamp >> call.first >> call.second;
        list.endStructure();
        calls << call;
    }
    list.endArray();
    return calls;
}

QStringList DBusMock::calledMethods(const QString& path) const
{
    QStringList names;
    for (const auto& call : calls(path))
        names << call.first;
    return names;
}

std::unique_ptr<DBusMock> DBusMock::launched(bool system, const QString& name,
                                             const QString& option, bool confirms)
{
    auto mock = std::make_unique<DBusMock>(system, name, QStringList{});
    mock->m_options = {option, confirms ? QStringLiteral("confirms") : QStringLiteral("ignores")};
    return mock->start() ? std::move(mock) : nullptr;
}

std::unique_ptr<DBusMock> DBusMock::logind(bool confirms)
{
    return launched(true, QStringLiteral("org.freedesktop.login1"), QStringLiteral("--logind"),
                    confirms);
}

std::unique_ptr<DBusMock> DBusMock::screenSaver(bool confirms)
{
    return launched(false, QStringLiteral("org.freedesktop.ScreenSaver"),
                    QStringLiteral("--screen-saver"), confirms);
}

} // namespace wl::test
