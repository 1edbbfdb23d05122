#include "logcategories.h"
#include "logger.h"
#include "loggertestsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <memory>

using namespace LoggerTest;

namespace {

constexpr char childFlag[] = "--child";

QMessageLogContext contextOf(const char *category)
{
    return QMessageLogContext(nullptr, 0, nullptr, category);
}

const QMessageLogContext defaultContext = contextOf("default");

// Leaves the event loop with 7 once everything posted so far has run. Had the
// logger asked the loop to end, exec() would have returned -1 before this.
void exitWithSevenLater()
{
    QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(7); }, Qt::QueuedConnection);
}

// ---- The child side: the same executable started with --child <mode> <folder>.

// Every message is echoed as its bare text, whether the filter lets it
// through or not and whether logging is enabled at all.
int childEcho(const QString &folder, bool enabled)
{
    resetLogger(folder, 4);
    Logger::instance().setEnabled(enabled);
    Logger::instance().setEchoToStdout(true);
    const ScopedLoggerHandler handler;
    qDebug("rejected debug");
    qInfo("written info");
    qCDebug(lcServiceTrace, "trace line");
    qInfo("%s", "");
    return 0;
}

int childDisabledFatal(int argc, char **argv, const QString &folder)
{
    QCoreApplication app(argc, argv);
    resetLogger(folder);
    Logger::instance().setEnabled(false);
    QTimer::singleShot(0, &app, [] {
        // Called directly: qFatal() would abort the process after the handler.
        Logger::messageHandler(QtFatalMsg, defaultContext, QStringLiteral("fatal while disabled"));
        exitWithSevenLater();
    });
    return app.exec();
}

void installPrintingReporter(bool logsItself)
{
    Logger::instance().setFailureReporter([logsItself](const QString &text) {
        std::printf("reported: %s\n", text.toUtf8().constData());
        std::fflush(stdout);
        if (logsItself)
            qWarning("from reporter");
    });
}

// The log folder lies under a regular file, so it can be neither created nor
// written; fixed afterwards, the next entry is written.
int childMissingFolder(int argc, char **argv, const QString &folder)
{
    QCoreApplication app(argc, argv);
    resetLogger(folder);
    Logger &logger = Logger::instance();
    logger.setClock(fixedMoment);
    installPrintingReporter(false);
    logger.setLogFolder(folder + QStringLiteral("/notafolder/logs"));
    const ScopedLoggerHandler handler;
    QTimer::singleShot(0, &app, [folder] {
        qWarning("lost entry");
        Logger::instance().logFolder = folder;
        qWarning("kept entry");
        exitWithSevenLater();
    });
    return app.exec();
}

// Something that is no plain file stands where the day's log file goes. The
// reporter logs itself; called from the handler, its message goes to Qt's
// default output instead of coming back (and must not wait on any lock).
int childObstacle(int argc, char **argv, const QString &folder)
{
    QCoreApplication app(argc, argv);
    resetLogger(folder);
    Logger::instance().setClock(fixedMoment);
    installPrintingReporter(true);
    const ScopedLoggerHandler handler;
    QTimer::singleShot(0, &app, [] {
        qWarning("lost entry");
        qWarning("lost again");
        const QString path = Logger::instance().currentLogFilePath();
        if (!QFile::remove(path))
            QDir().rmdir(path);
        qWarning("kept entry");
        exitWithSevenLater();
    });
    return app.exec();
}

// The file may grow to this length only, as on a disk that is full.
constexpr qint64 fullDiskLength = 4096;

