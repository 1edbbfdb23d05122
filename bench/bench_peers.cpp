// bench_peers [--reps n] [--respawns n] [--idle s] [--starts n] [watchdog[=label]...]:
// the watchdog beside runsv, supervise, s6-supervise, supervisord and the
// bare toolkit program, all running the same static worker. First the
// start-ups, every supervisor started n times in a shuffled order per round;
// then the repetitions, interleaved. Each figure is the watchdog's ratio to
// the best peer of the same repetition or, for what no peer does (control
// round trip, -v, -t) and what the toolkit sets (start-up, noticing a kill),
// to its floor measured beside it in the same run. How each is measured:
// bench/README.md.

#include "benchfigures.h"
#include "benchmeasure.h"
#include "benchprocess.h"
#include "benchreport.h"
#include "benchstage.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace bench;

namespace {

// /var/tmp (control sockets), /run (the service's lock) and /etc/xdg
// (registry and system settings) become empty tmpfs mounts of this
// process's own: nothing here meets the real service. Before any thread exists.
bool enterPrivateNamespace()
{
    struct stat info;
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
        && ::mount("tmpfs", "/var/tmp", "tmpfs", 0, "mode=1777") == 0
        && ::mount("tmpfs", "/run", "tmpfs", 0, "mode=755") == 0 && ::stat("/etc/xdg", &info) == 0
        && S_ISDIR(info.st_mode) && ::mount("tmpfs", "/etc/xdg", "tmpfs", 0, "mode=755") == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (!enterPrivateNamespace()) {
        std::fprintf(stderr, "cannot make a private mount namespace: %s\n", std::strerror(errno));
        return 2;
    }
    QCoreApplication app(argc, argv);
    pinTo(0);
    // Ten respawns in each of three repetitions: thirty gaps pooled.
    int reps = 3, respawns = 10, idleSeconds = 5, starts = 12;
    QList<Supervisor> supervisors;
    QStringList arguments = app.arguments().mid(1);
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        int *option = argument == QLatin1String("--reps") ? &reps : argument == QLatin1String("--respawns") ? &respawns
                    : argument == QLatin1String("--idle") ? &idleSeconds : argument == QLatin1String("--starts") ? &starts : nullptr;
        if (option)
            *option = arguments.isEmpty() ? 0 : arguments.takeFirst().toInt();
        else
            supervisors.append({ argument.section(QLatin1Char('='), 1).isEmpty() ? QStringLiteral("watchdog") : argument.section(QLatin1Char('='), 1),
                                 argument.section(QLatin1Char('='), 0, 0), Watchdog });
    }
    if (supervisors.isEmpty())
        supervisors.append({ QStringLiteral("watchdog"), QStringLiteral(WATCHDOG_EXECUTABLE), Watchdog });
    const int candidates = int(supervisors.size());
    for (const char *peer : { "runsv", "supervise", "s6-supervise", "supervisord" }) {
        const QString path = QStringLiteral("/usr/bin/") + QLatin1String(peer);
        if (QFile::exists(path))
            supervisors.append({ QLatin1String(peer), path, Peer });
        else
            std::fprintf(stderr, "%s is missing: scripts/bench installs it\n", qPrintable(path));
    }
    const int toolkit = int(supervisors.size());
    supervisors.append({ QStringLiteral("bare toolkit program"), bareQt, BareToolkit });

    QList<std::vector<double>> startUps(supervisors.size());
    if (!measureStartUps(supervisors, starts, &startUps)) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return 2;
    }

    QList<QList<Run>> results(supervisors.size());
    for (int r = 0; r < reps; ++r) {
        for (int k = 0; k < supervisors.size(); ++k) {
            const int s = (k + r) % int(supervisors.size());
            std::fprintf(stderr, "repetition %d: %s\n", r + 1, qPrintable(supervisors[s].label));
            Run run;
            // Once more: a shared machine may hold a start past the time-out once.
            if (!runOnce(supervisors[s], respawns, idleSeconds, &run) && !runOnce(supervisors[s], respawns, idleSeconds, &run)) {
                std::fprintf(stderr, "%s\n", qPrintable(problem));
                return 2;
            }
            results[s].append(run);
        }
    }
    bool met = printStartUps(supervisors, startUps, toolkit);
    for (int c = 0; c < candidates; ++c)
        met = printTable(supervisors, results, c) && met;
    printPooledGaps(supervisors, results);
    printEverySupervisor(supervisors, results);
    for (auto it = splits.cbegin(); it != splits.cend(); ++it)
        std::printf("\nPrivate_Dirty of %s by mapping (KiB):%s\n", qPrintable(it.key()), qPrintable(it.value()));
    return met ? 0 : 1;
}
