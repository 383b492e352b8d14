#pragma once

#include <QString>

#include <functional>

namespace wl {

// The system log: one plain line, no level. Safe from any thread.
void log(const QString& message);

using LogSink = std::function<void(const QString&)>;

// Replaces where log lines go (tests capture them); an empty sink restores the system log.
// Returns the sink that was in place.
LogSink setLogSink(LogSink sink);

// Sends Qt's own messages to standard error the way log() writes there: never blocking, and
// never ending the program when nobody reads them.
void installMessageHandler();

} // namespace wl
