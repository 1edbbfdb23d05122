// bench_barenetwork: an idle Qt program with QtNetwork loaded and one
// (unbound) TCP server object; the floor of the daemon's memory footprint.
// Runs its event loop until killed.

#include <QCoreApplication>
#include <QTcpServer>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTcpServer server;
    return app.exec();
}
