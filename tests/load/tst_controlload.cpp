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
// The daemon is the scripted test service in the daemon role, a child of the
// test; everything goes over its Unix-domain control socket.

#include "qtservicesysprivate.h"
#include "servicetestsupport.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>

using namespace ServiceTest;

namespace {

constexpr int commandClientCount = 200;
constexpr int commandsPerClient = 50;
constexpr int streamerCount = 4;
constexpr int holderCount = 6; // three with half a command, three idle
constexpr qint64 allowedGrowthKiB = 5 * 1024;
constexpr int runTimeoutMs = 60000;

const QByteArray yes = "true";

// Resident memory of a process in KiB; -1 when it cannot be read.
qint64 residentKiB(qint64 pid)
{
    const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(pid));
    const qsizetype at = status.indexOf("VmRSS:");
    return at < 0 ? -1 : status.mid(at + 6).trimmed().split(' ').value(0).toLongLong();
}

// Open descriptors of a process; -1 when they cannot be listed.
int descriptorCount(qint64 pid)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    return fds.exists() ? int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size())
                        : -1;
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

// One client of a round. A commander sends its commands in batches of one
// to five per write, some batches cut in two writes in the middle of a
// command, each batch's replies awaited before the next is sent. A streamer
// writes a kilobyte without a line end every few milliseconds and connects
// again whenever the daemon closes on it. A holder sends its opening (half a
// command, or nothing) and waits. All keep their connection until told to
// leave, so that all are connected at the same time.
class Client : public QObject
{
    Q_OBJECT
public:
    enum Kind { Commander, Streamer, Holder };

    Client(Kind kind, int index, const QByteArray &opening, QObject *parent)
        : QObject(parent), kind(kind), index(index)
    {
        connect(&socket, &QLocalSocket::connected, this, [this, opening] {
            if (this->kind == Commander)
                sendBatch();
            else
                socket.write(opening);
        });
        connect(&socket, &QLocalSocket::readyRead, this, &Client::readReplies);
        connect(&socket, &QLocalSocket::errorOccurred, this, [this] {
            if (!leaving && this->kind == Commander && failure.isEmpty())
                failure = QStringLiteral("client %1: %2").arg(this->index).arg(socket.errorString());
        });
        connect(&socket, &QLocalSocket::disconnected, this, [this] {
            if (leaving)
                return;
            ++closedByDaemon;
            if (this->kind == Streamer)
                QTimer::singleShot(0, this, [this] { socket.connectToServer(path); });
        });
        connect(&streamTimer, &QTimer::timeout, this, [this] {
            if (socket.state() == QLocalSocket::ConnectedState)
                socket.write(QByteArray(1024, 'x'));
        });
    }

    void start(const QString &serverPath)
    {
        path = serverPath;
        socket.connectToServer(path);
        if (kind == Streamer)
            streamTimer.start(5);
    }
    void leave()
    {
        leaving = true;
        streamTimer.stop();
        socket.abort();
    }
    // Every command answered, or cut off at least once for a streamer.
    bool done() const
    {
        return kind == Commander ? answered == commandsPerClient || !failure.isEmpty()
                                 : kind == Holder || closedByDaemon > 0;
    }

    const Kind kind;
    const int index;
    int answered = 0;
    int closedByDaemon = 0;
    QStringList commandsSent; // as the service records them
    QString failure;
    QByteArray received;
    QLocalSocket socket;

private:
    QByteArray command(int number)
    {
        if (number % 2 == 0)
            return QByteArrayLiteral("alive\r\n");
        // Codes of every size, the edges of the int range included.
        static const int edges[] = { 0, -1, 2147483647, -2147483647 - 1 };
        const int code = number % 7 == 1 ? edges[(index + number) % 4] : index * 1000 + number;
        commandsSent.append(QStringLiteral("command %1").arg(code));
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
        // Every third batch is cut inside a command; the rest follows from
        // the event loop.
        const qsizetype cut = (index + answered) % 3 == 0 ? batch.size() / 2 + 1 : batch.size();
        socket.write(batch.left(cut));
        socket.flush();
        const QByteArray rest = batch.mid(cut);
        if (!rest.isEmpty())
            QTimer::singleShot(0, this, [this, rest] { socket.write(rest); });
    }

    void readReplies()
    {
        received += socket.readAll();
        if (kind != Commander || !failure.isEmpty())
            return;
        if (!expected.startsWith(received)) {
            failure = QStringLiteral("client %1 after %2 replies: %3 where %4 was due")
                          .arg(QString::number(index), QString::number(answered),
                               QString::fromLatin1(received), QString::fromLatin1(expected));
        } else if (received.size() == expected.size()) {
            answered += int(expected.size() / yes.size());
            if (answered < commandsPerClient)
                sendBatch();
        }
    }