int childFullDisk(int argc, char **argv, const QString &folder)
{
    QCoreApplication app(argc, argv);
    resetLogger(folder);
    Logger::instance().setClock(fixedMoment);
    installPrintingReporter(false);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{rlim_t(fullDiskLength), rlim_t(fullDiskLength)};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 3;
    const ScopedLoggerHandler handler;
    QTimer::singleShot(0, &app, [] {
        const QString path = Logger::instance().currentLogFilePath();
        qWarning("lost entry");
        qWarning("lost again");
        std::printf("length: %lld\n", QFileInfo(path).size());
        QFile::resize(path, 0);
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
    if (mode == "echo-enabled")
        return childEcho(folder, true);
    if (mode == "echo-disabled")
        return childEcho(folder, false);
    if (mode == "disabled-fatal")
        return childDisabledFatal(argc, argv, folder);
    if (mode == "missing-folder")
        return childMissingFolder(argc, argv, folder);
    if (mode == "obstacle")
        return childObstacle(argc, argv, folder);
    if (mode == "full-disk")
        return childFullDisk(argc, argv, folder);
    if (mode == "locale")
        return childLocale(folder);
    return 2;
}

// ---- The parent side.

struct ChildRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ChildRun startChild(const QString &mode, const QString &folder,
                    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QCoreApplication::applicationFilePath(),
                  {QString::fromLatin1(childFlag), mode, folder});
    ChildRun run;
    run.finished = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QByteArray fixedLine(const QByteArray &rest)
{
    return "Fri Dec 4 03:35:01 2026" + rest;
}

QByteArray cannotWrite(const QString &path)
{
    return "Cannot write to log file: " + path.toUtf8()
        + "\nDo you have the necessary privileges to run to process?\n";
}

class ScopedUmask
{
public:
    explicit ScopedUmask(mode_t mask) : previous(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous); }
    Q_DISABLE_COPY_MOVE(ScopedUmask)

private:
    const mode_t previous;
};

mode_t modeOf(const QString &path)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

using CategoryAccessor = const QLoggingCategory &(*)();

const CategoryAccessor categoryAccessors[] = {
    lcDali, lcDaliTrace, lcFileTrans, lcFileTransTrace, lcRegTrans, lcRegTransTrace,
    lcService, lcServiceTrace, lcCommand, lcCommandTrace, lcRender, lcRenderTrace,
};

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
    void categories_data();
    void categories();
    void disabledCreatesNoFile_data();
    void disabledCreatesNoFile();
    void disabledFatalEndsTheLoop();
    void echoPrintsEveryMessageBare_data();
    void echoPrintsEveryMessageBare();

    void fileName_data();
    void fileName();
    void entriesAroundMidnightGoToTwoFiles();
    void namesStayEnglishUnderGermanLocale();
    void fileMode_data();
    void fileMode();
    void setLogFolderCreatesParents();

    void missingFolderLosesOnlyTheEntries();
    void unopenableFileLosesOnlyTheEntries_data();
    void unopenableFileLosesOnlyTheEntries();
    void fullDiskLosesOnlyTheEntry();
    void messageFromInsideTheLockIsDropped();

private:
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
        const char *plainTag;
        const char *traceTag;
    };
    const Kind kinds[] = {
        {"fatal", QtFatalMsg, INT_MIN, INT_MIN, "FF", "FF"},
        {"critical", QtCriticalMsg, 2, 2, "EE", "EE"},
        {"warning", QtWarningMsg, 3, 3, "WW", "WW"},
        {"info", QtInfoMsg, 4, 4, "II", "II"},
        {"debug", QtDebugMsg, 5, 6, "DD", "TT"},
    };
    for (const Kind &kind : kinds) {
        for (int level = -1; level <= 7; ++level) {
            for (const bool trace : {false, true}) {
                const QByteArray category = trace ? "service.trace" : "service";
                const QByteArray row = QByteArray(kind.name) + "/level " + QByteArray::number(level)
                    + "/" + category;
                QTest::newRow(row.constData())
                    << int(kind.type) << level << category
                    << (level >= (trace ? kind.traceFrom : kind.plainFrom))
                    << QByteArray(trace ? kind.traceTag : kind.plainTag);
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
    if (!written) {
        QVERIFY(!QFile::exists(path));
        return;
    }
    QCOMPARE(readAll(path), fixedLine(" [" + tag + " service  ] probe\n"));
}

void TestLogger::lineFormat_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("category"); // a null array stands for no category
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("line");     // everything after the timestamp

    QTest::newRow("default category") << 4 << int(QtInfoMsg) << QByteArray("default")
        << "Service started" << QByteArray(" [II default  ] Service started\n");
    QTest::newRow("no category") << 4 << int(QtWarningMsg) << QByteArray()
        << "plain warning" << QByteArray(" [WW] plain warning\n");
    QTest::newRow("empty category name") << 4 << int(QtWarningMsg) << QByteArray("")
        << "plain warning" << QByteArray(" [WW] plain warning\n");
    QTest::newRow("nine characters") << 6 << int(QtDebugMsg) << QByteArray("filetrans.trace")
        << "chunk sent" << QByteArray(" [TT filetrans] chunk sent\n");
    QTest::newRow("longer than nine") << 4 << int(QtCriticalMsg) << QByteArray("regtransfer.worker")
        << "lost" << QByteArray(" [EE regtransfer.worker] lost\n");
    QTest::newRow("trace in the middle") << 5 << int(QtDebugMsg) << QByteArray("dali.trace.io")
        << "read" << QByteArray(" [DD dali.io  ] read\n");
    QTest::newRow("trace twice at the end") << 6 << int(QtDebugMsg) << QByteArray("dali.trace.trace")
        << "deep" << QByteArray(" [TT dali     ] deep\n");
    QTest::newRow("upper-case trace is no trace") << 5 << int(QtDebugMsg) << QByteArray("Render.TRACE")
        << "frame" << QByteArray(" [DD render.trace] frame\n");
    QTest::newRow("category of only trace") << 6 << int(QtDebugMsg) << QByteArray(".trace")
        << "bare" << QByteArray(" [TT] bare\n");
    QTest::newRow("empty message") << 4 << int(QtInfoMsg) << QByteArray("default")
        << QString() << QByteArray(" [II default  ] \n\n");
    QTest::newRow("utf-8 message") << 4 << int(QtInfoMsg) << QByteArray("default")
        << QStringLiteral("Grüße ✓") << QByteArray(" [II default  ] Gr\xc3\xbc\xc3\x9f" "e \xe2\x9c\x93\n");
    QTest::newRow("message of several lines") << 4 << int(QtInfoMsg) << QByteArray("default")
        << "one\ntwo" << QByteArray(" [II default  ] one\ntwo\n");
}

void TestLogger::lineFormat()
{
    QFETCH(int, level);
    QFETCH(int, type);
    QFETCH(QByteArray, category);
    QFETCH(QString, message);
    QFETCH(QByteArray, line);

    Logger &logger = Logger::instance();
    logger.setLevel(level);
    logger.setClock(fixedMoment);
    const QMessageLogContext context = contextOf(category.isNull() ? nullptr : category.constData());
    Logger::messageHandler(QtMsgType(type), context, message);

    QCOMPARE(readAll(logger.currentLogFilePath()), fixedLine(line));
}

void TestLogger::timestampParsesBack()
{
    QDateTime before = QDateTime::currentDateTime();
    before.setTime(QTime(before.time().hour(), before.time().minute(), before.time().second()));
    {
        const ScopedLoggerHandler handler;
        qInfo("now");
    }
    const QDateTime after = QDateTime::currentDateTime();

    const QStringList files = QDir(dir->path()).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    const QByteArray line = readAll(dir->filePath(files.first()));
    QVERIFY2(line.endsWith(" [II default  ] now\n"), line.constData());
    const QString stamp = QString::fromUtf8(line.left(line.indexOf(" [")));
    const QDateTime parsed = QDateTime::fromString(stamp, Qt::TextDate);
    QVERIFY2(parsed.isValid(), qPrintable(stamp));
    QVERIFY2(before <= parsed && parsed <= after, qPrintable(stamp));
}

void TestLogger::categories_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("shown"); // tag and display category

    const char *const rows[][2] = {
        {"dali", "DD dali     "},
        {"dali.trace", "TT dali     "},
        {"filetrans", "DD filetrans"},
        {"filetrans.trace", "TT filetrans"},
        {"regtrans", "DD regtrans "},
        {"regtrans.trace", "TT regtrans "},
        {"service", "DD service  "},
        {"service.trace", "TT service  "},
        {"command", "DD command  "},
        {"command.trace", "TT command  "},
        {"render", "DD render   "},
        {"render.trace", "TT render   "},
    };
    int index = 0;
    for (const auto &row : rows) {
        QTest::newRow(row[0]) << index << QByteArray(row[0]) << QByteArray(row[1]);
        ++index;
    }
}

