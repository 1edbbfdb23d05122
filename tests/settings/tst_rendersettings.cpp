#include "languagedetection.h"
#include "languages.h"
#include "recordfields.h"
#include "rendersettings.h"
#include "storedtext.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTest>

#include <memory>

using namespace testsupport;

Q_DECLARE_METATYPE(RenderSettings)

namespace {

// The record a store gives; the store is destroyed before returning, so its
// changes are on disk.
RenderSettings readRecord(const QString &path)
{
    QSettings store(path, QSettings::NativeFormat);
    return readSettings(store);
}

// The record an empty store gives with two usable GPUs: the initial record
// but for these fields.
RenderSettings emptyStoreRecord()
{
    const QVariantMap differences{
        {"logLevel", 4}, {"daysToKeepLogs", 10}, {"loggingEnabled", true}, {"theme", "Dark"},
        {"language", lang::Languages::normalizeLanguageName(systemLanguageName())},
        {"autodetect", true}, {"clientStatePort", 4847}, {"workerStatePort", 4848},
        {"webStatisticsPort", 8080}, {"regionSizeHint", 320}, {"interiorModeRegionSizeHint", 320},
        {"interiorModeRegionOverlap", 10}, {"statusTimerInterval", 2000}, {"anonymousUsers", true},
        {"restfulApiPort", 8080}, {"proxyType", 1}, {"proxyPort", 1}, {"updateSystemEnabled", true},
        {"automaticUpdatesEnabled", true}, {"managerPort", 4848}, {"workerPriority", 10},
        {"launchWorkerTray", true}, {"restartWorkerOnOutOfMemory", true},
        {"workerGpus", QVariant::fromValue(QList<qint32>{0, 1})}, {"smtpPort", 25}, {"autoDeleteJobs", false},
    };
    RenderSettings s;
    for (auto it = differences.cbegin(); it != differences.cend(); ++it)
        recordfields::set(s, it.key(), it.value());
    return s;
}

// A value unlike value: the other truth value, the number plus offset, the
// field's name in text that the file format must escape, one more list entry.
QVariant changed(const QVariant &value, const QString &name, int offset)
{
    if (value.typeId() == QMetaType::Bool)
        return !value.toBool();
    if (value.typeId() == QMetaType::QString)
        return QString(name + QStringLiteral(" ä🔑,=;#\""));
    if (value.typeId() == qMetaTypeId<QList<qint32>>())
        return QVariant::fromValue(value.value<QList<qint32>>() << 7);
    QVariant number(value.toULongLong() + offset);
    number.convert(value.metaType());
    return number;
}

// Every field but the flags away from what an empty store gives, each with a
// value of its own; corrected fields and the boundaries set by hand. Each flag
// takes the given bit of its own number: over five bits no two flags agree,
// and each takes both values. The two web statistics fields are only ever
// read, so they keep what reading gives.
RenderSettings everyFieldChanged(int bit = 0)
{
    RenderSettings s = emptyStoreRecord();
    int offset = 100;
    int flag = 0;
    for (const QString &name : recordfields::names()) {
        const QVariant value = recordfields::value(s, name);
        const bool isFlag = value.typeId() == QMetaType::Bool;
        recordfields::set(s, name,
                          isFlag ? QVariant(bool((++flag >> bit) & 1)) : changed(value, name, offset++));
    }
    s.enableWebStatitics = false;
    s.webStatisticsPort = 8080;
    s.theme = QStringLiteral("Light");
    s.workerPriority = 30;
    s.workerGpus = {3, 1, 1};
    s.statusTimerInterval = 65535;
    s.highWorkerId = Q_UINT64_C(18446744073709551615);
    return s;
}

void addCorrection(const char *name, const QByteArray &content, const char *field, const QVariant &expected,
                   int devices = 2)
{
    QTest::newRow(name) << content << QString::fromLatin1(field) << expected << devices;
}

} // namespace

