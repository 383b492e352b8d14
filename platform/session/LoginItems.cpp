#include "platform/session/LoginItems.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>

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
} // namespace

std::unique_ptr<LoginItems> LoginItems::createSessionLoginItems()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (config.isEmpty())
        return nullptr;
    const QString dir = config + QStringLiteral("/autostart");
    if (!QDir().mkpath(dir))
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

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write((lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    return file.commit();
}

} // namespace wl
