// bench_daemon <mode> [count]: the real render_worker_watchdog, staged in a
// temporary folder beside the stand-in worker with a resources.ini and a
// settings.conf that enables both workers, run as systemd runs it
// (QTSERVICE_RUN=1) inside a private mount namespace, so that its control
// socket and registry are this benchmark's own.
//
//   control [n]     n control round trips (default 10000) against the daemon
//                   and against the echo floor; wall time of -v
//   terminate [n]   wall time of -t against n fresh daemons (default 10)
//   idle [s]        CPU time and context switches of the daemon over s
//                   seconds (default 60) while its two workers sleep; its
//                   resident and private-dirty memory

#include "benchsupport.h"
#include "controlsocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Bench;

namespace {

const QString serviceName = QStringLiteral("Solvane Render Worker");
// The echo floor listens where a service of this name would.
const QString echoFloorName = QStringLiteral("Bench Echo Floor");
const QString watchdogExecutable = QStringLiteral(WATCHDOG_EXECUTABLE);
const QString workerExecutable = QStringLiteral(WORKER_EXECUTABLE);
const QString echoFloorExecutable = QStringLiteral(ECHO_FLOOR_EXECUTABLE);
const QString bareAppExecutable = QStringLiteral(BARE_APP_EXECUTABLE);
const QString bareNetworkExecutable = QStringLiteral(BARE_NETWORK_EXECUTABLE);

constexpr int readyTimeoutMs = 15000;

QString failure;

bool fail(const QString &text)
{
    failure = text;
    return false;
}

// The watchdog as installed: beside its worker, with resources.ini naming
// a resource folder whose settings.conf enables both workers.
class Installation
{
public:
    bool stage()
    {
        if (!dir.isValid())
            return fail(QStringLiteral("no temporary folder"));
        const QString bin = dir.filePath(QStringLiteral("bin"));
        resources = dir.filePath(QStringLiteral("resources"));
        watchdog = bin + QStringLiteral("/render_worker_watchdog");
        const QString worker = bin + QStringLiteral("/render_worker");
        if (!QDir().mkpath(bin) || !QFile::copy(watchdogExecutable, watchdog)
            || !QFile::copy(workerExecutable, worker))
            return fail(QStringLiteral("cannot stage the executables in %1").arg(bin));
        if (!writeFile(bin + QStringLiteral("/resources.ini"),
                       "[General]\nresources=" + QFile::encodeName(resources) + "\n")
            || !writeFile(resources + QStringLiteral("/settings.conf"),
                          "[common]\nloggingEnabled=true\nlogLevel=4\n"
                          "[worker]\nworkerCpu=true\nworkerGpu=true\n"))
            return fail(QStringLiteral("cannot write the configuration"));
        return true;
    }

    QString folder() const { return dir.path(); }
    QString file(const QString &name) const { return dir.filePath(name); }

    // The environment of an administrative command: not the daemon's role.
    QList<QByteArray> adminEnvironment() const
    {
        return environmentWith({}, { "QTSERVICE_RUN", "VERBOSE" });
    }

    QString watchdog;
    QString resources;

private:
    QTemporaryDir dir;
};

int startedWorkers(const QString &record)
{
    int count = 0;
    const QList<QByteArray> lines = readFile(record).split('\n');
    for (const QByteArray &line : lines)
        count += line.startsWith("start ");
    return count;
}

QList<pid_t> startedWorkerPids(const QString &record)
{
    QList<pid_t> pids;
    const QList<QByteArray> lines = readFile(record).split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("start "))
            pids.append(pid_t(line.split(' ').value(1).toInt()));
    }
    return pids;
}

bool isAliveProcess(pid_t pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype nameEnd = stat.lastIndexOf(')');
    return nameEnd > 0 && stat.size() > nameEnd + 2 && stat.at(nameEnd + 2) != 'Z';
}