// readSettings and writeSettings against real files: defaults, corrections,
// migrations, damaged files, what a write leaves on disk, unwritable stores;
// and the encoded form of the stored passwords.
class TestRenderSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void emptyOrDamagedStoreGivesDefaults_data();
    void emptyOrDamagedStoreGivesDefaults();
    void initialRecordAndEquality();
    void migrations_data();
    void migrations();
    void corrections_data();
    void corrections();

    void roundTrip_data();
    void roundTrip();
    void writeOutcome_data();
    void writeOutcome();

    void storedTextRoundTrip_data();
    void storedTextRoundTrip();
    void storedTextForm();
    void invalidStoredTextDecodesToEmpty_data();
    void invalidStoredTextDecodesToEmpty();

private:
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("settings.conf")); }

    // No desktop product: the detected language is the system locale's.
    const QTemporaryDir m_desktopFolder;
    const EnvironmentGuard m_desktop{"SOLVANE", m_desktopFolder.path().toLocal8Bit()};
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestRenderSettings::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestRenderSettings::emptyOrDamagedStoreGivesDefaults_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file; "/": a folder in its place

    QTest::newRow("no file") << QByteArray();
    QByteArray binary(24 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(2).fillRange(reinterpret_cast<quint32 *>(binary.data()), binary.size() / 4);
    QTest::newRow("huge binary file") << binary;
    QTest::newRow("huge line without line break") << QByteArray(24 * 1024 * 1024, 'k');
    QTest::newRow("unterminated section header") << QByteArray("[common\n\x01\x02=\x03\n");
    QTest::newRow("only separators") << QByteArray("=\n=\n[]\n[\n]\n\\\n");
    QTest::newRow("folder in place of the file") << QByteArray("/");
}

void TestRenderSettings::emptyOrDamagedStoreGivesDefaults()
{
    QFETCH(QByteArray, content);

    const FakeGpuDriver gpus(2);
    if (content == "/")
        QVERIFY(QDir().mkpath(settingsPath()));
    else if (!content.isNull())
        QVERIFY(writeFile(settingsPath(), content));
    recordfields::compare(readRecord(settingsPath()), emptyStoreRecord());
    // Nothing was migrated, so the file is as it was, or still missing.
    if (content != "/") {
        QCOMPARE(QFile::exists(settingsPath()), !content.isNull());
        QVERIFY(readFile(settingsPath()) == content);
    }
}

void TestRenderSettings::initialRecordAndEquality()
{
    // Zero, false or empty but for these.
    const QVariantMap nonZero{{"parallelJobs", 1}, {"workerCpu", true}, {"emailDatabaseErrors", true},
                              {"emailResultErrors", true}, {"emailGeneralErrors", true},
                              {"autoDeleteJobs", true}, {"autoDeleteJobDays", 30}};
    const RenderSettings initial;
    QVERIFY(initial == RenderSettings() && !(initial != RenderSettings()));
    int offset = 1;
    for (const QString &name : recordfields::names()) {
        const QVariant value = recordfields::value(initial, name);
        QVERIFY2(value == nonZero.value(name, QVariant(value.metaType())), qPrintable(name));
        // operator== looks at every field.
        RenderSettings other;
        recordfields::set(other, name, changed(value, name, offset++));
        QVERIFY2(other != initial && !(other == initial), qPrintable(name));
    }
}

