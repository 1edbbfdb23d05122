#ifndef STATUSPUBLISHER_H
#define STATUSPUBLISHER_H

#include "servicestatus.h"

#include <QString>

#include <functional>
#include <memory>

class AtomicFile;
class QTimer;

// Names a folder for the fleet's monitoring: the watchdog then keeps its
// state there in Prometheus's text format, for the node exporter's textfile
// collector.
inline constexpr char metricsFolderVariable[] = "RENDER_WORKER_WATCHDOG_METRICS_DIR";
inline constexpr char metricsFileName[] = "solvane_render_worker.prom";
// The metrics file is rewritten this often while nothing changes, so that
// its age (the node exporter's node_textfile_mtime_seconds) tells a live
// watchdog from a dead one: alerts call it stale after three minutes.
inline constexpr int metricsRefreshMs = 10000;

// The watchdog's state in Prometheus's text exposition format.
QByteArray workerMetrics(const ServiceStatus &status);

// Writes the watchdog's state, on every change, to the status file and, when
// a metrics folder is named, to the metrics file there, which it also
// rewrites every metricsRefreshMs. A file that cannot be written costs
// nothing but itself: its failure is reported once (again only when the
// reason changes or after a write got through), and the next change or
// refresh tries again.
class StatusPublisher
{
public:
    using Reporter = std::function<void(const QString &)>;

    StatusPublisher(const QString &serviceName, const QString &statusPath, const QString &metricsFolder,
                    Reporter reporter);
    ~StatusPublisher();
    StatusPublisher(const StatusPublisher &) = delete;
    StatusPublisher &operator=(const StatusPublisher &) = delete;

    void publish(const ServiceStatus &status);
    // Rewrites the metrics file with current() every metricsRefreshMs, from
    // a timer of the event loop; without a metrics folder nothing.
    void keepMetricsFresh(std::function<ServiceStatus()> current);

private:
    struct Target;
    void write(Target &target, const QByteArray &content);

    const QString serviceName;
    const Reporter reporter;
    std::unique_ptr<Target> statusFile;
    std::unique_ptr<Target> metricsFile; // none without a metrics folder
    std::unique_ptr<QTimer> refresh;
};

#endif // STATUSPUBLISHER_H
