#ifndef SERVICE_H
#define SERVICE_H

#include "judgedprogram.h"
#include "qtservice.h"
#include "rendersettings.h"
#include "rollbackrecord.h"
#include "workerrecord.h"

#include <QCoreApplication>
#include <QDir>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVersionNumber>

#include <memory>

class DeadlineTimer;
class InstalledProgram;
class QFile;
class QTimer;
class StatusPublisher;
class SVNRServiceController;

// The watchdog of the render worker of this machine: sets the process up
// (resource folder, settings, logging), then starts the worker - a CPU
// instance and, when the settings ask, a GPU instance - restarts every worker
// five seconds after it ends, falls back to the default installed worker when
// a redirected one fails, and stops the workers on command.
// Named so that the meta-object system knows the service base by this name
// too: a meta-cast to "ServiceType" finds it.
typedef QtService<QCoreApplication> ServiceType;

class Service : public QObject, public ServiceType
{
    Q_OBJECT

public:
    Service(const QString &name, int argc, char **argv, SVNRServiceController *controller);
    ~Service() override;

protected:
    void createApplication(int &argc, char **argv) override;
    void start() override;
    void pause() override;
    void resume() override;
    void stop() override;
    void reload() override;
    bool install(const QString &account, const QString &password) override;

protected Q_SLOTS:
    void reportInstalledProgram();
    void onProcError(QProcess::ProcessError error);
    void onProcFinished(int code, QProcess::ExitStatus status);
    void startProcess();

protected:
    void readWorkerSettings();
    void applyWorkerSettings(const RenderSettings &settings);
    RenderSettings readSharedSettings() const;
    void setUpLogging(const RenderSettings &settings, bool verbose);

    // Worker processes.
    QProcess *createProcess(WorkerRecord &worker);
    bool launchProcess(QProcess *process, const QStringList &arguments, const QString &program);
    void scheduleRestart(QProcess *process);
    void stopProcesses();
    void stopWorker(WorkerRecord &worker);
    void startNewlyEnabled(WorkerRecord &worker);

    // The version file that may redirect the watchdog to another worker
    // installation, and the fall-back to the default one.
    std::unique_ptr<QFile> versionFile() const;
    // Given judged, the override is judged and held there for its start.
    QString resolveAppPath(JudgedProgram *judged = nullptr) const;
    bool overrideExists(const QString &path) const;
    void rollbackVersion(QProcess *process);
    // The installation folder of a worker program a version override named;
    // empty for the default worker.
    QString overrideInstallation(const QString &program) const;

    // One record per worker; the process objects are known by their names
    // below, each the one its record holds.
    WorkerRecord cpuWorker{ WorkerRecord::Role::Cpu };
    WorkerRecord gpuWorker{ WorkerRecord::Role::Gpu };
    RollbackRecord rollbacks;
    const QDateTime startedAt = QDateTime::currentDateTime();

    QString name;
    // The watchdog's own program file, resolved, and the default worker
    // beside it.
    QString programPath;
    QString appPath;
    bool ignoreErrors = false;
    QProcess *&cpuProc = cpuWorker.process;
    QDir dataPath;
    QString appName;
    bool isWorker = false;
    bool cpuEnabled = true;
    bool gpuEnabled = false;
    // The settings read as the application was made serve the start that
    // follows at once; later starts and resumes read them again.
    bool workerSettingsFresh = false;
    QProcess *&gpuProc = gpuWorker.process;

    // Delays of the first start and of every restart. Fixed in the product;
    // tests of the supervision shorten them here, where nothing the service
    // reads or sets up can put the product's back.
    virtual int startDelayMs() const { return 5000; }
    virtual int restartDelayMs() const { return 5000; }

    // The record of a current worker process; none for any other.
    WorkerRecord *recordOf(const QProcess *process)
    {
        return !process ? nullptr : process == cpuProc ? &cpuWorker : process == gpuProc ? &gpuWorker : nullptr;
    }

    // What the system log and systemd's status line say about the workers.
    QString workerRole(const WorkerRecord &worker) const;
    void reportStarted(const WorkerRecord &worker);
    void reportFailure(const WorkerRecord &worker, QProcess::ProcessError error);
    void reportExit(const WorkerRecord &worker, int code, QProcess::ExitStatus status);
    void reportStopped(const WorkerRecord &worker);
    // The state of the workers and rollbacks, to systemd's status line, the
    // status file and the metrics (once the service has started).
    void reportStatus() const;
    ServiceStatus currentStatus() const;

private:
    void releaseProcess(WorkerRecord &worker);
    void killWorker(WorkerRecord &worker);
    void closeWorker(WorkerRecord &worker);
    static QVersionNumber programVersion();
    // The version in full, as --version, the metrics and the package give it.
    static QString programVersionText();
    void watchInstalledProgram();
    // The installed program's version while a restart is pending ("unknown"
    // when it did not tell); empty with none.
    QString pendingVersion() const;
    void noteEnd(WorkerRecord &worker, WorkerRecord::End::Kind kind, int value);
    // Calls startProcess() delayMs from now, on time (see DeadlineTimer).
    void startProcessAfter(int delayMs);
    void startStatus();

    // Whatever a worker starts ends with the worker: a cgroup per worker
    // under systemd, the watchdog as subreaper elsewhere.
    void setUpContainment();
    void prepareContainment(WorkerRecord &worker);
    void noteContainedStart(WorkerRecord &worker);
    void endDescendants(WorkerRecord &worker);
    void endOrphans(const WorkerRecord *ended);
    void onContainmentTick();

    DeadlineTimer *startTimer = nullptr;
    // The override being started, as judged; every worker's child executes it.
    JudgedProgram judgedProgram;
    // Ends orphans that ended workers left, or refreshes the workers' usage.
    QTimer *containmentTimer = nullptr;
    // Made when the service starts: an executable run for -v or --status
    // writes nothing.
    std::unique_ptr<StatusPublisher> publisher;
    // Tells when an upgrade has put another program in this one's place.
    InstalledProgram *installedProgram = nullptr;
};

#endif // SERVICE_H
