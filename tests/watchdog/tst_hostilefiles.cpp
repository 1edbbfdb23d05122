// What other local users can do through the files a root watchdog reads or
// writes: none of it may give them root, stop the watchdog or cost data.
// The hostile files belong to "nobody" or are writable by everyone.

#include "watchdogtestsupport.h"

#include "logger.h"
#include "loglocation.h"
#include "rendersettings.h"
#include "settingssnapshot.h"
#include "storedtext.h"

#include <QtEndian>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace WatchdogTest;

namespace {

uid_t nobody()
{
    const passwd *entry = ::getpwnam("nobody");
    return entry ? entry->pw_uid : uid_t(65534);
}

struct stat statOf(const QString &path)
{
    struct stat status {};
    ::lstat(QFile::encodeName(path).constData(), &status);
    return status;
}

bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

bool giveToNobody(const QString &path)
{
    return ::lchown(QFile::encodeName(path).constData(), nobody(), gid_t(-1)) == 0;
}

// One stored list inside another, depth times, as the toolkit writes it.
QByteArray nestedLists(int depth)
{
    QByteArray value = "@Variant(";
    for (int level = 0; level < depth; ++level)
        value += "\\0\\0\\0\\t\\0\\0\\0\\x1";
    value += "\\0\\0\\0\\t\\0\\0\\0\\0)";
    return "[common]\nlogLevel=5\n[worker]\nworkerGpus=" + value + "\n";
}

// A stored password that announces 1 KiB and inflates to 48 MiB of valid
// Base64 text.
QByteArray passwordBomb()
{
    QByteArray compressed = qCompress(QByteArray(48 * 1024 * 1024, 'Q'), 9);
    qToBigEndian<quint32>(1024, compressed.data());
    return "[manager]\npp=" + compressed.toHex() + "\n";
}

} // namespace

class tst_HostileFiles : public FixtureTest
{
    Q_OBJECT

private Q_SLOTS:
    void untrustedOverrideStartsDefault_data();
    void untrustedOverrideStartsDefault();
    void settingsGiveDefaults_data();
    void settingsGiveDefaults();
    void settingsFileStaysByteIdentical();
    void logFileRedirectsLeaveTargetAlone_data();
    void logFileRedirectsLeaveTargetAlone();
    void logLocation_data();
    void logLocation();
    void createdFolderModes();
    void cleanUpAtDateChange();
};

void tst_HostileFiles::untrustedOverrideStartsDefault_data()
{
    QTest::addColumn<QString>("setUp");
    QTest::addColumn<bool>("refused"); // one error names the path
    QTest::newRow("version file of another user") << u"owner"_s << true;
    QTest::newRow("version file writable by all") << u"mode"_s << true;
    QTest::newRow("resource folder writable by all") << u"folder"_s << true;
    QTest::newRow("version file is a link") << u"link"_s << true;
    QTest::newRow("worker of another user") << u"worker"_s << true;
    QTest::newRow("version file is a pipe") << u"fifo"_s << false;
}

// The default worker starts, the version file is kept.
void tst_HostileFiles::untrustedOverrideStartsDefault()
{
    QFETCH(QString, setUp);
    QFETCH(bool, refused);
    const QString install = f->filePath(u"elsewhere/next"_s);
    QVERIFY(installWorkerCopy(install));
    const QString version = f->versionFile();
    const QString named = setUp == u"link" ? f->filePath(u"named.version"_s) : version;
    if (setUp == u"fifo")
        QVERIFY(::mkfifo(QFile::encodeName(version).constData(), 0644) == 0);
    else
        QVERIFY(writeFile(named, QFile::encodeName(install) + "\n"));
    if (setUp == u"link")
        QVERIFY(QFile::link(named, version));
    if (setUp == u"owner")
        QVERIFY(giveToNobody(version));
    if (setUp == u"mode")
        QVERIFY(setMode(version, 0666));
    if (setUp == u"folder")
        QVERIFY(setMode(f->path(), 0777));
    if (setUp == u"worker")
        QVERIFY(giveToNobody(install + u"/"_s + workerBin));
    QVERIFY(f->writeWorkerSettings(true, false));
    TestService service(f->path());

    service.startProcess();

    QTRY_COMPARE_WITH_TIMEOUT(f->starts().size(), 1, waitMs);
    QCOMPARE(executableOf(f->starts().at(0).pid), canonical(workerProgram));
    QCOMPARE(f->messages.containing(QtCriticalMsg, u"Refused "_s), int(refused));
    QVERIFY(QFileInfo(version).isSymLink() || QFileInfo::exists(version));
    setMode(f->path(), 0700);
}

