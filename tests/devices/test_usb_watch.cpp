// SPDX-License-Identifier: GPL-3.0-or-later
#include "devices/WLDeviceListUSB.h"
#include "fakes/FakeUsbRegistry.h"
#include "platform/usb/UsbIdentity.h"
#include "support/LogCapture.h"
#include "support/WatcherFixture.h"

#include <atomic>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

using namespace wl;

namespace {

UsbDevice device(const char* name, qint32 vendor, qint32 product, const char* path)
{
    return UsbDevice{0, QString::fromUtf8(name), vendor, product, QString::fromUtf8(path)};
}
const UsbDevice kKey = device("Key", 0x046d, 0xc52b, "1-1");
const UsbDevice kOther = device("Other", 0x0781, 0x5581, "1-2");

class UsbWatchTest : public test::WatcherFixture
{
protected:
    std::unique_ptr<WLDeviceListUSB> makeWatcher()
    {
        return std::make_unique<WLDeviceListUSB>(delegate, registry, settings, center);
    }

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

TEST_F(UsbWatchTest, ListingDropsBuiltInDevicesOnlyWhenBothColumnsMatch)
{
    registry.attached = {
        device("IR Receiver", 1452, 0x8242, "b"),   // excluded by name
        device("IR Receiver", 0x1234, 0x0001, "e"), // other vendor: listed
        device("ir receiver", 1452, 0x8301, "g"),   // names compare exactly
        device("Stick", 0x0781, 612, "h"),          // product alone is not enough
    };
    auto watcher = makeWatcher();
    EXPECT_EQ(watcher->getCurrentDeviceList(),
              (QStringList{"IR Receiver", "ir receiver", "Stick"}));

    // A failed query returns nothing and keeps the previous dictionary, quietly.
    const auto before = watcher->devices();
    registry.queryFails = true;
    EXPECT_TRUE(watcher->getCurrentDeviceList().isEmpty());
    EXPECT_EQ(watcher->devices(), before);
    EXPECT_TRUE(logs.lines().isEmpty());
}

TEST_F(UsbWatchTest, PlaceholderNeedsANonEmptyAbsentNameAndANonZeroNumber)
{
    // The stored name and numbers, and whether they make a placeholder.
    const std::tuple<const char*, std::optional<QString>, qint64, qint64, bool> cases[] = {
        {"absent chosen device", QStringLiteral("Gone"), 5, 6, true},
        {"vendor 0, product set", QStringLiteral("Gone"), 0, 6, true},
        {"vendor set, product 0", QStringLiteral("Gone"), 5, 0, true},
        {"both numbers 0", QStringLiteral("Gone"), 0, 0, false},
        {"empty name", QStringLiteral(""), 5, 6, false},
        {"no name", std::nullopt, 5, 6, false},
        {"chosen device attached", QStringLiteral("Key"), 5, 6, false},
    };
    registry.attached = {kOther, kKey};
    for (const auto& [what, name, vendor, product, placeholder] : cases) {
        SCOPED_TRACE(what);
        settings.removeObjectForKey(keys::kDeviceName);
        if (name)
            settings.setObject(keys::kDeviceName, *name);
        settings.setObject(keys::idVendor, vendor);
        settings.setObject(keys::idProduct, product);
        auto watcher = makeWatcher();
        EXPECT_EQ(
            watcher->getCurrentDeviceList(),
            (placeholder ? QStringList{"Gone", "Other", "Key"} : QStringList{"Other", "Key"}));
        if (placeholder) {
            EXPECT_EQ(watcher->devices()->value("Gone"), (DeviceEntry{vendor, product}));
        }
        // An attached device keeps its own numbers, not the stored ones.
        EXPECT_EQ(watcher->devices()->value("Key"), (DeviceEntry{0x046d, 0xc52b}));
    }
}

TEST_F(UsbWatchTest, ReadersAlwaysSeeAWholeDictionary)
{
    const QList<UsbDevice> small{kKey};
    const QList<UsbDevice> large{kKey, kOther, device("Third", 7, 8, "x")};
    registry.attached = small;
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

TEST_F(UsbWatchTest, ChoicesOutsideTheCatalogueDisarmAndZeroNumbersAreRefused)
{
    // What the panel sends, whether it listed first, and whether the key device stays guarded.
    const std::tuple<const char*, QVariantMap, bool, bool> cases[] = {
        {"headphones", {{events::kNewDeviceName, QStringLiteral("Headphones")}}, true, false},
        {"no title entry", {}, true, false},
        {"before any listing", {{events::kNewDeviceName, QStringLiteral("Key")}}, false, false},
        {"zero numbers", {{events::kNewDeviceName, QStringLiteral("Zero")}}, true, true},
    };
    for (const auto& [what, userInfo, listFirst, keeps] : cases) {
        SCOPED_TRACE(what);
        logs.clear();
        storeChoice("Key", 0x046d, 0xc52b);
        registry.attached = {kKey, device("Zero", 0, 0, "z")};
        auto watcher = makeWatcher();
        if (listFirst)
            watcher->startSearch();
        const int before = delegate->calls();
        center.postNotificationName(events::kSetNewDeviceEvent, this, userInfo);
        EXPECT_EQ(settings.integerForKey(keys::idVendor), keeps ? 0x046d : 0);
        EXPECT_EQ(settings.hasStoredValue(keys::idProduct), keeps);
        EXPECT_EQ(registry.registrationCount(), keeps ? 1u : 0u);
        EXPECT_EQ(watcher->lostDeviceIterator() != 0, keeps);
        EXPECT_EQ(logs.lines().size(), keeps ? 1 : 0);
        registry.unplug(kKey.path);
        flush();
        EXPECT_EQ(delegate->calls(), before + (keeps ? 1 : 0));
    }
}

TEST_F(UsbWatchTest, ChoosingAgainReleasesTheOldRegistrationWhateverTheNewOneGets)
{
    using R = UsbRegistry::AddResult;
    for (const auto& [result, line] :
         {std::pair{R::Added, ""}, std::pair{R::NoMatching, "Could not create matching dictionary"},
          std::pair{R::Refused, "error adding removal notification"}}) {
        SCOPED_TRACE(line);
        const bool added = result == R::Added;
        logs.clear();
        settings.removeObjectForKey(keys::idVendor);
        settings.removeObjectForKey(keys::idProduct);
        registry.addResult = R::Added;
        registry.attached = {kKey, kOther};
        auto watcher = makeWatcher();
        EXPECT_EQ(registry.registrationCount(), 0u); // nothing stored, nothing armed
        watcher->startSearch();
        choose("Key");
        choose("Key");
        registry.addResult = result;
        choose("Other");
        EXPECT_EQ(settings.integerForKey(keys::idProduct), 0x5581);
        EXPECT_EQ(logs.lines(), added ? QStringList{} : QStringList{line});
        EXPECT_EQ(registry.registrationCount(), added ? 1u : 0u); // the old one goes all the same
        EXPECT_EQ(watcher->lostDeviceIterator() != 0, added);
        const int before = delegate->calls();
        registry.unplug(kKey.path);
        registry.unplug(kOther.path);
        flush();
        EXPECT_EQ(delegate->calls(), before + (added ? 1 : 0));
    }
}

TEST_F(UsbWatchTest, RegistrationsAreDrainedWithoutADelegateAndEndWithTheWatcher)
{
    storeChoice("Key", 0x046d, 0xc52b);
    auto orphan = std::make_unique<WLDeviceListUSB>(std::weak_ptr<WLDeviceListDelegate>(), registry,
                                                    settings, center);
    auto watcher = makeWatcher();
    // A second registration made directly must not take the held one's context away.
    ASSERT_NE(watcher->setupUSBCallbacks(
                  kUsbTerminateNotification, [](void*, UsbRegistry::Handle) {}, 0),
              0u);
    for (int round = 1; round <= 2; ++round) {
        registry.terminate({kKey, kKey}); // one delivery of two devices: one lock
        EXPECT_TRUE(waitForLocks(round));
        // The delivery was emptied, which is what keeps the registration reporting.
        EXPECT_EQ(registry.iteratorNext(orphan->lostDeviceIterator()), std::nullopt);
    }
    watcher.reset();
    orphan.reset();
    EXPECT_EQ(registry.registrationCount(), 0u);
    registry.terminate({kKey});
    flush();
    EXPECT_EQ(delegate->calls(), 2);
    center.postNotificationName(events::kSetNewDeviceEvent, this, {}); // heard by nobody
    EXPECT_EQ(settings.integerForKey(keys::idVendor), 0x046d);
}

TEST(UsbIdentityTest, ParsesKernelAndDatabaseForms)
{
    using S = std::optional<std::string_view>;
    // PRODUCT, ID_VENDOR_ID, ID_MODEL_ID, and the identity they give.
    const std::tuple<S, S, S, std::optional<UsbIdentity>> cases[] = {
        {"46d/c52b/1211", {}, {}, UsbIdentity{0x046d, 0xc52b}},
        {"46D/C52B/1211", {}, {}, UsbIdentity{0x046d, 0xc52b}},
        {" 0/0/0", {}, {}, UsbIdentity{0, 0}},
        {{}, "046d", "c52b\n", UsbIdentity{0x046d, 0xc52b}},
        {"garbage", "046d", "c52b", UsbIdentity{0x046d, 0xc52b}},  // falls back
        {"46d/c52b", "0781", "5581", UsbIdentity{0x0781, 0x5581}}, // two fields: malformed
        {"46d/c52b/1/2", {}, {}, std::nullopt},
        {"10000/1/1", {}, {}, std::nullopt}, // beyond 16 bits
        {"/c52b/1", {}, {}, std::nullopt},
        {"+1/c52b/1", {}, {}, std::nullopt},
        {"0x46d/c52b/1", {}, {}, std::nullopt},
        {"000000046d/c52b/1", {}, {}, std::nullopt}, // more than 8 digits
        {{}, "046d", {}, std::nullopt},
        {{}, "", "", std::nullopt},
    };
    for (const auto& [product, vendor, model, expected] : cases) {
        SCOPED_TRACE(testing::Message() << product.value_or("-") << " " << vendor.value_or("-")
                                        << " " << model.value_or("-"));
        EXPECT_EQ(parseUeventIdentity(product, vendor, model), expected);
    }
    EXPECT_EQ(parseHexNumber("ffffffff"), 0xffffffffu);
}

} // namespace
