// The control socket of a daemon, served in this process: a listening
// QtServiceSysPrivate on a path in a temporary folder, raw client sockets,
// and a service object that records which of its operations were called.

#include "controlsocket.h"
#include "qtservice.h"
#include "qtservicecontroller.h"
#include "qtservicesysprivate.h"
#include "qtunixsocket.h"
#include "servicetestsupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

using namespace ServiceTest;

namespace {

char programName[] = "tst_qtservicecontrol";
char *programArgv[] = { programName, nullptr };

class RecordingService : public QtService<QCoreApplication>
{
public:
    explicit RecordingService(const QString &name)
        : QtService<QCoreApplication>(1, programArgv, name, nullptr)
    {
    }

    QStringList calls;

protected:
    void start() override { calls << QStringLiteral("start"); }
    void stop() override { calls << QStringLiteral("stop"); }
    void pause() override { calls << QStringLiteral("pause"); }
    void resume() override { calls << QStringLiteral("resume"); }
    void processCommand(int code) override { calls << QStringLiteral("command %1").arg(code); }
};

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

Server makeServer(int flags)
{
    Server server(new QtServiceSysPrivate);
    server->serviceFlags = QtServiceBase::ServiceFlags(flags);
    return server;
}

// A raw client that collects every byte the server sends back.
class Client
{
public:
    explicit Client(const QString &path)
    {
        connected = socket.connectTo(path);
        QObject::connect(&socket, &QIODevice::readyRead, &socket,
                         [this] { received += socket.readAll(); });
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

QList<QTcpSocket *> connectionsOf(const QtServiceSysPrivate &server)
{
    return server.findChildren<QTcpSocket *>();
}

// True once the server holds exactly the clients' connections and has
// consumed everything they wrote: nothing left to write, nothing queued in
// the kernel or buffered unread on the server side. A readyRead handler runs
// as soon as the data is buffered, so whatever the server does with it has
// happened.
bool serverDrained(const QtServiceSysPrivate &server, const QList<const Client *> &clients)
{
    const QList<QTcpSocket *> connections = connectionsOf(server);
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

bool serverDrained(const QtServiceSysPrivate &server, const Client &client)
{
    return serverDrained(server, QList<const Client *>{ &client });
}

bool isSocketFile(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool isRegularFileWith(const QString &path, const QByteArray &content)
{
    QFile file(path);
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode)
        && file.open(QIODevice::ReadOnly) && file.readAll() == content;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Leaves a socket file that nobody listens on, as a crashed daemon does.
bool makeStaleSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(path);
    if (fd < 0 || size_t(bytes.size()) >= sizeof address.sun_path)
        return false;
    memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

class UmaskGuard
{
public:
    explicit UmaskGuard(mode_t mask) : previous(::umask(mask)) {}
    ~UmaskGuard() { ::umask(previous); }

private:
    const mode_t previous;
};

// Removes files a test put beside /var/tmp's control sockets.
class FileRemover
{
public:
    ~FileRemover()
    {
        for (const QString &path : std::as_const(paths))
            ::unlink(QFile::encodeName(path).constData());
    }
    void add(const QString &path) { paths.append(path); }

private:
    QStringList paths;
};

// The daemon's side played by a plain thread with the system calls: accepts
// one connection, reads the request up to its CR LF, writes the reply in
// the given pieces and closes. The client calls block, so the peer must not
// need this thread's event loop.
class ScriptedPeer
{
public:
    ScriptedPeer(const QString &path, const QByteArrayList &replyPieces)
        : file(QFile::encodeName(path)), pieces(replyPieces)
    {
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        if (listener < 0 || size_t(file.size()) >= sizeof address.sun_path)
            return;
        memcpy(address.sun_path, file.constData(), size_t(file.size()));
        ::unlink(file.constData());
        listening = ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
            && ::listen(listener, 1) == 0;
        if (listening)
            worker = std::thread([this] { serve(); });
    }

    ~ScriptedPeer()
    {
        // Wakes an accept() that no client satisfied.
        ::shutdown(listener, SHUT_RDWR);
        if (worker.joinable())
            worker.join();
        ::close(listener);
        ::unlink(file.constData());
    }

    bool isListening() const { return listening; }

    // What the client sent; valid once the client call has returned.
    QByteArray request()
    {
        if (worker.joinable())
            worker.join();
        return received;
    }

private:
    void serve()
    {
        const int connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0)
            return;
        char buffer[256];
        while (!received.contains("\r\n")) {
            pollfd readable = { connection, POLLIN, 0 };
            if (::poll(&readable, 1, 10000) <= 0)
                break;
            const ssize_t size = ::read(connection, buffer, sizeof buffer);
            if (size <= 0)
                break;
            received.append(buffer, size);
        }
        for (const QByteArray &piece : std::as_const(pieces)) {
            if (::write(connection, piece.constData(), size_t(piece.size())) != piece.size())
                break;
            // Separate arrivals, so the client has to wait for the rest.
            ::usleep(50000);
        }
        ::close(connection);
    }

    const QByteArray file;
    const QByteArrayList pieces;
    int listener = -1;
    bool listening = false;
    QByteArray received;
    std::thread worker;
};

constexpr int canPause = QtServiceBase::CanPause;
constexpr int cannotStop = QtServiceBase::CannotStop;

} // namespace

class TestQtServiceControl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandTable_data();
    void commandTable();
    void splitWrites_data();
    void splitWrites();
    void severalCommandsInOneWrite_data();
    void severalCommandsInOneWrite();
    void emptyCommandWaitsForMoreData_data();
    void emptyCommandWaitsForMoreData();
    void connectionsKeepTheirOwnInput();
    void closedConnectionIsReleased();
    void pendingInputIsBounded_data();
    void pendingInputIsBounded();
    void existingFileIsReplaced_data();
    void existingFileIsReplaced();
    void socketFileMode_data();
    void socketFileMode();
    void closeRemovesSocketFile();
    void closeLeavesNewerServersFile();
    void overlongPath_data();
    void overlongPath();
    void isRunningFollowsTheSocket();
    void clientRequests_data();
    void clientRequests();
    void clientReply_data();
    void clientReply();

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<RecordingService> service;
    QString path;
};

void TestQtServiceControl::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    path = dir->filePath(QStringLiteral("control.qtservice"));
    service = std::make_unique<RecordingService>(uniqueServiceName(QStringLiteral("Control")));
    QCOMPARE(QtServiceBase::instance(), service.get());
}

void TestQtServiceControl::cleanup()
{
    service.reset();
    dir.reset();
}

void TestQtServiceControl::commandTable_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<bool>("quits");

