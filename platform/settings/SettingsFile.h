// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

// The settings file on disk: read so that nothing at the path can block or flood the program,
// and replaced whole so that a reader never finds half of it.
namespace wl {

// A settings file is a few hundred bytes: a bigger one is read only this far.
inline constexpr qsizetype kMaxSettingsFileSize = qsizetype(1) << 20;

struct SettingsFileRead
{
    enum Kind
    {
        Absent,
        Regular,
        NotRegular,
        Unreadable
    };
    Kind kind = Absent;
    QByteArray content; // at most kMaxSettingsFileSize bytes
    bool oversized = false;
};

SettingsFileRead readSettingsFile(const QString& path);

// Replaces the file, or the regular file a link at the path points to, with content, for the
// owner alone; false if it was not written (a file the user made read-only is left alone).
bool writeSettingsFile(const QString& path, const QByteArray& content);

} // namespace wl
