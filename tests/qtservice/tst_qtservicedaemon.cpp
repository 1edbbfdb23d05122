// Real daemons of the test service: launched detached by the bare command,
// refused while one runs, controlled over the control socket by the
// administrative options and by QtServiceController, and ended by "-t",
// SIGTERM and SIGINT.

#include "controlsocket.h"
#include "qtservicecontroller.h"
#include "servicetestsupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

using namespace ServiceTest;

namespace {

constexpr int startTimeoutMs = 15000;

// A daemon (QTSERVICE_RUN set) or foreground run of the test service as a
// child of this process, so that its exit code can be read.
class ServiceChild
{
public:
    ServiceChild(const QString &name, const QString &eventsPath, const QStringList &arguments,
                 bool daemon, int flags = 0, int flagsInStart = -1,
                 const QStringList &switches = {})
        : events(eventsPath)
    {
        QProcessEnvironment env = cleanEnvironment();
        env.insert(QStringLiteral("TESTSERVICE_NAME"), name);
        env.insert(QStringLiteral("TESTSERVICE_EVENTS"), eventsPath);
        env.insert(QStringLiteral("TESTSERVICE_FLAGS"), QString::number(flags));
        if (flagsInStart >= 0) {
            env.insert(QStringLiteral("TESTSERVICE_FLAGS_IN_START"),
                       QString::number(flagsInStart));
        }
        for (const QString &variable : switches)
            env.insert(variable, QStringLiteral("1"));
        if (daemon)
            env.insert(QStringLiteral("QTSERVICE_RUN"), QStringLiteral("1"));
        process.setProcessEnvironment(env);
        process.setProgram(testServicePath());
        process.setArguments(arguments);
        process.setStandardInputFile(QProcess::nullDevice());
        process.start();
        process.waitForStarted(startTimeoutMs);
    }

    ~ServiceChild()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    bool started() const { return firstStart(events).valid; }
    qint64 pid() const { return process.processId(); }

    // Sends the signal and waits for the end of the process.
    bool endWith(int signalNumber)
    {
        return ::kill(pid_t(process.processId()), signalNumber) == 0
            && process.waitForFinished(startTimeoutMs);
    }

    const QString events;
    QProcess process;
};

// Restores environment variables of this process.
class EnvironmentGuard
{
public:
    explicit EnvironmentGuard(const QList<const char *> &names)
    {
        for (const char *name : names) {
            saved.append({ name, qEnvironmentVariableIsSet(name)
                                     ? std::optional<QByteArray>(qgetenv(name))
                                     : std::nullopt });
        }
    }
    ~EnvironmentGuard()
    {
        for (const auto &[name, value] : std::as_const(saved)) {
            if (value)
                qputenv(name, *value);
            else
                qunsetenv(name);
        }
    }

private:
    QList<std::pair<const char *, std::optional<QByteArray>>> saved;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestQtServiceDaemon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void launchRefuseTerminate();
    void commandCodes_data();
    void commandCodes();
    void pauseAndResume_data();
    void pauseAndResume();
    void signalsEndTheRun_data();
    void signalsEndTheRun();
    void stopReleasesDeferredObjects_data();
    void stopReleasesDeferredObjects();
    void secondDaemonTakesOver();
    void overlongNameRunsWithoutSocket();
    void controllerStartsRegisteredService();

private:
    QProcessEnvironment environment(const QString &serviceName, const QString &events) const;
    // Runs the test service with stdout and stderr in files: a daemon it
    // launches inherits them and may outlive the pipes of a QProcess.
    Run runToFiles(const QStringList &arguments, const QProcessEnvironment &env,
                   const QString &workingDir) const;

    std::unique_ptr<QTemporaryDir> dir;
    Leftovers leftovers;

