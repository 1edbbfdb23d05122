// The control socket of a daemon, served in this process: a listening
// QtServiceSysPrivate on a path in a temporary folder, raw client sockets,
// and a service object that records which of its operations were called.

#include "qtservicesysprivate.h"
#include "qtunixsocket.h"
#include "servicetestsupport.h"
#include "servicelock.h"

#include <QTcpSocket>

#include <functional>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

using namespace ServiceTest;

namespace {

constexpr int canPause = QtServiceBase::CanPause;
constexpr int cannotStop = QtServiceBase::CannotStop;

// A server is closed (its socket file removed) before it is deleted, as the
// daemon does.
struct ServerCloser
{
    void operator()(QtServiceSysPrivate *server) const
    {
        server->close();
        delete server;
    }
};
using Server = std::unique_ptr<QtServiceSysPrivate, ServerCloser>;

Server makeServer(int flags, const QString &path)
{
    Server server(new QtServiceSysPrivate);
    server->serviceFlags = QtServiceBase::ServiceFlags(flags);
    server->setPath(path);
    return server;
}

// A raw client that collects every byte the server sends back.
class Client
{
public:
    explicit Client(const QString &path)
    {
        connected = socket.connectTo(path);
        QObject::connect(&socket, &QIODevice::readyRead, &socket, [this] { received += socket.readAll(); });
    }
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }

    bool connected = false;
    QByteArray received;
    QtUnixSocket socket;
};

qsizetype connectionCount(const QtServiceSysPrivate &server)
{
    return server.findChildren<QTcpSocket *>().size();
}

// True once the server holds exactly the clients' connections and has
// consumed everything they wrote: nothing left to write, nothing queued in
// the kernel or buffered unread on the server side. A readyRead handler runs
// as soon as the data is buffered, so whatever the server does with it has
// happened.
bool serverDrained(const QtServiceSysPrivate &server, const QList<const Client *> &clients)
{
    const QList<QTcpSocket *> connections = server.findChildren<QTcpSocket *>();
    if (connections.size() != clients.size())
        return false;
    for (const Client *client : clients) {
        if (client->socket.bytesToWrite() > 0)
            return false;
    }
    for (QTcpSocket *connection : connections) {
        int queued = 0;
        if (::ioctl(int(connection->socketDescriptor()), FIONREAD, &queued) != 0 || queued != 0
            || connection->bytesAvailable() != 0)
            return false;
    }
    return true;
}

bool isSocketFile(const QString &path)
{
    return S_ISSOCK(fileMode(path));
}

bool isRegularFileWith(const QString &path, const QByteArray &content)
{
    return S_ISREG(fileMode(path)) && readFile(path) == content;
}

bool bindUnix(int fd, const QString &path)
{
    sockaddr_un address;
    socklen_t length;
    return fd >= 0 && makeUnixAddress(path, &address, &length)
        && ::bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0;
}

// Leaves a socket file that nobody listens on, as a crashed daemon does.
bool makeStaleSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = bindUnix(fd, path);
    ::close(fd);
    return bound;
}

// Plays the daemon's side with plain system calls in a thread of its own,
// since the client call blocks: accepts one connection, reads the request up
// to its CR LF, writes the reply in the given pieces, arriving separately,
// and closes. Returns the request.
QByteArray exchange(const QString &path, const QByteArrayList &pieces, const std::function<void()> &client)
{
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(QFile::encodeName(path).constData());
    if (!bindUnix(listener, path) || ::listen(listener, 1) != 0)
        return "not listening";
    QByteArray request;
    std::thread peer([&] {
        const int connection = ::accept(listener, nullptr, nullptr);
        char buffer[256];
        pollfd readable = { connection, POLLIN, 0 };
        ssize_t size = 0;
        while (connection >= 0 && !request.contains("\r\n") && ::poll(&readable, 1, 10000) > 0
               && (size = ::read(connection, buffer, sizeof buffer)) > 0)
            request.append(buffer, size);
        for (const QByteArray &piece : pieces) {
            if (::write(connection, piece.constData(), size_t(piece.size())) != piece.size())
                break;
            ::usleep(50000);
        }
        ::close(connection);
    });
    client();
    ::shutdown(listener, SHUT_RDWR); // wakes an accept() that no client satisfied
    peer.join();
    ::close(listener);
    ::unlink(QFile::encodeName(path).constData());
    return request;
}

} // namespace

