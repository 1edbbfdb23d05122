#include "subreaper.h"

#include "processlist.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <algorithm>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct ProcessStat
{
    pid_t parent = 0;
    char state = '?';
    quint64 startTime = 0;
};

// /proc/<pid>/stat: the name in parentheses may hold anything, so the fields
// are counted from its last ')': state, ppid, ... starttime is the 20th.
bool readStat(pid_t pid, ProcessStat *stat)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.read(4096);
    const qsizetype end = text.lastIndexOf(')');
    if (end < 0)
        return false;
    const QList<QByteArray> fields = text.mid(end + 2).split(' ');
    if (fields.size() < 20 || fields.at(0).isEmpty())
        return false;
    stat->state = fields.at(0).at(0);
    stat->parent = pid_t(fields.at(1).toInt());
    stat->startTime = fields.at(19).toULongLong();
    return true;
}

const QByteArray markName = "RENDER_WORKER_WATCHDOG_ROLE=";

// The role a process's environment, as it was executed, is marked with;
// empty when none.
QByteArray markOf(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/environ").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    for (const QByteArray &entry : file.read(1024 * 1024).split('\0')) {
        if (entry.startsWith(markName))
            return entry.mid(markName.size());
    }
    return QByteArray();
}

} // namespace

namespace Subreaper {

bool become()
{
    return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

quint64 startTime(pid_t pid)
{
    ProcessStat stat;
    return pid > 0 && readStat(pid, &stat) ? stat.startTime : 0;
}

void markEnvironment(const QByteArray &role)
{
    if (role.isEmpty())
        qunsetenv(markName.chopped(1).constData());
    else
        qputenv(markName.chopped(1).constData(), role);
}

int endOrphans(const QList<pid_t> &workers, const QList<RunningWorker> &running)
{
    const pid_t self = ::getpid();
    int killed = 0;
    for (const pid_t pid : processIds()) {
        ProcessStat stat;
        if (workers.contains(pid) || !readStat(pid, &stat) || stat.parent != self)
            continue;
        if (stat.state == 'Z') {
            // Only this adopted child, never any: the workers' own ends
            // belong to their process objects.
            ::waitpid(pid, nullptr, WNOHANG);
            continue;
        }
        const QByteArray mark = markOf(pid);
        const bool mayBeRunningWorkers = std::any_of(running.cbegin(), running.cend(), [&](const RunningWorker &worker) {
            return (mark.isEmpty() || mark == worker.role) && stat.startTime >= worker.startTime;
        });
        if (!mayBeRunningWorkers && ::kill(pid, SIGKILL) == 0)
            ++killed;
    }
    return killed;
}

} // namespace Subreaper
