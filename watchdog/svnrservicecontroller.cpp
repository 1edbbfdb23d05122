#include "svnrservicecontroller.h"

SVNRServiceController::SVNRServiceController(const QString &name)
    : QtServiceController(name)
{
}

bool SVNRServiceController::isInstalled() const
{
    return QtServiceController::isInstalled();
}

bool SVNRServiceController::uninstall()
{
    return QtServiceController::uninstall();
}
