// What the watchdog costs and leaves behind: a worker's output never reaches
// its memory, and its workers die with it, even when it is killed.

#include "watchdogtestsupport.h"

#include <QtTest>

#include <csignal>
#include <memory>

using namespace WatchdogTest;

namespace {

const QString watchdogProgram = QStringLiteral(WATCHDOG_PATH);

} // namespace

class tst_WatchdogProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void workerOutputCostsNoMemory();
    void killedWatchdogLeavesNoWorker();

private:
    std::unique_ptr<Fixture> f;
    QString watchdogOutput;
};

void tst_WatchdogProcess::init()
{
    f = std::make_unique<Fixture>();
    QVERIFY(f->isValid());
}

void tst_WatchdogProcess::cleanup()
{
    if (QTest::currentTestFailed()) {
        f->messages.dump();
        if (!watchdogOutput.isEmpty())
            std::fprintf(stderr, "Watchdog output:\n%s\n", readFile(watchdogOutput).constData());
        // Workers that outlived a failed test are this test's own: end them.
        const QList<WorkerEvent> starts = f->starts();
        for (const WorkerEvent &start : starts) {
            if (!isGone(start.pid))
                ::kill(pid_t(start.pid), SIGKILL);
        }
    }
    f.reset();
    watchdogOutput.clear();
}

void tst_WatchdogProcess::workerOutputCostsNoMemory()
{
    constexpr qint64 printedBytes = 300 * 1024 * 1024;
    constexpr qint64 allowedGrowthKiB = 8 * 1024;
    QVERIFY(f->resources.writeWorkerSettings(true, false));
    f->script.set("CPU_PRINT_BYTES", QByteArray::number(printedBytes));
    f->script.set("CPU_EXIT_AFTER_MS", "0");
    TestService service(workerName, workerProgram, f->resources.path());
    const qint64 before = residentKiB();
    QVERIFY(before > 0);

    service.startProcess();
    f->script.clear();
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 1, waitMs);
    // The worker ends only after everything it printed was taken off it, and
    // the watchdog saw it end before it restarts it.
    QTRY_COMPARE_WITH_TIMEOUT(recordedCount(f->record, QStringLiteral("exit"), f->starts().at(0).pid), 1,
                              30000);
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);

    const qint64 after = residentKiB();
    QVERIFY2(after - before < allowedGrowthKiB,
             qPrintable(QStringLiteral("resident memory grew from %1 KiB to %2 KiB").arg(before).arg(after)));
}

// The installed program, run in the foreground, is killed with SIGKILL: its
// workers must not survive it.
void tst_WatchdogProcess::killedWatchdogLeavesNoWorker()
{
    // Copies, not links: the watchdog finds its worker and "resources.ini"
    // beside its own resolved path. That path must not contain "_watchdog",
    // which the watchdog removes from it wherever it stands.
    QTemporaryDir installation(QDir::tempPath() + QStringLiteral("/worker-installation-XXXXXX"));
    QVERIFY(installation.isValid());
    const QString watchdog = installation.filePath(QFileInfo(watchdogProgram).fileName());
    const QString worker = installation.filePath(QStringLiteral("render_worker"));
    QVERIFY(QFile::copy(watchdogProgram, watchdog));
    QVERIFY(QFile::copy(workerProgram, worker));
    QVERIFY(QFile::setPermissions(watchdog, QFile::permissions(watchdogProgram)));
    QVERIFY(QFile::setPermissions(worker, QFile::permissions(workerProgram)));
    QVERIFY(writeFile(installation.filePath(QStringLiteral("resources.ini")),
                      "resources=" + QFile::encodeName(f->resources.path()) + '\n'));
    QVERIFY(f->resources.writeWorkerSettings(true, true));

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QTSERVICE_RUN"));
    // Everything it writes goes to a file, shown when the test fails.
    environment.insert(QStringLiteral("VERBOSE"), QString());
    process.setProcessEnvironment(environment);
    watchdogOutput = f->resources.filePath(QStringLiteral("watchdog.out"));
    process.setStandardOutputFile(watchdogOutput);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(watchdog, { QStringLiteral("-e") });
    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));

    // The first start comes five seconds after the watchdog's own.
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, 15000);
    const QList<WorkerEvent> starts = f->starts();
    QVERIFY(!isGone(starts.at(0).pid));
    QVERIFY(!isGone(starts.at(1).pid));

    QVERIFY(::kill(pid_t(process.processId()), SIGKILL) == 0);
    QVERIFY(process.waitForFinished(waitMs));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);

    QTRY_VERIFY_WITH_TIMEOUT(isGone(starts.at(0).pid) && isGone(starts.at(1).pid), waitMs);
}

QTEST_GUILESS_MAIN(tst_WatchdogProcess)
#include "tst_watchdogprocess.moc"
