#ifndef HELDLOGFOLDER_H
#define HELDLOGFOLDER_H

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

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
class HeldLogFolder
{
public:
    HeldLogFolder() = default;
    ~HeldLogFolder();
    Q_DISABLE_COPY_MOVE(HeldLogFolder)

    // The descriptor of folder for one entry, or -1 with *refusal (empty
    // when the folder is missing and could not be made). With verify, the
    // held folder is kept only while the path still leads to it.
    int acquire(const QString &folder, int creationMode, bool verify, QString *refusal);

private:
    void release();
    int openJudged(QString *refusal);

    int fd = -1;
    QString path;
    QByteArray encoded; // path
    struct stat held {};
};

#endif // HELDLOGFOLDER_H
