// Starting, restarting and stopping real worker processes.

#include "watchdogtestsupport.h"

#include <QtTest>

#include <memory>

using namespace WatchdogTest;

namespace {

const QString crashedText =
        QStringLiteral("The process crashed some time after starting successfully.");
const QString failedToStartText = QStringLiteral(
        "The process failed to start. Either the invoked program is missing, or you may have "
        "insufficient permissions to invoke the program.");
const QString rollbackLine = QStringLiteral("Will attempt to rollback to previous version");

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString startedLine(qint64 pid)
{
    return quoted(QStringLiteral("Started with PID: %1").arg(pid));
}

QStringList argumentsOf(const QList<WorkerEvent> &starts)
{
    QStringList arguments;
    for (const WorkerEvent &start : starts)
        arguments.append(start.arguments);
    arguments.sort();
    return arguments;
}

// Lets the event loop run, for the checks that something does not happen:
// long enough for several restart delays.
void letRestartDelaysPass()
{
    QTest::qWait(3 * shortDelayMs);
}

} // namespace

class tst_WorkerSupervision : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void enabledWorkersStart_data();
    void enabledWorkersStart();
    void gpuCrashRestartsOnlyGpu();
    void failedCpuStartHoldsBackGpu();
    void singleProcessMode();
    void workerEnd_data();
    void workerEnd();
    void stopKillsWithoutRestart();
    void resumeStartsAtOnceWithCurrentSettings();
    void destructionKillsWorkers();

private:
    std::unique_ptr<Fixture> f;
};

void tst_WorkerSupervision::init()
{
    f = std::make_unique<Fixture>();
    QVERIFY(f->isValid());
}

void tst_WorkerSupervision::cleanup()
{
    if (QTest::currentTestFailed())
        f->messages.dump();
    f.reset();
}

void tst_WorkerSupervision::enabledWorkersStart_data()
{
    QTest::addColumn<bool>("cpu");
    QTest::addColumn<bool>("gpu");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("CPU only") << true << false << QStringList{ "--cpu" };
    QTest::newRow("GPU only") << false << true << QStringList{ "--gpu" };
    QTest::newRow("both") << true << true << QStringList{ "--cpu", "--gpu --no-download" };
    QTest::newRow("none") << false << false << QStringList();
}

// One call starts exactly the enabled workers; the CPU process object exists
// even when the CPU worker is disabled, and nothing arms a timer.
void tst_WorkerSupervision::enabledWorkersStart()
{
    QFETCH(bool, cpu);
    QFETCH(bool, gpu);
    QFETCH(QStringList, arguments);
    QVERIFY(f->resources.writeWorkerSettings(cpu, gpu));
    TestService service(workerName, workerProgram, f->resources.path());

    service.startProcess();

    QTRY_COMPARE_WITH_TIMEOUT(argumentsOf(f->starts()), arguments, waitMs);
    QVERIFY(service.cpuProc);
    QCOMPARE(service.cpuProc->state() == QProcess::Running, cpu);
    QCOMPARE(bool(service.gpuProc), gpu);
    if (gpu)
        QCOMPARE(service.gpuProc->state(), QProcess::Running);
    QCOMPARE(f->messages.countStarting(QtDebugMsg, QStringLiteral("Starting process..")),
             arguments.size());

    letRestartDelaysPass();
    QCOMPARE(f->starts().size(), arguments.size());
    QCOMPARE(f->messages.count(QtDebugMsg, QStringLiteral("Fallback configuration")), 1);
    QVERIFY(f->messages.texts(QtCriticalMsg).isEmpty());
}

