// The tiny worker that every supervisor of bench_peers runs, linked
// statically so that no supervisor pays for a dynamic loader it does not
// need. It reports its start and, just before it ends on its own, its end
// on the FIFO named by BENCH_FIFO ("S <pid> <ns>" / "D <pid> <ns>",
// CLOCK_REALTIME), then lives for the number of milliseconds in the file
// named by BENCH_LIFE; 0 or no file: until a signal ends it.
//
// "--echo <socket path>" makes it the floor of the control round trip
// instead: the least a control server does, one connection at a time on a
// Unix-domain stream socket, reading up to the request's CR LF, replying
// "true" and closing after the client, as the daemon does.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

long long nowNs()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void report(int fifo, char kind)
{
    char line[64];
    const int size = std::snprintf(line, sizeof line, "%c %d %lld\n", kind, int(getpid()), nowNs());
    if (fifo >= 0 && write(fifo, line, size_t(size)) < 0)
        _exit(3);
}

long lifeMs()
{
    const char *path = std::getenv("BENCH_LIFE");
    const int file = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (file < 0)
        return 0;
    char text[32] = {};
    const ssize_t size = read(file, text, sizeof text - 1);
    close(file);
    return size > 0 ? std::strtol(text, nullptr, 10) : 0;
}

int echo(const char *path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (std::strlen(path) >= sizeof address.sun_path || server < 0)
        return 2;
    std::strcpy(address.sun_path, path);
    unlink(path);
    if (bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(server, 5) != 0)
        return 1;
    for (;;) {
        const int connection = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        char buffer[256];
        size_t filled = 0;
        ssize_t count = 0;
        while (filled < sizeof buffer && (count = read(connection, buffer + filled, sizeof buffer - filled)) > 0) {
            filled += size_t(count);
            if (filled >= 2 && buffer[filled - 2] == '\r' && buffer[filled - 1] == '\n')
                break;
        }
        if (count > 0 && write(connection, "true", 4) == 4) {
            while (read(connection, buffer, sizeof buffer) > 0) {
            }
        }
        close(connection);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--echo") == 0)
        return echo(argv[2]);
    const char *fifoPath = std::getenv("BENCH_FIFO");
    const int fifo = fifoPath ? open(fifoPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    report(fifo, 'S');
    const long life = lifeMs();
    if (life <= 0) {
        for (;;)
            pause();
    }
    const timespec span{ life / 1000, (life % 1000) * 1000000L };
    nanosleep(&span, nullptr);
    report(fifo, 'D');
    return 0;
}
