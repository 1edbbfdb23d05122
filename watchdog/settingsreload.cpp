// Reloading the settings while the workers run (SIGHUP, systemctl reload):
// logging follows the new settings at once, a worker newly enabled starts, a
// worker newly disabled stops, and a worker whose setting stayed runs on.

#include "service.h"

#include "installedprogram.h"

#include <QDebug>

void Service::reload()
{
    const RenderSettings settings = readSharedSettings();
    setUpLogging(settings, qEnvironmentVariableIsSet("VERBOSE"));
    // Told under the new settings: the log shows them in force.
    const QString message = QStringLiteral("Reloading %1.").arg(name);
    logMessage(message, Information);
    qDebug() << message;
    if (isWorker) {
        const bool cpuWas = cpuEnabled, gpuWas = gpuEnabled;
        applyWorkerSettings(settings);
        if (cpuWas && !cpuEnabled)
            stopWorker(cpuWorker);
        if (gpuWas && !gpuEnabled)
            stopWorker(gpuWorker);
        if (!cpuWas && cpuEnabled)
            startNewlyEnabled(cpuWorker);
        if (!gpuWas && gpuEnabled)
            startNewlyEnabled(gpuWorker);
    }
    // A reload is also where an admin looks again at what is installed.
    if (installedProgram)
        installedProgram->check();
    reportStatus();
}

void Service::startNewlyEnabled(WorkerRecord &worker)
{
    // Already started along with the other worker.
    if (worker.process && worker.process->state() != QProcess::NotRunning)
        return;
    // A start already due (a worker waits for its restart) takes the new
    // worker along; otherwise it starts now: it has not ended, so no restart
    // delay applies.
    const auto waiting = [](const WorkerRecord &record) { return record.state == WorkerRecord::State::WaitingToRestart; };
    const bool startDue = waiting(cpuWorker) || waiting(gpuWorker);
    worker.setState(WorkerRecord::State::WaitingToRestart);
    if (!startDue)
        startProcess();
}
