// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppDelegate.h"

#include "app/GuardState.h"
#include "app/MainMenuLoader.h"
#include "app/SettingsKeys.h"
#include "devices/WLDeviceListAudio.h"
#include "devices/WLDeviceListUSB.h"
#include "menubar/Images.h"
#include "menubar/PanelWindow.h"
#include "menubar/ShortcutRecorder.h"
#include "menubar/TrayMenu.h"
#include "menubar/WLDropDownButton.h"
#include "menubar/WLStatusItemView.h"
#include "platform/events/NotificationCenter.h"
#include "platform/log/Log.h"
#include "platform/notify/DesktopNotifier.h"
#include "platform/session/LoginItems.h"
#include "platform/session/SessionLocker.h"
#include "platform/settings/Settings.h"
#include "platform/shortcut/Shortcut.h"
#include "platform/shortcut/ShortcutBinder.h"
#include "platform/updates/UpdateChecker.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>

namespace wl {

namespace {
constexpr int kAlertFirstButtonReturn = 1000;
constexpr int kUpdateCheckIntervalSeconds = 21600;
constexpr int kLaunchHighlightDelayMs = 500;
// The default lock shortcut as the launch sequence states it: key code 37 (L) with
// Control, Option and Command, which is Ctrl+Alt+Super+L here.
constexpr quint32 kDefaultShortcutKeyCode = 37;
constexpr quint32 kDefaultShortcutModifiers = 1835008;
} // namespace

struct AppDelegate::Observers
{
    ObserverRegistration setHighlight;
    ObserverRegistration unsetHighlight;
    ObserverRegistration newDevice;
};

AppDelegate::AppDelegate(AppServices services, QObject* parent)
    : QObject(parent), m_services(std::move(services)), m_settings(m_services.settings),
      m_guard(std::make_unique<GuardState>()),
      m_lock(std::make_unique<LockAction>(m_settings, m_services.locker, [this](bool confirmed) {
          m_guard->lockFinished(confirmed);
      }))
{
}

AppDelegate::~AppDelegate()
{
    // The services outlive the controller: nothing of theirs may call back into it (the lock
    // action lets go of the locker itself).
    if (m_observers)
        m_services.usbRegistry.setPresenceObserver({});
    if (m_deviceListAudio)
        m_deviceListAudio->setStateObserver({});
}

std::shared_ptr<AppDelegate> makeController(AppServices services)
{
    Settings& settings = services.settings;
    auto controller = std::make_shared<AppDelegate>(std::move(services));
    controller->setOutlets(loadMainMenu(controller, settings));
    controller->awakeFromNib();
    return controller;
}

void AppDelegate::awakeFromNib()
{
    m_isUpdating = false;

    m_statusBarItem = std::make_unique<QSystemTrayIcon>();
    m_icon = std::make_unique<WLStatusItemView>(imageNamed(QStringLiteral("statusbaricon")),
                                                imageNamed(QStringLiteral("statusbaricon-white")),
                                                m_statusBarItem.get(), m_services.center);
    m_icon->setOpenImages(imageNamed(QStringLiteral("statusbaricon-open")),
                          imageNamed(QStringLiteral("statusbaricon-open-white")));
    m_trayMenu = std::make_unique<TrayMenu>(
        TrayMenu::Commands{
            [this] { lockIt(LockTrigger::Menu); },
            [this](std::optional<std::chrono::milliseconds> d) { pauseGuarding(d); },
            [this] { resumeGuarding(); },
            [this] { aboutButtonClicked(); },
            [this] { askToQuit(); },
        },
        m_services.center);
    m_statusBarItem->setContextMenu(m_trayMenu->menu());
    connect(m_guard.get(), &GuardState::changed, this, &AppDelegate::showGuardState);
    showGuardState();
    m_icon->display(); // the tray refuses to show an icon without a picture
    m_statusBarItem->show();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        log(QStringLiteral("No system tray is available: the icon cannot be shown; the key device "
                           "and the lock shortcut still lock"),
            LogCategory::Tray);
        if (m_services.notifier)
            m_services.notifier->notify(
                tr("Wardlatch has no tray icon"),
                tr("This session has no system tray, so Wardlatch cannot show its icon. Removing "
                   "the key device and the lock shortcut still lock."));
    }

