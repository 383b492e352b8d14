// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CommandLine.h"

#include "app/SettingsKeys.h"
#include "app/SingleInstance.h"
#include "app/Translations.h"
#include "platform/log/Log.h"
#include "platform/notify/DBusDesktopNotifier.h"
#include "platform/session/DBusSessionLocker.h"
#include "platform/settings/Settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdio>

namespace wl {

namespace {
using namespace std::chrono_literals;

// The locker confirms or gives up within a few seconds.
constexpr auto kLockTimeout = 10s;
constexpr auto kStatusTimeout = 2s;

constexpr int kUsageError = 2;
constexpr int kNotGuarding = 3;

// Qt's own options, which QGuiApplication and QApplication read from the same arguments.
const char* const kToolkitOptionsWithValue[] = {
    "platform",
    "platformpluginpath",
    "platformtheme",
    "plugin",
    "qwindowgeometry",
    "geometry",
    "qwindowtitle",
    "title",
    "qwindowicon",
    "icon",
    "session",
    "display",
    "name",
    "style",
    "stylesheet",
};
const char* const kToolkitFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

QStringList withoutToolkitOptions(const QStringList& arguments)
{
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (i == 0 || !argument.startsWith(QLatin1Char('-'))) {
            kept << argument;
            continue;
        }
        QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
        if (name.startsWith(QLatin1String("qmljsdebugger=")))
            continue;
        bool known = false;
        for (const char* option : kToolkitFlags)
            known = known || name == QLatin1String(option);
        for (const char* option : kToolkitOptionsWithValue) {
            if (name.startsWith(QLatin1String(option) + QLatin1Char('=')))
                known = true;
            else if (name == QLatin1String(option) && i + 1 < arguments.size()) {
                known = true;
                ++i; // its value
            }
        }
        if (!known)
            kept << argument;
    }
    return kept;
}

void print(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

// With no instance running: lock from here, as the instance would, without becoming it.
int lockDirectly()
{
    const bool screenSaver = Settings::standardUserDefaults().boolForKey(keys::UseScreenSaver);
    DBusDesktopNotifier notifier;
    DBusSessionLocker locker;
    locker.setNotifier(&notifier);
    QEventLoop loop;
    bool confirmed = false;
    QObject::connect(&locker, &DBusSessionLocker::requestFinished, &loop,
                     [&](bool, bool wasConfirmed, const QString&) {
                         confirmed = wasConfirmed;
                         // Not confirmed: the desktop notification saying so is on its way.
                         if (confirmed)
                             loop.quit();
                     });
    QObject::connect(&notifier, &DBusDesktopNotifier::shown, &loop, &QEventLoop::quit);
    QObject::connect(&notifier, &DBusDesktopNotifier::failed, &loop, &QEventLoop::quit);
    QTimer::singleShot(kLockTimeout +
                           std::chrono::milliseconds(DBusDesktopNotifier::kDefaultTimeoutMs),
                       &loop, &QEventLoop::quit);
    if (screenSaver)
        locker.startScreenSaver();
    else
        locker.lockScreenImmediate();
    loop.exec();
    return confirmed ? 0 : 1;
}

int lock()
{
    switch (SingleInstance::askToLock(SingleInstance::defaultFolder(), kLockTimeout)) {
    case SingleInstance::LockAnswer::Locked:
        return 0;
    case SingleInstance::LockAnswer::Unconfirmed:
        break;
    case SingleInstance::LockAnswer::NotRunning:
        if (lockDirectly() == 0)
            return 0;
        break;
    case SingleInstance::LockAnswer::NoAnswer:
        // It may be hung, or too old to know the request: a lock must not depend on it.
        log(QStringLiteral("The running Wardlatch did not answer the lock request; locking "
                           "directly"));
        if (lockDirectly() == 0)
            return 0;
        break;
    }
    print(stderr, QCoreApplication::translate("wl::CommandLine",
                                              "wardlatch: the lock could not be confirmed") +
                      QLatin1Char('\n'));
    return 1;
}

int status()
{
    const auto answer = SingleInstance::askStatus(SingleInstance::defaultFolder(), kStatusTimeout);
    if (!answer) {
        print(stdout, QCoreApplication::translate("wl::CommandLine", "Wardlatch is not running") +
                          QLatin1Char('\n'));
        return kNotGuarding;
    }
    print(stdout, answer->description + QLatin1Char('\n'));
    return answer->guarding ? 0 : kNotGuarding;
}
} // namespace

std::optional<int> runCommandLine(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    arguments = withoutToolkitOptions(arguments);
    if (arguments.size() <= 1)
        return std::nullopt;

    // No GUI here: these paths need no display, and touch neither the settings file nor the
    // login item nor the instance socket's lock.
    int coreArgc = argc;
    QCoreApplication app(coreArgc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("wardlatch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(WL_VERSION));
    installMessageHandler();
    const Translations translations; // the help and the answers in the user's language

    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "wl::CommandLine", "Locks the session when the key device goes away."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption lockOption(
        QStringLiteral("lock"),
        QCoreApplication::translate(
            "wl::CommandLine",
            "Lock the session now (through the running Wardlatch, if any). Exits 0 when the "
            "lock was confirmed, 1 otherwise."));
    const QCommandLineOption statusOption(
        QStringLiteral("status"),
        QCoreApplication::translate(
            "wl::CommandLine",
            "Print what the running Wardlatch guards. Exits 0 when it is guarding, 3 "
            "otherwise."));
    parser.addOption(lockOption);
    parser.addOption(statusOption);

    QString error;
    if (!parser.parse(arguments))
        error = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        error = QCoreApplication::translate("wl::CommandLine", "Unexpected argument '%1'.")
                    .arg(parser.positionalArguments()[0]);
    else if (parser.isSet(lockOption) && parser.isSet(statusOption))
        error = QCoreApplication::translate("wl::CommandLine",
                                            "--lock and --status cannot be combined.");
    if (!error.isEmpty()) {
        print(stderr, QStringLiteral("wardlatch: %1\n\n%2").arg(error, parser.helpText()));
        return kUsageError;
    }
    if (parser.isSet(help)) {
        print(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(arguments); // prints the help with Qt's options and exits 0
    if (parser.isSet(version)) {
        print(stdout, QStringLiteral("wardlatch %1\n").arg(QCoreApplication::applicationVersion()));
        return 0;
    }
    if (parser.isSet(lockOption))
        return lock();
    if (parser.isSet(statusOption))
        return status();
    return std::nullopt;
}

} // namespace wl
