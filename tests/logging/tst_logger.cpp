// The logger: which messages reach the file and how their lines look, the
// file's name and mode, entries it cannot write, threads, clean-up of old logs.

#include "foldercreation.h"
#include "logger.h"
#include "pathtrust.h"
#include "testsupport.h"

#include <sys/sysmacros.h>
#include <sys/resource.h>

namespace {

const QString prefix = u"watchdog_render_worker_"_s;
// Local time far east of UTC, before any time is taken: 03:35 on Friday here
// is Thursday in UTC, and every hour differs by 14 from UTC's.
const bool farFromUtc = (qputenv("TZ", "UTC-14"), ::tzset(), true);
const QDateTime friday(QDate(2026, 12, 4), QTime(3, 35, 1));
thread_local QDateTime threadMoment = friday;

void log(QtMsgType type, const char *category, const QString &message)
{
    const QMessageLogContext context(nullptr, 0, nullptr, category);
    Logger::messageHandler(type, context, message);
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    // The day's file is named alike under every locale.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }
    void init();
    void lines_data();
    void lines();
    void systemClockIsLocal();
    void fullDiskLeavesNoTornLine();
    void threadsWriteWholeLines();
    void plantedFilesStayUntouched_data();
    void plantedFilesStayUntouched();
    void foldersThroughLinks_data();
    void foldersThroughLinks();
    void removeOldLogs_data();
    void removeOldLogs();

private:
    std::unique_ptr<QTemporaryDir> folder;
    QString logs;
    QStringList failures;
};

void TestLogger::init()
{
    folder = std::make_unique<QTemporaryDir>();
    Logger &logger = Logger::instance();
    // Every user's programs log there: made public (sticky) whatever the umask.
    logs = folder->filePath(u"made/logs"_s);
    const mode_t umask = ::umask(077);
    logger.setLogFolder(logs);
    ::umask(umask);
    QCOMPARE(ts::modeOf(logs), mode_t(S_IFDIR | 01777));
    QCOMPARE(ts::modeOf(folder->filePath(u"made"_s)), mode_t(S_IFDIR | 0755));
    logger.filePrefix = prefix;
    logger.setEnabled(true);
    logger.setLevel(6);
    logger.setClock([] { return threadMoment; });
    failures.clear();
    logger.setFailureReporter([this](const QString &failure) { failures << failure; });
}

// One message at a level: the line it gives in the file, or none.
void TestLogger::lines_data()
{
    QTest::addColumn<int>("level"); // the lowest that writes the line; one below writes none (-1: disabled)
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("category");
    QTest::addColumn<QString>("line"); // after the timestamp
    QTest::newRow("fatal") << 0 << int(QtFatalMsg) << ""_ba << "[FF] text";
    QTest::newRow("critical") << 2 << int(QtCriticalMsg) << ""_ba << "[EE] text";
    QTest::newRow("warning") << 3 << int(QtWarningMsg) << "Service"_ba << "[WW service  ] text";
    QTest::newRow("info") << 4 << int(QtInfoMsg) << "qt.core.longname"_ba << "[II qt.core.longname] text";
    QTest::newRow("debug") << 5 << int(QtDebugMsg) << "render"_ba << "[DD render   ] text";
    QTest::newRow("trace") << 6 << int(QtDebugMsg) << "Render.trace"_ba << "[TT render   ] text";
    QTest::newRow("non-ASCII") << 5 << int(QtDebugMsg) << "Größe"_ba << "[DD größe    ] text";
}

void TestLogger::lines()
{
    QFETCH(int, level);
    QFETCH(int, type);
    QFETCH(QByteArray, category);
    QFETCH(QString, line);
    const QString path = logs + u'/' + prefix + u"04_Dec_2026.log"_s;
    // Every program of the installation, whatever its user, writes and
    // rotates the files: they are writable by everyone, whatever the umask.
    const mode_t umask = ::umask(077);
    for (const int at : { level - 1, level }) {
        Logger::instance().setLevel(at);
        Logger::instance().setEnabled(at >= 0);
        log(QtMsgType(type), category.isEmpty() ? nullptr : category.constData(), u"text"_s);
        QVERIFY2(at == level || !QFileInfo::exists(path), "written one level too low");
    }
    ::umask(umask);
    QCOMPARE(QString::fromUtf8(ts::readFile(path)), u"Fri Dec 4 03:35:01 2026 "_s + line + u'\n');
    QCOMPARE(ts::modeOf(path), mode_t(S_IFREG | 0666));
}

// Without a clock of the test's, the day's file and the line's stamp are of
// the system clock's local time.
void TestLogger::systemClockIsLocal()
{
    Logger::instance().setClock({});
    const auto localNow = [] { return QLocale::c().toString(QDateTime::currentDateTime(), u"dd_MMM_yyyy'.log' HH:"_s); };
    const QString before = localNow();
    log(QtCriticalMsg, nullptr, u"now"_s);
    const QString after = localNow();
    const QString path = Logger::instance().currentLogFilePath();
    const QString shown = path.section(u'/', -1).mid(prefix.size()) + u' '
        + QString::fromUtf8(ts::readFile(path)).section(u' ', 3, 3).left(3);
    QVERIFY2(shown == before || shown == after, qPrintable(shown + u" at "_s + before));
}

// A line that does not fit on the disk is taken out again, so no torn line
// runs into the next.
void TestLogger::fullDiskLeavesNoTornLine()
{
    const QString path = logs + u'/' + prefix + u"04_Dec_2026.log"_s;
    log(QtCriticalMsg, nullptr, u"first"_s);
    const QByteArray before = ts::readFile(path);
    QVERIFY(before.endsWith("[EE] first\n"));
    rlimit limit;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit full{ rlim_t(before.size() + 10), limit.rlim_max };
    const auto previous = ::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &full), 0);
    log(QtCriticalMsg, nullptr, u"a line longer than what is left on the disk"_s);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, previous);
    QCOMPARE(ts::readFile(path), before);
}

