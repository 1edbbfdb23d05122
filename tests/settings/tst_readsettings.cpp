#include "languages.h"
#include "languagedetection.h"
#include "recordfields.h"
#include "rendersettings.h"
#include "storedtext.h"
#include "testsupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace testsupport;

// readSettings against real files: defaults, corrections, migrations of
// legacy groups and keys, and files that are not what they should be.
class TestReadSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void emptyStoreGivesDefaults();
    void initialRecord();
    void initialRecordDiffersFromEmptyStore();
    void equalityCoversEveryField();

    void migrations_data();
    void migrations();
    void legacyProxyPasswordKeptEncoded();
    void legacyGroupChoiceRestsOnFileAsFound();

    void corrections_data();
    void corrections();
    void workerGpus_data();
    void workerGpus();

    void damagedFiles_data();
    void damagedFiles();
    void otherProgramsKeysKept();

private:
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("settings.conf")); }
    RenderSettings readFromFile(const QString &path) const;
    RenderSettings emptyStoreRecord() const;

    std::unique_ptr<EnvironmentGuard> m_desktop;
    QTemporaryDir m_desktopFolder;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestReadSettings::initTestCase()
{
    // No desktop product: the detected language is the system locale's.
    QVERIFY(m_desktopFolder.isValid());
    m_desktop = std::make_unique<EnvironmentGuard>("SOLVANE", m_desktopFolder.path().toLocal8Bit());
}

void TestReadSettings::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

// The store is destroyed before returning, so its changes are on disk.
RenderSettings TestReadSettings::readFromFile(const QString &path) const
{
    QSettings store(path, QSettings::NativeFormat);
    return readSettings(store);
}

// The record an empty store gives, with two usable GPUs.
RenderSettings TestReadSettings::emptyStoreRecord() const
{
    RenderSettings s;
    s.logLevel = 4;
    s.engineLogLevel = 0;
    s.loggingEnabled = true;
    s.daysToKeepLogs = 10;
    s.logLocation = QString();
    s.language = lang::Languages::normalizeLanguageName(systemLanguageName());
    s.useSystemProxy = false;
    s.theme = QStringLiteral("Dark");
    s.manager = false;
    s.autodetect = true;
    s.clientStatePort = 4847;
    s.workerStatePort = 4848;
    s.enableWebStatitics = false;
    s.webStatisticsPort = 8080;
    s.highWorkerId = 0;
    s.highClientId = 0;
    s.statusTimerInterval = 2000;
    s.ssl = false;
    s.sslCertificatePath = QString();
    s.sslPrivateKeyPath = QString();
    s.userLogin = false;
    s.anonymousUsers = true;
    s.disableQueuePreview = false;
    s.fifoDownloadOrder = false;
    s.parallelJobs = 1;
    s.autoDeleteJobs = false;
    s.autoDeleteJobDays = 30;
    s.restfulApi = false;
    s.restfulApiPort = 8080;
    s.regionSizeHint = 320;
    s.interiorModeRegionSizeHint = 320;
    s.interiorModeRegionOverlap = 10;
    s.useOldRegionSplitMethod = false;
    s.proxyType = 1;
    s.proxyHost = QString();
    s.proxyPort = 1;
    s.proxyUser = QString();
    s.proxyPassword = QString();
    s.updateSystemEnabled = true;
    s.automaticUpdatesEnabled = true;
    s.worker = false;
    s.managerIp = QString();
    s.managerPort = 4848;
    s.workerPriority = 10;
    s.allowedCores = 0;
    s.launchWorkerTray = true;
    s.workerPaused = false;
    s.gpuWorkerPaused = false;
    s.workerId = 0;
    s.workerGpuId = 0;
    s.restartWorkerOnOutOfMemory = true;
    s.workerCpu = true;
    s.workerGpu = false;
    s.workerGpus = {0, 1};
    s.smtpEnabled = false;
    s.smtpServer = QString();
    s.smtpPort = 25;
    s.smtpEmail = QString();
    s.smtpUsername = QString();
    s.smtpPassword = QString();
    s.smtpSsl = false;
    s.emailDatabaseErrors = true;
    s.emailResultErrors = true;
    s.emailGeneralErrors = true;
    return s;
}

