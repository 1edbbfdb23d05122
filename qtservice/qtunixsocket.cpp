#include "qtunixsocket.h"

#include "controlsocket.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

QtUnixSocket::QtUnixSocket(QObject *parent)
    : QTcpSocket(parent)
{
}

bool QtUnixSocket::connectTo(const QString &path)
{
    sockaddr_un address;
    socklen_t length;
    if (!makeUnixAddress(path, &address, &length))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), length);
    } while (result != 0 && errno == EINTR);
    if (result != 0 || !setSocketDescriptor(fd, ConnectedState, ReadWrite)) {
        ::close(fd);
        return false;
    }
    return true;
}