    m_deviceListUSB = std::make_unique<WLDeviceListUSB>(weak_from_this(), m_services.usbRegistry,
                                                        m_settings, m_services.center);
    m_deviceListAudio = std::make_unique<WLDeviceListAudio>(
        weak_from_this(), m_services.audioHardware, m_settings, m_services.center);

    // No Dock-like presence: the panel is a tool window and nothing else is shown.
    m_observers = std::make_unique<Observers>(Observers{
        ObserverRegistration(m_services.center, events::setHighlight,
                             [this](const Notification& n) { handleHighlightNotification(n); }),
        ObserverRegistration(m_services.center, events::unsetHighlight,
                             [this](const Notification& n) { handleHighlightNotification(n); }),
        // Registered after the watchers': they have taken the choice in when this runs.
        ObserverRegistration(m_services.center, events::kSetNewDeviceEvent,
                             [this](const Notification&) { refreshGuardState(); }),
    });
    watchGuardState();
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state != Qt::ApplicationActive)
                    applicationWillResignActive();
            });
}

void AppDelegate::applicationDidFinishLaunching()
{
    AppServices& s = m_services;
    if (s.sendTrackingReport)
        s.sendTrackingReport();
    if (s.setupIssuesController)
        s.setupIssuesController(true);
    if (m_updater) {
        m_updater->setAutomaticallyChecksForUpdates(true);
        m_updater->setUpdateCheckInterval(kUpdateCheckIntervalSeconds);
    }
    if (s.createSessionLoginItems) {
        if (std::unique_ptr<LoginItems> items = s.createSessionLoginItems())
            items->insertItemLast(s.executablePath);
    }
    registerDefaultSettings(m_settings);
    migrateLegacySettings(m_settings);
    // A damaged settings file must not leave the session unguarded without a word.
    if (m_settings.storedChoiceLost() && s.notifier)
        s.notifier->notify(tr("Wardlatch lost its key device"),
                           tr("Its settings file could not be read, so no key device may be "
                              "guarding this session. Choose the key device again."));
    if (m_shortcutView)
        m_shortcutView->setAssociatedUserDefaultsKey(QString::fromLatin1(keys::HotKey));
    s.shortcutBinder.registerDefaultShortcuts(
        {{QString::fromLatin1(keys::HotKey),
          Shortcut(kDefaultShortcutKeyCode, kDefaultShortcutModifiers)}});
    // The binder outlives the controller: its action must not keep the controller alive.
    s.shortcutBinder.bindShortcutWithDefaultsKey(QString::fromLatin1(keys::HotKey),
                                                 [weak = weak_from_this()] {
                                                     if (const auto self = weak.lock())
                                                         self->lockIt(LockTrigger::Shortcut);
                                                 });
    populateList();
    m_deviceListUSB->startSearch();
    m_deviceListAudio->startSearch();
    refreshGuardState();
    QTimer::singleShot(kLaunchHighlightDelayMs, this, [this] {
        m_services.center.postNotificationName(events::setHighlight, this);
    });
}

void AppDelegate::applicationWillResignActive()
{
    m_services.center.postNotificationName(events::unsetHighlight, this);
}

void AppDelegate::applicationWillTerminate() {}

void AppDelegate::watchedDeviceRemoved()
{
    if (m_guard->isPaused()) {
        log(QStringLiteral("The key device went away while guarding is paused: nothing was "
                           "locked"),
            LogCategory::Lock);
        return;
    }
    lockIt(LockTrigger::KeyDevice);
}

void AppDelegate::lockIt(LockTrigger trigger, std::function<void(bool confirmed)> done)
{
    m_lock->lockIt(trigger, std::move(done));
}

