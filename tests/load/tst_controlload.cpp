// The control socket of a real daemon under load and under hostile clients.
//
// 200 clients each send 50 well-formed commands over one connection while 10
// hostile clients stream text without a line end, leave half a command
// unfinished or just hold their connection open: every well-formed command
// must be answered correctly and reach the service, the daemon's resident
// memory must stay within 5 MiB of where it started, and once every client
// is gone the daemon must hold no descriptor more than before. Two hostile
// patterns get tests of their own: more connections than the daemon takes at
// once, and a client that sends commands without ever reading the replies.
//
// The daemon is the framework's scripted test service under a name of its
// own, run in the daemon role as a child of the test; everything goes over
// its Unix-domain control socket on this machine.

#include "controlsocket.h"
#include "qtservicesysprivate.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <memory>
#include <vector>

#include <dirent.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int commandClientCount = 200;
constexpr int commandsPerClient = 50;
constexpr int streamerCount = 4;
constexpr int halfCommandCount = 3;
constexpr int idleCount = 3;
constexpr qint64 allowedGrowthKiB = 5 * 1024;
constexpr int runTimeoutMs = 60000;

const QByteArray yes = "true";

// Resident memory of a process in KiB; -1 when it cannot be read.
qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Open descriptors of a process; -1 when they cannot be listed.
int descriptorCount(qint64 pid)
{
    const QByteArray path = QStringLiteral("/proc/%1/fd").arg(pid).toLatin1();
    DIR *folder = ::opendir(path.constData());
    if (!folder)
        return -1;
    int count = 0;
    while (const dirent *entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(folder);
    return count;
}

// The descriptor count once it has not changed for a while.
int settledDescriptorCount(qint64 pid)
{
    int count = descriptorCount(pid);
    for (int unchanged = 0, rounds = 0; unchanged < 5 && rounds < 100; ++rounds) {
        QTest::qWait(50);
        const int now = descriptorCount(pid);
        unchanged = now == count ? unchanged + 1 : 0;
        count = now;
    }
    return count;
}

// One well-formed client: its commands in batches of one to five per write,
// some batches cut in two writes in the middle of a command, each batch's
// replies awaited before the next is sent. It keeps its connection until
// told to leave, so that all clients are connected at the same time.
class CommandClient : public QObject
{
    Q_OBJECT
public:
    CommandClient(int index, QObject *parent) : QObject(parent), index(index)
    {
        connect(&socket, &QLocalSocket::connected, this, &CommandClient::sendBatch);
        connect(&socket, &QLocalSocket::readyRead, this, &CommandClient::readReplies);
        connect(&socket, &QLocalSocket::errorOccurred, this, [this] {
            if (!leaving)
                fail(QStringLiteral("socket error: ") + socket.errorString());
        });
    }

    void start(const QString &path) { socket.connectToServer(path); }
    void leave()
    {
        leaving = true;
        socket.abort();
    }

    bool done() const { return answered == commandsPerClient || !failure.isEmpty(); }
    bool connectedNow() const { return socket.state() == QLocalSocket::ConnectedState; }

    const int index;
    int answered = 0;
    QList<int> codesSent;
    QString failure;

private:
    QByteArray command(int number)
    {
        if (number % 2 == 0)
            return QByteArrayLiteral("alive\r\n");
        // Codes of every size, the edges of the int range included.
        static const int edges[] = { 0, -1, 2147483647, -2147483647 - 1 };
        const int code = number % 7 == 1 ? edges[(index + number) % 4] : index * 1000 + number;
        codesSent.append(code);
        return "num:" + QByteArray::number(code) + "\r\n";
    }

    void sendBatch()
    {
        const int size = qMin(1 + (index + answered) % 5, commandsPerClient - answered);
        QByteArray batch;
        for (int number = answered; number < answered + size; ++number)
            batch += command(number);
        expected = yes.repeated(size);
        received.clear();
        if ((index + answered) % 3 != 0) {
            socket.write(batch);
            return;
        }
        // Cut inside a command; the rest follows from the event loop.
        const qsizetype cut = batch.size() / 2 + 1;
        socket.write(batch.left(cut));
        socket.flush();
        const QByteArray rest = batch.mid(cut);
        QTimer::singleShot(0, this, [this, rest] { socket.write(rest); });
    }

    void readReplies()
    {
        received += socket.readAll();
        if (!expected.startsWith(received)) {
            fail(QStringLiteral("replies %1 where %2 was due")
                         .arg(QString::fromLatin1(received), QString::fromLatin1(expected)));
            return;
        }
        if (received.size() < expected.size())
            return;
        answered += int(expected.size() / yes.size());
        if (answered < commandsPerClient)
            sendBatch();
    }

    void fail(const QString &why)
    {
        if (failure.isEmpty())
            failure = QStringLiteral("client %1 after %2 replies: %3").arg(index).arg(answered).arg(why);
    }

    QLocalSocket socket;
    QByteArray expected;
    QByteArray received;
    bool leaving = false;
};

// A hostile client. A streamer writes a kilobyte without a line end every
// few milliseconds and connects again whenever the daemon closes on it; a
// half client sends the start of a command and waits; an idle client never
// sends anything.
class HostileClient : public QObject
{
    Q_OBJECT
public:
    enum class Kind { Streamer, HalfCommand, Idle };

    HostileClient(Kind kind, QByteArray opening, QObject *parent)
        : QObject(parent), kind(kind), opening(std::move(opening))
    {
        connect(&socket, &QLocalSocket::connected, this, [this] {
            if (!this->opening.isEmpty())
                socket.write(this->opening);
        });
        connect(&socket, &QLocalSocket::readyRead, this, [this] { received += socket.readAll(); });
        connect(&socket, &QLocalSocket::disconnected, this, [this] {
            if (leaving)
                return;
            ++closedByDaemon;
            if (this->kind == Kind::Streamer)
                QTimer::singleShot(0, this, [this] { socket.connectToServer(path); });
        });
        if (kind == Kind::Streamer) {
            connect(&streamTimer, &QTimer::timeout, this, [this] {
                if (socket.state() == QLocalSocket::ConnectedState)
                    socket.write(QByteArray(1024, 'x'));
            });
        }
    }

    void start(const QString &serverPath)
    {
        path = serverPath;
        socket.connectToServer(path);
        if (kind == Kind::Streamer)
            streamTimer.start(5);
    }

    void leave()
    {
        leaving = true;
        streamTimer.stop();
        socket.abort();
    }

    bool connectedNow() const { return socket.state() == QLocalSocket::ConnectedState; }

    const Kind kind;
    const QByteArray opening;
    QByteArray received;
    int closedByDaemon = 0;

private:
    QLocalSocket socket;
    QTimer streamTimer;
    QString path;
    bool leaving = false;
};

} // namespace

