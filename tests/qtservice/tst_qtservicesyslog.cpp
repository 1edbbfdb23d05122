// What a service writes to the system log, seen by a receiver on the log
// socket itself: identifier, process id, facility and priorities, one entry
// per line, text never used as a format, and nothing outside the daemon.
//
// The test receives on /dev/log itself (see LogReceiver); CTest keeps other
// tests that need it waiting.

#include "qtservice.h"
#include "servicetestsupport.h"

#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>

using namespace ServiceTest;

namespace {

const char logSocketPath[] = "/dev/log";

char programName[] = "tst_qtservicesyslog";
char *programArgv[] = { programName, nullptr };

class LocalService : public QtService<QCoreApplication>
{
public:
    explicit LocalService(const QString &name)
        : QtService<QCoreApplication>(1, programArgv, name, nullptr)
    {
    }

protected:
    void start() override {}
};

struct LogEntry
{
    int priority = -1;
    QString ident;
    qint64 pid = 0;
    QByteArray text;
};

// One datagram as the C library sends it: "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
LogEntry parseEntry(QByteArray datagram)
{
    while (datagram.endsWith('\0'))
        datagram.chop(1);
    static const QRegularExpression pattern(
        QStringLiteral("^<(\\d+)>[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d "
                       "([^\\[ ]*)\\[(\\d+)\\]: "),
        QRegularExpression::DotMatchesEverythingOption);
    const QString text = QString::fromLatin1(datagram);
    const QRegularExpressionMatch match = pattern.match(text);
    LogEntry entry;
    if (!match.hasMatch()) {
        entry.text = datagram;
        return entry;
    }
    entry.priority = match.captured(1).toInt();
    entry.ident = match.captured(2);
    entry.pid = match.captured(3).toLongLong();
    entry.text = datagram.mid(match.capturedLength(0));
    return entry;
}

// The receiver of this process's system log for its lifetime: a datagram
// socket at /dev/log, whose entries are collected from the event loop.
// Where /dev/log is absent, the socket is bound there and the file removed
// on destruction, whatever the test's outcome (unless someone else has put
// another one there since). Where it exists (a system logger, or another
// test's receiver), this process moves to a private mount namespace and
// mounts its own socket over it there, leaving the real one alone; child
// processes inherit the namespace.
class LogReceiver
{
public:
    LogReceiver()
    {
        struct stat existing;
        const bool present = ::lstat(logSocketPath, &existing) == 0;
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            problem = QStringLiteral("cannot create a datagram socket: %1").arg(strerror(errno));
            return;
        }
        const QByteArray bindPath = present ? QFile::encodeName(privateDir.filePath("log"))
                                            : QByteArray(logSocketPath);
        if (present && !privateDir.isValid()) {
            problem = QStringLiteral("no temporary folder");
            return;
        }
        const sockaddr_un address = socketAddress(bindPath);
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            problem = QStringLiteral("cannot bind %1: %2")
                          .arg(QString::fromLocal8Bit(bindPath), strerror(errno));
            return;
        }
        ::chmod(bindPath.constData(), 0666);
        if (present) {
            if (::unshare(CLONE_NEWNS) != 0
                || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                || ::mount(bindPath.constData(), logSocketPath, nullptr, MS_BIND, nullptr) != 0) {
                problem = QStringLiteral("%1 exists and cannot be covered in a private mount "
                                         "namespace: %2")
                              .arg(logSocketPath, strerror(errno));
                return;
            }
            mounted = true;
        } else {
            struct stat bound;
            if (::lstat(logSocketPath, &bound) == 0) {
                device = bound.st_dev;
                inode = bound.st_ino;
                created = true;
            }
        }
        notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                         [this] { receive(); });
    }

    ~LogReceiver()
    {
        notifier.reset();
        if (fd >= 0)
            ::close(fd);
        if (mounted)
            ::umount2(logSocketPath, MNT_DETACH);
        struct stat current;
        if (created && ::lstat(logSocketPath, &current) == 0 && current.st_dev == device
            && current.st_ino == inode)
            ::unlink(logSocketPath);
    }

    LogReceiver(const LogReceiver &) = delete;
    LogReceiver &operator=(const LogReceiver &) = delete;

    bool isValid() const { return problem.isEmpty(); }
    QString reason() const { return problem; }
    // True when this process created /dev/log itself.
    bool ownsLogFile() const { return created; }

    void receive()
    {
        char buffer[8192];
        ssize_t size;
        while ((size = ::recv(fd, buffer, sizeof buffer, 0)) >= 0)
            entries.append(parseEntry(QByteArray(buffer, size)));
    }

    // Drops everything received so far.
    void clear()
    {
        receive();
        entries.clear();
    }

    // Everything received that belongs to the identifier or the process.
    QList<LogEntry> entriesOf(const QString &ident, qint64 pid)
    {
        receive();
        QList<LogEntry> result;
        for (const LogEntry &entry : std::as_const(entries)) {
            if (entry.ident == ident || entry.pid == pid)
                result.append(entry);
        }
        return result;
    }

