#include "logcategories.h"
#include "logger.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <limits>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using testsupport::readFile;

namespace {

constexpr char childFlag[] = "--child";

// The file may grow to this length only, as on a disk that is full.
constexpr qint64 fullDiskLength = 4096;

// A Friday: its text date form is "Fri Dec 4 03:35:01 2026".
QDateTime fixedMoment()
{
    return QDateTime(QDate(2026, 12, 4), QTime(3, 35, 1));
}

QByteArray fixedLine(const QByteArray &rest)
{
    return "Fri Dec 4 03:35:01 2026" + rest;
}

// Puts every field of the one logger into a known state; the logger outlives
// the tests, so each test starts from here.
void resetLogger(const QString &folder, int level = 6)
{
    Logger &logger = Logger::instance();
    logger.filePrefix = QStringLiteral("watchdog_w_");
    logger.logFolder = folder;
    logger.setLevel(level);
    logger.setEnabled(true);
    logger.setEchoToStdout(false);
    logger.setClock({});
    logger.setFailureReporter({});
}

QMessageLogContext contextOf(const char *category)
{
    return QMessageLogContext(nullptr, 0, nullptr, category);
}

const QMessageLogContext defaultContext = contextOf("default");

// Installs the logger's handler for the lifetime of the object and gives the
// previous one (Qt Test's) back afterwards.
class ScopedLoggerHandler
{
public:
    ScopedLoggerHandler() : previous(qInstallMessageHandler(Logger::messageHandler)) {}
    ~ScopedLoggerHandler() { qInstallMessageHandler(previous); }
    Q_DISABLE_COPY_MOVE(ScopedLoggerHandler)

private:
    const QtMessageHandler previous;
};

// What fn prints on this process's standard output.
QByteArray printedBy(const std::function<void()> &fn)
{
    QTemporaryFile file;
    if (!file.open())
        return "cannot capture standard output";
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(file.handle(), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    file.seek(0);
    return file.readAll();
}

// Leaves the event loop with 7 once everything posted so far has run. Had the
// logger asked the loop to end, exec() would have returned -1 before this.
void exitWithSevenLater()
{
    QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(7); }, Qt::QueuedConnection);
}

// ---- The child side: the same executable started with --child <mode> <folder>.

// Every message is echoed as its bare text, whether the filter lets it
// through or not and whether logging is enabled at all. A fatal message while
// logging is disabled asks the event loop to end with -1.
int childEcho(int argc, char **argv, const QString &folder, bool enabled)
{
    QCoreApplication app(argc, argv);
    resetLogger(folder, 4);
    Logger &logger = Logger::instance();
    logger.setEnabled(enabled);
    logger.setEchoToStdout(true);
    logger.setClock(fixedMoment);
    const ScopedLoggerHandler handler;
    QTimer::singleShot(0, &app, [] {
        qDebug("rejected debug");
        qCDebug(lcServiceTrace, "trace line");
        qInfo("info");
        qWarning("warning");
        qCritical("critical");
        qInfo("%s", "");
        // Called directly: qFatal() would abort the process after the handler.
        Logger::messageHandler(QtFatalMsg, defaultContext, QStringLiteral("fatal"));
        exitWithSevenLater();
    });
    return app.exec();
}

// Two entries are lost to a log folder or file that cannot be used, then the
// cause goes and the next entry is written. The reporter logs itself: called
// from the handler, its message goes to Qt's default output instead of coming
// back (and must not wait on any lock).
int childFailure(int argc, char **argv, const QByteArray &mode, const QString &folder)
{
    QCoreApplication app(argc, argv);
    resetLogger(folder);
    Logger &logger = Logger::instance();
    logger.setClock(fixedMoment);
    logger.setFailureReporter([](const QString &text) {
        std::printf("reported: %s\n", text.toUtf8().constData());
        std::fflush(stdout);
        qWarning("from reporter");
    });
    if (mode == "missing-folder") {
        logger.setLogFolder(folder + QStringLiteral("/notafolder/logs"));
    } else if (mode == "full-disk") {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{rlim_t(fullDiskLength), rlim_t(fullDiskLength)};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 3;
    }
    const ScopedLoggerHandler handler;
    QTimer::singleShot(0, &app, [mode, folder] {
        const QString path = Logger::instance().currentLogFilePath();
        qWarning("lost entry");
        qWarning("lost again");
        if (mode == "missing-folder") {
            Logger::instance().logFolder = folder;
        } else if (mode == "full-disk") {
            std::printf("length: %lld\n", QFileInfo(path).size());
            QFile::resize(path, 0);
        } else if (!QFile::remove(path)) {
            QDir().rmdir(path);
        }
        qWarning("kept entry");
        exitWithSevenLater();
    });
    return app.exec();
}

