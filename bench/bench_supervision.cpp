// bench_supervision <mode> [n]: the watchdog's Service driven inside this
// process with real stand-in workers, logging set up as the daemon sets it up.
//
//   reaction [n]  n worker deaths (default 200; half exit with code 1, half
//                 are killed): from the time the worker records just before
//                 it dies to the first line its slot writes
//   restart [n]   n restarts (default 20) of the CPU and the GPU worker, both
//                 killed 100 ms after their start, with the product's
//                 five-second delay: from the slot to the new worker's start
//   churn [n]     n worker start and exit cycles (default 1000) with the
//                 restart delay shortened to 1 ms: open descriptors and heap
//                 in use before and after
//
// The service's slots are watched through the messages they write: a message
// handler in front of the installed one stamps each message with the time.

#include "benchsupport.h"
#include "logger.h"
#include "service.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <unistd.h>

using namespace Bench;

namespace {

const QString workerExecutable = QStringLiteral(WORKER_EXECUTABLE);
const QString watchdogName = QStringLiteral("Solvane Render Worker");
constexpr int productRestartDelayMs = 5000;
constexpr char tcacheOff[] = "glibc.malloc.tcache_count=0";

QString failure;

bool fail(const QString &text)
{
    failure = text;
    return false;
}

// The watchdog's Service with the supervision opened up, set up as
// createApplication sets it up but with the stand-in worker, a resource
// folder of the benchmark's and a restart delay of its choosing.
class BenchService : public Service
{
public:
    BenchService(const QString &resourceFolder, int restartDelay)
        : Service(watchdogName, 1, arguments(), nullptr)
    {
        appPath = workerExecutable;
        appName = QFileInfo(workerExecutable).baseName();
        dataPath = QDir(resourceFolder);
        startDelayMs = restartDelay;
        restartDelayMs = restartDelay;
        setUpLogging(readSharedSettings(), false);
        readWorkerSettings();
    }

    bool hasProcesses() const { return cpuProc || gpuProc; }

    using Service::startProcess;
    using Service::stop;

private:
    static char **arguments()
    {
        static char program[] = "bench_supervision";
        static char *argv[] = { program, nullptr };
        return argv;
    }
};

// A resource folder of the benchmark's, recorded in a system-scope store of
// its own, with the workers and the log level of its choice. The store stays
// redirected for the rest of the process, which runs one benchmark.
class Resources
{
public:
    bool prepare(bool cpu, bool gpu)
    {
        if (!systemFolder.isValid() || !folder.isValid())
            return fail(QStringLiteral("no temporary folder"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, systemFolder.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, systemFolder.path());
        QSettings store(QSettings::SystemScope, QStringLiteral("Morvek"),
                        QStringLiteral("Solvane Network Rendering"));
        store.setValue(QStringLiteral("resources"), folder.path());
        store.sync();
        const QByteArray settings = QByteArray("[common]\nloggingEnabled=true\nlogLevel=4\n[worker]\nworkerCpu=")
                + (cpu ? "true" : "false") + "\nworkerGpu=" + (gpu ? "true" : "false") + "\n";
        if (store.status() != QSettings::NoError
            || !writeFile(folder.filePath(QStringLiteral("settings.conf")), settings))
            return fail(QStringLiteral("cannot write the settings"));
        return true;
    }

    QString path() const { return folder.path(); }
    QString file(const QString &name) const { return folder.filePath(name); }

private:
    QTemporaryDir systemFolder;
    QTemporaryDir folder;
};

// Messages stamped with the wall-clock time (the clock the worker's death
// time is written in) as they arrive, kept in storage allocated up front.
struct Stamp
{
    qint64 ns;
    QtMsgType type;
    char text[160];
};

class Stamps
{
public:
    explicit Stamps(size_t capacity) : stamps(capacity) {}
    ~Stamps()
    {
        if (current == this)
            uninstall();
    }
    Stamps(const Stamps &) = delete;
    Stamps &operator=(const Stamps &) = delete;

    void install()
    {
        current = this;
        qInstallMessageHandler(handler);
    }
    void uninstall()
    {
        qInstallMessageHandler(nullptr);
        current = nullptr;
    }

