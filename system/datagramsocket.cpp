#include "datagramsocket.h"

#include "unixaddress.h"

#include <QString>

#include <cerrno>
#include <unistd.h>

DatagramSocket::~DatagramSocket()
{
    if (fd >= 0)
        ::close(fd);
}

bool DatagramSocket::setAddress(const QByteArray &name)
{
    addressLength = 0;
    if (!makeUnixAddress(QString::fromLatin1(name), &address, &addressLength))
        return false;
    if (name.front() == '@')
        address.sun_path[0] = '\0';
    return true;
}

bool DatagramSocket::open()
{
    if (fd < 0)
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd >= 0;
}

bool DatagramSocket::send(const QByteArray &datagram)
{
    if (addressLength == 0) {
        errno = EDESTADDRREQ;
        return false;
    }
    if (!open())
        return false;
    for (;;) {
        const ssize_t sent = ::sendto(fd, datagram.constData(), size_t(datagram.size()),
                                      MSG_DONTWAIT | MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr *>(&address), addressLength);
        if (sent == ssize_t(datagram.size()))
            return true;
        if (sent >= 0)
            errno = EMSGSIZE;
        else if (errno == EINTR)
            continue;
        return false;
    }
}
