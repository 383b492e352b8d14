// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/usb/UsbRegistrations.h"

namespace wl {

UsbRegistrations::Handle UsbRegistrations::add(const UsbMatch& match,
                                               UsbRegistry::Callback callback, void* context)
{
    do {
        ++m_lastHandle;
    } while (m_lastHandle == 0 || m_entries.count(m_lastHandle) != 0);
    m_entries.emplace(m_lastHandle, Entry{match, callback, context, {}, false});
    return m_lastHandle;
}

std::optional<UsbDevice> UsbRegistrations::next(Handle handle)
{
    const auto it = m_entries.find(handle);
    if (it == m_entries.end())
        return std::nullopt;
    Entry& entry = it->second;
    if (entry.pending.empty()) {
        entry.armed = true;
        return std::nullopt;
    }
    UsbDevice device = std::move(entry.pending.front());
    entry.pending.pop_front();
    return device;
}

std::optional<UsbMatch> UsbRegistrations::match(Handle handle) const
{
    const auto it = m_entries.find(handle);
    if (it == m_entries.end())
        return std::nullopt;
    return it->second.match;
}

std::vector<std::pair<UsbRegistrations::Handle, UsbMatch>> UsbRegistrations::all() const
{
    std::vector<std::pair<Handle, UsbMatch>> result;
    result.reserve(m_entries.size());
    for (const auto& [handle, entry] : m_entries)
        result.emplace_back(handle, entry.match);
    return result;
}

void UsbRegistrations::deliver(Handle handle, const QList<UsbDevice>& devices)
{
    const auto it = m_entries.find(handle);
    if (it == m_entries.end() || devices.isEmpty())
        return;
    Entry& entry = it->second;
    entry.pending.insert(entry.pending.end(), devices.begin(), devices.end());
    if (!entry.armed || !entry.callback)
        return;
    entry.armed = false;
    const UsbRegistry::Callback callback = entry.callback;
    void* const context = entry.context;
    // entry may be gone once the callback returns.
    callback(context, handle);
}

} // namespace wl
