#ifndef RECORDFIELDS_H
#define RECORDFIELDS_H

// The fields of RenderSettings by name, so that data-driven tests can name the
// field they expect and compare records field by field.

#include "rendersettings.h"

#include <QStringList>
#include <QTest>
#include <QVariant>

#define RENDER_SETTINGS_FIELDS(X)                                                                  \
    X(logLevel) X(engineLogLevel) X(daysToKeepLogs) X(loggingEnabled) X(logLocation) X(language)  \
    X(useSystemProxy) X(theme) X(manager) X(autodetect) X(clientStatePort) X(workerStatePort)     \
    X(enableWebStatitics) X(webStatisticsPort) X(highWorkerId) X(highClientId) X(regionSizeHint)  \
    X(interiorModeRegionSizeHint) X(interiorModeRegionOverlap) X(useOldRegionSplitMethod)         \
    X(statusTimerInterval) X(ssl) X(userLogin) X(anonymousUsers) X(sslCertificatePath)            \
    X(sslPrivateKeyPath) X(disableQueuePreview) X(fifoDownloadOrder) X(parallelJobs)              \
    X(restfulApi) X(restfulApiPort) X(proxyType) X(proxyPort) X(proxyHost) X(proxyUser)           \
    X(proxyPassword) X(updateSystemEnabled) X(automaticUpdatesEnabled) X(worker) X(managerIp)     \
    X(managerPort) X(workerPriority) X(allowedCores) X(launchWorkerTray) X(workerPaused)          \
    X(gpuWorkerPaused) X(workerId) X(workerGpuId) X(restartWorkerOnOutOfMemory) X(workerCpu)      \
    X(workerGpu) X(workerGpus) X(smtpEnabled) X(smtpSsl) X(smtpServer) X(smtpEmail)               \
    X(smtpUsername) X(smtpPassword) X(smtpPort) X(emailDatabaseErrors) X(emailResultErrors)       \
    X(emailGeneralErrors) X(autoDeleteJobs) X(autoDeleteJobDays)

namespace recordfields {

inline QStringList names()
{
    QStringList result;
#define RECORD_FIELD_NAME(field) result.append(QStringLiteral(#field));
    RENDER_SETTINGS_FIELDS(RECORD_FIELD_NAME)
#undef RECORD_FIELD_NAME
    return result;
}

inline QVariant value(const RenderSettings &settings, const QString &name)
{
#define RECORD_FIELD_VALUE(field)                                                                  \
    if (name == QLatin1String(#field))                                                             \
        return QVariant::fromValue(settings.field);
    RENDER_SETTINGS_FIELDS(RECORD_FIELD_VALUE)
#undef RECORD_FIELD_VALUE
    qFatal("RenderSettings has no field %s", qPrintable(name));
    return QVariant();
}

inline void set(RenderSettings &settings, const QString &name, const QVariant &value)
{
#define RECORD_FIELD_SET(field)                                                                    \
    if (name == QLatin1String(#field))                                                             \
        settings.field = value.value<decltype(settings.field)>();
    RENDER_SETTINGS_FIELDS(RECORD_FIELD_SET)
#undef RECORD_FIELD_SET
}

// Compares two records one field at a time, so that a failure names the field.
inline void compare(const RenderSettings &actual, const RenderSettings &expected)
{
#define RECORD_FIELD_COMPARE(field) QCOMPARE(actual.field, expected.field);
    RENDER_SETTINGS_FIELDS(RECORD_FIELD_COMPARE)
#undef RECORD_FIELD_COMPARE
}

} // namespace recordfields

#endif // RECORDFIELDS_H
