// bench_peers [--reps n] [--respawns n] [--idle s] [--starts n] [watchdog[=label]...]:
// the watchdog beside runsv, supervise, s6-supervise, supervisord and the
// bare toolkit program, all running the same static worker. First the
// start-ups, every supervisor started n times in a shuffled order per round;
// then the repetitions, interleaved. Each figure is the watchdog's ratio to
// the best peer of the same repetition or, for what no peer does (control
// round trip, -v, -t) and what the toolkit sets (start-up, noticing a kill),
// to its floor measured beside it in the same run. How each is measured:
// bench/README.md.

#include "controlsocket.h"
#include "unixaddress.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <numeric>
#include <poll.h>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr qint64 msNs = 1000000;
constexpr int workerLifeMs = 1300;
// Past the second after a start in which runsv and supervise hold a respawn back.
constexpr int killAfterMs = 1150;
constexpr int eventTimeoutMs = 30000;
constexpr int roundTrips = 3000, roundTripWarmUp = 300, roundTripBlock = 100, versionRuns = 10;
const QString serviceName = QStringLiteral("Solvane Render Worker");
const QString peerWorker = QStringLiteral(PEER_WORKER_EXECUTABLE);
const QString bareQt = QStringLiteral(BARE_QT_EXECUTABLE);

// The maxima are named so: with a sample or two per figure and repetition,
// a "p99" would only be the largest anyway.
enum Figure { GapP50, GapMax, NoticeExit, NoticeExitMax, NoticeKill, NoticeKillMax, CpuPerRespawn,
              IdleTicks, IdleSwitches, Rss, PrivateDirty, ControlP50, ControlP99, Version, Terminate, FigureCount };

// What a figure is compared with: the best peer of the repetition, a floor
// the watchdog's own run measured beside it, or the bare toolkit program
// supervising the same worker in the same repetition.
enum Against { Peers, OwnFloor, Toolkit };

struct FigureInfo
{
    const char *what;
    const char *unit;
    double goal; // largest ratio that meets it; 0: must be zero; <0: none
    Against against;
};

const FigureInfo figures[FigureCount] = {
    { "Respawn gap beyond the fixed delay, p50", "ms", 1.0, Peers },
    { "Respawn gap beyond the fixed delay, max", "ms", -1, Peers },
    { "Noticing an exit: last word to reaped, p50", "ms", 1.0, Peers },
    { "Noticing an exit, max", "ms", -1, Peers },
    // What QProcess and the event dispatcher take is accepted here: the floor
    // is the bare toolkit program noticing the same kill.
    { "Noticing a kill: SIGKILL to reaped, p50 (floor: bare toolkit program)", "ms", 1.1, Toolkit },
    { "Noticing a kill, max (floor: the same)", "ms", -1, Toolkit },
    { "CPU time per respawn", "ms", 1.2, Peers },
    // Without NOTIFY_SOCKET here; installed, the unit's WatchdogSec=150 wakes it every 75 s.
    { "Idle CPU ticks over the idle time (no systemd ping; installed: one every 75 s)", "ticks", 0, Peers },
    { "Idle context switches (the same)", "", 0, Peers },
    { "Resident (VmRSS), one sleeping worker", "KiB", -1, Peers },
    { "Private_Dirty", "KiB", -1, Peers },
    { "Control round trip p50, one raw client (floor: echo server)", "us", 3.0, OwnFloor },
    { "Control round trip p99", "us", -1, OwnFloor },
    { "-v wall time (floor: bare toolkit program, QtCore and QtNetwork)", "ms", 1.1, OwnFloor },
    { "-t wall time, one worker running (floor: the same)", "ms", 1.1, OwnFloor },
};

struct Run
{
    std::vector<double> value = std::vector<double>(FigureCount, -1);
    std::vector<double> floor = std::vector<double>(FigureCount, -1);
    std::vector<double> gaps;
};

enum Kind { Watchdog, Peer, BareToolkit };

struct Supervisor
{
    QString label;
    QString program; // for the watchdog: the executable to stage
    Kind kind = Peer;
};

QString problem;
QMap<QString, QString> splits; // Private_Dirty by mapping, per watchdog

