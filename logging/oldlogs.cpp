#include "logger.h"

#include "logfilename.h"
#include "logfoldertrust.h"

#include <QDir>
#include <QLocale>
#include <QMap>

#include <algorithm>
#include <cstdio>

namespace {

// The date of a name that is exactly prefix, a valid date and ".log"; the
// invalid date for any other name, which is never touched: notes, rotated
// copies and the logs of programs whose prefix continues ours share the
// folder.
QDate dateOfLogName(const QString &name, const QString &prefix)
{
    const QLatin1String suffix(".log");
    // "dd_MMM_yyyy" is eleven characters in the C locale.
    constexpr qsizetype dateLength = 11;
    if (name.size() != prefix.size() + dateLength + suffix.size() || !name.startsWith(prefix)
        || !name.endsWith(suffix))
        return QDate();
    const QString text = name.mid(prefix.size(), dateLength);
    const QDate date = QLocale::c().toDate(text, QLatin1String(logFileDateFormat));
    // Read back exactly: no other spelling of the same day counts.
    if (!date.isValid() || QLocale::c().toString(date, QLatin1String(logFileDateFormat)) != text)
        return QDate();
    return date;
}

} // namespace

void Logger::removeOldLogs(int daysToKeep)
{
    keepDays = daysToKeep;
    pruneOldLogs(daysToKeep);
}

void Logger::pruneOldLogs(int daysToKeep) const
{
    QString refusal;
    if (!isTrustedLogFolder(logFolder, &refusal))
        return;
    const QDir folder(logFolder);
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden, QDir::NoSort);

    QMap<QDate, QString> pathsByDate;
    for (const QString &name : names) {
        const QDate date = dateOfLogName(name, filePrefix);
        if (date.isValid())
            pathsByDate.insert(date, folder.absoluteFilePath(name));
    }

    // Oldest first. Worked out in 64 bits, so that no setting overflows.
    const qint64 keep = std::max<qint64>(qint64(daysToKeep) - 1, 0);
    while (qint64(pathsByDate.size()) > keep) {
        const QString path = pathsByDate.first();
        if (echoToStdout) {
            std::printf("Removing old log %s\n", path.toUtf8().constData());
            std::fflush(stdout);
        }
        // A file that cannot be deleted stays; the next clean-up tries again.
        QFile::remove(path);
        pathsByDate.erase(pathsByDate.cbegin());
    }
}
