#ifndef QTSERVICECONTROLLER_H
#define QTSERVICECONTROLLER_H

#include <QString>
#include <QStringList>

// The handle on a service by name: whether it is registered and running, its
// registration, starting it, and the control commands to its daemon.
class QtServiceController
{
public:
    explicit QtServiceController(const QString &name);
    virtual ~QtServiceController();

    virtual bool isInstalled() const;
    virtual bool isRunning() const;
    virtual bool uninstall();

    QString serviceName() const;
    QString serviceDescription() const;
    int startupType() const;
    QString serviceFilePath() const;

    bool start(const QStringList &arguments);
    bool start();
    bool stop();
    bool pause();
    bool resume();
    bool sendCommand(int code);

    // Runs serviceFilePath with "-i", account and password and waits for it.
    static bool install(const QString &serviceFilePath, const QString &account = QString(),
                        const QString &password = QString());

    // Writes the registration of a service; what "-i" does by default.
    static bool registerService(const QString &name, const QString &filePath,
                                const QString &description, int startupType);

private:
    Q_DISABLE_COPY(QtServiceController)
    const QString name;
};

#endif // QTSERVICECONTROLLER_H
