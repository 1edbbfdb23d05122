#ifndef SERVICETESTSUPPORT_H
#define SERVICETESTSUPPORT_H

// Running the scripted test service (qtservice_testservice) and reading its
// events file, services in this process, guards for what a test changes in
// this process, and making sure that nothing a test started outlives it.

#include "controlsocket.h"
#include "qtservice.h"
#include "qtservicecontroller.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <memory>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ServiceTest {

constexpr int startTimeoutMs = 15000;

inline QString testServicePath()
{
    return QStringLiteral(TESTSERVICE_PATH);
}

// Unique per test and per process, so that parallel runs never share a
// registry group or a control socket; the sanitized form stays unique too.
inline QString uniqueServiceName(const QString &testName)
{
    return QStringLiteral("QtService Test %1 %2").arg(testName).arg(QCoreApplication::applicationPid());
}

// The test service as name, with its events file and registry in folder and
// each of switches set; nothing inherited changes its role or script.
inline QProcessEnvironment serviceEnvironment(const QString &name, const QString &folder,
                                              const QStringList &switches = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QTSERVICE_RUN"));
    const QStringList keys = env.keys();
    for (const QString &key : keys) {
        if (key.startsWith(QLatin1String("TESTSERVICE_")))
            env.remove(key);
    }
    env.insert(QStringLiteral("TESTSERVICE_NAME"), name);
    env.insert(QStringLiteral("TESTSERVICE_EVENTS"), folder + QStringLiteral("/events"));
    env.insert(QStringLiteral("TESTSERVICE_REGISTRY"), folder + QStringLiteral("/registry"));
    for (const QString &variable : switches)
        env.insert(variable, QStringLiteral("1"));
    return env;
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The type and permissions of what is at path; 0 when nothing is.
inline mode_t fileMode(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode : 0;
}

inline bool fileExists(const QString &path)
{
    return fileMode(path) != 0;
}

// The test service as a child of this process. It dies with this process
// and is killed if it outlives the object. Its output goes through files: a
// daemon it launches inherits them and may write after it has ended.
class ServiceChild
{
public:
    ServiceChild(const QStringList &arguments, const QProcessEnvironment &env,
                 const QString &workingDir = QString(), const QString &program = testServicePath())
    {
        process.setProgram(program);
        process.setArguments(arguments);
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(workingDir);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(output.filePath(QStringLiteral("out")));
        process.setStandardErrorFile(output.filePath(QStringLiteral("err")));
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start();
        if (process.waitForStarted(startTimeoutMs))
            pid = process.processId();
    }
    ~ServiceChild()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    ServiceChild(const ServiceChild &) = delete;
    ServiceChild &operator=(const ServiceChild &) = delete;

    QByteArray out() const { return readFile(output.filePath(QStringLiteral("out"))); }
    QByteArray err() const { return readFile(output.filePath(QStringLiteral("err"))); }

    // Runs the event loop until the process has ended with exit code 0.
    bool endsCleanly()
    {
        return QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, startTimeoutMs)
            && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    bool endsCleanlyOn(int signalNumber) { return ::kill(pid_t(pid), signalNumber) == 0 && endsCleanly(); }

    const QTemporaryDir output;
    QProcess process;
    qint64 pid = 0;
};

struct Run
{
    qint64 pid = 0;
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs the test service to its end. program may be relative to workingDir,
// to see argument 0 as typed.
inline Run runService(const QStringList &arguments, const QProcessEnvironment &env,
                      const QString &workingDir = QString(), const QString &program = testServicePath())
{
    ServiceChild child(arguments, env, workingDir, program);
    const bool finished = child.process.waitForFinished(30000);
    return { child.pid, finished, child.process.exitStatus(), child.process.exitCode(), child.out(),
             child.err() };
}

// A run that ended normally with this exit code and exactly this output.
#define VERIFY_RUN(runExpression, exitCodeValue, expectedOut, expectedErr)                        \
    do {                                                                                        \
        const ServiceTest::Run verifiedRun = (runExpression);                                   \
        QVERIFY(verifiedRun.finished);                                                          \
        QCOMPARE(verifiedRun.exitStatus, QProcess::NormalExit);                                 \
        QCOMPARE(verifiedRun.exitCode, exitCodeValue);                                          \
        QCOMPARE(QString::fromLatin1(verifiedRun.out), QString(expectedOut));                   \
        QCOMPARE(QString::fromLatin1(verifiedRun.err), QString(expectedErr));                   \
    } while (false)

inline QStringList eventsStartingWith(const QString &eventsPath, const QString &prefix = QString())
{
    QStringList events = QString::fromUtf8(readFile(eventsPath)).split(QLatin1Char('\n'));
    events.removeIf([&](const QString &event) { return event.isEmpty() || !event.startsWith(prefix); });
    return events;
}

inline QStringList readEvents(const QString &eventsPath)
{
    return eventsStartingWith(eventsPath);
}

struct StartEvent
{
    bool valid = false;
    qint64 pid = 0;
    QString cwd;
    QString umask;
    bool listening = false;
    QString args;
};

inline StartEvent parseStartEvent(const QString &line)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^start (\\d+) cwd=(.*) umask=([0-7]+) listening=([01]) args=(.*)$"));
    const QRegularExpressionMatch match = pattern.match(line);
    if (!match.hasMatch())
        return {};
    return { true, match.captured(1).toLongLong(), match.captured(2), match.captured(3),
             match.captured(4) == QLatin1String("1"), match.captured(5) };
}

// The first start event of an events file, invalid while there is none.
inline StartEvent firstStart(const QString &eventsPath)
{
    return parseStartEvent(eventsStartingWith(eventsPath, QStringLiteral("start ")).value(0));
}

// The test service as a child of this process once it has started: the
// daemon role itself (nothing launched), or a foreground run.
inline std::unique_ptr<ServiceChild> startService(QProcessEnvironment env, bool daemon = true)
{
    if (daemon)
        env.insert(QStringLiteral("QTSERVICE_RUN"), QStringLiteral("1"));
    auto child = std::make_unique<ServiceChild>(daemon ? QStringList() : QStringList{ "-e" }, env);
    const QString events = env.value(QStringLiteral("TESTSERVICE_EVENTS"));
    const QString started = QStringLiteral("start %1 ").arg(child->pid);
    if (!QTest::qWaitFor([&] { return !eventsStartingWith(events, started).isEmpty(); }, startTimeoutMs))
        child.reset();
    return child;
}

// Gone means no such process, or a zombie nobody has reaped yet (a
// detached daemon belongs to whatever adopted it).
inline bool processGone(qint64 pid)
{
    if (::kill(pid_t(pid), 0) != 0)
        return errno == ESRCH;
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

// Kills the test services (their executable is the test service and their
// environment names a service of this test process) and removes the control
// sockets of the service names a test registered, at the latest when it goes
// out of scope, whatever the test's outcome.
class Leftovers
{
public:
    Leftovers() = default;
    Leftovers(const Leftovers &) = delete;
    Leftovers &operator=(const Leftovers &) = delete;
    ~Leftovers() { clear(); }

    void addService(const QString &name) { names.append(name); }
    void clear()
    {
        const QString executable = QFileInfo(testServicePath()).canonicalFilePath();
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString &entry : entries) {
            const QString base = QStringLiteral("/proc/") + entry;
            if (entry.toLongLong() <= 0 || QFile::symLinkTarget(base + QStringLiteral("/exe")) != executable)
                continue;
            const QList<QByteArray> environment = readFile(base + QStringLiteral("/environ")).split('\0');
            for (const QString &name : std::as_const(names)) {
                if (environment.contains("TESTSERVICE_NAME=" + name.toUtf8()))
                    ::kill(pid_t(entry.toLongLong()), SIGKILL);
            }
        }
        for (const QString &name : std::as_const(names))
            ::unlink(QFile::encodeName(controlSocketPath(name)).constData());
        names.clear();
    }

private:
    QStringList names;
};

// Puts the environment of this process back as it was.
class EnvironmentGuard
{
public:
    EnvironmentGuard() = default;
    EnvironmentGuard(const EnvironmentGuard &) = delete;
    EnvironmentGuard &operator=(const EnvironmentGuard &) = delete;
    ~EnvironmentGuard()
    {
        const QStringList keys = QProcessEnvironment::systemEnvironment().keys();
        for (const QString &key : keys)
            qunsetenv(key.toLocal8Bit().constData());
        const QStringList savedKeys = saved.keys();
        for (const QString &key : savedKeys)
            qputenv(key.toLocal8Bit().constData(), saved.value(key).toLocal8Bit());
    }

    // The script of env for the test services this process starts itself.
    void adopt(const QProcessEnvironment &env)
    {
        qunsetenv("QTSERVICE_RUN");
        const QStringList keys = env.keys();
        for (const QString &key : keys) {
            if (key.startsWith(QLatin1String("TESTSERVICE_")))
                qputenv(key.toLocal8Bit().constData(), env.value(key).toLocal8Bit());
        }
    }

private:
    const QProcessEnvironment saved = QProcessEnvironment::systemEnvironment();
};

// Points the system-scope store, and with it the registry of services, at
// folder for the object's lifetime.
class RegistryRedirect
{
public:
    explicit RegistryRedirect(const QString &folder)
        : previous(QFileInfo(QSettings(QSettings::SystemScope, QStringLiteral("QtSoftware")).fileName())
                       .path())
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, folder);
    }
    ~RegistryRedirect() { QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, previous); }
    RegistryRedirect(const RegistryRedirect &) = delete;
    RegistryRedirect &operator=(const RegistryRedirect &) = delete;

private:
    const QString previous;
};

inline char **defaultArgv()
{
    static char program[] = "servicetest";
    static char *argv[] = { program, nullptr };
    return argv;
}

// A service object in this process that records which of its operations
// the framework called.
class LocalService : public QtService<QCoreApplication>
{
public:
    explicit LocalService(const QString &name, int argc = 1, char **argv = defaultArgv(),
                          QtServiceController *controller = nullptr)
        : QtService<QCoreApplication>(argc, argv, name, controller)
    {
    }

    QStringList calls;
    bool quitInStart = false;

protected:
    void start() override
    {
        calls << QStringLiteral("start");
        if (quitInStart)
            QCoreApplication::quit();
    }
    void stop() override { calls << QStringLiteral("stop"); }
    void pause() override { calls << QStringLiteral("pause"); }
    void resume() override { calls << QStringLiteral("resume"); }
    void processCommand(int code) override { calls << QStringLiteral("command %1").arg(code); }
};

} // namespace ServiceTest

#endif // SERVICETESTSUPPORT_H
