#include "qtunixsocket.h"

#include "deadlinepoll.h"
#include "unixaddress.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A Unix socket whose listener's queue is full refuses a non-blocking
// connect with EAGAIN and gives no sign when room is made: it is tried again
// after this pause.
constexpr int queueFullRetryMs = 20;

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
            return pollUntil(fd, POLLOUT, deadline)
                && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        }
        if (errno != EAGAIN || deadline.hasExpired())
            return false;
        pauseWithin(queueFullRetryMs, deadline);
    }
}

} // namespace

QtUnixSocket::QtUnixSocket(QObject *parent)
    : QTcpSocket(parent)
{
}

bool QtUnixSocket::connectTo(const QString &path)
{
    return connectTo(path, QDeadlineTimer(connectTimeoutMs));
}

bool QtUnixSocket::connectTo(const QString &path, const QDeadlineTimer &deadline)
{
    sockaddr_un address;
    socklen_t length;
    const int fd = openUnixSocket(SOCK_STREAM | SOCK_NONBLOCK, path, &address, &length);
    if (fd < 0)
        return false;
    if (!connectWithin(fd, address, length, deadline)
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
