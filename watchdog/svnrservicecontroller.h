#ifndef SVNRSERVICECONTROLLER_H
#define SVNRSERVICECONTROLLER_H

#include "qtservicecontroller.h"

// The controller of the render worker watchdog service.
class SVNRServiceController : public QtServiceController
{
public:
    explicit SVNRServiceController(const QString &name);

    bool isInstalled() const override;
    bool uninstall() override;

    // Where the running executable lies; filled by the service.
    QString executablePath;
};

#endif // SVNRSERVICECONTROLLER_H
