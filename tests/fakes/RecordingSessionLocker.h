// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/session/SessionLocker.h"

#include <QMutex>
#include <QThread>

#include <vector>

namespace wl::test {

// Records every request and the thread it came from.
class RecordingSessionLocker : public SessionLocker
{
public:
    enum class Request
    {
        Lock,
        ScreenSaver
    };

    void lockScreenImmediate() override { record(Request::Lock); }
    void startScreenSaver() override { record(Request::ScreenSaver); }
    void setOutcomeHandler(OutcomeHandler handler) override { m_outcome = std::move(handler); }
    // Ends a request as a real locker would, on the calling (main) thread.
    void finish(bool lockRequest, bool confirmed)
    {
        if (m_outcome)
            m_outcome(lockRequest, confirmed);
    }

    std::vector<Request> requests() const
    {
        QMutexLocker lock(&m_mutex);
        return m_requests;
    }
    std::vector<QThread*> threads() const
    {
        QMutexLocker lock(&m_mutex);
        return m_threads;
    }
    size_t count() const { return requests().size(); }

private:
    void record(Request r)
    {
        QMutexLocker lock(&m_mutex);
        m_requests.push_back(r);
        m_threads.push_back(QThread::currentThread());
    }
    mutable QMutex m_mutex;
    OutcomeHandler m_outcome;
    std::vector<Request> m_requests;
    std::vector<QThread*> m_threads;
};

} // namespace wl::test