void AppDelegate::watchGuardState()
{
    AppServices& s = m_services;
    s.usbRegistry.setPresenceObserver([this] { refreshGuardState(); });
    // The audio thread tells of changes; the state is the main thread's.
    m_deviceListAudio->setStateObserver([this] {
        QMetaObject::invokeMethod(this, &AppDelegate::refreshGuardState, Qt::QueuedConnection);
    });
    connect(m_guard.get(), &GuardState::pauseEnded, this, [this] {
        log(QStringLiteral("The pause has ended: guarding again"));
        if (m_services.notifier)
            m_services.notifier->notify(tr("Wardlatch is guarding again"), m_guard->description());
    });
    refreshGuardState();
}

void AppDelegate::showGuardState()
{
    const GuardState::Snapshot state = m_guard->snapshot();
    if (m_icon)
        // A lock that could not be confirmed leaves the user as unprotected as no guard at all.
        m_icon->setGuardState(!state.needsAttention(), m_guard->description());
    if (m_trayMenu)
        m_trayMenu->setPaused(state.paused);
}

void AppDelegate::refreshGuardState()
{
    KeyDeviceFacts facts;
    if (m_deviceListAudio && m_settings.boolForKey(keys::useHeadphones)) {
        facts.choice = KeyDeviceFacts::Choice::Headphones;
        facts.name = QString::fromLatin1(WLDeviceListAudio::kHeadphonesName);
        facts.watched = m_deviceListAudio->isWatchingOutput();
        facts.present = m_deviceListAudio->headphonesPlaying();
    } else if (m_deviceListUSB && (m_settings.integerForKey(keys::idVendor) != 0 ||
                                   m_settings.integerForKey(keys::idProduct) != 0)) {
        facts.choice = KeyDeviceFacts::Choice::Usb;
        facts.name = m_settings.stringForKey(keys::kDeviceName).value_or(QString());
        const UsbRegistry::Handle watch = m_deviceListUSB->lostDeviceIterator();
        facts.watched = watch != 0;
        // The registry's own count: a listing made while a removal is being handled can still
        // show the device that went.
        if (watch)
            facts.present = m_services.usbRegistry.attachedMatching(watch).value_or(0) > 0;
    }
    m_guard->setFacts(facts);
}

void AppDelegate::pauseGuarding(std::optional<std::chrono::milliseconds> duration)
{
    m_guard->pause(duration);
    log(QStringLiteral("Guarding paused: %1").arg(m_guard->description()));
}

void AppDelegate::resumeGuarding()
{
    m_guard->resume();
    log(QStringLiteral("Guarding resumed"));
}

QString AppDelegate::quitInformativeText(const QString& deviceName)
{
    // One substitution of the name as it is: a name holding "%1" or "%@" stays as it is.
    return tr("If you quit, removing %@ will no longer lock your computer.")
        .replace(QStringLiteral("%@"), deviceName);
}

void AppDelegate::askToQuit()
{
    const QString name = m_settings.stringForKey(keys::kDeviceName).value_or(QString());
    if (m_isUpdating)
        log(QStringLiteral("isUpdating"));
    else if (!m_services.runQuitAlert ||
             m_services.runQuitAlert(tr("Quit wardlatch?"), quitInformativeText(name)) !=
                 kAlertFirstButtonReturn)
        return;
    if (m_services.terminate)
        m_services.terminate();
}

void AppDelegate::aboutButtonClicked()
{
    m_services.center.postNotificationName(events::unsetHighlight, this);
    if (m_services.showAboutPanel)
        m_services.showAboutPanel();
}

void AppDelegate::showFeedbackModal()
{
    m_services.center.postNotificationName(events::unsetHighlight, this);
    if (m_services.showFeedbackDialog)
        m_services.showFeedbackDialog();
}

void AppDelegate::updaterWillRelaunchApplication(UpdateChecker&)
{
    m_isUpdating = true;
}

} // namespace wl
