// bench_peers: the tables it prints, in Markdown.

#ifndef BENCHREPORT_H
#define BENCHREPORT_H

#include "benchfigures.h"

#include <QList>

#include <vector>

namespace bench {

// results[supervisor][repetition]. The best peer of a repetition is the
// lowest of the peers; a floored figure is compared with its floor instead,
// the watchdog's own or the bare toolkit program's of the same repetition.
// True when every goal of the watchdog at candidate is met.
bool printTable(const QList<Supervisor> &supervisors, const QList<QList<Run>> &results, int candidate);

// Median and maximum of every supervisor's start-ups, and the watchdog's
// ratios to the bare toolkit program (the goal) and to the best peer.
bool printStartUps(const QList<Supervisor> &supervisors, const QList<std::vector<double>> &startUps, int toolkit);

// The respawn gaps of all repetitions together: with a few samples per
// repetition, only the pooled ones say anything about the tail.
void printPooledGaps(const QList<Supervisor> &supervisors, const QList<QList<Run>> &results);

void printEverySupervisor(const QList<Supervisor> &supervisors, const QList<QList<Run>> &results);

} // namespace bench

#endif // BENCHREPORT_H
