// What the watchdog tells of its workers, over the real executable run as the
// unit runs it (QTSERVICE_RUN=1) with the product's delays: --status and its
// exit code, the status file, the metrics file and the system log. The
// scenarios run side by side, each with a /run (its folder "run") and a
// /var/tmp of its own.

#include "testsupport.h"

#include <poll.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/xattr.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

struct Scenario
{
    QByteArray settings;
    QStringList environment; // NAME=value, for the watchdog and its workers
    QByteArray override;     // the program of a redirected installation ("%1": the default one); none without
    bool metricsLinkFirst = false; // the metrics folder is a link, until refused
    int stopSignal = 0;            // sent to the watchdog once its worker runs
    bool metricsRemoved = false;   // the metrics file is removed once written, and must come back
    // Once the CPU worker runs: settings written and SIGHUP sent (a reload),
    // or the program replaced by a copy, as an upgrade does.
    QByteArray reloadSettings = {};
    bool upgrade = false;
    bool delegated = false;        // the watchdog runs in a cgroup delegated to it, as under systemd
    bool helpers = false;          // every run starts a helper in a session of its own
};

// A cgroup (v2) below this process's, marked delegated as systemd marks a
// unit's with Delegate=yes; empty where there is none to be had.
QString makeDelegatedCgroup()
{
    QString own;
    for (const QByteArray &line : ts::readFile(u"/proc/self/cgroup"_s).split('\n')) {
        if (line.startsWith("0::/"))
            own = QString::fromUtf8(line.mid(3));
    }
    for (const char *mount : { "/sys/fs/cgroup/unified", "/sys/fs/cgroup" }) {
        struct statfs info;
        if (own.isEmpty() || ::statfs(mount, &info) != 0 || info.f_type != CGROUP2_SUPER_MAGIC)
            continue;
        QByteArray folder = QFile::encodeName(QLatin1String(mount) + own) + "/tst_status-XXXXXX";
        if (::mkdtemp(folder.data()) && ::setxattr(folder.constData(), "trusted.delegate", "1", 1, 0) == 0)
            return QFile::decodeName(folder);
        ::rmdir(folder.constData());
    }
    return QString();
}

// New files of a run killed before their rename: the next run removes them.
const QStringList leftovers{ u"metrics/.solvane_render_worker.prom.k1ll3d"_s, u"run/.solvanerenderworker.status.k1ll3d"_s };

const QMap<QString, Scenario> scenarios{
    { u"up"_s, { {}, {}, {}, false, 0, true } },
    { u"exit 1, rolled back"_s,
      { {}, {}, "#!/bin/sh\nRENDER_WORKER_EXIT_AFTER_MS=300 RENDER_WORKER_EXIT_CODE=1 exec %1 --alt \"$@\"\n", false } },
    { u"override not a program"_s, { {}, {}, "no program\n", false } },
    { u"GPU crashes by a signal"_s, { "[worker]\nworkerGpu=true\n", { u"RENDER_WORKER_GPU_CRASH_AFTER_MS=300"_s }, {}, false } },
    { u"exit 0, helpers leave the session, metrics folder a link first"_s,
      { {}, { u"RENDER_WORKER_EXIT_AFTER_MS=300"_s, u"RENDER_WORKER_DAEMON_HELPER=1"_s }, {}, true, 0, false, {}, false, false, true } },
    { u"in a delegated cgroup, GPU helpers leave the session"_s,
      { "[worker]\nworkerGpu=true\n", { u"RENDER_WORKER_GPU_EXIT_AFTER_MS=300"_s, u"RENDER_WORKER_GPU_DAEMON_HELPER=1"_s }, {},
        false, 0, false, {}, false, true, true } },
    { u"stopped"_s, { {}, {}, "#!/bin/sh\nexec %1 --alt \"$@\"\n", false, SIGTERM } },
    { u"killed"_s, { {}, {}, {}, false, SIGKILL } },
    { u"reloaded with the GPU worker and debug lines"_s, { {}, {}, {}, false, 0, false, "[common]\nlogLevel=5\n[worker]\nworkerGpu=true\n" } },
    { u"reloaded with the GPU worker alone"_s, { {}, {}, {}, false, 0, false, "[worker]\nworkerCpu=false\nworkerGpu=true\n" } },
    { u"upgraded while running"_s, { {}, {}, {}, false, 0, false, {}, true } },
};

