#include "recordfields.h"
#include "rendersettings.h"
#include "settingsstorage.h"
#include "storedtext.h"
#include "testsupport.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>

using namespace testsupport;

Q_DECLARE_METATYPE(RenderSettings)

// writeSettings and the reporting after a write: what reaches the file, its
// permissions, and stores that cannot be written.
class TestWriteSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void roundTrip_data();
    void roundTrip();
    void storedForms();
    void otherProgramsKeysKept();
    void fileModeUnderRestrictiveUmask_data();
    void fileModeUnderRestrictiveUmask();
    void unwritableStore_data();
    void unwritableStore();
    void failedSyncReportedButTrue();
    void reportStoreStatus_data();
    void reportStoreStatus();
    void permissionsForEveryone();

private:
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("settings.conf")); }
    RenderSettings readCopyOf(const QString &path) const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestWriteSettings::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

// Reads the record from a copy of the file, so that it comes from the disk
// and not from what the toolkit keeps of the store that wrote it.
RenderSettings TestWriteSettings::readCopyOf(const QString &path) const
{
    const QString copy = m_dir->filePath(QStringLiteral("copy.conf"));
    QFile::remove(copy);
    if (!QFile::copy(path, copy))
        return RenderSettings();
    QSettings store(copy, QSettings::NativeFormat);
    return readSettings(store);
}

namespace {

// Every field away from both its initial value and its default; the two web
// statistics fields are only ever read, so they hold what reading gives.
RenderSettings everyFieldChanged()
{
    RenderSettings s;
    s.logLevel = 6;
    s.engineLogLevel = 3;
    s.daysToKeepLogs = 45;
    s.loggingEnabled = false;
    s.logLocation = QStringLiteral("/srv/logs/räder");
    s.language = QStringLiteral("traditional_chinese");
    s.useSystemProxy = true;
    s.theme = QStringLiteral("Light");
    s.manager = true;
    s.autodetect = false;
    s.clientStatePort = 5847;
    s.workerStatePort = 5848;
    s.enableWebStatitics = false;
    s.webStatisticsPort = 8080;
    s.highWorkerId = Q_UINT64_C(18446744073709551615);
    s.highClientId = Q_UINT64_C(1) << 40;
    s.regionSizeHint = 256;
    s.interiorModeRegionSizeHint = 128;
    s.interiorModeRegionOverlap = 16;
    s.useOldRegionSplitMethod = true;
    s.statusTimerInterval = 65535;
    s.ssl = true;
    s.userLogin = true;
    s.anonymousUsers = false;
    s.sslCertificatePath = QStringLiteral("/etc/ssl/c, d.pem");
    s.sslPrivateKeyPath = QStringLiteral("/etc/ssl/key=1;#.pem");
    s.disableQueuePreview = true;
    s.fifoDownloadOrder = true;
    s.parallelJobs = 3;
    s.restfulApi = true;
    s.restfulApiPort = 9090;
    s.proxyType = 3;
    s.proxyPort = 3128;
    s.proxyHost = QStringLiteral("proxy.example");
    s.proxyUser = QStringLiteral("renderer");
    s.proxyPassword = QStringLiteral("p@ss wörd=;#\"");
    s.updateSystemEnabled = false;
    s.automaticUpdatesEnabled = false;
    s.worker = true;
    s.managerIp = QStringLiteral("192.168.1.10");
    s.managerPort = 4999;
    s.workerPriority = 30;
    s.allowedCores = 12;
    s.launchWorkerTray = false;
    s.workerPaused = true;
    s.gpuWorkerPaused = true;
    s.workerId = 42;
    s.workerGpuId = 43;
    s.restartWorkerOnOutOfMemory = false;
    s.workerCpu = false;
    s.workerGpu = true;
    s.workerGpus = {3, 1, 1};
    s.smtpEnabled = true;
    s.smtpSsl = true;
    s.smtpServer = QStringLiteral("smtp.example");
    s.smtpEmail = QStringLiteral("render@example.com");
    s.smtpUsername = QStringLiteral("mailer");
    s.smtpPassword = QStringLiteral("秘密 🔑");
    s.smtpPort = 587;
    s.emailDatabaseErrors = false;
    s.emailResultErrors = false;
    s.emailGeneralErrors = false;
    s.autoDeleteJobs = true;
    s.autoDeleteJobDays = 7;
    return s;
}

} // namespace

