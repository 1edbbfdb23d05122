#ifndef SERVICETESTSUPPORT_H
#define SERVICETESTSUPPORT_H

// Running the scripted test service (qtservice_testservice) as a child
// process, reading its events file, and making sure that nothing a test
// started outlives it.

#include "controlsocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace ServiceTest {

inline QString testServicePath()
{
    return QStringLiteral(TESTSERVICE_PATH);
}

// Unique per test and per process, so that parallel runs never share a
// registry group or a control socket. The parts are letters and digits, so
// the sanitized form stays unique too.
inline QString uniqueServiceName(const QString &testName)
{
    return QStringLiteral("QtService Test %1 %2")
        .arg(testName)
        .arg(QCoreApplication::applicationPid());
}

// The environment of this process without anything that would change the
// role or the script of the test service.
inline QProcessEnvironment cleanEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QTSERVICE_RUN"));
    const QStringList keys = env.keys();
    for (const QString &key : keys) {
        if (key.startsWith(QLatin1String("TESTSERVICE_")))
            env.remove(key);
    }
    return env;
}

struct Run
{
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    int exitCode = -1;
    qint64 pid = 0;
    QByteArray out;
    QByteArray err;
};

// Runs the test service to its end. program may be relative to workingDir
// (to see argument 0 as typed).
inline Run runService(const QStringList &arguments, const QProcessEnvironment &env,
                      const QString &workingDir = QString(),
                      const QString &program = testServicePath())
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workingDir);
    process.setStandardInputFile(QProcess::nullDevice());
    Run run;
    process.start();
    if (process.waitForStarted(30000))
        run.pid = process.processId();
    run.finished = process.waitForFinished(30000);
    run.exitStatus = process.exitStatus();
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

inline QStringList readEvents(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

inline QStringList eventsStartingWith(const QString &path, const QString &prefix)
{
    QStringList result;
    const QStringList events = readEvents(path);
    for (const QString &event : events) {
        if (event.startsWith(prefix))
            result.append(event);
    }
    return result;
}

// The fields of a "start" event.
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
    StartEvent event;
    if (!match.hasMatch())
        return event;
    event.valid = true;
    event.pid = match.captured(1).toLongLong();
    event.cwd = match.captured(2);
    event.umask = match.captured(3);
    event.listening = match.captured(4) == QLatin1String("1");
    event.args = match.captured(5);
    return event;
}

// The first start event of an events file, invalid while there is none.
inline StartEvent firstStart(const QString &eventsPath)
{
    const QStringList starts = eventsStartingWith(eventsPath, QStringLiteral("start "));
    return starts.isEmpty() ? StartEvent() : parseStartEvent(starts.first());
}

inline bool fileExists(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

// Gone means no such process, or a zombie nobody has reaped yet (a
// detached daemon belongs to whatever adopted it).
inline bool processGone(qint64 pid)
{
    if (::kill(pid_t(pid), 0) != 0)
        return errno == ESRCH;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype end = text.lastIndexOf(')');
    return end >= 0 && text.mid(end + 2, 1) == "Z";
}

// The live processes of the test service started for serviceName: their
// executable is the test service and their environment names the service,
// which is unique to one test process. Only the environment of test
// service processes is read.
inline QList<qint64> serviceProcesses(const QString &serviceName)
{
    const QString executable = QFileInfo(testServicePath()).canonicalFilePath();
    const QByteArray variable = "TESTSERVICE_NAME=" + serviceName.toUtf8();
    QList<qint64> result;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || processGone(pid))
            continue;
        const QString base = QStringLiteral("/proc/") + entry;
        if (QFile::symLinkTarget(base + QStringLiteral("/exe")) != executable)
            continue;
        QFile environ(base + QStringLiteral("/environ"));
        if (environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(variable))
            result.append(pid);
    }
    return result;
}

// Kills the test services and removes the control sockets of the service
// names a test registered, at the latest when it goes out of scope,
// whatever the test's outcome.
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
        for (const QString &name : std::as_const(names)) {
            const QList<qint64> pids = serviceProcesses(name);
            for (const qint64 pid : pids)
                ::kill(pid_t(pid), SIGKILL);
            ::unlink(QFile::encodeName(controlSocketPath(name)).constData());
        }
        names.clear();
    }

private:
    QStringList names;
};

} // namespace ServiceTest

#endif // SERVICETESTSUPPORT_H
