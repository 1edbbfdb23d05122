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

// The daemon reports at the very beginning of its run; this only bounds the
// wait for one that hangs before.
constexpr int startReportTimeoutMs = programStartWaitMs;

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
    if (asDaemon) {
        openControlSocket();
        notifier = std::make_unique<SystemdNotifier>();
    }

    QtServiceStarter starter(this);
    QTimer::singleShot(0, &starter, SLOT(slotStart()));
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
    const bool locked = lock->acquire();
    StartReport::send(locked);
    if (locked)
        return true;
    const QByteArray name = controller->serviceName().toLatin1();
    if (lock->holderPid() > 0) {
        fprintf(stderr, "The service %s is already running with pid %d\n", name.constData(),
                int(lock->holderPid()));
    } else {
        fprintf(stderr, "The service %s could not take its lock %s: %s\n", name.constData(),
                QFile::encodeName(lock->path()).constData(), lock->error().toLocal8Bit().constData());
    }
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
    // This process holds the lock; a daemon of another user, or an older one
    // that holds none, may still answer on the socket with workers of its
    // own. It is asked to stop, never replaced silently.
    const QString name = controller->serviceName();
    ControlPeer peer;
    if (!findControlListener(name, &peer) || peer.pid == ::getpid())
        return true;
    const QString who = QStringLiteral("The service %1 already answers on %2 as pid %3 of uid %4")
                            .arg(name, controlSocketPath(name)).arg(peer.pid).arg(peer.uid);
    if (peer.uid == 0 && ::geteuid() != 0) {
        fprintf(stderr, "%s; root's daemon stays.\n", qPrintable(who));
        return false;
    }
    if (stopControlListener(name, peer, takeOverTimeoutMs)) {
        report(who + QStringLiteral("; it was told to terminate and has ended. This daemon takes its place."),
               QtServiceBase::Warning);
        return true;
    }
    report(who + QStringLiteral("; it was told to terminate but still runs after %1 s. This daemon does not start.")
                     .arg(takeOverTimeoutMs / 1000),
           QtServiceBase::Error);
    return false;
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

void QtServiceBasePrivate::openControlSocket()
{
    const QString path = controlSocketPath(controller->serviceName());
    if (controlServer->setPath(path))
        return;
    sockaddr_un address;
    socklen_t length;
    if (!makeUnixAddress(path, &address, &length)) {
        fprintf(stderr,
                "The control socket path %s is too long for a Unix socket address; "
                "the service runs without a control socket.\n",
                path.toLatin1().constData());
        return;
    }
    report(QStringLiteral("The service %1 cannot make its control socket %2: %3%4. It runs without "
                          "control and tries again every %5 s.")
               .arg(controller->serviceName(), path, qt_error_string(controlServer->setupError()), standingAt(path))
               .arg(controlSocketRetryMs / 1000),
           QtServiceBase::Error);
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

bool QtServiceBasePrivate::launchDaemon()
{
    // The lock decides; the socket is asked about a daemon whose lock this
    // user may not see, such as another user's.
    const QString name = controller->serviceName();
    pid_t holder = 0;
    ControlExchange alive;
    if (ServiceLock::probe(sanitizedName(name), &holder) == ServiceLock::State::Held)
        alive.peer = { holder, ::geteuid() };
    else if (!(alive = exchangeControlCommand(name, QStringLiteral("alive"), ControlRecipient::Anyone)).confirmed())
        alive.peer.pid = 0;
    if (alive.peer.pid > 0) {
        fprintf(stderr, "The service %s is already running with pid %d of uid %u\n",
                name.toLatin1().constData(), int(alive.peer.pid), uint(alive.peer.uid));
        return false;
    }
    StartReport report;
    if (!report.open())
        return false;
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
    return daemon.startDetached() && report.waitForLock(startReportTimeoutMs);
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
