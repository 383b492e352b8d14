// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

#include <memory>

namespace wl {

class Settings;
class UpdateChecker;

class UpdateCheckerDelegate
{
public:
    virtual ~UpdateCheckerDelegate() = default;
    // The program is about to be replaced and restarted by an update.
    virtual void updaterWillRelaunchApplication(UpdateChecker& updater) = 0;
};

// Update checks. This build has no release feed configured, so it never checks, downloads or
// installs anything: it keeps the user's check settings, and it tells its delegate when a
// relaunch is announced so that quitting does not ask first.
class UpdateChecker : public QObject
{
    Q_OBJECT
public:
    explicit UpdateChecker(Settings& settings, QObject* parent = nullptr);

    // Held weakly.
    void setDelegate(std::weak_ptr<UpdateCheckerDelegate> delegate);

    void setAutomaticallyChecksForUpdates(bool enabled);
    bool automaticallyChecksForUpdates() const;
    void setUpdateCheckInterval(int seconds);
    int updateCheckInterval() const; // seconds; 0 when never set

    // Always false here: there is nowhere to check.
    bool hasReleaseFeed() const { return false; }

    // An installed update is about to restart the program.
    void announceRelaunch();

private:
    Settings& m_settings;
    std::weak_ptr<UpdateCheckerDelegate> m_delegate;
};

} // namespace wl
