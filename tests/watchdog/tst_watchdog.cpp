// The watchdog: which workers it starts, restarts and stops, and where from
// (the version file), run inside the test with short delays; then the real
// executable installed and launched as admins do, in a private namespace.

#include "resourcefolder.h"
#include "service.h"
#include "settingsstorage.h"
#include "testsupport.h"

#include <optional>

namespace {

const QString workerName = u"Solvane Test Render Worker"_s;

// The service as createApplication sets it up, with the staged worker and
// resource folder, no delay before the first start and the test's restart
// delay (the product's for -1), which nothing the service reads can replace.
class TestService : public Service
{
public:
    TestService(const QString &worker, const QString &resources, int restartDelay)
        : Service(workerName, 1, arguments, nullptr), restartDelay(restartDelay)
    {
        appPath = worker;
        appName = QFileInfo(worker).baseName();
        dataPath = QDir(resources);
    }
    using Service::pause;
    using Service::start;
    using Service::stop;

protected:
    int startDelayMs() const override { return 0; }
    int restartDelayMs() const override { return restartDelay >= 0 ? restartDelay : Service::restartDelayMs(); }

private:
    const int restartDelay;
    static inline char program[] = "tst_watchdog";
    static inline char *arguments[] = { program, nullptr };
};

// Puts a program writable by others in the place of target as the next
// start begins: after the watchdog judged target, before the exec.
class SwapAtStart
{
public:
    SwapAtStart(const QString &target, const QByteArray &program)
    {
        paths = { target + u".swapped"_s, target };
        const QByteArray replacement = QFile::encodeName(paths.first);
        valid = ts::writeFile(paths.first, program) && ::chown(replacement.constData(), 0, 65534) == 0
            && ::chmod(replacement.constData(), 0775) == 0;
        QLoggingCategory::setFilterRules(u"default.debug=true"_s);
        previous = qInstallMessageHandler(handle);
    }
    ~SwapAtStart()
    {
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(u"default.debug=false"_s);
        paths = {};
    }
    Q_DISABLE_COPY_MOVE(SwapAtStart)
    bool valid = false;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (message.startsWith(u"Starting process.."_s) && !paths.first.isEmpty()) {
            ::rename(QFile::encodeName(paths.first).constData(), QFile::encodeName(paths.second).constData());
            paths = {};
        }
        if (type != QtDebugMsg)
            previous(type, context, message);
    }
    static inline std::pair<QString, QString> paths;
    static inline QtMessageHandler previous = nullptr;
};

} // namespace

class TestWatchdog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { stage.reset(); }
    void supervision_data();
    void supervision();
    void installedDaemon_data();
    void installedDaemon();

private:
    std::unique_ptr<ts::Installation> stage;
    QString worker;
    ts::DevLog devLog;
};

void TestWatchdog::initTestCase()
{
    const QString problem = ts::enterPrivateNamespace();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(devLog.bind());
    // Log folders under /var/log are made and judged in a /var/log of the test's own.
    QCOMPARE(::mount("tmpfs", "/var/log", "tmpfs", MS_NOSUID, "mode=755"), 0);
    // The service's debug output tells what a failed case did; the rest is noise.
    QLoggingCategory::setFilterRules(u"default.debug=false"_s);
}

void TestWatchdog::init()
{
    stage = std::make_unique<ts::Installation>(QStringLiteral(WATCHDOG_PATH), QStringLiteral(RENDER_WORKER_PATH));
    QVERIFY(stage->valid);
    worker = QFileInfo(stage->executable).path() + u"/render_worker"_s;
    // A second installation below the resource folder, told apart by its first
    // argument, that starts a helper of its own first.
    QVERIFY(stage->addWorker(u"alt"_s, "#!/bin/sh\nsleep 30 >/dev/null 2>&1 &\necho $! >> '" + QFile::encodeName(stage->path(u"helpers"_s))
                                 + "'\nexec '%1' --alt \"$@\"\n", 0500, false));
}

