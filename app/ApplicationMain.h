// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace wl {

// The program: builds the application and runs its event loop until it is ended.
int applicationMain(int argc, char** argv);

} // namespace wl