void tst_HostileFiles::settingsGiveDefaults_data()
{
    QTest::addColumn<QByteArray>("content"); // null: a pipe
    QTest::addColumn<bool>("refused");
    QTest::newRow("nested stored lists") << nestedLists(40000) << true;
    QTest::newRow("above the size bound")
            << "[common]\nlogLevel=5\n" + QByteArray(2 * 1024 * 1024, ';') << true;
    QTest::newRow("pipe") << QByteArray() << true;
    QTest::newRow("password bomb") << passwordBomb() << false;
}

// Read in moments, with a few MiB at most: every value at its default.
void tst_HostileFiles::settingsGiveDefaults()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, refused);
    const QString path = f->filePath(u"settings.conf"_s);
    if (content.isNull())
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0666) == 0);
    else
        QVERIFY(writeFile(path, content));

    QString error;
    const std::unique_ptr<SettingsSnapshot> snapshot = SettingsSnapshot::take(path, &error);
    const RenderSettings read = readSettings(snapshot->store());

    QCOMPARE(error.contains(path), refused);
    QSettings empty(f->filePath(u"empty.conf"_s), QSettings::NativeFormat);
    RenderSettings expected = readSettings(empty);
    if (!refused)
        expected.logLevel = read.logLevel;
    QVERIFY(read == expected);
}

// A foreign stored value, a comment, a line without "=", a byte that is no
// UTF-8 and legacy entries: the watchdog reads them and changes nothing, not
// even the owner; the library, migrating on disk, keeps a password's comma.
void tst_HostileFiles::settingsFileStaysByteIdentical()
{
    const QString path = f->filePath(u"settings.conf"_s);
    const QByteArray content = "; kept by the desktop program\n[desktop]\n"
                               "color=@Variant(\\0\\0\\0\\x43\\x1\\xff\\xff\\0\\0\\0\\0\\0\\0\\0\\0)\n"
                               "no assignment here\nname=caf\xe9\n"
                               "[master]\nproxyPass=pa,ss\n[slave]\nslaveCpu=true\nworkerCpu=true\n";
    QVERIFY(writeFile(path, content));
    QVERIFY(setMode(path, 0666) && giveToNobody(path));

    TestService service(f->path());
    QString error;
    const RenderSettings read = readSettings(SettingsSnapshot::take(path, &error)->store());

    QCOMPARE(read.proxyPassword, u"pa,ss"_s);
    QCOMPARE(readFile(path), content);
    QCOMPARE(statOf(path).st_uid, nobody());
    QCOMPARE(statOf(path).st_mode & 07777, mode_t(0666));

    const QString copy = f->filePath(u"library.conf"_s);
    QVERIFY(writeFile(copy, content));
    {
        QSettings store(copy, QSettings::NativeFormat);
        readSettings(store);
    }
    QSettings migrated(copy, QSettings::NativeFormat);
    QCOMPARE(decodeStoredText(migrated.value(u"manager/pp"_s).toString()), u"pa,ss"_s);
}

void tst_HostileFiles::logFileRedirectsLeaveTargetAlone_data()
{
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<bool>("folderOfNobody");
    QTest::addColumn<bool>("hardLink"); // else a symbolic link
    QTest::newRow("link in a folder writable by all") << 0777 << false << false;
    QTest::newRow("link in a sticky public folder") << 01777 << false << false;
    QTest::newRow("hard link in a sticky public folder") << 01777 << false << true;
    QTest::newRow("link in a user's own folder") << 0755 << true << false;
}

// The day's log name planted as a link to a file of root's: the file keeps
// its content and its mode.
void tst_HostileFiles::logFileRedirectsLeaveTargetAlone()
{
    QFETCH(int, folderMode);
    QFETCH(bool, folderOfNobody);
    QFETCH(bool, hardLink);
    const QString secret = f->filePath(u"secret"_s);
    QVERIFY(writeFile(secret, "root's alone\n") && setMode(secret, 0600));
    const QString logs = f->filePath(u"logs"_s);
    QVERIFY(QDir().mkdir(logs) && setMode(logs, mode_t(folderMode)));
    if (folderOfNobody)
        QVERIFY(giveToNobody(logs));
    Logger &logger = Logger::instance();
    logger.logFolder = logs;
    logger.filePrefix = u"watchdog_w_"_s;
    logger.setClock([] { return QDateTime(QDate(2026, 12, 4), QTime(12, 0)); });
    const QString planted = logs + u"/watchdog_w_04_Dec_2026.log"_s;
    QVERIFY(hardLink ? ::link(QFile::encodeName(secret).constData(), QFile::encodeName(planted).constData()) == 0
                     : QFile::link(secret, planted));
    logger.setEnabled(true);

    Logger::messageHandler(QtCriticalMsg, QMessageLogContext(), u"line of the attacker's choice"_s);

    logger.setEnabled(false);
    logger.setClock({});
    QCOMPARE(readFile(secret), QByteArray("root's alone\n"));
    QCOMPARE(statOf(secret).st_mode & 07777, mode_t(0600));
}

