#include "startreport.h"

#include "deadlinepoll.h"

#include <QDeadlineTimer>
#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char variableName[] = "QTSERVICE_START_REPORT";
const char lockedWord = 'L';

} // namespace

StartReport::~StartReport()
{
    closeWriteEnd();
    if (readFd >= 0)
        ::close(readFd);
    qunsetenv(variableName);
}

bool StartReport::open()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    readFd = fds[0];
    writeFd = fds[1];
    // The daemon inherits the write end only.
    ::fcntl(writeFd, F_SETFD, 0);
    qputenv(variableName, QByteArray::number(writeFd));
    return true;
}

void StartReport::closeWriteEnd()
{
    if (writeFd >= 0)
        ::close(writeFd);
    writeFd = -1;
}

bool StartReport::waitForLock(int timeoutMs)
{
    closeWriteEnd();
    qunsetenv(variableName);
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (!pollUntil(readFd, POLLIN, deadline))
            return false;
        char word = 0;
        const ssize_t size = ::read(readFd, &word, 1);
        if (size < 0 && errno == EINTR)
            continue;
        return size == 1 && word == lockedWord;
    }
}

void StartReport::send(bool locked)
{
    if (!qEnvironmentVariableIsSet(variableName))
        return;
    bool ok = false;
    const int fd = qEnvironmentVariableIntValue(variableName, &ok);
    qunsetenv(variableName);
    // Only a pipe: the number must not make the daemon write to, or close,
    // whatever else it holds under that number.
    struct stat info;
    if (!ok || fd <= STDERR_FILENO || ::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode))
        return;
    if (locked) {
        // A launcher that is gone (killed, or tired of waiting) must not take
        // the daemon with it: the write's SIGPIPE is held back and dropped.
        sigset_t pipeSignal, previous;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
        if (::write(fd, &lockedWord, 1) < 0 && errno == EPIPE) {
            const timespec none{ 0, 0 };
            ::sigtimedwait(&pipeSignal, nullptr, &none);
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    ::close(fd);
}
