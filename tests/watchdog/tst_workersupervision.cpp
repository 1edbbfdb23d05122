// Starting, restarting and stopping real worker processes.

#include "watchdogtestsupport.h"

#include <QScopeGuard>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

using namespace WatchdogTest;

namespace {

const QString crashedText = u"The process crashed some time after starting successfully."_s;
const QString failedToStartText = u"The process failed to start. Either the invoked program is missing, or you "
                                  "may have insufficient permissions to invoke the program."_s;
const QString rollbackLine = u"Will attempt to rollback to previous version"_s;

QString quoted(const QString &text)
{
    return u'"' + text + u'"';
}

// With the immutable attribute not even root can delete a file. Not every
// file system has it.
bool setImmutable(const QString &path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

QStringList sortedArguments(const QList<WorkerEvent> &starts)
{
    QStringList arguments;
    for (const WorkerEvent &start : starts)
        arguments.append(start.arguments);
    arguments.sort();
    return arguments;
}

} // namespace

class tst_WorkerSupervision : public FixtureTest
{
    Q_OBJECT

private Q_SLOTS:
    void enabledWorkersStart_data();
    void enabledWorkersStart();
    void gpuCrashRestartsOnlyGpu();
    void failedCpuStartHoldsBackGpu();
    void workerEnd_data();
    void workerEnd();
    void endingKillsWithoutRestart_data();
    void endingKillsWithoutRestart();
    void resumeStartsAtOnceWithCurrentSettings();
};

void tst_WorkerSupervision::enabledWorkersStart_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("cpu");
    QTest::addColumn<bool>("gpu");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("CPU only") << workerName << true << false << QStringList{ "--cpu" };
    QTest::newRow("GPU only") << workerName << false << true << QStringList{ "--gpu" };
    QTest::newRow("both") << workerName << true << true << QStringList{ "--cpu", "--gpu --no-download" };
    QTest::newRow("none") << workerName << false << false << QStringList();
    // A name that does not end in "worker": one process without arguments,
    // whatever the settings say.
    QTest::newRow("single process") << u"Solvane Test Render Service"_s << false << true << QStringList{ "" };
}

// One call starts exactly the enabled workers and arms no timer; a second
// call while they run starts nothing.
void tst_WorkerSupervision::enabledWorkersStart()
{
    QFETCH(QString, name);
    QFETCH(bool, cpu);
    QFETCH(bool, gpu);
    QFETCH(QStringList, arguments);
    QVERIFY(f->writeWorkerSettings(cpu, gpu));
    TestService service(f->path(), workerProgram, name);

    service.startProcess();

    QTRY_COMPARE_WITH_TIMEOUT(sortedArguments(f->starts()), arguments, waitMs);
    QVERIFY(service.cpuProc); // even when the CPU worker is disabled
    QCOMPARE(service.cpuProc->state() == QProcess::Running, arguments.contains("--cpu") || arguments.contains(""));
    QCOMPARE(service.gpuProc && service.gpuProc->state() == QProcess::Running, !arguments.filter("--gpu").isEmpty());
    letRestartDelaysPass();
    QCOMPARE(f->messages.count(QtDebugMsg, u"Fallback configuration"_s), 1);

    service.startProcess();
    QCOMPARE(f->messages.containing(QtDebugMsg, u"Proc state is 2, worker not started"_s), arguments.size());
    QCOMPARE(f->messages.containing(QtDebugMsg, u"Starting process.."_s), arguments.size());
    QVERIFY(f->messages.texts(QtCriticalMsg).isEmpty());
}

