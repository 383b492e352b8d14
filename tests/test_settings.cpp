#include "app/Settings.h"
#include "app/SettingsKeys.h"
#include "support/LogCapture.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace wl;

namespace wl::test {

// Root writes through file permissions. While this exists the calling thread gives up that
// override (and only that), so read-only files stay read-only as for any user.
class AsOrdinaryUser
{
public:
    AsOrdinaryUser()
    {
        if (syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &=
            ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH | 1u << CAP_FOWNER);
        m_changed = syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~AsOrdinaryUser()
    {
        if (m_changed)
            syscall(SYS_capset, &m_header, m_saved);
    }
    AsOrdinaryUser(const AsOrdinaryUser&) = delete;
    AsOrdinaryUser& operator=(const AsOrdinaryUser&) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_changed = false;
};

} // namespace wl::test

namespace {

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

TEST_F(SettingsTest, AbsentValuesReadAsZeroFalseAndNoValue)
{
    Settings s(path());
    EXPECT_EQ(s.integerForKey(keys::idVendor), 0);
    EXPECT_FALSE(s.boolForKey(keys::useHeadphones));
    EXPECT_FALSE(s.stringForKey(keys::kDeviceName).has_value());

    s.setObject(keys::kDeviceName, QStringLiteral(""));
    ASSERT_TRUE(s.stringForKey(keys::kDeviceName).has_value());
    EXPECT_TRUE(s.stringForKey(keys::kDeviceName)->isEmpty());
}

TEST_F(SettingsTest, DefaultsAreReadButNeverWritten)
{
    Settings s(path());
    registerDefaultSettings(s);
    EXPECT_EQ(s.stringForKey(keys::kDeviceName), QStringLiteral(""));
    EXPECT_EQ(s.integerForKey(keys::SUUpdaterChecksForBetaUpdates), 1);
    EXPECT_FALSE(s.boolForKey(keys::UseScreenSaver));
    EXPECT_FALSE(s.objectForKey(keys::useHeadphones).isValid());

    s.setObject(keys::idVendor, qint64(0x46d));
    const QByteArray file = fileContent();
    EXPECT_TRUE(file.contains("[General]"));
    EXPECT_TRUE(file.contains("idVendor=1133"));
    EXPECT_FALSE(file.contains("SUUpdaterChecksForBetaUpdates"));
    EXPECT_FALSE(file.contains("kDeviceName"));
}

TEST_F(SettingsTest, ValuesPersistAcrossInstancesAndRemovalReadsZeroAgain)
{
    {
        Settings s(path());
        s.setObject(keys::idVendor, qint64(1452));
        s.setObject(keys::idProduct, qint64(-32768));
        s.setBool(keys::useHeadphones, true);
        s.setObject(keys::kDeviceName, QStringLiteral("Key, \"quoted\" @ name"));
    }
    Settings again(path());
    EXPECT_EQ(again.integerForKey(keys::idVendor), 1452);
    EXPECT_EQ(again.integerForKey(keys::idProduct), -32768);
    EXPECT_TRUE(again.boolForKey(keys::useHeadphones));
    EXPECT_EQ(again.stringForKey(keys::kDeviceName), QStringLiteral("Key, \"quoted\" @ name"));
    EXPECT_TRUE(fileContent().contains("useHeadphones=true"));
    EXPECT_EQ(QFileInfo(path()).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);

    again.removeObjectForKey(keys::idVendor);
    EXPECT_EQ(again.integerForKey(keys::idVendor), 0);
    EXPECT_EQ(Settings(path()).integerForKey(keys::idVendor), 0);
}

TEST_F(SettingsTest, LegacyNameMigratesEvenWhenEmpty)
{
    for (const QString& legacy : {QStringLiteral("My Key"), QStringLiteral("")}) {
        writeFile("[General]\nUSBName=" + legacy.toUtf8() + "\n");
        Settings s(path());
        registerDefaultSettings(s);
        migrateLegacySettings(s);
        EXPECT_EQ(s.stringForKey(keys::kDeviceName), legacy);
        EXPECT_FALSE(s.stringForKey(keys::USBName).has_value());
        EXPECT_EQ(s.integerForKey(keys::idVendor), 0);
        EXPECT_FALSE(Settings(path()).stringForKey(keys::USBName).has_value());
    }
}

TEST_F(SettingsTest, NoLegacyNameLeavesDeviceNameAlone)
{
    writeFile("[General]\nkDeviceName=Stick\n");
    Settings s(path());
    migrateLegacySettings(s);
    EXPECT_EQ(s.stringForKey(keys::kDeviceName), QStringLiteral("Stick"));
}

TEST_F(SettingsTest, WrongTypesReadAsAbsentAndOtherKeysStillRead)
{
    writeFile("[General]\nidVendor=abc\nUseScreenSaver=maybe\n"
              "idProduct=123456789012345678901234567890\nkDeviceName=Stick\n"
              "useHeadphones=true\nSUUpdaterChecksForBetaUpdates=1\n");
    Settings s(path());
    EXPECT_EQ(s.integerForKey(keys::idVendor), 0);
    EXPECT_FALSE(s.boolForKey(keys::UseScreenSaver));
    EXPECT_EQ(s.integerForKey(keys::idProduct), 0);
    EXPECT_EQ(s.stringForKey(keys::kDeviceName), QStringLiteral("Stick"));
    EXPECT_TRUE(s.boolForKey(keys::useHeadphones));
    EXPECT_EQ(s.integerForKey(keys::SUUpdaterChecksForBetaUpdates), 1);
}

TEST_F(SettingsTest, StraySpellingsOfAKeyNeverReplaceAChoice)
{
    // The file's writer treats '/' as a separator: each of these is written as kDeviceName.
    for (const char* stray : {"kDeviceName/", "/kDeviceName", "kDeviceName//", "/"}) {
        SCOPED_TRACE(stray);
        writeFile(QByteArray("[General]\nidVendor=7\n") + stray + "=Old\n=empty\n");
        Settings s(path());
        EXPECT_EQ(s.integerForKey(keys::idVendor), 7);
        s.setObject(keys::kDeviceName, QStringLiteral("New"));
        Settings next(path());
        EXPECT_EQ(next.stringForKey(keys::kDeviceName), QStringLiteral("New"));
        EXPECT_EQ(next.integerForKey(keys::idVendor), 7);
    }
    // Beside the real key, a stray spelling reads as a valid value of its own.
    writeFile("[General]\nkDeviceName=Old\nkDeviceName/=Old\n");
    Settings s(path());
    s.setObject(keys::kDeviceName, QStringLiteral("New"));
    EXPECT_EQ(Settings(path()).stringForKey(keys::kDeviceName), QStringLiteral("New"));
}

TEST_F(SettingsTest, SerializedValuesHiddenBehindEscapesAreNeverDecoded)
{
    // The reader unescapes before it decodes: "\x72" is an 'r', "\x40" an '@'.
    writeFile("[General]\nidProduct=@Va\\x72iant(\\0\\0\\0\\x86\\x31\\x32*x5)\n"
              "idVendor=\\x40Variant(\\0\\0\\0\\x86\\x31\\x32*x5)\n"
              "UseScreenSaver=a, \"b\", \\\n@Variant(\\0\\0\\0\\x86\\x31\\x32*x5)\n"
              "kDeviceName=Stick\\\\\n");
    Settings s(path());
    EXPECT_EQ(s.integerForKey(keys::idProduct), 0);
    EXPECT_EQ(s.integerForKey(keys::idVendor), 0);
    EXPECT_FALSE(s.boolForKey(keys::UseScreenSaver));
    EXPECT_EQ(s.stringForKey(keys::kDeviceName), QStringLiteral("Stick\\")); // an escaped '\'
}

TEST_F(SettingsTest, SerializedValuesAreNeverDecoded)
{
    // A serialized list that claims about a billion elements: decoded, it takes gigabytes.
    const QByteArray huge = "@Variant(\\0\\0\\0\\x86\\x31\\x32*x5)";
    writeFile("[General]\nidProduct=" + huge +
              "\nkDeviceName=\"@@Variant(x)\"\n"
              "idVendor=7\nUseScreenSaver=a, " +
              huge + "\n");
    test::LogCapture logs;
    Settings s(path());
    EXPECT_EQ(logs.countContaining(QStringLiteral("holds serialized values")), 1);
    EXPECT_EQ(s.integerForKey(keys::idVendor), 7);
    EXPECT_EQ(s.stringForKey(keys::kDeviceName), QStringLiteral("@Variant(x)")); // a literal '@'
    EXPECT_FALSE(s.objectForKey(keys::idProduct).isValid());
    EXPECT_FALSE(s.objectForKey(keys::UseScreenSaver).isValid());

    // Replaced by a file that can be read again, the choices of this run included.
    s.setObject(keys::idProduct, qint64(2));
    EXPECT_TRUE(fileContent().contains("idProduct=2"));
    EXPECT_FALSE(fileContent().contains("*x5"));
    Settings next(path());
    EXPECT_EQ(next.integerForKey(keys::idProduct), 2);
    EXPECT_EQ(next.stringForKey(keys::kDeviceName), QStringLiteral("@Variant(x)"));
    EXPECT_EQ(logs.countContaining(QStringLiteral("holds serialized values")), 1);
}

TEST_F(SettingsTest, GarbageAndTruncatedFilesNeverCrash)
{
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.append(char((i * 131 + 7) % 256));
    const QList<QByteArray> files{
        garbage,
        "[General]\nidVendor=12",                                      // truncated, no newline
        "[General\nidVendor=5\n",                                      // broken group header
        "[General]\nkDeviceName=@Variant(\\0\\0\\0\\x7f\\xff\\xff)\n", // bogus serialized value
        "[General]\nidVendor=@ByteArray(zz)\nidProduct=7\n",
        QByteArray(70000, '['),
        "[General]\n\xff=\xfe\n", // key not UTF-8
    };
    for (const QByteArray& content : files) {
        writeFile(content);
        Settings s(path());
        registerDefaultSettings(s);
        (void)s.integerForKey(keys::idVendor);
        (void)s.boolForKey(keys::UseScreenSaver);
        (void)s.stringForKey(keys::kDeviceName);
        test::LogCapture logs;
        s.setObject(keys::idVendor, qint64(3));
        EXPECT_EQ(s.integerForKey(keys::idVendor), 3);
        // A damaged file is replaced by a good one, and that write is no failure.
        EXPECT_EQ(logs.countContaining(QStringLiteral("Could not write")), 0);
        EXPECT_EQ(Settings(path()).integerForKey(keys::idVendor), 3);
    }
    writeFile("[General]\nidVendor=@ByteArray(zz)\nidProduct=7\n");
    Settings s(path());
    EXPECT_EQ(s.integerForKey(keys::idVendor), 0);
    EXPECT_EQ(s.integerForKey(keys::idProduct), 7);
}

TEST_F(SettingsTest, UnwritablePathLogsOnceAndKeepsValuesInMemory)
{
    // A regular file where the folder should be: nobody, root included, can create the file.
    writeFile("");
    const QString blocked = path() + QStringLiteral("/wardlatch.conf");
    test::LogCapture logs;
    Settings s(blocked);
    s.setObject(keys::idVendor, qint64(10));
    s.setBool(keys::UseScreenSaver, true);
    s.removeObjectForKey(keys::idVendor);
    s.setObject(keys::kDeviceName, QStringLiteral("Stick"));
    EXPECT_EQ(logs.countContaining(QStringLiteral("Could not write the settings file")), 1);
    EXPECT_TRUE(s.boolForKey(keys::UseScreenSaver));
    EXPECT_EQ(s.stringForKey(keys::kDeviceName), QStringLiteral("Stick"));
    EXPECT_EQ(s.integerForKey(keys::idVendor), 0);
}

TEST_F(SettingsTest, FileChangedWhileRunningKeepsChoicesAndLogsOnce)
{
    const std::function<void()> changes[] = {
        [this] { QFile::remove(path()); },
        [this] { QDir(m_dir.filePath(QStringLiteral("wardlatch"))).removeRecursively(); },
        [this] { writeFile("garbage\x01\x02\n[General\n\xff=\xfe"); },
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
        EXPECT_EQ(s.integerForKey(keys::idVendor), 1);
        EXPECT_TRUE(logs.lines().isEmpty()); // reading never touches the file

        s.setObject(keys::idProduct, qint64(2));
        s.setBool(keys::UseScreenSaver, true); // the file is ours again: no second line
        EXPECT_EQ(logs.lines().size(), 1) << logs.lines().join(u'\n').toStdString();
        EXPECT_EQ(logs.countContaining(QStringLiteral("was changed or removed")), 1);
        Settings reread(path());
        EXPECT_EQ(reread.stringForKey(keys::kDeviceName), QStringLiteral("Stick"));
        EXPECT_EQ(reread.integerForKey(keys::idVendor), 1);
        EXPECT_EQ(reread.integerForKey(keys::idProduct), 2);
        EXPECT_TRUE(reread.boolForKey(keys::UseScreenSaver));
    }
}

TEST_F(SettingsTest, ReadOnlyFileWhileRunningIsLeftAloneAndLogsOnce)
{
    Settings s(path());
    s.setObject(keys::kDeviceName, QStringLiteral("Stick"));
    s.setObject(keys::idVendor, qint64(1));
    const QByteArray written = fileContent();
    ASSERT_TRUE(QFile::setPermissions(path(), QFile::ReadOwner | QFile::ReadGroup));
    {
        test::AsOrdinaryUser user;
        ASSERT_FALSE(QFile(path()).open(QIODevice::ReadWrite)) << "the file is still writable";
        test::LogCapture logs;
        s.setObject(keys::idProduct, qint64(2));
        s.setBool(keys::UseScreenSaver, true);
        s.removeObjectForKey(keys::idVendor);
        EXPECT_EQ(logs.lines().size(), 1) << logs.lines().join(u'\n').toStdString();
        EXPECT_EQ(logs.countContaining(QStringLiteral("Could not write the settings file")), 1);
        EXPECT_EQ(s.integerForKey(keys::idProduct), 2);
        EXPECT_TRUE(s.boolForKey(keys::UseScreenSaver));
        EXPECT_EQ(s.integerForKey(keys::idVendor), 0);
        EXPECT_EQ(s.stringForKey(keys::kDeviceName), QStringLiteral("Stick"));
        EXPECT_EQ(fileContent(), written); // the user's protection is respected

        // Writable again: the next write stores every choice of this run, without a line.
        ASSERT_TRUE(QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner));
        s.setObject(keys::kDeviceName, QStringLiteral("Stick 2"));
        EXPECT_EQ(logs.lines().size(), 1);
    }
    Settings reread(path());
    EXPECT_EQ(reread.stringForKey(keys::kDeviceName), QStringLiteral("Stick 2"));
    EXPECT_EQ(reread.integerForKey(keys::idProduct), 2);
    EXPECT_TRUE(reread.boolForKey(keys::UseScreenSaver));
    EXPECT_EQ(reread.integerForKey(keys::idVendor), 0);
}

TEST(SettingsPath, FollowsXdgConfigHome)
{
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/tmp/wl-config");
    EXPECT_EQ(Settings::defaultFilePath(),
              QStringLiteral("/tmp/wl-config/wardlatch/wardlatch.conf"));
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(Settings::defaultFilePath(),
              QDir::homePath() + QStringLiteral("/.config/wardlatch/wardlatch.conf"));
    if (!saved.isNull())
        qputenv("XDG_CONFIG_HOME", saved);
}

} // namespace