    size_t size() const { return count.load(); }
    const Stamp &at(size_t i) const { return stamps[i]; }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        const qint64 now = realtimeNs();
        Stamps *self = current;
        const size_t index = self->count.load();
        if (index < self->stamps.size()) {
            Stamp &stamp = self->stamps[index];
            stamp.ns = now;
            stamp.type = type;
            const qsizetype length = std::min<qsizetype>(message.size(), sizeof stamp.text - 1);
            for (qsizetype i = 0; i < length; ++i)
                stamp.text[i] = message.at(i).toLatin1();
            stamp.text[length] = '\0';
            self->count.store(index + 1);
        }
        Logger::messageHandler(type, context, message);
    }

    static inline Stamps *current = nullptr;
    std::vector<Stamp> stamps;
    std::atomic<size_t> count{ 0 };
};

bool startsWith(const char *text, const char *prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Tells when a time limit has passed; the loops that wait for the workers
// give up then instead of waiting for ever.
class Deadline
{
public:
    explicit Deadline(int ms)
    {
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [this] { passed = true; });
        timer.start(ms);
    }
    bool hasPassed() const { return passed; }

private:
    QTimer timer;
    bool passed = false;
};

// Runs the event loop for ms milliseconds.
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Stops the service until no restart is pending any more and every
// released process object is gone.
bool quiesce(BenchService &service, int restartDelay)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        service.stop();
        spin(restartDelay + 20);
        if (!service.hasProcesses()) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return true;
        }
    }
    return fail(QStringLiteral("the service does not come to rest"));
}

qint64 readDeathTime(const QString &path)
{
    return readFile(path).trimmed().toLongLong();
}

bool runReaction(int samples)
{
    Resources resources;
    if (!resources.prepare(true, false))
        return false;
    const QString deathFile = resources.file(QStringLiteral("death.time"));
    qputenv("RENDER_WORKER_DEATH_TIME", QFile::encodeName(deathFile));
    qputenv("RENDER_WORKER_EXIT_AFTER_MS", "20");
    qputenv("RENDER_WORKER_EXIT_CODE", "1");

    constexpr int restartDelay = 20;
    BenchService service(resources.path(), restartDelay);
    Stamps stamps(size_t(samples) * 64 + 1024);
    stamps.install();

    const Deadline deadline(samples * 1000 + 30000);
    std::vector<double> exitMs, killMs;
    qint64 lastDeath = 0;
    bool running = false;
    size_t scanned = 0;
    service.startProcess();
    while (int(exitMs.size() + killMs.size()) < samples && !deadline.hasPassed()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        qint64 slotNs = 0;
        for (; scanned < stamps.size(); ++scanned) {
            const Stamp &stamp = stamps.at(scanned);
            if (startsWith(stamp.text, "\"Started with PID")) {
                running = true;
            } else if (running) {
                // The first line after a start is the slot's.
                running = false;
                slotNs = stamp.ns;
            }
        }
        if (!slotNs)
            continue;
        // The slot has run; the next worker is not started before the
        // restart delay, so the file still holds this death.
        const qint64 death = readDeathTime(deathFile);
        if (death <= lastDeath || death > slotNs)
            return fail(QStringLiteral("a slot ran without a recorded death"));
        lastDeath = death;
        std::vector<double> &kind = int(exitMs.size()) < samples / 2 ? exitMs : killMs;
        kind.push_back(double(slotNs - death) / 1e6);
        if (int(exitMs.size()) == samples / 2 && killMs.empty()) {
            // The next workers are killed instead: the other slot reacts.
            qunsetenv("RENDER_WORKER_EXIT_AFTER_MS");
            qunsetenv("RENDER_WORKER_EXIT_CODE");
            qputenv("RENDER_WORKER_CRASH_AFTER_MS", "20");
            qputenv("RENDER_WORKER_CRASH_SIGNAL", "9");
        }
    }
    quiesce(service, restartDelay);
    stamps.uninstall();
    if (deadline.hasPassed())
        return fail(QStringLiteral("only %1 of %2 deaths seen in time").arg(exitMs.size() + killMs.size()).arg(samples));

    std::vector<double> all = exitMs;
    all.insert(all.end(), killMs.begin(), killMs.end());
    const double p99 = percentile(all, 99);
    const QString ms = QStringLiteral(" ms");
    printRow({ QStringLiteral("Reaction to a dead worker p99 (%1x)").arg(all.size()), number(p99, 3) + ms,
               QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("< 2 ms"),
               p99 < 2.0 ? Verdict::Pass : Verdict::Fail, p99, ms.trimmed() });
    printRow({ QStringLiteral("  reaction p50 / max"),
               number(percentile(all, 50), 3) + QStringLiteral(" / ") + number(percentile(all, 100), 3) + ms,
               QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"), Verdict::Info, percentile(all, 50),
               ms.trimmed() });
    printRow({ QStringLiteral("  reaction p99: exit code 1 / killed"),
               number(percentile(exitMs, 99), 3) + QStringLiteral(" / ") + number(percentile(killMs, 99), 3) + ms,
               QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"), Verdict::Info, percentile(killMs, 99),
               ms.trimmed() });
    return true;
}

