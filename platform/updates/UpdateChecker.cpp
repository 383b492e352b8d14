// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/updates/UpdateChecker.h"

#include "app/SettingsKeys.h"
#include "platform/settings/Settings.h"

namespace wl {

UpdateChecker::UpdateChecker(Settings& settings, QObject* parent)
    : QObject(parent), m_settings(settings)
{
}

void UpdateChecker::setDelegate(std::weak_ptr<UpdateCheckerDelegate> delegate)
{
    m_delegate = std::move(delegate);
}

void UpdateChecker::setAutomaticallyChecksForUpdates(bool enabled)
{
    m_settings.setBool(QLatin1String(keys::AutomaticallyChecksForUpdates), enabled);
}

bool UpdateChecker::automaticallyChecksForUpdates() const
{
    return m_settings.boolForKey(QLatin1String(keys::AutomaticallyChecksForUpdates));
}

void UpdateChecker::setUpdateCheckInterval(int seconds)
{
    m_settings.setObject(QLatin1String(keys::UpdateCheckInterval), qint64(seconds));
}

int UpdateChecker::updateCheckInterval() const
{
    return int(m_settings.integerForKey(QLatin1String(keys::UpdateCheckInterval)));
}

void UpdateChecker::announceRelaunch()
{
    if (auto delegate = m_delegate.lock())
        delegate->updaterWillRelaunchApplication(*this);
}

} // namespace wl