void TestRenderSettings::migrations_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QVariantMap>("fields");
    QTest::addColumn<QVariantMap>("onDisk"); // every key of the file afterwards

    QTest::newRow("legacy groups alone")
            << QByteArray("[master]\nmaster=true\nclientStatePort=5000\nslaveStatePort=5001\n"
                          "masterLogCount=3\nsub\\deep=1\n"
                          "[slave]\nslave=true\nip=10.0.0.5\nslavePriority=25\nslavePaused=true\n"
                          "slaveId=77\nslaveLogCount=2\n")
            << QVariantMap{{"manager", true}, {"clientStatePort", 5000}, {"workerStatePort", 5001},
                           {"managerPort", 5001}, {"worker", true}, {"managerIp", "10.0.0.5"},
                           {"workerPriority", 20}, {"workerPaused", true}, {"workerId", 77}}
            // The legacy priority is kept as stored, not as corrected.
            << QVariantMap{{"manager/manager", "true"}, {"manager/clientStatePort", "5000"},
                           {"manager/workerStatePort", "5001"}, {"manager/sub/deep", "1"},
                           {"worker/worker", "true"}, {"worker/ip", "10.0.0.5"},
                           {"worker/workerPriority", "25"}, {"worker/workerPaused", "true"},
                           {"worker/workerId", "77"}};

    // Values come from the legacy groups alone: the others take their defaults.
    QTest::newRow("legacy and current groups")
            << QByteArray("[manager]\nclientStatePort=6000\nautodetect=false\nparallelJobs=4\n"
                          "[master]\nclientStatePort=5000\nparallelJobs=2\n"
                          "[worker]\nworkerId=9\nworkerCpu=false\nip=1.1.1.1\n"
                          "[slave]\nslaveId=8\nip=2.2.2.2\n")
            << QVariantMap{{"clientStatePort", 5000}, {"autodetect", true}, {"parallelJobs", 2},
                           {"workerId", 8}, {"workerCpu", true}, {"managerIp", "2.2.2.2"}}
            << QVariantMap{{"manager/clientStatePort", "5000"}, {"manager/parallelJobs", "2"},
                           {"manager/autodetect", "false"}, {"worker/workerId", "8"},
                           {"worker/workerCpu", "false"}, {"worker/ip", "2.2.2.2"}};

    QTest::newRow("legacy and obsolete keys in current groups")
            << QByteArray("[manager]\nmaster=true\nslaveStatePort=5000\nworkerStatePort=6000\n"
                          "masterLogCount=5\n"
                          "[worker]\nslave=true\nslavePriority=30\nworkerPriority=10\n"
                          "slavePaused=true\nslaveId=12\nslaveLogCount=5\n")
            << QVariantMap{{"manager", true}, {"workerStatePort", 5000}, {"managerPort", 5000},
                           {"worker", true}, {"workerPriority", 30}, {"workerPaused", true},
                           {"workerId", 12}}
            << QVariantMap{{"manager/manager", "true"}, {"manager/workerStatePort", "5000"},
                           {"worker/worker", "true"}, {"worker/workerPriority", "30"},
                           {"worker/workerPaused", "true"}, {"worker/workerId", "12"}};

    // Stored at once, as found: the watchdog never writes the file itself.
    QTest::newRow("legacy log level") << QByteArray("[common]\ndebugLevel=loud\nlogLevel=2\n")
            << QVariantMap{{"logLevel", 0}} << QVariantMap{{"common/logLevel", "loud"}};
    QTest::newRow("legacy proxy password")
            << "[manager]\nproxyPass=s3cret\npp=" + encodeStoredText(QStringLiteral("old")).toLatin1() + "\n"
            << QVariantMap{{"proxyPassword", "s3cret"}}
            << QVariantMap{{"manager/pp", encodeStoredText(QStringLiteral("s3cret"))}};

    // The monitor, manager and worker keep keys of their own in the shared file.
    QTest::newRow("other programs' keys kept")
            << QByteArray("[common]\ndebugLevel=5\nmonitorGeometry=@ByteArray(\\x1\\xd9\\xd0\\xcb)\n"
                          "recentFiles=a.svs, b.svs\n[master]\nclientStatePort=5000\nqueueColumns=1, 2, 3\n"
                          "[manager]\ndatabasePath=/srv/db\n[slave]\nslaveId=4\nlastJob=\"job, 7\"\n"
                          "[worker]\ncacheSize=2048\n[smtp]\nsignature=Regards\n"
                          "[monitor]\nfilter=active\nwindow\\state=2\n")
            << QVariantMap{{"logLevel", 5}, {"clientStatePort", 5000}, {"workerId", 4}}
            << QVariantMap{{"common/logLevel", "5"},
                           {"common/monitorGeometry", QByteArray("\x1\xd9\xd0\xcb")},
                           {"common/recentFiles", QStringList{"a.svs", "b.svs"}},
                           {"manager/clientStatePort", "5000"},
                           {"manager/queueColumns", QStringList{"1", "2", "3"}},
                           {"manager/databasePath", "/srv/db"}, {"worker/workerId", "4"},
                           {"worker/lastJob", "job, 7"}, {"worker/cacheSize", "2048"},
                           {"smtp/signature", "Regards"}, {"monitor/filter", "active"},
                           {"monitor/window/state", "2"}};

    QTest::newRow("current names only, group names compared exactly")
            << QByteArray("[common]\nlogLevel=5\n[Master]\nclientStatePort=5000\n"
                          "[manager]\nclientStatePort=6000\n[worker]\nworkerPriority=20\n")
            << QVariantMap{{"logLevel", 5}, {"clientStatePort", 6000}, {"workerPriority", 20}}
            << QVariantMap{{"common/logLevel", "5"}, {"Master/clientStatePort", "5000"},
                           {"manager/clientStatePort", "6000"}, {"worker/workerPriority", "20"}};
}

