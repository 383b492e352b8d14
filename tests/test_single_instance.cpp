#include "app/SingleInstance.h"
#include "menubar/PanelWindow.h"
#include "support/LogCapture.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace wl;

namespace {

TEST(SingleInstance, ASecondStartAsksTheFirstToShowItselfAndEnds)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("wardlatch"));
    SingleInstance first(folder);
    ASSERT_TRUE(first.claim());
    QFileInfo info(folder);
    EXPECT_EQ(info.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther), 0);

    QSignalSpy activated(&first, &SingleInstance::activationRequested);
    SingleInstance second(folder);
    EXPECT_FALSE(second.claim());
    ASSERT_TRUE(activated.wait(5000));
    EXPECT_EQ(activated.size(), 1);
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
    // Icon at the top right: below it, pushed left to stay visible.
    EXPECT_EQ(PanelWindow::placement(panel, QRect(780, 0, 20, 20), {}, screen), QPoint(500, 20));
    // Icon at the bottom: above it.
    EXPECT_EQ(PanelWindow::placement(panel, QRect(100, 580, 20, 20), {}, screen), QPoint(0, 380));
    // No icon geometry: at the pointer, kept on the screen.
    EXPECT_EQ(PanelWindow::placement(panel, QRect(), QPoint(400, 300), screen), QPoint(250, 301));
    EXPECT_EQ(PanelWindow::placement(panel, QRect(), QPoint(799, 599), screen), QPoint(500, 399));
}

} // namespace
