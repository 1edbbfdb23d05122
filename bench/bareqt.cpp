// bench_bareqt [--exit | --supervise program]: a bare Qt program that loads
// the toolkit libraries the watchdog loads, QtCore and QtNetwork. A
// QTcpSocket is made so that QtNetwork is really loaded and initialised, not
// just named and dropped by the linker.
//   --exit               ends at once: the floor of the administrative commands.
//   --supervise program  starts program with QProcess, as the watchdog starts
//                        its worker, and again at once whenever it ends; idles
//                        until killed: the toolkit's floor of the start-up, of
//                        noticing a worker's end and of its memory.
//   (nothing)            idles until killed.

#include <QCoreApplication>
#include <QProcess>
#include <QTcpSocket>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    const QTcpSocket socket;
    if (socket.state() != QAbstractSocket::UnconnectedState)
        return 2;
    if (arguments.value(0) == QLatin1String("--exit"))
        return 0;
    QProcess child;
    if (arguments.value(0) == QLatin1String("--supervise")) {
        const QString program = arguments.value(1);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        QObject::connect(&child, &QProcess::finished, &app, [&child, program] { child.start(program, {}); });
        child.start(program, {});
    }
    return app.exec();
}
