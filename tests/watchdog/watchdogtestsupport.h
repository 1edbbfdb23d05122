#ifndef WATCHDOGTESTSUPPORT_H
#define WATCHDOGTESTSUPPORT_H

// What the tests of the watchdog share: a Service that runs inside the test
// with its operations opened up, a resource folder of its own, the scripting
// of the stand-in worker through the environment, the capture of the
// watchdog's messages and a look at processes through /proc.

#include "resourcefolder.h"
#include "service.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace WatchdogTest {

// The built stand-in worker.
inline const QString workerProgram = QStringLiteral(RENDER_WORKER_PATH);
inline const QString workerName = QStringLiteral("Solvane Test Render Worker");
inline const QString singleProcessName = QStringLiteral("Solvane Test Render Service");
inline const QString workerBin = QStringLiteral("Solvane Worker/bin/render_worker");

// Delays of the tests that do not measure them.
constexpr int shortDelayMs = 200;
// How long a test waits for something that must happen.
constexpr int waitMs = 10000;

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(content) == content.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A worker installation below folder: folder/"Solvane Worker/bin"/render_worker,
// a copy of the stand-in (a copy, so that /proc tells it from the default).
inline bool installWorkerCopy(const QString &folder)
{
    const QString target = QDir(folder).filePath(workerBin);
    return QDir().mkpath(QFileInfo(target).absolutePath()) && QFile::copy(workerProgram, target)
            && QFile::setPermissions(target, QFile::permissions(workerProgram));
}

// The service with its operations and fields opened up, set up as
// createApplication would set it up, but with a worker program, a resource
// folder and delays of the test's choosing.
class TestService : public Service
{
public:
    enum Delays { ShortDelays, ProductDelays };

    TestService(const QString &name, const QString &program, const QString &resourceFolder,
                Delays delays = ShortDelays)
        : Service(name, 1, arguments(), nullptr)
    {
        appPath = program;
        appName = QFileInfo(program).baseName();
        dataPath = QDir(resourceFolder);
        if (delays == ShortDelays)
            setRestartDelay(shortDelayMs);
        readWorkerSettings();
    }

    void setRestartDelay(int ms)
    {
        startDelayMs = ms;
        restartDelayMs = ms;
    }

    using Service::appPath;
    using Service::cpuEnabled;
    using Service::cpuProc;
    using Service::gpuEnabled;
    using Service::gpuProc;
    using Service::isWorker;
    using Service::pause;
    using Service::readWorkerSettings;
    using Service::resume;
    using Service::start;
    using Service::startProcess;
    using Service::stop;

private:
    static char **arguments()
    {
        static char program[] = "tst_watchdog";
        static char *argv[] = { program, nullptr };
        return argv;
    }
};

// Points the system-scope stores at a folder of its own for its lifetime.
class SystemScopeRedirect
{
public:
    explicit SystemScopeRedirect(const QString &folder)
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, folder);
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, folder);
    }
    ~SystemScopeRedirect()
    {
        const QString standard = QLibraryInfo::path(QLibraryInfo::SettingsPath);
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, standard);
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, standard);
    }
    Q_DISABLE_COPY_MOVE(SystemScopeRedirect)
};

// A resource folder of the test's own, recorded in the redirected
// system-scope store so that the service reads its "settings.conf" there.
class ResourceFolder
{
public:
    ResourceFolder() : redirect(systemFolder.path())
    {
        QSettings store(QSettings::SystemScope, QStringLiteral("Morvek"),
                        QStringLiteral("Solvane Network Rendering"));
        store.setValue(QStringLiteral("resources"), folder.path());
        store.sync();
    }
    Q_DISABLE_COPY_MOVE(ResourceFolder)

    // Also whether the service finds this folder: a "resources.ini" beside
    // the test program would send it elsewhere.
    bool isValid() const
    {
        return systemFolder.isValid() && folder.isValid()
                && QDir(resourceFolderPath()) == QDir(folder.path());
    }
    QString path() const { return folder.path(); }
    QString filePath(const QString &name) const { return folder.filePath(name); }
    QString versionFile() const { return folder.filePath(QStringLiteral("render_worker.version")); }

    bool writeWorkerSettings(bool cpu, bool gpu) const
    {
        QSettings store(folder.filePath(QStringLiteral("settings.conf")), QSettings::NativeFormat);
        store.beginGroup(QStringLiteral("worker"));
        store.setValue(QStringLiteral("workerCpu"), cpu);
        store.setValue(QStringLiteral("workerGpu"), gpu);
        store.endGroup();
        store.sync();
        return store.status() == QSettings::NoError;
    }

private:
    QTemporaryDir systemFolder;
    SystemScopeRedirect redirect;
    QTemporaryDir folder;
};

// Scripts the stand-in worker through RENDER_WORKER_* variables of this
// process, which the service hands on to the workers it creates from then on.
class WorkerScript
{
public:
    WorkerScript() = default;
    ~WorkerScript() { clear(); }
    Q_DISABLE_COPY_MOVE(WorkerScript)

    void set(const QByteArray &name, const QByteArray &value)
    {
        const QByteArray variable = "RENDER_WORKER_" + name;
        qputenv(variable.constData(), value);
        if (!names.contains(variable))
            names.append(variable);
    }
    void clear()
    {
        for (const QByteArray &variable : std::as_const(names))
            qunsetenv(variable.constData());
        names.clear();
    }

private:
    QList<QByteArray> names;
};

struct WorkerEvent
{
    QString what; // "start", "exit", "crash" or "stop"
    qint64 pid = 0;
    QString arguments; // of a start, joined by blanks
};

