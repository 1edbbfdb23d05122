#ifndef QTSERVICE_H
#define QTSERVICE_H

#include "qtservicebase.h"

#include <QCoreApplication>

// A service whose process runs an application object of type Application.
// The framework deletes the application object after its event loop ends,
// so app must not be used afterwards.
template <typename Application>
class QtService : public QtServiceBase
{
public:
    QtService(int argc, char **argv, const QString &name, QtServiceController *controller)
        : QtServiceBase(argc, argv, name, controller)
    {
    }

protected:
    Application *application() const { return app; }

    void createApplication(int &argc, char **argv) override
    {
        app = new Application(argc, argv);
    }

    int executeApplication() override { return Application::exec(); }

    Application *app = nullptr;
};

#endif // QTSERVICE_H
