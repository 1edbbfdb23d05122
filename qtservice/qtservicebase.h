#ifndef QTSERVICEBASE_H
#define QTSERVICEBASE_H

#include <QByteArray>
#include <QFlags>
#include <QString>

#include <memory>

class QtServiceController;
class QtServiceBasePrivate;

// The longest a service's operation may wait for a program it starts to be
// running, and so hold the daemon's event loop. The framework's own waits (for
// a daemon's reply, its start report and its end) are made from it.
inline constexpr int programStartWaitMs = 30000;

// Turns a console program into a controllable Unix service. The program builds
// exactly one object of a subclass and returns exec() from main(): exec()
// reads the command line and either acts on the installed service (install,
// uninstall, status, stop, pause, resume, user command, help), runs the
// service in the foreground (-e), launches it as a detached daemon, or, inside
// that daemon, runs it with a control socket and system-log output.
class QtServiceBase
{
public:
    enum MessageType { Information = 0, Error = 1, Warning = 2 };

    enum ServiceFlag {
        Default = 0x00,
        CanPause = 0x01,   // "pause" and "resume" control commands are honoured
        CannotStop = 0x02  // the "terminate" control command is refused
    };
    Q_DECLARE_FLAGS(ServiceFlags, ServiceFlag)

    QtServiceBase(int argc, char **argv, const QString &name, QtServiceController *controller);
    virtual ~QtServiceBase();

    QString serviceName() const;

    QString serviceDescription() const;
    void setServiceDescription(const QString &description);

    int startupType() const;
    void setStartupType(int startupType);

    ServiceFlags serviceFlags() const;
    void setServiceFlags(ServiceFlags flags);

    int exec();

    QString executableFilePath() const;

    // Where the service's daemon keeps the state it publishes for --status
    // (see ServiceStatus): beside its lock, in this user's runtime folder.
    QString statusFilePath() const;

    // Writes to the system log, one entry per line of message, when this
    // process is the daemon; does nothing otherwise. The last three arguments
    // are accepted for source compatibility and ignored.
    void logMessage(const QString &message, MessageType type = Information, int id = 0,
                    uint category = 0, const QByteArray &data = QByteArray());

    static QtServiceBase *instance();

protected:
    // The operations a concrete service supplies. The framework calls
    // createApplication() first, start() once from the running event loop, and
    // stop(), pause(), resume() and processCommand() only from the control
    // socket of a daemon; reload() when the daemon gets SIGHUP.
    virtual void start() = 0;
    virtual void stop();
    virtual void pause();
    virtual void resume();
    virtual void reload();
    virtual bool install(const QString &account, const QString &password);
    virtual void processCommand(int code);
    virtual void createApplication(int &argc, char **argv) = 0;
    virtual int executeApplication() = 0;

private:
    Q_DISABLE_COPY(QtServiceBase)
    friend class QtServiceBasePrivate;
    friend class QtServiceSysPrivate;
    friend class QtServiceCommandLine;

    std::unique_ptr<QtServiceBasePrivate> d_ptr;
    std::unique_ptr<QtServiceController> ownedController;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(QtServiceBase::ServiceFlags)

#endif // QTSERVICEBASE_H
