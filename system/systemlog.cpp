#include "systemlog.h"


#include <cstdio>
#include <ctime>
#include <syslog.h>
#include <unistd.h>

namespace {

// The C library writes the month in the C locale, whatever the daemon's.
const char *const monthNames[] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };

} // namespace

SystemLog::SystemLog(const char *socketPath)
{
    socket.setAddress(socketPath);
}

QByteArray SystemLog::format(const QByteArray &ident, int priority, const QByteArray &text)
{
    const time_t now = ::time(nullptr);
    struct tm local;
    ::localtime_r(&now, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d ", monthNames[local.tm_mon % 12],
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return '<' + QByteArray::number(LOG_DAEMON | priority) + '>' + stamp + ident + '['
        + QByteArray::number(::getpid()) + "]: " + text;
}

void SystemLog::write(const QByteArray &ident, int priority, const QByteArray &text)
{
    if (droppedCount > 0) {
        const QByteArray notice = QByteArray::number(droppedCount) + " system log entries were dropped";
        if (!socket.send(format(ident, LOG_WARNING, notice))) {
            ++droppedCount;
            return;
        }
        droppedCount = 0;
    }
    if (!socket.send(format(ident, priority, text)))
        ++droppedCount;
}
