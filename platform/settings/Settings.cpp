// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/settings/Settings.h"

#include "app/SettingsKeys.h"
#include "platform/log/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace wl {

namespace {
bool isIntegerType(int typeId)
{
    switch (typeId) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return true;
    default:
        return false;
    }
}

// A settings file is a few hundred bytes: a bigger one is read only this far.
constexpr qsizetype kMaxFileSize = qsizetype(1) << 20;

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    bool close()
    {
        const int fd = std::exchange(m_fd, -1);
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd;
};

struct FileRead
{
    enum Kind
    {
        Absent,
        Regular,
        NotRegular,
        Unreadable
    };
    Kind kind = Absent;
    QByteArray content; // at most kMaxFileSize bytes
    bool oversized = false;
};

// Opened without blocking, so that a FIFO or a device at the path cannot hold the program up,
// and read only if what was opened is a regular file.
FileRead readSettingsFile(const QString& path)
{
    FileRead result;
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        struct stat st
        {
        };
        if (errno == ENOENT || errno == ENOTDIR)
            result.kind = FileRead::Absent;
        else if (lstat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
            result.kind = FileRead::NotRegular; // a socket, say
        else
            result.kind = FileRead::Unreadable;
        return result;
    }
    FileDescriptor closer(fd);
    struct stat st
    {
    };
    if (fstat(fd, &st) != 0) {
        result.kind = FileRead::Unreadable;
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.kind = FileRead::NotRegular;
        return result;
    }
    // One byte more than the limit tells a file that is too big, even one still growing.
    const qsizetype wanted = qsizetype(std::min<qint64>(st.st_size, kMaxFileSize)) + 1;
    QByteArray content(std::max<qsizetype>(wanted, 4096), Qt::Uninitialized);
    qsizetype got = 0;
    while (got <= kMaxFileSize) {
        if (got == content.size())
            content.resize(std::min(content.size() * 2, kMaxFileSize + 1));
        const ssize_t n = ::read(fd, content.data() + got, size_t(content.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.kind = FileRead::Unreadable;
            return result;
        }
        if (n == 0)
            break;
        got += n;
    }
    result.kind = FileRead::Regular;
    result.oversized = got > kMaxFileSize;
    content.resize(std::min(got, kMaxFileSize));
    result.content = std::move(content);
    return result;
}

// The file reader's line rules: a line ends at a line break or a ';' outside quotes, a
// backslash takes the next character along (a line break too), and a ';' that starts a line
// makes it a comment. equals is the first '=' outside quotes, or -1.
struct IniLine
{
    qsizetype start = 0;
    qsizetype length = 0;
    qsizetype equals = -1;
};

bool nextIniLine(QByteArrayView data, qsizetype& pos, IniLine& line)
{
    const qsizetype size = data.size();
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    bool inQuotes = false;
    line.equals = -1;
    qsizetype start = pos;
    while (start < size && isSpace(data[start]))
        ++start;
    qsizetype i = start;
    while (i < size) {
        const char ch = data[i++];
        if (ch == '=') {
            if (!inQuotes && line.equals == -1)
                line.equals = i - 1;
        } else if (ch == '\n' || ch == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (ch == '\\') {
            if (i < size) {
                const char escaped = data[i++];
                if (i < size &&
                    ((escaped == '\n' && data[i] == '\r') || (escaped == '\r' && data[i] == '\n')))
                    ++i;
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else if (ch == ';') {
            if (i == start + 1) {
                while (i < size && data[i] != '\n' && data[i] != '\r')
                    ++i;
                start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    line.start = start;
    line.length = i - start;
    return line.length > 0;
}

qsizetype startOfLines(QByteArrayView data)
{
    return data.startsWith("\xef\xbb\xbf") ? 3 : 0; // the reader skips a UTF-8 byte order mark
}

int digitValue(char c, int base)
{
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

// The parts of a value as the file reader unescapes them: a comma outside quotes starts a new
// part; spaces at a part's start and after a closing quote are skipped, trailing ones dropped
// from unquoted parts; C escapes, with \x and octal escapes of any length kept to 16 bits.
QStringList iniValueParts(QByteArrayView str)
{
    static constexpr char kSimpleEscapes[][2] = {
        {'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'},
        {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    const qsizetype size = str.size();
    QStringList parts;
    QString part;
    bool inQuotes = false;
    bool quoted = false;
    bool chopAtEnd = true;
    qsizetype i = 0;
    qsizetype chopLimit = 0;
    const auto skipSpaces = [&] {
        while (i < size && (str[i] == ' ' || str[i] == '\t'))
            ++i;
    };
    const auto chopTrailingSpaces = [&] {
        while (part.size() > chopLimit && (part.back() == u' ' || part.back() == u'\t'))
            part.chop(1);
    };
    skipSpaces();
    while (i < size) {
        const char ch = str[i];
        if (ch == '\\') {
            if (++i >= size) {
                chopAtEnd = false;
                break;
            }
            const char escaped = str[i++];
            const auto* simple = std::find_if(std::begin(kSimpleEscapes), std::end(kSimpleEscapes),
                                              [escaped](const char* e) { return e[0] == escaped; });
            if (simple != std::end(kSimpleEscapes)) {
                part += QLatin1Char((*simple)[1]);
                chopLimit = part.size();
                continue;
            }
            const int base = escaped == 'x' ? 16 : digitValue(escaped, 8) >= 0 ? 8 : 0;
            if (base == 16 && i >= size) {
                chopAtEnd = false;
                break;
            }
            if (base == 8 || (base == 16 && digitValue(str[i], 16) >= 0)) {
                char16_t value = base == 8 ? char16_t(escaped - '0') : 0;
                while (i < size && digitValue(str[i], base) >= 0)
                    value = char16_t(value * base + digitValue(str[i++], base));
                part += QChar(value);
                if (i >= size) {
                    chopAtEnd = false;
                    break;
                }
            } else if ((escaped == '\n' || escaped == '\r') && i < size &&
                       (str[i] == '\n' || str[i] == '\r') && str[i] != escaped) {
                ++i;
            }
            chopLimit = part.size();
            continue;
        }
        if (ch == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) {
                skipSpaces();
                chopLimit = part.size();
            }
            continue;
        }
        if (ch == ',' && !inQuotes) {
            if (!quoted)
                chopTrailingSpaces();
            parts.append(part);
            part.clear();
            quoted = false;
            ++i;
            skipSpaces();
            chopLimit = 0;
            continue;
        }
        qsizetype j = i + 1;
        while (j < size && str[j] != '\\' && str[j] != '"' && str[j] != ',')
            ++j;
        part += QString::fromUtf8(str.sliced(i, j - i));
        i = j;
    }
    if (chopAtEnd && !quoted)
        chopTrailingSpaces();
    parts.append(part);
    return parts;
}

// "@Variant(" values are binary streams that the file reader decodes with their own lengths: a
// few bytes can make it allocate and fill gigabytes. The reader decodes a value part that,
// once unescaped, starts with a single '@' ("@@" stands for a literal '@'), and this program
// never writes one; lines with such a value are blanked before the reader sees them.
QByteArray withoutTypedValues(const QByteArray& content, bool* dropped)
{
    QByteArray kept = content;
    qsizetype pos = startOfLines(content);
    IniLine line;
    while (nextIniLine(content, pos, line)) {
        if (content[line.start] == '[' || line.equals < 0)
            continue;
        const QByteArrayView value = QByteArrayView(content).sliced(
            line.equals + 1, line.start + line.length - line.equals - 1);
        const QStringList parts = iniValueParts(value);
        if (std::any_of(parts.cbegin(), parts.cend(), [](const QString& part) {
                return part.startsWith(u'@') && !part.startsWith(QLatin1String("@@"));
            })) {
            // Line breaks in its place keep every other line as it was.
            std::fill_n(kept.begin() + line.start, line.length, '\n');
            *dropped = true;
        }
    }
    return kept;
}

// Where the last line that ends within the data ends: a line cut off is not read.
qsizetype endOfCompleteLines(const QByteArray& content)
{
    qsizetype pos = startOfLines(content);
    qsizetype end = 0;
    IniLine line;
    while (nextIniLine(content, pos, line)) {
        if (pos < content.size())
            end = pos;
    }
    return end;
}

// The reader's key escapes: '/' (a group separator) as '\', all but [A-Za-z0-9_.-] as %XX.
void appendEscapedKey(const QString& key, QByteArray& out)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const QChar c : key) {
        char16_t ch = c.unicode();
        if (ch == u'/') {
            out += '\\';
        } else if ((ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') ||
                   (ch >= u'0' && ch <= u'9') || ch == u'_' || ch == u'-' || ch == u'.') {
            out += char(ch);
        } else if (ch <= 0xff) {
            out += '%';
            out += kHex[ch / 16];
            out += kHex[ch % 16];
        } else {
            out += "%U";
            char digits[4];
            for (int i = 3; i >= 0; --i, ch >>= 4)
                digits[i] = kHex[ch % 16];
            out.append(digits, 4);
        }
    }
}

// One string as the reader reads it back exactly: control characters, quotes, backslashes and
// unpaired surrogates escaped, the rest as UTF-8; quoted when it holds a separator or starts or
// ends with a space. A hex digit after a numeric escape is escaped too, or the escape would
// take it in.
void appendEscapedString(const QString& text, QByteArray& out)
{
    const qsizetype start = out.size();
    bool needsQuotes = false;
    bool escapeHexDigit = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t ch = text[i].unicode();
        if (ch == u';' || ch == u',' || ch == u'=')
            needsQuotes = true;
        if (escapeHexDigit && ch < 0x80 && digitValue(char(ch), 16) >= 0) {
            out += "\\x" + QByteArray::number(int(ch), 16);
            continue;
        }
        escapeHexDigit = false;
        const bool pairedSurrogate = QChar::isHighSurrogate(ch) && i + 1 < text.size() &&
                                     QChar::isLowSurrogate(text[i + 1].unicode());
        switch (ch) {
        case u'\0':
            out += "\\0";
            escapeHexDigit = true;
            break;
        case u'\a':
            out += "\\a";
            break;
        case u'\b':
            out += "\\b";
            break;
        case u'\f':
            out += "\\f";
            break;
        case u'\n':
            out += "\\n";
            break;
        case u'\r':
            out += "\\r";
            break;
        case u'\t':
            out += "\\t";
            break;
        case u'\v':
            out += "\\v";
            break;
        case u'"':
        case u'\\':
            out += '\\';
            out += char(ch);
            break;
        default:
            if (ch <= 0x1f || (QChar::isSurrogate(ch) && !pairedSurrogate)) {
                out += "\\x" + QByteArray::number(int(ch), 16);
                escapeHexDigit = true;
            } else if (ch < 0x80) {
                out += char(ch);
            } else {
                out += text.sliced(i, pairedSurrogate ? 2 : 1).toUtf8();
                i += pairedSurrogate ? 1 : 0;
            }
        }
    }
    if (needsQuotes ||
        (out.size() > start && (out.at(start) == ' ' || out.at(out.size() - 1) == ' '))) {
        out.insert(start, '"');
        out += '"';
    }
}

// A value as text: a leading '@' is doubled, which the reader reads as a literal '@'.
void appendEscapedValue(const QVariant& value, QByteArray& out)
{
    const auto appendOne = [&out](QString text) {
        if (text.startsWith(u'@'))
            text.prepend(u'@');
        appendEscapedString(text, out);
    };
    if (value.typeId() != QMetaType::QStringList) {
        appendOne(value.toString());
        return;
    }
    const QStringList list = value.toStringList();
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (i != 0)
            out += ", ";
        appendOne(list[i]);
    }
}

bool writeAll(int fd, QByteArrayView content)
{
    qsizetype done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Creates the folder and its missing parents for the owner alone, whatever the umask.
bool makeFolders(const QByteArray& folder)
{
    struct stat st
    {
    };
    if (stat(folder.constData(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const qsizetype slash = folder.lastIndexOf('/');
    if (slash > 0 && !makeFolders(folder.left(slash)))
        return false;
    if (mkdir(folder.constData(), 0700) != 0)
        return errno == EEXIST && stat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode);
    return chmod(folder.constData(), 0700) == 0;
}

// A link to a regular file (settings kept elsewhere) is written through; anything else at the
// path is replaced.
QString writeTarget(const QString& path)
{
    struct stat st
    {
    };
    if (lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    const QString target = QFileInfo(path).canonicalFilePath(); // resolves, opens nothing
    if (!target.isEmpty() && stat(QFile::encodeName(target).constData(), &st) == 0 &&
        S_ISREG(st.st_mode))
        return target;
    return path;
}

// A file the user made read-only is left alone.
bool isProtected(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st
    {
    };
    return lstat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
           faccessat(AT_FDCWD, name.constData(), W_OK, AT_EACCESS) != 0;
}

// The content goes to a new private file beside the target, renamed over it: nothing is ever
// opened at the path itself, so whatever sits there cannot block, and a reader finds the old
// file or the new one, never a part.
bool replaceFile(const QString& target, const QByteArray& content)
{
    const QString folder = QFileInfo(target).absolutePath();
    if (!makeFolders(QFile::encodeName(QDir::cleanPath(folder))))
        return false;
    QByteArray temp =
        QFile::encodeName(folder + QStringLiteral("/.") + QFileInfo(target).fileName()) + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    FileDescriptor file(fd);
    bool ok = fchmod(fd, 0600) == 0 && writeAll(fd, content) && fsync(fd) == 0;
    ok = file.close() && ok;
    ok = ok && ::rename(temp.constData(), QFile::encodeName(target).constData()) == 0;
    if (!ok)
        ::unlink(temp.constData());
    return ok;
}

bool armsAWatch(const QVariantMap& values)
{
    return Settings::toIntegerValue(values.value(QString::fromLatin1(keys::idVendor)))
                   .value_or(0) != 0 ||
           Settings::toIntegerValue(values.value(QString::fromLatin1(keys::idProduct)))
                   .value_or(0) != 0 ||
           Settings::toBoolValue(values.value(QString::fromLatin1(keys::useHeadphones)))
               .value_or(false);
}
} // namespace

Settings& Settings::standardUserDefaults()
{
    static Settings settings(defaultFilePath());
    return settings;
}

QString Settings::defaultFilePath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/wardlatch/wardlatch.conf");
}

Settings::Settings(QString filePath) : m_filePath(std::move(filePath))
{
    load();
}

void Settings::load()
{
    const FileRead file = readSettingsFile(m_filePath);
    bool whole = true;
    switch (file.kind) {
    case FileRead::Absent:
        return;
    case FileRead::Unreadable:
        log(QStringLiteral("Could not read the settings file %1; using defaults").arg(m_filePath),
            LogCategory::Settings);
        whole = false;
        break;
    case FileRead::NotRegular:
        log(QStringLiteral("The settings file %1 is not a regular file; it is not read, and the "
                           "next choice replaces it")
                .arg(m_filePath),
            LogCategory::Settings);
        whole = false;
        break;
    case FileRead::Regular:
        whole = loadContent(file.content, file.oversized);
        break;
    }
    m_storedChoiceLost = !whole && !armsAWatch(m_values);
    if (m_storedChoiceLost)
        log(QStringLiteral("A key device choice stored in %1 may be lost; choose the key device "
                           "again")
                .arg(m_filePath),
            LogCategory::Settings);
}

bool Settings::loadContent(QByteArray content, bool oversized)
{
    bool whole = true;
    if (oversized) {
        log(QStringLiteral("The settings file %1 is larger than 1 MiB; only the settings in its "
                           "first 1 MiB are read")
                .arg(m_filePath),
            LogCategory::Settings);
        content.truncate(endOfCompleteLines(content));
        whole = false;
    } else {
        m_knownContent = content;
    }
    bool dropped = false;
    content = withoutTypedValues(content, &dropped);
    if (dropped) {
        log(QStringLiteral("The settings file %1 holds serialized values; they are ignored")
                .arg(m_filePath),
            LogCategory::Settings);
        whole = false;
    }
    // The reader only reads files: it reads a private copy of what was read here, in the
    // temporary folder or, failing that, beside the file.
    QTemporaryFile copy;
    if (!copy.open()) {
        copy.setFileTemplate(QFileInfo(m_filePath).absolutePath() +
                             QStringLiteral("/.wardlatch-read-XXXXXX"));
        (void)copy.open();
    }
    if (!copy.isOpen() || copy.write(content) != content.size() || !copy.flush()) {
        log(QStringLiteral("Could not read the settings file %1; using defaults").arg(m_filePath),
            LogCategory::Settings);
        return false;
    }
    QSettings file(copy.fileName(), QSettings::IniFormat);
    if (file.status() != QSettings::NoError) {
        log(QStringLiteral("The settings file %1 is damaged; values that cannot be read are "
                           "ignored")
                .arg(m_filePath),
            LogCategory::Settings);
        whole = false;
    }
    const QStringList keys = file.allKeys();
    for (const QString& key : keys) {
        // A value that cannot be read is left out: held, it would be written back as an
        // invalid value, and a stray spelling such as "kDeviceName/" would then replace the
        // real key's value in the file.
        // A key spelled with stray separators ("kDeviceName/") reads and writes as the plain
        // key: held beside it, it would overwrite a new choice when the file is written.
        if (key.isEmpty() || key.startsWith(QLatin1Char('/')) || key.endsWith(QLatin1Char('/')) ||
            key.contains(QLatin1String("//")))
            continue;
        // Of a file that was cut short only the program's own keys are kept.
        if (oversized && std::none_of(settingsTable().cbegin(), settingsTable().cend(),
                                      [&key](const SettingSpec& spec) {
                                          return key == QLatin1String(spec.key);
                                      }))
            continue;
        const QVariant value = file.value(key);
        if (value.isValid())
            m_values.insert(key, value);
    }
    return whole;
}

void Settings::persist(const QVariantMap& values, quint64 change)
{
    QMutexLocker lock(&m_writeMutex);
    if (change <= m_writtenChange)
        return;
    m_writtenChange = change;
    const FileRead before = readSettingsFile(m_filePath);
    const std::optional<QByteArray> beforeContent =
        before.kind == FileRead::Regular && !before.oversized
            ? std::optional<QByteArray>(before.content)
            : std::nullopt;
    if (m_knownContent && beforeContent != m_knownContent)
        log(QStringLiteral("The settings file %1 was changed or removed while running; writing "
                           "the choices held in memory")
                .arg(m_filePath),
            LogCategory::Settings);
    const QString target = writeTarget(m_filePath);
    const QByteArray content = iniContent(values);
    if (!isProtected(target) && replaceFile(target, content)) {
        m_writeFailureLogged = false;
        m_knownContent = content;
        return;
    }
    // Not written: a later write compares against what is there now, not what we meant.
    m_knownContent = beforeContent;
    if (!m_writeFailureLogged) {
        m_writeFailureLogged = true;
        log(QStringLiteral("Could not write the settings file %1; choices are kept in memory "
                           "for this run")
                .arg(m_filePath),
            LogCategory::Settings);
    }
}

QByteArray Settings::iniContent(const QVariantMap& values)
{
    // "group/key" goes under [group], where the reader finds it again; [General] comes first.
    QMap<QString, QByteArray> groups;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (it->typeId() == QMetaType::QStringList && it->toStringList().isEmpty())
            continue; // reads back as no value
        const qsizetype slash = it.key().indexOf(u'/');
        QByteArray& lines = groups[slash < 0 ? QString() : it.key().left(slash)];
        appendEscapedKey(slash < 0 ? it.key() : it.key().mid(slash + 1), lines);
        lines += '=';
        appendEscapedValue(*it, lines);
        lines += '\n';
    }
    QByteArray content;
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        QByteArray name;
        appendEscapedKey(it.key(), name);
        if (!content.isEmpty())
            content += '\n';
        if (name.isEmpty())
            content += "[General]\n";
        else if (name.compare("General", Qt::CaseInsensitive) == 0)
            content += "[%General]\n";
        else
            content += '[' + name + "]\n";
        content += *it;
    }
    return content;
}

void Settings::registerDefaults(const QVariantMap& defaults)
{
    QMutexLocker lock(&m_mutex);
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
        m_defaults.insert(it.key(), it.value());
}

QVariant Settings::lookup(const QString& key) const
{
    QMutexLocker lock(&m_mutex);
    auto it = m_values.constFind(key);
    if (it != m_values.cend())
        return *it;
    return m_defaults.value(key);
}

QVariant Settings::objectForKey(const QString& key) const
{
    return lookup(key);
}

bool Settings::hasStoredValue(const QString& key) const
{
    QMutexLocker lock(&m_mutex);
    return m_values.contains(key);
}

std::optional<QString> Settings::stringForKey(const QString& key) const
{
    return toStringValue(lookup(key));
}

qint64 Settings::integerForKey(const QString& key) const
{
    return toIntegerValue(lookup(key)).value_or(0);
}

bool Settings::boolForKey(const QString& key) const
{
    return toBoolValue(lookup(key)).value_or(false);
}

void Settings::setObject(const QString& key, const QVariant& value)
{
    if (!value.isValid()) {
        removeObjectForKey(key);
        return;
    }
    QVariantMap values;
    quint64 change = 0;
    {
        QMutexLocker lock(&m_mutex);
        m_values.insert(key, value);
        values = m_values;
        change = ++m_changes;
    }
    persist(values, change);
}

void Settings::setBool(const QString& key, bool value)
{
    setObject(key, value);
}

void Settings::removeObjectForKey(const QString& key)
{
    QVariantMap values;
    quint64 change = 0;
    {
        QMutexLocker lock(&m_mutex);
        if (m_values.remove(key) == 0)
            return;
        values = m_values;
        change = ++m_changes;
    }
    persist(values, change);
}

std::optional<QString> Settings::toStringValue(const QVariant& value)
{
    const int type = value.typeId();
    if (type == QMetaType::QString)
        return value.toString();
    if (isIntegerType(type) || type == QMetaType::Double)
        return value.toString();
    return std::nullopt;
}

std::optional<qint64> Settings::toIntegerValue(const QVariant& value)
{
    const int type = value.typeId();
    bool ok = false;
    if (type == QMetaType::Bool)
        return value.toBool() ? 1 : 0;
    if (type == QMetaType::ULongLong || type == QMetaType::ULong) {
        const qulonglong v = value.toULongLong();
        if (v > qulonglong(std::numeric_limits<qint64>::max()))
            return std::nullopt;
        return qint64(v);
    }
    if (isIntegerType(type))
        return value.toLongLong();
    if (type == QMetaType::Double) {
        const double d = value.toDouble();
        if (!std::isfinite(d) || std::fabs(d) >= 9.2e18)
            return std::nullopt;
        return qint64(d);
    }
    if (type == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        const qint64 v = text.toLongLong(&ok, 10);
        if (ok)
            return v;
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            return 1;
        if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
            return 0;
    }
    return std::nullopt;
}

std::optional<bool> Settings::toBoolValue(const QVariant& value)
{
    const int type = value.typeId();
    if (type == QMetaType::Bool)
        return value.toBool();
    if (type == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 ||
            text.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0)
            return true;
        if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 ||
            text.compare(QLatin1String("no"), Qt::CaseInsensitive) == 0)
            return false;
    }
    if (const std::optional<qint64> number = toIntegerValue(value))
        return *number != 0;
    return std::nullopt;
}

} // namespace wl