// The GPU worker crashes beside a running CPU worker: only the GPU worker
// comes back, after the restart delay and with its full arguments.
void tst_WorkerSupervision::gpuCrashRestartsOnlyGpu()
{
    QVERIFY(f->resources.writeWorkerSettings(true, true));
    const QString libraryPath = f->resources.filePath(QStringLiteral("lib"));
    const EnvironmentGuard libraries("LD_LIBRARY_PATH", QFile::encodeName(libraryPath));
    f->script.set("GPU_CRASH_AFTER_MS", "300");
    TestService service(workerName, workerProgram, f->resources.path());

    service.startProcess();
    f->script.clear(); // the workers started from now on run until stopped
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);
    const QList<WorkerEvent> first = f->starts();
    const qint64 cpuPid = first.at(0).arguments == QLatin1String("--cpu") ? first.at(0).pid : first.at(1).pid;
    const qint64 gpuPid = first.at(0).arguments == QLatin1String("--cpu") ? first.at(1).pid : first.at(0).pid;

    QTRY_COMPARE_WITH_TIMEOUT(recordedCount(f->record, QStringLiteral("crash"), gpuPid), 1, waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 3, waitMs);
    const WorkerEvent restarted = f->starts().at(2);
    QCOMPARE(restarted.arguments, QStringLiteral("--gpu --no-download"));
    QVERIFY(restarted.pid != gpuPid);
    QVERIFY(!isGone(cpuPid));
    QCOMPARE(service.cpuProc->processId(), cpuPid);
    QCOMPARE(service.gpuProc->processId(), restarted.pid);

    const MessageCapture &messages = f->messages;
    QCOMPARE(messages.count(QtDebugMsg, quoted(QStringLiteral("CPU Proc state is 2, worker not started"))), 1);
    QCOMPARE(messages.count(QtCriticalMsg,
                            QStringLiteral("GPU Procces error from \"%1\" @ \"%2\" program= \"%2\" "
                                           "args= QList(\"--gpu\", \"--no-download\")")
                                    .arg(workerName, workerProgram)),
             1);
    QCOMPARE(messages.count(QtCriticalMsg, QStringLiteral("LD_LIBRARY_PATH= ") + quoted(libraryPath)), 1);
    QCOMPARE(messages.count(QtCriticalMsg, crashedText), 1);
    QCOMPARE(messages.countStarting(QtCriticalMsg, QStringLiteral("Procces crashed")), 0);
    // The CPU worker still runs, so the failed GPU worker takes no rollback.
    QCOMPARE(messages.count(QtWarningMsg,
                            QStringLiteral("Not rolling back since both CPU and GPU are enabled "
                                           "and one is still running!")),
             1);
    QCOMPARE(messages.count(QtCriticalMsg, rollbackLine), 0);

    const qint64 failedAt = messages.timeOf(QtCriticalMsg, crashedText);
    const qint64 restartedAt = messages.timeOf(QtDebugMsg, startedLine(restarted.pid));
    QVERIFY(failedAt > 0 && restartedAt > 0);
    QVERIFY2(restartedAt - failedAt >= shortDelayMs - 10,
             qPrintable(QStringLiteral("restarted after %1 ms").arg(restartedAt - failedAt)));
}

// A CPU worker that cannot be started keeps the GPU worker from starting in
// the same call; the restart timer tries both again for as long as it takes.
void tst_WorkerSupervision::failedCpuStartHoldsBackGpu()
{
    QVERIFY(f->resources.writeWorkerSettings(true, true));
    QTemporaryDir installation;
    QVERIFY(installation.isValid());
    const QString program = installation.filePath(QStringLiteral("later/render_worker"));
    TestService service(workerName, program, f->resources.path());
    // Room to put the program in place between two attempts.
    service.setRestartDelay(500);

    service.startProcess();

    const MessageCapture &messages = f->messages;
    QCOMPARE(messages.count(QtCriticalMsg,
                            QStringLiteral(" Procces error from \"%1\" @ \"%2\" program= \"%2\" "
                                           "args= QList(\"--cpu\")")
                                    .arg(workerName, program)),
             1);
    QCOMPARE(messages.count(QtCriticalMsg, failedToStartText), 1);
    QCOMPARE(messages.count(QtCriticalMsg, rollbackLine), 1);
    QCOMPARE(messages.count(QtCriticalMsg,
                            QStringLiteral("Could not perform rollback - already at base version!!")),
             1);
    QCOMPARE(messages.count(QtWarningMsg, QStringLiteral("Failed to start process: ") + quoted(program)), 1);
    QCOMPARE(messages.count(QtCriticalMsg, quoted(QStringLiteral("Proc state is 0, worker not started"))), 1);
    QCOMPARE(messages.countStarting(QtDebugMsg, QStringLiteral("Starting process..")), 1);
    QVERIFY(!service.cpuProc);
    QVERIFY(service.gpuProc);
    QCOMPARE(service.gpuProc->state(), QProcess::NotRunning);

    // Still missing at the next attempt: the GPU worker waits again.
    QTRY_COMPARE_WITH_TIMEOUT(messages.count(QtCriticalMsg, failedToStartText), 2, waitMs);
    QCOMPARE(messages.countStarting(QtDebugMsg, QStringLiteral("Starting process..")), 2);
    QVERIFY(f->starts().isEmpty());

    QVERIFY(QDir().mkpath(QFileInfo(program).absolutePath()));
    QVERIFY(QFile::copy(workerProgram, program));
    QTRY_COMPARE_WITH_TIMEOUT(argumentsOf(f->starts()), QStringList({ "--cpu", "--gpu --no-download" }),
                              waitMs);
    QCOMPARE(messages.count(QtCriticalMsg, failedToStartText), 2);
}