// Run under a German system locale: names and timestamps stay English, and
// the clean-up reads English month names back.
int childLocale(const QString &folder)
{
    std::printf("system: %s\n", QLocale::system().name().toUtf8().constData());
    resetLogger(folder);
    Logger &logger = Logger::instance();
    logger.setClock([] { return QDateTime(QDate(2026, 3, 4), QTime(12, 0)); });
    std::printf("path: %s\n", logger.currentLogFilePath().toUtf8().constData());
    Logger::messageHandler(QtInfoMsg, defaultContext, QStringLiteral("Grüße"));
    logger.setEchoToStdout(true);
    logger.removeOldLogs(2);
    return 0;
}

int runChild(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    const QByteArray mode = argv[2];
    const QString folder = QString::fromLocal8Bit(argv[3]);
    if (mode == "echo-enabled" || mode == "echo-disabled")
        return childEcho(argc, argv, folder, mode == "echo-enabled");
    if (mode == "missing-folder" || mode == "obstacle" || mode == "full-disk")
        return childFailure(argc, argv, mode, folder);
    if (mode == "locale")
        return childLocale(folder);
    return 2;
}

// ---- The parent side.

// What the child printed, and its exit code; -1 when it did not end by
// itself in time (it is killed then, so that nothing is left behind).
struct ChildRun
{
    int exitCode;
    QByteArray out;
    QByteArray err;
};

ChildRun startChild(const QString &mode, const QString &folder,
                    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(childFlag), mode, folder});
    const bool ended = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    return {ended ? process.exitCode() : -1, process.readAllStandardOutput(), process.readAllStandardError()};
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void levelTable_data();
    void levelTable();
    void lineFormat_data();
    void lineFormat();
    void timestampParsesBack();
    void categories();
    void echoPrintsEveryMessageBare_data();
    void echoPrintsEveryMessageBare();

    void fileNamesAndMidnight();
    void namesStayEnglishUnderGermanLocale();
    void fileModeUnderRestrictiveUmask();
    void setLogFolderCreatesParents();

    void unusableFileLosesOnlyTheEntries_data();
    void unusableFileLosesOnlyTheEntries();
    void messageFromInsideTheLockIsDropped();
    void eightThreadsWriteWholeLines();

    void removeOldLogs_data();
    void removeOldLogs();

private:
    // Creates empty files of the names (a trailing "/" makes a folder).
    bool create(const QStringList &names) const;
    QByteArray removalLines(const QStringList &names) const;

    std::unique_ptr<QTemporaryDir> dir;
};

void TestLogger::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    resetLogger(dir->path());
}

void TestLogger::cleanup()
{
    // The clock and reporter may capture locals of the test that set them.
    resetLogger(QString());
    dir.reset();
}

void TestLogger::levelTable_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("level");
    QTest::addColumn<QByteArray>("category");
    QTest::addColumn<bool>("written");
    QTest::addColumn<QByteArray>("tag");

    struct Kind
    {
        const char *name;
        QtMsgType type;
        int plainFrom; // lowest level that writes it in "service"
        int traceFrom; // ... and in "service.trace"
        const char *tag; // but "TT" for debug in "service.trace"
    };
    const Kind kinds[] = {
        {"fatal", QtFatalMsg, INT_MIN, INT_MIN, "FF"}, {"critical", QtCriticalMsg, 2, 2, "EE"},
        {"warning", QtWarningMsg, 3, 3, "WW"}, {"info", QtInfoMsg, 4, 4, "II"},
        {"debug", QtDebugMsg, 5, 6, "DD"},
    };
    for (const Kind &kind : kinds) {
        for (int level = -1; level <= 7; ++level) {
            for (const bool trace : {false, true}) {
                const QByteArray category = trace ? "service.trace" : "service";
                QTest::addRow("%s/level %d/%s", kind.name, level, category.constData())
                    << int(kind.type) << level << category
                    << (level >= (trace ? kind.traceFrom : kind.plainFrom))
                    << QByteArray(trace && kind.type == QtDebugMsg ? "TT" : kind.tag);
            }
        }
    }
}

