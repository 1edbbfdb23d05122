// The service framework as admins and clients meet it: the command line and
// the control protocol of a daemon of the scripted test service and its
// registry, all in private namespaces (see servicestage.h).

#include "servicestage.h"

class TestQtService : public QObject, private ServiceStage
{
    Q_OBJECT

private slots:
    void initTestCase() { prepareStage(); }
    void daemon_data();
    void daemon();
    void administration_data();
    void administration();
    void cleanup() { clearStage(); }

private:
    void startedBySystemd(const QByteArray &setting, const QByteArray &reply, qint64 pid = 0);
    void deafListener();
};

// One row per request to a running daemon: bytes on its control socket with
// the replies expected ("<closed>": the daemon must drop the connection), or
// options on the command line with the exit code and a part of the output
// expected. Then the events of the service after its start, and whether it
// still runs.
void TestQtService::daemon_data()
{
    QTest::addColumn<int>("flags"); // 1 CanPause, 2 CannotStop
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply"); // or "<closed>", or "<gone>": the client leaves unanswered
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<bool>("running");
    const QByteArray many = QByteArray("alive\r\n").repeated(300000);
    QTest::newRow("terminate") << 0 << "terminate\r\n"_ba << "true"_ba << QStringList{ "stop" } << false;
    QTest::newRow("cannot stop") << 2 << "terminate\r\n"_ba << "false"_ba << QStringList() << true;
    QTest::newRow("pause resume") << 1 << "pause\r\nresume\r\n"_ba << "truetrue"_ba << QStringList{ "pause", "resume" } << true;
    QTest::newRow("cannot pause") << 0 << "pause\r\nresume\r\n"_ba << "falsefalse"_ba << QStringList() << true;
    QTest::newRow("command") << 0 << "num:42\r\nnum:\r\nnum:x\r\n"_ba << "truefalsetrue"_ba << QStringList{ "command 42", "command 0" } << true;
    QTest::newRow("unknown") << 0 << "bogus\r\nALIVE\r\nalive\r\n"_ba << "falsefalsetrue"_ba << QStringList() << true;
    QTest::newRow("bare LF") << 0 << "terminate\nalive\r\n"_ba << "false"_ba << QStringList() << true;
    QTest::newRow("endless line") << 0 << QByteArray(5000, 'x') << "<closed>"_ba << QStringList() << true;
    QTest::newRow("replies unread") << 0 << many << "<closed>"_ba << QStringList() << true;
    QTest::newRow("client gone") << 0 << "num:3\r\n"_ba.repeated(20000) << "<gone>"_ba << QStringList() << true;
    QTest::newRow("-p") << 1 << "-p"_ba << "0"_ba << QStringList{ "pause" } << true;
    QTest::newRow("-resume") << 1 << "-resume"_ba << "0"_ba << QStringList{ "resume" } << true;
    QTest::newRow("-c") << 0 << "-c 7"_ba << "0"_ba << QStringList{ "command 7" } << true;
    QTest::newRow("-command") << 0 << "-command 8"_ba << "0"_ba << QStringList{ "command 8" } << true;
    QTest::newRow("-t refused") << 2 << "-t"_ba << "1 could not be stopped"_ba << QStringList() << true;
    QTest::newRow("--helpx") << 0 << "--helpx"_ba << "252 could not start"_ba << QStringList() << true;
    QTest::newRow("as systemd starts it") << 0 << "QTSERVICE_RUN=1"_ba << "252 is already running with pid %1\n"_ba
                                          << QStringList() << true;
    // "@<daemon>:<client>". The daemon: root's without a word; "nobody" user
    // nobody's; "unrecorded" root's, whose lock's record was lost (a full
    // /run); "unlinked" root's, its socket file removed; "fake" a process of
    // nobody's answers "true" on the socket in place of the daemon; "silent"
    // a process of nobody's accepts and never answers, and no daemon runs;
    // "deaf" no daemon, and a listener that never accepts has its queue
    // full; "none" nothing. The client: root without a word; "nobody" user
    // nobody with a runtime folder; "bare" user nobody without one (cron);
    // "unreadable" user nobody whose lock file is root's. %1: the daemon's
    // pid, %2 the listener's in its place.
    QTest::newRow("nobody's -v beside root's") << 0 << "@:nobody -v"_ba << "0 not installed and running\n\n"_ba << QStringList() << true;
    QTest::newRow("nobody's --status beside root's, no runtime folder")
        << 0 << "@:bare --status"_ba << "0 QtService Test: running (pid %1 of uid 0); no state recorded\n"_ba
        << QStringList() << true;
    QTest::newRow("nobody's -c to root's") << 0 << "@:nobody -c 9"_ba << "0"_ba << QStringList{ "command 9" } << true;
    QTest::newRow("nobody's -terminate of root's") << 0 << "@:nobody -terminate"_ba
                                                   << "0 The service QtService Test (pid %1 of uid 0) has ended.\n"_ba
                                                   << QStringList{ "stop" } << false;
    QTest::newRow("nobody's launch beside root's") << 0 << "@:nobody"_ba
        << "252 The service QtService Test is already running with pid %1 of uid 0\nThe service QtService Test could not start\n"_ba
        << QStringList() << true;
    QTest::newRow("nobody's start beside root's, as systemd starts it") << 0 << "@:nobody QTSERVICE_RUN=1"_ba
        << "252 The service QtService Test already answers on /var/tmp/qtservicetest.qtservice as pid %1 of uid 0; root's daemon stays.\n"_ba
        << QStringList() << true;
    QTest::newRow("nobody's -v of its own") << 0 << "@nobody:nobody -v"_ba << "0 not installed and running\n\n"_ba << QStringList() << true;
    QTest::newRow("nobody's --status of its own") << 0 << "@nobody:nobody --status"_ba
                                                  << "0 QtService Test: running (pid %1); no state recorded\n"_ba
                                                  << QStringList() << true;
    QTest::newRow("nobody's -c to its own") << 0 << "@nobody:nobody -c 6"_ba << "0"_ba << QStringList{ "command 6" } << true;
    QTest::newRow("nobody's -t of its own") << 0 << "@nobody:nobody -t"_ba
                                            << "0 The service QtService Test (pid %1 of uid 65534) has ended.\n"_ba
                                            << QStringList{ "stop" } << false;
    QTest::newRow("nobody's launch beside its own")
        << 0 << "@nobody:nobody"_ba << "252 The service QtService Test is already running with pid %1 of uid 65534\n"_ba
        << QStringList() << true;
    QTest::newRow("nobody's launch, its lock file root's") << 0 << "@none:unreadable"_ba
        << "252 The service QtService Test could not take its lock /var/tmp/nobody-run/qtservicetest.qtservice.lock: "
           "Permission denied\nThe service QtService Test could not start\n"_ba
        << QStringList() << false;
    QTest::newRow("-v beside nobody's") << 0 << "@nobody -v"_ba
        << "0 running\n\nThe service QtService Test answers on /var/tmp/qtservicetest.qtservice as pid %1 of uid 65534"_ba
        << QStringList() << true;
    QTest::newRow("--status beside nobody's") << 0 << "@nobody --status"_ba
                                              << "0 QtService Test: running (pid %1 of uid 65534); no state recorded\n"_ba
                                              << QStringList() << true;
    QTest::newRow("launch beside nobody's") << 0 << "@nobody"_ba << "252 is already running with pid %1 of uid 65534\n"_ba
                                            << QStringList() << true;
    QTest::newRow("start beside nobody's, as systemd starts it") << 0 << "@nobody QTSERVICE_RUN=1"_ba
        << "as pid %1 of uid 65534; it was told to terminate and has ended. This daemon takes its place."_ba
        << QStringList() << false;
    QTest::newRow("--status, its lock unrecorded") << 0 << "@unrecorded --status"_ba
                                                   << "0 QtService Test: running (pid %1); no state recorded\n"_ba
                                                   << QStringList() << true;
    QTest::newRow("-t, its lock unrecorded") << 0 << "@unrecorded -t"_ba << "0 The service QtService Test (pid %1 of uid 0) has ended.\n"_ba
                                             << QStringList{ "stop" } << false;
    QTest::newRow("-t, its lock unrecorded and its socket gone") << 0 << "@unrecorded+unlinked -t"_ba
        << "0 No daemon answers on /var/tmp/qtservicetest.qtservice; the daemon (pid %1) was stopped with SIGTERM.\n"_ba
        << QStringList{ "stop" } << false;
    QTest::newRow("-t, its lock unrecorded, a fake on its socket") << 0 << "@fake+unrecorded -t"_ba
        << "0 /var/tmp/qtservicetest.qtservice is answered by pid %2 of uid 65534, which does not hold the service's lock; "
           "the daemon (pid %1) was stopped with SIGTERM."_ba
        << QStringList{ "stop" } << false;
    QTest::newRow("fake, -p") << 1 << "@fake -p"_ba << "0"_ba << QStringList() << true;
    QTest::newRow("launch beside a silent listener") << 0 << "@silent"_ba << "0"_ba << QStringList() << true;
    QTest::newRow("start beside a silent listener, as systemd starts it") << 0 << "@silent QTSERVICE_RUN=1"_ba
        << "The service QtService Test already answers on /var/tmp/qtservicetest.qtservice as pid %2 of uid 65534; it "
           "was told to terminate but still runs after 5 s. This daemon takes the path over."_ba
        << QStringList() << true;
    QTest::newRow("deaf listener") << 0 << "@deaf"_ba << QByteArray() << QStringList() << false;
    // "@squat": user nobody's folder stands at the socket path; "@full": no
    // inode is left on the socket's file system. The daemon says so and
    // makes its socket once it can; a launch says so, and that it runs.
    QTest::newRow("folder at the socket path") << 0 << "@squat QTSERVICE_RUN=1"_ba
        << "cannot make its control socket /var/tmp/qtservicetest.qtservice: File exists (a folder of uid 65534 stands there)"_ba
        << QStringList() << true;
    QTest::newRow("launch, a folder at the socket path") << 0 << "@squat"_ba
        << "1 The service QtService Test cannot make its control socket /var/tmp/qtservicetest.qtservice: File exists (a "
           "folder of uid 65534 stands there). It runs without control and tries again every 5 s.\n"_ba
        << QStringList() << true;
    QTest::newRow("no inode left")
        << 0 << "@full QTSERVICE_RUN=1"_ba << "cannot make its control socket /var/tmp/qtservicetest.qtservice: No space left on device. It runs"_ba
        << QStringList() << true;
}