    const QStringList none;
    QTest::newRow("terminate, flags 0") << 0 << QByteArray("terminate") << QByteArray("true")
                                        << QStringList{ "stop" } << true;
    QTest::newRow("terminate, CanPause") << canPause << QByteArray("terminate")
                                         << QByteArray("true") << QStringList{ "stop" } << true;
    QTest::newRow("terminate, CannotStop")
        << cannotStop << QByteArray("terminate") << QByteArray("false") << none << false;
    QTest::newRow("terminate, CanPause|CannotStop")
        << (canPause | cannotStop) << QByteArray("terminate") << QByteArray("false") << none
        << false;
    QTest::newRow("pause, flags 0") << 0 << QByteArray("pause") << QByteArray("false") << none
                                    << false;
    QTest::newRow("pause, CanPause") << canPause << QByteArray("pause") << QByteArray("true")
                                     << QStringList{ "pause" } << false;
    QTest::newRow("pause, CannotStop")
        << cannotStop << QByteArray("pause") << QByteArray("false") << none << false;
    QTest::newRow("resume, flags 0") << 0 << QByteArray("resume") << QByteArray("false") << none
                                     << false;
    QTest::newRow("resume, CanPause") << canPause << QByteArray("resume") << QByteArray("true")
                                      << QStringList{ "resume" } << false;
    QTest::newRow("alive, flags 0") << 0 << QByteArray("alive") << QByteArray("true") << none
                                    << false;
    QTest::newRow("alive, CanPause") << canPause << QByteArray("alive") << QByteArray("true")
                                     << none << false;
    QTest::newRow("alive, CannotStop") << cannotStop << QByteArray("alive") << QByteArray("true")
                                       << none << false;
    QTest::newRow("num:7") << 0 << QByteArray("num:7") << QByteArray("true")
                           << QStringList{ "command 7" } << false;
    QTest::newRow("num:7, CanPause") << canPause << QByteArray("num:7") << QByteArray("true")
                                     << QStringList{ "command 7" } << false;
    QTest::newRow("num:-3") << 0 << QByteArray("num:-3") << QByteArray("true")
                            << QStringList{ "command -3" } << false;
    QTest::newRow("num:2147483647") << 0 << QByteArray("num:2147483647") << QByteArray("true")
                                    << QStringList{ "command 2147483647" } << false;
    QTest::newRow("num:-2147483648") << 0 << QByteArray("num:-2147483648") << QByteArray("true")
                                     << QStringList{ "command -2147483648" } << false;
    QTest::newRow("num: above int range") << 0 << QByteArray("num:2147483648")
                                          << QByteArray("true") << QStringList{ "command 0" }
                                          << false;
    QTest::newRow("num: below int range") << 0 << QByteArray("num:-2147483649")
                                          << QByteArray("true") << QStringList{ "command 0" }
                                          << false;
    QTest::newRow("num: no number") << 0 << QByteArray("num:abc") << QByteArray("true")
                                    << QStringList{ "command 0" } << false;
    QTest::newRow("num: trailing letter") << 0 << QByteArray("num:12a") << QByteArray("true")
                                          << QStringList{ "command 0" } << false;
    QTest::newRow("num: alone") << 0 << QByteArray("num:") << QByteArray("false") << none
                                << false;
    QTest::newRow("Terminate in other case") << 0 << QByteArray("Terminate") << QByteArray("false")
                                             << none << false;
    QTest::newRow("ALIVE") << 0 << QByteArray("ALIVE") << QByteArray("false") << none << false;
    QTest::newRow("alive with blank") << 0 << QByteArray("alive ") << QByteArray("false") << none
                                      << false;
    QTest::newRow("blank before alive") << 0 << QByteArray(" alive") << QByteArray("false")
                                        << none << false;
    QTest::newRow("terminated by bare line feed")
        << 0 << QByteArray("terminate\n") << QByteArray("false") << none << false;
    QTest::newRow("NUM:7") << 0 << QByteArray("NUM:7") << QByteArray("false") << none << false;
    QTest::newRow("num without colon") << 0 << QByteArray("num7") << QByteArray("false") << none
                                       << false;
    QTest::newRow("unknown word") << canPause << QByteArray("stop") << QByteArray("false") << none
                                  << false;
}

