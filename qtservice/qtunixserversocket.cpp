#include "qtunixserversocket.h"

#include "controlsocket.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int listenBacklog = 5;

// Connections accepted in one go before the loop gets its turn again.
constexpr int acceptBatch = 32;

} // namespace

QtUnixServerSocket::QtUnixServerSocket(QObject *parent)
    : QObject(parent)
{
}

QtUnixServerSocket::QtUnixServerSocket(const QString &path, QObject *parent)
    : QObject(parent)
{
    setPath(path);
}

QtUnixServerSocket::~QtUnixServerSocket()
{
    stopListening();
}

void QtUnixServerSocket::stopListening()
{
    delete notifier;
    notifier = nullptr;
    if (listenFd >= 0)
        ::close(listenFd);
    listenFd = -1;
}

bool QtUnixServerSocket::setPath(const QString &path)
{
    stopListening();
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
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        ::unlink(address.sun_path);
        ::close(fd);
        return false;
    }
    listenFd = fd;
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &QtUnixServerSocket::acceptPending);
    socketPath = path;
    return true;
}

void QtUnixServerSocket::acceptPending()
{
    for (int i = 0; i < acceptBatch && notifier && notifier->isEnabled(); ++i) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
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
        QTimer::singleShot(acceptBackOffMs, this, &QtUnixServerSocket::resumeAccepting);
        return;
    }
}

void QtUnixServerSocket::resumeAccepting()
{
    if (notifier)
        notifier->setEnabled(true);
}

void QtUnixServerSocket::incomingConnection(qintptr socketDescriptor)
{
    ::close(int(socketDescriptor));
}

void QtUnixServerSocket::close()
{
    stopListening();
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