void TestRenderSettings::migrations()
{
    QFETCH(QByteArray, content);
    QFETCH(QVariantMap, fields);
    QFETCH(QVariantMap, onDisk);

    QVERIFY(writeFile(settingsPath(), content));
    const RenderSettings read = readRecord(settingsPath());
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        QCOMPARE(recordfields::value(read, it.key()), it.value());
    const QVariantMap disk = keysOnDisk(settingsPath());
    QCOMPARE(disk.keys(), onDisk.keys());
    for (auto it = onDisk.cbegin(); it != onDisk.cend(); ++it)
        QCOMPARE(disk.value(it.key()), it.value());
}

void TestRenderSettings::corrections_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<int>("devices"); // GPUs of the machine

    // Group, key and field of every port, and of the interval stored like one.
    const char *const ports[][3] = {
        {"manager", "clientStatePort", "clientStatePort"}, {"manager", "workerStatePort", "workerStatePort"},
        {"manager", "webStatisticsPort", "webStatisticsPort"},
        {"manager", "restfulApiPort", "restfulApiPort"},
        {"manager", "proxyPort", "proxyPort"}, {"manager", "statusTimerInterval", "statusTimerInterval"},
        {"worker", "port", "managerPort"}, {"smtp", "port", "smtpPort"},
    };
    for (const auto &[group, key, field] : ports) {
        const QByteArray line = QByteArray("[") + group + "]\n" + key + "=";
        for (const auto &[value, expected] : {std::pair{"70000", 4464}, {"65535", 65535}, {"http", 0}}) {
            QTest::addRow("%s/%s %s", group, key, value)
                    << line + value + "\n" << QString(field) << QVariant(expected) << 2;
        }
    }
    addCorrection("manager port from corrected legacy worker port",
                  "[manager]\nslaveStatePort=70000\n", "managerPort", 4464);

    const QPair<const char *, int> priorities[] = {
        {"10", 10}, {"11", 20}, {"29", 20}, {"30", 30}, {"100", 30},
        {"-7", 10}, {"high", 10}, {"", 10}, {"2.5e1", 10},
    };
    for (const auto &priority : priorities) {
        QTest::addRow("workerPriority '%s'", priority.first)
                << QByteArray("[worker]\nworkerPriority=") + priority.first + "\n"
                << "workerPriority" << QVariant(priority.second) << 2;
    }

    addCorrection("regionSizeHint 0", "[manager]\nregionSizeHint=0\n", "regionSizeHint", 320);
    addCorrection("regionSizeHint 1", "[manager]\nregionSizeHint=1\n", "regionSizeHint", 1);
    addCorrection("interior size hint 0 takes region size hint",
                  "[manager]\nregionSizeHint=200\ninteriorModeRegionSizeHint=0\n",
                  "interiorModeRegionSizeHint", 200);
    addCorrection("interior size hint 0 takes corrected region size hint",
                  "[manager]\nregionSizeHint=0\ninteriorModeRegionSizeHint=0\n",
                  "interiorModeRegionSizeHint", 320);
    addCorrection("overlap equal to interior size hint",
                  "[manager]\ninteriorModeRegionSizeHint=64\ninteriorModeRegionOverlap=64\n",
                  "interiorModeRegionOverlap", 0);
    addCorrection("overlap just below interior size hint",
                  "[manager]\ninteriorModeRegionSizeHint=64\ninteriorModeRegionOverlap=63\n",
                  "interiorModeRegionOverlap", 63);
    addCorrection("overlap above corrected interior size hint",
                  "[manager]\nregionSizeHint=8\ninteriorModeRegionSizeHint=0\ninteriorModeRegionOverlap=9\n",
                  "interiorModeRegionOverlap", 0);
    addCorrection("overlap -1", "[manager]\ninteriorModeRegionOverlap=-1\n", "interiorModeRegionOverlap", 0);

    addCorrection("theme Light with blanks", "[common]\ntheme=\" Light \"\n", "theme", "Light");
    addCorrection("theme light", "[common]\ntheme=light\n", "theme", "Dark");
    addCorrection("theme unknown", "[common]\ntheme=Solarized\n", "theme", "Dark");
    addCorrection("stored language used unchanged", "[common]\nlanguage=Deutsch\n", "language", "Deutsch");

    // Values of the wrong type give the conversions' zeros.
    addCorrection("log level not a number", "[common]\nlogLevel=verbose\n", "logLevel", 0);
    addCorrection("log level a list", "[common]\nlogLevel=4, 5\n", "logLevel", 0);
    addCorrection("flag a list", "[common]\nloggingEnabled=1, 2\n", "loggingEnabled", false);
    addCorrection("identifier negative", "[manager]\nhighWorkerId=-1\n", "highWorkerId", 0);
    addCorrection("identifier largest", "[worker]\nworkerId=18446744073709551615\n", "workerId",
                  Q_UINT64_C(18446744073709551615));
    addCorrection("identifier serialized garbage", "[worker]\nworkerGpuId=@Variant(\\0\\0\\0\\x7f\\xff)\n",
                  "workerGpuId", 0);
    addCorrection("password not encoded", "[smtp]\npassword=plain\n", "smtpPassword", QString());

    // Device indices against the machine's GPUs.
    const auto gpus = [](const char *name, int devices, const QByteArray &stored, QList<qint32> expected) {
        addCorrection(name, "[worker]\n" + stored + "\n", "workerGpus", QVariant::fromValue(expected),
                      devices);
    };
    gpus("GPUs none stored, no devices", 0, QByteArray(), {});
    gpus("GPUs none stored, 2 devices", 2, QByteArray(), {0, 1});
    gpus("GPUs none stored, 4 devices", 4, QByteArray(), {0, 1, 2, 3});
    gpus("GPUs empty, 2 devices", 2, "workerGpus=", {0, 1});
    gpus("GPUs 3 0 0, no devices", 0, "workerGpus=3, 0, 0", {});
    gpus("GPUs 3 0 0, 2 devices", 2, "workerGpus=3, 0, 0", {0, 0});
    gpus("GPUs 3 0 0, 4 devices", 4, "workerGpus=3, 0, 0", {3, 0, 0});
    gpus("GPUs non-numeric alone", 2, "workerGpus=abc", {});
    gpus("GPUs mixed entries", 4, "workerGpus=-1, 1, x, 2, 4", {1, 2});
    // A hand-written lone value, and the toolkit's own form of a one-entry list.
    gpus("GPUs lone index", 2, "workerGpus=1", {1});
    gpus("GPUs serialized one-entry list", 2,
         "workerGpus=@Variant(\\0\\0\\0\\t\\0\\0\\0\\x1\\0\\0\\0\\x2\\0\\0\\0\\x1)", {1});
    gpus("GPUs serialized empty list", 4, "workerGpus=@Invalid()", {0, 1, 2, 3});
}

