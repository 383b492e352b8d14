// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdio>
#include <cstdlib>

namespace wl::fuzz {

// A wrong answer is a finding like a crash: abort so the fuzzer keeps the input.
inline void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "wrong answer: %s\n", what);
        std::abort();
    }
}

} // namespace wl::fuzz
