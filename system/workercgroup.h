#ifndef WORKERCGROUP_H
#define WORKERCGROUP_H

#include <QString>

// A cgroup of its own for each worker, below the cgroup (v2) that systemd
// delegated to the service (Delegate=yes, which marks it with the extended
// attribute "trusted.delegate"). Whatever a worker starts stays in its
// cgroup, whatever session or group it moves to, so that ending the cgroup
// ends all of it; and the cgroup counts its memory and CPU time apart from
// the watchdog's and the other worker's.
//
//   <delegated>/watchdog   the watchdog itself (only leaves may hold processes
//                          where controllers are enabled for the children)
//   <delegated>/<name>     one per worker, made empty again for every run
class WorkerCgroup
{
public:
    // What the cgroup counted of its current or last run; -1 where it does
    // not tell (no memory controller, an older kernel, no cgroup).
    struct Usage
    {
        qint64 memoryBytes = -1;
        qint64 memoryPeakBytes = -1;
        qint64 cpuMicroseconds = -1;
    };

    // Moves this process into the leaf "watchdog" of its delegated cgroup and
    // enables the memory controller for the workers' cgroups. False, with
    // the reason, when there is no delegated cgroup; the workers then run
    // in the watchdog's cgroup, and nothing else of this class does anything.
    static bool setUpDelegation(QString *reason);
    static bool isDelegated();
    // The delegated cgroup's folder; empty without one.
    static QString delegatedPath();

    explicit WorkerCgroup(const QString &name);
    ~WorkerCgroup();
    WorkerCgroup(const WorkerCgroup &) = delete;
    WorkerCgroup &operator=(const WorkerCgroup &) = delete;

    // Before a start: ends what is left of the last run, makes the cgroup
    // anew (so that its peak is this run's) and opens it for the child.
    // False, with the reason, when the child cannot be put there.
    bool prepare(QString *error);
    // In the child between fork and exec (async-signal-safe): moves it into
    // the cgroup prepared. A failure leaves it where it is.
    void enterFromChild() const;
    // After the start, in the watchdog: the cgroup is no longer entered.
    void closeEntry();
    // Ends every process in the cgroup at once (cgroup.kill).
    bool killAll();
    Usage usage() const;

private:
    const QString name;
    int procsFd = -1;
};

#endif // WORKERCGROUP_H
