// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"

#include "app/Settings.h"

namespace wl {

const std::array<SettingSpec, 8>& settingsTable()
{
    static const std::array<SettingSpec, 8> table{{
        {keys::kDeviceName, SettingType::String, true, QStringLiteral("")},
        {keys::idVendor, SettingType::Integer, true, qint64(0)},
        {keys::idProduct, SettingType::Integer, true, qint64(0)},
        {keys::useHeadphones, SettingType::Boolean, false, {}},
        {keys::UseScreenSaver, SettingType::Boolean, true, qint64(0)},
        {keys::SUUpdaterChecksForBetaUpdates, SettingType::Integer, true, qint64(1)},
        {keys::HotKey, SettingType::Shortcut, false, {}},
        {keys::USBName, SettingType::String, false, {}},
    }};
    return table;
}

void registerDefaultSettings(Settings& settings)
{
    QVariantMap defaults;
    for (const SettingSpec& spec : settingsTable()) {
        if (spec.hasDefault)
            defaults.insert(QString::fromLatin1(spec.key), spec.defaultValue);
    }
    settings.registerDefaults(defaults);
}

void migrateLegacySettings(Settings& settings)
{
    const std::optional<QString> legacy = settings.stringForKey(keys::USBName);
    if (!legacy)
        return;
    settings.setObject(keys::kDeviceName, *legacy);
    settings.removeObjectForKey(keys::USBName);
}

} // namespace wl
