// The command line of a service executable: one administrative action on the
// installed service, a foreground run, or the start path (launch or daemon).

#include "qtservicebase.h"

#include "applicationversion.h"
#include "qtservicebase_p.h"
#include "controlsocket.h"
#include "processend.h"
#include "qtservicecontroller.h"
#include "pathtrust.h"
#include "servicelock.h"
#include "servicestatus.h"

#include <QFileInfo>
#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

QByteArray latin1(const QString &text)
{
    return text.toLatin1();
}

const char usageText[] =
    "\n"
    "%s -[i|u|e|s|v|h]\n"
    "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account and password\n"
    "\t-u(ninstall)\t: Uninstall the service.\n"
    "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
    "\t-t(erminate)\t: Stop the service.\n"
    "\t-c(ommand) num\t: Send command code num to the service.\n"
    "\t-v(ersion)\t: Print version and status information.\n"
    "\t--status\t: Print the state of the service's workers (exit code 3 when it is not running).\n"
    "\t-h(elp)   \t: Show this help\n"
    "\tNo arguments\t: Start the service.\n";

bool isOption(const QString &argument, const char *shortForm, const char *longForm)
{
    return argument == QLatin1String(shortForm) || argument == QLatin1String(longForm);
}

// Far beyond a status file of any number of workers.
constexpr qint64 maxStatusFileSize = 64 * 1024;

// The status file a daemon of the service wrote last: root's, and for
// another user also the user's own; the one of the running daemon when it is
// known. Its path goes to *path; false when none can be read.
bool readLastStatus(const QString &name, pid_t holder, ServiceStatus *status, QString *path)
{
    QStringList folders{ QLatin1String(ServiceLock::rootRuntimeFolder) };
    const QString own = ServiceLock::sessionRuntimeFolder();
    if (::geteuid() != 0 && !own.isEmpty())
        folders << own;
    bool found = false;
    for (const QString &folder : std::as_const(folders)) {
        const QString candidate = ServiceStatus::pathFor(folder, name);
        QByteArray content;
        QString reason;
        ServiceStatus read;
        if (!PathTrust::readRegularFile(candidate, maxStatusFileSize, false, &content, &reason)
            || !read.readText(content) || (found && read.daemonPid != holder))
            continue;
        *status = read;
        *path = candidate;
        found = true;
        if (holder <= 0 || read.daemonPid == holder)
            break;
    }
    return found;
}

// The lines are made of the service's own name and of ServiceStatus's
// summaries, which are escaped already: escaped again, a backslash would
// show doubled.
void printLine(const QString &line)
{
    printf("%s\n", line.toUtf8().constData());
}

} // namespace

class QtServiceCommandLine
{
public:
    QtServiceCommandLine(QtServiceBase *service, QtServiceBasePrivate *d)
        : q(service), d(d), controller(d->controller), name(latin1(service->serviceName()))
    {
    }

    int dispatch();

private:
    int install();
    int uninstall();
    int version();
    int status();
    int foreground();
    int terminate();
    int stopFailed(const QString &what, int result = ServiceExit::notStopped);
    int stopByLock(const QString &what);
    int command();
    int help();
    int programVersion();
    int runOrLaunchDaemon();

    QString argument(int index) const { return d->args.value(index); }

    QtServiceBase *q;
    QtServiceBasePrivate *d;
    QtServiceController *controller;
    const QByteArray name;
};

int QtServiceCommandLine::dispatch()
{
    if (d->args.size() < 2)
        return runOrLaunchDaemon();
    const QString option = d->args.at(1);
    if (isOption(option, "-i", "-install"))
        return install();
    if (isOption(option, "-u", "-uninstall"))
        return uninstall();
    if (isOption(option, "-v", "-version"))
        return version();
    if (option == QLatin1String("--status"))
        return status();
    if (isOption(option, "-e", "-exec"))
        return foreground();
    if (isOption(option, "-t", "-terminate"))
        return terminate();
    if (isOption(option, "-p", "-pause")) {
        controller->pause();
        return ServiceExit::success;
    }
    if (isOption(option, "-r", "-resume")) {
        controller->resume();
        return ServiceExit::success;
    }
    if (isOption(option, "-c", "-command"))
        return command();
    if (isOption(option, "-h", "-help"))
        return help();
    // The two options an administrator tries first answer, and start nothing.
    if (option == QLatin1String("--help"))
        return help();
    if (option == QLatin1String("--version"))
        return programVersion();
    // An unknown first argument is no error: it reaches the daemon as its
    // first argument.
    return runOrLaunchDaemon();
}