class ScenarioRun
{
public:
    explicit ScenarioRun(const Scenario &scenario)
        : stage(QStringLiteral(WATCHDOG_PATH), QStringLiteral(RENDER_WORKER_PATH)), metrics(stage.path(u"metrics"_s))
    {
        valid = stage.valid && QDir().mkpath(stage.path(u"run"_s)) && QDir().mkpath(stage.path(u"elsewhere"_s))
            && ts::writeFile(stage.resources + u"/settings.conf"_s, scenario.settings)
            && (scenario.metricsLinkFirst ? QFile::link(stage.path(u"elsewhere"_s), metrics) : QDir().mkpath(metrics))
            // A backslash in its name shows doubled, apart from an escape.
            && (scenario.override.isEmpty() || stage.addWorker(u"a\\lt"_s, scenario.override));
        for (const QString &leftover : leftovers)
            valid = valid && (scenario.metricsLinkFirst || ts::writeFile(stage.path(leftover), "half"));
        for (const QString &variable : scenario.environment)
            stage.env.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
        stage.env.insert(u"RENDER_WORKER_WATCHDOG_METRICS_DIR"_s, metrics);
        QProcessEnvironment daemonEnv = stage.env;
        daemonEnv.insert(u"QTSERVICE_RUN"_s, u"1"_s);
        if (scenario.delegated && (cgroup = makeDelegatedCgroup()).isEmpty())
            return;
        daemon = cgroup.isEmpty() ? std::make_unique<ts::Child>(u"unshare"_s, inNamespace({}), daemonEnv)
                                  : std::make_unique<ts::Child>(u"sh"_s,
                                                                QStringList{ u"-c"_s, u"echo $$ > \"$0/cgroup.procs\" && exec unshare \"$@\""_s,
                                                                             cgroup } + inNamespace({}),
                                                                daemonEnv);
    }
    ~ScenarioRun()
    {
        daemon.reset();
        if (cgroup.isEmpty())
            return;
        ts::writeFile(cgroup + u"/cgroup.kill"_s, "1");
        QTRY_VERIFY(ts::readFile(cgroup + u"/cgroup.events"_s).contains("populated 0"));
        for (const QString &leaf : QDir(cgroup).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            QDir(cgroup).rmdir(leaf);
        QDir().rmdir(cgroup);
    }
    // The executable in a mount namespace whose /run is the folder "run".
    QStringList inNamespace(const QStringList &arguments) const
    {
        return QStringList{ u"--mount"_s, u"--propagation"_s, u"private"_s, u"sh"_s, u"-c"_s,
                            u"mount --bind \"$0\" /run && mount -t tmpfs tmpfs /var/tmp && exec \"$@\""_s,
                            stage.path(u"run"_s), stage.executable } + arguments;
    }
    ts::Run status() { return ts::Child(u"unshare"_s, inNamespace({ u"--status"_s }), stage.env).finish(); }
    QStringList metricsLines() const { return QString::fromUtf8(ts::readFile(metrics + u"/solvane_render_worker.prom"_s)).split(u'\n'); }

    ts::Installation stage;
    const QString metrics;
    std::unique_ptr<ts::Child> daemon; // none where no delegated cgroup could be made
    QString cgroup;
    bool valid = false;
};

// Every pattern matches a whole line of lines, in this order for ordered.
bool allMatch(const QStringList &patterns, const QStringList &lines, bool ordered)
{
    if (ordered && patterns.size() != lines.size())
        return false;
    for (qsizetype i = 0; i < patterns.size(); ++i) {
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(patterns.at(i)));
        if (ordered ? !pattern.match(lines.at(i)).hasMatch() : lines.filter(pattern).isEmpty())
            return false;
    }
    return true;
}

} // namespace

class TestStatus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void status_data();
    void status();
    void cleanupTestCase()
    {
        stopping = true;
        logDrain.join();
    }

