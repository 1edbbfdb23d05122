#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// What every test shares: files, a guard of the settings scope, child
// processes, a private mount namespace with its own system log, and the staged
// installation.

#include <QtTest>

#include <csignal>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ts {

constexpr int waitMs = 15000;
// The sanitizers' runtime needs spare descriptors of its own: it checks
// dynamic types through a pipe, and ends a process that has none.
#ifdef __SANITIZE_ADDRESS__
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline mode_t modeOf(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode : 0;
}

// The descriptors a process holds.
inline qsizetype openFiles(qint64 pid)
{
    return QDir(u"/proc/%1/fd"_s.arg(pid)).entryList(QDir::System).size();
}

// No such process, or a zombie nobody has reaped yet.
inline bool processGone(qint64 pid)
{
    const QByteArray stat = readFile(u"/proc/%1/stat"_s.arg(pid));
    const qsizetype state = stat.lastIndexOf(')') + 2;
    return pid <= 0 || state >= stat.size() || stat.at(state) == 'Z' || stat.at(state) == 'X';
}

// The system-scope settings (resource folder record, service registry) in a
// folder of the test's own while it lives.
class SystemScopeRedirect
{
public:
    SystemScopeRedirect() { QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, folder.path()); }
    ~SystemScopeRedirect()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, QLibraryInfo::path(QLibraryInfo::SettingsPath));
    }
    Q_DISABLE_COPY_MOVE(SystemScopeRedirect)
    const QTemporaryDir folder;
};

struct Run
{
    int exitCode = -1; // also when it crashed or did not end
    QString out;
    QString err;
};

// A child that dies with the test, and is killed when the object goes. Its
// output goes to files, which a daemon it launches inherits.
class Child
{
public:
    Child(const QString &program, const QStringList &arguments, const QProcessEnvironment &env, bool ownGroup = false)
    {
        process.setProcessEnvironment(env);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(output.filePath(u"out"_s));
        process.setStandardErrorFile(output.filePath(u"err"_s));
        process.setChildProcessModifier([ownGroup] {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (ownGroup)
                ::setpgid(0, 0);
        });
        process.start(program, arguments);
        process.waitForStarted(waitMs);
    }
    ~Child()
    {
        process.kill();
        process.waitForFinished(waitMs);
    }
    Q_DISABLE_COPY_MOVE(Child)
    qint64 pid() const { return process.processId(); }
    Run finish()
    {
        const bool clean = process.waitForFinished(waitMs) && process.exitStatus() == QProcess::NormalExit;
        return { clean ? process.exitCode() : -1, QString::fromUtf8(readFile(output.filePath(u"out"_s))),
                 QString::fromUtf8(readFile(output.filePath(u"err"_s))) };
    }

    QTemporaryDir output;
    QProcess process;
};

// Gives this thread, and every process it starts, a mount namespace with a
// private /var/tmp (control sockets), /etc/xdg (service registry) and /dev (a
// tmpfs with the device nodes programs need and the test's own "log"). Nothing
// of the machine's is bound, changed or left behind. Returns the problem.
inline QString enterPrivateNamespace()
{
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return u"cannot make a private mount namespace: "_s + qt_error_string();
    for (const char *folder : { "/dev", "/var/tmp", "/etc/xdg" }) {
        if (::mount("tmpfs", folder, "tmpfs", MS_NOSUID, "mode=1777") != 0)
            return u"cannot mount a private "_s + QLatin1String(folder) + u": "_s + qt_error_string();
    }
    const std::pair<const char *, unsigned> nodes[] = { { "/dev/null", 3 }, { "/dev/zero", 5 }, { "/dev/full", 7 },
                                                       { "/dev/random", 8 }, { "/dev/urandom", 9 } };
    for (const auto &[path, minor] : nodes) {
        if (::mknod(path, S_IFCHR | 0666, makedev(1, minor)) != 0 || ::chmod(path, 0666) != 0)
            return u"cannot make "_s + QLatin1String(path) + u": "_s + qt_error_string();
    }
    return ::symlink("/proc/self/fd", "/dev/fd") == 0 ? QString() : u"cannot link /dev/fd"_s;
}

// Mounts a /run of the given size (in a mount namespace of the caller's)
// and fills it: nothing more fits.
inline bool mountFullRun(const char *size)
{
    if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID, (QByteArray("mode=755,size=") + size).constData()) != 0)
        return false;
    QFile fill(u"/run/fill"_s);
    const QByteArray block(4096, '\0');
    for (bool open = fill.open(QIODevice::WriteOnly); open && fill.write(block) == block.size() && fill.flush();) {
    }
    return true;
}

