#include "controlconnection.h"

#include <QSocketNotifier>

#include <cerrno>
#include <utility>

#include <sys/socket.h>
#include <unistd.h>

ControlConnection::ControlConnection(int descriptor, uid_t peerUid, int idleTimeoutMs,
                                     QObject *parent)
    : QObject(parent), fd(descriptor), peerUid(peerUid)
{
    idle.setSingleShot(true);
    idle.setInterval(idleTimeoutMs);
    connect(&idle, &QTimer::timeout, this, &ControlConnection::abort);
    idle.start();
    // Every read and send is made with MSG_DONTWAIT: none waits on a client,
    // whether or not the descriptor came non-blocking.
    reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(reader, &QSocketNotifier::activated, this, &ControlConnection::readPending);
    writer = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writer->setEnabled(false);
    connect(writer, &QSocketNotifier::activated, this, &ControlConnection::sendPending);
}

ControlConnection::~ControlConnection()
{
    // The notifiers go before the descriptor they watch.
    delete reader;
    delete writer;
    if (fd >= 0)
        ::close(fd);
}

QByteArray ControlConnection::readAll()
{
    return std::exchange(input, QByteArray());
}

void ControlConnection::write(const QByteArray &data)
{
    if (fd < 0)
        return;
    output += data;
    sendPending();
}

void ControlConnection::abort()
{
    output.clear();
    closeNow();
}

void ControlConnection::disconnectFromHost()
{
    if (fd < 0)
        return;
    closing = true;
    reader->setEnabled(false);
    if (output.isEmpty())
        closeNow();
}

void ControlConnection::readPending()
{
    char buffer[4096];
    bool ended = false;
    qsizetype taken = 0;
    while (fd >= 0 && taken < readChunk) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            input.append(buffer, n);
            taken += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // End of stream, or an error such as a reset: either ends it.
        ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        break;
    }
    if (taken > 0)
        emit readyRead();
    if (ended)
        closeNow();
}

void ControlConnection::sendPending()
{
    while (fd >= 0 && !output.isEmpty()) {
        // No SIGPIPE from a client that went away: the error says it.
        const ssize_t n = ::send(fd, output.constData(), size_t(output.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            output.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            writer->setEnabled(true);
            return;
        }
        output.clear();
        closeNow();
        return;
    }
    if (fd < 0)
        return;
    writer->setEnabled(false);
    if (closing)
        closeNow();
}

void ControlConnection::closeNow()
{
    if (fd < 0)
        return;
    // The notifiers go before the descriptor they watch.
    reader->setEnabled(false);
    writer->setEnabled(false);
    idle.stop();
    ::close(fd);
    fd = -1;
    emit disconnected();
}
