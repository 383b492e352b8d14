// SPDX-License-Identifier: GPL-3.0-or-later
// USB listing time and removal latency against a mocked sysfs. Run under umockdev-wrapper
// (bench/run_usb.sh); prints a markdown table: median, p99 and run count of each figure.
#include "support/UsbTestbed.h"

#include "app/SettingsKeys.h"
#include "devices/WLDeviceListUSB.h"
#include "platform/events/NotificationCenter.h"
#include "platform/settings/Settings.h"
#include "platform/usb/UdevUsbRegistry.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace wl;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kListingRuns = 21;
constexpr int kRemovals = 500;

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

class StampingDelegate : public WLDeviceListDelegate
{
public:
    void watchedDeviceRemoved() override
    {
        stamp = Clock::now();
        ++calls;
        if (loop)
            loop->quit();
    }
    Clock::time_point stamp;
    int calls = 0;
    QEventLoop* loop = nullptr;
};

// What the mocked sysfs costs any reader: listing the bus folder and reading two small files per
// device, with nothing parsed. The floor under the listing.
double rawReadsMs()
{
    const auto start = Clock::now();
    DIR* bus = ::opendir("/sys/bus/usb/devices");
    if (!bus)
        return 0;
    char buffer[4096];
    while (const dirent* entry = ::readdir(bus)) {
        if (entry->d_name[0] == '.')
            continue;
        for (const char* file : {"/uevent", "/product"}) {
            const QByteArray path = QByteArray(entry->d_name) + file;
            const int fd = ::openat(dirfd(bus), path.constData(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                [[maybe_unused]] const ssize_t n = ::read(fd, buffer, sizeof buffer);
                ::close(fd);
            }
        }
    }
    ::closedir(bus);
    return ms(Clock::now() - start);
}

struct Listing
{
    std::vector<double> listing;
    std::vector<double> floor;
};

Listing listingMs(int devices)
{
    test::UsbTestbed testbed;
    for (int i = 0; i < devices; ++i)
        testbed.addUsb("1-" + QByteArray::number(i), "Device " + QByteArray::number(i),
                       quint16(0x1000 + i), quint16(i), 0, i + 1);
    QTemporaryDir dir;
    Settings settings(dir.filePath(QStringLiteral("wardlatch.conf")));
    NotificationCenter center;
    UdevUsbRegistry registry;
    WLDeviceListUSB watcher({}, registry, settings, center);
    Listing result;
    for (int run = 0; run < kListingRuns; ++run) {
        const auto start = Clock::now();
        const QStringList list = watcher.getCurrentDeviceList();
        result.listing.push_back(ms(Clock::now() - start));
        if (list.size() != devices) {
            std::fprintf(stderr, "listed %lld of %d devices\n", qlonglong(list.size()), devices);
            return {};
        }
        result.floor.push_back(rawReadsMs());
    }
    return result;
}

void printRow(const char* figure, const std::vector<double>& values, const char* target)
{
    std::printf("| %s | %zu | %.2f ms | %.2f ms | %s |\n", figure, values.size(),
                percentile(values, 0.5), percentile(values, 0.99), target);
}

std::vector<double> removalLatenciesMs(int* missed)
{
    test::UsbTestbed testbed;
    for (int i = 0; i < 20; ++i) // bystanders on the bus
        testbed.addUsb("2-" + QByteArray::number(i), "Other", 0x2000, quint16(i), 0, i + 1);
    const QByteArray key = testbed.addUsb("1-1", "Key", 0x046d, 0xc52b, 0, 99);
    QTemporaryDir dir;
    Settings settings(dir.filePath(QStringLiteral("wardlatch.conf")));
    settings.setObject(keys::idVendor, 0x046d);
    settings.setObject(keys::idProduct, 0xc52b);
    NotificationCenter center;
    UdevUsbRegistry registry;
    auto delegate = std::make_shared<StampingDelegate>();
    WLDeviceListUSB watcher(delegate, registry, settings, center);

    std::vector<double> latencies;
    *missed = 0;
    for (int i = 0; i < kRemovals; ++i) {
        QEventLoop loop;
        delegate->loop = &loop;
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        const int before = delegate->calls;
        const auto start = Clock::now();
        testbed.uevent(key, "remove");
        if (delegate->calls == before)
            loop.exec();
        delegate->loop = nullptr;
        if (delegate->calls == before)
            ++*missed;
        else
            latencies.push_back(ms(delegate->stamp - start));
    }
    return latencies;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    bool mocked = false;
    {
        const test::UsbTestbed probe; // the answer is only right once a testbed exists
        mocked = test::UsbTestbed::inMockEnvironment();
    }
    if (!mocked) {
        std::fprintf(stderr, "bench_usb: run under umockdev-wrapper\n");
        return 1;
    }
    std::printf("| figure | runs | median | p99 | target |\n|---|---|---|---|---|\n");
    for (const int n : {10, 100, 1000}) {
        const Listing runs = listingMs(n);
        if (runs.listing.empty())
            return 1;
        const QByteArray listing =
            QStringLiteral("Catalogue listing, %1 mocked devices").arg(n).toUtf8();
        const QByteArray floor =
            QStringLiteral("of which the mock's file reads alone, %1 devices").arg(n).toUtf8();
        printRow(listing.constData(), runs.listing, n == 1000 ? "< 50 ms" : "");
        printRow(floor.constData(), runs.floor, "(floor)");
    }
    int missed = 0;
    const std::vector<double> latencies = removalLatenciesMs(&missed);
    if (latencies.empty())
        return 1;
    printRow("USB removal to `watchedDeviceRemoved` (adapter and watcher, in process)", latencies,
             "");
    if (missed != 0)
        std::fprintf(stderr, "bench_usb: %d removals not reported\n", missed);
    return missed == 0 ? 0 : 1;
}