void TestReadSettings::emptyStoreGivesDefaults()
{
    const FakeGpuDriver gpus(2);
    const RenderSettings read = readFromFile(settingsPath());
    recordfields::compare(read, emptyStoreRecord());
    QVERIFY(!read.language.isEmpty());
    // Reading an empty store changes nothing, so no file appears.
    QVERIFY(!QFile::exists(settingsPath()));
}

void TestReadSettings::initialRecord()
{
    const QVariantMap nonZero{
        {QStringLiteral("parallelJobs"), 1},
        {QStringLiteral("workerCpu"), true},
        {QStringLiteral("emailDatabaseErrors"), true},
        {QStringLiteral("emailResultErrors"), true},
        {QStringLiteral("emailGeneralErrors"), true},
        {QStringLiteral("autoDeleteJobs"), true},
        {QStringLiteral("autoDeleteJobDays"), 30},
    };
    const RenderSettings initial;
    const QStringList names = recordfields::names();
    for (const QString &name : names) {
        const QVariant actual = recordfields::value(initial, name);
        const QVariant expected = nonZero.value(name, QVariant(actual.metaType()));
        if (actual != expected)
            QFAIL(qPrintable(QStringLiteral("initial %1 is %2").arg(name, actual.toString())));
    }
}

void TestReadSettings::initialRecordDiffersFromEmptyStore()
{
    const FakeGpuDriver gpus(2);
    const RenderSettings initial;
    const RenderSettings read = readFromFile(settingsPath());
    QStringList differing;
    const QStringList names = recordfields::names();
    for (const QString &name : names) {
        if (recordfields::value(initial, name) != recordfields::value(read, name))
            differing.append(name);
    }
    const QStringList expected{
        QStringLiteral("logLevel"), QStringLiteral("daysToKeepLogs"),
        QStringLiteral("loggingEnabled"), QStringLiteral("language"), QStringLiteral("theme"),
        QStringLiteral("autodetect"), QStringLiteral("clientStatePort"),
        QStringLiteral("workerStatePort"), QStringLiteral("webStatisticsPort"),
        QStringLiteral("regionSizeHint"), QStringLiteral("interiorModeRegionSizeHint"),
        QStringLiteral("interiorModeRegionOverlap"), QStringLiteral("statusTimerInterval"),
        QStringLiteral("anonymousUsers"), QStringLiteral("restfulApiPort"),
        QStringLiteral("proxyType"), QStringLiteral("proxyPort"),
        QStringLiteral("updateSystemEnabled"), QStringLiteral("automaticUpdatesEnabled"),
        QStringLiteral("managerPort"), QStringLiteral("workerPriority"),
        QStringLiteral("launchWorkerTray"), QStringLiteral("restartWorkerOnOutOfMemory"),
        QStringLiteral("workerGpus"), QStringLiteral("smtpPort"), QStringLiteral("autoDeleteJobs"),
    };
    QCOMPARE(differing, expected);
    QCOMPARE(initial.autoDeleteJobs, true);
    QCOMPARE(read.autoDeleteJobs, false);
}

