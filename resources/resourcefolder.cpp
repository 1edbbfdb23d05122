#include "resourcefolder.h"

#include "settingsstorage.h"

#include <QDebug>
#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString resourceFolderPath()
{
    const QString configured = configuredResourceFolder();
    if (!configured.isEmpty())
        return configured;
    return QString::fromLatin1(defaultResourceFolder);
}

QDir logsFolder(bool create)
{
    const QString path = QDir(resourceFolderPath()).filePath(QStringLiteral("Logs"));
    return create ? ensureFolder(QDir(path), logFolderMode) : QDir(path);
}

QDir ensureFolder(const QDir &folder, int mode)
{
    if (!folder.exists()) {
        qDebug() << "Creating folder:" << folder.absolutePath();
        // Whether it worked is the caller's to find out: it looks at the
        // folder again and reports in its own terms.
        createFolder(folder.absolutePath(), mode);
    }
    return folder;
}

int openFolderAt(int parent, const char *name)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    const int fd = ::openat(parent, name, flags | O_NOFOLLOW);
    if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR))
        return fd;
    struct stat link;
    const bool followed = ::fstatat(parent, name, &link, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISLNK(link.st_mode) && (link.st_uid == 0 || ::geteuid() != 0);
    return followed ? ::openat(parent, name, flags) : -1;
}

bool createFolder(const QString &path, int mode)
{
    const QList<QByteArray> names = QFile::encodeName(QDir::cleanPath(QDir(path).absolutePath()))
                                            .split('/');
    int parent = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (qsizetype i = 0; parent >= 0 && i < names.size(); ++i) {
        const QByteArray &name = names.at(i);
        if (name.isEmpty())
            continue;
        const bool created = ::mkdirat(parent, name.constData(), 0700) == 0;
        const int child = openFolderAt(parent, name.constData());
        if (child >= 0 && created)
            ::fchmod(child, mode_t(i == names.size() - 1 ? mode : createdFolderMode));
        ::close(parent);
        parent = child;
    }
    if (parent < 0)
        return false;
    ::close(parent);
    return true;
}
