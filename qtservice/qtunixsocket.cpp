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
    const int fd = openUnixStreamSocket(path, &address, &length);
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
