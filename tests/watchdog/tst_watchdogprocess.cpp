// The watchdog as a process: a worker's output never reaches its memory; the
// real executable, run in the foreground under the name and folder it is
// installed as, watches the worker of that name beside it, and its workers die
// with it, even when it is killed.

#include "watchdogtestsupport.h"

#include <QScopeGuard>
#include <QStandardPaths>

#include <fcntl.h>
#include <unistd.h>

using namespace WatchdogTest;

namespace {

// The peak resident memory of this process in KiB since resetPeakMemory().
qint64 peakMemoryKiB()
{
    const QByteArray status = readFile(u"/proc/self/status"_s);
    const qsizetype at = status.indexOf("VmHWM:") + 6;
    return at < 6 ? -1 : status.mid(at, status.indexOf('\n', at) - at).simplified().split(' ')[0].toLongLong();
}

bool resetPeakMemory()
{
    return writeFile(u"/proc/self/clear_refs"_s, "5");
}

} // namespace

class tst_WatchdogProcess : public FixtureTest
{
    Q_OBJECT

private Q_SLOTS:
    void workerOutputCostsNoMemory();
    void workerBesideTheWatchdog_data();
    void workerBesideTheWatchdog();
    void killedWatchdogLeavesNoWorker();

private:
    // Copies the real executable to watchdog with a "resources.ini" beside it
    // that names the fixture's resource folder, and starts it in the foreground
    // with VERBOSE, through launcher if one is given; its output goes to
    // "watchdog.out".
    bool launch(QProcess &process, const QString &watchdog, const QStringList &launcher = {}) const
    {
        const QString folder = QFileInfo(watchdog).absolutePath();
        if (!QDir().mkpath(folder) || !QFile::copy(QStringLiteral(WATCHDOG_PATH), watchdog)
            || !writeFile(folder + u"/resources.ini"_s, "resources=" + QFile::encodeName(f->path())))
            return false;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(u"QTSERVICE_RUN"_s);
        environment.insert(u"VERBOSE"_s, QString());
        process.setProcessEnvironment(environment);
        process.setStandardOutputFile(f->filePath(u"watchdog.out"_s));
        process.setProcessChannelMode(QProcess::MergedChannels);
        const QStringList command = launcher + QStringList{ watchdog, u"-e"_s };
        process.start(command.first(), command.mid(1));
        return process.waitForStarted();
    }
};

void tst_WatchdogProcess::workerOutputCostsNoMemory()
{
    QVERIFY(f->writeWorkerSettings(true, false));
    f->script.set("RENDER_WORKER_CPU_PRINT_BYTES", QByteArray::number(300 * 1024 * 1024));
    f->script.set("RENDER_WORKER_CPU_EXIT_AFTER_MS", "0");
    TestService service(f->path());
    // The worker writes where this process writes; not into the test's output.
    const int savedOut = ::dup(STDOUT_FILENO);
    const int nullFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    QVERIFY(savedOut >= 0 && nullFd >= 0 && ::dup2(nullFd, STDOUT_FILENO) == STDOUT_FILENO);
    const auto restoreOut = qScopeGuard([savedOut, nullFd] {
        ::dup2(savedOut, STDOUT_FILENO);
        ::close(savedOut);
        ::close(nullFd);
    });
    // The peak, not the end: a buffer of the output would go with its process.
    QVERIFY(resetPeakMemory());
    const qint64 before = peakMemoryKiB();
    QVERIFY(before > 0);

    service.startProcess();
    f->script.restore();
    // The worker ends only after everything it printed was taken off it, and
    // the watchdog saw it end before it restarts it.
    QTRY_COMPARE_WITH_TIMEOUT(f->events(u"exit"_s).size(), 1, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);
    const qint64 growth = peakMemoryKiB() - before;
    QVERIFY2(growth < 8 * 1024, qPrintable(u"peak resident memory grew by %1 KiB"_s.arg(growth)));
}

