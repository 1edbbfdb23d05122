// bench_peers [--reps n] [--respawns n] [--idle s] [watchdog[=label]...]:
// the watchdog beside the small C supervisors of Debian (runit's runsv,
// daemontools' supervise, s6-supervise) and supervisord, each running the
// same static worker (bench_peerworker), interleaved: every repetition runs
// every supervisor once, in an order that rotates. Each figure is printed as
// the watchdog's ratio to the best peer of the same repetition, min / median
// / max over the repetitions. Several watchdog executables may be given
// (say, the build before a change and after it); each gets its own table.
//
// One run of a supervisor: start it (bench pinned to CPU 0, supervisor and
// workers to CPU 1) and time its first worker exec; read its memory with
// the worker sleeping; count its CPU ticks and context switches while idle;
// then let every worker live 1.3 s (longer than the 1 s throttle of the
// peers, so that none of them adds a delay of its own), or kill every other
// one after 1.15 s, and time each respawn, each noticing of an exit and of a
// kill, and the supervisor's CPU per respawn.

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Bench;

namespace {

constexpr qint64 msNs = 1000000;
constexpr int workerLifeMs = 1300;
// Past the second after its start in which runsv and supervise would
// hold a respawn back.
constexpr int killAfterMs = 1150;
constexpr int eventTimeoutMs = 30000;

enum Figure { GapP50, GapP99, NoticeExit, NoticeExitP99, NoticeKill, NoticeKillP99, CpuPerRespawn, StartUp, IdleTicks, IdleSwitches, Rss, Pss,
              PrivateDirty, FigureCount };

struct FigureInfo
{
    const char *what;
    const char *unit;
    double goal; // largest ratio to the best peer that meets the goal; 0: must be zero; <0: none
};

const FigureInfo figures[FigureCount] = {
    { "Respawn gap beyond the fixed delay, p50", "ms", 1.0 },
    { "Respawn gap beyond the fixed delay, p99", "ms", 1.0 },
    { "Noticing an exit: last word to reaped, p50", "ms", 1.0 },
    { "Noticing an exit, p99", "ms", -1 },
    { "Noticing a kill: SIGKILL to reaped, p50", "ms", 1.0 },
    { "Noticing a kill, p99", "ms", -1 },
    { "CPU time per respawn", "ms", 1.5 },
    { "Start-up to the first worker exec, fixed delay aside", "ms", 3.0 },
    { "Idle CPU ticks", "ticks", 0 },
    { "Idle context switches", "", 0 },
    { "Resident (VmRSS), one sleeping worker", "KiB", -1 },
    { "Pss", "KiB", -1 },
    { "Private_Dirty", "KiB", -1 },
};

using Values = std::vector<double>; // one per figure; <0: not measured

struct Supervisor
{
    QString label;
    QString program; // for the watchdog: the executable to stage
    bool watchdog = false;
};

struct Event
{
    char kind = 0;
    pid_t pid = 0;
    qint64 timeNs = 0;
};

QString problem;

bool fail(const QString &text)
{
    problem = text;
    return false;
}

// CPU time on the processor of every thread of pid, in nanoseconds.
qint64 runtimeNs(pid_t pid)
{
    qint64 total = 0;
    const QStringList tasks = QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks)
        total += readFile(QStringLiteral("/proc/%1/task/%2/schedstat").arg(pid).arg(task)).split(' ').value(0).toLongLong();
    return total;
}

