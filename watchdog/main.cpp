#include "applicationversion.h"
#include "service.h"
#include "svnrservicecontroller.h"

int main(int argc, char **argv)
{
    const QString name = QStringLiteral("Solvane Render Worker");
    mrv::ApplicationVersion::appName_ = name.toStdString();
    SVNRServiceController controller(name);
    Service service(name, argc, argv, &controller);
    return service.exec();
}
