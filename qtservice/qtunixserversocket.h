#ifndef QTUNIXSERVERSOCKET_H
#define QTUNIXSERVERSOCKET_H

#include <QTcpServer>

#include <sys/types.h>

class QSocketNotifier;

// A listening stream socket on a Unix-domain path: the descriptor is bound
// with the system calls and then handed to QTcpServer, which owns and closes
// it. Connections are accepted from the event loop and passed to
// incomingConnection(), as QTcpServer does, but by this class: an accept
// that failed for want of descriptors or memory must pause accepting for
// acceptBackOffMs, and QTcpServer (Qt 6.4) reports such a failure as a
// temporary error once its engine has met the end of the queue, and retries
// at once for as long as the want lasts. Its own accepting therefore stays
// paused. The socket file is made accessible to every local user and removed
// by close(), not by the destructor.
class QtUnixServerSocket : public QTcpServer
{
    Q_OBJECT
public:
    explicit QtUnixServerSocket(QObject *parent = nullptr);
    QtUnixServerSocket(const QString &path, QObject *parent = nullptr);
    ~QtUnixServerSocket() override;

    // Listens on path, replacing a socket file left there. False, not
    // listening, when the path does not fit a socket address, when something
    // other than a socket stands at the path (it is left alone), or when the
    // socket cannot be set up; setupError() then holds the errno.
    bool setPath(const QString &path);
    QString socketPath() const { return path; }
    int setupError() const { return lastError; }

    // Stops listening and removes the socket file this server made.
    void close();

    // The pause of accepting after an accept error (no descriptors or
    // memory left).
    static constexpr int acceptBackOffMs = 1000;

private:
    bool fail(int fd, int error);
    void acceptPending();
    void resumeAfterBackOff();

    QSocketNotifier *notifier = nullptr;
    QString path;
    int lastError = 0;
    // The socket file this server created. A second daemon of the same name
    // may have replaced it since; close() then leaves the newer one alone.
    dev_t fileDevice = 0;
    ino_t fileInode = 0;
};

#endif // QTUNIXSERVERSOCKET_H
