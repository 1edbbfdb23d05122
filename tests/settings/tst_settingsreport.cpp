#include "settingsreport.h"
#include "sgpuinfo.h"
#include "testsupport.h"

#include <QTest>

#include <climits>
#include <vector>

using namespace testsupport;

namespace {

// One line of a report: the key behind it with its value in the store with
// every condition on (each unlike its default, so that a line showing the
// wrong field stands out), then the line for the store with every condition
// off and for the one with every condition on; null where it is left out.
struct Line
{
    const char *key;
    QVariant on;
    const char *off;
    const char *shown;
};

const std::vector<Line> commonLines = {
    {nullptr, {}, "--- Settings ---", "--- Settings ---"},
    {nullptr, {}, "--- Common ---", "--- Common ---"},
    {"common/language", "french", "Language: \"german\"", "Language: \"french\""},
    {"common/logLevel", 6, "Log Level: 4", "Log Level: 6"},
    {"common/engineLogLevel", 3, "Engine Log Level: 0", "Engine Log Level: 3"},
    {"common/useSystemProxy", true, "Use System Proxy: false", "Use System Proxy: true"},
    {"common/theme", "Light", "Theme: \"Dark\"", "Theme: \"Light\""},
};

const std::vector<Line> managerLines = {
    {nullptr, {}, "--- Manager ---", "--- Manager ---"},
    {"manager/manager", true, "Manager: false", "Manager: true"},
    {"manager/autodetect", false, "Auto detect: true", "Auto detect: false"},
    {"manager/clientStatePort", 5847, "Monitor Port: 4847", "Monitor Port: 5847"},
    {"manager/workerStatePort", 5848, "Worker Port: 4848", "Worker Port: 5848"},
    {"manager/ssl", true, "Use TLS: false", "Use TLS: true"},
    {"manager/sslCertificatePath", "/srv/render tls/manager.crt", nullptr,
     "TLS Cert: \"/srv/render tls/manager.crt\""},
    {"manager/sslPrivateKeyPath", "/srv/render tls/\"manager\".key", nullptr,
     "TLS Key: \"/srv/render tls/\\\"manager\\\".key\""},
    {"manager/userLogin", true, "User System: false", "User System: true"},
    {"manager/anonymousUsers", false, nullptr, "Anonymous Users: false"},
    {"manager/disableQueuePreview", true, "Disable Monitor preview: false", "Disable Monitor preview: true"},
    {"manager/proxyType", 2, "Proxy Type: 1", "Proxy Type: 2"},
    {"manager/proxyHost", "proxy.render.lan", "Proxy Host: \"\"", "Proxy Host: \"proxy.render.lan\""},
    {"manager/proxyPort", 3128, "Proxy Port: 1", "Proxy Port: 3128"},
    {"manager/automaticUpdatesEnabled", false, "Automatic updates: true", "Automatic updates: false"},
    {"manager/regionSizeHint", 256, "Region size hint: 320", "Region size hint: 256"},
    {"manager/fifoDownloadOrder", true, "FIFO download order: false", "FIFO download order: true"},
    {"manager/parallelJobs", 3, "Parallel jobs: 1", "Parallel jobs: 3"},
    {"manager/autoDeleteJobs", true, "Auto delete jobs; false", "Auto delete jobs; true"},
    {"manager/autoDeleteJobDays", 14, "Days until delete (when set) 30", "Days until delete (when set) 14"},
    {"manager/restfulApi", true, "RESTful API server: false", "RESTful API server: true"},
    {"manager/interiorModeRegionSizeHint", 128, "Interior mode region size hint: 320",
     "Interior mode region size hint: 128"},
    {"manager/interiorModeRegionOverlap", 16, "Interior mode region overlap: 10",
     "Interior mode region overlap: 16"},
    {"manager/useOldRegionSplitMethod", true, "Use old region split method: false",
     "Use old region split method: true"},
    {"manager/fifoDownloadOrder", true, "FIFO download order: false", "FIFO download order: true"},
    {"manager/restfulApi", true, "RESTful API server: false", "RESTful API server: true"},
    {"manager/restfulApiPort", 8443, nullptr, "RESTful API port: 8443"},
    {nullptr, {}, "------------", "------------"},
};

const std::vector<Line> workerLines = {
    {nullptr, {}, "--- Worker ---", "--- Worker ---"},
    {"worker/worker", true, "Worker: false", "Worker: true"},
    {"worker/workerId", 42, "Worker ID: \"Unspecified\"", "Worker ID: \"42\""},
    {"worker/workerGpuId", 7, "Worker GPU ID: \"Unspecified\"", "Worker GPU ID: \"7\""},
    {"worker/ip", "192.168.10.5", "Manager IP: \"\"", "Manager IP: \"192.168.10.5\""},
    {"worker/port", 4900, "Manager Port: 4848", "Manager Port: 4900"},
    {"worker/workerPriority", 20, "Priority: 10", "Priority: 20"},
    {"worker/allowedCores", 12, "Allowed Cores: 0", "Allowed Cores: 12"},
    {"worker/workerPaused", true, "CPU Paused: false", "CPU Paused: true"},
    {"worker/gpuWorkerPaused", true, "GPU Paused: false", "GPU Paused: true"},
    {"worker/launchWorkerTray", false, "Use Worker Tray: true", "Use Worker Tray: false"},
    {nullptr, {}, "--- CPU/GPU ---", "--- CPU/GPU ---"},
    {"worker/workerCpu", false, "CPU: true", "CPU: false"},
    // Device 5 was valid once; with two devices left it is not.
    {"worker/workerGpus", QVariantList{1, 5, 0}, nullptr, nullptr},
    {"worker/workerGpu", true, "GPU: false QList()", "GPU: true QList(\"NVIDIA Fake 1\", \"NVIDIA Fake 0\")"},
    {nullptr, {}, "------------", "------------"},
};

// The conditions all off, with the values they would show set; every other
// key missing, so that its default shows.
const QVariantMap storeAllOff{
    {"common/language", "german"}, {"manager/ssl", false},
    {"manager/sslCertificatePath", "/srv/tls/unused.crt"},
    {"manager/sslPrivateKeyPath", "/srv/tls/unused.key"}, {"manager/userLogin", false},
    {"manager/anonymousUsers", false}, {"manager/restfulApi", false},
    {"manager/restfulApiPort", 9000}, {"worker/workerId", 0}, {"worker/workerGpuId", 0},
};

QVariantMap storeAllOn()
{
    QVariantMap store;
    for (const auto *table : {&commonLines, &managerLines, &workerLines}) {
        for (const Line &line : *table) {
            if (line.key)
                store.insert(QString::fromLatin1(line.key), line.on);
        }
    }
    return store;
}

// The common lines, then those of the report's own table.
QStringList shownLines(const std::vector<Line> &own, bool on)
{
    QStringList shown;
    for (const auto *table : {&commonLines, &own}) {
        for (const Line &line : *table) {
            if (const char *text = on ? line.shown : line.off)
                shown.append(QString::fromUtf8(text));
        }
    }
    return shown;
}

} // namespace