private:
    QStringList logEntries()
    {
        const std::lock_guard<std::mutex> hold(logMutex);
        return devLog.entries();
    }

    QMap<QString, std::shared_ptr<ScenarioRun>> runs;
    // The system log is read as entries come, in a thread: its socket queues
    // only ten, the daemons start their workers at the same moment, and the
    // test may then be waiting for a --status.
    ts::DevLog devLog;
    std::mutex logMutex;
    std::atomic<bool> stopping = false;
    std::thread logDrain;
    // Every scenario shows what its row expects by then (the slowest after
    // about 16 s), so a fault fails every row within the test's time-out.
    QDeadlineTimer settled{ 30000 };
};

void TestStatus::initTestCase()
{
    const QString problem = ts::enterPrivateNamespace();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(devLog.bind());
    logDrain = std::thread([this] {
        for (pollfd ready{ devLog.fd, POLLIN, 0 }; !stopping; logEntries())
            ::poll(&ready, 1, 50);
    });
    for (auto it = scenarios.cbegin(); it != scenarios.cend(); ++it) {
        runs.insert(it.key(), std::make_shared<ScenarioRun>(it.value()));
        QVERIFY2(runs.value(it.key())->valid, qPrintable(it.key()));
    }
    settled.setRemainingTime(30000);
}

