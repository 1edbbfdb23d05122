// render_worker: a stand-in for the installation's render worker.
//
// It prints its arguments and process id, then runs until SIGTERM or SIGINT
// (exit code 0). Its behaviour for one run is scripted through the
// environment, which the watchdog passes on unchanged. Every variable may be
// given for one role only by putting CPU_ or GPU_ after the prefix (for
// example RENDER_WORKER_GPU_CRASH_AFTER_MS); the role is taken from the
// argument "--cpu" or "--gpu", and the role's variable wins.
//
//   RENDER_WORKER_EXIT_AFTER_MS   exit after this many milliseconds ...
//   RENDER_WORKER_EXIT_CODE       ... with this code (default 0)
//   RENDER_WORKER_CRASH_AFTER_MS  kill itself after this many milliseconds ...
//   RENDER_WORKER_CRASH_SIGNAL    ... with this signal (default SIGSEGV)
//   RENDER_WORKER_PRINT_BYTES     write this many bytes to standard output first
//   RENDER_WORKER_RECORD          append "start <pid> <arguments>" to this file
//                                 at start, and "exit <pid>", "crash <pid>"
//                                 or "stop <pid>" when ending
//   RENDER_WORKER_DEATH_TIME      write the CLOCK_REALTIME time in nanoseconds
//                                 to this file just before exiting or crashing
//   RENDER_WORKER_DAEMON_HELPER   when 1, start a helper that leaves the
//                                 worker's session (setsid) and whose parent
//                                 exits at once, as a daemon does; it records
//                                 "helper <pid> <CPU|GPU>" and runs until killed

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <string>
#include <unistd.h>

namespace {

volatile sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int)
{
    stopRequested = 1;
}

std::string role = "";

const char *setting(const char *name)
{
    if (!role.empty()) {
        const std::string roleName = std::string("RENDER_WORKER_") + role + "_" + name;
        if (const char *value = std::getenv(roleName.c_str()))
            return value;
    }
    return std::getenv((std::string("RENDER_WORKER_") + name).c_str());
}

long numberSetting(const char *name, long fallback)
{
    const char *value = setting(name);
    if (!value || !*value)
        return fallback;
    char *end = nullptr;
    const long number = std::strtol(value, &end, 10);
    return (end && *end == '\0') ? number : fallback;
}

void appendLine(const char *path, const std::string &line)
{
    if (!path || !*path)
        return;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
    ::close(fd);
}

void record(const std::string &what)
{
    appendLine(setting("RECORD"), what + " " + std::to_string(::getpid()));
}

void recordDeathTime()
{
    const char *path = setting("DEATH_TIME");
    if (!path || !*path)
        return;
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    const long long nanoseconds = (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const std::string text = std::to_string(nanoseconds) + "\n";
    [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
    ::close(fd);
}

void printBytes(long count)
{
    static char block[65536];
    std::memset(block, 'x', sizeof block);
    while (count > 0) {
        const size_t chunk = size_t(count < long(sizeof block) ? count : long(sizeof block));
        const ssize_t written = ::write(STDOUT_FILENO, block, chunk);
        if (written <= 0 && errno != EINTR)
            return;
        if (written > 0)
            count -= written;
    }
}

// Worker, then a child that makes a session of its own and starts the
// helper, and exits: the helper is nobody's child any more.
void startDaemonHelper()
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        if (::fork() == 0) {
            appendLine(setting("RECORD"), "helper " + std::to_string(::getpid()) + " " + role);
            for (;;)
                ::pause();
        }
        ::_exit(0);
    }
    if (child > 0)
        ::waitpid(child, nullptr, 0);
}

long long nowMs()
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

} // namespace

int main(int argc, char **argv)
{
    std::string arguments;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cpu") == 0)
            role = "CPU";
        else if (std::strcmp(argv[i], "--gpu") == 0)
            role = "GPU";
        arguments += std::string(" ") + argv[i];
    }
    std::printf("render_worker pid %d arguments:%s\n", int(::getpid()), arguments.c_str());
    std::fflush(stdout);
    appendLine(setting("RECORD"), "start " + std::to_string(::getpid()) + arguments);

    // The stop signals stay blocked except while waiting, so that a stop
    // request can never slip in between the test and the wait.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    printBytes(numberSetting("PRINT_BYTES", 0));
    if (numberSetting("DAEMON_HELPER", 0) == 1)
        startDaemonHelper();

    const long exitAfter = numberSetting("EXIT_AFTER_MS", -1);
    const long crashAfter = numberSetting("CRASH_AFTER_MS", -1);
    const long long started = nowMs();
    while (!stopRequested) {
        const long long elapsed = nowMs() - started;
        if (crashAfter >= 0 && elapsed >= crashAfter) {
            record("crash");
            recordDeathTime();
            const int signalNumber = int(numberSetting("CRASH_SIGNAL", SIGSEGV));
            std::signal(signalNumber, SIG_DFL);
            sigset_t crash;
            sigemptyset(&crash);
            sigaddset(&crash, signalNumber);
            ::sigprocmask(SIG_UNBLOCK, &crash, nullptr);
            ::raise(signalNumber);
        }
        if (exitAfter >= 0 && elapsed >= exitAfter) {
            const int code = int(numberSetting("EXIT_CODE", 0));
            record("exit");
            recordDeathTime();
            return code;
        }
        long long next = -1;
        for (const long deadline : { crashAfter, exitAfter }) {
            if (deadline >= 0 && (next < 0 || deadline < next))
                next = deadline;
        }
        if (next < 0) {
            ::ppoll(nullptr, 0, nullptr, &waitMask);
        } else {
            const long long remaining = next - elapsed;
            timespec timeout{ time_t(remaining / 1000), long(remaining % 1000) * 1000000L };
            ::ppoll(nullptr, 0, &timeout, &waitMask);
        }
    }
    record("stop");
    return 0;
}
