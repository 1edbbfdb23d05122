#include "systemdnotifier.h"

#include "datagramsocket.h"

#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    DatagramSocket socket;
    bool usable = false; // NOTIFY_SOCKET named a socket and one was made
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
    // A path or an abstract name; anything else or too long is refused.
    if (socketName.size() < 2 || (socketName.front() != '/' && socketName.front() != '@')
        || !d->socket.setAddress(socketName)) {
        std::fprintf(stderr, "NOTIFY_SOCKET names no usable socket; systemd is not told.\n");
        return;
    }
    // Non-blocking: a systemd that does not read its notifications must not
    // stop this process.
    if (!d->socket.open()) {
        std::fprintf(stderr, "Cannot open a socket to notify systemd: %s\n", std::strerror(errno));
        return;
    }
    d->usable = true;
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
    if (!d->usable)
        return false;
    if (d->socket.send(state))
        return true;
    // Told once: a lost ping repeats every few seconds.
    if (!d->failureReported) {
        d->failureReported = true;
        std::fprintf(stderr, "Cannot notify systemd: %s\n",
                     errno == EMSGSIZE ? "message cut short" : std::strerror(errno));
    }
    return false;
}
