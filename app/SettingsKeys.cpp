// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"

#include "platform/settings/Settings.h"

namespace wl {

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
