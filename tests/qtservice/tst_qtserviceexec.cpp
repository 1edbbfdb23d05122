// The command line of a service executable: every option's output and exit
// code, the start path for everything that is no option, the foreground run,
// the repairs of the service name, and the executable's own path.

#include "qtservice.h"
#include "qtservicecontroller.h"
#include "servicetestsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>
#include <sys/stat.h>

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

char programName[] = "tst_qtserviceexec";
char *programArgv[] = { programName, nullptr };

// A service constructed in this process, for what needs no child process.
class LocalService : public QtService<QCoreApplication>
{
public:
    LocalService(int argc, char **argv, const QString &name,
                 QtServiceController *controller = nullptr)
        : QtService<QCoreApplication>(argc, argv, name, controller)
    {
    }

protected:
    void start() override {}
};

// argv of byte arrays that live as long as the object.
class Arguments
{
public:
    explicit Arguments(const QStringList &arguments)
    {
        for (const QString &argument : arguments)
            bytes.append(QFile::encodeName(argument));
        for (QByteArray &b : bytes)
            pointers.push_back(b.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return int(bytes.size()); }
    char **argv() { return pointers.data(); }

private:
    QList<QByteArray> bytes;
    std::vector<char *> pointers;
};

// Restores the working directory and PATH of this process.
class ProcessStateGuard
{
public:
    ProcessStateGuard()
        : cwd(QDir::currentPath()),
          path(qEnvironmentVariableIsSet("PATH") ? std::optional<QByteArray>(qgetenv("PATH"))
                                                 : std::nullopt)
    {
    }
    ~ProcessStateGuard()
    {
        QDir::setCurrent(cwd);
        if (path)
            qputenv("PATH", *path);
        else
            qunsetenv("PATH");
    }

private:
    const QString cwd;
    const std::optional<QByteArray> path;
};

} // namespace

class TestQtServiceExec : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void administrativeOptions_data();
    void administrativeOptions();
    void versionShowsArgumentZeroAsTyped();
    void startPath_data();
    void startPath();
    void foreground_data();
    void foreground();
    void noApplication_data();
    void noApplication();
    void nameRepairs_data();
    void nameRepairs();
    void executableFilePath_data();
    void executableFilePath();

private:
    QProcessEnvironment environment() const;

    std::unique_ptr<QTemporaryDir> dir;
    QString name;
    QString eventsPath;
    QString registryPath;
    Leftovers leftovers;
};

void TestQtServiceExec::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    name = uniqueServiceName(QStringLiteral("Exec"));
    eventsPath = dir->filePath(QStringLiteral("events"));
    registryPath = dir->filePath(QStringLiteral("registry"));
    leftovers.addService(name);
}

void TestQtServiceExec::cleanup()
{
    leftovers.clear();
    dir.reset();
}

QProcessEnvironment TestQtServiceExec::environment() const
{
    QProcessEnvironment env = cleanEnvironment();
    env.insert(QStringLiteral("TESTSERVICE_NAME"), name);
    env.insert(QStringLiteral("TESTSERVICE_EVENTS"), eventsPath);
    env.insert(QStringLiteral("TESTSERVICE_REGISTRY"), registryPath);
    return env;
}

void TestQtServiceExec::administrativeOptions_data()
{
    // In the expected texts, %name% stands for the service name and %argv0%
    // for argument 0. stdErr is a regular expression over the whole output
    // (%name% standing for the name as it is), since Qt's errno warnings end
    // in the system's error text.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("stdOut");
    QTest::addColumn<QString>("stdErr");
    QTest::addColumn<int>("exitCode");

    const QString usage = QString::fromLatin1(usageTemplate).replace("%s", "%argv0%");
    const QString version = QStringLiteral(
        "The service\n\t%name%\n\t%argv0%\n\nis not installed and not running\n\n");
    const QString notStopped = QStringLiteral("The service could not be stopped\\. \\(.+\\)\n");
    const QString notInstalled = QStringLiteral("The service %name% is not installed\n");

    QTest::newRow("-h") << QStringList{ "-h" } << usage << QString() << 0;
    QTest::newRow("-help") << QStringList{ "-help" } << usage << QString() << 0;
    QTest::newRow("-h with more arguments") << QStringList{ "-h", "-t" } << usage << QString() << 0;
    QTest::newRow("-v") << QStringList{ "-v" } << version << QString() << 0;
    QTest::newRow("-version") << QStringList{ "-version" } << version << QString() << 0;
    QTest::newRow("-t without daemon") << QStringList{ "-t" } << QString() << notStopped << 0;
    QTest::newRow("-terminate without daemon")
        << QStringList{ "-terminate" } << QString() << notStopped << 0;
    QTest::newRow("-p") << QStringList{ "-p" } << QString() << QString() << 0;
    QTest::newRow("-pause") << QStringList{ "-pause" } << QString() << QString() << 0;
    QTest::newRow("-r") << QStringList{ "-r" } << QString() << QString() << 0;
    QTest::newRow("-resume") << QStringList{ "-resume" } << QString() << QString() << 0;
    QTest::newRow("-c without code") << QStringList{ "-c" } << QString() << QString() << 0;
    QTest::newRow("-c 12") << QStringList{ "-c", "12" } << QString() << QString() << 0;
    QTest::newRow("-command 12") << QStringList{ "-command", "12" } << QString() << QString() << 0;
    QTest::newRow("-u not installed") << QStringList{ "-u" } << QString() << notInstalled << 0;
    QTest::newRow("-uninstall not installed")
        << QStringList{ "-uninstall" } << QString() << notInstalled << 0;
}