// The workers the settings enable, scripted through the environment, and a
// version file: the arguments of the first starts; the version file stays. A
// file or folder below the resource folder may be tampered with: then it is
// refused, and the refusal reported. An action may follow the starts.
void TestWatchdog::supervision_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QStringList>("starts");
    // "", "pause", "stop", "wait" (with the product's restart delay) or
    // "three runs" (each leaving a helper in a session of its own)
    QTest::addColumn<QString>("action");
    // "<how> <path below the resource folder>": "owner" given to nobody,
    // "group" given to a group of others and writable by it, "acl" writable
    // by nobody through its access ACL, "hardlink" with a second link,
    // "symlink" replaced by root's link to it, "swap" replaced by a program
    // writable by others after it was judged, as its start begins.
    QTest::addColumn<QString>("tamper");
    const QByteArray both = "[worker]\nworkerCpu=true\nworkerGpu=true\n";
    QTest::newRow("gpu") << "[worker]\nworkerCpu=false\nworkerGpu=true\n"_ba << QStringList() << ""_ba << QStringList{ "--gpu" } << "" << "";
    QTest::newRow("version CR LF") << ""_ba << QStringList() << "%1/alt\r\nmore"_ba << QStringList{ "--alt --cpu" } << "" << "";
    QTest::newRow("version nowhere") << ""_ba << QStringList() << "nowhere"_ba << QStringList{ "--cpu" } << "" << "";
    QTest::newRow("one of both crashes") << both << QStringList{ "GPU_CRASH_AFTER_MS=0" } << "alt"_ba
                                         << QStringList{ "--alt --cpu", "--alt --gpu --no-download", "--alt --gpu --no-download" } << "" << "";
    // Each restart waits for its own worker's delay, not for the other's.
    QTest::newRow("restart delay") << both << QStringList{ "CPU_EXIT_AFTER_MS=0", "GPU_EXIT_AFTER_MS=4000" } << ""_ba
                                   << QStringList{ "--cpu", "--gpu --no-download" } << "wait" << "";
    QTest::newRow("both, paused") << both << QStringList() << ""_ba << QStringList{ "--cpu", "--gpu --no-download" } << "pause" << "";
    QTest::newRow("version, stopped") << ""_ba << QStringList() << "alt/"_ba << QStringList{ "--alt --cpu" } << "stop" << "";
    QTest::newRow("helpers leave the session") << ""_ba << QStringList{ "EXIT_AFTER_MS=300", "DAEMON_HELPER=1" } << ""_ba
                                               << QStringList{ "--cpu", "--cpu", "--cpu" } << "three runs" << "";
    QTest::newRow("helpers leave the session, both") << both << QStringList{ "CPU_EXIT_AFTER_MS=300", "DAEMON_HELPER=1" } << ""_ba
                                                     << QStringList{ "--cpu", "--gpu --no-download" } << "three runs" << "";
    const QString altWorker = u"alt/Solvane Worker/bin/render_worker"_s;
    const std::pair<const char *, QString> tampered[] = {
        { "worker of another user", u"owner "_s + altWorker },
        { "worker writable by its group", u"group "_s + altWorker },
        { "worker with a second link", u"hardlink "_s + altWorker },
        { "worker in a folder of another user", u"owner alt/Solvane Worker/bin"_s },
        { "worker below a folder writable by its group", u"group alt"_s },
        { "worker below a folder a user may write through its ACL", u"acl alt"_s },
        { "worker swapped after its judgement", u"swap "_s + altWorker },
        { "version of another user", u"owner render_worker.version"_s },
        { "version through root's link", u"symlink render_worker.version"_s },
        { "version in a folder of another user", u"owner ."_s },
    };
    for (const auto &[row, tamper] : tampered)
        QTest::newRow(row) << ""_ba << QStringList() << "alt"_ba << QStringList{ "--cpu" } << "" << tamper;
}

