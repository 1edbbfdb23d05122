#include "qtunixsocket.h"

#include "controlsocket.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A Unix socket whose listener's queue is full refuses a non-blocking
// connect with EAGAIN and gives no sign when room is made: it is tried again
// after this pause.
constexpr int queueFullRetryMs = 20;

bool waitFor(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd watched = { fd, events, 0 };
        const int result = ::poll(&watched, 1, int(qBound(qint64(0), deadline.remainingTime(), qint64(60 * 60 * 1000))));
        if (result > 0)
            return true;
        if (result == 0 || errno != EINTR)
            return false;
    }
}

bool connectWithin(int fd, const sockaddr_un &address, socklen_t length, const QDeadlineTimer &deadline)
{
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno == EINPROGRESS) {
            int error = 0;
            socklen_t size = sizeof error;
            return waitFor(fd, POLLOUT, deadline)
                && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        }
        if (errno != EAGAIN || deadline.hasExpired())
            return false;
        ::poll(nullptr, 0, int(qMin<qint64>(queueFullRetryMs, deadline.remainingTime())));
    }
}

} // namespace

QtUnixSocket::QtUnixSocket(QObject *parent)
    : QTcpSocket(parent)
{
}

bool QtUnixSocket::connectTo(const QString &path)
{
    return connectTo(path, QDeadlineTimer(controlConnectTimeoutMs));
}

bool QtUnixSocket::connectTo(const QString &path, const QDeadlineTimer &deadline)
{
    sockaddr_un address;
    socklen_t length;
    const int fd = openUnixStreamSocket(path, &address, &length);
    if (fd < 0)
        return false;
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0
        || !connectWithin(fd, address, length, deadline)
        || !setSocketDescriptor(fd, ConnectedState, ReadWrite)) {
        ::close(fd);
        return false;
    }
    return true;
}

bool QtUnixSocket::peerCredentials(pid_t *pid, uid_t *uid) const
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (socketDescriptor() < 0
        || ::getsockopt(int(socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return false;
    *pid = credentials.pid;
    *uid = credentials.uid;
    return true;
}
