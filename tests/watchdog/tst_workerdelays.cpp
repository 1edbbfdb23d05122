// The product's own delays: the first start five seconds after start(), and
// every restart five seconds after a worker ended.

#include "watchdogtestsupport.h"

#include "applicationversion.h"

#include <QtTest>

#include <memory>

using namespace WatchdogTest;

namespace {

constexpr qint64 delayMs = 5000;
constexpr qint64 toleranceMs = 500;
constexpr int delayWaitMs = int(delayMs + 3000);

QString versionText()
{
    return QStringLiteral("QVersionNumber(%1.%2.%3.%4)")
            .arg(mrv::ApplicationVersion::major_)
            .arg(mrv::ApplicationVersion::minor_)
            .arg(mrv::ApplicationVersion::patch_)
            .arg(mrv::ApplicationVersion::build_);
}

} // namespace

class tst_WorkerDelays : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void startAndRestartAfterFiveSeconds();

private:
    std::unique_ptr<Fixture> f;
};

void tst_WorkerDelays::init()
{
    f = std::make_unique<Fixture>();
    QVERIFY(f->isValid());
}

void tst_WorkerDelays::cleanup()
{
    if (QTest::currentTestFailed())
        f->messages.dump();
    f.reset();
}

void tst_WorkerDelays::startAndRestartAfterFiveSeconds()
{
    QVERIFY(f->resources.writeWorkerSettings(true, false));
    const QString deathTime = f->resources.filePath(QStringLiteral("death.time"));
    f->script.set("CPU_EXIT_AFTER_MS", "300");
    f->script.set("CPU_DEATH_TIME", QFile::encodeName(deathTime));
    TestService service(workerName, workerProgram, f->resources.path(), TestService::ProductDelays);

    const qint64 startedAt = QDateTime::currentMSecsSinceEpoch();
    service.start();

    // start() reports at once and starts nothing yet.
    QCOMPARE(f->messages.count(QtDebugMsg,
                               QStringLiteral("\"Starting %1 from %2 \"").arg(workerName, workerProgram)),
             1);
    QCOMPARE(f->messages.count(QtDebugMsg, QStringLiteral("WatchDog( %1 ) for:  \"%2\"")
                                                   .arg(versionText(), workerName)),
             1);
    QVERIFY(!service.cpuProc);

    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 1, delayWaitMs);
    // The first worker has its script; its successor runs until stopped.
    f->script.clear();
    const qint64 firstPid = f->starts().at(0).pid;
    const qint64 launchedAt =
            f->messages.timeOf(QtDebugMsg, QStringLiteral("\"Started with PID: %1\"").arg(firstPid));
    QVERIFY2(qAbs(launchedAt - startedAt - delayMs) <= toleranceMs,
             qPrintable(QStringLiteral("first start after %1 ms").arg(launchedAt - startedAt)));

    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, delayWaitMs);
    const qint64 secondPid = f->starts().at(1).pid;
    const qint64 endedAt = readFile(deathTime).trimmed().toLongLong() / 1000000;
    const qint64 restartedAt =
            f->messages.timeOf(QtDebugMsg, QStringLiteral("\"Started with PID: %1\"").arg(secondPid));
    QVERIFY(endedAt > 0);
    QVERIFY2(qAbs(restartedAt - endedAt - delayMs) <= toleranceMs,
             qPrintable(QStringLiteral("restart after %1 ms").arg(restartedAt - endedAt)));
    QVERIFY(f->messages.texts(QtCriticalMsg).isEmpty());
}

QTEST_GUILESS_MAIN(tst_WorkerDelays)
#include "tst_workerdelays.moc"
