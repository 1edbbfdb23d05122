// bench_barenetwork [--exit]: a bare Qt program that loads the toolkit
// libraries the watchdog loads (one unbound TCP server object pulls in
// QtNetwork). With --exit it ends at once: the floor of the administrative
// commands. Without, it idles until killed: the toolkit's share of the
// watchdog's memory.

#include <QCoreApplication>
#include <QTcpServer>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTcpServer server;
    return argc > 1 ? 0 : app.exec();
}
