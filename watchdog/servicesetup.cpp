// What the watchdog reads and prepares before its event loop runs: the
// shared settings and its logging.

#include "service.h"

#include "logger.h"
#include "settingsstorage.h"

#include <QSettings>

RenderSettings Service::readSharedSettings() const
{
    const std::unique_ptr<QSettings> store = openSettings();
    return readSettings(*store);
}

void Service::setUpLogging(const RenderSettings &settings, bool verbose)
{
    Logger &logger = Logger::instance();
    // A log that cannot be written costs log entries, never the workers: the
    // first failure of a run, from here on, goes to the system log, and
    // supervision goes on.
    logger.setFailureReporter([this](const QString &failure) { logMessage(failure, Error); });
    logger.setLogFolder(settings.logLocation);
    logger.filePrefix = QStringLiteral("watchdog_") + appName + QLatin1Char('_');
    logger.setEnabled(settings.loggingEnabled);
    logger.setLevel(settings.logLevel);
    logger.setEchoToStdout(verbose);
    logger.removeOldLogs(settings.daysToKeepLogs);
    qInstallMessageHandler(Logger::messageHandler);
}
