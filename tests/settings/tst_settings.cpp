// The shared settings: what a file reads as (defaults, corrections,
// migrations), what writing stores, the report of them, language names and
// where the resource folder is.

#include "languages.h"
#include "rendersettings.h"
#include "resourcefolder.h"
#include "settingsreport.h"
#include "settingssnapshot.h"
#include "settingsstorage.h"
#include "sgpuinfo.h"
#include "testsupport.h"

using Field = QVariant (*)(const RenderSettings &);
Q_DECLARE_METATYPE(Field)
#define FIELD(name) Field([](const RenderSettings &s) { return QVariant::fromValue(s.name); })

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    // A file of its own for every case: the toolkit caches what it parsed and
    // may not notice a rewrite of the same length within a second.
    void init() { path = folder.filePath(u"settings%1.conf"_s.arg(++cases)); }
    // Two graphics devices, whatever the machine has, and a third its driver excludes.
    void initTestCase()
    {
        for (const char *card : { "0000:01:00.0", "0000:02:00.0", "0000:03:00.0" })
            QVERIFY(ts::writeFile(folder.filePath(u"gpus/"_s + QLatin1String(card) + u"/information"_s),
                                  card[6] == '3' ? "Model: Test GPU\nGPU Excluded: \t Yes\n" : "Model: Test GPU\n"));
        SGpuInfo::setDriverFolder(folder.filePath(u"gpus"_s));
    }
    void read_data();
    void read();
    void keys_data();
    void keys();
    void report();
    void languageNames_data();
    void languageNames();
    void resourceFolder();

private:
    QTemporaryDir folder;
    QString path;
    int cases = 0;
};

// A settings file and one field of what it reads as, through the daemon's
// snapshot, then twice from the file itself (a migration stores what it moves
// at once) unless the snapshot refused a hostile file.
void TestSettings::read_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<Field>("field");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("legacy level") << "[common]\ndebugLevel=2\n"_ba << FIELD(logLevel) << QVariant(2);
    QTest::newRow("legacy slave flag") << "[worker]\nslave=true\n"_ba << FIELD(worker) << QVariant(true);
    QTest::newRow("legacy group") << "[slave]\nslavePriority=30\n[worker]\nallowedCores=3\n"_ba << FIELD(workerPriority) << QVariant(30);
    QTest::newRow("legacy proxy password") << "[manager]\nproxyPass=secret\n"_ba << FIELD(proxyPassword) << QVariant(u"secret"_s);
    QTest::newRow("priority 10") << "[worker]\nworkerPriority=10\n"_ba << FIELD(workerPriority) << QVariant(10);
    QTest::newRow("priority 11") << "[worker]\nworkerPriority=11\n"_ba << FIELD(workerPriority) << QVariant(20);
    QTest::newRow("odd theme") << "[common]\ntheme=Pink\n"_ba << FIELD(theme) << QVariant(u"Dark"_s);
    QTest::newRow("negative GPU") << "[worker]\nworkerGpus=-1\n"_ba << FIELD(workerGpus) << QVariant::fromValue(QList<qint32>());
    QTest::newRow("GPU one past the devices") << "[worker]\nworkerGpus=1, 2\n"_ba << FIELD(workerGpus) << QVariant::fromValue(QList<qint32>{ 1 });
    QTest::newRow("every GPU by default") << ""_ba << FIELD(workerGpus) << QVariant::fromValue(QList<qint32>{ 0, 1 });
    QTest::newRow("overlap as region") << "[manager]\ninteriorModeRegionSizeHint=10\ninteriorModeRegionOverlap=10\n"_ba
                                       << FIELD(interiorModeRegionOverlap) << QVariant(0);
    QTest::newRow("longer than announced") << "[manager]\npp=00000003789c4b360acb4ace0d3300000c4302ac\n"_ba
                                           << FIELD(proxyPassword) << QVariant(QString());
    QTest::newRow("password bomb") << "[manager]\npp=7fffffff789c4b360acb4ace0d3300000c4302ac\n"_ba << FIELD(proxyPassword)
                                   << QVariant(QString());
    // 200 levels of every stored type that holds values: refused whole.
    const std::pair<const char *, QByteArray> levels[] = {
        { "nested lists", R"(\0\0\0\t\0\0\0\0\x1)" }, // type, null flag, count
        { "nested maps", R"(\0\0\0\b\0\0\0\0\x1\0\0\0\0)" }, // and an empty key
        { "nested hashes", R"(\0\0\0\x1c\0\0\0\0\x1\0\0\0\0)" },
        { "variants in variants", R"(\0\0\0\x29\0)" },
    };
    for (const auto &[row, level] : levels)
        QTest::newRow(row) << "[common]\ndaysToKeepLogs=3\nx=@Variant(" + level.repeated(200) + ")\n" << FIELD(daysToKeepLogs) << QVariant(10);
    QTest::newRow("50,000 variants in variants") << "[common]\ndaysToKeepLogs=3\nx=@Variant(" + QByteArray(R"(\0\0\0\x29\0)").repeated(50000) + ")\n"
                                                 << FIELD(daysToKeepLogs) << QVariant(10);
    QTest::newRow("FIFO") << ""_ba << FIELD(daysToKeepLogs) << QVariant(10);
    QTest::newRow("huge") << "[common]\ndaysToKeepLogs=3\n" + QByteArray(SettingsSnapshot::maxFileSize, ';') << FIELD(daysToKeepLogs) << QVariant(10);
}