namespace {

QVariant changed(const QVariant &value)
{
    if (value.typeId() == QMetaType::Bool)
        return !value.toBool();
    if (value.typeId() == QMetaType::QString)
        return value.toString() + QStringLiteral("x");
    if (value.typeId() == qMetaTypeId<QList<qint32>>())
        return QVariant::fromValue(value.value<QList<qint32>>() << 7);
    QVariant number(value.toULongLong() + 1);
    number.convert(value.metaType());
    return number;
}

void setField(RenderSettings &s, const QString &name, const QVariant &value)
{
#define SET_RECORD_FIELD(field)                                                                    \
    if (name == QLatin1String(#field))                                                             \
        s.field = value.value<decltype(s.field)>();
    RENDER_SETTINGS_FIELDS(SET_RECORD_FIELD)
#undef SET_RECORD_FIELD
}

} // namespace

void TestReadSettings::equalityCoversEveryField()
{
    const RenderSettings initial;
    QVERIFY(initial == RenderSettings());
    QVERIFY(!(initial != RenderSettings()));
    const QStringList names = recordfields::names();
    for (const QString &name : names) {
        RenderSettings other;
        setField(other, name, changed(recordfields::value(initial, name)));
        QVERIFY2(recordfields::value(other, name) != recordfields::value(initial, name),
                 qPrintable(name));
        QVERIFY2(other != initial, qPrintable(name));
        QVERIFY2(!(other == initial), qPrintable(name));
    }
}

void TestReadSettings::migrations_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QVariantMap>("fields");
    QTest::addColumn<QVariantMap>("onDisk");
    QTest::addColumn<QStringList>("goneFromDisk");

    QTest::newRow("legacy manager group alone")
            << QByteArray("[master]\nmaster=true\nclientStatePort=5000\nslaveStatePort=5001\n"
                          "masterLogCount=3\nsub\\deep=1\n")
            << QVariantMap{{"manager", true}, {"clientStatePort", 5000}, {"workerStatePort", 5001},
                           {"managerPort", 5001}}
            << QVariantMap{{"manager/manager", "true"}, {"manager/clientStatePort", "5000"},
                           {"manager/workerStatePort", "5001"}, {"manager/sub/deep", "1"}}
            << QStringList{"master/master", "master/clientStatePort", "master/slaveStatePort",
                           "master/masterLogCount", "master/sub/deep", "manager/master",
                           "manager/slaveStatePort", "manager/masterLogCount"};

    QTest::newRow("legacy and current manager groups")
            << QByteArray("[manager]\nclientStatePort=6000\nautodetect=false\nparallelJobs=4\n"
                          "[master]\nclientStatePort=5000\nparallelJobs=2\n")
            // Values come from "master" alone: autodetect takes its default.
            << QVariantMap{{"clientStatePort", 5000}, {"autodetect", true}, {"parallelJobs", 2}}
            << QVariantMap{{"manager/clientStatePort", "5000"}, {"manager/parallelJobs", "2"},
                           {"manager/autodetect", "false"}}
            << QStringList{"master/clientStatePort", "master/parallelJobs"};

    QTest::newRow("legacy worker group alone")
            << QByteArray("[slave]\nslave=true\nip=10.0.0.5\nslavePriority=25\nslavePaused=true\n"
                          "slaveId=77\nslaveLogCount=2\n")
            << QVariantMap{{"worker", true}, {"managerIp", "10.0.0.5"}, {"workerPriority", 20},
                           {"workerPaused", true}, {"workerId", 77}}
            // The legacy value is kept as stored, not as corrected.
            << QVariantMap{{"worker/worker", "true"}, {"worker/ip", "10.0.0.5"},
                           {"worker/workerPriority", "25"}, {"worker/workerPaused", "true"},
                           {"worker/workerId", "77"}}
            << QStringList{"slave/slave", "worker/slave", "worker/slavePriority",
                           "worker/slavePaused", "worker/slaveId", "worker/slaveLogCount",
                           "slave/slaveLogCount"};

    QTest::newRow("legacy and current worker groups")
            << QByteArray("[worker]\nworkerId=9\nworkerCpu=false\nip=1.1.1.1\n"
                          "[slave]\nslaveId=8\nip=2.2.2.2\n")
            << QVariantMap{{"workerId", 8}, {"workerCpu", true}, {"managerIp", "2.2.2.2"}}
            << QVariantMap{{"worker/workerId", "8"}, {"worker/workerCpu", "false"},
                           {"worker/ip", "2.2.2.2"}}
            << QStringList{"slave/slaveId", "slave/ip", "worker/slaveId"};

    QTest::newRow("legacy keys in current groups")
            << QByteArray("[manager]\nmaster=true\nslaveStatePort=5000\nworkerStatePort=6000\n"
                          "[worker]\nslave=true\nslavePriority=30\nworkerPriority=10\n"
                          "slavePaused=true\nslaveId=12\n")
            << QVariantMap{{"manager", true}, {"workerStatePort", 5000}, {"managerPort", 5000},
                           {"worker", true}, {"workerPriority", 30}, {"workerPaused", true},
                           {"workerId", 12}}
            << QVariantMap{{"manager/manager", "true"}, {"manager/workerStatePort", "5000"},
                           {"worker/worker", "true"}, {"worker/workerPriority", "30"},
                           {"worker/workerPaused", "true"}, {"worker/workerId", "12"}}
            << QStringList{"manager/master", "manager/slaveStatePort", "worker/slave",
                           "worker/slavePriority", "worker/slavePaused", "worker/slaveId"};

    QTest::newRow("obsolete keys deleted")
            << QByteArray("[manager]\nmasterLogCount=5\nparallelJobs=3\n"
                          "[worker]\nslaveLogCount=5\nallowedCores=6\n")
            << QVariantMap{{"parallelJobs", 3}, {"allowedCores", 6}}
            << QVariantMap{{"manager/parallelJobs", "3"}, {"worker/allowedCores", "6"}}
            << QStringList{"manager/masterLogCount", "worker/slaveLogCount"};

    QTest::newRow("legacy log level stored at once")
            << QByteArray("[common]\ndebugLevel=6\nlogLevel=2\n")
            << QVariantMap{{"logLevel", 6}}
            << QVariantMap{{"common/logLevel", "6"}}
            << QStringList{"common/debugLevel"};

    QTest::newRow("legacy log level that is no number")
            << QByteArray("[common]\ndebugLevel=loud\n")
            << QVariantMap{{"logLevel", 0}}
            << QVariantMap{{"common/logLevel", "loud"}}
            << QStringList{"common/debugLevel"};

    QTest::newRow("current names only: nothing changes")
            << QByteArray("[common]\nlogLevel=5\n[manager]\nworkerStatePort=7000\n"
                          "[worker]\nworkerPriority=20\n")
            << QVariantMap{{"logLevel", 5}, {"workerStatePort", 7000}, {"workerPriority", 20}}
            << QVariantMap{{"common/logLevel", "5"}, {"manager/workerStatePort", "7000"},
                           {"worker/workerPriority", "20"}}
            << QStringList();

    QTest::newRow("group names compared exactly")
            << QByteArray("[Master]\nclientStatePort=5000\n[manager]\nclientStatePort=6000\n")
            << QVariantMap{{"clientStatePort", 6000}}
            << QVariantMap{{"Master/clientStatePort", "5000"}, {"manager/clientStatePort", "6000"}}
            << QStringList();
}

void TestReadSettings::migrations()
{
    QFETCH(QByteArray, content);
    QFETCH(QVariantMap, fields);
    QFETCH(QVariantMap, onDisk);
    QFETCH(QStringList, goneFromDisk);

    QVERIFY(writeFile(settingsPath(), content));
    const RenderSettings read = readFromFile(settingsPath());
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        QCOMPARE(recordfields::value(read, it.key()), it.value());

    const QVariantMap disk = keysOnDisk(settingsPath());
    for (auto it = onDisk.cbegin(); it != onDisk.cend(); ++it)
        QCOMPARE(disk.value(it.key()), it.value());
    for (const QString &key : std::as_const(goneFromDisk))
        QVERIFY2(!disk.contains(key), qPrintable(key));
}

void TestReadSettings::legacyProxyPasswordKeptEncoded()
{
    QVERIFY(writeFile(settingsPath(), QByteArray("[manager]\nproxyPass=s3cret\npp=")
                                              + encodeStoredText(QStringLiteral("old")).toLatin1()
                                              + "\n"));
    QCOMPARE(readFromFile(settingsPath()).proxyPassword, QStringLiteral("s3cret"));
    const QVariantMap disk = keysOnDisk(settingsPath());
    QVERIFY(!disk.contains(QStringLiteral("manager/proxyPass")));
    QCOMPARE(decodeStoredText(disk.value(QStringLiteral("manager/pp")).toString()),
             QStringLiteral("s3cret"));
    // A second read finds the password under its current key.
    QCOMPARE(readFromFile(settingsPath()).proxyPassword, QStringLiteral("s3cret"));
}

void TestReadSettings::legacyGroupChoiceRestsOnFileAsFound()
{
    // The worker group's legacy key "slave" must not be mistaken for a group,
    // and a migrated file reads the same the second time.
    QVERIFY(writeFile(settingsPath(), "[master]\nworkerStatePort=5100\n[slave]\nslaveId=3\n"));
    const RenderSettings first = readFromFile(settingsPath());
    const RenderSettings second = readFromFile(settingsPath());
    QCOMPARE(first.workerStatePort, quint16(5100));
    QCOMPARE(first.managerPort, quint16(5100));
    QCOMPARE(first.workerId, quint64(3));
    recordfields::compare(second, first);
    const QSettings store(settingsPath(), QSettings::IniFormat);
    QCOMPARE(store.childGroups(), (QStringList{QStringLiteral("manager"), QStringLiteral("worker")}));
}

void TestReadSettings::corrections_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");

