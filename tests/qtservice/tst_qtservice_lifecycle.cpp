// The life of a daemon of the scripted test service: its stop signals,
// simultaneous launches, idle connections, what it tells systemd, its
// socket files and its system log, all in private namespaces (see
// servicestage.h).

#include "servicestage.h"

#include <algorithm>
#include <sys/resource.h>

class TestQtServiceLifecycle : public QObject, private ServiceStage
{
    Q_OBJECT

private slots:
    void initTestCase() { prepareStage(); }
    void stopSignals();
    void simultaneousLaunches();
    void idleConnections_data();
    void idleConnections();
    void tellsSystemd_data();
    void tellsSystemd();
    void socketFiles();
    void cleanup() { clearStage(); }
};

// A stop signal sent to the whole process group comes as SIGTERM and SIGINT
// at once; systemd may repeat SIGTERM while the service cleans up. Either
// way the service stops once and ends cleanly, every time.
void TestQtServiceLifecycle::stopSignals()
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
void TestQtServiceLifecycle::simultaneousLaunches()
{
    stage->env.insert(u"TESTSERVICE_FLAGS"_s, u"0"_s);
    for (int round = 0; round < 20; ++round) {
        ts::Child first(stage->executable, {}, stage->env), second(stage->executable, {}, stage->env);
        QList<int> codes{ quint8(first.finish().exitCode), quint8(second.finish().exitCode) };
        std::sort(codes.begin(), codes.end());
        QCOMPARE(codes, (QList<int>{ 0, 252 }));
        // Stopped only once started, however slowly under load.
        QVERIFY2(QTest::qWaitFor([&] { return events(eventsPath).filter(QRegularExpression(u"^start "_s)).size() == round + 1; }, ts::waitMs),
                 qPrintable(events(eventsPath).join(u'\n')));
        QTRY_COMPARE(stage->processes().size(), 1);
        QCOMPARE(stage->run({ u"-t"_s }).exitCode, 0);
        QTRY_VERIFY(stage->processes().isEmpty());
    }
}

// Other users holding many connections that send nothing: what the daemon
// keeps open stays within the quota of each user and the total of all others,
// and root's "-t" still gets through, at the latest once idle connections
// were closed. Out of descriptors ("spare" left to it), the daemon neither
// spins on its listening socket nor stays out of reach once they are free.
void TestQtServiceLifecycle::idleConnections_data()
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

void TestQtServiceLifecycle::idleConnections()
{
    QFETCH(QList<uid_t>, uids);
    QFETCH(int, each);
    QFETCH(int, kept);
    QFETCH(int, spare);
    if (spare && ts::sanitized)
        QSKIP("The sanitizers' runtime cannot run out of descriptors");
    const qint64 pid = startDaemon(0);
    QVERIFY2(pid, "the daemon did not start in time");
    const qsizetype before = ts::openFiles(pid);
    const rlimit low{ rlim_t(before + spare), rlim_t(before + spare) };
    QVERIFY(!spare || ::prlimit(pid_t(pid), RLIMIT_NOFILE, &low, nullptr) == 0);
    sockaddr_un address;
    socklen_t length;
    QVERIFY(makeUnixAddress(socketPath, &address, &length));
    std::vector<pid_t> holders;
    const auto release = [&holders] {
        std::for_each(holders.begin(), holders.end(), reap);
        holders.clear();
    };
    const auto releaseAtEnd = qScopeGuard(release);
    const auto hold = [&] {
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
            if (::waitpid(holder, &status, WUNTRACED) != holder || !WIFSTOPPED(status))
                return false;
        }
        return true;
    };
    // Reached (out of descriptors, some), and held once root's "alive", queued
    // behind them all, is answered: the daemon takes them at its own pace.
    const auto keeps = [&] {
        return QTest::qWaitFor([&] { return ts::openFiles(pid) >= before + (spare ? 1 : kept); }, ts::waitMs)
            && (spare || QTest::qWaitFor([] { return exchange("alive\r\n", 4) == "true"; }, ts::waitMs))
            && ts::openFiles(pid) <= before + kept + 2;
    };
    // Twice for the users' quota: what a user's ended connections held is
    // theirs again, and the daemon's descriptors are as many as before.
    for (int round = 0; round < (kept > 0 && !spare ? 2 : 1); ++round) {
        QVERIFY2(hold(), "a holder of connections failed");
        if (kept >= 0)
            QVERIFY2(keeps(), qPrintable(u"round %1: %2 descriptors open, %3 before"_s.arg(round).arg(ts::openFiles(pid)).arg(before)));
        else
            QVERIFY2(QTest::qWaitFor([pid] { return ts::openFiles(pid) < 100; }, 20000), "idle connections stay open");
        if (spare) {
            const auto cpuTicks = [pid] {
                const QList<QByteArray> fields = ts::readFile(u"/proc/%1/stat"_s.arg(pid)).split(')').last().split(' ');
                return fields.value(12).toLongLong() + fields.value(13).toLongLong();
            };
            const qint64 ticks = cpuTicks();
            QTest::qWait(1000);
            QVERIFY2(cpuTicks() - ticks < ::sysconf(_SC_CLK_TCK) / 4, "the daemon spins");
        }
        release();
        QVERIFY2(QTest::qWaitFor([&] { return ts::openFiles(pid) == before; }, ts::waitMs),
                 qPrintable(u"round %1: %2 descriptors open after, %3 before"_s.arg(round).arg(ts::openFiles(pid)).arg(before)));
    }
    QCOMPARE(stage->run({ u"-t"_s }).exitCode, 0);
}

