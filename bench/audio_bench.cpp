// SPDX-License-Identifier: GPL-3.0-or-later
// Headphone watch: how long from an audio event to the watcher's report, and what the armed
// watcher costs while nothing happens. Prints a table.
//
//   bench_audio [--events N] [--idle-seconds S]

#include "app/SettingsKeys.h"
#include "devices/WLDeviceListAudio.h"
#include "fakes/FakeAudioHardware.h"
#include "fakes/RecordingDelegate.h"
#include "platform/audio/PulseAudioHardware.h"
#include "platform/events/NotificationCenter.h"
#include "platform/log/Log.h"
#include "platform/settings/Settings.h"
#include "support/Services.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

using namespace wl;
using Clock = std::chrono::steady_clock;

namespace {

struct Row
{
    QString what;
    size_t n = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

Row summarize(const QString& what, std::vector<double> us)
{
    Row r{what, us.size()};
    if (us.empty())
        return r;
    std::sort(us.begin(), us.end());
    r.p50 = us[us.size() / 2];
    r.p99 = us[size_t(std::ceil(double(us.size()) * 0.99)) - 1];
    r.max = us.back();
    return r;
}

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

// Records when each report arrived, on the thread that made it.
class TimingDelegate : public test::RecordingDelegate
{
public:
    void watchedDeviceRemoved() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_times.push_back(Clock::now());
        }
        test::RecordingDelegate::watchedDeviceRemoved();
    }
    std::vector<Clock::time_point> times() const
    {
        std::lock_guard lock(m_mutex);
        return m_times;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Clock::time_point> m_times;
};

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Drives the daemon from this process, so the moment a request leaves is known exactly.
class PulseDriver
{
public:
    PulseDriver()
    {
        m_loop = pa_mainloop_new();
        m_context = pa_context_new(pa_mainloop_get_api(m_loop), "wardlatch-bench");
        pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
        while (true) {
            const auto state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state))
                break;
            pa_mainloop_iterate(m_loop, 1, nullptr);
        }
    }
    ~PulseDriver()
    {
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        pa_mainloop_free(m_loop);
    }
    bool ok() const { return pa_context_get_state(m_context) == PA_CONTEXT_READY; }

    int loadSink(const char* name)
    {
        m_index = -1;
        const QByteArray args = QByteArray("sink_name=") + name;
        run(pa_context_load_module(
            m_context, "module-null-sink", args.constData(),
            [](pa_context*, uint32_t idx, void* d) {
                static_cast<PulseDriver*>(d)->m_index = int(idx);
            },
            this));
        return m_index;
    }
    void setDefault(const char* name)
    {
        run(pa_context_set_default_sink(m_context, name, nullptr, nullptr));
    }
    // Returns when the request has been written; the reply is awaited after.
    void unload(int module)
    {
        run(pa_context_unload_module(m_context, uint32_t(module), nullptr, nullptr));
    }

private:
    void run(pa_operation* op)
    {
        while (op && pa_operation_get_state(op) == PA_OPERATION_RUNNING)
            pa_mainloop_iterate(m_loop, 1, nullptr);
        if (op)
            pa_operation_unref(op);
    }
    pa_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    int m_index = -1;
};

AudioObjectID readDefault(AudioHardware& hardware)
{
    AudioObjectID device = 0;
    quint32 size = sizeof device;
    hardware.AudioObjectGetPropertyData(audio::kSystemObject,
                                        {audio::kDefaultOutputDevice, audio::kScopeGlobal, 0}, 0,
                                        nullptr, &size, &device);
    return device;
}

Row benchInMemory(Settings& settings, int events)
{
    test::FakeAudioHardware hardware;
    NotificationCenter center;
    hardware.setDefaultOutputDevice(42);
    hardware.presetDataSource(42, audio::kSourceHeadphones);
    auto delegate = std::make_shared<TimingDelegate>();
    WLDeviceListAudio watcher(delegate, hardware, settings, center);
    std::vector<double> us;
    for (int i = 0; i < events; ++i) {
        const auto sent = Clock::now();
        hardware.changeDataSource(42, audio::kSourceInternalSpeaker);
        if (!delegate->waitForCount(size_t(i) + 1))
            break;
        us.push_back(micros(delegate->times().back() - sent));
    }
    return summarize(QStringLiteral("in-memory layer: data-source change"), us);
}