class TestQtServiceControl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void conversation_data();
    void conversation();
    void connectionsKeepTheirOwnInput();
    void socketFile_data();
    void socketFile();
    void closeRemovesOnlyItsOwnFile();
    void overlongPath_data();
    void overlongPath();
    void isRunningFollowsTheLock();
    void client_data();
    void client();

private:
    // A server with these flags listening at path and one client connected.
    bool open(int flags);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<LocalService> service;
    QString path;
    Server server;
    std::unique_ptr<Client> connection;
};

void TestQtServiceControl::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    path = dir->filePath(QStringLiteral("control.qtservice"));
    service = std::make_unique<LocalService>(uniqueServiceName(QStringLiteral("Control")));
}

void TestQtServiceControl::cleanup()
{
    connection.reset();
    server.reset();
    service.reset();
    dir.reset();
}

bool TestQtServiceControl::open(int flags)
{
    server = makeServer(flags, path);
    connection = std::make_unique<Client>(path);
    return server->isListening() && connection->connected;
}

void TestQtServiceControl::conversation_data()
{
    // replies: everything received once the server has taken in each piece.
    QTest::addColumn<int>("flags");
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<bool>("closed");

    const QByteArray x(QtServiceSysPrivate::maxPendingInput / 2, 'x');
    const auto row = [](const char *name, int flags, const QByteArrayList &pieces,
                        const QByteArrayList &replies, const QStringList &calls = {}, bool closed = false) {
        QTest::newRow(name) << flags << pieces << replies << calls << closed;
    };
    // The command table, one command at a time. That "terminate" also ends
    // the event loop shows with the real daemons of tst_qtservicedaemon.
    const auto command = [&](const char *name, int flags, const char *text, const char *reply,
                             const QStringList &calls = {}) {
        row(name, flags, { text + QByteArray("\r\n") }, { reply }, calls);
    };
    command("terminate, flags 0", 0, "terminate", "true", { "stop" });
    command("terminate, CanPause", canPause, "terminate", "true", { "stop" });
    command("terminate, CannotStop", cannotStop, "terminate", "false");
    command("terminate, CanPause|CannotStop", canPause | cannotStop, "terminate", "false");
    command("pause, flags 0", 0, "pause", "false");
    command("pause, CannotStop", cannotStop, "pause", "false");
    command("pause, CanPause", canPause, "pause", "true", { "pause" });
    command("resume, flags 0", 0, "resume", "false");
    command("resume, CanPause", canPause, "resume", "true", { "resume" });
    command("alive", canPause | cannotStop, "alive", "true");
    command("num:7", 0, "num:7", "true", { "command 7" });
    command("num:-3", 0, "num:-3", "true", { "command -3" });
    command("num: largest int", 0, "num:2147483647", "true", { "command 2147483647" });
    command("num: above int range", 0, "num:2147483648", "true", { "command 0" });
    command("num: trailing letter", 0, "num:12a", "true", { "command 0" });
    command("num: alone", 0, "num:", "false");
    command("num without colon", 0, "num7", "false");
    command("other case", 0, "Terminate", "false");
    command("trailing blank", 0, "alive ", "false");
    command("ended by a bare line feed", 0, "terminate\n", "false");
    command("unknown word", canPause, "stop", "false");
    // Nothing is answered before the CR LF arrives; then the command is
    // performed once.
    row("split inside the word", 0, { "ali", "ve\r\n" }, { "", "true" });
    row("split between CR and LF", 0, { "alive\r", "\n" }, { "", "true" });
    row("byte by byte", 0, { "n", "u", "m", ":", "4", "2", "\r", "\n" },
        { "", "", "", "", "", "", "", "true" }, { "command 42" });
    row("command and a half", 0, { "alive\r\nnum:", "5\r\n" }, { "true", "truetrue" }, { "command 5" });
    // Several commands in one write are answered in order.
    row("answer and refusal", 0, { "alive\r\nbogus\r\n" }, { "truefalse" });
    row("refused pause between codes", 0, { "num:1\r\npause\r\nnum:3\r\n" }, { "truefalsetrue" },
        { "command 1", "command 3" });
    row("pause and resume", canPause, { "pause\r\nresume\r\nalive\r\n" }, { "truetruetrue" },
        { "pause", "resume" });
    // An empty command is consumed and ends the turn; what follows it waits
    // for the next arrival of data.
    row("empty command first", 0, { "\r\nalive\r\n", "num:4\r\n" }, { "", "truetrue" }, { "command 4" });
    row("empty command between", 0, { "alive\r\n\r\nnum:4\r\n", "bogus\r\n" }, { "true", "truetruefalse" },
        { "command 4" });
    row("two empty commands", 0, { "\r\n\r\nalive\r\n", "x" }, { "", "" });
    // Pending input beyond the bound closes the connection; replies already
    // due still reach it.
    row("over the bound after a command", 0, { "alive\r\n" + x + x + "x" }, { "true" }, {}, true);
    row("over the bound in pieces", 0, { x, x, x }, { "", "", "" }, {}, true);
    row("at the bound", 0, { "alive\r\n" + x + x, "\r\n" }, { "true", "truefalse" });
}

