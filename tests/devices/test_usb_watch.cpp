// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "devices/WLDeviceListUSB.h"
#include "fakes/CountingDelegate.h"
#include "fakes/FakeUsbRegistry.h"
#include "platform/usb/UsbIdentity.h"
#include "support/LogCapture.h"
#include "support/WatcherFixture.h"

#include <QTest>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

using namespace wl;
using test::usbDevice;

namespace {

const UsbDevice kKey = usbDevice(QStringLiteral("Key"), 0x046d, 0xc52b, QStringLiteral("1-1"));
const UsbDevice kOther = usbDevice(QStringLiteral("Other"), 0x0781, 0x5581, QStringLiteral("1-2"));

class UsbWatchTest : public test::WatcherFixture
{
protected:
    std::unique_ptr<WLDeviceListUSB> makeWatcher()
    {
        return std::make_unique<WLDeviceListUSB>(delegate, registry, settings, center);
    }

    void unplug(const UsbDevice& device) { registry.unplug(device.path); }

    // Every delivery queued so far has run once this returns.
    void flush()
    {
        bool done = false;
        QMetaObject::invokeMethod(
            &registry, [&done] { done = true; }, Qt::QueuedConnection);
        ASSERT_TRUE(QTest::qWaitFor([&done] { return done; }, 5000));
    }

    test::FakeUsbRegistry registry;
    test::LogCapture logs;
};

// --- listing ---

TEST_F(UsbWatchTest, ListingDropsHubsAndBuiltInDevicesOnlyWhenBothColumnsMatch)
{
    registry.attached = {
        usbDevice("Hub", 0x1d6b, 0x0002, "hub", 9),
        usbDevice("Keyboard", 1452, 612, "a"),                    // excluded whatever its name
        usbDevice("IR Receiver", 1452, 0x8242, "b"),              // excluded by name
        usbDevice("Built-in iSight", 1452, 0x8501, "c"),          // excluded by name
        usbDevice("Bluetooth USB Host Controller", 1452, 1, "d"), // excluded by name
        usbDevice("IR Receiver", 0x1234, 0x0001, "e"),            // other vendor: listed
        usbDevice("iSight", 1452, 0x8300, "f"),                   // names compare exactly
        usbDevice("ir receiver", 1452, 0x8301, "g"),              // case matters
        usbDevice("Stick", 0x0781, 612, "h"),                     // product alone is not enough
    };
    auto watcher = makeWatcher();
    EXPECT_EQ(watcher->devices(), nullptr); // nothing listed at construction
    EXPECT_EQ(watcher->getCurrentDeviceList(),
              (QStringList{"IR Receiver", "iSight", "ir receiver", "Stick"}));
    const auto devices = watcher->devices();
    ASSERT_NE(devices, nullptr);
    EXPECT_EQ(devices->keys(), (QStringList{"IR Receiver", "Stick", "iSight", "ir receiver"}));
    EXPECT_EQ(devices->value("Stick"), (DeviceEntry{0x0781, 612}));
}

TEST_F(UsbWatchTest, PlaceholderNeedsANonEmptyAbsentNameAndANonZeroNumber)
{
    struct Case
    {
        const char* what;
        std::optional<QString> name;
        qint64 vendor, product;
        bool placeholder;
    };
    const Case cases[] = {
        {"absent chosen device", QStringLiteral("Gone"), 5, 6, true},
        {"vendor 0, product set", QStringLiteral("Gone"), 0, 6, true},
        {"vendor set, product 0", QStringLiteral("Gone"), 5, 0, true},
        {"both numbers 0", QStringLiteral("Gone"), 0, 0, false},
        {"empty name", QStringLiteral(""), 5, 6, false},
        {"no name", std::nullopt, 5, 6, false},
        {"chosen device attached", QStringLiteral("Key"), 5, 6, false},
    };
    registry.attached = {kOther, kKey};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        settings.removeObjectForKey(keys::kDeviceName);
        if (c.name)
            settings.setObject(keys::kDeviceName, *c.name);
        settings.setObject(keys::idVendor, c.vendor);
        settings.setObject(keys::idProduct, c.product);
        auto watcher = makeWatcher();
        const QStringList list = watcher->getCurrentDeviceList();
        if (c.placeholder) {
            EXPECT_EQ(list, (QStringList{"Gone", "Other", "Key"}));
            EXPECT_EQ(watcher->devices()->value("Gone"), (DeviceEntry{c.vendor, c.product}));
        } else {
            EXPECT_EQ(list, (QStringList{"Other", "Key"}));
            // An attached device keeps its own numbers, not the stored ones.
            EXPECT_EQ(watcher->devices()->value("Key"), (DeviceEntry{0x046d, 0xc52b}));
        }
    }
}

