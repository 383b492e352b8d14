// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/AppDelegate.h"

namespace wl {

// The interface loader: builds the panel from MainMenu.ui, its menu, the update checker, and
// connects the controls and menu items to the controller.
MainMenuOutlets loadMainMenu(const std::shared_ptr<AppDelegate>& controller, Settings& settings);

} // namespace wl
