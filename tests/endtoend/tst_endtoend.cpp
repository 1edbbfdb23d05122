// Drives the real render_worker_watchdog as an admin would: staged beside a
// worker with a resources.ini, launched without option, queried, stopped.
//
// The executable runs under the product's own name, so its control socket
// is the real /var/tmp/solvanerenderworker.qtservice. The test therefore
// enters a private mount namespace with a tmpfs on /var/tmp before anything
// runs; every process it starts, daemons included, lives in that namespace.
// The registry and the system-scope settings go into the staged folder
// through a qt.conf beside the copied executable. /dev/log is owned by the
// test for its duration (CTest serialises the tests that do so).

#include <QtTest>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString socketPath = QStringLiteral("/var/tmp/solvanerenderworker.qtservice");
const QString devLog = QStringLiteral("/dev/log");

QString namespaceProblem;

bool enterPrivateNamespace()
{
    if (::unshare(CLONE_NEWNS) != 0) {
        namespaceProblem = QStringLiteral("cannot make a private mount namespace: %1").arg(qt_error_string());
        return false;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || ::mount("tmpfs", "/var/tmp", "tmpfs", 0, "mode=1777") != 0) {
        namespaceProblem = QStringLiteral("cannot mount a private /var/tmp: %1").arg(qt_error_string());
        return false;
    }
    // The registry must be private too; without an /etc/xdg to cover
    // nothing here may install.
    if (!QFileInfo(QStringLiteral("/etc/xdg")).isDir()
        || ::mount("tmpfs", "/etc/xdg", "tmpfs", 0, "mode=755") != 0) {
        namespaceProblem = QStringLiteral("cannot mount a private /etc/xdg: %1").arg(qt_error_string());
        return false;
    }
    return true;
}

// A datagram socket on /dev/log, as a system logger has it.
class SyslogReceiver
{
public:
    bool open(QString *problem)
    {
        if (QFileInfo::exists(devLog)) {
            *problem = QStringLiteral("/dev/log belongs to a running system logger");
            return false;
        }
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, "/dev/log");
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            *problem = QStringLiteral("cannot bind /dev/log: %1").arg(qt_error_string());
            return false;
        }
        bound = true;
        return true;
    }
    ~SyslogReceiver()
    {
        if (fd >= 0)
            ::close(fd);
        if (bound)
            ::unlink("/dev/log");
    }
    QStringList entries()
    {
        char buffer[4096];
        ssize_t size;
        while (fd >= 0 && (size = ::recv(fd, buffer, sizeof buffer, 0)) >= 0)
            received << QString::fromLocal8Bit(buffer, size);
        return received;
    }

private:
    int fd = -1;
    bool bound = false;
    QStringList received;
};

bool processAlive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close > 0 && text.size() > close + 2 && text.at(close + 2) != 'Z';
}

qint64 parentOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ').value(1).toLongLong();
}

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void launchQueryAndTerminate();
    void crashRollsBackAndRestartsDefault();
    void signalsEndTheDaemon_data();
    void signalsEndTheDaemon();
    void killedWatchdogLeavesNoWorker();
    void badInput_data();
    void badInput();
    void foregroundVerboseRun_data();
    void foregroundVerboseRun();
    void unusableLogFolder();
    void installWithoutRights();

private:
    void stage(const QByteArray &settings);
    Run run(const QStringList &arguments, bool captureOutput = true);
    QStringList recordLines(const QString &record) const;
    QList<qint64> startedPids(const QString &record) const;
    QString logFileText() const;
    qint64 daemonPid() const;
    void writeFile(const QString &path, const QByteArray &content) const;

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<SyslogReceiver> syslog;
    QString bin;
    QString resources;
    QString watchdog;
    QString record;
    QList<qint64> workersSeen;
};

void EndToEndTest::initTestCase()
{
    if (!namespaceProblem.isEmpty())
        QSKIP(qPrintable(namespaceProblem));
    QVERIFY(QFileInfo::exists(QStringLiteral(WATCHDOG_EXECUTABLE)));
}

void EndToEndTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    workersSeen.clear();
    syslog = std::make_unique<SyslogReceiver>();
    QString problem;
    if (!syslog->open(&problem))
        syslog.reset();
}

void EndToEndTest::cleanup()
{
    if (!namespaceProblem.isEmpty())
        return;
    // Whatever a failed case left running goes now.
    QProcess terminate;
    terminate.setStandardOutputFile(QProcess::nullDevice());
    terminate.setStandardErrorFile(QProcess::nullDevice());
    terminate.start(watchdog, { QStringLiteral("-t") });
    terminate.waitForFinished(40000);
    const qint64 daemon = daemonPid();
    if (daemon > 0)
        ::kill(pid_t(daemon), SIGKILL);
    for (const qint64 pid : startedPids(record))
        ::kill(pid_t(pid), SIGKILL);
    QFile::remove(socketPath);
    // The private registry, so that every case starts uninstalled.
    QFile::remove(QStringLiteral("/etc/xdg/QtSoftware.conf"));
    syslog.reset();
    dir.reset();
}

void EndToEndTest::writeFile(const QString &path, const QByteArray &content) const
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

void EndToEndTest::stage(const QByteArray &settings)
{
    bin = dir->filePath(QStringLiteral("bin"));
    resources = dir->filePath(QStringLiteral("resources"));
    watchdog = bin + QStringLiteral("/render_worker_watchdog");
    record = dir->filePath(QStringLiteral("workers.record"));
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QFile::copy(QStringLiteral(WATCHDOG_EXECUTABLE), watchdog));
    QVERIFY(QFile::copy(QStringLiteral(WORKER_EXECUTABLE), bin + QStringLiteral("/render_worker")));
    writeFile(bin + QStringLiteral("/resources.ini"),
              "[General]\nresources=" + resources.toUtf8() + "\n");
    if (!settings.isNull())
        writeFile(resources + QStringLiteral("/settings.conf"), settings);
}

