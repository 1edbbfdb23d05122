#include "logfilename.h"

#include <QDir>
#include <QLocale>

QString logFileDate(const QDateTime &moment)
{
    return QLocale::c().toString(moment.date(), QLatin1String(logFileDateFormat));
}

QString logFilePath(const QString &folder, const QString &prefix, const QString &date)
{
    return QDir(folder).absoluteFilePath(prefix + date + QStringLiteral(".log"));
}
