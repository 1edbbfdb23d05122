#include "startreport.h"

#include "deadlinepoll.h"

#include <QDeadlineTimer>
#include <QtGlobal>

#include <cerrno>
#include <climits>
#include <csignal>
#include <pthread.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char variableName[] = "QTSERVICE_START_REPORT";

// A word and its message in one write that the pipe delivers whole.
constexpr qsizetype maxReportSize = PIPE_BUF;

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

StartReport::Heard StartReport::waitForWord(int timeoutMs)
{
    closeWriteEnd();
    qunsetenv(variableName);
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray said;
    Heard heard;
    while (!heard.ended && said.size() < maxReportSize && pollUntil(readFd, POLLIN, deadline)) {
        char buffer[maxReportSize];
        const ssize_t size = ::read(readFd, buffer, sizeof buffer);
        if (size < 0 && errno == EINTR)
            continue;
        heard.ended = size <= 0;
        said.append(buffer, qMax<ssize_t>(size, 0));
    }
    if (!said.isEmpty() && QByteArrayView("SUG").contains(said.at(0))) {
        heard.word = Word(said.at(0));
        heard.detail = said.mid(1);
    }
    return heard;
}

void StartReport::adopt()
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
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    writeFd = fd;
}

void StartReport::send(Word word, const QByteArray &detail)
{
    if (writeFd < 0)
        return;
    const QByteArray said = (char(word) + detail).left(maxReportSize);
    // A launcher that is gone (killed, or tired of waiting) must not take
    // the daemon with it: the write's SIGPIPE is held back and dropped.
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    if (::write(writeFd, said.constData(), size_t(said.size())) < 0 && errno == EPIPE) {
        const timespec none{ 0, 0 };
        ::sigtimedwait(&pipeSignal, nullptr, &none);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    closeWriteEnd();
}
