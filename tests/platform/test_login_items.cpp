// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/session/LoginItems.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>
#include <sys/stat.h>

using namespace wl;

namespace {

// A reader's side of an Exec value: the file format's string escapes first, then the argument
// quoting, then field codes. Returns no value where a reader would reject the line.
std::optional<QStringList> execArguments(const QString& value)
{
    QString unescaped;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            unescaped += value[i];
            continue;
        }
        const QChar next = value[++i];
        if (next == QLatin1Char('s'))
            unescaped += QLatin1Char(' ');
        else if (next == QLatin1Char('n'))
            unescaped += QLatin1Char('\n');
        else if (next == QLatin1Char('t'))
            unescaped += QLatin1Char('\t');
        else if (next == QLatin1Char('r'))
            unescaped += QLatin1Char('\r');
        else if (next == QLatin1Char('\\'))
            unescaped += QLatin1Char('\\');
        else
            unescaped += QLatin1Char('\\') + next; // left for the quoting stage
    }

    const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QStringList args;
    QString current;
    bool inArg = false;
    for (qsizetype i = 0; i < unescaped.size(); ++i) {
        const QChar c = unescaped[i];
        if (c == QLatin1Char(' ')) {
            if (inArg)
                args << current;
            current.clear();
            inArg = false;
        } else if (c == QLatin1Char('"')) {
            inArg = true;
            for (++i;; ++i) {
                if (i >= unescaped.size())
                    return std::nullopt; // unterminated
                const QChar q = unescaped[i];
                if (q == QLatin1Char('"'))
                    break;
                if (q == QLatin1Char('\\')) {
                    if (i + 1 >= unescaped.size())
                        return std::nullopt;
                    const QChar e = unescaped[++i];
                    if (!QStringLiteral("\"`$\\").contains(e))
                        return std::nullopt;
                    current += e;
                } else if (q == QLatin1Char('`') || q == QLatin1Char('$')) {
                    return std::nullopt; // must be escaped inside quotes
                } else {
                    current += q;
                }
            }
        } else if (reserved.contains(c)) {
            return std::nullopt; // reserved characters only inside quotes
        } else {
            inArg = true;
            current += c;
        }
    }
    if (inArg)
        args << current;

    for (QString& arg : args) {
        QString expanded;
        for (qsizetype i = 0; i < arg.size(); ++i) {
            if (arg[i] != QLatin1Char('%')) {
                expanded += arg[i];
                continue;
            }
            if (i + 1 < arg.size() && arg[i + 1] == QLatin1Char('%')) {
                expanded += QLatin1Char('%');
                ++i;
                continue;
            }
            return std::nullopt; // a field code the launcher would expand
        }
        arg = expanded;
    }
    return args;
}

QString readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QString execLine(const QString& content)
{
    for (const QString& line : content.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("Exec=")))
            return line.mid(5);
    }
    return {};
}

TEST(LoginItemExec, EveryAwkwardPathStartsExactlyThatProgram)
{
    const QStringList paths{
        QStringLiteral("/usr/bin/wardlatch"),
        QStringLiteral("/opt/My Apps/wardlatch"),
        QStringLiteral("/tmp/a\"quote/wardlatch"),
        QStringLiteral("/tmp/it's/wardlatch"),
        QStringLiteral("/tmp/back\\slash/wardlatch"),
        QStringLiteral("/tmp/$HOME/wardlatch"),
        QStringLiteral("/tmp/`id`/wardlatch"),
        QStringLiteral("/tmp/100%/%f/wardlatch"),
        QStringLiteral("/tmp/tab\there/new\nline/wardlatch"),
        QStringLiteral("/tmp/a;b|c&d>e<f~g*h?i#j(k)/wardlatch"),
        QStringLiteral("/tmp/\u00fcn\u00efc\u00f6de/wardlatch"),
        QStringLiteral("/tmp/trailing\\"),
    };
    for (const QString& path : paths) {
        const QString value = LoginItems::execValueFor(path);
        EXPECT_FALSE(value.contains(QLatin1Char('\n'))) << value.toStdString();
        const std::optional<QStringList> args = execArguments(value);
        ASSERT_TRUE(args) << value.toStdString();
        EXPECT_EQ(*args, QStringList{path}) << value.toStdString();
    }
}

