#ifndef DATAGRAMSOCKET_H
#define DATAGRAMSOCKET_H

#include <QByteArray>

#include <sys/socket.h>
#include <sys/un.h>

// Sends datagrams to one Unix-domain address without ever waiting: a
// receiver whose queue is full makes send() fail at once (EAGAIN) instead of
// holding up the caller's event loop, as syslog() and sd_notify() would.
// Every datagram is addressed on its own, so a receiver that was restarted
// (a system logger, systemd) is reached again without reconnecting.
class DatagramSocket
{
public:
    DatagramSocket() = default;
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket &) = delete;
    DatagramSocket &operator=(const DatagramSocket &) = delete;

    // The receiver: a path, or with a leading '@' a name in the abstract
    // namespace. False when it cannot be an address.
    bool setAddress(const QByteArray &name);

    // Makes the socket (also done by the first send). False with errno.
    bool open();

    // Sends datagram whole; false with errno (EMSGSIZE when it went out cut).
    bool send(const QByteArray &datagram);

private:
    int fd = -1;
    sockaddr_un address{};
    socklen_t addressLength = 0;
};

#endif // DATAGRAMSOCKET_H
