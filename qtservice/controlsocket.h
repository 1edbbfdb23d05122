#ifndef CONTROLSOCKET_H
#define CONTROLSOCKET_H

#include "qtservicebase.h"
#include "qtunixsocket.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// The control socket of a service: its path, derived from the service name,
// and the client side of the line protocol ("terminate", "pause", "resume",
// "alive", "num:<code>", each ended by CR LF; the daemon replies "true" or
// "false").

// The name lower-cased, with everything but a-z and 0-9 removed.
QString sanitizedName(const QString &name);

// "/var/tmp/" + sanitizedName(name) + ".qtservice"
QString controlSocketPath(const QString &name);

// A daemon may be busy waiting for each of its two workers to start; the
// client waits a little longer than both.
inline constexpr int controlReplyTimeoutMs = 2 * programStartWaitMs + 5000;

// The part of that time a connection may take.
inline constexpr int controlConnectTimeoutMs = QtUnixSocket::connectTimeoutMs;

// The process listening on a control socket, as the kernel recorded it.
struct ControlPeer
{
    pid_t pid = 0;
    uid_t uid = uid_t(-1);
};

// One command on the control socket of a service, and what came of it.
struct ControlExchange
{
    bool connected = false; // somebody accepted the connection in time
    bool sent = false;      // the command went out
    ControlPeer peer;       // who accepted it
    QByteArray reply;       // what came back before the deadline

    bool confirmed() const { return reply == "true"; }
};

// Whom a command may go to: the service's own daemon, the holder of its lock
// (ServiceLock::isDaemon), or whoever listens on its socket.
enum class ControlRecipient { ServiceDaemon, Anyone };

// Connects without blocking, sends command + CR LF and reads the one-word
// reply, all within timeoutMs. Nothing is sent to a listener that is not the
// recipient asked for.
ControlExchange exchangeControlCommand(const QString &serviceName, const QString &command,
                                       ControlRecipient recipient = ControlRecipient::ServiceDaemon,
                                       int timeoutMs = controlReplyTimeoutMs);

// Sends one command to the daemon of serviceName and waits for its reply.
// True only when the service's daemon replied "true"; false when no daemon
// listens, when another process listens in its place, when it replied
// anything else, or when no reply came within controlReplyTimeoutMs.
bool sendControlCommand(const QString &serviceName, const QString &command);

// How long a listener that may be a stranger is given to accept or to
// answer: it may never do either, and must not hold whoever asks.
inline constexpr int strangerProbeTimeoutMs = 3000;

// How long a listener that should be gone is given to accept once more.
inline constexpr int listenerGoneCheckMs = 500;

// Whoever accepts on the control socket of serviceName, within timeoutMs.
// False when nobody does.
bool findControlListener(const QString &serviceName, ControlPeer *peer,
                         int timeoutMs = controlConnectTimeoutMs);

// Whether the service runs, the one judgement every command makes: a daemon
// of it, root's or a user's, that holds its lock and serves its socket. Where
// this user sees the lock held (its own, or root's as root), that decides,
// also while the daemon is too busy to answer. Otherwise the listener on the
// socket runs the service when its open files show it holding a lock of the
// service, or, as a process of root's that this user may not look into, when
// it answers "alive".
struct DaemonSighting
{
    bool running = false;
    bool locked = false; // seen by the lock this user can open
    ControlPeer peer;    // its pid and user; pid 0 when neither the lock nor the socket names it
};
DaemonSighting findServiceDaemon(const QString &serviceName);

// Sends "terminate" to whoever listens as peer, and waits up to timeoutMs
// for that process to end. True once it has ended and nobody listens on the
// socket any more.
bool stopControlListener(const QString &serviceName, const ControlPeer &peer, int timeoutMs);

// How long a stopping daemon may take to end, once it confirmed the stop or
// got SIGTERM: it stops its workers and removes its socket, which may have to
// wait for a worker's start that is under way.
inline constexpr int daemonEndTimeoutMs = programStartWaitMs;

#endif // CONTROLSOCKET_H
