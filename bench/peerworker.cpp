// The tiny worker that every supervisor of bench_peers runs, linked
// statically so that no supervisor pays for a dynamic loader it does not
// need. It reports its start and, just before it ends on its own, its end
// on the FIFO named by BENCH_FIFO ("S <pid> <ns>" / "D <pid> <ns>",
// CLOCK_REALTIME), then lives for the number of milliseconds in the file
// named by BENCH_LIFE; 0 or no file: until a signal ends it.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
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

} // namespace

int main()
{
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
