#ifndef WORKERRECORD_H
#define WORKERRECORD_H

#include "servicestatus.h"
#include "workercgroup.h"

#include <QDateTime>
#include <QString>

#include <sys/types.h>

class QProcess;

// Everything the watchdog knows of one supervised worker: which it is, the
// process that runs it now, and how its runs went. The service keeps one
// record per role for its whole life; the process object comes and goes
// with every run.
struct WorkerRecord
{
    enum class Role { Cpu, Gpu };
    // The words of the status file and of --status.
    using State = ServiceStatus::State;

    // How a run ended: an exit code, a signal, or no start at all.
    struct End
    {
        using Kind = ServiceStatus::EndKind;
        Kind kind = Kind::None;
        int value = 0;  // the exit code or the signal
        QDateTime at;   // wall-clock time the watchdog saw it
    };

    explicit WorkerRecord(Role role)
        : role(role), cgroup(QString::fromLatin1(roleName()))
    {
    }

    const Role role;
    State state = State::Stopped;
    QDateTime stateSince; // when it entered its state; see setState()
    QProcess *process = nullptr; // owned by the service; none between runs
    // The worker's PID, which is also its process group (it starts a session
    // of its own). Kept here because QProcess forgets the PID before it tells
    // how the process ended, and the group outlives it.
    pid_t pid = 0;
    // The program the run was started from: the default installed worker or
    // the one a version override points to.
    QString program;
    QDateTime startedAt;   // when the current or last run started
    qint64 startedMs = 0;  // the same on the monotonic clock, for durations
    int starts = 0;        // runs started since the watchdog started
    // The start of the current or last run in the kernel's clock ticks since
    // boot, which tells which processes it cannot have started (see
    // Subreaper); 0 when unknown.
    quint64 startTicks = 0;
    // Under systemd, where the run and all it starts live; see WorkerCgroup.
    WorkerCgroup cgroup;
    QString containmentFailure; // the last one reported
    End lastEnd;

    // "cpu" or "gpu": the name of its cgroup, and its descendants' mark.
    const char *roleName() const { return role == Role::Gpu ? "gpu" : "cpu"; }

    // Restarts are every start after the first.
    int restarts() const { return starts > 0 ? starts - 1 : 0; }

    // A state that lasts is told with how long it has lasted: the time is
    // taken only when the state changes.
    void setState(State next)
    {
        if (next == state && stateSince.isValid())
            return;
        state = next;
        stateSince = QDateTime::currentDateTime();
    }
};

#endif // WORKERRECORD_H