void tst_WatchdogProcess::workerBesideTheWatchdog_data()
{
    QTest::addColumn<QString>("installedAs");
    QTest::addColumn<bool>("throughLoader");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("expectedWorker");
    QTest::addColumn<QString>("expectedLogName");

    QTest::newRow("product name") << "opt/x/render_worker_watchdog" << false << 5 << "opt/x/render_worker"
                                  << "watchdog_render_worker_";
    QTest::newRow("product name, level 4: no debug lines in the log file")
            << "opt/x/render_worker_watchdog" << false << 4 << "opt/x/render_worker" << QString();
    QTest::newRow("two occurrences in the name, base name up to the first dot")
            << "opt/x/a_watchdog.b_watchdog" << false << 5 << "opt/x/a.b" << "watchdog_a_";
    QTest::newRow("a folder named like the watchdog keeps its name")
            << "farm_watchdog/bin/render_worker_watchdog" << false << 5 << "farm_watchdog/bin/render_worker"
            << "watchdog_render_worker_";
    QTest::newRow("started through the dynamic loader")
            << "opt/x/render_worker_watchdog" << true << 5 << "opt/x/render_worker" << QString();
}

// VERBOSE echoes every message, so the start line names the worker whatever
// the level; the day's log file holds it from level 5 on.
void tst_WatchdogProcess::workerBesideTheWatchdog()
{
    QFETCH(QString, installedAs);
    QFETCH(bool, throughLoader);
    QFETCH(int, level);
    QFETCH(QString, expectedWorker);
    QFETCH(QString, expectedLogName);
    const QString loader = u"/lib64/ld-linux-x86-64.so.2"_s;
    QStringList launcher;
    if (throughLoader) {
        if (!QFileInfo::exists(loader) || QStandardPaths::findExecutable(u"unshare"_s).isEmpty())
            QSKIP("no x86-64 dynamic loader at /lib64, or no unshare");
        // Under the loader the program's own folder is the loader's, so no
        // "resources.ini" is found beside it: the run uses the default
        // resource folder and the system-wide store, which it may only see as
        // private, empty mounts.
        launcher = QStringList{ "unshare", "--mount", "--propagation", "private", "sh", "-c",
                                "mount -t tmpfs tmpfs /var/local && mount -t tmpfs tmpfs /etc/xdg "
                                "&& exec \"$0\" \"$@\"",
                                loader };
    }
    QVERIFY(writeFile(f->filePath(u"settings.conf"_s), "[common]\nlogLevel=" + QByteArray::number(level)));
    QProcess process;
    QVERIFY(launch(process, f->filePath(installedAs), launcher));

    const QByteArray announced =
            "\"Starting Solvane Render Worker from " + QFile::encodeName(f->filePath(expectedWorker)) + " \"\n";
    const QString output = f->filePath(u"watchdog.out"_s);
    QTRY_VERIFY2_WITH_TIMEOUT(readFile(output).contains(announced), readFile(output).constData(), 5000);
    QVERIFY(::kill(pid_t(process.processId()), SIGTERM) == 0);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 0);
    if (throughLoader)
        return;
    const QDir logs(f->filePath(u"Logs"_s));
    const QStringList files = logs.entryList(QDir::Files);
    const QByteArray log = files.size() == 1 ? readFile(logs.filePath(files.first())) : QByteArray();
    QCOMPARE(log.contains("[DD default  ] " + announced), level >= 5);
    if (level >= 5)
        QVERIFY2(files.first().startsWith(expectedLogName), qPrintable(files.first()));
}

void tst_WatchdogProcess::killedWatchdogLeavesNoWorker()
{
    const QString folder = f->filePath(u"installation"_s);
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::copy(workerProgram, folder + u"/render_worker"_s));
    QVERIFY(f->writeWorkerSettings(true, true));
    QProcess process;
    QVERIFY(launch(process, folder + u"/render_worker_watchdog"_s));

    // The first start comes five seconds after the watchdog's own.
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, 15000);
    const QList<WorkerEvent> starts = f->starts();
    QVERIFY(!isGone(starts.at(0).pid) && !isGone(starts.at(1).pid));

    QVERIFY(::kill(pid_t(process.processId()), SIGKILL) == 0);
    QVERIFY(process.waitForFinished(waitMs));
    QTRY_VERIFY_WITH_TIMEOUT(isGone(starts.at(0).pid) && isGone(starts.at(1).pid), waitMs);
}

QTEST_GUILESS_MAIN(tst_WatchdogProcess)
#include "tst_watchdogprocess.moc"
