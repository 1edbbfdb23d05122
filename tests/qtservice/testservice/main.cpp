// A service for the framework's tests, scripted through the environment:
// TESTSERVICE_NAME (required), TESTSERVICE_FLAGS (service flags as an int),
// TESTSERVICE_REGISTRY (folder of the system-scope settings), TESTSERVICE_LOG
// (start() logs every type, and every command a line) and TESTSERVICE_EVENTS,
// a file of a line per event: "start <pid> umask=<octal> args=<a|b|..>",
// "stop", "pause", "resume", "command <code>".

#include "applicationversion.h"
#include "qtservice.h"

#include <QFile>
#include <QSettings>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void appendEvent(const QString &line)
{
    QFile file(qEnvironmentVariable("TESTSERVICE_EVENTS"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(line.toUtf8() + '\n') <= 0)
        qFatal("testservice: cannot append to %s", qPrintable(file.fileName()));
}

class TestService : public QtService<QCoreApplication>
{
public:
    TestService(int argc, char **argv) : QtService<QCoreApplication>(argc, argv, qEnvironmentVariable("TESTSERVICE_NAME"), nullptr) {}

protected:
    void start() override
    {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        appendEvent(QStringLiteral("start %1 umask=%2 args=%3").arg(::getpid()).arg(uint(mask), 3, 8, QLatin1Char('0'))
                        .arg(QCoreApplication::arguments().join(QLatin1Char('|'))));
        if (qEnvironmentVariableIsSet("TESTSERVICE_LOG")) {
            logMessage(QStringLiteral("testservice information"), Information);
            logMessage(QStringLiteral("testservice error"), Error);
            logMessage(QStringLiteral("testservice warning"), Warning);
            logMessage(QStringLiteral("first line\n\nthird line"), Information);
        }
    }
    void stop() override { appendEvent(QStringLiteral("stop")); }
    void pause() override { appendEvent(QStringLiteral("pause")); }
    void resume() override { appendEvent(QStringLiteral("resume")); }
    void processCommand(int code) override
    {
        appendEvent(QStringLiteral("command %1").arg(code));
        if (qEnvironmentVariableIsSet("TESTSERVICE_LOG"))
            logMessage(QStringLiteral("command %1").arg(code));
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("TESTSERVICE_REGISTRY"))
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, qEnvironmentVariable("TESTSERVICE_REGISTRY"));
    mrv::ApplicationVersion::appName_ = qgetenv("TESTSERVICE_NAME").toStdString();
    TestService service(argc, argv);
    service.setServiceFlags(QtServiceBase::ServiceFlags(qEnvironmentVariableIntValue("TESTSERVICE_FLAGS")));
    return service.exec();
}
