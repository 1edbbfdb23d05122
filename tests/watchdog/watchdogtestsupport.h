#ifndef WATCHDOGTESTSUPPORT_H
#define WATCHDOGTESTSUPPORT_H

// What the watchdog's tests share: a Service run inside the test with its
// operations opened up, a resource folder of its own, the stand-in worker
// scripted through the environment, the capture of the watchdog's messages
// and a look at processes through /proc.

#include "resourcefolder.h"
#include "service.h"

#include <QLibraryInfo>
#include <QSettings>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

namespace WatchdogTest {

using namespace Qt::StringLiterals;

inline const QString workerProgram = QStringLiteral(RENDER_WORKER_PATH);
inline const QString workerName = u"Solvane Test Render Worker"_s;
inline const QString workerBin = u"Solvane Worker/bin/render_worker"_s;
constexpr int shortDelayMs = 200; // the delays of the tests that do not measure them
constexpr int productDelays = -1;
constexpr int waitMs = 10000;

// For the checks that something does not happen: several restart delays.
inline void letRestartDelaysPass()
{
    QTest::qWait(3 * shortDelayMs);
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// A worker installation below folder; a copy of the stand-in, so that /proc
// tells it from the default one.
inline bool installWorkerCopy(const QString &folder)
{
    const QString target = QDir(folder).filePath(workerBin);
    return QDir().mkpath(QFileInfo(target).absolutePath()) && QFile::copy(workerProgram, target);
}

// A process that no longer exists or waits to be reaped (a zombie) is gone.
inline bool isGone(qint64 pid)
{
    const QByteArray stat = readFile(u"/proc/%1/stat"_s.arg(pid));
    const qsizetype state = stat.lastIndexOf(')') + 2;
    return state >= stat.size() || stat.at(state) == 'Z' || stat.at(state) == 'X';
}

inline QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

inline QString executableOf(qint64 pid)
{
    return canonical(u"/proc/%1/exe"_s.arg(pid));
}

// Sets variables of this process's environment (a null value removes one),
// which the service hands on to the workers it creates from then on; restore()
// puts back what was there.
class Environment
{
public:
    ~Environment() { restore(); }

    void set(const QByteArray &name, const QByteArray &value)
    {
        if (!saved.contains(name))
            saved.insert(name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt);
        value.isNull() ? qunsetenv(name) : qputenv(name, value);
    }
    void restore()
    {
        for (const auto &[name, old] : saved.asKeyValueRange())
            old ? qputenv(name, *old) : qunsetenv(name);
        saved.clear();
    }

private:
    QMap<QByteArray, std::optional<QByteArray>> saved;
};

// Every message of the process while it lives (the service writes them as
// QDebug formats them, so values come quoted). The tests have one thread.
class MessageCapture
{
public:
    MessageCapture()
    {
        current = this;
        previous = qInstallMessageHandler(handler);
    }
    ~MessageCapture() { qInstallMessageHandler(previous); }
    Q_DISABLE_COPY_MOVE(MessageCapture)

    QStringList texts(QtMsgType type) const
    {
        QStringList result;
        for (const Line &line : lines) {
            if (line.type == type)
                result << line.text;
        }
        return result;
    }
    int count(QtMsgType type, const QString &text) const { return int(texts(type).count(text)); }
    int containing(QtMsgType type, const QString &part) const { return int(texts(type).filter(part).size()); }

    // Wall-clock time of the first message of the type with this text, or -1.
    qint64 timeOf(QtMsgType type, const QString &text) const
    {
        for (const Line &line : lines) {
            if (line.type == type && line.text == text)
                return line.atMs;
        }
        return -1;
    }
    void dump() const
    {
        for (const Line &line : lines)
            std::fprintf(stderr, "  [%c] %s\n", "DWCFI"[line.type], qPrintable(line.text));
    }

private:
    struct Line
    {
        QtMsgType type;
        QString text;
        qint64 atMs;
    };

    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        current->lines.append({ type, text, QDateTime::currentMSecsSinceEpoch() });
        if (type == QtFatalMsg)
            current->previous(type, context, text);
    }

    static inline MessageCapture *current = nullptr;
    QtMessageHandler previous = nullptr;
    QList<Line> lines;
};

struct WorkerEvent
{
    qint64 pid = 0;
    QString arguments; // of a start, joined by blanks
};

// What every test starts from: a resource folder of its own, recorded in a
// redirected system-scope store so that the service reads its "settings.conf"
// there; a record of the workers' starts and ends; the scripting of the
// workers; and the capture of messages.
class Fixture
{
public:
    Fixture()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, systemFolder.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, systemFolder.path());
        QSettings(QSettings::SystemScope, u"Morvek"_s, u"Solvane Network Rendering"_s)
                .setValue(u"resources"_s, folder.path());
        environment.set("RENDER_WORKER_RECORD", QFile::encodeName(record));
        environment.set("LD_LIBRARY_PATH", QByteArray()); // reported beside every worker failure
    }
    ~Fixture()
    {
        script.restore(); // first: it may hold what environment set
        // Workers that outlived a failed test are the test's own: end them,
        // but no other process that has their number since.
        for (const WorkerEvent &start : starts()) {
            if (!isGone(start.pid) && QFileInfo(executableOf(start.pid)).fileName() == u"render_worker")
                ::kill(pid_t(start.pid), SIGKILL);
        }
        const QString standard = QLibraryInfo::path(QLibraryInfo::SettingsPath);
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, standard);
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, standard);
    }
    Q_DISABLE_COPY_MOVE(Fixture)

    // Also whether the service finds this folder: a "resources.ini" beside the
    // test program would send it elsewhere.
    bool isValid() const
    {
        return systemFolder.isValid() && folder.isValid() && QDir(resourceFolderPath()) == QDir(folder.path());
    }
    QString path() const { return folder.path(); }
    QString filePath(const QString &name) const { return folder.filePath(name); }
    QString versionFile() const { return filePath(u"render_worker.version"_s); }

    bool writeWorkerSettings(bool cpu, bool gpu) const
    {
        QSettings store(filePath(u"settings.conf"_s), QSettings::NativeFormat);
        store.setValue(u"worker/workerCpu"_s, cpu);
        store.setValue(u"worker/workerGpu"_s, gpu);
        store.sync();
        return store.status() == QSettings::NoError;
    }

    // The record's lines "<what> <pid> [<arguments>]", what being "start",
    // "exit", "crash" or "stop".
    QList<WorkerEvent> events(const QString &what) const
    {
        QList<WorkerEvent> result;
        for (const QString &line : QString::fromUtf8(readFile(record)).split(u'\n')) {
            const QStringList items = line.split(u' ');
            if (items.size() >= 2 && items.first() == what)
                result.append({ items.at(1).toLongLong(), items.mid(2).join(u' ') });
        }
        return result;
    }
    QList<WorkerEvent> starts() const { return events(u"start"_s); }

    MessageCapture messages;
    Environment script; // RENDER_WORKER_* variables of the workers started next