    QByteArray expected;
    QTimer streamTimer;
    QString path;
    bool leaving = false;
};

// A plain blocking connection to path that waits at most ten seconds for a
// reply; -1 when it fails.
int connectTo(const QString &path)
{
    sockaddr_un address;
    socklen_t length;
    const int fd = openUnixStreamSocket(path, &address, &length);
    const timeval limit{ 10, 0 };
    if (fd >= 0 && (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0
                    || ::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Descriptors
{
    std::vector<int> fds;
    ~Descriptors() { closeAll(); }
    void closeAll()
    {
        for (const int fd : fds)
            ::close(fd);
        fds.clear();
    }
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
        QObject owner;
        std::vector<Client *> clients;
        qint64 peakResidentKiB = 0;
        int descriptorsWhileConnected = 0;
    };
    void runRound(Round &round, int clients);
    bool alive() const { return sendControlCommand(serviceName, QStringLiteral("alive")); }

    QTemporaryDir scratch;
    const QString serviceName = uniqueServiceName(QStringLiteral("Load"));
    const QString socketPath = controlSocketPath(serviceName);
    std::unique_ptr<ServiceChild> daemon;
    qint64 pid = 0;
    Leftovers leftovers;
};

void tst_ControlLoad::init()
{
    QVERIFY(scratch.isValid());
    leftovers.addService(serviceName);
    // Our child, so that its descriptors and memory can be watched.
    daemon = startService(serviceEnvironment(serviceName, scratch.path()));
    QVERIFY(daemon);
    pid = daemon->pid;
    QVERIFY(alive());
}

// The daemon ends the orderly way, so that a sanitized one checks itself
// for leaks.
void tst_ControlLoad::cleanup()
{
    const auto release = qScopeGuard([this] {
        daemon.reset();
        leftovers.clear();
    });
    if (!daemon || daemon->process.state() == QProcess::NotRunning)
        return;
    QVERIFY(sendControlCommand(serviceName, QStringLiteral("terminate")));
    QVERIFY2(daemon->endsCleanly(), daemon->err().constData());
    QVERIFY(!QFile::exists(socketPath));
}

void tst_ControlLoad::runRound(Round &round, int commanders)
{
    const auto add = [&](Client::Kind kind, const char *opening = "") {
        round.clients.push_back(new Client(kind, int(round.clients.size()), opening, &round.owner));
    };
    for (int i = 0; i < streamerCount; ++i)
        add(Client::Streamer);
    for (const char *opening : { "ali", "num:12", "alive\r", "", "", "" })
        add(Client::Holder, opening);
    for (int i = 0; i < commanders; ++i)
        add(Client::Commander);

    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&] {
        round.peakResidentKiB = qMax(round.peakResidentKiB, residentKiB(pid));
    });
    sampler.start(20);
    QElapsedTimer elapsed;
    elapsed.start();
    for (Client *client : round.clients)
        client->start(socketPath);
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(round.clients.begin(), round.clients.end(),
                                         std::mem_fn(&Client::done)), runTimeoutMs);
    qInfo("%d commanders answered in %lld ms", commanders, elapsed.elapsed());
    round.peakResidentKiB = qMax(round.peakResidentKiB, residentKiB(pid));
    round.descriptorsWhileConnected = descriptorCount(pid);

    // Everything still connected but the streamers, and none but the
    // commanders ever answered.
    for (const Client *client : std::as_const(round.clients)) {
        QVERIFY2(client->failure.isEmpty(), qPrintable(client->failure));
        if (client->kind != Client::Streamer) {
            QCOMPARE(client->socket.state(), QLocalSocket::ConnectedState);
            QCOMPARE(client->closedByDaemon, 0);
        }
        if (client->kind != Client::Commander)
            QCOMPARE(client->received, QByteArray());
    }
    for (Client *client : std::as_const(round.clients))
        client->leave();
}

