// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <memory>

namespace wl {

// The session's login items: an XDG autostart entry (autostart/wardlatch.desktop in the user's
// configuration folder) that starts the program at every login.
class LoginItems
{
public:
    // The user's login items; null when the autostart folder cannot be found or made.
    static std::unique_ptr<LoginItems> createSessionLoginItems();

    explicit LoginItems(QString autostartDir);

    QString entryPath() const;

    // Writes the entry for executablePath, replacing an older one. A user who disabled the
    // entry (Hidden=true, X-GNOME-Autostart-enabled=false) keeps it disabled. Returns false
    // when the entry could not be written; callers may ignore that.
    bool insertItemLast(const QString& executablePath);

    // The Exec value that starts exactly this program path, quoted and escaped for a desktop
    // entry file.
    static QString execValueFor(const QString& executablePath);

private:
    QString m_dir;
};

} // namespace wl
