#include "benchstage.h"

#include "benchprocess.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

const QString peerWorker = QStringLiteral(PEER_WORKER_EXECUTABLE);
const QString bareQt = QStringLiteral(BARE_QT_EXECUTABLE);

Stage::~Stage()
{
    if (fifo >= 0)
        ::close(fifo);
}

bool Stage::prepare(const Supervisor &supervisor)
{
    const QByteArray fifoPath = QFile::encodeName(dir.filePath(QStringLiteral("fifo")));
    if (!dir.isValid() || ::mkfifo(fifoPath.constData(), 0600) != 0 || !setLife(0)
        || (fifo = ::open(fifoPath.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0)
        return fail(QStringLiteral("cannot prepare %1").arg(dir.path()));
    const QString service = dir.filePath(QStringLiteral("service"));
    QDir().mkpath(service);
    const QByteArray folder = QFile::encodeName(dir.path());
    environment = environmentWith({ "BENCH_FIFO=" + fifoPath, "BENCH_LIFE=" + folder + "/life" },
                                  { "QTSERVICE_RUN", "VERBOSE", "BENCH_FIFO", "BENCH_LIFE" });
    command = QStringList{ supervisor.program, service };
    // s6-supervise waits a second after a death, supervisord notices one
    // at the next tick of its one-second loop: their own fixed delays.
    fixedRestartNs = supervisor.kind == BareToolkit || supervisor.label == QLatin1String("runsv")
            || supervisor.label == QLatin1String("supervise") ? 0 : 1000 * msNs;
    if (supervisor.kind == Watchdog)
        return stageWatchdog(supervisor, service);
    if (!QFile::copy(peerWorker, service + QStringLiteral("/run")))
        return fail(QStringLiteral("cannot stage the worker"));
    if (supervisor.kind == BareToolkit)
        command = QStringList{ supervisor.program, QStringLiteral("--supervise"), service + QStringLiteral("/run") };
    if (supervisor.label != QLatin1String("supervisord"))
        return true;
    command = QStringList{ supervisor.program, QStringLiteral("-n"), QStringLiteral("-c"), dir.filePath(QStringLiteral("supervisord.conf")) };
    return writeFile(command.last(), "[supervisord]\nnodaemon=true\nuser=root\nlogfile=" + folder + "/supervisord.log\npidfile=" + folder
                                         + "/supervisord.pid\nchildlogdir=" + folder + "\n[program:worker]\ncommand=" + folder
                                         + "/service/run\nautorestart=true\nstartsecs=0\nstartretries=1000000\nstdout_logfile=NONE\nstderr_logfile=NONE\n")
        || fail(QStringLiteral("cannot write supervisord.conf"));
}

bool Stage::setLife(int ms)
{
    return writeFile(dir.filePath(QStringLiteral("life")), QByteArray::number(ms));
}

bool Stage::next(Event *event, int timeoutMs)
{
    const qint64 deadline = nowNs() + timeoutMs * msNs;
    qsizetype end;
    while ((end = pending.indexOf('\n')) < 0) {
        pollfd watched{ fifo, POLLIN, 0 };
        const qint64 left = (deadline - nowNs()) / msNs;
        char buffer[512];
        const ssize_t size = left > 0 && ::poll(&watched, 1, int(left)) > 0 ? ::read(fifo, buffer, sizeof buffer) : -1;
        if (left <= 0)
            return false;
        if (size > 0)
            pending.append(buffer, size);
    }
    const QList<QByteArray> fields = pending.left(end).split(' ');
    pending.remove(0, end + 1);
    *event = { fields.value(0).isEmpty() ? char(0) : fields.value(0).at(0), pid_t(fields.value(1).toInt()), fields.value(2).toLongLong() };
    return true;
}

double Stage::admin(const QString &option)
{
    return timedRunMs({ command.first(), option }, adminEnvironment, dir.path());
}

// Installed beside its worker with a resource folder of its own (CPU
// worker only), registered, and run as systemd runs it.
bool Stage::stageWatchdog(const Supervisor &supervisor, const QString &service)
{
    command = QStringList{ service + QStringLiteral("/render_worker_watchdog") };
    const QString resources = dir.filePath(QStringLiteral("resources"));
    adminEnvironment = environment;
    bareCommand = QStringList{ bareQt, QStringLiteral("--exit") };
    environment.append("QTSERVICE_RUN=1");
    fixedStartNs = fixedRestartNs = 5000 * msNs;
    if (!QFile::copy(supervisor.program, command.first()) || !QFile::copy(peerWorker, service + QStringLiteral("/render_worker"))
        || !writeFile(service + QStringLiteral("/resources.ini"), "[General]\nresources=" + QFile::encodeName(resources) + "\n")
        || !writeFile(resources + QStringLiteral("/settings.conf"), "[worker]\nworkerCpu=true\nworkerGpu=false\n"))
        return fail(QStringLiteral("cannot stage the watchdog"));
    admin(QStringLiteral("-u"));
    return admin(QStringLiteral("-i")) >= 0 || fail(QStringLiteral("-i failed"));
}

} // namespace bench
