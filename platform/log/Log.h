// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace wl {

// The subsystem a line comes from, named "wardlatch.usb" and so on; a line shows the short
// name ("usb: ") before its text.
enum class LogCategory
{
    App,
    Settings,
    Usb,
    Audio,
    Lock,
    Shortcut,
    Tray
};

const char* logCategoryName(LogCategory category);

// The system log: one plain line, no level. Safe from any thread.
void log(const QString& message, LogCategory category = LogCategory::App);

using LogSink = std::function<void(const QString&)>;

// Replaces where log lines go (tests capture them); an empty sink restores the system log.
// The sink gets the bare message, without its category. Returns the sink that was in place.
LogSink setLogSink(LogSink sink);

// Sends Qt's own messages where log() writes: never blocking, and never ending the program
// when nobody reads them. Also makes the choice of where that is, once.
void installMessageHandler();

// Where lines go: one place, chosen once at start.
enum class LogTarget
{
    StandardError,
    SystemLog
};

// What the choice depends on.
struct LogSurroundings
{
    bool stderrOpen = true;
    bool stderrIsTerminal = false;
    QByteArray stderrId;      // standard error's "device:inode", as JOURNAL_STREAM spells it
    QByteArray journalStream; // JOURNAL_STREAM
    QByteArray choice;        // WL_LOG: "stderr", "journal" or empty
    bool systemLogReachable = true;
};

// Standard error when WL_LOG is "stderr", or, unless WL_LOG is "journal", when standard error
// is a terminal or already the journal's stream (JOURNAL_STREAM); otherwise the journal
// (/dev/log), or standard error when the journal cannot be reached. With standard error
// closed, the journal.
LogTarget chooseLogTarget(const LogSurroundings& surroundings);

} // namespace wl
