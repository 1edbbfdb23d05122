#include "logger.h"

#include "pathtrust.h"
#include "printable.h"
#include "resourcefolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>
#include <mutex>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
constexpr char traceSuffix[] = ".trace";

// The category's name as Qt passes it, UTF-8; empty for none.
QByteArrayView categoryName(const QMessageLogContext &context)
{
    return QByteArrayView(context.category);
}

bool isTraceCategory(QByteArrayView name)
{
    return name.endsWith(traceSuffix);
}

const char *tagFor(QtMsgType type, QByteArrayView category)
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
    return "";
}

constexpr qsizetype categoryWidth = 9;

bool isAscii(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return uchar(c) < 0x80; });
}

// Appends the category as the line shows it: a blank and the name without
// any ".trace", lower-cased, padded to nine characters (longer names whole);
// nothing for no category. Names in ASCII, as all of this program's are, are
// worked on as bytes, which gives the same text without the detour through
// QString that would cost a good part of an entry's time outside the kernel.
void appendDisplayCategory(QByteArray &line, QByteArrayView category)
{
    if (!isAscii(category)) {
        QString shown = QString::fromUtf8(category);
        shown.remove(QLatin1String(traceSuffix));
        shown = shown.toLower();
        if (!shown.isEmpty())
            line += (QLatin1Char(' ') + shown.leftJustified(categoryWidth)).toUtf8();
        return;
    }
    const qsizetype start = line.size() + 1;
    line += ' ';
    const QByteArrayView suffix(traceSuffix);
    qsizetype from = 0;
    for (qsizetype found; (found = category.indexOf(suffix, from)) >= 0; from = found + suffix.size())
        line += category.sliced(from, found - from);
    line += category.sliced(from);
    const qsizetype shown = line.size() - start;
    if (shown == 0) {
        line.chop(1);
        return;
    }
    for (char *c = line.data() + start; c != line.data() + line.size(); ++c) {
        if (*c >= 'A' && *c <= 'Z')
            *c = char(*c - 'A' + 'a');
    }
    if (shown < categoryWidth)
        line.append(categoryWidth - shown, ' ');
}

// Everything of the line after the timestamp. It depends on nothing the
// lock guards, so it is made before the lock is taken.
QByteArray formatLineTail(QtMsgType type, QByteArrayView category, const QString &message)
{
    const QByteArray text = message.toUtf8();
    QByteArray tail;
    tail.reserve(16 + category.size() + text.size());
    tail += " [";
    tail += tagFor(type, category);
    appendDisplayCategory(tail, category);
    tail += "] ";
    tail += text;
    tail += '\n';
    if (message.isEmpty())
        tail += '\n';
    return tail;
}

QString fileDate(const QDateTime &moment, const char *format)
{
    return QLocale::c().toString(moment.date(), QLatin1String(format));
}

QString logFilePath(const QString &folder, const QString &prefix, const QString &date)
{
    return QDir(folder).absoluteFilePath(prefix + date + QStringLiteral(".log"));
}

QString cannotWriteMessage(const QString &path)
{
    return QStringLiteral("Cannot write to log file: ") + printable(path);
}