    // One daemon that takes the user commands of commandCodes.
    std::unique_ptr<QTemporaryDir> commandDir;
    QString commandName;
    std::unique_ptr<ServiceChild> commandDaemon;
};

void TestQtServiceDaemon::initTestCase()
{
    commandDir = std::make_unique<QTemporaryDir>();
    QVERIFY(commandDir->isValid());
    commandName = uniqueServiceName(QStringLiteral("Commands"));
    commandDaemon = std::make_unique<ServiceChild>(
        commandName, commandDir->filePath(QStringLiteral("events")), QStringList(), true);
    QTRY_VERIFY_WITH_TIMEOUT(commandDaemon->started(), startTimeoutMs);
    QVERIFY(firstStart(commandDaemon->events).listening);
}

void TestQtServiceDaemon::cleanupTestCase()
{
    if (commandDaemon && commandDaemon->process.state() != QProcess::NotRunning) {
        QVERIFY(commandDaemon->endWith(SIGTERM));
        QCOMPARE(commandDaemon->process.exitCode(), 0);
    }
    commandDaemon.reset();
    if (!commandName.isEmpty())
        ::unlink(QFile::encodeName(controlSocketPath(commandName)).constData());
    commandDir.reset();
}

void TestQtServiceDaemon::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestQtServiceDaemon::cleanup()
{
    leftovers.clear();
    dir.reset();
}

QProcessEnvironment TestQtServiceDaemon::environment(const QString &serviceName,
                                                     const QString &events) const
{
    QProcessEnvironment env = cleanEnvironment();
    env.insert(QStringLiteral("TESTSERVICE_NAME"), serviceName);
    env.insert(QStringLiteral("TESTSERVICE_EVENTS"), events);
    env.insert(QStringLiteral("TESTSERVICE_REGISTRY"), dir->filePath(QStringLiteral("registry")));
    return env;
}

Run TestQtServiceDaemon::runToFiles(const QStringList &arguments, const QProcessEnvironment &env,
                                    const QString &workingDir) const
{
    const QString outPath = dir->filePath(QStringLiteral("launcher.out"));
    const QString errPath = dir->filePath(QStringLiteral("launcher.err"));
    QProcess process;
    process.setProgram(testServicePath());
    process.setArguments(arguments);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workingDir);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(outPath);
    process.setStandardErrorFile(errPath);
    process.start();
    Run run;
    run.finished = process.waitForFinished(30000);
    run.exitStatus = process.exitStatus();
    run.exitCode = process.exitCode();
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    return run;
}

// The bare command launches a detached daemon in the launcher's folder and
// ends at once; a second launch is refused while the daemon runs; "-t"
// stops it.
void TestQtServiceDaemon::launchRefuseTerminate()
{
    const QString name = uniqueServiceName(QStringLiteral("Launch"));
    const QString events = dir->filePath(QStringLiteral("events"));
    const QString socketPath = controlSocketPath(name);
    leftovers.addService(name);
    const QString workingDir = dir->filePath(QStringLiteral("launched from"));
    QVERIFY(QDir().mkpath(workingDir));
    const QProcessEnvironment env = environment(name, events);
    const QtServiceController controller(name);
    QVERIFY(!fileExists(socketPath));

    const Run launch = runToFiles({}, env, workingDir);
    QVERIFY(launch.finished);
    QCOMPARE(launch.exitStatus, QProcess::NormalExit);
    QCOMPARE(launch.exitCode, 0);
    QCOMPARE(launch.err, QByteArray());

    QTRY_VERIFY_WITH_TIMEOUT(firstStart(events).valid, startTimeoutMs);
    const StartEvent start = firstStart(events);
    QVERIFY(start.pid > 0);
    QCOMPARE(start.cwd, QDir(workingDir).canonicalPath());
    QCOMPARE(start.umask, QStringLiteral("027"));
    QCOMPARE(start.args, testServicePath());
    QVERIFY(start.listening);
    QVERIFY(controller.isRunning());
    QVERIFY(!processGone(start.pid));

    const Run version = runService({ QStringLiteral("-v") }, env);
    QVERIFY(version.finished);
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(QString::fromLatin1(version.out),
             QStringLiteral("The service\n\t%1\n\t%2\n\nis not installed and running\n\n")
                 .arg(name, testServicePath()));

    const Run again = runToFiles({}, env, workingDir);
    QVERIFY(again.finished);
    QCOMPARE(again.exitStatus, QProcess::NormalExit);
    QCOMPARE(again.exitCode, 252);
    QCOMPARE(again.out, QByteArray());
    QCOMPARE(QString::fromLatin1(again.err),
             QStringLiteral("The service %1 could not start\n").arg(name));
    QVERIFY(!processGone(start.pid));
    QVERIFY(controller.isRunning());

    const Run terminate = runService({ QStringLiteral("-t") }, env);
    QVERIFY(terminate.finished);
    QCOMPARE(terminate.exitCode, 0);
    QCOMPARE(terminate.out, QByteArray());
    QCOMPARE(terminate.err, QByteArray());
    QTRY_VERIFY_WITH_TIMEOUT(processGone(start.pid), startTimeoutMs);
    QVERIFY(!fileExists(socketPath));
    QVERIFY(!controller.isRunning());
    QCOMPARE(eventsStartingWith(events, QStringLiteral("start ")).size(), 1);
    QCOMPARE(readEvents(events).last(), QStringLiteral("stop"));
}