    struct Port
    {
        const char *group;
        const char *key;
        const char *field;
    };
    const Port ports[] = {
        {"manager", "clientStatePort", "clientStatePort"},
        {"manager", "workerStatePort", "workerStatePort"},
        {"manager", "webStatisticsPort", "webStatisticsPort"},
        {"manager", "restfulApiPort", "restfulApiPort"},
        {"manager", "proxyPort", "proxyPort"},
        {"manager", "statusTimerInterval", "statusTimerInterval"},
        {"worker", "port", "managerPort"},
        {"smtp", "port", "smtpPort"},
    };
    for (const Port &port : ports) {
        const QByteArray line = QByteArray("[") + port.group + "]\n" + port.key + "=";
        QTest::addRow("%s/%s 70000", port.group, port.key)
                << line + "70000\n" << QString::fromLatin1(port.field) << QVariant(4464);
        QTest::addRow("%s/%s 65535", port.group, port.key)
                << line + "65535\n" << QString::fromLatin1(port.field) << QVariant(65535);
        QTest::addRow("%s/%s not a number", port.group, port.key)
                << line + "http\n" << QString::fromLatin1(port.field) << QVariant(0);
    }
    QTest::newRow("manager port from corrected legacy worker port")
            << QByteArray("[manager]\nslaveStatePort=70000\n") << "managerPort" << QVariant(4464);
    QTest::newRow("manager port stored")
            << QByteArray("[manager]\nworkerStatePort=5000\n[worker]\nport=5001\n")
            << "managerPort" << QVariant(5001);

