// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/session/LoginItems.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace wl;
using namespace Qt::StringLiterals;

namespace {

// The keys of the main group, as a reader of the entry sees them.
QMap<QString, QString> mainGroup(const QString& path)
{
    QFile file(path);
    QMap<QString, QString> keys;
    bool inMain = false;
    for (const QByteArray& line :
         file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>()) {
        if (line.startsWith('['))
            inMain = line == "[Desktop Entry]";
        else if (const qsizetype eq = line.indexOf('='); inMain && eq > 0)
            keys.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return keys;
}

mode_t modeOf(const QString& path)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class LoginItemTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    LoginItems items{dir.path()};
};

TEST_F(LoginItemTest, EachLaunchRewritesTheEntryToStartExactlyThatExecutable)
{
    // One quoted argument: inside the quotes " ` $ \ take a backslash and % is doubled; then the
    // file's own escapes (\\ \t \n \r), which a reader undoes first.
    const std::pair<QString, QString> rows[] = {
        {u"/opt/My Apps/wardlatch"_s, uR"("/opt/My Apps/wardlatch")"_s},
        {u"/tmp/a\"quote/it's/$HOME/`id`"_s, uR"("/tmp/a\\"quote/it's/\\$HOME/\\`id\\`")"_s},
        {u"/tmp/100%/%f;|&<>~*?#"_s, uR"("/tmp/100%%/%%f;|&<>~*?#")"_s},
        {u"/tmp/tab\there/new\nline/cr\r"_s, uR"("/tmp/tab\there/new\nline/cr\r")"_s},
        {u"/tmp/back\\slash/trailing\\"_s, uR"("/tmp/back\\\\slash/trailing\\\\")"_s},
        {u"/tmp/\u00fcn\u00efc\u00f6de"_s, u"\"/tmp/\u00fcn\u00efc\u00f6de\""_s},
    };
    for (const auto& [path, exec] : rows) {
        ASSERT_TRUE(items.insertItemLast(path));
        const QMap<QString, QString> entry = mainGroup(items.entryPath());
        EXPECT_EQ(entry.value("Exec"), exec);
        EXPECT_EQ(entry.value("Type"), "Application");
    }
}

TEST_F(LoginItemTest, AnEntryTheUserDisabledStaysDisabled)
{
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"Hidden=true", "Hidden", "true"},
        {"X-GNOME-Autostart-enabled=false", "X-GNOME-Autostart-enabled", "false"},
        {"[Desktop Action quit]\nHidden=true", "Hidden", nullptr}, // another group's key
    };
    for (const auto& [line, key, value] : cases) {
        QFile file(items.entryPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[Desktop Entry]\nExec=/old/wardlatch\n" + QByteArray(line) + "\n");
        file.close();
        ASSERT_TRUE(items.insertItemLast("/new/wardlatch"));
        const QMap<QString, QString> entry = mainGroup(items.entryPath());
        EXPECT_EQ(entry.value("Exec"), "\"/new/wardlatch\"");
        EXPECT_EQ(entry.value(key), value) << line;
    }
}

TEST_F(LoginItemTest, SessionEntryIsPrivateAndReplacedInOneStepWhateverTheUmask)
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("config")));
    // Under umask 000 another user could otherwise rewrite the entry's Exec line.
    struct MaskGuard
    {
        mode_t saved = ::umask(0);
        ~MaskGuard() { ::umask(saved); }
    } mask;
    std::unique_ptr<LoginItems> session = LoginItems::createSessionLoginItems();
    ASSERT_TRUE(session);
    const QString path = session->entryPath();
    EXPECT_EQ(path, dir.filePath("config/autostart/wardlatch.desktop"));
    EXPECT_TRUE(session->insertItemLast("/usr/bin/wardlatch"));
    EXPECT_EQ(modeOf(dir.filePath("config")), 0700u);
    EXPECT_EQ(modeOf(dir.filePath("config/autostart")), 0700u);
    EXPECT_EQ(modeOf(path), 0644u);
    // An entry others can write is replaced, not rewritten in place, and no temporary file stays.
    const QByteArray native = QFile::encodeName(path);
    ::chmod(native.constData(), 0666);
    ASSERT_EQ(::link(native.constData(), QFile::encodeName(dir.filePath("before")).constData()), 0);
    EXPECT_TRUE(session->insertItemLast("/usr/bin/wardlatch"));
    EXPECT_EQ(modeOf(path), 0644u);
    EXPECT_EQ(modeOf(dir.filePath("before")), 0666u); // the old file, untouched
    EXPECT_EQ(QDir(dir.filePath("config/autostart")).entryList(QDir::Files | QDir::Hidden),
              QStringList{"wardlatch.desktop"});

    // Failures say so: a config home that cannot hold folders, a missing folder, no path.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(path + "/config"));
    EXPECT_FALSE(LoginItems::createSessionLoginItems());
    EXPECT_FALSE(LoginItems(dir.filePath("none")).insertItemLast("/usr/bin/wardlatch"));
    EXPECT_FALSE(items.insertItemLast(QString()));
}

} // namespace
