#ifndef QTUNIXSOCKET_H
#define QTUNIXSOCKET_H

#include <QDeadlineTimer>
#include <QTcpSocket>

#include <sys/types.h>

// A stream socket connected over a Unix-domain path. The descriptor is
// connected with the system calls, without blocking, and then handed to
// QTcpSocket, whose buffering and waiting do the rest.
class QtUnixSocket : public QTcpSocket
{
    Q_OBJECT
public:
    explicit QtUnixSocket(QObject *parent = nullptr);

    // How long connectTo(path) may take: a daemon accepts from its event
    // loop, and a listener whose queue stays full this long is taken for one
    // that never accepts.
    static constexpr int connectTimeoutMs = 5000;

    // Connects within connectTimeoutMs.
    bool connectTo(const QString &path);
    // False when nobody listens at path, or when the listener's queue stays
    // full until the deadline: a listener that never accepts holds no
    // caller.
    bool connectTo(const QString &path, const QDeadlineTimer &deadline);

    // The process that listens at the other end and its user, as the kernel
    // recorded them when it called listen(). False when not connected.
    bool peerCredentials(pid_t *pid, uid_t *uid) const;
};

#endif // QTUNIXSOCKET_H
