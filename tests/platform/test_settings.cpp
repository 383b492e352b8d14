// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "platform/settings/Settings.h"
#include "support/LogCapture.h"

#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace wl;
using namespace std::chrono_literals;

namespace {

// Root writes through file permissions: work runs on a thread that gave up that override (and
// only that), so that read-only files stay read-only as for any user.
void asOrdinaryUser(const std::function<void()>& work)
{
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        if (syscall(SYS_capget, &header, caps) == 0) {
            caps[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_FOWNER);
            syscall(SYS_capset, &header, caps);
        }
        work();
    }).join();
}

mode_t modeOf(const QString& path)
{
    struct stat st = {};
    return lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

// Runs work on a thread of its own; true if it ended in time. Work stuck on a FIFO is then
// released by opening the FIFO's other end, so that a failing test still ends.
bool endsInTime(const std::function<void()>& work, const QStringList& fifos)
{
    std::future<void> ended = std::async(std::launch::async, work);
    const bool inTime = ended.wait_for(5s) == std::future_status::ready;
    while (ended.wait_for(20ms) != std::future_status::ready) {
        for (const QString& fifo : fifos)
            close(open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK));
    }
    return inTime;
}

class SettingsTest : public ::testing::Test
{
protected:
    QString path() const { return m_dir.filePath(QStringLiteral("wardlatch/wardlatch.conf")); }
    void writeFile(const QByteArray& content) const
    {
        QDir().mkpath(m_dir.filePath(QStringLiteral("wardlatch")));
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    QByteArray fileContent() const
    {
        QFile f(path());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QTemporaryDir m_dir;
};

TEST_F(SettingsTest, AbsentOrWronglyTypedValuesReadAsZeroFalseAndNoValue)
{
    writeFile("[General]\nidVendor=abc\nUseScreenSaver=maybe\n"
              "idProduct=123456789012345678901234567890\n");
    Settings s(path());
    EXPECT_EQ(s.integerForKey(keys::idVendor), 0);
    EXPECT_EQ(s.integerForKey(keys::idProduct), 0);
    EXPECT_FALSE(s.boolForKey(keys::UseScreenSaver));
    EXPECT_FALSE(s.stringForKey(keys::kDeviceName).has_value());

    // Defaults are read, but never written.
    registerDefaultSettings(s);
    EXPECT_EQ(s.stringForKey(keys::kDeviceName), QStringLiteral(""));
    s.setObject(keys::idVendor, qint64(0x46d));
    EXPECT_EQ(fileContent(), "[General]\nUseScreenSaver=maybe\n"
                             "idProduct=123456789012345678901234567890\nidVendor=1133\n");
}

TEST_F(SettingsTest, LegacyNameMigratesEvenWhenEmptyAndStraySpellingsNeverReplaceIt)
{
    // The file's writer treats '/' as a separator: "kDeviceName/" and the like are written as
    // kDeviceName, and beside the real key a stray spelling reads as a valid value of its own.
    const std::pair<QByteArray, QString> rows[] = {
        {"USBName=My Key", QStringLiteral("My Key")},
        {"USBName=", QStringLiteral("")},
        {"kDeviceName=Stick", QStringLiteral("Stick")}, // nothing to migrate
        {"kDeviceName/=Old\nUSBName=New", QStringLiteral("New")},
        {"/kDeviceName=Old\nUSBName=New", QStringLiteral("New")},
        {"kDeviceName//=Old\nUSBName=New", QStringLiteral("New")},
        {"/=Old\n=empty\nUSBName=New", QStringLiteral("New")},
        {"kDeviceName=Old\nkDeviceName/=Old\nUSBName=New", QStringLiteral("New")},
    };
    for (const auto& [line, name] : rows) {
        SCOPED_TRACE(line.toStdString());
        writeFile("[General]\nidVendor=7\n" + line + "\n");
        Settings s(path());
        registerDefaultSettings(s);
        migrateLegacySettings(s);
        Settings next(path());
        EXPECT_FALSE(next.stringForKey(keys::USBName).has_value());
        EXPECT_EQ(next.stringForKey(keys::kDeviceName), name);
        EXPECT_EQ(next.integerForKey(keys::idVendor), 7);
    }
}

TEST_F(SettingsTest, SerializedValuesAreNeverDecodedEvenBehindEscapes)
{
    // A serialized list that claims about a billion elements: decoded, it takes gigabytes. The
    // reader unescapes before it decodes: "\x40" is an '@', "\x72" an 'r'.
    const QByteArray huge = "iant(\\0\\0\\0\\x86\\x31\\x32*x5)\n";
    writeFile("[General]\nidProduct=@Var" + huge + "idVendor=\\x40Var" + huge +
              "useHeadphones=@Va\\x72" + huge + "UseScreenSaver=a, \"b\", \\\n@Var" + huge +
              "kDeviceName=\"@@Variant(x)\"\nSUUpdaterChecksForBetaUpdates=7\n");
    test::LogCapture logs;
    Settings s(path());
    for (const char* key :
         {keys::idProduct, keys::idVendor, keys::useHeadphones, keys::UseScreenSaver})
        EXPECT_FALSE(s.objectForKey(key).isValid()) << key;
    EXPECT_EQ(s.integerForKey(keys::SUUpdaterChecksForBetaUpdates), 7);

    // Replaced by a file that can be read again, the choices of this run included.
    s.setObject(keys::idProduct, qint64(2));
    EXPECT_FALSE(fileContent().contains("*x5"));
    Settings next(path());
    EXPECT_EQ(next.integerForKey(keys::idProduct), 2);
    EXPECT_EQ(next.stringForKey(keys::kDeviceName), QStringLiteral("@Variant(x)")); // a literal @
    EXPECT_EQ(logs.countContaining(QStringLiteral("holds serialized values")), 1);
}

TEST_F(SettingsTest, UnwritableFileLogsOnceKeepsChoicesAndIsLeftAlone)
{
    // A regular file where the folder should be: nobody, root included, can create the file.
    writeFile("");
    test::LogCapture logs;
    Settings blocked(path() + QStringLiteral("/wardlatch.conf"));
    blocked.setObject(keys::idVendor, qint64(10));
    blocked.setBool(keys::UseScreenSaver, true);
    EXPECT_EQ(logs.lines().size(), 1);

    QFile::remove(path());
    Settings s(path());
    s.setObject(keys::idVendor, qint64(1));
    const QByteArray written = fileContent();
    ASSERT_TRUE(QFile::setPermissions(path(), QFile::ReadOwner));
    asOrdinaryUser([&] {
        s.setObject(keys::idProduct, qint64(2));
        s.removeObjectForKey(keys::idVendor);
        EXPECT_EQ(fileContent(), written); // the user's protection is respected

        // Writable again: the next write stores every choice of this run, without a line.
        ASSERT_TRUE(QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner));
        s.setObject(keys::kDeviceName, QStringLiteral("Stick"));
    });
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not write the settings file")), 2);
    EXPECT_EQ(logs.lines().size(), 2);
    Settings reread(path());
    EXPECT_EQ(reread.stringForKey(keys::kDeviceName), QStringLiteral("Stick"));
    EXPECT_EQ(reread.integerForKey(keys::idProduct), 2);
    EXPECT_EQ(reread.integerForKey(keys::idVendor), 0);
}

TEST_F(SettingsTest, FileChangedWhileRunningKeepsChoicesAndLogsOnce)
{
    const std::function<void()> changes[] = {
        [this] { QFile::remove(path()); },
        [this] { writeFile(""); },
        [this] { writeFile("[General]\nkDeviceName=Other\nidVendor=9\n"); },
    };
    for (size_t i = 0; i < std::size(changes); ++i) {
        SCOPED_TRACE(i);
        QFile::remove(path());
        Settings s(path());
        s.setObject(keys::kDeviceName, QStringLiteral("Stick"));
        s.setObject(keys::idVendor, qint64(1));
        test::LogCapture logs;
        changes[i]();
        EXPECT_EQ(s.stringForKey(keys::kDeviceName), QStringLiteral("Stick"));
        EXPECT_TRUE(logs.lines().isEmpty()); // reading never touches the file

        s.setObject(keys::idProduct, qint64(2));
        s.setBool(keys::UseScreenSaver, true); // the file is ours again: no second line
        EXPECT_EQ(logs.lines().size(), 1);
        Settings reread(path());
        EXPECT_EQ(reread.stringForKey(keys::kDeviceName), QStringLiteral("Stick"));
        EXPECT_EQ(reread.integerForKey(keys::idVendor), 1);
        EXPECT_TRUE(reread.boolForKey(keys::UseScreenSaver));
    }
}

TEST_F(SettingsTest, AnyDeviceNameSurvivesARestart)
{
    const QString names[] = {QStringLiteral("Key, @Stick"),
                             QStringLiteral("\x01Stick"),
                             QStringLiteral("@Variant(\\0\\0\\0\\x86)"),
                             QStringLiteral("  padded  "),
                             QStringLiteral("line\nbreak\r\n"),
                             QStringLiteral("\"quoted\" \\back\\slash\\"),
                             QStringLiteral("semi;colon = equals #hash %41"),
                             QStringLiteral("Ключ 鍵 🔑 e\u0301 \u202e"),
                             QString(QChar(0)) + QStringLiteral("0 then a digit \001f"),
                             QString(QChar(0xd800)) + QStringLiteral("a lone surrogate"),
                             QStringLiteral("")};
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        Settings s(path());
        s.setObject(keys::idProduct, qint64(-32768));
        s.setObject(keys::kDeviceName, name);
        s.setBool(keys::useHeadphones, true);
        Settings next(path());
        EXPECT_EQ(next.stringForKey(keys::kDeviceName), name);
        EXPECT_EQ(next.integerForKey(keys::idProduct), -32768);
        EXPECT_TRUE(fileContent().contains("\nuseHeadphones=true\n"));
    }
}

