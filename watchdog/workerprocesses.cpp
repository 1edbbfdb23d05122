// Starting, restarting and stopping the worker processes.

#include "service.h"

#include "deadlinetimer.h"
#include "forkwitness.h"
#include "startfailure.h"
#include "subreaper.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QScopeGuard>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const char *errorText(QProcess::ProcessError error)
{
    switch (error) {
    case QProcess::FailedToStart:
        return "The process failed to start. Either the invoked program is missing, or you may "
               "have insufficient permissions to invoke the program.";
    case QProcess::Crashed:
        return "The process crashed some time after starting successfully.";
    case QProcess::Timedout:
        return "The last waitFor...() function timed out. The state of QProcess is unchanged, "
               "and you can try calling waitFor...() again.";
    case QProcess::ReadError:
        return "An error occurred when attempting to read from the process. For example, the "
               "process may not be running.";
    case QProcess::WriteError:
        return "An error occurred when attempting to write to the process. For example, the "
               "process may not be running, or it may have closed its input channel.";
    case QProcess::UnknownError:
        return "An unknown error occurred. This is the default return value of error().";
    }
    return nullptr;
}

// A worker's helpers share its group: ending the group leaves nothing of
// the worker behind, whether it is stopped or ended on its own.
void endWorkerGroup(const WorkerRecord &worker)
{
    if (worker.pid > 1)
        ::kill(-worker.pid, SIGKILL);
}

// Whether the worker's child was forked in the current start; shared with
// the child, which marks it before its exec.
ForkWitness &forkWitness()
{
    static ForkWitness witness;
    return witness;
}

// A failed start is the worker installation's fault whatever the exec
// refused it for (no such file, not executable, no program for this
// machine, a missing loader, ...), unless the watchdog itself ran out of
// descriptors, memory or processes: a start that never reached its child
// (at the pipe or the fork), or an exec that reported such a shortage. The
// exec's word decides; nothing judges the program in its place.
bool isWorkerStartFault(const QProcess *process)
{
    return forkWitness().forked() && !isResourceShortage(process->errorString());
}

} // namespace

QProcess *Service::createProcess(WorkerRecord &worker)
{
    auto *process = new QProcess;
    // A worker writes where the watchdog writes (the journal under systemd),
    // straight, so that nothing of it is buffered here.
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    // A worker must never outlive its watchdog, not even one killed with
    // SIGKILL: a restarted watchdog would run a second set beside orphans.
    // Runs in the child between fork and exec; only async-signal-safe calls.
    // A session of its own puts the worker and its helpers in one group that
    // signals to the watchdog's group (Ctrl-C, kill -- -pgid) do not reach:
    // only the watchdog ends its workers.
    // Under systemd the worker enters its own cgroup before it runs a thing.
    // A redirected worker is executed last, as it was judged, never by its
    // path.
    const pid_t watchdogPid = ::getpid();
    const ForkWitness *witness = &forkWitness();
    const WorkerCgroup *cgroup = &worker.cgroup;
    process->setChildProcessModifier([watchdogPid, witness, cgroup, judged = &judgedProgram] {
        witness->mark();
        cgroup->enterFromChild();
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != watchdogPid)
            ::_exit(127);
        judged->execInChild();
    });
    connect(process, &QProcess::errorOccurred, this, &Service::onProcError);
    connect(process, &QProcess::finished, this, &Service::onProcFinished);
    return process;
}

void Service::startProcess()
{
    if (!cpuProc)
        cpuProc = createProcess(cpuWorker);
    if (!isWorker) {
        if (cpuProc->state() != QProcess::NotRunning) {
            qDebug() << QStringLiteral("Proc state is %1, worker not started").arg(cpuProc->state());
            return;
        }
    } else if (gpuEnabled && !gpuProc) {
        gpuProc = createProcess(gpuWorker);
    }

    const QString program = resolveAppPath(&judgedProgram);
    const auto release = qScopeGuard([this] { judgedProgram.close(); });
    if (!isWorker) {
        launchProcess(cpuProc, QStringList(), program);
        return;
    }

    if (cpuEnabled) {
        if (cpuProc->state() == QProcess::NotRunning) {
            if (!launchProcess(cpuProc, { QStringLiteral("--cpu") }, program))
                return;
        } else {
            qDebug() << QStringLiteral("CPU Proc state is %1, worker not started").arg(cpuProc->state());
        }
    }
    if (gpuEnabled) {
        if (gpuProc->state() == QProcess::NotRunning) {
            QStringList arguments{ QStringLiteral("--gpu") };
            if (cpuEnabled)
                arguments << QStringLiteral("--no-download");
            launchProcess(gpuProc, arguments, program);
        } else {
            qDebug() << QStringLiteral("GPU Proc state is %1, worker not started").arg(gpuProc->state());
        }
    }
}

bool Service::launchProcess(QProcess *process, const QStringList &arguments, const QString &program)
{
    ignoreErrors = false;
    logMessage(QStringLiteral("Starting process.."), Information);
    qDebug() << "Starting process.." << program << arguments;

    WorkerRecord *worker = recordOf(process);
    worker->setState(WorkerRecord::State::Starting);
    worker->program = program;
    worker->pid = 0;
    worker->startedAt = QDateTime::currentDateTime();
    worker->startedMs = QDeadlineTimer::current().deadline();
    ++worker->starts;
    prepareContainment(*worker);
    judgedProgram.prepare(arguments, process->processEnvironment());
    // A failure to start is reported through onProcError while this runs;
    // the process object may then already be released (deleted later).
    forkWitness().clear();
    process->start(program, arguments, QIODevice::ReadWrite);
    noteContainedStart(*worker);
    if (process->waitForStarted(programStartWaitMs)) {
        worker->setState(WorkerRecord::State::Up);
        worker->pid = pid_t(process->processId());
        worker->startTicks = Subreaper::startTime(worker->pid);
        const QString message = QStringLiteral("Started with PID: %1").arg(process->processId());
        logMessage(message, Information);
        qDebug() << message;
        reportStarted(*worker);
    } else {
        qWarning() << "Failed to start process:" << process->program();
    }

    if (process->state() != QProcess::NotRunning)
        return true;
    qCritical() << QStringLiteral("Proc state is %1, worker not started").arg(process->state());
    return false;
}