void TestWatchdog::supervision()
{
    QFETCH(QByteArray, settings);
    QFETCH(QStringList, script);
    QFETCH(QByteArray, version);
    QFETCH(QStringList, starts);
    QFETCH(QString, action);
    QFETCH(QString, tamper);
    const ts::SystemScopeRedirect system;
    storeResourceFolder(stage->resources);
    // The workers inherit this process's environment, for this row only.
    script << u"RECORD="_s + stage->record;
    const auto unset = qScopeGuard([&] {
        for (const QString &variable : std::as_const(script))
            qunsetenv(qPrintable(u"RENDER_WORKER_"_s + variable.section(u'=', 0, 0)));
    });
    for (const QString &variable : std::as_const(script))
        qputenv(qPrintable(u"RENDER_WORKER_"_s + variable.section(u'=', 0, 0)), QFile::encodeName(variable.section(u'=', 1)));
    QVERIFY(ts::writeFile(stage->resources + u"/settings.conf"_s, settings));
    const QString versionFile = stage->resources + u"/render_worker.version"_s;
    if (!version.isEmpty())
        QVERIFY(ts::writeFile(versionFile, QString::fromUtf8(version).replace(u"%1"_s, stage->resources).toUtf8()));

    std::optional<SwapAtStart> swap;
    if (!tamper.isEmpty()) {
        const QString how = tamper.section(u' ', 0, 0), target = stage->resources + u'/' + tamper.section(u' ', 1);
        const QByteArray file = QFile::encodeName(target);
        if (how == u"owner")
            QCOMPARE(::chown(file.constData(), 65534, 65534), 0);
        else if (how == u"group")
            QVERIFY(::chown(file.constData(), 0, 65534) == 0 && ::chmod(file.constData(), (ts::modeOf(target) & 07777) | S_IWGRP) == 0);
        else if (how == u"hardlink")
            QCOMPARE(::link(file.constData(), QFile::encodeName(stage->path(u"second link"_s)).constData()), 0);
        else if (how == u"symlink")
            QVERIFY(QFile::rename(target, target + u".real"_s) && QFile::link(target + u".real"_s, target));
        else if (how == u"acl")
            QVERIFY2(QProcess::execute(u"setfacl"_s, { u"-m"_s, u"u:65534:rwx"_s, target }) == 0,
                     "setfacl failed: package acl, and a temporary folder on a file system with ACLs");
        else if (how == u"swap")
            QVERIFY(swap.emplace(target, "#!/bin/sh\nexec '" + QFile::encodeName(worker) + "' --swapped \"$@\"\n").valid);
        const QString refused = tamper.contains(u" alt"_s) ? stage->resources + u"/alt/Solvane Worker/bin/render_worker"_s : versionFile;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"^Refused "_s + QRegularExpression::escape(refused) + u": "_s));
    }
    auto service = std::make_unique<TestService>(worker, stage->resources, action == u"wait" ? -1 : 50);
    // Started before the service: a restart 5 s after the worker's end comes
    // 5 s after this at the earliest, however loaded the machine.
    QElapsedTimer clock;
    clock.start();
    service->start();
    // Two workers started together record theirs in either order. A restart
    // after 50 ms comes well within the time; one after the product's 5 s not.
    QVERIFY2(QTest::qWaitFor([&] { return stage->workerEvents(u"start"_s).size() >= starts.size(); }, 4000),
             qPrintable(stage->workerEvents(u"start"_s).join(u'\n')));
    QStringList started = stage->workerEvents(u"start"_s).mid(0, starts.size());
    for (QString &line : started)
        line = line.section(u' ', 2);
    started.sort();
    starts.sort();
    QCOMPARE(started, starts);
    // A start the exec refused, as it refuses a program that is no longer
    // the one judged, rolls back.
    QCOMPARE(QFileInfo::exists(versionFile), !version.isEmpty() && !tamper.startsWith(u"swap "_s));
    // A worker prints where the watchdog prints, in a session of its own
    // that signals to the watchdog's group (Ctrl-C) do not reach.
    for (const QString &line : stage->workerEvents(u"start"_s)) {
        const QString pid = line.section(u' ', 1, 1);
        if (!ts::processGone(pid.toLongLong())) {
            QCOMPARE(QFileInfo(u"/proc/"_s + pid + u"/fd/1"_s).symLinkTarget().section(u'/', -1),
                     QFileInfo(u"/proc/self/fd/1"_s).symLinkTarget().section(u'/', -1));
            QCOMPARE(::getsid(pid_t(pid.toLongLong())), pid_t(pid.toLongLong()));
        }
    }
    if (action == u"wait") {
        // 5 s, and 3 s for a loaded machine to start the worker twice.
        QVERIFY2(QTest::qWaitFor([&] { return stage->workerEvents(u"start"_s).size() > starts.size(); }, 8000), "no restart within 8 s");
        QVERIFY2(clock.elapsed() > 4900, qPrintable(u"restarted after %1 ms"_s.arg(clock.elapsed())));
    } else if (action == u"three runs") {
        // The CPU worker's runs end; the GPU worker's run, if any, does not.
        QTRY_VERIFY(stage->workerEvents(u"exit"_s).size() >= 3);
        const QList<qint64> ended = stage->helpers(u"CPU"_s, 3);
        QVERIFY2(ended.size() >= 2, ts::readFile(stage->record).constData());
        for (const qint64 helper : ended)
            QTRY_VERIFY2_WITH_TIMEOUT(ts::processGone(helper), qPrintable(u"helper %1 lives"_s.arg(helper)), ts::waitMs);
        for (const qint64 helper : stage->helpers(u"GPU"_s))
            QVERIFY2(!ts::processGone(helper), "the running GPU worker's helper was ended");
    } else if (!action.isEmpty()) {
        action == u"pause" ? service->pause() : service->stop();
        QTRY_COMPARE(stage->processes(u"render_worker"_s), QList<qint64>());
        for (const QByteArray &helper : ts::readFile(stage->path(u"helpers"_s)).split('\n'))
            QTRY_VERIFY_WITH_TIMEOUT(ts::processGone(helper.toLongLong()), ts::waitMs);
        QCOMPARE(QFileInfo::exists(versionFile), !version.isEmpty());
    }
}