void TestQtServiceExec::administrativeOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, stdOut);
    QFETCH(QString, stdErr);
    QFETCH(int, exitCode);

    const QString argv0 = testServicePath();
    const auto expand = [&](QString text) {
        return text.replace("%name%", name).replace("%argv0%", argv0);
    };

    const Run run = runService(arguments, environment());
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(QString::fromLatin1(run.out), expand(stdOut));
    const QRegularExpression errPattern(QRegularExpression::anchoredPattern(
        QString(stdErr).replace("%name%", QRegularExpression::escape(name))));
    QVERIFY2(errPattern.match(QString::fromLatin1(run.err)).hasMatch(), run.err.constData());

    // No administrative option runs the service or writes the registry.
    QVERIFY(!fileExists(eventsPath));
    QVERIFY(!fileExists(registryPath));
    QVERIFY(!fileExists(controlSocketPath(name)));
}

void TestQtServiceExec::versionShowsArgumentZeroAsTyped()
{
    const QFileInfo program(testServicePath());
    const QString typed = QStringLiteral("./") + program.fileName();
    const Run run = runService({ QStringLiteral("-v") }, environment(), program.absolutePath(),
                               typed);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromLatin1(run.out),
             QStringLiteral("The service\n\t%1\n\t%2\n\nis not installed and not running\n\n")
                 .arg(name, typed));
    QCOMPARE(run.err, QByteArray());
}

void TestQtServiceExec::startPath_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("daemonVariable");

    QTest::newRow("no arguments") << QStringList{} << QStringLiteral("1");
    // Only the variable's presence counts.
    QTest::newRow("QTSERVICE_RUN empty") << QStringList{} << QString("");
    QTest::newRow("QTSERVICE_RUN 0") << QStringList{} << QStringLiteral("0");
    QTest::newRow("option in other case") << QStringList{ "-I" } << QStringLiteral("1");
    QTest::newRow("help in other case") << QStringList{ "-Help" } << QStringLiteral("1");
    QTest::newRow("doubled dash") << QStringList{ "--install" } << QStringLiteral("1");
    QTest::newRow("doubled dash terminate") << QStringList{ "--t" } << QStringLiteral("1");
    QTest::newRow("trailing character") << QStringList{ "-ix" } << QStringLiteral("1");
    QTest::newRow("trailing blank") << QStringList{ "-v " } << QStringLiteral("1");
    QTest::newRow("long option with trailing character")
        << QStringList{ "-execx" } << QStringLiteral("1");
    QTest::newRow("unknown option before -t")
        << QStringList{ "unknown", "-t" } << QStringLiteral("1");
    QTest::newRow("lone dash") << QStringList{ "-" } << QStringLiteral("1");
}

// Everything that is no option reaches the daemon, unchanged, as its
// arguments. QTSERVICE_RUN makes this process the daemon itself, so nothing
// is launched; the service quits as soon as it has started.
void TestQtServiceExec::startPath()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, daemonVariable);

    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("QTSERVICE_RUN"), daemonVariable);
    env.insert(QStringLiteral("TESTSERVICE_QUIT_AFTER_START"), QStringLiteral("1"));
    const Run run = runService(arguments, env, dir->path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err, QByteArray());

    const QStringList events = readEvents(eventsPath);
    QCOMPARE(events.size(), 1);
    const StartEvent start = parseStartEvent(events.first());
    QVERIFY2(start.valid, qPrintable(events.first()));
    QCOMPARE(start.pid, run.pid);
    QCOMPARE(start.args, (QStringList{ testServicePath() } + arguments).join('|'));
    QVERIFY(start.listening);
    QCOMPARE(start.umask, QStringLiteral("027"));
    QVERIFY(!fileExists(controlSocketPath(name)));
    QVERIFY(!fileExists(registryPath));
}