Row benchDaemon(Settings& settings, int events, QString* error)
{
    PulseDriver driver;
    if (!driver.ok()) {
        *error = QStringLiteral("cannot reach the daemon");
        return {};
    }
    int module = driver.loadSink("headset");
    driver.setDefault("headset");
    PulseAudioHardware hardware;
    NotificationCenter center;
    auto delegate = std::make_shared<TimingDelegate>();
    WLDeviceListAudio watcher(delegate, hardware, settings, center);
    const AudioObjectID watched = watcher.defaultDevice();
    std::vector<double> us;
    for (int i = 0; i < events && module >= 0; ++i) {
        const auto sent = Clock::now();
        driver.unload(module);
        if (!delegate->waitForCount(size_t(i) + 1)) {
            *error = QStringLiteral("no report for event %1").arg(i);
            break;
        }
        us.push_back(micros(delegate->times().back() - sent));
        // The same name comes back under the same id, armed as before.
        module = driver.loadSink("headset");
        driver.setDefault("headset");
        if (!QTest::qWaitFor([&] { return readDefault(hardware) == watched; }, 5000)) {
            *error = QStringLiteral("sink did not come back");
            break;
        }
    }
    return summarize(QStringLiteral("pulseaudio: watched sink unloaded"), us);
}

double idleCpu(double seconds)
{
    const double start = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return processCpuSeconds() - start;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int events = 200;
    double idleSeconds = 60;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--events"))
            events = std::max(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--idle-seconds"))
            idleSeconds = std::max(0.1, args[i + 1].toDouble());
    }

    setLogSink([](const QString&) {}); // "speaker" at every event
    QTemporaryDir dir;
    Settings settings(dir.filePath(QStringLiteral("bench.conf")));
    settings.setBool(QString::fromLatin1(keys::useHeadphones), true);

    // A private daemon, started through the tests' launcher; the clients find it there.
    qputenv("PULSE_SERVER",
            "unix:" + QFile::encodeName(dir.filePath(QStringLiteral("pulse/native"))));
    qputenv("PULSE_COOKIE", QFile::encodeName(dir.filePath(QStringLiteral("cookie"))));
    test::Service daemon{{QStringLiteral("--pulse")}};
    if (!daemon.start()) {
        std::fprintf(stderr, "bench_audio: the audio server did not start\n");
        return 1;
    }

    std::vector<Row> rows;
    rows.push_back(benchInMemory(settings, events));
    QString error;
    rows.push_back(benchDaemon(settings, events, &error));
    if (!error.isEmpty())
        std::fprintf(stderr, "bench_audio: %s\n", qPrintable(error));

    std::printf("\n%-40s %7s %10s %10s %10s\n", "event to watchedDeviceRemoved", "events", "p50 us",
                "p99 us", "max us");
    for (const Row& r : rows)
        std::printf("%-40s %7zu %10.1f %10.1f %10.1f\n", qPrintable(r.what), r.n, r.p50, r.p99,
                    r.max);

    // Idle: armed on a live daemon, then with no server at all.
    double connected = 0;
    double noServer = 0;
    {
        PulseDriver driver;
        driver.loadSink("idle");
        driver.setDefault("idle");
        PulseAudioHardware hardware;
        NotificationCenter center;
        auto delegate = std::make_shared<TimingDelegate>();
        WLDeviceListAudio watcher(delegate, hardware, settings, center);
        connected = idleCpu(idleSeconds);
    }
    daemon.stop();
    {
        PulseAudioHardware hardware;
        NotificationCenter center;
        auto delegate = std::make_shared<TimingDelegate>();
        WLDeviceListAudio watcher(delegate, hardware, settings, center);
        noServer = idleCpu(idleSeconds);
    }
    std::printf("\n%-40s %10s %12s\n", "idle armed watcher", "seconds", "CPU ms");
    std::printf("%-40s %10.1f %12.3f\n", "connected to pulseaudio", idleSeconds, connected * 1e3);
    std::printf("%-40s %10.1f %12.3f\n", "no server (reconnect attempts)", idleSeconds,
                noServer * 1e3);
    return error.isEmpty() ? 0 : 1;
}
