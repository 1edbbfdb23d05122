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