void TestLogger::levelTable()
{
    QFETCH(int, type);
    QFETCH(int, level);
    QFETCH(QByteArray, category);
    QFETCH(bool, written);
    QFETCH(QByteArray, tag);

    Logger &logger = Logger::instance();
    logger.setLevel(level);
    logger.setClock(fixedMoment);
    const QMessageLogContext context = contextOf(category.constData());
    QCOMPARE(logger.shouldLog(QtMsgType(type), context), written);
    // Called directly, as fatal messages cannot be emitted without aborting.
    Logger::messageHandler(QtMsgType(type), context, QStringLiteral("probe"));

    const QString path = logger.currentLogFilePath();
    if (written)
        QCOMPARE(readFile(path), fixedLine(" [" + tag + " service  ] probe\n"));
    else
        QVERIFY(!QFile::exists(path));
}

void TestLogger::lineFormat_data()
{
    // Level 6 writes every row.
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("category"); // a null array stands for no category
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("line");     // everything after the timestamp

    const auto row = [](const char *name, QtMsgType type, const char *category, const QString &message,
                        const char *line) {
        QTest::newRow(name) << int(type) << QByteArray(category) << message << QByteArray(line);
    };
    row("default category", QtInfoMsg, "default", "Service started", " [II default  ] Service started\n");
    row("no category", QtWarningMsg, nullptr, "plain warning", " [WW] plain warning\n");
    row("empty category name", QtWarningMsg, "", "plain warning", " [WW] plain warning\n");
    row("nine characters", QtDebugMsg, "filetrans.trace", "chunk sent", " [TT filetrans] chunk sent\n");
    row("longer than nine", QtCriticalMsg, "regtransfer.worker", "lost", " [EE regtransfer.worker] lost\n");
    row("trace in the middle", QtDebugMsg, "dali.trace.io", "read", " [DD dali.io  ] read\n");
    row("upper-case trace is no trace", QtDebugMsg, "Render.TRACE", "frame", " [DD render.trace] frame\n");
    row("category of only trace", QtDebugMsg, ".trace", "bare", " [TT] bare\n");
    // Padded by characters, not bytes.
    row("non-ascii category", QtDebugMsg, "Z\xc3\xbcrich.trace", "near", " [TT z\xc3\xbcrich   ] near\n");
    row("empty message", QtInfoMsg, "default", QString(), " [II default  ] \n\n");
    row("utf-8 message", QtInfoMsg, "default", QStringLiteral("Grüße ✓"),
        " [II default  ] Gr\xc3\xbc\xc3\x9f" "e \xe2\x9c\x93\n");
}

void TestLogger::lineFormat()
{
    QFETCH(int, type);
    QFETCH(QByteArray, category);
    QFETCH(QString, message);
    QFETCH(QByteArray, line);

    Logger &logger = Logger::instance();
    logger.setClock(fixedMoment);
    Logger::messageHandler(QtMsgType(type), contextOf(category.isNull() ? nullptr : category.constData()),
                           message);
    QCOMPARE(readFile(logger.currentLogFilePath()), fixedLine(line));
}

void TestLogger::timestampParsesBack()
{
    // The stamp holds whole seconds.
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-999);
    {
        const ScopedLoggerHandler handler;
        qInfo("now");
    }
    const QDateTime after = QDateTime::currentDateTime();

    const QStringList files = QDir(dir->path()).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    const QByteArray line = readFile(dir->filePath(files.first()));
    QVERIFY2(line.endsWith(" [II default  ] now\n"), line.constData());
    const QString stamp = QString::fromUtf8(line.left(line.indexOf(" [")));
    const QDateTime parsed = QDateTime::fromString(stamp, Qt::TextDate);
    QVERIFY2(parsed.isValid() && before <= parsed && parsed <= after, qPrintable(stamp));
}