void TestWriteSettings::roundTrip_data()
{
    QTest::addColumn<RenderSettings>("settings");

    QTest::newRow("every field changed") << everyFieldChanged();
    RenderSettings oneGpu = everyFieldChanged();
    oneGpu.workerGpus = {2};
    QTest::newRow("one GPU selected") << oneGpu;
    RenderSettings noPasswords = everyFieldChanged();
    noPasswords.proxyPassword.clear();
    noPasswords.smtpPassword.clear();
    QTest::newRow("no passwords") << noPasswords;
}

void TestWriteSettings::roundTrip()
{
    QFETCH(RenderSettings, settings);

    const FakeGpuDriver gpus(4);
    {
        QSettings store(settingsPath(), QSettings::NativeFormat);
        QVERIFY(writeSettings(store, settings));
    }
    recordfields::compare(readCopyOf(settingsPath()), settings);
    QVERIFY(readCopyOf(settingsPath()) == settings);
}

void TestWriteSettings::storedForms()
{
    RenderSettings settings;
    settings.proxyPassword = QStringLiteral("hidden");
    settings.highWorkerId = Q_UINT64_C(18446744073709551615);
    settings.workerGpus = {3, 1, 1};
    {
        QSettings store(settingsPath(), QSettings::NativeFormat);
        QVERIFY(writeSettings(store, settings));
    }
    const QVariantMap disk = keysOnDisk(settingsPath());
    QCOMPARE(disk.value(QStringLiteral("common/loggingEnabled")), QVariant("false"));
    QCOMPARE(disk.value(QStringLiteral("worker/workerCpu")), QVariant("true"));
    QCOMPARE(disk.value(QStringLiteral("manager/highWorkerId")), QVariant("18446744073709551615"));
    QCOMPARE(disk.value(QStringLiteral("manager/autoDeleteJobDays")), QVariant("30"));
    // A list of numbers, in the toolkit's plain text form that every program reads.
    QCOMPARE(disk.value(QStringLiteral("worker/workerGpus")),
             QVariant(QStringList{QStringLiteral("3"), QStringLiteral("1"), QStringLiteral("1")}));
    // Passwords are never stored in plain text; an empty one is an empty string.
    const QString pp = disk.value(QStringLiteral("manager/pp")).toString();
    QVERIFY(!pp.contains(QStringLiteral("hidden")));
    QCOMPARE(decodeStoredText(pp), QStringLiteral("hidden"));
    QCOMPARE(disk.value(QStringLiteral("smtp/password")), QVariant(QString()));
    QVERIFY(disk.contains(QStringLiteral("smtp/password")));
    // Read by others, never written here.
    QVERIFY(!disk.contains(QStringLiteral("manager/enableWebStatitics")));
    QVERIFY(!disk.contains(QStringLiteral("manager/webStatisticsPort")));
    QCOMPARE(disk.size(), 8 + 30 + 14 + 10);
}

void TestWriteSettings::otherProgramsKeysKept()
{
    QVERIFY(writeFile(settingsPath(), "[common]\nrecentFiles=a.svs, b.svs\n"
                                      "[manager]\nenableWebStatitics=true\nwebStatisticsPort=81\n"
                                      "[monitor]\nfilter=active\n"));
    {
        QSettings store(settingsPath(), QSettings::NativeFormat);
        QVERIFY(writeSettings(store, RenderSettings()));
    }
    const QVariantMap disk = keysOnDisk(settingsPath());
    QCOMPARE(disk.value(QStringLiteral("common/recentFiles")),
             QVariant(QStringList{QStringLiteral("a.svs"), QStringLiteral("b.svs")}));
    QCOMPARE(disk.value(QStringLiteral("manager/enableWebStatitics")), QVariant("true"));
    QCOMPARE(disk.value(QStringLiteral("manager/webStatisticsPort")), QVariant("81"));
    QCOMPARE(disk.value(QStringLiteral("monitor/filter")), QVariant("active"));
}

void TestWriteSettings::fileModeUnderRestrictiveUmask_data()
{
    QTest::addColumn<bool>("exists");
    QTest::newRow("new file") << false;
    QTest::newRow("existing private file") << true;
}

