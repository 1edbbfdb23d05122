// bench_logging [milliseconds]: entries per second through the installed
// message handler into a log folder on tmpfs, against a loop of the bare
// calls an entry needs (open, chmod, write, close of the same bytes). Each
// runs for the given time (default 500 ms) in each of three interleaved
// rounds; the median round counts. One thread: the entries of several
// threads are serialised by the logger's one mutex by design, and on a
// machine of two shared cores a parallel floor says more about the machine.

#include "benchsupport.h"
#include "logger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Bench;

namespace {

// A typical line of the watchdog's, as its supervision writes it.
const char messageText[] = "\"Started with PID: 123456\"";
constexpr int rounds = 3;

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

// Entries per second over durationMs, through the handler or the bare calls.
double entriesPerSecond(bool handler, int durationMs, const QByteArray &floorPath, const QByteArray &line)
{
    const qint64 started = monotonicNs();
    const qint64 until = started + qint64(durationMs) * 1000000;
    long long count = 0;
    qint64 now = started;
    for (; now < until; now = monotonicNs(), ++count) {
        if (handler)
            qInfo("%s", messageText);
        else
            bareEntry(floorPath, line);
    }
    return double(count) / (double(now - started) / 1e9);
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

    std::vector<double> measured, floor;
    for (int round = 0; round < rounds; ++round) {
        measured.push_back(entriesPerSecond(true, durationMs, floorPath, line));
        floor.push_back(entriesPerSecond(false, durationMs, floorPath, line));
        // Files of equal size for both.
        QFile::remove(logFile);
        QFile::remove(QFile::decodeName(floorPath));
    }
    const double ratio = median(measured) / median(floor);
    printRow({ QStringLiteral("Log entries/s, tmpfs"), number(median(measured) / 1000, 1) + QStringLiteral(" k/s"),
               number(median(floor) / 1000, 1) + QStringLiteral(" k/s"), ratioText(ratio), QStringLiteral(">= 0.70x"),
               ratio >= 0.7 ? Verdict::Pass : Verdict::Fail, ratio });
    qInstallMessageHandler(nullptr);
    return 0;
}
