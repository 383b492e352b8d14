// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppDelegate.h"

#include "app/GuardState.h"
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
#include <QMutexLocker>
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
const char* const kUnwatchableDeviceReason =
    QT_TRANSLATE_NOOP("wl::AppDelegate", "This device reports no vendor and product numbers, so "
                                         "its removal cannot be recognised");
} // namespace

struct AppDelegate::Observers
{
    ObserverRegistration setHighlight;
    ObserverRegistration unsetHighlight;
    ObserverRegistration newDevice;
};

AppDelegate::AppDelegate(AppServices services, QObject* parent)
    : QObject(parent), m_services(std::make_unique<AppServices>(std::move(services))),
      m_settings(m_services->settings), m_locker(m_services->locker),
      m_guard(std::make_unique<GuardState>())
{
}

AppDelegate::AppDelegate(Settings& settings, SessionLocker& locker, QObject* parent)
    : QObject(parent), m_settings(settings), m_locker(locker),
      m_guard(std::make_unique<GuardState>())
{
}

AppDelegate::~AppDelegate()
{
    // The services outlive the controller: nothing of theirs may call back into it.
    if (m_services && m_observers) {
        m_locker.setOutcomeHandler({});
        m_services->usbRegistry.setPresenceObserver({});
    }
    if (m_deviceListAudio)
        m_deviceListAudio->setStateObserver({});
}

void AppDelegate::setOutlets(MainMenuOutlets outlets)
{
    m_mainView = outlets.mainView;
    m_window = std::move(outlets.window);
    m_devicePopUpButton = outlets.devicePopUpButton;
    m_shortcutView = outlets.shortcutView;
    m_lockDisplayButton = outlets.lockDisplayButton;
    m_screensaverButton = outlets.screensaverButton;
    m_updater = std::move(outlets.updater);
    m_contextMenu = outlets.contextMenu;
    m_showContextMenuButton = outlets.showContextMenuButton;
    // The panel repeats the guard state under the key device.
    if (QLabel* status = outlets.guardStatusLabel) {
        const auto show = [this, status] { status->setText(m_guard->description()); };
        connect(m_guard.get(), &GuardState::changed, status, show);
        show();
    }

    // Escape closes the panel the way a click outside does, so the icon follows.
    if (m_window) {
        connect(m_window.get(), &PanelWindow::dismissRequested, this, [this] {
            if (m_services)
                m_services->center.postNotificationName(events::unsetHighlight, this);
        });
    }
    // The recorder stores through the binder that binds the shortcut.
    if (m_shortcutView && m_services)
        m_shortcutView->setBinder(m_services->shortcutBinder);
    // The controls' actions.
    if (m_devicePopUpButton) {
        // activated fires on every choice, the current item included.
        connect(m_devicePopUpButton, &QComboBox::activated, this, [this] { popUpButtonClicked(); });
    }
    for (QRadioButton* button : {m_lockDisplayButton, m_screensaverButton}) {
        if (button)
            connect(button, &QRadioButton::clicked, this,
                    [this, button] { lockTypeChanged(button); });
    }
}

