#include "atomicfile.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <utility>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A name another user took first is passed over for another; this many
// taken in a row means the folder is being played with.
constexpr int temporaryNameTries = 8;

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool writeAll(int fd, const QByteArray &content)
{
    qsizetype done = 0;
    while (done < content.size()) {
        const ssize_t written = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

} // namespace

AtomicFile::AtomicFile(const QString &folder, const QString &fileName)
    : folderPath(folder), name(fileName)
{
}

AtomicFile::~AtomicFile()
{
    releaseFolder();
}

bool AtomicFile::write(const QByteArray &content)
{
    if (!holdFolder())
        return false;
    if (!std::exchange(leftoversRemoved, true))
        removeLeftovers();
    QByteArray temporary;
    const int fd = createTemporary(&temporary);
    if (fd < 0)
        return fail(QStringLiteral("cannot make a file in %1").arg(folderPath));
    int problem = writeAll(fd, content) && ::fchmod(fd, 0644) == 0 ? 0 : errno;
    if (::close(fd) != 0 && problem == 0)
        problem = errno;
    if (problem != 0) {
        ::unlinkat(folderFd, temporary.constData(), 0);
        errno = problem;
        return fail(QStringLiteral("cannot write %1").arg(path()));
    }
    if (::renameat(folderFd, temporary.constData(), folderFd, QFile::encodeName(name).constData()) != 0) {
        const int renameErrno = errno;
        ::unlinkat(folderFd, temporary.constData(), 0);
        errno = renameErrno;
        return fail(QStringLiteral("cannot replace %1").arg(path()));
    }
    errorText.clear();
    return true;
}

// The held folder serves while its path still leads to it; otherwise (it
// was removed, renamed, or another folder or a link put in its place) the
// path is opened again, and a link there refused.
bool AtomicFile::holdFolder()
{
    const QByteArray encoded = QFile::encodeName(folderPath);
    struct stat now {};
    if (folderFd >= 0 && ::fstatat(AT_FDCWD, encoded.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
        && sameFile(now, held))
        return true;
    releaseFolder();
    folderFd = ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (folderFd < 0)
        return fail(QStringLiteral("cannot open the folder %1").arg(folderPath));
    if (::fstat(folderFd, &held) != 0) {
        releaseFolder();
        return fail(QStringLiteral("cannot open the folder %1").arg(folderPath));
    }
    return true;
}

void AtomicFile::releaseFolder()
{
    if (folderFd >= 0)
        ::close(folderFd);
    folderFd = -1;
}

// Only names of the form createTemporary() makes, and never a folder;
// unlinkat() removes a link itself, never what it leads to.
void AtomicFile::removeLeftovers()
{
    const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    DIR *folder = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!folder) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    const QByteArray prefix = temporaryPrefix();
    while (const dirent *entry = ::readdir(folder)) {
        if (std::strncmp(entry->d_name, prefix.constData(), size_t(prefix.size())) == 0)
            ::unlinkat(folderFd, entry->d_name, 0);
    }
    ::closedir(folder);
}

QByteArray AtomicFile::temporaryPrefix() const
{
    return '.' + QFile::encodeName(name) + '.';
}

// A new file under a hidden name that the file's readers pass over (the node
// exporter reads only names ending in ".prom").
int AtomicFile::createTemporary(QByteArray *temporaryName)
{
    for (int i = 0; i < temporaryNameTries; ++i) {
        *temporaryName = temporaryPrefix() + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        const int fd = ::openat(folderFd, temporaryName->constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool AtomicFile::fail(const QString &what)
{
    errorText = what + QStringLiteral(": ") + qt_error_string(errno);
    return false;
}
