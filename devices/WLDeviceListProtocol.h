// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>

namespace wl {

// Receives the report that the watched key device went away. Watchers hold it weakly
// (std::weak_ptr): the headphone watch reports from the audio thread.
class WLDeviceListDelegate
{
public:
    virtual ~WLDeviceListDelegate() = default;
    virtual void watchedDeviceRemoved() = 0;
};

// What both device watchers offer. The constructor takes the watcher delegate.
class WLDeviceListProtocol
{
public:
    virtual ~WLDeviceListProtocol() = default;
    virtual void startSearch() = 0;
    virtual void stopSearch() = 0;
    // The watcher's device names, in order: a new list at every call.
    virtual QStringList getCurrentDeviceList() = 0;
};

} // namespace wl