// A service whose name does not end in "worker" runs one process without
// arguments and never reads the worker settings.
void tst_WorkerSupervision::singleProcessMode()
{
    QVERIFY(f->resources.writeWorkerSettings(false, true));
    TestService service(singleProcessName, workerProgram, f->resources.path());
    QVERIFY(!service.isWorker);
    QVERIFY(service.cpuEnabled);
    QVERIFY(!service.gpuEnabled);

    service.startProcess();
    QTRY_COMPARE_WITH_TIMEOUT(argumentsOf(f->starts()), QStringList({ QString() }), waitMs);
    QCOMPARE(f->messages.count(QtDebugMsg, QStringLiteral("Starting process.. ") + quoted(workerProgram)
                                                   + QStringLiteral(" QList()")),
             1);

    service.startProcess();
    QCOMPARE(f->messages.count(QtDebugMsg, quoted(QStringLiteral("Proc state is 2, worker not started"))), 1);
    QCOMPARE(f->messages.countStarting(QtDebugMsg, QStringLiteral("Starting process..")), 1);
    QVERIFY(!service.gpuProc);
}

void tst_WorkerSupervision::workerEnd_data()
{
    QTest::addColumn<QByteArrayList>("script");
    QTest::addColumn<bool>("rollsBack");
    // The critical line that reports the failure; @PROGRAM@ is the override.
    QTest::addColumn<QString>("failureLine");

    QTest::newRow("clean exit") << QByteArrayList{ "CPU_EXIT_AFTER_MS=300" } << false << QString();
    QTest::newRow("exit code 3")
            << QByteArrayList{ "CPU_EXIT_AFTER_MS=300", "CPU_EXIT_CODE=3" } << true
            << QStringLiteral("Procces crashed    \"%1\" @ \"%2\"").arg(workerName, workerProgram);
    // A crash is reported as an error and as a crash exit; it is handled once.
    QTest::newRow("crash") << QByteArrayList{ "CPU_CRASH_AFTER_MS=300" } << true
                           << QStringLiteral(" Procces error from \"%1\" @ \"@PROGRAM@\" "
                                             "program= \"@PROGRAM@\" args= QList(\"--cpu\")")
                                      .arg(workerName);
    QTest::newRow("crash by SIGKILL")
            << QByteArrayList{ "CPU_CRASH_AFTER_MS=300", "CPU_CRASH_SIGNAL=9" } << true
            << QStringLiteral(" Procces error from \"%1\" @ \"@PROGRAM@\" "
                              "program= \"@PROGRAM@\" args= QList(\"--cpu\")")
                       .arg(workerName);
}

// A worker that ends is started again once; only a failure rolls the
// override back, once, so that the restart runs the default worker.
void tst_WorkerSupervision::workerEnd()
{
    QFETCH(QByteArrayList, script);
    QFETCH(bool, rollsBack);
    QFETCH(QString, failureLine);
    QVERIFY(f->resources.writeWorkerSettings(true, false));
    QTemporaryDir installations;
    const QString overrideFolder = installations.filePath(QStringLiteral("next"));
    QVERIFY(installWorkerCopy(overrideFolder));
    const QString overrideProgram = QDir(overrideFolder).filePath(workerBin);
    QVERIFY(writeFile(f->resources.versionFile(), QFile::encodeName(overrideFolder) + '\n'));
    for (const QByteArray &assignment : std::as_const(script))
        f->script.set(assignment.left(assignment.indexOf('=')), assignment.mid(assignment.indexOf('=') + 1));
    TestService service(workerName, workerProgram, f->resources.path());

    service.startProcess();
    f->script.clear();
    QCOMPARE(f->messages.count(QtDebugMsg, QStringLiteral("Starting process.. ") + quoted(overrideProgram)
                                                   + QStringLiteral(" QList(\"--cpu\")")),
             1);
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);
    const WorkerEvent restarted = f->starts().at(1);
    QCOMPARE(restarted.arguments, QStringLiteral("--cpu"));
    QCOMPARE(executableOf(restarted.pid), canonical(rollsBack ? workerProgram : overrideProgram));
    QCOMPARE(QFileInfo::exists(f->resources.versionFile()), !rollsBack);

    const MessageCapture &messages = f->messages;
    const QStringList critical = messages.texts(QtCriticalMsg);
    QCOMPARE(critical.count(rollbackLine), rollsBack ? 1 : 0);
    QCOMPARE(messages.count(QtDebugMsg, QStringLiteral("Rolling back to default installed version")),
             rollsBack ? 1 : 0);
    if (rollsBack) {
        QCOMPARE(critical.count(QString(failureLine).replace(QLatin1String("@PROGRAM@"), overrideProgram)), 1);
        const bool crashed = failureLine.startsWith(QLatin1Char(' '));
        QCOMPARE(critical.count(crashedText), crashed ? 1 : 0);
        QCOMPARE(messages.countStarting(QtCriticalMsg, QStringLiteral("Procces crashed")), crashed ? 0 : 1);
        QCOMPARE(messages.countStarting(QtCriticalMsg, QStringLiteral(" Procces error from")), crashed ? 1 : 0);
    } else {
        QVERIFY2(critical.isEmpty(), qPrintable(critical.join(QLatin1Char('\n'))));
    }

    // A second restart timer would show as a start or as a worker found running.
    letRestartDelaysPass();
    QCOMPARE(f->starts().size(), 2);
    QCOMPARE(messages.countStarting(QtDebugMsg, QStringLiteral("\"CPU Proc state is")), 0);
    QCOMPARE(messages.texts(QtCriticalMsg), critical);
}

