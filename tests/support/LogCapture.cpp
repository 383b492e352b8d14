// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/LogCapture.h"

#include <QTest>

namespace wl::test {

LogCapture::LogCapture()
{
    m_previous = setLogSink([this](const QString& line) {
        QMutexLocker lock(&m_mutex);
        m_lines << line;
    });
}

LogCapture::~LogCapture()
{
    setLogSink(std::move(m_previous));
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

int LogCapture::count(const QString& line) const
{
    QMutexLocker lock(&m_mutex);
    return int(m_lines.count(line));
}

int LogCapture::countContaining(const QString& part) const
{
    QMutexLocker lock(&m_mutex);
    int n = 0;
    for (const QString& l : m_lines)
        n += l.contains(part) ? 1 : 0;
    return n;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_lines.clear();
}

bool LogCapture::waitForContaining(const QString& part, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return countContaining(part) > 0; }, timeoutMs);
}

} // namespace wl::test
