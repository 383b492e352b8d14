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

#include <gtest/gtest.h>

using namespace wl;
using wl::test::FakeAudioHardware;

namespace {

constexpr AudioObjectID kDevice = 42;
const QString kUseHeadphones = QString::fromLatin1(keys::useHeadphones);

class HeadphoneWatch : public ::testing::Test
{
protected:
    HeadphoneWatch() : settings(dir.filePath(QStringLiteral("wardlatch.conf")))
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
    // Announces a change and waits until the fake's thread has delivered it.
    void change(quint32 source, AudioObjectID device = kDevice)
    {
        hardware.changeDataSource(device, source);
        ASSERT_TRUE(hardware.waitForDelivery());
    }
    // Another default output (0: the server went away), announced and delivered.
    void changeDefault(AudioObjectID device)
    {
        hardware.changeDefaultOutputDevice(device);
        ASSERT_TRUE(hardware.waitForDelivery());
    }
    std::vector<FakeAudioHardware::Request> sourceAdds() const
    {
        return FakeAudioHardware::onSources(hardware.addRequests());
    }

    QTemporaryDir dir;
    Settings settings;
    NotificationCenter center;
    FakeAudioHardware hardware;
    std::shared_ptr<test::RecordingDelegate> delegate = std::make_shared<test::RecordingDelegate>();
    test::LogCapture log;
};

TEST_F(HeadphoneWatch, ListOffersHeadphonesWhilePluggedInOrChosen)
{
    struct Case
    {
        quint32 source;
        bool chosen;
        QStringList list;
        QStringList logged;
    };
    const QStringList offered{QStringLiteral("Headphones")};
    const Case cases[] = {
        {audio::kSourceHeadphones, false, offered, {QStringLiteral("headphone")}},
        {audio::kSourceInternalSpeaker, false, {}, {QStringLiteral("speaker")}},
        // Chosen but unplugged: stays visible so the choice can be seen.
        {audio::kSourceInternalSpeaker, true, offered, {QStringLiteral("speaker")}},
        {audio::kSourceOther, false, {}, {}},
        {audio::kSourceOther, true, offered, {}},
        {0, false, {}, {}}, // read fails
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        settings.removeObjectForKey(kUseHeadphones);
        if (c.chosen)
            settings.setBool(kUseHeadphones, true);
        hardware.presetDataSource(kDevice, c.source);
        auto watcher = makeWatcher();
        log.clear();
        EXPECT_EQ(watcher->getCurrentDeviceList(), c.list);
        EXPECT_TRUE(log.lines().isEmpty()) << "the panel opening logged";
        EXPECT_EQ(watcher->areHeadphonesConnected(), c.source == audio::kSourceHeadphones);
        EXPECT_EQ(log.lines(), c.logged);
    }
}

TEST_F(HeadphoneWatch, ChoosingHeadphonesArmsAndUnpluggingReportsOncePerChange)
{
    auto watcher = makeWatcher();
    EXPECT_TRUE(hardware.addRequests().empty());
    choose(QStringLiteral("Headphones"));

    EXPECT_TRUE(settings.boolForKey(kUseHeadphones));
    EXPECT_EQ(log.count(QStringLiteral("Start watching audio")), 1);
    const auto adds = sourceAdds();
    ASSERT_EQ(adds.size(), 1u);
    EXPECT_EQ(adds[0].object, kDevice);
    EXPECT_EQ(adds[0].address, FakeAudioHardware::kSourceAddress);
    EXPECT_EQ(adds[0].clientData, watcher.get());

    log.clear();
    change(audio::kSourceInternalSpeaker);
    EXPECT_EQ(delegate->count(), 1u);
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("speaker")});

    // Plugging back in only logs.
    change(audio::kSourceHeadphones);
    EXPECT_EQ(delegate->count(), 1u);
    EXPECT_EQ(log.count(QStringLiteral("headphone")), 1);

    // Each notification that does not land on headphones reports, whatever came before;
    // a failed read counts as not headphones.
    change(audio::kSourceInternalSpeaker);
    change(audio::kSourceInternalSpeaker);
    change(audio::kSourceOther);
    change(0);
    EXPECT_EQ(delegate->count(), 5u);
    EXPECT_EQ(log.count(QStringLiteral("speaker")), 3);

    // Reports came on the audio layer's own thread, not this one.
    for (const auto& id : delegate->threads()) {
        EXPECT_EQ(id, hardware.notificationThread());
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST_F(HeadphoneWatch, ChoosingHeadphonesAgainRequestsAnIdenticalRegistration)
{
    auto watcher = makeWatcher();
    choose(QStringLiteral("Headphones"));
    choose(QStringLiteral("Headphones"));
    const auto adds = sourceAdds();
    ASSERT_EQ(adds.size(), 2u);
    EXPECT_EQ(adds[0].object, adds[1].object);
    EXPECT_EQ(adds[0].address, adds[1].address);
    EXPECT_EQ(adds[0].listener, adds[1].listener);
    EXPECT_EQ(adds[0].clientData, adds[1].clientData);
    EXPECT_EQ(log.count(QStringLiteral("Start watching audio")), 2);

    // The audio layer keeps it once: one change, one report; one removal ends it.
    change(audio::kSourceInternalSpeaker);
    EXPECT_EQ(delegate->count(), 1u);
    choose(QStringLiteral("USB Stick"));
    EXPECT_EQ(hardware.registrations(), 0u);
}

TEST_F(HeadphoneWatch, ChoosingAnythingElseDisarmsAndAlwaysRequestsRemoval)
{
    auto watcher = makeWatcher();
    choose(QStringLiteral("Headphones"));
    log.clear();

    choose(QStringLiteral("USB Stick"));
    EXPECT_FALSE(settings.hasStoredValue(kUseHeadphones));
    EXPECT_FALSE(settings.boolForKey(kUseHeadphones));
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Stop watching audio")});
    auto removes = FakeAudioHardware::onSources(hardware.removeRequests());
    ASSERT_EQ(removes.size(), 1u);
    EXPECT_EQ(removes[0].object, kDevice);
    EXPECT_EQ(removes[0].address, FakeAudioHardware::kSourceAddress);
    EXPECT_EQ(removes[0].clientData, watcher.get());

    change(audio::kSourceInternalSpeaker);
    EXPECT_EQ(delegate->count(), 0u);

    // Also when nothing is armed: no name, no user info, and a near miss of the name.
    choose(QVariantMap{{QStringLiteral("other"), 1}});
    choose(QVariantMap{});
    choose(QStringLiteral("headphones"));
    EXPECT_EQ(FakeAudioHardware::onSources(hardware.removeRequests()).size(), 4u);
    EXPECT_EQ(log.count(QStringLiteral("Stop watching audio")), 4);
    EXPECT_EQ(sourceAdds().size(), 1u);
    EXPECT_FALSE(hardware.followsDefault());
    EXPECT_FALSE(settings.hasStoredValue(kUseHeadphones));
}

TEST_F(HeadphoneWatch, StoredChoiceArmsAtCreation)
{
    {
        auto watcher = makeWatcher(); // nothing stored: nothing happens
        EXPECT_TRUE(log.lines().isEmpty());
        EXPECT_TRUE(hardware.addRequests().empty());
    }
    settings.setBool(kUseHeadphones, true);
    auto watcher = makeWatcher();
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Start watching audio")});
    ASSERT_EQ(sourceAdds().size(), 1u);
    change(audio::kSourceInternalSpeaker);
    EXPECT_EQ(delegate->count(), 1u);
}

// The watch moves with the default output; a move reports only when it takes headphones away.
TEST_F(HeadphoneWatch, FollowsTheDefaultOutputAndReportsOnlyWhenHeadphonesLeave)
{
    constexpr AudioObjectID kOther = 7;
    struct Case
    {
        quint32 from, to;
        bool reports;
    };
    const Case cases[] = {
        {audio::kSourceHeadphones, audio::kSourceInternalSpeaker, true},
        {audio::kSourceHeadphones, audio::kSourceOther, true},
        {audio::kSourceHeadphones, 0, true},                         // unreadable: not headphones
        {audio::kSourceHeadphones, audio::kSourceHeadphones, false}, // e.g. to a headset
        {audio::kSourceInternalSpeaker, audio::kSourceOther, false},
        {audio::kSourceOther, audio::kSourceInternalSpeaker, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
        delegate = std::make_shared<test::RecordingDelegate>();
        hardware.setDefaultOutputDevice(kDevice);
        hardware.presetDataSource(kDevice, c.from);
        hardware.presetDataSource(kOther, c.to);
        auto watcher = makeWatcher();
        choose(QStringLiteral("Headphones"));

        changeDefault(kOther);
        EXPECT_EQ(delegate->count(), c.reports ? 1u : 0u);
        EXPECT_EQ(watcher->defaultDevice(), kOther);
        EXPECT_TRUE(hardware.isRegistered(kOther));
        EXPECT_FALSE(hardware.isRegistered(kDevice));
        EXPECT_EQ(watcher->areHeadphonesConnected(), c.to == audio::kSourceHeadphones);
        // Only the new default is watched now.
        change(audio::kSourceInternalSpeaker, kDevice);
        EXPECT_EQ(delegate->count(), c.reports ? 1u : 0u);
        change(audio::kSourceInternalSpeaker, kOther);
        EXPECT_EQ(delegate->count(), c.reports ? 2u : 1u);
        choose(QStringLiteral("USB Stick"));
    }
}

// No server at first: the log says so, and the watch arms once one comes, and again after
// it restarts; the server going away while watched reports.
TEST_F(HeadphoneWatch, ArmsWhenAServerComesAndAgainAfterItRestarts)
{
    hardware.setDefaultOutputDevice(0);
    auto watcher = makeWatcher();
    EXPECT_EQ(watcher->defaultDevice(), 0u);
    EXPECT_TRUE(watcher->getCurrentDeviceList().isEmpty());

    choose(QStringLiteral("Headphones"));
    EXPECT_EQ(log.count(QStringLiteral("Start watching audio")), 0);
    EXPECT_EQ(log.countContaining(QStringLiteral("No audio server is running")), 1);
    EXPECT_TRUE(sourceAdds().empty());

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        log.clear();
        changeDefault(kDevice); // the server (re)starts
        EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Start watching audio")});
        EXPECT_TRUE(hardware.isRegistered(kDevice));
        EXPECT_EQ(delegate->count(), 2u * (run - 1));
        change(audio::kSourceInternalSpeaker);
        EXPECT_EQ(delegate->count(), 2u * (run - 1) + 1);
        change(audio::kSourceHeadphones);

        changeDefault(0); // and goes away
        EXPECT_EQ(delegate->count(), 2u * run);
        EXPECT_FALSE(hardware.isRegistered(kDevice));
        EXPECT_EQ(log.countContaining(QStringLiteral("The audio server went away")), 1);
    }
}

TEST_F(HeadphoneWatch, ReportAfterTheDelegateIsGoneIsDropped)
{
    auto watcher = makeWatcher();
    choose(QStringLiteral("Headphones"));
    std::weak_ptr<test::RecordingDelegate> weak = delegate;
    delegate.reset();
    EXPECT_TRUE(weak.expired());
    change(audio::kSourceInternalSpeaker);
    watcher->watchedDeviceRemoved();
    EXPECT_EQ(log.count(QStringLiteral("speaker")), 1);

    // A new delegate set later hears the next one.
    auto next = std::make_shared<test::RecordingDelegate>();
    watcher->setDelegate(next);
    change(audio::kSourceInternalSpeaker);
    EXPECT_EQ(next->count(), 1u);
}

TEST_F(HeadphoneWatch, SearchChangesNothingAndDestructionEndsTheRegistration)
{
    auto watcher = makeWatcher();
    choose(QStringLiteral("Headphones"));
    log.clear();
    watcher->startSearch();
    watcher->stopSearch();
    EXPECT_TRUE(log.lines().isEmpty());
    EXPECT_TRUE(hardware.isRegistered(kDevice));

    watcher.reset();
    EXPECT_EQ(hardware.registrations(), 0u);
    EXPECT_TRUE(log.lines().isEmpty()); // no "Stop watching audio" from going away
    change(audio::kSourceInternalSpeaker);
    EXPECT_EQ(delegate->count(), 0u);
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
        choose(i % 2 ? QStringLiteral("USB Stick") : QStringLiteral("Headphones"));
    choose(QStringLiteral("Headphones"));
    audio.join();
    ASSERT_TRUE(hardware.waitForDelivery());

    const size_t before = delegate->count();
    change(audio::kSourceInternalSpeaker);
    EXPECT_EQ(delegate->count(), before + 1);
    EXPECT_TRUE(settings.boolForKey(kUseHeadphones));
}

} // namespace
