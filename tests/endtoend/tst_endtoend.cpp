// Drives the real render_worker_watchdog as an admin would: staged beside a
// worker with a "resources.ini", launched without option, queried, stopped.
//
// Under the product's own name its control socket is the real
// /var/tmp/solvanerenderworker.qtservice and its registry lies in /etc/xdg, so
// the test first enters a private mount namespace with a tmpfs on both; every
// process it starts, daemons included, lives in that namespace. The test owns
// /dev/log while it runs (CTest serialises the tests that do so).

#include <QtTest>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString socketPath = u"/var/tmp/solvanerenderworker.qtservice"_s;
const QByteArray level5 = "[common]\nlogLevel=5\n";
const QByteArray bothWorkers = level5 + "[worker]\nworkerCpu=true\nworkerGpu=true\n";
QString namespaceProblem;

void enterPrivateNamespace()
{
    if (::unshare(CLONE_NEWNS) != 0)
        namespaceProblem = u"cannot make a private mount namespace: "_s + qt_error_string();
    else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
             || ::mount("tmpfs", "/var/tmp", "tmpfs", 0, "mode=1777") != 0)
        namespaceProblem = u"cannot mount a private /var/tmp: "_s + qt_error_string();
    // Without an /etc/xdg to cover, the registry would be the real one.
    else if (!QFileInfo(u"/etc/xdg"_s).isDir() || ::mount("tmpfs", "/etc/xdg", "tmpfs", 0, "mode=755") != 0)
        namespaceProblem = u"cannot mount a private /etc/xdg: "_s + qt_error_string();
}

// A datagram socket on /dev/log, as a system logger has it; -1 while a system
// logger owns /dev/log.
int bindDevLog()
{
    if (QFileInfo::exists(u"/dev/log"_s))
        return -1;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return fd;
    ::close(fd);
    return -1;
}

QString textOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList linesOf(const QString &path)
{
    return textOf(path).split(u'\n', Qt::SkipEmptyParts);
}

void writeFile(const QString &path, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

// The fields of /proc/<pid>/stat after the program name: state, parent, ...
QList<QByteArray> statOf(qint64 pid)
{
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    const QByteArray text = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    return text.mid(text.lastIndexOf(')') + 2).split(' ');
}

bool processAlive(qint64 pid)
{
    const QList<QByteArray> fields = statOf(pid);
    return fields.size() > 1 && fields.first() != "Z";
}

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!namespaceProblem.isEmpty())
            QSKIP(qPrintable(namespaceProblem));
    }
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        syslogFd = bindDevLog();
        syslogEntries.clear();
    }
    void cleanup();

    void launchQueryAndTerminate();
    void crashRollsBackAndRestartsDefault();
    void signalsEndTheDaemon_data();
    void signalsEndTheDaemon();
    void badInput_data();
    void badInput();
    void installWithoutRights();

private:
    void stage(const QByteArray &settings);
    Run run(const QStringList &arguments, bool launcher = false);

    void launch()
    {
        QCOMPARE(run({}, true).exitCode, 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socketPath), 5000);
    }
    void terminate()
    {
        QCOMPARE(run({ u"-t"_s }).exitCode, 0);
        QTRY_VERIFY(!QFileInfo::exists(socketPath));
    }
    // The daemon, if given, and every worker that was started have ended.
    void expectEnded(qint64 daemon)
    {
        if (daemon > 0)
            QTRY_VERIFY(!processAlive(daemon));
        for (const qint64 pid : startedPids())
            QTRY_VERIFY(!processAlive(pid));
    }
    QList<qint64> startedPids() const
    {
        QList<qint64> pids;
        for (const QString &line : linesOf(record).filter(QRegularExpression(u"^start "_s)))
            pids << line.section(u' ', 1, 1).toLongLong();
        return pids;
    }
    // The parent of the latest worker that still has its own.
    qint64 daemonPid() const
    {
        const QList<qint64> pids = startedPids();
        for (auto it = pids.crbegin(); it != pids.crend(); ++it) {
            if (const qint64 parent = statOf(*it).value(1).toLongLong(); parent > 1)
                return parent;
        }
        return -1;
    }
    QString logFileText() const
    {
        const QDir logs(resources + u"/Logs"_s);
        const QStringList files = logs.entryList({ u"watchdog_render_worker_*.log"_s });
        return files.size() == 1 ? textOf(logs.filePath(files.first())) : QString();
    }
    int syslogCount(const QString &priority, qint64 daemon, const QString &text);

    std::unique_ptr<QTemporaryDir> dir;
    int syslogFd = -1;
    QStringList syslogEntries;
    QString bin;
    QString resources;
    QString watchdog;
    QString record;
};