// Each command is served from a running event loop, as in the daemon, so
// that "terminate" can be seen to end it: the loop returns 0 when the
// command quit it, and replyReceived when the test ended it on the reply.
void TestQtServiceControl::commandTable()
{
    QFETCH(int, flags);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, calls);
    QFETCH(bool, quits);

    const Server server = makeServer(flags);
    QVERIFY(server->setPath(path));
    Client client(path);
    QVERIFY(client.connected);

    constexpr int replyReceived = 1;
    constexpr int timedOut = 2;
    QObject context;
    QObject::connect(&client.socket, &QIODevice::readyRead, &context, [&] {
        if (client.received.size() >= reply.size())
            QCoreApplication::exit(replyReceived);
    });
    QTimer::singleShot(0, &context, [&] { client.send(command + "\r\n"); });
    QTimer::singleShot(20000, &context, [] { QCoreApplication::exit(timedOut); });
    const int loopResult = QCoreApplication::exec();
    QObject::disconnect(&client.socket, nullptr, &context, nullptr);

    QCOMPARE(loopResult, quits ? 0 : replyReceived);
    QTRY_COMPARE(client.received, reply);
    QCOMPARE(service->calls, calls);
    QVERIFY(client.isConnected());
}

void TestQtServiceControl::splitWrites_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("inside the word") << QByteArrayList{ "ali", "ve\r\n" } << QByteArray("true")
                                     << QStringList{};
    QTest::newRow("before CR LF") << QByteArrayList{ "alive", "\r\n" } << QByteArray("true")
                                  << QStringList{};
    QTest::newRow("between CR and LF") << QByteArrayList{ "alive\r", "\n" } << QByteArray("true")
                                       << QStringList{};
    QTest::newRow("byte by byte") << QByteArrayList{ "n", "u", "m", ":", "4", "2", "\r", "\n" }
                                  << QByteArray("true") << QStringList{ "command 42" };
    QTest::newRow("inside the code") << QByteArrayList{ "num:1", "2\r\n" } << QByteArray("true")
                                     << QStringList{ "command 12" };
    QTest::newRow("command and a half") << QByteArrayList{ "alive\r\nnum:", "5\r\n" }
                                        << QByteArray("truetrue") << QStringList{ "command 5" };
}