void TestQtServiceExec::foreground_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("applicationArguments");
    QTest::addColumn<bool>("daemonEnvironment");

    QTest::newRow("-e") << QStringList{ "-e" } << QStringList{} << false;
    QTest::newRow("-e with one argument")
        << QStringList{ "-e", "extra" } << QStringList{ "extra" } << false;
    QTest::newRow("-exec with two arguments")
        << QStringList{ "-exec", "-t", "x" } << QStringList{ "-t", "x" } << false;
    // The options are the same inside a daemon's environment.
    QTest::newRow("-e with QTSERVICE_RUN")
        << QStringList{ "-e", "extra" } << QStringList{ "extra" } << true;
}

// A foreground run: no control socket, the umask left as it was.
void TestQtServiceExec::foreground()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, applicationArguments);
    QFETCH(bool, daemonEnvironment);

    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("TESTSERVICE_QUIT_AFTER_START"), QStringLiteral("1"));
    if (daemonEnvironment)
        env.insert(QStringLiteral("QTSERVICE_RUN"), QStringLiteral("1"));
    const mode_t ownMask = ::umask(0);
    ::umask(ownMask);

    const Run run = runService(arguments, env, dir->path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err, QByteArray());

    const QStringList events = readEvents(eventsPath);
    QCOMPARE(events.size(), 1);
    const StartEvent start = parseStartEvent(events.first());
    QVERIFY2(start.valid, qPrintable(events.first()));
    QCOMPARE(start.pid, run.pid);
    QCOMPARE(start.args, (QStringList{ testServicePath() } + applicationArguments).join('|'));
    QVERIFY(!start.listening);
    QCOMPARE(start.umask, QStringLiteral("%1").arg(uint(ownMask), 3, 8, QLatin1Char('0')));
    QCOMPARE(start.cwd, QDir(dir->path()).canonicalPath());
}

void TestQtServiceExec::noApplication_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("daemon");
    QTest::addColumn<QString>("warning");

    QTest::newRow("foreground") << QStringList{ "-e" } << false
                                << QStringLiteral("The service could not be executed.");
    QTest::newRow("daemon") << QStringList{} << true
                            << QStringLiteral("The service failed to run.");
}

void TestQtServiceExec::noApplication()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, daemon);
    QFETCH(QString, warning);

    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("TESTSERVICE_NO_APPLICATION"), QStringLiteral("1"));
    if (daemon)
        env.insert(QStringLiteral("QTSERVICE_RUN"), QStringLiteral("1"));
    const Run run = runService(arguments, env);
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 255);
    QCOMPARE(run.out, QByteArray());
    const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(warning) + QStringLiteral(" \\(.*\\)\n")));
    QVERIFY2(pattern.match(QString::fromLatin1(run.err)).hasMatch(), run.err.constData());
    QVERIFY(!fileExists(eventsPath));
    QVERIFY(!fileExists(controlSocketPath(name)));
}

void TestQtServiceExec::nameRepairs_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("repaired");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<bool>("passController");

    const QString tooLong = QStringLiteral("QtService Test Repairs ")
        + QString(300 - 23, QLatin1Char('n'));
    const QString lengthWarning =
        QStringLiteral("QtService: 'name' is longer than 255 characters.");
    const QString backslashWarning = QStringLiteral("QtService: 'name' contains backslashes '\\'.");
    QString withNul = QStringLiteral("ab");
    withNul.insert(1, QChar(u'\0'));

    QTest::newRow("plain name") << QStringLiteral("QtService Test Repairs")
                                << QStringLiteral("QtService Test Repairs") << QStringList{}
                                << false;
    QTest::newRow("255 characters") << tooLong.left(255) << tooLong.left(255) << QStringList{}
                                    << false;
    QTest::newRow("300 characters") << tooLong << tooLong.left(255)
                                    << QStringList{ lengthWarning } << false;
    QTest::newRow("backslash") << QStringLiteral("a\\b") << withNul
                               << QStringList{ backslashWarning } << false;
    QTest::newRow("two backslashes")
        << QStringLiteral("\\a\\") << QString(QChar(u'\0')) + 'a' + QChar(u'\0')
        << QStringList{ backslashWarning } << false;
    // The cut comes first: a backslash beyond character 255 is gone with it.
    QTest::newRow("backslash beyond the cut")
        << tooLong.left(280) + QStringLiteral("\\x") << tooLong.left(255)
        << QStringList{ lengthWarning } << false;
    QTest::newRow("long name with backslash")
        << QStringLiteral("a\\") + tooLong << (withNul.left(2) + tooLong).left(255)
        << QStringList{ lengthWarning, backslashWarning } << false;
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

    std::unique_ptr<QtServiceController> controller;
    if (passController)
        controller = std::make_unique<QtServiceController>(given);
    {
        LocalService service(1, programArgv, given, controller.get());
        QCOMPARE(QtServiceBase::instance(), &service);
        QCOMPARE(service.serviceName(), repaired);
    }
    QCOMPARE(QtServiceBase::instance(), nullptr);
}