void TestLogger::categories()
{
    QFETCH(int, index);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, shown);

    const CategoryAccessor accessor = categoryAccessors[index];
    const QLoggingCategory &category = accessor();
    QCOMPARE(QByteArray(category.categoryName()), name);
    QCOMPARE(&accessor(), &category);
    QVERIFY(category.isDebugEnabled());
    QVERIFY(category.isInfoEnabled());
    QVERIFY(category.isWarningEnabled());
    QVERIFY(category.isCriticalEnabled());

    Logger::instance().setClock(fixedMoment);
    {
        const ScopedLoggerHandler handler;
        qCDebug(accessor, "probe");
    }
    QCOMPARE(readAll(Logger::instance().currentLogFilePath()), fixedLine(" [" + shown + "] probe\n"));
}

void TestLogger::disabledCreatesNoFile_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("critical") << int(QtCriticalMsg);
    QTest::newRow("warning") << int(QtWarningMsg);
    QTest::newRow("info") << int(QtInfoMsg);
    QTest::newRow("debug") << int(QtDebugMsg);
}

void TestLogger::disabledCreatesNoFile()
{
    QFETCH(int, type);
    Logger &logger = Logger::instance();
    logger.setEnabled(false);
    QVERIFY(!logger.shouldLog(QtMsgType(type), defaultContext));
    Logger::messageHandler(QtMsgType(type), defaultContext, QStringLiteral("not written"));
    QVERIFY(QDir(dir->path()).isEmpty());
}

