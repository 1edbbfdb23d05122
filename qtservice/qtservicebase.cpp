#include "qtservicebase.h"

#include "controlsocket.h"
#include "qtservicebase_p.h"
#include "qtservicecontroller.h"
#include "qtservicesysprivate.h"
#include "servicelock.h"
#include "servicestatus.h"
#include "systemdnotifier.h"
#include "systemlog.h"

#include <QtGlobal>

#include <cstdio>

namespace {

QtServiceBase *serviceInstance = nullptr;

constexpr int maxServiceNameLength = 255;

// Service names become registry groups, socket paths and log identifiers;
// they are repaired with a warning rather than refused.
QString repairedServiceName(const QString &name)
{
    QString repaired = name;
    if (repaired.size() > maxServiceNameLength) {
        qWarning("QtService: 'name' is longer than %d characters.", maxServiceNameLength);
        repaired.truncate(maxServiceNameLength);
    }
    if (repaired.contains(QLatin1Char('\\'))) {
        qWarning("QtService: 'name' contains backslashes '\\'.");
        repaired.replace(QLatin1Char('\\'), QChar(u'\0'));
    }
    return repaired;
}

} // namespace

QtServiceBase::QtServiceBase(int argc, char **argv, const QString &name,
                             QtServiceController *controller)
{
    serviceInstance = this;
    const QString repaired = repairedServiceName(name);
    if (!controller) {
        ownedController = std::make_unique<QtServiceController>(repaired);
        controller = ownedController.get();
    }
    d_ptr = std::make_unique<QtServiceBasePrivate>(this, controller);
    for (int i = 0; i < argc; ++i)
        d_ptr->args.append(QString::fromLocal8Bit(argv[i]));
}

QtServiceBase::~QtServiceBase()
{
    d_ptr.reset();
    serviceInstance = nullptr;
    ownedController.reset();
}

QtServiceBase *QtServiceBase::instance()
{
    return serviceInstance;
}

QString QtServiceBase::serviceName() const
{
    return d_ptr->controller->serviceName();
}

QString QtServiceBase::statusFilePath() const
{
    return ServiceStatus::pathFor(ServiceLock::runtimeFolder(), sanitizedName(serviceName()));
}

QString QtServiceBase::serviceDescription() const
{
    return d_ptr->description;
}

void QtServiceBase::setServiceDescription(const QString &description)
{
    d_ptr->description = description;
}

int QtServiceBase::startupType() const
{
    return d_ptr->startupType;
}

void QtServiceBase::setStartupType(int startupType)
{
    d_ptr->startupType = startupType;
}

QtServiceBase::ServiceFlags QtServiceBase::serviceFlags() const
{
    return d_ptr->serviceFlags;
}

void QtServiceBase::setServiceFlags(ServiceFlags flags)
{
    if (d_ptr->serviceFlags == flags)
        return;
    d_ptr->serviceFlags = flags;
    if (d_ptr->controlServer)
        d_ptr->controlServer->serviceFlags = flags;
}

void QtServiceBase::stop()
{
}

void QtServiceBase::pause()
{
}

void QtServiceBase::resume()
{
}

void QtServiceBase::reload()
{
}

bool QtServiceBase::install(const QString &account, const QString &password)
{
    // Registration records where the executable is; the account and password
    // have no meaning for a Unix daemon and are stored nowhere.
    Q_UNUSED(account);
    Q_UNUSED(password);
    return d_ptr->install();
}

void QtServiceBase::processCommand(int code)
{
    Q_UNUSED(code);
}

QtServiceBasePrivate::QtServiceBasePrivate(QtServiceBase *owner, QtServiceController *ctrl)
    : q_ptr(owner), controller(ctrl)
{
}

QtServiceBasePrivate::~QtServiceBasePrivate() = default;

bool QtServiceBasePrivate::install()
{
    return QtServiceController::registerService(controller->serviceName(),
                                                q_ptr->executableFilePath(), description,
                                                startupType);
}

void QtServiceBasePrivate::startService()
{
    q_ptr->start();
}

void QtServiceBasePrivate::stopService()
{
    SystemdNotifier::notifyStopping();
    q_ptr->stop();
}

void QtServiceBasePrivate::pauseService()
{
    q_ptr->pause();
}

void QtServiceBasePrivate::resumeService()
{
    q_ptr->resume();
}

void QtServiceBasePrivate::reloadService()
{
    q_ptr->reload();
}

void QtServiceBasePrivate::processCommand(int code)
{
    q_ptr->processCommand(code);
}
