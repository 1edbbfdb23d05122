#include "logger.h"

#include "entryformat.h"
#include "entrywriter.h"
#include "logfilename.h"
#include "printable.h"
#include "resourcefolder.h"

#include <QCoreApplication>
#include <QDir>

#include <utility>

Logger &Logger::instance()
{
    static Logger *const logger = new Logger;
    return *logger;
}

void Logger::setEnabled(bool on)
{
    enabled = on;
}

void Logger::setLevel(int value)
{
    level = value;
}

void Logger::setEchoToStdout(bool on)
{
    echoToStdout = on;
}

void Logger::setClock(Clock source)
{
    clock = std::move(source);
}

void Logger::setFailureReporter(FailureReporter reporter)
{
    failureReporter = std::move(reporter);
    failureReported = false;
}

void Logger::setLogFolder(const QString &location, int creationMode)
{
    logFolder = location;
    folderCreationMode = location.isEmpty() ? logFolderMode : creationMode;
    if (logFolder.isEmpty())
        logFolder = logsFolder(true).path();
    const QDir folder(logFolder);
    if (folder.exists()
        || (folderCreationMode != noFolderCreation
            && createFolder(folder.absolutePath(), folderCreationMode)))
        return;
    const QString failure = QStringLiteral("Could not create Log file:") + printable(location);
    printLine(failure);
    // No exit is requested: this runs before the event loop, and a watchdog
    // without a log folder must still supervise its workers. The entries are
    // lost one by one as their files fail to open. A named folder gives way
    // to the default one, and its caller says so; the default's failure is
    // reported here.
    if (location.isEmpty())
        reportFailure(failure);
}

QDateTime Logger::now() const
{
    return clock ? clock() : QDateTime::currentDateTime();
}

QString Logger::currentLogFilePath() const
{
    return logFilePath(logFolder, filePrefix, logFileDate(now()));
}

bool Logger::shouldLog(QtMsgType type, const QMessageLogContext &context) const
{
    if (!enabled) {
        if (type == QtFatalMsg)
            QCoreApplication::exit(-1);
        return false;
    }
    switch (type) {
    case QtFatalMsg:
        return true;
    case QtCriticalMsg:
        return level > 1;
    case QtWarningMsg:
        return level > 2;
    case QtInfoMsg:
        return level > 3;
    case QtDebugMsg:
        if (isTraceCategory(categoryName(context)) && level < 6)
            return false;
        return level > 4;
    }
    return false;
}

void Logger::messageHandler(QtMsgType type, const QMessageLogContext &context,
                            const QString &message)
{
    Logger &logger = instance();
    if (logger.echoToStdout)
        printLine(message);
    // Qt hands a message raised inside the handler to its default output, but
    // only when the handler was called by Qt. Called directly, a message raised
    // while this thread writes an entry would wait for the entry's lock
    // forever; it has had its echo and goes no further.
    if (EntryWriter::isWritingOnThisThread())
        return;
    if (!logger.shouldLog(type, context))
        return;

    const QByteArray tail = formatLineTail(type, categoryName(context), message);
    QString failure;
    bool newDay = false;
    const bool written = EntryWriter::instance().write(tail, logger.clock, logger.logFolder,
                                                       logger.filePrefix,
                                                       logger.folderCreationMode, &failure,
                                                       &newDay);
    if (!written)
        logger.reportFailure(failure);
    // A watchdog runs for months: the clean-up of its start is done again
    // each time the date of its entries changes.
    if (newDay && logger.keepDays)
        logger.pruneOldLogs(*logger.keepDays);
}

void Logger::reportFailure(const QString &text)
{
    if (!failureReporter || failureReported.exchange(true))
        return;
    failureReporter(text);
}