void TestLogger::disabledFatalEndsTheLoop()
{
    const ChildRun run = startChild(QStringLiteral("disabled-fatal"), dir->path());
    QVERIFY2(run.finished, run.err.constData());
    QCOMPARE(run.exitCode, 255); // exec() returned -1
    QCOMPARE(run.out, QByteArray());
    QVERIFY(QDir(dir->path()).isEmpty());
}

void TestLogger::echoPrintsEveryMessageBare_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("file");

    QTest::newRow("enabled") << "echo-enabled"
        << QByteArray("Fri Dec 4 03:35:01 2026 [II default  ] written info\n"
                      "Fri Dec 4 03:35:01 2026 [II default  ] \n\n");
    QTest::newRow("disabled") << "echo-disabled" << QByteArray();
}

void TestLogger::echoPrintsEveryMessageBare()
{
    QFETCH(QString, mode);
    QFETCH(QByteArray, file);

    const ChildRun run = startChild(mode, dir->path());
    QVERIFY2(run.finished, run.err.constData());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("rejected debug\nwritten info\ntrace line\n\n"));

    // The child writes with the real clock; compare past the timestamps.
    const QStringList files = QDir(dir->path()).entryList(QDir::Files);
    if (file.isEmpty()) {
        QVERIFY(files.isEmpty());
        return;
    }
    QCOMPARE(files.size(), 1);
    QByteArrayList lines = readAll(dir->filePath(files.first())).split('\n');
    for (QByteArray &line : lines) {
        const qsizetype bracket = line.indexOf(" [");
        if (bracket > 0)
            line = fixedLine(line.mid(bracket));
    }
    QCOMPARE(lines.join('\n'), file);
}

