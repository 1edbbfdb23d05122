// bench_bareapp: a Qt program that creates its application object and exits
// at once; the floor of an administrative command's wall time.

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return 0;
}
