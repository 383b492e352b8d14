#include "app/Settings.h"

#include "app/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include <cmath>
#include <limits>

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
// "@Variant(" values are binary streams that the file reader decodes with their own lengths: a
// few bytes can make it allocate and fill gigabytes. This program never writes one ("@@" is a
// literal '@'), so lines whose value could decode to one are dropped before the reader sees
// them: a value, or a part of it after a comma, that starts (past spaces and quotes) with a
// single '@' or with an escape that could stand for one, and continued lines.
bool lineHoldsSerializedValue(const QByteArray& line)
{
    // An odd number of backslashes at the end continues the value on the next line.
    qsizetype end = line.endsWith('\r') ? line.size() - 1 : line.size();
    qsizetype backslashes = 0;
    while (end > 0 && line.at(end - 1) == '\\') {
        ++backslashes;
        --end;
    }
    if (backslashes % 2 == 1)
        return true;
    const qsizetype equals = line.indexOf('=');
    qsizetype start = equals < 0 ? 0 : equals + 1;
    while (start >= 0 && start <= line.size()) {
        qsizetype at = start;
        while (at < line.size() &&
               (line.at(at) == ' ' || line.at(at) == '\t' || line.at(at) == '"'))
            ++at;
        if (at < line.size()) {
            const char first = line.at(at);
            const char next = at + 1 < line.size() ? line.at(at + 1) : '\0';
            if (first == '@' && next != '@')
                return true;
            if (first == '\\' && (next == 'x' || next == 'X' || (next >= '0' && next <= '9')))
                return true;
        }
        const qsizetype comma = line.indexOf(',', start);
        start = comma < 0 ? -1 : comma + 1;
    }
    return false;
}

bool holdsSerializedValue(const QByteArray& content)
{
    for (const QByteArray& line : content.split('\n')) {
        if (lineHoldsSerializedValue(line))
            return true;
    }
    return false;
}

QByteArray withoutSerializedValues(const QByteArray& content)
{
    QByteArray kept;
    for (const QByteArray& line : content.split('\n')) {
        if (!lineHoldsSerializedValue(line))
            kept += line + '\n';
    }
    return kept;
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
    const QFileInfo info(m_filePath);
    if (!info.exists())
        return;
    if (!info.isReadable()) {
        log(QStringLiteral("Could not read the settings file %1; using defaults").arg(m_filePath));
        return;
    }
    m_knownContent = fileContent();
    // The reader only reads files: a file with serialized values is read from a cleaned copy.
    QTemporaryFile cleaned;
    QString readFrom = m_filePath;
    if (m_knownContent && holdsSerializedValue(*m_knownContent)) {
        log(QStringLiteral("The settings file %1 holds serialized values; they are ignored")
                .arg(m_filePath));
        const QByteArray kept = withoutSerializedValues(*m_knownContent);
        if (!cleaned.open() || cleaned.write(kept) != kept.size() || !cleaned.flush())
            return;
        readFrom = cleaned.fileName();
    }
    QSettings file(readFrom, QSettings::IniFormat);
    if (file.status() != QSettings::NoError)
        log(QStringLiteral("The settings file %1 is damaged; values that cannot be read are "
                           "ignored")
                .arg(m_filePath));
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
        const QVariant value = file.value(key);
        if (value.isValid())
            m_values.insert(key, value);
    }
}

std::optional<QByteArray> Settings::fileContent() const
{
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

void Settings::persistLocked()
{
    const std::optional<QByteArray> before = fileContent();
    if (m_knownContent && before != m_knownContent)
        log(QStringLiteral("The settings file %1 was changed or removed while running; writing "
                           "the choices held in memory")
                .arg(m_filePath));
    // The file is replaced whole: one the reader must not decode is not read first.
    if (before && holdsSerializedValue(*before))
        QFile::remove(m_filePath);
    std::optional<QSettings> file(std::in_place, m_filePath, QSettings::IniFormat);
    if (file->status() == QSettings::FormatError) {
        // The reader keeps its first error for good, so every write to a damaged file would
        // look failed. The file is replaced whole anyway: start from none.
        file.reset();
        QFile::remove(m_filePath);
        file.emplace(m_filePath, QSettings::IniFormat);
    }
    file->clear();
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        file->setValue(it.key(), it.value());
    file->sync();
    if (file->status() == QSettings::NoError) {
        // Which device guards the session is nobody else's business.
        QFile::setPermissions(m_filePath, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        m_writeFailureLogged = false;
        m_knownContent = fileContent();
        return;
    }
    // Not written: a later write compares against what is there now, not what we meant.
    m_knownContent = before;
    if (!m_writeFailureLogged) {
        m_writeFailureLogged = true;
        log(QStringLiteral("Could not write the settings file %1; choices are kept in memory "
                           "for this run")
                .arg(m_filePath));
    }
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
    QMutexLocker lock(&m_mutex);
    m_values.insert(key, value);
    persistLocked();
}

void Settings::setBool(const QString& key, bool value)
{
    setObject(key, value);
}

void Settings::removeObjectForKey(const QString& key)
{
    QMutexLocker lock(&m_mutex);
    if (m_values.remove(key) == 0)
        return;
    persistLocked();
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
