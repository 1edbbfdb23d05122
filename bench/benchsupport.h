#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

// What the benchmarks share: clocks and percentiles, the result rows that
// scripts/bench gathers into its table, readings from /proc, the starting
// and timing of child processes, and a private mount namespace.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>
#include <vector>

namespace Bench {

qint64 realtimeNs();
qint64 monotonicNs();
void sleepMs(int ms);

// Nearest-rank percentile (0..100) of values; 0 for none.
double percentile(std::vector<double> values, double p);
double median(const std::vector<double> &values);

enum class Verdict { Pass, Fail, Info };

// One line of the table: what was measured, the figure, the floor measured
// beside it, their ratio, the goal and whether it is met. key is the number
// that the summary over several runs aggregates (the ratio where there is a
// floor, else the figure itself), in keyUnit.
struct Row
{
    QString what;
    QString measured;
    QString floor;
    QString ratio;
    QString goal;
    Verdict verdict = Verdict::Info;
    double key = 0;
    QString keyUnit = QStringLiteral("x");
};

// Printed on standard output as one tab-separated line starting "RESULT".
void printRow(const Row &row);
// Diagnostic text, on standard error so that it never mixes with the rows.
void note(const QString &text);

QString number(double value, int decimals);
QString ratioText(double ratio);

// Readings of a process from /proc. The CPU time is in clock ticks of the
// whole process; the context switches are summed over all its threads.
struct ProcessActivity
{
    qint64 cpuTicks = -1;
    qint64 voluntarySwitches = 0;
    qint64 involuntarySwitches = 0;
    int threads = 0;
    bool valid() const { return cpuTicks >= 0; }
};
ProcessActivity activityOf(pid_t pid);
// A "Key: <n> kB" line of /proc/<pid>/smaps_rollup, in KiB; -1 when missing.
qint64 smapsRollupKiB(pid_t pid, const char *key);

// Binds this process (and what it starts from now on) to one CPU.
void pinTo(int cpu);

// The environment of this process with the given variables removed and
// the given NAME=value entries added.
QList<QByteArray> environmentWith(const QList<QByteArray> &added,
                                  const QList<QByteArray> &removed = {});

// Starts program with arguments (argument 0 is the program) in folder,
// standard input from /dev/null and standard output and error into
// outputFile (/dev/null when empty). The child is killed when this process
// ends, whatever the reason, so that nothing a benchmark started outlives
// it. Returns the process id, or -1.
pid_t startProcess(const QString &program, const QStringList &arguments,
                   const QList<QByteArray> &environment, const QString &folder = QString(),
                   const QString &outputFile = QString());

// Waits for pid to end, at most timeoutMs; true with its wait status when it
// ended.
bool waitForExit(pid_t pid, int timeoutMs, int *status = nullptr);

// A child process that is killed and reaped when the guard goes, unless it
// was reaped already.
class ChildGuard
{
public:
    ChildGuard() = default;
    explicit ChildGuard(pid_t pid) : child(pid) {}
    ~ChildGuard() { reset(); }
    ChildGuard(const ChildGuard &) = delete;
    ChildGuard &operator=(const ChildGuard &) = delete;

    pid_t pid() const { return child; }
    void reset(pid_t pid = -1);
    // Marks the child as reaped by the caller.
    void release() { child = -1; }

private:
    pid_t child = -1;
};

// Wall time in milliseconds of one whole run of program (posix_spawn to
// waitpid), output discarded; -1 when it could not be started or did not
// exit normally. exitCode receives its exit code.
double timedRunMs(const QString &program, const QStringList &arguments,
                  const QList<QByteArray> &environment, const QString &folder,
                  int *exitCode = nullptr);

// Enters a mount namespace of this process's own in which /var/tmp (control
// sockets) and /etc/xdg (the service registry and system-wide settings) are
// empty tmpfs mounts, so that nothing here meets the real service. Must be
// called before any thread exists.
bool enterPrivateNamespace(QString *problem);
bool isTmpfs(const QString &path);

// Reads a whole small file; empty when it cannot be read.
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &content);

} // namespace Bench

#endif // BENCHSUPPORT_H
