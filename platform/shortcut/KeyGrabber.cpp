// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/shortcut/KeyGrabber.h"

#include "platform/log/Log.h"

namespace wl {

void KeyGrabber::setNoGlobalShortcuts(bool none)
{
    m_noneInSession = none;
    if (!none || m_noneLogged)
        return;
    m_noneLogged = true;
    log(QStringLiteral("No global shortcut is available in this session: bind \u201cwardlatch "
                       "--lock\u201d to a key in the desktop's keyboard settings"),
        LogCategory::Shortcut);
}

} // namespace wl
