#ifndef QTUNIXSOCKET_H
#define QTUNIXSOCKET_H

#include <QTcpSocket>

// A stream socket connected over a Unix-domain path. The descriptor is
// connected with the system calls and then handed to QTcpSocket, whose
// buffering and waiting do the rest.
class QtUnixSocket : public QTcpSocket
{
    Q_OBJECT
public:
    explicit QtUnixSocket(QObject *parent = nullptr);

    bool connectTo(const QString &path);
};

#endif // QTUNIXSOCKET_H