void TestQtServiceControl::conversation()
{
    QFETCH(int, flags);
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArrayList, replies);
    QFETCH(QStringList, calls);
    QFETCH(bool, closed);

    QVERIFY(open(flags));
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        QVERIFY(connection->isConnected());
        connection->send(pieces.at(i));
        QTRY_COMPARE(connection->received, replies.at(i));
        QTRY_VERIFY(!connection->isConnected() || serverDrained(*server, { connection.get() }));
        QCoreApplication::processEvents();
        QCOMPARE(connection->received, replies.at(i));
    }
    QTRY_COMPARE(connection->isConnected(), !closed);
    QTRY_COMPARE(connectionCount(*server), closed ? 0 : 1);
    QCOMPARE(service->calls, calls);

    Client next(path);
    next.send("alive\r\n");
    QTRY_COMPARE(next.received, QByteArray("true"));
}

void TestQtServiceControl::connectionsKeepTheirOwnInput()
{
    QVERIFY(open(0));
    Client second(path);
    QVERIFY(second.connected);

    connection->send("num:");
    QTRY_VERIFY(serverDrained(*server, { connection.get(), &second }));
    second.send("alive\r\n");
    QTRY_COMPARE(second.received, QByteArray("true"));
    connection->send("8\r\n");
    QTRY_COMPARE(connection->received, QByteArray("true"));
    QCOMPARE(service->calls, QStringList{ "command 8" });
    QCOMPARE(second.received, QByteArray("true"));
}

void TestQtServiceControl::socketFile_data()
{
    QTest::addColumn<QString>("existing");
    QTest::addColumn<int>("mask");

    QTest::newRow("stale socket, umask 027") << QStringLiteral("socket") << 027;
    QTest::newRow("regular file, umask 077") << QStringLiteral("file") << 077;
    QTest::newRow("nothing, umask 0") << QString() << 0;
}

// A socket file left by a crashed daemon, or anything else at the path,
// does not keep a new server from listening there; every local user may
// connect, whatever the umask of the daemon.
void TestQtServiceControl::socketFile()
{
    QFETCH(QString, existing);
    QFETCH(int, mask);

    if (existing == QLatin1String("socket")) {
        QVERIFY(makeStaleSocket(path));
        QVERIFY(!Client(path).connected);
    } else if (existing == QLatin1String("file")) {
        QVERIFY(writeFile(path, "left over"));
    }
    const mode_t previousMask = ::umask(mode_t(mask));
    const auto restoreMask = qScopeGuard([&] { ::umask(previousMask); });
    QVERIFY(open(0));
    QCOMPARE(server->path(), path);
    QCOMPARE(fileMode(path) & (S_IFMT | 07777), S_IFSOCK | 0666u);
    connection->send("alive\r\n");
    QTRY_COMPARE(connection->received, QByteArray("true"));
}