class LoginItemTest : public ::testing::Test
{
protected:
    LoginItemTest() : items(dir.filePath("autostart")) { QDir().mkpath(dir.filePath("autostart")); }
    void writeEntry(const QByteArray& content)
    {
        QFile f(items.entryPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }

    QTemporaryDir dir;
    LoginItems items;
};

TEST_F(LoginItemTest, WritesAnEnabledEntryForTheExecutable)
{
    ASSERT_TRUE(items.insertItemLast("/opt/My Apps/wardlatch"));
    const QString content = readFile(items.entryPath());
    EXPECT_TRUE(content.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(content.contains("\nType=Application\n"));
    EXPECT_EQ(execArguments(execLine(content)), QStringList{"/opt/My Apps/wardlatch"});
    EXPECT_FALSE(content.contains("Hidden="));

    // Every launch rewrites the same single entry, following a moved executable.
    ASSERT_TRUE(items.insertItemLast("/usr/local/bin/wardlatch"));
    const QString again = readFile(items.entryPath());
    EXPECT_EQ(again.count("[Desktop Entry]"), 1);
    EXPECT_EQ(execArguments(execLine(again)), QStringList{"/usr/local/bin/wardlatch"});
}

TEST_F(LoginItemTest, AnEntryTheUserDisabledStaysDisabled)
{
    for (const QByteArray& choice :
         {QByteArray("Hidden=true"), QByteArray("X-GNOME-Autostart-enabled=false")}) {
        writeEntry("[Desktop Entry]\nType=Application\nName=Wardlatch\nExec=/old/wardlatch\n" +
                   choice + "\n");
        ASSERT_TRUE(items.insertItemLast("/new/wardlatch"));
        const QString content = readFile(items.entryPath());
        EXPECT_TRUE(content.contains(QString::fromLatin1("\n" + choice + "\n")))
            << content.toStdString();
        EXPECT_EQ(execArguments(execLine(content)), QStringList{"/new/wardlatch"});
    }

    // Keys of other groups are not the main entry's.
    writeEntry("[Desktop Entry]\nExec=/old/wardlatch\n[Desktop Action quit]\nHidden=true\n");
    ASSERT_TRUE(items.insertItemLast("/new/wardlatch"));
    EXPECT_FALSE(readFile(items.entryPath()).contains("Hidden"));
}

TEST_F(LoginItemTest, FailuresReportFalseWithoutWritingElsewhere)
{
    LoginItems missing(dir.filePath("no/such/folder"));
    EXPECT_FALSE(missing.insertItemLast("/usr/bin/wardlatch"));
    EXPECT_FALSE(QFile::exists(missing.entryPath()));
    EXPECT_FALSE(items.insertItemLast(QString()));
}

mode_t modeOf(const QString& path)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(SessionLoginItems, LiveInTheAutostartFolderOfTheConfigHomeWhateverTheUmask)
{
    QTemporaryDir home;
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
    // Under umask 000 another user could otherwise rewrite the entry's Exec line.
    struct MaskGuard
    {
        mode_t saved = ::umask(0);
        ~MaskGuard() { ::umask(saved); }
    } mask;
    std::unique_ptr<LoginItems> items = LoginItems::createSessionLoginItems();
    ASSERT_TRUE(items);
    EXPECT_EQ(items->entryPath(), home.filePath("config/autostart/wardlatch.desktop"));
    EXPECT_TRUE(items->insertItemLast("/usr/bin/wardlatch"));
    EXPECT_EQ(modeOf(home.filePath("config")), 0700u);
    EXPECT_EQ(modeOf(home.filePath("config/autostart")), 0700u);
    EXPECT_EQ(modeOf(items->entryPath()), 0644u);
    // An entry others can write is replaced by one they cannot, and no temporary file remains.
    ::chmod(QFile::encodeName(items->entryPath()).constData(), 0666);
    EXPECT_TRUE(items->insertItemLast("/usr/bin/wardlatch"));
    EXPECT_EQ(modeOf(items->entryPath()), 0644u);
    EXPECT_EQ(QDir(home.filePath("config/autostart")).entryList(QDir::Files | QDir::Hidden),
              QStringList{"wardlatch.desktop"});

    // A config home that cannot hold folders gives no list.
    QFile blocker(home.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("file/config")));
    EXPECT_FALSE(LoginItems::createSessionLoginItems());
    if (saved.isEmpty())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", saved);
}

} // namespace