// Threads log at once, each entry at its own second: every line is whole and
// carries the time of its own entry.
void TestLogger::threadsWriteWholeLines()
{
    constexpr int threads = 6, entries = 400;
    std::vector<std::unique_ptr<QThread>> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(QThread::create([t] {
            for (int e = 0; e < entries; ++e) {
                threadMoment = friday.addSecs(t * entries + e);
                log(QtWarningMsg, nullptr, u"%1"_s.arg(t * entries + e));
            }
        }));
        workers.back()->start();
    }
    for (auto &worker : workers)
        QVERIFY(worker->wait(ts::waitMs));
    const QStringList lines = QString::fromUtf8(ts::readFile(Logger::instance().currentLogFilePath()))
                                  .split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), threads * entries);
    for (const QString &line : lines) {
        const int entry = line.section(u"] "_s, 1).toInt();
        QCOMPARE(line, friday.addSecs(entry).toString(Qt::TextDate) + u" [WW] "_s + QString::number(entry));
    }
}

// A file planted under the log file's name, or a folder others could plant
// one in, never has root write to or open up a file of another's choice; the
// cause is told once, not for every lost entry. Root's log folder, once used,
// may be removed (a cleaner) and nobody put a link or folder in its place:
// entries never follow; a folder only removed is made again, as root's.
void TestLogger::plantedFilesStayUntouched_data()
{
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("replaced"); // root's log folder: "" none, "removed", or nobody's "link" or "folder"
    QTest::newRow("symbolic link") << 01777 << "symbolic" << "";
    QTest::newRow("hard link") << 01777 << "hard" << "";
    QTest::newRow("public folder") << 0777 << "" << "";
    QTest::newRow("device") << 01777 << "device" << "";
    QTest::newRow("log folder removed") << 01777 << "" << "removed";
    QTest::newRow("log folder swapped for a link") << 01777 << "" << "link";
    QTest::newRow("log folder swapped for a folder") << 01777 << "" << "folder";
}

void TestLogger::plantedFilesStayUntouched()
{
    QFETCH(int, folderMode);
    QFETCH(QString, link);
    QFETCH(QString, replaced);
    const QString own = logs + u"/own"_s, elsewhere = folder->filePath(u"elsewhere"_s);
    if (!replaced.isEmpty()) {
        if (!PathTrust::isEnforced())
            QSKIP("Only a root process can have another user act");
        QCOMPARE(::chmod(QFile::encodeName(folder->path()).constData(), 0755), 0);
        Logger::instance().setLogFolder(own, 0755);
        log(QtCriticalMsg, nullptr, u"before"_s);
        QVERIFY(QDir().mkdir(elsewhere) && QDir(own).removeRecursively());
        const QStringList act = replaced == u"link" ? QStringList{ u"ln"_s, u"-s"_s, elsewhere, own } : QStringList{ u"mkdir"_s, own };
        if (replaced != u"removed")
            QCOMPARE(QProcess::execute(u"setpriv"_s, QStringList{ u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s } + act), 0);
    }
    const QString target = logs + u"/target"_s, path = Logger::instance().currentLogFilePath();
    QVERIFY(ts::writeFile(target, "mine\n") && QFile::setPermissions(target, QFileDevice::ReadOwner));
    QCOMPARE(::chmod(QFile::encodeName(logs).constData(), mode_t(folderMode)), 0);
    if (link == u"symbolic")
        QVERIFY(QFile::link(target, path));
    else if (link == u"hard")
        QCOMPARE(::link(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()), 0);
    else if (link == u"device")
        QCOMPARE(::mknod(QFile::encodeName(path).constData(), S_IFCHR | 0666, makedev(1, 3)), 0);
    const int out = ::dup(1);
    QFile printed(folder->filePath(u"printed"_s));
    QVERIFY(printed.open(QIODevice::WriteOnly) && ::dup2(printed.handle(), 1) == 1);
    log(QtCriticalMsg, nullptr, u"text"_s);
    log(QtCriticalMsg, nullptr, u"text"_s);
    ::dup2(out, 1);
    ::close(out);
    const QByteArray causes = ts::readFile(printed.fileName());
    const bool madeAgain = replaced == u"removed";
    QCOMPARE(causes.count("Cannot write to log file: ") + causes.count("Refused "), madeAgain ? 0 : 1);
    QCOMPARE(ts::readFile(target), "mine\n"_ba);
    QCOMPARE(ts::modeOf(target), mode_t(S_IFREG | 0400));
    QCOMPARE(QFileInfo::exists(path), !link.isEmpty() || madeAgain);
    QCOMPARE(failures.size(), madeAgain ? 0 : 1);
    if (!link.isEmpty() && folderMode == 01777)
        QCOMPARE(failures.constFirst(), u"Cannot write to log file: "_s + path);
    if (!replaced.isEmpty())
        QVERIFY(QDir(elsewhere).isEmpty());
    if (madeAgain)
        QCOMPARE(ts::modeOf(own), mode_t(S_IFDIR | 0755));
}

