// A stop signal that reaches a service whose run is already over must not
// kill the process before it has cleaned up: Ctrl-C reaches the whole process
// group and a kill may follow, so a second SIGINT or SIGTERM can come while
// the first one's stop is being finished.

#include "qtservice.h"

#include <QCoreApplication>
#include <QTest>

#include <csignal>
#include <unistd.h>

namespace {

// A service whose run ends as soon as it starts.
class EndingService : public QtService<QCoreApplication>
{
public:
    EndingService(int argc, char **argv, const QString &name)
        : QtService<QCoreApplication>(argc, argv, name, nullptr)
    {
    }

protected:
    void start() override { QCoreApplication::quit(); }
};

void restoreDefaultStopSignals()
{
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
}

} // namespace

class tst_StopSignals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { restoreDefaultStopSignals(); }
    void signalsAfterTheRunAreHarmless_data();
    void signalsAfterTheRunAreHarmless();
};

void tst_StopSignals::signalsAfterTheRunAreHarmless_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

void tst_StopSignals::signalsAfterTheRunAreHarmless()
{
    QFETCH(int, signalNumber);
    char program[] = "tst_stopsignals";
    char foreground[] = "-e";
    char *argv[] = { program, foreground, nullptr };
    EndingService service(2, argv, QStringLiteral("Watchdog Stop Signal Test %1").arg(::getpid()));
    QCOMPARE(service.exec(), 0);

    // Without protection the default action would end this process here.
    QCOMPARE(::raise(signalNumber), 0);
    struct sigaction current = {};
    QCOMPARE(::sigaction(signalNumber, nullptr, &current), 0);
    QVERIFY(current.sa_handler == SIG_IGN);
}

QTEST_APPLESS_MAIN(tst_StopSignals)

#include "tst_stopsignals.moc"
