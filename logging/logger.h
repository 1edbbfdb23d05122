#ifndef LOGGER_H
#define LOGGER_H

#include "foldercreation.h"

#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <optional>

// The process-wide logger. Every message of the process ends in
// messageHandler(), which filters it by type, category and level and appends
// one line to the day's log file in logFolder.
//
// The fields are written only while the process sets logging up, before the
// handler is installed; afterwards every thread reads them without a lock.
// The same holds for the clock and the failure reporter.
class Logger
{
public:
    using Clock = std::function<QDateTime()>;
    using FailureReporter = std::function<void(const QString &)>;

    // The one logger of the process, created on first use and never destroyed,
    // so that messages emitted while the process ends still find it.
    static Logger &instance();

    QString filePrefix;        // leading part of every log file name
    QString logFolder;         // folder of the log files
    int level = 4;             // 0..6, see shouldLog()
    bool echoToStdout = false; // print every raw message on standard output
    bool enabled = false;      // write anything at all

    void setEnabled(bool on);
    void setLevel(int value);
    void setEchoToStdout(bool on);

    // Settles the log folder: location, or the resource folder's Logs
    // subfolder when location is empty; creates it with creationMode when
    // missing, and again whenever an entry finds it gone. With
    // noFolderCreation it must exist: it is never made. The failure reporter
    // is told only when the default folder cannot be made: a named one is
    // the caller's to replace.
    void setLogFolder(const QString &location, int creationMode = logFolderMode);

    // Where entries go at present: filePrefix + local date + ".log" in
    // logFolder, as an absolute path. The handler forms it again whenever the
    // second, the folder or the prefix changes, so the file changes at local
    // midnight by itself.
    QString currentLogFilePath() const;

    // Deletes the oldest dated log files of filePrefix so that daysToKeep - 1
    // of them remain (a count of files, not a span of days). Only names of
    // exactly filePrefix, a valid date and ".log" are candidates. The count
    // is kept: the handler does the clean-up again whenever the date of its
    // entries changes.
    void removeOldLogs(int daysToKeep);

    // Whether a message of this type and category is written at the present
    // level; with logging disabled nothing is, and a fatal message then asks
    // the event loop to end with -1.
    bool shouldLog(QtMsgType type, const QMessageLogContext &context) const;

    // The function handed to qInstallMessageHandler().
    static void messageHandler(QtMsgType type, const QMessageLogContext &context,
                               const QString &message);

    // Source of the local date and time for file names and timestamps; an
    // empty function restores QDateTime::currentDateTime.
    void setClock(Clock source);

    // Told about the first failure of the log folder or file, after the
    // printed messages and outside the lock. When called for a message, Qt
    // sends anything the reporter itself emits to its default output (standard
    // error), not back into the handler. Setting a reporter starts a new run:
    // its first failure is reported again.
    void setFailureReporter(FailureReporter reporter);

private:
    Logger() = default;
    Q_DISABLE_COPY_MOVE(Logger)

    QDateTime now() const;
    void pruneOldLogs(int daysToKeep) const;
    void reportFailure(const QString &text);

    Clock clock;
    FailureReporter failureReporter;
    int folderCreationMode = logFolderMode;
    std::optional<int> keepDays; // of the last clean-up
    std::atomic<bool> failureReported{false};
};

#endif // LOGGER_H