Run EndToEndTest::run(const QStringList &arguments, bool captureOutput)
{
    QProcess process;
    process.setWorkingDirectory(dir->path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QTSERVICE_RUN"));
    environment.remove(QStringLiteral("VERBOSE"));
    environment.insert(QStringLiteral("RENDER_WORKER_RECORD"), record);
    process.setProcessEnvironment(environment);
    if (!captureOutput) {
        // A launched daemon inherits the launcher's output; files keep the
        // test from waiting on pipes the daemon holds open.
        process.setStandardOutputFile(dir->filePath(QStringLiteral("launch.out")));
        process.setStandardErrorFile(dir->filePath(QStringLiteral("launch.err")));
    }
    process.start(watchdog, arguments);
    Run result;
    if (!process.waitForFinished(40000))
        return result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (!captureOutput)
        return result;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

QStringList EndToEndTest::recordLines(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QList<qint64> EndToEndTest::startedPids(const QString &path) const
{
    QList<qint64> pids;
    for (const QString &line : recordLines(path)) {
        if (line.startsWith(QLatin1String("start ")))
            pids << line.section(QLatin1Char(' '), 1, 1).toLongLong();
    }
    return pids;
}

qint64 EndToEndTest::daemonPid() const
{
    const QList<qint64> pids = startedPids(record);
    for (auto it = pids.crbegin(); it != pids.crend(); ++it) {
        const qint64 parent = parentOf(*it);
        if (parent > 1)
            return parent;
    }
    return -1;
}

QString EndToEndTest::logFileText() const
{
    const QDir logs(resources + QStringLiteral("/Logs"));
    const QStringList files = logs.entryList({ QStringLiteral("watchdog_render_worker_*.log") });
    if (files.size() != 1)
        return QString();
    QFile file(logs.filePath(files.first()));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void EndToEndTest::launchQueryAndTerminate()
{
    stage("[common]\nlogLevel=5\n[worker]\nworkerCpu=true\nworkerGpu=true\n");

    const Run launch = run({}, false);
    QCOMPARE(launch.exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socketPath), 5000);
    QCOMPARE(QFileInfo(socketPath).permissions() & QFileDevice::WriteOther, QFileDevice::WriteOther);

    Run version = run({ QStringLiteral("-v") });
    QCOMPARE(version.exitCode, 0);
    QVERIFY2(version.out.endsWith(QLatin1String("is not installed and running\n\n")), qPrintable(version.out));

    const Run install = run({ QStringLiteral("-i") });
    QCOMPARE(install.exitCode, 0);
    QCOMPARE(install.out, QStringLiteral("The service Solvane Render Worker has been installed under: %1\n").arg(watchdog));
    version = run({ QStringLiteral("-v") });
    QVERIFY2(version.out.endsWith(QLatin1String("is installed and running\n\n")), qPrintable(version.out));

    // Both workers, 5 s after the start, from beside the watchdog.
    QTRY_COMPARE_WITH_TIMEOUT(startedPids(record).size(), 2, 10000);
    const QStringList starts = recordLines(record);
    QVERIFY(starts.filter(QRegularExpression(QStringLiteral("^start \\d+ --cpu$"))).size() == 1);
    QVERIFY(starts.filter(QRegularExpression(QStringLiteral("^start \\d+ --gpu --no-download$"))).size() == 1);
    const qint64 daemon = daemonPid();
    QVERIFY(daemon > 1);

    const Run second = run({});
    QCOMPARE(second.exitCode, 252);
    QCOMPARE(second.err, QStringLiteral("The service Solvane Render Worker could not start\n"));
    QVERIFY(processAlive(daemon));

    const Run terminate = run({ QStringLiteral("-t") });
    QCOMPARE(terminate.exitCode, 0);
    QCOMPARE(terminate.err, QString());
    QTRY_VERIFY(!processAlive(daemon));
    for (const qint64 pid : startedPids(record))
        QTRY_VERIFY(!processAlive(pid));
    QVERIFY(!QFileInfo::exists(socketPath));
    version = run({ QStringLiteral("-v") });
    QVERIFY2(version.out.endsWith(QLatin1String("is installed and not running\n\n")), qPrintable(version.out));

    const QString log = logFileText();
    QVERIFY(log.contains(QLatin1String("[DD default  ] \"Starting Solvane Render Worker from ")
                         + bin + QLatin1String("/render_worker \"\n")));
    QVERIFY(log.contains(QLatin1String("[DD default  ] \"Stopping Solvane Render Worker.\"\n")));
    QVERIFY(!log.contains(QLatin1String("[EE")));

    if (syslog) {
        const QStringList entries = syslog->entries();
        const QString prefix = QStringLiteral("<30>");
        const QString ident = QStringLiteral("solvanerenderworker[%1]: ").arg(daemon);
        const auto has = [&](const QString &text) {
            for (const QString &entry : entries) {
                if (entry.startsWith(prefix) && entry.endsWith(ident + text))
                    return true;
            }
            return false;
        };
        QVERIFY2(has(QStringLiteral("Starting Solvane Render Worker from %1/render_worker ").arg(bin)),
                 qPrintable(entries.join(QLatin1Char('\n'))));
        QVERIFY(has(QStringLiteral("Starting process..")));
        for (const qint64 pid : startedPids(record))
            QVERIFY(has(QStringLiteral("Started with PID: %1").arg(pid)));
        QVERIFY(has(QStringLiteral("Stopping Solvane Render Worker.")));
    }
}

void EndToEndTest::crashRollsBackAndRestartsDefault()
{
    stage("[common]\nlogLevel=5\n[worker]\nworkerCpu=true\nworkerGpu=false\n");
    // The redirected installation's worker records elsewhere and crashes.
    const QString overrideRecord = dir->filePath(QStringLiteral("override.record"));
    const QString overrideWorker = resources + QStringLiteral("/versions/next/Solvane Worker/bin/render_worker");
    writeFile(overrideWorker,
              "#!/bin/sh\nRENDER_WORKER_RECORD='" + overrideRecord.toUtf8()
                  + "' RENDER_WORKER_CRASH_AFTER_MS=300 exec '" + bin.toUtf8() + "/render_worker' \"$@\"\n");
    QVERIFY(QFile::setPermissions(overrideWorker, QFile::permissions(overrideWorker) | QFileDevice::ExeOwner));
    const QString versionFile = resources + QStringLiteral("/render_worker.version");
    writeFile(versionFile, "versions/next\n");

    QCOMPARE(run({}, false).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(recordLines(overrideRecord).filter(QLatin1String("crash ")).size() == 1, 10000);
    QElapsedTimer sinceCrash;
    sinceCrash.start();
    QVERIFY(recordLines(overrideRecord).first().endsWith(QLatin1String(" --cpu")));
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(versionFile), 2000);

    // The default worker, five seconds after the crash.
    QTRY_COMPARE_WITH_TIMEOUT(startedPids(record).size(), 1, 8000);
    const qint64 waited = sinceCrash.elapsed();
    QVERIFY2(waited > 4000 && waited < 7000, qPrintable(QString::number(waited)));
    QVERIFY(recordLines(record).first().endsWith(QLatin1String(" --cpu")));
    QCOMPARE(recordLines(overrideRecord).filter(QLatin1String("start ")).size(), 1);

    QCOMPARE(run({ QStringLiteral("-t") }).exitCode, 0);
    QTRY_VERIFY(!QFileInfo::exists(socketPath));

    const QString log = logFileText();
    const QRegularExpression line(QStringLiteral(
        "^\\w{3} \\w{3} \\d{1,2} \\d\\d:\\d\\d:\\d\\d \\d{4} \\[(DD|EE|WW) default  \\] .*$"));
    for (const QString &entry : log.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        QVERIFY2(line.match(entry).hasMatch(), qPrintable(entry));
    QVERIFY(log.contains(QLatin1String("[DD default  ] Setting new AppPath to:  \"") + overrideWorker + QLatin1String("\"\n")));
    QVERIFY(log.contains(QLatin1String("[EE default  ]  Procces error from \"Solvane Render Worker\" @ \"")));
    QVERIFY(log.contains(QLatin1String("[EE default  ] The process crashed some time after starting successfully.\n")));
    QVERIFY(log.contains(QLatin1String("[EE default  ] Will attempt to rollback to previous version\n")));
    QVERIFY(log.contains(QLatin1String("[DD default  ] Rolling back to default installed version\n")));
    QVERIFY(log.contains(QLatin1String("[DD default  ] Starting process.. \"") + bin
                         + QLatin1String("/render_worker\" QList(\"--cpu\")\n")));
    QCOMPARE(log.count(QLatin1String("Will attempt to rollback")), 1);
}

void EndToEndTest::signalsEndTheDaemon_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void EndToEndTest::signalsEndTheDaemon()
{
    QFETCH(int, signalNumber);
    stage("[common]\nlogLevel=5\n[worker]\nworkerCpu=true\nworkerGpu=true\n");
    QCOMPARE(run({}, false).exitCode, 0);
    QTRY_COMPARE_WITH_TIMEOUT(startedPids(record).size(), 2, 10000);
    const qint64 daemon = daemonPid();
    QVERIFY(daemon > 1);

    QCOMPARE(::kill(pid_t(daemon), signalNumber), 0);
    QTRY_VERIFY(!processAlive(daemon));
    for (const qint64 pid : startedPids(record))
        QTRY_VERIFY(!processAlive(pid));
    QVERIFY(!QFileInfo::exists(socketPath));
    QVERIFY(logFileText().contains(QLatin1String("\"Stopping Solvane Render Worker.\"")));
    QVERIFY(!logFileText().contains(QLatin1String("[EE")));
}

void EndToEndTest::killedWatchdogLeavesNoWorker()
{
    stage("[common]\nlogLevel=5\n[worker]\nworkerCpu=true\nworkerGpu=true\n");
    QCOMPARE(run({}, false).exitCode, 0);
    QTRY_COMPARE_WITH_TIMEOUT(startedPids(record).size(), 2, 10000);
    const qint64 daemon = daemonPid();
    QCOMPARE(::kill(pid_t(daemon), SIGKILL), 0);
    for (const qint64 pid : startedPids(record))
        QTRY_VERIFY(!processAlive(pid));

    // The socket file of the killed daemon stays; the next launch replaces it.
    QVERIFY(QFileInfo::exists(socketPath));
    QCOMPARE(run({}, false).exitCode, 0);
    QTRY_COMPARE_WITH_TIMEOUT(startedPids(record).size(), 4, 10000);
    QCOMPARE(run({ QStringLiteral("-t") }).exitCode, 0);
    QTRY_VERIFY(!QFileInfo::exists(socketPath));
}

void EndToEndTest::badInput_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QString>("setUp");
    QTest::addColumn<QString>("expectedLog");
    QTest::addColumn<int>("workerStarts");

    static const char garbage[] = "\x00\x01[[[worker\xff\nworkerGpu=\x80\x81\n=\n[";
    QTest::newRow("garbage settings")
        << QByteArray(garbage, sizeof garbage - 1) << QString() << QString() << 1;
    QTest::newRow("resource folder missing")
        << QByteArray() << QStringLiteral("no-resources") << QString() << 1;
    QTest::newRow("worker missing")
        << QByteArray("[common]\nlogLevel=5\n") << QStringLiteral("no-worker")
        << QStringLiteral("[EE default  ] The process failed to start. Either the invoked program is missing, "
                          "or you may have insufficient permissions to invoke the program.") << 0;
    QTest::newRow("worker not executable")
        << QByteArray("[common]\nlogLevel=5\n") << QStringLiteral("worker-not-executable")
        << QStringLiteral("[WW default  ] Failed to start process: \"") << 0;
    QTest::newRow("version file names a folder without worker")
        << QByteArray("[common]\nlogLevel=5\n") << QStringLiteral("empty-override")
        << QStringLiteral("Invalid override path:  \"") << 1;
}

void EndToEndTest::badInput()
{
    QFETCH(QByteArray, settings);
    QFETCH(QString, setUp);
    QFETCH(QString, expectedLog);
    QFETCH(int, workerStarts);

    stage(settings);
    const QString worker = bin + QStringLiteral("/render_worker");
    if (setUp == QLatin1String("no-worker"))
        QVERIFY(QFile::remove(worker));
    if (setUp == QLatin1String("worker-not-executable"))
        QVERIFY(QFile::setPermissions(worker, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    if (setUp == QLatin1String("empty-override")) {
        QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("nowhere"))));
        writeFile(resources + QStringLiteral("/render_worker.version"), dir->filePath(QStringLiteral("nowhere")).toUtf8());
    }
    QCOMPARE(run({}, false).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socketPath), 5000);
    // The first start comes 5 s after the launch.
    if (!expectedLog.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(logFileText().contains(expectedLog), 9000);
    QTRY_COMPARE_WITH_TIMEOUT(startedPids(record).size(), workerStarts, 9000);
    if (setUp == QLatin1String("no-resources"))
        QVERIFY(QFileInfo(resources + QStringLiteral("/Logs")).isDir());
    if (setUp == QLatin1String("empty-override"))
        QVERIFY(QFileInfo::exists(resources + QStringLiteral("/render_worker.version")));

    // Still supervising, still answering.
    QCOMPARE(run({ QStringLiteral("-t") }).exitCode, 0);
    QTRY_VERIFY(!QFileInfo::exists(socketPath));
    for (const qint64 pid : startedPids(record))
        QTRY_VERIFY(!processAlive(pid));
}

void EndToEndTest::foregroundVerboseRun_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("debugLinesInFile");
    QTest::newRow("level 4: information and above") << 4 << false;
    QTest::newRow("level 5: debug lines too") << 5 << true;
}

void EndToEndTest::foregroundVerboseRun()
{
    QFETCH(int, level);
    QFETCH(bool, debugLinesInFile);
    stage("[common]\nlogLevel=" + QByteArray::number(level) + "\n[worker]\nworkerCpu=true\n");

    QProcess foreground;
    foreground.setWorkingDirectory(dir->path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QTSERVICE_RUN"));
    environment.insert(QStringLiteral("VERBOSE"), QString());
    environment.insert(QStringLiteral("RENDER_WORKER_RECORD"), record);
    foreground.setProcessEnvironment(environment);
    foreground.start(watchdog, { QStringLiteral("-e") });
    QVERIFY(foreground.waitForStarted());

    // VERBOSE echoes every message as its bare text, whatever the level.
    QByteArray printed;
    QTRY_VERIFY_WITH_TIMEOUT((printed += foreground.readAllStandardOutput()).contains("Started with PID: "), 9000);
    QVERIFY(printed.contains("\"Starting Solvane Render Worker from " + bin.toUtf8() + "/render_worker \"\n"));
    QVERIFY(!QFileInfo::exists(socketPath));  // no control socket in the foreground

    ::kill(pid_t(foreground.processId()), SIGTERM);
    QVERIFY(foreground.waitForFinished(10000));
    QCOMPARE(foreground.exitStatus(), QProcess::NormalExit);
    QCOMPARE(foreground.exitCode(), 0);
    for (const qint64 pid : startedPids(record))
        QTRY_VERIFY(!processAlive(pid));

    const QString log = logFileText();
    QCOMPARE(log.contains(QLatin1String("[DD default  ] \"Starting Solvane Render Worker from ")),
             debugLinesInFile);
    QCOMPARE(log.contains(QLatin1String("[DD default  ] \"Started with PID: ")), debugLinesInFile);
    QCOMPARE(log.contains(QLatin1String("[DD default  ] \"Stopping Solvane Render Worker.\"")), debugLinesInFile);
}

void EndToEndTest::unusableLogFolder()
{
    // A log location below a regular file can never be created.
    const QString blocker = dir->filePath(QStringLiteral("blocker"));
    stage("[common]\nlogLevel=5\nlogLocation=" + blocker.toUtf8() + "/logs\n");
    writeFile(blocker, "not a folder");

    QCOMPARE(run({}, false).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socketPath), 5000);
    // The log cannot be written, the worker runs all the same.
    QTRY_COMPARE_WITH_TIMEOUT(startedPids(record).size(), 1, 9000);
    QCOMPARE(run({ QStringLiteral("-t") }).exitCode, 0);
    QTRY_VERIFY(!QFileInfo::exists(socketPath));

    QFile out(dir->filePath(QStringLiteral("launch.out")));
    QVERIFY(out.open(QIODevice::ReadOnly));
    const QString printed = QString::fromLocal8Bit(out.readAll());
    QVERIFY2(printed.contains(QLatin1String("Could not create Log file:") + blocker + QLatin1String("/logs\n")),
             qPrintable(printed));
    QVERIFY2(printed.contains(QLatin1String("Cannot write to log file: ") + blocker
                              + QLatin1String("/logs/watchdog_render_worker_")),
             qPrintable(printed));
    QVERIFY(printed.contains(QLatin1String("Do you have the necessary privileges to run to process?\n")));
    if (syslog) {
        const QStringList entries = syslog->entries();
        QCOMPARE(entries.filter(QRegularExpression(QStringLiteral("^<27>.*Could not create Log file"))).size(), 1);
    }
}

void EndToEndTest::installWithoutRights()
{
    stage(QByteArray());
    // An admin forgetting sudo: nobody may not write the registry.
    QVERIFY(QFile::setPermissions(dir->path(), QFile::permissions(dir->path()) | QFileDevice::ExeOther | QFileDevice::ReadOther));
    QProcess process;
    process.setChildProcessModifier([] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
    });
    process.start(watchdog, { QStringLiteral("-i") });
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 255);
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(err.contains(QLatin1String("Cannot install \"Solvane Render Worker\". Cannot write to: "))
                 && err.contains(QLatin1String("QtSoftware.conf. Check permissions.\n"))
                 && err.endsWith(QLatin1String("The service Solvane Render Worker could not be installed\n")),
             qPrintable(err));
}

int main(int argc, char **argv)
{
    // Before any thread exists: unshare() of the mount namespace needs a
    // single-threaded process.
    enterPrivateNamespace();
    QCoreApplication app(argc, argv);
    EndToEndTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_endtoend.moc"
