// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/log/Log.h"

#include <QMutex>
#include <QStringList>

namespace wl::test {

// Collects log lines from any thread while it exists.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    int count(const QString& line) const; // exact matches
    int countContaining(const QString& part) const;
    void clear();
    // Runs the event loop until a line containing part arrives, or the timeout passes.
    bool waitForContaining(const QString& part, int timeoutMs = 5000) const;

private:
    mutable QMutex m_mutex;
    QStringList m_lines;
    LogSink m_previous;
};

} // namespace wl::test