void tst_HostileFiles::logLocation_data()
{
    QTest::addColumn<QString>("location"); // @RES@: resource folder, @OUT@: a folder outside
    QTest::addColumn<bool>("settingsRootsAlone");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("in the resource folder") << u"@RES@/mylogs/deeper"_s << false << true;
    QTest::newRow("under /var/log") << u"/var/log/solvane-test-not-created"_s << false << true;
    QTest::newRow("system folder, settings everyone's") << u"@OUT@"_s << false << false;
    QTest::newRow("system folder, settings root's alone") << u"@OUT@"_s << true << true;
    QTest::newRow("link in the resource folder to outside") << u"@RES@/out/logs"_s << false << false;
}

void tst_HostileFiles::logLocation()
{
    QFETCH(QString, location);
    QFETCH(bool, settingsRootsAlone);
    QFETCH(bool, allowed);
    QTemporaryDir outside;
    QVERIFY(QFile::link(outside.path(), f->filePath(u"out"_s)));
    const QString settings = f->filePath(u"settings.conf"_s);
    QVERIFY(writeFile(settings, "[common]\n") && setMode(settings, settingsRootsAlone ? 0644 : 0666));
    location.replace(u"@RES@"_s, f->path()).replace(u"@OUT@"_s, outside.path());

    QString reason;
    QCOMPARE(isAllowedLogLocation(location, settings, &reason), allowed);
    QCOMPARE(reason.isEmpty(), allowed);
    QVERIFY(!QFileInfo::exists(outside.filePath(u"logs"_s)));
}

// Whatever the creation mask: parents 0755, a log folder 1777.
void tst_HostileFiles::createdFolderModes()
{
    const mode_t mask = ::umask(0);
    ensureFolder(QDir(f->filePath(u"a/b"_s)));
    const QDir logs = logsFolder(true);
    createFolder(f->filePath(u"c/logs"_s), logFolderMode);
    ::umask(mask);
    for (const char *name : { "a", "a/b", "c" })
        QCOMPARE(statOf(f->filePath(QString::fromLatin1(name))).st_mode & 07777, mode_t(0755));
    QCOMPARE(statOf(logs.path()).st_mode & 07777, mode_t(01777));
    QCOMPARE(statOf(f->filePath(u"c/logs"_s)).st_mode & 07777, mode_t(01777));
}

// A watchdog that runs for months keeps daysToKeepLogs files.
void tst_HostileFiles::cleanUpAtDateChange()
{
    const QString logs = f->filePath(u"logs"_s);
    QVERIFY(QDir().mkdir(logs));
    for (const char *name : { "watchdog_w_01_Dec_2026.log", "watchdog_w_02_Dec_2026.log" })
        QVERIFY(writeFile(logs + u"/"_s + QString::fromLatin1(name), "old\n"));
    Logger &logger = Logger::instance();
    logger.logFolder = logs;
    logger.filePrefix = u"watchdog_w_"_s;
    logger.setEnabled(true);
    QDateTime now(QDate(2026, 12, 9), QTime(23, 59, 59));
    logger.setClock([&now] { return now; });
    logger.removeOldLogs(2);
    Logger::messageHandler(QtCriticalMsg, QMessageLogContext(), u"before midnight"_s);
    now = now.addSecs(1);
    Logger::messageHandler(QtCriticalMsg, QMessageLogContext(), u"after midnight"_s);
    logger.setEnabled(false);
    logger.setClock({});
    QCOMPARE(QDir(logs).entryList(QDir::Files), QStringList{ u"watchdog_w_10_Dec_2026.log"_s });
}

QTEST_GUILESS_MAIN(tst_HostileFiles)
#include "tst_hostilefiles.moc"
