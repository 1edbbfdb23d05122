// Which worker the real executable watches, from its own file name: copies
// of render_worker_watchdog under other names and folders, each run in the
// foreground until it announces its start.

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>

class WorkerPathTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void workerBesideTheWatchdog_data();
    void workerBesideTheWatchdog();
};

void WorkerPathTest::workerBesideTheWatchdog_data()
{
    QTest::addColumn<QString>("installedAs");
    QTest::addColumn<bool>("throughLoader");
    QTest::addColumn<QString>("expectedWorker");
    QTest::addColumn<QString>("expectedLogName");

    QTest::newRow("product name")
        << "opt/x/render_worker_watchdog" << false << "opt/x/render_worker"
        << "watchdog_render_worker_";
    QTest::newRow("two occurrences in the name, base name up to the first dot")
        << "opt/x/a_watchdog.b_watchdog" << false << "opt/x/a.b" << "watchdog_a_";
    QTest::newRow("a folder named like the watchdog keeps its name")
        << "farm_watchdog/bin/render_worker_watchdog" << false
        << "farm_watchdog/bin/render_worker" << "watchdog_render_worker_";
    QTest::newRow("started through the dynamic loader")
        << "opt/x/render_worker_watchdog" << true << "opt/x/render_worker"
        << "watchdog_render_worker_";
}

void WorkerPathTest::workerBesideTheWatchdog()
{
    QFETCH(QString, installedAs);
    QFETCH(bool, throughLoader);
    QFETCH(QString, expectedWorker);
    QFETCH(QString, expectedLogName);

    const QString loader = QStringLiteral("/lib64/ld-linux-x86-64.so.2");
    if (throughLoader && !QFileInfo::exists(loader))
        QSKIP("no x86-64 dynamic loader at /lib64");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString watchdog = dir.filePath(installedAs);
    const QString folder = QFileInfo(watchdog).absolutePath();
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::copy(QStringLiteral(WATCHDOG_PATH), watchdog));
    // Never the real resource folder.
    QFile ini(folder + QStringLiteral("/resources.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[General]\nresources=" + dir.filePath(QStringLiteral("resources")).toUtf8() + "\n");
    ini.close();
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("resources"))));
    QFile settings(dir.filePath(QStringLiteral("resources/settings.conf")));
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write("[common]\nlogLevel=5\n");
    settings.close();

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QTSERVICE_RUN"));
    environment.insert(QStringLiteral("VERBOSE"), QStringLiteral("1"));
    process.setProcessEnvironment(environment);
    if (throughLoader) {
        // Under the loader the program's own folder is the loader's, so no
        // resources.ini is found beside it: the default resource folder
        // and the system-wide store are used, which the run may only see
        // as private, empty mounts.
        if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
            QSKIP("unshare is not available");
        process.start(QStringLiteral("unshare"),
                      { QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                        QStringLiteral("sh"), QStringLiteral("-c"),
                        QStringLiteral("mount -t tmpfs tmpfs /var/local && mount -t tmpfs tmpfs /etc/xdg "
                                       "&& exec \"$0\" \"$@\""),
                        loader, watchdog, QStringLiteral("-e") });
    } else {
        process.start(watchdog, { QStringLiteral("-e") });
    }
    QVERIFY(process.waitForStarted());

    const QByteArray announced = "\"Starting Solvane Render Worker from "
        + dir.filePath(expectedWorker).toUtf8() + " \"\n";
    QByteArray printed;
    QTRY_VERIFY2_WITH_TIMEOUT((printed += process.readAllStandardOutput()).contains(announced),
                              printed.constData(), 5000);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 0);

    if (throughLoader)
        return;
    const QStringList logs = QDir(dir.filePath(QStringLiteral("resources/Logs"))).entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    QVERIFY2(logs.first().startsWith(expectedLogName), qPrintable(logs.first()));
}

QTEST_GUILESS_MAIN(WorkerPathTest)
#include "tst_workerpath.moc"