void TestQtServiceDaemon::commandCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");

    QTest::newRow("no code") << QStringList{ "-c" } << 0;
    QTest::newRow("12") << QStringList{ "-c", "12" } << 12;
    QTest::newRow("long option") << QStringList{ "-command", "5" } << 5;
    QTest::newRow("negative") << QStringList{ "-c", "-3" } << -3;
    QTest::newRow("trailing letter") << QStringList{ "-c", "12a" } << 0;
    QTest::newRow("no number") << QStringList{ "-c", "abc" } << 0;
    QTest::newRow("largest int") << QStringList{ "-c", "2147483647" } << 2147483647;
    QTest::newRow("above int range") << QStringList{ "-c", "2147483648" } << 0;
    QTest::newRow("below int range") << QStringList{ "-c", "-2147483649" } << 0;
    QTest::newRow("further arguments ignored") << QStringList{ "-c", "8", "9" } << 8;
}

// The code that reaches the running daemon's processCommand.
void TestQtServiceDaemon::commandCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);

    QVERIFY(commandDaemon);
    const QString events = commandDaemon->events;
    const int before = int(eventsStartingWith(events, QStringLiteral("command ")).size());
    const Run run = runService(arguments, environment(commandName, events));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err, QByteArray());

    const QStringList commands = eventsStartingWith(events, QStringLiteral("command "));
    QCOMPARE(commands.size(), before + 1);
    QCOMPARE(commands.last(), QStringLiteral("command %1").arg(code));
    QVERIFY(!processGone(commandDaemon->pid()));
}

void TestQtServiceDaemon::pauseAndResume_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("flagsInStart");
    QTest::addColumn<bool>("honoured");

    QTest::newRow("flags 0") << 0 << -1 << false;
    QTest::newRow("CanPause") << 1 << -1 << true;
    QTest::newRow("CannotStop") << 2 << -1 << false;
    // Flags changed while the daemon runs reach its control socket.
    QTest::newRow("CanPause set in start()") << 0 << 1 << true;
    QTest::newRow("CanPause cleared in start()") << 1 << 0 << false;
}

void TestQtServiceDaemon::pauseAndResume()
{
    QFETCH(int, flags);
    QFETCH(int, flagsInStart);
    QFETCH(bool, honoured);

    const QString name = uniqueServiceName(QStringLiteral("Pause"));
    const QString events = dir->filePath(QStringLiteral("events"));
    leftovers.addService(name);
    ServiceChild daemon(name, events, {}, true, flags, flagsInStart);
    QTRY_VERIFY_WITH_TIMEOUT(daemon.started(), startTimeoutMs);

    const QProcessEnvironment env = environment(name, events);
    for (const char *option : { "-p", "-r", "-pause", "-resume" }) {
        const Run run = runService({ QLatin1String(option) }, env);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(run.err, QByteArray());
    }
    QtServiceController controller(name);
    QCOMPARE(controller.pause(), honoured);
    QCOMPARE(controller.resume(), honoured);

    const QStringList expected = honoured
        ? QStringList{ "pause", "resume", "pause", "resume", "pause", "resume" }
        : QStringList{};
    QCOMPARE(readEvents(events).mid(1), expected);
    QVERIFY(!processGone(daemon.pid()));

    QVERIFY(daemon.endWith(SIGTERM));
    QCOMPARE(daemon.process.exitCode(), 0);
}

