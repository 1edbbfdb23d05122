#ifndef JUDGEDPROGRAM_H
#define JUDGEDPROGRAM_H

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <vector>

#include <sys/types.h>

// A program that a root process executes on the word of a file others can
// write, executed as it was judged: the same file, not whatever bears its
// name by then.
//
// open() judges the program as PathTrust::isTrustedFile() does, on
// descriptors: its folder is held open, and the file is judged as opened in
// that folder. In the child of a start, between fork and exec, execInChild()
// executes the name in the held folder only while it still leads to the
// judged file, never through the path again. What is left between that look
// and the exec is a rename inside the held folder, or a write to the file:
// both need a write right that the judgement granted to root alone.
class JudgedProgram
{
public:
    JudgedProgram() = default;
    ~JudgedProgram() { close(); }
    Q_DISABLE_COPY_MOVE(JudgedProgram)

    // Judges and holds path; false with the reason (empty for a program that
    // is missing) and *distrusted telling a refusal from a program that could
    // not be examined. Running as another user than root, nothing is held:
    // the program is executed by its path.
    bool open(const QString &path, QString *reason, bool *distrusted);
    void close();

    // The start that follows (one fork) is given these arguments and
    // environment; made here, since the child may not allocate.
    void prepare(const QStringList &arguments, const QProcessEnvironment &environment);

    // Only in the child between fork and exec (async-signal-safe). Does
    // nothing when nothing is held. Otherwise it returns only on failure,
    // having made every later exec of the child fail with that error, so that
    // the exec the toolkit makes next fails alike and reports it as its own
    // failed start: nothing is ever executed by the path.
    void execInChild() const;

private:
    // Executes the judged file; the error when that could not be done.
    int execJudged() const;

    QString path;
    QByteArray name;
    int folder = -1;
    dev_t device = 0;
    ino_t inode = 0;
    bool script = false; // "#!": its interpreter opens it through the folder
    std::vector<QByteArray> strings;
    std::vector<char *> argv;
    std::vector<char *> envp; // empty: the process's own environment
};

#endif // JUDGEDPROGRAM_H
