// Running a service: as the detached daemon (control socket, umask, system
// log) or in the foreground for -e, and launching that daemon.

#include "qtservicebase.h"

#include "controlsocket.h"
#include "unixaddress.h"
#include "qtservicebase_p.h"
#include "qtservicecontroller.h"
#include "qtservicesysprivate.h"
#include "servicelock.h"
#include "startreport.h"
#include "systemlog.h"
#include "systemdnotifier.h"
#include "unixsignalwatcher.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <memory>
#include <sys/stat.h>
#include <syslog.h>

namespace {

// The daemon says it serves once its service has started, which may wait for
// each of its workers to start; a launch waits as long as a command's reply.
constexpr int startReportTimeoutMs = controlReplyTimeoutMs;

// The toolkit's own UNIX event dispatcher rather than glib's: a worker's end
// reaches the service through fewer layers, and glib's main context is never
// set up. The toolkit reads the choice from the environment when the
// application is made, so the variable is set only around that and removed
// again: the workers get the environment as the service got it.
class UnixEventDispatcherChoice
{
public:
    UnixEventDispatcherChoice() : wasSet(qEnvironmentVariableIsSet(variable))
    {
        if (!wasSet)
            qputenv(variable, "1");
    }
    ~UnixEventDispatcherChoice()
    {
        if (!wasSet)
            qunsetenv(variable);
    }
    UnixEventDispatcherChoice(const UnixEventDispatcherChoice &) = delete;
    UnixEventDispatcherChoice &operator=(const UnixEventDispatcherChoice &) = delete;

private:
    static constexpr const char *variable = "QT_NO_GLIB";
    const bool wasSet;
};

} // namespace

int QtServiceBasePrivate::run(bool asDaemon, const QStringList &arguments)
{
    // The application keeps pointers into argv for its whole life.
    std::vector<QByteArray> argumentBytes;
    argumentBytes.reserve(size_t(arguments.size()));
    std::vector<char *> argv;
    for (const QString &argument : arguments) {
        argumentBytes.push_back(argument.toLocal8Bit());
        argv.push_back(argumentBytes.back().data());
    }
    argv.push_back(nullptr);
    int argc = int(arguments.size());

    // Kept from the workers; the launcher, if any, waits for the word.
    if (asDaemon)
        startReport.adopt();
    // Before any worker can start and before the socket path is touched.
    if (!takeLock())
        return ServiceExit::notStarted;

    if (asDaemon)
        createControlServer();

    {
        const UnixEventDispatcherChoice dispatcher;
        q_ptr->createApplication(argc, argv.data());
    }
    if (!QCoreApplication::instance()) {
        closeControlServer();
        startReport.send(StartReport::Word::GaveUp, "The service made no application.");
        return ServiceExit::failed;
    }
    if (!takeOverControlSocket()) {
        delete QCoreApplication::instance();
        closeControlServer();
        return ServiceExit::notStarted;
    }

    // SIGTERM (systemd, kill) and SIGINT (Ctrl-C in the foreground) end the
    // run the same orderly way as the "terminate" command. SIGHUP (systemctl
    // reload) has the daemon reload; in the foreground it stays the hang-up
    // of the terminal, which ends the process.
    auto signalWatcher = asDaemon
            ? std::make_unique<UnixSignalWatcher>(std::initializer_list<int>{ SIGTERM, SIGINT, SIGHUP })
            : std::make_unique<UnixSignalWatcher>(std::initializer_list<int>{ SIGTERM, SIGINT });
    // A signal sent to the whole process group may come twice; the service
    // is stopped once, and a stopped one no longer reloads.
    QObject::connect(signalWatcher.get(), &UnixSignalWatcher::signalReceived,
                     signalWatcher.get(), [this, stopping = false](int signalNumber) mutable {
                         if (stopping)
                             return;
                         if (signalNumber == SIGHUP) {
                             reloadService();
                             return;
                         }
                         stopping = true;
                         stopService();
                         QCoreApplication::quit();
                     });

    std::unique_ptr<SystemdNotifier> notifier;
    QString unreachable;
    if (asDaemon) {
        unreachable = openControlSocket();
        notifier = std::make_unique<SystemdNotifier>();
    }

    QtServiceStarter starter(this);
    QTimer::singleShot(0, &starter, SLOT(slotStart()));
    // The launcher's word, once the service has started: commands reach it.
    QTimer::singleShot(0, &starter, [this, unreachable] {
        startReport.send(unreachable.isEmpty() ? StartReport::Word::Serving : StartReport::Word::Unreachable,
                         unreachable.toLocal8Bit());
    });
    // Ready once the service has started, right after the starter's call.
    if (notifier)
        QTimer::singleShot(0, notifier.get(), &SystemdNotifier::notifyReady);
    // What setting up read and parsed is freed by now but would stay
    // resident in the heap for the whole run: hand the free pages back.
    QTimer::singleShot(0, &starter, [] { ::malloc_trim(0); });
    const int result = q_ptr->executeApplication();

    // The run is over and the service stopped: a stop signal that comes now,
    // such as the second of two sent to the whole process group, must not
    // kill the process before it has cleaned up. The handler goes straight
    // to ignoring: restoring the default first would leave a window.
    signalWatcher->ignoreWhenDestroyed();
    signalWatcher.reset();
    notifier.reset();
    delete QCoreApplication::instance();

    if (asDaemon)
        closeControlServer();
    return result;
}