void TestRenderSettings::corrections()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);
    QFETCH(int, devices);

    const FakeGpuDriver gpus(devices);
    QVERIFY(writeFile(settingsPath(), content));
    QCOMPARE(recordfields::value(readRecord(settingsPath()), field), expected);
}

void TestRenderSettings::roundTrip_data()
{
    QTest::addColumn<RenderSettings>("settings");
    for (int bit = 0; bit < 5; ++bit)
        QTest::addRow("flags by bit %d", bit) << everyFieldChanged(bit);
}

void TestRenderSettings::roundTrip()
{
    QFETCH(RenderSettings, settings);

    const FakeGpuDriver gpus(4);
    {
        QSettings store(settingsPath(), QSettings::NativeFormat);
        QVERIFY(writeSettings(store, settings));
    }
    // Read from a copy: the store that wrote the file keeps its values cached
    // under the file's name.
    const QString copy = m_dir->filePath(QStringLiteral("copy.conf"));
    QVERIFY(QFile::copy(settingsPath(), copy));
    recordfields::compare(readRecord(copy), settings);

    // Plain text that every program of the installation reads, the proxy
    // password encoded, and nothing written of the keys that are only read.
    const QByteArray text = readFile(settingsPath());
    QVERIFY2(!text.contains("@Variant"), text.constData());
    const QVariantMap disk = keysOnDisk(settingsPath());
    QCOMPARE(decodeStoredText(disk.value(QStringLiteral("manager/pp")).toString()), settings.proxyPassword);
    QVERIFY(!disk.contains(QStringLiteral("manager/enableWebStatitics")));
    QVERIFY(!disk.contains(QStringLiteral("manager/webStatisticsPort")));
    QCOMPARE(disk.size(), 8 + 30 + 14 + 10);
}

