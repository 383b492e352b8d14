// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "devices/WLDeviceListProtocol.h"

#include <atomic>

namespace wl::test {

// Counts watchedDeviceRemoved calls, from any thread.
class CountingDelegate : public WLDeviceListDelegate
{
public:
    void watchedDeviceRemoved() override { ++m_calls; }
    int calls() const { return m_calls; }

private:
    std::atomic<int> m_calls{0};
};

} // namespace wl::test