void TestLogger::categories()
{
    // One category per accessor, letting every message type through.
    using Accessor = const QLoggingCategory &(*)();
    const QPair<Accessor, const char *> categories[] = {
        {lcDali, "dali"}, {lcDaliTrace, "dali.trace"}, {lcFileTrans, "filetrans"},
        {lcFileTransTrace, "filetrans.trace"}, {lcRegTrans, "regtrans"},
        {lcRegTransTrace, "regtrans.trace"}, {lcService, "service"}, {lcServiceTrace, "service.trace"},
        {lcCommand, "command"}, {lcCommandTrace, "command.trace"}, {lcRender, "render"},
        {lcRenderTrace, "render.trace"},
    };
    for (const auto &[accessor, name] : categories) {
        const QLoggingCategory &category = accessor();
        QCOMPARE(QByteArray(category.categoryName()), QByteArray(name));
        QCOMPARE(&accessor(), &category);
        QVERIFY2(category.isDebugEnabled() && category.isInfoEnabled() && category.isWarningEnabled()
                         && category.isCriticalEnabled(), name);
    }
}

void TestLogger::echoPrintsEveryMessageBare_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("exitCode"); // 255: the loop was asked to end with -1
    QTest::addColumn<QByteArray>("file"); // empty: no file at all

    QTest::newRow("enabled") << "echo-enabled" << 7
        << fixedLine(" [II default  ] info\n") + fixedLine(" [WW default  ] warning\n")
                + fixedLine(" [EE default  ] critical\n") + fixedLine(" [II default  ] \n\n")
                + fixedLine(" [FF default  ] fatal\n");
    QTest::newRow("disabled") << "echo-disabled" << 255 << QByteArray();
}

void TestLogger::echoPrintsEveryMessageBare()
{
    QFETCH(QString, mode);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, file);

    const ChildRun run = startChild(mode, dir->path());
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out, QByteArray("rejected debug\ntrace line\ninfo\nwarning\ncritical\n\nfatal\n"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files),
             file.isEmpty() ? QStringList() : QStringList{"watchdog_w_04_Dec_2026.log"});
    QCOMPARE(readFile(dir->filePath("watchdog_w_04_Dec_2026.log")), file);
}

void TestLogger::fileNamesAndMidnight()
{
    // The day in two digits and the C locale's month; one reading of the
    // clock names the file and stamps the line, so the file changes at local
    // midnight.
    QDateTime moment(QDate(2027, 1, 9), QTime(23, 59, 59));
    Logger &logger = Logger::instance();
    logger.setClock([&moment] { return moment; });
    QCOMPARE(logger.currentLogFilePath(), dir->filePath("watchdog_w_09_Jan_2027.log"));
    Logger::messageHandler(QtInfoMsg, defaultContext, QStringLiteral("before midnight"));
    moment = QDateTime(QDate(2027, 1, 10), QTime(0, 0));
    Logger::messageHandler(QtInfoMsg, defaultContext, QStringLiteral("after midnight"));
    QCOMPARE(readFile(dir->filePath("watchdog_w_09_Jan_2027.log")),
             QByteArray("Sat Jan 9 23:59:59 2027 [II default  ] before midnight\n"));
    QCOMPARE(readFile(dir->filePath("watchdog_w_10_Jan_2027.log")),
             QByteArray("Sun Jan 10 00:00:00 2027 [II default  ] after midnight\n"));

    // A relative folder is resolved against the working folder.
    logger.logFolder = QStringLiteral("relative/logs");
    QCOMPARE(logger.currentLogFilePath(),
             QDir::current().absoluteFilePath("relative/logs/watchdog_w_10_Jan_2027.log"));
}

