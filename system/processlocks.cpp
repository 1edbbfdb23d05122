#include "processlocks.h"

#include "processlist.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <memory>
#include <unistd.h>

namespace {

// "lock:\t1: OFDLCK ADVISORY  WRITE -1 fe:00:1234 0 EOF": a line of the
// fdinfo of a descriptor whose open file description holds a lock.
bool fdinfoShowsWriteLock(const QByteArray &fdinfo)
{
    for (const QByteArray &line : fdinfo.split('\n')) {
        if (line.startsWith("lock:") && line.contains(" OFDLCK ") && line.contains(" WRITE "))
            return true;
    }
    return false;
}

QByteArray readSmallFile(const QByteArray &path)
{
    QFile file(QFile::decodeName(path));
    // An fdinfo is a few lines; the lock lines of one file come first.
    return file.open(QIODevice::ReadOnly) ? file.read(64 * 1024) : QByteArray();
}

} // namespace

LockLook processHoldsWriteLock(pid_t pid, const LockedFileMatch &match)
{
    if (pid <= 0)
        return LockLook::DoesNot;
    const QByteArray process = "/proc/" + QByteArray::number(pid);
    const std::unique_ptr<DIR, int (*)(DIR *)> descriptors(::opendir((process + "/fd").constData()), ::closedir);
    if (!descriptors)
        return errno == ENOENT || errno == ESRCH ? LockLook::DoesNot : LockLook::CannotLook;
    while (const dirent *entry = ::readdir(descriptors.get())) {
        if (entry->d_name[0] == '.')
            continue;
        const QByteArray link = process + "/fd/" + entry->d_name;
        struct stat info;
        char target[4096];
        const ssize_t size = ::readlink(link.constData(), target, sizeof target);
        if (size <= 0 || ::stat(link.constData(), &info) != 0 || !match(QByteArray(target, size), info))
            continue;
        if (fdinfoShowsWriteLock(readSmallFile(process + "/fdinfo/" + entry->d_name)))
            return LockLook::Holds;
    }
    return LockLook::DoesNot;
}

pid_t findWriteLockHolder(const struct stat &file)
{
    const LockedFileMatch sameFile = [&file](const QByteArray &, const struct stat &info) {
        return info.st_dev == file.st_dev && info.st_ino == file.st_ino;
    };
    for (const pid_t pid : processIds()) {
        if (pid != ::getpid() && processHoldsWriteLock(pid, sameFile) == LockLook::Holds)
            return pid;
    }
    return 0;
}
