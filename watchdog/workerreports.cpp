// What the watchdog tells the system log and systemd about its workers: every
// failure once, with the worker's role, PID and exit code, signal or start
// failure; the version override a worker was started from; and a status line
// naming the workers that run.

#include "service.h"

#include "printable.h"
#include "systemdnotifier.h"

QString Service::workerRole(const WorkerRecord &worker) const
{
    if (!isWorker)
        return QStringLiteral("worker");
    return worker.role == WorkerRecord::Role::Gpu ? QStringLiteral("GPU worker") : QStringLiteral("CPU worker");
}

void Service::reportStarted(const WorkerRecord &worker)
{
    if (worker.program != appPath) {
        logMessage(QStringLiteral("The %1 (PID %2) runs from the version override %3")
                       .arg(workerRole(worker))
                       .arg(worker.pid)
                       .arg(printable(worker.program)),
                   Warning);
    }
    reportStatus();
}

void Service::reportFailure(const WorkerRecord &worker, QProcess::ProcessError error)
{
    const QString role = workerRole(worker);
    switch (error) {
    case QProcess::FailedToStart:
        logMessage(QStringLiteral("The %1 could not start from %2: %3")
                       .arg(role, printable(worker.program), printable(worker.process->errorString())),
                   Error);
        break;
    case QProcess::Crashed:
        reportExit(worker, worker.process->exitCode(), QProcess::CrashExit);
        return;
    default:
        logMessage(QStringLiteral("The %1 (PID %2) failed: %3")
                       .arg(role)
                       .arg(worker.pid)
                       .arg(printable(worker.process->errorString())),
                   Error);
        break;
    }
}

void Service::reportExit(const WorkerRecord &worker, int code, QProcess::ExitStatus status)
{
    const QString role = workerRole(worker);
    if (status == QProcess::CrashExit) {
        logMessage(QStringLiteral("The %1 (PID %2) was killed by signal %3")
                       .arg(role)
                       .arg(worker.pid)
                       .arg(code),
                   Error);
    } else {
        logMessage(QStringLiteral("The %1 (PID %2) exited with code %3")
                       .arg(role)
                       .arg(worker.pid)
                       .arg(code),
                   Warning);
    }
}

void Service::reportStatus() const
{
    QStringList parts;
    for (const WorkerRecord *worker : { &cpuWorker, &gpuWorker }) {
        if (!worker->process || worker->process->state() != QProcess::Running)
            continue;
        QString part = QStringLiteral("%1 PID %2").arg(workerRole(*worker)).arg(worker->pid);
        if (worker->program != appPath)
            part += QStringLiteral(" (version override)");
        parts << part;
    }
    SystemdNotifier::setStatus(parts.isEmpty() ? QStringLiteral("No worker running")
                                               : parts.join(QStringLiteral(", ")));
}
