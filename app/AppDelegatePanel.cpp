// SPDX-License-Identifier: GPL-3.0-or-later
// The controller's device panel: its controls, the list of devices to choose from, opening and
// closing it.
#include "app/AppDelegate.h"

#include "app/GuardState.h"
#include "app/SettingsKeys.h"
#include "devices/WLDeviceListAudio.h"
#include "devices/WLDeviceListUSB.h"
#include "menubar/PanelWindow.h"
#include "menubar/ShortcutRecorder.h"
#include "menubar/WLDropDownButton.h"
#include "platform/events/NotificationCenter.h"
#include "platform/settings/Settings.h"

#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QSystemTrayIcon>

namespace wl {

namespace {
const char* const kUnwatchableDeviceReason =
    QT_TRANSLATE_NOOP("wl::AppDelegate", "This device reports no vendor and product numbers, so "
                                         "its removal cannot be recognised");
} // namespace

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
        connect(m_window.get(), &PanelWindow::dismissRequested, this,
                [this] { m_services.center.postNotificationName(events::unsetHighlight, this); });
    }
    // The recorder stores through the binder that binds the shortcut.
    if (m_shortcutView)
        m_shortcutView->setBinder(m_services.shortcutBinder);
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
    m_services.center.postNotificationName(events::kSetNewDeviceEvent, this,
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
