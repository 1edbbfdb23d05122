// The version file that redirects the watchdog to another worker
// installation, and the rollback to the default installed worker.

#include "watchdogtestsupport.h"

#include <QtTest>

#include <csignal>
#include <memory>

using namespace WatchdogTest;

namespace {

const QString rollbackLine = QStringLiteral("Will attempt to rollback to previous version");
const QString refusedLine = QStringLiteral(
        "Not rolling back since both CPU and GPU are enabled and one is still running!");

} // namespace

class tst_VersionOverride : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void programStarted_data();
    void programStarted();
    void rollbackWaitsForBothWorkers();
    void undeletableVersionFile();

private:
    // Fills in @ABSOLUTE@ (an installation outside the resource folder),
    // @RESOURCES@, @VERSION@ (the version file) and @DEFAULT@ (appPath).
    QString expand(QString text) const;

    // Two worker installations: @ABSOLUTE@ and versions/next below the
    // resource folder.
    bool installOverrides();

    std::unique_ptr<Fixture> f;
    std::unique_ptr<QTemporaryDir> installations;
};

void tst_VersionOverride::init()
{
    f = std::make_unique<Fixture>();
    installations = std::make_unique<QTemporaryDir>();
    QVERIFY(f->isValid());
    QVERIFY(installations->isValid());
    QVERIFY(installOverrides());
}

void tst_VersionOverride::cleanup()
{
    if (QTest::currentTestFailed())
        f->messages.dump();
    f.reset();
    installations.reset();
}

QString tst_VersionOverride::expand(QString text) const
{
    return text.replace(QLatin1String("@ABSOLUTE@"), installations->filePath(QStringLiteral("next")))
            .replace(QLatin1String("@RESOURCES@"), f->resources.path())
            .replace(QLatin1String("@VERSION@"), f->resources.versionFile())
            .replace(QLatin1String("@DEFAULT@"), workerProgram);
}

bool tst_VersionOverride::installOverrides()
{
    return installWorkerCopy(expand(QStringLiteral("@ABSOLUTE@")))
            && installWorkerCopy(expand(QStringLiteral("@RESOURCES@/versions/next")));
}

void tst_VersionOverride::programStarted_data()
{
    QTest::addColumn<QByteArray>("content"); // of the version file; null: no file
    QTest::addColumn<bool>("isFolder"); // a version "file" that cannot be opened
    QTest::addColumn<QString>("program"); // expected to be started
    QTest::addColumn<QStringList>("lines"); // debug lines besides the common ones

    const QString absolute = QStringLiteral("@ABSOLUTE@/Solvane Worker/bin/render_worker");
    const QString relative = QStringLiteral("@RESOURCES@/versions/next/Solvane Worker/bin/render_worker");
    const QString unreadable = QStringLiteral("Could not read data from: \"@VERSION@\"");

    QTest::newRow("absolute") << QByteArray("@ABSOLUTE@\n") << false << absolute
                              << QStringList{ "Read override: \"@ABSOLUTE@\"",
                                              "Full override path  \"" + absolute + "\"",
                                              "Setting new AppPath to:  \"" + absolute + "\"" };
    QTest::newRow("absolute, trailing slash")
            << QByteArray("@ABSOLUTE@/\n") << false << absolute
            << QStringList{ "Read override: \"@ABSOLUTE@/\"", "Full override path  \"" + absolute + "\"" };
    QTest::newRow("absolute, no line end") << QByteArray("@ABSOLUTE@") << false << absolute
                                           << QStringList{ "Read override: \"@ABSOLUTE@\"" };
    QTest::newRow("relative") << QByteArray("versions/next\n") << false << relative
                              << QStringList{ "Read override: \"versions/next\"",
                                              "Full override path  \"" + relative + "\"",
                                              "Setting new AppPath to:  \"" + relative + "\"" };
    QTest::newRow("CR LF, second line ignored")
            << QByteArray("@ABSOLUTE@\r\nversions/next\r\n") << false << absolute
            << QStringList{ "Read override: \"@ABSOLUTE@\"" };
    QTest::newRow("empty first line") << QByteArray("\n@ABSOLUTE@\n") << false << "@DEFAULT@"
                                      << QStringList{ unreadable };
    QTest::newRow("empty first line, CR LF") << QByteArray("\r\n@ABSOLUTE@\r\n") << false << "@DEFAULT@"
                                             << QStringList{ unreadable };
    QTest::newRow("empty file") << QByteArray("") << false << "@DEFAULT@" << QStringList{ unreadable };
    QTest::newRow("trailing blank")
            << QByteArray("@ABSOLUTE@ \n") << false << "@DEFAULT@"
            << QStringList{ "Read override: \"@ABSOLUTE@ \"",
                            "Full override path  \"@ABSOLUTE@ /Solvane Worker/bin/render_worker\"",
                            "Invalid override path:  \"@ABSOLUTE@ /Solvane Worker/bin/render_worker\"  "
                            "does not exist" };
    QTest::newRow("missing target")
            << QByteArray("@RESOURCES@/nowhere\n") << false << "@DEFAULT@"
            << QStringList{ "Invalid override path:  \"@RESOURCES@/nowhere/Solvane Worker/bin/render_worker\"  "
                            "does not exist" };
    QTest::newRow("no version file") << QByteArray() << false << "@DEFAULT@"
                                     << QStringList{ "There was no override file - will use defaults" };
    QTest::newRow("unreadable version file") << QByteArray() << true << "@DEFAULT@"
                                             << QStringList{ "Could not open the override file" };
}

