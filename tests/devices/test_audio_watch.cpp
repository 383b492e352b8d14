// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "devices/WLDeviceListAudio.h"
#include "fakes/FakeAudioHardware.h"
#include "fakes/RecordingDelegate.h"
#include "platform/events/NotificationCenter.h"
#include "platform/settings/Settings.h"
#include "support/LogCapture.h"

#include <QTemporaryDir>

#include <thread>
#include <tuple>

#include <gtest/gtest.h>

using namespace wl;
using wl::test::FakeAudioHardware;

namespace {

constexpr AudioObjectID kDevice = 42;
constexpr AudioObjectID kOther = 7;
const QString kUseHeadphones = QString::fromLatin1(keys::useHeadphones);
const QString kHeadphones = QStringLiteral("Headphones");

class HeadphoneWatch : public ::testing::Test
{
protected:
    HeadphoneWatch()
    {
        hardware.setDefaultOutputDevice(kDevice);
        hardware.presetDataSource(kDevice, audio::kSourceHeadphones);
    }

    std::unique_ptr<WLDeviceListAudio> makeWatcher()
    {
        return std::make_unique<WLDeviceListAudio>(delegate, hardware, settings, center);
    }
    void choose(const QVariantMap& userInfo)
    {
        center.postNotificationName(events::kSetNewDeviceEvent, nullptr, userInfo);
    }
    void choose(const QString& name) { choose({{events::kNewDeviceName, name}}); }
    // Announces a change and waits until the fake's thread has delivered it. The system
    // object's value is the default output (0: the server went away).
    void change(quint32 value, AudioObjectID object = kDevice)
    {
        hardware.changeDataSource(object, value);
        ASSERT_TRUE(hardware.waitForDelivery());
    }

    QTemporaryDir dir;
    Settings settings{dir.filePath(QStringLiteral("wardlatch.conf"))};
    NotificationCenter center;
    FakeAudioHardware hardware;
    std::shared_ptr<test::RecordingDelegate> delegate = std::make_shared<test::RecordingDelegate>();
    test::LogCapture log;
};

TEST_F(HeadphoneWatch, ListOffersHeadphonesWhilePluggedInOrChosen)
{
    // What the output plays through, whether headphones are chosen, whether they are offered,
    // and what asking whether they are plugged in logs.
    const std::tuple<quint32, bool, bool, QStringList> cases[] = {
        {audio::kSourceHeadphones, false, true, {QStringLiteral("headphone")}},
        {audio::kSourceInternalSpeaker, false, false, {QStringLiteral("speaker")}},
        // Chosen but unplugged: stays visible so the choice can be seen.
        {audio::kSourceInternalSpeaker, true, true, {QStringLiteral("speaker")}},
        {audio::kSourceOther, true, true, {}},
        {0, false, false, {}}, // read fails
    };
    for (const auto& [source, chosen, offered, logged] : cases) {
        SCOPED_TRACE(source);
        settings.setBool(kUseHeadphones, chosen);
        hardware.presetDataSource(kDevice, source);
        auto watcher = makeWatcher();
        log.clear();
        EXPECT_EQ(watcher->getCurrentDeviceList(),
                  offered ? QStringList{kHeadphones} : QStringList{});
        EXPECT_TRUE(log.lines().isEmpty()) << "the panel opening logged";
        EXPECT_EQ(watcher->areHeadphonesConnected(), source == audio::kSourceHeadphones);
        EXPECT_EQ(log.lines(), logged);
    }
}

TEST_F(HeadphoneWatch, ChoosingHeadphonesArmsAndEveryChangeAwayFromThemReports)
{
    auto watcher = makeWatcher();
    EXPECT_EQ(hardware.registrations(), 0u);
    choose(kHeadphones);
    choose(kHeadphones); // the same registration again: the audio layer keeps it once
    EXPECT_TRUE(settings.boolForKey(kUseHeadphones));
    EXPECT_EQ(log.count(QStringLiteral("Start watching audio")), 2);
    EXPECT_TRUE(hardware.isRegistered(kDevice));

    log.clear();
    change(audio::kSourceInternalSpeaker);
    EXPECT_EQ(delegate->count(), 1u);
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("speaker")});
    change(audio::kSourceHeadphones); // plugging back in only logs
    EXPECT_EQ(delegate->count(), 1u);
    EXPECT_EQ(log.count(QStringLiteral("headphone")), 1);
    // Each change that does not land on headphones reports, whatever came before; a failed
    // read counts as not headphones.
    change(audio::kSourceInternalSpeaker);
    change(audio::kSourceInternalSpeaker);
    change(audio::kSourceOther);
    change(0);
    EXPECT_EQ(delegate->count(), 5u);

    // A delegate that is gone hears nothing; one set later hears the next report.
    delegate.reset();
    change(audio::kSourceInternalSpeaker);
    auto next = std::make_shared<test::RecordingDelegate>();
    watcher->setDelegate(next);
    change(audio::kSourceInternalSpeaker);
    EXPECT_EQ(next->count(), 1u);
    log.clear();
    watcher.reset();
    EXPECT_EQ(hardware.registrations(), 0u);
    EXPECT_TRUE(log.lines().isEmpty()); // no "Stop watching audio" from going away
}

