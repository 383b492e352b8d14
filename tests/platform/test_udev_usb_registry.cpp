// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/UsbTestbed.h"

#include "devices/WLDeviceListUSB.h"
#include "platform/usb/UdevUsbRegistry.h"
#include "support/LogCapture.h"
#include "support/WatcherFixture.h"

#include <QDir>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTimer>

#include <cerrno>

#include <gtest/gtest.h>

using namespace wl;
using Pairs = test::UsbTestbed::Pairs;

namespace {

class UdevUsbTest : public test::WatcherFixture
{
protected:
    void SetUp() override
    {
        // Without the preload every test here would watch the real (empty) bus and pass
        // vacuously: refuse instead.
        ASSERT_TRUE(test::UsbTestbed::inMockEnvironment())
            << "run under umockdev-wrapper (package umockdev)";
    }

    std::unique_ptr<WLDeviceListUSB> makeWatcher()
    {
        return std::make_unique<WLDeviceListUSB>(delegate, registry, settings, center);
    }

    test::UsbTestbed testbed; // before the registry: udev must see the mocked sysfs
    UdevUsbRegistry registry;
};

TEST_F(UdevUsbTest, ListsChoosableDevicesWithStableNames)
{
    testbed.addUsb("1-01", "Root Hub", 0x1d6b, 0x0002, 9);
    testbed.addUsb("1-02", "Keyboard", 0x05ac, 0x0264);
    testbed.addUsb("1-04", "Key", 0x046d, 0xc52b);
    testbed.add("1-05", {{"bDeviceClass", "00"}, {"idVendor", "0781"}, {"idProduct", "5581"}},
                {{"ID_MODEL_FROM_DATABASE", "Ultra Fit"}});
    testbed.addUsb("1-06", "", 0x1234, 0x0001); // no name anywhere
    testbed.add("1-07", {{"bDeviceClass", "00"}, {"idVendor", "1234"}, {"product", "Half"}}, {});
    testbed.addUsb("1-08", "Twin", 0x1111, 0x0001);
    testbed.addUsb("1-09", "Twin", 0x2222, 0x0002);
    testbed.addUsb("1-10", "Cl\xff\xfe", 0x3333, 0x0003);
    // An unreadable PRODUCT or TYPE falls back to the attribute files.
    testbed.add(
        "1-12",
        {{"bDeviceClass", "00"}, {"idVendor", "4444"}, {"idProduct", "0004"}, {"product", "Odd"}},
        {{"PRODUCT", "zz/1/1"}, {"TYPE", "x/0/0"}});
    // No TYPE: the class attribute says hub.
    testbed.add(
        "1-13",
        {{"bDeviceClass", "09"}, {"idVendor", "5555"}, {"idProduct", "0005"}, {"product", "Hub"}},
        {{"PRODUCT", "5555/5/100"}});
    testbed.add("1-14", {{"bDeviceClass", "00"}, {"idVendor", "6666"}, {"idProduct", "0006"}},
                {{"DEVTYPE", "usb_interface"}});

    auto watcher = makeWatcher();
    const QString broken = QString::fromUtf8("Cl\xff\xfe");
    ASSERT_TRUE(broken.contains(QChar::ReplacementCharacter));
    const QStringList expected{"Key", "Ultra Fit", "", "Twin", "Twin", broken, "Odd"};
    EXPECT_EQ(watcher->getCurrentDeviceList(), expected);
    EXPECT_EQ(watcher->getCurrentDeviceList(), expected); // decoded the same way every time
    EXPECT_EQ(watcher->devices()->value("Twin"), (DeviceEntry{0x2222, 2}));
    EXPECT_EQ(watcher->devices()->value("Ultra Fit"), (DeviceEntry{0x0781, 0x5581}));
    EXPECT_EQ(watcher->devices()->value("Odd"), (DeviceEntry{0x4444, 4}));
}

TEST_F(UdevUsbTest, LostEventsAreRecoveredByARescan)
{
    test::LogCapture logs;
    const QByteArray key = testbed.addUsb("1-1", "Key", 0x046d, 0xc52b, 0, 3);
    const QByteArray other = testbed.addUsb("1-2", "Other", 0x0781, 0x5581);
    storeChoice("Key", 0x046d, 0xc52b);
    auto watcher = makeWatcher();
    QSignalSpy recovered(&registry, &UdevUsbRegistry::monitorRecovered);

    // Overflow while the key is still there: rebuilt, no lock.
    testbed.removeSilently(other);
    registry.injectMonitorError(ENOBUFS);
    ASSERT_TRUE(recovered.wait(5000));
    EXPECT_EQ(delegate->calls(), 0);
    EXPECT_EQ(logs.countContaining(QStringLiteral("USB event monitor failed")), 1);

    // The key was unplugged and plugged back in while events were lost: a new device number.
    testbed.removeSilently(key);
    const QByteArray back = testbed.addUsb("1-1", "Key", 0x046d, 0xc52b, 0, 4);
    registry.injectMonitorError(ENOBUFS);
    EXPECT_TRUE(waitForLocks(1));

    // The key's removal event was lost and the socket broke: still a lock.
    testbed.removeSilently(back);
    registry.injectMonitorError(EBADF);
    EXPECT_TRUE(waitForLocks(2));
    EXPECT_EQ(registry.monitorRebuilds(), 3);

    // The rebuilt monitor hears real events.
    const QByteArray third = testbed.addUsb("1-3", "Key", 0x046d, 0xc52b, 0, 7);
    testbed.uevent(third, "add");
    testbed.unplug(third);
    EXPECT_TRUE(waitForLocks(3));
}

TEST_F(UdevUsbTest, SoakEveryRemovalOfTheWatchedNumbersLocksOnceAndNothingElseNorGrows)
{
    test::LogCapture logs;
    auto openFds = [] {
        return QDir(QStringLiteral("/proc/self/fd"))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
            .size();
    };
    // The watched numbers in no event property at all: known by its name on the bus from the
    // listing.
    const Pairs attributes{{"bDeviceClass", "00"}, {"idVendor", "1234"}, {"idProduct", "8001"}};
    const QByteArray bare = testbed.add("1-4", attributes, {});
    // Near misses: the watched numbers differ in the product, or in the vendor.
    const QByteArray others[] = {testbed.addUsb("1-5", "Other", 0x1234, 0x8002),
                                 testbed.addUsb("1-6", "Other", 0x1235, 0x8001)};
    // The key moves between two ports, each with its own device number. The devices stay in
    // the mocked sysfs: changing it takes milliseconds, and a removal is told from the event.
    const QByteArray ports[] = {testbed.addUsb("1-1", "Key", 0x1234, 0x8001, 0, 5),
                                testbed.addUsb("1-3", "Key", 0x1234, 0x8001, 0, 6)};
    testbed.uevent(ports[1], "remove");
    storeChoice("Key", 0x1234, 0x18001); // only the low 16 bits of the stored number count
    auto watcher = makeWatcher();        // armed from the stored choice, no listing
    // Plugged in while armed, with the numbers in udevd's padded properties only.
    const QByteArray database =
        testbed.add("1-2", attributes, {{"ID_VENDOR_ID", "1234"}, {"ID_MODEL_ID", "8001"}});
    testbed.uevent(database, "add");
    // A menu or the quit alert runs a nested loop: the lock must not wait for it to close.
    int locks = 0;
    QEventLoop modal;
    QTimer::singleShot(0, &modal, [&] {
        for (const QByteArray& device : {database, bare}) {
            testbed.unplug(device);
            EXPECT_TRUE(waitForLocks(++locks)) << device.constData();
        }
        modal.quit();
    });
    modal.exec();
    ASSERT_EQ(delegate->calls(), 2);
    auto cycle = [&](int i) {
        if (i % 100 == 0) { // none of these locks; a wrong lock shows by the next cycle's end
            for (const char* action : {"change", "bind", "unbind"})
                testbed.uevent(ports[i % 2], action);
            for (const QByteArray& other : others) {
                testbed.uevent(other, "remove");
                testbed.uevent(other, "add");
            }
        }
        testbed.uevent(ports[i % 2], "remove");
        const bool locked = waitForLocks(++locks);
        testbed.uevent(ports[(i + 1) % 2], "add");
        return locked;
    };
    bool ok = false;
    const int n = qEnvironmentVariableIntValue("WL_SOAK_CYCLES", &ok);
    qsizetype fdsBefore = 0;
    for (int i = 0; i < (ok && n > 10 ? n : 10000); ++i) { // stops at the first miss
        ASSERT_TRUE(cycle(i)) << "cycle " << i << ": " << delegate->calls() << " locks";
        if (i == 9) // after a warm-up: the first rounds open what stays open
            fdsBefore = openFds();
    }
    EXPECT_EQ(openFds(), fdsBefore);
    EXPECT_TRUE(logs.lines().isEmpty()) << logs.lines().join(u'\n').toStdString();
}

} // namespace
