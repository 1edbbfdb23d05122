// A service for the framework's tests, scripted through the environment:
//
//   TESTSERVICE_NAME            service name (required; tests use names of their own)
//   TESTSERVICE_FLAGS           service flags as an int; TESTSERVICE_FLAGS_IN_START
//                               the same, set by start()
//   TESTSERVICE_DESCRIPTION     service description
//   TESTSERVICE_STARTUP_TYPE    startup type as an int
//   TESTSERVICE_REGISTRY        folder that replaces the system-scope settings
//                               location, so the registry is a test's own
//   TESTSERVICE_EVENTS          file to which one line per event is appended:
//                               "start <pid> cwd=<path> umask=<octal> listening=<0|1>
//                               args=<a|b|..>", "logged", "stop", "released",
//                               "pause", "resume", "command <code>"
//   TESTSERVICE_QUIT_AFTER_START  start() ends the event loop at once
//   TESTSERVICE_NO_APPLICATION  createApplication() creates nothing
//   TESTSERVICE_LOG             start() writes system-log messages of every type
//   TESTSERVICE_RELEASE_IN_STOP stop() releases an object with deleteLater(), whose
//                               destructor appends "released"

#include "qtservice.h"
#include "controlsocket.h"
#include "qtservicecontroller.h"
#include "qtunixsocket.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void appendEvent(const QString &line)
{
    const QString path = qEnvironmentVariable("TESTSERVICE_EVENTS");
    QFile file(path);
    if (path.isEmpty())
        return;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        fprintf(stderr, "testservice: cannot append to %s\n", qPrintable(path));
    else
        file.write(line.toUtf8() + '\n');
}

class TestService : public QtService<QCoreApplication>
{
public:
    TestService(int argc, char **argv, const QString &name)
        : QtService<QCoreApplication>(argc, argv, name, nullptr)
    {
    }

protected:
    void createApplication(int &argc, char **argv) override
    {
        // What the framework hands over, before the application may strip
        // options of its own.
        for (int i = 0; i < argc; ++i)
            applicationArguments.append(QString::fromLocal8Bit(argv[i]));
        if (!qEnvironmentVariableIsSet("TESTSERVICE_NO_APPLICATION"))
            QtService<QCoreApplication>::createApplication(argc, argv);
    }

    void start() override
    {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        appendEvent(QStringLiteral("start %1 cwd=%2 umask=%3 listening=%4 args=%5")
                        .arg(::getpid())
                        .arg(QDir::currentPath())
                        .arg(uint(mask), 3, 8, QLatin1Char('0'))
                        .arg(QtUnixSocket().connectTo(controlSocketPath(serviceName())) ? 1 : 0)
                        .arg(applicationArguments.join(QLatin1Char('|'))));
        if (qEnvironmentVariableIsSet("TESTSERVICE_FLAGS_IN_START"))
            setServiceFlags(ServiceFlags(qEnvironmentVariableIntValue("TESTSERVICE_FLAGS_IN_START")));
        if (qEnvironmentVariableIsSet("TESTSERVICE_LOG")) {
            logMessage(QStringLiteral("testservice information"), Information);
            logMessage(QStringLiteral("testservice error"), Error);
            logMessage(QStringLiteral("testservice warning"), Warning);
            logMessage(QStringLiteral("first line\n\nthird line"), Information);
            logMessage(QStringLiteral("100% literal %s %n %d"), Information);
            appendEvent(QStringLiteral("logged"));
        }
        if (qEnvironmentVariableIsSet("TESTSERVICE_QUIT_AFTER_START"))
            QCoreApplication::quit();
    }

    void stop() override
    {
        appendEvent(QStringLiteral("stop"));
        if (qEnvironmentVariableIsSet("TESTSERVICE_RELEASE_IN_STOP")) {
            // Stands for what a service lets go of when it stops, such as its workers.
            auto *released = new QObject;
            QObject::connect(released, &QObject::destroyed, [] { appendEvent(QStringLiteral("released")); });
            released->deleteLater();
        }
    }
    void pause() override { appendEvent(QStringLiteral("pause")); }
    void resume() override { appendEvent(QStringLiteral("resume")); }
    void processCommand(int code) override { appendEvent(QStringLiteral("command %1").arg(code)); }

private:
    QStringList applicationArguments;
};

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("TESTSERVICE_NAME")) {
        fprintf(stderr, "testservice: TESTSERVICE_NAME is not set\n");
        return 99;
    }
    if (qEnvironmentVariableIsSet("TESTSERVICE_REGISTRY")) {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope,
                           qEnvironmentVariable("TESTSERVICE_REGISTRY"));
    }
    TestService service(argc, argv, qEnvironmentVariable("TESTSERVICE_NAME"));
    service.setServiceFlags(QtServiceBase::ServiceFlags(qEnvironmentVariableIntValue("TESTSERVICE_FLAGS")));
    if (qEnvironmentVariableIsSet("TESTSERVICE_DESCRIPTION"))
        service.setServiceDescription(qEnvironmentVariable("TESTSERVICE_DESCRIPTION"));
    if (qEnvironmentVariableIsSet("TESTSERVICE_STARTUP_TYPE"))
        service.setStartupType(qEnvironmentVariableIntValue("TESTSERVICE_STARTUP_TYPE"));
    return service.exec();
}