void TestQtServiceDaemon::signalsEndTheRun_data()
{
    QTest::addColumn<QList<int>>("signalNumbers");
    QTest::addColumn<bool>("daemon");

    QTest::newRow("SIGTERM to daemon") << QList<int>{ SIGTERM } << true;
    QTest::newRow("SIGINT to daemon") << QList<int>{ SIGINT } << true;
    QTest::newRow("SIGTERM in foreground") << QList<int>{ SIGTERM } << false;
    QTest::newRow("SIGINT in foreground") << QList<int>{ SIGINT } << false;
    // Ctrl-C reaches the whole process group, kill may follow: one stop.
    QTest::newRow("SIGINT and SIGTERM to daemon") << QList<int>{ SIGINT, SIGTERM } << true;
    QTest::newRow("SIGTERM and SIGINT in foreground") << QList<int>{ SIGTERM, SIGINT } << false;
}

// SIGTERM and SIGINT end a run the orderly way of "terminate": stop(), the
// loop ends, the socket file goes, and the exit code is the loop's 0.
void TestQtServiceDaemon::signalsEndTheRun()
{
    QFETCH(QList<int>, signalNumbers);
    QFETCH(bool, daemon);

    const QString name = uniqueServiceName(QStringLiteral("Signal"));
    const QString events = dir->filePath(QStringLiteral("events"));
    const QString socketPath = controlSocketPath(name);
    leftovers.addService(name);
    ServiceChild child(name, events, daemon ? QStringList() : QStringList{ "-e" }, daemon);
    QTRY_VERIFY_WITH_TIMEOUT(child.started(), startTimeoutMs);
    QCOMPARE(firstStart(events).listening, daemon);
    QCOMPARE(fileExists(socketPath), daemon);

    for (qsizetype i = 0; i + 1 < signalNumbers.size(); ++i)
        QCOMPARE(::kill(pid_t(child.pid()), signalNumbers.at(i)), 0);
    QVERIFY(child.endWith(signalNumbers.last()));
    QCOMPARE(child.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.process.exitCode(), 0);
    QCOMPARE(readEvents(events).mid(1), QStringList{ "stop" });
    QVERIFY(!fileExists(socketPath));
    QCOMPARE(child.process.readAllStandardError(), QByteArray());
}

void TestQtServiceDaemon::stopReleasesDeferredObjects_data()
{
    QTest::addColumn<bool>("bySignal");

    QTest::newRow("-t") << false;
    QTest::newRow("SIGTERM") << true;
}

// What stop() releases with deleteLater() is destroyed before the process
// ends, although the event loop has quit.
void TestQtServiceDaemon::stopReleasesDeferredObjects()
{
    QFETCH(bool, bySignal);

    const QString name = uniqueServiceName(QStringLiteral("Release"));
    const QString events = dir->filePath(QStringLiteral("events"));
    leftovers.addService(name);
    ServiceChild daemon(name, events, {}, true, 0, -1, { "TESTSERVICE_RELEASE_IN_STOP" });
    QTRY_VERIFY_WITH_TIMEOUT(daemon.started(), startTimeoutMs);
    QTRY_VERIFY(QtServiceController(name).isRunning());

    if (bySignal) {
        QVERIFY(daemon.endWith(SIGTERM));
    } else {
        const Run terminate = runService({ QStringLiteral("-t") }, environment(name, events));
        QVERIFY(terminate.finished);
        QCOMPARE(terminate.exitCode, 0);
        QVERIFY(daemon.process.waitForFinished(startTimeoutMs));
    }
    QCOMPARE(daemon.process.exitCode(), 0);
    QCOMPARE(readEvents(events).mid(1), (QStringList{ "stop", "released" }));
}

// A second daemon of the same name started by hand takes the socket over;
// the first one ending does not remove the second one's socket file.
void TestQtServiceDaemon::secondDaemonTakesOver()
{
    const QString name = uniqueServiceName(QStringLiteral("Takeover"));
    const QString socketPath = controlSocketPath(name);
    leftovers.addService(name);
    QtServiceController controller(name);

    ServiceChild first(name, dir->filePath(QStringLiteral("first")), {}, true);
    QTRY_VERIFY_WITH_TIMEOUT(first.started(), startTimeoutMs);
    ServiceChild second(name, dir->filePath(QStringLiteral("second")), {}, true);
    QTRY_VERIFY_WITH_TIMEOUT(second.started(), startTimeoutMs);

    QVERIFY(first.endWith(SIGTERM));
    QCOMPARE(first.process.exitCode(), 0);
    QVERIFY(fileExists(socketPath));
    QVERIFY(controller.isRunning());

    QVERIFY(controller.stop());
    QVERIFY(second.process.waitForFinished(startTimeoutMs));
    QCOMPARE(second.process.exitCode(), 0);
    QCOMPARE(readEvents(second.events).mid(1), QStringList{ "stop" });
    QVERIFY(!fileExists(socketPath));
}

