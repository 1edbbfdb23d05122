#include "controlsocket.h"

#include "qtunixsocket.h"

#include <QDeadlineTimer>

#include <cstring>

QString sanitizedName(const QString &name)
{
    static const QString allowed = QStringLiteral("abcdefghijklmnopqrstuvwxyz1234567890");
    QString result;
    for (const QChar c : name.toLower()) {
        if (allowed.contains(c))
            result.append(c);
    }
    return result;
}

QString controlSocketPath(const QString &name)
{
    return QStringLiteral("/var/tmp/") + sanitizedName(name) + QStringLiteral(".qtservice");
}

bool makeUnixAddress(const QString &path, sockaddr_un *address, socklen_t *length)
{
    const QByteArray bytes = path.toLatin1();
    std::memset(address, 0, sizeof *address);
    if (bytes.isEmpty() || size_t(bytes.size()) >= sizeof address->sun_path)
        return false;
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, bytes.constData(), size_t(bytes.size()));
    *length = socklen_t(bytes.size() + 2);
    return true;
}

int openUnixStreamSocket(const QString &path, sockaddr_un *address, socklen_t *length)
{
    if (!makeUnixAddress(path, address, length))
        return -1;
    // Close-on-exec: the workers the daemon starts must not inherit it.
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

namespace {

// The reply is one word; a stream may deliver it in pieces.
bool isIncompleteReply(const QByteArray &reply)
{
    return reply.size() < 5 && (QByteArrayLiteral("true").startsWith(reply)
                                || QByteArrayLiteral("false").startsWith(reply))
        && reply != "true";
}

} // namespace

bool sendControlCommand(const QString &serviceName, const QString &command)
{
    QtUnixSocket socket;
    if (!socket.connectTo(controlSocketPath(serviceName)))
        return false;
    const QDeadlineTimer deadline(controlReplyTimeoutMs);
    QByteArray reply;
    if (socket.write(command.toLatin1() + "\r\n", deadline)) {
        while (isIncompleteReply(reply) && socket.read(&reply, deadline)) {
        }
    }
    return reply == "true";
}
