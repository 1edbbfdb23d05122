#include "qtunixserversocket.h"

#include "controlsocket.h"


#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int listenBacklog = 5;

} // namespace

QtUnixServerSocket::QtUnixServerSocket(QObject *parent)
    : QTcpServer(parent)
{
}

QtUnixServerSocket::QtUnixServerSocket(const QString &path, QObject *parent)
    : QTcpServer(parent)
{
    setPath(path);
}

bool QtUnixServerSocket::setPath(const QString &path)
{
    socketPath.clear();
    sockaddr_un address;
    socklen_t length;
    const int fd = openUnixStreamSocket(path, &address, &length);
    if (fd < 0)
        return false;
    // A file left by an earlier daemon that died without cleaning up would
    // keep bind() from succeeding.
    ::unlink(address.sun_path);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0
        || ::listen(fd, listenBacklog) != 0) {
        ::close(fd);
        return false;
    }
    // Every local user may control the service, whatever the umask made of
    // the file.
    ::chmod(address.sun_path, 0666);
    struct stat info;
    if (::stat(address.sun_path, &info) == 0) {
        fileDevice = info.st_dev;
        fileInode = info.st_ino;
    }
    if (!setSocketDescriptor(fd)) {
        ::unlink(address.sun_path);
        ::close(fd);
        return false;
    }
    socketPath = path;
    return true;
}

void QtUnixServerSocket::close()
{
    QTcpServer::close();
    if (socketPath.isEmpty())
        return;
    // The address holds the path in Latin-1; so does the file name.
    const QByteArray file = socketPath.toLatin1();
    struct stat info;
    if (::lstat(file.constData(), &info) == 0 && info.st_dev == fileDevice
        && info.st_ino == fileInode)
        ::unlink(file.constData());
    socketPath.clear();
}