// A name too long for a socket path: the daemon runs unreachable and says
// why, once; nothing is bound at a cut path.
void TestQtServiceDaemon::overlongNameRunsWithoutSocket()
{
    const QString stem = QStringLiteral("QtService Test Overlong %1 ")
                             .arg(QCoreApplication::applicationPid());
    const QString name = stem + QString(89 - sanitizedName(stem).size(), QLatin1Char('z'));
    QCOMPARE(sanitizedName(name).size(), 89);
    const QString socketPath = controlSocketPath(name);
    QCOMPARE(socketPath.size(), 108);
    const QString events = dir->filePath(QStringLiteral("events"));
    leftovers.addService(name);

    QProcessEnvironment env = environment(name, events);
    env.insert(QStringLiteral("QTSERVICE_RUN"), QStringLiteral("1"));
    env.insert(QStringLiteral("TESTSERVICE_QUIT_AFTER_START"), QStringLiteral("1"));
    const Run run = runService({}, env);
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray());
    const QList<QByteArray> errLines = run.err.trimmed().split('\n');
    QCOMPARE(errLines.size(), 1);
    QVERIFY2(errLines.first().contains(socketPath.toLatin1()), run.err.constData());

    const StartEvent start = firstStart(events);
    QVERIFY(start.valid);
    QVERIFY(!start.listening);
    QVERIFY(!fileExists(socketPath));
    QVERIFY(!fileExists(socketPath.left(107)));
}

// QtServiceController::start launches a registered service through its
// registered path; it refuses an unregistered or running one. Stop, pause
// and user commands go to the running daemon.
void TestQtServiceDaemon::controllerStartsRegisteredService()
{
    const QString name = uniqueServiceName(QStringLiteral("Controller"));
    const QString events = dir->filePath(QStringLiteral("events"));
    const QString registry = dir->filePath(QStringLiteral("registry"));
    leftovers.addService(name);

    // The executable started by the controller inherits this environment.
    const EnvironmentGuard environmentGuard({ "TESTSERVICE_NAME", "TESTSERVICE_EVENTS",
                                              "TESTSERVICE_REGISTRY", "QTSERVICE_RUN" });
    qputenv("TESTSERVICE_NAME", name.toUtf8());
    qputenv("TESTSERVICE_EVENTS", QFile::encodeName(events));
    qputenv("TESTSERVICE_REGISTRY", QFile::encodeName(registry));
    qunsetenv("QTSERVICE_RUN");

    const QString systemFolder =
        QFileInfo(QSettings(QSettings::SystemScope, QStringLiteral("QtSoftware")).fileName())
            .path();
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, registry);
    const auto restoreRegistry = qScopeGuard([&] {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, systemFolder);
    });

    QtServiceController controller(name);
    QVERIFY(!controller.start());
    QVERIFY(QtServiceController::registerService(name, testServicePath(),
                                                 QStringLiteral("Controlled"), 1));
    QVERIFY(controller.start({ QStringLiteral("custom") }));
    QTRY_VERIFY_WITH_TIMEOUT(firstStart(events).valid, startTimeoutMs);
    const StartEvent start = firstStart(events);
    QCOMPARE(start.args, testServicePath() + QStringLiteral("|custom"));
    QTRY_VERIFY(controller.isRunning());

    QVERIFY(!controller.start());
    QVERIFY(controller.sendCommand(-3));
    QVERIFY(!controller.pause());
    QVERIFY(!controller.resume());
    QVERIFY(controller.stop());
    QTRY_VERIFY_WITH_TIMEOUT(processGone(start.pid), startTimeoutMs);
    QCOMPARE(readEvents(events).mid(1), (QStringList{ "command -3", "stop" }));
    QVERIFY(!controller.isRunning());
}

QTEST_GUILESS_MAIN(TestQtServiceDaemon)
#include "tst_qtservicedaemon.moc"
