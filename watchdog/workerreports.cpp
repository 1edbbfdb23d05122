// What the watchdog tells the system log and systemd about its workers: every
// failure once, with the worker's role, PID and exit code, signal or start
// failure; the version override a worker was started from; and a status line
// naming the workers that run.

#include "service.h"

#include "printable.h"
#include "systemdnotifier.h"

#include <QVariant>

namespace {

qint64 workerPid(const QProcess *process)
{
    return process->property(workerPidProperty).toLongLong();
}

} // namespace

QString Service::workerRole(const QProcess *process) const
{
    if (!isWorker)
        return QStringLiteral("worker");
    return process == gpuProc ? QStringLiteral("GPU worker") : QStringLiteral("CPU worker");
}

void Service::reportStarted(QProcess *process)
{
    if (process->program() != appPath) {
        logMessage(QStringLiteral("The %1 (PID %2) runs from the version override %3")
                       .arg(workerRole(process))
                       .arg(process->processId())
                       .arg(printable(process->program())),
                   Warning);
    }
    reportStatus();
}

void Service::reportFailure(const QProcess *process, QProcess::ProcessError error)
{
    const QString role = workerRole(process);
    switch (error) {
    case QProcess::FailedToStart:
        logMessage(QStringLiteral("The %1 could not start from %2: %3")
                       .arg(role, printable(process->program()), printable(process->errorString())),
                   Error);
        break;
    case QProcess::Crashed:
        reportExit(process, process->exitCode(), QProcess::CrashExit);
        return;
    default:
        logMessage(QStringLiteral("The %1 (PID %2) failed: %3")
                       .arg(role)
                       .arg(workerPid(process))
                       .arg(printable(process->errorString())),
                   Error);
        break;
    }
}

void Service::reportExit(const QProcess *process, int code, QProcess::ExitStatus status)
{
    const QString role = workerRole(process);
    if (status == QProcess::CrashExit) {
        logMessage(QStringLiteral("The %1 (PID %2) was killed by signal %3")
                       .arg(role)
                       .arg(workerPid(process))
                       .arg(code),
                   Error);
    } else {
        logMessage(QStringLiteral("The %1 (PID %2) exited with code %3")
                       .arg(role)
                       .arg(workerPid(process))
                       .arg(code),
                   Warning);
    }
}

void Service::reportStatus() const
{
    QStringList parts;
    for (const QProcess *process : { cpuProc, gpuProc }) {
        if (!process || process->state() != QProcess::Running)
            continue;
        QString part = QStringLiteral("%1 PID %2").arg(workerRole(process)).arg(process->processId());
        if (process->program() != appPath)
            part += QStringLiteral(" (version override)");
        parts << part;
    }
    SystemdNotifier::setStatus(parts.isEmpty() ? QStringLiteral("No worker running")
                                               : parts.join(QStringLiteral(", ")));
}