void tst_ControlLoad::manyClientsAndHostileOnes()
{
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
    const QString events = scratch.filePath(QStringLiteral("events"));
    const qsizetype commandsBefore = eventsStartingWith(events, QStringLiteral("command ")).size();

    Round round;
    runRound(round, commandClientCount);
    if (QTest::currentTestFailed())
        return;
    // Every client was connected at the same time.
    QVERIFY2(round.descriptorsWhileConnected >= baselineDescriptors + commandClientCount + holderCount,
             qPrintable(QString::number(round.descriptorsWhileConnected)));

    // Every "num:" command reached the service with its code.
    QStringList expected;
    for (const Client *client : std::as_const(round.clients)) {
        QCOMPARE(client->answered, client->kind == Client::Commander ? commandsPerClient : 0);
        expected += client->commandsSent;
    }
    QTRY_COMPARE_WITH_TIMEOUT(eventsStartingWith(events, QStringLiteral("command ")).size() - commandsBefore,
                              expected.size(), 10000);
    QStringList received = eventsStartingWith(events, QStringLiteral("command ")).mid(commandsBefore);
    received.sort();
    expected.sort();
    QCOMPARE(received, expected);

    // No descriptor of any client remains.
    QTRY_COMPARE_WITH_TIMEOUT(descriptorCount(pid), baselineDescriptors, 10000);
    const qint64 growthKiB = round.peakResidentKiB - baselineKiB;
    qInfo("daemon VmRSS: %lld KiB at start, +%lld KiB at most; descriptors: %d before, %d with every "
          "client connected", baselineKiB, growthKiB, baselineDescriptors, round.descriptorsWhileConnected);
#ifndef WATCHDOG_SANITIZED_DAEMON
    // AddressSanitizer holds freed memory back in quarantine, so the
    // resident size of a sanitized daemon says nothing about its own use.
    QVERIFY2(growthKiB <= allowedGrowthKiB, qPrintable(QString::number(growthKiB)));
#endif
}

// Every connection costs the daemon a descriptor and some memory, and any
// local user may connect. Beyond its limit the daemon turns a connection away
// at once, so that no one can take all its descriptors (it would then spin on
// the listening socket and could no longer start a worker).
void tst_ControlLoad::connectionsBeyondTheLimit()
{
    const int baselineDescriptors = settledDescriptorCount(pid);
    const int limit = QtServiceSysPrivate::maxConnections;
    Descriptors held;
    for (int i = 0; i < limit; ++i) {
        held.fds.push_back(connectTo(socketPath));
        QVERIFY(held.fds.back() >= 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(descriptorCount(pid), baselineDescriptors + limit, 10000);

    Descriptors refused;
    for (int i = 0; i < 20; ++i) {
        refused.fds.push_back(connectTo(socketPath));
        char byte;
        // Closed by the daemon without a word.
        QCOMPARE(::recv(refused.fds.back(), &byte, 1, 0), ssize_t(0));
    }
    QCOMPARE(descriptorCount(pid), baselineDescriptors + limit);
    QVERIFY(!alive());

    // One place free again: the next client is served. Asked until answered
    // once: the answered client's own connection fills the place again until
    // the daemon has seen it go.
    ::close(held.fds.back());
    held.fds.pop_back();
    bool served = false;
    QTRY_VERIFY_WITH_TIMEOUT(served || (served = alive()), 10000);

    held.closeAll();
    QTRY_COMPARE_WITH_TIMEOUT(descriptorCount(pid), baselineDescriptors, 10000);
    QVERIFY(alive());
}

// A client that keeps sending commands and never reads the replies would
// have the daemon hold every reply that the system's socket buffers cannot
// take. Once they are full, the daemon cuts the client off instead.
void tst_ControlLoad::clientThatNeverReadsReplies()
{
    const int baselineDescriptors = settledDescriptorCount(pid);
    const qint64 baselineKiB = residentKiB(pid);
    Descriptors held;
    held.fds.push_back(connectTo(socketPath));
    QVERIFY(held.fds.back() >= 0);
    const QByteArray commands = QByteArrayLiteral("alive\r\n").repeated(1000);
    qint64 sent = 0;
    bool cutOff = false;
    QElapsedTimer elapsed;
    elapsed.start();
    while (!cutOff && sent < 32 * 1024 * 1024 && elapsed.elapsed() < 20000) {
        const ssize_t count = ::send(held.fds.back(), commands.constData(), size_t(commands.size()),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0)
            sent += count;
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            QTest::qWait(1);
        else
            cutOff = true;
    }
    const qint64 growthKiB = residentKiB(pid) - baselineKiB;
    qInfo("%lld KiB of commands sent; daemon VmRSS grew by %lld KiB", sent / 1024, growthKiB);
    QVERIFY2(cutOff, qPrintable(QString::number(sent)));
#ifndef WATCHDOG_SANITIZED_DAEMON
    QVERIFY2(growthKiB <= allowedGrowthKiB, qPrintable(QString::number(growthKiB)));
#endif
    held.closeAll();
    QTRY_COMPARE_WITH_TIMEOUT(descriptorCount(pid), baselineDescriptors, 10000);
    QVERIFY(alive());
}

QTEST_GUILESS_MAIN(tst_ControlLoad)
#include "tst_controlload.moc"
