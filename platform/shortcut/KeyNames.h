// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <Qt>

#include <cstdint>

namespace wl::keys {

// The X keysym of a Qt key, as the X11 grabber looks its keycode up; 0 when it takes none.
std::uint32_t keysym(Qt::Key key);

// The xkb keysym name of a Qt key, as the portal's trigger syntax has it; empty when the portal
// is not asked for it.
QString xkbName(Qt::Key key);

} // namespace wl::keys
