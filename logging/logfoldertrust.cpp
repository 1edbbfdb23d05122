#include "logfoldertrust.h"

#include "foldercreation.h"
#include "pathtrust.h"
#include "printable.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

int openTrustedLogFolder(const QString &folder, QString *reason, bool *missing,
                         struct stat *status)
{
    const QByteArray encoded = QFile::encodeName(folder);
    const int opened = openFolderAt(AT_FDCWD, encoded.constData());
    *missing = opened < 0 && errno == ENOENT;
    struct stat reached {};
    const bool trusted = PathTrust::isTrustedFolder(folder, reason);
    if (opened >= 0 && trusted && ::fstat(opened, status) == 0
        && ::stat(encoded.constData(), &reached) == 0 && reached.st_dev == status->st_dev
        && reached.st_ino == status->st_ino)
        return opened;
    if (opened >= 0)
        ::close(opened);
    if (reason->isEmpty())
        *reason = printable(folder) + QStringLiteral(" changed while it was judged");
    return -1;
}

bool isTrustedLogFolder(const QString &folder, QString *reason)
{
    if (!PathTrust::isEnforced())
        return true;
    bool missing = false;
    struct stat status {};
    const int fd = openTrustedLogFolder(folder, reason, &missing, &status);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool isUsableLogFolder(const QString &folder, QString *reason)
{
    if (!QFileInfo(folder).isDir()) {
        *reason = printable(folder) + QStringLiteral(" cannot be created");
        return false;
    }
    if (!isTrustedLogFolder(folder, reason))
        return false;
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0) {
        *reason = printable(folder) + QStringLiteral(" cannot be written: ")
                + QString::fromLocal8Bit(::strerror(errno));
        return false;
    }
    return true;
}