// The FIFO the workers report on, read line by line.
class Reports
{
public:
    ~Reports() { if (fd >= 0) ::close(fd); }
    bool open(const QString &path)
    {
        const QByteArray name = QFile::encodeName(path);
        if (::mkfifo(name.constData(), 0600) != 0)
            return false;
        fd = ::open(name.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0;
    }
    bool next(Event *event, int timeoutMs)
    {
        const qint64 deadline = monotonicNs() + qint64(timeoutMs) * msNs;
        for (;;) {
            const qsizetype end = pending.indexOf('\n');
            if (end >= 0) {
                const QList<QByteArray> fields = pending.left(end).split(' ');
                pending.remove(0, end + 1);
                *event = { fields.value(0).isEmpty() ? char(0) : fields.value(0).at(0), pid_t(fields.value(1).toInt()),
                           fields.value(2).toLongLong() };
                return true;
            }
            const qint64 left = (deadline - monotonicNs()) / msNs;
            pollfd watched{ fd, POLLIN, 0 };
            if (left <= 0 || ::poll(&watched, 1, int(left)) <= 0)
                return false;
            char buffer[512];
            const ssize_t size = ::read(fd, buffer, sizeof buffer);
            if (size > 0)
                pending.append(buffer, size);
        }
    }

private:
    int fd = -1;
    QByteArray pending;
};

// From the worker's last word to the moment its supervisor has reaped it:
// kill(pid, 0) succeeds on a zombie. Spins for 5 ms, then looks every 100 us.
qint64 reapedAtNs(pid_t pid)
{
    const qint64 spinUntil = monotonicNs() + 5 * msNs;
    const qint64 giveUp = monotonicNs() + 3000 * msNs;
    while (::kill(pid, 0) == 0 || errno != ESRCH) {
        const qint64 now = monotonicNs();
        if (now > giveUp)
            return -1;
        if (now > spinUntil) {
            const timespec pause{ 0, 100000 };
            ::nanosleep(&pause, nullptr);
        }
    }
    return realtimeNs();
}

// Everything one supervisor needs in a folder of its own.
class Stage
{
public:
    bool prepare(const Supervisor &supervisor)
    {
        if (!dir.isValid() || !reports.open(dir.filePath(QStringLiteral("fifo"))) || !setLife(0))
            return fail(QStringLiteral("cannot prepare %1").arg(dir.path()));
        const QString service = dir.filePath(QStringLiteral("service"));
        QDir().mkpath(service);
        const QString worker = QStringLiteral(PEER_WORKER_EXECUTABLE);
        QList<QByteArray> added{ "BENCH_FIFO=" + QFile::encodeName(dir.filePath(QStringLiteral("fifo"))),
                                 "BENCH_LIFE=" + QFile::encodeName(dir.filePath(QStringLiteral("life"))) };
        if (supervisor.watchdog) {
            // Installed beside its worker, with its own resource folder;
            // run as systemd runs it.
            program = service + QStringLiteral("/render_worker_watchdog");
            const QString resources = dir.filePath(QStringLiteral("resources"));
            if (!QFile::copy(supervisor.program, program) || !QFile::copy(worker, service + QStringLiteral("/render_worker"))
                || !writeFile(service + QStringLiteral("/resources.ini"), "[General]\nresources=" + QFile::encodeName(resources) + "\n")
                || !writeFile(resources + QStringLiteral("/settings.conf"), "[worker]\nworkerCpu=true\nworkerGpu=false\n"))
                return fail(QStringLiteral("cannot stage the watchdog"));
            added.append("QTSERVICE_RUN=1");
            fixedStartNs = fixedRestartNs = 5000 * msNs;
        } else if (!QFile::copy(worker, service + QStringLiteral("/run"))) {
            return fail(QStringLiteral("cannot stage the worker"));
        } else if (supervisor.label == QLatin1String("supervisord")) {
            const QByteArray folder = QFile::encodeName(dir.path());
            arguments = QStringList{ QStringLiteral("-n"), QStringLiteral("-c"), dir.filePath(QStringLiteral("supervisord.conf")) };
            if (!writeFile(dir.filePath(QStringLiteral("supervisord.conf")),
                           "[supervisord]\nnodaemon=true\nuser=root\nlogfile=" + folder + "/supervisord.log\npidfile=" + folder
                               + "/supervisord.pid\nchildlogdir=" + folder + "\n[program:worker]\ncommand=" + folder
                               + "/service/run\nautorestart=true\nstartsecs=0\nstartretries=1000000\n"
                                 "stdout_logfile=NONE\nstderr_logfile=NONE\n"))
                return fail(QStringLiteral("cannot write supervisord.conf"));
        } else {
            arguments = QStringList{ service };
        }
        // s6-supervise waits a second after a death before it spawns
        // again, and supervisord notices one at the next tick of its
        // one-second loop: their own fixed delays.
        if (supervisor.label == QLatin1String("s6-supervise") || supervisor.label == QLatin1String("supervisord"))
            fixedRestartNs = 1000 * msNs;
        if (program.isEmpty())
            program = supervisor.program;
        environment = environmentWith(added, { "QTSERVICE_RUN", "VERBOSE", "BENCH_FIFO", "BENCH_LIFE" });
        return true;
    }