// Nothing is answered before the CR LF arrives; then the command is
// performed once.
void TestQtServiceControl::splitWrites()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, calls);

    const Server server = makeServer(canPause);
    QVERIFY(server->setPath(path));
    Client client(path);
    QVERIFY(client.connected);

    for (qsizetype i = 0; i + 1 < pieces.size(); ++i) {
        client.send(pieces.at(i));
        QTRY_VERIFY(serverDrained(*server, client));
        QCoreApplication::processEvents();
        QVERIFY(reply.startsWith(client.received));
        QVERIFY(client.received.size() < reply.size());
    }
    client.send(pieces.last());
    QTRY_COMPARE(client.received, reply);
    QCOMPARE(service->calls, calls);
}

void TestQtServiceControl::severalCommandsInOneWrite_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<QByteArray>("write");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("alive and no command") << 0 << QByteArray("alive\r\nbogus\r\n")
                                          << QByteArray("truefalse") << QStringList{};
    QTest::newRow("no command and alive") << 0 << QByteArray("bogus\r\nalive\r\n")
                                          << QByteArray("falsetrue") << QStringList{};
    QTest::newRow("two codes in order") << 0 << QByteArray("num:1\r\nnum:2\r\n")
                                        << QByteArray("truetrue")
                                        << QStringList{ "command 1", "command 2" };
    QTest::newRow("refused pause between codes")
        << 0 << QByteArray("num:1\r\npause\r\nnum:3\r\n") << QByteArray("truefalsetrue")
        << QStringList{ "command 1", "command 3" };
    QTest::newRow("pause and resume") << canPause << QByteArray("pause\r\nresume\r\nalive\r\n")
                                      << QByteArray("truetruetrue")
                                      << QStringList{ "pause", "resume" };
    QTest::newRow("incomplete tail waits") << 0 << QByteArray("alive\r\nnum:9")
                                           << QByteArray("true") << QStringList{};
}

void TestQtServiceControl::severalCommandsInOneWrite()
{
    QFETCH(int, flags);
    QFETCH(QByteArray, write);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, calls);

    const Server server = makeServer(flags);
    QVERIFY(server->setPath(path));
    Client client(path);
    QVERIFY(client.connected);

    client.send(write);
    QTRY_COMPARE(client.received, reply);
    QTRY_VERIFY(serverDrained(*server, client));
    QCoreApplication::processEvents();
    QCOMPARE(client.received, reply);
    QCOMPARE(service->calls, calls);
}