// A daemon of the staged watchdog, started as systemd starts it, stopped
// with "terminate" (or killed) when the object goes.
class Daemon
{
public:
    explicit Daemon(const Installation &installation) : installation(installation) {}
    ~Daemon() { stop(); }

    // Starts it and waits until it answers and both workers run.
    bool start(const QString &recordName)
    {
        record = installation.file(recordName);
        QFile::remove(record);
        const QList<QByteArray> environment = environmentWith(
                { "QTSERVICE_RUN=1", "RENDER_WORKER_RECORD=" + QFile::encodeName(record) },
                { "VERBOSE" });
        guard.reset(startProcess(installation.watchdog, {}, environment, installation.folder()));
        if (guard.pid() <= 0)
            return fail(QStringLiteral("cannot start the daemon"));
        const qint64 deadline = monotonicNs() + qint64(readyTimeoutMs) * 1000000;
        while (!sendControlCommand(serviceName, QStringLiteral("alive"))) {
            if (monotonicNs() > deadline)
                return fail(QStringLiteral("the daemon does not answer on its control socket"));
            sleepMs(2);
        }
        while (startedWorkers(record) < 2) {
            if (monotonicNs() > deadline)
                return fail(QStringLiteral("the daemon did not start both workers"));
            sleepMs(5);
        }
        return true;
    }

    pid_t pid() const { return guard.pid(); }
    QString recordFile() const { return record; }

    // Waits for the daemon to end by itself (after -t); true when it did.
    bool waitForEnd(int timeoutMs)
    {
        int status = 0;
        if (guard.pid() <= 0 || !waitForExit(guard.pid(), timeoutMs, &status))
            return false;
        guard.release();
        return WIFEXITED(status);
    }

    void stop()
    {
        if (guard.pid() <= 0)
            return;
        sendControlCommand(serviceName, QStringLiteral("terminate"));
        if (!waitForEnd(10000))
            guard.reset();
        // Its workers die with it; any that a failure left behind goes too.
        for (const pid_t worker : startedWorkerPids(record)) {
            if (isAliveProcess(worker))
                ::kill(worker, SIGKILL);
        }
    }

private:
    const Installation &installation;
    ChildGuard guard;
    QString record;
};

// One round trip of the least a client can do: connect, send the command,
// read the four bytes of "true", close.
bool rawRoundTrip(const sockaddr_un &address, socklen_t length)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0
            && ::write(fd, "alive\r\n", 7) == 7;
    char reply[4];
    size_t filled = 0;
    while (ok && filled < sizeof reply) {
        const ssize_t count = ::read(fd, reply + filled, sizeof reply - filled);
        ok = count > 0;
        if (ok)
            filled += size_t(count);
    }
    ::close(fd);
    return ok && std::memcmp(reply, "true", 4) == 0;
}

// Interleaves the measured command with its floor so that both see the
// same machine; returns false when a run fails.
bool timeCommandAgainstFloor(const Installation &installation, const QString &option, int runs,
                             std::vector<double> *measured, std::vector<double> *floor)
{
    const QList<QByteArray> environment = installation.adminEnvironment();
    for (int i = 0; i < runs; ++i) {
        int code = -1;
        const double floorMs = timedRunMs(bareAppExecutable, {}, environment, installation.folder(), &code);
        if (floorMs < 0 || code != 0)
            return fail(QStringLiteral("the bare application failed"));
        const double ms = timedRunMs(installation.watchdog, { option }, environment,
                                     installation.folder(), &code);
        if (ms < 0 || code != 0)
            return fail(QStringLiteral("%1 failed (exit code %2)").arg(option).arg(code));
        floor->push_back(floorMs);
        measured->push_back(ms);
    }
    return true;
}

