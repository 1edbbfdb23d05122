#include "settingsreport.h"
#include "testsupport.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QVariantMap>

#include <memory>

using namespace testsupport;

namespace {

// One message as a handler receives it.
struct Message
{
    QtMsgType type;
    QString category;
    QString text;
};

// Records every message while it lives and puts the previous handler back
// when it goes.
class ReportCapture
{
public:
    ReportCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&ReportCapture::handle);
    }
    ~ReportCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    ReportCapture(const ReportCapture &) = delete;
    ReportCapture &operator=(const ReportCapture &) = delete;

    QList<Message> messages() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_messages;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (!s_current)
            return;
        const QMutexLocker lock(&s_current->m_mutex);
        s_current->m_messages.append({type, QString::fromUtf8(context.category), text});
    }

    static inline ReportCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QList<Message> m_messages;
};

enum class Report { Manager, Worker };

const QStringList commonAllOff = {
    "--- Settings ---",
    "--- Common ---",
    "Language: \"german\"",
    "Log Level: 4",
    "Engine Log Level: 0",
    "Use System Proxy: false",
    "Theme: \"Dark\"",
};

const QStringList commonAllOn = {
    "--- Settings ---",
    "--- Common ---",
    "Language: \"french\"",
    "Log Level: 6",
    "Engine Log Level: 3",
    "Use System Proxy: true",
    "Theme: \"Light\"",
};

// The conditions all off; every other key missing, so that its default shows.
QVariantMap storeAllOff()
{
    return {
        {"common/language", "german"},
        {"manager/ssl", false},
        {"manager/sslCertificatePath", "/srv/tls/unused.crt"},
        {"manager/sslPrivateKeyPath", "/srv/tls/unused.key"},
        {"manager/userLogin", false},
        {"manager/anonymousUsers", false},
        {"manager/restfulApi", false},
        {"manager/restfulApiPort", 9000},
        {"worker/workerId", 0},
        {"worker/workerGpuId", 0},
    };
}

// The conditions all on, and every field with a value of its own, so that a
// line showing the wrong field stands out.
QVariantMap storeAllOn()
{
    return {
        {"common/language", "french"},
        {"common/logLevel", 6},
        {"common/engineLogLevel", 3},
        {"common/useSystemProxy", true},
        {"common/theme", "Light"},
        {"manager/manager", true},
        {"manager/autodetect", false},
        {"manager/clientStatePort", 5847},
        {"manager/workerStatePort", 5848},
        {"manager/ssl", true},
        {"manager/sslCertificatePath", "/srv/render tls/manager.crt"},
        {"manager/sslPrivateKeyPath", "/srv/render tls/\"manager\".key"},
        {"manager/userLogin", true},
        {"manager/anonymousUsers", false},
        {"manager/disableQueuePreview", true},
        {"manager/proxyType", 2},
        {"manager/proxyHost", "proxy.render.lan"},
        {"manager/proxyPort", 3128},
        {"manager/automaticUpdatesEnabled", false},
        {"manager/regionSizeHint", 256},
        {"manager/fifoDownloadOrder", true},
        {"manager/parallelJobs", 3},
        {"manager/autoDeleteJobs", true},
        {"manager/autoDeleteJobDays", 14},
        {"manager/restfulApi", true},
        {"manager/restfulApiPort", 8443},
        {"manager/interiorModeRegionSizeHint", 128},
        {"manager/interiorModeRegionOverlap", 16},
        {"manager/useOldRegionSplitMethod", true},
        {"worker/worker", true},
        {"worker/workerId", 42},
        {"worker/workerGpuId", 7},
        {"worker/ip", "192.168.10.5"},
        {"worker/port", 4900},
        {"worker/workerPriority", 20},
        {"worker/allowedCores", 12},
        {"worker/workerPaused", true},
        {"worker/gpuWorkerPaused", true},
        {"worker/launchWorkerTray", false},
        {"worker/workerCpu", false},
        {"worker/workerGpu", true},
        // Device 5 was valid once; with two devices left it is not.
        {"worker/workerGpus", QVariantList{1, 5, 0}},
    };
}

} // namespace

Q_DECLARE_METATYPE(Report)

// The printed settings reports, line by line, and the names of the GPU
// devices that the worker report lists.
class TestSettingsReport : public QObject
{
    Q_OBJECT

private slots:
    void reports_data();
    void reports();

    void gpuDeviceNames_data();
    void gpuDeviceNames();
};

