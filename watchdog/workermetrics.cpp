// The watchdog's state for Prometheus, in the text exposition format that the
// node exporter's textfile collector reads: one family per metric, with its
// HELP and TYPE, times in seconds since the epoch, one series per worker
// labelled by its role. A family without a value yet (no run has ended) is
// left out rather than given a made-up one.

#include "statuspublisher.h"

#include "applicationversion.h"

#include <QList>
#include <QPair>

namespace {

using Process = ServiceStatus::Process;

struct Family
{
    const char *name;
    const char *type;
    const char *help;
    QList<QPair<QString, QString>> samples; // labels, value
};

QString seconds(const QDateTime &at)
{
    return QString::number(double(at.toMSecsSinceEpoch()) / 1000.0, 'f', 3);
}

QString roleLabel(const Process &process)
{
    // Names are letters and digits (see ServiceStatus): nothing to escape.
    return QStringLiteral("{role=\"%1\"}").arg(process.name);
}

int exitCode(const Process &process)
{
    return process.lastEnd == ServiceStatus::EndKind::Exited ? process.lastEndValue : -1;
}

int exitSignal(const Process &process)
{
    return process.lastEnd == ServiceStatus::EndKind::Signalled ? process.lastEndValue : 0;
}

// The families in the order of workerMetrics()'s list.
enum FamilyIndex {
    WatchdogStart, Up, StartTime, Restarts, ExitCode, ExitSignal, ExitTime, Rollbacks, RollbackTime,
    RestartPending, Memory, MemoryPeak, CpuTime
};

QByteArray render(const QList<Family> &families)
{
    QByteArray text;
    for (const Family &family : families) {
        if (family.samples.isEmpty())
            continue;
        text += QByteArray("# HELP ") + family.name + ' ' + family.help + '\n';
        text += QByteArray("# TYPE ") + family.name + ' ' + family.type + '\n';
        for (const auto &[labels, value] : family.samples)
            text += family.name + labels.toUtf8() + ' ' + value.toUtf8() + '\n';
    }
    return text;
}

// The watchdog's own version, as --version and the package give it, in the
// manner of Prometheus's *_info series.
QByteArray versionInfo()
{
    QByteArray version(mrv::ApplicationVersion::text_);
    version.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return QByteArray("# HELP solvane_render_worker_watchdog_info Version of the render worker watchdog.\n"
                      "# TYPE solvane_render_worker_watchdog_info gauge\n"
                      "solvane_render_worker_watchdog_info{version=\"")
            + version + "\"} 1\n";
}

} // namespace

QByteArray workerMetrics(const ServiceStatus &status)
{
    QList<Family> families{
        { "solvane_render_worker_watchdog_start_time_seconds", "gauge",
          "Start time of the render worker watchdog since the Unix epoch in seconds.", {} },
        { "solvane_render_worker_up", "gauge", "Whether the worker runs (1) or not (0).", {} },
        { "solvane_render_worker_start_time_seconds", "gauge",
          "Start time of the worker's current or last run since the Unix epoch in seconds.", {} },
        { "solvane_render_worker_restarts_total", "counter", "Restarts of the worker since the watchdog started.", {} },
        { "solvane_render_worker_last_exit_code", "gauge",
          "Exit code of the worker's last run; -1 when it was killed by a signal or did not start.", {} },
        { "solvane_render_worker_last_exit_signal", "gauge",
          "Signal that killed the worker's last run; 0 when it exited or did not start.", {} },
        { "solvane_render_worker_last_exit_time_seconds", "gauge",
          "End time of the worker's last run since the Unix epoch in seconds.", {} },
        { "solvane_render_worker_rollbacks_total", "counter",
          "Version overrides removed after a worker failed, since the watchdog started.", {} },
        { "solvane_render_worker_last_rollback_time_seconds", "gauge",
          "Time of the last rollback since the Unix epoch in seconds.", {} },
        { "solvane_render_worker_restart_pending", "gauge",
          "Whether another watchdog version is installed than runs (1), taking over at the next start, or not (0).", {} },
        { "solvane_render_worker_memory_bytes", "gauge",
          "Memory the running worker and all it started use, in bytes (its cgroup's).", {} },
        { "solvane_render_worker_memory_peak_bytes", "gauge",
          "The most memory the worker's current run and all it started have used, in bytes.", {} },
        { "solvane_render_worker_cpu_seconds_total", "counter",
          "CPU time of the worker's current run and all it started, in seconds.", {} },
    };
    const auto add = [&families](FamilyIndex family, const QString &labels, const QString &value) {
        families[family].samples.append({ labels, value });
    };
    if (status.daemonStartedAt.isValid())
        add(WatchdogStart, QString(), seconds(status.daemonStartedAt));
    for (const Process &process : status.processes) {
        const QString role = roleLabel(process);
        add(Up, role, process.state == ServiceStatus::State::Up ? QStringLiteral("1") : QStringLiteral("0"));
        if (process.startedAt.isValid())
            add(StartTime, role, seconds(process.startedAt));
        add(Restarts, role, QString::number(process.restarts));
        if (process.lastEnd != ServiceStatus::EndKind::None) {
            add(ExitCode, role, QString::number(exitCode(process)));
            add(ExitSignal, role, QString::number(exitSignal(process)));
            add(ExitTime, role, seconds(process.lastEndAt));
        }
        if (process.memoryBytes >= 0)
            add(Memory, role, QString::number(process.memoryBytes));
        if (process.memoryPeakBytes >= 0)
            add(MemoryPeak, role, QString::number(process.memoryPeakBytes));
        if (process.cpuMicroseconds >= 0)
            add(CpuTime, role, QString::number(double(process.cpuMicroseconds) / 1e6, 'f', 6));
    }
    add(Rollbacks, QString(), QString::number(status.rollbacks));
    if (status.lastRollbackAt.isValid())
        add(RollbackTime, QString(), seconds(status.lastRollbackAt));
    // Versions are letters, digits and . + ~ : - (see the service): nothing
    // to escape. Without a pending restart the installed one is the running one.
    if (!status.version.isEmpty()) {
        const bool pending = !status.installedVersion.isEmpty();
        add(RestartPending,
            QStringLiteral("{running=\"%1\",installed=\"%2\"}")
                    .arg(status.version, pending ? status.installedVersion : status.version),
            pending ? QStringLiteral("1") : QStringLiteral("0"));
    }
    return versionInfo() + render(families);
}