void TestSettings::read()
{
    QFETCH(QByteArray, file);
    QFETCH(Field, field);
    QFETCH(QVariant, value);
    if (QTest::currentDataTag() == "FIFO"_ba)
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0666), 0);
    else
        QVERIFY(ts::writeFile(path, file));
    QString error;
    QCOMPARE(field(readSettings(SettingsSnapshot::take(path, &error)->store())), value);
    for (int reading = 0; reading < 2 && error.isEmpty(); ++reading) {
        QSettings store(path, QSettings::NativeFormat);
        QCOMPARE(field(readSettings(store)), value);
    }
}

// Every key, stored alone with a value other than its default: the record
// read differs by the record's == from the defaults', and written back it
// gives the defaults' file with that value under that key, in a file every
// program of the installation may update.
void TestSettings::keys_data()
{
    QTest::addColumn<QStringList>("keys"); // "key=value" of the row's group
    QTest::newRow("common") << QStringList{ u"logLevel=2"_s, u"engineLogLevel=3"_s, u"loggingEnabled=false"_s, u"daysToKeepLogs=3"_s,
                                            u"logLocation=/srv/logs"_s, u"language=japanese"_s, u"useSystemProxy=true"_s, u"theme=Light"_s };
    QTest::newRow("manager") << QStringList{
        u"manager=true"_s, u"autodetect=false"_s, u"clientStatePort=4000"_s, u"workerStatePort=4001"_s, u"enableWebStatitics=true"_s,
        u"webStatisticsPort=9090"_s, u"highWorkerId=5"_s, u"highClientId=6"_s, u"statusTimerInterval=3000"_s, u"ssl=true"_s,
        u"sslCertificatePath=/etc/a.pem"_s, u"sslPrivateKeyPath=/etc/a.key"_s, u"userLogin=true"_s, u"anonymousUsers=false"_s,
        u"disableQueuePreview=true"_s, u"fifoDownloadOrder=true"_s, u"parallelJobs=4"_s, u"autoDeleteJobs=true"_s,
        u"autoDeleteJobDays=7"_s, u"restfulApi=true"_s, u"restfulApiPort=8081"_s, u"regionSizeHint=256"_s,
        u"interiorModeRegionSizeHint=128"_s, u"interiorModeRegionOverlap=20"_s, u"useOldRegionSplitMethod=true"_s, u"proxyType=2"_s,
        u"proxyHost=proxy.lan"_s, u"proxyPort=3128"_s, u"proxyUser=render"_s, u"updateSystemEnabled=false"_s,
        u"automaticUpdatesEnabled=false"_s, u"pp=0000000c789c33372fd54f360acb4ace0d330000177103be"_s }; // BOM "secret"
    QTest::newRow("worker") << QStringList{
        u"worker=true"_s, u"ip=10.0.0.5"_s, u"port=5000"_s, u"workerPriority=30"_s, u"allowedCores=3"_s, u"launchWorkerTray=false"_s,
        u"workerPaused=true"_s, u"gpuWorkerPaused=true"_s, u"workerId=7"_s, u"workerGpuId=8"_s, u"restartWorkerOnOutOfMemory=false"_s,
        u"workerCpu=false"_s, u"workerGpu=true"_s, u"workerGpus=1"_s };
    QTest::newRow("smtp") << QStringList{ u"smtp=true"_s, u"server=mail.lan"_s, u"port=587"_s, u"email=farm@mail.lan"_s,
                                          u"username=farm"_s, u"password=00000008789c4b0a772b4872b4b505000c4f028d"_s, // "mail"
                                          u"ssl=true"_s, u"emailDatabaseErrors=false"_s, u"emailResultErrors=false"_s,
                                          u"emailGeneralErrors=false"_s };
}

