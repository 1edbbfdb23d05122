#include "secondcache.h"

#include "logfilename.h"

#include <QFile>

#include <ctime>
#include <utility>

namespace {

// Seconds since the epoch on the system clock; no system call.
qint64 systemSecond()
{
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec);
}

} // namespace

void SecondCache::advance(const Logger::Clock &clock)
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
    date = logFileDate(moment);
    path.clear();
}

void SecondCache::aimAt(const QString &logFolder, const QString &filePrefix)
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

int SecondCache::folderForEntry(int creationMode, bool again, QString *refusal)
{
    const bool verify = std::exchange(folderDue, false) || again;
    return heldFolder.acquire(folder, creationMode, verify, refusal);
}

bool SecondCache::takeDateChange()
{
    // The first entry finds the clean-up of the set-up done.
    const bool changed = !prunedDate.isEmpty() && date != prunedDate;
    prunedDate = date;
    return changed;
}