bool runRestart(int samples)
{
    Resources resources;
    if (!resources.prepare(true, true))
        return false;
    qputenv("RENDER_WORKER_CRASH_AFTER_MS", "100");
    qputenv("RENDER_WORKER_CRASH_SIGNAL", "9");

    BenchService service(resources.path(), productRestartDelayMs);
    Stamps stamps(size_t(samples) * 64 + 1024);
    stamps.install();

    const Deadline deadline((samples / 2 + 3) * (productRestartDelayMs + 1000));
    // Per role (0 CPU, 1 GPU): when its slot began and when its launch began.
    qint64 slotNs[2] = { 0, 0 };
    qint64 launchNs[2] = { 0, 0 };
    int launching = -1;
    qint64 lastFallbackNs = 0;
    std::vector<double> delays, timerDelays;
    size_t scanned = 0;
    service.startProcess();
    while (int(delays.size()) < samples && !deadline.hasPassed()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        for (; scanned < stamps.size(); ++scanned) {
            const Stamp &stamp = stamps.at(scanned);
            if (std::strcmp(stamp.text, "Fallback configuration") == 0) {
                // The first line of a slot (and of every start).
                lastFallbackNs = stamp.ns;
            } else if (stamp.type == QtCriticalMsg && std::strstr(stamp.text, "Procces error from")) {
                // Slots run whole, one at a time: the last "Fallback
                // configuration" came from this slot.
                slotNs[startsWith(stamp.text, "GPU") ? 1 : 0] = lastFallbackNs;
            } else if (startsWith(stamp.text, "Starting process..")) {
                launching = std::strstr(stamp.text, "\"--gpu\"") ? 1 : 0;
                launchNs[launching] = stamp.ns;
            } else if (startsWith(stamp.text, "\"Started with PID") && launching >= 0) {
                if (slotNs[launching]) {
                    delays.push_back(double(stamp.ns - slotNs[launching]) / 1e6);
                    timerDelays.push_back(double(launchNs[launching] - slotNs[launching]) / 1e6);
                    slotNs[launching] = 0;
                }
                launching = -1;
            }
        }
    }
    quiesce(service, productRestartDelayMs);
    stamps.uninstall();

    if (deadline.hasPassed())
        return fail(QStringLiteral("only %1 of %2 restarts seen in time").arg(delays.size()).arg(samples));

    std::vector<double> deviations;
    for (const double delay : delays)
        deviations.push_back(std::fabs(delay - productRestartDelayMs));
    const double p99 = percentile(deviations, 99);
    const double p50Delay = percentile(delays, 50);
    const QString ms = QStringLiteral(" ms");
    printRow({ QStringLiteral("Restart delay, p99 deviation (%1x)").arg(delays.size()),
               QStringLiteral("%1 ms (p50 %2 ms)").arg(number(p99, 2), number(p50Delay, 2)),
               QStringLiteral("5000 ms"), ratioText(p50Delay / productRestartDelayMs),
               QStringLiteral("+-50 ms"), p99 <= 50 ? Verdict::Pass : Verdict::Fail, p99, ms.trimmed() });
    printRow({ QStringLiteral("  restart: slot to launch begin, min / max"),
               number(percentile(timerDelays, 0), 2) + QStringLiteral(" / ") + number(percentile(timerDelays, 100), 2) + ms,
               QStringLiteral("5000 ms"), QStringLiteral("-"), QStringLiteral("-"), Verdict::Info,
               percentile(timerDelays, 100), ms.trimmed() });
    return true;
}

