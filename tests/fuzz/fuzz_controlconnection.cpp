// The daemon's side of one control connection, fed arbitrary bytes in
// arbitrary pieces through a socket pair whose one end the real control
// server accepts as if a client had connected.
//
// Input: the first byte holds the service flags (low two bits), the rest is a
// sequence of pieces, each sent in one write after the server has taken in the
// one before:
//   header < 0x80   the next header + 1 bytes as they stand;
//   header >= 0x80  the next byte repeated ((header & 0x7f) + 1) * 64 times,
//                   so that short inputs can still cross the input bound.
//
// Checked for every input: the replies are exactly those of the command table
// for the complete lines sent, in order, and nothing else; the service's
// operations ran once per command that asks for them; the connection is
// closed exactly when the text still waiting for its line end exceeds the
// bound after a piece was read; and a connection closed by the client is
// released together with its descriptor.

#include "fuzzsupport.h"

#include "qtservicebase.h"
#include "qtservicesysprivate.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QPointer>
#include <QTcpSocket>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// What the service was asked to do.
struct Calls
{
    int stops = 0;
    int pauses = 0;
    int resumes = 0;
    QList<int> codes;

    bool operator==(const Calls &other) const
    {
        return stops == other.stops && pauses == other.pauses && resumes == other.resumes
                && codes == other.codes;
    }
};

// A service whose operations only count their calls.
class CountingService : public QtServiceBase
{
public:
    CountingService()
        : QtServiceBase(0, nullptr, QStringLiteral("Watchdog Control Fuzz"), nullptr)
    {
    }

    Calls calls;

protected:
    void start() override {}
    void stop() override { ++calls.stops; }
    void pause() override { ++calls.pauses; }
    void resume() override { ++calls.resumes; }
    void processCommand(int code) override { calls.codes.append(code); }
    void createApplication(int &, char **) override {}
    int executeApplication() override { return 0; }
};

// The real control server; only its accepting of a connection is reached
// from here, as the listening socket would.
class ControlServer : public QtServiceSysPrivate
{
public:
    using QtServiceSysPrivate::incomingConnection;
};

// The line protocol as a client sees it: what each complete line must be
// answered with and what it makes the service do.
class ProtocolModel
{
public:
    explicit ProtocolModel(QtServiceBase::ServiceFlags flags) : flags(flags) {}

    QByteArray replies;
    Calls calls;
    bool closed = false;

    // One piece as the server reads it in one go: the complete lines up to
    // an empty one, which is consumed and ends the reading of this piece.
    void read(const QByteArray &piece)
    {
        if (closed)
            return;
        pending += piece;
        for (;;) {
            const qsizetype end = pending.indexOf("\r\n");
            if (end < 0)
                break;
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 2);
            if (line.isEmpty())
                break;
            replies += perform(QString::fromUtf8(line)) ? "true" : "false";
        }
        if (pending.size() > QtServiceSysPrivate::maxPendingInput)
            closed = true;
    }

private:
    bool perform(const QString &command)
    {
        if (command == QLatin1String("alive"))
            return true;
        if (command == QLatin1String("terminate")) {
            if (flags & QtServiceBase::CannotStop)
                return false;
            ++calls.stops;
            return true;
        }
        if (command == QLatin1String("pause") || command == QLatin1String("resume")) {
            if (!(flags & QtServiceBase::CanPause))
                return false;
            ++(command == QLatin1String("pause") ? calls.pauses : calls.resumes);
            return true;
        }
        if (command.startsWith(QLatin1String("num:")) && command.size() > 4) {
            calls.codes.append(command.mid(4).toInt());
            return true;
        }
        return false;
    }

    const QtServiceBase::ServiceFlags flags;
    QByteArray pending;
};

QList<QByteArray> piecesOf(const uint8_t *data, size_t size)
{
    QList<QByteArray> pieces;
    size_t at = 0;
    while (at < size) {
        const uint8_t header = data[at++];
        if (header < 0x80) {
            const size_t length = qMin(size_t(header) + 1, size - at);
            if (length == 0)
                break;
            pieces.append(QByteArray(reinterpret_cast<const char *>(data + at), qsizetype(length)));
            at += length;
        } else {
            if (at >= size)
                break;
            pieces.append(QByteArray(((header & 0x7f) + 1) * 64, char(data[at++])));
        }
    }
    return pieces;
}

// Runs the event loop until done() holds; false when it never does.
bool processEventsUntil(const std::function<bool()> &done)
{
    for (int round = 0; round < 100000; ++round) {
        if (done())
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return done();
}

bool isOpen(const QPointer<QTcpSocket> &connection)
{
    return connection && connection->state() != QAbstractSocket::UnconnectedState;
}

// Everything the server sent so far; sets *endOfStream when it closed.
QByteArray receiveAvailable(int fd, bool *endOfStream)
{
    QByteArray received;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (count > 0) {
            received.append(buffer, count);
            continue;
        }
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            *endOfStream = true;
        if (count < 0 && errno == EINTR)
            continue;
        return received;
    }
}

void sendPiece(int fd, const QByteArray &piece, const QPointer<QTcpSocket> &connection)
{
    qsizetype sent = 0;
    while (sent < piece.size() && isOpen(connection)) {
        const ssize_t count = ::send(fd, piece.constData() + sent, size_t(piece.size() - sent),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0) {
            sent += count;
        } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        } else {
            return;
        }
    }
}

CountingService &service()
{
    static CountingService *instance = new CountingService;
    return *instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Fuzz::ensureApplication();
    CountingService &counting = service();
    counting.calls = Calls();

    const QtServiceBase::ServiceFlags flags(data[0] & 0x03);
    ProtocolModel model(flags);

    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    const int serverFd = fds[0];
    const int clientFd = fds[1];

    auto *server = new ControlServer;
    server->serviceFlags = flags;
    server->incomingConnection(serverFd);
    const QPointer<QTcpSocket> connection = server->findChild<QTcpSocket *>();
    FUZZ_CHECK(connection);

    // The server has read everything sent to it, or has closed the connection.
    const auto drained = [&] {
        if (!isOpen(connection))
            return true;
        int queued = 0;
        return ::ioctl(serverFd, FIONREAD, &queued) == 0 && queued == 0
                && connection->bytesAvailable() == 0;
    };

    QByteArray received;
    bool endOfStream = false;
    const QList<QByteArray> pieces = piecesOf(data + 1, size - 1);
    for (const QByteArray &piece : pieces) {
        if (model.closed)
            break;
        sendPiece(clientFd, piece, connection);
        FUZZ_CHECK(processEventsUntil(drained));
        model.read(piece);
        if (model.closed)
            FUZZ_CHECK(processEventsUntil([&] { return !isOpen(connection); }));
        received += receiveAvailable(clientFd, &endOfStream);
        FUZZ_CHECK(received == model.replies);
        FUZZ_CHECK(endOfStream == model.closed);
        FUZZ_CHECK(counting.calls == model.calls);
    }

    // The client goes away: the server lets go of the connection and its
    // descriptor.
    ::close(clientFd);
    FUZZ_CHECK(processEventsUntil([&] { return connection.isNull(); }));
    FUZZ_CHECK(::fcntl(serverFd, F_GETFD) == -1 && errno == EBADF);
    delete server;
    return 0;
}
