// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/LockAction.h"
#include "devices/WLDeviceListProtocol.h"
#include "menubar/PanelWindow.h"
#include "platform/updates/UpdateChecker.h"

#include <QObject>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QComboBox;
class QLabel;
class QMenu;
class QRadioButton;
class QSystemTrayIcon;
class QWidget;

namespace wl {

class AudioHardware;
class DesktopNotifier;
class LoginItems;
class NotificationCenter;
class SessionLocker;
class Settings;
class ShortcutBinder;
class ShortcutRecorder;
class TrayMenu;
class UsbRegistry;
class WLDeviceListAudio;
class WLDeviceListUSB;
class WLDropDownButton;
class WLStatusItemView;
class GuardState;
struct Notification;

// What the controller works with: the platform's services and the few system calls it makes,
// named (the program fills them with the Linux implementations, tests with fakes and recorders).
// The calls left empty are not made.
struct AppServices
{
    Settings& settings;
    NotificationCenter& center;
    SessionLocker& locker;
    UsbRegistry& usbRegistry;
    AudioHardware& audioHardware;
    ShortcutBinder& shortcutBinder;
    QString executablePath;
    std::function<void()> sendTrackingReport;
    std::function<void(bool reportingUnhandledIssues)> setupIssuesController;
    std::function<std::unique_ptr<LoginItems>()> createSessionLoginItems;
    std::function<void()> showAboutPanel;
    std::function<void()> showFeedbackDialog;
    // Runs the quit confirmation modally; 1000 means its first button ("OK").
    std::function<int(const QString& message, const QString& informativeText)> runQuitAlert;
    std::function<void()> terminate;
    // Tells the user what the log alone would hide (no tray to show the icon in); may be null.
    DesktopNotifier* notifier = nullptr;
};

// The panel's controls, as the interface file makes them.
struct MainMenuOutlets
{
    QWidget* mainView = nullptr;
    std::unique_ptr<PanelWindow> window;
    QComboBox* devicePopUpButton = nullptr;
    // What the guard is doing, in words, under the pop-up.
    QLabel* guardStatusLabel = nullptr;
    ShortcutRecorder* shortcutView = nullptr;
    QRadioButton* lockDisplayButton = nullptr;
    QRadioButton* screensaverButton = nullptr;
    std::unique_ptr<UpdateChecker> updater;
    QMenu* contextMenu = nullptr;
    WLDropDownButton* showContextMenuButton = nullptr;
};

// The application controller: builds the tray icon and both watchers, runs the launch sequence,
// turns the loss of the key device (or the lock shortcut) into the lock action, runs the device
// panel, and owns the menu commands. Lives for the whole process; made by makeController, since
// the watchers, the updater and the shortcut hold it through weak pointers.
class AppDelegate : public QObject,
                    public WLDeviceListDelegate,
                    public UpdateCheckerDelegate,
                    public std::enable_shared_from_this<AppDelegate>
{
    Q_OBJECT
public:
    explicit AppDelegate(AppServices services, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Hands over the panel's controls (what the interface loader connects).
    void setOutlets(MainMenuOutlets outlets);

    void awakeFromNib();
    void applicationDidFinishLaunching();
    void applicationWillResignActive();
    void applicationWillTerminate();

    // WLDeviceListDelegate; may run on the audio thread. Does nothing while guarding is paused.
    void watchedDeviceRemoved() override;
    // The lock action; any thread. done hears on the main thread whether the request was
    // confirmed (if the locker can tell).
    void lockIt(LockTrigger trigger, std::function<void(bool confirmed)> done = {});

    // The guard's state, which every view reads.
    GuardState& guardState() { return *m_guard; }
    // While paused, the key device going away locks nothing; the shortcut and Lock Now still
    // lock. No duration: until resumed. Neither survives the process.
    void pauseGuarding(std::optional<std::chrono::milliseconds> duration);
    void resumeGuarding();
    // Looks again at what the watchers and the settings say. Main thread.
    void refreshGuardState();

    // Menu commands.
    void askToQuit();
    void aboutButtonClicked();
    void showFeedbackModal();
    void updaterWillRelaunchApplication(UpdateChecker& updater) override;

    // Device panel.
    void populateList();
    void handleHighlightNotification(const Notification& notification);
    void popUpButtonClicked();
    void lockTypeChanged(QObject* sender);

    // The informative text of the quit confirmation for a device name, shown as plain text.
    static QString quitInformativeText(const QString& deviceName);

    bool isUpdating() const { return m_isUpdating; }
    QSystemTrayIcon* statusBarItem() const { return m_statusBarItem.get(); }
    WLStatusItemView* icon() const { return m_icon.get(); }
    TrayMenu* trayMenu() const { return m_trayMenu.get(); }
    PanelWindow* window() const { return m_window.get(); }
    WLDeviceListUSB* deviceListUSB() const { return m_deviceListUSB.get(); }
    WLDeviceListAudio* deviceListAudio() const { return m_deviceListAudio.get(); }

private:
    struct Observers;
    // Hooks the guard state up to the locker's outcomes and the watchers' changes.
    void watchGuardState();
    // Shows the guard's state on the tray icon: its look, its tooltip, the menu's Resume.
    void showGuardState();

    AppServices m_services;
    Settings& m_settings;

    // The tray icon's context menu, declared first so that it outlives the icon, which shows it.
    std::unique_ptr<TrayMenu> m_trayMenu;
    // The controller's fields, in this order.
    std::atomic<bool> m_isUpdating{false};
    QPointer<QWidget> m_mainView;
    std::unique_ptr<QSystemTrayIcon> m_statusBarItem;
    std::unique_ptr<WLStatusItemView> m_icon;
    std::unique_ptr<PanelWindow> m_window;
    // Owned by the panel's widget tree, which the controller owns through m_window.
    QComboBox* m_devicePopUpButton = nullptr;
    ShortcutRecorder* m_shortcutView = nullptr;
    QRadioButton* m_lockDisplayButton = nullptr;
    QRadioButton* m_screensaverButton = nullptr;
    std::unique_ptr<UpdateChecker> m_updater;
    QPointer<QMenu> m_contextMenu;
    std::unique_ptr<WLDeviceListUSB> m_deviceListUSB;
    std::unique_ptr<WLDeviceListAudio> m_deviceListAudio;
    QPointer<WLDropDownButton> m_showContextMenuButton;

    std::unique_ptr<Observers> m_observers;

    std::unique_ptr<GuardState> m_guard;
    // After the guard, which hears its outcomes.
    std::unique_ptr<LockAction> m_lock;
};

// The controller with its panel and tray icon, awake and ready to launch: what the program makes
// at start, and the tests with fakes.
std::shared_ptr<AppDelegate> makeController(AppServices services);

} // namespace wl