bool fail(const QString &text)
{
    problem = text;
    return false;
}

qint64 nowNs(clockid_t clock = CLOCK_MONOTONIC)
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

// Nearest rank; -1 for none.
double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const double rank = std::clamp(std::ceil(p / 100 * double(values.size())), 1.0, double(values.size()));
    return values[size_t(rank) - 1];
}

// Files in /proc report no size: read until the end.
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

// The number after "key:" in a /proc file of "key: value" lines; 0 when missing.
qint64 valueOf(const QByteArray &text, const char *key)
{
    const QByteArray prefix = '\n' + QByteArray(key) + ':';
    const qsizetype at = ('\n' + text).indexOf(prefix);
    return at < 0 ? 0 : text.mid(at + prefix.size() - 1).simplified().split(' ').value(0).toLongLong();
}

QStringList threadsOf(pid_t pid)
{
    return QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

// CPU ticks (utime + stime) of the process and context switches of all its threads.
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

// CPU time of every thread, in nanoseconds.
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

// This process's environment without the named variables, with added.
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

// Starts program on CPU 1 in folder, input from /dev/null, output and errors
// into output. It is killed when this process ends, whatever the reason.
pid_t startProcess(const QStringList &command, QList<QByteArray> environment, const QString &folder,
                   const QString &output = QStringLiteral("/dev/null"))
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

// A child that is killed and reaped when this goes, unless reaped already.
struct Child
{
    pid_t pid = -1;
    ~Child() { reset(); }
    void reset(pid_t next = -1)
    {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
        pid = next;
    }
};

// Wall time of one whole run, fork to reaped, in ms; -1 unless it exits with 0.
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

// From the worker's last word (or its kill) to the moment its supervisor has
// reaped it: kill(pid, 0) succeeds on a zombie. Spins 5 ms, then looks every 100 us.
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

// The least a control client does: connect, "alive", read "true", close.
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

struct Event
{
    char kind = 0;
    pid_t pid = 0;
    qint64 timeNs = 0;
};

// Everything one supervisor needs, in a folder of its own; the workers
// report on a FIFO there.
class Stage
{
public:
    ~Stage() { if (fifo >= 0) ::close(fifo); }

    bool prepare(const Supervisor &supervisor)
    {
        const QByteArray fifoPath = QFile::encodeName(dir.filePath(QStringLiteral("fifo")));
        if (!dir.isValid() || ::mkfifo(fifoPath.constData(), 0600) != 0 || !setLife(0)
            || (fifo = ::open(fifoPath.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0)
            return fail(QStringLiteral("cannot prepare %1").arg(dir.path()));
        const QString service = dir.filePath(QStringLiteral("service"));
        QDir().mkpath(service);
        const QByteArray folder = QFile::encodeName(dir.path());
        environment = environmentWith({ "BENCH_FIFO=" + fifoPath, "BENCH_LIFE=" + folder + "/life" },
                                      { "QTSERVICE_RUN", "VERBOSE", "BENCH_FIFO", "BENCH_LIFE" });
        command = QStringList{ supervisor.program, service };
        // s6-supervise waits a second after a death, supervisord notices one
        // at the next tick of its one-second loop: their own fixed delays.
        fixedRestartNs = supervisor.kind == BareToolkit || supervisor.label == QLatin1String("runsv")
                || supervisor.label == QLatin1String("supervise") ? 0 : 1000 * msNs;
        if (supervisor.kind == Watchdog)
            return stageWatchdog(supervisor, service);
        if (!QFile::copy(peerWorker, service + QStringLiteral("/run")))
            return fail(QStringLiteral("cannot stage the worker"));
        if (supervisor.kind == BareToolkit)
            command = QStringList{ supervisor.program, QStringLiteral("--supervise"), service + QStringLiteral("/run") };
        if (supervisor.label != QLatin1String("supervisord"))
            return true;
        command = QStringList{ supervisor.program, QStringLiteral("-n"), QStringLiteral("-c"), dir.filePath(QStringLiteral("supervisord.conf")) };
        return writeFile(command.last(), "[supervisord]\nnodaemon=true\nuser=root\nlogfile=" + folder + "/supervisord.log\npidfile=" + folder
                                             + "/supervisord.pid\nchildlogdir=" + folder + "\n[program:worker]\ncommand=" + folder
                                             + "/service/run\nautorestart=true\nstartsecs=0\nstartretries=1000000\nstdout_logfile=NONE\nstderr_logfile=NONE\n")
            || fail(QStringLiteral("cannot write supervisord.conf"));
    }

    bool setLife(int ms) { return writeFile(dir.filePath(QStringLiteral("life")), QByteArray::number(ms)); }

    bool next(Event *event, int timeoutMs)
    {
        const qint64 deadline = nowNs() + timeoutMs * msNs;
        qsizetype end;
        while ((end = pending.indexOf('\n')) < 0) {
            pollfd watched{ fifo, POLLIN, 0 };
            const qint64 left = (deadline - nowNs()) / msNs;
            char buffer[512];
            const ssize_t size = left > 0 && ::poll(&watched, 1, int(left)) > 0 ? ::read(fifo, buffer, sizeof buffer) : -1;
            if (left <= 0)
                return false;
            if (size > 0)
                pending.append(buffer, size);
        }
        const QList<QByteArray> fields = pending.left(end).split(' ');
        pending.remove(0, end + 1);
        *event = { fields.value(0).isEmpty() ? char(0) : fields.value(0).at(0), pid_t(fields.value(1).toInt()), fields.value(2).toLongLong() };
        return true;
    }

    // An administrative command of the staged watchdog: not the daemon's role.
    double admin(const QString &option) { return timedRunMs({ command.first(), option }, adminEnvironment, dir.path()); }

    QTemporaryDir dir;
    QStringList command;
    // The bare program loading the toolkit libraries the watchdog loads.
    QStringList bareCommand;
    QList<QByteArray> environment, adminEnvironment;
    qint64 fixedStartNs = 0, fixedRestartNs = 0;

private:
    // Installed beside its worker with a resource folder of its own (CPU
    // worker only), registered, and run as systemd runs it.
    bool stageWatchdog(const Supervisor &supervisor, const QString &service)
    {
        command = QStringList{ service + QStringLiteral("/render_worker_watchdog") };
        const QString resources = dir.filePath(QStringLiteral("resources"));
        adminEnvironment = environment;
        bareCommand = QStringList{ bareQt, QStringLiteral("--exit") };
        environment.append("QTSERVICE_RUN=1");
        fixedStartNs = fixedRestartNs = 5000 * msNs;
        if (!QFile::copy(supervisor.program, command.first()) || !QFile::copy(peerWorker, service + QStringLiteral("/render_worker"))
            || !writeFile(service + QStringLiteral("/resources.ini"), "[General]\nresources=" + QFile::encodeName(resources) + "\n")
            || !writeFile(resources + QStringLiteral("/settings.conf"), "[worker]\nworkerCpu=true\nworkerGpu=false\n"))
            return fail(QStringLiteral("cannot stage the watchdog"));
        admin(QStringLiteral("-u"));
        return admin(QStringLiteral("-i")) >= 0 || fail(QStringLiteral("-i failed"));
    }

    int fifo = -1;
    QByteArray pending;
};

// Private_Dirty by mapping (heap, stack, anonymous, each file), in KiB.
QString privateDirtySplit(pid_t pid)
{
    QMap<QString, qint64> split;
    QString mapping;
    for (const QByteArray &line : readFile(QStringLiteral("/proc/%1/smaps").arg(pid)).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.value(0).contains('-') && !fields.value(0).endsWith(':'))
            mapping = fields.size() > 5 ? QString::fromLocal8Bit(fields.value(5)).section(QLatin1Char('/'), -1) : QStringLiteral("[anonymous]");
        else if (fields.value(0) == "Private_Dirty:")
            split[mapping] += fields.value(1).toLongLong();
    }
    QString text;
    for (auto it = split.cbegin(); it != split.cend(); ++it)
        text += it.value() > 0 ? QStringLiteral(" %1 %2;").arg(it.key()).arg(it.value()) : QString();
    return text;
}

// Round trips of the same client against the daemon and the echo floor, in
// alternating blocks so that both see the same noise; then -v against the
// bare program, alternating too.
bool measureControl(Stage &stage, Run *run)
{
    Child echo;
    const QString echoPath = stage.dir.filePath(QStringLiteral("echo"));
    echo.pid = startProcess({ peerWorker, QStringLiteral("--echo"), echoPath }, {}, stage.dir.path());
    sockaddr_un addresses[2];
    socklen_t lengths[2];
    if (!makeUnixAddress(controlSocketPath(serviceName), &addresses[0], &lengths[0]) || !makeUnixAddress(echoPath, &addresses[1], &lengths[1]))
        return fail(QStringLiteral("bad socket path"));
    const qint64 deadline = nowNs() + eventTimeoutMs * msNs;
    while (!roundTrip(addresses[0], lengths[0]) || !roundTrip(addresses[1], lengths[1])) {
        if (nowNs() > deadline)
            return fail(QStringLiteral("the daemon or the echo floor does not answer"));
        sleepMs(2);
    }
    std::vector<double> us[2];
    for (int done = -roundTripWarmUp; done < roundTrips; done += roundTripBlock) {
        for (int server = 0; server < 2; ++server) {
            for (int i = 0; i < roundTripBlock; ++i) {
                const qint64 started = nowNs();
                if (!roundTrip(addresses[server], lengths[server]))
                    return fail(QStringLiteral("a server did not answer \"alive\" with \"true\""));
                if (done >= 0)
                    us[server].push_back(double(nowNs() - started) / 1e3);
            }
        }
    }
    std::vector<double> version[2];
    for (int i = 0; i < versionRuns; ++i) {
        version[1].push_back(timedRunMs(stage.bareCommand, stage.adminEnvironment, stage.dir.path()));
        version[0].push_back(stage.admin(QStringLiteral("-v")));
    }
    if (*std::min_element(version[0].begin(), version[0].end()) < 0 || *std::min_element(version[1].begin(), version[1].end()) < 0)
        return fail(QStringLiteral("-v or the bare program failed"));
    run->value[ControlP50] = percentile(us[0], 50), run->floor[ControlP50] = percentile(us[1], 50);
    run->value[ControlP99] = percentile(us[0], 99), run->floor[ControlP99] = percentile(us[1], 99);
    run->value[Version] = percentile(version[0], 50), run->floor[Version] = percentile(version[1], 50);
    return true;
}

// One start of a staged supervisor: fork to its first worker's start, less
// its fixed start delay, in ms; -1 when it started none. Afterwards the
// supervisor and its worker are gone: the watchdog stopped as systemd stops
// it, the others killed. This process must be their subreaper.
double timedStart(const Supervisor &supervisor, Stage &stage)
{
    const qint64 launchedNs = nowNs(CLOCK_REALTIME);
    Child child;
    child.reset(startProcess(stage.command, stage.environment, stage.dir.path(), stage.dir.filePath(QStringLiteral("output"))));
    Event event;
    const bool started = child.pid > 0 && stage.next(&event, eventTimeoutMs) && event.kind == 'S';
    if (supervisor.kind == Watchdog && ::kill(child.pid, SIGTERM) == 0 && waitForExit(child.pid, 10000))
        child.pid = -1;
    child.reset();
    if (started && ::kill(event.pid, SIGKILL) == 0)
        ::waitpid(event.pid, nullptr, 0);
    return started ? double(event.timeNs - launchedNs - stage.fixedStartNs) / msNs : -1;
}

// Start-ups: every supervisor started `starts` times from a stage of its own
// made up front (the watchdog's -u and -i included), one start each per
// round in a shuffled order that never starts the same one twice in a row:
// no supervisor has a run of its own right before a measured start, and each
// follows each of the others about equally often.
bool measureStartUps(const QList<Supervisor> &supervisors, int starts, QList<std::vector<double>> *startUps)
{
    std::vector<std::unique_ptr<Stage>> stages;
    for (const Supervisor &supervisor : supervisors) {
        stages.push_back(std::make_unique<Stage>());
        if (!stages.back()->prepare(supervisor))
            return false;
    }
    // Orphaned workers of killed peers come to this process to be reaped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<int> order(size_t(supervisors.size()));
    std::iota(order.begin(), order.end(), 0);
    std::mt19937 shuffler(19);
    bool ok = true;
    for (int round = 0; round < starts && ok; ++round) {
        const int last = order.back();
        std::shuffle(order.begin(), order.end(), shuffler);
        if (order.front() == last)
            std::swap(order.front(), order.back());
        for (const int s : order) {
            std::fprintf(stderr, "start-up %d: %s\n", round + 1, qPrintable(supervisors[s].label));
            // Whatever the last one's end left to do is done before the next start.
            sleepMs(200);
            const double ms = timedStart(supervisors[s], *stages[size_t(s)]);
            ok = ok && (ms >= 0 || fail(supervisors[s].label + QStringLiteral(": started no worker")));
            (*startUps)[s].push_back(ms);
        }
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    return ok;
}

bool runOnce(const Supervisor &supervisor, int respawns, int idleSeconds, Run *run)
{
    Stage stage;
    if (!stage.prepare(supervisor))
        return false;
    *run = Run();
    const QString output = stage.dir.filePath(QStringLiteral("output"));
    Child child;
    child.pid = startProcess(stage.command, stage.environment, stage.dir.path(), output);
    const pid_t pid = child.pid;
    QList<pid_t> workers;
    const auto failed = [&](const QString &text) {
        for (pid_t worker : std::as_const(workers))
            ::kill(worker, SIGKILL);
        return fail(supervisor.label + QStringLiteral(": ") + text + QStringLiteral(" ") + QString::fromLocal8Bit(readFile(output)));
    };
    Event event;
    if (pid < 0 || !stage.next(&event, eventTimeoutMs) || event.kind != 'S')
        return failed(QStringLiteral("started no worker"));
    workers.append(event.pid);

    // No Pss: it is the share of the toolkit's pages among every process that
    // maps them, this Qt bench and whatever Qt programs the machine runs
    // besides, so it says more about them than about the supervisor.
    sleepMs(1000);
    const QByteArray rollup = readFile(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    run->value[Rss] = valueOf(rollup, "Rss");
    run->value[PrivateDirty] = valueOf(rollup, "Private_Dirty");
    if (supervisor.kind != Peer)
        splits[supervisor.label] = privateDirtySplit(pid);
    const auto before = ticksAndSwitches(pid);
    sleepMs(idleSeconds * 1000);
    const auto after = ticksAndSwitches(pid);
    run->value[IdleTicks] = double(after.first - before.first);
    run->value[IdleSwitches] = double(after.second - before.second);
    if (supervisor.kind == Watchdog && !measureControl(stage, run))
        return failed(problem);

    // The sleeping worker is killed; then every other worker ends on its own
    // after workerLifeMs, the others are killed after killAfterMs. The gap
    // after the first kill is left out.
    stage.setLife(workerLifeMs);
    const qint64 cpuBefore = runtimeNs(pid);
    std::vector<double> gaps, exits, kills;
    qint64 lastDeathNs = -1, killAtNs = nowNs(CLOCK_REALTIME);
    for (int started = 0;;) {
        const int waitMs = killAtNs < 0 ? eventTimeoutMs : int(std::max<qint64>(0, killAtNs - nowNs(CLOCK_REALTIME)) / msNs);
        if (!stage.next(&event, waitMs)) {
            if (killAtNs < 0)
                return failed(QStringLiteral("no worker event for %1 s").arg(eventTimeoutMs / 1000));
            event = { 'K', workers.last(), nowNs(CLOCK_REALTIME) };
            ::kill(event.pid, SIGKILL);
            killAtNs = -1;
        }
        if (event.kind == 'S') {
            workers.append(event.pid);
            if (lastDeathNs >= 0)
                gaps.push_back(double(event.timeNs - lastDeathNs - stage.fixedRestartNs) / msNs);
            if (++started % 2 == 0)
                killAtNs = event.timeNs + killAfterMs * msNs;
        } else if (event.kind == 'D' && started > respawns) {
            run->value[CpuPerRespawn] = double(runtimeNs(pid) - cpuBefore) / msNs / started;
            break;
        } else if (started > 0) {
            lastDeathNs = event.timeNs;
            const qint64 reaped = reapedAtNs(event.pid);
            if (reaped > 0)
                (event.kind == 'D' ? exits : kills).push_back(double(reaped - event.timeNs) / msNs);
        }
    }
    const std::pair<Figure, std::vector<double> *> samples[] = { { GapP50, &gaps }, { NoticeExit, &exits }, { NoticeKill, &kills } };
    for (const auto &[figure, values] : samples) {
        run->value[figure] = percentile(*values, 50);
        run->value[figure + 1] = percentile(*values, 100);
    }
    run->gaps = gaps;
    if (supervisor.kind == Watchdog) {
        // The first program run after the respawns starts cold (a few ms
        // more on this kind of machine); a run left unmeasured takes that,
        // so that the floor and -t both start warm.
        timedRunMs(stage.bareCommand, stage.adminEnvironment, stage.dir.path());
        run->floor[Terminate] = timedRunMs(stage.bareCommand, stage.adminEnvironment, stage.dir.path());
        run->value[Terminate] = stage.admin(QStringLiteral("-t"));
        if (!waitForExit(pid, 10000) || run->value[Terminate] < 0)
            return failed(QStringLiteral("-t did not end the daemon"));
        child.pid = -1;
    }
    return true;
}

QString figureText(double value, const char *unit)
{
    if (value < 0)
        return QStringLiteral("-");
    const int decimals = value >= 100 || value == double(qint64(value)) ? 0 : value >= 10 ? 1 : 2;
    return QString::number(value, 'f', decimals) + (*unit ? QStringLiteral(" ") + QLatin1String(unit) : QString());
}

QString ratioText(double ratio)
{
    return QString::number(ratio, 'f', 2) + QLatin1Char('x');
}

// results[supervisor][repetition]. The best peer of a repetition is the
// lowest of the peers; a floored figure is compared with its floor instead,
// the watchdog's own or the bare toolkit program's of the same repetition.
bool printTable(const QList<Supervisor> &supervisors, const QList<QList<Run>> &results, int candidate)
{
    bool met = true;
    std::printf("\n%s against the best peer, or its floor, of each repetition (%d repetitions):\n\n"
                "| Figure | Watchdog (median) | Best peer or floor (median) | Ratio min / median / max | Goal | Met |\n|---|---|---|---|---|---|\n",
                qPrintable(supervisors[candidate].label), int(results[candidate].size()));
    for (int f = 0; f < FigureCount; ++f) {
        std::vector<double> ours, best, ratios;
        QMap<QString, int> bestNames;
        for (int r = 0; r < results[candidate].size(); ++r) {
            double bestValue = results[candidate][r].floor[f];
            QString bestName = QStringLiteral("floor");
            const Kind compared = figures[f].against == Toolkit ? BareToolkit : Peer;
            for (int s = 0; s < supervisors.size() && figures[f].against != OwnFloor; ++s) {
                const double value = r < results[s].size() ? results[s][r].value[f] : -1;
                if (supervisors[s].kind == compared && value >= 0 && (bestValue < 0 || value < bestValue))
                    bestValue = value, bestName = supervisors[s].label;
            }
            ours.push_back(results[candidate][r].value[f]);
            best.push_back(bestValue);
            ++bestNames[bestName];
            if (bestValue > 0)
                ratios.push_back(ours.back() / bestValue);
        }
        const auto mostOften = std::max_element(bestNames.cbegin(), bestNames.cend());
        const FigureInfo &info = figures[f];
        const double ratio = percentile(ratios, 50);
        const bool within = info.goal == 0 ? *std::max_element(ours.begin(), ours.end()) == 0 : !ratios.empty() && ratio <= info.goal;
        met = met && (info.goal < 0 || within);
        const QString ratioCell = ratios.empty() ? QStringLiteral("-")
                                                 : ratioText(percentile(ratios, 0)) + QStringLiteral(" / ") + ratioText(ratio) + QStringLiteral(" / ") + ratioText(percentile(ratios, 100));
        const QString goal = info.goal < 0 ? QStringLiteral("-") : info.goal == 0 ? QStringLiteral("zero") : QStringLiteral("≤ ") + ratioText(info.goal);
        std::printf("| %s | %s | %s (%s) | %s | %s | %s |\n", info.what, qPrintable(figureText(percentile(ours, 50), info.unit)),
                    qPrintable(figureText(percentile(best, 50), info.unit)), qPrintable(mostOften.key()), qPrintable(ratioCell),
                    qPrintable(goal), info.goal < 0 ? "-" : within ? "yes" : "**no**");
    }
    return met;
}

// Median and maximum of every supervisor's start-ups, and the watchdog's
// ratios to the bare toolkit program (the goal) and to the best peer.
bool printStartUps(const QList<Supervisor> &supervisors, const QList<std::vector<double>> &startUps, int toolkit)
{
    constexpr double goal = 1.1;
    bool met = true;
    for (int c = 0; c < supervisors.size(); ++c) {
        if (supervisors[c].kind != Watchdog)
            continue;
        std::printf("\nStart-up to the first worker exec, fixed delay aside (%d starts each, interleaved):\n\n"
                    "| Supervisor | Median | Max | Median: ratio of %s | Max: ratio of %s |\n|---|---|---|---|---|\n",
                    int(startUps[c].size()), qPrintable(supervisors[c].label), qPrintable(supervisors[c].label));
        for (int s = 0; s < supervisors.size(); ++s) {
            const double median = percentile(startUps[s], 50), max = percentile(startUps[s], 100);
            const bool self = s == c;
            std::printf("| %s | %s | %s | %s | %s |\n", qPrintable(supervisors[s].label), qPrintable(figureText(median, "ms")),
                        qPrintable(figureText(max, "ms")),
                        self ? "-" : qPrintable(ratioText(percentile(startUps[c], 50) / median)),
                        self ? "-" : qPrintable(ratioText(percentile(startUps[c], 100) / max)));
        }
        const double ratio = toolkit < 0 ? -1 : percentile(startUps[c], 50) / percentile(startUps[toolkit], 50);
        met = met && ratio >= 0 && ratio <= goal;
        std::printf("\n%s: median start-up %s of the bare toolkit program's; goal ≤ %s: %s\n", qPrintable(supervisors[c].label),
                    qPrintable(ratioText(ratio)), qPrintable(ratioText(goal)), ratio >= 0 && ratio <= goal ? "met" : "**missed**");
    }
    return met;
}

// The respawn gaps of all repetitions together: with a few samples per
// repetition, only the pooled ones say anything about the tail.
void printPooledGaps(const QList<Supervisor> &supervisors, const QList<QList<Run>> &results)
{
    std::printf("\nRespawn gap beyond the fixed delay, all repetitions pooled:\n\n| Supervisor | Samples | p50 | p90 | max |\n|---|---|---|---|---|\n");
    for (int s = 0; s < supervisors.size(); ++s) {
        std::vector<double> gaps;
        for (const Run &run : results[s])
            gaps.insert(gaps.end(), run.gaps.begin(), run.gaps.end());
        std::printf("| %s | %d | %s | %s | %s |\n", qPrintable(supervisors[s].label), int(gaps.size()),
                    qPrintable(figureText(percentile(gaps, 50), "ms")), qPrintable(figureText(percentile(gaps, 90), "ms")),
                    qPrintable(figureText(percentile(gaps, 100), "ms")));
    }
}

void printEverySupervisor(const QList<Supervisor> &supervisors, const QList<QList<Run>> &results)
{
    std::printf("\nEvery supervisor, median over the repetitions:\n\n| Figure |");
    for (const Supervisor &supervisor : supervisors)
        std::printf(" %s |", qPrintable(supervisor.label));
    std::printf("\n|---|%s\n", qPrintable(QStringLiteral("---|").repeated(supervisors.size())));
    for (int f = 0; f < FigureCount; ++f) {
        std::printf("| %s |", figures[f].what);
        for (const QList<Run> &runs : results) {
            std::vector<double> values;
            for (const Run &run : runs)
                values.push_back(run.value[f]);
            std::printf(" %s |", qPrintable(figureText(percentile(values, 50), figures[f].unit)));
        }
        std::printf("\n");
    }
}

// /var/tmp (control sockets), /run (the service's lock) and /etc/xdg
// (registry and system settings) become empty tmpfs mounts of this
// process's own: nothing here meets the real service. Before any thread exists.
bool enterPrivateNamespace()
{
    struct stat info;
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
        && ::mount("tmpfs", "/var/tmp", "tmpfs", 0, "mode=1777") == 0
        && ::mount("tmpfs", "/run", "tmpfs", 0, "mode=755") == 0 && ::stat("/etc/xdg", &info) == 0
        && S_ISDIR(info.st_mode) && ::mount("tmpfs", "/etc/xdg", "tmpfs", 0, "mode=755") == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (!enterPrivateNamespace()) {
        std::fprintf(stderr, "cannot make a private mount namespace: %s\n", std::strerror(errno));
        return 2;
    }
    QCoreApplication app(argc, argv);
    pinTo(0);
    // Ten respawns in each of three repetitions: thirty gaps pooled.
    int reps = 3, respawns = 10, idleSeconds = 5, starts = 12;
    QList<Supervisor> supervisors;
    QStringList arguments = app.arguments().mid(1);
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        int *option = argument == QLatin1String("--reps") ? &reps : argument == QLatin1String("--respawns") ? &respawns
                    : argument == QLatin1String("--idle") ? &idleSeconds : argument == QLatin1String("--starts") ? &starts : nullptr;
        if (option)
            *option = arguments.isEmpty() ? 0 : arguments.takeFirst().toInt();
        else
            supervisors.append({ argument.section(QLatin1Char('='), 1).isEmpty() ? QStringLiteral("watchdog") : argument.section(QLatin1Char('='), 1),
                                 argument.section(QLatin1Char('='), 0, 0), Watchdog });
    }
    if (supervisors.isEmpty())
        supervisors.append({ QStringLiteral("watchdog"), QStringLiteral(WATCHDOG_EXECUTABLE), Watchdog });
    const int candidates = int(supervisors.size());
    for (const char *peer : { "runsv", "supervise", "s6-supervise", "supervisord" }) {
        const QString path = QStringLiteral("/usr/bin/") + QLatin1String(peer);
        if (QFile::exists(path))
            supervisors.append({ QLatin1String(peer), path, Peer });
        else
            std::fprintf(stderr, "%s is missing: scripts/bench installs it\n", qPrintable(path));
    }
    const int toolkit = int(supervisors.size());
    supervisors.append({ QStringLiteral("bare toolkit program"), bareQt, BareToolkit });

    QList<std::vector<double>> startUps(supervisors.size());
    if (!measureStartUps(supervisors, starts, &startUps)) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return 2;
    }

    QList<QList<Run>> results(supervisors.size());
    for (int r = 0; r < reps; ++r) {
        for (int k = 0; k < supervisors.size(); ++k) {
            const int s = (k + r) % int(supervisors.size());
            std::fprintf(stderr, "repetition %d: %s\n", r + 1, qPrintable(supervisors[s].label));
            Run run;
            // Once more: a shared machine may hold a start past the time-out once.
            if (!runOnce(supervisors[s], respawns, idleSeconds, &run) && !runOnce(supervisors[s], respawns, idleSeconds, &run)) {
                std::fprintf(stderr, "%s\n", qPrintable(problem));
                return 2;
            }
            results[s].append(run);
        }
    }
    bool met = printStartUps(supervisors, startUps, toolkit);
    for (int c = 0; c < candidates; ++c)
        met = printTable(supervisors, results, c) && met;
    printPooledGaps(supervisors, results);
    printEverySupervisor(supervisors, results);
    for (auto it = splits.cbegin(); it != splits.cend(); ++it)
        std::printf("\nPrivate_Dirty of %s by mapping (KiB):%s\n", qPrintable(it.key()), qPrintable(it.value()));
    return met ? 0 : 1;
}
