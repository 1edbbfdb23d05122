// Nothing a worker starts outlives the worker, whatever session or process
// group it moves to. Under systemd each worker runs in a cgroup of its own
// below the one the unit delegates, and the whole cgroup is ended with the
// worker; the cgroup also counts the worker's memory and CPU time. Without a
// delegated cgroup the watchdog is the subreaper of its workers'
// descendants, and ends those that an ended worker left behind.

#include "service.h"

#include "printable.h"
#include "subreaper.h"

#include <QDebug>
#include <QTimer>

namespace {

// How often orphans that died on their own are reaped (and those of an
// ended worker's killed orphans, adopted in turn, ended); under systemd,
// how often the workers' memory and CPU time are written out.
constexpr int containmentTickMs = 10000;

} // namespace

void Service::setUpContainment()
{
    if (containmentTimer)
        return;
    QString reason;
    if (WorkerCgroup::setUpDelegation(&reason)) {
        const QString message = QStringLiteral("Each worker runs in a cgroup of its own below %1")
                                        .arg(printable(WorkerCgroup::delegatedPath()));
        logMessage(message, Information);
        qDebug() << message;
    } else if (Subreaper::become()) {
        const QString message = QStringLiteral("No cgroup for the workers (%1): the watchdog ends what they leave behind")
                                        .arg(printable(reason));
        logMessage(message, Information);
        qDebug() << message;
    } else {
        const int error = errno;
        const QString message = QStringLiteral("No cgroup for the workers (%1), and the watchdog cannot be their "
                                               "subreaper (%2): a helper that leaves its worker's session outlives it")
                                        .arg(printable(reason), qt_error_string(error));
        logMessage(message, Error);
        qCritical() << message;
    }
    containmentTimer = new QTimer(this);
    containmentTimer->setInterval(containmentTickMs);
    connect(containmentTimer, &QTimer::timeout, this, &Service::onContainmentTick);
    containmentTimer->start();
}

void Service::prepareContainment(WorkerRecord &worker)
{
    // Elsewhere its descendants bear its mark (see Subreaper).
    if (!WorkerCgroup::isDelegated()) {
        Subreaper::markEnvironment(worker.roleName());
        return;
    }
    QString failure;
    if (worker.cgroup.prepare(&failure)) {
        worker.containmentFailure.clear();
        return;
    }
    // Told once, not at every restart: the worker then runs in the
    // watchdog's cgroup, and ending its group is all that ends its helpers.
    if (failure == worker.containmentFailure)
        return;
    worker.containmentFailure = failure;
    const QString message = QStringLiteral("The %1 runs without a cgroup of its own: %2").arg(workerRole(worker), printable(failure));
    logMessage(message, Warning);
    qWarning().noquote() << message;
}

// The child has been forked (and has entered its cgroup) by now.
void Service::noteContainedStart(WorkerRecord &worker)
{
    worker.cgroup.closeEntry();
    Subreaper::markEnvironment(QByteArray());
}

void Service::endDescendants(WorkerRecord &worker)
{
    if (WorkerCgroup::isDelegated())
        worker.cgroup.killAll();
    else
        endOrphans(&worker);
}

// The orphans no running worker can have started; the ended worker counts
// as running no more.
void Service::endOrphans(const WorkerRecord *ended)
{
    if (WorkerCgroup::isDelegated())
        return;
    QList<pid_t> workers;
    QList<Subreaper::RunningWorker> running;
    for (const WorkerRecord *worker : { &cpuWorker, &gpuWorker }) {
        // The workers themselves, also one whose end its process object has
        // yet to collect, and one that failed its start.
        if (worker->pid > 0)
            workers << worker->pid;
        if (worker->process && worker->process->processId() > 0)
            workers << pid_t(worker->process->processId());
        if (worker != ended && worker->process && worker->state == WorkerRecord::State::Up)
            running << Subreaper::RunningWorker{ worker->roleName(), worker->startTicks };
    }
    if (const int killed = Subreaper::endOrphans(workers, running))
        qDebug() << "Ended" << killed << "processes that ended workers left behind";
}

void Service::onContainmentTick()
{
    if (!WorkerCgroup::isDelegated()) {
        endOrphans(nullptr);
        return;
    }
    const auto isUp = [](const WorkerRecord &worker) { return worker.state == WorkerRecord::State::Up; };
    if (isUp(cpuWorker) || isUp(gpuWorker))
        reportStatus();
}
