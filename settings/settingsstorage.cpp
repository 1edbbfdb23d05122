#include "settingsstorage.h"

#include "pathtrust.h"
#include "resourcefolder.h"
#include "settingssnapshot.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTextStream>

#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString resourcesKey = QStringLiteral("resources");

// Section headers are short; a first line longer than this is looked at in
// pieces, so that a huge file without line breaks is not read at once.
const qint64 maxLineLength = 64 * 1024;

QSettings systemStore()
{
    return QSettings(QSettings::SystemScope, QStringLiteral("Morvek"),
                     QStringLiteral("Solvane Network Rendering"));
}

bool startsWithSection(QFile &file)
{
    QTextStream stream(&file);
    while (!stream.atEnd()) {
        const QString line = stream.readLine(maxLineLength);
        // A "[" anywhere on the first line that is not blank has always
        // counted, not only at its start: files written so keep being read.
        if (!line.trimmed().isEmpty())
            return line.contains(QLatin1Char('['));
    }
    return false;
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

void setFlag(bool *ok, bool value)
{
    if (ok)
        *ok = value;
}

} // namespace

QString settingsFilePath()
{
    return QDir(resourceFolderPath()).absoluteFilePath(QStringLiteral("settings.conf"));
}

std::unique_ptr<QSettings> openSettings()
{
    return std::make_unique<QSettings>(settingsFilePath(), QSettings::NativeFormat);
}

bool settingsFileExists()
{
    return QFileInfo::exists(settingsFilePath());
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

void storeResourceFolder(const QString &path)
{
    QSettings system = systemStore();
    system.setValue(resourcesKey, QDir::toNativeSeparators(path));
    system.sync();
    reportStoreStatus(system);
}

bool isResourceSettingsWritable()
{
    return systemStore().isWritable();
}

void reportStoreStatus(const QSettings &store)
{
    const QSettings::Status status = store.status();
    if (status == QSettings::NoError)
        return;
    qCritical() << "Failed to write config file:" << store.fileName();
    switch (status) {
    case QSettings::AccessError:
        qCritical() << "File access error!";
        break;
    case QSettings::FormatError:
        qCritical() << "Format error!";
        break;
    default:
        qCritical() << "Unknown error!";
        break;
    }
}

QFileDevice::Permissions allReadWritePermissions()
{
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
            | QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::WriteGroup
            | QFileDevice::ReadOther | QFileDevice::WriteOther;
}

RenderSettings loadSettingsFromIniFile(const QString &path, bool *ok)
{
    const QFileInfo info(path);
    QFile file;
    QString reason;
    // Only a regular file: opening a pipe would wait for a writer.
    const int fd = info.suffix().toLower() == QLatin1String("ini")
            ? PathTrust::openRegularFile(path, SettingsSnapshot::maxFileSize, false, &reason)
            : -1;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0 && !file.isOpen())
            ::close(fd);
        setFlag(ok, false);
        return RenderSettings();
    }
    const bool isIni = startsWithSection(file);
    file.close();
    setFlag(ok, isIni);
    if (!isIni)
        return RenderSettings();
    QSettings store(path, QSettings::IniFormat);
    return readSettings(store);
}