private:
    QTemporaryDir systemFolder;
    QTemporaryDir folder;
    const QString record = folder.filePath(u"workers.record"_s);
    Environment environment;
};

// The service with its operations and fields opened up, set up as
// createApplication sets it up, but with a worker program, a resource folder
// and delays of the test's choosing (productDelays keeps the product's own).
class TestService : public Service
{
public:
    explicit TestService(const QString &resourceFolder, const QString &program = workerProgram,
                         const QString &name = workerName, int delayMs = shortDelayMs)
        : Service(name, 1, arguments, nullptr)
    {
        appPath = program;
        appName = QFileInfo(program).baseName();
        dataPath = QDir(resourceFolder);
        if (delayMs != productDelays)
            startDelayMs = restartDelayMs = delayMs;
        readWorkerSettings();
    }

    using Service::appPath;
    using Service::cpuProc;
    using Service::gpuProc;
    using Service::pause;
    using Service::resume;
    using Service::start;
    using Service::startProcess;
    using Service::stop;

private:
    static inline char program[] = "tst_watchdog";
    static inline char *arguments[] = { program, nullptr };
};

// A fresh fixture for every test function; its messages, and the output of a
// watchdog process it ran, are shown when the test failed.
class FixtureTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        f = std::make_unique<Fixture>();
        QVERIFY(f->isValid());
    }
    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            f->messages.dump();
            std::fputs(readFile(f->filePath(u"watchdog.out"_s)).constData(), stderr);
        }
        f.reset();
    }

protected:
    std::unique_ptr<Fixture> f;
};

} // namespace WatchdogTest

#endif // WATCHDOGTESTSUPPORT_H
