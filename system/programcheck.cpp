#include "programcheck.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The kernel reads this much of a file to recognise it, and follows at most
// this many interpreters in a row.
constexpr int headSize = 256;
constexpr int maxInterpreterDepth = 4;

int readHead(const QByteArray &path, char *head, int *size)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno;
    ssize_t n;
    do {
        n = ::read(fd, head, headSize);
    } while (n < 0 && errno == EINTR);
    const int error = n < 0 ? errno : 0;
    ::close(fd);
    *size = n < 0 ? 0 : int(n);
    return error;
}

// The interpreter of a "#!" line: the first word after it.
QByteArray interpreterOf(const char *head, int size)
{
    int at = 2;
    while (at < size && (head[at] == ' ' || head[at] == '\t'))
        ++at;
    const int begin = at;
    while (at < size && head[at] != ' ' && head[at] != '\t' && head[at] != '\n' && head[at] != '\0')
        ++at;
    return QByteArray(head + begin, at - begin);
}

int execError(const QByteArray &path, int depth)
{
    struct stat info;
    if (::stat(path.constData(), &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode))
        return EACCES;
    // Also refuses a file on a file system mounted without execution.
    if (::access(path.constData(), X_OK) != 0)
        return errno;
    char head[headSize];
    int size = 0;
    if (const int error = readHead(path, head, &size))
        return error;
    if (size >= 4 && std::memcmp(head, "\177ELF", 4) == 0)
        return 0;
    if (size >= 2 && head[0] == '#' && head[1] == '!') {
        if (depth >= maxInterpreterDepth)
            return ELOOP;
        const QByteArray interpreter = interpreterOf(head, size);
        return interpreter.isEmpty() ? ENOEXEC : execError(interpreter, depth + 1);
    }
    return ENOEXEC;
}

} // namespace

int programExecError(const QString &program)
{
    return execError(QFile::encodeName(program), 0);
}

bool isResourceShortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == EAGAIN;
}