TEST_F(UsbWatchTest, FailedQueryReturnsNothingAndKeepsThePreviousDictionary)
{
    registry.attached = {kKey};
    auto watcher = makeWatcher();
    watcher->startSearch();
    const auto before = watcher->devices();
    ASSERT_NE(before, nullptr);
    registry.queryFails = true;
    EXPECT_TRUE(watcher->getCurrentDeviceList().isEmpty());
    EXPECT_EQ(watcher->devices(), before);
    EXPECT_TRUE(logs.lines().isEmpty());
}

TEST_F(UsbWatchTest, ReadersAlwaysSeeAWholeDictionary)
{
    const QList<UsbDevice> small{kKey};
    const QList<UsbDevice> large{kKey, kOther, usbDevice("Third", 7, 8, "x")};
    auto watcher = makeWatcher();
    watcher->startSearch();
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            const auto d = watcher->devices();
            if (!d || (d->size() != 1 && d->size() != 3))
                ++torn;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        registry.attached = i % 2 ? small : large;
        watcher->startSearch();
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0);
}

// --- watch ---

TEST_F(UsbWatchTest, StoredChoiceIsArmedAtConstructionAndLocksOnEveryRemoval)
{
    storeChoice("Key", 0x046d, 0xc52b);
    registry.attached = {kKey, kOther};
    auto watcher = makeWatcher();
    EXPECT_NE(watcher->lostDeviceIterator(), 0u);
    ASSERT_EQ(registry.lastMatch->vendorId, 0x046d);

    unplug(kOther);
    unplug(kKey);
    EXPECT_TRUE(waitForLocks(1));
    registry.plug(kKey);
    unplug(kKey);
    EXPECT_TRUE(waitForLocks(2));
}

TEST_F(UsbWatchTest, SwitchingDevicesReleasesTheOldRegistrationFirst)
{
    registry.attached = {kKey, kOther};
    auto watcher = makeWatcher();
    EXPECT_EQ(registry.addCalls, 0); // nothing stored, nothing armed
    watcher->startSearch();
    choose("Key");
    choose("Other");
    EXPECT_EQ(settings.integerForKey(keys::idVendor), 0x0781);
    EXPECT_EQ(settings.integerForKey(keys::idProduct), 0x5581);
    EXPECT_EQ(registry.registrationCount(), 1u);
    EXPECT_EQ(registry.releases, 1);

    unplug(kKey);
    unplug(kOther);
    EXPECT_TRUE(waitForLocks(1));
}

TEST_F(UsbWatchTest, ChoosingTheSameDeviceTwiceLocksOnce)
{
    registry.attached = {kKey};
    auto watcher = makeWatcher();
    watcher->startSearch();
    choose("Key");
    choose("Key");
    EXPECT_EQ(registry.registrationCount(), 1u);
    unplug(kKey);
    EXPECT_TRUE(waitForLocks(1));
    flush();
    EXPECT_EQ(delegate->calls(), 1);
}

TEST_F(UsbWatchTest, ChoosingThePlaceholderRearmsForTheStoredNumbers)
{
    storeChoice("Gone", 0x1111, 0x2222);
    auto watcher = makeWatcher();
    EXPECT_EQ(watcher->getCurrentDeviceList(), QStringList{"Gone"});
    choose("Gone");
    EXPECT_EQ(settings.integerForKey(keys::idVendor), 0x1111);
    EXPECT_EQ(registry.registrationCount(), 1u);
    registry.terminate({usbDevice("Gone", 0x1111, 0x2222, "g")});
    EXPECT_TRUE(waitForLocks(1));
}

