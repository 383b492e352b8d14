// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/shortcut/KeyGrabber.h"

#include <QList>

namespace wl::test {

// An in-memory key grab: chords in `takenByOthers` report Taken; press() plays a key press.
class FakeKeyGrabber : public KeyGrabber
{
public:
    GrabResult grab(const Shortcut& shortcut) override
    {
        ++grabCalls;
        if (unavailable)
            return GrabResult::Unavailable;
        if (takenByOthers.contains(shortcut))
            return GrabResult::Taken;
        if (!grabbed.contains(shortcut))
            grabbed << shortcut;
        return GrabResult::Ok;
    }
    void ungrab(const Shortcut& shortcut) override { grabbed.removeAll(shortcut); }

    // Delivers a press only for grabbed chords, as the real grab does.
    bool press(const Shortcut& shortcut)
    {
        if (!grabbed.contains(shortcut))
            return false;
        notifyPressed(shortcut);
        return true;
    }

    QList<Shortcut> grabbed;
    QList<Shortcut> takenByOthers;
    bool unavailable = false;
    int grabCalls = 0;
};

} // namespace wl::test