void printLine(const QString &text)
{
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

void printCannotWrite(const QString &path)
{
    printLine(cannotWriteMessage(path));
    printLine(QStringLiteral("Do you have the necessary privileges to run to process?"));
}

// Opens the log file at path for appending one entry, creating it when
// missing, and gives it mode 0666: every program of the installation writes
// and rotates these files, whatever user it runs as and whatever its creation
// mask is. Only a plain file is kept open: a pipe would block or swallow the
// entries and a device cannot be appended to. O_NONBLOCK lets the open of a
// pipe without a reader fail at once instead of blocking every thread that
// logs; O_NOCTTY keeps a terminal from becoming the daemon's own. A symbolic
// link or a second link to the name would let whoever can write the folder
// have root append to, and open up, a file of their choice: neither is used.
// The name is taken in folder (a folder descriptor, or AT_FDCWD for a path).
// Returns the descriptor and the file's length before the entry, or -1.
int openForAppend(int folder, const QByteArray &name, qint64 *length)
{
    const int fd = ::openat(folder, name.constData(),
                            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY
                                    | O_NOFOLLOW,
                            0666);
    if (fd < 0)
        return -1;
    // Only what is looked at is asked for, which costs noticeably less than
    // a full fstat.
    struct statx status {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE | STATX_NLINK, &status) != 0
        || !S_ISREG(status.stx_mode) || status.stx_nlink != 1) {
        ::close(fd);
        return -1;
    }
    // The result does not matter: a file of another owner keeps its mode and
    // is still written.
    ::fchmod(fd, 0666);
    *length = qint64(status.stx_size);
    return fd;
}

// The whole line in one write, so that lines of other processes appending to
// the same file cannot come between its parts. Interrupted before anything
// was written, it is tried again.
bool writeWhole(int fd, const QByteArray &line)
{
    ssize_t written;
    do {
        written = ::write(fd, line.constData(), size_t(line.size()));
    } while (written < 0 && errno == EINTR);
    return written == line.size();
}

// Seconds since the epoch on the system clock; no system call.
qint64 systemSecond()
{
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec);
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The log folder as entries reach it: a descriptor of the folder as it was
// judged, through which every file is opened. Judging a path once is not
// enough: a folder in a sticky folder such as /var/tmp may be removed (by a
// cleaner) and another user's link or folder put in its place, which a path
// opened later would follow. The descriptor is kept while the path still
// leads to the same folder; otherwise the folder is opened and judged again,
// and made again first when it is missing and may be made. Where the path
// leads is looked at when asked (once a second, and when the held folder
// turns out removed), not for every entry: a walk of the path would cost a
// good part of an entry, and the descriptor alone keeps entries from going
// anywhere but into a folder that was judged.
class HeldFolder
{
public:
    HeldFolder() = default;
    ~HeldFolder() { release(); }
    Q_DISABLE_COPY_MOVE(HeldFolder)

    // The descriptor of folder for one entry, or -1 with *refusal (empty
    // when the folder is missing and could not be made). With verify, the
    // held folder is kept only while the path still leads to it.
    int acquire(const QString &folder, int creationMode, bool verify, QString *refusal)
    {
        refusal->clear();
        struct stat now {};
        if (fd >= 0 && path == folder
            && (!verify || (::stat(encoded.constData(), &now) == 0 && sameFile(now, held))))
            return fd;
        release();
        if (path != folder) {
            path = folder;
            encoded = QFile::encodeName(folder);
        }
        fd = openJudged(refusal);
        if (fd < 0 && refusal->isEmpty() && creationMode != noFolderCreation
            && createFolder(folder, creationMode))
            fd = openJudged(refusal);
        return fd;
    }

private:
    void release()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    // Opens the folder, then judges its path and makes sure the path still
    // leads to what was opened, so that nothing put there meanwhile counts.
    int openJudged(QString *refusal)
    {
        const int opened = openFolderAt(AT_FDCWD, encoded.constData());
        const bool missing = opened < 0 && errno == ENOENT;
        QString reason;
        struct stat reached {};
        const bool trusted = PathTrust::isTrustedFolder(path, &reason);
        if (opened >= 0 && trusted && ::fstat(opened, &held) == 0
            && ::stat(encoded.constData(), &reached) == 0 && sameFile(reached, held))
            return opened;
        if (opened >= 0)
            ::close(opened);
        if (missing)
            return -1;
        if (reason.isEmpty())
            reason = printable(path) + QStringLiteral(" changed while it was judged");
        *refusal = QStringLiteral("Refused ") + printable(path) + QStringLiteral(": ") + reason;
        return -1;
    }

    int fd = -1;
    QString path;
    QByteArray encoded; // path
    struct stat held {};
};

