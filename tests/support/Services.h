// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QVariantList>

#include <memory>
#include <utility>

#include <gtest/gtest.h>

namespace wl::test {

// A service a test starts, ends or kills itself, through the launcher (services.py) that gives
// every test its buses and display: terminated, it stops them politely; killed, they die with it.
class Service
{
public:
    explicit Service(QStringList options); // the launcher's options, e.g. {"--pulse"}
    virtual ~Service() { stop(); }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    bool start(int timeoutMs = 15000); // until the service answers
    void stop();
    void kill();
    QString address(const QString& name) const { return m_addresses.value(name); } // "DISPLAY"

protected:
    QStringList m_options;
    QProcess m_process;
    QMap<QString, QString> m_addresses;
};

// A python3-dbusmock stand-in on the launcher's buses, owning busName while it runs.
class DBusMock : public Service
{
public:
    // dbusmockArgs: what follows "python3 -m dbusmock --system|--session".
    DBusMock(bool system, QString busName, const QStringList& dbusmockArgs);
    ~DBusMock() override { stop(); }
    void stop(); // also waits until the bus has told everyone that the name is free

    QDBusConnection connection() const;
    // A call on the mock's org.freedesktop.DBus.Mock interface (AddMethod, GetCalls, ...).
    QDBusMessage mockCall(const QString& path, const QString& method,
                          const QVariantList& args = {}) const;
    // The calls made on path, oldest first: method name and arguments.
    QList<std::pair<QString, QVariantList>> calls(const QString& path) const;
    QStringList calledMethods(const QString& path) const;

    // The launcher's logind (session c1) and org.freedesktop.ScreenSaver stand-ins, which record
    // each call and confirm a lock when confirms is set; null when they did not start.
    static std::unique_ptr<DBusMock> logind(bool confirms = false);
    static std::unique_ptr<DBusMock> screenSaver(bool confirms);

private:
    static std::unique_ptr<DBusMock> launched(bool system, const QString& name,
                                              const QString& option, bool confirms);
    bool m_system;
    QString m_busName;
};

// Tests on the private buses the launcher ("services.py --buses") runs them with.
class PrivateBusTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected() &&
                    QDBusConnection::systemBus().isConnected())
            << "no private buses: run through services.py --buses";
        qunsetenv("XDG_SESSION_ID"); // the session is found through the mocked logind
    }
};

} // namespace wl::test
