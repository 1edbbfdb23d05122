#include "benchfigures.h"

namespace bench {

const FigureInfo figures[FigureCount] = {
    { "Respawn gap beyond the fixed delay, p50", "ms", 1.0, Peers },
    { "Respawn gap beyond the fixed delay, max", "ms", -1, Peers },
    { "Noticing an exit: last word to reaped, p50", "ms", 1.0, Peers },
    { "Noticing an exit, max", "ms", -1, Peers },
    // What QProcess and the event dispatcher take is accepted here: the floor
    // is the bare toolkit program noticing the same kill.
    { "Noticing a kill: SIGKILL to reaped, p50 (floor: bare toolkit program)", "ms", 1.1, Toolkit },
    { "Noticing a kill, max (floor: the same)", "ms", -1, Toolkit },
    { "CPU time per respawn", "ms", 1.2, Peers },
    // Without NOTIFY_SOCKET here; installed, the unit's WatchdogSec=150 wakes it every 75 s.
    { "Idle CPU ticks over the idle time (no systemd ping; installed: one every 75 s)", "ticks", 0, Peers },
    { "Idle context switches (the same)", "", 0, Peers },
    { "Resident (VmRSS), one sleeping worker", "KiB", -1, Peers },
    { "Private_Dirty", "KiB", -1, Peers },
    { "Control round trip p50, one raw client (floor: echo server)", "us", 3.0, OwnFloor },
    { "Control round trip p99", "us", -1, OwnFloor },
    { "-v wall time (floor: bare toolkit program, QtCore and QtNetwork)", "ms", 1.1, OwnFloor },
    // Both stop a supervisor with its worker and wait for its end.
    { "-t wall time, one worker running (floor: bare toolkit program stopping a bare supervisor and its worker)", "ms", 1.1, OwnFloor },
};

} // namespace bench
