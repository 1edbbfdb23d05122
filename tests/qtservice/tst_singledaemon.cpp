// One daemon per service name, reachable whatever other local users do, and
// exit codes that tell the truth: simultaneous launches, a second start
// beside a running daemon, a user holding many idle connections, a daemon
// out of descriptors, "-t" against a daemon that refuses, and a system
// logger that does not read.

#include "qtservicesysprivate.h"
#include "servicelock.h"
#include "servicetestsupport.h"
#include "systemlog.h"

#include <QSocketNotifier>

#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>

using namespace ServiceTest;

namespace {

// Without waiting: a connection the daemon's queue cannot take is refused.
int connectTo(const QString &path)
{
    sockaddr_un address;
    socklen_t length;
    const int fd = openUnixStreamSocket(path, &address, &length);
    if (fd >= 0 && ::fcntl(fd, F_SETFL, O_NONBLOCK) == 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Daemons of the test service for name: processes that hold its lock or
// wait to, whatever launched them.
QList<qint64> daemonsOf(const QString &name)
{
    QList<qint64> pids;
    const QString executable = QFileInfo(testServicePath()).canonicalFilePath();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        const QString base = QStringLiteral("/proc/") + entry;
        if (entry.toLongLong() <= 0 || QFile::symLinkTarget(base + QStringLiteral("/exe")) != executable
            || processGone(entry.toLongLong()))
            continue;
        const QList<QByteArray> environment = readFile(base + QStringLiteral("/environ")).split('\0');
        if (environment.contains("TESTSERVICE_NAME=" + name.toUtf8()) && environment.contains("QTSERVICE_RUN=1"))
            pids << entry.toLongLong();
    }
    return pids;
}

// CPU time of a process in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields.at(11).toLongLong() + fields.at(12).toLongLong() : -1;
}

} // namespace

class TestSingleDaemon : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void simultaneousLaunches();
    void secondStartRefused_data();
    void secondStartRefused();
    void idleConnectionsOfAUser_data();
    void idleConnectionsOfAUser();
    void outOfDescriptors();
    void terminateExitCode_data();
    void terminateExitCode();
    void unreadSystemLog();

private:
    // A launched daemon of name, and its pid (0 when none came up).
    qint64 launch(const QStringList &switches = {});

    std::unique_ptr<QTemporaryDir> dir;
    QString name;
    Leftovers leftovers;
};

void TestSingleDaemon::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    name = uniqueServiceName(QString::fromLatin1(QTest::currentTestFunction()));
    leftovers.addService(name);
}

void TestSingleDaemon::cleanup()
{
    leftovers.clear();
    dir.reset();
}

qint64 TestSingleDaemon::launch(const QStringList &switches)
{
    const Run run = runService({}, serviceEnvironment(name, dir->path(), switches));
    pid_t holder = 0;
    if (run.exitCode != 0 || ServiceLock::probe(name, &holder) != ServiceLock::State::Held)
        return 0;
    return holder;
}

// The lock decides, not a probe of the socket: of two launches at the same
// instant one starts the daemon and the other says "could not start".
void TestSingleDaemon::simultaneousLaunches()
{
    const QProcessEnvironment env = serviceEnvironment(name, dir->path());
    for (int round = 0; round < 20; ++round) {
        QList<int> codes;
        {
            ServiceChild first({}, env);
            ServiceChild second({}, env);
            for (ServiceChild *child : { &first, &second }) {
                QVERIFY(child->process.waitForFinished(startTimeoutMs));
                codes << child->process.exitCode();
            }
        }
        std::sort(codes.begin(), codes.end());
        QCOMPARE(codes, (QList<int>{ 0, 252 }));
        QTRY_COMPARE(daemonsOf(name).size(), 1);
        const qint64 daemon = daemonsOf(name).first();
        VERIFY_RUN(runService({ "-t" }, env), 0, "", "");
        QTRY_VERIFY(processGone(daemon));
    }
    // One start per daemon: no second set of workers ever ran.
    QCOMPARE(eventsStartingWith(dir->filePath(QStringLiteral("events")), QStringLiteral("start ")).size(), 20);
}

void TestSingleDaemon::secondStartRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("switches");
    QTest::newRow("QTSERVICE_RUN, as systemd starts it") << QStringList() << QStringList{ "QTSERVICE_RUN" };
    QTest::newRow("-e") << QStringList{ "-e" } << QStringList();
}

