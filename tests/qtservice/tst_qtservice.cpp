// The service framework as admins and clients meet it: the command line and
// the control protocol of a daemon of the scripted test service, its system
// log, its stop signals and its registry, all in a private mount namespace.

#include "controlsocket.h"
#include "unixaddress.h"
#include "testsupport.h"

#include <algorithm>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {

const QString name = u"QtService Test"_s;

// "start <pid> umask=... args=..." and the events after it.
QStringList events(const QString &path)
{
    return QString::fromUtf8(ts::readFile(path)).split(u'\n', Qt::SkipEmptyParts);
}

// Sends bytes and reads replies until want bytes came, the daemon closed the
// connection (then closed, if given, is set), or nothing came for a second.
QByteArray exchange(const QByteArray &bytes, qsizetype want, bool *closed = nullptr)
{
    sockaddr_un address;
    socklen_t length;
    const int fd = openUnixSocket(SOCK_STREAM, controlSocketPath(name), &address, &length);
    const timeval second{ 1, 0 };
    // A small send buffer: the daemon then reads the requests in small pieces.
    const int sendBuffer = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
    QByteArray reply;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), length) == 0) {
        for (qsizetype sent = 0, n = 0; sent < bytes.size(); sent += n) {
            if ((n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL)) <= 0)
                break;
        }
        char buffer[65536];
        ssize_t n = 1;
        while (reply.size() < want && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, n);
        if (closed)
            *closed = n == 0 || (n < 0 && errno != EAGAIN);
    }
    ::close(fd);
    return reply;
}

// A child process of user uid's that dies with the test; 0 in the child.
pid_t forkAs(uid_t uid)
{
    const pid_t child = ::fork();
    if (child == 0 && (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0))
        ::_exit(1);
    return child;
}

void reap(pid_t child)
{
    if (child > 0 && ::kill(child, SIGKILL) == 0)
        ::waitpid(child, nullptr, 0);
}

// A process of user nobody's at the control socket, in place of the
// daemon: it answers "true" to every command and never ends on one.
pid_t fakeDaemon(const QString &path)
{
    sockaddr_un address;
    socklen_t length;
    const int fd = openUnixSocket(SOCK_STREAM, path, &address, &length);
    const pid_t child = forkAs(65534);
    if (child != 0) {
        ::close(fd);
        return child;
    }
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(fd, 5) != 0)
        ::_exit(1);
    for (;;) {
        const int connection = ::accept(fd, nullptr, nullptr);
        char buffer[1024];
        const ssize_t n = connection < 0 ? 0 : ::recv(connection, buffer, sizeof buffer, 0);
        for (int i = 0; i + 1 < n; ++i) {
            if (buffer[i] == '\r' && buffer[i + 1] == '\n')
                ::send(connection, "true", 4, MSG_NOSIGNAL);
        }
        ::close(connection);
    }
}

qsizetype openFiles(qint64 pid)
{
    return QDir(u"/proc/%1/fd"_s.arg(pid)).entryList(QDir::System).size();
}

} // namespace

class TestQtService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void daemon_data();
    void daemon();
    void administration_data();
    void administration();
    void stopSignals();
    void simultaneousLaunches();
    void idleConnections_data();
    void idleConnections();
    void tellsSystemd_data();
    void tellsSystemd();
    void socketFiles();
    void cleanup();

private:
    qint64 startDaemon(int flags, const QByteArray &log = {}, bool asNobody = false);
    void startedBySystemd(const QByteArray &setting, const QByteArray &reply, qint64 pid = 0);
    void deafListener();

    std::unique_ptr<ts::Installation> stage;
    ts::DevLog devLog;
    QString eventsPath;
    const QString socketPath = controlSocketPath(name);
    // Where a daemon of the test service as root records its pid (a /run of
    // the test's own).
    const QString lockPath = u"/run/"_s + sanitizedName(name) + u".qtservice.lock"_s;
    pid_t fake = 0;
};

void TestQtService::cleanup()
{
    reap(std::exchange(fake, 0));
    stage->killAll();
    QFile::remove(eventsPath);
    ::unlink(QFile::encodeName(socketPath));
}

