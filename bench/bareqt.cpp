// bench_bareqt [--exit] [library...]: a bare Qt program that loads the
// toolkit libraries the watchdog loads: QtCore, and each library named (for
// a watchdog built on QtNetwork, libQt6Network.so.6). With --exit it ends at
// once: the floor of the administrative commands. Without, it idles until
// killed: the toolkit's share of the watchdog's memory.

#include <QCoreApplication>

#include <dlfcn.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    for (const QString &argument : arguments) {
        if (!argument.startsWith(QLatin1String("--")) && !::dlopen(argument.toLocal8Bit().constData(), RTLD_NOW))
            return 2;
    }
    return arguments.contains(QLatin1String("--exit")) ? 0 : app.exec();
}
