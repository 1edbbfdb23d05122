#ifndef RENDERSETTINGS_H
#define RENDERSETTINGS_H

#include <QList>
#include <QString>
#include <QtGlobal>

class QSettings;

// Every setting that the programs of the network-rendering installation share,
// one field per stored key. A default-constructed record holds the initial
// values below; reading a store that lacks a key gives that key's default
// instead, which differs for many fields (see readSettings).
struct RenderSettings
{
    // Group "common".
    qint32 logLevel = 0;
    qint32 engineLogLevel = 0;
    qint32 daysToKeepLogs = 0;
    bool loggingEnabled = false;
    QString logLocation;
    QString language;
    bool useSystemProxy = false;
    QString theme;

    // Group "manager".
    bool manager = false;
    bool autodetect = false;
    quint16 clientStatePort = 0;
    quint16 workerStatePort = 0;
    bool enableWebStatitics = false;
    quint16 webStatisticsPort = 0;
    quint64 highWorkerId = 0;
    quint64 highClientId = 0;
    qint32 regionSizeHint = 0;
    qint32 interiorModeRegionSizeHint = 0;
    qint32 interiorModeRegionOverlap = 0;
    bool useOldRegionSplitMethod = false;
    qint32 statusTimerInterval = 0; // an unsigned 16-bit value
    bool ssl = false;
    bool userLogin = false;
    bool anonymousUsers = false;
    QString sslCertificatePath;
    QString sslPrivateKeyPath;
    bool disableQueuePreview = false;
    bool fifoDownloadOrder = false;
    qint32 parallelJobs = 1;
    bool restfulApi = false;
    quint16 restfulApiPort = 0;
    qint32 proxyType = 0;
    quint16 proxyPort = 0;
    QString proxyHost;
    QString proxyUser;
    QString proxyPassword; // plain; stored encoded under "pp"
    bool updateSystemEnabled = false;
    bool automaticUpdatesEnabled = false;

    // Group "worker".
    bool worker = false;
    QString managerIp;
    quint16 managerPort = 0;
    qint32 workerPriority = 0;
    qint32 allowedCores = 0;
    bool launchWorkerTray = false;
    bool workerPaused = false;
    bool gpuWorkerPaused = false;
    quint64 workerId = 0;
    quint64 workerGpuId = 0;
    bool restartWorkerOnOutOfMemory = false;
    bool workerCpu = true;
    bool workerGpu = false;
    QList<qint32> workerGpus; // GPU device indices

    // Group "smtp".
    bool smtpEnabled = false;
    bool smtpSsl = false;
    QString smtpServer;
    QString smtpEmail;
    QString smtpUsername;
    QString smtpPassword; // plain; stored encoded under "password"
    quint16 smtpPort = 0;
    bool emailDatabaseErrors = true;
    bool emailResultErrors = true;
    bool emailGeneralErrors = true;

    // Group "manager", kept last in the record.
    bool autoDeleteJobs = true;
    qint32 autoDeleteJobDays = 30;
};

bool operator==(const RenderSettings &a, const RenderSettings &b);
bool operator!=(const RenderSettings &a, const RenderSettings &b);

// The complete record from store, with every key's default and correction.
// Legacy groups ("master", "slave") and keys are migrated to their current
// names and obsolete keys removed; the store writes such changes to its file
// when it is synced or destroyed. Never fails: missing or unconvertible
// values give the defaults and the conversions' zeros.
RenderSettings readSettings(QSettings &store);

// Writes every stored key of settings, syncs, reports a failed sync and makes
// the file readable and writable by everyone. Returns false, writing nothing,
// when the store is not writable.
bool writeSettings(QSettings &store, const RenderSettings &settings);

#endif // RENDERSETTINGS_H
