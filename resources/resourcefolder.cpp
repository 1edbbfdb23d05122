#include "resourcefolder.h"

#include "foldercreation.h"
#include "pathtrust.h"
#include "settingssnapshot.h"
#include "storestatus.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>

#include <mutex>

#include <sys/stat.h>

namespace {

const QString resourcesKey = QStringLiteral("resources");

QSettings systemStore()
{
    return QSettings(QSettings::SystemScope, QStringLiteral("Morvek"),
                     QStringLiteral("Solvane Network Rendering"));
}

// What "resources" in a resources.ini said when the file looked as it does
// now. The folder is asked for many times while a watchdog starts, and
// reading the file goes through a private copy; a file that changed in any
// way (replaced, written, touched) is read again.
struct ResourcesIniCache
{
    std::mutex lock;
    bool valid = false;
    struct stat seen = {};
    QString folder;

    static bool same(const struct stat &a, const struct stat &b)
    {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size
            && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
            && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
    }
};

QString readResourcesIni(const QString &iniPath)
{
    static ResourcesIniCache cache;
    struct stat now;
    if (::stat(QFile::encodeName(iniPath).constData(), &now) != 0)
        return QString();
    const std::lock_guard<std::mutex> guard(cache.lock);
    if (cache.valid && ResourcesIniCache::same(now, cache.seen))
        return cache.folder;
    QString error;
    const std::unique_ptr<SettingsSnapshot> ini = SettingsSnapshot::take(iniPath, &error);
    if (!error.isEmpty())
        PathTrust::reportOnce(error);
    cache.folder = ini->store().value(resourcesKey).toString();
    // A file changed while it was read is read again next time, and so is
    // one that could not be read: what it says is not known yet.
    struct stat after;
    cache.valid = error.isEmpty() && ::stat(QFile::encodeName(iniPath).constData(), &after) == 0
            && ResourcesIniCache::same(now, after);
    cache.seen = now;
    return cache.folder;
}

QString configuredResourceFolder()
{
    const QString iniPath = QDir(QCoreApplication::applicationDirPath())
                                    .filePath(QStringLiteral("resources.ini"));
    const QString folder = readResourcesIni(iniPath);
    if (!folder.isEmpty())
        return folder;
    const QSettings system = systemStore();
    return QDir::fromNativeSeparators(system.value(resourcesKey).toString());
}

} // namespace

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

void storeResourceFolder(const QString &path)
{
    QSettings system = systemStore();
    system.setValue(resourcesKey, QDir::toNativeSeparators(path));
    system.sync();
    reportStoreStatus(system);
}