void TestQtServiceControl::emptyCommandWaitsForMoreData_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("firstReply");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QByteArray>("secondReply");

    QTest::newRow("empty command first") << QByteArray("\r\nalive\r\n") << QByteArray()
                                         << QByteArray("num:4\r\n") << QByteArray("truetrue");
    QTest::newRow("empty command between")
        << QByteArray("alive\r\n\r\nnum:4\r\n") << QByteArray("true") << QByteArray("bogus\r\n")
        << QByteArray("truetruefalse");
    QTest::newRow("two empty commands") << QByteArray("\r\n\r\nalive\r\n") << QByteArray()
                                        << QByteArray("x") << QByteArray();
    QTest::newRow("empty command alone") << QByteArray("\r\n") << QByteArray()
                                         << QByteArray("alive\r\n") << QByteArray("true");
}

// An empty command (CR LF at the start of the pending input) is consumed
// and ends the turn; what follows it waits for the next arrival of data.
void TestQtServiceControl::emptyCommandWaitsForMoreData()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, firstReply);
    QFETCH(QByteArray, second);
    QFETCH(QByteArray, secondReply);

    const Server server = makeServer(0);
    QVERIFY(server->setPath(path));
    Client client(path);
    QVERIFY(client.connected);

    client.send(first);
    QTRY_COMPARE(client.received, firstReply);
    QTRY_VERIFY(serverDrained(*server, client));
    QCoreApplication::processEvents();
    QCOMPARE(client.received, firstReply);

    client.send(second);
    QTRY_COMPARE(client.received, secondReply);
    QTRY_VERIFY(serverDrained(*server, client));
    QCoreApplication::processEvents();
    QCOMPARE(client.received, secondReply);
    QVERIFY(client.isConnected());
}

void TestQtServiceControl::connectionsKeepTheirOwnInput()
{
    const Server server = makeServer(0);
    QVERIFY(server->setPath(path));
    Client first(path);
    Client second(path);
    QVERIFY(first.connected);
    QVERIFY(second.connected);

    first.send("num:");
    QTRY_VERIFY(serverDrained(*server, { &first, &second }));
    second.send("alive\r\n");
    QTRY_COMPARE(second.received, QByteArray("true"));
    first.send("8\r\n");
    QTRY_COMPARE(first.received, QByteArray("true"));
    QCOMPARE(service->calls, QStringList{ "command 8" });
    QCOMPARE(second.received, QByteArray("true"));
}

// A client that goes away, even in the middle of a command, leaves nothing
// behind on the server, which serves the next client as before.
void TestQtServiceControl::closedConnectionIsReleased()
{
    const Server server = makeServer(0);
    QVERIFY(server->setPath(path));
    {
        Client client(path);
        QVERIFY(client.connected);
        client.send("num:5");
        QTRY_VERIFY(serverDrained(*server, client));
        client.socket.close();
    }
    QTRY_COMPARE(connectionsOf(*server).size(), 0);
    QCOMPARE(service->calls, QStringList());

    Client next(path);
    QVERIFY(next.connected);
    next.send("\r\n");
    QTRY_VERIFY(serverDrained(*server, next));
    next.send("num:6\r\n");
    QTRY_COMPARE(next.received, QByteArray("true"));
    QCOMPARE(service->calls, QStringList{ "command 6" });
}

void TestQtServiceControl::pendingInputIsBounded_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("closed");

    const qsizetype limit = QtServiceSysPrivate::maxPendingInput;
    QTest::newRow("over the limit after a command")
        << QByteArrayList{ "alive\r\n" + QByteArray(limit + 1, 'x') } << QByteArray("true")
        << true;
    QTest::newRow("over the limit in pieces")
        << QByteArrayList{ QByteArray(limit / 2, 'x'), QByteArray(limit / 2, 'x'),
                           QByteArray(limit / 2, 'x') }
        << QByteArray() << true;
    QTest::newRow("over the limit with a bare line feed")
        << QByteArrayList{ "alive\r\n", QByteArray(limit, 'x') + "\n" } << QByteArray("true")
        << true;
    QTest::newRow("at the limit") << QByteArrayList{ "alive\r\n" + QByteArray(limit, 'x') }
                                  << QByteArray("true") << false;
}