void TestWriteSettings::fileModeUnderRestrictiveUmask()
{
    QFETCH(bool, exists);

    const UmaskGuard umask(027);
    if (exists) {
        QVERIFY(writeFile(settingsPath(), "[common]\nlogLevel=2\n"));
        QVERIFY(QFile::setPermissions(settingsPath(), QFile::ReadOwner | QFile::WriteOwner));
    }
    {
        QSettings store(settingsPath(), QSettings::NativeFormat);
        QVERIFY(writeSettings(store, RenderSettings()));
    }
    struct stat status = {};
    QCOMPARE(::stat(QFile::encodeName(settingsPath()).constData(), &status), 0);
    QCOMPARE(status.st_mode & 07777, mode_t(0666));
}

void TestWriteSettings::unwritableStore_data()
{
    QTest::addColumn<QString>("storePath");
    QTest::addColumn<QString>("blocker");

    // Both hold for root as well, who may write any file.
    QTest::newRow("folder missing behind a file") << QStringLiteral("plain/settings.conf")
                                                  << QStringLiteral("plain");
    QTest::newRow("folder in place of the file") << QStringLiteral("settings.conf")
                                                 << QString();
}

void TestWriteSettings::unwritableStore()
{
    QFETCH(QString, storePath);
    QFETCH(QString, blocker);

    const QString path = m_dir->filePath(storePath);
    if (blocker.isEmpty())
        QVERIFY(QDir().mkpath(path));
    else
        QVERIFY(writeFile(m_dir->filePath(blocker), QByteArray()));
    const QStringList before = QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    const MessageCapture messages;
    {
        QSettings store(path, QSettings::NativeFormat);
        QVERIFY(!writeSettings(store, everyFieldChanged()));
    }
    QCOMPARE(messages.texts(QtWarningMsg),
             QStringList{QLatin1Char('"') + path + QStringLiteral("\" does not have write permissions.")});
    QCOMPARE(messages.texts(QtCriticalMsg), QStringList());
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QVERIFY(QDir(path).isEmpty() || !blocker.isEmpty());
    if (!blocker.isEmpty())
        QCOMPARE(QFileInfo(m_dir->filePath(blocker)).size(), qint64(0));
}

void TestWriteSettings::failedSyncReportedButTrue()
{
    // The file cannot be parsed, but it can be written: the write goes
    // through, and the store's status after the sync is reported.
    QVERIFY(writeFile(settingsPath(), "[common\n"));
    const MessageCapture messages;
    {
        QSettings store(settingsPath(), QSettings::NativeFormat);
        QVERIFY(writeSettings(store, RenderSettings()));
    }
    QCOMPARE(messages.texts(QtCriticalMsg),
             (QStringList{QStringLiteral("Failed to write config file: \"") + settingsPath()
                                  + QLatin1Char('"'),
                          QStringLiteral("Format error!")}));
}

void TestWriteSettings::reportStoreStatus_data()
{
    QTest::addColumn<QString>("storePath");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("error");

    QTest::newRow("no error") << QStringLiteral("settings.conf") << QByteArray("[common]\n")
                              << QString();
    QTest::newRow("access error") << QStringLiteral("plain/settings.conf") << QByteArray()
                                  << QStringLiteral("File access error!");
    QTest::newRow("format error") << QStringLiteral("settings.conf") << QByteArray("[common\n")
                                  << QStringLiteral("Format error!");
}

void TestWriteSettings::reportStoreStatus()
{
    QFETCH(QString, storePath);
    QFETCH(QByteArray, content);
    QFETCH(QString, error);

    // "plain" is a file, so nothing can be created below it.
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("plain")), QByteArray()));
    const QString path = m_dir->filePath(storePath);
    if (!content.isEmpty())
        QVERIFY(writeFile(path, content));

    QSettings store(path, QSettings::NativeFormat);
    store.setValue(QStringLiteral("common/logLevel"), 3);
    store.sync();
    const MessageCapture messages;
    ::reportStoreStatus(store);

    QStringList expected;
    if (!error.isEmpty())
        expected << QStringLiteral("Failed to write config file: \"") + path + QLatin1Char('"') << error;
    QCOMPARE(messages.texts(QtCriticalMsg), expected);
    QCOMPARE(messages.messages().size(), expected.size());
}

void TestWriteSettings::permissionsForEveryone()
{
    QCOMPARE(int(allReadWritePermissions()), 0x6666);
}

QTEST_GUILESS_MAIN(TestWriteSettings)
#include "tst_writesettings.moc"
