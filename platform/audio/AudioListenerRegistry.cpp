// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/AudioListenerRegistry.h"

#include <algorithm>

namespace wl {

bool AudioListenerRegistry::contains(const Entry& entry) const
{
    return std::find(m_entries.begin(), m_entries.end(), entry) != m_entries.end();
}

bool AudioListenerRegistry::add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                AudioObjectPropertyListenerProc listener, void* clientData)
{
    const Entry entry{object, address, listener, clientData};
    std::lock_guard lock(m_mutex);
    if (contains(entry))
        return false;
    m_entries.push_back(entry);
    return true;
}

bool AudioListenerRegistry::remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   AudioObjectPropertyListenerProc listener, void* clientData)
{
    const Entry entry{object, address, listener, clientData};
    bool removed = false;
    {
        std::lock_guard lock(m_mutex);
        const auto it = std::find(m_entries.begin(), m_entries.end(), entry);
        if (it != m_entries.end()) {
            m_entries.erase(it);
            removed = true;
        }
    }
    // A call in progress elsewhere may still be using the client data: wait it out, also when
    // that call ended the registration itself. From inside a call (same thread) there is
    // nothing to wait for.
    if (m_dispatchThread.load() != std::this_thread::get_id())
        std::lock_guard wait(m_dispatchMutex);
    return removed;
}

int AudioListenerRegistry::notify(AudioObjectID object, const AudioObjectPropertyAddress& address)
{
    std::lock_guard dispatch(m_dispatchMutex);
    const auto outer = m_dispatchThread.exchange(std::this_thread::get_id());
    std::vector<Entry> targets;
    {
        std::lock_guard lock(m_mutex);
        for (const Entry& e : m_entries) {
            if (e.object == object && e.address == address)
                targets.push_back(e);
        }
    }
    int called = 0;
    for (const Entry& e : targets) {
        {
            // An earlier listener of this round may have removed this one.
            std::lock_guard lock(m_mutex);
            if (!contains(e))
                continue;
        }
        e.listener(object, 1, &address, e.clientData);
        ++called;
    }
    m_dispatchThread.store(outer);
    return called;
}

bool AudioListenerRegistry::isRegistered(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address) const
{
    std::lock_guard lock(m_mutex);
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [&](const Entry& e) { return e.object == object && e.address == address; });
}

size_t AudioListenerRegistry::size() const
{
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}

} // namespace wl
