// The watchdog: which workers it starts, restarts and stops, and where from
// (the version file), run inside the test with short delays; then the real
// executable installed and launched as admins do, in a private namespace.

#include "deadlinetimer.h"
#include "resourcefolder.h"
#include "service.h"
#include "settingsstorage.h"
#include "testsupport.h"


namespace {

const QString workerName = u"Solvane Test Render Worker"_s;

// The service with its operations and fields opened up, set up as
// createApplication sets it up, but with the staged worker, resource folder
// and delays of the test's choosing (the product's restart delay for -1).
class TestService : public Service
{
public:
    TestService(const QString &worker, const QString &resources, int restartDelay)
        : Service(workerName, 1, arguments, nullptr)
    {
        appPath = worker;
        appName = QFileInfo(worker).baseName();
        dataPath = QDir(resources);
        startDelayMs = 0;
        if (restartDelay >= 0)
            restartDelayMs = restartDelay;
    }
    using Service::pause;
    using Service::start;
    using Service::stop;

private:
    static inline char program[] = "tst_watchdog";
    static inline char *arguments[] = { program, nullptr };
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
    void installedDaemon();
    void deadlinesEachCalledOnce_data();
    void deadlinesEachCalledOnce();

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
    const QString other = stage->resources + u"/alt/Solvane Worker/bin/render_worker"_s;
    QVERIFY(ts::writeFile(other, "#!/bin/sh\nsleep 30 >/dev/null 2>&1 &\necho $! >> '" + QFile::encodeName(stage->path(u"helpers"_s))
                                     + "'\nexec '" + QFile::encodeName(worker) + "' --alt \"$@\"\n"));
    QVERIFY(QFile::setPermissions(other, QFileDevice::ExeOwner | QFileDevice::ReadOwner));
}

// The workers the settings enable, scripted through the environment, and a
// version file: the arguments of the first starts, in order, and whether the
// version file is still there then. A file or folder below the resource
// folder may be tampered with: then it is refused, and the refusal reported.
// An action may follow the starts; a wait sees the restart come after the
// product's delay.
void TestWatchdog::supervision_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<int>("restartDelay");
    QTest::addColumn<QStringList>("starts");
    QTest::addColumn<QString>("action"); // "", "pause", "stop" or "wait"
    QTest::addColumn<bool>("versionKept");
    // "<how> <path below the resource folder>": "owner" given to nobody,
    // "group" given to a group of others and writable by it, "hardlink" with a
    // second link, "symlink" replaced by root's link to it.
    QTest::addColumn<QString>("tamper");
    const QByteArray both = "[worker]\nworkerCpu=true\nworkerGpu=true\n";
    const QStringList exit0{ "EXIT_AFTER_MS=0" };
    QTest::newRow("cpu") << ""_ba << QStringList() << ""_ba << 50 << QStringList{ "--cpu" } << "" << true << "";
    QTest::newRow("both") << both << QStringList() << ""_ba << 50 << QStringList{ "--cpu", "--gpu --no-download" } << "" << true << "";
    QTest::newRow("gpu") << "[worker]\nworkerCpu=false\nworkerGpu=true\n"_ba << QStringList() << ""_ba << 50 << QStringList{ "--gpu" } << "" << true << "";
    QTest::newRow("version") << ""_ba << QStringList() << "alt/"_ba << 50 << QStringList{ "--alt --cpu" } << "" << true << "";
    QTest::newRow("version CR LF") << ""_ba << QStringList() << "%1/alt\r\nmore"_ba << 50 << QStringList{ "--alt --cpu" } << "" << true << "";
    QTest::newRow("version nowhere") << ""_ba << QStringList() << "nowhere"_ba << 50 << QStringList{ "--cpu" } << "" << true << "";
    QTest::newRow("one of both crashes") << both << QStringList{ "GPU_CRASH_AFTER_MS=0" } << "alt"_ba << 50
                                         << QStringList{ "--alt --cpu", "--alt --gpu --no-download", "--alt --gpu --no-download" } << "" << true << "";
    QTest::newRow("restart delay") << ""_ba << exit0 << ""_ba << -1 << QStringList{ "--cpu" } << "wait" << true << "";
    QTest::newRow("pause") << both << QStringList() << ""_ba << 50 << QStringList{ "--cpu", "--gpu --no-download" } << "pause" << true << "";
    QTest::newRow("stop") << ""_ba << QStringList() << "alt"_ba << 50 << QStringList{ "--alt --cpu" } << "stop" << true << "";
    const QStringList cpu{ "--cpu" };
    const QString altWorker = u"alt/Solvane Worker/bin/render_worker"_s;
    const std::pair<const char *, QString> tampered[] = {
        { "worker of another user", u"owner "_s + altWorker },
        { "worker writable by its group", u"group "_s + altWorker },
        { "worker with a second link", u"hardlink "_s + altWorker },
        { "worker in a folder of another user", u"owner alt/Solvane Worker/bin"_s },
        { "worker below a folder writable by its group", u"group alt"_s },
        { "version of another user", u"owner render_worker.version"_s },
        { "version writable by its group", u"group render_worker.version"_s },
        { "version with a second link", u"hardlink render_worker.version"_s },
        { "version through root's link", u"symlink render_worker.version"_s },
        { "version in a folder of another user", u"owner ."_s },
    };
    for (const auto &[row, tamper] : tampered)
        QTest::newRow(row) << ""_ba << QStringList() << "alt"_ba << 50 << cpu << "" << true << tamper;
}

