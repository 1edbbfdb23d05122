#include "unixsignalwatcher.h"

#include <QSocketNotifier>
#include <QtGlobal>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };

extern "C" void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe means the loop has plenty of wake-ups queued already.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

UnixSignalWatcher::UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
        qErrnoWarning("Cannot create the socket pair for Unix signals");
        signalPipe[0] = signalPipe[1] = -1;
        return;
    }
    notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UnixSignalWatcher::readSignals);

    for (const int signalNumber : signalNumbers) {
        struct sigaction action = {};
        action.sa_handler = forwardSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        Installed entry{ signalNumber, {} };
        if (::sigaction(signalNumber, &action, &entry.previous) == 0)
            installed.push_back(entry);
        else
            qErrnoWarning("Cannot install the handler of signal %d", signalNumber);
    }
}

UnixSignalWatcher::~UnixSignalWatcher()
{
    for (const Installed &entry : installed)
        ::sigaction(entry.signalNumber, &entry.previous, nullptr);
    delete notifier;
    for (int &fd : signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void UnixSignalWatcher::ignoreWhenDestroyed()
{
    for (Installed &entry : installed) {
        entry.previous = {};
        entry.previous.sa_handler = SIG_IGN;
        sigemptyset(&entry.previous.sa_mask);
    }
}

void UnixSignalWatcher::readSignals()
{
    unsigned char bytes[16];
    ssize_t count;
    while ((count = ::read(signalPipe[1], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            Q_EMIT signalReceived(bytes[i]);
    }
}
