#ifndef SYSTEMLOG_H
#define SYSTEMLOG_H

#include "datagramsocket.h"

#include <QByteArray>

// The daemon's connection to the system logger: entries in the format of the
// C library's syslog() ("<pri>Mmm dd hh:mm:ss ident[pid]: text", facility
// daemon), sent as datagrams to /dev/log without ever waiting. syslog()
// blocks while the logger's queue is full, and with it the daemon's event
// loop, its restarts and its control replies; here an entry the logger
// cannot take now is dropped and counted, and the count is logged once an
// entry gets through again. A logger that was restarted is reached again.
class SystemLog
{
public:
    explicit SystemLog(const char *socketPath = "/dev/log");
    SystemLog(const SystemLog &) = delete;
    SystemLog &operator=(const SystemLog &) = delete;

    // ident names the writer in the entry; priority is one of LOG_ERR,
    // LOG_WARNING, LOG_INFO, ...
    void write(const QByteArray &ident, int priority, const QByteArray &text);

    // Entries dropped since the last one delivered.
    quint64 dropped() const { return droppedCount; }

private:
    static QByteArray format(const QByteArray &ident, int priority, const QByteArray &text);

    DatagramSocket socket;
    quint64 droppedCount = 0;
};

#endif // SYSTEMLOG_H