void printAdminRow(const QString &option, const std::vector<double> &measured,
                   const std::vector<double> &floor)
{
    const double m = median(measured);
    const double f = median(floor);
    const double ratio = m / f;
    printRow({ QStringLiteral("Admin command %1: wall time, median of %2").arg(option).arg(measured.size()),
               number(m, 2) + QStringLiteral(" ms"), number(f, 2) + QStringLiteral(" ms"),
               ratioText(ratio), QStringLiteral("<= 1.30x"),
               ratio <= 1.3 ? Verdict::Pass : Verdict::Fail, ratio });
}

bool registerService(const Installation &installation)
{
    int code = -1;
    if (timedRunMs(installation.watchdog, { QStringLiteral("-i") }, installation.adminEnvironment(),
                   installation.folder(), &code) < 0 || code != 0)
        return fail(QStringLiteral("-i failed (exit code %1)").arg(code));
    return true;
}

bool checkVersionOutput(const Installation &installation)
{
    const QString output = installation.file(QStringLiteral("version.out"));
    const pid_t pid = startProcess(installation.watchdog, { QStringLiteral("-v") },
                                   installation.adminEnvironment(), installation.folder(), output);
    if (pid <= 0 || !waitForExit(pid, 40000))
        return fail(QStringLiteral("-v did not finish"));
    if (!readFile(output).contains("is installed and running"))
        return fail(QStringLiteral("-v does not see the daemon: %1").arg(QString::fromLocal8Bit(readFile(output))));
    return true;
}

bool runControl(int count)
{
    Installation installation;
    if (!installation.stage() || !registerService(installation))
        return false;
    Daemon daemon(installation);
    if (!daemon.start(QStringLiteral("control.record")))
        return false;

    const QString echoPath = controlSocketPath(echoFloorName);
    ChildGuard echo(startProcess(echoFloorExecutable, { echoPath }, environmentWith({})));
    sockaddr_un address;
    socklen_t length;
    if (!makeUnixAddress(echoPath, &address, &length))
        return fail(QStringLiteral("bad echo floor path"));
    const qint64 deadline = monotonicNs() + qint64(readyTimeoutMs) * 1000000;
    while (!rawRoundTrip(address, length)) {
        if (monotonicNs() > deadline)
            return fail(QStringLiteral("the echo floor does not answer"));
        sleepMs(2);
    }

    // Blocks of each kind in turn: every kind sees the same noise.
    constexpr int block = 100;
    constexpr int warmUp = 500;
    std::vector<double> daemonUs, floorUs, clientOnEchoUs;
    for (int done = -warmUp; done < count; done += block) {
        const bool keep = done >= 0;
        for (int i = 0; i < block; ++i) {
            const qint64 t0 = monotonicNs();
            if (!sendControlCommand(serviceName, QStringLiteral("alive")))
                return fail(QStringLiteral("the daemon did not answer \"alive\" with \"true\""));
            const qint64 t1 = monotonicNs();
            if (keep)
                daemonUs.push_back(double(t1 - t0) / 1e3);
        }
        for (int i = 0; i < block; ++i) {
            const qint64 t0 = monotonicNs();
            if (!rawRoundTrip(address, length))
                return fail(QStringLiteral("the echo floor failed"));
            const qint64 t1 = monotonicNs();
            if (keep)
                floorUs.push_back(double(t1 - t0) / 1e3);
        }
        for (int i = 0; i < block; ++i) {
            const qint64 t0 = monotonicNs();
            if (!sendControlCommand(echoFloorName, QStringLiteral("alive")))
                return fail(QStringLiteral("the framework client failed on the echo floor"));
            const qint64 t1 = monotonicNs();
            if (keep)
                clientOnEchoUs.push_back(double(t1 - t0) / 1e3);
        }
    }

    const double p50 = percentile(daemonUs, 50), p99 = percentile(daemonUs, 99);
    const double f50 = percentile(floorUs, 50), f99 = percentile(floorUs, 99);
    const double c50 = percentile(clientOnEchoUs, 50), c99 = percentile(clientOnEchoUs, 99);
    const QString us = QStringLiteral(" us");
    printRow({ QStringLiteral("Control round trip p50 (%1x)").arg(daemonUs.size()), number(p50, 1) + us,
               number(f50, 1) + us, ratioText(p50 / f50), QStringLiteral("<= 3.00x"),
               p50 / f50 <= 3 ? Verdict::Pass : Verdict::Fail, p50 / f50 });
    printRow({ QStringLiteral("Control round trip p99"), number(p99, 1) + us, number(f99, 1) + us,
               ratioText(p99 / f99), QStringLiteral("-"), Verdict::Info, p99 / f99 });
    printRow({ QStringLiteral("  framework client on echo floor p50"), number(c50, 1) + us,
               number(f50, 1) + us, ratioText(c50 / f50), QStringLiteral("-"), Verdict::Info, c50 / f50 });
    printRow({ QStringLiteral("  framework client on echo floor p99"), number(c99, 1) + us,
               number(f99, 1) + us, ratioText(c99 / f99), QStringLiteral("-"), Verdict::Info, c99 / f99 });

    // -v asks the registry and the control socket of the running daemon.
    if (!checkVersionOutput(installation))
        return false;
    std::vector<double> versionMs, floorMs, helpMs, helpFloorMs;
    std::vector<double> unused1, unused2;
    if (!timeCommandAgainstFloor(installation, QStringLiteral("-v"), 3, &unused1, &unused2)
        || !timeCommandAgainstFloor(installation, QStringLiteral("-v"), 30, &versionMs, &floorMs)
        || !timeCommandAgainstFloor(installation, QStringLiteral("-h"), 15, &helpMs, &helpFloorMs))
        return false;
    printAdminRow(QStringLiteral("-v"), versionMs, floorMs);
    const double h = median(helpMs), hf = median(helpFloorMs);
    printRow({ QStringLiteral("  -h (start-up alone): wall time, median of %1").arg(helpMs.size()),
               number(h, 2) + QStringLiteral(" ms"), number(hf, 2) + QStringLiteral(" ms"),
               ratioText(h / hf), QStringLiteral("-"), Verdict::Info, h / hf });
    return true;
}