// A connection that keeps sending without CR LF is closed once its pending
// input passes the limit; the replies already due still reach it.
void TestQtServiceControl::pendingInputIsBounded()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, reply);
    QFETCH(bool, closed);

    const Server server = makeServer(0);
    QVERIFY(server->setPath(path));
    Client client(path);
    QVERIFY(client.connected);
    QSignalSpy disconnected(&client.socket, &QAbstractSocket::disconnected);

    for (const QByteArray &piece : std::as_const(pieces)) {
        QVERIFY(client.isConnected());
        client.send(piece);
        QTRY_VERIFY(!client.isConnected() || serverDrained(*server, client));
    }
    if (closed) {
        QTRY_COMPARE(disconnected.size(), 1);
        QTRY_COMPARE(connectionsOf(*server).size(), 0);
        QCOMPARE(client.received, reply);
    } else {
        QTRY_COMPARE(client.received, reply);
        QCoreApplication::processEvents();
        QVERIFY(client.isConnected());
        // The text is no command, but once it ends it is answered.
        client.send("\r\n");
        QTRY_COMPARE(client.received, reply + "false");
    }
    QCOMPARE(service->calls, QStringList());

    Client next(path);
    QVERIFY(next.connected);
    next.send("alive\r\n");
    QTRY_COMPARE(next.received, QByteArray("true"));
}

void TestQtServiceControl::existingFileIsReplaced_data()
{
    QTest::addColumn<QString>("existing");

    QTest::newRow("nothing") << QString();
    QTest::newRow("stale socket") << QStringLiteral("socket");
    QTest::newRow("regular file") << QStringLiteral("file");
}

// A socket file left by a crashed daemon, or anything else at the path,
// does not keep a new server from listening there.
void TestQtServiceControl::existingFileIsReplaced()
{
    QFETCH(QString, existing);

    if (existing == QLatin1String("socket")) {
        QVERIFY(makeStaleSocket(path));
        QVERIFY(isSocketFile(path));
        Client refused(path);
        QVERIFY(!refused.connected);
    } else if (existing == QLatin1String("file")) {
        QVERIFY(writeFile(path, "left over"));
    }

    const Server server = makeServer(0);
    QVERIFY(server->setPath(path));
    QVERIFY(server->isListening());
    QCOMPARE(server->path(), path);
    QVERIFY(isSocketFile(path));
    Client client(path);
    QVERIFY(client.connected);
    client.send("alive\r\n");
    QTRY_COMPARE(client.received, QByteArray("true"));
}

void TestQtServiceControl::socketFileMode_data()
{
    QTest::addColumn<int>("mask");

    QTest::newRow("umask 027") << 027;
    QTest::newRow("umask 077") << 077;
    QTest::newRow("umask 0") << 0;
}

// Every local user may connect, whatever the umask of the daemon.
void TestQtServiceControl::socketFileMode()
{
    QFETCH(int, mask);

    const UmaskGuard umaskGuard(mode_t(mask & 0777));
    const Server server = makeServer(0);
    QVERIFY(server->setPath(path));
    struct stat info;
    QCOMPARE(::lstat(QFile::encodeName(path).constData(), &info), 0);
    QVERIFY(S_ISSOCK(info.st_mode));
    QCOMPARE(int(info.st_mode & 07777), 0666);
}

