#include "logger.h"
#include "loggertestsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace LoggerTest;

namespace {

// Twelve dated files of the prefix, listed out of date order; the three
// oldest are not the first three by name.
const QStringList twelveDated = {
    "watchdog_w_01_Dec_2026.log", "watchdog_w_30_Apr_2026.log", "watchdog_w_05_Jan_2027.log",
    "watchdog_w_02_Dec_2026.log", "watchdog_w_15_Dec_2025.log", "watchdog_w_01_Aug_2026.log",
    "watchdog_w_31_Dec_2026.log", "watchdog_w_28_Nov_2026.log", "watchdog_w_03_Dec_2026.log",
    "watchdog_w_02_Jan_2026.log", "watchdog_w_10_Dec_2026.log", "watchdog_w_01_Jan_2027.log",
};
const QStringList threeOldest = {
    "watchdog_w_15_Dec_2025.log", "watchdog_w_02_Jan_2026.log", "watchdog_w_30_Apr_2026.log",
};
const QStringList threeDated = {
    "watchdog_w_05_Dec_2026.log", "watchdog_w_03_Dec_2026.log", "watchdog_w_04_Dec_2026.log",
};
const QStringList threeDatedOldestFirst = {
    "watchdog_w_03_Dec_2026.log", "watchdog_w_04_Dec_2026.log", "watchdog_w_05_Dec_2026.log",
};

} // namespace

class TestOldLogs : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void removeOldLogs_data();
    void removeOldLogs();
    void oneKeyForSeveralFiles_data();
    void oneKeyForSeveralFiles();

private:
    // Creates the names (a trailing "/" makes a folder).
    bool create(const QStringList &names) const;
    QByteArray removalLines(const QStringList &names) const;
    QByteArray runRemoval(int daysToKeep, bool echo) const;

    std::unique_ptr<QTemporaryDir> dir;
};

void TestOldLogs::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    resetLogger(dir->path());
}

void TestOldLogs::cleanup()
{
    resetLogger(QString());
    dir.reset();
}

bool TestOldLogs::create(const QStringList &names) const
{
    for (const QString &name : names) {
        if (name.endsWith(QLatin1Char('/'))) {
            if (!QDir().mkdir(dir->filePath(name)))
                return false;
            continue;
        }
        QFile file(dir->filePath(name));
        if (!file.open(QIODevice::WriteOnly))
            return false;
    }
    return true;
}

QByteArray TestOldLogs::removalLines(const QStringList &names) const
{
    QByteArray lines;
    for (const QString &name : names)
        lines += "Removing old log " + dir->filePath(name).toUtf8() + "\n";
    return lines;
}

QByteArray TestOldLogs::runRemoval(int daysToKeep, bool echo) const
{
    Logger::instance().setEchoToStdout(echo);
    StdoutCapture capture;
    Logger::instance().removeOldLogs(daysToKeep);
    return capture.finish();
}

void TestOldLogs::removeOldLogs_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("daysToKeep");
    QTest::addColumn<bool>("echo");
    QTest::addColumn<QStringList>("removed"); // oldest first

    QTest::newRow("ten kept of twelve") << twelveDated << 10 << true << threeOldest;
    QTest::newRow("ten kept of twelve, silent") << twelveDated << 10 << false << threeOldest;
    QTest::newRow("fewer files than kept") << threeDated << 10 << true << QStringList();
    QTest::newRow("keep one") << threeDated << 1 << true << threeDatedOldestFirst;
    QTest::newRow("keep zero") << threeDated << 0 << true << threeDatedOldestFirst;
    QTest::newRow("keep negative") << threeDated << -3 << true << threeDatedOldestFirst;
    QTest::newRow("keep two") << threeDated << 2 << true << threeDatedOldestFirst.mid(0, 2);
    QTest::newRow("foreign prefixes") << QStringList{
            "manager_w_01_Jan_2020.log", "watchdog_x_01_Jan_2020.log",
            "Watchdog_w_01_Jan_2020.log", "xwatchdog_w_01_Jan_2020.log",
            "watchdog_w_02_Jan_2020.log/", "watchdog_w_03_Jan_2020.log"}
        << 0 << true << QStringList{"watchdog_w_03_Jan_2020.log"};
    QTest::newRow("too few parts") << QStringList{
            "watchdog_w_.log", "watchdog_w__.log", "watchdog_w_.log.log", "watchdog_w____",
            "watchdog_w_03_Jan_2020.log"}
        << 0 << true << QStringList{"watchdog_w_03_Jan_2020.log"};
    QTest::newRow("no date goes first") << QStringList{
            "watchdog_w_05_Dec_2026.log", "watchdog_w_notes.log", "watchdog_w_03_Dec_2026.log",
            "watchdog_w_04_Dec_2026.log"}
        << 3 << true << QStringList{"watchdog_w_notes.log", "watchdog_w_03_Dec_2026.log"};
    QTest::newRow("copy with a further suffix") << QStringList{
            "watchdog_w_04_Dec_2026.log", "watchdog_w_04_Dec_2026.log.1"}
        << 2 << true << QStringList{"watchdog_w_04_Dec_2026.log.1"};
    QTest::newRow("hidden files are listed") << QStringList{
            "watchdog_w_04_Dec_2026.log", "watchdog_w_.hidden_03_Dec_2026.log"}
        << 2 << true << QStringList{"watchdog_w_.hidden_03_Dec_2026.log"};
}

void TestOldLogs::removeOldLogs()
{
    QFETCH(QStringList, files);
    QFETCH(int, daysToKeep);
    QFETCH(bool, echo);
    QFETCH(QStringList, removed);

    QVERIFY(create(files));
    const QByteArray printed = runRemoval(daysToKeep, echo);

    QCOMPARE(printed, echo ? removalLines(removed) : QByteArray());
    for (const QString &name : files)
        QVERIFY2(QFileInfo::exists(dir->filePath(name)) != removed.contains(name), qPrintable(name));
}

void TestOldLogs::oneKeyForSeveralFiles_data()
{
    QTest::addColumn<QStringList>("sharingKey"); // only the one listed last is a candidate
    QTest::addColumn<QStringList>("removedBefore");
    QTest::addColumn<QStringList>("removedAfter");

    QTest::newRow("two files without a date")
        << QStringList{"watchdog_w_notes.log", "watchdog_w_04_Dec_2026_old.log"}
        << QStringList() << QStringList{"watchdog_w_05_Dec_2026.log"};
    QTest::newRow("two files on one date")
        << QStringList{"watchdog_w_04_Dec_2026.log", "watchdog_w_gpu_04_Dec_2026.log"}
        << QStringList{"watchdog_w_03_Dec_2026.log"} << QStringList();
}

void TestOldLogs::oneKeyForSeveralFiles()
{
    QFETCH(QStringList, sharingKey);
    QFETCH(QStringList, removedBefore);
    QFETCH(QStringList, removedAfter);

    QVERIFY(create(sharingKey + removedBefore + removedAfter));
    QString candidate;
    const QStringList listing = QDir(dir->path()).entryList(QDir::Files | QDir::Hidden, QDir::NoSort);
    for (const QString &name : listing) {
        if (sharingKey.contains(name))
            candidate = name;
    }

    const QByteArray printed = runRemoval(0, true);

    QCOMPARE(printed, removalLines(removedBefore + QStringList{candidate} + removedAfter));
    for (const QString &name : sharingKey)
        QVERIFY2(QFileInfo::exists(dir->filePath(name)) == (name != candidate), qPrintable(name));
}

QTEST_GUILESS_MAIN(TestOldLogs)

#include "tst_oldlogs.moc"
