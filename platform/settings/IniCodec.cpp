// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/settings/IniCodec.h"

#include <QStringList>

#include <algorithm>

namespace wl {

namespace {
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

// The reader's key escapes: '/' (a group separator) as '\', all but [A-Za-z0-9_.-] as %XX, or
// as %UXXXX beyond Latin-1.
void appendEscapedKey(const QString& key, QByteArray& out)
{
    for (const QChar c : key) {
        const char16_t ch = c.unicode();
        if (ch == u'/') {
            out += '\\';
        } else if ((ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') ||
                   (ch >= u'0' && ch <= u'9') || ch == u'_' || ch == u'-' || ch == u'.') {
            out += char(ch);
        } else {
            out += ch <= 0xff ? "%" : "%U";
            out += QByteArray::number(ch, 16).toUpper().rightJustified(ch <= 0xff ? 2 : 4, '0');
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
} // namespace

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

QByteArray iniContent(const QVariantMap& values)
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

} // namespace wl
