// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "platform/settings/Settings.h"
#include "support/LogCapture.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
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

using namespace std::chrono_literals;

mode_t modeOf(const QString& path)
{
    struct stat st
    {
    };
    return lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

// Runs work on a thread of its own; true if it ended in time. Work stuck on a FIFO is then
// released by opening the FIFO's other end, so that a failing test still ends.
bool endsInTime(const std::function<void()>& work, const QStringList& fifos = {})
{
    std::promise<void> done;
    std::future<void> ended = done.get_future();
    std::thread thread([&] {
        work();
        done.set_value();
    });
    const bool inTime = ended.wait_for(5s) == std::future_status::ready;
    while (ended.wait_for(20ms) != std::future_status::ready) {
        for (const QString& fifo : fifos) {
            const int fd = open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                close(fd);
        }
    }
    thread.join();
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

TEST_F(SettingsTest, AnyDeviceNameSurvivesARestart)
{
    const QString names[] = {
        QStringLiteral("Key, @Stick"),
        QStringLiteral("\x01Stick"),
        QStringLiteral("@Stick"),
        QStringLiteral("@Variant(\\0\\0\\0\\x86)"),
        QStringLiteral("  padded  "),
        QStringLiteral("line\nbreak\r\n"),
        QStringLiteral("\"quoted\" \\back\\slash\\"),
        QStringLiteral("semi;colon = equals #hash %41"),
        QStringLiteral("Ключ 鍵 🔑 e\u0301 \u202e"),
        QString(QChar(0)) + QStringLiteral("0 then a digit \x01"
                                           "f"),
        QString(QChar(0xd800)) + QStringLiteral("a lone surrogate"),
        QStringLiteral(""),
    };
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        {
            Settings s(path());
            s.setObject(keys::idVendor, qint64(7));
            s.setObject(keys::kDeviceName, name);
        }
        Settings next(path());
        EXPECT_EQ(next.stringForKey(keys::kDeviceName), name);
        EXPECT_EQ(next.integerForKey(keys::idVendor), 7);
    }
    // Files written by earlier versions.
    const std::pair<QByteArray, QString> written[] = {
        {"kDeviceName=\"Key, @Stick\"", QStringLiteral("Key, @Stick")},
        {"kDeviceName=\\x1Stick", QStringLiteral("\x01Stick")},
        {"kDeviceName=@@Stick", QStringLiteral("@Stick")},
        {"kDeviceName=\" x, \\\"@y\\\" \"", QStringLiteral(" x, \"@y\" ")},
        {"kDeviceName=\\xe9t\\xe9", QStringLiteral("\u00e9t\u00e9")},
    };
    for (const auto& [line, name] : written) {
        SCOPED_TRACE(line.toStdString());
        writeFile("[General]\n" + line + "\nidVendor=7\n");
        Settings s(path());
        EXPECT_EQ(s.stringForKey(keys::kDeviceName), name);
        EXPECT_EQ(s.integerForKey(keys::idVendor), 7);
    }
}

TEST_F(SettingsTest, NonRegularFilesAreNeitherReadNorBlockAndTheNextWriteReplacesThem)
{
    const QString side = m_dir.filePath(QStringLiteral("side-fifo"));
    struct Special
    {
        const char* what;
        std::function<bool(const QString&)> make;
    };
    const Special specials[] = {
        {"fifo", [](const QString& p) { return mkfifo(QFile::encodeName(p), 0600) == 0; }},
        {"link to /dev/zero", [](const QString& p) { return QFile::link("/dev/zero", p); }},
        {"link to a fifo",
         [&side](const QString& p) {
             return mkfifo(QFile::encodeName(side), 0600) == 0 && QFile::link(side, p);
         }},
    };
    for (const bool whileRunning : {false, true}) {
        for (const Special& special : specials) {
            SCOPED_TRACE(std::string(special.what) + (whileRunning ? ", while running" : ""));
            QFile::remove(path());
            QFile::remove(side);
            QDir().mkpath(m_dir.filePath(QStringLiteral("wardlatch")));
            const QStringList fifos{path(), side};
            std::unique_ptr<Settings> s;
            test::LogCapture logs;
            if (whileRunning) {
                s = std::make_unique<Settings>(path());
                s->setObject(keys::kDeviceName, QStringLiteral("Stick"));
                s->setObject(keys::idVendor, qint64(1));
                QFile::remove(path());
                ASSERT_TRUE(special.make(path()));
            } else {
                ASSERT_TRUE(special.make(path()));
                ASSERT_TRUE(endsInTime([&] { s = std::make_unique<Settings>(path()); }, fifos));
                EXPECT_EQ(logs.countContaining(QStringLiteral("is not a regular file")), 1);
                EXPECT_TRUE(s->storedChoiceLost());
            }
            // The lock type is written: that must come back, and leave a file of our own.
            EXPECT_TRUE(endsInTime([&] { s->setBool(keys::UseScreenSaver, true); }, fifos));
            EXPECT_TRUE(s->boolForKey(keys::UseScreenSaver));
            EXPECT_TRUE(S_ISREG(modeOf(path())));
            EXPECT_EQ(modeOf(path()) & 07777, 0600u);
            Settings next(path());
            EXPECT_TRUE(next.boolForKey(keys::UseScreenSaver));
            EXPECT_EQ(next.integerForKey(keys::idVendor), whileRunning ? 1 : 0);
        }
    }
}

TEST_F(SettingsTest, ReadsNeverWaitForAWriteInProgress)
{
    Settings s(path());
    s.setBool(keys::UseScreenSaver, true);
    QFile::remove(path()); // the next write stops to log that the file went
    std::mutex mutex;
    std::condition_variable changed;
    bool writing = false;
    bool release = false;
    const LogSink previous = setLogSink([&](const QString&) {
        std::unique_lock lock(mutex);
        writing = true;
        changed.notify_all();
        changed.wait_for(lock, 10s, [&] { return release; });
    });
    std::thread writer([&] { s.setObject(keys::kDeviceName, QStringLiteral("Stick")); });
    bool held = false;
    {
        std::unique_lock lock(mutex);
        held = changed.wait_for(lock, 5s, [&] { return writing; });
    }
    // The lock path reads the lock type while the write is held up.
    std::future<bool> read =
        std::async(std::launch::async, [&] { return s.boolForKey(keys::UseScreenSaver); });
    const bool readInTime = read.wait_for(2s) == std::future_status::ready;
    {
        std::lock_guard lock(mutex);
        release = true;
        changed.notify_all();
    }
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
    {
        Settings s(file);
        s.setObject(keys::kDeviceName, QStringLiteral("Stick"));
        s.setObject(keys::idVendor, qint64(1)); // over the file written just now
    }
    umask(saved);
    EXPECT_EQ(modeOf(m_dir.filePath(QStringLiteral("config/deeper/wardlatch"))) & 07777, 0700u);
    for (const char* parent : {"config", "config/deeper"})
        EXPECT_EQ(modeOf(m_dir.filePath(QString::fromLatin1(parent))) & 022, 0u) << parent;
    EXPECT_EQ(modeOf(file) & 07777, 0600u);
    EXPECT_EQ(Settings(file).integerForKey(keys::idVendor), 1);
}

TEST_F(SettingsTest, OversizedFilesAreReadOnlyAsFarAsTheirFirstMebibyte)
{
    // The choice up front and more than the cap behind it: kept.
    writeFile("[General]\nkDeviceName=Stick\nidVendor=7\nUseScreenSaver=true\n");
    ASSERT_TRUE(QFile::resize(path(), 2 << 20));
    {
        test::LogCapture logs;
        Settings s(path());
        EXPECT_EQ(s.stringForKey(keys::kDeviceName), QStringLiteral("Stick"));
        EXPECT_EQ(s.integerForKey(keys::idVendor), 7);
        EXPECT_TRUE(s.boolForKey(keys::UseScreenSaver));
        EXPECT_FALSE(s.storedChoiceLost());
        EXPECT_EQ(logs.countContaining(QStringLiteral("larger than 1 MiB")), 1);
    }
    // The choice behind the first MiB is lost, and that is said.
    writeFile("[General]\nUseScreenSaver=true\n;" + QByteArray(1 << 20, 'x') +
              "\nidVendor=7\nkDeviceName=Stick\n");
    test::LogCapture logs;
    Settings s(path());
    EXPECT_TRUE(s.boolForKey(keys::UseScreenSaver));
    EXPECT_EQ(s.integerForKey(keys::idVendor), 0);
    EXPECT_TRUE(s.storedChoiceLost());
    EXPECT_EQ(logs.countContaining(QStringLiteral("choose the key device again")), 1);
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
