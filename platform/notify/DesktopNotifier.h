// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace wl {

// Tells the user something through the desktop's notifications. notify returns at once, from
// any thread; the notification is on its way (or has failed quietly) when it returns.
class DesktopNotifier
{
public:
    virtual ~DesktopNotifier() = default;
    virtual void notify(const QString& title, const QString& body) = 0;
};

} // namespace wl