void TestQtServiceControl::closeRemovesSocketFile()
{
    const Server server = makeServer(0);
    QVERIFY(server->setPath(path));
    QVERIFY(isSocketFile(path));

    server->close();
    QVERIFY(!fileExists(path));
    QVERIFY(!server->isListening());
    QVERIFY(server->path().isEmpty());
    Client client(path);
    QVERIFY(!client.connected);

    // A second close has nothing left to remove, not even a file that has
    // appeared at the path since.
    QVERIFY(writeFile(path, "someone else's"));
    server->close();
    QVERIFY(isRegularFileWith(path, "someone else's"));
}

// A second daemon of the same name takes the path over. When the first one
// ends, it must not remove the socket file of the one still running.
void TestQtServiceControl::closeLeavesNewerServersFile()
{
    const Server older = makeServer(0);
    QVERIFY(older->setPath(path));
    const Server newer = makeServer(canPause);
    QVERIFY(newer->setPath(path));

    older->close();
    QVERIFY(isSocketFile(path));
    // Only the newer server honours "pause".
    Client client(path);
    QVERIFY(client.connected);
    client.send("pause\r\n");
    QTRY_COMPARE(client.received, QByteArray("true"));

    newer->close();
    QVERIFY(!fileExists(path));
}

void TestQtServiceControl::overlongPath_data()
{
    // Either a path of the given length in the temporary folder, or the
    // control socket path of a name whose sanitized form has the given
    // length.
    QTest::addColumn<bool>("controlPath");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("fits");

    QTest::newRow("107 bytes") << false << 107 << true;
    QTest::newRow("108 bytes") << false << 108 << false;
    QTest::newRow("109 bytes") << false << 109 << false;
    QTest::newRow("150 bytes") << false << 150 << false;
    QTest::newRow("name of 88 characters") << true << 88 << true;
    QTest::newRow("name of 89 characters") << true << 89 << false;
}

// A path that does not fit the socket address with its terminating zero is
// refused by server and client alike, and never cut onto a shorter path:
// nothing is created, removed or reached at one.
void TestQtServiceControl::overlongPath()
{
    QFETCH(bool, controlPath);
    QFETCH(int, length);
    QFETCH(bool, fits);

    QString longPath;
    if (controlPath) {
        const QString stem = QStringLiteral("qtservicetestoverlong%1")
                                 .arg(QCoreApplication::applicationPid());
        longPath = controlSocketPath(stem + QString(length - stem.size(), QLatin1Char('z')));
        QCOMPARE(sanitizedName(QFileInfo(longPath).completeBaseName()).size(), length);
    } else {
        const QString folder = dir->path() + QLatin1Char('/');
        longPath = folder + QString(length - folder.size(), QLatin1Char('p'));
    }
    QCOMPARE(QFile::encodeName(longPath).size(), controlPath ? length + 19 : length);

    FileRemover remover;
    remover.add(longPath);
    QStringList decoys;
    for (const int cut : { 107, 108 }) {
        if (QFile::encodeName(longPath).size() > cut) {
            decoys.append(longPath.left(cut));
            remover.add(decoys.last());
            QVERIFY(writeFile(decoys.last(), "decoy"));
        }
    }

    const Server server = makeServer(0);
    QCOMPARE(server->setPath(longPath), fits);
    QCOMPARE(server->isListening(), fits);
    QCOMPARE(isSocketFile(longPath), fits);
    for (const QString &decoy : std::as_const(decoys))
        QVERIFY2(isRegularFileWith(decoy, "decoy"), qPrintable(decoy));

    Client client(longPath);
    QCOMPARE(client.connected, fits);
    if (fits) {
        server->close();
        QVERIFY(!fileExists(longPath));
        return;
    }
    QVERIFY(server->path().isEmpty());
    QVERIFY(!fileExists(longPath));

    // A client is not connected to a server listening at the cut path.
    QVERIFY(!decoys.isEmpty());
    QVERIFY(QFile::remove(decoys.first()));
    const Server atCut = makeServer(0);
    QVERIFY(atCut->setPath(decoys.first()));
    Client cutClient(longPath);
    QVERIFY(!cutClient.connected);
    QVERIFY(isSocketFile(decoys.first()));
}

