#include "benchprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace bench {

namespace {

QStringList threadsOf(pid_t pid)
{
    return QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

} // namespace

QString problem;

bool fail(const QString &text)
{
    problem = text;
    return false;
}

qint64 nowNs(clockid_t clock)
{
    timespec now;
    ::clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void sleepMs(int ms)
{
    timespec delay{ time_t(ms / 1000), long(ms % 1000) * 1000000L };
    while (::nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const double rank = std::clamp(std::ceil(p / 100 * double(values.size())), 1.0, double(values.size()));
    return values[size_t(rank) - 1];
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

qint64 valueOf(const QByteArray &text, const char *key)
{
    const QByteArray prefix = '\n' + QByteArray(key) + ':';
    const qsizetype at = ('\n' + text).indexOf(prefix);
    return at < 0 ? 0 : text.mid(at + prefix.size() - 1).simplified().split(' ').value(0).toLongLong();
}

std::pair<qint64, qint64> ticksAndSwitches(pid_t pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    qint64 switches = 0;
    for (const QString &thread : threadsOf(pid)) {
        const QByteArray status = readFile(QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(thread));
        switches += valueOf(status, "voluntary_ctxt_switches") + valueOf(status, "nonvoluntary_ctxt_switches");
    }
    return { fields.value(11).toLongLong() + fields.value(12).toLongLong(), switches };
}

qint64 runtimeNs(pid_t pid)
{
    qint64 total = 0;
    for (const QString &thread : threadsOf(pid))
        total += readFile(QStringLiteral("/proc/%1/task/%2/schedstat").arg(pid).arg(thread)).split(' ').value(0).toLongLong();
    return total;
}

void pinTo(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}

QList<QByteArray> environmentWith(const QList<QByteArray> &added, const QList<QByteArray> &removed)
{
    QList<QByteArray> result;
    for (char **entry = environ; *entry; ++entry) {
        const QByteArray variable(*entry);
        if (!removed.contains(variable.left(variable.indexOf('='))))
            result.append(variable);
    }
    return result + added;
}

pid_t startProcess(const QStringList &command, QList<QByteArray> environment, const QString &folder,
                   const QString &output)
{
    // Everything is prepared before the fork: only async-signal-safe calls follow it.
    QList<QByteArray> arguments;
    for (const QString &argument : command)
        arguments.append(QFile::encodeName(argument));
    std::vector<char *> argv, envp;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    for (QByteArray &variable : environment)
        envp.push_back(variable.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const QByteArray directory = QFile::encodeName(folder), out = QFile::encodeName(output);
    const pid_t parent = ::getpid();
    pinTo(1);
    const pid_t pid = ::fork();
    if (pid != 0) {
        pinTo(0);
        return pid;
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int input = ::open("/dev/null", O_RDONLY), log = ::open(out.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (::getppid() != parent || input < 0 || log < 0 || ::dup2(input, 0) < 0 || ::dup2(log, 1) < 0
        || ::dup2(log, 2) < 0 || ::chdir(directory.constData()) != 0)
        ::_exit(127);
    ::close_range(3, ~0U, 0);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

bool waitForExit(pid_t pid, int timeoutMs)
{
    const qint64 deadline = nowNs() + timeoutMs * msNs;
    while (::waitpid(pid, nullptr, WNOHANG) != pid && nowNs() < deadline)
        sleepMs(1);
    return nowNs() < deadline;
}

void Child::reset(pid_t next)
{
    if (pid > 0 && ::kill(pid, SIGKILL) == 0)
        ::waitpid(pid, nullptr, 0);
    pid = next;
}

double timedRunMs(const QStringList &command, const QList<QByteArray> &environment, const QString &folder)
{
    const qint64 started = nowNs();
    const pid_t pid = startProcess(command, environment, folder);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const qint64 ended = nowNs();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? double(ended - started) / msNs : -1;
}

qint64 reapedAtNs(pid_t pid)
{
    const qint64 spinUntil = nowNs() + 5 * msNs, giveUp = nowNs() + 3000 * msNs;
    while (::kill(pid, 0) == 0 || errno != ESRCH) {
        if (nowNs() > giveUp)
            return -1;
        const timespec pause{ 0, 100000 };
        if (nowNs() > spinUntil)
            ::nanosleep(&pause, nullptr);
    }
    return nowNs(CLOCK_REALTIME);
}

bool roundTrip(const sockaddr_un &address, socklen_t length)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    char reply[4];
    size_t filled = 0;
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0
            && ::write(fd, "alive\r\n", 7) == 7;
    for (ssize_t count = 1; ok && filled < sizeof reply; filled += size_t(count))
        ok = (count = ::read(fd, reply + filled, sizeof reply - filled)) > 0;
    if (fd >= 0)
        ::close(fd);
    return ok && std::memcmp(reply, "true", 4) == 0;
}

} // namespace bench
