// bench_bareqt [--exit | --supervise program | --stop pid]: a bare Qt program
// that loads the toolkit libraries the watchdog loads, QtCore and QtNetwork.
// A QTcpSocket is made so that QtNetwork is really loaded and initialised,
// not just named and dropped by the linker.
//   --exit               ends at once: the floor of -v.
//   --supervise program  starts program with QProcess, as the watchdog starts
//                        its worker, and again at once whenever it ends; idles
//                        until SIGTERM, which kills and reaps the program and
//                        ends it: the toolkit's floor of the start-up, of
//                        noticing a worker's end and of its memory.
//   --stop pid           sends SIGTERM to pid and waits until it has ended;
//                        with pid a --supervise, the floor of -t, which ends
//                        a daemon that stops its worker.
//   (nothing)            idles until killed.

#include <QCoreApplication>
#include <QProcess>
#include <QTcpSocket>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t childPid = 0;

// The least a supervisor does to stop: its child killed and reaped, then
// the end.
void stopChild(int)
{
    const pid_t pid = childPid;
    if (pid > 0 && ::kill(pid, SIGKILL) == 0)
        ::waitpid(pid, nullptr, 0);
    ::_exit(0);
}

// The least a program does to stop another and see it gone: its pidfd
// turns readable at its end.
int stopProcess(pid_t pid)
{
    const int descriptor = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pid <= 0 || descriptor < 0 || ::kill(pid, SIGTERM) != 0)
        return 1;
    pollfd end = { descriptor, POLLIN, 0 };
    while (::poll(&end, 1, -1) < 0 && errno == EINTR) {
    }
    ::close(descriptor);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    const QTcpSocket socket;
    if (socket.state() != QAbstractSocket::UnconnectedState)
        return 2;
    if (arguments.value(0) == QLatin1String("--exit"))
        return 0;
    if (arguments.value(0) == QLatin1String("--stop"))
        return stopProcess(pid_t(arguments.value(1).toInt()));
    QProcess child;
    if (arguments.value(0) == QLatin1String("--supervise")) {
        const QString program = arguments.value(1);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        QObject::connect(&child, &QProcess::started, &app, [&child] { childPid = sig_atomic_t(child.processId()); });
        QObject::connect(&child, &QProcess::finished, &app, [&child, program] {
            childPid = 0;
            child.start(program, {});
        });
        std::signal(SIGTERM, stopChild);
        child.start(program, {});
    }
    return app.exec();
}