// Installed and launched as admins do, with a settings.conf of nobody's that
// the daemon leaves as it was: log files in the default folder (one named in
// such a file is refused, one under /var/log used only when it exists and can
// be written), old ones gone; a line break in a value never makes an entry;
// settings lost for want of room in /run said to be. Redirected: the worker
// crashes, is rolled back, never gets systemd's variables, dies with the daemon.
void TestWatchdog::installedDaemon_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QString>("machine"); // "" or what is made of it first: "/var/log/watchdog", "/run" full,
                                          // "read-only /var/log/watchdog" (a read-only mount, as in a sandbox)
    QTest::addColumn<QString>("logs");    // folder of the day's log file; %1 the resource folder
    QTest::addColumn<QString>("entry");   // of the system log, which must come
    QTest::addColumn<bool>("redirected"); // by a version file to a worker that crashes: the whole supervision is watched
    QTest::newRow("as admins do") << "; kept\n[common]\nlogLevel=5\ndaysToKeepLogs=1\nlogLocation=/var/tmp/elsewhere\n"
                                     "[manager]\nproxyPass=secret\nfont=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x5QFont)\n"_ba
                                  << "" << "%1/Logs" << "<30>.*Starting" << true;
    QTest::newRow("folder under /var/log") << "[common]\nlogLocation=/var/log/nginx\n"_ba << "" << "%1/Logs"
                                           << "<27>.*Refused /var/log/nginx: /var/log/nginx does not exist" << false;
    QTest::newRow("existing folder under /var/log") << "[common]\nlogLevel=5\nlogLocation=/var/log/watchdog\n"_ba << "/var/log/watchdog"
                                                    << "/var/log/watchdog" << "<30>.*Starting" << false;
    QTest::newRow("read-only folder under /var/log") << "[common]\nlogLocation=/var/log/watchdog\n"_ba << "read-only /var/log/watchdog"
                                                     << "%1/Logs" << "<27>.*Refused /var/log/watchdog: /var/log/watchdog cannot be written: Read-only file system" << false;
    // A literal "\x0a" shows apart from an escaped line break.
    QTest::newRow("line breaks") << "[common]\nlogLocation=/var/tmp/a\\\\x0a\\nsshd[99]: Accepted publickey for root\n"_ba << "" << "%1/Logs"
                                 << "<27>.*Refused /var/tmp/a\\\\\\\\x0a\\\\nsshd\\[99\\]: Accepted" << false;
    QTest::newRow("/run full") << "[worker]\nworkerCpu=true\nworkerGpu=true\n"_ba << "/run" << ""
                               << "<27>.*settings.conf not used, defaults apply: it could not be read" << false;
}

