#ifndef QTUNIXSOCKET_H
#define QTUNIXSOCKET_H

#include <QByteArray>
#include <QString>

class QDeadlineTimer;

// The client end of a stream socket over a Unix-domain path: connected with
// the system calls, then written and read with waits bounded by a deadline,
// so that a daemon that stopped answering never holds a command forever.
class QtUnixSocket
{
public:
    QtUnixSocket() = default;
    ~QtUnixSocket();
    Q_DISABLE_COPY_MOVE(QtUnixSocket)

    bool connectTo(const QString &path);
    bool isOpen() const { return fd >= 0; }

    // Sends all of data. False when the peer is gone or took nothing more
    // before the deadline.
    bool write(const QByteArray &data, const QDeadlineTimer &deadline);
    // Appends what arrives before the deadline to data. False when nothing
    // came: the deadline passed, the stream ended or an error ended it.
    bool read(QByteArray *data, const QDeadlineTimer &deadline);

    void close();

private:
    bool waitFor(short events, const QDeadlineTimer &deadline) const;

    int fd = -1;
};

#endif // QTUNIXSOCKET_H
