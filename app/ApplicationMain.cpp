// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ApplicationMain.h"

#include "app/AppDelegate.h"
#include "app/CommandLine.h"
#include "app/GuardState.h"
#include "app/SettingsKeys.h"
#include "app/SingleInstance.h"
#include "app/Translations.h"
#include "menubar/Alerts.h"
#include "menubar/FeedbackDialog.h"
#include "platform/audio/PulseAudioHardware.h"
#include "platform/events/NotificationCenter.h"
#include "platform/log/Log.h"
#include "platform/notify/DBusDesktopNotifier.h"
#include "platform/session/DBusSessionLocker.h"
#include "platform/session/LoginItems.h"
#include "platform/settings/Settings.h"
#include "platform/shortcut/ShortcutBinder.h"
#include "platform/updates/IssueReporter.h"
#include "platform/updates/TrackingReport.h"
#include "platform/usb/UdevUsbRegistry.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace wl {

namespace {
int g_signalFds[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalFds[0], &byte, 1);
}

// SIGTERM and SIGINT end the event loop, so the program ends the normal way.
void quitOnTerminationSignals(QObject* owner)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(g_signalFds[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void ignoreSignal(int) {}

// Writing to a pipe or socket whose reader is gone (a closed terminal, a log reader that ended)
// must fail that one write, not end the program. A handler that does nothing rather than
// SIG_IGN, which the programs we start would inherit.
void surviveBrokenPipes()
{
    struct sigaction action = {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGPIPE, &action, nullptr);
}
} // namespace

int applicationMain(int argc, char** argv)
{
    surviveBrokenPipes();
    if (const std::optional<int> status = runCommandLine(argc, argv))
        return *status;
    installMessageHandler();
    QApplication app(argc, argv);
    const Translations translations; // before any window or text is made
    // Trays show it as the item's title; X11 as the windows' class.
    QApplication::setApplicationName(QStringLiteral("Wardlatch"));
    QApplication::setApplicationDisplayName(QStringLiteral("Wardlatch"));
    QApplication::setApplicationVersion(QStringLiteral(WL_VERSION));
    // Names our menu entry: the desktop portal and Wayland compositors know us by it.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.wardlatch.Wardlatch"));
    QApplication::setQuitOnLastWindowClosed(false);
    quitOnTerminationSignals(&app);

    SingleInstance instance;
    if (!instance.claim())
        return 0; // the running instance opens its panel

    Settings& settings = Settings::standardUserDefaults();
    NotificationCenter& center = NotificationCenter::defaultCenter();
    DBusDesktopNotifier notifier; // outlives the locker and the controller that use it
    DBusSessionLocker locker;
    locker.setNotifier(&notifier);
    UdevUsbRegistry usbRegistry;
    PulseAudioHardware audioHardware;
    ShortcutBinder& binder = ShortcutBinder::sharedBinder();

    const auto controller = makeController({
        .settings = settings,
        .center = center,
        .locker = locker,
        .usbRegistry = usbRegistry,
        .audioHardware = audioHardware,
        .shortcutBinder = binder,
        .executablePath = QCoreApplication::applicationFilePath(),
        .sendTrackingReport = [] { sendTrackingReport(); },
        .setupIssuesController = [](bool reporting) { IssueReporter::setup(reporting); },
        .createSessionLoginItems = [] { return LoginItems::createSessionLoginItems(); },
        .showAboutPanel = [] { showAboutPanel(); },
        .showFeedbackDialog = [] { FeedbackDialog::showFeedbackDialog(); },
        .runQuitAlert =
            [](const QString& message, const QString& informative) {
                return runQuitAlert(message, informative);
            },
        .terminate = [] { QCoreApplication::quit(); },
        .notifier = &notifier,
    });
    QObject::connect(&instance, &SingleInstance::activationRequested, controller.get(),
                     [&center, target = controller.get()] {
                         center.postNotificationName(events::setHighlight, target);
                     });
    instance.setLockHandler([target = controller.get()](std::function<void(bool)> done) {
        target->lockIt(LockTrigger::CommandLine, std::move(done));
    });
    instance.setStatusHandler([target = controller.get()] {
        const GuardState& guard = target->guardState();
        return SingleInstance::Status{guard.snapshot().guarding(), guard.description()};
    });
    QTimer::singleShot(0, controller.get(),
                       [target = controller.get()] { target->applicationDidFinishLaunching(); });

    const int result = QApplication::exec();
    controller->applicationWillTerminate();
    // The binder outlives this function: take our action off it.
    binder.unbindShortcutWithDefaultsKey(QString::fromLatin1(keys::HotKey));
    return result;
}

} // namespace wl
