// Real daemons of the test service: launched detached by the bare command,
// refused while one runs, controlled over the control socket by the
// administrative options and by QtServiceController, and ended by "-t",
// SIGTERM and SIGINT.

#include "servicetestsupport.h"

#include <QScopeGuard>

#include <memory>
#include <sys/socket.h>
#include <sys/un.h>

using namespace ServiceTest;

class TestQtServiceDaemon : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void launchRefuseTerminate();
    void controlOptions_data();
    void controlOptions();
    void stopEndsTheRun_data();
    void stopEndsTheRun();
    void overlongNameRunsWithoutSocket();
    void controllerStartsRegisteredService();
    void tellsSystemd_data();
    void tellsSystemd();

private:
    QString events() const { return dir->filePath(QStringLiteral("events")); }

    std::unique_ptr<QTemporaryDir> dir;
    Leftovers leftovers;
};

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

// The bare command launches a detached daemon in the launcher's folder and
// ends at once; a second launch is refused while the daemon runs; "-t"
// stops it.
void TestQtServiceDaemon::launchRefuseTerminate()
{
    const QString name = uniqueServiceName(QStringLiteral("Launch"));
    const QString socketPath = controlSocketPath(name);
    leftovers.addService(name);
    const QString workingDir = dir->filePath(QStringLiteral("launched from"));
    QVERIFY(QDir().mkpath(workingDir));
    const QProcessEnvironment env = serviceEnvironment(name, dir->path());
    const QtServiceController controller(name);
    QVERIFY(!fileExists(socketPath));

    // Launched inside a command substitution, which waits until nobody holds
    // its pipe: the daemon must not keep the launcher's output.
    VERIFY_RUN(runService({ QStringLiteral("-c"), QStringLiteral("x=$(\"$0\"); echo returned"), testServicePath() },
                          env, workingDir, QStringLiteral("/bin/sh")),
               0, "returned\n", "");
    QTRY_VERIFY_WITH_TIMEOUT(firstStart(events()).valid, startTimeoutMs);
    const StartEvent start = firstStart(events());
    QCOMPARE(start.cwd, QDir(workingDir).canonicalPath());
    QCOMPARE(start.umask, QStringLiteral("027"));
    QCOMPARE(start.args, testServicePath());
    QVERIFY(start.listening);
    QVERIFY(controller.isRunning());

    VERIFY_RUN(runService({ QStringLiteral("-v") }, env), 0,
               QStringLiteral("The service\n\t%1\n\t%2\n\nis not installed and running\n\n")
                   .arg(name, testServicePath()), "");
    VERIFY_RUN(runService({}, env, workingDir), 252, "",
               QStringLiteral("The service %1 could not start\n").arg(name));
    QVERIFY(!processGone(start.pid));
    QVERIFY(controller.isRunning());

    VERIFY_RUN(runService({ QStringLiteral("-t") }, env), 0, "", "");
    QTRY_VERIFY_WITH_TIMEOUT(processGone(start.pid), startTimeoutMs);
    QVERIFY(!fileExists(socketPath));
    QVERIFY(!controller.isRunning());
    QCOMPARE(readEvents(events()).mid(1), QStringList{ "stop" });
}

void TestQtServiceDaemon::controlOptions_data()
{
    // flags are set before start() and flagsInStart by it.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("flagsInStart");

    const auto row = [](const char *name, const QStringList &arguments, const char *event, int flags = 0,
                        int flagsInStart = 0) {
        QTest::newRow(name) << arguments << QString::fromLatin1(event) << flags << flagsInStart;
    };
    row("-c without code", { "-c" }, "command 0");
    row("-command 5", { "-command", "5" }, "command 5");
    row("-c -3", { "-c", "-3" }, "command -3");
    row("-c trailing letter", { "-c", "12a" }, "command 0");
    row("-c largest int", { "-c", "2147483647" }, "command 2147483647");
    row("-c above int range", { "-c", "2147483648" }, "command 0");
    row("-c further arguments ignored", { "-c", "8", "9" }, "command 8");
    row("-p", { "-p" }, "pause", 1, 1);
    row("-pause", { "-pause" }, "pause", 1, 1);
    row("-r", { "-r" }, "resume", 1, 1);
    row("-resume", { "-resume" }, "resume", 1, 1);
    // Flags changed while the daemon runs reach its control socket.
    row("-p, CanPause set in start()", { "-p" }, "pause", 0, 1);
    row("-r, CanPause cleared in start()", { "-r" }, "", 1, 0);
}