// A daemon counts as running exactly while something accepts connections
// on its control socket; a socket file alone is not enough.
void TestQtServiceControl::isRunningFollowsTheSocket()
{
    const QString name = uniqueServiceName(QStringLiteral("Running"));
    const QString socketPath = controlSocketPath(name);
    FileRemover remover;
    remover.add(socketPath);
    const QtServiceController controller(name);
    QVERIFY(!controller.isRunning());

    QVERIFY(makeStaleSocket(socketPath));
    QVERIFY(!controller.isRunning());

    const Server server = makeServer(0);
    QVERIFY(server->setPath(socketPath));
    QVERIFY(controller.isRunning());
    QVERIFY(QtServiceController(name.toUpper()).isRunning());
    QVERIFY(!QtServiceController(name + QLatin1Char('x')).isRunning());

    server->close();
    QVERIFY(!controller.isRunning());
    QVERIFY(!fileExists(socketPath));
}

void TestQtServiceControl::clientRequests_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("request");

    QTest::newRow("stop") << QStringLiteral("stop") << QByteArray("terminate\r\n");
    QTest::newRow("pause") << QStringLiteral("pause") << QByteArray("pause\r\n");
    QTest::newRow("resume") << QStringLiteral("resume") << QByteArray("resume\r\n");
    QTest::newRow("sendCommand(12)") << QStringLiteral("12") << QByteArray("num:12\r\n");
    QTest::newRow("sendCommand(-3)") << QStringLiteral("-3") << QByteArray("num:-3\r\n");
    QTest::newRow("sendCommand(0)") << QStringLiteral("0") << QByteArray("num:0\r\n");
}

// What the controller's calls put on the wire: one command and CR LF.
void TestQtServiceControl::clientRequests()
{
    QFETCH(QString, operation);
    QFETCH(QByteArray, request);

    const QString name = uniqueServiceName(QStringLiteral("Requests"));
    ScriptedPeer peer(controlSocketPath(name), { "true" });
    QVERIFY(peer.isListening());
    QtServiceController controller(name);
    bool result = false;
    if (operation == QLatin1String("stop"))
        result = controller.stop();
    else if (operation == QLatin1String("pause"))
        result = controller.pause();
    else if (operation == QLatin1String("resume"))
        result = controller.resume();
    else
        result = controller.sendCommand(operation.toInt());
    QVERIFY(result);
    QCOMPARE(peer.request(), request);
}

void TestQtServiceControl::clientReply_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<bool>("result");

    QTest::newRow("true") << QByteArrayList{ "true" } << true;
    QTest::newRow("true in pieces") << QByteArrayList{ "t", "ru", "e" } << true;
    QTest::newRow("false") << QByteArrayList{ "false" } << false;
    QTest::newRow("false in pieces") << QByteArrayList{ "fa", "lse" } << false;
    QTest::newRow("no reply") << QByteArrayList{} << false;
    QTest::newRow("other case") << QByteArrayList{ "True" } << false;
    QTest::newRow("true and more") << QByteArrayList{ "truex" } << false;
    QTest::newRow("cut short") << QByteArrayList{ "tru" } << false;
}

// Only the exact reply "true" counts; a reply arriving in pieces is read
// whole, and a peer that closes without one is a failure, not a wait.
void TestQtServiceControl::clientReply()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(bool, result);

    const QString name = uniqueServiceName(QStringLiteral("Reply"));
    ScriptedPeer peer(controlSocketPath(name), pieces);
    QVERIFY(peer.isListening());
    QCOMPARE(sendControlCommand(name, QStringLiteral("alive")), result);
    QCOMPARE(peer.request(), QByteArray("alive\r\n"));
    QVERIFY(!QtServiceController(name + QStringLiteral("x")).stop());
}

QTEST_GUILESS_MAIN(TestQtServiceControl)
#include "tst_qtservicecontrol.moc"
