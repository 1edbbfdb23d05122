#ifndef CONTROLCONNECTION_H
#define CONTROLCONNECTION_H

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <sys/types.h>

class QSocketNotifier;

// One accepted connection of the control socket, driven from the event loop
// on its non-blocking descriptor: what arrives is announced by readyRead(),
// replies are sent at once and the rest kept until the peer takes it, and
// disconnected() tells, once, that the descriptor is closed, whether the
// peer ended, an error ended it or this side closed it. A connection left
// idle for its idle time is closed (aborted).
class ControlConnection : public QObject
{
    Q_OBJECT
public:
    // Takes the descriptor of the peer user peerUid over; it is closed with
    // the connection.
    ControlConnection(int descriptor, uid_t peerUid, int idleTimeoutMs, QObject *parent = nullptr);
    ~ControlConnection() override;

    // The most read in one turn of the event loop, so that a peer that
    // writes without pause cannot keep the loop or the memory to itself.
    static constexpr qsizetype readChunk = 16 * 1024;

    bool isOpen() const { return fd >= 0; }
    uid_t peer() const { return peerUid; }
    qsizetype bytesAvailable() const { return input.size(); }
    qsizetype bytesToWrite() const { return output.size(); }

    // What arrived since the last call.
    QByteArray readAll();
    // Queues data and sends what the socket takes now.
    void write(const QByteArray &data);
    // Starts the idle time anew.
    void restartIdleTimer() { idle.start(); }
    // Closes at once; queued replies are dropped.
    void abort();
    // Stops reading and closes once the queued replies are sent.
    void disconnectFromHost();

Q_SIGNALS:
    void readyRead();
    void disconnected();

private:
    void readPending();
    void sendPending();
    void closeNow();

    int fd = -1;
    const uid_t peerUid;
    bool closing = false;
    QTimer idle;
    QByteArray input;
    QByteArray output;
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
};

#endif // CONTROLCONNECTION_H
