#include "heldlogfolder.h"

#include "foldercreation.h"
#include "logfoldertrust.h"
#include "printable.h"

#include <QFile>

#include <unistd.h>

HeldLogFolder::~HeldLogFolder()
{
    release();
}

int HeldLogFolder::acquire(const QString &folder, int creationMode, bool verify, QString *refusal)
{
    refusal->clear();
    struct stat now {};
    if (fd >= 0 && path == folder
        && (!verify
            || (::stat(encoded.constData(), &now) == 0 && now.st_dev == held.st_dev
                && now.st_ino == held.st_ino)))
        return fd;
    release();
    if (path != folder) {
        path = folder;
        encoded = QFile::encodeName(folder);
    }
    fd = openJudged(refusal);
    if (fd < 0 && refusal->isEmpty() && creationMode != noFolderCreation
        && createFolder(folder, creationMode))
        fd = openJudged(refusal);
    return fd;
}

void HeldLogFolder::release()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The folder as judged; a missing folder is no refusal: it may still be made.
int HeldLogFolder::openJudged(QString *refusal)
{
    QString reason;
    bool missing = false;
    const int opened = openTrustedLogFolder(path, &reason, &missing, &held);
    if (opened < 0 && !missing)
        *refusal = QStringLiteral("Refused ") + printable(path) + QStringLiteral(": ") + reason;
    return opened;
}
