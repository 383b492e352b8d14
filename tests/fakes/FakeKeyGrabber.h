// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/shortcut/KeyGrabber.h"

#include <QList>

namespace wl::test {

// In-memory key grabs: chords in `takenByOthers` report Taken; press() presses a grabbed chord.
class FakeKeyGrabber : public KeyGrabber
{
public:
    GrabResult grab(const Shortcut& shortcut) override
    {
        if (unavailable)
            return GrabResult::Unavailable;
        if (takenByOthers.contains(shortcut))
            return GrabResult::Taken;
        if (!grabbed.contains(shortcut))
            grabbed << shortcut;
        return GrabResult::Ok;
    }
    void ungrab(const Shortcut& shortcut) override { grabbed.removeAll(shortcut); }
    bool press(const Shortcut& shortcut)
    {
        return grabbed.contains(shortcut) && (notifyPressed(shortcut), true);
    }
    using KeyGrabber::setNoGlobalShortcuts;

    QList<Shortcut> grabbed;
    QList<Shortcut> takenByOthers;
    bool unavailable = false;
};

} // namespace wl::test
