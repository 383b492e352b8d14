// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace wl {

// Reports a crash before the process dies: a fatal signal (SIGSEGV, SIGABRT, SIGBUS, SIGFPE,
// SIGILL) or an uncaught exception writes a short report with a backtrace to the system log
// and to stderr, then the process ends as it would have without it.
class IssueReporter
{
public:
    // With false nothing is installed. Calling it again changes nothing.
    static void setup(bool reportingUnhandledIssues);
    static bool isSetUp();
};

} // namespace wl
