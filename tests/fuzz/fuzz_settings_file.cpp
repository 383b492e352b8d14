// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the settings store on a file holding the input, checks that nothing was decoded to a
// typed value, and that a choice written over it reads back, in this run and in the next.

#include "FuzzCheck.h"

#include "app/SettingsKeys.h"
#include "platform/log/Log.h"
#include "platform/settings/Settings.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

using namespace wl;
using wl::fuzz::check;

namespace {

// Only strings and lists of strings are read from the file: anything else was decoded from a
// serialized form the store means to drop.
void checkNothingDecoded(const Settings& settings)
{
    for (const SettingSpec& spec : settingsTable()) {
        const int type = settings.objectForKey(QString::fromLatin1(spec.key)).typeId();
        check(type == QMetaType::UnknownType || type == QMetaType::QString ||
                  type == QMetaType::QStringList,
              "typed value decoded");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    static const bool quiet = [] {
        setLogSink([](const QString&) {});
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        return true;
    }();
    (void)quiet;
    // A new name each time: the INI reader caches files by name, size and time.
    static quint64 run = 0;
    const QString path = dir.filePath(QStringLiteral("settings-%1.conf").arg(++run));
    QFile file(path);
    check(file.open(QIODevice::WriteOnly) &&
              file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size),
          "temporary file");
    file.close();
    Settings settings(path);
    checkNothingDecoded(settings);
    const QString choice = QStringLiteral("@Key, @\"%1\" = ;[x]\\ \x01"
                                          "f\n\u00e9 ");
    settings.setObject(keys::kDeviceName, choice);
    settings.setObject(keys::idVendor, qint64(0x046d));

    Settings next(path);
    check(next.stringForKey(keys::kDeviceName) == choice, "name read back from the file");
    check(next.integerForKey(keys::idVendor) == 0x046d, "number read back from the file");
    QFile::remove(path);
    return 0;
}
