#ifndef LOGFILENAME_H
#define LOGFILENAME_H

#include <QDateTime>
#include <QString>

// The names of the day's log files: prefix, date and ".log".

// Date part of the file names, written and read back with the C locale's
// English month abbreviations whatever the system locale is.
inline constexpr char logFileDateFormat[] = "dd_MMM_yyyy";

// The date part of the name of the file for moment.
QString logFileDate(const QDateTime &moment);

// The absolute path of the log file of prefix and date in folder.
QString logFilePath(const QString &folder, const QString &prefix, const QString &date);

#endif // LOGFILENAME_H
