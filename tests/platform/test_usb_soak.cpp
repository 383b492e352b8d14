// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/UsbTestbed.h"

#include "devices/WLDeviceListUSB.h"
#include "platform/usb/UdevUsbRegistry.h"
#include "support/LogCapture.h"
#include "support/WatcherFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

#include <gtest/gtest.h>

using namespace wl;

namespace {

int openFileDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                   .size());
}

// How many plug and unplug cycles: set by CMake, 10000 unless told.
int cycles()
{
    bool ok = false;
    const int n = qEnvironmentVariableIntValue("WL_SOAK_CYCLES", &ok);
    return ok && n > 0 ? n : 10000;
}

// Counts locks and ends a waiting loop at each one, so a cycle costs no polling interval.
class WakingDelegate : public WLDeviceListDelegate
{
public:
    void watchedDeviceRemoved() override
    {
        ++calls;
        if (loop)
            loop->quit();
    }
    int calls = 0;
    QEventLoop* loop = nullptr;
};

class UsbSoak : public test::WatcherFixture
{
protected:
    // As the fixture's wait: deliveries run in order, so exactly n once the n-th is seen.
    bool waitForLock(int n)
    {
        if (waking->calls < n) {
            QEventLoop loop;
            QTimer::singleShot(5000, &loop, &QEventLoop::quit);
            waking->loop = &loop;
            loop.exec();
            waking->loop = nullptr;
        }
        return waking->calls == n;
    }

    std::shared_ptr<WakingDelegate> waking = std::make_shared<WakingDelegate>();
    test::UsbTestbed testbed; // before the registry: udev must see the mocked sysfs
    UdevUsbRegistry registry;
};

TEST_F(UsbSoak, EveryUnplugOfTheWatchedDeviceLocksOnceAndNothingGrows)
{
    ASSERT_TRUE(test::UsbTestbed::inMockEnvironment())
        << "run under umockdev-wrapper (package umockdev)";
    test::LogCapture logs;
    storeChoice("Key", 0x046d, 0xc52b);
    // The key is plugged into one of two ports, each with its own device number.
    const QByteArray ports[] = {testbed.addUsb("1-1", "Key", 0x046d, 0xc52b, 0, 5),
                                testbed.addUsb("1-3", "Key", 0x046d, 0xc52b, 0, 6)};
    const QByteArray other = testbed.addUsb("1-2", "Other", 0x046d, 0xc52c, 0, 7);
    testbed.uevent(ports[1], "remove"); // only the first port holds the key at the start
    WLDeviceListUSB watcher(waking, registry, settings, center); // armed from the stored choice
    ASSERT_NE(watcher.lostDeviceIterator(), 0u);

    // One cycle: the key is pulled and plugged into the other port. Now and then another
    // device with near numbers comes and goes too, which must not lock. The devices stay in
    // the mocked sysfs: changing it takes milliseconds, and a removal is told from the event
    // alone anyway.
    int locks = 0;
    auto cycle = [&](int i) {
        if (i % 100 == 0) {
            testbed.uevent(other, "remove");
            testbed.uevent(other, "add");
        }
        testbed.uevent(ports[i % 2], "remove");
        ++locks;
        const bool locked = waitForLock(locks);
        testbed.uevent(ports[(i + 1) % 2], "add");
        return locked;
    };

    // Warm up before counting descriptors: the first rounds open what stays open.
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(cycle(i)) << "cycle " << i;
    const int fdsBefore = openFileDescriptors();

    const int n = cycles();
    QElapsedTimer clock;
    clock.start();
    for (int i = 10; i < n; ++i) {
        // Stop at the first miss: ten thousand failures tell no more than one.
        ASSERT_TRUE(cycle(i)) << "cycle " << i << ": " << waking->calls << " locks for " << locks
                              << " removals";
    }
    std::printf("%d plug and unplug cycles in %lld ms\n", n, qint64(clock.elapsed()));

    EXPECT_EQ(waking->calls, n);
    EXPECT_EQ(openFileDescriptors(), fdsBefore);
    EXPECT_TRUE(logs.lines().isEmpty()) << logs.lines().join(u'\n').toStdString();
}

} // namespace
