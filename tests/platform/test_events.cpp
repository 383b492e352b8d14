// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "platform/events/NotificationCenter.h"
#include "platform/log/Log.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

using namespace wl;

namespace {

TEST(NotificationCenter, DeliversBeforeThePostReturnsToEveryObserverOfTheNameOnly)
{
    NotificationCenter center;
    std::vector<QString> seen;
    const auto record = [&](const QString& who) {
        return [&seen, who](const Notification& n) {
            seen.push_back(who + n.userInfo.value(events::kNewDeviceName).toString());
        };
    };
    ObserverRegistration a(center, events::kSetNewDeviceEvent, record("a:"));
    // Observers may post and observe from inside a delivery.
    ObserverRegistration poster(center, events::kSetNewDeviceEvent, [&](const Notification& n) {
        EXPECT_EQ(n.object, &center);
        center.postNotificationName(events::setHighlight, nullptr);
        center.addObserver("late", [](const Notification&) {});
    });
    ObserverRegistration other(center, events::setHighlight, record("other"));
    {
        ObserverRegistration b(center, events::kSetNewDeviceEvent, record("b:"));
        center.postNotificationName(events::kSetNewDeviceEvent, &center,
                                    {{events::kNewDeviceName, QStringLiteral("Stick %1 <b>")}});
    }
    center.postNotificationName(events::kSetNewDeviceEvent, &center); // b has gone
    EXPECT_EQ(seen,
              (std::vector<QString>{"a:Stick %1 <b>", "other", "b:Stick %1 <b>", "a:", "other"}));
}

TEST(NotificationCenter, PostsOnTheirOwnThreadWhileAnotherThreadRegisters)
{
    NotificationCenter center;
    std::atomic<int> delivered{0};
    std::atomic<bool> stop{false};
    std::thread::id posterId;
    ObserverRegistration r(center, events::setHighlight, [&](const Notification&) {
        EXPECT_EQ(std::this_thread::get_id(), posterId);
        ++delivered;
    });
    std::thread registrar([&] {
        while (!stop)
            center.removeObserver(center.addObserver("other", [](const Notification&) {}));
    });
    std::thread poster([&] {
        posterId = std::this_thread::get_id();
        for (int i = 0; i < 2000; ++i)
            center.postNotificationName(events::setHighlight, nullptr);
    });
    poster.join();
    stop = true;
    registrar.join();
    EXPECT_EQ(delivered.load(), 2000);
}

TEST(Log, OneTargetChosenFromHowTheProgramWasStarted)
{
    constexpr auto err = LogTarget::StandardError, journal = LogTarget::SystemLog;
    // stderr open, a terminal, its id, JOURNAL_STREAM, WL_LOG, /dev/log reachable.
    const std::tuple<const char*, LogSurroundings, LogTarget> cases[] = {
        {"terminal", {true, true, "8:1234", {}, {}, true}, err},
        {"pipe or file, no journal stream", {true, false, "8:1234", {}, {}, true}, journal},
        {"no /dev/log: lines are not lost", {true, false, "8:1234", {}, {}, false}, err},
        {"stderr is the journal already", {true, false, "8:1234", "8:1234", {}, true}, err},
        {"journal stream of another file", {true, false, "8:1234", "8:99", {}, true}, journal},
        {"WL_LOG=stderr", {true, false, "8:1234", "8:99", "stderr", true}, err},
        {"WL_LOG=journal on a terminal", {true, true, "8:1234", {}, "journal", true}, journal},
        {"WL_LOG=journal, no /dev/log", {true, true, "8:1234", {}, "journal", false}, err},
        {"unknown WL_LOG is ignored", {true, true, "8:1234", {}, "syslog", true}, err},
        {"stderr closed", {false, false, "8:1234", {}, "stderr", false}, journal},
    };
    for (const auto& [what, surroundings, target] : cases)
        EXPECT_EQ(chooseLogTarget(surroundings), target) << what;
}

} // namespace
