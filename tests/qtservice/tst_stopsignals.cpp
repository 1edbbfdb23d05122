// A stop signal that reaches a service whose run is already over must not
// kill the process before it has cleaned up: Ctrl-C reaches the whole process
// group and a kill may follow, so a second SIGINT or SIGTERM can come while
// the first one's stop is being finished. The run needs a process of its own.

#include "servicetestsupport.h"

using namespace ServiceTest;

class tst_StopSignals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
    }
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
    LocalService service(uniqueServiceName(QStringLiteral("StopSignal")), 2, argv);
    service.quitInStart = true;
    QCOMPARE(service.exec(), 0);
    QCOMPARE(service.calls, QStringList{ "start" });

    // Without protection the default action would end this process here.
    QCOMPARE(::raise(signalNumber), 0);
    struct sigaction current = {};
    QCOMPARE(::sigaction(signalNumber, nullptr, &current), 0);
    QVERIFY(current.sa_handler == SIG_IGN);
}

QTEST_APPLESS_MAIN(tst_StopSignals)
#include "tst_stopsignals.moc"