void TestLogger::namesStayEnglishUnderGermanLocale()
{
    QVERIFY(create({"watchdog_w_01_Mar_2026.log", "watchdog_w_02_Mar_2026.log",
                    "watchdog_w_03_März_2026.log"}));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
    environment.insert(QStringLiteral("LANG"), QStringLiteral("de_DE.UTF-8"));
    environment.insert(QStringLiteral("LANGUAGE"), QStringLiteral("de"));
    const ChildRun run = startChild(QStringLiteral("locale"), dir->path(), environment);
    QCOMPARE(run.exitCode, 0);

    // Read as German, "März" would be a date; read in the C locale it is none
    // and stays.
    QCOMPARE(run.out, "system: de_DE\npath: " + dir->filePath("watchdog_w_04_Mar_2026.log").toUtf8() + "\n"
                 + removalLines({"watchdog_w_01_Mar_2026.log", "watchdog_w_02_Mar_2026.log"}));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files),
             (QStringList{"watchdog_w_03_März_2026.log", "watchdog_w_04_Mar_2026.log"}));
    QCOMPARE(readFile(dir->filePath("watchdog_w_04_Mar_2026.log")),
             QByteArray("Wed Mar 4 12:00:00 2026 [II default  ] Gr\xc3\xbc\xc3\x9f" "e\n"));
}

void TestLogger::fileModeUnderRestrictiveUmask()
{
    // New, and made private since: every entry gives the file mode 0666.
    const testsupport::UmaskGuard mask(027);
    Logger::instance().setClock(fixedMoment);
    const QByteArray path = QFile::encodeName(Logger::instance().currentLogFilePath());
    for (int entry = 0; entry < 2; ++entry) {
        Logger::messageHandler(QtInfoMsg, defaultContext, QStringLiteral("entry"));
        struct stat status {};
        QCOMPARE(::stat(path.constData(), &status), 0);
        QCOMPARE(status.st_mode & 07777, mode_t(0666));
        QCOMPARE(::chmod(path.constData(), 0600), 0);
    }
}

void TestLogger::setLogFolderCreatesParents()
{
    const QString location = dir->filePath("a/b/logs");
    QCOMPARE(printedBy([&location] { Logger::instance().setLogFolder(location); }), QByteArray());
    QVERIFY(QFileInfo(location).isDir());
    QCOMPARE(Logger::instance().logFolder, location);
}

void TestLogger::unusableFileLosesOnlyTheEntries_data()
{
    QTest::addColumn<QString>("mode");     // of the child
    QTest::addColumn<QString>("obstacle"); // what stands in the way
    QTest::addColumn<QByteArray>("out");   // "@" stands for the test's folder

    // Each cause is printed once, not per lost entry; only the first failure
    // is reported.
    const QByteArray noFolder = "Could not create Log file:@/notafolder/logs\n";
    const QByteArray privileges = "Do you have the necessary privileges to run to process?\n";
    const QByteArray lostInFolder = "Cannot write to log file: @/notafolder/logs/watchdog_w_04_Dec_2026.log\n"
                                    + privileges;
    const QByteArray cannotWrite = "Cannot write to log file: @/watchdog_w_04_Dec_2026.log\n";
    const QByteArray unopenable =
            cannotWrite + privileges + "reported: " + cannotWrite;

    QTest::newRow("folder below a file") << "missing-folder" << "blocker"
                                         << noFolder + "reported: " + noFolder + lostInFolder;
    QTest::newRow("folder in place of the file") << "obstacle" << "folder" << unopenable;
    QTest::newRow("pipe without reader") << "obstacle" << "fifo" << unopenable;
    QTest::newRow("link to a device") << "obstacle" << "device" << unopenable;
    // Room for part of the first line only: the part is taken back.
    QTest::newRow("full disk") << "full-disk" << "filled"
                               << cannotWrite + "reported: " + cannotWrite + "length: "
                                          + QByteArray::number(fullDiskLength - 20) + "\n";
}

void TestLogger::unusableFileLosesOnlyTheEntries()
{
    QFETCH(QString, mode);
    QFETCH(QString, obstacle);
    QFETCH(QByteArray, out);

    const QString path = dir->filePath("watchdog_w_04_Dec_2026.log");
    if (obstacle == "blocker") {
        QVERIFY(create({"notafolder"}));
    } else if (obstacle == "folder") {
        QVERIFY(QDir().mkdir(path));
    } else if (obstacle == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (obstacle == "device") {
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), path));
    } else {
        QVERIFY(testsupport::writeFile(path, QByteArray(fullDiskLength - 20, 'x')));
    }

    const ChildRun run = startChild(mode, dir->path());
    QCOMPARE(run.exitCode, 7); // the event loop went on
    QCOMPARE(run.out, out.replace('@', QFile::encodeName(dir->path())));
    QVERIFY2(run.err.contains("from reporter"), run.err.constData());
    QCOMPARE(readFile(path), fixedLine(" [WW default  ] kept entry\n"));
}