void TestQtServiceExec::executableFilePath_data()
{
    // %tmp% is the canonical temporary folder holding empty/, first/prog,
    // second/prog, work/prog and work/sub/; each row runs in work/ unless it
    // names another folder. A null PATH means PATH is unset.
    QTest::addColumn<QString>("argv0");
    QTest::addColumn<QString>("pathVariable");
    QTest::addColumn<QString>("cwd");
    QTest::addColumn<QString>("expected");

    const QString work = QStringLiteral("work");
    QTest::newRow("absolute") << QStringLiteral("/opt/elsewhere/prog") << QString() << work
                              << QStringLiteral("/opt/elsewhere/prog");
    QTest::newRow("absolute existing") << QStringLiteral("%tmp%/second/prog") << QString()
                                       << work << QStringLiteral("%tmp%/second/prog");
    QTest::newRow("absolute ignores PATH")
        << QStringLiteral("%tmp%/second/prog") << QStringLiteral("%tmp%/first") << work
        << QStringLiteral("%tmp%/second/prog");
    QTest::newRow("PATH first holder")
        << QStringLiteral("prog") << QStringLiteral("%tmp%/empty:%tmp%/first:%tmp%/second")
        << work << QStringLiteral("%tmp%/first/prog");
    QTest::newRow("PATH skips missing folders")
        << QStringLiteral("prog") << QStringLiteral("/nonexistent::%tmp%/empty:%tmp%/second")
        << work << QStringLiteral("%tmp%/second/prog");
    QTest::newRow("PATH relative entry")
        << QStringLiteral("prog") << QStringLiteral("%tmp%/empty:../second") << work
        << QStringLiteral("%tmp%/second/prog");
    QTest::newRow("PATH without holder") << QStringLiteral("prog") << QStringLiteral("%tmp%/empty")
                                         << QStringLiteral("empty")
                                         << QStringLiteral("%tmp%/empty/prog");
    QTest::newRow("PATH unset") << QStringLiteral("prog") << QString() << work
                                << QStringLiteral("%tmp%/work/prog");
    QTest::newRow("relative with slash") << QStringLiteral("sub/prog")
                                         << QStringLiteral("%tmp%/first") << work
                                         << QStringLiteral("%tmp%/work/sub/prog");
    QTest::newRow("dot slash") << QStringLiteral("./prog") << QStringLiteral("%tmp%/first")
                               << work << QStringLiteral("%tmp%/work/prog");
    QTest::newRow("parent folders") << QStringLiteral("../../first/prog") << QString()
                                    << QStringLiteral("work/sub")
                                    << QStringLiteral("%tmp%/first/prog");
}

void TestQtServiceExec::executableFilePath()
{
    QFETCH(QString, argv0);
    QFETCH(QString, pathVariable);
    QFETCH(QString, cwd);
    QFETCH(QString, expected);

    const QString tmp = QDir(dir->path()).canonicalPath();
    QVERIFY(!tmp.isEmpty());
    QDir root(tmp);
    for (const char *folder : { "empty", "first", "second", "work/sub" })
        QVERIFY(root.mkpath(QLatin1String(folder)));
    for (const char *file : { "first/prog", "second/prog", "work/prog" }) {
        QFile prog(root.filePath(QLatin1String(file)));
        QVERIFY(prog.open(QIODevice::WriteOnly));
    }
    const auto expand = [&](QString text) { return text.replace("%tmp%", tmp); };

    ProcessStateGuard guard;
    QVERIFY(QDir::setCurrent(root.filePath(cwd)));
    if (pathVariable.isNull())
        qunsetenv("PATH");
    else
        qputenv("PATH", QFile::encodeName(expand(pathVariable)));

    Arguments arguments({ expand(argv0), QStringLiteral("-e") });
    const LocalService service(arguments.argc(), arguments.argv(),
                               uniqueServiceName(QStringLiteral("Path")));
    QCOMPARE(service.executableFilePath(), expand(expected));
}

QTEST_GUILESS_MAIN(TestQtServiceExec)
#include "tst_qtserviceexec.moc"