// What reaches the running daemon; the options say nothing either way.
void TestQtServiceDaemon::controlOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, event);
    QFETCH(int, flags);
    QFETCH(int, flagsInStart);

    const QString name = uniqueServiceName(QStringLiteral("Options"));
    leftovers.addService(name);
    QProcessEnvironment env = serviceEnvironment(name, dir->path());
    env.insert(QStringLiteral("TESTSERVICE_FLAGS"), QString::number(flags));
    env.insert(QStringLiteral("TESTSERVICE_FLAGS_IN_START"), QString::number(flagsInStart));
    const auto daemon = startService(env);
    QVERIFY(daemon);
    VERIFY_RUN(runService(arguments, env), 0, "", "");
    QVERIFY(daemon->endsCleanlyOn(SIGTERM));
    const QStringList expected = event.isEmpty() ? QStringList{ "stop" } : QStringList{ event, "stop" };
    QCOMPARE(readEvents(events()).mid(1), expected);
}

void TestQtServiceDaemon::stopEndsTheRun_data()
{
    QTest::addColumn<QList<int>>("signalNumbers"); // none: "-t"
    QTest::addColumn<bool>("daemon");

    QTest::newRow("-t to daemon") << QList<int>{} << true;
    QTest::newRow("SIGTERM to daemon") << QList<int>{ SIGTERM } << true;
    QTest::newRow("SIGINT in foreground") << QList<int>{ SIGINT } << false;
    // Ctrl-C reaches the whole process group, kill may follow: one stop.
    QTest::newRow("SIGINT and SIGTERM to daemon") << QList<int>{ SIGINT, SIGTERM } << true;
    QTest::newRow("SIGTERM and SIGINT in foreground") << QList<int>{ SIGTERM, SIGINT } << false;
}

// "-t", SIGTERM and SIGINT end a run the same orderly way: stop(), the loop
// ends, what stop() released with deleteLater() is destroyed, the socket
// file goes, and the exit code is the loop's 0.
void TestQtServiceDaemon::stopEndsTheRun()
{
    QFETCH(QList<int>, signalNumbers);
    QFETCH(bool, daemon);

    const QString name = uniqueServiceName(QStringLiteral("Stop"));
    const QString socketPath = controlSocketPath(name);
    leftovers.addService(name);
    const QProcessEnvironment env = serviceEnvironment(name, dir->path(), { "TESTSERVICE_RELEASE_IN_STOP" });
    const auto child = startService(env, daemon);
    QVERIFY(child);
    QCOMPARE(firstStart(events()).listening, daemon);
    QCOMPARE(fileExists(socketPath), daemon);

    if (signalNumbers.isEmpty())
        VERIFY_RUN(runService({ QStringLiteral("-t") }, env), 0, "", "");
    for (const int signalNumber : std::as_const(signalNumbers))
        QCOMPARE(::kill(pid_t(child->pid), signalNumber), 0);
    QVERIFY(child->endsCleanly());
    QCOMPARE(readEvents(events()).mid(1), (QStringList{ "stop", "released" }));
    QVERIFY(!fileExists(socketPath));
    QCOMPARE(child->err(), QByteArray());
}

