// The command line of a service executable: every option's output and exit
// code, the start path for everything that is no option, the foreground run,
// the repairs of the service name, and the executable's own path.

#include "servicetestsupport.h"

#include <QScopeGuard>

#include <memory>

using namespace ServiceTest;

namespace {

const char usageTemplate[] =
    "\n"
    "%s -[i|u|e|s|v|h]\n"
    "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account "
    "and password\n"
    "\t-u(ninstall)\t: Uninstall the service.\n"
    "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
    "\t-t(erminate)\t: Stop the service.\n"
    "\t-c(ommand) num\t: Send command code num to the service.\n"
    "\t-v(ersion)\t: Print version and status information.\n"
    "\t-h(elp)   \t: Show this help\n"
    "\tNo arguments\t: Start the service.\n";

} // namespace

class TestQtServiceExec : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandLine_data();
    void commandLine();
    void runs_data();
    void runs();
    void nameRepairs_data();
    void nameRepairs();
    void executableFilePath_data();
    void executableFilePath();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString name;
    Leftovers leftovers;
};

void TestQtServiceExec::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    name = uniqueServiceName(QStringLiteral("Exec"));
    leftovers.addService(name);
}

void TestQtServiceExec::cleanup()
{
    leftovers.clear();
    dir.reset();
}

void TestQtServiceExec::commandLine_data()
{
    // %name% stands for the service name, %argv0% for argument 0. stdErr is a
    // regular expression over the whole output, since Qt's errno warnings end
    // in the system's error text.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<QString>("stdOut");
    QTest::addColumn<QString>("stdErr");
    QTest::addColumn<int>("exitCode");

    const QString usage = QString::fromLatin1(usageTemplate).replace("%s", "%argv0%");
    const QString version = QStringLiteral(
        "The service\n\t%name%\n\t%argv0%\n\nis not installed and not running\n\n");
    const QString notStopped = QStringLiteral("The service could not be stopped\\. \\(.+\\)\n");
    const QString notInstalled = QStringLiteral("The service %name% is not installed\n");
    const auto row = [](const char *rowName, const QStringList &arguments, const QString &out,
                         const QString &err, const QStringList &switches = {}, int code = 0) {
        QTest::newRow(rowName) << arguments << switches << out << err << code;
    };
    row("-h", { "-h" }, usage, {});
    row("-help with more arguments", { "-help", "-t" }, usage, {});
    row("--help", { "--help" }, usage, {});
    row("-v", { "-v" }, version, {});
    row("-version", { "-version" }, version, {});
    row("-t without daemon", { "-t" }, {}, notStopped);
    row("-terminate without daemon", { "-terminate" }, {}, notStopped);
    row("-c without daemon", { "-c", "12" }, {}, {});
    row("-u not installed", { "-u" }, {}, notInstalled);
    row("-uninstall not installed", { "-uninstall" }, {}, notInstalled);
    row("-e without application", { "-e" }, {},
        QStringLiteral("The service could not be executed\\. \\(.*\\)\n"),
        { "TESTSERVICE_NO_APPLICATION" }, 255);
    row("daemon without application", {}, {}, QStringLiteral("The service failed to run\\. \\(.*\\)\n"),
        { "TESTSERVICE_NO_APPLICATION", "QTSERVICE_RUN" }, 255);
}

// Run as typed, relative to the program's folder, so argument 0 is seen as
// typed. None of these runs the service or writes the registry.
void TestQtServiceExec::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, switches);
    QFETCH(QString, stdOut);
    QFETCH(QString, stdErr);
    QFETCH(int, exitCode);

    const QFileInfo program(testServicePath());
    const QString argv0 = QStringLiteral("./") + program.fileName();
    const Run run = runService(arguments, serviceEnvironment(name, dir->path(), switches),
                               program.absolutePath(), argv0);
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(QString::fromLatin1(run.out), stdOut.replace("%name%", name).replace("%argv0%", argv0));
    const QRegularExpression errPattern(QRegularExpression::anchoredPattern(
        stdErr.replace("%name%", QRegularExpression::escape(name))));
    QVERIFY2(errPattern.match(QString::fromLatin1(run.err)).hasMatch(), run.err.constData());

    QVERIFY(!fileExists(dir->filePath(QStringLiteral("events"))));
    QVERIFY(!fileExists(dir->filePath(QStringLiteral("registry"))));
    QVERIFY(!fileExists(controlSocketPath(name)));
}