void TestQtService::initTestCase()
{
    const QString problem = ts::enterPrivateNamespace();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(devLog.bind());
    stage = std::make_unique<ts::Installation>(QStringLiteral(TESTSERVICE_PATH));
    QVERIFY(stage->valid);
    eventsPath = stage->path(u"events"_s);
    stage->env.insert(u"TESTSERVICE_NAME"_s, name);
    stage->env.insert(u"TESTSERVICE_EVENTS"_s, eventsPath);
    stage->env.insert(u"TESTSERVICE_REGISTRY"_s, stage->path(u"registry"_s));
    // User nobody runs the staged service too, with a runtime folder for its
    // lock.
    const QString runtime = stage->path(u"nobody-run"_s);
    QVERIFY(QDir().mkpath(runtime) && ::chown(QFile::encodeName(runtime).constData(), 65534, 65534) == 0);
    QVERIFY(::chmod(QFile::encodeName(stage->root.path()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(stage->bin).constData(), 0755) == 0);
}

// Launches the daemon as an admin does, without option; its pid, 0 on failure.
qint64 TestQtService::startDaemon(int flags, const QByteArray &log, bool asNobody)
{
    stage->env.insert(u"TESTSERVICE_FLAGS"_s, QString::number(flags));
    log.isEmpty() ? stage->env.remove(u"TESTSERVICE_LOG"_s) : stage->env.insert(u"TESTSERVICE_LOG"_s, u"1"_s);
    // A longer record of a daemon long gone: the new pid replaces all of it.
    if (!asNobody && !ts::writeFile(lockPath, "4194304999999\n"))
        return 0;
    QProcessEnvironment env = stage->env;
    QStringList command{ stage->executable, u"extra"_s };
    if (asNobody) {
        ts::writeFile(eventsPath, {});
        ::chmod(QFile::encodeName(eventsPath).constData(), 0666);
        env.insert(u"XDG_RUNTIME_DIR"_s, stage->path(u"nobody-run"_s));
        command = QStringList{ u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s } + command;
    }
    const QString program = asNobody ? u"setpriv"_s : command.takeFirst();
    if (ts::Child(program, command, env).finish().exitCode != 0
        || !QTest::qWaitFor([&] { return !events(eventsPath).isEmpty() && ts::modeOf(socketPath); }, ts::waitMs))
        return 0;
    // Files of the daemon are its group's to read and nobody else's; every
    // local user may control it.
    const QString start = events(eventsPath).constFirst();
    const qint64 pid = start.section(u' ', 1, 1).toLongLong();
    if (!start.endsWith(u" umask=027 args="_s + stage->executable + u"|extra"_s) || ts::modeOf(socketPath) != (S_IFSOCK | 0666)
        || (!asNobody && ts::readFile(lockPath) != QByteArray::number(pid) + '\n'))
        return 0;
    return pid;
}

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
    QTest::newRow("-terminate") << 0 << "-terminate"_ba << "0"_ba << QStringList{ "stop" } << false;
    QTest::newRow("-p") << 1 << "-p"_ba << "0"_ba << QStringList{ "pause" } << true;
    QTest::newRow("-resume") << 1 << "-resume"_ba << "0"_ba << QStringList{ "resume" } << true;
    QTest::newRow("-c") << 0 << "-c 7"_ba << "0"_ba << QStringList{ "command 7" } << true;
    QTest::newRow("-command") << 0 << "-command 8"_ba << "0"_ba << QStringList{ "command 8" } << true;
    QTest::newRow("second start") << 0 << ""_ba << "252 could not start"_ba << QStringList() << true;
    QTest::newRow("-t refused") << 2 << "-t"_ba << "1 could not be stopped"_ba << QStringList() << true;
    QTest::newRow("--helpx") << 0 << "--helpx"_ba << "252 could not start"_ba << QStringList() << true;
    QTest::newRow("as systemd starts it") << 0 << "QTSERVICE_RUN=1"_ba << "252 is already running with pid %1\n"_ba
                                          << QStringList() << true;
    QTest::newRow("-v") << 0 << "-v"_ba << "0 not installed and running"_ba << QStringList() << true;
    // "@nobody": the daemon is user nobody's; "@fake": a process of nobody's
    // answers "true" on the socket in place of root's daemon; "@alone": that
    // process and no daemon; "@deaf": no daemon, and a listener that never
    // accepts has its queue full.
    const QByteArray socket = controlSocketPath(name).toLatin1();
    QTest::newRow("nobody's, -v") << 0 << "@nobody -v"_ba
                                  << "0 running\n\nThe service QtService Test answers on " + socket + " as pid %1 of uid 65534"
                                  << QStringList() << true;
    QTest::newRow("nobody's, launch") << 0 << "@nobody"_ba << "252 is already running with pid %1 of uid 65534\n"_ba
                                      << QStringList() << true;
    QTest::newRow("nobody's, as systemd starts it")
        << 0 << "@nobody QTSERVICE_RUN=1"_ba
        << "as pid %1 of uid 65534; it was told to terminate and has ended. This daemon takes its place."_ba
        << QStringList() << false;
    QTest::newRow("fake, -t") << 0 << "@fake -t"_ba
                              << "0 which does not hold the service's lock; the daemon (pid %1) was stopped with SIGTERM."_ba
                              << QStringList{ "stop" } << false;
    QTest::newRow("fake, -p") << 1 << "@fake -p"_ba << "0"_ba << QStringList() << true;
    QTest::newRow("fake alone, as systemd starts it")
        << 0 << "@alone QTSERVICE_RUN=1"_ba
        << "252 it was told to terminate but still runs after 5 s. This daemon does not start."_ba << QStringList() << false;
    QTest::newRow("deaf listener") << 0 << "@deaf"_ba << QByteArray() << QStringList() << false;
    // "@squat": user nobody's folder stands at the socket path; "@full": no
    // inode is left on the socket's file system. The daemon says so and
    // makes its socket once it can.
    QTest::newRow("folder at the socket path")
        << 0 << "@squat"_ba << "cannot make its control socket " + socket + ": File exists (a folder of uid 65534 stands there)"
        << QStringList() << true;
    QTest::newRow("no inode left")
        << 0 << "@full"_ba << "cannot make its control socket " + socket + ": No space left on device. It runs"_ba
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
    if (setting == "@squat" || setting == "@full")
        return startedBySystemd(setting, reply);
    const bool alone = setting == "@alone" || setting == "@deaf";
    const qint64 pid = alone ? 0 : startDaemon(flags, {}, setting == "@nobody");
    QVERIFY2(pid || alone, "the daemon did not start in time");
    if (setting == "@deaf")
        return deafListener();
    if (setting == "@fake" || setting == "@alone") {
        ::unlink(QFile::encodeName(socketPath));
        fake = fakeDaemon(socketPath);
        QTRY_VERIFY(ts::modeOf(socketPath));
    }
    if (setting == "@nobody" && request == "QTSERVICE_RUN=1")
        return startedBySystemd(setting, reply, pid);
    if (request.isEmpty() || request.startsWith('-') || request.contains('=')) {
        QProcessEnvironment env = stage->env;
        QStringList arguments = QString::fromLatin1(request).split(u' ', Qt::SkipEmptyParts);
        for (QString variable; !arguments.isEmpty() && (variable = arguments.constFirst()).contains(u'=');)
            env.insert(variable.section(u'=', 0, 0), arguments.takeFirst().section(u'=', 1));
        const ts::Run run = ts::Child(stage->executable, arguments, env).finish();
        QCOMPARE(QByteArray::number(quint8(run.exitCode)), reply.split(' ').constFirst());
        const QString output = QString::fromLatin1(reply).section(u' ', 1).replace(u"%1"_s, QString::number(pid));
        QVERIFY2((run.out + run.err).contains(output), qPrintable(run.out + run.err));
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
    if (alone) {
        QVERIFY(stage->processes().isEmpty());
        return;
    }
    QTRY_VERIFY(events(eventsPath).size() > after.size());
    QCOMPARE(events(eventsPath).mid(1), after);
    QTRY_COMPARE_WITH_TIMEOUT(ts::processGone(pid), !running, ts::waitMs);
    QCOMPARE(stage->processes().size(), running ? 1 : 0);
    if (!fake)
        QCOMPARE(ts::modeOf(socketPath) != 0, running);
}

// The daemon as systemd starts it finds its socket path taken (setting): by
// user nobody's daemon (pid), which it tells to terminate and awaits the end
// of; by a folder of nobody's ("@squat"); on a file system without a free
// inode ("@full"). It says so (reply) and runs on, with the socket once the
// path is free.
void TestQtService::startedBySystemd(const QByteArray &setting, const QByteArray &reply, qint64 pid)
{
    const QByteArray path = QFile::encodeName(socketPath);
    const bool full = setting == "@full";
    QStringList filler;
    if (full) {
        QVERIFY(::mount("tmpfs", "/var/tmp", "tmpfs", MS_NOSUID, "mode=1777,nr_inodes=8") == 0);
        for (int i = 0; ts::writeFile(u"/var/tmp/filler%1"_s.arg(i), "x"); ++i)
            filler << u"/var/tmp/filler%1"_s.arg(i);
    } else if (!pid) {
        QVERIFY(::mkdir(path.constData(), 0755) == 0 && ::chown(path.constData(), 65534, 65534) == 0);
    }
    const auto unmount = qScopeGuard([full] { if (full) ::umount2("/var/tmp", MNT_DETACH); });
    QProcessEnvironment env = stage->env;
    env.insert(u"QTSERVICE_RUN"_s, u"1"_s);
    ts::Child daemon(stage->executable, {}, env);
    QTRY_VERIFY_WITH_TIMEOUT(ts::processGone(pid), ts::waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(events(eventsPath).filter(QRegularExpression(u"^start "_s)).size(), pid ? 2 : 1, ts::waitMs);
    QVERIFY(!pid || events(eventsPath).at(1) == u"stop"_s);
    const QString said = QString::fromLatin1(reply).replace(u"%1"_s, QString::number(pid));
    const QString err = QString::fromUtf8(ts::readFile(daemon.output.filePath(u"err"_s)));
    QVERIFY2(err.contains(said), qPrintable(err));
    if (!pid) {
        QTRY_VERIFY(!devLog.entries().filter(u"<27>qtservicetest["_s).filter(said).isEmpty());
        // The folder is left alone.
        QVERIFY(full || S_ISDIR(ts::modeOf(socketPath)));
        full ? void(QFile::remove(filler.constLast())) : void(::rmdir(path.constData()));
        // Within a retry's interval and a margin.
        QTRY_COMPARE_WITH_TIMEOUT(ts::modeOf(socketPath), mode_t(S_IFSOCK | 0666), 8000);
        QTRY_VERIFY(!devLog.entries().filter(u"<30>qtservicetest["_s).filter(u"is made; the service is reachable"_s).isEmpty());
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

// A stop signal sent to the whole process group comes as SIGTERM and SIGINT
// at once; systemd may repeat SIGTERM while the service cleans up. Either
// way the service stops once and ends cleanly, every time.
void TestQtService::stopSignals()
{
    for (int round = 0; round < 8; ++round) {
        QFile::remove(eventsPath);
        ts::Child child(stage->executable, { u"-e"_s }, stage->env, true);
        QVERIFY2(QTest::qWaitFor([&] { return !events(eventsPath).isEmpty(); }, ts::waitMs), "the service did not start");
        const pid_t pid = pid_t(child.pid());
        // Stopped meanwhile, it gets both before it can handle either; then
        // SIGTERM as fast as it goes until it is gone, for a few seconds at
        // most in case it never goes.
        QCOMPARE(::kill(pid, SIGSTOP), 0);
        QCOMPARE(::kill(-pid, SIGTERM), 0);
        QCOMPARE(::kill(-pid, SIGINT), 0);
        QCOMPARE(::kill(pid, SIGCONT), 0);
        for (const QDeadlineTimer deadline(5000); !deadline.hasExpired() && !ts::processGone(pid);)
            ::kill(pid, SIGTERM);
        const ts::Run run = child.finish();
        QVERIFY2(run.exitCode == 0, qPrintable(u"round %1: status %2 (%3)"_s.arg(round).arg(child.process.exitCode())
                                                  .arg(child.process.exitStatus() == QProcess::CrashExit ? u"killed"_s : u"exit"_s)));
        QCOMPARE(events(eventsPath).mid(1), QStringList{ u"stop"_s });
    }
}

// Of two launches at the same instant one starts the daemon, the other says
// "could not start": never two daemons, never two starts.
void TestQtService::simultaneousLaunches()
{
    stage->env.insert(u"TESTSERVICE_FLAGS"_s, u"0"_s);
    for (int round = 0; round < 20; ++round) {
        ts::Child first(stage->executable, {}, stage->env), second(stage->executable, {}, stage->env);
        QList<int> codes{ quint8(first.finish().exitCode), quint8(second.finish().exitCode) };
        std::sort(codes.begin(), codes.end());
        QCOMPARE(codes, (QList<int>{ 0, 252 }));
        QTRY_COMPARE(stage->processes().size(), 1);
        QCOMPARE(stage->run({ u"-t"_s }).exitCode, 0);
        QTRY_VERIFY(stage->processes().isEmpty());
    }
    QCOMPARE(events(eventsPath).filter(QRegularExpression(u"^start "_s)).size(), 20);
}

// Other users holding many connections that send nothing: what the daemon
// keeps open stays within the quota of each user and the total of all others,
// and root's "-t" still gets through, at the latest once idle connections
// were closed. Out of descriptors ("spare" left to it), the daemon neither
// spins on its listening socket nor stays out of reach once they are free.
void TestQtService::idleConnections_data()
{
    QTest::addColumn<QList<uid_t>>("uids");
    QTest::addColumn<int>("each");
    QTest::addColumn<int>("kept"); // at most, as descriptors of the daemon
    QTest::addColumn<int>("spare"); // 0: as many as its limit allows
    QTest::newRow("another user's, 32 kept") << QList<uid_t>{ 65534 } << 300 << 32 << 0;
    QTest::newRow("ten users', 256 kept") << QList<uid_t>{ 60001, 60002, 60003, 60004, 60005, 60006, 60007, 60008, 60009, 60010 }
                                          << 40 << 256 << 0;
    QTest::newRow("root's own, closed when idle") << QList<uid_t>{ 0 } << 300 << -1 << 0;
    // More than the daemon has descriptors for: the rest waits in its queue.
    QTest::newRow("out of descriptors") << QList<uid_t>{ 0 } << 12 << 8 << 8;
}

void TestQtService::idleConnections()
{
    QFETCH(QList<uid_t>, uids);
    QFETCH(int, each);
    QFETCH(int, kept);
    QFETCH(int, spare);
#ifdef __SANITIZE_ADDRESS__
    if (spare)
        QSKIP("The sanitizers' runtime needs spare descriptors of its own: it checks dynamic types through a pipe");
#endif
    const qint64 pid = startDaemon(0);
    QVERIFY2(pid, "the daemon did not start in time");
    const qsizetype before = openFiles(pid);
    const rlimit low{ rlim_t(before + spare), rlim_t(before + spare) };
    QVERIFY(!spare || ::prlimit(pid_t(pid), RLIMIT_NOFILE, &low, nullptr) == 0);
    sockaddr_un address;
    socklen_t length;
    QVERIFY(makeUnixAddress(socketPath, &address, &length));
    std::vector<pid_t> holders;
    const auto release = qScopeGuard([&holders] { std::for_each(holders.begin(), holders.end(), reap); });
    for (const uid_t uid : std::as_const(uids)) {
        const pid_t holder = forkAs(uid);
        if (holder == 0) {
            // Each waits for the daemon to accept it, a second at most: one
            // that stopped accepting must not hang the test.
            const timeval second{ 1, 0 };
            for (int i = 0; i < each; ++i) {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
                ::connect(fd, reinterpret_cast<sockaddr *>(&address), length);
            }
            ::raise(SIGSTOP);
            ::_exit(0);
        }
        holders.push_back(holder);
        int status = 0;
        QVERIFY2(::waitpid(holder, &status, WUNTRACED) == holder && WIFSTOPPED(status), "a holder of connections failed");
    }
    // The daemon accepts and drops what is over the limits at its own pace.
    QTest::qWait(500);
    if (kept >= 0)
        QVERIFY2(openFiles(pid) <= before + kept + 2, qPrintable(u"%1 descriptors open"_s.arg(openFiles(pid))));
    else
        QVERIFY2(QTest::qWaitFor([pid] { return openFiles(pid) < 100; }, 20000), "idle connections stay open");
    if (spare) {
        const auto cpuTicks = [pid] {
            const QList<QByteArray> fields = ts::readFile(u"/proc/%1/stat"_s.arg(pid)).split(')').last().split(' ');
            return fields.value(12).toLongLong() + fields.value(13).toLongLong();
        };
        const qint64 ticks = cpuTicks();
        QTest::qWait(1000);
        QVERIFY2(cpuTicks() - ticks < ::sysconf(_SC_CLK_TCK) / 4, "the daemon spins");
        std::for_each(holders.begin(), holders.end(), reap);
        holders.clear();
    }
    QCOMPARE(stage->run({ u"-t"_s }).exitCode, 0);
}

// Launched inside a command substitution the launcher returns at once; under
// a unit of Type=notify the daemon says it is ready, pings at half the
// watchdog time (200 ms) and says it stops, at a path or an abstract address.
void TestQtService::tellsSystemd_data()
{
    QTest::addColumn<QByteArray>("socket");
    QTest::newRow("path") << "/var/tmp/notify"_ba;
    QTest::newRow("abstract") << "@watchdog-test-notify"_ba;
}

void TestQtService::tellsSystemd()
{
    QFETCH(QByteArray, socket);
    ts::DevLog notify;
    QVERIFY(notify.bind(socket));
    QProcessEnvironment env = stage->env;
    env.insert(u"NOTIFY_SOCKET"_s, QString::fromLatin1(socket));
    env.insert(u"WATCHDOG_USEC"_s, u"200000"_s);
    const ts::Run run = ts::Child(u"/bin/sh"_s, { u"-c"_s, u"x=$(\"$0\"); echo returned"_s, stage->executable }, env).finish();
    QCOMPARE(run.out, u"returned\n"_s);
    QTRY_VERIFY(notify.entries().contains(u"WATCHDOG=1"_s));
    QCOMPARE(notify.received.constFirst(), u"READY=1"_s);
    const qsizetype pinged = notify.received.count(u"WATCHDOG=1"_s);
    // Read as they come: the socket queues only a few datagrams.
    for (const QDeadlineTimer twoSeconds(2000); !twoSeconds.hasExpired(); QTest::qWait(20))
        notify.entries();
    // 20 pings due; one a full watchdog time apart would make 10.
    QVERIFY2(notify.entries().count(u"WATCHDOG=1"_s) - pinged >= 14, qPrintable(notify.received.join(u' ')));
    QCOMPARE(stage->run({ u"-t"_s }).exitCode, 0);
    QTRY_VERIFY(notify.entries().contains(u"STOPPING=1"_s));
}

// A socket file left by a dead daemon does not keep the next from its socket;
// a stopping daemon deletes its own socket file only; the system log gets
// every line of a message at the priority of its type.
void TestQtService::socketFiles()
{
    // A socket file whose daemon is gone.
    sockaddr_un address;
    socklen_t length;
    const int left = openUnixSocket(SOCK_STREAM, socketPath, &address, &length);
    QCOMPARE(::bind(left, reinterpret_cast<sockaddr *>(&address), length), 0);
    ::close(left);
    qint64 pid = startDaemon(0, "log");
    QVERIFY2(pid, "the daemon did not start in time");
    const QString ident = u"qtservicetest[%1]: "_s.arg(pid);
    QTRY_COMPARE(devLog.entries().filter(ident),
                 QStringList({ u"<30>"_s + ident + u"testservice information"_s, u"<27>"_s + ident + u"testservice error"_s,
                               u"<28>"_s + ident + u"testservice warning"_s, u"<30>"_s + ident + u"first line"_s,
                               u"<30>"_s + ident, u"<30>"_s + ident + u"third line"_s }));
    // A logger that does not read costs entries, never a wait; the count of
    // those dropped goes out later.
    QCOMPARE(exchange("num:1\r\n"_ba.repeated(100), 400), "true"_ba.repeated(100));
    devLog.entries();
    QCOMPARE(exchange("num:2\r\nnum:3\r\nnum:4\r\n", 12), "true"_ba.repeated(3));
    const QRegularExpression dropped(QRegularExpression::escape(ident) + u"\\d+ system log entries were dropped"_s);
    QTRY_VERIFY(devLog.entries().contains(u"<30>"_s + ident + u"command 4"_s));
    QCOMPARE(devLog.entries().filter(dropped).size(), 1);
    // The logger restarts, at the same path: the next entries reach it.
    ::close(devLog.fd);
    QVERIFY(::unlink("/dev/log") == 0 && devLog.bind());
    QCOMPARE(exchange("num:5\r\n", 4), "true"_ba);
    QTRY_VERIFY(devLog.entries().contains(u"<30>"_s + ident + u"command 5"_s));
    QVERIFY(::unlink(QFile::encodeName(socketPath)) == 0 && ts::writeFile(socketPath, "another daemon's"));
    QCOMPARE(::kill(pid_t(pid), SIGTERM), 0);
    QTRY_VERIFY(ts::processGone(pid));
    QCOMPARE(ts::readFile(socketPath), "another daemon's"_ba);
}

QTEST_GUILESS_MAIN(TestQtService)
#include "tst_qtservice.moc"
