// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MainMenuLoader.h"

#include "menubar/PanelWindow.h"
#include "menubar/ShortcutRecorder.h"
#include "menubar/WLDropDownButton.h"
#include "platform/updates/UpdateChecker.h"

#include "ui_MainMenu.h"

#include <QMenu>

namespace wl {

MainMenuOutlets loadMainMenu(const std::shared_ptr<AppDelegate>& controller, Settings& settings)
{
    MainMenuOutlets outlets;
    outlets.window = std::make_unique<PanelWindow>();
    Ui::MainMenu ui;
    ui.setupUi(outlets.window.get());
    outlets.mainView = outlets.window.get();
    outlets.devicePopUpButton = ui.devicePopUpButton;
    outlets.guardStatusLabel = ui.guardStatusLabel;
    outlets.shortcutView = ui.shortcutView;
    outlets.lockDisplayButton = ui.lockDisplayButton;
    outlets.screensaverButton = ui.screensaverButton;

    outlets.updater = std::make_unique<UpdateChecker>(settings);
    outlets.updater->setDelegate(std::weak_ptr<UpdateCheckerDelegate>(controller));

    // The panel's menu, owned by the panel.
    auto* menu = new QMenu(outlets.window.get());
    menu->addAction(ui.actionAbout);
    menu->addAction(ui.actionFeedback);
    menu->addSeparator();
    menu->addAction(ui.actionQuit);
    AppDelegate* target = controller.get();
    QObject::connect(ui.actionAbout, &QAction::triggered, target,
                     [target] { target->aboutButtonClicked(); });
    QObject::connect(ui.actionFeedback, &QAction::triggered, target,
                     [target] { target->showFeedbackModal(); });
    QObject::connect(ui.actionQuit, &QAction::triggered, target, [target] { target->askToQuit(); });
    outlets.contextMenu = menu;

    outlets.showContextMenuButton = ui.showContextMenuButton;
    ui.showContextMenuButton->setButtonMenu(menu);
    ui.showContextMenuButton->awakeFromNib();
    return outlets;
}

} // namespace wl