// A second daemon of the same name takes the path over. When the first one
// ends, it must not remove the socket file of the one still running; the
// last one removes it, and a second close removes nothing.
void TestQtServiceControl::closeRemovesOnlyItsOwnFile()
{
    const Server older = makeServer(0, path);
    QVERIFY(older->isListening());
    const Server newer = makeServer(canPause, path);
    QVERIFY(newer->isListening());

    older->close();
    QVERIFY(isSocketFile(path));
    // Only the newer server honours "pause".
    Client client(path);
    client.send("pause\r\n");
    QTRY_COMPARE(client.received, QByteArray("true"));

    newer->close();
    QVERIFY(!fileExists(path));
    QVERIFY(!newer->isListening());
    QVERIFY(newer->path().isEmpty());
    QVERIFY(!Client(path).connected);
    QVERIFY(writeFile(path, "someone else's"));
    newer->close();
    QVERIFY(isRegularFileWith(path, "someone else's"));
}

void TestQtServiceControl::overlongPath_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("107 bytes") << 107;
    QTest::newRow("108 bytes") << 108;
}

// A path that does not fit the socket address with its terminating zero is
// refused by server and client alike, and never cut onto a shorter path:
// nothing is created, removed or reached at one.
void TestQtServiceControl::overlongPath()
{
    QFETCH(int, length);

    const QString folder = dir->path() + QLatin1Char('/');
    const QString longPath = folder + QString(length - folder.size(), QLatin1Char('p'));
    const QString cut = longPath.left(107);
    const bool fits = length < 108;
    if (!fits)
        QVERIFY(writeFile(cut, "decoy"));

    const Server server = makeServer(0, longPath);
    QCOMPARE(server->isListening(), fits);
    QCOMPARE(isSocketFile(longPath), fits);
    QCOMPARE(Client(longPath).connected, fits);
    if (fits)
        return;
    QVERIFY(server->path().isEmpty());
    QVERIFY(isRegularFileWith(cut, "decoy"));

    // A client is not connected to a server listening at the cut path.
    QVERIFY(QFile::remove(cut));
    const Server atCut = makeServer(0, cut);
    QVERIFY(atCut->isListening());
    QVERIFY(!Client(longPath).connected);
}

// A daemon counts as running exactly while it holds its lock; a socket file,
// even one that accepts connections, is not enough.
void TestQtServiceControl::isRunningFollowsTheLock()
{
    const QString name = uniqueServiceName(QStringLiteral("Running"));
    const QString socketPath = controlSocketPath(name);
    const auto remove = qScopeGuard([&] { ::unlink(QFile::encodeName(socketPath).constData()); });
    const QtServiceController controller(name);
    QVERIFY(!controller.isRunning());
    const Server server = makeServer(0, socketPath);
    QVERIFY(!controller.isRunning());

    auto lock = std::make_unique<ServiceLock>(name);
    QVERIFY(lock->acquire());
    QVERIFY(controller.isRunning());
    QVERIFY(QtServiceController(name.toUpper()).isRunning());
    QVERIFY(!QtServiceController(name + QLatin1Char('x')).isRunning());
    lock.reset();
    QVERIFY(!controller.isRunning());
}

void TestQtServiceControl::client_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<bool>("result");

    QTest::newRow("true in pieces") << QByteArrayList{ "t", "ru", "e" } << true;
    QTest::newRow("false") << QByteArrayList{ "false" } << false;
    QTest::newRow("no reply") << QByteArrayList{} << false;
    QTest::newRow("other case") << QByteArrayList{ "True" } << false;
    QTest::newRow("true and more") << QByteArrayList{ "truex" } << false;
    QTest::newRow("cut short") << QByteArrayList{ "tru" } << false;
}

// Only the exact reply "true" counts; a reply arriving in pieces is read
// whole, and a peer that closes without one is a failure, not a wait.
void TestQtServiceControl::client()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(bool, result);

    const QString name = uniqueServiceName(QStringLiteral("Client"));
    bool replied = !result;
    QCOMPARE(exchange(controlSocketPath(name), pieces,
                      [&] { replied = sendControlCommand(name, QStringLiteral("alive")); }),
             QByteArray("alive\r\n"));
    QCOMPARE(replied, result);
    QVERIFY(!QtServiceController(name).stop());
}

QTEST_GUILESS_MAIN(TestQtServiceControl)
#include "tst_qtservicecontrol.moc"
