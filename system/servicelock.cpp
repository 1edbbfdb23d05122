#include "servicelock.h"

#include "processlocks.h"
#include "trustedopen.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Enough for any pid in decimal and a line feed.
constexpr int pidTextSize = 16;

pid_t readPid(int fd)
{
    char text[pidTextSize] = {};
    const ssize_t size = ::pread(fd, text, sizeof text - 1, 0);
    if (size <= 0)
        return 0;
    bool ok = false;
    const pid_t pid = QByteArray(text, size).trimmed().toInt(&ok);
    return ok && pid > 0 ? pid : 0;
}

// Opens the lock file without following a link planted at its path, and only
// a regular file owned by this user or root: a file another user made is
// refused (EPERM).
int openLockFile(const QString &path, int flags)
{
    TrustedOpen::Rule rule;
    rule.flags = flags;
    rule.creationMode = 0600;
    rule.links = TrustedOpen::Links::Refused;
    rule.regularOnly = true;
    rule.owner = TrustedOpen::Owner::RootOrSelf;
    return TrustedOpen::open(AT_FDCWD, QFile::encodeName(path).constData(), rule);
}

// The whole file, as one open file description's lock: the same lifetime as
// flock() (released when the last descriptor of it closes), and another
// process can test for it with F_OFD_GETLK without taking anything, so that
// asking whether a daemon runs never makes a starting one fail.
struct flock wholeFile(short type)
{
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    return range;
}

QString lockFileName(const QString &name)
{
    return name + QStringLiteral(".qtservice.lock");
}

QString rootLockPath(const QString &name)
{
    return QLatin1String(ServiceLock::rootRuntimeFolder) + QLatin1Char('/') + lockFileName(name);
}

// The lock files of name that tell whether a daemon runs, as far as this user
// can see: root's, and a user's own beside it. A user without a runtime
// folder has no lock of its own (none is made for asking).
QStringList visibleLockPaths(const QString &name)
{
    QStringList paths{ rootLockPath(name) };
    const QString own = ServiceLock::sessionRuntimeFolder();
    if (::geteuid() != 0 && !own.isEmpty())
        paths << QDir(own).filePath(lockFileName(name));
    return paths;
}

} // namespace

ServiceLock::ServiceLock(const QString &name)
    : filePath(pathFor(name))
{
}

ServiceLock::~ServiceLock()
{
    if (fd >= 0)
        ::close(fd);
}

QString ServiceLock::pathFor(const QString &name)
{
    if (::geteuid() == 0)
        return rootLockPath(name);
    return QDir(runtimeFolder()).filePath(lockFileName(name));
}

QString ServiceLock::runtimeFolder()
{
    if (::geteuid() == 0)
        return QLatin1String(rootRuntimeFolder);
    // Made by the toolkit with mode 0700 when the session has none.
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

QString ServiceLock::sessionRuntimeFolder()
{
    // Without a session's folder the toolkit would warn and make one in the
    // temporary folder: a daemon made there is still seen by its socket.
    if (::geteuid() != 0 && qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return QString();
    return runtimeFolder();
}

bool ServiceLock::acquire()
{
    if (fd >= 0)
        return true;
    const int lockFd = openLockFile(filePath, O_RDWR | O_CREAT);
    if (lockFd < 0) {
        errorText = qt_error_string(errno);
        return false;
    }
    struct flock range = wholeFile(F_WRLCK);
    if (::fcntl(lockFd, F_OFD_SETLK, &range) != 0) {
        errorText = qt_error_string(errno);
        holder = readPid(lockFd);
        ::close(lockFd);
        return false;
    }
    // Readable by others would let them hold a read lock on it.
    ::fchmod(lockFd, 0600);
    const QByteArray pid = QByteArray::number(::getpid()) + '\n';
    if (::ftruncate(lockFd, 0) != 0 || ::pwrite(lockFd, pid.constData(), size_t(pid.size()), 0) != pid.size()) {
        // The lock holds without the record; a refused start names no pid.
        errorText = qt_error_string(errno);
    }
    fd = lockFd;
    holder = ::getpid();
    return true;
}

ServiceLock::State ServiceLock::probe(const QString &name, pid_t *holder)
{
    return probeFile(name, holder, nullptr);
}

ServiceLock::State ServiceLock::probeFile(const QString &name, pid_t *holder, struct stat *file)
{
    if (holder)
        *holder = 0;
    State result = State::Free;
    for (const QString &path : visibleLockPaths(name)) {
        const int probeFd = openLockFile(path, O_RDONLY);
        if (probeFd < 0) {
            if (errno != ENOENT)
                result = State::Unknown;
            continue;
        }
        struct flock range = wholeFile(F_WRLCK);
        const bool held = ::fcntl(probeFd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
        if (held && holder)
            *holder = readPid(probeFd);
        if (held && file && ::fstat(probeFd, file) != 0)
            *file = {};
        ::close(probeFd);
        if (held)
            return State::Held;
    }
    return result;
}

pid_t ServiceLock::findHolder(const QString &name)
{
    pid_t holder = 0;
    struct stat file = {};
    if (probeFile(name, &holder, &file) != State::Held)
        return 0;
    return holder > 0 ? holder : findWriteLockHolder(file);
}

ServiceLock::State ServiceLock::heldBy(const QString &name, pid_t pid)
{
    // A lock of the service's name, in any folder: root's daemon holds it in
    // /run, a user's in that user's runtime folder.
    const QByteArray fileName = '/' + QFile::encodeName(lockFileName(name));
    switch (processHoldsWriteLock(pid, [&fileName](const QByteArray &path, const struct stat &info) {
        return S_ISREG(info.st_mode) && path.endsWith(fileName);
    })) {
    case LockLook::Holds:
        return State::Held;
    case LockLook::DoesNot:
        return State::Free;
    case LockLook::CannotLook:
        break;
    }
    return State::Unknown;
}

bool ServiceLock::isDaemon(const QString &name, pid_t pid, uid_t uid)
{
    switch (heldBy(name, pid)) {
    case State::Held:
        return true;
    case State::Free:
        return false;
    case State::Unknown:
        break;
    }
    // Another user's process, which this user may not look into: root's is
    // taken for the daemon where root's lock is out of sight too; only root
    // can listen as root.
    return uid == 0 && probe(name) == State::Unknown;
}
