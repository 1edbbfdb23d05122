#ifndef SERVICESTATUS_H
#define SERVICESTATUS_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// What a daemon tells about the processes it supervises: the state of each,
// its restarts and how its last run ended, and the rollbacks of its version
// override. The daemon writes it as a small text file of "key=value" lines
// beside its lock on every change, keeps it after a clean end, and "--status"
// reads it back; the same lines, one per process, are systemd's status.
// Nothing in it is secret: the file is readable by everyone.
struct ServiceStatus
{
    enum class State { Stopped, Starting, Up, WaitingToRestart };
    enum class EndKind { None, Exited, Signalled, FailedToStart };

    struct Process
    {
        QString name; // "cpu": a key of the file, lower case letters and digits
        State state = State::Stopped;
        QDateTime since; // when it entered the state
        qint64 pid = 0;  // while up
        QDateTime startedAt; // of the current or last run; invalid before the first
        int restarts = 0;
        QString installation; // the override's folder; empty for the default
        EndKind lastEnd = EndKind::None;
        int lastEndValue = 0; // the exit code or the signal
        QDateTime lastEndAt;
        // What the process and all it started use, while up; -1 where unknown
        // (no cgroup of its own, or none that counts it).
        qint64 memoryBytes = -1;
        qint64 memoryPeakBytes = -1; // the most of its current run
        qint64 cpuMicroseconds = -1; // of its current run
    };

    qint64 daemonPid = 0;
    QDateTime daemonStartedAt;
    QList<Process> processes;
    int rollbacks = 0;
    QDateTime lastRollbackAt;
    QString lastRollbackPath; // the file the last rollback removed
    // The daemon's own version; and, when another program has been installed
    // in its place since it started (an upgrade, which waits for the next
    // start so that no render is aborted), that one's version: "unknown"
    // when it did not tell.
    QString version;
    QString installedVersion; // empty: no restart pending

    QByteArray toText(const QString &serviceName) const;
    // Unknown keys and lines are passed over; false when no daemon is named.
    bool readText(const QByteArray &text);

    // "cpu: up (pid 1234) for 3h12m, memory 1.2 GiB (peak 2.0 GiB), CPU time
    // 5h2m, 4 restarts, last exit code 1 at 10:02:11, override
    // /opt/render/2.1"; durations up to now, or, without now, the time the
    // state began ("since 10:02:11").
    static QString summary(const Process &process, const QDateTime &now = QDateTime());
    QStringList summaries(const QDateTime &now = QDateTime()) const;
    // The lines of a daemon that no longer runs: what it recorded as up,
    // starting or waiting is not so any more, or not watched; such a process
    // is "unknown", with what was last recorded.
    QStringList summariesOfGoneDaemon() const;
    // "rollbacks: 1, the last at 10:02:11 removed <path>"; empty with none.
    QString rollbackSummary() const;
    // "restart pending: 1.0.0.1 installed, 1.0.0.0 running"; empty with none.
    QString restartSummary() const;

    // "512.0 MiB", "1.2 GiB", "900 B": binary units, one decimal.
    static QString sizeText(qint64 bytes);
    // "3h12m", "4m5s", "42s", "312ms": the two largest units.
    static QString durationText(qint64 ms);
    // "10:02:11", with the date in front when it is not today's.
    static QString timeText(const QDateTime &at);

    // The file of the service whose sanitized name is name, in folder.
    static QString pathFor(const QString &folder, const QString &name);
};

#endif // SERVICESTATUS_H
