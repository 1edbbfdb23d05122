// bench_logging [milliseconds]: entries per second through the installed
// message handler into a log folder on tmpfs, against a loop of the bare
// calls an entry needs (open, chmod, write, close of the same bytes). Each
// runs for the given time (default 500 ms) in each of three interleaved
// rounds; the median round counts. One thread: the logger serialises the
// entries of several threads by design, and on two shared cores a parallel
// floor says more about the machine. Prints one row of a Markdown table.

#include "logger.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A typical line of the watchdog's supervision.
const char messageText[] = "\"Started with PID: 123456\"";

qint64 nowNs()
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Entries per second over durationMs, through the handler or the bare calls.
double entriesPerSecond(bool handler, int durationMs, const QByteArray &floorPath, const QByteArray &line)
{
    const qint64 started = nowNs(), until = started + qint64(durationMs) * 1000000;
    long long count = 0;
    qint64 now = started;
    for (; now < until; now = nowNs(), ++count) {
        if (handler) {
            qInfo("%s", messageText);
            continue;
        }
        const int fd = ::open(floorPath.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        if (fd < 0 || ::fchmod(fd, 0666) != 0 || ::write(fd, line.constData(), size_t(line.size())) != line.size())
            std::abort();
        ::close(fd);
    }
    return double(count) / (double(now - started) / 1e9);
}

// The tmpfs goes before its folder, which could not be removed under it.
struct Unmount
{
    QByteArray path;
    ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    const int durationMs = argc > 1 ? std::max(50, std::atoi(argv[1])) : 500;
    // A tmpfs of this process's own for the log folder; before any thread exists.
    QTemporaryDir folder;
    const Unmount unmount{ QFile::encodeName(folder.path()) };
    if (!folder.isValid() || ::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || ::mount("tmpfs", unmount.path.constData(), "tmpfs", 0, "mode=755") != 0) {
        std::perror("bench_logging: cannot mount a private tmpfs");
        return 2;
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
    QFile written(logFile);
    const QByteArray line = written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray();
    if (!line.endsWith(QByteArray(messageText) + '\n')) {
        std::fprintf(stderr, "bench_logging: the handler wrote no entry to %s\n", qPrintable(logFile));
        return 2;
    }
    const QByteArray floorPath = QFile::encodeName(logFolder + QStringLiteral("/floor.log"));
    std::vector<double> measured, floor;
    for (int round = 0; round < 3; ++round) {
        measured.push_back(entriesPerSecond(true, durationMs, floorPath, line));
        floor.push_back(entriesPerSecond(false, durationMs, floorPath, line));
        // Files of equal size for both.
        QFile::remove(logFile);
        QFile::remove(QFile::decodeName(floorPath));
    }
    qInstallMessageHandler(nullptr);
    const double ratio = median(measured) / median(floor);
    std::printf("| Log entries/s, tmpfs, one thread | %.1f k/s | %.1f k/s (open, fchmod, write, close) | %.2fx | ≥ 0.70x | %s |\n",
                median(measured) / 1000, median(floor) / 1000, ratio, ratio >= 0.7 ? "yes" : "**no**");
    return ratio >= 0.7 ? 0 : 1;
}