int QtServiceCommandLine::install()
{
    if (controller->isInstalled()) {
        fprintf(stderr, "The service %s is already installed\n", name.constData());
        return ServiceExit::success;
    }
    if (!q->install(argument(2), argument(3))) {
        fprintf(stderr, "The service %s could not be installed\n", name.constData());
        return ServiceExit::failed;
    }
    printf("The service %s has been installed under: %s\n", name.constData(),
           latin1(q->executableFilePath()).constData());
    return ServiceExit::success;
}

int QtServiceCommandLine::uninstall()
{
    if (!controller->isInstalled()) {
        fprintf(stderr, "The service %s is not installed\n", name.constData());
        return ServiceExit::success;
    }
    if (!controller->uninstall()) {
        fprintf(stderr, "The service %s could not be uninstalled\n", name.constData());
        return ServiceExit::failed;
    }
    printf("The service %s has been uninstalled.\n", name.constData());
    return ServiceExit::success;
}

int QtServiceCommandLine::version()
{
    printf("The service\n\t%s\n\t%s\n\n", name.constData(), latin1(argument(0)).constData());
    printf("is %s", controller->isInstalled() ? "installed" : "not installed");
    const bool running = controller->isRunning();
    printf(" and %s\n\n", running ? "running" : "not running");
    // Another user's daemon runs too, but this user can neither see its lock
    // nor stop it: it is named.
    const DaemonSighting daemon = running ? findServiceDaemon(q->serviceName()) : DaemonSighting();
    if (daemon.running && !daemon.locked) {
        fprintf(stderr, "The service %s answers on %s as pid %d of uid %u\n", name.constData(),
                latin1(controlSocketPath(q->serviceName())).constData(), int(daemon.peer.pid),
                uint(daemon.peer.uid));
    }
    return ServiceExit::success;
}

int QtServiceCommandLine::status()
{
    // Running is what every command calls running; the state shown is that
    // daemon's own, never another's that happens to be on record.
    const QString service = sanitizedName(q->serviceName());
    const DaemonSighting daemon = findServiceDaemon(q->serviceName());
    const bool running = daemon.running;
    ServiceStatus status;
    QString path;
    const bool recorded = readLastStatus(service, daemon.peer.pid, &status, &path)
            && (!running || status.daemonPid == daemon.peer.pid);
    const QString name = q->serviceName();
    if (running) {
        const QString pid = daemon.peer.pid > 0 ? QString::number(daemon.peer.pid) : QStringLiteral("unknown");
        QString line = QStringLiteral("%1: running (pid %2%3)").arg(name, pid,
                daemon.peer.uid == ::geteuid() ? QString() : QStringLiteral(" of uid %1").arg(daemon.peer.uid));
        if (recorded && status.daemonStartedAt.isValid())
            line += QStringLiteral(" for ") + ServiceStatus::durationText(status.daemonStartedAt.msecsTo(QDateTime::currentDateTime()));
        printLine(recorded ? line : line + QStringLiteral("; no state recorded"));
    } else if (recorded) {
        printLine(QStringLiteral("%1: not running; the last state, recorded by pid %2 at %3:")
                          .arg(name).arg(status.daemonPid)
                          .arg(ServiceStatus::timeText(QFileInfo(path).lastModified())));
    } else {
        printLine(name + QStringLiteral(": not running; no state recorded"));
    }
    if (recorded) {
        // Durations only while they still grow.
        QStringList lines = running ? status.summaries(QDateTime::currentDateTime()) : status.summariesOfGoneDaemon();
        if (status.rollbacks > 0)
            lines << status.rollbackSummary();
        // The next start runs the installed program anyway.
        if (running && !status.installedVersion.isEmpty())
            lines << status.restartSummary();
        for (const QString &line : std::as_const(lines))
            printLine(line);
    }
    return running ? ServiceExit::success : ServiceExit::notRunning;
}

int QtServiceCommandLine::foreground()
{
    d->args.removeAt(1);
    const int result = d->run(false, d->args);
    if (result == ServiceExit::failed)
        qErrnoWarning("The service could not be executed.");
    return result;
}