void TestSettingsReport::reports_data()
{
    QTest::addColumn<Report>("report");
    QTest::addColumn<QVariantMap>("values");
    QTest::addColumn<int>("devices");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("manager, all off") << Report::Manager << storeAllOff() << 0
                                      << commonAllOff + QStringList{
                                                 "--- Manager ---",
                                                 "Manager: false",
                                                 "Auto detect: true",
                                                 "Monitor Port: 4847",
                                                 "Worker Port: 4848",
                                                 "Use TLS: false",
                                                 "User System: false",
                                                 "Disable Monitor preview: false",
                                                 "Proxy Type: 1",
                                                 "Proxy Host: \"\"",
                                                 "Proxy Port: 1",
                                                 "Automatic updates: true",
                                                 "Region size hint: 320",
                                                 "FIFO download order: false",
                                                 "Parallel jobs: 1",
                                                 "Auto delete jobs; false",
                                                 "Days until delete (when set) 30",
                                                 "RESTful API server: false",
                                                 "Interior mode region size hint: 320",
                                                 "Interior mode region overlap: 10",
                                                 "Use old region split method: false",
                                                 "FIFO download order: false",
                                                 "RESTful API server: false",
                                                 "------------",
                                         };

    QTest::newRow("manager, all on") << Report::Manager << storeAllOn() << 2
                                     << commonAllOn + QStringList{
                                                "--- Manager ---",
                                                "Manager: true",
                                                "Auto detect: false",
                                                "Monitor Port: 5847",
                                                "Worker Port: 5848",
                                                "Use TLS: true",
                                                "TLS Cert: \"/srv/render tls/manager.crt\"",
                                                "TLS Key: \"/srv/render tls/\\\"manager\\\".key\"",
                                                "User System: true",
                                                "Anonymous Users: false",
                                                "Disable Monitor preview: true",
                                                "Proxy Type: 2",
                                                "Proxy Host: \"proxy.render.lan\"",
                                                "Proxy Port: 3128",
                                                "Automatic updates: false",
                                                "Region size hint: 256",
                                                "FIFO download order: true",
                                                "Parallel jobs: 3",
                                                "Auto delete jobs; true",
                                                "Days until delete (when set) 14",
                                                "RESTful API server: true",
                                                "Interior mode region size hint: 128",
                                                "Interior mode region overlap: 16",
                                                "Use old region split method: true",
                                                "FIFO download order: true",
                                                "RESTful API server: true",
                                                "RESTful API port: 8443",
                                                "------------",
                                        };

    QTest::newRow("worker, all off") << Report::Worker << storeAllOff() << 0
                                     << commonAllOff + QStringList{
                                                "--- Worker ---",
                                                "Worker: false",
                                                "Worker ID: \"Unspecified\"",
                                                "Worker GPU ID: \"Unspecified\"",
                                                "Manager IP: \"\"",
                                                "Manager Port: 4848",
                                                "Priority: 10",
                                                "Allowed Cores: 0",
                                                "CPU Paused: false",
                                                "GPU Paused: false",
                                                "Use Worker Tray: true",
                                                "--- CPU/GPU ---",
                                                "CPU: true",
                                                "GPU: false QList()",
                                                "------------",
                                        };

    QTest::newRow("worker, all on") << Report::Worker << storeAllOn() << 2
                                    << commonAllOn + QStringList{
                                               "--- Worker ---",
                                               "Worker: true",
                                               "Worker ID: \"42\"",
                                               "Worker GPU ID: \"7\"",
                                               "Manager IP: \"192.168.10.5\"",
                                               "Manager Port: 4900",
                                               "Priority: 20",
                                               "Allowed Cores: 12",
                                               "CPU Paused: true",
                                               "GPU Paused: true",
                                               "Use Worker Tray: false",
                                               "--- CPU/GPU ---",
                                               "CPU: false",
                                               "GPU: true QList(\"NVIDIA Fake 1\", \"NVIDIA Fake 0\")",
                                               "------------",
                                       };
}

void TestSettingsReport::reports()
{
    QFETCH(Report, report);
    QFETCH(QVariantMap, values);
    QFETCH(int, devices);
    QFETCH(QStringList, expected);

    const QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("settings.conf"));
    {
        QSettings writer(path, QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            writer.setValue(it.key(), it.value());
        writer.sync();
        QCOMPARE(writer.status(), QSettings::NoError);
    }

    const FakeGpuDriver gpus(devices);
    QSettings store(path, QSettings::IniFormat);
    QList<Message> messages;
    {
        const ReportCapture capture;
        if (report == Report::Manager)
            logManagerSettingsReport(store);
        else
            logWorkerSettingsReport(store);
        messages = capture.messages();
    }

    QStringList lines;
    for (const Message &message : std::as_const(messages)) {
        QCOMPARE(message.type, QtInfoMsg);
        QCOMPARE(message.category, QStringLiteral("default"));
        lines.append(message.text);
    }
    QCOMPARE(lines, expected);
}

void TestSettingsReport::gpuDeviceNames_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<QList<int>>("indices");
    QTest::addColumn<QStringList>("expected");

    const QString fake0 = QStringLiteral("NVIDIA Fake 0");
    const QString fake1 = QStringLiteral("NVIDIA Fake 1");
    const QString fake2 = QStringLiteral("NVIDIA Fake 2");

    QTest::newRow("no indices") << 3 << QList<int>() << QStringList();
    QTest::newRow("valid, given order") << 3 << QList<int>{2, 0, 1} << QStringList{fake2, fake0, fake1};
    QTest::newRow("out of range skipped") << 3 << QList<int>{3, 1, 40} << QStringList{fake1};
    QTest::newRow("negative skipped") << 3 << QList<int>{-1, 0, -3} << QStringList{fake0};
    QTest::newRow("repeated kept") << 3 << QList<int>{1, 1, 0, 1} << QStringList{fake1, fake1, fake0, fake1};
    QTest::newRow("no devices") << 0 << QList<int>{0, 1} << QStringList();
    QTest::newRow("extremes") << 3 << QList<int>{INT_MIN, INT_MAX, 2} << QStringList{fake2};
}

void TestSettingsReport::gpuDeviceNames()
{
    QFETCH(int, devices);
    QFETCH(QList<int>, indices);
    QFETCH(QStringList, expected);

    const FakeGpuDriver gpus(devices);
    QCOMPARE(::gpuDeviceNames(indices), expected);
}

QTEST_GUILESS_MAIN(TestSettingsReport)
#include "tst_settingsreport.moc"