// Each start looks at the version file afresh and starts the worker it names,
// or the default one; it never changes the file nor appPath.
void tst_VersionOverride::programStarted()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, isFolder);
    QFETCH(QString, program);
    QFETCH(QStringList, lines);
    program = expand(program);
    const QString versionFile = f->resources.versionFile();
    const QByteArray written = QFile::encodeName(expand(QString::fromUtf8(content)));
    if (isFolder)
        QVERIFY(QDir().mkpath(versionFile));
    else if (!content.isNull())
        QVERIFY(writeFile(versionFile, written));
    QVERIFY(f->resources.writeWorkerSettings(true, false));
    TestService service(workerName, workerProgram, f->resources.path());

    service.startProcess();

    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 1, waitMs);
    QCOMPARE(executableOf(f->starts().at(0).pid), canonical(program));
    QCOMPARE(service.appPath, workerProgram);
    const QStringList debug = f->messages.texts(QtDebugMsg);
    lines << QStringLiteral("Fallback configuration") << QStringLiteral("\tappPath: \"@DEFAULT@\"")
          << QStringLiteral("\tdatapath: \"@RESOURCES@\"") << QStringLiteral("\tappName: \"render_worker\"")
          << QStringLiteral("Looking for override: \"@VERSION@\"")
          << QStringLiteral("Starting process.. \"%1\" QList(\"--cpu\")").arg(program);
    for (const QString &line : std::as_const(lines))
        QVERIFY2(debug.count(expand(line)) == 1, qPrintable(expand(line)));
    const bool overridden = program != workerProgram;
    QCOMPARE(f->messages.countStarting(QtDebugMsg, QStringLiteral("Setting new AppPath to: ")),
             overridden ? 1 : 0);
    QVERIFY(f->messages.texts(QtCriticalMsg).isEmpty());

    QCOMPARE(QFileInfo::exists(versionFile), isFolder || !content.isNull());
    if (!content.isNull())
        QCOMPARE(readFile(versionFile), written);
}

// With both workers enabled a failed worker leaves the override alone while
// the other one runs; once both have ended, the override is rolled back.
void tst_VersionOverride::rollbackWaitsForBothWorkers()
{
    const QString overrideProgram = expand(QStringLiteral("@ABSOLUTE@/Solvane Worker/bin/render_worker"));
    QVERIFY(writeFile(f->resources.versionFile(), QFile::encodeName(expand(QStringLiteral("@ABSOLUTE@\n")))));
    QVERIFY(f->resources.writeWorkerSettings(true, true));
    f->script.set("CPU_CRASH_AFTER_MS", "300");
    TestService service(workerName, workerProgram, f->resources.path());

    service.startProcess();
    f->script.clear();
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 3, waitMs);
    const QList<WorkerEvent> starts = f->starts();
    QCOMPARE(starts.at(2).arguments, QStringLiteral("--cpu"));
    const qint64 gpuPid = service.gpuProc->processId();
    QVERIFY(!isGone(gpuPid));
    QCOMPARE(f->messages.count(QtWarningMsg, refusedLine), 1);
    QCOMPARE(f->messages.count(QtCriticalMsg, rollbackLine), 0);
    QVERIFY(QFileInfo::exists(f->resources.versionFile()));
    QCOMPARE(executableOf(starts.at(2).pid), canonical(overrideProgram));

    // Both end at once: whichever is handled first still sees the other
    // running; the second finds neither running and rolls back.
    QVERIFY(::kill(pid_t(starts.at(2).pid), SIGKILL) == 0);
    QVERIFY(::kill(pid_t(gpuPid), SIGKILL) == 0);

    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 5, waitMs);
    QCOMPARE(f->messages.count(QtWarningMsg, refusedLine), 2);
    QCOMPARE(f->messages.count(QtCriticalMsg, rollbackLine), 1);
    QCOMPARE(f->messages.count(QtDebugMsg, QStringLiteral("Rolling back to default installed version")), 1);
    QVERIFY(!QFileInfo::exists(f->resources.versionFile()));
    const QList<WorkerEvent> restarted = f->starts().mid(3);
    QCOMPARE(executableOf(restarted.at(0).pid), canonical(workerProgram));
    QCOMPARE(executableOf(restarted.at(1).pid), canonical(workerProgram));
}

// A version file that cannot be deleted stays in force: the failed worker is
// started again from the override.
void tst_VersionOverride::undeletableVersionFile()
{
    const QString overrideProgram = expand(QStringLiteral("@ABSOLUTE@/Solvane Worker/bin/render_worker"));
    QVERIFY(writeFile(f->resources.versionFile(), QFile::encodeName(expand(QStringLiteral("@ABSOLUTE@\n")))));
    const ImmutableFile immutable(f->resources.versionFile());
    if (!immutable.isValid())
        QSKIP("The file system of the temporary folder has no immutable attribute, or it needs "
              "privileges this test does not have");
    QVERIFY(f->resources.writeWorkerSettings(true, false));
    f->script.set("CPU_CRASH_AFTER_MS", "300");
    TestService service(workerName, workerProgram, f->resources.path());

    service.startProcess();
    f->script.clear();
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);

    QCOMPARE(f->messages.count(QtCriticalMsg, rollbackLine), 1);
    QCOMPARE(f->messages.count(QtDebugMsg, QStringLiteral("Rolling back to default installed version")), 1);
    QCOMPARE(f->messages.count(QtCriticalMsg, QStringLiteral("Could not perform rollback!!")), 1);
    QVERIFY(QFileInfo::exists(f->resources.versionFile()));
    QCOMPARE(executableOf(f->starts().at(1).pid), canonical(overrideProgram));
}

QTEST_GUILESS_MAIN(tst_VersionOverride)
#include "tst_versionoverride.moc"