    bool setLife(int ms) { return writeFile(dir.filePath(QStringLiteral("life")), QByteArray::number(ms)); }
    QString output() const { return dir.filePath(QStringLiteral("output")); }

    QTemporaryDir dir;
    Reports reports;
    QString program;
    QStringList arguments;
    QList<QByteArray> environment;
    qint64 fixedStartNs = 0;
    qint64 fixedRestartNs = 0;
};

// Private_Dirty of pid by mapping (heap, stack, anonymous, each file), in KiB.
QMap<QString, qint64> privateDirtyByMapping(pid_t pid)
{
    QMap<QString, qint64> split;
    QString mapping;
    const QList<QByteArray> lines = readFile(QStringLiteral("/proc/%1/smaps").arg(pid)).split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.value(0).contains('-') && !fields.value(0).endsWith(':')) {
            const QString name = QString::fromLocal8Bit(fields.value(5));
            mapping = name.isEmpty() ? QStringLiteral("[anonymous]") : name.section(QLatin1Char('/'), -1);
        } else if (fields.value(0) == "Private_Dirty:") {
            split[mapping] += fields.value(1).toLongLong();
        }
    }
    return split;
}

QString splitText;

bool runOnce(const Supervisor &supervisor, int respawns, int idleSeconds, Values *values)
{
    Stage stage;
    if (!stage.prepare(supervisor))
        return false;
    values->assign(FigureCount, -1);
    pinTo(1);
    const qint64 launchedNs = realtimeNs();
    ChildGuard child(startProcess(stage.program, stage.arguments, stage.environment, stage.dir.path(), stage.output()));
    pinTo(0);
    const pid_t pid = child.pid();
    QList<pid_t> workers;
    auto stopAll = [&] {
        if (supervisor.watchdog) {
            ::kill(pid, SIGTERM);
            waitForExit(pid, 5000);
        }
        child.reset();
        for (pid_t worker : std::as_const(workers))
            ::kill(worker, SIGKILL);
    };
    Event event;
    if (pid < 0 || !stage.reports.next(&event, eventTimeoutMs) || event.kind != 'S') {
        stopAll();
        return fail(QStringLiteral("%1 started no worker: %2").arg(supervisor.label, QString::fromLocal8Bit(readFile(stage.output()))));
    }
    workers.append(event.pid);
    (*values)[StartUp] = double(event.timeNs - launchedNs - stage.fixedStartNs) / msNs;

    sleepMs(1000);
    (*values)[Rss] = smapsRollupKiB(pid, "Rss");
    (*values)[Pss] = smapsRollupKiB(pid, "Pss");
    (*values)[PrivateDirty] = smapsRollupKiB(pid, "Private_Dirty");
    if (supervisor.watchdog) {
        const QMap<QString, qint64> split = privateDirtyByMapping(pid);
        splitText = QStringLiteral("Private_Dirty of %1 by mapping (KiB):").arg(supervisor.label);
        for (auto it = split.cbegin(); it != split.cend(); ++it) {
            if (it.value() > 0)
                splitText += QStringLiteral(" %1 %2;").arg(it.key()).arg(it.value());
        }
    }
    const ProcessActivity before = activityOf(pid);
    sleepMs(idleSeconds * 1000);
    const ProcessActivity after = activityOf(pid);
    (*values)[IdleTicks] = double(after.cpuTicks - before.cpuTicks);
    (*values)[IdleSwitches] = double(after.voluntarySwitches + after.involuntarySwitches - before.voluntarySwitches
                                     - before.involuntarySwitches);

    // Respawns: the sleeping worker is killed; after it every other worker
    // ends on its own after workerLifeMs, and the others are killed with
    // SIGKILL after killAfterMs. The first gap (after the kill of
    // the sleeping one) is left out.
    stage.setLife(workerLifeMs);
    const qint64 cpuBefore = runtimeNs(pid);
    std::vector<double> gaps, exits, kills;
    qint64 lastDeathNs = -1;
    qint64 killAtNs = realtimeNs();
    int started = 0;
    for (;;) {
        const int waitMs = killAtNs < 0 ? eventTimeoutMs : int(std::max<qint64>(0, killAtNs - realtimeNs()) / msNs);
        if (!stage.reports.next(&event, waitMs)) {
            if (killAtNs < 0) {
                stopAll();
                return fail(QStringLiteral("%1: no worker event for %2 s").arg(supervisor.label).arg(eventTimeoutMs / 1000));
            }
            event = { 'K', workers.last(), realtimeNs() };
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
            (*values)[CpuPerRespawn] = double(runtimeNs(pid) - cpuBefore) / msNs / started;
            break;
        } else if ((event.kind == 'D' || event.kind == 'K') && started > 0) {
            lastDeathNs = event.timeNs;
            const qint64 reaped = reapedAtNs(event.pid);
            if (reaped > 0)
                (event.kind == 'D' ? exits : kills).push_back(double(reaped - event.timeNs) / msNs);
        }
    }
    stopAll();
    (*values)[GapP50] = percentile(gaps, 50);
    (*values)[GapP99] = percentile(gaps, 99);
    (*values)[NoticeExit] = percentile(exits, 50);
    (*values)[NoticeExitP99] = percentile(exits, 99);
    (*values)[NoticeKill] = percentile(kills, 50);
    (*values)[NoticeKillP99] = percentile(kills, 99);
    return true;
}

