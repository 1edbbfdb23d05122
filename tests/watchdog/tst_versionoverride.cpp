// The version file that redirects the watchdog to another worker
// installation, and the rollback to the default installed worker.

#include "watchdogtestsupport.h"

using namespace WatchdogTest;

namespace {

const QString absoluteProgram = u"@ABSOLUTE@/Solvane Worker/bin/render_worker"_s;

} // namespace

class tst_VersionOverride : public FixtureTest
{
    Q_OBJECT

private Q_SLOTS:
    void programStarted_data();
    void programStarted();
    void rollbackWaitsForBothWorkers();

private:
    // Fills in @ABSOLUTE@ (an installation named by its absolute path),
    // @RESOURCES@, @VERSION@ (the version file) and @DEFAULT@ (appPath).
    QString expand(QString text) const
    {
        return text.replace(u"@ABSOLUTE@"_s, f->filePath(u"elsewhere/next"_s))
                .replace(u"@RESOURCES@"_s, f->path())
                .replace(u"@VERSION@"_s, f->versionFile())
                .replace(u"@DEFAULT@"_s, workerProgram);
    }

    // Two worker installations, @ABSOLUTE@ and versions/next, and a version
    // file unless content is null.
    bool stage(const QByteArray &content) const
    {
        return installWorkerCopy(expand(u"@ABSOLUTE@"_s))
                && installWorkerCopy(expand(u"@RESOURCES@/versions/next"_s))
                && (content.isNull()
                    || writeFile(f->versionFile(), QFile::encodeName(expand(QString::fromUtf8(content)))));
    }
};

void tst_VersionOverride::programStarted_data()
{
    QTest::addColumn<QByteArray>("content"); // of the version file; null: no file
    QTest::addColumn<bool>("isFolder"); // a version "file" that cannot be opened
    QTest::addColumn<QString>("program"); // expected to be started
    QTest::addColumn<QStringList>("lines"); // debug lines besides the common ones

    const QString absolute = absoluteProgram;
    const QString relative = "@RESOURCES@/versions/next/" + workerBin;
    const QString readAbsolute = uR"(Read override: "@ABSOLUTE@")"_s;
    const QString fullPath = uR"(Full override path  "%1")"_s;
    const QString invalid = uR"(Invalid override path:  "%1/Solvane Worker/bin/render_worker"  does not exist)"_s;

    QTest::newRow("absolute") << QByteArray("@ABSOLUTE@\n") << false << absolute
                              << QStringList{ readAbsolute, fullPath.arg(absolute),
                                              uR"(Setting new AppPath to:  "%1")"_s.arg(absolute) };
    QTest::newRow("absolute, trailing slash")
            << QByteArray("@ABSOLUTE@/\n") << false << absolute
            << QStringList{ "Read override: \"@ABSOLUTE@/\"", fullPath.arg(absolute) };
    QTest::newRow("absolute, no line end")
            << QByteArray("@ABSOLUTE@") << false << absolute << QStringList{ readAbsolute };
    QTest::newRow("relative") << QByteArray("versions/next\n") << false << relative
                              << QStringList{ "Read override: \"versions/next\"", fullPath.arg(relative) };
    QTest::newRow("CR LF, second line ignored")
            << QByteArray("@ABSOLUTE@\r\nversions/next\r\n") << false << absolute << QStringList{ readAbsolute };
    QTest::newRow("empty first line") << QByteArray("\n@ABSOLUTE@\n") << false << "@DEFAULT@"
                                      << QStringList{ "Could not read data from: \"@VERSION@\"" };
    QTest::newRow("trailing blank") << QByteArray("@ABSOLUTE@ \n") << false << "@DEFAULT@"
                                    << QStringList{ invalid.arg("@ABSOLUTE@ ") };
    QTest::newRow("missing target") << QByteArray("@RESOURCES@/nowhere\n") << false << "@DEFAULT@"
                                    << QStringList{ invalid.arg("@RESOURCES@/nowhere") };
    QTest::newRow("no version file") << QByteArray() << false << "@DEFAULT@"
                                     << QStringList{ "There was no override file - will use defaults" };
    QTest::newRow("unreadable version file") << QByteArray() << true << "@DEFAULT@"
                                             << QStringList{ "Could not open the override file" };
}

// A start starts the worker the version file names, or the default one; it
// changes neither the file nor appPath.
void tst_VersionOverride::programStarted()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, isFolder);
    QFETCH(QString, program);
    QFETCH(QStringList, lines);
    QVERIFY(stage(content));
    if (isFolder)
        QVERIFY(QDir().mkpath(f->versionFile()));
    const QByteArray written = readFile(f->versionFile());
    QVERIFY(f->writeWorkerSettings(true, false));
    TestService service(f->path());

    service.startProcess();

    program = expand(program);
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 1, waitMs);
    QCOMPARE(executableOf(f->starts().at(0).pid), canonical(program));
    QCOMPARE(service.appPath, workerProgram);
    lines << u"Fallback configuration"_s << u"\tappPath: \"@DEFAULT@\""_s
          << u"\tdatapath: \"@RESOURCES@\""_s << u"\tappName: \"render_worker\""_s
          << u"Looking for override: \"@VERSION@\""_s
          << u"Starting process.. \"%1\" QList(\"--cpu\")"_s.arg(program);
    const QStringList debug = f->messages.texts(QtDebugMsg);
    for (const QString &line : std::as_const(lines))
        QVERIFY2(debug.count(expand(line)) == 1, qPrintable(expand(line)));
    QCOMPARE(f->messages.containing(QtDebugMsg, u"Setting new AppPath to: "_s),
             int(program != workerProgram));
    QVERIFY(f->messages.texts(QtCriticalMsg).isEmpty());
    QCOMPARE(QFileInfo::exists(f->versionFile()), isFolder || !content.isNull());
    QCOMPARE(readFile(f->versionFile()), written);
}

// With both workers enabled the override is rolled back only once neither
// runs: of two workers that end at once, the first handled still sees the
// other running.
void tst_VersionOverride::rollbackWaitsForBothWorkers()
{
    QVERIFY(stage("@ABSOLUTE@\n"));
    QVERIFY(f->writeWorkerSettings(true, true));
    TestService service(f->path());
    service.startProcess();
    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 2, waitMs);

    for (const WorkerEvent &start : f->starts()) {
        QCOMPARE(executableOf(start.pid), canonical(expand(absoluteProgram)));
        QVERIFY(::kill(pid_t(start.pid), SIGKILL) == 0);
    }

    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 4, waitMs);
    QCOMPARE(f->messages.texts(QtWarningMsg),
             QStringList{ "Not rolling back since both CPU and GPU are enabled and one is still running!" });
    QCOMPARE(f->messages.count(QtCriticalMsg, u"Will attempt to rollback to previous version"_s), 1);
    QCOMPARE(f->messages.count(QtDebugMsg, u"Rolling back to default installed version"_s), 1);
    QVERIFY(!QFileInfo::exists(f->versionFile()));
    for (const WorkerEvent &start : f->starts().mid(2))
        QCOMPARE(executableOf(start.pid), canonical(workerProgram));
}

QTEST_GUILESS_MAIN(tst_VersionOverride)
#include "tst_versionoverride.moc"
