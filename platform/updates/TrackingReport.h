// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace wl {

// This build collects no usage data: there is nothing to send.
inline void sendTrackingReport() {}

} // namespace wl