void TestQtServiceExec::runs_data()
{
    // A null daemonVariable leaves QTSERVICE_RUN unset.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("daemonVariable");
    QTest::addColumn<QStringList>("applicationArguments");

    const QString set = QStringLiteral("1");
    // Everything that is no option reaches the daemon unchanged.
    const auto start = [&](const char *rowName, const QStringList &arguments, const QString &variable) {
        QTest::newRow(rowName) << arguments << variable << arguments;
    };
    start("no arguments", {}, set);
    // Only the variable's presence counts.
    start("QTSERVICE_RUN empty", {}, QStringLiteral(""));
    start("option in other case", { "-I" }, set);
    start("doubled dash", { "--t" }, set);
    start("--help with a tail", { "--helpx" }, set);
    start("trailing character", { "-ix" }, set);
    start("unknown option before -t", { "unknown", "-t" }, set);
    // The foreground run takes its option out; it is the same inside a
    // daemon's environment.
    QTest::newRow("-e with one argument") << QStringList{ "-e", "extra" } << QString()
                                          << QStringList{ "extra" };
    QTest::newRow("-exec with two arguments") << QStringList{ "-exec", "-t", "x" } << QString()
                                              << QStringList{ "-t", "x" };
    QTest::newRow("-e with QTSERVICE_RUN") << QStringList{ "-e", "extra" } << set
                                           << QStringList{ "extra" };
}

// QTSERVICE_RUN on the start path makes this run the daemon itself, so
// nothing is launched: it listens with umask 027. A foreground run has no
// control socket and keeps the umask. The service quits once started.
void TestQtServiceExec::runs()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, daemonVariable);
    QFETCH(QStringList, applicationArguments);

    QProcessEnvironment env =
        serviceEnvironment(name, dir->path(), { QStringLiteral("TESTSERVICE_QUIT_AFTER_START") });
    if (!daemonVariable.isNull())
        env.insert(QStringLiteral("QTSERVICE_RUN"), daemonVariable);
    const bool daemon = !arguments.value(0).startsWith(QLatin1String("-e")); // -e, -exec
    const mode_t ownMask = ::umask(0);
    ::umask(ownMask);

    const Run run = runService(arguments, env, dir->path());
    VERIFY_RUN(run, 0, "", "");
    const QStringList events = readEvents(dir->filePath(QStringLiteral("events")));
    QCOMPARE(events.size(), 1);
    const StartEvent start = parseStartEvent(events.first());
    QVERIFY2(start.valid, qPrintable(events.first()));
    QCOMPARE(start.pid, run.pid);
    QCOMPARE(start.cwd, QDir(dir->path()).canonicalPath());
    QCOMPARE(start.args, (QStringList{ testServicePath() } + applicationArguments).join('|'));
    QCOMPARE(start.listening, daemon);
    QCOMPARE(start.umask, QStringLiteral("%1").arg(daemon ? 027u : uint(ownMask), 3, 8, QLatin1Char('0')));
    QVERIFY(!fileExists(controlSocketPath(name)));
    QVERIFY(!fileExists(dir->filePath(QStringLiteral("registry"))));
}

void TestQtServiceExec::nameRepairs_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("repaired");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<bool>("passController");

    const QString tooLong = QStringLiteral("QtService Test Repairs ") + QString(277, QLatin1Char('n'));
    const QString lengthWarning = QStringLiteral("QtService: 'name' is longer than 255 characters.");
    const QString backslashWarning = QStringLiteral("QtService: 'name' contains backslashes '\\'.");
    const QChar nul(u'\0');

    QTest::newRow("255 characters") << tooLong.left(255) << tooLong.left(255) << QStringList{} << false;
    QTest::newRow("300 characters") << tooLong << tooLong.left(255) << QStringList{ lengthWarning } << false;
    QTest::newRow("two backslashes") << QStringLiteral("\\a\\") << QString(nul) + 'a' + nul
                                     << QStringList{ backslashWarning } << false;
    // The cut comes first: a backslash beyond character 255 is gone with it.
    QTest::newRow("backslash beyond the cut") << tooLong.left(280) + QStringLiteral("\\x")
                                              << tooLong.left(255) << QStringList{ lengthWarning } << false;
    // A controller passed in keeps the name it was built with.
    QTest::newRow("passed controller") << QStringLiteral("a\\b") << QStringLiteral("a\\b")
                                       << QStringList{ backslashWarning } << true;
}