void TestLogger::messageFromInsideTheLockIsDropped()
{
    // The clock is read while the entry is written. Qt keeps a message raised
    // there from its handler only when Qt called the handler; called directly,
    // the message would come back and wait for the lock its thread holds.
    bool armed = true;
    Logger &logger = Logger::instance();
    logger.setClock([&armed] {
        if (armed)
            qWarning("from the clock");
        return fixedMoment();
    });
    {
        const ScopedLoggerHandler handler;
        Logger::messageHandler(QtInfoMsg, defaultContext, QStringLiteral("outer entry"));
    }
    armed = false;
    QCOMPARE(readFile(logger.currentLogFilePath()), fixedLine(" [II default  ] outer entry\n"));
}

void TestLogger::eightThreadsWriteWholeLines()
{
    constexpr int threadCount = 8;
    constexpr int entriesPerThread = 10000;
    // Long enough that a torn or interleaved write would show inside a line.
    const QByteArray payload(200, 'x');

    // A fixed day keeps every entry in one file, in the order of writing.
    Logger::instance().setClock(fixedMoment);
    {
        const ScopedLoggerHandler handler;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int thread = 0; thread < threadCount; ++thread) {
            threads.emplace_back(QThread::create([thread, &payload] {
                for (int entry = 0; entry < entriesPerThread; ++entry)
                    qInfo("thread %d entry %d %s", thread, entry, payload.constData());
            }));
            threads.back()->start();
        }
        for (const auto &thread : threads)
            QVERIFY(thread->wait());
    }

    QCOMPARE(QDir(dir->path()).entryList(QDir::Files).size(), 1);
    QByteArray all = readFile(Logger::instance().currentLogFilePath());
    QVERIFY(all.endsWith('\n'));
    all.chop(1);
    const QByteArrayList lines = all.split('\n');
    QCOMPARE(lines.size(), threadCount * entriesPerThread);

    const QRegularExpression shape(QStringLiteral(
        "^Fri Dec 4 03:35:01 2026 \\[II default  \\] thread (\\d) entry (\\d+) x{200}$"));
    std::vector<int> nextEntry(threadCount, 0);
    for (const QByteArray &line : lines) {
        const QRegularExpressionMatch match = shape.match(QString::fromUtf8(line));
        QVERIFY2(match.hasMatch(), line.constData());
        const int thread = match.captured(1).toInt();
        QVERIFY2(thread < threadCount, line.constData());
        // Each thread's entries appear once each, in the order it wrote them.
        QCOMPARE(match.captured(2).toInt(), nextEntry[thread]);
        ++nextEntry[thread];
    }
}

bool TestLogger::create(const QStringList &names) const
{
    for (const QString &name : names) {
        const QString path = dir->filePath(name);
        const bool made = name.endsWith(QLatin1Char('/')) ? QDir().mkdir(path)
                                                          : QFile(path).open(QIODevice::WriteOnly);
        if (!made)
            return false;
    }
    return true;
}

QByteArray TestLogger::removalLines(const QStringList &names) const
{
    QByteArray lines;
    for (const QString &name : names)
        lines += "Removing old log " + dir->filePath(name).toUtf8() + "\n";
    return lines;
}

