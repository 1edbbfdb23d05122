#include "benchmeasure.h"

#include "benchprocess.h"
#include "benchstage.h"
#include "controlsocket.h"
#include "unixaddress.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <numeric>
#include <random>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace bench {

QMap<QString, QString> splits;

namespace {

constexpr int workerLifeMs = 1300;
// Past the second after a start in which runsv and supervise hold a respawn back.
constexpr int killAfterMs = 1150;
constexpr int eventTimeoutMs = 30000;
constexpr int roundTrips = 3000, roundTripWarmUp = 300, roundTripBlock = 100, versionRuns = 10;
const QString serviceName = QStringLiteral("Solvane Render Worker");

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

// The floor of -t: the bare toolkit program stops the bare toolkit program
// supervising a worker, which kills and reaps its worker and ends, and waits
// for that end. The stopping program's wall time, fork to reaped, in ms; -1
// when anything failed.
double timedStop(Stage &stage)
{
    Child bare;
    bare.pid = startProcess({ bareQt, QStringLiteral("--supervise"), peerWorker }, stage.adminEnvironment, stage.dir.path());
    Event started;
    if (bare.pid < 0 || !stage.next(&started, eventTimeoutMs) || started.kind != 'S')
        return -1;
    const double ms = timedRunMs({ bareQt, QStringLiteral("--stop"), QString::number(bare.pid) }, stage.adminEnvironment, stage.dir.path());
    // A worker left by a stop that failed must not outlive the bench.
    if (ms < 0)
        ::kill(started.pid, SIGKILL);
    return ms;
}

} // namespace

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
        // -t ends a daemon that runs a worker: the one started after the
        // last respawn lives until it is stopped.
        stage.setLife(0);
        if (!stage.next(&event, eventTimeoutMs) || event.kind != 'S')
            return failed(QStringLiteral("started no worker for -t"));
        workers.append(event.pid);
        // The first program run after the respawns starts cold (a few ms
        // more on this kind of machine); a run left unmeasured takes that,
        // so that the floor and -t both start warm.
        timedRunMs(stage.bareCommand, stage.adminEnvironment, stage.dir.path());
        run->floor[Terminate] = timedStop(stage);
        run->value[Terminate] = stage.admin(QStringLiteral("-t"));
        if (run->floor[Terminate] < 0)
            return failed(QStringLiteral("the bare program did not stop the bare supervisor"));
        if (!waitForExit(pid, 10000) || run->value[Terminate] < 0)
            return failed(QStringLiteral("-t did not end the daemon"));
        child.pid = -1;
    }
    return true;
}

} // namespace bench