void TestRenderSettings::writeOutcome_data()
{
    QTest::addColumn<QString>("storePath");
    QTest::addColumn<QByteArray>("content"); // null: no file; "/": a folder in its place
    QTest::addColumn<bool>("written");
    QTest::addColumn<QStringList>("messages"); // "@" stands for the store's file

    const QStringList unwritable{"\"@\" does not have write permissions."};
    QTest::newRow("new file") << "settings.conf" << QByteArray() << true << QStringList();
    // Keys of other programs, and those only read, keep their values.
    QTest::newRow("existing private file")
            << "settings.conf"
            << QByteArray("[common]\nrecentFiles=a.svs, b.svs\n[manager]\nenableWebStatitics=true\n"
                          "webStatisticsPort=81\n[monitor]\nfilter=active\n")
            << true << QStringList();
    // Unparsable but writable: the write goes through and the failed sync is reported.
    QTest::newRow("unparsable file") << "settings.conf" << QByteArray("[common\n") << true
                                     << QStringList{"Failed to write config file: \"@\"", "Format error!"};
    // Both hold for root as well, who may write any file; "plain" is a file.
    QTest::newRow("folder missing behind a file") << "plain/settings.conf" << QByteArray() << false
                                                  << unwritable;
    QTest::newRow("folder in place of the file") << "settings.conf" << QByteArray("/") << false
                                                 << unwritable;
}

void TestRenderSettings::writeOutcome()
{
    QFETCH(QString, storePath);
    QFETCH(QByteArray, content);
    QFETCH(bool, written);
    QFETCH(QStringList, messages);

    const UmaskGuard umask(027);
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("plain")), QByteArray()));
    const QString path = m_dir->filePath(storePath);
    if (content == "/") {
        QVERIFY(QDir().mkpath(path));
    } else if (!content.isNull()) {
        QVERIFY(writeFile(path, content));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    }
    const QStringList before = QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const QVariantMap keysBefore = keysOnDisk(path);

    const MessageCapture capture;
    {
        QSettings store(path, QSettings::NativeFormat);
        QCOMPARE(writeSettings(store, everyFieldChanged()), written);
    }
    QCOMPARE(capture.texts(), messages.replaceInStrings(QStringLiteral("@"), path));

    if (written) {
        // Every program of the installation, whatever its user, updates the file.
        struct stat status = {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &status), 0);
        QCOMPARE(status.st_mode & 07777, mode_t(0666));
        const QVariantMap keysAfter = keysOnDisk(path);
        for (auto it = keysBefore.cbegin(); it != keysBefore.cend(); ++it)
            QCOMPARE(keysAfter.value(it.key()), it.value());
    } else {
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        QVERIFY(QDir(path).isEmpty());
    }
}