// What the entries of one second share: the timestamp and the file they go
// to. Made anew for every entry they would cost about as much as the rest of
// the entry's work outside the kernel, and turning the clock into local time
// has the C library look at the zone file again (one more system call).
class SecondCache
{
public:
    // One reading of the clock (the system clock when none is set) stamps
    // the line and names the file, so an entry at midnight cannot land in the
    // file of the other day. The system clock is turned into local time only
    // when its second changes.
    void advance(const Logger::Clock &clock, const char *dateFormat)
    {
        QDateTime moment;
        qint64 now;
        bool keep = true;
        if (clock) {
            moment = clock();
            now = moment.toSecsSinceEpoch();
            // The seconds since the epoch tell the text of a local time only.
            keep = moment.isValid() && moment.timeSpec() == Qt::LocalTime;
        } else {
            now = systemSecond();
        }
        if (keep && now == second)
            return;
        if (!clock)
            moment = QDateTime::fromSecsSinceEpoch(now);
        second = keep ? now : noSecond;
        folderDue = true;
        stamp = moment.toString(Qt::TextDate).toUtf8();
        date = fileDate(moment, dateFormat);
        path.clear();
    }

    // Forms the path again when the date, the folder or the prefix changed
    // (the last two are public fields). A relative folder is resolved against
    // the working folder, which may change at any time.
    void aimAt(const QString &logFolder, const QString &filePrefix)
    {
        if (!path.isEmpty() && folder == logFolder && prefix == filePrefix
            && logFolder.startsWith(QLatin1Char('/')))
            return;
        folder = logFolder;
        prefix = filePrefix;
        path = logFilePath(folder, prefix, date);
        encodedPath = QFile::encodeName(path);
        encodedName = QFile::encodeName(prefix + date + QStringLiteral(".log"));
    }

    // The descriptor of the folder for this entry, or -1 with the refusal
    // (empty when the folder is missing). Whether the path still leads to
    // the held folder is looked at in every new second, or when asked again.
    int folderForEntry(int creationMode, bool again, QString *refusal)
    {
        const bool verify = std::exchange(folderDue, false) || again;
        return heldFolder.acquire(folder, creationMode, verify, refusal);
    }

    // Whether the date of the entries changed since the last call.
    bool takeDateChange()
    {
        // The first entry finds the clean-up of the set-up done.
        const bool changed = !prunedDate.isEmpty() && date != prunedDate;
        prunedDate = date;
        return changed;
    }

    QByteArray stamp; // Qt::TextDate, UTF-8
    QString path;
    QByteArray encodedPath;
    QByteArray encodedName; // of the file in the folder

private:
    static constexpr qint64 noSecond = std::numeric_limits<qint64>::min();

    qint64 second = noSecond; // of the stamp and date
    QString date;             // date part of the file name
    QString folder;           // of the path
    QString prefix;           // of the path
    QString prunedDate;       // date of the last clean-up
    HeldFolder heldFolder;
    bool folderDue = true; // the held folder's path is to be looked at
};

// Serialises the writing of entries; the cache is used only under the mutex.
// Created on first use and never destroyed: messages may still arrive while
// static objects are torn down.
struct EntryState
{
    std::mutex mutex;
    SecondCache cache;
    QByteArray lastFailureCause; // empty after an entry was written
};

EntryState &entryState()
{
    static EntryState *const state = new EntryState;
    return *state;
}

// Whether a failure differs from the one before: standard output (the
// journal under systemd) hears of a file that cannot be opened or written
// once, not for every lost entry, and again after an entry got through. An
// empty cause records a success. Runs under the entry mutex.
bool isNewCause(const QByteArray &cause)
{
    QByteArray &lastCause = entryState().lastFailureCause;
    const bool isNew = cause != lastCause;
    lastCause = cause;
    return isNew;
}

