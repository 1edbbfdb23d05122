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

#include <QPointer>
#include <QStringList>
#include <QTcpSocket>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A service whose operations only record their calls.
class RecordingService : public QtServiceBase
{
public:
    RecordingService() : QtServiceBase(0, nullptr, QStringLiteral("Watchdog Control Fuzz"), nullptr) {}

    QStringList calls;

protected:
    void start() override {}
    void stop() override { calls << QStringLiteral("stop"); }
    void pause() override { calls << QStringLiteral("pause"); }
    void resume() override { calls << QStringLiteral("resume"); }
    void processCommand(int code) override { calls << QString::number(code); }
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
    QStringList calls;
    bool closed = false;

    // One piece as the server reads it in one go: the complete lines up to
    // an empty one, which is consumed and ends the reading of this piece.
    void read(const QByteArray &piece)
    {
        pending += piece;
        for (qsizetype end = pending.indexOf("\r\n"); end > 0; end = pending.indexOf("\r\n")) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 2);
            replies += perform(line) ? "true" : "false";
        }
        if (pending.startsWith("\r\n"))
            pending.remove(0, 2);
        closed = pending.size() > QtServiceSysPrivate::maxPendingInput;
    }

private:
    bool perform(const QString &command)
    {
        if (command == QLatin1String("alive"))
            return true;
        if (command == QLatin1String("terminate")) {
            if (flags & QtServiceBase::CannotStop)
                return false;
            calls << QStringLiteral("stop");
        } else if (command == QLatin1String("pause") || command == QLatin1String("resume")) {
            if (!(flags & QtServiceBase::CanPause))
                return false;
            calls << command;
        } else if (command.startsWith(QLatin1String("num:")) && command.size() > 4) {
            calls << QString::number(command.mid(4).toInt());
        } else {
            return false;
        }
        return true;
    }

    const QtServiceBase::ServiceFlags flags;
    QByteArray pending;
};

QList<QByteArray> piecesOf(const uint8_t *data, size_t size)
{
    QList<QByteArray> pieces;
    for (size_t at = 0; at < size;) {
        const uint8_t header = data[at++];
        const size_t length = header < 0x80 ? qMin(size_t(header) + 1, size - at) : 0;
        if (header < 0x80 && length > 0)
            pieces.append(QByteArray(reinterpret_cast<const char *>(data + at), qsizetype(length)));
        else if (header >= 0x80 && at < size)
            pieces.append(QByteArray(((header & 0x7f) + 1) * 64, char(data[at++])));
        else
            break;
        at += length;
    }
    return pieces;
}

// Runs the event loop until done() holds; false when it never does.
bool processEventsUntil(const std::function<bool()> &done)
{
    for (int round = 0; round < 100000 && !done(); ++round) {
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
        } else if (count == 0 || errno != EINTR) {
            *endOfStream = *endOfStream || count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            return received;
        }
    }
}

void sendPiece(int fd, const QByteArray &piece, const QPointer<QTcpSocket> &connection)
{
    for (qsizetype sent = 0; sent < piece.size() && isOpen(connection);) {
        const ssize_t count = ::send(fd, piece.constData() + sent, size_t(piece.size() - sent),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0)
            sent += count;
        else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        else
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Fuzz::ensureApplication();
    static RecordingService *service = new RecordingService;
    service->calls.clear();

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
        int queued = 0;
        return !isOpen(connection)
            || (::ioctl(serverFd, FIONREAD, &queued) == 0 && queued == 0
                && connection->bytesAvailable() == 0);
    };

    QByteArray received;
    bool endOfStream = false;
    const QList<QByteArray> pieces = piecesOf(data + 1, size - 1);
    for (const QByteArray &piece : pieces) {
        sendPiece(clientFd, piece, connection);
        FUZZ_CHECK(processEventsUntil(drained));
        model.read(piece);
        if (model.closed)
            FUZZ_CHECK(processEventsUntil([&] { return !isOpen(connection); }));
        received += receiveAvailable(clientFd, &endOfStream);
        FUZZ_CHECK(received == model.replies);
        FUZZ_CHECK(endOfStream == model.closed);
        FUZZ_CHECK(service->calls == model.calls);
        if (model.closed)
            break;
    }

    // The client goes away: the server lets go of the connection and its
    // descriptor.
    ::close(clientFd);
    FUZZ_CHECK(processEventsUntil([&] { return connection.isNull(); }));
    FUZZ_CHECK(::fcntl(serverFd, F_GETFD) == -1 && errno == EBADF);
    delete server;
    return 0;
}