int QtServiceCommandLine::stopFailed(const QString &what, int result)
{
    qWarning("The service could not be stopped. %s.", qPrintable(what));
    return result;
}

int QtServiceCommandLine::terminate()
{
    // Success is the end of the daemon, seen: not a reply, which a process
    // in its place could give.
    const QString service = q->serviceName();
    const ControlExchange stop = exchangeControlCommand(service, QStringLiteral("terminate"));
    if (stop.confirmed()) {
        if (!waitForProcessEnd(stop.peer.pid, daemonEndTimeoutMs)) {
            return stopFailed(QStringLiteral("Its daemon (pid %1) confirmed the stop but still runs after %2 s")
                                  .arg(stop.peer.pid).arg(daemonEndTimeoutMs / 1000));
        }
        printf("The service %s (pid %d of uid %u) has ended.\n", name.constData(), int(stop.peer.pid),
               uint(stop.peer.uid));
        return ServiceExit::success;
    }
    if (stop.sent) {
        return stopFailed(stop.reply.isEmpty()
                              ? QStringLiteral("Its daemon (pid %1) did not reply in time").arg(stop.peer.pid)
                              : QStringLiteral("Its daemon (pid %1) refused").arg(stop.peer.pid));
    }
    const QString path = controlSocketPath(service);
    if (!stop.connected)
        return stopByLock(QStringLiteral("No daemon answers on %1").arg(path));
    return stopByLock(QStringLiteral("%1 is answered by pid %2 of uid %3, which does not hold the service's lock")
                          .arg(path).arg(stop.peer.pid).arg(stop.peer.uid));
}

int QtServiceCommandLine::stopByLock(const QString &what)
{
    // The daemon stops as cleanly on SIGTERM as on "terminate". Its lock,
    // where this user sees it, names it, or shows it among the processes
    // when no record could be written.
    const QString service = sanitizedName(q->serviceName());
    if (ServiceLock::probe(service) != ServiceLock::State::Held)
        return stopFailed(what, ServiceExit::success); // nothing this user can see runs: no failure
    const pid_t holder = ServiceLock::findHolder(service);
    if (holder <= 0)
        return stopFailed(what + QStringLiteral("; the service's lock is held, by a process that cannot be found"));
    if (::kill(holder, SIGTERM) != 0) {
        return stopFailed(what + QStringLiteral("; SIGTERM to the daemon (pid %1) failed: %2")
                                     .arg(holder).arg(qt_error_string(errno)));
    }
    if (!waitForProcessEnd(holder, daemonEndTimeoutMs))
        return stopFailed(what + QStringLiteral("; the daemon (pid %1) still runs after SIGTERM").arg(holder));
    fprintf(stderr, "%s; the daemon (pid %d) was stopped with SIGTERM.\n", qPrintable(what), int(holder));
    return ServiceExit::success;
}

int QtServiceCommandLine::command()
{
    // No code, no number or one out of range all send 0.
    const int code = argument(2).toInt();
    controller->sendCommand(code);
    return ServiceExit::success;
}

int QtServiceCommandLine::help()
{
    printf(usageText, latin1(argument(0)).constData());
    return ServiceExit::success;
}

int QtServiceCommandLine::programVersion()
{
    using mrv::ApplicationVersion;
    printf("%s %s\n", ApplicationVersion::appName_.c_str(), ApplicationVersion::text_);
    return ServiceExit::success;
}

int QtServiceCommandLine::runOrLaunchDaemon()
{
    if (qEnvironmentVariableIsSet("QTSERVICE_RUN")) {
        const int result = d->run(true, d->args);
        if (result == ServiceExit::failed)
            qErrnoWarning("The service failed to run.");
        return result;
    }
    switch (d->launchDaemon()) {
    case QtServiceBasePrivate::Launch::Serving:
        break;
    case QtServiceBasePrivate::Launch::Unreachable:
        return ServiceExit::unreachable;
    case QtServiceBasePrivate::Launch::NotStarted:
        fprintf(stderr, "The service %s could not start\n", name.constData());
        return ServiceExit::notStarted;
    }
    return ServiceExit::success;
}

int QtServiceBase::exec()
{
    return QtServiceCommandLine(this, d_ptr.get()).dispatch();
}