void TestQtServiceExec::nameRepairs()
{
    QFETCH(QString, given);
    QFETCH(QString, repaired);
    QFETCH(QStringList, warnings);
    QFETCH(bool, passController);

    for (const QString &warning : std::as_const(warnings))
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    QtServiceController controller(given);
    {
        LocalService service(given, 1, defaultArgv(), passController ? &controller : nullptr);
        QCOMPARE(QtServiceBase::instance(), &service);
        QCOMPARE(service.serviceName(), repaired);
    }
    QCOMPARE(QtServiceBase::instance(), nullptr);
}

void TestQtServiceExec::executableFilePath_data()
{
    // %tmp% is the canonical temporary folder holding empty/, first/prog,
    // second/prog, work/prog and work/sub/; cwd is relative to it. A null
    // PATH means PATH is unset.
    QTest::addColumn<QString>("argv0");
    QTest::addColumn<QString>("pathVariable");
    QTest::addColumn<QString>("cwd");
    QTest::addColumn<QString>("expected");

    const auto row = [](const char *rowName, const char *argv0, const char *path, const char *cwd,
                        const char *expected) {
        QTest::newRow(rowName) << QString::fromLatin1(argv0) << (path ? QString::fromLatin1(path) : QString())
                               << QString::fromLatin1(cwd) << QString::fromLatin1(expected);
    };
    row("absolute", "/opt/elsewhere/prog", nullptr, "work", "/opt/elsewhere/prog");
    row("absolute ignores PATH", "%tmp%/second/prog", "%tmp%/first", "work", "%tmp%/second/prog");
    row("PATH first holder", "prog", "%tmp%/empty:%tmp%/first:%tmp%/second", "work", "%tmp%/first/prog");
    row("PATH skips missing folders", "prog", "/nonexistent::%tmp%/empty:%tmp%/second", "work",
        "%tmp%/second/prog");
    row("PATH relative entry", "prog", "%tmp%/empty:../second", "work", "%tmp%/second/prog");
    row("PATH without holder", "prog", "%tmp%/empty", "empty", "%tmp%/empty/prog");
    row("PATH unset", "prog", nullptr, "work", "%tmp%/work/prog");
    row("relative with slash", "sub/prog", "%tmp%/first", "work", "%tmp%/work/sub/prog");
    row("parent folders", "../../first/prog", nullptr, "work/sub", "%tmp%/first/prog");
}

void TestQtServiceExec::executableFilePath()
{
    QFETCH(QString, argv0);
    QFETCH(QString, pathVariable);
    QFETCH(QString, cwd);
    QFETCH(QString, expected);

    const QString tmp = QDir(dir->path()).canonicalPath();
    const QDir root(tmp);
    for (const char *folder : { "empty", "first", "second", "work/sub" })
        QVERIFY(root.mkpath(QLatin1String(folder)));
    for (const char *file : { "first/prog", "second/prog", "work/prog" })
        QVERIFY(writeFile(root.filePath(QLatin1String(file)), {}));
    const auto expand = [&](QString text) { return text.replace("%tmp%", tmp); };

    const QString previousCwd = QDir::currentPath();
    const auto restoreCwd = qScopeGuard([&] { QDir::setCurrent(previousCwd); });
    EnvironmentGuard environment;
    QVERIFY(QDir::setCurrent(root.filePath(cwd)));
    if (pathVariable.isNull())
        qunsetenv("PATH");
    else
        qputenv("PATH", QFile::encodeName(expand(pathVariable)));

    QByteArray program = QFile::encodeName(expand(argv0));
    char *argv[] = { program.data(), nullptr };
    const LocalService service(uniqueServiceName(QStringLiteral("Path")), 1, argv);
    QCOMPARE(service.executableFilePath(), expand(expected));
}

QTEST_GUILESS_MAIN(TestQtServiceExec)
#include "tst_qtserviceexec.moc"
