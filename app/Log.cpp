#include "app/Log.h"

#include <QMutex>

#include <cstdio>
#include <syslog.h>

namespace wl {

namespace {
QMutex& sinkMutex()
{
    static QMutex mutex;
    return mutex;
}

LogSink& currentSink()
{
    static LogSink sink;
    return sink;
}

void systemLog(const QString& message)
{
    static const bool opened = [] {
        openlog("wardlatch", LOG_PID, LOG_USER);
        return true;
    }();
    (void)opened;
    const QByteArray utf8 = message.toUtf8();
    syslog(LOG_NOTICE, "%s", utf8.constData());
    std::fprintf(stderr, "wardlatch: %s\n", utf8.constData());
}
} // namespace

void log(const QString& message)
{
    LogSink sink;
    {
        QMutexLocker lock(&sinkMutex());
        sink = currentSink();
    }
    if (sink)
        sink(message);
    else
        systemLog(message);
}

LogSink setLogSink(LogSink sink)
{
    QMutexLocker lock(&sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

} // namespace wl