void TestStatus::status_data()
{
    QTest::addColumn<QStringList>("lines");   // of --status, all and in order; %1 the resource folder
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("metrics"); // lines of the metrics file
    QTest::addColumn<QStringList>("entries"); // of the daemon in the system log; "<priority>text" at that one only
    QTest::addColumn<QByteArray>("statusLine"); // a line of the status file while the scenario runs, if any

    const QString running = u"Solvane Render Worker: running \\(pid \\d+\\) for \\S+"_s;
    const QString cpuUp = u"cpu: up \\(pid \\d+\\) for \\S+, memory and CPU time unknown, "_s;
    QTest::newRow("up") << QStringList{ running, cpuUp + u"0 restarts, default"_s } << 0
                        << QStringList{ u"solvane_render_worker_up{role=\"cpu\"} 1"_s,
                                        u"solvane_render_worker_watchdog_info{version=\"\\d+(\\.\\d+)+\"} 1"_s, u"# TYPE solvane_render_worker_restarts_total counter"_s,
                                        u"solvane_render_worker_restarts_total{role=\"cpu\"} 0"_s, u"solvane_render_worker_rollbacks_total 0"_s,
                                        u"solvane_render_worker_start_time_seconds{role=\"cpu\"} 1\\d{9}\\.\\d{3}"_s }
                        << QStringList{ u"Started with PID: \\d+"_s } << "cpu.state=up"_ba;
    QTest::newRow("exit 1, rolled back") << QStringList{ running, cpuUp + u"1 restart, last exit code 1 at \\d\\d:\\d\\d:\\d\\d, default"_s,
                            u"rollbacks: 1, the last at \\d\\d:\\d\\d:\\d\\d removed %1/render_worker.version"_s }
            << 0 << QStringList{ u"solvane_render_worker_last_exit_code{role=\"cpu\"} 1"_s, u"solvane_render_worker_restarts_total{role=\"cpu\"} 1"_s,
                                 u"solvane_render_worker_rollbacks_total 1"_s }
            << QStringList{ u"The CPU worker \\(PID \\d+\\) exited with code 1 after \\d+ms"_s,
                            u"<28>Rolled back .* CPU worker: removed %1/render_worker.version"_s } << QByteArray();
    QTest::newRow("override not a program")
            << QStringList{ running, cpuUp + u"1 restart, last start failed at \\d\\d:\\d\\d:\\d\\d, default"_s,
                            u"rollbacks: 1, the last at \\d\\d:\\d\\d:\\d\\d removed %1/render_worker.version"_s }
            << 0 << QStringList{ u"solvane_render_worker_rollbacks_total 1"_s }
            << QStringList{ u"<27>The CPU worker could not start from %1/a\\\\\\\\lt/Solvane Worker/bin/render_worker: .*"_s } << QByteArray();
    QTest::newRow("GPU crashes by a signal") << QStringList{ running, cpuUp + u"0 restarts, default"_s,
                            u"gpu: (up \\(pid \\d+\\) for \\S+, memory and CPU time unknown|waiting to restart for \\S+), \\d+ restarts?, "
                               "last killed by signal 11 at \\S+, default"_s }
            << 0 << QStringList{ u"solvane_render_worker_last_exit_signal{role=\"gpu\"} 11"_s, u"solvane_render_worker_last_exit_code{role=\"gpu\"} -1"_s,
                                 u"solvane_render_worker_up{role=\"cpu\"} 1"_s, u"solvane_render_worker_up{role=\"gpu\"} 0"_s }
            << QStringList{ u"The GPU worker \\(PID \\d+\\) was killed by signal 11 after \\d+ms"_s } << "gpu.state=waiting to restart"_ba;
    QTest::newRow("exit 0, helpers leave the session, metrics folder a link first")
            << QStringList{ running, u"cpu: (up \\(pid \\d+\\) for \\S+, memory and CPU time unknown|waiting to restart for \\S+), "
                                     "[1-9]\\d* restarts?, last exit code 0 at \\S+, default"_s }
            << 0 << QStringList{ u"solvane_render_worker_last_exit_code{role=\"cpu\"} 0"_s }
            << QStringList{ u"The CPU worker \\(PID \\d+\\) exited with code 0 after \\d+ms"_s,
                            u"No cgroup for the workers \\(the cgroup .* is not delegated to the service\\): "
                            "the watchdog ends what they leave behind"_s } << QByteArray();
    // The cgroup counts the CPU time; the memory only where the memory
    // controller is given to cgroup v2.
    const QString usage = u"memory (unknown|\\d+\\.\\d [KMG]iB \\(peak \\d+\\.\\d [KMG]iB\\)), CPU time \\d+m?s"_s;
    QTest::newRow("in a delegated cgroup, GPU helpers leave the session")
            << QStringList{ running, u"cpu: up \\(pid \\d+\\) for \\S+, "_s + usage + u", 0 restarts, default"_s,
                            u"gpu: (up \\(pid \\d+\\) for \\S+, "_s + usage + u"|waiting to restart for \\S+), "
                            "[1-9]\\d* restarts?, last exit code 0 at \\S+, default"_s }
            << 0 << QStringList{ u"# TYPE solvane_render_worker_cpu_seconds_total counter"_s,
                                 u"solvane_render_worker_cpu_seconds_total{role=\"cpu\"} \\d+\\.\\d{6}"_s }
            << QStringList{ u"Each worker runs in a cgroup of its own below /sys/fs/cgroup/\\S+/tst_status-\\w{6}"_s } << QByteArray();
    QTest::newRow("stopped")
            << QStringList{ u"Solvane Render Worker: not running; the last state, recorded by pid \\d+ at \\d\\d:\\d\\d:\\d\\d:"_s,
                            u"cpu: stopped since \\d\\d:\\d\\d:\\d\\d, 0 restarts, override %1/a\\\\\\\\lt"_s }
            << 3 << QStringList{ u"solvane_render_worker_up{role=\"cpu\"} 0"_s }
            << QStringList{ u"The CPU worker \\(PID \\d+\\) was stopped after \\S+"_s } << "cpu.state=stopped"_ba;
    // What a daemon killed outright left on record is history: its worker may
    // have ended with it, or runs on unwatched.
    QTest::newRow("killed")
            << QStringList{ u"Solvane Render Worker: not running; the last state, recorded by pid \\d+ at \\d\\d:\\d\\d:\\d\\d:"_s,
                            u"cpu: unknown, its daemon is gone; last recorded up \\(pid \\d+\\) since \\d\\d:\\d\\d:\\d\\d, "
                            "0 restarts, default"_s } << 3 << QStringList() << QStringList{ u"Started with PID: \\d+"_s } << QByteArray();
    // The CPU worker runs on: no restart; the log files follow the new level.
    QTest::newRow("reloaded with the GPU worker and debug lines")
            << QStringList{ running, cpuUp + u"0 restarts, default"_s, u"gpu: up \\(pid \\d+\\) for \\S+, memory and CPU time unknown, 0 restarts, default"_s }
            << 0 << QStringList{ u"solvane_render_worker_up{role=\"gpu\"} 1"_s, u"solvane_render_worker_restarts_total{role=\"cpu\"} 0"_s }
            << QStringList{ u"Reloading Solvane Render Worker\\."_s } << QByteArray();
    QTest::newRow("reloaded with the GPU worker alone")
            << QStringList{ running, u"cpu: stopped for \\S+, 0 restarts, default"_s, u"gpu: up \\(pid \\d+\\) for \\S+, memory and CPU time unknown, 0 restarts, default"_s }
            << 0 << QStringList{ u"solvane_render_worker_up{role=\"cpu\"} 0"_s, u"solvane_render_worker_up{role=\"gpu\"} 1"_s }
            << QStringList{ u"The CPU worker \\(PID \\d+\\) was stopped after \\S+"_s } << QByteArray();
    QTest::newRow("upgraded while running")
            << QStringList{ running, cpuUp + u"0 restarts, default"_s, u"restart pending: (\\d+\\.){3}\\d+ installed, (\\d+\\.){3}\\d+ running"_s }
            << 0 << QStringList{ u"solvane_render_worker_restart_pending\\{running=\"[\\d.]+\",installed=\"[\\d.]+\"\\} 1"_s }
            << QStringList{ u"A restart is pending: [\\d.]+ is installed at \\S+/farm_watchdog/render_worker_watchdog, [\\d.]+ runs; .*"_s } << QByteArray();
}

