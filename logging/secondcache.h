#ifndef SECONDCACHE_H
#define SECONDCACHE_H

#include "heldlogfolder.h"
#include "logger.h"

#include <QByteArray>
#include <QString>

#include <limits>

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
    void advance(const Logger::Clock &clock);

    // Forms the path again when the date, the folder or the prefix changed
    // (the last two are public fields of the logger). A relative folder is
    // resolved against the working folder, which may change at any time.
    void aimAt(const QString &logFolder, const QString &filePrefix);

    // The descriptor of the folder for this entry, or -1 with the refusal
    // (empty when the folder is missing). Whether the path still leads to
    // the held folder is looked at in every new second, or when asked again.
    int folderForEntry(int creationMode, bool again, QString *refusal);

    // Whether the date of the entries changed since the last call.
    bool takeDateChange();

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
    HeldLogFolder heldFolder;
    bool folderDue = true; // the held folder's path is to be looked at
};

#endif // SECONDCACHE_H