void TestLogger::fileName_data()
{
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QString>("name");

    QTest::newRow("fixed date") << fixedMoment() << "watchdog_w_04_Dec_2026.log";
    QTest::newRow("last second of the day") << QDateTime(QDate(2026, 12, 4), QTime(23, 59, 59))
                                            << "watchdog_w_04_Dec_2026.log";
    QTest::newRow("local midnight") << QDateTime(QDate(2026, 12, 5), QTime(0, 0))
                                    << "watchdog_w_05_Dec_2026.log";
    QTest::newRow("new year") << QDateTime(QDate(2027, 1, 1), QTime(0, 0))
                              << "watchdog_w_01_Jan_2027.log";
    QTest::newRow("single-digit day") << QDateTime(QDate(2026, 5, 9), QTime(8, 0))
                                      << "watchdog_w_09_May_2026.log";
}

void TestLogger::fileName()
{
    QFETCH(QDateTime, moment);
    QFETCH(QString, name);

    Logger &logger = Logger::instance();
    logger.setClock([moment] { return moment; });
    QCOMPARE(logger.currentLogFilePath(), dir->filePath(name));

    logger.logFolder = QStringLiteral("relative/logs");
    QCOMPARE(logger.currentLogFilePath(), QDir::current().absoluteFilePath("relative/logs/" + name));
}

void TestLogger::entriesAroundMidnightGoToTwoFiles()
{
    QDateTime moment(QDate(2026, 12, 4), QTime(23, 59, 59));
    Logger &logger = Logger::instance();
    logger.setClock([&moment] { return moment; });

    Logger::messageHandler(QtInfoMsg, defaultContext, QStringLiteral("before midnight"));
    moment = QDateTime(QDate(2026, 12, 5), QTime(0, 0));
    Logger::messageHandler(QtInfoMsg, defaultContext, QStringLiteral("after midnight"));

    QCOMPARE(readAll(dir->filePath("watchdog_w_04_Dec_2026.log")),
             QByteArray("Fri Dec 4 23:59:59 2026 [II default  ] before midnight\n"));
    QCOMPARE(readAll(dir->filePath("watchdog_w_05_Dec_2026.log")),
             QByteArray("Sat Dec 5 00:00:00 2026 [II default  ] after midnight\n"));
}

void TestLogger::namesStayEnglishUnderGermanLocale()
{
    const QString folder = dir->path();
    for (const char *name : {"watchdog_w_01_Mar_2026.log", "watchdog_w_02_Mar_2026.log",
                             "watchdog_w_03_März_2026.log"}) {
        QFile file(dir->filePath(QString::fromUtf8(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
    environment.insert(QStringLiteral("LANG"), QStringLiteral("de_DE.UTF-8"));
    environment.insert(QStringLiteral("LANGUAGE"), QStringLiteral("de"));
    const ChildRun run = startChild(QStringLiteral("locale"), folder, environment);
    QVERIFY2(run.finished, run.err.constData());
    QCOMPARE(run.exitCode, 0);

    // Read as German, "März" would be a date; read in the C locale it is none
    // and goes first.
    const QByteArray expected = "system: de_DE\n"
        "path: " + dir->filePath("watchdog_w_04_Mar_2026.log").toUtf8() + "\n"
        "Removing old log " + dir->filePath("watchdog_w_03_März_2026.log").toUtf8() + "\n"
        "Removing old log " + dir->filePath("watchdog_w_01_Mar_2026.log").toUtf8() + "\n"
        "Removing old log " + dir->filePath("watchdog_w_02_Mar_2026.log").toUtf8() + "\n";
    QCOMPARE(run.out, expected);
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"watchdog_w_04_Mar_2026.log"});
    QCOMPARE(readAll(dir->filePath("watchdog_w_04_Mar_2026.log")),
             QByteArray("Wed Mar 4 12:00:00 2026 [II default  ] Gr\xc3\xbc\xc3\x9f" "e\n"));
}

void TestLogger::fileMode_data()
{
    QTest::addColumn<int>("existingMode"); // 0: no file yet

    QTest::newRow("new file") << 0;
    QTest::newRow("existing private file") << 0600;
    QTest::newRow("existing executable file") << 0755;
}

void TestLogger::fileMode()
{
    QFETCH(int, existingMode);

    const ScopedUmask mask(027);
    Logger &logger = Logger::instance();
    logger.setClock(fixedMoment);
    const QString path = logger.currentLogFilePath();
    if (existingMode != 0) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(existingMode)) == 0);
    }

    Logger::messageHandler(QtInfoMsg, defaultContext, QStringLiteral("entry"));
    QCOMPARE(modeOf(path), mode_t(0666));
}