    const QPair<const char *, int> priorities[] = {
        {"5", 10}, {"10", 10}, {"11", 20}, {"15", 20}, {"29", 20}, {"30", 30},
        {"100", 30}, {"-7", 10}, {"high", 10}, {"", 10}, {"2.5e1", 10},
    };
    for (const auto &priority : priorities) {
        QTest::addRow("workerPriority '%s'", priority.first)
                << QByteArray("[worker]\nworkerPriority=") + priority.first + "\n"
                << "workerPriority" << QVariant(priority.second);
    }

    QTest::newRow("regionSizeHint 0") << QByteArray("[manager]\nregionSizeHint=0\n")
                                      << "regionSizeHint" << QVariant(320);
    QTest::newRow("regionSizeHint -5") << QByteArray("[manager]\nregionSizeHint=-5\n")
                                       << "regionSizeHint" << QVariant(320);
    QTest::newRow("regionSizeHint 1") << QByteArray("[manager]\nregionSizeHint=1\n")
                                      << "regionSizeHint" << QVariant(1);
    QTest::newRow("interior size hint 0 takes region size hint")
            << QByteArray("[manager]\nregionSizeHint=200\ninteriorModeRegionSizeHint=0\n")
            << "interiorModeRegionSizeHint" << QVariant(200);
    QTest::newRow("interior size hint 0 takes corrected region size hint")
            << QByteArray("[manager]\nregionSizeHint=0\ninteriorModeRegionSizeHint=0\n")
            << "interiorModeRegionSizeHint" << QVariant(320);
    QTest::newRow("overlap equal to interior size hint")
            << QByteArray("[manager]\ninteriorModeRegionSizeHint=64\ninteriorModeRegionOverlap=64\n")
            << "interiorModeRegionOverlap" << QVariant(0);
    QTest::newRow("overlap above corrected interior size hint")
            << QByteArray("[manager]\nregionSizeHint=8\ninteriorModeRegionSizeHint=0\n"
                          "interiorModeRegionOverlap=9\n")
            << "interiorModeRegionOverlap" << QVariant(0);
    QTest::newRow("overlap just below interior size hint")
            << QByteArray("[manager]\ninteriorModeRegionSizeHint=64\ninteriorModeRegionOverlap=63\n")
            << "interiorModeRegionOverlap" << QVariant(63);
    QTest::newRow("overlap -1") << QByteArray("[manager]\ninteriorModeRegionOverlap=-1\n")
                                << "interiorModeRegionOverlap" << QVariant(0);