void TestWatchdog::supervision()
{
    QFETCH(QByteArray, settings);
    QFETCH(QStringList, script);
    QFETCH(QByteArray, version);
    QFETCH(int, restartDelay);
    QFETCH(QStringList, starts);
    QFETCH(QString, action);
    QFETCH(bool, versionKept);
    QFETCH(QString, tamper);
    const ts::SystemScopeRedirect system;
    storeResourceFolder(stage->resources);
    ts::EnvironmentGuard environment;
    environment.set("RENDER_WORKER_RECORD", QFile::encodeName(stage->record));
    for (const QString &variable : script)
        environment.set("RENDER_WORKER_" + variable.section(u'=', 0, 0).toUtf8(), variable.section(u'=', 1).toUtf8());
    QVERIFY(ts::writeFile(stage->resources + u"/settings.conf"_s, settings));
    const QString versionFile = stage->resources + u"/render_worker.version"_s;
    if (!version.isEmpty())
        QVERIFY(ts::writeFile(versionFile, QString::fromUtf8(version).replace(u"%1"_s, stage->resources).toUtf8()));

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
        const QString refused = tamper.contains(u" alt"_s) ? stage->resources + u"/alt/Solvane Worker/bin/render_worker"_s : versionFile;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"^Refused "_s + QRegularExpression::escape(refused) + u": "_s));
    }
    auto service = std::make_unique<TestService>(worker, stage->resources, restartDelay);
    service->start();
    // The first starts; two workers started together record theirs in either order.
    const auto started = [&] {
        QStringList arguments = stage->workerEvents(u"start"_s).mid(0, starts.size());
        for (QString &line : arguments)
            line = line.section(u' ', 2);
        arguments.sort();
        return arguments;
    };
    starts.sort();
    // Compared once they are there, so that a wrong start fails at once.
    QTRY_VERIFY(stage->workerEvents(u"start"_s).size() >= starts.size());
    QCOMPARE(started(), starts);
    QCOMPARE(QFileInfo::exists(versionFile), versionKept && !version.isEmpty());
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
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(QTest::qWaitFor([&] { return stage->workerEvents(u"start"_s).size() > starts.size(); }, 8000), "no restart");
        QVERIFY2(clock.elapsed() > 4000 && clock.elapsed() < 7000, qPrintable(u"restarted after %1 ms"_s.arg(clock.elapsed())));
    } else if (!action.isEmpty()) {
        action == u"pause" ? service->pause() : service->stop();
        QTRY_COMPARE(stage->processes(u"render_worker"_s), QList<qint64>());
        for (const QByteArray &helper : ts::readFile(stage->path(u"helpers"_s)).split('\n'))
            QTRY_VERIFY_WITH_TIMEOUT(ts::processGone(helper.toLongLong()), 2000);
        QCOMPARE(QFileInfo::exists(versionFile), versionKept && !version.isEmpty());
    }
}

