// The real control server's side of one connection (a socket pair), fed
// arbitrary bytes in arbitrary pieces. Input: the service flags (low two bits
// of the first byte), then pieces, each sent once the one before is taken in:
// a header < 0x80 and header + 1 bytes, or a header >= 0x80 and a byte sent
// ((header & 0x7f) + 1) * 64 times. Checked: replies are whole "true"/"false"
// words, no more than lines sent; a service that cannot stop or pause is not
// stopped or paused; unended text beyond the bound closes the connection; a
// connection the client closes is released with its descriptor.

#include "fuzzsupport.h"
#include "qtservicebase.h"
#include "qtservicesysprivate.h"

#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>

#include <fcntl.h>
#include <functional>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

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
    void processCommand(int) override { calls << QStringLiteral("command"); }
    void createApplication(int &, char **) override {}
    int executeApplication() override { return 0; }
};

// The real control server, reached where its listening socket would reach it.
class ControlServer : public QtServiceSysPrivate
{
public:
    using QtServiceSysPrivate::incomingConnection;
};

QList<QByteArray> piecesOf(const uint8_t *data, size_t size)
{
    QList<QByteArray> pieces;
    for (size_t at = 0; at < size;) {
        const uint8_t header = data[at++];
        if (header < 0x80) {
            const size_t length = qMin(size_t(header) + 1, size - at);
            pieces.append(QByteArray(reinterpret_cast<const char *>(data + at), qsizetype(length)));
            at += length;
        } else if (at < size) {
            pieces.append(QByteArray(((header & 0x7f) + 1) * 64, char(data[at++])));
        }
    }
    return pieces;
}

bool processEventsUntil(const std::function<bool()> &done)
{
    for (int round = 0; round < 100000 && !done(); ++round) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return done();
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
    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    auto *server = new ControlServer;
    server->serviceFlags = flags;
    server->incomingConnection(fds[0]);
    const QPointer<QTcpSocket> connection = server->findChild<QTcpSocket *>();
    FUZZ_CHECK(connection);
    const auto open = [&] { return connection && connection->state() == QAbstractSocket::ConnectedState; };

    QByteArray sent, received;
    char buffer[4096];
    for (const QByteArray &piece : piecesOf(data + 1, size - 1)) {
        for (qsizetype at = 0; at < piece.size() && open();) {
            const ssize_t n = ::send(fds[1], piece.constData() + at, size_t(piece.size() - at), MSG_NOSIGNAL | MSG_DONTWAIT);
            n > 0 ? void(at += n) : QCoreApplication::processEvents();
        }
        sent += piece;
        // Until the server has read everything sent, or closed the connection.
        FUZZ_CHECK(processEventsUntil([&] {
            int queued = 0;
            return !open() || (::ioctl(fds[0], FIONREAD, &queued) == 0 && queued == 0 && connection->bytesAvailable() == 0);
        }));
        for (ssize_t n; (n = ::recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            received.append(buffer, n);
        // More text than the bound after the last line end closes the connection.
        if (sent.size() - (sent.lastIndexOf("\r\n") + 2) > QtServiceSysPrivate::maxPendingInput)
            FUZZ_CHECK(processEventsUntil([&] { return !open(); }));
        if (!open())
            break;
    }
    static const QRegularExpression words(QStringLiteral("^(true|false)*$"));
    FUZZ_CHECK(words.match(QString::fromLatin1(received)).hasMatch());
    FUZZ_CHECK(received.count("true") + received.count("false") <= sent.count("\r\n"));
    if (flags & QtServiceBase::CannotStop)
        FUZZ_CHECK(!service->calls.contains(QStringLiteral("stop")));
    if (!(flags & QtServiceBase::CanPause))
        FUZZ_CHECK(!service->calls.contains(QStringLiteral("pause")) && !service->calls.contains(QStringLiteral("resume")));

    ::close(fds[1]);
    FUZZ_CHECK(processEventsUntil([&] { return connection.isNull(); }));
    FUZZ_CHECK(::fcntl(fds[0], F_GETFD) == -1 && errno == EBADF);
    delete server;
    return 0;
}
