#include "app/ApplicationMain.h"

#include "app/AppDelegate.h"
#include "app/Log.h"
#include "app/Settings.h"
#include "app/SettingsKeys.h"
#include "platform/session/DBusSessionLocker.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <memory>
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
} // namespace

int applicationMain(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("wardlatch"));
    QApplication::setApplicationVersion(QStringLiteral(WL_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
    quitOnTerminationSignals(&app);

    Settings& settings = Settings::standardUserDefaults();
    DBusSessionLocker locker;
    auto controller = std::make_shared<AppDelegate>(settings, locker);

    registerDefaultSettings(settings);
    migrateLegacySettings(settings);

    return QApplication::exec();
}

} // namespace wl