// The GPU worker crashes beside a running CPU worker: only the GPU worker
// comes back, after the restart delay and with its full arguments.
void tst_WorkerSupervision::gpuCrashRestartsOnlyGpu()
{
    QVERIFY(f->writeWorkerSettings(true, true));
    const QString libraryPath = f->filePath(u"lib"_s);
    f->script.set("LD_LIBRARY_PATH", QFile::encodeName(libraryPath));
    f->script.set("RENDER_WORKER_GPU_CRASH_AFTER_MS", "300");
    TestService service(f->path());

    service.startProcess();
    f->script.restore(); // the workers started from now on run until stopped
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);
    const qint64 cpuPid = service.cpuProc->processId();
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 3, waitMs);
    const WorkerEvent restarted = f->starts().at(2);
    QCOMPARE(restarted.arguments, u"--gpu --no-download"_s);
    QCOMPARE(service.gpuProc->processId(), restarted.pid);
    QCOMPARE(service.cpuProc->processId(), cpuPid);
    QVERIFY(!isGone(cpuPid));

    const MessageCapture &messages = f->messages;
    QCOMPARE(messages.count(QtDebugMsg, uR"("CPU Proc state is 2, worker not started")"_s), 1);
    // The CPU worker still runs, so the failed GPU worker takes no rollback.
    QCOMPARE(messages.texts(QtCriticalMsg),
             QStringList({ uR"(GPU Procces error from "%1" @ "%2" program= "%2" )"
                           uR"(args= QList("--gpu", "--no-download"))"_s.arg(workerName, workerProgram),
                           "LD_LIBRARY_PATH= " + quoted(libraryPath), crashedText }));
    QCOMPARE(messages.texts(QtWarningMsg),
             QStringList{ "Not rolling back since both CPU and GPU are enabled and one is still running!" });
    const qint64 waited = messages.timeOf(QtDebugMsg, quoted(u"Started with PID: %1"_s.arg(restarted.pid)))
            - messages.timeOf(QtCriticalMsg, crashedText);
    QVERIFY2(waited >= shortDelayMs - 10, qPrintable(u"restarted after %1 ms"_s.arg(waited)));
}

// A CPU worker that cannot be started keeps the GPU worker from starting in
// the same call; the restart timer tries both again for as long as it takes.
void tst_WorkerSupervision::failedCpuStartHoldsBackGpu()
{
    QVERIFY(f->writeWorkerSettings(true, true));
    const QString program = f->filePath(u"later/render_worker"_s);
    // Room to put the program in place between two attempts.
    TestService service(f->path(), program, workerName, 500);

    service.startProcess();

    const MessageCapture &messages = f->messages;
    QCOMPARE(messages.texts(QtCriticalMsg),
             QStringList({ uR"( Procces error from "%1" @ "%2" program= "%2" args= QList("--cpu"))"_s
                                   .arg(workerName, program),
                           failedToStartText, rollbackLine, u"Could not perform rollback - already at base version!!"_s,
                           uR"("Proc state is 0, worker not started")"_s }));
    QCOMPARE(messages.texts(QtWarningMsg), QStringList{ "Failed to start process: " + quoted(program) });
    QCOMPARE(messages.containing(QtDebugMsg, u"Starting process.."_s), 1);
    QVERIFY(!service.cpuProc);
    QVERIFY(service.gpuProc);
    QCOMPARE(service.gpuProc->state(), QProcess::NotRunning);

    // Still missing at the next attempt: the GPU worker waits again.
    QTRY_COMPARE_WITH_TIMEOUT(messages.count(QtCriticalMsg, failedToStartText), 2, waitMs);
    QCOMPARE(messages.containing(QtDebugMsg, u"Starting process.."_s), 2);
    QVERIFY(f->starts().isEmpty());

    // Put in place whole, so that no attempt meets a half-copied program.
    QVERIFY(QDir().mkpath(QFileInfo(program).absolutePath()));
    QVERIFY(QFile::copy(workerProgram, program + ".part") && QFile::rename(program + ".part", program));
    QTRY_COMPARE_WITH_TIMEOUT(sortedArguments(f->starts()), QStringList({ "--cpu", "--gpu --no-download" }), waitMs);
    QCOMPARE(messages.count(QtCriticalMsg, failedToStartText), 2);
}

void tst_WorkerSupervision::workerEnd_data()
{
    QTest::addColumn<QByteArray>("ending"); // how the first worker ends after 300 ms
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("undeletable"); // the version file
    QTest::addColumn<QStringList>("critical"); // @OVERRIDE@ is the override's program

    const QString crashLine =
            uR"( Procces error from "%1" @ "@OVERRIDE@" program= "@OVERRIDE@" args= QList("--cpu"))"_s.arg(workerName);
    QTest::newRow("clean exit") << QByteArray("EXIT") << 0 << false << QStringList();
    QTest::newRow("exit code 3") << QByteArray("EXIT") << 3 << false
                                 << QStringList{ uR"(Procces crashed    "%1" @ "%2")"_s.arg(workerName, workerProgram),
                                                 rollbackLine };
    // A crash is reported as an error and as a crash exit; it is handled once.
    QTest::newRow("crash") << QByteArray("CRASH") << 0 << false << QStringList{ crashLine, crashedText, rollbackLine };
    // The override stays in force.
    QTest::newRow("crash, undeletable version file")
            << QByteArray("CRASH") << 0 << true
            << QStringList{ crashLine, crashedText, rollbackLine, u"Could not perform rollback!!"_s };
}

