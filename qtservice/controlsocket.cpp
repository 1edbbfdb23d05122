#include "controlsocket.h"

#include "qtunixsocket.h"
#include "servicelock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QScopeGuard>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/syscall.h>
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

bool makeUnixAddress(const QString &path, sockaddr_un *address, socklen_t *length)
{
    const QByteArray bytes = path.toLatin1();
    std::memset(address, 0, sizeof *address);
    if (bytes.isEmpty() || size_t(bytes.size()) >= sizeof address->sun_path)
        return false;
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, bytes.constData(), size_t(bytes.size()));
    *length = socklen_t(bytes.size() + 2);
    return true;
}

int openUnixStreamSocket(const QString &path, sockaddr_un *address, socklen_t *length)
{
    if (!makeUnixAddress(path, address, length))
        return -1;
    // Close-on-exec: the workers the daemon starts must not inherit it.
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
        && !ServiceLock::isDaemon(serviceName, result.peer.pid, result.peer.uid))
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

bool findControlListener(const QString &serviceName, ControlPeer *peer)
{
    QtUnixSocket socket;
    return socket.connectTo(controlSocketPath(serviceName))
        && socket.peerCredentials(&peer->pid, &peer->uid);
}

DaemonSighting findServiceDaemon(const QString &serviceName)
{
    // A daemon busy starting a worker, or with every connection taken, still
    // runs: the lock is asked first, the socket only where it shows none.
    DaemonSighting sighting;
    pid_t holder = 0;
    if (ServiceLock::probe(serviceName, &holder) == ServiceLock::State::Held) {
        sighting.running = sighting.locked = true;
        sighting.peer = { holder, ::geteuid() };
        return sighting;
    }
    sighting.running = findControlListener(serviceName, &sighting.peer);
    return sighting;
}

namespace {

bool processEnded(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    const QByteArray stat = [pid] {
        QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    const qsizetype state = stat.lastIndexOf(')') + 2;
    return state < stat.size() && (stat.at(state) == 'Z' || stat.at(state) == 'X');
}

} // namespace

bool waitForProcessEnd(pid_t pid, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    // The process's own descriptor turns readable when it ends: the wait is
    // over then, not at the next look 20 ms later, which used to be most of
    // a -t. Without one (a kernel before 5.3), the state is looked at every
    // 20 ms. (The C library's pidfd_open() is not declared for C++ in
    // Debian 12.)
    const int descriptor = pid > 0 ? int(::syscall(SYS_pidfd_open, pid, 0)) : -1;
    const auto closeDescriptor = qScopeGuard([descriptor] {
        if (descriptor >= 0)
            ::close(descriptor);
    });
    pollfd end = { descriptor, POLLIN, 0 };
    while (pid > 0 && !processEnded(pid)) {
        if (deadline.hasExpired())
            return false;
        if (::poll(&end, descriptor >= 0 ? 1 : 0, 20) > 0)
            break;
    }
    return pid > 0;
}

bool stopControlListener(const QString &serviceName, const ControlPeer &peer, int timeoutMs)
{
    // Any local user may send "terminate"; whether it was obeyed shows only
    // in the end of that process, not in a reply anybody can fake.
    const QDeadlineTimer deadline(timeoutMs);
    exchangeControlCommand(serviceName, QStringLiteral("terminate"), ControlRecipient::Anyone, timeoutMs);
    return waitForProcessEnd(peer.pid, int(deadline.remainingTime()));
}
