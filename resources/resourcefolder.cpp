#include "resourcefolder.h"

#include "settingsstorage.h"

#include <QDebug>
#include <QFile>

#include <algorithm>

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

bool createFolder(const QString &path, int mode)
{
    const QByteArray absolute = QFile::encodeName(QDir(path).absolutePath());
    const QList<QByteArray> names = absolute.split('/');
    int parent = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (qsizetype i = 0; parent >= 0 && i < names.size(); ++i) {
        const QByteArray &name = names.at(i);
        if (name.isEmpty() || name == ".")
            continue;
        const bool last = i == names.size() - 1
                || std::all_of(names.begin() + i + 1, names.end(),
                               [](const QByteArray &n) { return n.isEmpty() || n == "."; });
        const bool created = ::mkdirat(parent, name.constData(), 0700) == 0;
        // Existing folders on the way may be links (as /var/run); a new one
        // is opened only as what was just made.
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (created ? O_NOFOLLOW : 0);
        const int child = ::openat(parent, name.constData(), flags);
        if (child >= 0 && created)
            ::fchmod(child, mode_t(last ? mode : createdFolderMode));
        ::close(parent);
        parent = child;
    }
    if (parent < 0)
        return false;
    ::close(parent);
    return true;
}
