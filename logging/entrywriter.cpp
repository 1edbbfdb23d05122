#include "entrywriter.h"

#include "entryformat.h"
#include "printable.h"
#include "trustedopen.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Set while this thread holds the entry mutex.
thread_local bool writingEntry = false;

class WritingEntryScope
{
public:
    WritingEntryScope() { writingEntry = true; }
    ~WritingEntryScope() { writingEntry = false; }
    Q_DISABLE_COPY_MOVE(WritingEntryScope)
};

QString cannotWriteMessage(const QString &path)
{
    return QStringLiteral("Cannot write to log file: ") + printable(path);
}

void printCannotWrite(const QString &path)
{
    printLine(cannotWriteMessage(path));
    printLine(QStringLiteral("Do you have the necessary privileges to run to process?"));
}

// Opens the log file name in folder for appending one entry, creating it
// when missing, and gives it mode 0666: every program of the installation
// writes and rotates these files, whatever user it runs as and whatever its
// creation mask is. Only a plain file is kept open: a pipe would block or
// swallow the entries and a device cannot be appended to. A symbolic link or
// a second link to the name would let whoever can write the folder have root
// append to, and open up, a file of their choice: neither is used. Returns
// the descriptor and the file's length before the entry, or -1.
int openForAppend(int folder, const QByteArray &name, qint64 *length)
{
    TrustedOpen::Rule rule;
    rule.flags = O_WRONLY | O_CREAT | O_APPEND;
    rule.creationMode = 0666;
    rule.links = TrustedOpen::Links::Refused;
    rule.regularOnly = true;
    rule.singleLink = true;
    const int fd = TrustedOpen::open(folder, name.constData(), rule, nullptr, length);
    // The result does not matter: a file of another owner keeps its mode and
    // is still written.
    if (fd >= 0)
        ::fchmod(fd, 0666);
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

} // namespace

EntryWriter &EntryWriter::instance()
{
    static EntryWriter *const writer = new EntryWriter;
    return *writer;
}

bool EntryWriter::isWritingOnThisThread()
{
    return writingEntry;
}

bool EntryWriter::write(const QByteArray &tail, const Logger::Clock &clock, const QString &folder,
                        const QString &prefix, int creationMode, QString *failure, bool *newDay)
{
    const WritingEntryScope scope;
    const std::lock_guard<std::mutex> lock(mutex);
    // Nothing from here on may emit a message through the logging calls.
    cache.advance(clock);
    cache.aimAt(folder, prefix);
    const bool written = appendEntry(creationMode, tail, failure);
    *newDay = cache.takeDateChange();
    return written;
}

// Whether a failure differs from the one before: standard output (the
// journal under systemd) hears of a file that cannot be opened or written
// once, not for every lost entry, and again after an entry got through. An
// empty cause records a success.
bool EntryWriter::isNewCause(const QByteArray &cause)
{
    const bool isNew = cause != lastFailureCause;
    lastFailureCause = cause;
    return isNew;
}

// The log file of the cache opened for one entry, or -1; *refusal tells a
// refused folder.
int EntryWriter::openEntryFile(int creationMode, QString *refusal, qint64 *lengthBefore)
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

// Appends the stamp and tail as one line to the file of the cache.
bool EntryWriter::appendEntry(int creationMode, const QByteArray &tail, QString *failure)
{
    QString refusal;
    qint64 lengthBefore = 0;
    const int fd = openEntryFile(creationMode, &refusal, &lengthBefore);
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
