#include "settingsreport.h"

#include "rendersettings.h"
#include "sgpuinfo.h"

#include <QDebug>
#include <QSettings>

namespace {

const char closingLine[] = "------------";

// An identifier the manager has not handed out yet is 0.
QString identifierText(quint64 id)
{
    return id == 0 ? QStringLiteral("Unspecified") : QString::number(id);
}

void logCommonSettings(const RenderSettings &s)
{
    qInfo() << "--- Settings ---";
    qInfo() << "--- Common ---";
    qInfo() << "Language:" << s.language;
    qInfo() << "Log Level:" << s.logLevel;
    qInfo() << "Engine Log Level:" << s.engineLogLevel;
    qInfo() << "Use System Proxy:" << s.useSystemProxy;
    qInfo() << "Theme:" << s.theme;
}

void logManagerSettings(const RenderSettings &s)
{
    qInfo() << "--- Manager ---";
    qInfo() << "Manager:" << s.manager;
    qInfo() << "Auto detect:" << s.autodetect;
    qInfo() << "Monitor Port:" << s.clientStatePort;
    qInfo() << "Worker Port:" << s.workerStatePort;
    qInfo() << "Use TLS:" << s.ssl;
    if (s.ssl) {
        qInfo() << "TLS Cert:" << s.sslCertificatePath;
        qInfo() << "TLS Key:" << s.sslPrivateKeyPath;
    }
    qInfo() << "User System:" << s.userLogin;
    if (s.userLogin)
        qInfo() << "Anonymous Users:" << s.anonymousUsers;
    qInfo() << "Disable Monitor preview:" << s.disableQueuePreview;
    qInfo() << "Proxy Type:" << s.proxyType;
    qInfo() << "Proxy Host:" << s.proxyHost;
    qInfo() << "Proxy Port:" << s.proxyPort;
    qInfo() << "Automatic updates:" << s.automaticUpdatesEnabled;
    qInfo() << "Region size hint:" << s.regionSizeHint;
    qInfo() << "FIFO download order:" << s.fifoDownloadOrder;
    qInfo() << "Parallel jobs:" << s.parallelJobs;
    qInfo() << "Auto delete jobs;" << s.autoDeleteJobs;
    qInfo() << "Days until delete (when set)" << s.autoDeleteJobDays;
    qInfo() << "RESTful API server:" << s.restfulApi;
    qInfo() << "Interior mode region size hint:" << s.interiorModeRegionSizeHint;
    qInfo() << "Interior mode region overlap:" << s.interiorModeRegionOverlap;
    qInfo() << "Use old region split method:" << s.useOldRegionSplitMethod;
    // Repeated on purpose: the layout of the block is fixed, and these two
    // lines also stand next to the port below.
    qInfo() << "FIFO download order:" << s.fifoDownloadOrder;
    qInfo() << "RESTful API server:" << s.restfulApi;
    if (s.restfulApi)
        qInfo() << "RESTful API port:" << s.restfulApiPort;
    qInfo() << closingLine;
}

void logWorkerSettings(const RenderSettings &s)
{
    qInfo() << "--- Worker ---";
    qInfo() << "Worker:" << s.worker;
    qInfo() << "Worker ID:" << identifierText(s.workerId);
    qInfo() << "Worker GPU ID:" << identifierText(s.workerGpuId);
    qInfo() << "Manager IP:" << s.managerIp;
    qInfo() << "Manager Port:" << s.managerPort;
    qInfo() << "Priority:" << s.workerPriority;
    qInfo() << "Allowed Cores:" << s.allowedCores;
    qInfo() << "CPU Paused:" << s.workerPaused;
    qInfo() << "GPU Paused:" << s.gpuWorkerPaused;
    qInfo() << "Use Worker Tray:" << s.launchWorkerTray;
    qInfo() << "--- CPU/GPU ---";
    qInfo() << "CPU:" << s.workerCpu;
    qInfo() << "GPU:" << s.workerGpu << gpuDeviceNames(s.workerGpus);
    qInfo() << closingLine;
}

} // namespace

void logManagerSettingsReport(QSettings &store)
{
    const RenderSettings settings = readSettings(store);
    logCommonSettings(settings);
    logManagerSettings(settings);
}

void logWorkerSettingsReport(QSettings &store)
{
    const RenderSettings settings = readSettings(store);
    logCommonSettings(settings);
    logWorkerSettings(settings);
}

QStringList gpuDeviceNames(const QList<int> &indices)
{
    const QStringList devices = SGpuInfo().validDevices();
    QStringList names;
    for (const int index : indices) {
        if (index >= 0 && index < devices.size())
            names.append(devices.at(index));
    }
    return names;
}
