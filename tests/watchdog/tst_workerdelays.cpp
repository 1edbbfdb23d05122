// The product's own delays: the first start five seconds after start(), and
// every restart five seconds after a worker ended.

#include "watchdogtestsupport.h"

#include "applicationversion.h"
#include "deadlinetimer.h"

#include <QElapsedTimer>

using namespace WatchdogTest;

class tst_WorkerDelays : public FixtureTest
{
    Q_OBJECT

private Q_SLOTS:
    void startAndRestartAfterFiveSeconds();
    void deadlinesEachCalledOnceInTheirOrder_data();
    void deadlinesEachCalledOnceInTheirOrder();
};

void tst_WorkerDelays::startAndRestartAfterFiveSeconds()
{
    constexpr qint64 delayMs = 5000;
    constexpr qint64 toleranceMs = 500;
    const auto startedAt = [this](qint64 pid) {
        return f->messages.timeOf(QtDebugMsg, u"\"Started with PID: %1\""_s.arg(pid));
    };
    QVERIFY(f->writeWorkerSettings(true, false));
    const QString deathTime = f->filePath(u"death.time"_s);
    f->script.set("RENDER_WORKER_CPU_EXIT_AFTER_MS", "300");
    f->script.set("RENDER_WORKER_CPU_DEATH_TIME", QFile::encodeName(deathTime));
    TestService service(f->path(), workerProgram, workerName, productDelays);

    const qint64 calledAt = QDateTime::currentMSecsSinceEpoch();
    service.start();

    // start() reports at once and starts nothing yet.
    QCOMPARE(f->messages.count(QtDebugMsg, u"\"Starting %1 from %2 \""_s.arg(workerName, workerProgram)),
             1);
    QCOMPARE(f->messages.count(QtDebugMsg, u"WatchDog( QVersionNumber(%1.%2.%3.%4) ) for:  \"%5\""_s
                                                   .arg(mrv::ApplicationVersion::major_)
                                                   .arg(mrv::ApplicationVersion::minor_)
                                                   .arg(mrv::ApplicationVersion::patch_)
                                                   .arg(mrv::ApplicationVersion::build_)
                                                   .arg(workerName)),
             1);
    QVERIFY(!service.cpuProc);

    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 1, int(delayMs + 3000));
    f->script.restore(); // the successor runs until stopped
    const qint64 firstDelay = startedAt(f->starts().at(0).pid) - calledAt;
    QVERIFY2(qAbs(firstDelay - delayMs) <= toleranceMs, qPrintable(u"first start after %1 ms"_s.arg(firstDelay)));

    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, int(delayMs + 3000));
    const qint64 endedAt = readFile(deathTime).trimmed().toLongLong() / 1000000;
    QVERIFY(endedAt > 0);
    const qint64 restartDelay = startedAt(f->starts().at(1).pid) - endedAt;
    QVERIFY2(qAbs(restartDelay - delayMs) <= toleranceMs,
             qPrintable(u"restart after %1 ms"_s.arg(restartDelay)));
    QVERIFY(f->messages.texts(QtCriticalMsg).isEmpty());
}

void tst_WorkerDelays::deadlinesEachCalledOnceInTheirOrder_data()
{
    QTest::addColumn<QList<int>>("delaysMs");
    QTest::newRow("one") << QList<int>{ 100 };
    QTest::newRow("later one first") << QList<int>{ 600, 100 };
    QTest::newRow("in order") << QList<int>{ 100, 600 };
    QTest::newRow("two at once, one earlier") << QList<int>{ 600, 600, 50 };
}

// A restart pending for one worker must not hold back an earlier one of the
// other, and none may come early: each deadline is called once, at or after
// its time, and before the next later one is due.
void tst_WorkerDelays::deadlinesEachCalledOnceInTheirOrder()
{
    QFETCH(QList<int>, delaysMs);
    QElapsedTimer clock;
    QList<qint64> calledAtMs;
    DeadlineTimer timer([&] { calledAtMs.append(clock.elapsed()); });
    clock.start();
    for (int delayMs : std::as_const(delaysMs))
        timer.start(delayMs);
    QCOMPARE(timer.pendingCount(), delaysMs.size());

    QTRY_COMPARE(calledAtMs.size(), delaysMs.size());
    std::sort(delaysMs.begin(), delaysMs.end());
    for (qsizetype i = 0; i < delaysMs.size(); ++i) {
        QVERIFY2(calledAtMs.at(i) >= delaysMs.at(i), qPrintable(u"call %1 came early"_s.arg(i)));
        if (i + 1 < delaysMs.size() && delaysMs.at(i + 1) > delaysMs.at(i))
            QVERIFY2(calledAtMs.at(i) < delaysMs.at(i + 1), qPrintable(u"call %1 waited for a later deadline"_s.arg(i)));
    }
    QCOMPARE(timer.pendingCount(), 0);
    QTest::qWait(100);
    QCOMPARE(calledAtMs.size(), delaysMs.size());
}

QTEST_GUILESS_MAIN(tst_WorkerDelays)
#include "tst_workerdelays.moc"
