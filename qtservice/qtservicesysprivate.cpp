#include "qtservicesysprivate.h"

#include "qtservicebase_p.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// The user at the other end, as the kernel recorded it at connect().
bool peerUid(int fd, uid_t *uid)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return false;
    *uid = credentials.uid;
    return true;
}

} // namespace

QtServiceSysPrivate::QtServiceSysPrivate()
    : QtUnixServerSocket(nullptr)
{
}

bool QtServiceSysPrivate::admit(int socketDescriptor, uid_t *peer)
{
    if (!peerUid(socketDescriptor, peer))
        return false;
    const int own = connectionsOf.value(*peer);
    if (*peer == 0)
        return own < maxConnections;
    return own < maxConnectionsPerUser && othersConnections < maxConnections;
}

QtServiceSysPrivate::~QtServiceSysPrivate() = default;

void QtServiceSysPrivate::incomingConnection(qintptr socketDescriptor)
{
    uid_t peer = 0;
    if (!admit(int(socketDescriptor), &peer)) {
        ::close(int(socketDescriptor));
        return;
    }
    auto *connection = new QTcpSocket(this);
    if (!connection->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState,
                                         QIODevice::ReadWrite)) {
        // The socket did not take the descriptor over.
        delete connection;
        ::close(int(socketDescriptor));
        return;
    }
    connection->setReadBufferSize(readChunk);
    // Restarted by every command completed; a connection that holds a place
    // without using it gives it up.
    auto *idle = new QTimer(connection);
    idle->setSingleShot(true);
    connect(idle, &QTimer::timeout, connection, &QTcpSocket::abort);
    idle->start(idleTimeoutMs);
    peers.insert(connection, { peer, idle });
    ++connectionsOf[peer];
    if (peer != 0)
        ++othersConnections;
    connect(connection, &QTcpSocket::readyRead, this, &QtServiceSysPrivate::slotReady);
    connect(connection, &QTcpSocket::disconnected, this, &QtServiceSysPrivate::slotClosed);
}

void QtServiceSysPrivate::slotReady()
{
    auto *connection = qobject_cast<QTcpSocket *>(sender());
    if (!connection || !peers.contains(connection))
        return;
    pendingInput[connection] += connection->readAll();

    for (QString command = nextCommand(connection); !command.isEmpty();
         command = nextCommand(connection)) {
        connection->write(perform(command) ? "true" : "false");
        connection->flush();
        // A client that went away ends the connection inside flush().
        const auto peer = peers.constFind(connection);
        if (peer == peers.constEnd())
            return;
        peer->idle->start(idleTimeoutMs);
        if (connection->bytesToWrite() > maxPendingOutput) {
            pendingInput.remove(connection);
            connection->abort();
            return;
        }
    }

    if (pendingInput.value(connection).size() > maxPendingInput) {
        pendingInput.remove(connection);
        connection->disconnectFromHost();
    }
}

void QtServiceSysPrivate::slotClosed()
{
    auto *connection = qobject_cast<QTcpSocket *>(sender());
    const auto found = peers.find(connection);
    if (found == peers.end())
        return;
    const uid_t peer = found->uid;
    peers.erase(found);
    pendingInput.remove(connection);
    if (--connectionsOf[peer] <= 0)
        connectionsOf.remove(peer);
    if (peer != 0)
        --othersConnections;
    connection->deleteLater();
}

QString QtServiceSysPrivate::nextCommand(QTcpSocket *connection)
{
    // Commands are split on bytes, so a character cut in two by the stream
    // is decoded whole.
    const auto found = pendingInput.find(connection);
    if (found == pendingInput.end())
        return QString();
    QByteArray &pending = found.value();
    const qsizetype end = pending.indexOf("\r\n");
    if (end < 0)
        return QString();
    const QString command = QString::fromUtf8(pending.constData(), end);
    pending.remove(0, end + 2);
    return command;
}

bool QtServiceSysPrivate::perform(const QString &command)
{
    QtServiceBase *service = QtServiceBase::instance();
    if (command == QLatin1String("alive"))
        return true;
    if (!service)
        return false;
    QtServiceBasePrivate *d = service->d_ptr.get();
    if (command == QLatin1String("terminate")) {
        if (serviceFlags & QtServiceBase::CannotStop)
            return false;
        d->stopService();
        QCoreApplication::quit();
        return true;
    }
    if (command == QLatin1String("pause") || command == QLatin1String("resume")) {
        if (!(serviceFlags & QtServiceBase::CanPause))
            return false;
        if (command == QLatin1String("pause"))
            d->pauseService();
        else
            d->resumeService();
        return true;
    }
    if (command.startsWith(QLatin1String("num:")) && command.size() > 4) {
        // No number, or one out of range, is code 0.
        d->processCommand(command.mid(4).toInt());
        return true;
    }
    return false;
}
