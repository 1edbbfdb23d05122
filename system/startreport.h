#ifndef STARTREPORT_H
#define STARTREPORT_H

#include <QByteArray>

// The word a launched daemon sends back to its launcher: that it serves (its
// service started and its control socket listens), that it runs but cannot
// make its socket, or that it gave up, and why. The launcher hands the daemon
// the write end of a pipe (named by an environment variable) and waits for
// the word; a daemon that dies closes the pipe without one. So the launcher
// reports success only for a daemon that serves, even when two launches race
// or another process holds the socket's path.
class StartReport
{
public:
    enum class Word : char { None = 0, Serving = 'S', Unreachable = 'U', GaveUp = 'G' };
    struct Heard
    {
        Word word = Word::None; // None: nothing came in time, or the pipe closed first
        bool ended = false;     // the pipe closed: the daemon has nothing more to say
        QByteArray detail;      // the daemon's own message
    };

    StartReport() = default;
    ~StartReport();
    StartReport(const StartReport &) = delete;
    StartReport &operator=(const StartReport &) = delete;

    // Launcher: makes the pipe and names its write end in the environment
    // the daemon inherits. False when no pipe can be made.
    bool open();
    // Launcher, after the daemon was started: closes its own write end and
    // waits, at most timeoutMs, for the daemon's word.
    Heard waitForWord(int timeoutMs);

    // Daemon: takes the pipe its launcher named, if any, and removes the
    // variable; no program the daemon starts inherits either.
    void adopt();
    // Daemon: sends the word, once, and closes the pipe. Nothing happens
    // without a launcher.
    void send(Word word, const QByteArray &detail = QByteArray());

private:
    void closeWriteEnd();

    int readFd = -1;
    int writeFd = -1;
};

#endif // STARTREPORT_H
