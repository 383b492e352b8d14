// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/LockAction.h"

#include "app/SettingsKeys.h"
#include "platform/log/Log.h"
#include "platform/session/SessionLocker.h"
#include "platform/settings/Settings.h"

#include <QMutexLocker>

namespace wl {

LockAction::LockAction(Settings& settings, SessionLocker& locker,
                       std::function<void(bool confirmed)> finished)
    : m_settings(settings), m_locker(locker), m_finished(std::move(finished))
{
    // Outcomes arrive on the main thread, oldest request first.
    m_locker.setOutcomeHandler(
        [this](bool lockRequest, bool confirmed) { outcome(lockRequest, confirmed); });
}

LockAction::~LockAction()
{
    m_locker.setOutcomeHandler({});
}

void LockAction::lockIt(LockTrigger trigger, std::function<void(bool confirmed)> done)
{
    const bool screenSaver = m_settings.boolForKey(keys::UseScreenSaver);
    QString why;
    switch (trigger) {
    case LockTrigger::KeyDevice:
        why = m_settings.boolForKey(keys::useHeadphones)
                  ? QStringLiteral("the headphones were unplugged")
                  : QStringLiteral("the key device “%1” went away")
                        .arg(m_settings.stringForKey(keys::kDeviceName).value_or(QString()));
        break;
    case LockTrigger::Shortcut:
        why = QStringLiteral("the lock shortcut");
        break;
    case LockTrigger::CommandLine:
        why = QStringLiteral("the command line");
        break;
    case LockTrigger::Menu:
        why = QStringLiteral("Lock Now in the tray menu");
        break;
    }
    log((screenSaver ? QStringLiteral("Starting the screen saver: %1")
                     : QStringLiteral("Locking the session: %1"))
            .arg(why),
        LogCategory::Lock);
    {
        QMutexLocker lock(&m_mutex);
        m_waiters.push_back(std::move(done));
    }
    if (!screenSaver)
        m_locker.lockScreenImmediate();
    else
        m_locker.startScreenSaver();
}

void LockAction::outcome(bool lockRequest, bool confirmed)
{
    std::function<void(bool)> done;
    {
        QMutexLocker lock(&m_mutex);
        if (!m_waiters.empty()) {
            done = std::move(m_waiters.front());
            m_waiters.pop_front();
        }
    }
    if (confirmed)
        log(lockRequest ? QStringLiteral("The session is locked")
                        : QStringLiteral("The screen saver has started"),
            LogCategory::Lock);
    if (m_finished)
        m_finished(confirmed);
    if (done)
        done(confirmed);
}

} // namespace wl
