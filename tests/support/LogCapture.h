// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/log/Log.h"

#include <QMutex>
#include <QStringList>
#include <QTest>

namespace wl::test {

// Collects log lines from any thread while it exists.
class LogCapture
{
public:
    LogCapture()
        : m_previous(setLogSink([this](const QString& line) {
              QMutexLocker lock(&m_mutex);
              m_lines << line;
          }))
    {
    }
    ~LogCapture() { setLogSink(std::move(m_previous)); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const
    {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    int count(const QString& line) const { return int(lines().count(line)); } // exact matches
    int countContaining(const QString& part) const { return int(lines().filter(part).size()); }
    void clear()
    {
        QMutexLocker lock(&m_mutex);
        m_lines.clear();
    }
    // Runs the event loop until a line containing part arrives, or the timeout passes.
    bool waitForContaining(const QString& part, int timeoutMs = 5000) const
    {
        return QTest::qWaitFor([&] { return countContaining(part) > 0; }, timeoutMs);
    }

private:
    mutable QMutex m_mutex;
    QStringList m_lines;
    LogSink m_previous;
};

} // namespace wl::test