TEST_F(SettingsTest, NonRegularFilesAreNeitherReadNorBlockAndTheNextWriteReplacesThem)
{
    const QString side = m_dir.filePath(QStringLiteral("side-fifo"));
    const std::pair<const char*, std::function<bool()>> specials[] = {
        {"fifo", [this] { return mkfifo(QFile::encodeName(path()), 0600) == 0; }},
        {"link to /dev/zero", [this] { return QFile::link("/dev/zero", path()); }},
        {"link to a fifo",
         [&] { return mkfifo(QFile::encodeName(side), 0600) == 0 && QFile::link(side, path()); }},
    };
    for (const auto& [what, make] : specials) {
        SCOPED_TRACE(what);
        QFile::remove(side);
        QFile::remove(path());
        QDir().mkpath(m_dir.filePath(QStringLiteral("wardlatch")));
        ASSERT_TRUE(make());
        test::LogCapture logs;
        std::unique_ptr<Settings> s;
        ASSERT_TRUE(endsInTime([&] { s = std::make_unique<Settings>(path()); }, {path(), side}));
        EXPECT_EQ(logs.countContaining(QStringLiteral("is not a regular file")), 1);
        EXPECT_TRUE(s->storedChoiceLost());
        // The lock type is written: that must come back, and leave a file of our own.
        EXPECT_TRUE(endsInTime([&] { s->setBool(keys::UseScreenSaver, true); }, {path(), side}));
        EXPECT_EQ(modeOf(path()) & (S_IFMT | 07777), S_IFREG | 0600u);
        EXPECT_TRUE(Settings(path()).boolForKey(keys::UseScreenSaver));
    }
}