// The printed settings reports, line by line, and the GPU devices that the
// worker report lists: the cards the driver announces and their names.
class TestSettingsReport : public QObject
{
    Q_OBJECT

private slots:
    void reports_data();
    void reports();
    void gpuDevices_data();
    void gpuDevices();
};

void TestSettingsReport::reports_data()
{
    QTest::addColumn<bool>("manager");
    QTest::addColumn<QVariantMap>("values");
    QTest::addColumn<int>("devices");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("manager, all off") << true << storeAllOff << 0 << shownLines(managerLines, false);
    QTest::newRow("manager, all on") << true << storeAllOn() << 2 << shownLines(managerLines, true);
    QTest::newRow("worker, all off") << false << storeAllOff << 0 << shownLines(workerLines, false);
    QTest::newRow("worker, all on") << false << storeAllOn() << 2 << shownLines(workerLines, true);
}

void TestSettingsReport::reports()
{
    QFETCH(bool, manager);
    QFETCH(QVariantMap, values);
    QFETCH(int, devices);
    QFETCH(QStringList, expected);

    const QTemporaryDir folder;
    QSettings store(folder.filePath(QStringLiteral("settings.conf")), QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        store.setValue(it.key(), it.value());
    const FakeGpuDriver gpus(devices);
    const MessageCapture capture;
    manager ? logManagerSettingsReport(store) : logWorkerSettingsReport(store);
    // Information in the default category, nothing else.
    QCOMPARE(capture.texts(QtInfoMsg), expected);
    QCOMPARE(capture.messages().size(), expected.size());
    for (const Message &message : capture.messages())
        QCOMPARE(message.category, QStringLiteral("default"));
}

void TestSettingsReport::gpuDevices_data()
{
    QTest::addColumn<QStringList>("cards");       // folder names
    QTest::addColumn<QList<QByteArray>>("infos"); // their information files; "-" for none
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QList<int>>("indices");
    QTest::addColumn<QStringList>("names");       // of the devices at the indices

    const QString rtx = QStringLiteral("NVIDIA GeForce RTX 4090");
    const QString a4000 = QStringLiteral("NVIDIA RTX A4000");
    const QByteArray rtxInfo = "Model: \t\t NVIDIA GeForce RTX 4090\nIRQ:   \t\t 150\n"
                               "GPU UUID: \t GPU-1234\nBus Location: \t 0000:01:00.0\n"
                               "Device Minor: \t 0\nGPU Excluded:\t No\n";
    const QByteArray a4000Info = "Model: \t\t NVIDIA RTX A4000\nGPU Excluded:\t No\n";

    QTest::newRow("no cards") << QStringList() << QList<QByteArray>() << QStringList() << QList<int>{0, 1}
                              << QStringList();
    QTest::newRow("bus order, names in the given order")
            << QStringList{"0000:41:00.0", "0000:01:00.0"} << QList<QByteArray>{a4000Info, rtxInfo}
            << QStringList{rtx, a4000} << QList<int>{1, 0, 1} << QStringList{a4000, rtx, a4000};
    QTest::newRow("excluded card left out, indices out of range skipped")
            << QStringList{"0000:01:00.0", "0000:02:00.0"}
            << QList<QByteArray>{rtxInfo, "Model: \t NVIDIA T400\nGPU Excluded:\t Yes\n"} << QStringList{rtx}
            << QList<int>{1, -1, 0, INT_MIN, INT_MAX} << QStringList{rtx};
    QTest::newRow("card without model or information")
            << QStringList{"0000:01:00.0", "0000:02:00.0", "0000:03:00.0"}
            << QList<QByteArray>{"IRQ: 5\n", "-", a4000Info} << QStringList{a4000} << QList<int>{0}
            << QStringList{a4000};
    QTest::newRow("binary information")
            << QStringList{"0000:01:00.0"} << QList<QByteArray>{QByteArray(70000, '\0')}
                                        << QStringList() << QList<int>{0} << QStringList();
}

void TestSettingsReport::gpuDevices()
{
    QFETCH(QStringList, cards);
    QFETCH(QList<QByteArray>, infos);
    QFETCH(QStringList, devices);
    QFETCH(QList<int>, indices);
    QFETCH(QStringList, names);

    const QTemporaryDir driver;
    QVERIFY(driver.isValid());
    for (qsizetype i = 0; i < cards.size(); ++i) {
        QVERIFY(QDir(driver.path()).mkpath(cards.at(i)));
        if (infos.at(i) != "-")
            QVERIFY(writeFile(driver.filePath(cards.at(i) + QStringLiteral("/information")), infos.at(i)));
    }
    SGpuInfo::setDriverFolder(driver.path());
    const QStringList valid = SGpuInfo().validDevices();
    const QStringList named = gpuDeviceNames(indices);
    // An empty path gives the driver's folder back.
    SGpuInfo::setDriverFolder(QString());
    QCOMPARE(SGpuInfo::driverFolder(), QStringLiteral("/proc/driver/nvidia/gpus"));
    QCOMPARE(valid, devices);
    QCOMPARE(named, names);
}

QTEST_GUILESS_MAIN(TestSettingsReport)
#include "tst_settingsreport.moc"