class tst_ControlLoad : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void manyClientsAndHostileOnes();
    void connectionsBeyondTheLimit();
    void clientThatNeverReadsReplies();

private:
    struct Round
    {
        std::unique_ptr<QObject> owner = std::make_unique<QObject>();
        std::vector<CommandClient *> clients;
        std::vector<HostileClient *> hostile;
        qint64 peakResidentKiB = 0;
        int descriptorsWhileConnected = 0;
        qint64 elapsedMs = 0;
    };
    void runRound(Round &round, int clients);
    QStringList commandEvents() const;

    QTemporaryDir scratch;
    QString serviceName;
    QString socketPath;
    QString eventsPath;
    QProcess daemon;
};

void tst_ControlLoad::init()
{
    QVERIFY(scratch.isValid());
    serviceName = QStringLiteral("Watchdog Load Test %1").arg(QCoreApplication::applicationPid());
    socketPath = controlSocketPath(serviceName);
    eventsPath = scratch.filePath(QStringLiteral("events"));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QStringList keys = env.keys();
    for (const QString &key : keys) {
        if (key.startsWith(QLatin1String("TESTSERVICE_")))
            env.remove(key);
    }
    // The daemon role itself, run as our child so that its descriptors and
    // memory can be watched.
    env.insert(QStringLiteral("QTSERVICE_RUN"), QStringLiteral("1"));
    env.insert(QStringLiteral("TESTSERVICE_NAME"), serviceName);
    env.insert(QStringLiteral("TESTSERVICE_REGISTRY"), scratch.filePath(QStringLiteral("registry")));
    env.insert(QStringLiteral("TESTSERVICE_EVENTS"), eventsPath);
    daemon.setProgram(QStringLiteral(TESTSERVICE_PATH));
    daemon.setProcessEnvironment(env);
    daemon.setStandardInputFile(QProcess::nullDevice());
    daemon.setProcessChannelMode(QProcess::ForwardedChannels);
    // The daemon never outlives a test that dies.
    daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    daemon.start();
    QVERIFY(daemon.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(sendControlCommand(serviceName, QStringLiteral("alive")), 10000);
}

// The daemon ends the orderly way, so that a sanitized one checks itself
// for leaks; one that does not is killed.
void tst_ControlLoad::cleanup()
{
    if (daemon.state() == QProcess::NotRunning)
        return;
    const bool terminated = sendControlCommand(serviceName, QStringLiteral("terminate"))
            && daemon.waitForFinished(10000);
    if (!terminated) {
        daemon.kill();
        daemon.waitForFinished();
        QFile::remove(socketPath);
    }
    QVERIFY(terminated);
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
}

QStringList tst_ControlLoad::commandEvents() const
{
    QFile file(eventsPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList commands;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("command "))
            commands.append(QString::fromLatin1(line.mid(8)));
    }
    return commands;
}

