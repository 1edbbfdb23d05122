// Writing the shared settings: every stored key, then a file every program
// of the installation may update.

#include "rendersettings.h"

#include "settingsgroups.h"
#include "storedtext.h"
#include "storestatus.h"

#include <QDebug>
#include <QFile>
#include <QSettings>
#include <QVariant>

namespace {

QString storedPassword(const QString &plain)
{
    return plain.isEmpty() ? QString() : encodeStoredText(plain);
}

void writeCommon(QSettings &store, const RenderSettings &s)
{
    store.beginGroup(commonGroup);
    store.setValue(QStringLiteral("loggingEnabled"), s.loggingEnabled);
    store.setValue(QStringLiteral("logLevel"), s.logLevel);
    store.setValue(QStringLiteral("engineLogLevel"), s.engineLogLevel);
    store.setValue(QStringLiteral("daysToKeepLogs"), s.daysToKeepLogs);
    store.setValue(QStringLiteral("logLocation"), s.logLocation);
    store.setValue(QStringLiteral("language"), s.language);
    store.setValue(QStringLiteral("useSystemProxy"), s.useSystemProxy);
    store.setValue(QStringLiteral("theme"), s.theme);
    store.endGroup();
}

// "enableWebStatitics" and "webStatisticsPort" are only ever read.
void writeManager(QSettings &store, const RenderSettings &s)
{
    store.beginGroup(managerGroup);
    store.setValue(QStringLiteral("manager"), s.manager);
    store.setValue(QStringLiteral("autodetect"), s.autodetect);
    store.setValue(QStringLiteral("clientStatePort"), s.clientStatePort);
    store.setValue(QStringLiteral("workerStatePort"), s.workerStatePort);
    store.setValue(QStringLiteral("ssl"), s.ssl);
    store.setValue(QStringLiteral("sslCertificatePath"), s.sslCertificatePath);
    store.setValue(QStringLiteral("sslPrivateKeyPath"), s.sslPrivateKeyPath);
    store.setValue(QStringLiteral("userLogin"), s.userLogin);
    store.setValue(QStringLiteral("anonymousUsers"), s.anonymousUsers);
    store.setValue(QStringLiteral("disableQueuePreview"), s.disableQueuePreview);
    store.setValue(QStringLiteral("regionSizeHint"), s.regionSizeHint);
    store.setValue(QStringLiteral("interiorModeRegionSizeHint"), s.interiorModeRegionSizeHint);
    store.setValue(QStringLiteral("interiorModeRegionOverlap"), s.interiorModeRegionOverlap);
    store.setValue(QStringLiteral("useOldRegionSplitMethod"), s.useOldRegionSplitMethod);
    store.setValue(QStringLiteral("statusTimerInterval"), s.statusTimerInterval);
    store.setValue(QStringLiteral("fifoDownloadOrder"), s.fifoDownloadOrder);
    store.setValue(QStringLiteral("parallelJobs"), s.parallelJobs);
    store.setValue(QStringLiteral("autoDeleteJobs"), s.autoDeleteJobs);
    store.setValue(QStringLiteral("autoDeleteJobDays"), s.autoDeleteJobDays);
    store.setValue(QStringLiteral("highWorkerId"), s.highWorkerId);
    store.setValue(QStringLiteral("highClientId"), s.highClientId);
    store.setValue(QStringLiteral("proxyType"), s.proxyType);
    store.setValue(QStringLiteral("proxyHost"), s.proxyHost);
    store.setValue(QStringLiteral("proxyPort"), s.proxyPort);
    store.setValue(QStringLiteral("proxyUser"), s.proxyUser);
    store.setValue(QStringLiteral("restfulApi"), s.restfulApi);
    store.setValue(QStringLiteral("restfulApiPort"), s.restfulApiPort);
    store.setValue(QStringLiteral("pp"), storedPassword(s.proxyPassword));
    store.setValue(QStringLiteral("updateSystemEnabled"), s.updateSystemEnabled);
    store.setValue(QStringLiteral("automaticUpdatesEnabled"), s.automaticUpdatesEnabled);
    store.endGroup();
}

void writeWorker(QSettings &store, const RenderSettings &s)
{
    store.beginGroup(workerGroup);
    store.setValue(QStringLiteral("worker"), s.worker);
    store.setValue(QStringLiteral("ip"), s.managerIp);
    store.setValue(QStringLiteral("port"), s.managerPort);
    store.setValue(QStringLiteral("workerPriority"), s.workerPriority);
    store.setValue(QStringLiteral("allowedCores"), s.allowedCores);
    store.setValue(QStringLiteral("launchWorkerTray"), s.launchWorkerTray);
    store.setValue(QStringLiteral("workerPaused"), s.workerPaused);
    store.setValue(QStringLiteral("gpuWorkerPaused"), s.gpuWorkerPaused);
    store.setValue(QStringLiteral("workerId"), s.workerId);
    store.setValue(QStringLiteral("workerGpuId"), s.workerGpuId);
    store.setValue(QStringLiteral("restartWorkerOnOutOfMemory"), s.restartWorkerOnOutOfMemory);
    store.setValue(QStringLiteral("workerCpu"), s.workerCpu);
    store.setValue(QStringLiteral("workerGpu"), s.workerGpu);
    QVariantList gpus;
    for (const qint32 index : s.workerGpus)
        gpus.append(index);
    store.setValue(QStringLiteral("workerGpus"), gpus);
    store.endGroup();
}

void writeSmtp(QSettings &store, const RenderSettings &s)
{
    store.beginGroup(smtpGroup);
    store.setValue(QStringLiteral("smtp"), s.smtpEnabled);
    store.setValue(QStringLiteral("server"), s.smtpServer);
    store.setValue(QStringLiteral("port"), s.smtpPort);
    store.setValue(QStringLiteral("email"), s.smtpEmail);
    store.setValue(QStringLiteral("username"), s.smtpUsername);
    store.setValue(QStringLiteral("password"), storedPassword(s.smtpPassword));
    store.setValue(QStringLiteral("ssl"), s.smtpSsl);
    store.setValue(QStringLiteral("emailDatabaseErrors"), s.emailDatabaseErrors);
    store.setValue(QStringLiteral("emailResultErrors"), s.emailResultErrors);
    store.setValue(QStringLiteral("emailGeneralErrors"), s.emailGeneralErrors);
    store.endGroup();
}

// Read and write for everyone (rw-rw-rw-).
QFileDevice::Permissions allReadWritePermissions()
{
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
            | QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::WriteGroup
            | QFileDevice::ReadOther | QFileDevice::WriteOther;
}

} // namespace

bool writeSettings(QSettings &store, const RenderSettings &settings)
{
    if (!store.isWritable()) {
        qWarning() << store.fileName() << "does not have write permissions.";
        return false;
    }
    writeCommon(store, settings);
    writeManager(store, settings);
    writeWorker(store, settings);
    writeSmtp(store, settings);
    store.sync();
    reportStoreStatus(store);
    // Every program of the installation, whatever its user, must be able to
    // update the shared file.
    if (!QFile::setPermissions(store.fileName(), allReadWritePermissions())
        && store.status() == QSettings::NoError)
        qWarning() << "Failed to make" << store.fileName() << "writable for everyone.";
    return true;
}
