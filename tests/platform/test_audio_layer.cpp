// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/AudioListenerRegistry.h"
#include "platform/audio/PulseAudioHardware.h"

#include <QTest>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace wl;

namespace {

// The server's port types and availability, as the wire carries them.
enum : quint32
{
    Unknown = 0,
    Speaker = 2,
    Headphones = 3,
    Line = 4,
    Headset = 6,
    Spdif = 9,
    Hdmi = 10
};
enum : int
{
    AvailUnknown = 0,
    Unplugged = 1,
    Plugged = 2
};

quint32 source(const std::vector<SinkPortRecord>& ports, const char* active)
{
    return dataSourceForSink(ports, QString::fromLatin1(active));
}

TEST(SinkDataSource, TypedPortsAsPulseAudioReportsThem)
{
    // An analog card with jack detection: the speaker while unplugged, headphones when in.
    const std::vector<SinkPortRecord> analog{
        {QStringLiteral("analog-output-speaker"), Speaker, AvailUnknown},
        {QStringLiteral("analog-output-headphones"), Headphones, Plugged},
    };
    EXPECT_EQ(source(analog, "analog-output-speaker"), audio::kSourceInternalSpeaker);
    EXPECT_EQ(source(analog, "analog-output-headphones"), audio::kSourceHeadphones);

    // Headphones left active with the plug out (nothing to switch to) are not headphones.
    const std::vector<SinkPortRecord> unplugged{
        {QStringLiteral("analog-output-headphones"), Headphones, Unplugged}};
    EXPECT_EQ(source(unplugged, "analog-output-headphones"), audio::kSourceOther);

    // Bluetooth headset and a combined jack.
    const std::vector<SinkPortRecord> bluetooth{
        {QStringLiteral("headset-output"), Headset, Plugged}};
    EXPECT_EQ(source(bluetooth, "headset-output"), audio::kSourceHeadphones);

    // HDMI, line out and S/PDIF read something that is neither.
    const std::vector<SinkPortRecord> others{
        {QStringLiteral("hdmi-output-0"), Hdmi, Plugged},
        {QStringLiteral("analog-output-lineout"), Line, Plugged},
        {QStringLiteral("iec958-stereo-output"), Spdif, AvailUnknown},
    };
    for (const char* port : {"hdmi-output-0", "analog-output-lineout", "iec958-stereo-output"}) {
        SCOPED_TRACE(port);
        const quint32 s = source(others, port);
        EXPECT_NE(s, 0u);
        EXPECT_NE(s, audio::kSourceHeadphones);
        EXPECT_NE(s, audio::kSourceInternalSpeaker);
    }
}

TEST(SinkDataSource, UntypedPortsFallBackOnTheirNames)
{
    // Servers without port types (older PipeWire, UCM cards) report names only.
    const std::vector<SinkPortRecord> ucm{
        {QStringLiteral("[Out] Speaker"), Unknown, AvailUnknown},
        {QStringLiteral("[Out] Headphones"), Unknown, Plugged},
        {QStringLiteral("[Out] Headset"), Unknown, Plugged},
        {QStringLiteral("[Out] HDMI1"), Unknown, Plugged},
        {QStringLiteral("analog-output-headphones"), Unknown, Unplugged},
    };
    EXPECT_EQ(source(ucm, "[Out] Speaker"), audio::kSourceInternalSpeaker);
    EXPECT_EQ(source(ucm, "[Out] Headphones"), audio::kSourceHeadphones);
    EXPECT_EQ(source(ucm, "[Out] Headset"), audio::kSourceHeadphones);
    EXPECT_EQ(source(ucm, "[Out] HDMI1"), audio::kSourceOther);
    EXPECT_EQ(source(ucm, "analog-output-headphones"), audio::kSourceOther);

    // A type the server knows wins over the name.
    const std::vector<SinkPortRecord> typed{{QStringLiteral("headphone-like-hdmi"), Hdmi, Plugged}};
    EXPECT_EQ(source(typed, "headphone-like-hdmi"), audio::kSourceOther);
}

TEST(SinkDataSource, NoActivePortReadsNothing)
{
    EXPECT_EQ(source({}, ""), 0u); // null sinks, network sinks
    const std::vector<SinkPortRecord> ports{
        {QStringLiteral("analog-output-speaker"), Speaker, AvailUnknown}};
    EXPECT_EQ(source(ports, ""), 0u);
    EXPECT_EQ(source(ports, "analog-output-headphones"), 0u); // active port not listed
}

TEST(SinkDataSource, HeadsetsThatAreOutputsOfTheirOwnReadHeadphones)
{
    // USB and Bluetooth headsets: a generic port, or none, on a sink that says what it is.
    const std::vector<SinkPortRecord> usb{{QStringLiteral("analog-output"), Unknown, AvailUnknown}};
    for (const char* factor : {"headset", "headphone", "hands-free"}) {
        SCOPED_TRACE(factor);
        EXPECT_EQ(dataSourceForSink(usb, QStringLiteral("analog-output"), QLatin1String(factor)),
                  audio::kSourceHeadphones);
        EXPECT_EQ(dataSourceForSink({}, QString(), QLatin1String(factor)),
                  audio::kSourceHeadphones);
    }
    EXPECT_EQ(dataSourceForSink(usb, QStringLiteral("analog-output"), QStringLiteral("speaker")),
              audio::kSourceOther);
    const std::vector<SinkPortRecord> withSpeaker{
        {QStringLiteral("analog-output-speaker"), Speaker, AvailUnknown}};
    EXPECT_EQ(dataSourceForSink(withSpeaker, QStringLiteral("analog-output-speaker"),
                                QStringLiteral("headset")),
              audio::kSourceInternalSpeaker);
}

// A listener that counts its calls per client.
std::atomic<int> g_calls{0};
AudioStatus countingListener(AudioObjectID, quint32, const AudioObjectPropertyAddress*, void*)
{
    ++g_calls;
    return audio::kNoError;
}
constexpr AudioObjectPropertyAddress kSource{audio::kDataSource, audio::kScopeOutput,
                                             audio::kElementMain};

TEST(AudioListenerRegistry, IdenticalRegistrationIsKeptOnceAndOneRemovalEndsIt)
{
    AudioListenerRegistry registry;
    g_calls = 0;
    int a = 0;
    int b = 0;
    EXPECT_TRUE(registry.add(5, kSource, &countingListener, &a));
    EXPECT_FALSE(registry.add(5, kSource, &countingListener, &a));
    EXPECT_TRUE(registry.add(5, kSource, &countingListener, &b)); // other client data
    EXPECT_TRUE(registry.add(6, kSource, &countingListener, &a)); // other object
    EXPECT_EQ(registry.notify(5, kSource), 2);
    EXPECT_EQ(g_calls.load(), 2);

    EXPECT_TRUE(registry.remove(5, kSource, &countingListener, &a));
    EXPECT_FALSE(registry.remove(5, kSource, &countingListener, &a)); // harmless
    EXPECT_EQ(registry.notify(5, kSource), 1);
    EXPECT_EQ(registry.notify(7, kSource), 0);
    EXPECT_EQ(registry.size(), 2u);
}

struct Pair
{
    AudioListenerRegistry* registry;
    int calls = 0;
};
AudioStatus removingListener(AudioObjectID object, quint32, const AudioObjectPropertyAddress* a,
                             void* data)
{
    auto* p = static_cast<Pair*>(data);
    ++p->calls;
    // Removes itself and the other one, from inside the call: must not wait on itself.
    p->registry->remove(object, *a, &removingListener, p);
    p->registry->remove(object, *a, &removingListener, p + 1);
    p->registry->remove(object, *a, &removingListener, p - 1);
    return audio::kNoError;
}

TEST(AudioListenerRegistry, RemovalFromInsideACallStopsTheRestOfTheRound)
{
    AudioListenerRegistry registry;
    Pair pairs[3] = {{&registry}, {&registry}, {&registry}};
    // Only the middle one is ever registered beside one neighbour.
    registry.add(5, kSource, &removingListener, &pairs[1]);
    registry.add(5, kSource, &removingListener, &pairs[2]);
    EXPECT_EQ(registry.notify(5, kSource), 1);
    EXPECT_EQ(pairs[1].calls + pairs[2].calls, 1);
    EXPECT_EQ(registry.size(), 0u);
}

struct Gate
{
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
};
AudioStatus blockingListener(AudioObjectID, quint32, const AudioObjectPropertyAddress*, void* data)
{
    auto* gate = static_cast<Gate*>(data);
    gate->entered = true;
    while (!gate->release)
        std::this_thread::yield();
    gate->finished = true;
    return audio::kNoError;
}

TEST(AudioListenerRegistry, RemovalElsewhereWaitsForTheCallInProgress)
{
    AudioListenerRegistry registry;
    Gate gate;
    registry.add(5, kSource, &blockingListener, &gate);
    std::thread audio([&] { registry.notify(5, kSource); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return gate.entered.load(); }));

    std::atomic<bool> removed{false};
    std::atomic<bool> finishedFirst{false};
    std::thread remover([&] {
        registry.remove(5, kSource, &blockingListener, &gate);
        finishedFirst = gate.finished.load();
        removed = true;
    });
    // While the call runs, the removal must not return.
    EXPECT_FALSE(QTest::qWaitFor([&] { return removed.load(); }, 200));
    gate.release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return removed.load(); }));
    EXPECT_TRUE(finishedFirst.load());
    audio.join();
    remover.join();
}

} // namespace
