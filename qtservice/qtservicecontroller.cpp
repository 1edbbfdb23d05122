#include "qtservicecontroller.h"

#include "controlsocket.h"

#include <QProcess>
#include <QSettings>

#include <cstdio>
#include <memory>

namespace {

// The registry of installed services: one group per service below
// "services" in the system-wide store of the framework.
std::unique_ptr<QSettings> openRegistry()
{
    return std::make_unique<QSettings>(QSettings::SystemScope, QStringLiteral("QtSoftware"));
}

QVariant registryValue(const QString &name, const QString &key)
{
    const auto registry = openRegistry();
    return registry->value(QStringLiteral("services/") + name + QLatin1Char('/') + key);
}

// sync() and status() of a store just written; reports a store that cannot
// be written, as admins meet it without root rights.
bool committed(QSettings &registry, const char *action, const QString &name)
{
    registry.sync();
    const QSettings::Status status = registry.status();
    if (status == QSettings::AccessError) {
        fprintf(stderr, "Cannot %s \"%s\". Cannot write to: %s. Check permissions.\n", action,
                name.toLatin1().constData(), registry.fileName().toLatin1().constData());
    }
    return status == QSettings::NoError;
}

} // namespace

QtServiceController::QtServiceController(const QString &name)
    : name(name)
{
}

QtServiceController::~QtServiceController() = default;

QString QtServiceController::serviceName() const
{
    return name;
}

bool QtServiceController::isInstalled() const
{
    const auto registry = openRegistry();
    registry->beginGroup(QStringLiteral("services"));
    const QStringList services = registry->childGroups();
    registry->endGroup();
    return services.contains(name);
}

bool QtServiceController::isRunning() const
{
    // A daemon of any user that accepts on the socket runs, as the lock of
    // this user's own, or root's, shows one.
    return findServiceDaemon(name).running;
}

bool QtServiceController::uninstall()
{
    const auto registry = openRegistry();
    registry->beginGroup(QStringLiteral("services"));
    registry->remove(name);
    registry->endGroup();
    return committed(*registry, "uninstall", name);
}

QString QtServiceController::serviceDescription() const
{
    return registryValue(name, QStringLiteral("description")).toString();
}

int QtServiceController::startupType() const
{
    return registryValue(name, QStringLiteral("startupType")).toInt();
}

QString QtServiceController::serviceFilePath() const
{
    return registryValue(name, QStringLiteral("path")).toString();
}

bool QtServiceController::start(const QStringList &arguments)
{
    if (!isInstalled() || isRunning())
        return false;
    return QProcess::startDetached(serviceFilePath(), arguments, QString());
}

bool QtServiceController::start()
{
    return start(QStringList());
}

bool QtServiceController::stop()
{
    return sendControlCommand(name, QStringLiteral("terminate"));
}

bool QtServiceController::pause()
{
    return sendControlCommand(name, QStringLiteral("pause"));
}

bool QtServiceController::resume()
{
    return sendControlCommand(name, QStringLiteral("resume"));
}

bool QtServiceController::sendCommand(int code)
{
    return sendControlCommand(name, QStringLiteral("num:") + QString::number(code));
}

bool QtServiceController::install(const QString &serviceFilePath, const QString &account,
                                  const QString &password)
{
    return QProcess::execute(serviceFilePath,
                             { QStringLiteral("-i"), account, password }) == 0;
}

bool QtServiceController::registerService(const QString &name, const QString &filePath,
                                          const QString &description, int startupType)
{
    const auto registry = openRegistry();
    registry->beginGroup(QStringLiteral("services"));
    registry->beginGroup(name);
    registry->setValue(QStringLiteral("path"), filePath);
    registry->setValue(QStringLiteral("description"), description);
    registry->setValue(QStringLiteral("automaticStartup"), startupType);
    registry->endGroup();
    registry->endGroup();
    return committed(*registry, "install", name);
}