// A name too long for a socket path: the daemon runs unreachable and says
// why, once; nothing is bound at a cut path.
void TestQtServiceDaemon::overlongNameRunsWithoutSocket()
{
    const QString stem = uniqueServiceName(QStringLiteral("Overlong")) + QLatin1Char(' ');
    const QString name = stem + QString(89 - sanitizedName(stem).size(), QLatin1Char('z'));
    const QString socketPath = controlSocketPath(name);
    QCOMPARE(socketPath.size(), 108);
    leftovers.addService(name);

    const Run run = runService({}, serviceEnvironment(name, dir->path(),
                                                      { "QTSERVICE_RUN", "TESTSERVICE_QUIT_AFTER_START" }));
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY2(run.err.contains(socketPath.toLatin1()), run.err.constData());
    const StartEvent start = firstStart(events());
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
    leftovers.addService(name);
    // The executable started by the controller inherits this environment.
    EnvironmentGuard environment;
    environment.adopt(serviceEnvironment(name, dir->path()));
    const RegistryRedirect registry(dir->filePath(QStringLiteral("registry")));

    QtServiceController controller(name);
    QVERIFY(!controller.start());
    QVERIFY(QtServiceController::registerService(name, testServicePath(), QStringLiteral("Controlled"), 1));
    QVERIFY(controller.start({ QStringLiteral("custom") }));
    QTRY_VERIFY_WITH_TIMEOUT(firstStart(events()).valid, startTimeoutMs);
    const StartEvent start = firstStart(events());
    QCOMPARE(start.args, testServicePath() + QStringLiteral("|custom"));
    QTRY_VERIFY(controller.isRunning());

    QVERIFY(!controller.start());
    QVERIFY(controller.sendCommand(-3));
    QVERIFY(!controller.pause());
    QVERIFY(!controller.resume());
    QVERIFY(controller.stop());
    QTRY_VERIFY_WITH_TIMEOUT(processGone(start.pid), startTimeoutMs);
    QCOMPARE(readEvents(events()).mid(1), (QStringList{ "command -3", "stop" }));
    QVERIFY(!controller.isRunning());
}

void TestQtServiceDaemon::tellsSystemd_data()
{
    // Pings, or none when systemd watches another process.
    QTest::addColumn<QString>("watchdogPid");
    QTest::addColumn<bool>("pings");

    QTest::newRow("watched") << QString() << true;
    QTest::newRow("WATCHDOG_PID of another process") << QStringLiteral("1") << false;
}

// Started by a unit of Type=notify, the daemon says it is ready once it has
// started and listens, pings from its loop, and says when it stops.
void TestQtServiceDaemon::tellsSystemd()
{
    QFETCH(QString, watchdogPid);
    QFETCH(bool, pings);

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    QVERIFY(fd >= 0);
    const auto closeSocket = qScopeGuard([fd] { ::close(fd); });
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(dir->filePath(QStringLiteral("notify")));
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    QCOMPARE(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    QStringList received;
    const auto receive = [&] {
        char buffer[512];
        ssize_t length;
        while ((length = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            received << QString::fromUtf8(buffer, int(length));
        return received;
    };

    const QString name = uniqueServiceName(QStringLiteral("Notify"));
    leftovers.addService(name);
    QProcessEnvironment env = serviceEnvironment(name, dir->path());
    env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(path));
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("100000"));
    if (!watchdogPid.isEmpty())
        env.insert(QStringLiteral("WATCHDOG_PID"), watchdogPid);
    const auto daemon = startService(env);
    QVERIFY(daemon);
    QTRY_VERIFY(receive().contains(QStringLiteral("READY=1")));
    QCOMPARE(received.first(), QStringLiteral("READY=1"));
    QVERIFY(firstStart(events()).listening);
    if (pings) {
        QTRY_VERIFY(receive().contains(QStringLiteral("WATCHDOG=1")));
    } else {
        QTest::qWait(300); // six times the ping interval systemd asked for
        QVERIFY(!receive().contains(QStringLiteral("WATCHDOG=1")));
    }

    QVERIFY(daemon->endsCleanlyOn(SIGTERM));
    QCOMPARE(receive().last(), QStringLiteral("STOPPING=1"));
    QCOMPARE(received.count(QStringLiteral("READY=1")), 1);
    QCOMPARE(daemon->err(), QByteArray());
}

QTEST_GUILESS_MAIN(TestQtServiceDaemon)
#include "tst_qtservicedaemon.moc"