void tst_ControlLoad::runRound(Round &round, int clients)
{
    const qint64 pid = daemon.processId();
    for (int index = 0; index < clients; ++index)
        round.clients.push_back(new CommandClient(index, round.owner.get()));
    const auto hostile = [&](HostileClient::Kind kind, const QByteArray &opening) {
        round.hostile.push_back(new HostileClient(kind, opening, round.owner.get()));
    };
    for (int i = 0; i < streamerCount; ++i)
        hostile(HostileClient::Kind::Streamer, QByteArray());
    const QByteArray halves[halfCommandCount] = { "ali", "num:12", "alive\r" };
    for (const QByteArray &half : halves)
        hostile(HostileClient::Kind::HalfCommand, half);
    for (int i = 0; i < idleCount; ++i)
        hostile(HostileClient::Kind::Idle, QByteArray());

    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&] {
        round.peakResidentKiB = qMax(round.peakResidentKiB, residentKiB(pid));
    });
    sampler.start(20);

    QElapsedTimer elapsed;
    elapsed.start();
    for (HostileClient *client : round.hostile)
        client->start(socketPath);
    for (CommandClient *client : round.clients)
        client->start(socketPath);

    // Done when every command is answered and every streamer has been cut
    // off at least once.
    const auto allDone = [&] {
        for (const CommandClient *client : round.clients) {
            if (!client->done())
                return false;
        }
        for (const HostileClient *client : round.hostile) {
            if (client->kind == HostileClient::Kind::Streamer && client->closedByDaemon == 0)
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(allDone(), runTimeoutMs);
    round.elapsedMs = elapsed.elapsed();
    for (const CommandClient *client : round.clients)
        QVERIFY2(client->failure.isEmpty(), qPrintable(client->failure));
    round.peakResidentKiB = qMax(round.peakResidentKiB, residentKiB(pid));
    round.descriptorsWhileConnected = descriptorCount(pid);

    // Everything still connected, the clients that only hold on included.
    for (const CommandClient *client : round.clients)
        QVERIFY2(client->connectedNow(), qPrintable(QString::number(client->index)));
    for (const HostileClient *client : round.hostile) {
        if (client->kind == HostileClient::Kind::Streamer) {
            QVERIFY(client->closedByDaemon > 0);
        } else {
            QVERIFY(client->connectedNow());
            QCOMPARE(client->closedByDaemon, 0);
        }
        // None of them ever finished a command.
        QCOMPARE(client->received, QByteArray());
    }

    for (CommandClient *client : round.clients)
        client->leave();
    for (HostileClient *client : round.hostile)
        client->leave();
    sampler.stop();
}

void tst_ControlLoad::manyClientsAndHostileOnes()
{
    const qint64 pid = daemon.processId();

    // The connection that found the daemon ready may still be on its way
    // out.
    const int baselineDescriptors = settledDescriptorCount(pid);
    QVERIFY(baselineDescriptors > 0);

    // A small round first, so that what the daemon allocates once for its
    // first connections is in the memory baseline.
    {
        Round warmUp;
        runRound(warmUp, 20);
        if (QTest::currentTestFailed())
            return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(descriptorCount(pid), baselineDescriptors, 10000);
    const qint64 baselineKiB = residentKiB(pid);
    QVERIFY(baselineKiB > 0);
    const int commandEventsBefore = int(commandEvents().size());

    Round round;
    runRound(round, commandClientCount);
    if (QTest::currentTestFailed())
        return;

    // Every client was connected at the same time.
    QVERIFY2(round.descriptorsWhileConnected
                     >= baselineDescriptors + commandClientCount + halfCommandCount + idleCount,
             qPrintable(QString::number(round.descriptorsWhileConnected)));

    // Every "num:" command reached the service with its code.
    QList<QString> expectedCodes;
    for (const CommandClient *client : round.clients) {
        QCOMPARE(client->answered, commandsPerClient);
        for (const int code : client->codesSent)
            expectedCodes.append(QString::number(code));
    }
    QTRY_COMPARE_WITH_TIMEOUT(int(commandEvents().size()) - commandEventsBefore,
                              int(expectedCodes.size()), 10000);
    QStringList codes = commandEvents().mid(commandEventsBefore);
    codes.sort();
    expectedCodes.sort();
    QCOMPARE(codes, QStringList(expectedCodes));

    // No descriptor of any client remains.
    QTRY_COMPARE_WITH_TIMEOUT(descriptorCount(pid), baselineDescriptors, 10000);

    int streamerClosures = 0;
    for (const HostileClient *client : round.hostile)
        streamerClosures += client->closedByDaemon;
    const qint64 growthKiB = round.peakResidentKiB - baselineKiB;
    qInfo("%d clients x %d commands in %lld ms; streams closed by the daemon: %d",
          commandClientCount, commandsPerClient, round.elapsedMs, streamerClosures);
    qInfo("daemon VmRSS: %lld KiB at start, %lld KiB at most (+%lld KiB); descriptors: %d before, "
          "%d with every client connected, %d after",
          baselineKiB, round.peakResidentKiB, growthKiB, baselineDescriptors,
          round.descriptorsWhileConnected, descriptorCount(pid));
#ifdef WATCHDOG_SANITIZED_DAEMON
    // AddressSanitizer holds freed memory back in quarantine, so the
    // resident size of a sanitized daemon says nothing about its own use.
    qInfo("sanitized build: the memory bound is not checked");
#else
    QVERIFY2(growthKiB <= allowedGrowthKiB, qPrintable(QString::number(growthKiB)));
#endif

    QVERIFY(sendControlCommand(serviceName, QStringLiteral("terminate")));
    QVERIFY(daemon.waitForFinished(10000));
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
    QVERIFY(!QFile::exists(socketPath));
}

namespace {

// A plain blocking connection to path; -1 when it fails. Replies are awaited
// for at most ten seconds.
int connectTo(const QString &path)
{
    sockaddr_un address;
    socklen_t length;
    if (!makeUnixAddress(path, &address, &length))
        return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const timeval limit{ 10, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the daemon closed the connection without sending anything.
bool closedByPeer(int fd)
{
    char byte;
    return ::recv(fd, &byte, 1, 0) == 0;
}

struct Descriptors
{
    std::vector<int> fds;
    ~Descriptors()
    {
        for (const int fd : fds)
            ::close(fd);
    }
};

} // namespace

// Every connection costs the daemon a descriptor and some memory, and any
// local user may connect. Beyond its limit the daemon turns a connection away
// at once, so that no one can take all its descriptors (it would then spin on
// the listening socket and could no longer start a worker).
void tst_ControlLoad::connectionsBeyondTheLimit()
{
    const qint64 pid = daemon.processId();
    const int baselineDescriptors = settledDescriptorCount(pid);
    const int limit = QtServiceSysPrivate::maxConnections;

    Descriptors held;
    for (int i = 0; i < limit; ++i) {
        const int fd = connectTo(socketPath);
        QVERIFY(fd >= 0);
        held.fds.push_back(fd);
    }
    QTRY_COMPARE_WITH_TIMEOUT(descriptorCount(pid), baselineDescriptors + limit, 10000);

    Descriptors refused;
    for (int i = 0; i < 20; ++i) {
        const int fd = connectTo(socketPath);
        QVERIFY(fd >= 0);
        refused.fds.push_back(fd);
        QVERIFY2(closedByPeer(fd), qPrintable(QString::number(i)));
    }
    QCOMPARE(descriptorCount(pid), baselineDescriptors + limit);
    QVERIFY(!sendControlCommand(serviceName, QStringLiteral("alive")));

    // One place free again: the next client is served.
    ::close(held.fds.back());
    held.fds.pop_back();
    // Asked until answered once: the answered client's own connection fills
    // the place again until the daemon has seen it go.
    bool served = false;
    QTRY_VERIFY_WITH_TIMEOUT(served || (served = sendControlCommand(serviceName, QStringLiteral("alive"))),
                             10000);

    for (const int fd : held.fds)
        ::close(fd);
    held.fds.clear();
    QTRY_COMPARE_WITH_TIMEOUT(descriptorCount(pid), baselineDescriptors, 10000);
    QVERIFY(sendControlCommand(serviceName, QStringLiteral("alive")));
}

// A client that keeps sending commands and never reads the replies would
// have the daemon hold every reply that the system's socket buffers cannot
// take. Once they are full, the daemon cuts the client off instead.
void tst_ControlLoad::clientThatNeverReadsReplies()
{
    const qint64 pid = daemon.processId();
    const int baselineDescriptors = settledDescriptorCount(pid);
    const qint64 baselineKiB = residentKiB(pid);

    const int fd = connectTo(socketPath);
    QVERIFY(fd >= 0);
    Descriptors held;
    held.fds.push_back(fd);
    const QByteArray commands = QByteArrayLiteral("alive\r\n").repeated(1000);
    const qint64 enough = 32 * 1024 * 1024;
    qint64 sent = 0;
    bool cutOff = false;
    QElapsedTimer elapsed;
    elapsed.start();
    while (!cutOff && sent < enough && elapsed.elapsed() < 20000) {
        const ssize_t count = ::send(fd, commands.constData(), size_t(commands.size()),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0)
            sent += count;
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            QTest::qWait(1);
        else
            cutOff = true;
    }
    const qint64 growthKiB = residentKiB(pid) - baselineKiB;
    qInfo("%lld KiB of commands sent, %s; daemon VmRSS grew by %lld KiB", sent / 1024,
          cutOff ? "then cut off" : "never cut off", growthKiB);
    QVERIFY2(cutOff, qPrintable(QString::number(sent)));
#ifndef WATCHDOG_SANITIZED_DAEMON
    QVERIFY2(growthKiB <= allowedGrowthKiB, qPrintable(QString::number(growthKiB)));
#endif

    ::close(fd);
    held.fds.clear();
    QTRY_COMPARE_WITH_TIMEOUT(descriptorCount(pid), baselineDescriptors, 10000);
    QVERIFY(sendControlCommand(serviceName, QStringLiteral("alive")));
}

QTEST_GUILESS_MAIN(tst_ControlLoad)

#include "tst_controlload.moc"
