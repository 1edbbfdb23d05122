#include "qtunixsocket.h"

#include "controlsocket.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

QtUnixSocket::~QtUnixSocket()
{
    close();
}

bool QtUnixSocket::connectTo(const QString &path)
{
    close();
    sockaddr_un address;
    socklen_t length;
    const int socket = openUnixStreamSocket(path, &address, &length);
    if (socket < 0)
        return false;
    int result;
    do {
        result = ::connect(socket, reinterpret_cast<const sockaddr *>(&address), length);
    } while (result != 0 && errno == EINTR);
    if (result != 0 || ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK) != 0) {
        ::close(socket);
        return false;
    }
    fd = socket;
    return true;
}

void QtUnixSocket::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool QtUnixSocket::waitFor(short events, const QDeadlineTimer &deadline) const
{
    for (;;) {
        pollfd watched = { fd, events, 0 };
        const qint64 left = deadline.remainingTime();
        const int result = ::poll(&watched, 1, int(qMin<qint64>(left, 60 * 60 * 1000)));
        if (result > 0)
            return true;
        if (result == 0 || errno != EINTR)
            return false;
    }
}

bool QtUnixSocket::write(const QByteArray &data, const QDeadlineTimer &deadline)
{
    for (qsizetype at = 0; fd >= 0 && at < data.size();) {
        const ssize_t n = ::send(fd, data.constData() + at, size_t(data.size() - at), MSG_NOSIGNAL);
        if (n > 0)
            at += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(POLLOUT, deadline))
            return false;
    }
    return fd >= 0;
}

bool QtUnixSocket::read(QByteArray *data, const QDeadlineTimer &deadline)
{
    char buffer[256];
    while (fd >= 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            data->append(buffer, n);
            return true;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        if (errno != EINTR && !waitFor(POLLIN, deadline))
            return false;
    }
    return false;
}
