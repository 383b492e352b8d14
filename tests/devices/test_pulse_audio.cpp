// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "devices/WLDeviceListAudio.h"
#include "fakes/RecordingDelegate.h"
#include "platform/audio/PulseAudioHardware.h"
#include "platform/events/NotificationCenter.h"
#include "platform/settings/Settings.h"
#include "support/LogCapture.h"
#include "support/Services.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace wl;

namespace {

constexpr AudioObjectPropertyAddress kDefaultAddress{audio::kDefaultOutputDevice,
                                                     audio::kScopeGlobal, audio::kElementMain};
constexpr AudioObjectPropertyAddress kSourceAddress{audio::kDataSource, audio::kScopeOutput,
                                                    audio::kElementMain};

// The default output device, or 0 when it cannot be read.
AudioObjectID readDefault(AudioHardware& hardware)
{
    AudioObjectID device = 0;
    quint32 size = sizeof device;
    hardware.AudioObjectGetPropertyData(audio::kSystemObject, kDefaultAddress, 0, nullptr, &size,
                                        &device);
    return device;
}

class PulseHeadphoneWatch : public ::testing::Test
{
protected:
    PulseHeadphoneWatch()
    {
        // The daemon listens there, started and ended by the tests; the clients find it there.
        qputenv("PULSE_SERVER",
                "unix:" + QFile::encodeName(dir.filePath(QStringLiteral("pulse/native"))));
        qputenv("PULSE_COOKIE", QFile::encodeName(dir.filePath(QStringLiteral("cookie"))));
    }

    // Two null sinks; "headset" is the default output.
    void startDaemon()
    {
        ASSERT_TRUE(daemon.start());
        speakersModule = loadSink(QStringLiteral("speakers"));
        headsetModule = loadSink(QStringLiteral("headset"));
        pactl({"set-default-sink", "headset"});
    }
    static QString pactl(const QStringList& args)
    {
        QProcess p;
        p.start(QStringLiteral("pactl"), args);
        const bool ok =
            p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        EXPECT_TRUE(ok) << "pactl " << args.join(u' ').toStdString() << ": "
                        << p.readAllStandardError().toStdString();
        return ok ? QString::fromUtf8(p.readAllStandardOutput()).trimmed() : QString();
    }
    static int loadSink(const QString& name)
    {
        return pactl({"load-module", "module-null-sink", "sink_name=" + name}).toInt();
    }
    // Every server event sent so far has reached the mirror (and its listeners): a new sink
    // made default shows up as a new default device only after them.
    void settle(PulseAudioHardware& hardware)
    {
        const QString name = QStringLiteral("probe%1").arg(++probes);
        loadSink(name);
        const AudioObjectID before = readDefault(hardware);
        pactl({"set-default-sink", name});
        ASSERT_TRUE(QTest::qWaitFor([&] {
            const AudioObjectID now = readDefault(hardware);
            return now != 0 && now != before;
        }));
    }

    QTemporaryDir dir;
    test::Service daemon{{QStringLiteral("--pulse")}};
    Settings settings{dir.filePath(QStringLiteral("wardlatch.conf"))};
    NotificationCenter center;
    std::shared_ptr<test::RecordingDelegate> delegate = std::make_shared<test::RecordingDelegate>();
    test::LogCapture log;
    int speakersModule = -1;
    int headsetModule = -1;
    int probes = 0;
};

// Retries an hour apart: only the socket turning up can bring the connection back soon.
TEST_F(PulseHeadphoneWatch, FollowsTheServerAndTheDefaultSinkAndReportsEachLossOnce)
{
    startDaemon();
    const PulseRetry hourly{std::chrono::hours(1), std::chrono::hours(1), std::chrono::hours(1)};
    PulseAudioHardware hardware(std::chrono::seconds(5), hourly);
    ASSERT_TRUE(hardware.isSynchronized());
    WLDeviceListAudio watcher(delegate, hardware, settings, center);
    const auto chooseHeadphones = [&] {
        center.postNotificationName(events::kSetNewDeviceEvent, nullptr,
                                    {{events::kNewDeviceName, QStringLiteral("Headphones")}});
    };
    chooseHeadphones();
    const AudioObjectID headset = readDefault(hardware);
    ASSERT_GT(headset, audio::kSystemObject);
    EXPECT_EQ(watcher.defaultDevice(), headset);
    EXPECT_EQ(log.count(QStringLiteral("Start watching audio")), 1);

    // A null sink has no ports, so no data source: the read fails and leaves the value. Unknown
    // objects and properties, and a short buffer, fail too.
    quint32 value = 0xdeadbeef;
    quint32 size = sizeof value;
    quint32 tooSmall = 2;
    const std::tuple<AudioObjectID, AudioObjectPropertyAddress, quint32*> reads[] = {
        {headset, kSourceAddress, &size},
        {999, kSourceAddress, &size},
        {audio::kSystemObject, kSourceAddress, &size},
        {audio::kSystemObject, kDefaultAddress, &tooSmall},
    };
    for (const auto& [object, address, bytes] : reads)
        EXPECT_NE(hardware.AudioObjectGetPropertyData(object, address, 0, nullptr, bytes, &value),
                  audio::kNoError)
            << object;
    EXPECT_EQ(value, 0xdeadbeefu);
    const auto ignore = [](AudioObjectID, quint32, const AudioObjectPropertyAddress*, void*) {
        return audio::kNoError;
    };
    EXPECT_NE(hardware.AudioObjectAddPropertyListener(0, kSourceAddress, ignore, nullptr),
              audio::kNoError);
    EXPECT_TRUE(log.lines().filter(QStringLiteral("Could not")).isEmpty());

    // Another default output is followed; neither plays through headphones: no report. A sink
    // that is not the default any more is not watched.
    pactl({"set-default-sink", "speakers"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.defaultDevice() != headset; }));
    pactl({"unload-module", QString::number(headsetModule)});
    settle(hardware);
    EXPECT_EQ(delegate->count(), 0u);

    // Killed, with its folder gone too: started again, the folder appears first, then the
    // socket in it; the sink coming back keeps its id.
    daemon.kill();
    ASSERT_TRUE(delegate->waitForCount(1));
    ASSERT_TRUE(QDir(dir.filePath(QStringLiteral("pulse"))).removeRecursively());
    EXPECT_NE(delegate->threads().front(), std::this_thread::get_id()); // the audio thread's
    EXPECT_EQ(readDefault(hardware), 0u);
    EXPECT_FALSE(hardware.isSynchronized());
    chooseHeadphones(); // again, with no server
    EXPECT_EQ(log.countContaining(QStringLiteral("No audio server is running")), 1);
    startDaemon();
    ASSERT_TRUE(QTest::qWaitFor([&] { return readDefault(hardware) == headset; }, 10000));
    EXPECT_TRUE(hardware.isSynchronized());
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.defaultDevice() == headset; }));
    EXPECT_EQ(delegate->count(), 1u);

    // The watched sink going reports, once.
    pactl({"unload-module", QString::number(headsetModule)});
    ASSERT_TRUE(delegate->waitForCount(2));
    settle(hardware);
    EXPECT_EQ(delegate->count(), 2u);

    // A polite shutdown is a loss too.
    daemon.stop();
    ASSERT_TRUE(delegate->waitForCount(3));
}

} // namespace