// Refused with the running daemon's pid; the running daemon keeps its socket.
void TestSingleDaemon::secondStartRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, switches);
    const qint64 daemon = launch();
    QVERIFY(daemon > 0);
    const QString socketPath = controlSocketPath(name);
    QTRY_VERIFY(fileExists(socketPath));
    struct stat before;
    QCOMPARE(::stat(QFile::encodeName(socketPath).constData(), &before), 0);

    VERIFY_RUN(runService(arguments, serviceEnvironment(name, dir->path(), switches)), 252, "",
               QStringLiteral("The service %1 is already running with pid %2\n").arg(name).arg(daemon));
    struct stat after;
    QCOMPARE(::stat(QFile::encodeName(socketPath).constData(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QVERIFY(sendControlCommand(name, QStringLiteral("alive")));
    QCOMPARE(daemonsOf(name), QList<qint64>{ daemon });
    QCOMPARE(eventsStartingWith(dir->filePath(QStringLiteral("events")), QStringLiteral("start ")).size(), 1);
}

void TestSingleDaemon::idleConnectionsOfAUser_data()
{
    QTest::addColumn<uint>("uid");
    QTest::newRow("another user: root has places of its own") << 65534u;
    QTest::newRow("root itself: idle connections are closed") << 0u;
}

// Any user may connect; one holding 300 connections that send nothing
// leaves root's "-v" and "-t" working, at the latest once the idle
// connections were closed.
void TestSingleDaemon::idleConnectionsOfAUser()
{
    QFETCH(uint, uid);
    const qint64 daemon = launch();
    QVERIFY(daemon > 0);
    const QByteArray socketPath = QFile::encodeName(controlSocketPath(name));
    QTRY_VERIFY(fileExists(QString::fromLocal8Bit(socketPath)));
    int ready[2];
    QCOMPARE(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        // Only system calls between fork and _exit.
        if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0))
            ::_exit(1);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
        for (int i = 0; i < 300; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
                ::_exit(2);
        }
        [[maybe_unused]] const ssize_t written = ::write(ready[1], "r", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    const auto endHolder = qScopeGuard([&] { ::kill(holder, SIGKILL); ::waitpid(holder, nullptr, 0); });
    char word = 0;
    QCOMPARE(::read(ready[0], &word, 1), ssize_t(1));
    ::close(ready[0]);

    const QProcessEnvironment env = serviceEnvironment(name, dir->path());
    QVERIFY(runService({ "-v" }, env).out.contains(" and running\n"));
    if (uid == 0)
        QTRY_VERIFY_WITH_TIMEOUT(runService({ "-t" }, env).exitCode == 0, 2 * QtServiceSysPrivate::idleTimeoutMs);
    else
        VERIFY_RUN(runService({ "-t" }, env), 0, "", "");
    QTRY_VERIFY(processGone(daemon));
}

// Out of descriptors, the daemon neither spins on its listening socket nor
// stays out of reach once descriptors are free again.
void TestSingleDaemon::outOfDescriptors()
{
    const qint64 daemon = launch();
    QVERIFY(daemon > 0);
    const QString socketPath = controlSocketPath(name);
    QTRY_VERIFY(sendControlCommand(name, QStringLiteral("alive")));
    const int open = int(QDir(QStringLiteral("/proc/%1/fd").arg(daemon)).entryList(QDir::System | QDir::Files).size());
    const rlimit low{ rlim_t(open + 8), rlim_t(open + 8) };
    QCOMPARE(::prlimit(pid_t(daemon), RLIMIT_NOFILE, &low, nullptr), 0);
    std::vector<int> held;
    // More than the daemon has descriptors for: the rest waits in its queue.
    for (int i = 0; i < 200 && held.size() < 20; ++i) {
        if (const int fd = connectTo(socketPath); fd >= 0)
            held.push_back(fd);
        else
            QTest::qWait(10);
    }
    QVERIFY(held.size() > 8);
    QTest::qWait(300); // the daemon takes what it can
    const qint64 before = cpuTicks(daemon);
    QTest::qWait(1000);
    const qint64 spent = cpuTicks(daemon) - before;
    QVERIFY2(spent < sysconf(_SC_CLK_TCK) / 4, qPrintable(QString::number(spent)));
    for (const int fd : held)
        ::close(fd);
    QTRY_VERIFY_WITH_TIMEOUT(sendControlCommand(name, QStringLiteral("alive")), 10000);
}

void TestSingleDaemon::terminateExitCode_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("none runs") << false << 0;
    QTest::newRow("the daemon refuses to stop") << true << 1;
}

void TestSingleDaemon::terminateExitCode()
{
    QFETCH(bool, running);
    QFETCH(int, exitCode);
    QProcessEnvironment env = serviceEnvironment(name, dir->path());
    if (running) {
        env.insert(QStringLiteral("TESTSERVICE_FLAGS"), QString::number(int(QtServiceBase::CannotStop)));
        QVERIFY(runService({}, env).exitCode == 0);
        QTRY_VERIFY(sendControlCommand(name, QStringLiteral("alive")));
    }
    const Run run = runService({ "-t" }, env);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY(run.err.startsWith("The service could not be stopped."));
}

// A logger that does not read costs entries, never a wait: they are dropped
// and counted, and the count goes out before the next entry that gets
// through. A restarted logger is found again.
void TestSingleDaemon::unreadSystemLog()
{
    const QByteArray path = QFile::encodeName(dir->filePath(QStringLiteral("log")));
    const auto bindLogger = [&] {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        ::unlink(path.constData());
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        return fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 ? fd : -1;
    };
    const auto receive = [](int fd) {
        QStringList entries;
        char buffer[1024];
        for (ssize_t size; (size = ::recv(fd, buffer, sizeof buffer, 0)) >= 0;) {
            const QString entry = QString::fromLatin1(buffer, size);
            entries << entry.left(entry.indexOf(QLatin1Char('>')) + 1) + entry.mid(entry.indexOf(QLatin1String("ident[")));
        }
        return entries;
    };
    int logger = bindLogger();
    QVERIFY(logger >= 0);
    SystemLog log(path.constData());
    log.setIdent("ident");
    // Far more than the kernel queues for a datagram socket nobody reads.
    for (int i = 0; i < 2000; ++i)
        log.write(LOG_INFO, "entry " + QByteArray::number(i));
    const quint64 dropped = log.dropped();
    QVERIFY(dropped > 0);
    QCOMPARE(receive(logger).size(), qsizetype(2000 - dropped));

    ::close(logger);
    logger = bindLogger();
    QVERIFY(logger >= 0);
    log.write(LOG_ERR, "after");
    const QString pid = QString::number(::getpid());
    QCOMPARE(receive(logger), (QStringList{ QStringLiteral("<28>ident[%1]: %2 system log entries were dropped").arg(pid).arg(dropped),
                                            QStringLiteral("<27>ident[%1]: after").arg(pid) }));
    QCOMPARE(log.dropped(), quint64(0));
    ::close(logger);
}

QTEST_GUILESS_MAIN(TestSingleDaemon)
#include "tst_singledaemon.moc"
