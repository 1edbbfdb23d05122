#include "logger.h"

#include "resourcefolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <cstdio>
#include <mutex>

namespace {

// Serialises the writing of entries. Created on first use and never
// destroyed: messages may still arrive while static objects are torn down.
std::mutex &entryMutex()
{
    static std::mutex *const mutex = new std::mutex;
    return *mutex;
}

// Set while this thread holds the entry mutex. The mutex is not recursive, so
// a message raised by the work done under it must not wait for it again.
thread_local bool writingEntry = false;

class WritingEntryScope
{
public:
    WritingEntryScope() { writingEntry = true; }
    ~WritingEntryScope() { writingEntry = false; }
    Q_DISABLE_COPY_MOVE(WritingEntryScope)
};

// No QString here: messages may still arrive while statics are destroyed.
constexpr QLatin1String traceSuffix(".trace");

QString categoryName(const QMessageLogContext &context)
{
    return QString::fromUtf8(context.category);
}

bool isTraceCategory(const QString &name)
{
    return name.endsWith(traceSuffix);
}

QByteArray tagFor(QtMsgType type, const QString &category)
{
    switch (type) {
    case QtFatalMsg:
        return "FF";
    case QtCriticalMsg:
        return "EE";
    case QtWarningMsg:
        return "WW";
    case QtInfoMsg:
        return "II";
    case QtDebugMsg:
        return isTraceCategory(category) ? "TT" : "DD";
    }
    return {};
}

// The category as the line shows it: without any ".trace", lower-cased,
// padded to nine characters (longer names whole); nothing for no category.
QString displayCategory(const QString &category)
{
    QString shown = category;
    shown.remove(traceSuffix);
    shown = shown.toLower();
    if (shown.isEmpty())
        return {};
    return QLatin1Char(' ') + shown.leftJustified(9);
}

QByteArray formatLine(const QDateTime &moment, QtMsgType type, const QString &category,
                      const QString &message)
{
    QByteArray line = moment.toString(Qt::TextDate).toUtf8();
    line += " [";
    line += tagFor(type, category);
    line += displayCategory(category).toUtf8();
    line += "] ";
    line += message.toUtf8();
    line += '\n';
    if (message.isEmpty())
        line += '\n';
    return line;
}

QString cannotWriteMessage(const QString &path)
{
    return QStringLiteral("Cannot write to log file: ") + path;
}

// Only a plain file (or none yet) is opened. A pipe without a reader would
// block every thread that logs, the event loop's included, and a device
// cannot be appended to (opening one even emits a warning, under the lock).
bool isPlainFileOrMissing(const QString &path)
{
    const QFileInfo info(path);
    return !info.exists() || info.isFile();
}

void printLine(const QString &text)
{
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace

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

void Logger::setLogFolder(const QString &location)
{
    logFolder = location;
    if (logFolder.isEmpty())
        logFolder = logsFolder(true).path();
    const QDir folder(logFolder);
    if (folder.exists() || QDir().mkpath(folder.absolutePath()))
        return;
    const QString failure = QStringLiteral("Could not create Log file:") + location;
    printLine(failure);
    // No exit is requested: this runs before the event loop, and a watchdog
    // without a log folder must still supervise its workers. The entries are
    // lost one by one as their files fail to open.
    reportFailure(failure);
}

QDateTime Logger::now() const
{
    return clock ? clock() : QDateTime::currentDateTime();
}

QString Logger::currentLogFilePath() const
{
    return logFilePathAt(now());
}

QString Logger::logFilePathAt(const QDateTime &moment) const
{
    const QString date = QLocale::c().toString(moment.date(), QLatin1String(fileDateFormat));
    return QDir(logFolder).absoluteFilePath(filePrefix + date + QStringLiteral(".log"));
}

bool Logger::openLogFile(QFile &file) const
{
    // Unbuffered: the line goes to the file in the one write of the entry,
    // and a refused write leaves nothing behind to be written later.
    const QIODevice::OpenMode mode = QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered;
    if (isPlainFileOrMissing(file.fileName()) && file.open(mode)) {
        // Every program of the installation writes and rotates these files,
        // whatever user it runs as and whatever its creation mask is.
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                            | QFileDevice::ReadUser | QFileDevice::WriteUser
                            | QFileDevice::ReadGroup | QFileDevice::WriteGroup
                            | QFileDevice::ReadOther | QFileDevice::WriteOther);
        return true;
    }
    // Only the entry is lost: the event loop goes on, since a watchdog that
    // stops supervising because its disk is full is worse than no log.
    printLine(cannotWriteMessage(file.fileName()));
    printLine(QStringLiteral("Do you have the necessary privileges to run to process?"));
    return false;
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
    // while this thread holds the lock would wait for it forever; it has had
    // its echo and goes no further.
    if (writingEntry)
        return;
    if (!logger.shouldLog(type, context))
        return;

    QString failure;
    bool written = false;
    {
        const WritingEntryScope scope;
        const std::lock_guard<std::mutex> lock(entryMutex());
        written = logger.writeEntry(type, context, message, &failure);
    }
    if (!written)
        logger.reportFailure(failure);
}

// Runs under the entry mutex: nothing here may emit a message through the
// logging calls. Returns false with the text of the failure when the entry
// could not be written.
bool Logger::writeEntry(QtMsgType type, const QMessageLogContext &context,
                        const QString &message, QString *failure) const
{
    // One reading of the clock names the file and stamps the line, so an
    // entry at midnight cannot land in the file of the other day.
    const QDateTime moment = now();
    QFile file(logFilePathAt(moment));
    if (!openLogFile(file)) {
        *failure = cannotWriteMessage(file.fileName());
        return false;
    }
    const qint64 lengthBefore = file.size();
    const QByteArray line = formatLine(moment, type, categoryName(context), message);
    const bool complete = file.write(line) == line.size();
    if (!complete) {
        // A full disk opens the file but refuses the line, or part of it;
        // a torn line would run into the next entry.
        file.resize(lengthBefore);
        *failure = cannotWriteMessage(file.fileName());
        printLine(*failure);
    }
    file.close();
    return complete;
}

void Logger::reportFailure(const QString &text)
{
    if (!failureReporter || failureReported.exchange(true))
        return;
    failureReporter(text);
}
