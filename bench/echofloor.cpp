// bench_echofloor <socket path>: the least a control server can do. Accepts
// one connection at a time on a Unix-domain stream socket, reads up to the
// first CR LF, replies "true" and closes when the client has. Runs until
// killed.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Reads until the request's CR LF; false when the peer went away first.
bool readRequest(int connection)
{
    char buffer[256];
    size_t filled = 0;
    while (filled < sizeof buffer) {
        const ssize_t count = ::read(connection, buffer + filled, sizeof buffer - filled);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        filled += size_t(count);
        for (size_t i = 1; i < filled; ++i) {
            if (buffer[i - 1] == '\r' && buffer[i] == '\n')
                return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <socket path>\n", argv[0]);
        return 2;
    }
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (std::strlen(argv[1]) >= sizeof address.sun_path) {
        std::fprintf(stderr, "socket path too long\n");
        return 2;
    }
    std::strcpy(address.sun_path, argv[1]);
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(argv[1]);
    if (server < 0 || ::bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(server, 5) != 0) {
        std::perror("bench_echofloor");
        return 1;
    }
    for (;;) {
        const int connection = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        if (readRequest(connection)) {
            [[maybe_unused]] const ssize_t written = ::write(connection, "true", 4);
            // The client closes first, as with the daemon: closing here
            // would put the teardown on the client's path.
            char rest[64];
            while (::read(connection, rest, sizeof rest) > 0) {
            }
        }
        ::close(connection);
    }
}
