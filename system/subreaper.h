#ifndef SUBREAPER_H
#define SUBREAPER_H

#include <QList>

#include <sys/types.h>

// The watchdog as the subreaper of its workers' descendants, where no cgroup
// holds them: a helper that leaves its worker's session and group, and whose
// parent ends, becomes the watchdog's child instead of init's, so that the
// watchdog can still end it once its worker has ended.
//
// Such adopted children are told apart from the workers themselves by PID
// (the workers are waited for by their process objects, and must never be
// waited for here), and from the descendants of a worker that still runs by
// their start time: a process started before a worker cannot descend from it.
namespace Subreaper {

// Makes this process the subreaper of its descendants; false, with errno,
// where the kernel refuses.
bool become();

// The start time of a process, in clock ticks since boot; 0 when unknown.
quint64 startTime(pid_t pid);

// Reaps this process's adopted children that have ended, and kills those
// that none of the running workers can have started: every child whose PID
// is not in workers and that started before each of runningStarts (all of
// them when no worker runs). Returns how many were killed.
int endOrphans(const QList<pid_t> &workers, const QList<quint64> &runningStarts);

} // namespace Subreaper

#endif // SUBREAPER_H
