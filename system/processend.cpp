#include "processend.h"

#include "deadlinepoll.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cerrno>
#include <csignal>

namespace {

// A process that is not our child gives no sign when it ends: it is looked
// at this often.
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
    while (pid > 0 && !processEnded(pid)) {
        if (deadline.hasExpired())
            return false;
        pauseWithin(lookIntervalMs, deadline);
    }
    return pid > 0;
}