void EndToEndTest::cleanup()
{
    if (!namespaceProblem.isEmpty())
        return; // never the real socket and registry
    // Whatever a failed case left running goes now.
    QProcess terminate;
    terminate.setStandardOutputFile(QProcess::nullDevice());
    terminate.setStandardErrorFile(QProcess::nullDevice());
    terminate.start(watchdog, { u"-t"_s });
    terminate.waitForFinished(40000);
    // Only processes of the staged programs: a number may be another's since.
    const auto kill = [this](qint64 pid) {
        if (processAlive(pid) && QFile::symLinkTarget(u"/proc/%1/exe"_s.arg(pid)).startsWith(bin))
            ::kill(pid_t(pid), SIGKILL);
    };
    kill(daemonPid());
    for (const qint64 pid : startedPids())
        kill(pid);
    QFile::remove(socketPath);
    QFile::remove(u"/etc/xdg/QtSoftware.conf"_s); // the private registry: every case starts uninstalled
    if (syslogFd >= 0) {
        ::close(syslogFd);
        ::unlink("/dev/log");
    }
    dir.reset();
}

void EndToEndTest::stage(const QByteArray &settings)
{
    bin = dir->filePath(u"bin"_s);
    resources = dir->filePath(u"resources"_s);
    watchdog = bin + u"/render_worker_watchdog"_s;
    record = dir->filePath(u"workers.record"_s);
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QFile::copy(QStringLiteral(WATCHDOG_EXECUTABLE), watchdog));
    QVERIFY(QFile::copy(QStringLiteral(WORKER_EXECUTABLE), bin + u"/render_worker"_s));
    writeFile(bin + u"/resources.ini"_s, "[General]\nresources=" + resources.toUtf8() + "\n");
    if (!settings.isNull())
        writeFile(resources + u"/settings.conf"_s, settings);
}