QString figureText(double value, const char *unit)
{
    if (value < 0)
        return QStringLiteral("-");
    const int decimals = value >= 100 || value == double(qint64(value)) ? 0 : value >= 10 ? 1 : 2;
    return number(value, decimals) + (*unit ? QStringLiteral(" ") + QLatin1String(unit) : QString());
}

// results[supervisor][repetition] = values.
void printTable(const QList<Supervisor> &supervisors, const QList<QList<Values>> &results, int candidate, bool *met)
{
    std::printf("\n%s against the best peer of each repetition (%d repetitions):\n\n",
                qPrintable(supervisors[candidate].label), int(results[candidate].size()));
    std::printf("| Figure | Watchdog (median) | Best peer (median) | Ratio min / median / max | Goal | Met |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (int f = 0; f < FigureCount; ++f) {
        std::vector<double> ours, best, ratios;
        QMap<QString, int> bestNames;
        for (int r = 0; r < results[candidate].size(); ++r) {
            double bestValue = -1;
            QString bestName;
            for (int s = 0; s < supervisors.size(); ++s) {
                const double value = r < results[s].size() ? results[s][r][f] : -1;
                if (!supervisors[s].watchdog && value >= 0 && (bestValue < 0 || value < bestValue)) {
                    bestValue = value;
                    bestName = supervisors[s].label;
                }
            }
            const double value = results[candidate][r][f];
            ours.push_back(value);
            best.push_back(bestValue);
            ++bestNames[bestName];
            if (bestValue > 0)
                ratios.push_back(value / bestValue);
        }
        QString bestName;
        for (auto it = bestNames.cbegin(); it != bestNames.cend(); ++it) {
            if (bestName.isEmpty() || it.value() > bestNames.value(bestName))
                bestName = it.key();
        }
        std::sort(ratios.begin(), ratios.end());
        const FigureInfo &info = figures[f];
        QString ratioCell = QStringLiteral("-");
        if (!ratios.empty())
            ratioCell = QStringLiteral("%1 / %2 / %3").arg(ratioText(ratios.front()), ratioText(median(ratios)), ratioText(ratios.back()));
        QString goal = QStringLiteral("-");
        QString pass = QStringLiteral("-");
        if (info.goal == 0) {
            goal = QStringLiteral("zero");
            const bool zero = *std::max_element(ours.begin(), ours.end()) == 0;
            pass = zero ? QStringLiteral("yes") : QStringLiteral("**no**");
            *met = *met && zero;
        } else if (info.goal > 0) {
            goal = QStringLiteral("≤ %1").arg(ratioText(info.goal));
            const bool within = !ratios.empty() && median(ratios) <= info.goal;
            pass = within ? QStringLiteral("yes") : QStringLiteral("**no**");
            *met = *met && within;
        }
        std::printf("| %s | %s | %s (%s) | %s | %s | %s |\n", info.what, qPrintable(figureText(median(ours), info.unit)),
                    qPrintable(figureText(median(best), info.unit)), qPrintable(bestName), qPrintable(ratioCell),
                    qPrintable(goal), qPrintable(pass));
    }
}

