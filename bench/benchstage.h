// bench_peers: one supervisor staged in a folder of its own, with the worker
// it runs and the FIFO on which its workers report.

#ifndef BENCHSTAGE_H
#define BENCHSTAGE_H

#include "benchfigures.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

namespace bench {

// The static worker every supervisor runs, and the bare toolkit program.
extern const QString peerWorker;
extern const QString bareQt;

// A line a worker wrote on the FIFO: 'S' started, 'D' about to end (or 'K',
// killed by the bench), its pid and CLOCK_REALTIME.
struct Event
{
    char kind = 0;
    pid_t pid = 0;
    qint64 timeNs = 0;
};

// Everything one supervisor needs, in a folder of its own; the workers
// report on a FIFO there.
class Stage
{
public:
    ~Stage();

    bool prepare(const Supervisor &supervisor);
    bool setLife(int ms);
    bool next(Event *event, int timeoutMs);

    // An administrative command of the staged watchdog: not the daemon's role.
    double admin(const QString &option);

    QTemporaryDir dir;
    QStringList command;
    // The bare program loading the toolkit libraries the watchdog loads.
    QStringList bareCommand;
    QList<QByteArray> environment, adminEnvironment;
    qint64 fixedStartNs = 0, fixedRestartNs = 0;

private:
    bool stageWatchdog(const Supervisor &supervisor, const QString &service);

    int fifo = -1;
    QByteArray pending;
};

} // namespace bench

#endif // BENCHSTAGE_H