void TestWatchdog::installedDaemon()
{
    QFETCH(QByteArray, settings);
    QFETCH(QString, machine);
    QFETCH(QString, logs);
    QFETCH(QString, entry);
    QFETCH(bool, redirected);
    logs = logs.arg(stage->resources);
    const qsizetype before = devLog.entries().size();
    const auto entries = [&] { return devLog.entries().mid(before); };
    const QString oldLog = stage->resources + u"/Logs/watchdog_render_worker_01_Jan_2020.log"_s;
    QVERIFY(ts::writeFile(oldLog, "old\n"));
    const QString settingsFile = stage->resources + u"/settings.conf"_s;
    QVERIFY(ts::writeFile(settingsFile, settings) && ::chown(QFile::encodeName(settingsFile).constData(), 65534, 65534) == 0
            && ::chmod(QFile::encodeName(settingsFile).constData(), 0666) == 0);
    if (redirected)
        QVERIFY(ts::writeFile(stage->resources + u"/render_worker.version"_s, "alt"));
    // Only the redirected installation crashes; the default one then runs.
    const QString alt = stage->resources + u"/alt/Solvane Worker/bin/render_worker"_s;
    QVERIFY(ts::writeFile(alt, ts::readFile(alt).replace("exec '", "RENDER_WORKER_CRASH_AFTER_MS=300 exec '")));
    QCOMPARE(stage->run({ u"-i"_s }).exitCode, 0);
    stage->env.insert(u"NOTIFY_SOCKET"_s, u"@watchdog-test-notify"_s);
    stage->env.insert(u"WATCHDOG_USEC"_s, u"60000000"_s);
    stage->env.insert(u"WATCHDOG_PID"_s, u"1"_s);
    // /run full: the resource folder comes from the system-wide record then,
    // as resources.ini cannot be read either.
    const QString record = u"/etc/xdg/Morvek/Solvane Network Rendering.conf"_s;
    const QString folder = machine.section(u' ', -1);
    const auto restore = qScopeGuard([&] {
        stage->killAll();
        QFile::remove(record);
        if (machine == u"/run" || machine.startsWith(u"read-only "_s))
            ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
        if (!machine.isEmpty() && machine != u"/run")
            QDir(folder).removeRecursively();
    });
    if (machine == u"/run") {
        QVERIFY(ts::writeFile(record, "[General]\nresources=" + QFile::encodeName(stage->resources) + '\n'));
        QVERIFY(ts::mountFullRun("16k"));
    } else if (!machine.isEmpty()) {
        const QByteArray path = QFile::encodeName(folder);
        QVERIFY(QDir().mkpath(folder));
        if (machine.startsWith(u"read-only "_s))
            QVERIFY(::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) == 0
                    && ::mount(nullptr, path.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0);
    }
    QCOMPARE(stage->run({}).exitCode, 0);
    QTRY_VERIFY2(!entries().filter(QRegularExpression(entry)).isEmpty(), qPrintable(entries().join(u'\n')));
    QVERIFY(!QFileInfo::exists(u"/var/log/nginx"_s));
    QVERIFY(!QFileInfo::exists(u"/var/tmp/elsewhere"_s));
    QCOMPARE(ts::readFile(settingsFile), settings);
    QCOMPARE(QFileInfo(settingsFile).ownerId(), 65534u);
    const auto logFiles = [&] {
        return logs.isEmpty() ? QStringList() : QDir(logs).entryList({ u"watchdog_render_worker_*"_s }, QDir::Files);
    };
    QTRY_VERIFY(logs.isEmpty() || !logFiles().filter(QRegularExpression(u"^(?!.*_01_Jan_2020)"_s)).isEmpty());
    // No line of another program's shape, in the system log or the log files.
    QVERIFY2(entries().filter(QRegularExpression(u"^<\\d+>[^:]*: sshd"_s)).isEmpty(), qPrintable(entries().join(u'\n')));
    for (const QString &file : logFiles())
        QVERIFY(!ts::readFile(logs + u'/' + file).contains("\nsshd"));
    if (!redirected) {
        // A reload judges the settings again; a refusal is told once all the same.
        QCOMPARE(::kill(pid_t(stage->processes(QFileInfo(stage->executable).fileName()).value(0)), SIGHUP), 0);
        QTRY_VERIFY(!entries().filter(u"Reloading"_s).isEmpty());
        QCOMPARE(entries().filter(u"Refused"_s).size(), entry.contains(u"Refused"_s) ? 1 : 0);
        return;
    }

    QTRY_VERIFY_WITH_TIMEOUT(entries().filter(u"solvanerenderworker["_s).filter(u"Started with PID"_s).size() == 1, ts::waitMs);
    // One worker runs now, and again after the crash and the rollback: the
    // daemon then holds the descriptors it holds now.
    const qint64 daemon = stage->processes(QFileInfo(stage->executable).fileName()).value(0);
    const qsizetype held = ts::openFiles(daemon);
    // A control connection open while the worker restarts is not the worker's.
    const int connection = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address{ AF_UNIX, "/var/tmp/solvanerenderworker.qtservice" };
    QCOMPARE(::connect(connection, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    for (const char *expected : { "<28>.*runs from the version override", "<27>.*was killed by signal", "<28>.*Rolled back" })
        QTRY_VERIFY(!entries().filter(QRegularExpression(QLatin1String(expected))).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(ts::processGone(ts::readFile(stage->path(u"helpers"_s)).split('\n').constFirst().toLongLong()), ts::waitMs);
    QCOMPARE(logFiles().size(), 1); // the old one gone
    QTRY_VERIFY_WITH_TIMEOUT(stage->workerEvents(u"start"_s).size() == 2, ts::waitMs);
    const QStringList starts = stage->workerEvents(u"start"_s);
    QVERIFY(starts.constFirst().endsWith(u" --alt --cpu"_s) && starts.constLast().endsWith(u" --cpu"_s));
    QCOMPARE(stage->processes(u"render_worker"_s).size(), 1);
    // Of the worker's descriptors beyond its standard three, none is the
    // daemon's own: only what the test itself was given and passed on.
    const QString workerFiles = u"/proc/%1/fd/"_s.arg(stage->processes(u"render_worker"_s).constFirst());
    for (const QString &fd : QDir(workerFiles).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFileInfo(workerFiles + fd).symLinkTarget().section(u'/', -1);
        QVERIFY2(fd.toInt() <= 2 || target == QFileInfo(u"/proc/self/fd/"_s + fd).symLinkTarget().section(u'/', -1), qPrintable(target));
    }
    ::close(connection);
    QTRY_COMPARE(ts::openFiles(daemon), held);
    const QByteArray environment = ts::readFile(u"/proc/%1/environ"_s.arg(stage->processes(u"render_worker"_s).constFirst()));
    QVERIFY2(environment.contains("RENDER_WORKER_RECORD=") && !environment.contains("NOTIFY_SOCKET=")
                 && !environment.contains("WATCHDOG_USEC=") && !environment.contains("WATCHDOG_PID="), environment.constData());
    const QList<qint64> daemons = stage->processes(QFileInfo(stage->executable).fileName());
    QCOMPARE(daemons.size(), 1);
    QCOMPARE(::kill(pid_t(daemons.constFirst()), SIGKILL), 0);
    QTRY_COMPARE(stage->processes(), QList<qint64>());
}

QTEST_GUILESS_MAIN(TestWatchdog)
#include "tst_watchdog.moc"
