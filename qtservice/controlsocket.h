#ifndef CONTROLSOCKET_H
#define CONTROLSOCKET_H

#include <QString>

#include <sys/socket.h>
#include <sys/un.h>

// The control socket of a service: its path, derived from the service name,
// and the client side of the line protocol ("terminate", "pause", "resume",
// "alive", "num:<code>", each ended by CR LF; the daemon replies "true" or
// "false").

// The name lower-cased, with everything but a-z and 0-9 removed.
QString sanitizedName(const QString &name);

// "/var/tmp/" + sanitizedName(name) + ".qtservice"
QString controlSocketPath(const QString &name);

// Sends one command to the daemon of serviceName and waits for its reply.
// True only when the daemon replied "true"; false when no daemon listens,
// when it replied anything else, or when no reply came within
// controlReplyTimeoutMs.
bool sendControlCommand(const QString &serviceName, const QString &command);

// A daemon may be busy for up to 30 s for each of its two workers while it
// waits for them to start; the client waits a little longer than both.
inline constexpr int controlReplyTimeoutMs = 65000;

// Fills a Unix-domain address for path. Refuses (false) a path that does not
// fit the address's path field together with its terminating zero, rather
// than cutting it onto another path.
bool makeUnixAddress(const QString &path, sockaddr_un *address, socklen_t *length);

// A new close-on-exec Unix-domain stream socket with the address of path;
// -1 when the path does not fit an address or no socket can be made.
int openUnixStreamSocket(const QString &path, sockaddr_un *address, socklen_t *length);

#endif // CONTROLSOCKET_H