// Stopping kills the workers; their ends reach no slot, so nothing is
// reported, rolled back or restarted.
void tst_WorkerSupervision::stopKillsWithoutRestart()
{
    QVERIFY(f->resources.writeWorkerSettings(true, true));
    QVERIFY(writeFile(f->resources.versionFile(), QByteArrayLiteral("versions/next\n")));
    TestService service(workerName, workerProgram, f->resources.path());
    service.startProcess();
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);
    const QList<WorkerEvent> starts = f->starts();

    service.stop();

    QVERIFY(isGone(starts.at(0).pid));
    QVERIFY(isGone(starts.at(1).pid));
    QVERIFY(!service.cpuProc);
    QVERIFY(!service.gpuProc);
    const MessageCapture &messages = f->messages;
    QCOMPARE(messages.count(QtDebugMsg, quoted(QStringLiteral("Stopping %1.").arg(workerName))), 1);

    letRestartDelaysPass();
    QCOMPARE(f->starts().size(), 2);
    QVERIFY(QFileInfo::exists(f->resources.versionFile()));
    QVERIFY(messages.texts(QtCriticalMsg).isEmpty());
    QVERIFY(messages.texts(QtWarningMsg).isEmpty());
    QCOMPARE(messages.countStarting(QtDebugMsg, QStringLiteral("Ignore errors true")), 0);
}

// pause stops the workers; resume starts the workers enabled at that moment,
// within the call.
void tst_WorkerSupervision::resumeStartsAtOnceWithCurrentSettings()
{
    QVERIFY(f->resources.writeWorkerSettings(true, false));
    TestService service(workerName, workerProgram, f->resources.path());
    service.startProcess();
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 1, waitMs);
    const qint64 cpuPid = f->starts().at(0).pid;

    service.pause();
    QVERIFY(isGone(cpuPid));
    QVERIFY(!service.cpuProc);

    QVERIFY(f->resources.writeWorkerSettings(false, true));
    const QString started = QStringLiteral("\"Started with PID: ");
    const int launched = f->messages.countStarting(QtDebugMsg, started);
    service.resume();
    QCOMPARE(f->messages.countStarting(QtDebugMsg, started), launched + 1);

    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);
    QCOMPARE(f->starts().at(1).arguments, QStringLiteral("--gpu"));
    QVERIFY(service.cpuProc);
    QCOMPARE(service.cpuProc->state(), QProcess::NotRunning);
    // Neither operation writes a debug line of its own.
    const QStringList debug = f->messages.texts(QtDebugMsg);
    for (const QString &line : debug) {
        QVERIFY2(!line.contains(QLatin1String("Pausing")) && !line.contains(QLatin1String("Resuming")),
                 qPrintable(line));
    }
}

void tst_WorkerSupervision::destructionKillsWorkers()
{
    QVERIFY(f->resources.writeWorkerSettings(true, true));
    auto service = std::make_unique<TestService>(workerName, workerProgram, f->resources.path());
    service->startProcess();
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);

    service.reset();

    const QList<WorkerEvent> starts = f->starts();
    QVERIFY(isGone(starts.at(0).pid));
    QVERIFY(isGone(starts.at(1).pid));
    QVERIFY(f->messages.texts(QtCriticalMsg).isEmpty());
}

QTEST_GUILESS_MAIN(tst_WorkerSupervision)
#include "tst_workersupervision.moc"