void Service::onProcFinished(int code, QProcess::ExitStatus status)
{
    auto *process = qobject_cast<QProcess *>(sender());
    if (!process)
        return;
    if (ignoreErrors) {
        qDebug() << "Ignore errors true, no restart performed in onProcFinished";
        return;
    }
    WorkerRecord *worker = recordOf(process);
    if (worker) {
        noteEnd(*worker, status == QProcess::CrashExit ? WorkerRecord::End::Kind::Signalled
                                                        : WorkerRecord::End::Kind::Exited,
                code);
    }
    if (status == QProcess::NormalExit && code == 0) {
        if (worker)
            reportExit(*worker, code, status);
        scheduleRestart(process);
        return;
    }
    qCritical() << "Procces crashed   " << name << "@" << appPath;
    if (worker)
        reportExit(*worker, code, status);
    rollbackVersion(process);
    scheduleRestart(process);
}

void Service::onProcError(QProcess::ProcessError error)
{
    auto *process = qobject_cast<QProcess *>(sender());
    if (!process)
        return;
    if (ignoreErrors) {
        qDebug() << "Ignore errors true, no restart performed in onProcError";
        return;
    }
    if (WorkerRecord *worker = recordOf(process)) {
        if (error == QProcess::FailedToStart)
            noteEnd(*worker, WorkerRecord::End::Kind::FailedToStart, 0);
        else if (error == QProcess::Crashed)
            noteEnd(*worker, WorkerRecord::End::Kind::Signalled, process->exitCode());
        reportFailure(*worker, error);
    }
    const QString path = resolveAppPath();
    qCritical() << (process == gpuProc ? "GPU" : "") << "Procces error from" << name << "@" << path
                << "program=" << process->program() << "args=" << process->arguments();
    // Workers inherit the watchdog's environment as it is when they start.
    if (qEnvironmentVariableIsSet("LD_LIBRARY_PATH"))
        qCritical() << "LD_LIBRARY_PATH=" << qEnvironmentVariable("LD_LIBRARY_PATH");
    if (const char *text = errorText(error))
        qCritical() << text;
    if (error != QProcess::FailedToStart || isWorkerStartFault(process))
        rollbackVersion(process);
    else
        qCritical() << "Not the worker's fault, no rollback:" << process->errorString();
    scheduleRestart(process);
}

void Service::scheduleRestart(QProcess *process)
{
    if (WorkerRecord *worker = recordOf(process)) {
        releaseProcess(*worker);
        worker->setState(WorkerRecord::State::WaitingToRestart);
    }
    reportStatus();
    startProcessAfter(restartDelayMs());
}

void Service::startProcessAfter(int delayMs)
{
    // Made on first use: its descriptor needs the application's event loop.
    if (!startTimer)
        startTimer = new DeadlineTimer([this] { startProcess(); }, this);
    startTimer->start(delayMs);
}

void Service::noteEnd(WorkerRecord &worker, WorkerRecord::End::Kind kind, int value)
{
    worker.lastEnd = { kind, value, QDateTime::currentDateTime() };
    worker.setState(WorkerRecord::State::WaitingToRestart);
}

void Service::stopProcesses()
{
    ignoreErrors = true;
    const std::initializer_list<WorkerRecord *> workers{ &cpuWorker, &gpuWorker };
    // Both workers get their kill before the watchdog waits for either, so
    // a stop waits for one teardown, not two in a row.
    for (WorkerRecord *worker : workers)
        killWorker(*worker);
    for (WorkerRecord *worker : workers)
        closeWorker(*worker);
    endOrphans(nullptr);
    // Kept after the end, showing the workers stopped.
    reportStatus();
}

void Service::stopWorker(WorkerRecord &worker)
{
    killWorker(worker);
    closeWorker(worker);
}

// A stop is no end of the worker's own: its process object no longer
// reports to the service, so nothing is rolled back or restarted.
void Service::killWorker(WorkerRecord &worker)
{
    if (!worker.process)
        return;
    worker.process->disconnect();
    if (worker.process->state() == QProcess::Running)
        reportStopped(worker);
    endWorkerGroup(worker);
    endDescendants(worker);
    worker.process->kill();
}

void Service::closeWorker(WorkerRecord &worker)
{
    if (worker.process) {
        worker.process->close();
        releaseProcess(worker);
    }
    worker.setState(WorkerRecord::State::Stopped);
}

void Service::releaseProcess(WorkerRecord &worker)
{
    QProcess *&process = worker.process;
    if (!process)
        return;
    // Removing the connections first means a released process can reach
    // neither slot again: a crash, reported as an error and as a crash exit,
    // is handled once.
    process->disconnect();
    endWorkerGroup(worker);
    endDescendants(worker);
    // Without an application (the service is being destroyed after its
    // loop) a deferred deletion would never run.
    if (QCoreApplication::instance())
        process->deleteLater();
    else
        delete process;
    process = nullptr;
}
