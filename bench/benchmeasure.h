// bench_peers: the measurements, each of a supervisor staged for it.

#ifndef BENCHMEASURE_H
#define BENCHMEASURE_H

#include "benchfigures.h"

#include <QList>
#include <QMap>
#include <QString>

#include <vector>

namespace bench {

// Private_Dirty by mapping, per watchdog and for the bare toolkit program.
extern QMap<QString, QString> splits;

// Start-ups: every supervisor started `starts` times from a stage of its own
// made up front (the watchdog's -u and -i included), one start each per
// round in a shuffled order that never starts the same one twice in a row:
// no supervisor has a run of its own right before a measured start, and each
// follows each of the others about equally often.
bool measureStartUps(const QList<Supervisor> &supervisors, int starts, QList<std::vector<double>> *startUps);

// One repetition of a supervisor: memory, idle, the watchdog's control round
// trips and -v, the respawns, and the watchdog's -t, which ends the run.
bool runOnce(const Supervisor &supervisor, int respawns, int idleSeconds, Run *run);

} // namespace bench

#endif // BENCHMEASURE_H
