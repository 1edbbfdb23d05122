#ifndef QTSERVICESYSPRIVATE_H
#define QTSERVICESYSPRIVATE_H

#include "qtservicebase.h"
#include "qtunixserversocket.h"

#include <QByteArray>
#include <QHash>

#include <sys/types.h>

class QTcpSocket;
class QTimer;

// The daemon side of the control socket: reads command lines from every
// connection and calls the matching operation of the running service, one
// command at a time, replying "true" or "false" to each.
class QtServiceSysPrivate : public QtUnixServerSocket
{
    Q_OBJECT
public:
    QtServiceSysPrivate();
    ~QtServiceSysPrivate() override;

    // Input without CR LF beyond this is no command; the connection that sent
    // it is closed after the replies already due.
    static constexpr qsizetype maxPendingInput = 4096;

    // Replies held for a connection once the system's socket buffers are
    // full. A client that goes on sending commands without reading the
    // replies is cut off here instead of growing the daemon's memory.
    static constexpr qint64 maxPendingOutput = 4096;

    // Connections open at the same time; a further one is closed at once.
    // Any local user may connect, and each connection holds a descriptor:
    // without a bound the daemon could be left without descriptors, spinning
    // on the listening socket and unable to start a worker. Root has this
    // many of its own; all other users share as many, at most
    // maxConnectionsPerUser each, so that no user can shut root out.
    static constexpr int maxConnections = 256;
    static constexpr int maxConnectionsPerUser = 32;

    // A connection that has not completed a command for this long is closed.
    static constexpr int idleTimeoutMs = 10000;

    // The most a connection's socket holds unread, and so the most read in
    // one turn of the event loop: a peer that writes without pause cannot
    // keep the loop or the memory to itself.
    static constexpr qint64 readChunk = 16 * 1024;

    QtServiceBase::ServiceFlags serviceFlags;
    QByteArray ident; // the daemon's name in the system log, made on first use

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private Q_SLOTS:
    void slotReady();
    void slotClosed();

private:
    // What the server keeps of an accepted connection besides its input.
    struct Peer
    {
        uid_t uid;
        QTimer *idle; // a child of the connection
    };

    bool admit(int socketDescriptor, uid_t *peer);
    QString nextCommand(QTcpSocket *connection);
    bool perform(const QString &command);

    QHash<QTcpSocket *, QByteArray> pendingInput;
    QHash<QTcpSocket *, Peer> peers;
    QHash<uid_t, int> connectionsOf;
    int othersConnections = 0; // of every user but root
};

#endif // QTSERVICESYSPRIVATE_H
