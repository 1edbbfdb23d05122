#include "benchsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace Bench {

namespace {

qint64 clockNs(clockid_t clock)
{
    timespec now;
    ::clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

qint64 valueAfterKey(const QByteArray &text, const char *key)
{
    const QByteArray prefix = QByteArray(key) + ':';
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The entries of a /proc folder, without "." and "..".
QStringList folderEntries(const QString &path)
{
    QStringList entries;
    DIR *folder = ::opendir(QFile::encodeName(path).constData());
    if (!folder)
        return entries;
    while (const dirent *entry = ::readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            entries.append(QString::fromLocal8Bit(entry->d_name));
    }
    ::closedir(folder);
    return entries;
}

// Pointers into the byte arrays, for exec; the arrays must outlive them.
std::vector<char *> pointersTo(QList<QByteArray> &strings)
{
    std::vector<char *> pointers;
    pointers.reserve(size_t(strings.size()) + 1);
    for (QByteArray &string : strings)
        pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
}

QList<QByteArray> argumentBytes(const QString &program, const QStringList &arguments)
{
    QList<QByteArray> bytes{ QFile::encodeName(program) };
    for (const QString &argument : arguments)
        bytes.append(argument.toLocal8Bit());
    return bytes;
}

} // namespace

qint64 realtimeNs()
{
    return clockNs(CLOCK_REALTIME);
}

qint64 monotonicNs()
{
    return clockNs(CLOCK_MONOTONIC);
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
        return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * double(values.size()));
    const size_t index = size_t(std::clamp(rank, 1.0, double(values.size()))) - 1;
    return values[index];
}

double median(const std::vector<double> &values)
{
    return percentile(values, 50);
}

void printRow(const Row &row)
{
    const char *verdict = row.verdict == Verdict::Pass ? "pass"
                        : row.verdict == Verdict::Fail ? "FAIL"
                                                       : "info";
    std::printf("RESULT\t%s\t%s\t%s\t%s\t%s\t%s\t%.6g\t%s\n", qPrintable(row.what),
                qPrintable(row.measured), qPrintable(row.floor), qPrintable(row.ratio),
                qPrintable(row.goal), verdict, row.key, qPrintable(row.keyUnit));
    std::fflush(stdout);
}

void note(const QString &text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
}

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QString ratioText(double ratio)
{
    return number(ratio, 2) + QLatin1Char('x');
}

ProcessActivity activityOf(pid_t pid)
{
    ProcessActivity activity;
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype nameEnd = stat.lastIndexOf(')');
    if (nameEnd < 0)
        return activity;
    // After the name: state (field 3), ... utime (14), stime (15), ...
    // num_threads (20).
    const QList<QByteArray> fields = stat.mid(nameEnd + 2).split(' ');
    if (fields.size() < 18)
        return activity;
    activity.cpuTicks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    activity.threads = fields.at(17).toInt();
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    const QStringList threadIds = folderEntries(tasks);
    for (const QString &thread : threadIds) {
        const QByteArray status = readFile(tasks + QLatin1Char('/') + thread + QStringLiteral("/status"));
        activity.voluntarySwitches += std::max<qint64>(0, valueAfterKey(status, "voluntary_ctxt_switches"));
        activity.involuntarySwitches += std::max<qint64>(0, valueAfterKey(status, "nonvoluntary_ctxt_switches"));
    }
    return activity;
}

qint64 smapsRollupKiB(pid_t pid, const char *key)
{
    return valueAfterKey(readFile(QStringLiteral("/proc/%1/smaps_rollup").arg(pid)), key);
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
        const QByteArray name = variable.left(variable.indexOf('='));
        bool drop = removed.contains(name);
        for (const QByteArray &replacement : added)
            drop = drop || replacement.startsWith(name + '=');
        if (!drop)
            result.append(variable);
    }
    result.append(added);
    return result;
}

