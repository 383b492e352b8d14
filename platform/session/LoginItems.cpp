// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/session/LoginItems.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wl {

namespace {
constexpr char kEntryName[] = "wardlatch.desktop";
constexpr char kGroup[] = "[Desktop Entry]";
// The keys through which a user (or the desktop's settings) switches an entry off.
const QStringList& userChoiceKeys()
{
    static const QStringList keys{QStringLiteral("Hidden"),
                                  QStringLiteral("X-GNOME-Autostart-enabled")};
    return keys;
}

// Lines of the main group that carry a user choice, as they stand in the file.
QStringList userChoiceLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList kept;
    bool inMainGroup = false;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String(kGroup);
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq > 0 && userChoiceKeys().contains(line.left(eq).trimmed()))
            kept << line;
    }
    return kept;
}

// Makes the missing folders of path private to the user, whatever the umask; folders that
// exist already are left as the user has them.
bool makePrivatePath(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return true;
    const QString parent = info.path();
    if (parent != path && !makePrivatePath(parent))
        return false;
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0)
        return errno == EEXIST && QFileInfo(path).isDir();
    return ::chmod(native.constData(), 0700) == 0;
}

// Replaces path in one step with content, readable by others and writable only by the user:
// a reader never sees half an entry, and the umask never decides who may change the Exec line.
bool writeEntryAtomically(const QString& path, const QByteArray& content)
{
    QString target = path;
    const QFileInfo info(path);
    if (info.isSymLink())
        target = info.symLinkTarget(); // the user keeps the entry elsewhere: update it there
    const QFileInfo targetInfo(target);
    // Hidden and without the .desktop suffix, so no session starts a half-written entry.
    QByteArray temp = QFile::encodeName(targetInfo.path() + QLatin1String("/.") +
                                        targetInfo.fileName() + QLatin1String(".XXXXXX"));
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC); // created 0600
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, 0644) == 0;
    for (qsizetype done = 0; ok && done < content.size();) {
        const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += n > 0 ? n : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), QFile::encodeName(target).constData()) == 0;
    if (!ok)
        ::unlink(temp.constData());
    return ok;
}
} // namespace

std::unique_ptr<LoginItems> LoginItems::createSessionLoginItems()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (config.isEmpty())
        return nullptr;
    const QString dir = config + QStringLiteral("/autostart");
    if (!makePrivatePath(dir))
        return nullptr;
    return std::make_unique<LoginItems>(dir);
}

LoginItems::LoginItems(QString autostartDir) : m_dir(std::move(autostartDir)) {}

QString LoginItems::entryPath() const
{
    return m_dir + QLatin1Char('/') + QLatin1String(kEntryName);
}

QString LoginItems::execValueFor(const QString& executablePath)
{
    // First the argument quoting: inside double quotes, " ` $ and \ take a backslash, and a
    // literal % is doubled so it is not read as a field code.
    QString quoted = QStringLiteral("\"");
    for (QChar c : executablePath) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        else if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    quoted += QLatin1Char('"');
    // Then the string escapes of the file format, which readers undo first.
    QString value;
    for (QChar c : std::as_const(quoted)) {
        switch (c.unicode()) {
        case '\\':
            value += QStringLiteral("\\\\");
            break;
        case '\n':
            value += QStringLiteral("\\n");
            break;
        case '\t':
            value += QStringLiteral("\\t");
            break;
        case '\r':
            value += QStringLiteral("\\r");
            break;
        default:
            value += c;
        }
    }
    return value;
}

bool LoginItems::insertItemLast(const QString& executablePath)
{
    if (executablePath.isEmpty())
        return false;
    const QString path = entryPath();
    const QStringList kept = userChoiceLines(path);

    QStringList lines{QLatin1String(kGroup),
                      QStringLiteral("Type=Application"),
                      QStringLiteral("Name=Wardlatch"),
                      QStringLiteral("Comment=Locks the session when the key device goes away"),
                      QStringLiteral("Exec=") + execValueFor(executablePath),
                      QStringLiteral("Terminal=false")};
    lines << kept;

    return writeEntryAtomically(path, (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
}

} // namespace wl