void TestRenderSettings::storedTextRoundTrip_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("empty") << QString();
    QTest::newRow("ascii") << QStringLiteral("s3cret password");
    QTest::newRow("non-ascii") << QStringLiteral("Grüße, пароль, 密码, 🔑");
    QTest::newRow("leading byte order mark") << QStringLiteral("\uFEFFmark");
    QTest::newRow("embedded nul") << QString::fromUtf16(u"a\0b", 3);
    QTest::newRow("long") << QString(100000, QLatin1Char('x')) + QStringLiteral("ende");
}

void TestRenderSettings::storedTextRoundTrip()
{
    QFETCH(QString, text);

    const QString stored = encodeStoredText(text);
    QCOMPARE(stored.isEmpty(), text.isEmpty());
    QCOMPARE(decodeStoredText(stored), text);
}

void TestRenderSettings::storedTextForm()
{
    // The other programs of the installation read and write it too: lower-case
    // hexadecimal of qCompress of the Base64 of the UTF-8 bytes.
    const QString stored = encodeStoredText(QStringLiteral("pässword"));
    QCOMPARE(stored, stored.toLower());
    QCOMPARE(qUncompress(QByteArray::fromHex(stored.toLatin1())),
             QStringLiteral("pässword").toUtf8().toBase64());
    // "secret" as those programs store it, in either case.
    const QString secret = QStringLiteral("00000008789c4b360acb4ace0d3300000c4302ac");
    QCOMPARE(decodeStoredText(secret), QStringLiteral("secret"));
    QCOMPARE(decodeStoredText(secret.toUpper()), QStringLiteral("secret"));
}

void TestRenderSettings::invalidStoredTextDecodesToEmpty_data()
{
    QTest::addColumn<QString>("stored");

    const QByteArray valid = qCompress(QByteArray("c2VjcmV0"));
    const auto hex = [](const QByteArray &bytes) { return QString::fromLatin1(bytes.toHex()); };

    QTest::newRow("plain text") << QStringLiteral("secret");
    QTest::newRow("odd number of digits") << hex(valid).chopped(1);
    QTest::newRow("digits with a non-digit") << hex(valid).replace(6, 1, QLatin1Char('g'));
    QTest::newRow("size only") << QStringLiteral("00000008");
    QTest::newRow("announced size zero") << hex(QByteArray(4, '\0') + valid.mid(4));
    QTest::newRow("announced size absurd") << QStringLiteral("ffffffff") + hex(valid.mid(4));
    QTest::newRow("announced size above a megabyte") << QStringLiteral("00100001") + hex(valid.mid(4));
    QTest::newRow("not compressed") << hex(QByteArray("\0\0\0\x08" "c2VjcmV0", 12));
    QTest::newRow("not base64") << hex(qCompress(QByteArray("!!not base64!!")));
    QTest::newRow("not utf-8") << hex(qCompress(QByteArray("\xff\xfe\xfd").toBase64()));
    QTest::newRow("utf-8 cut in a character") << hex(qCompress(QByteArray("ab\xc3").toBase64()));
}

void TestRenderSettings::invalidStoredTextDecodesToEmpty()
{
    QFETCH(QString, stored);

    QCOMPARE(decodeStoredText(stored), QString());
}

QTEST_GUILESS_MAIN(TestRenderSettings)
#include "tst_rendersettings.moc"