TEST_F(SettingsTest, ReadsNeverWaitForAWriteInProgress)
{
    Settings s(path());
    s.setBool(keys::UseScreenSaver, true);
    QFile::remove(path()); // the next write stops to log that the file went
    std::promise<void> writing;
    std::promise<void> release;
    std::once_flag once;
    const LogSink previous = setLogSink([&, released = release.get_future().share()](auto&) {
        std::call_once(once, [&] { writing.set_value(); });
        released.wait_for(10s);
    });
    std::thread writer([&] { s.setObject(keys::kDeviceName, QStringLiteral("Stick")); });
    const bool held = writing.get_future().wait_for(5s) == std::future_status::ready;
    // The lock path reads the lock type while the write is held up.
    std::future<bool> read =
        std::async(std::launch::async, [&] { return s.boolForKey(keys::UseScreenSaver); });
    const bool readInTime = read.wait_for(2s) == std::future_status::ready;
    release.set_value();
    writer.join();
    setLogSink(previous);
    EXPECT_TRUE(held);
    EXPECT_TRUE(readInTime);
    EXPECT_TRUE(read.get());
    EXPECT_EQ(Settings(path()).stringForKey(keys::kDeviceName), QStringLiteral("Stick"));
}

TEST_F(SettingsTest, FoldersAndFileAreTheOwnersAloneWhateverTheUmask)
{
    const QString file = m_dir.filePath(QStringLiteral("config/deeper/wardlatch/wardlatch.conf"));
    const mode_t saved = umask(0);
    Settings s(file);
    s.setObject(keys::kDeviceName, QStringLiteral("Stick"));
    s.setObject(keys::idVendor, qint64(1)); // over the file written just now
    umask(saved);
    EXPECT_EQ(modeOf(m_dir.filePath(QStringLiteral("config/deeper/wardlatch"))) & 07777, 0700u);
    for (const char* parent : {"config", "config/deeper"})
        EXPECT_EQ(modeOf(m_dir.filePath(QString::fromLatin1(parent))) & 022, 0u) << parent;
    EXPECT_EQ(Settings(file).integerForKey(keys::idVendor), 1);
}

