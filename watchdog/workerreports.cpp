// What the watchdog tells the system log and systemd about its workers: every
// end once, with the worker's role, PID, exit code, signal or start failure
// and how long it ran; the version override a worker was started from; and
// the state of every worker, to systemd's status line, the status file and
// the metrics.

#include "service.h"

#include "printable.h"
#include "programinterpreter.h"
#include "statuspublisher.h"
#include "systemdnotifier.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>

#include <cerrno>
#include <unistd.h>

namespace {

// How long the worker's current or last run has lasted, on the monotonic
// clock: " after 3h12m".
QString ranFor(const WorkerRecord &worker)
{
    return QStringLiteral(" after ") + ServiceStatus::durationText(QDeadlineTimer::current().deadline() - worker.startedMs);
}

ServiceStatus::Process processStatus(const WorkerRecord &worker, const QString &installation)
{
    ServiceStatus::Process process;
    process.name = worker.role == WorkerRecord::Role::Gpu ? QStringLiteral("gpu") : QStringLiteral("cpu");
    process.state = worker.state;
    process.since = worker.stateSince;
    process.pid = worker.pid;
    process.startedAt = worker.startedAt;
    process.restarts = worker.restarts();
    process.installation = installation;
    process.lastEnd = worker.lastEnd.kind;
    process.lastEndValue = worker.lastEnd.value;
    process.lastEndAt = worker.lastEnd.at;
    if (worker.state == WorkerRecord::State::Up) {
        const WorkerCgroup::Usage usage = worker.cgroup.usage();
        process.memoryBytes = usage.memoryBytes;
        process.memoryPeakBytes = usage.memoryPeakBytes;
        process.cpuMicroseconds = usage.cpuMicroseconds;
    }
    return process;
}

// The exec says "No such file or directory" also of a program that exists
// when the loader or interpreter it names does not: that one is named, so
// that nobody looks for the program itself.
QString missingInterpreter(const QString &program)
{
    const QByteArray interpreter = programInterpreter(program);
    if (interpreter.isEmpty() || ::access(interpreter.constData(), F_OK) == 0 || (errno != ENOENT && errno != ENOTDIR))
        return QString();
    return QStringLiteral(" (its interpreter %1 does not exist)").arg(printable(QFile::decodeName(interpreter)));
}

} // namespace

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
    case QProcess::FailedToStart: {
        const QString interpreter = missingInterpreter(worker.program);
        const QString message = QStringLiteral("The %1 could not start from %2: %3")
                                        .arg(role, printable(worker.program),
                                             printable(worker.process->errorString()) + interpreter);
        logMessage(message, Error);
        // Where the exec's own word misleads, the log file tells it too.
        if (!interpreter.isEmpty())
            qWarning().noquote() << message;
        break;
    }
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

// One entry per end, clean exits too, with how long the run lasted.
void Service::reportExit(const WorkerRecord &worker, int code, QProcess::ExitStatus status)
{
    const QString role = workerRole(worker);
    if (status == QProcess::CrashExit) {
        logMessage(QStringLiteral("The %1 (PID %2) was killed by signal %3")
                       .arg(role)
                       .arg(worker.pid)
                       .arg(code) + ranFor(worker),
                   Error);
    } else {
        logMessage(QStringLiteral("The %1 (PID %2) exited with code %3")
                       .arg(role)
                       .arg(worker.pid)
                       .arg(code) + ranFor(worker),
                   code == 0 ? Information : Warning);
    }
}

void Service::reportStopped(const WorkerRecord &worker)
{
    logMessage(QStringLiteral("The %1 (PID %2) was stopped").arg(workerRole(worker)).arg(worker.pid) + ranFor(worker),
               Information);
}

ServiceStatus Service::currentStatus() const
{
    ServiceStatus status;
    status.daemonPid = QCoreApplication::applicationPid();
    status.daemonStartedAt = startedAt;
    status.processes << processStatus(cpuWorker, overrideInstallation(cpuWorker.program));
    // A GPU worker shows once it is enabled, and stays once it has run.
    if ((isWorker && gpuEnabled) || gpuWorker.starts > 0)
        status.processes << processStatus(gpuWorker, overrideInstallation(gpuWorker.program));
    status.rollbacks = rollbacks.count;
    status.lastRollbackAt = rollbacks.lastAt;
    status.lastRollbackPath = rollbacks.lastPath;
    status.version = programVersionText();
    status.installedVersion = pendingVersion();
    return status;
}

void Service::reportStatus() const
{
    const ServiceStatus status = currentStatus();
    QStringList lines = status.summaries();
    if (status.rollbacks > 0)
        lines << status.rollbackSummary();
    if (!status.installedVersion.isEmpty())
        lines << status.restartSummary();
    SystemdNotifier::setStatus(lines.join(QStringLiteral("; ")));
    if (publisher)
        publisher->publish(status);
}