// Launched inside a command substitution the launcher returns at once; under
// a unit of Type=notify the daemon says it is ready, pings at half the
// watchdog time (200 ms) and says it stops, at a path or an abstract address.
// Run as systemd runs it, WATCHDOG_PID names the daemon itself; pings for
// another process's watchdog never come.
void TestQtServiceLifecycle::tellsSystemd_data()
{
    QTest::addColumn<QByteArray>("socket");
    QTest::addColumn<QString>("watchdogPid"); // "" none, the launcher forks; "$$" the daemon's own
    QTest::newRow("path") << "/var/tmp/notify"_ba << "";
    QTest::newRow("abstract") << "@watchdog-test-notify"_ba << "";
    QTest::newRow("as systemd runs it") << "@watchdog-test-notify"_ba << "$$";
    QTest::newRow("another process's watchdog") << "@watchdog-test-notify"_ba << "1";
}

void TestQtServiceLifecycle::tellsSystemd()
{
    QFETCH(QByteArray, socket);
    QFETCH(QString, watchdogPid);
    ts::DevLog notify;
    QVERIFY(notify.bind(socket));
    QProcessEnvironment env = stage->env;
    env.insert(u"NOTIFY_SOCKET"_s, QString::fromLatin1(socket));
    env.insert(u"WATCHDOG_USEC"_s, u"200000"_s);
    std::unique_ptr<ts::Child> daemon;
    if (watchdogPid.isEmpty()) {
        const ts::Run run = ts::Child(u"/bin/sh"_s, { u"-c"_s, u"x=$(\"$0\"); echo returned"_s, stage->executable }, env).finish();
        QCOMPARE(run.out, u"returned\n"_s);
    } else {
        env.insert(u"QTSERVICE_RUN"_s, u"1"_s);
        daemon = std::make_unique<ts::Child>(u"/bin/sh"_s, QStringList{ u"-c"_s, u"WATCHDOG_PID="_s + watchdogPid + u" exec \"$0\""_s,
                                                                        stage->executable }, env);
    }
    QTRY_VERIFY_WITH_TIMEOUT(notify.entries().contains(u"READY=1"_s), ts::waitMs);
    QCOMPARE(notify.received.constFirst(), u"READY=1"_s);
    // Read as they come: the socket queues only a few datagrams.
    for (const QDeadlineTimer twoSeconds(2000); !twoSeconds.hasExpired(); QTest::qWait(20))
        notify.entries();
    // Paced by the kernel's arrival times, which load can stretch but never
    // shorten: pings due every 100 ms come that close at least once; a full
    // watchdog time apart, never under 190 ms.
    qint64 closest = std::numeric_limits<qint64>::max();
    for (qsizetype i = 1; i < notify.received.size(); ++i) {
        if (notify.received.at(i) == u"WATCHDOG=1" && notify.received.at(i - 1) == u"WATCHDOG=1")
            closest = std::min(closest, notify.arrivals.at(i) - notify.arrivals.at(i - 1));
    }
    const bool pinged = notify.received.contains(u"WATCHDOG=1"_s);
    QVERIFY2(watchdogPid == u"1"_s ? !pinged : closest < 150, qPrintable(notify.received.join(u' ')));
    QCOMPARE(stage->run({ u"-t"_s }).exitCode, 0);
    QTRY_VERIFY(notify.entries().contains(u"STOPPING=1"_s));
}

// A socket file left by a dead daemon does not keep the next from its socket;
// a stopping daemon deletes its own socket file only; the system log gets
// every line of a message at the priority of its type.
void TestQtServiceLifecycle::socketFiles()
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
    const qsizetype descriptors = ts::openFiles(pid);
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
    // A hundred entries and a logger restart later, it holds what it held.
    QTRY_COMPARE(ts::openFiles(pid), descriptors);
    QVERIFY(::unlink(QFile::encodeName(socketPath)) == 0 && ts::writeFile(socketPath, "another daemon's"));
    QCOMPARE(::kill(pid_t(pid), SIGTERM), 0);
    QTRY_VERIFY(ts::processGone(pid));
    QCOMPARE(ts::readFile(socketPath), "another daemon's"_ba);
}

QTEST_GUILESS_MAIN(TestQtServiceLifecycle)
#include "tst_qtservice_lifecycle.moc"
