// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QVariantList>

#include <memory>

#include <gtest/gtest.h>

namespace wl::test {

// A private "system" and a private session dbus-daemon for this test process. The constructor
// points DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS at them; it must run before the
// code under test first touches QDBusConnection::systemBus() or sessionBus().
class PrivateBuses
{
public:
    PrivateBuses();
    ~PrivateBuses();
    PrivateBuses(const PrivateBuses&) = delete;
    PrivateBuses& operator=(const PrivateBuses&) = delete;

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString systemAddress() const { return m_systemAddress; }
    QString sessionAddress() const { return m_sessionAddress; }

    // The bus connections the program itself uses.
    static QDBusConnection system() { return QDBusConnection::systemBus(); }
    static QDBusConnection session() { return QDBusConnection::sessionBus(); }

private:
    bool startDaemon(QString* address, qint64* pid);
    QTemporaryDir m_dir;
    QString m_error;
    QString m_systemAddress;
    QString m_sessionAddress;
    qint64 m_systemPid = 0;
    qint64 m_sessionPid = 0;
};

// One python3-dbusmock process, owning busName on the given bus until stopped.
class DBusMock
{
public:
    enum class Bus
    {
        System,
        Session
    };
    // args: what follows "python3 -m dbusmock" ("--system" or "--session" is added).
    DBusMock(Bus bus, QString busName, QStringList args);
    ~DBusMock();
    DBusMock(const DBusMock&) = delete;
    DBusMock& operator=(const DBusMock&) = delete;

    // Starts the process and waits until it owns its name.
    bool start(int timeoutMs = 10000);
    void stop();
    QString output() const;

    QDBusConnection connection() const;

    // A call on the mock's org.freedesktop.DBus.Mock interface (AddMethod, GetCalls, ...).
    QDBusMessage mockCall(const QString& path, const QString& method, const QVariantList& args = {},
                          int timeoutMs = 5000) const;
    // Names of the methods called on path, from GetCalls.
    QStringList calledMethods(const QString& path) const;

    // The logind template with one session ("c1" by default) and the GetSessionByPID answer
    // pointing at it; XDG_SESSION_ID is not set by this.
    static std::unique_ptr<DBusMock> logind(const QString& sessionId = QStringLiteral("c1"));
    // An org.freedesktop.ScreenSaver (or org.gnome.ScreenSaver) with Lock, SetActive and
    // GetActive that remember the state: Lock and SetActive(true) make GetActive answer true
    // when confirms is set.
    static std::unique_ptr<DBusMock> screenSaver(const QString& service, const QString& path,
                                                 bool confirms);

private:
    Bus m_bus;
    QString m_busName;
    QStringList m_args;
    QProcess m_process;
};

// A test suite that talks to services on private buses, started once per suite: a process
// keeps the bus address of its first connection.
class PrivateBusTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { s_buses = std::make_unique<PrivateBuses>(); }
    static void TearDownTestSuite() { s_buses.reset(); }
    void SetUp() override
    {
        ASSERT_TRUE(s_buses->ok()) << s_buses->error().toStdString();
        qunsetenv("XDG_SESSION_ID"); // the session is found through the mocked logind
    }

private:
    static inline std::unique_ptr<PrivateBuses> s_buses;
};

} // namespace wl::test