std::atomic<int> startsSeen{ 0 };

void countingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("\"Started with PID")))
        ++startsSeen;
    Logger::messageHandler(type, context, message);
}

bool runUntilStarts(int starts, int timeoutMs)
{
    const int target = startsSeen + starts;
    const Deadline deadline(timeoutMs);
    while (startsSeen < target && !deadline.hasPassed())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return !deadline.hasPassed() || fail(QStringLiteral("only %1 of %2 worker starts in time").arg(startsSeen - (target - starts)).arg(starts));
}

bool runChurn(int cycles)
{
    Resources resources;
    if (!resources.prepare(true, true))
        return false;
    // The CPU worker ends cleanly, the GPU worker is killed: both slots, the
    // rollback decision and the release of process objects, every cycle.
    qputenv("RENDER_WORKER_CPU_EXIT_AFTER_MS", "0");
    qputenv("RENDER_WORKER_GPU_CRASH_AFTER_MS", "0");
    qputenv("RENDER_WORKER_GPU_CRASH_SIGNAL", "9");

    constexpr int restartDelay = 1;
    BenchService service(resources.path(), restartDelay);
    qInstallMessageHandler(countingHandler);

    // Whatever is made once (caches, the log file) is made first.
    service.startProcess();
    if (!runUntilStarts(100, 60000) || !quiesce(service, restartDelay))
        return false;
    const int fdBefore = openDescriptorCount(::getpid());
    const size_t heapBefore = mallinfo2().uordblks;

    const qint64 started = monotonicNs();
    service.startProcess();
    if (!runUntilStarts(cycles, 240000) || !quiesce(service, restartDelay))
        return false;
    const double seconds = double(monotonicNs() - started) / 1e9;
    const int fdAfter = openDescriptorCount(::getpid());
    const size_t heapAfter = mallinfo2().uordblks;
    qInstallMessageHandler(nullptr);

    const long long growth = (long long)heapAfter - (long long)heapBefore;
    printRow({ QStringLiteral("Churn: open descriptors, %1 cycles").arg(cycles),
               QStringLiteral("%1 -> %2").arg(fdBefore).arg(fdAfter), QString::number(fdBefore),
               QStringLiteral("-"), QStringLiteral("equal"),
               fdAfter == fdBefore ? Verdict::Pass : Verdict::Fail, double(fdAfter - fdBefore),
               QStringLiteral("fds") });
    printRow({ QStringLiteral("Churn: heap in use (uordblks) growth"), QStringLiteral("%1 B").arg(growth),
               QStringLiteral("0 B"), QStringLiteral("-"), QStringLiteral("<= 65536 B"),
               growth <= 65536 ? Verdict::Pass : Verdict::Fail, double(growth), QStringLiteral("B") });
    note(QStringLiteral("churn: %1 cycles in %2 s").arg(cycles).arg(seconds, 0, 'f', 1));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    const int count = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode != "reaction" && mode != "restart" && mode != "churn") {
        std::fprintf(stderr, "usage: %s reaction [n] | restart [n] | churn [n]\n", argv[0]);
        return 2;
    }
    // Chunks freed into glibc's per-thread cache still count as in use;
    // without the cache the heap figure shows what the program holds.
    if (mode == "churn" && !qgetenv("GLIBC_TUNABLES").contains(tcacheOff)) {
        const QByteArray others = qgetenv("GLIBC_TUNABLES");
        const QByteArray tunables = others.isEmpty() ? QByteArray(tcacheOff) : others + ':' + tcacheOff;
        ::setenv("GLIBC_TUNABLES", tunables.constData(), 1);
        ::execv("/proc/self/exe", argv);
        note(QStringLiteral("bench_supervision: cannot run again without the malloc cache"));
        return 1;
    }
    QCoreApplication app(argc, argv);
    // The workers' output is of no interest here.
    qunsetenv("VERBOSE");

    bool ok = false;
    if (mode == "reaction")
        ok = runReaction(count > 0 ? count : 200);
    else if (mode == "restart")
        ok = runRestart(count > 0 ? count : 20);
    else
        ok = runChurn(count > 0 ? count : 1000);
    if (!ok) {
        note(QStringLiteral("bench_supervision %1: %2").arg(QString::fromLatin1(mode), failure));
        return 1;
    }
    return 0;
}