void TestQtService::daemon()
{
    QFETCH(int, flags);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, after);
    QFETCH(bool, running);
    QByteArray setting;
    if (request.startsWith('@')) {
        setting = request.split(' ').constFirst();
        request = request.mid(setting.size()).trimmed();
    }
    const QList<QByteArray> daemonKinds = setting.mid(1).split(':').constFirst().split('+');
    const QByteArray client = setting.contains(':') ? setting.split(':').constLast() : QByteArray();
    const auto is = [&daemonKinds](const char *kind) { return daemonKinds.contains(kind); };
    if (is("squat")) {
        const QByteArray path = QFile::encodeName(socketPath);
        QVERIFY(::mkdir(path.constData(), 0755) == 0 && ::chown(path.constData(), 65534, 65534) == 0);
    }
    if ((is("squat") || is("full")) && !request.isEmpty())
        return startedBySystemd(setting, reply);
    const bool alone = is("silent") || is("deaf") || is("none") || is("squat");
    qint64 pid = alone ? 0 : startDaemon(flags, {}, is("nobody"));
    QVERIFY2(pid || alone, "the daemon did not start in time");
    if (is("deaf"))
        return deafListener();
    if (is("unrecorded"))
        QVERIFY(ts::writeFile(lockPath, {}));
    if (is("unlinked") || is("fake"))
        QCOMPARE(::unlink(QFile::encodeName(socketPath)), 0);
    if (is("fake") || is("silent")) {
        fake = fakeDaemon(socketPath, is("silent"));
        QTRY_VERIFY(ts::modeOf(socketPath));
    }
    reply.replace("%1", QByteArray::number(pid)).replace("%2", QByteArray::number(fake));
    if ((is("nobody") || is("silent")) && request == "QTSERVICE_RUN=1" && client.isEmpty())
        return startedBySystemd(setting, reply, is("nobody") ? pid : 0);
    if (request.isEmpty() || request.startsWith('-') || request.contains('=')) {
        QProcessEnvironment env = stage->env;
        QStringList arguments = QString::fromLatin1(request).split(u' ', Qt::SkipEmptyParts);
        for (QString variable; !arguments.isEmpty() && (variable = arguments.constFirst()).contains(u'=');)
            env.insert(variable.section(u'=', 0, 0), arguments.takeFirst().section(u'=', 1));
        arguments.prepend(stage->executable);
        const QString bareTemp = stage->path(u"nobody-tmp"_s);
        if (!client.isEmpty()) {
            arguments = QStringList{ u"setpriv"_s, u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s } + arguments;
            env.insert(u"XDG_RUNTIME_DIR"_s, stage->path(u"nobody-run"_s));
        }
        if (client == "bare") {
            // Where the toolkit would make a runtime folder of its own.
            env.remove(u"XDG_RUNTIME_DIR"_s);
            env.insert(u"TMPDIR"_s, bareTemp);
            QVERIFY(QDir().mkpath(bareTemp) && ::chown(QFile::encodeName(bareTemp).constData(), 65534, 65534) == 0);
        }
        if (client == "unreadable") {
            const QByteArray folder = "/var/tmp/nobody-run";
            QVERIFY(::mkdir(folder.constData(), 0700) == 0 && ::chown(folder.constData(), 65534, 65534) == 0);
            QVERIFY(ts::writeFile(u"/var/tmp/nobody-run/qtservicetest.qtservice.lock"_s, {}));
            env.insert(u"XDG_RUNTIME_DIR"_s, QString::fromLatin1(folder));
        }
        QElapsedTimer clock;
        clock.start();
        const ts::Run run = ts::Child(arguments.takeFirst(), arguments, env).finish();
        QCOMPARE(QByteArray::number(quint8(run.exitCode)), reply.split(' ').constFirst());
        const QString output = QString::fromLatin1(reply).section(u' ', 1);
        QVERIFY2((run.out + run.err).contains(output), qPrintable(run.out + run.err));
        // No probe waits long on a listener that is not the daemon.
        QVERIFY2(clock.elapsed() < 12000, qPrintable(u"%1 ms"_s.arg(clock.elapsed())));
        if (client == "bare") {
            QVERIFY2(run.err.isEmpty(), qPrintable(run.err));
            QVERIFY(QDir(bareTemp).isEmpty());
        }
    } else if (reply == "<gone>") {
        // Replies to a client that has gone cost the daemon nothing but the
        // connection: no SIGPIPE, no end of its control socket.
        exchange(request, 0);
        QTRY_VERIFY(events(eventsPath).contains(u"command 3"_s));
        QCOMPARE(exchange("alive\r\n", 4), "true"_ba);
        return;
    } else if (reply == "<closed>") {
        bool closed = false;
        const QByteArray got = exchange(request, request.size() * 4, &closed);
        QVERIFY2(closed && got.size() < request.size() / 7 * 4, "the daemon kept the connection");
    } else {
        QCOMPARE(exchange(request, reply.size()), reply);
    }
    if (alone && running) {
        // The daemon the row launched serves, in place of the listener.
        QTRY_VERIFY(!events(eventsPath).isEmpty());
        pid = events(eventsPath).constFirst().section(u' ', 1, 1).toLongLong();
        QCOMPARE(exchange("alive\r\n", 4), is("squat") ? ""_ba : "true"_ba);
    }
    QTRY_VERIFY(events(eventsPath).size() > after.size() || !running);
    QCOMPARE(events(eventsPath).mid(1), after);
    QTRY_COMPARE_WITH_TIMEOUT(ts::processGone(pid), !running, ts::waitMs);
    QCOMPARE(stage->processes().size(), running ? 1 : 0);
    if (!fake && !is("unlinked"))
        QCOMPARE(ts::modeOf(socketPath) != 0, running);
}

