#include "foldercreation.h"

#include "trustedopen.h"

#include <QDebug>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    TrustedOpen::Rule rule;
    rule.flags = O_RDONLY | O_DIRECTORY;
    rule.links = TrustedOpen::Links::RootsOnly;
    return TrustedOpen::open(parent, name, rule);
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
