// bench_peers: the processes it starts and times, and what it reads of them
// in /proc. Everything here is called from the bench's one thread.

#ifndef BENCHPROCESS_H
#define BENCHPROCESS_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <ctime>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <utility>
#include <vector>

namespace bench {

constexpr qint64 msNs = 1000000;

// What went wrong last, for the bench's final word.
extern QString problem;

// Keeps text as the problem; always false.
bool fail(const QString &text);

qint64 nowNs(clockid_t clock = CLOCK_MONOTONIC);
void sleepMs(int ms);

// Nearest rank; -1 for none.
double percentile(std::vector<double> values, double p);

// Files in /proc report no size: read until the end.
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &content);

// The number after "key:" in a /proc file of "key: value" lines; 0 when missing.
qint64 valueOf(const QByteArray &text, const char *key);

// CPU ticks (utime + stime) of the process and context switches of all its threads.
std::pair<qint64, qint64> ticksAndSwitches(pid_t pid);

// CPU time of every thread, in nanoseconds.
qint64 runtimeNs(pid_t pid);

void pinTo(int cpu);

// This process's environment without the named variables, with added.
QList<QByteArray> environmentWith(const QList<QByteArray> &added, const QList<QByteArray> &removed);

// Starts program on CPU 1 in folder, input from /dev/null, output and errors
// into output. It is killed when this process ends, whatever the reason.
pid_t startProcess(const QStringList &command, QList<QByteArray> environment, const QString &folder,
                   const QString &output = QStringLiteral("/dev/null"));

bool waitForExit(pid_t pid, int timeoutMs);

// A child that is killed and reaped when this goes, unless reaped already.
struct Child
{
    pid_t pid = -1;
    ~Child() { reset(); }
    void reset(pid_t next = -1);
};

// Wall time of one whole run, fork to reaped, in ms; -1 unless it exits with 0.
double timedRunMs(const QStringList &command, const QList<QByteArray> &environment, const QString &folder);

// From the worker's last word (or its kill) to the moment its supervisor has
// reaped it: kill(pid, 0) succeeds on a zombie. Spins 5 ms, then looks every 100 us.
qint64 reapedAtNs(pid_t pid);

// The least a control client does: connect, "alive", read "true", close.
bool roundTrip(const sockaddr_un &address, socklen_t length);

} // namespace bench

#endif // BENCHPROCESS_H
