// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "fakes/RecordingDelegate.h"

namespace wl::test {
using CountingDelegate = RecordingDelegate; // calls() counts the reports
} // namespace wl::test
