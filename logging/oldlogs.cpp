#include "logger.h"

#include <QDir>
#include <QLocale>
#include <QMap>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

// The date a log file name ends in, midnight local time; the invalid value
// for a name whose last three parts are no date. Empty (no date to look at)
// for a name with fewer than three parts once ".log" is taken out.
std::optional<QDateTime> dateOfLogName(QString name, const char *format)
{
    name.remove(QStringLiteral(".log"));
    const QStringList parts = name.split(QLatin1Char('_'), Qt::SkipEmptyParts);
    if (parts.size() < 3)
        return std::nullopt;
    const QString date = parts.mid(parts.size() - 3).join(QLatin1Char('_'));
    return QLocale::c().toDateTime(date, QLatin1String(format));
}

} // namespace

void Logger::removeOldLogs(int daysToKeep) const
{
    const QDir folder(logFolder);
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden, QDir::NoSort);

    // One path per date: of several files on the same date (or of several
    // without a date) only the one listed last is a candidate.
    QMap<QDateTime, QString> pathsByDate;
    for (const QString &name : names) {
        if (!name.startsWith(filePrefix))
            continue;
        const std::optional<QDateTime> date = dateOfLogName(name, fileDateFormat);
        if (date)
            pathsByDate.insert(*date, folder.absoluteFilePath(name));
    }

    // Oldest first; files without a date go before every dated one.
    QList<QDateTime> dates = pathsByDate.keys();
    const qsizetype keep = std::max(daysToKeep - 1, 0);
    while (dates.size() > keep) {
        const QString path = pathsByDate.value(dates.first());
        if (echoToStdout) {
            std::printf("Removing old log %s\n", path.toUtf8().constData());
            std::fflush(stdout);
        }
        // A file that cannot be deleted stays; the next start tries again.
        QFile::remove(path);
        dates.removeFirst();
    }
}