// Appends the stamp and tail as one line to the file of cache. Returns false
// with the text of the failure, after printing it if its cause is new, when
// the line could not be written.
// The log file of cache opened for one entry, or -1; *refusal tells a
// refused folder.
int openEntryFile(SecondCache &cache, int creationMode, QString *refusal, qint64 *lengthBefore)
{
    int folder = cache.folderForEntry(creationMode, false, refusal);
    int fd = folder < 0 ? -1 : openForAppend(folder, cache.encodedName, lengthBefore);
    if (fd < 0 && folder >= 0 && errno == ENOENT) {
        // The held folder was removed: its path is judged, and the folder
        // made, again.
        folder = cache.folderForEntry(creationMode, true, refusal);
        fd = folder < 0 ? -1 : openForAppend(folder, cache.encodedName, lengthBefore);
    }
    return fd;
}

bool appendEntry(SecondCache &cache, int creationMode, const QByteArray &tail, QString *failure)
{
    QString refusal;
    qint64 lengthBefore = 0;
    const int fd = openEntryFile(cache, creationMode, &refusal, &lengthBefore);
    if (!refusal.isEmpty()) {
        *failure = refusal;
        if (isNewCause(cache.encodedPath + ":refused"))
            printLine(*failure);
        return false;
    }
    if (fd < 0) {
        *failure = cannotWriteMessage(cache.path);
        if (isNewCause(cache.encodedPath + ":open"))
            printCannotWrite(cache.path);
        return false;
    }
    QByteArray line;
    line.reserve(cache.stamp.size() + tail.size());
    line += cache.stamp;
    line += tail;
    const bool complete = writeWhole(fd, line);
    if (!complete) {
        // A full disk opens the file but refuses the line, or part of it;
        // a torn line would run into the next entry.
        [[maybe_unused]] const int cut = ::ftruncate(fd, off_t(lengthBefore));
        *failure = cannotWriteMessage(cache.path);
        if (isNewCause(cache.encodedPath + ":write"))
            printLine(*failure);
    } else {
        isNewCause(QByteArray());
    }
    ::close(fd);
    return complete;
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
    return logFilePath(logFolder, filePrefix, fileDate(moment, fileDateFormat));
}

bool Logger::openLogFile(QFile &file) const
{
    qint64 length = 0;
    const int fd = openForAppend(AT_FDCWD, QFile::encodeName(file.fileName()), &length);
    // Unbuffered: a line goes to the file in one write, and a refused write
    // leaves nothing behind to be written later.
    const QIODevice::OpenMode mode = QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered;
    if (fd >= 0 && file.open(fd, mode, QFileDevice::AutoCloseHandle))
        return true;
    if (fd >= 0)
        ::close(fd);
    // Only the entry is lost: the event loop goes on, since a watchdog that
    // stops supervising because its disk is full is worse than no log.
    printCannotWrite(file.fileName());
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

    const QByteArray tail = formatLineTail(type, categoryName(context), message);
    QString failure;
    bool written = false;
    bool newDay = false;
    {
        const WritingEntryScope scope;
        const std::lock_guard<std::mutex> lock(entryState().mutex);
        written = logger.writeEntry(tail, &failure);
        newDay = entryState().cache.takeDateChange();
    }
    if (!written)
        logger.reportFailure(failure);
    // A watchdog runs for months: the clean-up of its start is done again
    // each time the date of its entries changes.
    if (newDay && logger.keepDays)
        logger.pruneOldLogs(*logger.keepDays);
}

// Runs under the entry mutex: nothing here may emit a message through the
// logging calls. Returns false with the text of the failure when the entry
// could not be written.
bool Logger::writeEntry(const QByteArray &tail, QString *failure) const
{
    SecondCache &cache = entryState().cache;
    cache.advance(clock, fileDateFormat);
    cache.aimAt(logFolder, filePrefix);
    return appendEntry(cache, folderCreationMode, tail, failure);
}

void Logger::reportFailure(const QString &text)
{
    if (!failureReporter || failureReported.exchange(true))
        return;
    failureReporter(text);
}