void TestLogger::removeOldLogs_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("daysToKeep");
    QTest::addColumn<QStringList>("removed"); // oldest first; "*" for the candidate of shared
    QTest::addColumn<QStringList>("shared");  // names of one date: only the one listed last is a candidate
    QTest::addColumn<bool>("echo");

    const auto row = [](const char *name, const QStringList &files, int daysToKeep,
                        const QStringList &removed, const QStringList &shared = {}, bool echo = true) {
        QTest::newRow(name) << files << daysToKeep << removed << shared << echo;
    };
    // Listed out of date order; the three oldest are not the first three by name.
    const QStringList twelve = {
        "watchdog_w_01_Dec_2026.log", "watchdog_w_30_Apr_2026.log", "watchdog_w_05_Jan_2027.log",
        "watchdog_w_02_Dec_2026.log", "watchdog_w_15_Dec_2025.log", "watchdog_w_01_Aug_2026.log",
        "watchdog_w_31_Dec_2026.log", "watchdog_w_28_Nov_2026.log", "watchdog_w_03_Dec_2026.log",
        "watchdog_w_02_Jan_2026.log", "watchdog_w_10_Dec_2026.log", "watchdog_w_01_Jan_2027.log",
    };
    const QStringList threeOldest = {
        "watchdog_w_15_Dec_2025.log", "watchdog_w_02_Jan_2026.log", "watchdog_w_30_Apr_2026.log",
    };
    const QStringList three = {
        "watchdog_w_05_Dec_2026.log", "watchdog_w_03_Dec_2026.log", "watchdog_w_04_Dec_2026.log",
    };
    const QStringList threeOldestFirst = {three.at(1), three.at(2), three.at(0)};
    const QString jan3 = QStringLiteral("watchdog_w_03_Jan_2020.log");

    row("ten kept of twelve", twelve, 10, threeOldest);
    row("ten kept of twelve, silent", twelve, 10, threeOldest, {}, false);
    row("fewer files than kept", three, 10, {});
    row("keep one", three, 1, threeOldestFirst);
    row("keep zero", three, 0, threeOldestFirst);
    row("keep negative", three, -3, threeOldestFirst);
    row("foreign prefixes", {"manager_w_01_Jan_2020.log", "watchdog_x_01_Jan_2020.log",
                             "Watchdog_w_01_Jan_2020.log", "xwatchdog_w_01_Jan_2020.log",
                             "watchdog_w_02_Jan_2020.log/", jan3}, 0, {jan3});
    row("too few parts",
        {"watchdog_w_.log", "watchdog_w__.log", "watchdog_w_.log.log", "watchdog_w____", jan3}, 0, {jan3});
    row("no date is never a candidate", {three.at(0), "watchdog_w_notes.log", three.at(1), three.at(2)}, 3,
        {three.at(1)});
    row("copies with a further suffix stay",
        {three.at(2), "watchdog_w_04_Dec_2026.log.1", "watchdog_w_04_Dec_2026.log.gz"}, 2, {});
    row("names without a date stay",
        {"watchdog_w_notes.log", "watchdog_w_04_Dec_2026_old.log", "watchdog_w_README",
         "watchdog_w_notes.txt", "watchdog_w_31_Feb_2026.log", "watchdog_w_4_Dec_2026.log", three.at(0)},
        0, {three.at(0)});
    row("a longer prefix is another program's",
        {three.at(2), "watchdog_w_gpu_04_Dec_2026.log", "watchdog_w_y_01_Dec_2026.log", three.at(1)}, 0,
        {three.at(1), three.at(2)});
    row("keep the lowest int", three, std::numeric_limits<int>::min(), threeOldestFirst);
    row("keep the highest int", three, std::numeric_limits<int>::max(), {});
}

void TestLogger::removeOldLogs()
{
    QFETCH(QStringList, files);
    QFETCH(int, daysToKeep);
    QFETCH(QStringList, removed);
    QFETCH(QStringList, shared);
    QFETCH(bool, echo);

    QVERIFY(create(files));
    QString candidate;
    for (const QString &name : QDir(dir->path()).entryList(QDir::Files, QDir::NoSort)) {
        if (shared.contains(name))
            candidate = name;
    }
    removed.replaceInStrings(QRegularExpression(QStringLiteral("^\\*$")), candidate);
    Logger::instance().setEchoToStdout(echo);
    QCOMPARE(printedBy([daysToKeep] { Logger::instance().removeOldLogs(daysToKeep); }),
             echo ? removalLines(removed) : QByteArray());
    for (const QString &name : files)
        QVERIFY2(QFileInfo::exists(dir->filePath(name)) != removed.contains(name), qPrintable(name));
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], childFlag) == 0)
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestLogger test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logger.moc"