void TestLogger::setLogFolderCreatesParents()
{
    const QString location = dir->filePath("a/b/logs");
    StdoutCapture capture;
    Logger::instance().setLogFolder(location);
    QCOMPARE(capture.finish(), QByteArray());
    QVERIFY(QFileInfo(location).isDir());
    QCOMPARE(Logger::instance().logFolder, location);
}

void TestLogger::missingFolderLosesOnlyTheEntries()
{
    QFile blocker(dir->filePath("notafolder"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const ChildRun run = startChild(QStringLiteral("missing-folder"), dir->path());
    QVERIFY2(run.finished, run.err.constData());
    QCOMPARE(run.exitCode, 7); // the event loop went on

    const QString location = dir->filePath("notafolder/logs");
    const QByteArray folderFailure = "Could not create Log file:" + location.toUtf8() + "\n";
    QCOMPARE(run.out, folderFailure + "reported: " + folderFailure
                          + cannotWrite(location + "/watchdog_w_04_Dec_2026.log"));
    QCOMPARE(readAll(dir->filePath("watchdog_w_04_Dec_2026.log")),
             fixedLine(" [WW default  ] kept entry\n"));
}

void TestLogger::unopenableFileLosesOnlyTheEntries_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::newRow("folder") << "folder";
    QTest::newRow("pipe without reader") << "fifo";
    QTest::newRow("link to a device") << "device";
}

void TestLogger::unopenableFileLosesOnlyTheEntries()
{
    QFETCH(QString, obstacle);
    const QString path = dir->filePath("watchdog_w_04_Dec_2026.log");
    const QByteArray encoded = QFile::encodeName(path);
    if (obstacle == "folder")
        QVERIFY(QDir().mkdir(path));
    else if (obstacle == "fifo")
        QVERIFY(::mkfifo(encoded.constData(), 0600) == 0);
    else
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), path));

    const ChildRun run = startChild(QStringLiteral("obstacle"), dir->path());
    QVERIFY2(run.finished, run.err.constData());
    QCOMPARE(run.exitCode, 7); // the event loop went on

    // Every lost entry is printed; only the first failure is reported.
    QCOMPARE(run.out, cannotWrite(path) + "reported: Cannot write to log file: " + path.toUtf8()
                          + "\n" + cannotWrite(path));
    QVERIFY2(run.err.contains("from reporter"), run.err.constData());
    QCOMPARE(readAll(path), fixedLine(" [WW default  ] kept entry\n"));
}

void TestLogger::fullDiskLosesOnlyTheEntry()
{
    // Room for part of the first line only: the part is taken back.
    const QString path = dir->filePath("watchdog_w_04_Dec_2026.log");
    const qint64 filled = fullDiskLength - 20;
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(QByteArray(filled, 'x')), filled);
    }

    const ChildRun run = startChild(QStringLiteral("full-disk"), dir->path());
    QVERIFY2(run.finished, run.err.constData());
    QCOMPARE(run.exitCode, 7); // the event loop went on

    const QByteArray failure = "Cannot write to log file: " + path.toUtf8() + "\n";
    QCOMPARE(run.out, failure + "reported: " + failure + failure
                          + "length: " + QByteArray::number(filled) + "\n");
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(readAll(path), fixedLine(" [WW default  ] kept entry\n"));
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
    QCOMPARE(readAll(logger.currentLogFilePath()), fixedLine(" [II default  ] outer entry\n"));
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