void printDetail(const QList<Supervisor> &supervisors, const QList<QList<Values>> &results)
{
    std::printf("\nEvery supervisor, median over the repetitions:\n\n| Figure |");
    for (const Supervisor &supervisor : supervisors)
        std::printf(" %s |", qPrintable(supervisor.label));
    std::printf("\n|---|");
    for (int s = 0; s < supervisors.size(); ++s)
        std::printf("---|");
    std::printf("\n");
    for (int f = 0; f < FigureCount; ++f) {
        std::printf("| %s |", figures[f].what);
        for (int s = 0; s < supervisors.size(); ++s) {
            std::vector<double> values;
            for (const Values &run : results[s])
                values.push_back(run[f]);
            std::printf(" %s |", qPrintable(figureText(median(values), figures[f].unit)));
        }
        std::printf("\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString namespaceProblem;
    if (!enterPrivateNamespace(&namespaceProblem)) {
        note(namespaceProblem);
        return 2;
    }
    int reps = 3, respawns = 8, idleSeconds = 5;
    QList<Supervisor> supervisors;
    QStringList arguments = app.arguments().mid(1);
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == QLatin1String("--reps"))
            reps = arguments.takeFirst().toInt();
        else if (argument == QLatin1String("--respawns"))
            respawns = arguments.takeFirst().toInt();
        else if (argument == QLatin1String("--idle"))
            idleSeconds = arguments.takeFirst().toInt();
        else
            supervisors.append({ argument.section(QLatin1Char('='), 1).isEmpty() ? QStringLiteral("watchdog") : argument.section(QLatin1Char('='), 1),
                                 argument.section(QLatin1Char('='), 0, 0), true });
    }
    if (supervisors.isEmpty())
        supervisors.append({ QStringLiteral("watchdog"), QStringLiteral(WATCHDOG_EXECUTABLE), true });
    const int candidates = int(supervisors.size());
    for (const char *peer : { "runsv", "supervise", "s6-supervise", "supervisord" }) {
        const QString path = QStringLiteral("/usr/bin/") + QLatin1String(peer);
        if (QFile::exists(path))
            supervisors.append({ QLatin1String(peer), path, false });
        else
            note(QStringLiteral("%1 is missing: run scripts/bench, which installs it").arg(path));
    }

    QList<QList<Values>> results(supervisors.size());
    for (int r = 0; r < reps; ++r) {
        for (int k = 0; k < supervisors.size(); ++k) {
            const int s = (k + r) % int(supervisors.size());
            note(QStringLiteral("repetition %1: %2").arg(r + 1).arg(supervisors[s].label));
            Values values;
            // One more try: a shared machine may hold a start up past the
            // time-out once.
            if (!runOnce(supervisors[s], respawns, idleSeconds, &values)) {
                note(problem + QStringLiteral(" - trying once more"));
                if (!runOnce(supervisors[s], respawns, idleSeconds, &values)) {
                    note(problem);
                    return 2;
                }
            }
            results[s].append(values);
        }
    }
    bool met = true;
    for (int c = 0; c < candidates; ++c)
        printTable(supervisors, results, c, &met);
    printDetail(supervisors, results);
    std::printf("\n%s\n", qPrintable(splitText));
    return met ? 0 : 1;
}