private:
    static sockaddr_un socketAddress(const QByteArray &path)
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(),
                    std::min(size_t(path.size()), sizeof address.sun_path - 1));
        return address;
    }

    QTemporaryDir privateDir;
    int fd = -1;
    bool created = false;
    bool mounted = false;
    dev_t device = 0;
    ino_t inode = 0;
    QString problem;
    std::unique_ptr<QSocketNotifier> notifier;
    QList<LogEntry> entries;
};

constexpr int daemonFacility = LOG_DAEMON;

} // namespace

class TestQtServiceSyslog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void daemonEntries();
    void nothingOutsideTheDaemon_data();
    void nothingOutsideTheDaemon();

private:
    // Runs the test service to its end while the receiver keeps reading.
    bool runService(const QStringList &arguments, bool daemon, qint64 *pid);

    std::unique_ptr<LogReceiver> receiver;
    std::unique_ptr<QTemporaryDir> dir;
    QString name;
    QString events;
};

void TestQtServiceSyslog::initTestCase()
{
    receiver = std::make_unique<LogReceiver>();
    if (!receiver->isValid()) {
        const QString reason = receiver->reason();
        receiver.reset();
        QSKIP(qPrintable(QStringLiteral("No receiver on the log socket: ") + reason));
    }
}

void TestQtServiceSyslog::cleanupTestCase()
{
    if (!receiver)
        return;
    const bool created = receiver->ownsLogFile();
    receiver.reset();
    if (created)
        QVERIFY(!fileExists(QString::fromLatin1(logSocketPath)));
}

void TestQtServiceSyslog::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    // Blanks, punctuation and capitals, none of which the identifier keeps.
    name = QStringLiteral("QtService-Test_Syslog %1.Ident").arg(QCoreApplication::applicationPid());
    events = dir->filePath(QStringLiteral("events"));
    receiver->clear();
}

void TestQtServiceSyslog::cleanup()
{
    ::unlink(QFile::encodeName(controlSocketPath(name)).constData());
    dir.reset();
}

bool TestQtServiceSyslog::runService(const QStringList &arguments, bool daemon, qint64 *pid)
{
    QProcessEnvironment env = cleanEnvironment();
    env.insert(QStringLiteral("TESTSERVICE_NAME"), name);
    env.insert(QStringLiteral("TESTSERVICE_EVENTS"), events);
    env.insert(QStringLiteral("TESTSERVICE_LOG"), QStringLiteral("1"));
    env.insert(QStringLiteral("TESTSERVICE_QUIT_AFTER_START"), QStringLiteral("1"));
    if (daemon)
        env.insert(QStringLiteral("QTSERVICE_RUN"), QStringLiteral("1"));
    QProcess process;
    process.setProgram(testServicePath());
    process.setArguments(arguments);
    process.setProcessEnvironment(env);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(10000))
        return false;
    *pid = process.processId();
    // The receiver's queue is short; it must be read while the service logs.
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000))
        return false;
    receiver->receive();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0
        && readEvents(events).contains(QStringLiteral("logged"));
}

void TestQtServiceSyslog::daemonEntries()
{
    qint64 pid = 0;
    QVERIFY(runService({}, true, &pid));

    const QString ident = sanitizedName(name);
    QCOMPARE(ident, QStringLiteral("qtservicetestsyslog%1ident")
                        .arg(QCoreApplication::applicationPid()));
    const QList<LogEntry> entries = receiver->entriesOf(ident, pid);

    const int information = daemonFacility | LOG_INFO;
    const int error = daemonFacility | LOG_ERR;
    const int warning = daemonFacility | LOG_WARNING;
    QCOMPARE(information, 30);
    QCOMPARE(error, 27);
    QCOMPARE(warning, 28);
    const QList<std::pair<int, QByteArray>> expected = {
        { information, "testservice information" },
        { error, "testservice error" },
        { warning, "testservice warning" },
        { information, "first line" },
        { information, "" },
        { information, "third line" },
        { information, "100% literal %s %n %d" },
    };
    QList<std::pair<int, QByteArray>> received;
    for (const LogEntry &entry : entries) {
        received.append({ entry.priority, entry.text });
        QCOMPARE(entry.ident, ident);
        QCOMPARE(entry.pid, pid);
    }
    QCOMPARE(received, expected);
}

void TestQtServiceSyslog::nothingOutsideTheDaemon_data()
{
    QTest::addColumn<bool>("inProcess");

    QTest::newRow("foreground run") << false;
    QTest::newRow("service object of a command") << true;
}

void TestQtServiceSyslog::nothingOutsideTheDaemon()
{
    QFETCH(bool, inProcess);

    qint64 pid = QCoreApplication::applicationPid();
    if (inProcess) {
        LocalService service(name);
        service.logMessage(QStringLiteral("not for the log"), QtServiceBase::Error);
        service.logMessage(QStringLiteral("nor this"), QtServiceBase::Information);
    } else {
        QVERIFY(runService({ QStringLiteral("-e") }, false, &pid));
    }
    QCOMPARE(receiver->entriesOf(sanitizedName(name), pid).size(), 0);
}

QTEST_GUILESS_MAIN(TestQtServiceSyslog)
#include "tst_qtservicesyslog.moc"