TEST_F(HeadphoneWatch, ChoosingAnythingElseDisarmsAndAlwaysStops)
{
    settings.setBool(kUseHeadphones, true);
    auto watcher = makeWatcher(); // the stored choice arms at once
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Start watching audio")});
    ASSERT_TRUE(hardware.isRegistered(kDevice));
    log.clear();

    choose(QStringLiteral("USB Stick"));
    EXPECT_FALSE(settings.hasStoredValue(kUseHeadphones));
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Stop watching audio")});
    EXPECT_EQ(hardware.registrations(), 0u);
    change(audio::kSourceInternalSpeaker);
    EXPECT_EQ(delegate->count(), 0u);

    // Also when nothing is armed: no name, no user info, and a near miss of the name.
    choose(QVariantMap{{QStringLiteral("other"), 1}});
    choose(QVariantMap{});
    choose(QStringLiteral("headphones"));
    EXPECT_EQ(log.count(QStringLiteral("Stop watching audio")), 4);
    EXPECT_EQ(hardware.sourceRemovals(), 4);
}

// The watch moves with the default output; a move reports only when it takes headphones away,
// or when the audio server goes (no default output then).
TEST_F(HeadphoneWatch, FollowsTheDefaultOutputAndReportsOnlyWhenHeadphonesLeave)
{
    const std::tuple<quint32, AudioObjectID, quint32, bool> cases[] = {
        // from, the new default, what it plays through, reports
        {audio::kSourceHeadphones, kOther, audio::kSourceInternalSpeaker, true},
        {audio::kSourceHeadphones, kOther, audio::kSourceOther, true},
        {audio::kSourceHeadphones, kOther, 0, true}, // unreadable: not headphones
        {audio::kSourceHeadphones, kOther, audio::kSourceHeadphones, false}, // e.g. to a headset
        {audio::kSourceInternalSpeaker, kOther, audio::kSourceOther, false},
        {audio::kSourceOther, kOther, audio::kSourceInternalSpeaker, false},
        {audio::kSourceInternalSpeaker, 0, 0, true}, // the server went away
    };
    for (const auto& [from, next, to, reports] : cases) {
        SCOPED_TRACE(testing::Message() << from << " -> " << next << ": " << to);
        delegate = std::make_shared<test::RecordingDelegate>();
        hardware.setDefaultOutputDevice(kDevice);
        hardware.presetDataSource(kDevice, from);
        hardware.presetDataSource(next, to);
        auto watcher = makeWatcher();
        choose(kHeadphones);
        log.clear();

        change(next, audio::kSystemObject);
        EXPECT_EQ(delegate->count(), reports ? 1u : 0u);
        EXPECT_EQ(log.countContaining(QStringLiteral("The audio server went away")), next == 0);
        // Only the new default is watched now.
        change(audio::kSourceInternalSpeaker, kDevice);
        EXPECT_EQ(delegate->count(), reports ? 1u : 0u);
        if (next != 0) {
            change(audio::kSourceInternalSpeaker, next);
            EXPECT_EQ(delegate->count(), reports ? 2u : 1u);
        }
        choose(QStringLiteral("USB Stick"));
    }
}

// The choice flips on this thread while the audio thread delivers: nothing crashes or hangs,
// and the end state follows the last choice.
TEST_F(HeadphoneWatch, ChoicesRaceWithNotificationsSafely)
{
    auto watcher = makeWatcher();
    std::thread audio([&] {
        for (int i = 0; i < 400; ++i)
            hardware.changeDataSource(kDevice, (i % 2) ? audio::kSourceInternalSpeaker
                                                       : audio::kSourceHeadphones);
    });
    for (int i = 0; i < 100; ++i)
        choose(i % 2 ? QStringLiteral("USB Stick") : kHeadphones);
    choose(kHeadphones);
    audio.join();
    ASSERT_TRUE(hardware.waitForDelivery());

    const size_t before = delegate->count();
    change(audio::kSourceInternalSpeaker);
    EXPECT_EQ(delegate->count(), before + 1);
    EXPECT_TRUE(settings.boolForKey(kUseHeadphones));
}

} // namespace
