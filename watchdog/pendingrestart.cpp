// An upgrade installs another watchdog program while this one runs on with
// its workers, so that no render is aborted: the watchdog notices, says that
// a restart is pending with both versions, and the new program takes over at
// the next start of the service.

#include "service.h"

#include "installedprogram.h"
#include "printable.h"

void Service::watchInstalledProgram()
{
    if (installedProgram || programPath.isEmpty())
        return;
    installedProgram = new InstalledProgram(programPath, this);
    connect(installedProgram, &InstalledProgram::changed, this, &Service::reportInstalledProgram);
}

void Service::reportInstalledProgram()
{
    if (installedProgram->isReplaced()) {
        const QString installed = installedProgram->version();
        logMessage(QStringLiteral("A restart is pending: %1 is installed at %2, %3 runs; the installed program "
                                  "takes over at the next start of the service")
                           .arg(installed.isEmpty() ? QStringLiteral("another version (unknown)") : installed,
                                printable(programPath), programVersionText()),
                   Information);
    }
    reportStatus();
}

QString Service::pendingVersion() const
{
    if (!installedProgram || !installedProgram->isReplaced())
        return QString();
    const QString installed = installedProgram->version();
    return installed.isEmpty() ? QStringLiteral("unknown") : installed;
}
