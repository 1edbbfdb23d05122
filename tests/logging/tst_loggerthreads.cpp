#include "logger.h"
#include "loggertestsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <vector>

using namespace LoggerTest;

class TestLoggerThreads : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void eightThreadsWriteWholeLines();
};

void TestLoggerThreads::cleanup()
{
    resetLogger(QString());
}

void TestLoggerThreads::eightThreadsWriteWholeLines()
{
    constexpr int threadCount = 8;
    constexpr int entriesPerThread = 10000;
    // Long enough that a torn or interleaved write would show inside a line.
    const QByteArray payload(200, 'x');

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    resetLogger(dir.path(), 4);
    // A fixed day keeps every entry in one file, in the order of writing.
    Logger::instance().setClock(fixedMoment);
    {
        const ScopedLoggerHandler handler;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int thread = 0; thread < threadCount; ++thread) {
            threads.emplace_back(QThread::create([thread, &payload] {
                for (int entry = 0; entry < entriesPerThread; ++entry)
                    qInfo("thread %d entry %d %s", thread, entry, payload.constData());
            }));
            threads.back()->start();
        }
        for (const auto &thread : threads)
            QVERIFY(thread->wait());
    }

    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
    QByteArray all = readAll(Logger::instance().currentLogFilePath());
    QVERIFY(all.endsWith('\n'));
    all.chop(1);
    const QByteArrayList lines = all.split('\n');
    QCOMPARE(lines.size(), threadCount * entriesPerThread);

    const QRegularExpression shape(QStringLiteral(
        "^Fri Dec 4 03:35:01 2026 \\[II default  \\] thread (\\d) entry (\\d+) x{200}$"));
    std::vector<int> nextEntry(threadCount, 0);
    for (const QByteArray &line : lines) {
        const QRegularExpressionMatch match = shape.match(QString::fromUtf8(line));
        QVERIFY2(match.hasMatch(), line.constData());
        const int thread = match.captured(1).toInt();
        QVERIFY2(thread < threadCount, line.constData());
        // Each thread's entries appear once each, in the order it wrote them.
        QCOMPARE(match.captured(2).toInt(), nextEntry[thread]);
        ++nextEntry[thread];
    }
}

QTEST_GUILESS_MAIN(TestLoggerThreads)

#include "tst_loggerthreads.moc"