    QTest::newRow("theme Light with blanks") << QByteArray("[common]\ntheme=\" Light \"\n")
                                             << "theme" << QVariant("Light");
    QTest::newRow("theme light") << QByteArray("[common]\ntheme=light\n") << "theme"
                                 << QVariant("Dark");
    QTest::newRow("theme Dark") << QByteArray("[common]\ntheme=Dark\n") << "theme"
                                << QVariant("Dark");
    QTest::newRow("theme unknown") << QByteArray("[common]\ntheme=Solarized\n") << "theme"
                                   << QVariant("Dark");
    QTest::newRow("theme empty") << QByteArray("[common]\ntheme=\n") << "theme"
                                 << QVariant("Dark");

    QTest::newRow("stored language used unchanged")
            << QByteArray("[common]\nlanguage=Deutsch\n") << "language" << QVariant("Deutsch");

    // Values of the wrong type give the conversions' zeros.
    QTest::newRow("log level not a number") << QByteArray("[common]\nlogLevel=verbose\n")
                                            << "logLevel" << QVariant(0);
    QTest::newRow("log level a list") << QByteArray("[common]\nlogLevel=4, 5\n") << "logLevel"
                                      << QVariant(0);
    QTest::newRow("days a fraction") << QByteArray("[common]\ndaysToKeepLogs=2.5\n")
                                     << "daysToKeepLogs" << QVariant(0);
    QTest::newRow("flag a list") << QByteArray("[common]\nloggingEnabled=1, 2\n")
                                 << "loggingEnabled" << QVariant(false);
    QTest::newRow("flag 0") << QByteArray("[worker]\nworkerCpu=0\n") << "workerCpu"
                            << QVariant(false);
    QTest::newRow("identifier negative") << QByteArray("[manager]\nhighWorkerId=-1\n")
                                         << "highWorkerId" << QVariant(0);
    QTest::newRow("identifier largest") << QByteArray("[worker]\nworkerId=18446744073709551615\n")
                                        << "workerId" << QVariant(Q_UINT64_C(18446744073709551615));
    QTest::newRow("identifier serialized garbage")
            << QByteArray("[worker]\nworkerGpuId=@Variant(\\0\\0\\0\\x7f\\xff)\n")
            << "workerGpuId" << QVariant(0);
    QTest::newRow("region size hint not a number")
            << QByteArray("[manager]\nregionSizeHint=big\n") << "regionSizeHint" << QVariant(320);
    QTest::newRow("password not encoded") << QByteArray("[smtp]\npassword=plain\n")
                                          << "smtpPassword" << QVariant(QString());
}

void TestReadSettings::corrections()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);

    QVERIFY(writeFile(settingsPath(), content));
    QCOMPARE(recordfields::value(readFromFile(settingsPath()), field), expected);
}

void TestReadSettings::workerGpus_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QList<qint32>>("expected");

    const QByteArray none;
    QTest::newRow("none stored, no devices") << 0 << none << QList<qint32>{};
    QTest::newRow("none stored, 2 devices") << 2 << none << QList<qint32>{0, 1};
    QTest::newRow("none stored, 4 devices") << 4 << none << QList<qint32>{0, 1, 2, 3};
    QTest::newRow("empty, 2 devices") << 2 << QByteArray("workerGpus=") << QList<qint32>{0, 1};
    QTest::newRow("3 0 0, 2 devices") << 2 << QByteArray("workerGpus=3, 0, 0")
                                      << QList<qint32>{0, 0};
    QTest::newRow("3 0 0, 4 devices") << 4 << QByteArray("workerGpus=3, 0, 0")
                                      << QList<qint32>{3, 0, 0};
    QTest::newRow("3 0 0, no devices") << 0 << QByteArray("workerGpus=3, 0, 0")
                                       << QList<qint32>{};
    QTest::newRow("non-numeric alone, 2 devices") << 2 << QByteArray("workerGpus=abc")
                                                  << QList<qint32>{};
    QTest::newRow("mixed entries, 4 devices") << 4 << QByteArray("workerGpus=-1, 1, x, 2, 4")
                                              << QList<qint32>{1, 2};
    QTest::newRow("lone index, 2 devices") << 2 << QByteArray("workerGpus=1") << QList<qint32>{1};
    QTest::newRow("lone index, 4 devices") << 4 << QByteArray("workerGpus=12")
                                           << QList<qint32>{};
    // The toolkit's own form of a one-entry list.
    QTest::newRow("serialized one-entry list, 2 devices")
            << 2 << QByteArray("workerGpus=@Variant(\\0\\0\\0\\t\\0\\0\\0\\x1\\0\\0\\0\\x2\\0\\0\\0\\x1)")
            << QList<qint32>{1};
    QTest::newRow("serialized empty list, 4 devices") << 4 << QByteArray("workerGpus=@Invalid()")
                                                      << QList<qint32>{0, 1, 2, 3};
}

