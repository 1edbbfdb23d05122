// What the watchdog reads and prepares before its event loop runs: the
// shared settings and its logging.

#include "service.h"

#include "foldercreation.h"
#include "logfoldertrust.h"
#include "logger.h"
#include "loglocation.h"
#include "pathtrust.h"
#include "settingssnapshot.h"
#include "settingsstorage.h"

#include <QDebug>
#include <QFileInfo>
#include <QSettings>

RenderSettings Service::readSharedSettings() const
{
    // Any user can write the file: it is read from a private snapshot, so
    // the migration of legacy entries stays in memory and the file is never
    // written by the watchdog.
    QString error;
    const std::unique_ptr<SettingsSnapshot> snapshot = SettingsSnapshot::take(settingsFilePath(), &error);
    if (!error.isEmpty())
        PathTrust::reportOnce(error);
    return readSettings(snapshot->store());
}

void Service::setUpLogging(const RenderSettings &settings, bool verbose)
{
    Logger &logger = Logger::instance();
    // A log that cannot be written costs log entries, never the workers: the
    // first failure of a run, from here on, goes to the system log, and
    // supervision goes on.
    logger.setFailureReporter([this](const QString &failure) { logMessage(failure, Error); });

    // A log folder named in a file others can write must not let them have
    // root create files elsewhere; the default folder then serves.
    QString refusal;
    const QString &location = settings.logLocation;
    int creationMode = logFolderMode;
    const bool allowed = location.isEmpty()
            || isAllowedLogLocation(location, settingsFilePath(), &refusal, &creationMode);
    logger.setLogFolder(allowed ? location : QString(), allowed ? creationMode : logFolderMode);
    // One that cannot be made, is refused as it is, or cannot be written
    // (read-only in the service's sandbox) gives way to the default folder,
    // as a refused location does.
    if (allowed && !location.isEmpty() && !isUsableLogFolder(logger.logFolder, &refusal))
        logger.setLogFolder(QString());

    logger.filePrefix = QStringLiteral("watchdog_") + appName + QLatin1Char('_');
    logger.setEnabled(settings.loggingEnabled);
    logger.setLevel(settings.logLevel);
    logger.setEchoToStdout(verbose);
    logger.removeOldLogs(settings.daysToKeepLogs);
    qInstallMessageHandler(Logger::messageHandler);
    if (!refusal.isEmpty())
        PathTrust::reportRefusal(location, refusal);
}
