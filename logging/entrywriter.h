#ifndef ENTRYWRITER_H
#define ENTRYWRITER_H

#include "logger.h"
#include "secondcache.h"

#include <QByteArray>
#include <QString>

#include <mutex>

// Writes the entries of the process into the day's log file, one at a time:
// each entry opens the file through the held log folder, appends its whole
// line in one write and closes the file again, so that rotation by any
// program of the installation is never in the way.
class EntryWriter
{
public:
    // The one writer of the process, created on first use and never
    // destroyed: messages may still arrive while static objects are torn
    // down.
    static EntryWriter &instance();

    // Whether this thread is writing an entry now. The entry lock is not
    // recursive, so a message raised by the work done under it must not wait
    // for it again.
    static bool isWritingOnThisThread();

    // Appends the stamp of the clock's present second and tail as one line
    // to the file of prefix in folder, making the folder with creationMode
    // when it is missing (never with noFolderCreation). False with the text
    // of the failure, printed on standard output when its cause is new, when
    // the line could not be written. *newDay tells that the date of the
    // entries changed since the entry before.
    bool write(const QByteArray &tail, const Logger::Clock &clock, const QString &folder,
               const QString &prefix, int creationMode, QString *failure, bool *newDay);

private:
    EntryWriter() = default;
    Q_DISABLE_COPY_MOVE(EntryWriter)

    bool isNewCause(const QByteArray &cause);
    int openEntryFile(int creationMode, QString *refusal, qint64 *lengthBefore);
    bool appendEntry(int creationMode, const QByteArray &tail, QString *failure);

    // Serialises the entries; everything below is used only under it.
    std::mutex mutex;
    SecondCache cache;
    QByteArray lastFailureCause; // empty after an entry was written
};

#endif // ENTRYWRITER_H
