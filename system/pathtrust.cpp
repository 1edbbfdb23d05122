#include "pathtrust.h"

#include "printable.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMutex>
#include <QSet>

#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Debian's group for local changes of the system (/usr/local, /var/local).
gid_t staffGroup()
{
    static const gid_t gid = [] {
        const group *entry = ::getgrnam("staff");
        return entry ? entry->gr_gid : gid_t(0);
    }();
    return gid;
}

bool isRootGroup(gid_t gid)
{
    return gid == 0 || gid == staffGroup();
}

// Paths come from files others can write: shown escaped, so that a line
// break in one cannot make a reason look like entries of its own.
QString describe(const QByteArray &path, const char *what)
{
    return printable(QFile::decodeName(path)) + QLatin1Char(' ') + QLatin1String(what);
}

bool checkFolder(const QByteArray &path, const struct stat &status, QString *reason)
{
    const bool sticky = status.st_mode & S_ISVTX;
    if (!S_ISDIR(status.st_mode))
        *reason = describe(path, "is not a folder");
    else if (status.st_uid != 0)
        *reason = describe(path, "is owned by another user than root");
    else if ((status.st_mode & S_IWOTH) && !sticky)
        *reason = describe(path, "is writable by other users");
    else if ((status.st_mode & S_IWGRP) && !sticky && !isRootGroup(status.st_gid))
        *reason = describe(path, "is writable by its group");
    else
        return true;
    return false;
}

bool checkFile(const QByteArray &path, const struct stat &status, QString *reason)
{
    if (S_ISLNK(status.st_mode))
        *reason = describe(path, "is a symbolic link");
    else if (!S_ISREG(status.st_mode))
        *reason = describe(path, "is not a regular file");
    else if (status.st_nlink != 1)
        *reason = describe(path, "has more than one link");
    else if (status.st_uid != 0)
        *reason = describe(path, "is owned by another user than root");
    else if (status.st_mode & (S_IWGRP | S_IWOTH))
        *reason = describe(path, "is writable by other users than root");
    else
        return true;
    return false;
}

QByteArray parentOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

struct RefusalState
{
    QMutex mutex;
    QSet<QString> reported;
    PathTrust::RefusalReporter reporter;
};

RefusalState &refusalState()
{
    static RefusalState *const state = new RefusalState;
    return *state;
}

} // namespace

