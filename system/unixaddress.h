#ifndef UNIXADDRESS_H
#define UNIXADDRESS_H

#include <QString>

#include <sys/socket.h>
#include <sys/un.h>

// Fills a Unix-domain address for path. Refuses (false) an empty path and
// one that does not fit the address's path field together with its
// terminating zero, rather than cutting it onto another path. The length
// counts the path's bytes only, so that a caller may turn the address into
// an abstract one by zeroing its first byte.
bool makeUnixAddress(const QString &path, sockaddr_un *address, socklen_t *length);

// A new close-on-exec Unix-domain socket of type (SOCK_STREAM or SOCK_DGRAM,
// with SOCK_NONBLOCK or not) and the address of path; -1 when the path does
// not fit an address or no socket can be made.
int openUnixSocket(int type, const QString &path, sockaddr_un *address, socklen_t *length);

#endif // UNIXADDRESS_H
