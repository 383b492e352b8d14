// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the settings store on a file holding the input, checks that nothing was decoded to a
// typed value, reads every key of the table with every typed read, writes an awkward choice and
// reads it back, in this run and in the next.

#include "FuzzCheck.h"

#include "app/SettingsKeys.h"
#include "platform/log/Log.h"
#include "platform/settings/Settings.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace wl;
using wl::fuzz::check;

namespace {

// Only strings and lists of strings are read from the file: anything else was decoded from a
// serialized form the store means to drop.
void checkNothingDecoded(const Settings& settings)
{
    for (const SettingSpec& spec : settingsTable()) {
        const QVariant raw = settings.objectForKey(QString::fromLatin1(spec.key));
        check(!raw.isValid() || raw.typeId() == QMetaType::QString ||
                  raw.typeId() == QMetaType::QStringList,
              "typed value decoded");
    }
}

void readEveryKey(const Settings& settings)
{
    for (const SettingSpec& spec : settingsTable()) {
        const QString key = QString::fromLatin1(spec.key);
        const QVariant raw = settings.objectForKey(key);
        const std::optional<QString> text = settings.stringForKey(key);
        const qint64 number = settings.integerForKey(key);
        const bool flag = settings.boolForKey(key);
        // The typed reads agree with the conversions of the raw value.
        check(text == Settings::toStringValue(raw), "string read");
        check(number == Settings::toIntegerValue(raw).value_or(0), "integer read");
        check(flag == Settings::toBoolValue(raw).value_or(false), "boolean read");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    static const LogSink quiet = setLogSink([](const QString&) {});
    static const QtMessageHandler qtQuiet =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    (void)quiet;
    (void)qtQuiet;
    // A new name each time: the INI reader caches files by name, size and time.
    static quint64 run = 0;
    const QString path = dir.filePath(QStringLiteral("settings-%1.conf").arg(++run));
    {
        QFile file(path);
        check(file.open(QIODevice::WriteOnly), "temporary file");
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    {
        Settings settings(path);
        checkNothingDecoded(settings);
        readEveryKey(settings);
        registerDefaultSettings(settings);
        readEveryKey(settings);

        const QString choice = QStringLiteral("@Key, @\"%1\" = ;[x]\\ \x01"
                                              "f\n\u00e9 ");
        settings.setObject(keys::kDeviceName, choice);
        settings.setObject(keys::idVendor, qint64(0x046d));
        check(settings.stringForKey(keys::kDeviceName) == choice, "name kept in memory");
        check(settings.integerForKey(keys::idVendor) == 0x046d, "number kept in memory");
        readEveryKey(settings);

        Settings next(path);
        check(next.stringForKey(keys::kDeviceName) == choice, "name read back from the file");
        check(next.integerForKey(keys::idVendor) == 0x046d, "number read back from the file");
        readEveryKey(next);
    }
    QFile::remove(path);
    return 0;
}
