// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>

namespace wl {

// The command line's own options (--help, --version, --lock, --status) and its errors, handled
// with no display and without becoming the running instance. None when the program is to start
// as usual; otherwise the exit status. Qt's own options (-platform and the like) are left to
// the application.
std::optional<int> runCommandLine(int argc, char** argv);

} // namespace wl