bool runTerminate(int rounds)
{
    Installation installation;
    if (!installation.stage() || !registerService(installation))
        return false;
    std::vector<double> terminateMs, floorMs;
    for (int round = 0; round < rounds; ++round) {
        Daemon daemon(installation);
        if (!daemon.start(QStringLiteral("terminate.record")))
            return false;
        // The workers' start has settled.
        sleepMs(100);
        if (!timeCommandAgainstFloor(installation, QStringLiteral("-t"), 1, &terminateMs, &floorMs))
            return false;
        if (!daemon.waitForEnd(10000))
            return fail(QStringLiteral("the daemon did not end after -t"));
        for (const pid_t worker : startedWorkerPids(daemon.recordFile())) {
            if (isAliveProcess(worker))
                return fail(QStringLiteral("worker %1 outlived the daemon").arg(worker));
        }
    }
    printAdminRow(QStringLiteral("-t"), terminateMs, floorMs);
    return true;
}

bool runIdle(int seconds)
{
    Installation installation;
    if (!installation.stage())
        return false;
    Daemon daemon(installation);
    ChildGuard floor(startProcess(bareNetworkExecutable, {}, environmentWith({})));
    if (!daemon.start(QStringLiteral("idle.record")))
        return false;
    // Whatever the start left to do (log lines, deferred deletions) is done.
    sleepMs(2000);

    const pid_t pid = daemon.pid();
    const int startsBefore = startedWorkers(daemon.recordFile());
    const ProcessActivity before = activityOf(pid);
    sleepMs(seconds * 1000);
    const ProcessActivity after = activityOf(pid);
    if (!before.valid() || !after.valid())
        return fail(QStringLiteral("cannot read the daemon's activity"));
    if (startedWorkers(daemon.recordFile()) != startsBefore)
        return fail(QStringLiteral("a worker was restarted while the daemon should be idle"));

    const qint64 ticks = after.cpuTicks - before.cpuTicks;
    const qint64 voluntary = after.voluntarySwitches - before.voluntarySwitches;
    const qint64 involuntary = after.involuntarySwitches - before.involuntarySwitches;
    const double cpuMs = double(ticks) * 1000.0 / double(ticksPerSecond());
    printRow({ QStringLiteral("Idle: CPU time over %1 s (%2 thread(s))").arg(seconds).arg(after.threads),
               number(cpuMs, 0) + QStringLiteral(" ms"), QStringLiteral("-"), QStringLiteral("-"),
               QStringLiteral("0"), ticks == 0 ? Verdict::Pass : Verdict::Fail, cpuMs, QStringLiteral("ms") });
    printRow({ QStringLiteral("Idle: context switches over %1 s").arg(seconds),
               QStringLiteral("%1 (%2 vol, %3 invol)").arg(voluntary + involuntary).arg(voluntary).arg(involuntary),
               QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("0 wake-ups"),
               voluntary + involuntary == 0 ? Verdict::Pass : Verdict::Fail, double(voluntary + involuntary),
               QStringLiteral("switches") });

    const qint64 rss = statusKiB(pid, "VmRSS");
    const qint64 dirty = smapsRollupKiB(pid, "Private_Dirty");
    const qint64 floorRss = statusKiB(floor.pid(), "VmRSS");
    const qint64 floorDirty = smapsRollupKiB(floor.pid(), "Private_Dirty");
    if (rss <= 0 || dirty < 0 || floorRss <= 0 || floorDirty < 0)
        return fail(QStringLiteral("cannot read the memory figures"));
    const QString kib = QStringLiteral(" KiB");
    const double rssRatio = double(rss) / double(floorRss);
    printRow({ QStringLiteral("Footprint: resident (VmRSS)"), QString::number(rss) + kib,
               QString::number(floorRss) + kib, ratioText(rssRatio), QStringLiteral("<= 1.10x"),
               rssRatio <= 1.1 ? Verdict::Pass : Verdict::Fail, rssRatio });
    printRow({ QStringLiteral("Footprint: private dirty"), QString::number(dirty) + kib,
               QString::number(floorDirty) + kib, ratioText(double(dirty) / double(floorDirty)),
               QStringLiteral("< 2048 KiB"), dirty < 2048 ? Verdict::Pass : Verdict::Fail, double(dirty),
               QStringLiteral("KiB") });
    note(QStringLiteral("idle daemon: Pss %1 KiB, Private_Clean %2 KiB, Anonymous %3 KiB; floor: Pss %4 KiB, Anonymous %5 KiB")
                 .arg(smapsRollupKiB(pid, "Pss")).arg(smapsRollupKiB(pid, "Private_Clean"))
                 .arg(smapsRollupKiB(pid, "Anonymous")).arg(smapsRollupKiB(floor.pid(), "Pss"))
                 .arg(smapsRollupKiB(floor.pid(), "Anonymous")));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    const int count = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode != "control" && mode != "terminate" && mode != "idle") {
        std::fprintf(stderr, "usage: %s control [n] | terminate [n] | idle [seconds]\n", argv[0]);
        return 2;
    }
    // Before any thread exists.
    QString problem;
    if (!enterPrivateNamespace(&problem)) {
        note(QStringLiteral("bench_daemon: %1").arg(problem));
        return 1;
    }
    QCoreApplication app(argc, argv);

    bool ok = false;
    if (mode == "control")
        ok = runControl(count > 0 ? count : 10000);
    else if (mode == "terminate")
        ok = runTerminate(count > 0 ? count : 10);
    else
        ok = runIdle(count > 0 ? count : 60);
    if (!ok) {
        note(QStringLiteral("bench_daemon %1: %2").arg(QString::fromLatin1(mode), failure));
        return 1;
    }
    return 0;
}
