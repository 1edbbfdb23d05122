// Every way a worker start or run can end, over the real executable run with -e
// and its product delays: rollback or not, the version file, the next start, the
// log. The scenarios run side by side, each with a /run of its own for its lock.

#include "testsupport.h"

#include <sys/resource.h>

namespace {

const QString starvedRow = u"watchdog out of descriptors"_s;

const QByteArray errorFrom = "[EE default  ]  Procces error from \"Solvane Render Worker\" @ ";
const QByteArray failedToStart = "[EE default  ] The process failed to start. Either the invoked program is missing, "
                                 "or you may have insufficient permissions to invoke the program.";
const QByteArray willRollBack = "[EE default  ] Will attempt to rollback to previous version";
const QByteArray rollingBack = "[DD default  ] Rolling back to default installed version";
const QByteArray atBase = "[EE default  ] Could not perform rollback - already at base version!!";
const QByteArray crashed = "[EE default  ] Procces crashed    \"Solvane Render Worker\" @ ";
const QByteArray crashedAfterStart = "[EE default  ] The process crashed some time after starting successfully.";

struct Scenario
{
    QByteArray override; // the program of the redirected installation; none without a version file
    mode_t mode = 0755;
    bool defaultMissing = false;
    // The override made of the real worker instead, as a program the kernel
    // refuses: what a build for another machine, a truncated download or a
    // missing loader leaves.
    QByteArray (*refused)(QByteArray elf) = nullptr;
};

const QMap<QString, Scenario> scenarios{
    { u"not executable"_s, { "#!/bin/sh\nexec %1 --alt \"$@\"\n", 0644 } },
    { u"ELF header and junk"_s, { {}, 0755, false, [](QByteArray elf) { return elf.left(4) + QByteArray(252, 'j'); } } },
    { u"ELF of another machine"_s, { {}, 0755, false, [](QByteArray elf) { return elf.replace(18, 2, QByteArray("\xb7\0", 2)); } } }, // AArch64
    // The loader's path is the program's first string (its PT_INTERP).
    { u"ELF loader missing"_s,
      { {}, 0755, false, [](QByteArray elf) { return elf.replace(elf.indexOf("/lib"), 19, QByteArray("/nonexistent/ld.so", 19)); } } },
    { u"ELF cut after its header"_s, { {}, 0755, false, [](QByteArray elf) { return elf.left(64); } } },
    { u"override missing"_s, { "", 0755 } },
    { u"crash by a signal"_s, { "#!/bin/sh\nRENDER_WORKER_CRASH_AFTER_MS=300 exec %1 --alt \"$@\"\n", 0755 } },
    { u"exit 1"_s, { "#!/bin/sh\nRENDER_WORKER_EXIT_AFTER_MS=300 RENDER_WORKER_EXIT_CODE=1 exec %1 --alt \"$@\"\n", 0755 } },
    { u"exit 0"_s, { "#!/bin/sh\nRENDER_WORKER_EXIT_AFTER_MS=300 exec %1 --alt \"$@\"\n", 0755 } },
    { u"stopped by the watchdog"_s, { "#!/bin/sh\nexec %1 --alt \"$@\"\n", 0755 } },
    { u"watchdog out of descriptors"_s, { "#!/bin/sh\nexec %1 --alt \"$@\"\n", 0755 } },
    { u"default missing"_s, { QByteArray(), 0755, true } },
    { u"default missing, override not executable"_s, { "#!/bin/sh\n", 0644, true } },
};

// One watchdog run with -e in a staged installation.
class ScenarioRun
{
public:
    ScenarioRun(const Scenario &scenario)
        : stage(QStringLiteral(WATCHDOG_PATH), QStringLiteral(RENDER_WORKER_PATH)),
          worker(stage.bin + u"render_worker"_s), versionFile(stage.resources + u"/render_worker.version"_s)
    {
        valid = stage.valid && ts::writeFile(stage.resources + u"/settings.conf"_s, "[common]\nlogLevel=5\n")
            && ((scenario.override.isNull() && !scenario.refused)
                || stage.addWorker(u"alt"_s, scenario.refused ? scenario.refused(ts::readFile(worker)) : scenario.override, scenario.mode))
            && (!scenario.defaultMissing || QFile::remove(worker));
        stage.env.insert(u"VERBOSE"_s, QString());
        child = std::make_unique<ts::Child>(
                u"unshare"_s,
                QStringList{ u"--mount"_s, u"--propagation"_s, u"private"_s, u"sh"_s, u"-c"_s,
                             u"mount -t tmpfs -o mode=755 tmpfs /run && exec \"$0\" -e"_s, stage.executable },
                stage.env);
    }
    // The lines of the day's log file, and what was echoed on standard output.
    QByteArray logFile() const
    {
        const QStringList files = QDir(stage.resources + u"/Logs"_s).entryList(QDir::Files);
        return files.isEmpty() ? QByteArray() : ts::readFile(stage.resources + u"/Logs/"_s + files.constFirst());
    }
    QByteArray echo() const { return ts::readFile(child->output.filePath(u"out"_s)); }
    QStringList starts() const
    {
        QStringList arguments = stage.workerEvents(u"start"_s);
        for (QString &line : arguments)
            line = line.section(u' ', 2);
        return arguments;
    }

