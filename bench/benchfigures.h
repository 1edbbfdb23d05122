// bench_peers: the figures it takes, what each is compared with, and the
// supervisors it compares.

#ifndef BENCHFIGURES_H
#define BENCHFIGURES_H

#include <QString>

#include <vector>

namespace bench {

// The maxima are named so: with a sample or two per figure and repetition,
// a "p99" would only be the largest anyway.
enum Figure { GapP50, GapMax, NoticeExit, NoticeExitMax, NoticeKill, NoticeKillMax, CpuPerRespawn,
              IdleTicks, IdleSwitches, Rss, PrivateDirty, ControlP50, ControlP99, Version, Terminate, FigureCount };

// What a figure is compared with: the best peer of the repetition, a floor
// the watchdog's own run measured beside it, or the bare toolkit program
// supervising the same worker in the same repetition.
enum Against { Peers, OwnFloor, Toolkit };

struct FigureInfo
{
    const char *what;
    const char *unit;
    double goal; // largest ratio that meets it; 0: must be zero; <0: none
    Against against;
};

// What each figure is, its unit and its goal, in the order of Figure.
extern const FigureInfo figures[FigureCount];

struct Run
{
    std::vector<double> value = std::vector<double>(FigureCount, -1);
    std::vector<double> floor = std::vector<double>(FigureCount, -1);
    std::vector<double> gaps;
};

enum Kind { Watchdog, Peer, BareToolkit };

struct Supervisor
{
    QString label;
    QString program; // for the watchdog: the executable to stage
    Kind kind = Peer;
};

} // namespace bench

#endif // BENCHFIGURES_H
