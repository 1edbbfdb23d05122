#include "workercgroup.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const QString watchdogLeaf = QStringLiteral("watchdog");

QString &delegatedFolder()
{
    static QString folder;
    return folder;
}

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(64 * 1024) : QByteArray();
}

// Writes text to a cgroup file in one write, as the kernel wants it.
bool writeCgroupFile(const QString &path, const QByteArray &text, QString *error = nullptr)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
    const int failure = errno;
    if (fd >= 0)
        ::close(fd);
    if (!written && error)
        *error = path + QStringLiteral(": ") + qt_error_string(failure);
    return written;
}

// Where the cgroup v2 hierarchy is mounted, from this process's mount table.
QString unifiedMountPoint()
{
    for (const QByteArray &line : readSmallFile(QStringLiteral("/proc/self/mountinfo")).split('\n')) {
        // "36 25 0:31 / /sys/fs/cgroup rw,... shared:9 - cgroup2 cgroup2 rw,..."
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype separator = fields.indexOf("-");
        if (separator > 4 && separator + 1 < fields.size() && fields.at(separator + 1) == "cgroup2"
            && !fields.at(4).contains('\\'))
            return QFile::decodeName(fields.at(4));
    }
    return QString();
}

// This process's cgroup in the v2 hierarchy: the line "0::<path>".
QString ownCgroup()
{
    for (const QByteArray &line : readSmallFile(QStringLiteral("/proc/self/cgroup")).split('\n')) {
        if (line.startsWith("0::/"))
            return QFile::decodeName(line.mid(3));
    }
    return QString();
}

bool isMarkedDelegated(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    for (const char *attribute : { "trusted.delegate", "user.delegate" }) {
        char value[8] = {};
        const ssize_t size = ::getxattr(path.constData(), attribute, value, sizeof value - 1);
        if (size == 1 && value[0] == '1')
            return true;
    }
    return false;
}

qint64 numberIn(const QString &path)
{
    bool ok = false;
    const qint64 value = readSmallFile(path).trimmed().toLongLong(&ok);
    return ok ? value : -1;
}

// "usage_usec 1234" of cpu.stat, which every cgroup has.
qint64 cpuUsage(const QString &folder)
{
    for (const QByteArray &line : readSmallFile(folder + QStringLiteral("/cpu.stat")).split('\n')) {
        if (line.startsWith("usage_usec ")) {
            bool ok = false;
            const qint64 value = line.mid(11).trimmed().toLongLong(&ok);
            return ok ? value : -1;
        }
    }
    return -1;
}

} // namespace

bool WorkerCgroup::setUpDelegation(QString *reason)
{
    const QString mount = unifiedMountPoint();
    const QString own = ownCgroup();
    if (mount.isEmpty() || own.isEmpty()) {
        *reason = QStringLiteral("no cgroup v2 hierarchy");
        return false;
    }
    QString folder = mount + (own == QLatin1String("/") ? QString() : own);
    // Already in its leaf (set up before, in this cgroup).
    if (own.endsWith(QLatin1Char('/') + watchdogLeaf) && !isMarkedDelegated(folder))
        folder.chop(watchdogLeaf.size() + 1);
    if (!isMarkedDelegated(folder)) {
        *reason = QStringLiteral("the cgroup %1 is not delegated to the service").arg(folder);
        return false;
    }
    const QString leaf = folder + QLatin1Char('/') + watchdogLeaf;
    if (::mkdir(QFile::encodeName(leaf).constData(), 0755) != 0 && errno != EEXIST) {
        *reason = leaf + QStringLiteral(": ") + qt_error_string(errno);
        return false;
    }
    if (!writeCgroupFile(leaf + QStringLiteral("/cgroup.procs"), "0", reason))
        return false;
    // The workers' memory is counted only where the controller is enabled
    // for them; without it, the usage tells no memory.
    if (readSmallFile(folder + QStringLiteral("/cgroup.controllers")).split(' ').contains("memory"))
        writeCgroupFile(folder + QStringLiteral("/cgroup.subtree_control"), "+memory");
    delegatedFolder() = folder;
    return true;
}

bool WorkerCgroup::isDelegated()
{
    return !delegatedFolder().isEmpty();
}

QString WorkerCgroup::delegatedPath()
{
    return delegatedFolder();
}

WorkerCgroup::WorkerCgroup(const QString &name) : name(name) {}

WorkerCgroup::~WorkerCgroup()
{
    closeEntry();
}

bool WorkerCgroup::prepare(QString *error)
{
    closeEntry();
    if (!isDelegated()) {
        *error = QStringLiteral("no delegated cgroup");
        return false;
    }
    const QString folder = delegatedFolder() + QLatin1Char('/') + name;
    const QByteArray path = QFile::encodeName(folder);
    // A cgroup still busy with its last run's dying processes is used as it
    // is; its peak then includes theirs.
    if (::rmdir(path.constData()) != 0 && errno == EBUSY)
        killAll();
    if (::mkdir(path.constData(), 0755) != 0 && errno != EEXIST) {
        *error = folder + QStringLiteral(": ") + qt_error_string(errno);
        return false;
    }
    procsFd = ::open(QFile::encodeName(folder + QStringLiteral("/cgroup.procs")).constData(), O_WRONLY | O_CLOEXEC);
    if (procsFd < 0) {
        *error = folder + QStringLiteral("/cgroup.procs: ") + qt_error_string(errno);
        return false;
    }
    return true;
}

void WorkerCgroup::enterFromChild() const
{
    if (procsFd >= 0)
        [[maybe_unused]] const ssize_t written = ::write(procsFd, "0", 1);
}

void WorkerCgroup::closeEntry()
{
    if (procsFd >= 0)
        ::close(procsFd);
    procsFd = -1;
}

bool WorkerCgroup::killAll()
{
    if (!isDelegated())
        return false;
    const QString folder = delegatedFolder() + QLatin1Char('/') + name;
    if (!QFile::exists(folder))
        return true;
    if (writeCgroupFile(folder + QStringLiteral("/cgroup.kill"), "1"))
        return true;
    // Before Linux 5.14 there is no cgroup.kill: each process is killed by
    // hand, a few rounds for those forked meanwhile.
    bool any = false;
    for (int round = 0; round < 3; ++round) {
        const QByteArray procs = readSmallFile(folder + QStringLiteral("/cgroup.procs")).trimmed();
        if (procs.isEmpty())
            break;
        for (const QByteArray &pid : procs.split('\n')) {
            if (pid.toInt() > 1)
                any = ::kill(pid_t(pid.toInt()), SIGKILL) == 0 || any;
        }
    }
    return any || readSmallFile(folder + QStringLiteral("/cgroup.procs")).trimmed().isEmpty();
}

WorkerCgroup::Usage WorkerCgroup::usage() const
{
    Usage usage;
    if (!isDelegated())
        return usage;
    const QString folder = delegatedFolder() + QLatin1Char('/') + name;
    usage.memoryBytes = numberIn(folder + QStringLiteral("/memory.current"));
    usage.memoryPeakBytes = numberIn(folder + QStringLiteral("/memory.peak"));
    usage.cpuMicroseconds = cpuUsage(folder);
    return usage;
}