namespace PathTrust {

bool isEnforced()
{
    return ::geteuid() == 0;
}

bool isTrustedFolder(const QString &folder, QString *reason)
{
    if (!isEnforced())
        return true;
    if (folder.isEmpty()) {
        *reason = describe(QByteArray(), "does not exist");
        return false;
    }
    const QByteArray given = QFile::encodeName(QFileInfo(folder).absoluteFilePath());
    // The path is walked one name at a time from "/", as the kernel walks it,
    // and every folder passed through is looked at itself (lstat): whoever
    // may change one of them may replace everything below it. A symbolic link
    // on the way is followed only when root owns it, since a link's owner
    // decides where it points and may change that at any time.
    QList<QByteArray> names = given.split('/');
    QByteArray current("/");
    struct stat status {};
    if (::lstat("/", &status) != 0) {
        *reason = describe(current, "cannot be examined");
        return false;
    }
    if (!checkFolder(current, status, reason))
        return false;
    int linksFollowed = 0;
    while (!names.isEmpty()) {
        const QByteArray name = names.takeFirst();
        if (name.isEmpty() || name == ".")
            continue;
        if (name == "..") {
            current = parentOf(current);
            continue;
        }
        const QByteArray step = current == "/" ? current + name : current + '/' + name;
        if (::lstat(step.constData(), &status) != 0) {
            *reason = describe(step, errno == ENOENT ? "does not exist" : "cannot be examined");
            return false;
        }
        if (S_ISLNK(status.st_mode)) {
            char target[PATH_MAX];
            const ssize_t size = ::readlink(step.constData(), target, sizeof target);
            if (status.st_uid != 0) {
                *reason = describe(step, "is a symbolic link of another user than root");
                return false;
            }
            if (size <= 0 || size == ssize_t(sizeof target) || ++linksFollowed > 40) {
                *reason = describe(step, "cannot be followed");
                return false;
            }
            const QByteArray pointed(target, size);
            if (pointed.startsWith('/'))
                current = "/";
            names = pointed.split('/') + names;
            continue;
        }
        if (!checkFolder(step, status, reason))
            return false;
        current = step;
    }
    return true;
}

bool isTrustedFile(const QString &path, QString *reason)
{
    if (!isEnforced())
        return true;
    const QByteArray encoded = QFile::encodeName(path);
    struct stat status {};
    if (::lstat(encoded.constData(), &status) != 0) {
        *reason = describe(encoded, "cannot be examined");
        return false;
    }
    return checkFile(encoded, status, reason)
            && isTrustedFolder(QFile::decodeName(parentOf(encoded)), reason);
}

int openRegularFile(const QString &path, qint64 maxSize, bool trustContent, QString *reason,
                    bool *distrusted)
{
    const QByteArray encoded = QFile::encodeName(path);
    const bool trust = trustContent && isEnforced();
    // Non-blocking: opening a pipe must not wait for a writer.
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (trust ? O_NOFOLLOW : 0);
    const int fd = ::open(encoded.constData(), flags);
    const int openError = errno;
    reason->clear();
    bool refused = trust && openError == ELOOP;
    if (fd < 0) {
        if (distrusted)
            *distrusted = refused;
        if (refused)
            *reason = describe(encoded, "is a symbolic link");
        else if (openError != ENOENT)
            *reason = describe(encoded, "cannot be opened");
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        *reason = describe(encoded, "cannot be examined");
    else if (!S_ISREG(status.st_mode))
        *reason = describe(encoded, "is not a regular file");
    else if (status.st_size > maxSize)
        *reason = describe(encoded, "is larger than ") + QString::number(maxSize)
                + QStringLiteral(" bytes");
    refused = reason->isEmpty() && trust
            && !(checkFile(encoded, status, reason)
                 && isTrustedFolder(QFile::decodeName(parentOf(encoded)), reason));
    if (distrusted)
        *distrusted = refused;
    const bool kept = reason->isEmpty();
    if (!kept) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool readRegularFile(const QString &path, qint64 maxSize, bool trustContent,
                     QByteArray *content, QString *reason)
{
    const int fd = openRegularFile(path, maxSize, trustContent, reason);
    if (fd < 0)
        return false;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *reason = describe(QFile::encodeName(path), "cannot be read");
        return false;
    }
    // One byte more than allowed tells a file that grew since the check.
    *content = file.read(maxSize + 1);
    if (content->size() > maxSize) {
        *reason = describe(QFile::encodeName(path), "is larger than ") + QString::number(maxSize)
                + QStringLiteral(" bytes");
        content->clear();
        return false;
    }
    return true;
}

void reportRefusal(const QString &path, const QString &reason)
{
    reportOnce(QStringLiteral("Refused ") + printable(path) + QStringLiteral(": ") + reason);
}

void reportOnce(const QString &message)
{
    RefusalReporter reporter;
    {
        RefusalState &state = refusalState();
        const QMutexLocker lock(&state.mutex);
        if (state.reported.contains(message))
            return;
        // Before the reporter is set (logging not yet set up), the message
        // is shown but counts as not yet reported.
        if (state.reporter)
            state.reported.insert(message);
        reporter = state.reporter;
    }
    qCritical().noquote() << message;
    if (reporter)
        reporter(message);
}

void setRefusalReporter(RefusalReporter reporter)
{
    RefusalState &state = refusalState();
    const QMutexLocker lock(&state.mutex);
    state.reporter = std::move(reporter);
}

} // namespace PathTrust
