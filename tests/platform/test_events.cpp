// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsKeys.h"
#include "platform/events/NotificationCenter.h"
#include "platform/log/Log.h"

#include <QThread>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

using namespace wl;

namespace {

TEST(NotificationCenter, DeliversSynchronouslyToEveryObserverOfTheName)
{
    NotificationCenter center;
    std::vector<QString> seen;
    const int sender = 0;
    ObserverRegistration a(center, events::setHighlight, [&](const Notification& n) {
        seen.push_back(QStringLiteral("a:") + n.name);
    });
    ObserverRegistration b(center, events::setHighlight, [&](const Notification& n) {
        EXPECT_EQ(n.object, &sender);
        seen.push_back(QStringLiteral("b:") + n.name);
    });
    ObserverRegistration other(center, events::unsetHighlight, [&](const Notification&) {
        seen.push_back(QStringLiteral("other"));
    });

    center.postNotificationName(events::setHighlight, &sender);
    // Delivered before the post returned, to both observers of the name, none else.
    EXPECT_EQ(seen, (std::vector<QString>{QStringLiteral("a:setHighlight"),
                                          QStringLiteral("b:setHighlight")}));
}

TEST(NotificationCenter, UserInfoArrivesIntactAndRemovedObserversHearNothing)
{
    NotificationCenter center;
    QVariantMap received;
    int calls = 0;
    {
        ObserverRegistration r(center, events::kSetNewDeviceEvent, [&](const Notification& n) {
            received = n.userInfo;
            ++calls;
        });
        center.postNotificationName(events::kSetNewDeviceEvent, nullptr,
                                    {{events::kNewDeviceName, QStringLiteral("Stick %1 <b>")}});
    }
    EXPECT_EQ(received.value(events::kNewDeviceName).toString(), QStringLiteral("Stick %1 <b>"));
    center.postNotificationName(events::kSetNewDeviceEvent, nullptr);
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, PostFromInsideADeliveryDoesNotDeadlock)
{
    NotificationCenter center;
    std::vector<QString> order;
    ObserverRegistration first(center, events::setHighlight, [&](const Notification&) {
        order.push_back(QStringLiteral("set"));
        center.postNotificationName(events::unsetHighlight, nullptr);
        center.addObserver(QStringLiteral("late"), [](const Notification&) {});
    });
    ObserverRegistration second(center, events::unsetHighlight, [&](const Notification&) {
        order.push_back(QStringLiteral("unset"));
    });
    center.postNotificationName(events::setHighlight, nullptr);
    EXPECT_EQ(order, (std::vector<QString>{QStringLiteral("set"), QStringLiteral("unset")}));
}

TEST(NotificationCenter, PostsOnTheirOwnThreadWhileAnotherThreadRegisters)
{
    NotificationCenter center;
    std::atomic<int> delivered{0};
    std::atomic<bool> onPosterThread{true};
    std::thread::id posterId;
    ObserverRegistration r(center, events::setHighlight, [&](const Notification&) {
        if (std::this_thread::get_id() != posterId)
            onPosterThread = false;
        ++delivered;
    });
    std::atomic<bool> stop{false};
    std::thread registrar([&] {
        while (!stop) {
            const auto token =
                center.addObserver(QStringLiteral("other"), [](const Notification&) {});
            center.removeObserver(token);
        }
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
    EXPECT_TRUE(onPosterThread.load());
}

TEST(Log, OneTargetChosenFromHowTheProgramWasStarted)
{
    constexpr auto err = LogTarget::StandardError;
    constexpr auto journal = LogTarget::SystemLog;
    struct Case
    {
        const char* what;
        bool open, terminal;
        QByteArray journalStream, choice;
        bool reachable;
        LogTarget target;
    };
    const Case cases[] = {
        {"terminal", true, true, {}, {}, true, err},
        {"pipe or file, no journal stream", true, false, {}, {}, true, journal},
        {"no /dev/log: lines are not lost", true, false, {}, {}, false, err},
        {"stderr is the journal already", true, false, "8:1234", {}, true, err},
        {"journal stream of another file", true, false, "8:99", {}, true, journal},
        {"WL_LOG=stderr", true, false, "8:99", "stderr", true, err},
        {"WL_LOG=journal on a terminal", true, true, {}, "journal", true, journal},
        {"WL_LOG=journal, no /dev/log", true, true, {}, "journal", false, err},
        {"unknown WL_LOG is ignored", true, true, {}, "syslog", true, err},
        {"stderr closed", false, false, {}, "stderr", false, journal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogSurroundings s;
        s.stderrOpen = c.open;
        s.stderrIsTerminal = c.terminal;
        s.stderrId = "8:1234";
        s.journalStream = c.journalStream;
        s.choice = c.choice;
        s.systemLogReachable = c.reachable;
        EXPECT_EQ(chooseLogTarget(s), c.target);
    }
}

} // namespace