bool QtServiceBasePrivate::takeLock()
{
    if (lock)
        return lock->isHeld();
    lock = std::make_unique<ServiceLock>(sanitizedName(controller->serviceName()));
    if (lock->acquire())
        return true;
    const QByteArray name = controller->serviceName().toLatin1();
    const QByteArray why = lock->holderPid() > 0
        ? "The service " + name + " is already running with pid " + QByteArray::number(lock->holderPid())
        : "The service " + name + " could not take its lock " + QFile::encodeName(lock->path()) + ": "
            + lock->error().toLocal8Bit();
    fprintf(stderr, "%s\n", why.constData());
    startReport.send(StartReport::Word::GaveUp, why);
    return false;
}

void QtServiceBasePrivate::report(const QString &message, QtServiceBase::MessageType type)
{
    // Standard error for whoever started it, the system log and the day's
    // log (the logger takes the toolkit's messages once the application
    // exists).
    fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    q_ptr->logMessage(message, type);
    if (type == QtServiceBase::Error)
        qCritical("%s", qPrintable(message));
    else if (type == QtServiceBase::Warning)
        qWarning("%s", qPrintable(message));
    else
        qInfo("%s", qPrintable(message));
}

bool QtServiceBasePrivate::takeOverControlSocket()
{
    // This process holds the lock; a daemon of another user, an older one
    // that holds none, or any process at all may still listen on the socket.
    // It is asked to stop, never replaced silently, and never keeps root's
    // daemon out: whatever still listens after a few seconds loses the path.
    const QString name = controller->serviceName();
    const QDeadlineTimer deadline(takeOverTimeoutMs);
    ControlPeer peer;
    if (!findControlListener(name, &peer, strangerProbeTimeoutMs) || peer.pid == ::getpid())
        return true;
    const QString who = QStringLiteral("The service %1 already answers on %2 as pid %3 of uid %4")
                            .arg(name, controlSocketPath(name)).arg(peer.pid).arg(peer.uid);
    if (peer.uid == 0 && ::geteuid() != 0) {
        const QString why = who + QStringLiteral("; root's daemon stays.");
        fprintf(stderr, "%s\n", qPrintable(why));
        startReport.send(StartReport::Word::GaveUp, why.toLocal8Bit());
        return false;
    }
    if (stopControlListener(name, peer, int(deadline.remainingTime()))) {
        report(who + QStringLiteral("; it was told to terminate and has ended. This daemon takes its place."),
               QtServiceBase::Warning);
    } else {
        report(who + QStringLiteral("; it was told to terminate but still runs after %1 s. This daemon takes "
                                    "the path over.").arg(takeOverTimeoutMs / 1000),
               QtServiceBase::Warning);
    }
    return true;
}

void QtServiceBasePrivate::createControlServer()
{
    controlServer = new QtServiceSysPrivate;
    controlServer->serviceFlags = serviceFlags;
    systemLog = std::make_unique<SystemLog>();
    // Files the daemon creates are not writable by the group and invisible
    // to others unless it says otherwise.
    ::umask(027);
}

QString QtServiceBasePrivate::openControlSocket()
{
    const QString path = controlSocketPath(controller->serviceName());
    if (controlServer->setPath(path))
        return QString();
    sockaddr_un address;
    socklen_t length;
    if (!makeUnixAddress(path, &address, &length)) {
        const QString problem = QStringLiteral("The control socket path %1 is too long for a Unix socket address; "
                                               "the service runs without a control socket.").arg(path);
        fprintf(stderr, "%s\n", problem.toLatin1().constData());
        return problem;
    }
    const QString problem = QStringLiteral("The service %1 cannot make its control socket %2: %3%4. It runs without "
                                           "control and tries again every %5 s.")
                                .arg(controller->serviceName(), path, qt_error_string(controlServer->setupError()),
                                     standingAt(path))
                                .arg(controlSocketRetryMs / 1000);
    report(problem, QtServiceBase::Error);
    // Whoever took the path may give it back, or room may be made: the
    // socket is tried again until it is made.
    auto *retry = new QTimer(controlServer);
    QObject::connect(retry, &QTimer::timeout, controlServer, [this, retry, path] {
        if (!controlServer->setPath(path))
            return;
        retry->deleteLater();
        report(QStringLiteral("The control socket %1 is made; the service is reachable.").arg(path),
               QtServiceBase::Information);
    });
    retry->start(controlSocketRetryMs);
    return problem;
}