void TestStatus::status()
{
    QFETCH(QStringList, lines);
    QFETCH(int, exitCode);
    QFETCH(QStringList, metrics);
    QFETCH(QStringList, entries);
    QFETCH(QByteArray, statusLine);
    const QString row = QString::fromUtf8(QTest::currentDataTag());
    ScenarioRun &run = *runs.value(row);
    const Scenario &scenario = scenarios.value(row);
    if (!run.daemon)
        QSKIP("No cgroup v2 to delegate here");
    const QString resources = QRegularExpression::escape(run.stage.resources);
    const QString ident = u"solvanerenderworker\\[%1\\]: "_s.arg(run.daemon->pid()), entry = u"<\\d+>"_s + ident;
    const auto logged = [&](const QString &text) {
        const QString pattern = text.startsWith(u'<') ? QString(text).insert(text.indexOf(u'>') + 1, ident) : entry + text;
        return logEntries().filter(QRegularExpression(u'^' + pattern)).size();
    };

    if (scenario.metricsLinkFirst) {
        QTRY_COMPARE_WITH_TIMEOUT(logged(u"The metrics file is not written"_s), 1, ts::waitMs);
        QVERIFY(QFile::remove(run.metrics) && QDir().mkdir(run.metrics));
    }
    if (!scenario.reloadSettings.isEmpty() || scenario.upgrade || scenario.stopSignal)
        QTRY_VERIFY_WITH_TIMEOUT(ts::readFile(run.stage.path(u"run/solvanerenderworker.status"_s)).contains("\ncpu.state=up\n"), ts::waitMs);
    if (scenario.upgrade) {
        QVERIFY(QFile::copy(run.stage.executable, run.stage.executable + u".new"_s));
        QCOMPARE(::rename(QFile::encodeName(run.stage.executable + u".new"_s).constData(),
                          QFile::encodeName(run.stage.executable).constData()), 0);
    } else if (!scenario.reloadSettings.isEmpty()) {
        QVERIFY(ts::writeFile(run.stage.resources + u"/settings.conf"_s, scenario.reloadSettings));
        QCOMPARE(::kill(pid_t(run.daemon->pid()), SIGHUP), 0);
    }
    if (scenario.stopSignal) {
        QCOMPARE(::kill(pid_t(run.daemon->pid()), scenario.stopSignal), 0);
        QTRY_VERIFY(run.daemon->process.state() == QProcess::NotRunning);
    }
    for (QString &line : lines)
        line.replace(u"%1"_s, resources);
    ts::Run shown;
    const auto shownAsExpected = [&] {
        shown = run.status();
        return shown.exitCode == exitCode && allMatch(lines, shown.out.split(u'\n', Qt::SkipEmptyParts), true);
    };
    while (!shownAsExpected() && !settled.hasExpired())
        QTest::qWait(250);
    QVERIFY2(shownAsExpected(), qPrintable(u"exit code %1:\n"_s.arg(shown.exitCode) + shown.out + shown.err));
    QCOMPARE(ts::modeOf(run.stage.path(u"run/solvanerenderworker.status"_s)) & 07777, mode_t(0644));
    if (!statusLine.isEmpty()) {
        // Shown by the time every scenario has settled, and then within a
        // restart's cycle.
        const QByteArray line = '\n' + statusLine + '\n';
        QVERIFY2(QTest::qWaitFor([&] { return ts::readFile(run.stage.path(u"run/solvanerenderworker.status"_s)).contains(line); },
                                 int(std::max<qint64>(settled.remainingTime(), 6000))),
                 line.constData());
    }
    QTRY_VERIFY2(allMatch(metrics, run.metricsLines(), false), qPrintable(run.metricsLines().join(u'\n')));
    QCOMPARE(ts::modeOf(run.metrics + u"/solvane_render_worker.prom"_s) & 07777, mode_t(0644));
    QCOMPARE(ts::modeOf(run.stage.resources + u"/Logs"_s), mode_t(S_IFDIR | 01777)); // every user's programs log there
    for (const QString &text : std::as_const(entries))
        QTRY_VERIFY2(logged(QString(text).replace(u"%1"_s, resources)) > 0, qPrintable(text));
    if (scenario.reloadSettings.contains("logLevel=5")) {
        const auto debugLogged = [&] {
            const QDir logs(run.stage.resources + u"/Logs"_s);
            const QStringList files = logs.entryList(QDir::Files);
            return !files.isEmpty() && ts::readFile(logs.filePath(files.constFirst())).contains("Reloading Solvane Render Worker.");
        };
        QTRY_VERIFY2(debugLogged(), "the reload's debug line is not in the log file");
    }
    // Each end once; a refused metrics folder reported once and never followed.
    QStringList ends = logEntries().filter(QRegularExpression(entry + u"The \\w+ worker \\(PID \\d+\\) (exited|was)"_s));
    for (QString &end : ends) {
        // At the priority of its kind.
        QVERIFY2(end.contains(QRegularExpression(u"^(<30>.*(code 0 |stopped)|<28>.*code -?[1-9]|<27>.*killed by signal)"_s)), qPrintable(end));
        end = end.section(u"(PID "_s, 1).section(u')', 0, 0);
    }
    QCOMPARE(QSet<QString>(ends.cbegin(), ends.cend()).size(), ends.size());
    QCOMPARE(logged(u"The metrics file is not written"_s), scenario.metricsLinkFirst ? 1 : 0);
    QVERIFY(QDir(run.stage.path(u"elsewhere"_s)).isEmpty());
    for (const QString &leftover : leftovers)
        QVERIFY2(!QFileInfo::exists(run.stage.path(leftover)), qPrintable(leftover));
    // Rewritten while the watchdog runs, also when nothing changes.
    if (scenario.metricsRemoved) {
        QVERIFY(QFile::remove(run.metrics + u"/solvane_render_worker.prom"_s));
        QTRY_VERIFY_WITH_TIMEOUT(allMatch(metrics, run.metricsLines(), false), 15000);
    }
    if (scenario.helpers) {
        // Recorded before the third end, a helper is one of an ended run's; the
        // first two runs' are reaped by then where the watchdog adopted them.
        while (run.stage.workerEvents(u"exit"_s).size() < 3 && !settled.hasExpired())
            QTest::qWait(250);
        QVERIFY2(run.stage.workerEvents(u"exit"_s).size() >= 3, "no third end");
        const QString role = scenario.settings.contains("workerGpu") ? u"GPU"_s : u"CPU"_s;
        const QList<qint64> helpers = run.stage.helpers(role, 3), reaped = run.cgroup.isEmpty() ? run.stage.helpers(role, 2) : QList<qint64>();
        QVERIFY2(helpers.size() >= 2, ts::readFile(run.stage.record).constData());
        for (const qint64 helper : helpers)
            QTRY_VERIFY2_WITH_TIMEOUT(reaped.contains(helper) ? !QFileInfo::exists(u"/proc/%1"_s.arg(helper)) : ts::processGone(helper),
                                      qPrintable(u"helper %1 is left"_s.arg(helper)), 2000);
    }
}

QTEST_GUILESS_MAIN(TestStatus)
#include "tst_status.moc"
