#include "systemdnotifier.h"

#include "controlsocket.h"

#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

SystemdNotifier *runningNotifier = nullptr;

// Reads a variable and removes it from the environment.
QByteArray takeEnvironment(const char *name)
{
    const QByteArray value = qgetenv(name);
    ::unsetenv(name);
    return value;
}

// The socket address NOTIFY_SOCKET names: a path, or a name in the abstract
// namespace when it starts with '@'. Anything else or too long is refused.
bool makeAddress(const QByteArray &name, sockaddr_un *address, socklen_t *length)
{
    if (name.size() < 2 || (name.front() != '/' && name.front() != '@'))
        return false;
    // The length counts the name's bytes only, as an abstract name needs.
    if (!makeUnixAddress(QString::fromLatin1(name), address, length))
        return false;
    if (name.front() == '@')
        address->sun_path[0] = '\0';
    return true;
}

// Half of systemd's watchdog time, in milliseconds; 0 when the variables ask
// for no pings from this process.
int pingInterval(const QByteArray &microseconds, const QByteArray &pid)
{
    if (!pid.isEmpty() && pid.toLongLong() != qint64(::getpid()))
        return 0;
    bool ok = false;
    const qulonglong usec = microseconds.toULongLong(&ok);
    if (!ok || usec == 0)
        return 0;
    const qulonglong ms = usec / 2000;
    return int(qBound<qulonglong>(1, ms, qulonglong(24 * 3600 * 1000)));
}

} // namespace

class SystemdNotifierPrivate
{
public:
    int fd = -1;
    sockaddr_un address {};
    socklen_t addressLength = 0;
    QTimer pingTimer;
    mutable bool failureReported = false;
};

SystemdNotifier::SystemdNotifier(QObject *parent)
    : QObject(parent), d(std::make_unique<SystemdNotifierPrivate>())
{
    const QByteArray socketName = takeEnvironment("NOTIFY_SOCKET");
    const QByteArray watchdogUsec = takeEnvironment("WATCHDOG_USEC");
    const QByteArray watchdogPid = takeEnvironment("WATCHDOG_PID");
    if (!runningNotifier)
        runningNotifier = this;
    if (socketName.isEmpty())
        return;
    if (!makeAddress(socketName, &d->address, &d->addressLength)) {
        std::fprintf(stderr, "NOTIFY_SOCKET names no usable socket; systemd is not told.\n");
        return;
    }
    // Non-blocking: a systemd that does not read its notifications must not
    // stop this process.
    d->fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (d->fd < 0) {
        std::fprintf(stderr, "Cannot open a socket to notify systemd: %s\n", std::strerror(errno));
        return;
    }
    // Pinged from the event loop, so that a loop that hangs stops the pings.
    const int intervalMs = pingInterval(watchdogUsec, watchdogPid);
    if (intervalMs > 0) {
        connect(&d->pingTimer, &QTimer::timeout, this, &SystemdNotifier::ping);
        d->pingTimer.start(intervalMs);
    }
}

SystemdNotifier::~SystemdNotifier()
{
    if (runningNotifier == this)
        runningNotifier = nullptr;
    if (d->fd >= 0)
        ::close(d->fd);
}

void SystemdNotifier::notifyReady()
{
    send(QByteArrayLiteral("READY=1"));
}

void SystemdNotifier::notifyStopping()
{
    if (!runningNotifier)
        return;
    // A stop may take a while; systemd's stop timeout covers it from here.
    runningNotifier->d->pingTimer.stop();
    runningNotifier->send(QByteArrayLiteral("STOPPING=1"));
}

void SystemdNotifier::setStatus(const QString &text)
{
    if (!runningNotifier)
        return;
    // One line: a new line would start another assignment.
    QByteArray line = text.toUtf8();
    line.replace('\n', ' ');
    runningNotifier->send(QByteArrayLiteral("STATUS=") + line);
}

void SystemdNotifier::ping() const
{
    send(QByteArrayLiteral("WATCHDOG=1"));
}

bool SystemdNotifier::send(const QByteArray &state) const
{
    if (d->fd < 0)
        return false;
    const ssize_t sent = ::sendto(d->fd, state.constData(), size_t(state.size()),
                                  MSG_NOSIGNAL | MSG_DONTWAIT,
                                  reinterpret_cast<const sockaddr *>(&d->address), d->addressLength);
    if (sent == ssize_t(state.size()))
        return true;
    // Told once: a lost ping repeats every few seconds.
    if (!d->failureReported) {
        d->failureReported = true;
        std::fprintf(stderr, "Cannot notify systemd: %s\n",
                     sent < 0 ? std::strerror(errno) : "message cut short");
    }
    return false;
}
