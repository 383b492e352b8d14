// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/settings/Settings.h"

#include "app/SettingsKeys.h"
#include "platform/log/Log.h"
#include "platform/settings/IniCodec.h"
#include "platform/settings/SettingsFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include <algorithm>
#include <cmath>
#include <limits>
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
    const SettingsFileRead file = readSettingsFile(m_filePath);
    bool whole = true;
    switch (file.kind) {
    case SettingsFileRead::Absent:
        return;
    case SettingsFileRead::Unreadable:
        log(QStringLiteral("Could not read the settings file %1; using defaults").arg(m_filePath),
            LogCategory::Settings);
        whole = false;
        break;
    case SettingsFileRead::NotRegular:
        log(QStringLiteral("The settings file %1 is not a regular file; it is not read, and the "
                           "next choice replaces it")
                .arg(m_filePath),
            LogCategory::Settings);
        whole = false;
        break;
    case SettingsFileRead::Regular:
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
        // A value that cannot be read is left out: held, it would be written back as an
        // invalid value, and a stray spelling such as "kDeviceName/" would then replace the
        // real key's value in the file.
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
    const SettingsFileRead before = readSettingsFile(m_filePath);
    const std::optional<QByteArray> beforeContent =
        before.kind == SettingsFileRead::Regular && !before.oversized
            ? std::optional<QByteArray>(before.content)
            : std::nullopt;
    if (m_knownContent && beforeContent != m_knownContent)
        log(QStringLiteral("The settings file %1 was changed or removed while running; writing "
                           "the choices held in memory")
                .arg(m_filePath),
            LogCategory::Settings);
    const QByteArray content = iniContent(values);
    if (writeSettingsFile(m_filePath, content)) {
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
