#ifndef STARTREPORT_H
#define STARTREPORT_H

#include <QByteArray>

// The word a launched daemon sends back to its launcher: whether it took the
// service's lock. The launcher hands the daemon the write end of a pipe
// (named by an environment variable) and waits for one byte; a daemon that
// was refused, or died, closes the pipe without a word. So the launcher
// answers "could not start" whenever its daemon is not the one that runs,
// even when two launches race.
class StartReport
{
public:
    StartReport() = default;
    ~StartReport();
    StartReport(const StartReport &) = delete;
    StartReport &operator=(const StartReport &) = delete;

    // Launcher: makes the pipe and names its write end in the environment
    // the daemon inherits. False when no pipe can be made.
    bool open();
    // Launcher, after the daemon was started: closes its own write end and
    // waits, at most timeoutMs, for the daemon's word.
    bool waitForLock(int timeoutMs);

    // Daemon: sends the word (only when locked), closes the pipe and removes
    // the variable, so that no worker inherits either.
    static void send(bool locked);

private:
    void closeWriteEnd();

    int readFd = -1;
    int writeFd = -1;
};

#endif // STARTREPORT_H