pid_t startProcess(const QString &program, const QStringList &arguments,
                   const QList<QByteArray> &environment, const QString &folder,
                   const QString &outputFile)
{
    // Everything the child needs is prepared before the fork: between fork
    // and exec only async-signal-safe calls are made.
    QList<QByteArray> argv = argumentBytes(program, arguments);
    QList<QByteArray> envp = environment;
    std::vector<char *> argvPointers = pointersTo(argv);
    std::vector<char *> envpPointers = pointersTo(envp);
    const QByteArray directory = QFile::encodeName(folder);
    const QByteArray output = outputFile.isEmpty() ? QByteArray("/dev/null") : QFile::encodeName(outputFile);
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);
    const int input = ::open("/dev/null", O_RDONLY);
    const int out = ::open(output.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (input < 0 || out < 0 || ::dup2(input, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0)
        ::_exit(127);
    ::close_range(3, ~0U, 0);
    if (!directory.isEmpty() && ::chdir(directory.constData()) != 0)
        ::_exit(127);
    ::execve(argvPointers[0], argvPointers.data(), envpPointers.data());
    ::_exit(127);
}

bool waitForExit(pid_t pid, int timeoutMs, int *status)
{
    const qint64 deadline = monotonicNs() + qint64(timeoutMs) * 1000000;
    for (;;) {
        int waitStatus = 0;
        const pid_t result = ::waitpid(pid, &waitStatus, WNOHANG);
        if (result == pid) {
            if (status)
                *status = waitStatus;
            return true;
        }
        if (result < 0 && errno != EINTR)
            return false;
        if (monotonicNs() > deadline)
            return false;
        sleepMs(1);
    }
}

void ChildGuard::reset(pid_t pid)
{
    if (child > 0) {
        ::kill(child, SIGKILL);
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    child = pid;
}

double timedRunMs(const QString &program, const QStringList &arguments,
                  const QList<QByteArray> &environment, const QString &folder, int *exitCode)
{
    QList<QByteArray> argv = argumentBytes(program, arguments);
    QList<QByteArray> envp = environment;
    std::vector<char *> argvPointers = pointersTo(argv);
    std::vector<char *> envpPointers = pointersTo(envp);
    const QByteArray directory = QFile::encodeName(folder);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (!directory.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, directory.constData());

    const qint64 started = monotonicNs();
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argvPointers[0], &actions, nullptr,
                                      argvPointers.data(), envpPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    const qint64 ended = monotonicNs();
    if (!WIFEXITED(status))
        return -1;
    if (exitCode)
        *exitCode = WEXITSTATUS(status);
    return double(ended - started) / 1e6;
}

bool enterPrivateNamespace(QString *problem)
{
    if (::unshare(CLONE_NEWNS) != 0) {
        *problem = QStringLiteral("cannot make a private mount namespace: %1").arg(qt_error_string());
        return false;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || ::mount("tmpfs", "/var/tmp", "tmpfs", 0, "mode=1777") != 0) {
        *problem = QStringLiteral("cannot mount a private /var/tmp: %1").arg(qt_error_string());
        return false;
    }
    struct stat info;
    if (::stat("/etc/xdg", &info) != 0 || !S_ISDIR(info.st_mode)
        || ::mount("tmpfs", "/etc/xdg", "tmpfs", 0, "mode=755") != 0) {
        *problem = QStringLiteral("cannot mount a private /etc/xdg: %1").arg(qt_error_string());
        return false;
    }
    return true;
}

bool isTmpfs(const QString &path)
{
    struct statfs info;
    return ::statfs(QFile::encodeName(path).constData(), &info) == 0
        && info.f_type == TMPFS_MAGIC;
}

QByteArray readFile(const QString &path)
{
    // Files in /proc report no size: read until the end instead.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QByteArray();
    QByteArray content;
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR)) {
        if (count > 0)
            content.append(buffer, count);
    }
    ::close(fd);
    return content;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

} // namespace Bench
