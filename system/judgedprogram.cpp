#include "judgedprogram.h"

#include "pathtrust.h"
#include "printable.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstddef>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Every exec of the calling process fails with error from now on. The child
// the toolkit forked goes on to exec the program by its path and reports
// the error of that exec as the start's failure: this way the failure is
// reported with the error of the exec that was made, and the path is never
// executed. Without the filter (a kernel without seccomp) the child ends at
// once: a start that ends with 127 rather than a failed one, but still
// nothing executed by the path. Async-signal-safe: the filter lives on the
// child's stack. The child runs only the toolkit's own exec afterwards, so
// the system call numbers of the build's architecture are all there is to
// match.
// The toolkit may run a child's set-up in a clone that shares this
// process's memory and stack until the exec. What runs there must leave no
// mark on the stack's shadow, as the address sanitizer's red zones would: the
// parent would later find its own stack poisoned.
#define CHILD_SIDE __attribute__((no_sanitize_address))

CHILD_SIDE void failEveryExec(int error)
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execve, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execveat, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (unsigned(error) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = { sizeof filter / sizeof filter[0], filter };
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
        || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        ::_exit(127);
    errno = error;
}

} // namespace

bool JudgedProgram::open(const QString &program, QString *reason, bool *distrusted)
{
    close();
    *distrusted = false;
    if (!PathTrust::isEnforced())
        return true;
    const int file = PathTrust::openTrustedFile(program, &folder, reason, distrusted);
    if (file < 0)
        return false;
    struct stat status {};
    char start[2] = {};
    const bool examined = ::fstat(file, &status) == 0;
    script = ::pread(file, start, sizeof start, 0) == 2 && start[0] == '#' && start[1] == '!';
    ::close(file);
    if (!examined) {
        *reason = printable(program) + QStringLiteral(" cannot be examined");
        close();
        return false;
    }
    path = program;
    name = QFile::encodeName(QFileInfo(program).fileName());
    device = status.st_dev;
    inode = status.st_ino;
    return true;
}

void JudgedProgram::close()
{
    if (folder >= 0)
        ::close(folder);
    folder = -1;
    strings.clear();
    argv.clear();
    envp.clear();
}

void JudgedProgram::prepare(const QStringList &arguments, const QProcessEnvironment &environment)
{
    strings.clear();
    argv.clear();
    envp.clear();
    if (folder < 0)
        return;
    // Encoded as the toolkit encodes them for its own exec.
    const QStringList variables = environment.inheritsFromParent() ? QStringList() : environment.toStringList();
    strings.reserve(size_t(1 + arguments.size() + variables.size()));
    strings.push_back(QFile::encodeName(path));
    for (const QString &argument : arguments)
        strings.push_back(argument.toLocal8Bit());
    for (const QString &variable : variables)
        strings.push_back(variable.toLocal8Bit());
    const size_t argc = size_t(1 + arguments.size());
    for (size_t i = 0; i < strings.size(); ++i)
        (i < argc ? argv : envp).push_back(strings[i].data());
    argv.push_back(nullptr);
    if (!environment.inheritsFromParent())
        envp.push_back(nullptr);
}

CHILD_SIDE void JudgedProgram::execInChild() const
{
    if (folder >= 0)
        failEveryExec(argv.empty() ? EINVAL : execJudged());
}

CHILD_SIDE int JudgedProgram::execJudged() const
{
    struct stat now {};
    if (::fstatat(folder, name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (now.st_dev != device || now.st_ino != inode)
        return ESTALE; // another file bears the name since it was judged
    // A script's interpreter is handed "/dev/fd/<folder>/<name>" to open:
    // the folder must stay open across the exec.
    if (script && ::fcntl(folder, F_SETFD, 0) != 0)
        return errno;
    ::execveat(folder, name.constData(), argv.data(), envp.empty() ? environ : envp.data(),
               AT_SYMLINK_NOFOLLOW);
    return errno;
}