void TestReadSettings::workerGpus()
{
    QFETCH(int, devices);
    QFETCH(QByteArray, content);
    QFETCH(QList<qint32>, expected);

    const FakeGpuDriver gpus(devices);
    QVERIFY(writeFile(settingsPath(), "[worker]\n" + content + "\n"));
    QCOMPARE(readFromFile(settingsPath()).workerGpus, expected);
}

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

void TestReadSettings::damagedFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("isFolder");

    QTest::newRow("binary bytes") << randomBytes(64 * 1024, 1) << false;
    QTest::newRow("huge binary file") << randomBytes(24 * 1024 * 1024, 2) << false;
    QTest::newRow("huge line without line break") << QByteArray(24 * 1024 * 1024, 'k') << false;
    QTest::newRow("huge theme value")
            << "[common]\ntheme=" + QByteArray(16 * 1024 * 1024, 'L') + "\n" << false;
    QTest::newRow("huge stored password")
            << "[smtp]\npassword=" + QByteArray(8 * 1024 * 1024, 'a') + "\n" << false;
    QTest::newRow("announced size absurd")
            << QByteArray("[manager]\npp=7fffffff789c4b0400006200610a\n") << false;
    QTest::newRow("unterminated section header") << QByteArray("[common\n\x01\x02=\x03\n") << false;
    QTest::newRow("only separators") << QByteArray("=\n=\n[]\n[\n]\n\\\n") << false;
    QTest::newRow("folder in place of the file") << QByteArray() << true;
}

void TestReadSettings::damagedFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, isFolder);

    const FakeGpuDriver gpus(2);
    if (isFolder)
        QVERIFY(QDir().mkpath(settingsPath()));
    else
        QVERIFY(writeFile(settingsPath(), content));
    recordfields::compare(readFromFile(settingsPath()), emptyStoreRecord());
    // Nothing was migrated, so the file is as it was.
    if (!isFolder)
        QVERIFY(readFile(settingsPath()) == content);
}

void TestReadSettings::otherProgramsKeysKept()
{
    // The monitor, manager and worker keep keys of their own in the shared
    // file; a read that migrates must leave them all in place.
    const QByteArray content =
            "[common]\ndebugLevel=5\nmonitorGeometry=@ByteArray(\\x1\\xd9\\xd0\\xcb)\n"
            "recentFiles=a.svs, b.svs\n"
            "[master]\nclientStatePort=5000\nqueueColumns=1, 2, 3\n"
            "[manager]\ndatabasePath=/srv/db\n"
            "[slave]\nslaveId=4\nlastJob=\"job, 7\"\n"
            "[worker]\ncacheSize=2048\n"
            "[smtp]\nsignature=Regards\n"
            "[monitor]\nfilter=active\nwindow\\state=2\n";
    QVERIFY(writeFile(settingsPath(), content));
    readFromFile(settingsPath());

    const QVariantMap disk = keysOnDisk(settingsPath());
    const QVariantMap kept{
        {"common/monitorGeometry", QByteArray("\x1\xd9\xd0\xcb")},
        {"common/recentFiles", QStringList{"a.svs", "b.svs"}},
        {"manager/queueColumns", QStringList{"1", "2", "3"}},
        {"manager/databasePath", "/srv/db"},
        {"worker/lastJob", "job, 7"},
        {"worker/cacheSize", "2048"},
        {"smtp/signature", "Regards"},
        {"monitor/filter", "active"},
        {"monitor/window/state", "2"},
        {"common/logLevel", "5"},
        {"manager/clientStatePort", "5000"},
        {"worker/workerId", "4"},
    };
    for (auto it = kept.cbegin(); it != kept.cend(); ++it)
        QCOMPARE(disk.value(it.key()), it.value());
    QCOMPARE(disk.size(), kept.size());
}

QTEST_GUILESS_MAIN(TestReadSettings)
#include "tst_readsettings.moc"