void AppDelegate::awakeFromNib()
{
    Q_ASSERT(m_services);
    m_isUpdating = false;

    m_statusBarItem = std::make_unique<QSystemTrayIcon>();
    m_icon = std::make_unique<WLStatusItemView>(imageNamed(QStringLiteral("statusbaricon")),
                                                imageNamed(QStringLiteral("statusbaricon-white")),
                                                m_statusBarItem.get(), m_services->center);
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
        m_services->center);
    m_statusBarItem->setContextMenu(m_trayMenu->menu());
    connect(m_guard.get(), &GuardState::changed, this, &AppDelegate::showGuardState);
    showGuardState();
    m_icon->display(); // the tray refuses to show an icon without a picture
    m_statusBarItem->show();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        log(QStringLiteral("No system tray is available: the icon cannot be shown; the key device "
                           "and the lock shortcut still lock"),
            LogCategory::Tray);
        if (m_services->notifier)
            m_services->notifier->notify(
                tr("Wardlatch has no tray icon"),
                tr("This session has no system tray, so Wardlatch cannot show its icon. Removing "
                   "the key device and the lock shortcut still lock."));
    }

    m_deviceListUSB = std::make_unique<WLDeviceListUSB>(weak_from_this(), m_services->usbRegistry,
                                                        m_settings, m_services->center);
    m_deviceListAudio = std::make_unique<WLDeviceListAudio>(
        weak_from_this(), m_services->audioHardware, m_settings, m_services->center);

    // No Dock-like presence: the panel is a tool window and nothing else is shown.
    m_observers = std::make_unique<Observers>(Observers{
        ObserverRegistration(m_services->center, events::setHighlight,
                             [this](const Notification& n) { handleHighlightNotification(n); }),
        ObserverRegistration(m_services->center, events::unsetHighlight,
                             [this](const Notification& n) { handleHighlightNotification(n); }),
        // Registered after the watchers': they have taken the choice in when this runs.
        ObserverRegistration(m_services->center, events::kSetNewDeviceEvent,
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
    Q_ASSERT(m_services);
    AppServices& s = *m_services;
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
    // The action keeps the controller alive, like the binding it stands for.
    s.shortcutBinder.bindShortcutWithDefaultsKey(
        QString::fromLatin1(keys::HotKey),
        [self = shared_from_this()] { self->lockIt(LockTrigger::Shortcut); });
    populateList();
    m_deviceListUSB->startSearch();
    m_deviceListAudio->startSearch();
    refreshGuardState();
    QTimer::singleShot(kLaunchHighlightDelayMs, this, [this] {
        m_services->center.postNotificationName(events::setHighlight, this);
    });
}

void AppDelegate::applicationWillResignActive()
{
    if (m_services)
        m_services->center.postNotificationName(events::unsetHighlight, this);
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

void AppDelegate::lockIt(LockTrigger trigger)
{
    lockNow(trigger, {});
}

void AppDelegate::lockNow(LockTrigger trigger, std::function<void(bool confirmed)> done)
{
    const bool screenSaver = m_settings.boolForKey(keys::UseScreenSaver);
    QString why;
    switch (trigger) {
    case LockTrigger::KeyDevice:
        why = m_settings.boolForKey(keys::useHeadphones)
                  ? QStringLiteral("the headphones were unplugged")
                  : QStringLiteral("the key device “%1” went away")
                        .arg(m_settings.stringForKey(keys::kDeviceName).value_or(QString()));
        break;
    case LockTrigger::Shortcut:
        why = QStringLiteral("the lock shortcut");
        break;
    case LockTrigger::CommandLine:
        why = QStringLiteral("the command line");
        break;
    case LockTrigger::Menu:
        why = QStringLiteral("Lock Now in the tray menu");
        break;
    }
    log((screenSaver ? QStringLiteral("Starting the screen saver: %1")
                     : QStringLiteral("Locking the session: %1"))
            .arg(why),
        LogCategory::Lock);
    {
        QMutexLocker lock(&m_outcomeMutex);
        m_outcomeWaiters.push_back(std::move(done));
    }
    if (!screenSaver)
        m_locker.lockScreenImmediate();
    else
        m_locker.startScreenSaver();
}

void AppDelegate::watchGuardState()
{
    AppServices& s = *m_services;
    // Outcomes arrive on the main thread, oldest request first.
    m_locker.setOutcomeHandler([this](bool lockRequest, bool confirmed) {
        std::function<void(bool)> done;
        {
            QMutexLocker lock(&m_outcomeMutex);
            if (!m_outcomeWaiters.empty()) {
                done = std::move(m_outcomeWaiters.front());
                m_outcomeWaiters.pop_front();
            }
        }
        if (confirmed)
            log(lockRequest ? QStringLiteral("The session is locked")
                            : QStringLiteral("The screen saver has started"),
                LogCategory::Lock);
        m_guard->lockFinished(confirmed);
        if (done)
            done(confirmed);
    });
    s.usbRegistry.setPresenceObserver([this] { refreshGuardState(); });
    // The audio thread tells of changes; the state is the main thread's.
    m_deviceListAudio->setStateObserver([this] {
        QMetaObject::invokeMethod(this, &AppDelegate::refreshGuardState, Qt::QueuedConnection);
    });
    connect(m_guard.get(), &GuardState::pauseEnded, this, [this] {
        log(QStringLiteral("The pause has ended: guarding again"));
        if (m_services->notifier)
            m_services->notifier->notify(tr("Wardlatch is guarding again"), m_guard->description());
    });
    refreshGuardState();
}

void AppDelegate::showGuardState()
{
    const GuardState::Snapshot state = m_guard->snapshot();
    if (m_icon)
        m_icon->setGuardState(state.guarding(), m_guard->description());
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
        if (m_services && watch)
            facts.present = m_services->usbRegistry.attachedMatching(watch).value_or(0) > 0;
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
    if (m_isUpdating) {
        log(QStringLiteral("isUpdating"));
        m_services->terminate();
        return;
    }
    const QString name = m_settings.stringForKey(keys::kDeviceName).value_or(QString());
    const int result = m_services->runQuitAlert(tr("Quit wardlatch?"), quitInformativeText(name));
    if (result == kAlertFirstButtonReturn)
        m_services->terminate();
}

void AppDelegate::aboutButtonClicked()
{
    m_services->center.postNotificationName(events::unsetHighlight, this);
    if (m_services->showAboutPanel)
        m_services->showAboutPanel();
}

void AppDelegate::showFeedbackModal()
{
    m_services->center.postNotificationName(events::unsetHighlight, this);
    if (m_services->showFeedbackDialog)
        m_services->showFeedbackDialog();
}

void AppDelegate::updaterWillRelaunchApplication(UpdateChecker&)
{
    m_isUpdating = true;
}

void AppDelegate::populateList()
{
    QStringList names;
    if (m_deviceListUSB)
        names << m_deviceListUSB->getCurrentDeviceList();
    const qsizetype usbCount = names.size();
    if (m_deviceListAudio)
        names << m_deviceListAudio->getCurrentDeviceList();
    if (m_devicePopUpButton) {
        QComboBox& popUp = *m_devicePopUpButton;
        const QSignalBlocker quiet(&popUp);
        popUp.clear();
        const std::optional<QString> current = m_settings.stringForKey(keys::kDeviceName);
        const std::shared_ptr<const WLDeviceListUSB::DeviceMap> catalogue =
            m_deviceListUSB ? m_deviceListUSB->devices() : nullptr;
        auto* items = qobject_cast<QStandardItemModel*>(popUp.model());
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QString& name = names[i];
            // Titles stay unique: a repeated title moves to the end.
            const int existing =
                popUp.findText(name, Qt::MatchFixedString | Qt::MatchCaseSensitive);
            if (existing >= 0)
                popUp.removeItem(existing);
            popUp.addItem(name);
            // A device whose removal cannot be recognised is shown, but cannot be chosen.
            if (i < usbCount && catalogue && items && !catalogue->value(name).watchable()) {
                QStandardItem* item = items->item(popUp.count() - 1);
                item->setEnabled(false);
                item->setToolTip(tr(kUnwatchableDeviceReason));
            }
        }
        const int selected =
            current ? popUp.findText(*current, Qt::MatchFixedString | Qt::MatchCaseSensitive) : -1;
        // Nothing is shown as guarded that is not.
        const bool guarded =
            selected >= 0 && popUp.model()->index(selected, 0).flags().testFlag(Qt::ItemIsEnabled);
        popUp.setCurrentIndex(guarded ? selected : -1);
    }
    const bool screenSaver = m_settings.boolForKey(keys::UseScreenSaver);
    if (m_lockDisplayButton && m_screensaverButton) {
        m_lockDisplayButton->setChecked(!screenSaver);
        m_screensaverButton->setChecked(screenSaver);
    }
}

void AppDelegate::handleHighlightNotification(const Notification& notification)
{
    if (notification.name == QLatin1String(events::setHighlight)) {
        populateList();
        if (m_window)
            m_window->showRelativeTo(m_statusBarItem ? m_statusBarItem->geometry() : QRect());
    } else if (notification.name == QLatin1String(events::unsetHighlight)) {
        if (m_window)
            m_window->performClose();
    }
}

void AppDelegate::popUpButtonClicked()
{
    if (!m_devicePopUpButton || m_devicePopUpButton->currentIndex() < 0)
        return;
    const QString title = m_devicePopUpButton->currentText();
    m_settings.setObject(keys::kDeviceName, title);
    m_services->center.postNotificationName(events::kSetNewDeviceEvent, this,
                                            {{QString::fromLatin1(events::kNewDeviceName), title}});
}

void AppDelegate::lockTypeChanged(QObject* sender)
{
    if (sender && sender == m_lockDisplayButton)
        m_settings.setBool(keys::UseScreenSaver, false);
    else if (sender && sender == m_screensaverButton)
        m_settings.setBool(keys::UseScreenSaver, true);
}

} // namespace wl
