// What a service writes to the system log, seen by a receiver on the log
// socket itself: identifier, process id, facility and priorities, one entry
// per line, text never used as a format, and nothing outside the daemon.
// The test receives on /dev/log itself (see LogReceiver); CTest keeps other
// tests that need it waiting.

#include "servicetestsupport.h"

#include <QSocketNotifier>

#include <cstring>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

using namespace ServiceTest;

namespace {

const char logSocketPath[] = "/dev/log";

// A datagram as the C library sends it, "<PRI>Mmm dd hh:mm:ss ident[pid]:
// text", without the time.
QString withoutTime(QByteArray datagram)
{
    while (datagram.endsWith('\0'))
        datagram.chop(1);
    static const QRegularExpression time(
        QStringLiteral("^(<\\d+>)[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d "));
    return QString::fromLatin1(datagram).replace(time, QStringLiteral("\\1"));
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
        const QByteArray bindPath = present ? QFile::encodeName(privateDir.filePath("log"))
                                            : QByteArray(logSocketPath);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, bindPath.constData(), sizeof address.sun_path - 1);
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0 || (present && !privateDir.isValid())
            || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            problem = QStringLiteral("cannot bind %1: %2")
                          .arg(QString::fromLocal8Bit(bindPath), strerror(errno));
            return;
        }
        ::chmod(bindPath.constData(), 0666);
        if (present) {
            if (::unshare(CLONE_NEWNS) != 0
                || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                || ::mount(bindPath.constData(), logSocketPath, nullptr, MS_BIND, nullptr) != 0) {
                problem = QStringLiteral("%1 exists and cannot be covered in a private mount namespace: %2")
                              .arg(logSocketPath, strerror(errno));
                return;
            }
            mounted = true;
        } else {
            struct stat bound = {};
            created = ::lstat(logSocketPath, &bound) == 0;
            device = bound.st_dev;
            inode = bound.st_ino;
        }
        notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [this] { receive(); });
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

    QString problem; // empty when receiving
    bool created = false; // this process created /dev/log itself

    void receive()
    {
        char buffer[8192];
        ssize_t size;
        while ((size = ::recv(fd, buffer, sizeof buffer, 0)) >= 0)
            entries.append(withoutTime(QByteArray(buffer, size)));
    }

    // Everything received that names the identifier or the process.
    QStringList entriesOf(const QString &ident, qint64 pid)
    {
        receive();
        QStringList result = entries;
        result.removeIf([&](const QString &entry) {
            return !entry.contains(ident + QLatin1Char('['))
                && !entry.contains(QStringLiteral("[%1]:").arg(pid));
        });
        return result;
    }

    QStringList entries;

private:
    QTemporaryDir privateDir;
    int fd = -1;
    bool mounted = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::unique_ptr<QSocketNotifier> notifier;
};

} // namespace

class TestQtServiceSyslog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void entries_data();
    void entries();

private:
    std::unique_ptr<LogReceiver> receiver;
    std::unique_ptr<QTemporaryDir> dir;
    QString name;
    QString ident;
};

void TestQtServiceSyslog::initTestCase()
{
    receiver = std::make_unique<LogReceiver>();
    if (!receiver->problem.isEmpty()) {
        const QString reason = receiver->problem;
        receiver.reset();
        QSKIP(qPrintable(QStringLiteral("No receiver on the log socket: ") + reason));
    }
    // Blanks, punctuation and capitals, none of which the identifier keeps.
    name = QStringLiteral("QtService-Test_Syslog %1.Ident").arg(QCoreApplication::applicationPid());
    ident = QStringLiteral("qtservicetestsyslog%1ident").arg(QCoreApplication::applicationPid());
}

void TestQtServiceSyslog::cleanupTestCase()
{
    const bool created = receiver && receiver->created;
    receiver.reset();
    if (created)
        QVERIFY(!fileExists(QString::fromLatin1(logSocketPath)));
}

void TestQtServiceSyslog::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    receiver->receive();
    receiver->entries.clear();
}

void TestQtServiceSyslog::cleanup()
{
    ::unlink(QFile::encodeName(controlSocketPath(name)).constData());
    dir.reset();
}

void TestQtServiceSyslog::entries_data()
{
    QTest::addColumn<bool>("daemon");
    QTest::newRow("daemon") << true;
    // Outside the daemon nothing goes to the log.
    QTest::newRow("foreground") << false;
}

void TestQtServiceSyslog::entries()
{
    QFETCH(bool, daemon);

    QStringList switches = { "TESTSERVICE_LOG", "TESTSERVICE_QUIT_AFTER_START" };
    if (daemon)
        switches << QStringLiteral("QTSERVICE_RUN");
    // The receiver's queue is short: it reads while the service logs.
    ServiceChild child(daemon ? QStringList() : QStringList{ "-e" },
                       serviceEnvironment(name, dir->path(), switches));
    QVERIFY(child.endsCleanly());
    QVERIFY(readEvents(dir->filePath(QStringLiteral("events"))).contains(QStringLiteral("logged")));

    QStringList expected;
    const auto entry = [&](int priority, const QString &text) {
        expected << QStringLiteral("<%1>%2[%3]: %4")
                        .arg(QString::number(LOG_DAEMON | priority), ident, QString::number(child.pid), text);
    };
    if (daemon) {
        entry(LOG_INFO, QStringLiteral("testservice information"));
        entry(LOG_ERR, QStringLiteral("testservice error"));
        entry(LOG_WARNING, QStringLiteral("testservice warning"));
        entry(LOG_INFO, QStringLiteral("first line"));
        entry(LOG_INFO, QString());
        entry(LOG_INFO, QStringLiteral("third line"));
        entry(LOG_INFO, QStringLiteral("100% literal %s %n %d"));
    }
    QCOMPARE(receiver->entriesOf(ident, child.pid), expected);
}

QTEST_GUILESS_MAIN(TestQtServiceSyslog)
#include "tst_qtservicesyslog.moc"
