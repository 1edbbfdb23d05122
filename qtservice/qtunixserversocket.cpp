#include "qtunixserversocket.h"

#include "unixaddress.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int listenBacklog = 5;

// Connections accepted in one go before the loop gets its turn again.
constexpr int acceptBatch = 32;

} // namespace

QtUnixServerSocket::QtUnixServerSocket(QObject *parent)
    : QTcpServer(parent)
{
}

QtUnixServerSocket::QtUnixServerSocket(const QString &path, QObject *parent)
    : QtUnixServerSocket(parent)
{
    setPath(path);
}

QtUnixServerSocket::~QtUnixServerSocket()
{
    // The notifier goes before the descriptor it watches.
    delete notifier;
}

bool QtUnixServerSocket::fail(int fd, int error)
{
    if (fd >= 0)
        ::close(fd);
    lastError = error;
    return false;
}

bool QtUnixServerSocket::setPath(const QString &newPath)
{
    delete notifier;
    notifier = nullptr;
    QTcpServer::close();
    path.clear();
    sockaddr_un address;
    socklen_t length;
    const int fd = openUnixSocket(SOCK_STREAM, newPath, &address, &length);
    if (fd < 0)
        return fail(-1, makeUnixAddress(newPath, &address, &length) ? errno : ENAMETOOLONG);
    // A socket file left by an earlier daemon that died without cleaning up
    // would keep bind() from succeeding. Anything else at the path belongs
    // to somebody else and stays.
    struct stat standing;
    if (::lstat(address.sun_path, &standing) == 0) {
        if (!S_ISSOCK(standing.st_mode))
            return fail(fd, EEXIST);
        ::unlink(address.sun_path);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0
        || ::listen(fd, listenBacklog) != 0)
        return fail(fd, errno);
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
        return fail(fd, EINVAL);
    }
    pauseAccepting();
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &QtUnixServerSocket::acceptPending);
    path = newPath;
    lastError = 0;
    return true;
}

void QtUnixServerSocket::acceptPending()
{
    const int listening = int(socketDescriptor());
    for (int i = 0; i < acceptBatch && notifier && notifier->isEnabled(); ++i) {
        const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            incomingConnection(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        // No descriptor or memory for another connection: it stays queued
        // until some are free again.
        notifier->setEnabled(false);
        QTimer::singleShot(acceptBackOffMs, this, &QtUnixServerSocket::resumeAfterBackOff);
        return;
    }
}

void QtUnixServerSocket::resumeAfterBackOff()
{
    if (notifier)
        notifier->setEnabled(true);
}

void QtUnixServerSocket::close()
{
    // The notifier goes before the descriptor it watches.
    delete notifier;
    notifier = nullptr;
    QTcpServer::close();
    if (path.isEmpty())
        return;
    // The address holds the path in Latin-1; so does the file name.
    const QByteArray file = path.toLatin1();
    struct stat info;
    if (::lstat(file.constData(), &info) == 0 && info.st_dev == fileDevice
        && info.st_ino == fileInode)
        ::unlink(file.constData());
    path.clear();
}