// The lines the workers append to RENDER_WORKER_RECORD.
inline QList<WorkerEvent> readRecord(const QString &path)
{
    QList<WorkerEvent> events;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return events;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).chopped(1);
        const QStringList items = line.split(QLatin1Char(' '));
        if (items.size() < 2)
            continue;
        events.append({ items.at(0), items.at(1).toLongLong(), items.mid(2).join(QLatin1Char(' ')) });
    }
    return events;
}

inline QList<WorkerEvent> recordedStarts(const QString &path)
{
    QList<WorkerEvent> starts;
    const QList<WorkerEvent> events = readRecord(path);
    for (const WorkerEvent &event : events) {
        if (event.what == QLatin1String("start"))
            starts.append(event);
    }
    return starts;
}

inline int recordedCount(const QString &path, const QString &what, qint64 pid)
{
    int count = 0;
    const QList<WorkerEvent> events = readRecord(path);
    for (const WorkerEvent &event : events)
        count += event.what == what && event.pid == pid;
    return count;
}

// A process that no longer exists, or that has ended and waits to be reaped
// (a zombie), is gone.
inline bool isGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const int nameEnd = line.lastIndexOf(')');
    if (nameEnd < 0 || nameEnd + 2 >= line.size())
        return true;
    const char state = line.at(nameEnd + 2);
    return state == 'Z' || state == 'X';
}

// The program file a running process executes.
inline QString executableOf(qint64 pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
}

inline QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

// Sets or removes an environment variable of this process for the guard's
// lifetime.
class EnvironmentGuard
{
public:
    EnvironmentGuard(const char *name, const QByteArray &value)
        : name(name), had(qEnvironmentVariableIsSet(name)), old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~EnvironmentGuard()
    {
        if (had)
            qputenv(name, old);
        else
            qunsetenv(name);
    }
    Q_DISABLE_COPY_MOVE(EnvironmentGuard)

private:
    const char *name;
    const bool had;
    const QByteArray old;
};

// Resident memory of this process in KiB. (Files in /proc have no size, so
// the text is read whole instead of line by line up to the end.)
inline qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).simplified().split(' ').first().toLongLong();
    }
    return -1;
}

struct LoggedLine
{
    QtMsgType type;
    QString text;
    qint64 atMs; // wall-clock time of the entry
};

// Collects the texts of every message of the process while it lives (the
// service writes them as QDebug formats them, so values come quoted).
class MessageCapture
{
public:
    MessageCapture()
    {
        current = this;
        previous = qInstallMessageHandler(handler);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    Q_DISABLE_COPY_MOVE(MessageCapture)

    QList<LoggedLine> lines() const
    {
        QMutexLocker lock(&mutex);
        return captured;
    }

    QStringList texts(QtMsgType type) const
    {
        QStringList result;
        const QList<LoggedLine> all = lines();
        for (const LoggedLine &line : all) {
            if (line.type == type)
                result.append(line.text);
        }
        return result;
    }

    int count(QtMsgType type, const QString &text) const { return int(texts(type).count(text)); }

    // Lines of the type that begin with prefix.
    int countStarting(QtMsgType type, const QString &prefix) const
    {
        int result = 0;
        const QStringList all = texts(type);
        for (const QString &text : all)
            result += text.startsWith(prefix);
        return result;
    }

    // Time of the first entry of the type with exactly this text after the
    // first skip ones, or -1.
    qint64 timeOf(QtMsgType type, const QString &text, int skip = 0) const
    {
        const QList<LoggedLine> all = lines();
        for (const LoggedLine &line : all) {
            if (line.type == type && line.text == text && skip-- == 0)
                return line.atMs;
        }
        return -1;
    }

    void dump() const
    {
        static const char tags[] = { 'D', 'W', 'C', 'F', 'I' };
        const QList<LoggedLine> all = lines();
        for (const LoggedLine &line : all)
            std::fprintf(stderr, "  [%c] %s\n", tags[line.type], qPrintable(line.text));
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (current) {
            QMutexLocker lock(&current->mutex);
            current->captured.append({ type, text, QDateTime::currentMSecsSinceEpoch() });
        }
        if (type == QtFatalMsg && current && current->previous)
            current->previous(type, context, text);
    }

    static inline MessageCapture *current = nullptr;
    QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QList<LoggedLine> captured;
};

// The immutable attribute on a file for the guard's lifetime: not even root
// can delete the file then. Not every file system has the attribute.
class ImmutableFile
{
public:
    explicit ImmutableFile(const QString &path) : path(path), isSet(setImmutable(true)) {}
    ~ImmutableFile()
    {
        if (isSet)
            setImmutable(false);
    }
    Q_DISABLE_COPY_MOVE(ImmutableFile)

    bool isValid() const { return isSet; }

private:
    bool setImmutable(bool on) const
    {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return ok;
    }

    const QString path;
    const bool isSet;
};

// What every test starts from: a resource folder of its own, a file in which
// the workers record their starts and ends, and the capture of messages.
class Fixture
{
public:
    Fixture()
        : record(resources.filePath(QStringLiteral("workers.record"))),
          recordGuard("RENDER_WORKER_RECORD", QFile::encodeName(record))
    {
    }
    Q_DISABLE_COPY_MOVE(Fixture)

    bool isValid() const { return resources.isValid(); }

    QList<WorkerEvent> starts() const { return recordedStarts(record); }

    ResourceFolder resources;
    const QString record;
    MessageCapture messages;
    WorkerScript script;

private:
    EnvironmentGuard recordGuard;
};

} // namespace WatchdogTest

#endif // WATCHDOGTESTSUPPORT_H