// A worker that ends is started again once; only a failure rolls the
// override back, once, so that the restart runs the default worker.
void tst_WorkerSupervision::workerEnd()
{
    QFETCH(QByteArray, ending);
    QFETCH(int, exitCode);
    QFETCH(bool, undeletable);
    QFETCH(QStringList, critical);
    const bool rollsBack = critical.contains(rollbackLine);
    const QString overrideProgram = f->filePath("versions/next/" + workerBin);
    QVERIFY(installWorkerCopy(f->filePath(u"versions/next"_s)));
    QVERIFY(writeFile(f->versionFile(), "versions/next\n"));
    if (undeletable && !setImmutable(f->versionFile(), true))
        QSKIP("The temporary folder's file system has no immutable attribute, or setting it needs privileges");
    const auto mutableAgain = qScopeGuard([this] { setImmutable(f->versionFile(), false); });
    QVERIFY(f->writeWorkerSettings(true, false));
    f->script.set("RENDER_WORKER_" + ending + "_AFTER_MS", "300");
    f->script.set("RENDER_WORKER_EXIT_CODE", QByteArray::number(exitCode));
    TestService service(f->path());

    service.startProcess();
    f->script.restore();
    QCOMPARE(f->messages.count(QtDebugMsg, "Starting process.. " + quoted(overrideProgram) + R"( QList("--cpu"))"), 1);
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);
    const WorkerEvent restarted = f->starts().at(1);
    QCOMPARE(restarted.arguments, u"--cpu"_s);
    const bool runsDefault = rollsBack && !undeletable;
    QCOMPARE(executableOf(restarted.pid), canonical(runsDefault ? workerProgram : overrideProgram));
    QCOMPARE(QFileInfo::exists(f->versionFile()), !runsDefault);
    critical.replaceInStrings(u"@OVERRIDE@"_s, overrideProgram);
    QCOMPARE(f->messages.texts(QtCriticalMsg), critical);
    QCOMPARE(f->messages.count(QtDebugMsg, u"Rolling back to default installed version"_s), int(rollsBack));

    // A second restart timer would show as a start or as a worker found running.
    letRestartDelaysPass();
    QCOMPARE(f->starts().size(), 2);
    QCOMPARE(f->messages.containing(QtDebugMsg, u"CPU Proc state is"_s), 0);
    QCOMPARE(f->messages.texts(QtCriticalMsg), critical);
}

void tst_WorkerSupervision::endingKillsWithoutRestart_data()
{
    QTest::addColumn<QString>("operation");
    QTest::newRow("stop") << u"stop"_s;
    QTest::newRow("pause") << u"pause"_s;
    QTest::newRow("destroy") << u"destroy"_s;
}

// Stopping, pausing or destroying the service kills the workers; their ends
// reach no slot, so nothing is reported, rolled back or restarted.
void tst_WorkerSupervision::endingKillsWithoutRestart()
{
    QFETCH(QString, operation);
    QVERIFY(f->writeWorkerSettings(true, true));
    QVERIFY(writeFile(f->versionFile(), "versions/next\n"));
    auto service = std::make_unique<TestService>(f->path());
    service->startProcess();
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);

    if (operation == "stop")
        service->stop();
    else if (operation == "pause")
        service->pause();
    else
        service.reset();

    for (const WorkerEvent &start : f->starts())
        QVERIFY(isGone(start.pid));
    QVERIFY(!service || (!service->cpuProc && !service->gpuProc));
    letRestartDelaysPass();
    QCOMPARE(f->starts().size(), 2);
    QVERIFY(QFileInfo::exists(f->versionFile()));
    QVERIFY(f->messages.texts(QtCriticalMsg).isEmpty());
    QVERIFY(f->messages.texts(QtWarningMsg).isEmpty());
    QCOMPARE(f->messages.count(QtDebugMsg, quoted("Stopping " + workerName + '.')), int(operation == "stop"));
}

// resume starts the workers enabled at that moment, within the call.
void tst_WorkerSupervision::resumeStartsAtOnceWithCurrentSettings()
{
    QVERIFY(f->writeWorkerSettings(true, false));
    TestService service(f->path());
    service.startProcess();
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 1, waitMs);
    service.pause();
    QVERIFY(f->writeWorkerSettings(false, true));

    service.resume();

    QCOMPARE(f->messages.containing(QtDebugMsg, u"Started with PID: "_s), 2);
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);
    QCOMPARE(f->starts().at(1).arguments, u"--gpu"_s);
    QVERIFY(service.cpuProc);
    QCOMPARE(service.cpuProc->state(), QProcess::NotRunning);
}

QTEST_GUILESS_MAIN(tst_WorkerSupervision)
#include "tst_workersupervision.moc"
