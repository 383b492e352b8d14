// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QVariant>

#include <array>

// Every settings key and every application event name, spelled once.
namespace wl {

namespace keys {
inline constexpr char kDeviceName[] = "kDeviceName";
inline constexpr char idVendor[] = "idVendor";
inline constexpr char idProduct[] = "idProduct";
inline constexpr char useHeadphones[] = "useHeadphones";
inline constexpr char UseScreenSaver[] = "UseScreenSaver";
inline constexpr char SUUpdaterChecksForBetaUpdates[] = "SUUpdaterChecksForBetaUpdates";
inline constexpr char HotKey[] = "HotKey";
inline constexpr char USBName[] = "USBName"; // legacy, migrated at launch
// The updater's own.
inline constexpr char AutomaticallyChecksForUpdates[] = "AutomaticallyChecksForUpdates";
inline constexpr char UpdateCheckInterval[] = "UpdateCheckInterval";
} // namespace keys

namespace events {
inline constexpr char kSetNewDeviceEvent[] = "kSetNewDeviceEvent";
inline constexpr char setHighlight[] = "setHighlight";
inline constexpr char unsetHighlight[] = "unsetHighlight";
// User-info key of kSetNewDeviceEvent: the chosen title.
inline constexpr char kNewDeviceName[] = "kNewDeviceName";
} // namespace events

enum class SettingType
{
    String,
    Integer,
    Boolean,
    Shortcut
};

struct SettingSpec
{
    const char* key;
    SettingType type;
    bool hasDefault; // part of the launch-time registerDefaults call
    QVariant defaultValue;
};

// The table of keys, their types and their registered defaults. Inline, so that the settings
// store below this layer reads it without linking upwards.
inline const std::array<SettingSpec, 10>& settingsTable()
{
    static const std::array<SettingSpec, 10> table{{
        {keys::kDeviceName, SettingType::String, true, QStringLiteral("")},
        {keys::idVendor, SettingType::Integer, true, qint64(0)},
        {keys::idProduct, SettingType::Integer, true, qint64(0)},
        {keys::useHeadphones, SettingType::Boolean, false, {}},
        {keys::UseScreenSaver, SettingType::Boolean, true, qint64(0)},
        {keys::SUUpdaterChecksForBetaUpdates, SettingType::Integer, true, qint64(1)},
        {keys::HotKey, SettingType::Shortcut, false, {}},
        {keys::USBName, SettingType::String, false, {}},
        {keys::AutomaticallyChecksForUpdates, SettingType::Boolean, false, {}},
        {keys::UpdateCheckInterval, SettingType::Integer, false, {}},
    }};
    return table;
}

class Settings;

// Launch step: the registered defaults, in one call. They live in memory only.
void registerDefaultSettings(Settings& settings);

// Launch step: "USBName" (even an empty one) moves to "kDeviceName".
void migrateLegacySettings(Settings& settings);

} // namespace wl
