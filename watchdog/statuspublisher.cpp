#include "statuspublisher.h"

#include "atomicfile.h"

#include <QFileInfo>
#include <QTimer>

struct StatusPublisher::Target
{
    Target(const QString &folder, const QString &name, const QString &what) : file(folder, name), what(what) {}

    AtomicFile file;
    const QString what;
    QString reported; // the failure told last; empty once a write got through
};

StatusPublisher::StatusPublisher(const QString &serviceName, const QString &statusPath,
                                 const QString &metricsFolder, Reporter reporter)
    : serviceName(serviceName), reporter(std::move(reporter))
{
    const QFileInfo status(statusPath);
    statusFile = std::make_unique<Target>(status.path(), status.fileName(), QStringLiteral("status file"));
    if (!metricsFolder.isEmpty()) {
        metricsFile = std::make_unique<Target>(metricsFolder, QLatin1String(metricsFileName),
                                               QStringLiteral("metrics file"));
    }
}

StatusPublisher::~StatusPublisher() = default;

void StatusPublisher::publish(const ServiceStatus &status)
{
    write(*statusFile, status.toText(serviceName));
    if (metricsFile)
        write(*metricsFile, workerMetrics(status));
}

void StatusPublisher::keepMetricsFresh(std::function<ServiceStatus()> current)
{
    if (!metricsFile || refresh)
        return;
    refresh = std::make_unique<QTimer>();
    refresh->setInterval(metricsRefreshMs);
    QObject::connect(refresh.get(), &QTimer::timeout, refresh.get(),
                     [this, current = std::move(current)] { write(*metricsFile, workerMetrics(current())); });
    refresh->start();
}

void StatusPublisher::write(Target &target, const QByteArray &content)
{
    if (target.file.write(content)) {
        target.reported.clear();
        return;
    }
    if (target.file.error() == target.reported)
        return;
    target.reported = target.file.error();
    reporter(QStringLiteral("The %1 is not written (%2); it is tried again at the next change.")
                     .arg(target.what, target.reported));
}