// The daemon as systemd starts it finds its socket path taken (setting): by
// user nobody's daemon (pid), which it tells to terminate and awaits the end
// of; by a listener of nobody's that never answers ("@silent"), whose path it
// takes over after a few seconds; by a folder of nobody's ("@squat"); on a
// file system without a free inode ("@full"). It says so (reply) and runs on,
// with the socket once the path is free.
void TestQtService::startedBySystemd(const QByteArray &setting, const QByteArray &reply, qint64 pid)
{
    const QByteArray path = QFile::encodeName(socketPath);
    const bool full = setting == "@full", squat = setting == "@squat";
    QStringList filler;
    if (full) {
        QVERIFY(::mount("tmpfs", "/var/tmp", "tmpfs", MS_NOSUID, "mode=1777,nr_inodes=8") == 0);
        for (int i = 0; ts::writeFile(u"/var/tmp/filler%1"_s.arg(i), "x"); ++i)
            filler << u"/var/tmp/filler%1"_s.arg(i);
    }
    const auto unmount = qScopeGuard([full] { if (full) ::umount2("/var/tmp", MNT_DETACH); });
    QProcessEnvironment env = stage->env;
    env.insert(u"QTSERVICE_RUN"_s, u"1"_s);
    ts::Child daemon(stage->executable, {}, env);
    QTRY_VERIFY_WITH_TIMEOUT(ts::processGone(pid), ts::waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(events(eventsPath).filter(QRegularExpression(u"^start "_s)).size(), pid ? 2 : 1, ts::waitMs);
    QVERIFY(!pid || events(eventsPath).at(1) == u"stop"_s);
    const QString said = QString::fromLatin1(reply);
    const QString err = QString::fromUtf8(ts::readFile(daemon.output.filePath(u"err"_s)));
    QVERIFY2(err.contains(said), qPrintable(err));
    const QString priority = squat || full ? u"<27>"_s : u"<28>"_s;
    QTRY_VERIFY(!devLog.entries().filter(priority + u"qtservicetest["_s).filter(said).isEmpty());
    if (squat || full) {
        // The folder is left alone.
        QVERIFY(full || S_ISDIR(ts::modeOf(socketPath)));
        full ? void(QFile::remove(filler.constLast())) : void(::rmdir(path.constData()));
        // Within a retry's interval and a margin.
        QTRY_COMPARE_WITH_TIMEOUT(ts::modeOf(socketPath), mode_t(S_IFSOCK | 0666), 8000);
        QTRY_VERIFY(!devLog.entries().filter(u"<30>qtservicetest["_s).filter(u"is made; the service is reachable"_s).isEmpty());
    }
    if (fake) {
        // The listener runs on; the path is the daemon's.
        QVERIFY(!ts::processGone(fake));
        QCOMPARE(exchange("alive\r\n", 4), "true"_ba);
    }
    QCOMPARE(stage->run({ u"-t"_s }).exitCode, 0);
    QCOMPARE(daemon.finish().exitCode, 0);
}

// A listener that never accepts, its queue full, holds no command beyond
// the connect time.
void TestQtService::deafListener()
{
    sockaddr_un address;
    socklen_t length;
    const int listener = openUnixSocket(SOCK_STREAM, socketPath, &address, &length);
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0 && ::listen(listener, 0) == 0);
    std::vector<int> queued;
    for (int fd; (fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0)) >= 0;) {
        queued.push_back(fd);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), length) != 0)
            break;
    }
    const auto release = qScopeGuard([&] {
        for (const int fd : queued)
            ::close(fd);
        ::close(listener);
    });
    QElapsedTimer clock;
    clock.start();
    ts::Child stop(stage->executable, { u"-t"_s }, stage->env), version(stage->executable, { u"-v"_s }, stage->env),
        command(stage->executable, { u"-c"_s, u"5"_s }, stage->env);
    QCOMPARE(stop.finish().exitCode, 0);
    QVERIFY(version.finish().out.contains(u"not running"_s));
    QCOMPARE(command.finish().exitCode, 0);
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
}

