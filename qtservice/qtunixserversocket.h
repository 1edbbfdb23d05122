#ifndef QTUNIXSERVERSOCKET_H
#define QTUNIXSERVERSOCKET_H

#include <QTcpServer>

#include <sys/types.h>

// A listening stream socket on a Unix-domain path, handed to QTcpServer for
// accepting connections in the event loop. The socket file is made
// accessible to every local user and removed by close(), not by the
// destructor.
class QtUnixServerSocket : public QTcpServer
{
    Q_OBJECT
public:
    explicit QtUnixServerSocket(QObject *parent = nullptr);
    QtUnixServerSocket(const QString &path, QObject *parent = nullptr);

    // Listens on path, replacing any file there. False, not listening, when
    // the path does not fit a socket address or the socket cannot be set up.
    bool setPath(const QString &path);
    QString path() const { return socketPath; }

    void close();

private:
    QString socketPath;
    // The socket file this server created. A second daemon of the same name
    // may have replaced it since; close() then leaves the newer one alone.
    dev_t fileDevice = 0;
    ino_t fileInode = 0;
};

#endif // QTUNIXSERVERSOCKET_H