TEST_F(SettingsTest, OversizedFilesAreReadOnlyAsFarAsTheirFirstMebibyte)
{
    writeFile("[General]\nkDeviceName=Stick\nidVendor=7\n");
    ASSERT_TRUE(QFile::resize(path(), 2 << 20));
    test::LogCapture logs;
    Settings kept(path());
    EXPECT_EQ(kept.stringForKey(keys::kDeviceName), QStringLiteral("Stick"));
    EXPECT_FALSE(kept.storedChoiceLost());
    EXPECT_EQ(logs.countContaining(QStringLiteral("larger than 1 MiB")), 1);

    writeFile("[General]\nUseScreenSaver=true\n;" + QByteArray(1 << 20, 'x') +
              "\nidVendor=7\nkDeviceName=Stick\n");
    Settings lost(path());
    EXPECT_TRUE(lost.boolForKey(keys::UseScreenSaver));
    EXPECT_EQ(lost.integerForKey(keys::idVendor), 0);
    EXPECT_TRUE(lost.storedChoiceLost());
    EXPECT_EQ(logs.countContaining(QStringLiteral("choose the key device again")), 1);
}

TEST(SettingsPath, FollowsAnAbsoluteXdgConfigHome)
{
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/tmp/wl-config");
    EXPECT_EQ(Settings::defaultFilePath(), "/tmp/wl-config/wardlatch/wardlatch.conf");
    qputenv("XDG_CONFIG_HOME", "relative");
    EXPECT_EQ(Settings::defaultFilePath(), QDir::homePath() + "/.config/wardlatch/wardlatch.conf");
    qputenv("XDG_CONFIG_HOME", saved);
}

} // namespace
