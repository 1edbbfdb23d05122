// bench_logging [milliseconds]: entries per second through the installed
// message handler into a log folder on tmpfs, with one thread and with four,
// against a loop of the bare calls an entry needs (open, chmod, write, close
// of the same bytes; with four threads, each thread its own loop without a
// lock, as the kernel keeps appends whole). Each configuration runs for the
// given time (default 500 ms) in each of three interleaved rounds; the
// median round counts.

#include "benchsupport.h"
#include "logger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Bench;

namespace {

// A typical line of the watchdog's, as its supervision writes it.
const char messageText[] = "\"Started with PID: 123456\"";
constexpr int rounds = 3;

enum class Path { Handler, Bare, BareLocked };

struct Config
{
    int threads;
    Path path; // through the installed handler, or the bare calls (alone, or
               // one at a time under one mutex as the handler takes them)
};

std::mutex bareMutex;

// The bare calls of one entry, with the bytes the handler writes.
void bareEntry(const QByteArray &path, const QByteArray &line)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        std::abort();
    ::fchmod(fd, 0666);
    [[maybe_unused]] const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    ::close(fd);
}

// Entries per second of config over durationMs.
double entriesPerSecond(const Config &config, int durationMs, const QByteArray &floorPath,
                        const QByteArray &line)
{
    std::atomic<bool> stop{ false };
    std::vector<long long> counts(size_t(config.threads), 0);
    std::vector<std::thread> threads;
    const qint64 started = monotonicNs();
    for (int t = 0; t < config.threads; ++t) {
        threads.emplace_back([&, t] {
            long long count = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                if (config.path == Path::Handler) {
                    qInfo("%s", messageText);
                } else if (config.path == Path::Bare) {
                    bareEntry(floorPath, line);
                } else {
                    const std::lock_guard<std::mutex> lock(bareMutex);
                    bareEntry(floorPath, line);
                }
                ++count;
            }
            counts[size_t(t)] = count;
        });
    }
    sleepMs(durationMs);
    stop = true;
    for (std::thread &thread : threads)
        thread.join();
    const qint64 ended = monotonicNs();
    long long total = 0;
    for (const long long count : counts)
        total += count;
    return double(total) / (double(ended - started) / 1e9);
}

// A tmpfs for the log folder: /dev/shm where it is one, else a tmpfs
// mounted over a temporary folder in a private mount namespace.
bool prepareTmpfs(QTemporaryDir &folder, QString *problem)
{
    if (!folder.isValid()) {
        *problem = QStringLiteral("no temporary folder");
        return false;
    }
    if (isTmpfs(folder.path()))
        return true;
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || ::mount("tmpfs", QFile::encodeName(folder.path()).constData(), "tmpfs", 0, "mode=755") != 0) {
        *problem = QStringLiteral("cannot mount a tmpfs: %1").arg(qt_error_string());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int durationMs = argc > 1 ? std::max(50, std::atoi(argv[1])) : 500;
    // Before any thread exists, for the namespace.
    QTemporaryDir folder(isTmpfs(QStringLiteral("/dev/shm"))
                                 ? QStringLiteral("/dev/shm/bench_logging-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/bench_logging-XXXXXX"));
    QString problem;
    if (!prepareTmpfs(folder, &problem)) {
        note(QStringLiteral("bench_logging: %1").arg(problem));
        return 1;
    }
    QCoreApplication app(argc, argv);

    // Set up as the watchdog sets itself up, at its default level.
    Logger &logger = Logger::instance();
    const QString logFolder = folder.filePath(QStringLiteral("Logs"));
    logger.setLogFolder(logFolder);
    logger.filePrefix = QStringLiteral("watchdog_render_worker_");
    logger.setEnabled(true);
    logger.setLevel(4);
    logger.setEchoToStdout(false);
    qInstallMessageHandler(Logger::messageHandler);

    // The bytes of one entry, as the handler writes them.
    qInfo("%s", messageText);
    const QString logFile = logger.currentLogFilePath();
    const QByteArray line = readFile(logFile);
    if (!line.endsWith(QByteArray(messageText) + '\n')) {
        note(QStringLiteral("bench_logging: the handler wrote no entry to %1").arg(logFile));
        return 1;
    }
    const QByteArray floorPath = QFile::encodeName(logFolder + QStringLiteral("/floor.log"));

    const Config configs[] = { { 1, Path::Handler }, { 1, Path::Bare }, { 4, Path::Handler },
                               { 4, Path::Bare }, { 4, Path::BareLocked } };
    constexpr int configCount = int(std::size(configs));
    std::vector<double> results[configCount];
    for (int round = 0; round < rounds; ++round) {
        for (int c = 0; c < configCount; ++c) {
            results[c].push_back(entriesPerSecond(configs[c], durationMs, floorPath, line));
            // Files of equal size for every configuration.
            QFile::remove(logFile);
            QFile::remove(QFile::decodeName(floorPath));
        }
    }

    for (int c = 0; c < 4; c += 2) {
        const double measured = median(results[c]);
        const double floor = median(results[c + 1]);
        const double ratio = measured / floor;
        printRow({ QStringLiteral("Log entries/s, %1 thread(s), tmpfs").arg(configs[c].threads),
                   number(measured / 1000, 1) + QStringLiteral(" k/s"),
                   number(floor / 1000, 1) + QStringLiteral(" k/s"), ratioText(ratio),
                   QStringLiteral(">= 0.70x"), ratio >= 0.7 ? Verdict::Pass : Verdict::Fail, ratio });
    }
    // How much of the four threads' gap the one lock of the design explains.
    const double locked = median(results[4]);
    printRow({ QStringLiteral("  4 threads against the bare calls under one mutex"),
               number(median(results[2]) / 1000, 1) + QStringLiteral(" k/s"),
               number(locked / 1000, 1) + QStringLiteral(" k/s"), ratioText(median(results[2]) / locked),
               QStringLiteral("-"), Verdict::Info, median(results[2]) / locked });
    qInstallMessageHandler(nullptr);
    return 0;
}