// Installed and launched as admins do: the worker of the version file starts
// after the start delay, and its crash and the rollback reach the system log;
// the log files get their names in the default folder (another one named in
// a file every user can write is refused) and old ones go; the settings file
// stays as it was; systemd's variables are the watchdog's, not the workers';
// and the workers die with a watchdog killed outright.
void TestWatchdog::installedDaemon()
{
    const QString logs = stage->resources + u"/Logs/"_s;
    QVERIFY(ts::writeFile(logs + u"watchdog_render_worker_01_Jan_2020.log"_s, "old\n"));
    const QString settings = stage->resources + u"/settings.conf"_s;
    const QByteArray shared = "; kept\n[common]\nlogLevel=5\ndaysToKeepLogs=1\nlogLocation=/var/tmp/elsewhere\n"
                              "[manager]\nproxyPass=secret\nfont=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x5QFont)\n";
    QVERIFY(ts::writeFile(settings, shared) && ::chown(QFile::encodeName(settings).constData(), 65534, 65534) == 0
            && ::chmod(QFile::encodeName(settings).constData(), 0666) == 0);
    QVERIFY(ts::writeFile(stage->resources + u"/render_worker.version"_s, "alt"));
    // Only the redirected installation crashes; the default one then runs.
    const QString alt = stage->resources + u"/alt/Solvane Worker/bin/render_worker"_s;
    QVERIFY(ts::writeFile(alt, ts::readFile(alt).replace("exec '", "RENDER_WORKER_CRASH_AFTER_MS=300 exec '")));
    QCOMPARE(stage->run({ u"-i"_s }).exitCode, 0);
    stage->env.insert(u"NOTIFY_SOCKET"_s, u"@watchdog-test-notify"_s);
    stage->env.insert(u"WATCHDOG_USEC"_s, u"60000000"_s);
    QCOMPARE(stage->run({}).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(!stage->workerEvents(u"start"_s).isEmpty(), ts::waitMs);
    QCOMPARE(stage->workerEvents(u"start"_s).size(), 1);
    QVERIFY(stage->workerEvents(u"start"_s).constFirst().endsWith(u" --alt --cpu"_s));
    QTRY_VERIFY(devLog.entries().filter(u"solvanerenderworker["_s).filter(u"Started with PID"_s).size() == 1);
    for (const char *entry : { "<28>.*runs from the version override", "<27>.*was killed by signal", "<28>.*Rolled back" })
        QTRY_VERIFY(!devLog.entries().filter(QRegularExpression(QLatin1String(entry))).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(ts::processGone(ts::readFile(stage->path(u"helpers"_s)).split('\n').constFirst().toLongLong()), 2000);
    QVERIFY(!QFileInfo::exists(u"/var/tmp/elsewhere"_s));
    QCOMPARE(ts::readFile(settings), shared);
    QCOMPARE(ts::modeOf(settings), mode_t(S_IFREG | 0666));
    QCOMPARE(QFileInfo(settings).ownerId(), 65534u);
    const QStringList files = QDir(logs).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY2(files.constFirst().startsWith(u"watchdog_render_worker_"_s) && files.constFirst() != u"watchdog_render_worker_01_Jan_2020.log"_s,
             qPrintable(files.join(u' ')));
    QTRY_VERIFY_WITH_TIMEOUT(stage->workerEvents(u"start"_s).size() == 2, ts::waitMs);
    QVERIFY(stage->workerEvents(u"start"_s).constLast().endsWith(u" --cpu"_s) && stage->processes(u"render_worker"_s).size() == 1);
    const QByteArray environment = ts::readFile(u"/proc/%1/environ"_s.arg(stage->processes(u"render_worker"_s).constFirst()));
    QVERIFY(environment.contains("RENDER_WORKER_RECORD="));
    QVERIFY2(!environment.contains("NOTIFY_SOCKET=") && !environment.contains("WATCHDOG_USEC="), environment.constData());
    const QList<qint64> daemons = stage->processes(QFileInfo(stage->executable).fileName());
    QCOMPARE(daemons.size(), 1);
    QCOMPARE(::kill(pid_t(daemons.constFirst()), SIGKILL), 0);
    QTRY_COMPARE(stage->processes(), QList<qint64>());
}

// Restart deadlines of both workers: each is called once, none early, and a
// pending later one holds back no earlier one.
void TestWatchdog::deadlinesEachCalledOnce_data()
{
    QTest::addColumn<QList<int>>("delaysMs");
    QTest::newRow("later one first") << QList<int>{ 600, 100 };
    QTest::newRow("two at once, one earlier") << QList<int>{ 600, 600, 50 };
}

void TestWatchdog::deadlinesEachCalledOnce()
{
    QFETCH(QList<int>, delaysMs);
    QElapsedTimer clock;
    QList<qint64> calledAtMs;
    DeadlineTimer timer([&] { calledAtMs.append(clock.elapsed()); });
    clock.start();
    for (const int delayMs : std::as_const(delaysMs))
        timer.start(delayMs);
    QTRY_COMPARE(calledAtMs.size(), delaysMs.size());
    std::sort(delaysMs.begin(), delaysMs.end());
    QVERIFY(calledAtMs.first() >= delaysMs.first() && calledAtMs.first() < delaysMs.last());
    QVERIFY(calledAtMs.last() >= delaysMs.last());
    QTest::qWait(100);
    QCOMPARE(calledAtMs.size(), delaysMs.size());
}

QTEST_GUILESS_MAIN(TestWatchdog)
#include "tst_watchdog.moc"
