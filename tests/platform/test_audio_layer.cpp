// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/AudioListenerRegistry.h"
#include "platform/audio/PulseAudioHardware.h"

#include <QTest>

#include <atomic>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

using namespace wl;

namespace {

// The server's port types and availability, as the wire carries them.
constexpr quint32 Unknown = 0, Speaker = 2, Headphones = 3, Headset = 6, Hdmi = 10;
constexpr int AvailUnknown = 0, Unplugged = 1, Plugged = 2;

TEST(SinkDataSource, FromPortTypeAvailabilityNameAndFormFactor)
{
    // The sink's only port, and the active one: its type and availability, the sink's form
    // factor, and the data source it reads as.
    const std::tuple<const char*, quint32, int, const char*, quint32> cases[] = {
        {"headset-output", Headset, Plugged, "", audio::kSourceHeadphones},
        // Headphones left active with the plug out (nothing to switch to) are not headphones.
        {"analog-output-headphones", Headphones, Unplugged, "", audio::kSourceOther},
        {"hdmi-output-0", Hdmi, Plugged, "", audio::kSourceOther},
        // Servers without port types (older PipeWire, UCM cards) report names only.
        {"[Out] Speaker", Unknown, AvailUnknown, "", audio::kSourceInternalSpeaker},
        {"[Out] Headphones", Unknown, Plugged, "", audio::kSourceHeadphones},
        {"[Out] Headset", Unknown, Plugged, "", audio::kSourceHeadphones},
        {"[Out] HDMI1", Unknown, Plugged, "", audio::kSourceOther},
        {"analog-output-headphones", Unknown, Unplugged, "", audio::kSourceOther},
        {"headphone-like-hdmi", Hdmi, Plugged, "", audio::kSourceOther}, // the type wins
        // USB and Bluetooth headsets: a generic port on a sink that says what it is.
        {"analog-output", Unknown, AvailUnknown, "headset", audio::kSourceHeadphones},
        {"analog-output", Unknown, AvailUnknown, "headphone", audio::kSourceHeadphones},
        {"analog-output", Unknown, AvailUnknown, "hands-free", audio::kSourceHeadphones},
        {"analog-output", Unknown, AvailUnknown, "speaker", audio::kSourceOther},
        {"analog-output-speaker", Speaker, AvailUnknown, "headset", audio::kSourceInternalSpeaker},
    };
    for (const auto& [port, type, available, formFactor, expected] : cases) {
        SCOPED_TRACE(std::string(port) + " " + formFactor);
        const std::vector<SinkPortRecord> ports{{QString::fromLatin1(port), type, available}};
        EXPECT_EQ(
            dataSourceForSink(ports, QString::fromLatin1(port), QString::fromLatin1(formFactor)),
            expected);
    }

    // A jack card: what the active port says, not the first one.
    const std::vector<SinkPortRecord> analog{
        {QStringLiteral("analog-output-speaker"), Speaker, AvailUnknown},
        {QStringLiteral("analog-output-headphones"), Headphones, Plugged}};
    EXPECT_EQ(dataSourceForSink(analog, QStringLiteral("analog-output-speaker")),
              audio::kSourceInternalSpeaker);
    EXPECT_EQ(dataSourceForSink(analog, QStringLiteral("analog-output-headphones")),
              audio::kSourceHeadphones);
    // No active port, or one the sink does not list (null and network sinks), reads nothing,
    // unless the sink itself is worn.
    EXPECT_EQ(dataSourceForSink({}, QString()), 0u);
    EXPECT_EQ(dataSourceForSink(analog, QString()), 0u);
    EXPECT_EQ(dataSourceForSink(analog, QStringLiteral("analog-output")), 0u);
    EXPECT_EQ(dataSourceForSink({}, QString(), QStringLiteral("hands-free")),
              audio::kSourceHeadphones);
}

constexpr AudioObjectPropertyAddress kSource{audio::kDataSource, audio::kScopeOutput,
                                             audio::kElementMain};

// Each call ends both clients' registrations on the object, from inside the call.
AudioListenerRegistry* g_registry = nullptr;
int g_clients[2];
AudioStatus removingBoth(AudioObjectID object, quint32, const AudioObjectPropertyAddress* a, void*)
{
    for (int& client : g_clients) // on the notifying thread: must not wait on itself
        g_registry->remove(object, *a, &removingBoth, &client);
    return audio::kNoError;
}

TEST(AudioListenerRegistry, KeepsARegistrationOnceAndSkipsThoseEndedDuringARound)
{
    AudioListenerRegistry registry;
    g_registry = &registry;
    for (int& client : g_clients) {
        EXPECT_TRUE(registry.add(5, kSource, &removingBoth, &client));
        EXPECT_FALSE(registry.add(5, kSource, &removingBoth, &client));
    }
    EXPECT_TRUE(registry.add(6, kSource, &removingBoth, &g_clients[0])); // other object
    EXPECT_EQ(registry.notify(5, kSource), 1);
    EXPECT_EQ(registry.size(), 1u);
}

TEST(AudioListenerRegistry, RemovalElsewhereWaitsForTheCallInProgress)
{
    struct Gate
    {
        std::atomic<bool> entered{false}, release{false}, finished{false};
    } gate;
    const AudioObjectPropertyListenerProc blocking =
        [](AudioObjectID, quint32, const AudioObjectPropertyAddress*, void* data) {
            auto* gate = static_cast<Gate*>(data);
            gate->entered = true;
            while (!gate->release)
                std::this_thread::yield();
            gate->finished = true;
            return audio::kNoError;
        };
    AudioListenerRegistry registry;
    registry.add(5, kSource, blocking, &gate);
    const auto delivery = std::async(std::launch::async, [&] { registry.notify(5, kSource); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return gate.entered.load(); }));

    auto removal = std::async(std::launch::async, [&] {
        registry.remove(5, kSource, blocking, &gate);
        return gate.finished.load();
    });
    // While the call runs, the removal must not return.
    EXPECT_EQ(removal.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    gate.release = true;
    EXPECT_TRUE(removal.get());
}

} // namespace
