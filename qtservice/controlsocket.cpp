#include "controlsocket.h"

#include "processend.h"
#include "qtunixsocket.h"
#include "servicelock.h"

#include <QDeadlineTimer>

#include <unistd.h>

QString sanitizedName(const QString &name)
{
    static const QString allowed = QStringLiteral("abcdefghijklmnopqrstuvwxyz1234567890");
    QString result;
    for (const QChar c : name.toLower()) {
        if (allowed.contains(c))
            result.append(c);
    }
    return result;
}

QString controlSocketPath(const QString &name)
{
    return QStringLiteral("/var/tmp/") + sanitizedName(name) + QStringLiteral(".qtservice");
}

namespace {

// The reply is one word; a stream may deliver it in pieces.
bool isIncompleteReply(const QByteArray &reply)
{
    return reply.size() < 5 && (QByteArrayLiteral("true").startsWith(reply)
                                || QByteArrayLiteral("false").startsWith(reply))
        && reply != "true";
}

} // namespace

ControlExchange exchangeControlCommand(const QString &serviceName, const QString &command,
                                       ControlRecipient recipient, int timeoutMs)
{
    // One deadline for connecting, sending and the reply.
    const QDeadlineTimer deadline(timeoutMs);
    ControlExchange result;
    QtUnixSocket socket;
    const QDeadlineTimer connectDeadline(qMin<qint64>(controlConnectTimeoutMs, deadline.remainingTime()));
    result.connected = socket.connectTo(controlSocketPath(serviceName), connectDeadline)
        && socket.peerCredentials(&result.peer.pid, &result.peer.uid);
    if (!result.connected)
        return result;
    if (recipient == ControlRecipient::ServiceDaemon
        && !ServiceLock::isDaemon(sanitizedName(serviceName), result.peer.pid, result.peer.uid))
        return result;
    socket.write(command.toLatin1() + "\r\n");
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(int(deadline.remainingTime()))) {
    }
    result.sent = socket.bytesToWrite() == 0;
    while (result.sent && isIncompleteReply(result.reply)
           && socket.waitForReadyRead(int(deadline.remainingTime())))
        result.reply += socket.readAll();
    return result;
}

bool sendControlCommand(const QString &serviceName, const QString &command)
{
    return exchangeControlCommand(serviceName, command).confirmed();
}

bool findControlListener(const QString &serviceName, ControlPeer *peer, int timeoutMs)
{
    QtUnixSocket socket;
    return socket.connectTo(controlSocketPath(serviceName), QDeadlineTimer(timeoutMs))
        && socket.peerCredentials(&peer->pid, &peer->uid);
}

DaemonSighting findServiceDaemon(const QString &serviceName)
{
    const QString service = sanitizedName(serviceName);
    DaemonSighting sighting;
    pid_t holder = 0;
    ControlPeer listener;
    if (ServiceLock::probe(service, &holder) == ServiceLock::State::Held) {
        sighting.running = sighting.locked = true;
        sighting.peer = { holder, ::geteuid() };
        // A lock taken where its record could not be written names nobody:
        // the holder is the listener, if it holds the lock, or is looked for
        // among the processes.
        if (holder <= 0)
            sighting.peer.pid = findControlListener(serviceName, &listener, strangerProbeTimeoutMs)
                    && ServiceLock::heldBy(service, listener.pid) == ServiceLock::State::Held
                ? listener.pid : ServiceLock::findHolder(service);
        return sighting;
    }
    if (!findControlListener(serviceName, &listener, strangerProbeTimeoutMs)
        || !ServiceLock::isDaemon(service, listener.pid, listener.uid))
        return sighting;
    sighting.peer = listener;
    if (ServiceLock::heldBy(service, listener.pid) == ServiceLock::State::Held) {
        sighting.running = true;
        return sighting;
    }
    // Root's daemon, to another user, proves itself by its answer; it may be
    // busy starting a worker, and answers late.
    const ControlExchange alive = exchangeControlCommand(serviceName, QStringLiteral("alive"));
    sighting.running = alive.confirmed();
    sighting.peer = alive.peer;
    return sighting;
}

bool stopControlListener(const QString &serviceName, const ControlPeer &peer, int timeoutMs)
{
    // Any local user may send "terminate"; whether it was obeyed shows only
    // in the end of that process, not in a reply anybody can fake, and in
    // nobody listening after it: the process that called listen() may have
    // left a child listening in its place.
    const QDeadlineTimer deadline(timeoutMs);
    exchangeControlCommand(serviceName, QStringLiteral("terminate"), ControlRecipient::Anyone, timeoutMs);
    ControlPeer still;
    return waitForProcessEnd(peer.pid, int(deadline.remainingTime()))
        && !findControlListener(serviceName, &still, listenerGoneCheckMs);
}
