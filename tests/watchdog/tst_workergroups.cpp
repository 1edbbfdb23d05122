// A stop is never a failure and a worker leaves nothing behind: workers in
// process groups of their own, which signals to the watchdog's group do not
// reach and which end whole; and a start that failed for the watchdog's own
// want of descriptors rolls nothing back.

#include "watchdogtestsupport.h"

#include <fcntl.h>
#include <unistd.h>

using namespace WatchdogTest;

namespace {

// A worker program that starts a helper, records the helper's pid in
// "helpers" beside it, and runs on, or ends after a moment with exitCode.
bool writeWorkerScript(const QString &path, const QByteArray &ending)
{
    const QByteArray helpers = QFile::encodeName(QFileInfo(path).absolutePath() + u"/helpers"_s);
    return QDir().mkpath(QFileInfo(path).absolutePath())
        && writeFile(path, "#!/bin/sh\nsleep 1000 &\necho $! >> '" + helpers + "'\n" + ending + "\n")
        && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QList<qint64> pidsIn(const QString &path)
{
    QList<qint64> pids;
    for (const QByteArray &line : readFile(path).split('\n')) {
        if (!line.isEmpty())
            pids << line.toLongLong();
    }
    return pids;
}

} // namespace

class tst_WorkerGroups : public FixtureTest
{
    Q_OBJECT

private Q_SLOTS:
    void groupSignalIsNoWorkerFailure_data();
    void groupSignalIsNoWorkerFailure();
    void helpersEndWithTheirWorker();
    void outOfDescriptorsRollsNothingBack();
};

void tst_WorkerGroups::groupSignalIsNoWorkerFailure_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("Ctrl-C on -e") << int(SIGINT);
    QTest::newRow("SIGTERM to the group") << int(SIGTERM);
}

// The real watchdog in the foreground, redirected to a worker that dies of
// any stop signal: a signal to the watchdog's whole group ends the run, and
// the redirection survives it.
void tst_WorkerGroups::groupSignalIsNoWorkerFailure()
{
    QFETCH(int, signalNumber);
    const QString bin = f->filePath(u"bin"_s);
    const QString next = f->filePath(u"next"_s);
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QFile::copy(QStringLiteral(WATCHDOG_PATH), bin + u"/render_worker_watchdog"_s));
    QVERIFY(writeFile(bin + u"/resources.ini"_s, "resources=" + QFile::encodeName(f->path())));
    QVERIFY(writeWorkerScript(next + u"/"_s + workerBin, "exec sleep 1000"));
    QVERIFY(writeFile(f->versionFile(), QFile::encodeName(next)));

    QProcess watchdog;
    watchdog.setStandardOutputFile(f->filePath(u"watchdog.out"_s));
    watchdog.setProcessChannelMode(QProcess::MergedChannels);
    watchdog.setChildProcessModifier([] { ::setpgid(0, 0); });
    watchdog.start(bin + u"/render_worker_watchdog"_s, { u"-e"_s });
    QVERIFY(watchdog.waitForStarted());
    // The first start comes five seconds after the watchdog's own.
    const QString helpers = QFileInfo(next + u"/"_s + workerBin).absolutePath() + u"/helpers"_s;
    QTRY_COMPARE_WITH_TIMEOUT(pidsIn(helpers).size(), 1, 15000);

    QCOMPARE(::kill(-pid_t(watchdog.processId()), signalNumber), 0);
    QVERIFY(watchdog.waitForFinished(waitMs));
    QCOMPARE(watchdog.exitCode(), 0);
    QVERIFY2(QFileInfo::exists(f->versionFile()), readFile(f->filePath(u"watchdog.out"_s)).constData());
    QVERIFY(!readFile(f->filePath(u"watchdog.out"_s)).contains("Procces crashed"));
    QTRY_VERIFY(isGone(pidsIn(helpers).first()));
}

// A worker that starts a helper and ends: the helper ends before the
// restart; the one of the running worker ends with its stop.
void tst_WorkerGroups::helpersEndWithTheirWorker()
{
    QVERIFY(f->writeWorkerSettings(true, false));
    const QString program = f->filePath(u"forking/render_worker"_s);
    QVERIFY(writeWorkerScript(program, "sleep 0.2; exit 0"));
    const QString helpers = f->filePath(u"forking/helpers"_s);
    TestService service(f->path(), program);
    service.startProcess();
    QTRY_VERIFY_WITH_TIMEOUT(pidsIn(helpers).size() >= 3, waitMs);
    service.stop();
    for (const qint64 helper : pidsIn(helpers))
        QTRY_VERIFY(isGone(helper));
}

// No descriptor left for the pipes of a start: the start is retried like
// any, and the redirected installation is kept.
void tst_WorkerGroups::outOfDescriptorsRollsNothingBack()
{
    QVERIFY(f->writeWorkerSettings(true, false));
    QVERIFY(installWorkerCopy(f->filePath(u"next"_s)));
    QVERIFY(writeFile(f->versionFile(), QFile::encodeName(f->filePath(u"next"_s))));
    TestService service(f->path());
    std::vector<int> filler;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        filler.push_back(fd);
    service.startProcess();
    for (const int fd : filler)
        ::close(fd);
    QCOMPARE(f->messages.count(QtCriticalMsg, QString::fromLatin1(
            "The process failed to start. Either the invoked program is missing, or you may have "
            "insufficient permissions to invoke the program.")), 1);
    QVERIFY(QFileInfo::exists(f->versionFile()));
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 1, waitMs);
    QCOMPARE(executableOf(f->starts().first().pid), canonical(f->filePath(u"next/"_s + workerBin)));
    service.stop();
}

QTEST_GUILESS_MAIN(tst_WorkerGroups)
#include "tst_workergroups.moc"
