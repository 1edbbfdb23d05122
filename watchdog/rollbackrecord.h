#ifndef ROLLBACKRECORD_H
#define ROLLBACKRECORD_H

#include <QDateTime>
#include <QString>

// The rollbacks of the watchdog's run: how many version files it removed
// after a worker's failure, and when and which the last one was.
struct RollbackRecord
{
    int count = 0;
    QDateTime lastAt;
    QString lastPath;

    void note(const QString &removedPath)
    {
        ++count;
        lastAt = QDateTime::currentDateTime();
        lastPath = removedPath;
    }
};

#endif // ROLLBACKRECORD_H
