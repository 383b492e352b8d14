// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMutex>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace wl {

// The per-user settings store: an INI file ([General] group) with registered defaults kept in
// memory only. Reads follow the typed rules the rest of the program relies on: an absent or
// unreadable integer reads 0, boolean false, string no value (distinct from ""). Values are
// held in memory and written through to the file, so a file that vanishes, turns to garbage or
// cannot be written never loses a choice made in this run; each such fault is logged once, at
// the next write. Only a regular file is read, and only its first 1 MiB; it is replaced whole
// (a private temporary file renamed over it), so nothing at the path can block the program.
// All members are thread-safe, and reads never wait for the file: the lock path reads from
// any thread while a write is under way.
class Settings
{
public:
    // The store used by the program: $XDG_CONFIG_HOME/wardlatch/wardlatch.conf.
    static Settings& standardUserDefaults();
    static QString defaultFilePath();

    explicit Settings(QString filePath);
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    QString filePath() const { return m_filePath; }

    void registerDefaults(const QVariantMap& defaults);

    std::optional<QString> stringForKey(const QString& key) const;
    qint64 integerForKey(const QString& key) const;
    bool boolForKey(const QString& key) const;
    // The raw value, written or registered; invalid when absent.
    QVariant objectForKey(const QString& key) const;

    // An invalid value removes the key.
    void setObject(const QString& key, const QVariant& value);
    void setBool(const QString& key, bool value);
    void removeObjectForKey(const QString& key);

    // Whether a value was written (registered defaults do not count).
    bool hasStoredValue(const QString& key) const;
    // Whether the file could not be read whole and what was read arms no watch: a key device
    // chosen earlier may be lost, and the user must be told to choose it again.
    bool storedChoiceLost() const { return m_storedChoiceLost; }

    // Typed conversions, exposed for the parsers' tests.
    static std::optional<QString> toStringValue(const QVariant& value);
    static std::optional<qint64> toIntegerValue(const QVariant& value);
    static std::optional<bool> toBoolValue(const QVariant& value);

private:
    QVariant lookup(const QString& key) const;
    void load();
    // Reads the values out of the file's content; false if some of it could not be read.
    bool loadContent(QByteArray content, bool oversized);
    // Writes the values of one change; a write of an older change than one already written is
    // dropped, so that racing writers never leave an older state behind.
    void persist(const QVariantMap& values, quint64 change);

    const QString m_filePath;
    // Guards the values only, never held during file I/O.
    mutable QMutex m_mutex;
    QVariantMap m_values;
    QVariantMap m_defaults;
    quint64 m_changes = 0;
    bool m_storedChoiceLost = false;

    // Guards the file and what is known about it.
    QMutex m_writeMutex;
    quint64 m_writtenChange = 0;
    bool m_writeFailureLogged = false;
    // The file as this store last read or wrote it; none while there was no file. A difference
    // before a write means someone else changed or removed it.
    std::optional<QByteArray> m_knownContent;
};

} // namespace wl
