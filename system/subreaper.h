#ifndef SUBREAPER_H
#define SUBREAPER_H

#include <QByteArray>
#include <QList>

#include <sys/types.h>

// The watchdog as the subreaper of its workers' descendants, where no cgroup
// holds them: a helper that leaves its worker's session and group, and whose
// parent ends, becomes the watchdog's child instead of init's, so that the
// watchdog can still end it once its worker has ended.
//
// Such adopted children are told apart from the workers themselves by PID
// (the workers are waited for by their process objects, and must never be
// waited for here); from the descendants of a worker that still runs by the
// mark the worker's environment gave them and by their start time (a
// process started before a worker's run cannot be one of that run's).
namespace Subreaper {

// Makes this process the subreaper of its descendants; false, with errno,
// where the kernel refuses.
bool become();

// The start time of a process, in clock ticks since boot; 0 when unknown.
quint64 startTime(pid_t pid);

// Marks this process's environment with RENDER_WORKER_WATCHDOG_ROLE=<role>
// for the worker started next, whose descendants inherit it; an empty role
// takes the mark away again once the worker is started. (The process that
// starts the worker must be the only thread that reads the environment.)
void markEnvironment(const QByteArray &role);

// A running worker: its mark's role, and the start of its current run.
struct RunningWorker
{
    QByteArray role;
    quint64 startTime = 0; // 0: unknown, so any process may be its
};

// Reaps this process's adopted children that have ended, and kills those
// that none of the running workers can have started: every child whose PID
// is not in workers, that started before the current run of each running
// worker whose mark it bears (each running worker, if it bears none).
// Returns how many were killed.
int endOrphans(const QList<pid_t> &workers, const QList<RunningWorker> &running);

} // namespace Subreaper

#endif // SUBREAPER_H
