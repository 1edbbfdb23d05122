#include "processend.h"

#include "deadlinepoll.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <QScopeGuard>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// A process that is not our child is looked at this often, where the kernel
// gives no descriptor that tells its end.
constexpr int lookIntervalMs = 20;

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
    // over then, not at the next look, which used to be most of a -t.
    // Without one (a kernel before 5.3) the state is looked at every 20 ms.
    // (The C library's pidfd_open() is not declared for C++ in Debian 12.)
    const int descriptor = pid > 0 ? int(::syscall(SYS_pidfd_open, pid, 0)) : -1;
    const auto closeDescriptor = qScopeGuard([descriptor] {
        if (descriptor >= 0)
            ::close(descriptor);
    });
    while (pid > 0 && !processEnded(pid)) {
        if (deadline.hasExpired())
            return false;
        if (descriptor < 0)
            pauseWithin(lookIntervalMs, deadline);
        else if (pollUntil(descriptor, POLLIN, QDeadlineTimer(qMin<qint64>(lookIntervalMs, deadline.remainingTime()))))
            break;
    }
    return pid > 0;
}