// The receiver on the private /dev/log, or at another path or an abstract
// address ("@name").
class DevLog
{
public:
    bool bind(const QByteArray &path = "/dev/log")
    {
        sockaddr_un address = { AF_UNIX, {} };
        qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
        socklen_t length = sizeof address;
        if (path.startsWith('@')) {
            address.sun_path[0] = '\0';
            length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));
        }
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int on = 1;
        return fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) == 0
            && ::bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0;
    }
    ~DevLog() { ::close(fd); }
    // Every entry received so far, "<priority>ident[pid]: text" without the time.
    QStringList entries()
    {
        static const QRegularExpression stamp(u"^(<\\d+>)\\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d "_s);
        char buffer[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
        iovec data{ buffer, sizeof buffer };
        msghdr message{ nullptr, 0, &data, 1, control, sizeof control, 0 };
        for (ssize_t n; (n = ::recvmsg(fd, &message, 0)) > 0; message.msg_controllen = sizeof control) {
            received << QString::fromUtf8(buffer, n).replace(stamp, u"\\1"_s);
            timeval at{}; // SO_TIMESTAMP's, the one message of its control data
            std::memcpy(&at, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof at);
            arrivals << at.tv_sec * 1000 + at.tv_usec / 1000;
        }
        return received;
    }
    int fd = -1;
    QStringList received;
    QList<qint64> arrivals; // of each entry, in ms, as the kernel stamped it
};

// A staged installation: a copy of program beside the stand-in worker (if
// given) in a folder whose name ends in "_watchdog", a resource folder that
// "resources.ini" beside them names, and the environment of its children.
// Every process of a staged program dies when the object goes.
class Installation
{
public:
    Installation(const QString &program, const QString &worker = QString())
        : bin(root.filePath(u"farm_watchdog/"_s)), executable(bin + QFileInfo(program).fileName()),
          resources(root.filePath(u"resources"_s)), record(root.filePath(u"workers.record"_s))
    {
        valid = QDir().mkpath(resources) && QDir().mkpath(bin) && QFile::copy(program, executable)
            && (worker.isEmpty() || QFile::copy(worker, bin + QFileInfo(worker).fileName()))
            && writeFile(bin + u"resources.ini"_s, "resources=" + QFile::encodeName(resources) + '\n');
        env.insert(u"RENDER_WORKER_RECORD"_s, record);
    }
    ~Installation() { killAll(); }
    Q_DISABLE_COPY_MOVE(Installation)

    QString path(const QString &name) const { return root.filePath(name); }
    // Another installation's worker program (none if empty) below the resource
    // folder, "%1" in a script standing for the staged worker; the version file
    // names that installation when redirected.
    bool addWorker(const QString &folder, QByteArray program, mode_t mode = 0700, bool redirected = true) const
    {
        const QByteArray worker = QFile::encodeName(resources + u'/' + folder + u"/Solvane Worker/bin/render_worker"_s);
        if (program.startsWith("#!"))
            program.replace("%1", QFile::encodeName(bin + u"render_worker"_s));
        return (!redirected || writeFile(resources + u"/render_worker.version"_s, QFile::encodeName(folder) + '\n'))
            && (program.isEmpty() || (writeFile(QFile::decodeName(worker), program) && ::chmod(worker.constData(), mode) == 0));
    }
    Run run(const QStringList &arguments) { return Child(executable, arguments, env).finish(); }
    // The live processes of the staged programs, of the one named name if given.
    QList<qint64> processes(const QString &name = QString()) const
    {
        QList<qint64> pids;
        for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
            const QString exe = QFileInfo(u"/proc/"_s + entry + u"/exe"_s).symLinkTarget();
            if (exe.startsWith(bin) && (name.isEmpty() || exe.endsWith(u'/' + name)) && !processGone(entry.toLongLong()))
                pids << entry.toLongLong();
        }
        return pids;
    }
    void killAll()
    {
        for (const qint64 pid : processes())
            ::kill(pid_t(pid), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(processes().isEmpty(), waitMs);
    }
    // The worker record's lines "<what> <pid> [<arguments>]" of one kind.
    QStringList workerEvents(const QString &what) const
    {
        QStringList lines = QString::fromUtf8(readFile(record)).split(u'\n');
        lines.removeIf([&](const QString &line) { return !line.startsWith(what + u' '); });
        return lines;
    }

    // The helpers of the worker of a role ("CPU", "GPU") that its runs
    // recorded ("helper <pid> <role>"), all of them or those before its
    // end-th exit: then all of runs that have ended.
    QList<qint64> helpers(const QString &role, int end = 0) const
    {
        const QByteArray lines = readFile(record);
        const QStringList exits = workerEvents(u"exit"_s);
        QList<qint64> pids;
        if (exits.size() < end)
            return pids;
        for (const QByteArray &line : (end > 0 ? lines.left(lines.indexOf(exits.at(end - 1).toUtf8())) : lines).split('\n')) {
            if (line.startsWith("helper ") && line.endsWith(' ' + role.toUtf8()))
                pids << line.split(' ').at(1).toLongLong();
        }
        return pids;
    }

    QTemporaryDir root;
    const QString bin;
    const QString executable;
    const QString resources;
    const QString record;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    bool valid = false;
};

} // namespace ts

#endif // TESTSUPPORT_H
