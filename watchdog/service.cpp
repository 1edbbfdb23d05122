#include "service.h"

#include "applicationversion.h"
#include "pathtrust.h"
#include "printable.h"
#include "resourcefolder.h"
#include "statuspublisher.h"
#include "svnrservicecontroller.h"

#include <QDebug>
#include <QFileInfo>
#include <QVersionNumber>

#include <utility>

namespace {

const QString watchdogSuffix = QStringLiteral("_watchdog");

// The worker program lies beside the watchdog under the watchdog's own name
// without "_watchdog": render_worker_watchdog watches render_worker. Only the
// file name loses it; a folder such as /opt/farm_watchdog/ stays what it is.
QString workerPathFor(const QString &watchdogPath)
{
    const QFileInfo info(watchdogPath);
    const QString fileName = info.fileName().remove(watchdogSuffix);
    const QString folder = watchdogPath.left(watchdogPath.size() - info.fileName().size());
    return folder + fileName;
}

QString baseNameOf(const QString &path)
{
    return QFileInfo(path).baseName();
}

// Started as "ld-linux-x86-64.so.2 /opt/x/render_worker_watchdog", the
// application's own path is the dynamic loader's.
bool isDynamicLoader(const QString &name)
{
    const QString lower = name.toLower();
    return lower == QLatin1String("ld") || lower == QLatin1String("ld-2")
        || lower == QLatin1String("ld-linux-x86-64");
}

bool isWorkerService(const QString &name)
{
    return name.toLower().endsWith(QLatin1String("worker"));
}

} // namespace

Service::Service(const QString &name, int argc, char **argv, SVNRServiceController *controller)
    : QObject(nullptr), ServiceType(argc, argv, name, controller), name(name)
{
    setServiceDescription(name);
    setStartupType(0);
    if (controller)
        controller->executablePath = executableFilePath();
}

Service::~Service()
{
    stopProcesses();
}

void Service::createApplication(int &argc, char **argv)
{
    app = new QCoreApplication(argc, argv);
    const bool verbose = qEnvironmentVariableIsSet("VERBOSE");

    // The program's own file, with every link resolved (the toolkit reads
    // /proc/self/exe): a command on PATH that links to the installation
    // still finds the worker beside the real program, and no name the caller
    // chose decides what root starts.
    programPath = QCoreApplication::applicationFilePath();
    appPath = workerPathFor(programPath);
    appName = baseNameOf(appPath);
    const QStringList arguments = QCoreApplication::arguments();
    if (isDynamicLoader(appName) && arguments.size() == 1) {
        programPath = QFileInfo(arguments.first()).canonicalFilePath();
        appPath = workerPathFor(programPath);
        appName = baseNameOf(appPath);
    }

    // Refusals of the files read from here on reach the system log.
    PathTrust::setRefusalReporter([this](const QString &refusal) { logMessage(refusal, Error); });
    dataPath = QDir(resourceFolderPath());
    const RenderSettings settings = readSharedSettings();
    setUpLogging(settings, verbose);
    applyWorkerSettings(settings);
    workerSettingsFresh = true;
}

void Service::readWorkerSettings()
{
    // Only a worker service has worker settings to read.
    if (isWorkerService(name))
        applyWorkerSettings(readSharedSettings());
}

void Service::applyWorkerSettings(const RenderSettings &settings)
{
    isWorker = isWorkerService(name);
    if (!isWorker)
        return;
    cpuEnabled = settings.workerCpu;
    gpuEnabled = settings.workerGpu;
}

void Service::start()
{
    if (!std::exchange(workerSettingsFresh, false))
        readWorkerSettings();
    const QString message = QStringLiteral("Starting %1 from %2 ").arg(name, printable(appPath));
    logMessage(message, Information);
    qDebug() << message;
    qDebug() << "WatchDog(" << programVersion() << ") for: " << name;
    watchInstalledProgram();
    setUpContainment();
    startStatus();
    startProcessAfter(startDelayMs());
}

QVersionNumber Service::programVersion()
{
    return QVersionNumber({ mrv::ApplicationVersion::major_, mrv::ApplicationVersion::minor_,
                            mrv::ApplicationVersion::patch_, mrv::ApplicationVersion::build_ });
}

QString Service::programVersionText()
{
    return QString::fromLatin1(mrv::ApplicationVersion::text_);
}

void Service::startStatus()
{
    if (!publisher) {
        publisher = std::make_unique<StatusPublisher>(name, statusFilePath(), qEnvironmentVariable(metricsFolderVariable),
                                                      [this](const QString &failure) {
                                                          logMessage(printable(failure), Warning);
                                                          qWarning().noquote() << printable(failure);
                                                      });
        publisher->keepMetricsFresh([this] { return currentStatus(); });
    }
    // The workers the settings enable wait for their first start.
    if (cpuEnabled || !isWorker)
        cpuWorker.setState(WorkerRecord::State::WaitingToRestart);
    if (isWorker && gpuEnabled)
        gpuWorker.setState(WorkerRecord::State::WaitingToRestart);
    reportStatus();
}

void Service::stop()
{
    const QString message = QStringLiteral("Stopping %1.").arg(name);
    logMessage(message, Information);
    qDebug() << message;
    stopProcesses();
}

void Service::pause()
{
    logMessage(QStringLiteral("Pausing %1.").arg(name), Information);
    stopProcesses();
}

void Service::resume()
{
    readWorkerSettings();
    logMessage(QStringLiteral("Resuming %1.").arg(name), Information);
    startProcess();
}

bool Service::install(const QString &account, const QString &password)
{
    return ServiceType::install(account, password);
}