// Install, uninstall and their reports; "registry" says whether the registry
// can be written and what it holds beforehand.
void TestQtService::administration_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("registry"); // "empty", "installed", "broken"
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("installed");
    QTest::newRow("-i") << "-i" << "empty" << 0 << "has been installed under: %1" << true;
    QTest::newRow("-install again") << "-install" << "installed" << 0 << "is already installed" << true;
    QTest::newRow("-i broken") << "-i" << "broken" << 255 << "could not be installed" << false;
    QTest::newRow("-u") << "-u" << "installed" << 0 << "has been uninstalled." << false;
    QTest::newRow("--help") << "--help" << "empty" << 0 << "%1 -[i|u|e|s|v|h]\n" << false;
    QTest::newRow("--version") << "--version" << "empty" << 0 << "QtService Test 1." << false;
    QTest::newRow("-t none running") << "-t" << "empty" << 0 << "could not be stopped" << false;
    QTest::newRow("-v installed") << "-v" << "installed" << 0 << "%1\n\nis installed and not running" << true;
}

void TestQtService::administration()
{
    QFETCH(QString, option);
    QFETCH(QString, registry);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(bool, installed);
    const QString folder = stage->path(u"registry"_s);
    QDir(folder).removeRecursively();
    QFile::remove(folder);
    if (registry == u"installed")
        QCOMPARE(stage->run({ u"-i"_s }).exitCode, 0);
    if (registry == u"broken")
        QVERIFY(ts::writeFile(folder, "a file, not a folder"));
    const ts::Run run = stage->run({ option });
    QCOMPARE(run.exitCode == -1 ? -1 : quint8(run.exitCode), exitCode);
    QVERIFY2((run.out + run.err).contains(output.replace(u"%1"_s, stage->executable)), qPrintable(run.out + run.err));
    const QSettings store(folder + u"/QtSoftware.conf"_s, QSettings::IniFormat);
    QCOMPARE(store.value(u"services/"_s + name + u"/path"_s).toString(), installed ? stage->executable : QString());
}

QTEST_GUILESS_MAIN(TestQtService)
#include "tst_qtservice.moc"
