#include "unixaddress.h"

#include <QByteArray>

#include <cstring>

bool makeUnixAddress(const QString &path, sockaddr_un *address, socklen_t *length)
{
    const QByteArray bytes = path.toLatin1();
    std::memset(address, 0, sizeof *address);
    if (bytes.isEmpty() || size_t(bytes.size()) >= sizeof address->sun_path)
        return false;
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, bytes.constData(), size_t(bytes.size()));
    *length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(bytes.size()));
    return true;
}

int openUnixSocket(int type, const QString &path, sockaddr_un *address, socklen_t *length)
{
    if (!makeUnixAddress(path, address, length))
        return -1;
    // Close-on-exec: the workers a daemon starts must not inherit it.
    return ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
}
