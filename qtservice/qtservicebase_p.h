#ifndef QTSERVICEBASE_P_H
#define QTSERVICEBASE_P_H

#include "qtservicebase.h"
#include "startreport.h"

#include <QObject>
#include <QStringList>

#include <memory>

class QtServiceController;
class QtServiceSysPrivate;
class ServiceLock;
class SystemLog;

// What the framework's runs and command-line operations return to the shell.
namespace ServiceExit {
inline constexpr int success = 0;
// An install or uninstall failed, or the service made no application.
inline constexpr int failed = -1;
// The daemon does not run: another one does, or its lock or socket was refused.
inline constexpr int notStarted = -4;
// -t could not stop the daemon it found, or could not see it end; a launched
// daemon runs but cannot make its control socket.
inline constexpr int notStopped = 1;
inline constexpr int unreachable = 1;
// --status found no daemon running (the LSB's "program is not running").
inline constexpr int notRunning = 3;
} // namespace ServiceExit

class QtServiceBasePrivate
{
public:
    QtServiceBasePrivate(QtServiceBase *owner, QtServiceController *controller);
    ~QtServiceBasePrivate();

    int run(bool asDaemon, const QStringList &arguments);
    // What came of a launch: the daemon serves; it runs without its control
    // socket; it did not start, or gave up.
    enum class Launch { Serving, Unreachable, NotStarted };
    Launch launchDaemon();
    bool install();

    // The service's operations, for the framework's own classes.
    void startService();
    void stopService();
    void pauseService();
    void resumeService();
    void reloadService();
    void processCommand(int code);

    QtServiceBase *q_ptr;
    QString description;
    int startupType = 1;
    QtServiceBase::ServiceFlags serviceFlags;
    QStringList args;
    QtServiceController *controller;
    QtServiceSysPrivate *controlServer = nullptr;
    // The daemon's system log, for as long as it serves.
    std::unique_ptr<SystemLog> systemLog;
    // Held from the start of a run to the end of the process.
    std::unique_ptr<ServiceLock> lock;
    // The launcher's pipe, while the daemon has not yet said how it started.
    StartReport startReport;

    // How long another process found on the socket at start-up may take to
    // end once told to terminate, from the first probe on.
    static constexpr int takeOverTimeoutMs = 5000;

    // How often a control socket that could not be made is tried again, as
    // often as a failed worker is restarted.
    static constexpr int controlSocketRetryMs = 5000;

private:
    bool takeLock();
    bool takeOverControlSocket();
    void report(const QString &message, QtServiceBase::MessageType type);
    void createControlServer();
    // The problem, empty once the socket listens.
    QString openControlSocket();
    static QString standingAt(const QString &path);
    void closeControlServer();
};

// Calls start() of the service as the first work of the running event loop.
class QtServiceStarter : public QObject
{
    Q_OBJECT
public:
    explicit QtServiceStarter(QtServiceBasePrivate *service) : d(service) {}

public Q_SLOTS:
    void slotStart() { d->startService(); }

private:
    QtServiceBasePrivate *d;
};

#endif // QTSERVICEBASE_P_H