TEST_F(UsbWatchTest, TitlesOutsideTheCatalogueDisarmAndForgetTheNumbers)
{
    struct Case
    {
        const char* what;
        QVariantMap userInfo;
        bool listFirst;
    };
    const Case cases[] = {
        {"headphones", {{events::kNewDeviceName, QStringLiteral("Headphones")}}, true},
        {"unknown title", {{events::kNewDeviceName, QStringLiteral("Nope")}}, true},
        {"no title entry", {}, true},
        {"title of the wrong type", {{events::kNewDeviceName, 42}}, true},
        {"before any listing", {{events::kNewDeviceName, QStringLiteral("Key")}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        storeChoice("Key", 0x046d, 0xc52b);
        registry.attached = {kKey};
        auto watcher = makeWatcher();
        ASSERT_EQ(registry.registrationCount(), 1u);
        if (c.listFirst)
            watcher->startSearch();
        center.postNotificationName(events::kSetNewDeviceEvent, this, c.userInfo);
        EXPECT_FALSE(settings.hasStoredValue(keys::idVendor));
        EXPECT_FALSE(settings.hasStoredValue(keys::idProduct));
        EXPECT_EQ(registry.registrationCount(), 0u);
        EXPECT_EQ(watcher->lostDeviceIterator(), 0u);
        unplug(kKey);
        flush();
        EXPECT_EQ(delegate->calls(), 0);
    }
}

TEST_F(UsbWatchTest, ADeviceWithZeroNumbersCannotReplaceTheChoice)
{
    const UsbDevice zero = usbDevice("Zero", 0, 0, "z");
    registry.attached = {kKey, zero};
    auto watcher = makeWatcher();
    watcher->startSearch();
    choose("Key");
    const auto armed = watcher->lostDeviceIterator();
    center.postNotificationName(events::kSetNewDeviceEvent, this,
                                {{events::kNewDeviceName, QStringLiteral("Zero")}});
    EXPECT_EQ(settings.integerForKey(keys::idVendor), 0x046d);
    EXPECT_EQ(settings.integerForKey(keys::idProduct), 0xc52b);
    EXPECT_EQ(watcher->lostDeviceIterator(), armed);
    EXPECT_EQ(registry.registrationCount(), 1u);
    EXPECT_EQ(logs.lines(), QStringList{"\"Zero\" has no vendor and product numbers to watch; "
                                        "the key device stays as it was"});
    unplug(kKey);
    EXPECT_TRUE(waitForLocks(1));
}

TEST_F(UsbWatchTest, OneDeliveryOfSeveralDevicesLocksOnceAndRearms)
{
    const UsbDevice twin = usbDevice("Key", 0x046d, 0xc52b, "1-9");
    storeChoice("Key", 0x046d, 0xc52b);
    auto watcher = makeWatcher();
    registry.terminate({kKey, twin});
    EXPECT_TRUE(waitForLocks(1));
    flush();
    EXPECT_EQ(delegate->calls(), 1);
    // The delivery was emptied, so the next removal is reported too.
    registry.terminate({twin});
    EXPECT_TRUE(waitForLocks(2));
}

TEST_F(UsbWatchTest, WithoutADelegateRemovalsAreDrainedAndNothingIsSent)
{
    storeChoice("Key", 0x046d, 0xc52b);
    WLDeviceListUSB orphan({}, registry, settings, center);
    auto gone = std::make_shared<test::CountingDelegate>();
    WLDeviceListUSB late(gone, registry, settings, center);
    gone.reset(); // the delegate goes away after arming
    EXPECT_EQ(registry.registrationCount(), 2u);
    for (int round = 0; round < 2; ++round) {
        registry.terminate({kKey});
        flush();
        // Each delivery was emptied, which is what keeps the registration reporting.
        EXPECT_EQ(registry.iteratorNext(orphan.lostDeviceIterator()), std::nullopt);
        EXPECT_EQ(registry.iteratorNext(late.lostDeviceIterator()), std::nullopt);
    }
}

TEST_F(UsbWatchTest, RegistryFailuresAreLoggedAndLeaveTheWatchUnarmed)
{
    struct Case
    {
        UsbRegistry::AddResult result;
        const char* line;
    };
    const Case cases[] = {
        {UsbRegistry::AddResult::NoMatching, "Could not create matching dictionary"},
        {UsbRegistry::AddResult::Refused, "error adding removal notification"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        logs.clear();
        registry.addResult = UsbRegistry::AddResult::Added;
        registry.attached = {kKey, kOther};
        auto watcher = makeWatcher();
        watcher->startSearch();
        choose("Key");
        ASSERT_EQ(registry.registrationCount(), 1u);
        registry.addResult = c.result;
        choose("Other");
        EXPECT_EQ(logs.lines(), QStringList{c.line});
        EXPECT_EQ(registry.registrationCount(), 0u); // the old one is gone all the same
        EXPECT_EQ(watcher->lostDeviceIterator(), 0u);
    }
}

TEST_F(UsbWatchTest, DestroyingTheWatcherCancelsEveryRegistrationItMade)
{
    storeChoice("Key", 0x046d, 0xc52b);
    auto watcher = makeWatcher();
    // A second registration made directly must not take the held one's context away.
    const UsbRegistry::Handle extra = watcher->setupUSBCallbacks(
        kUsbTerminateNotification, [](void*, UsbRegistry::Handle) {}, 0);
    ASSERT_NE(extra, 0u);
    ASSERT_EQ(registry.registrationCount(), 2u);
    registry.terminate({kKey});
    EXPECT_TRUE(waitForLocks(1));
    watcher.reset();
    EXPECT_EQ(registry.registrationCount(), 0u);
    registry.terminate({kKey});
    flush();
    EXPECT_EQ(delegate->calls(), 1);
    center.postNotificationName(events::kSetNewDeviceEvent, this, {});
    EXPECT_EQ(settings.integerForKey(keys::idVendor), 0x046d);
}

// --- uevent identity ---

TEST(UsbIdentityTest, ParsesKernelAndDatabaseForms)
{
    using S = std::optional<std::string_view>;
    struct Case
    {
        S product, vendor, model;
        std::optional<UsbIdentity> expected;
    };
    const Case cases[] = {
        {"46d/c52b/1211", {}, {}, UsbIdentity{0x046d, 0xc52b}},
        {"46D/C52B/1211", {}, {}, UsbIdentity{0x046d, 0xc52b}},
        {"1234/8001/100", {}, {}, UsbIdentity{0x1234, 0x8001}},
        {"0/0/0", {}, {}, UsbIdentity{0, 0}},
        {{}, "046d", "c52b", UsbIdentity{0x046d, 0xc52b}},
        {"garbage", "046d", "c52b", UsbIdentity{0x046d, 0xc52b}},  // falls back
        {"46d/c52b", "0781", "5581", UsbIdentity{0x0781, 0x5581}}, // two fields: malformed
        {"46d/c52b/1/2", {}, {}, std::nullopt},
        {"10000/1/1", {}, {}, std::nullopt}, // beyond 16 bits
        {"/c52b/1", {}, {}, std::nullopt},
        {"-1/c52b/1", {}, {}, std::nullopt},
        {"0x46d/c52b/1", {}, {}, std::nullopt},
        {{}, "046d", {}, std::nullopt},
        {{}, "", "", std::nullopt},
        {{}, {}, {}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.product.value_or("-")) + " " +
                     std::string(c.vendor.value_or("-")) + " " +
                     std::string(c.model.value_or("-")));
        EXPECT_EQ(parseUeventIdentity(c.product, c.vendor, c.model), c.expected);
    }
    EXPECT_EQ(parseHexNumber(" 09\n"), 9u);
    EXPECT_EQ(parseHexNumber("ffffffff"), 0xffffffffu);
    EXPECT_EQ(parseHexNumber("100000000"), std::nullopt);
    EXPECT_EQ(parseHexNumber("1 2"), std::nullopt);
}

} // namespace
