// Reading the shared settings: every key with its default and correction,
// and the migration of legacy groups and keys on the way.

#include "rendersettings.h"

#include "languagedetection.h"
#include "languages.h"
#include "settingsgroups.h"
#include "settingsmigration.h"
#include "sgpuinfo.h"
#include "storedtext.h"

#include <QSettings>
#include <QVariant>

namespace {

const QString legacyManagerGroup = QStringLiteral("master");
const QString legacyWorkerGroup = QStringLiteral("slave");

const qint32 defaultRegionSizeHint = 320;

// Typed reads of one key of the current group, with the toolkit's
// conversions: a value that does not convert gives the conversion's zero.
bool readBool(const QSettings &store, const QString &key, bool defaultValue)
{
    return store.value(key, defaultValue).toBool();
}

qint32 readInt(const QSettings &store, const QString &key, qint32 defaultValue)
{
    return store.value(key, defaultValue).toInt();
}

// Keeps the low 16 bits, so 70000 reads as 4464.
quint16 readPort(const QSettings &store, const QString &key, quint16 defaultValue)
{
    return static_cast<quint16>(store.value(key, defaultValue).toUInt());
}

quint64 readId(const QSettings &store, const QString &key)
{
    return store.value(key, 0).toULongLong();
}

QString readString(const QSettings &store, const QString &key, const QString &defaultValue = QString())
{
    return store.value(key, defaultValue).toString();
}

// A password written by hand without quotes reaches us as a list when it
// holds a comma; it is one text, commas included.
QString readPassword(const QSettings &store, const QString &key)
{
    const QVariant stored = store.value(key);
    if (stored.typeId() == QMetaType::QStringList)
        return stored.toStringList().join(QLatin1Char(','));
    return stored.toString();
}

QString correctedTheme(const QString &stored)
{
    const QString theme = stored.trimmed();
    if (theme == QLatin1String("Light") || theme == QLatin1String("Dark"))
        return theme;
    return QStringLiteral("Dark");
}

qint32 reducedPriority(const QVariant &stored)
{
    bool ok = false;
    const int value = stored.toInt(&ok);
    if (!ok || value <= 10)
        return 10;
    return value < 30 ? 20 : 30;
}

// The stored device list. A lone value, such as a hand-written "workerGpus=1",
// reaches us as a string, which the toolkit would split into its characters;
// it is one entry.
QVariantList storedDeviceList(const QVariant &stored)
{
    if (stored.typeId() == QMetaType::QString) {
        const QString text = stored.toString();
        return text.isEmpty() ? QVariantList() : QVariantList{text};
    }
    return stored.toList();
}

QList<qint32> filteredGpus(const QVariant &stored)
{
    QVariantList entries = storedDeviceList(stored);
    const qsizetype deviceCount = SGpuInfo().validDevices().size();
    if (entries.isEmpty()) {
        for (qsizetype index = 0; index < deviceCount; ++index)
            entries.append(static_cast<int>(index));
    }
    QList<qint32> gpus;
    for (const QVariant &entry : std::as_const(entries)) {
        bool ok = false;
        const int index = entry.toInt(&ok);
        if (ok && index >= 0 && index < deviceCount)
            gpus.append(index);
    }
    return gpus;
}

void readCommon(QSettings &store, RenderSettings &s)
{
    store.beginGroup(commonGroup);
    const QString legacyLogLevel = QStringLiteral("debugLevel");
    if (store.contains(legacyLogLevel)) {
        const QVariant stored = store.value(legacyLogLevel, 4);
        s.logLevel = stored.toInt();
        store.remove(legacyLogLevel);
        // Stored at once: the watchdog only reads, and the level must not
        // vanish from the shared file with the legacy key.
        store.setValue(QStringLiteral("logLevel"), stored);
    } else {
        s.logLevel = readInt(store, QStringLiteral("logLevel"), 4);
    }
    s.engineLogLevel = readInt(store, QStringLiteral("engineLogLevel"), 0);
    s.loggingEnabled = readBool(store, QStringLiteral("loggingEnabled"), true);
    s.daysToKeepLogs = readInt(store, QStringLiteral("daysToKeepLogs"), 10);
    s.logLocation = readString(store, QStringLiteral("logLocation"));
    s.language = readString(store, QStringLiteral("language"));
    if (s.language.isEmpty())
        s.language = lang::Languages::normalizeLanguageName(detectedLanguage());
    s.useSystemProxy = readBool(store, QStringLiteral("useSystemProxy"), false);
    s.theme = correctedTheme(readString(store, QStringLiteral("theme"), QStringLiteral("Dark")));
    store.endGroup();
}

void readRegionHints(const QSettings &store, RenderSettings &s)
{
    s.regionSizeHint = readInt(store, QStringLiteral("regionSizeHint"), defaultRegionSizeHint);
    if (s.regionSizeHint < 1)
        s.regionSizeHint = defaultRegionSizeHint;
    s.interiorModeRegionSizeHint =
            readInt(store, QStringLiteral("interiorModeRegionSizeHint"), defaultRegionSizeHint);
    if (s.interiorModeRegionSizeHint < 1)
        s.interiorModeRegionSizeHint = s.regionSizeHint;
    s.interiorModeRegionOverlap = readInt(store, QStringLiteral("interiorModeRegionOverlap"), 10);
    if (s.interiorModeRegionOverlap < 0
        || s.interiorModeRegionOverlap >= s.interiorModeRegionSizeHint)
        s.interiorModeRegionOverlap = 0;
}

void readProxyPassword(QSettings &store, RenderSettings &s)
{
    const QString legacyPassword = QStringLiteral("proxyPass");
    if (store.contains(legacyPassword)) {
        s.proxyPassword = readPassword(store, legacyPassword);
        store.remove(legacyPassword);
        // Stored at once, encoded, so that reading does not lose the password.
        store.setValue(QStringLiteral("pp"), encodeStoredText(s.proxyPassword));
    } else {
        s.proxyPassword = decodeStoredText(readString(store, QStringLiteral("pp")));
    }
}

void readManagerKeys(QSettings &store, RenderSettings &s)
{
    migrateKey(store, QStringLiteral("master"), QStringLiteral("manager"));
    s.manager = readBool(store, QStringLiteral("manager"), false);
    s.autodetect = readBool(store, QStringLiteral("autodetect"), true);
    s.clientStatePort = readPort(store, QStringLiteral("clientStatePort"), 4847);
    migrateKey(store, QStringLiteral("slaveStatePort"), QStringLiteral("workerStatePort"));
    s.workerStatePort = readPort(store, QStringLiteral("workerStatePort"), 4848);
    s.enableWebStatitics = readBool(store, QStringLiteral("enableWebStatitics"), false);
    s.webStatisticsPort = readPort(store, QStringLiteral("webStatisticsPort"), 8080);
    s.highWorkerId = readId(store, QStringLiteral("highWorkerId"));
    s.highClientId = readId(store, QStringLiteral("highClientId"));
    s.statusTimerInterval = readPort(store, QStringLiteral("statusTimerInterval"), 2000);
    s.ssl = readBool(store, QStringLiteral("ssl"), false);
    s.sslCertificatePath = readString(store, QStringLiteral("sslCertificatePath"));
    s.sslPrivateKeyPath = readString(store, QStringLiteral("sslPrivateKeyPath"));
    s.userLogin = readBool(store, QStringLiteral("userLogin"), false);
    s.anonymousUsers = readBool(store, QStringLiteral("anonymousUsers"), true);
    s.disableQueuePreview = readBool(store, QStringLiteral("disableQueuePreview"), false);
    s.fifoDownloadOrder = readBool(store, QStringLiteral("fifoDownloadOrder"), false);
    s.parallelJobs = readInt(store, QStringLiteral("parallelJobs"), 1);
    s.autoDeleteJobs = readBool(store, QStringLiteral("autoDeleteJobs"), false);
    s.autoDeleteJobDays = readInt(store, QStringLiteral("autoDeleteJobDays"), 30);
    s.restfulApi = readBool(store, QStringLiteral("restfulApi"), false);
    s.restfulApiPort = readPort(store, QStringLiteral("restfulApiPort"), 8080);
    readRegionHints(store, s);
    s.useOldRegionSplitMethod = readBool(store, QStringLiteral("useOldRegionSplitMethod"), false);
    s.proxyType = readInt(store, QStringLiteral("proxyType"), 1);
    s.proxyHost = readString(store, QStringLiteral("proxyHost"));
    s.proxyPort = readPort(store, QStringLiteral("proxyPort"), 1);
    s.proxyUser = readString(store, QStringLiteral("proxyUser"));
    readProxyPassword(store, s);
    s.updateSystemEnabled = readBool(store, QStringLiteral("updateSystemEnabled"), true);
    s.automaticUpdatesEnabled = readBool(store, QStringLiteral("automaticUpdatesEnabled"), true);
    store.remove(QStringLiteral("masterLogCount"));
}

void readWorkerKeys(QSettings &store, RenderSettings &s)
{
    migrateKey(store, QStringLiteral("slave"), QStringLiteral("worker"));
    s.worker = readBool(store, QStringLiteral("worker"), false);
    s.managerIp = readString(store, QStringLiteral("ip"));
    s.managerPort = readPort(store, QStringLiteral("port"), s.workerStatePort);
    migrateKey(store, QStringLiteral("slavePriority"), QStringLiteral("workerPriority"));
    s.workerPriority = reducedPriority(store.value(QStringLiteral("workerPriority"), 10));
    s.allowedCores = readInt(store, QStringLiteral("allowedCores"), 0);
    s.launchWorkerTray = readBool(store, QStringLiteral("launchWorkerTray"), true);
    migrateKey(store, QStringLiteral("slavePaused"), QStringLiteral("workerPaused"));
    s.workerPaused = readBool(store, QStringLiteral("workerPaused"), false);
    s.gpuWorkerPaused = readBool(store, QStringLiteral("gpuWorkerPaused"), false);
    migrateKey(store, QStringLiteral("slaveId"), QStringLiteral("workerId"));
    s.workerId = readId(store, QStringLiteral("workerId"));
    s.workerGpuId = readId(store, QStringLiteral("workerGpuId"));
    s.restartWorkerOnOutOfMemory = readBool(store, QStringLiteral("restartWorkerOnOutOfMemory"), true);
    s.workerCpu = readBool(store, QStringLiteral("workerCpu"), true);
    s.workerGpu = readBool(store, QStringLiteral("workerGpu"), false);
    s.workerGpus = filteredGpus(store.value(QStringLiteral("workerGpus"), QVariantList()));
    store.remove(QStringLiteral("slaveLogCount"));
}

// Reads one group's keys from the legacy group when the file still has it,
// and then moves the legacy group's keys into the current group.
void readMigratedGroup(QSettings &store, const QStringList &groups, const QString &legacyGroup,
                       const QString &group, void (*readKeys)(QSettings &, RenderSettings &),
                       RenderSettings &s)
{
    const bool legacy = groups.contains(legacyGroup);
    store.beginGroup(legacy ? legacyGroup : group);
    readKeys(store, s);
    store.endGroup();
    if (legacy)
        migrateGroup(store, legacyGroup, group);
}

void readSmtp(const QSettings &store, RenderSettings &s)
{
    s.smtpEnabled = readBool(store, QStringLiteral("smtp"), false);
    s.smtpServer = readString(store, QStringLiteral("server"));
    s.smtpPort = readPort(store, QStringLiteral("port"), 25);
    s.smtpEmail = readString(store, QStringLiteral("email"));
    s.smtpUsername = readString(store, QStringLiteral("username"));
    s.smtpPassword = decodeStoredText(readString(store, QStringLiteral("password")));
    s.smtpSsl = readBool(store, QStringLiteral("ssl"), false);
    s.emailDatabaseErrors = readBool(store, QStringLiteral("emailDatabaseErrors"), true);
    s.emailResultErrors = readBool(store, QStringLiteral("emailResultErrors"), true);
    s.emailGeneralErrors = readBool(store, QStringLiteral("emailGeneralErrors"), true);
}

} // namespace

RenderSettings readSettings(QSettings &store)
{
    RenderSettings s;
    // Taken before any migration, so the choice of group rests on the file
    // as it was found.
    const QStringList groups = store.childGroups();
    readCommon(store, s);
    readMigratedGroup(store, groups, legacyManagerGroup, managerGroup, readManagerKeys, s);
    // After the manager keys: the worker's port defaults to workerStatePort.
    readMigratedGroup(store, groups, legacyWorkerGroup, workerGroup, readWorkerKeys, s);
    store.beginGroup(smtpGroup);
    readSmtp(store, s);
    store.endGroup();
    return s;
}
