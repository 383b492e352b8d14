// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "devices/WLDeviceListProtocol.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace wl::test {

// A watcher delegate that records each report and the thread it came on.
class RecordingDelegate : public WLDeviceListDelegate
{
public:
    void watchedDeviceRemoved() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_threads.push_back(std::this_thread::get_id());
        }
        m_changed.notify_all();
    }

    size_t count() const { return threads().size(); }
    int calls() const { return int(count()); }
    std::vector<std::thread::id> threads() const
    {
        std::lock_guard lock(m_mutex);
        return m_threads;
    }
    // Waits until at least n reports have arrived.
    bool waitForCount(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_threads.size() >= n; });
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<std::thread::id> m_threads;
};

} // namespace wl::test
