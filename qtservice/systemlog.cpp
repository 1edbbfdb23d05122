#include "systemlog.h"

#include "controlsocket.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// The C library writes the month in the C locale, whatever the daemon's.
const char *const monthNames[] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };

// The logger is gone or was restarted: its socket is worth connecting anew.
bool isLoggerGone(int error)
{
    return error == ECONNREFUSED || error == ENOTCONN || error == ENOENT || error == EPIPE
        || error == ECONNRESET || error == EBADF;
}

} // namespace

SystemLog::SystemLog(const char *socketPath)
    : path(socketPath)
{
}

SystemLog::~SystemLog()
{
    disconnectSocket();
}

QByteArray SystemLog::format(int priority, const QByteArray &text) const
{
    const time_t now = ::time(nullptr);
    struct tm local;
    ::localtime_r(&now, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d ", monthNames[local.tm_mon % 12],
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return '<' + QByteArray::number(LOG_DAEMON | priority) + '>' + stamp + tag + '['
        + QByteArray::number(::getpid()) + "]: " + text;
}

void SystemLog::write(int priority, const QByteArray &text)
{
    if (droppedCount > 0) {
        const QByteArray notice = QByteArray::number(droppedCount) + " system log entries were dropped";
        if (!send(format(LOG_WARNING, notice))) {
            ++droppedCount;
            return;
        }
        droppedCount = 0;
    }
    if (!send(format(priority, text)))
        ++droppedCount;
}

bool SystemLog::send(const QByteArray &datagram)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (fd < 0 && !connectSocket())
            return false;
        if (::send(fd, datagram.constData(), size_t(datagram.size()), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
            return true;
        if (errno == EINTR) {
            --attempt;
            continue;
        }
        if (!isLoggerGone(errno))
            return false; // EAGAIN and ENOBUFS: the logger does not keep up
        disconnectSocket();
    }
    return false;
}

bool SystemLog::connectSocket()
{
    sockaddr_un address;
    socklen_t length;
    if (!makeUnixAddress(QString::fromLatin1(path), &address, &length))
        return false;
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        disconnectSocket();
        return false;
    }
    return true;
}

void SystemLog::disconnectSocket()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
