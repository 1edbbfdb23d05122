// bench_daemon <mode> [count]: the real render_worker_watchdog, staged in a
// temporary folder beside the stand-in worker with a resources.ini and a
// settings.conf that enables both workers, run as systemd runs it
// (QTSERVICE_RUN=1) inside a private mount namespace, so that its control
// socket and registry are this benchmark's own.
//
//   control [n]     n control round trips (default 10000) of one raw C
//                   client against the daemon and against the echo floor,
//                   client and server pinned to CPUs of their own; wall
//                   time of -v
//   terminate [n]   wall time of -t against n fresh daemons (default 10)
//
// The administrative commands are compared with bench_barenetwork, a bare
// Qt program that loads the same toolkit libraries and exits at once.

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
#include <tuple>
#include <sys/socket.h>
#include <sys/un.h>
#include <sched.h>
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
const QString bareNetworkExecutable = QStringLiteral(BARE_NETWORK_EXECUTABLE);

constexpr int readyTimeoutMs = 15000;

QString failure;

bool fail(const QString &text)
{
    failure = text;
    return false;
}

// Servers run on CPU 1, the client (this process) on CPU 0.
pid_t startServer(const QString &program, const QStringList &arguments, const QList<QByteArray> &environment,
                  const QString &folder = QString())
{
    pinTo(1);
    const pid_t pid = startProcess(program, arguments, environment, folder);
    pinTo(0);
    return pid;
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
        guard.reset(startServer(installation.watchdog, {}, environment, installation.folder()));
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
        const double floorMs = timedRunMs(bareNetworkExecutable, { QStringLiteral("--exit") }, environment,
                                          installation.folder(), &code);
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
               ratioText(ratio), QStringLiteral("<= 1.10x"),
               ratio <= 1.1 ? Verdict::Pass : Verdict::Fail, ratio });
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
    ChildGuard echo(startServer(echoFloorExecutable, { echoPath }, environmentWith({})));
    sockaddr_un echoAddress, daemonAddress;
    socklen_t echoLength, daemonLength;
    if (!makeUnixAddress(echoPath, &echoAddress, &echoLength)
        || !makeUnixAddress(controlSocketPath(serviceName), &daemonAddress, &daemonLength))
        return fail(QStringLiteral("bad socket path"));
    const qint64 deadline = monotonicNs() + qint64(readyTimeoutMs) * 1000000;
    while (!rawRoundTrip(echoAddress, echoLength)) {
        if (monotonicNs() > deadline)
            return fail(QStringLiteral("the echo floor does not answer"));
        sleepMs(2);
    }

    // The same client against both servers, in blocks that alternate so
    // that both see the same noise.
    constexpr int block = 100;
    constexpr int warmUp = 500;
    std::vector<double> daemonUs, floorUs;
    for (int done = -warmUp; done < count; done += block) {
        for (auto [address, length, samples] : { std::tuple(&daemonAddress, daemonLength, &daemonUs),
                                                 std::tuple(&echoAddress, echoLength, &floorUs) }) {
            for (int i = 0; i < block; ++i) {
                const qint64 t0 = monotonicNs();
                if (!rawRoundTrip(*address, length))
                    return fail(QStringLiteral("a server did not answer \"alive\" with \"true\""));
                if (done >= 0)
                    samples->push_back(double(monotonicNs() - t0) / 1e3);
            }
        }
    }
    const QString us = QStringLiteral(" us");
    for (const double p : { 50.0, 99.0 }) {
        const double measured = percentile(daemonUs, p), floor = percentile(floorUs, p);
        const bool judged = p == 50;
        printRow({ QStringLiteral("Control round trip p%1, same client (%2x)").arg(p).arg(daemonUs.size()),
                   number(measured, 1) + us, number(floor, 1) + us, ratioText(measured / floor),
                   judged ? QStringLiteral("<= 3.00x") : QStringLiteral("-"),
                   !judged ? Verdict::Info : measured / floor <= 3 ? Verdict::Pass : Verdict::Fail, measured / floor });
    }

    // -v asks the registry and the control socket of the running daemon.
    if (!checkVersionOutput(installation))
        return false;
    std::vector<double> versionMs, floorMs, unused1, unused2;
    if (!timeCommandAgainstFloor(installation, QStringLiteral("-v"), 3, &unused1, &unused2)
        || !timeCommandAgainstFloor(installation, QStringLiteral("-v"), 30, &versionMs, &floorMs))
        return false;
    printAdminRow(QStringLiteral("-v"), versionMs, floorMs);
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

} // namespace

int main(int argc, char **argv)
{
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    const int count = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode != "control" && mode != "terminate") {
        std::fprintf(stderr, "usage: %s control [n] | terminate [n]\n", argv[0]);
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
    else
        ok = runTerminate(count > 0 ? count : 10);
    if (!ok) {
        note(QStringLiteral("bench_daemon %1: %2").arg(QString::fromLatin1(mode), failure));
        return 1;
    }
    return 0;
}