Run EndToEndTest::run(const QStringList &arguments, bool launcher)
{
    QProcess process;
    process.setWorkingDirectory(dir->path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"QTSERVICE_RUN"_s);
    environment.remove(u"VERBOSE"_s);
    environment.insert(u"RENDER_WORKER_RECORD"_s, record);
    process.setProcessEnvironment(environment);
    if (launcher) {
        // A launched daemon inherits the launcher's output; files keep the
        // test from waiting on pipes the daemon holds open.
        process.setStandardOutputFile(dir->filePath(u"launch.out"_s));
        process.setStandardErrorFile(dir->filePath(u"launch.err"_s));
    }
    process.start(watchdog, arguments);
    Run result;
    if (process.waitForFinished(40000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

// Entries the daemon sent to the system log with the priority and the text.
int EndToEndTest::syslogCount(const QString &priority, qint64 daemon, const QString &text)
{
    char buffer[4096];
    for (ssize_t size; (size = ::recv(syslogFd, buffer, sizeof buffer, 0)) >= 0;)
        syslogEntries << QString::fromLocal8Bit(buffer, size);
    const QString ending = u"solvanerenderworker[%1]: %2"_s.arg(daemon).arg(text);
    return int(std::count_if(syslogEntries.cbegin(), syslogEntries.cend(), [&](const QString &entry) {
        return entry.startsWith(priority) && entry.endsWith(ending);
    }));
}

void EndToEndTest::launchQueryAndTerminate()
{
    stage(bothWorkers);
    launch();
    QCOMPARE(QFileInfo(socketPath).permissions() & QFileDevice::WriteOther, QFileDevice::WriteOther);
    QCOMPARE(run({ u"-v"_s }).out.section(u'\n', -3), u"is not installed and running\n\n"_s);
    const Run install = run({ u"-i"_s });
    QCOMPARE(install.exitCode, 0);
    QCOMPARE(install.out, u"The service Solvane Render Worker has been installed under: %1\n"_s.arg(watchdog));
    QCOMPARE(run({ u"-v"_s }).out.section(u'\n', -3), u"is installed and running\n\n"_s);

    // Both workers, 5 s after the start, from beside the watchdog.
    QTRY_COMPARE_WITH_TIMEOUT(startedPids().size(), 2, 10000);
    QStringList arguments = linesOf(record).replaceInStrings(QRegularExpression(u"^start \\d+ "_s), QString());
    arguments.sort();
    QCOMPARE(arguments, QStringList({ "--cpu", "--gpu --no-download" }));
    const qint64 daemon = daemonPid();
    QVERIFY(daemon > 1);

    const Run second = run({});
    QCOMPARE(second.exitCode, 252);
    QCOMPARE(second.err, u"The service Solvane Render Worker could not start\n"_s);
    QVERIFY(processAlive(daemon));

    terminate();
    expectEnded(daemon);
    QCOMPARE(run({ u"-v"_s }).out.section(u'\n', -3), u"is installed and not running\n\n"_s);
    const QString log = logFileText();
    QVERIFY(log.contains("[DD default  ] \"Starting Solvane Render Worker from " + bin + "/render_worker \"\n"));
    QVERIFY(log.contains(u"[DD default  ] \"Stopping Solvane Render Worker.\"\n"_s));
    QVERIFY(!log.contains(u"[EE"_s));

    if (syslogFd < 0)
        return;
    const QString info = u"<30>"_s;
    QCOMPARE(syslogCount(info, daemon, u"Starting Solvane Render Worker from %1/render_worker "_s.arg(bin)), 1);
    QCOMPARE(syslogCount(info, daemon, u"Starting process.."_s), 2);
    for (const qint64 pid : startedPids())
        QCOMPARE(syslogCount(info, daemon, u"Started with PID: %1"_s.arg(pid)), 1);
    QCOMPARE(syslogCount(info, daemon, u"Stopping Solvane Render Worker."_s), 1);
}

void EndToEndTest::crashRollsBackAndRestartsDefault()
{
    stage(level5 + "[worker]\nworkerCpu=true\nworkerGpu=false\n");
    // The redirected installation's worker records elsewhere and crashes.
    const QString overrideRecord = dir->filePath(u"override.record"_s);
    const QString overrideWorker = resources + u"/versions/next/Solvane Worker/bin/render_worker"_s;
    writeFile(overrideWorker, "#!/bin/sh\nRENDER_WORKER_RECORD='" + overrideRecord.toUtf8()
                                      + "' RENDER_WORKER_CRASH_AFTER_MS=300 exec '" + bin.toUtf8()
                                      + "/render_worker' \"$@\"\n");
    QVERIFY(QFile::setPermissions(overrideWorker, QFile::permissions(overrideWorker) | QFileDevice::ExeOwner));
    const QString versionFile = resources + u"/render_worker.version"_s;
    writeFile(versionFile, "versions/next\n");

    launch();
    QTRY_COMPARE_WITH_TIMEOUT(linesOf(overrideRecord).filter(u"crash "_s).size(), 1, 10000);
    QElapsedTimer sinceCrash;
    sinceCrash.start();
    QVERIFY(linesOf(overrideRecord).first().endsWith(u" --cpu"_s));
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(versionFile), 2000);

    // The default worker, five seconds after the crash.
    QTRY_COMPARE_WITH_TIMEOUT(startedPids().size(), 1, 8000);
    const qint64 waited = sinceCrash.elapsed();
    QVERIFY2(waited > 4000 && waited < 7000, qPrintable(QString::number(waited)));
    QVERIFY(linesOf(record).first().endsWith(u" --cpu"_s));
    QCOMPARE(linesOf(overrideRecord).filter(u"start "_s).size(), 1);
    const qint64 daemon = daemonPid();
    terminate();

    const QString log = logFileText();
    const QRegularExpression format(
            u"^\\w{3} \\w{3} \\d{1,2} \\d\\d:\\d\\d:\\d\\d \\d{4} \\[(DD|EE|WW) default  \\] .*$"_s);
    for (const QString &entry : log.split(u'\n', Qt::SkipEmptyParts))
        QVERIFY2(format.match(entry).hasMatch(), qPrintable(entry));
    const QStringList expected{
        "[DD default  ] Setting new AppPath to:  \"" + overrideWorker + "\"\n",
        "[EE default  ]  Procces error from \"Solvane Render Worker\" @ \"",
        "[EE default  ] The process crashed some time after starting successfully.\n",
        "[EE default  ] Will attempt to rollback to previous version\n",
        "[DD default  ] Rolling back to default installed version\n",
        "[DD default  ] Starting process.. \"" + bin + "/render_worker\" QList(\"--cpu\")\n",
    };
    for (const QString &line : expected)
        QVERIFY2(log.contains(line), qPrintable(line));
    QCOMPARE(log.count(u"Will attempt to rollback"_s), 1);

    // The system log tells the story, each event once.
    if (syslogFd < 0)
        return;
    const QString crashed = linesOf(overrideRecord).first().section(u' ', 1, 1);
    QCOMPARE(syslogCount(u"<28>"_s, daemon, "The CPU worker (PID " + crashed + ") runs from the version override "
                                                    + overrideWorker), 1);
    QCOMPARE(syslogCount(u"<27>"_s, daemon, "The CPU worker (PID " + crashed + ") was killed by signal 11"), 1);
    QCOMPARE(syslogCount(u"<28>"_s, daemon,
                         u"Rolled back to the default installed worker after the failure of the CPU worker"_s), 1);
}

void EndToEndTest::signalsEndTheDaemon_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGKILL") << int(SIGKILL);
}

// A stop signal ends the daemon as -t does; SIGKILL leaves its socket file,
// but no worker, and the next launch replaces the file.
void EndToEndTest::signalsEndTheDaemon()
{
    QFETCH(int, signalNumber);
    const bool killed = signalNumber == SIGKILL;
    stage(bothWorkers);
    launch();
    QTRY_COMPARE_WITH_TIMEOUT(startedPids().size(), 2, 10000);
    const qint64 daemon = daemonPid();
    QVERIFY(daemon > 1);

    QCOMPARE(::kill(pid_t(daemon), signalNumber), 0);
    expectEnded(daemon);
    QCOMPARE(QFileInfo::exists(socketPath), killed);
    QCOMPARE(logFileText().contains(u"\"Stopping Solvane Render Worker.\""_s), !killed);
    QVERIFY(!logFileText().contains(u"[EE"_s));
    if (!killed)
        return;
    launch();
    QTRY_COMPARE_WITH_TIMEOUT(startedPids().size(), 4, 10000);
    terminate();
}

void EndToEndTest::badInput_data()
{
    QTest::addColumn<QByteArray>("settings"); // @DIR@ is the staging folder
    QTest::addColumn<QString>("setUp");
    QTest::addColumn<QStringList>("expected"); // in the log file or the launcher's output
    QTest::addColumn<int>("workerStarts");

    static const char garbage[] = "\x00\x01[[[worker\xff\nworkerGpu=\x80\x81\n=\n[";
    QTest::newRow("garbage settings") << QByteArray(garbage, sizeof garbage - 1) << QString() << QStringList() << 1;
    QTest::newRow("resource folder missing") << QByteArray() << u"no-resources"_s << QStringList() << 1;
    QTest::newRow("worker missing") << level5 << u"no-worker"_s
                                    << QStringList{ "[EE default  ] The process failed to start. Either the invoked "
                                                    "program is missing, or you may have insufficient permissions "
                                                    "to invoke the program." }
                                    << 0;
    QTest::newRow("worker not executable") << level5 << u"worker-not-executable"_s
                                           << QStringList{ "[WW default  ] Failed to start process: \"" } << 0;
    QTest::newRow("version file names a folder without worker")
            << level5 << u"empty-override"_s << QStringList{ "Invalid override path:  \"" } << 1;
    // A log location below a regular file can never be created: the entries
    // are lost, the worker runs all the same. (Inside the resource folder, as
    // the settings file is everyone's to write.)
    QTest::newRow("log folder unusable")
            << level5 + "logLocation=@DIR@/resources/blocker/logs\n" << u"blocked-log"_s
            << QStringList() << 1;
}

// Each gives its message, and the daemon goes on supervising and answering.
void EndToEndTest::badInput()
{
    QFETCH(QByteArray, settings);
    QFETCH(QString, setUp);
    QFETCH(QStringList, expected);
    QFETCH(int, workerStarts);
    stage(settings.isNull() ? settings : settings.replace("@DIR@", dir->path().toUtf8()));
    const QString worker = bin + u"/render_worker"_s;
    const QString versionFile = resources + u"/render_worker.version"_s;
    if (setUp == "no-worker")
        QVERIFY(QFile::remove(worker));
    if (setUp == "worker-not-executable")
        QVERIFY(QFile::setPermissions(worker, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    if (setUp == "empty-override") {
        QVERIFY(QDir().mkpath(dir->filePath(u"nowhere"_s)));
        writeFile(versionFile, dir->filePath(u"nowhere"_s).toUtf8());
    }
    if (setUp == "blocked-log")
        writeFile(resources + u"/blocker"_s, "not a folder");

    launch();
    // The first start comes 5 s after the launch.
    QTRY_COMPARE_WITH_TIMEOUT(startedPids().size(), workerStarts, 9000);
    const qint64 daemon = daemonPid();
    for (const QString &text : expected.replaceInStrings(u"@DIR@"_s, dir->path())) {
        QTRY_VERIFY2_WITH_TIMEOUT((logFileText() + textOf(dir->filePath(u"launch.out"_s))).contains(text),
                                  qPrintable(text), 9000);
    }
    if (setUp == "no-resources")
        QVERIFY(QFileInfo(resources + u"/Logs"_s).isDir());
    if (setUp == "empty-override")
        QVERIFY(QFileInfo::exists(versionFile));
    terminate();
    expectEnded(-1);
    // The first failure of the log of a run, once (a launched daemon's
    // standard output is gone).
    if (setUp == "blocked-log" && syslogFd >= 0)
        QCOMPARE(syslogCount(u"<27>"_s, daemon, "Could not create Log file:" + resources + "/blocker/logs"), 1);
}

// An admin forgetting sudo: nobody may not write the registry.
void EndToEndTest::installWithoutRights()
{
    stage(QByteArray());
    QVERIFY(QFile::setPermissions(dir->path(), QFile::permissions(dir->path()) | QFileDevice::ExeOther
                                                       | QFileDevice::ReadOther));
    QProcess process;
    process.setChildProcessModifier([] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
    });
    process.start(watchdog, { u"-i"_s });
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 255);
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(err.contains(u"Cannot install \"Solvane Render Worker\". Cannot write to: "_s)
                     && err.contains(u"QtSoftware.conf. Check permissions.\n"_s)
                     && err.endsWith(u"The service Solvane Render Worker could not be installed\n"_s),
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