// A log folder named through a link in the public log folder: root follows
// its own link, never another user's, which could be pointed anywhere
// once the folder has been judged.
void TestLogger::foldersThroughLinks_data()
{
    QTest::addColumn<uid_t>("linkOwner");
    QTest::addColumn<QString>("target");
    QTest::newRow("root's link") << uid_t(0) << "";
    QTest::newRow("root's relative link") << uid_t(0) << "../../real";
    QTest::newRow("another user's link") << uid_t(65534) << "";
    QTest::newRow("another user's relative link") << uid_t(65534) << "../../real";
}

void TestLogger::foldersThroughLinks()
{
    if (!PathTrust::isEnforced())
        QSKIP("Only a root process judges paths");
    QFETCH(uid_t, linkOwner);
    QFETCH(QString, target);
    const QString real = folder->filePath(u"real"_s), link = logs + u"/link"_s;
    QVERIFY(QDir().mkdir(real) && QFile::link(target.isEmpty() ? real : target, link));
    QCOMPARE(::lchown(QFile::encodeName(link).constData(), linkOwner, linkOwner), 0);
    QString reason;
    QCOMPARE(PathTrust::isTrustedFolder(link + u"/."_s, &reason), linkOwner == 0);
    QCOMPARE(createFolder(link + u"/new"_s, 0755), linkOwner == 0);
    QCOMPARE(QFileInfo::exists(real + u"/new"_s), linkOwner == 0);
}

// The files of the newest days are kept; files of other programs stay.
void TestLogger::removeOldLogs_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("days");
    QTest::addColumn<QStringList>("kept");
    const QStringList four{ prefix + u"01_Dec_2026.log"_s, prefix + u"02_Dec_2026.log"_s,
                            prefix + u"30_Nov_2026.log"_s, prefix + u"04_Jan_2027.log"_s };
    // The file of the day that begins is one of them.
    QTest::newRow("three days") << four << 3 << QStringList{ four[1], four[3] };
    QTest::newRow("none") << four << 0 << QStringList();
    // The foreign name is the oldest dated one.
    const QString foreign = u'x' + prefix.mid(1) + u"05_Nov_2026.log"_s; // another program's, as long as ours
    QTest::newRow("foreign names") << QStringList{ foreign, u"notes.txt"_s, four[0], four[3] } << 2
                                   << QStringList{ foreign, u"notes.txt"_s, four[3] };
    QTest::newRow("undated first") << QStringList{ prefix + u"old.log"_s, four[0] } << 2 << QStringList{ prefix + u"old.log"_s, four[0] };
    const QStringList otherSpellings{ prefix + u"01_dec_2020.log"_s, prefix + u"01_DEC_2020.log"_s };
    QTest::newRow("other spellings") << otherSpellings + four << 0 << otherSpellings;
    QTest::newRow("lowest int") << four << std::numeric_limits<int>::min() << QStringList();
    QTest::newRow("highest int") << four << std::numeric_limits<int>::max() << four;
}

void TestLogger::removeOldLogs()
{
    QFETCH(QStringList, files);
    QFETCH(int, days);
    QFETCH(QStringList, kept);
    for (const QString &file : files)
        QVERIFY(ts::writeFile(logs + u'/' + file, "entry\n"));
    Logger::instance().removeOldLogs(days);
    kept.sort();
    QCOMPARE(QDir(logs).entryList(QDir::Files, QDir::Name), kept);
}

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