QString QtServiceBasePrivate::standingAt(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return QString();
    const char *kind = S_ISDIR(info.st_mode) ? "a folder" : S_ISSOCK(info.st_mode) ? "a socket" : "a file";
    return QStringLiteral(" (%1 of uid %2 stands there)").arg(QLatin1String(kind)).arg(info.st_uid);
}

void QtServiceBasePrivate::closeControlServer()
{
    if (!controlServer)
        return;
    controlServer->close();
    delete controlServer;
    controlServer = nullptr;
    systemLog.reset();
}

QtServiceBasePrivate::Launch QtServiceBasePrivate::launchDaemon()
{
    // Whatever runs the service, by the judgement every command makes, is not
    // started beside; a stranger on the socket is the new daemon's to handle.
    const QString name = controller->serviceName();
    const DaemonSighting running = findServiceDaemon(name);
    if (running.running) {
        fprintf(stderr, "The service %s is already running with pid %d of uid %u\n",
                name.toLatin1().constData(), int(running.peer.pid), uint(running.peer.uid));
        return Launch::NotStarted;
    }
    StartReport report;
    if (!report.open())
        return Launch::NotStarted;
    ::setenv("QTSERVICE_RUN", "1", 1);
    QProcess daemon;
    daemon.setProgram(q_ptr->executableFilePath());
    daemon.setArguments(args.mid(1));
    // The daemon must not keep reading the terminal it was launched from,
    // nor hold the caller's output open: $(...) or an ssh session would wait
    // for the daemon's end. VERBOSE keeps the output for debugging.
    daemon.setStandardInputFile(QProcess::nullDevice());
    if (!qEnvironmentVariableIsSet("VERBOSE")) {
        daemon.setStandardOutputFile(QProcess::nullDevice());
        daemon.setStandardErrorFile(QProcess::nullDevice());
    }
    qint64 pid = 0;
    if (!daemon.startDetached(&pid))
        return Launch::NotStarted;
    // Its own word, not a guess from outside: what it said goes to the
    // caller as it was said.
    const StartReport::Heard heard = report.waitForWord(startReportTimeoutMs);
    if (!heard.detail.isEmpty())
        fprintf(stderr, "%s\n", heard.detail.constData());
    switch (heard.word) {
    case StartReport::Word::Serving:
        return Launch::Serving;
    case StartReport::Word::Unreachable:
        return Launch::Unreachable;
    case StartReport::Word::GaveUp:
        return Launch::NotStarted;
    case StartReport::Word::None:
        break;
    }
    if (heard.ended)
        fprintf(stderr, "Its daemon (pid %lld) ended without saying why.\n", pid);
    else
        fprintf(stderr, "Its daemon (pid %lld) did not say within %d s that it serves.\n", pid,
                startReportTimeoutMs / 1000);
    return Launch::NotStarted;
}

QString QtServiceBase::executableFilePath() const
{
    const QStringList &args = d_ptr->args;
    if (args.isEmpty())
        return QString();
    const QString argv0 = args.first();
    QString folder;
    if (argv0.startsWith(QLatin1Char('/'))) {
        folder = QFileInfo(argv0).absolutePath();
    } else if (!argv0.contains(QLatin1Char('/'))) {
        const QByteArray pathVariable = qgetenv("PATH");
        if (!pathVariable.isNull()) {
            const QStringList entries =
                QString::fromLocal8Bit(pathVariable).split(QLatin1Char(':'), Qt::KeepEmptyParts);
            for (const QString &entry : entries) {
                if (QFileInfo::exists(entry + QLatin1Char('/') + argv0)) {
                    folder = QDir(entry).absolutePath();
                    break;
                }
            }
        }
    } else {
        QDir dir(QDir::currentPath());
        dir.cd(argv0.left(argv0.lastIndexOf(QLatin1Char('/'))));
        folder = dir.absolutePath();
    }
    return QDir(folder).absoluteFilePath(QFileInfo(argv0).fileName());
}

void QtServiceBase::logMessage(const QString &message, MessageType type, int, uint,
                               const QByteArray &)
{
    QtServiceSysPrivate *server = d_ptr->controlServer;
    if (!server || !d_ptr->systemLog)
        return;
    if (server->ident.isNull())
        server->ident = sanitizedName(serviceName()).toLocal8Bit();

    int priority;
    switch (type) {
    case Error:
        priority = LOG_ERR;
        break;
    case Warning:
        priority = LOG_WARNING;
        break;
    default:
        priority = LOG_INFO;
        break;
    }

    const QStringList lines = message.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    for (const QString &line : lines)
        d_ptr->systemLog->write(server->ident, priority, line.toLocal8Bit());
}
