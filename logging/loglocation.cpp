#include "loglocation.h"

#include "foldercreation.h"
#include "logfoldertrust.h"
#include "pathtrust.h"
#include "printable.h"
#include "resourcefolder.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The folder as it really is: the longest part that exists, links resolved,
// and the rest as given. Empty when no part can be resolved.
QString realFolder(const QString &path, QString *existing)
{
    QString head = QDir::cleanPath(QDir(path).absolutePath());
    QString tail;
    while (!QFileInfo(head).exists() && head != QLatin1String("/")) {
        const qsizetype slash = head.lastIndexOf(QLatin1Char('/'));
        tail = head.mid(slash) + tail;
        head = slash == 0 ? QStringLiteral("/") : head.left(slash);
    }
    *existing = QFileInfo(head).canonicalFilePath();
    if (existing->isEmpty())
        return QString();
    return QDir::cleanPath(*existing + tail);
}

bool isWithin(const QString &folder, const QString &root)
{
    if (root.isEmpty())
        return false;
    return folder == root || folder.startsWith(root + QLatin1Char('/'));
}

} // namespace

bool isAllowedLogLocation(const QString &location, const QString &settingsFile, QString *reason,
                          int *creationMode)
{
    if (!PathTrust::isEnforced()) {
        *creationMode = logFolderMode;
        return true;
    }
    QString existing;
    const QString folder = realFolder(location, &existing);
    if (folder.isEmpty()) {
        *reason = printable(location) + QStringLiteral(" cannot be resolved");
        return false;
    }
    // What exists of it decides where anything can be created; a file there
    // only makes the creation fail, which is reported as such.
    const QFileInfo reached(existing);
    if (!isTrustedLogFolder(reached.isDir() ? existing : reached.absolutePath(), reason))
        return false;
    const QString resources = QFileInfo(resourceFolderPath()).canonicalFilePath();
    if (isWithin(folder, resources)) {
        *creationMode = logFolderMode;
        return true;
    }
    // Outside the resource folder a folder root makes is root's alone: other
    // services put their own folders there later and trust what they find.
    QString ignored;
    if (PathTrust::isTrustedFile(settingsFile, &ignored)) {
        *creationMode = createdFolderMode;
        return true;
    }
    const bool exists = folder == existing && reached.isDir();
    if (exists && isWithin(folder, QStringLiteral("/var/log"))) {
        *creationMode = noFolderCreation;
        return true;
    }
    *reason = printable(folder)
            + (isWithin(folder, QStringLiteral("/var/log"))
                       ? QStringLiteral(" does not exist, and the settings file naming it can be"
                                        " written by other users than root")
                       : QStringLiteral(" is outside the resource folder and /var/log, and the"
                                        " settings file naming it can be written by other users"
                                        " than root"));
    return false;
}
