// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SingleInstance.h"
#include "menubar/PanelWindow.h"
#include "support/LogCapture.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace wl;

namespace {

// Clients that connect and never say a word.
struct SilentClients
{
    SilentClients(const QString& socketPath, int count)
    {
        for (int i = 0; i < count; ++i) {
            auto& client = sockets.emplace_back(std::make_unique<QLocalSocket>());
            QObject::connect(client.get(), &QLocalSocket::disconnected, [this] { ++closed; });
            client->connectToServer(socketPath);
        }
    }
    bool waitForClosed(int count)
    {
        return QTest::qWaitFor([&] { return closed >= count; }, 10000);
    }
    std::vector<std::unique_ptr<QLocalSocket>> sockets;
    int closed = 0;
};

// A second start asks the first to show itself and ends, silent clients or not.
TEST(SingleInstance, SilentClientsAreDroppedAndDoNotKeepASecondStartOut)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("wardlatch"));
    const QString socketPath = folder + QStringLiteral("/instance.socket");
    test::LogCapture logs;
    SingleInstance first(folder);
    first.setClientLimits(std::chrono::hours(1), 4);
    ASSERT_TRUE(first.claim());
    EXPECT_EQ(QFileInfo(folder).permissions() &
                  (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther),
              0);
    {
        // Beyond the limit they are closed at once, while those within it still wait.
        SilentClients crowd(socketPath, 20);
        ASSERT_TRUE(crowd.waitForClosed(16));
        EXPECT_EQ(crowd.closed, 16);
        EXPECT_EQ(logs.countContaining(QStringLiteral("turning new ones away")), 1);
    }
    first.setClientLimits(std::chrono::milliseconds(300), 4);
    QSignalSpy activated(&first, &SingleInstance::activationRequested);
    SilentClients crowd(socketPath, 20);
    std::atomic<int> secondClaimed{-1};
    std::thread secondStart([&] { secondClaimed = SingleInstance(folder).claim() ? 1 : 0; });
    EXPECT_TRUE(activated.wait(10000));
    secondStart.join();
    EXPECT_EQ(secondClaimed, 0);
    EXPECT_TRUE(crowd.waitForClosed(20)); // each within its time
}

TEST(SingleInstance, AFolderOthersCanEnterIsNotTrusted)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("shared"));
    ASSERT_TRUE(QDir().mkdir(folder));
    ::chmod(QFile::encodeName(folder).constData(), 0777);
    test::LogCapture logs;
    SingleInstance instance(folder);
    EXPECT_TRUE(instance.claim()); // runs unguarded rather than not at all
    EXPECT_EQ(logs.countContaining(QStringLiteral("is not a private folder")), 1);
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/instance.socket")));
}

TEST(PanelPlacement, HangsBelowTheIconAndStaysOnScreen)
{
    const QRect screen(0, 0, 800, 600);
    const QSize panel(300, 200);
    // Below a top-right icon, pushed left; above a bottom one; with no icon, at the pointer.
    EXPECT_EQ(PanelWindow::placement(panel, QRect(780, 0, 20, 20), {}, screen), QPoint(500, 20));
    EXPECT_EQ(PanelWindow::placement(panel, QRect(100, 580, 20, 20), {}, screen), QPoint(0, 380));
    EXPECT_EQ(PanelWindow::placement(panel, QRect(), QPoint(400, 300), screen), QPoint(250, 301));
}

} // namespace
