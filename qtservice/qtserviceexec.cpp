// The command line of a service executable: one administrative action on the
// installed service, a foreground run, or the start path (launch or daemon).

#include "qtservicebase.h"

#include "applicationversion.h"
#include "qtservicebase_p.h"
#include "qtservicecontroller.h"

#include <QtGlobal>

#include <cstdio>

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
    "\t-h(elp)   \t: Show this help\n"
    "\tNo arguments\t: Start the service.\n";

bool isOption(const QString &argument, const char *shortForm, const char *longForm)
{
    return argument == QLatin1String(shortForm) || argument == QLatin1String(longForm);
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
    int foreground();
    int terminate();
    int command();
    int help();
    int programVersion();
    int startPath();

    QString argument(int index) const { return d->args.value(index); }

    QtServiceBase *q;
    QtServiceBasePrivate *d;
    QtServiceController *controller;
    const QByteArray name;
};

int QtServiceCommandLine::dispatch()
{
    if (d->args.size() < 2)
        return startPath();
    const QString option = d->args.at(1);
    if (isOption(option, "-i", "-install"))
        return install();
    if (isOption(option, "-u", "-uninstall"))
        return uninstall();
    if (isOption(option, "-v", "-version"))
        return version();
    if (isOption(option, "-e", "-exec"))
        return foreground();
    if (isOption(option, "-t", "-terminate"))
        return terminate();
    if (isOption(option, "-p", "-pause")) {
        controller->pause();
        return 0;
    }
    if (isOption(option, "-r", "-resume")) {
        controller->resume();
        return 0;
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
    return startPath();
}

int QtServiceCommandLine::install()
{
    if (controller->isInstalled()) {
        fprintf(stderr, "The service %s is already installed\n", name.constData());
        return 0;
    }
    if (!q->install(argument(2), argument(3))) {
        fprintf(stderr, "The service %s could not be installed\n", name.constData());
        return -1;
    }
    printf("The service %s has been installed under: %s\n", name.constData(),
           latin1(q->executableFilePath()).constData());
    return 0;
}

int QtServiceCommandLine::uninstall()
{
    if (!controller->isInstalled()) {
        fprintf(stderr, "The service %s is not installed\n", name.constData());
        return 0;
    }
    if (!controller->uninstall()) {
        fprintf(stderr, "The service %s could not be uninstalled\n", name.constData());
        return -1;
    }
    printf("The service %s has been uninstalled.\n", name.constData());
    return 0;
}

int QtServiceCommandLine::version()
{
    printf("The service\n\t%s\n\t%s\n\n", name.constData(), latin1(argument(0)).constData());
    printf("is %s", controller->isInstalled() ? "installed" : "not installed");
    printf(" and %s\n\n", controller->isRunning() ? "running" : "not running");
    return 0;
}

int QtServiceCommandLine::foreground()
{
    d->args.removeAt(1);
    const int result = d->run(false, d->args);
    if (result == -1)
        qErrnoWarning("The service could not be executed.");
    return result;
}

int QtServiceCommandLine::terminate()
{
    if (controller->stop())
        return 0;
    qErrnoWarning("The service could not be stopped.");
    // Nothing to stop is no failure; a daemon that runs on is.
    return controller->isRunning() ? 1 : 0;
}

int QtServiceCommandLine::command()
{
    // No code, no number or one out of range all send 0.
    const int code = argument(2).toInt();
    controller->sendCommand(code);
    return 0;
}

int QtServiceCommandLine::help()
{
    printf(usageText, latin1(argument(0)).constData());
    return 0;
}

int QtServiceCommandLine::programVersion()
{
    using mrv::ApplicationVersion;
    printf("%s %d.%d.%d.%d\n", ApplicationVersion::appName_.c_str(), ApplicationVersion::major_,
           ApplicationVersion::minor_, ApplicationVersion::patch_, ApplicationVersion::build_);
    return 0;
}

int QtServiceCommandLine::startPath()
{
    if (qEnvironmentVariableIsSet("QTSERVICE_RUN")) {
        const int result = d->run(true, d->args);
        if (result == -1)
            qErrnoWarning("The service failed to run.");
        return result;
    }
    if (!d->launchDaemon()) {
        fprintf(stderr, "The service %s could not start\n", name.constData());
        return -4;
    }
    return 0;
}

int QtServiceBase::exec()
{
    return QtServiceCommandLine(this, d_ptr.get()).dispatch();
}
