// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/usb/UsbRegistry.h"

#include <deque>
#include <map>
#include <vector>

namespace wl {

// The bookkeeping every registry shares: registrations with their pending devices, and the rule
// that a registration delivers only after its iterator has been emptied.
class UsbRegistrations
{
public:
    using Handle = UsbRegistry::Handle;

    Handle add(const UsbMatch& match, UsbRegistry::Callback callback, void* context);
    std::optional<UsbDevice> next(Handle handle);
    bool isValid(Handle handle) const { return m_entries.count(handle) != 0; }
    void release(Handle handle) { m_entries.erase(handle); }
    size_t size() const { return m_entries.size(); }

    std::optional<UsbMatch> match(Handle handle) const;
    // Snapshot: callbacks may add or release registrations while deliveries run.
    std::vector<std::pair<Handle, UsbMatch>> all() const;

    // Queues devices on the registration and calls its callback if it is armed. The callback
    // may release this or any registration, or run a nested event loop.
    void deliver(Handle handle, const QList<UsbDevice>& devices);

private:
    struct Entry
    {
        UsbMatch match;
        UsbRegistry::Callback callback = nullptr;
        void* context = nullptr;
        std::deque<UsbDevice> pending;
        bool armed = false;
    };
    std::map<Handle, Entry> m_entries;
    Handle m_lastHandle = 0;
};

} // namespace wl