    ts::Installation stage;
    const QString worker;
    const QString versionFile;
    std::unique_ptr<ts::Child> child;
    bool valid = false;
};

} // namespace

class TestWorkerEnds : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void workerEnds_data();
    void workerEnds();

private:
    QMap<QString, std::shared_ptr<ScenarioRun>> runs;
    // By then every scenario shows what its row expects (the slowest after
    // about 11 s), so a fault fails every row within the test's time-out.
    QDeadlineTimer settled;
};

// All scenarios start at once; each row then waits for its own state, and
// what must never be echoed would have come before it.
void TestWorkerEnds::initTestCase()
{
    const QString problem = ts::enterPrivateNamespace();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    for (auto it = scenarios.cbegin(); it != scenarios.cend(); ++it) {
        runs.insert(it.key(), std::make_shared<ScenarioRun>(it.value()));
        QVERIFY2(runs.value(it.key())->valid, qPrintable(it.key()));
    }
    settled.setRemainingTime(25000);
    if (!ts::sanitized) {
        ScenarioRun &starved = *runs.value(starvedRow);
        const pid_t pid = pid_t(starved.child->pid());
        // Set up, waiting for its first start; that start finds no descriptor free.
        QTRY_VERIFY(starved.logFile().contains("WatchDog("));
        int lowestFree = 0;
        while (QFileInfo::exists(u"/proc/%1/fd/%2"_s.arg(pid).arg(lowestFree)))
            ++lowestFree;
        rlimit saved{};
        QCOMPARE(::prlimit(pid, RLIMIT_NOFILE, nullptr, &saved), 0);
        const rlimit none{ rlim_t(lowestFree), saved.rlim_max };
        QCOMPARE(::prlimit(pid, RLIMIT_NOFILE, &none, nullptr), 0);
        QTRY_VERIFY_WITH_TIMEOUT(starved.echo().contains("Proc state is 0, worker not started"), ts::waitMs);
        QCOMPARE(::prlimit(pid, RLIMIT_NOFILE, &saved, nullptr), 0);
    }

    ScenarioRun &stopped = *runs.value(u"stopped by the watchdog"_s);
    QTRY_VERIFY_WITH_TIMEOUT(!stopped.starts().isEmpty(), ts::waitMs);
    QCOMPARE(::kill(pid_t(stopped.child->pid()), SIGTERM), 0);
    QTRY_VERIFY(stopped.child->process.state() == QProcess::NotRunning);
}

