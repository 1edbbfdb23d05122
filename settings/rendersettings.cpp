#include "rendersettings.h"

#include <tuple>

namespace {

// Every field in record order, for the comparison.
auto fields(const RenderSettings &s)
{
    return std::tie(s.logLevel, s.engineLogLevel, s.daysToKeepLogs, s.loggingEnabled,
                    s.logLocation, s.language, s.useSystemProxy, s.theme,
                    s.manager, s.autodetect, s.clientStatePort, s.workerStatePort,
                    s.enableWebStatitics, s.webStatisticsPort, s.highWorkerId, s.highClientId,
                    s.regionSizeHint, s.interiorModeRegionSizeHint, s.interiorModeRegionOverlap,
                    s.useOldRegionSplitMethod, s.statusTimerInterval, s.ssl, s.userLogin,
                    s.anonymousUsers, s.sslCertificatePath, s.sslPrivateKeyPath,
                    s.disableQueuePreview, s.fifoDownloadOrder, s.parallelJobs, s.restfulApi,
                    s.restfulApiPort, s.proxyType, s.proxyPort, s.proxyHost, s.proxyUser,
                    s.proxyPassword, s.updateSystemEnabled, s.automaticUpdatesEnabled,
                    s.worker, s.managerIp, s.managerPort, s.workerPriority, s.allowedCores,
                    s.launchWorkerTray, s.workerPaused, s.gpuWorkerPaused, s.workerId,
                    s.workerGpuId, s.restartWorkerOnOutOfMemory, s.workerCpu, s.workerGpu,
                    s.workerGpus,
                    s.smtpEnabled, s.smtpSsl, s.smtpServer, s.smtpEmail, s.smtpUsername,
                    s.smtpPassword, s.smtpPort, s.emailDatabaseErrors, s.emailResultErrors,
                    s.emailGeneralErrors,
                    s.autoDeleteJobs, s.autoDeleteJobDays);
}

} // namespace

bool operator==(const RenderSettings &a, const RenderSettings &b)
{
    return fields(a) == fields(b);
}

bool operator!=(const RenderSettings &a, const RenderSettings &b)
{
    return !(a == b);
}