void TestSettings::keys()
{
    QFETCH(QStringList, keys);
    const QString group = QString::fromLatin1(QTest::currentDataTag()) + u'/';
    // Kept by the programs that show web statistics, never written here; the
    // worker's port follows the manager's unless it is stored.
    const QStringList onlyRead{ u"manager/enableWebStatitics"_s, u"manager/webStatisticsPort"_s };
    const QString followed = u"manager/workerStatePort"_s, follower = u"worker/port"_s;
    const auto written = [&](const RenderSettings &settings) {
        const QString file = folder.filePath(u"written%1.conf"_s.arg(++cases));
        {
            QSettings store(file, QSettings::NativeFormat);
            writeSettings(store, settings);
        }
        QMap<QString, QString> values;
        const QSettings store(file, QSettings::NativeFormat);
        for (const QString &key : store.allKeys()) {
            const QVariant value = store.value(key);
            const bool list = value.typeId() == QMetaType::QVariantList || value.typeId() == QMetaType::QStringList;
            values.insert(key, list ? value.toStringList().join(u',') : value.toString());
        }
        return ts::modeOf(file) == (S_IFREG | 0666) ? values : QMap<QString, QString>();
    };
    QSettings empty(folder.filePath(u"empty.conf"_s), QSettings::NativeFormat);
    const RenderSettings defaults = readSettings(empty);
    const QMap<QString, QString> defaultsWritten = written(defaults);
    for (const QString &setting : std::as_const(keys)) {
        init();
        const QString key = group + setting.section(u'=', 0, 0), value = setting.section(u'=', 1);
        QVERIFY(ts::writeFile(path, u"[%1]\n%2\n"_s.arg(group.chopped(1), setting).toUtf8()));
        QSettings store(path, QSettings::NativeFormat);
        const RenderSettings read = readSettings(store);
        QVERIFY2(!(read == defaults) && read != defaults, qPrintable(key));
        QMap<QString, QString> expected = defaultsWritten;
        if (!onlyRead.contains(key)) {
            QVERIFY2(expected.value(key) != value, qPrintable(key + u" is stored with its default"_s));
            expected.insert(key, value);
            if (key == followed)
                expected.insert(follower, value);
        }
        const QMap<QString, QString> got = written(read);
        for (const QString &name : expected.keys())
            QVERIFY2(got.value(name) == expected.value(name), qPrintable(key + u": "_s + name + u"="_s + got.value(name)));
        QCOMPARE(got.size(), expected.size());
    }
}

// An identifier the manager has not handed out shows as such in the report.
void TestSettings::report()
{
    QVERIFY(ts::writeFile(path, ""));
    QTest::ignoreMessage(QtInfoMsg, "Worker ID: \"Unspecified\""); // and fails unless it comes
    QSettings store(path, QSettings::NativeFormat);
    logWorkerSettingsReport(store);
}

void TestSettings::languageNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("language");
    QTest::newRow("locale") << "de_DE.UTF-8" << "german";
    QTest::newRow("native") << " Français " << "french";
}

void TestSettings::languageNames()
{
    QFETCH(QString, name);
    QFETCH(QString, language);
    QCOMPARE(lang::Languages::normalizeLanguageName(name), language);
}

// "resources.ini" beside the program wins over the system-wide record; one
// that could not be read (no room in /run for its private copy) is read again
// once it can be, not remembered as empty.
void TestSettings::resourceFolder()
{
    const ts::SystemScopeRedirect system;
    storeResourceFolder(u"/srv/system-wide"_s);
    QCOMPARE(resourceFolderPath(), u"/srv/system-wide"_s);
    const QString ini = QCoreApplication::applicationDirPath() + u"/resources.ini"_s;
    QVERIFY(ts::writeFile(ini, "resources=" + QFile::encodeName(folder.path()) + "\n\n"));
    const QString found = settingsFilePath();
    // Read again once rewritten, even to the same size within the same second.
    QVERIFY(ts::writeFile(ini, "resources=" + QFile::encodeName(folder.path()) + "X\n"));
    const QString rewritten = resourceFolderPath();
    QFile::remove(ini);
    QCOMPARE(found, folder.filePath(u"settings.conf"_s));
    QCOMPARE(rewritten, folder.path() + u"X"_s);
    QCOMPARE(resourceFolderPath(), u"/srv/system-wide"_s);
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        QSKIP("A full /run needs a mount namespace of the test's own");
    QVERIFY(ts::writeFile(ini, "resources=" + QFile::encodeName(folder.path()) + '\n'));
    QVERIFY(ts::mountFullRun("4k"));
    const QString unread = resourceFolderPath();
    ::umount2("/run", MNT_DETACH);
    const QString read = resourceFolderPath();
    QFile::remove(ini);
    QCOMPARE(unread, u"/srv/system-wide"_s);
    QCOMPARE(read, folder.path());
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