void TestWorkerEnds::workerEnds_data()
{
    QTest::addColumn<QStringList>("starts");     // the first starts' arguments, in order
    QTest::addColumn<bool>("versionKept");
    QTest::addColumn<QList<QByteArray>>("lines"); // in the log file, in this order
    QTest::addColumn<QList<QByteArray>>("never"); // echoed at no time

    const QStringList altThenDefault{ u"--alt --cpu"_s, u"--cpu"_s };
    const QList<QByteArray> startFault{ errorFrom, failedToStart, willRollBack, rollingBack };
    const QList<QByteArray> exitFault{ crashed, willRollBack, rollingBack };
    QTest::newRow("not executable") << QStringList{ u"--cpu"_s } << false << startFault << QList<QByteArray>();
    // The kernel refuses these with ENOEXEC or ENOENT (the loader, which the
    // message names).
    for (const char *row : { "ELF header and junk", "ELF of another machine", "ELF cut after its header" })
        QTest::newRow(row) << QStringList{ u"--cpu"_s } << false << startFault << QList<QByteArray>{ "no rollback" };
    QTest::newRow("ELF loader missing") << QStringList{ u"--cpu"_s } << false
            << QList<QByteArray>{ "/render_worker: execvp: No such file or directory (its interpreter /nonexistent/ld.so does not exist)",
                                  failedToStart, willRollBack, rollingBack } << QList<QByteArray>{ "no rollback" };
    QTest::newRow("override missing") << QStringList{ u"--cpu"_s } << true
                                      << QList<QByteArray>{ "[DD default  ] Invalid override path:  \"" }
                                      << QList<QByteArray>{ "rollback" };
    // The toolkit reports a crash as an error first: one rollback, from there.
    QTest::newRow("crash by a signal") << altThenDefault << false
                                       << QList<QByteArray>{ errorFrom, crashedAfterStart, willRollBack, rollingBack }
                                       << QList<QByteArray>{ "Procces crashed" };
    QTest::newRow("exit 1") << altThenDefault << false << exitFault << QList<QByteArray>{ "Procces error" };
    QTest::newRow("exit 0") << QStringList{ u"--alt --cpu"_s, u"--alt --cpu"_s } << true << QList<QByteArray>()
                            << QList<QByteArray>{ "rollback", "crashed", "error" };
    QTest::newRow("stopped by the watchdog") << QStringList{ u"--alt --cpu"_s } << true
                                             << QList<QByteArray>{ "[DD default  ] \"Stopping Solvane Render Worker.\"" }
                                             << QList<QByteArray>{ "rollback", "crashed", "Ignore errors" };
    QTest::newRow(qPrintable(starvedRow)) << QStringList{ u"--alt --cpu"_s } << true
                                                 << QList<QByteArray>() << QList<QByteArray>{ "Will attempt" };
    QTest::newRow("default missing") << QStringList() << false
                                     << QList<QByteArray>{ failedToStart, willRollBack, atBase, failedToStart, willRollBack, atBase }
                                     << QList<QByteArray>{ "Rolling back" };
    QTest::newRow("default missing, override not executable")
            << QStringList() << false << QList<QByteArray>{ failedToStart, willRollBack, rollingBack, failedToStart, atBase }
            << QList<QByteArray>();
}

void TestWorkerEnds::workerEnds()
{
    QFETCH(QStringList, starts);
    QFETCH(bool, versionKept);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QList<QByteArray>, never);
    const QString row = QString::fromUtf8(QTest::currentDataTag());
    if (ts::sanitized && row == starvedRow)
        QSKIP("The sanitizers' runtime cannot run out of descriptors");
    const ScenarioRun &run = *runs.value(row);

    const auto linesInOrder = [&] {
        qsizetype at = 0;
        for (const QByteArray &line : lines) {
            if ((at = run.logFile().indexOf(line, at)) < 0)
                return false;
            at += line.size();
        }
        return true;
    };
    const auto shown = [&] {
        return run.starts().size() >= starts.size() && linesInOrder() && QFileInfo::exists(run.versionFile) == versionKept;
    };
    QVERIFY2(QTest::qWaitFor(shown, int(settled.remainingTime())) || shown(),
             qPrintable(run.starts().join(u'|') + u'\n' + QString::fromUtf8(run.logFile())));
    QCOMPARE(run.starts().mid(0, starts.size()), starts);
    QCOMPARE(QFileInfo::exists(run.versionFile), versionKept);
    for (const QByteArray &text : never)
        QVERIFY2(!run.echo().contains(text), text.constData());
}

QTEST_GUILESS_MAIN(TestWorkerEnds)
#include "tst_workerends.moc"
