#include "languages.h"
#include "sgpuinfo.h"
#include "ssettings.h"
#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace testsupport;

// The small layers that stand in for the maker's libraries: the GPU list, the
// desktop product's settings file and language names.
class TestPlatformLayers : public QObject
{
    Q_OBJECT

private slots:
    void gpuDriverFolder();
    void validDevices_data();
    void validDevices();

    void desktopSettings_data();
    void desktopSettings();
    void desktopSettingsMissing_data();
    void desktopSettingsMissing();

    void normalizeLanguageName_data();
    void normalizeLanguageName();
};

void TestPlatformLayers::gpuDriverFolder()
{
    QCOMPARE(SGpuInfo::driverFolder(), QStringLiteral("/proc/driver/nvidia/gpus"));
    {
        const FakeGpuDriver gpus(1);
        QVERIFY(SGpuInfo::driverFolder() != QStringLiteral("/proc/driver/nvidia/gpus"));
    }
    QCOMPARE(SGpuInfo::driverFolder(), QStringLiteral("/proc/driver/nvidia/gpus"));
}

void TestPlatformLayers::validDevices_data()
{
    QTest::addColumn<QStringList>("cards");        // folder names
    QTest::addColumn<QList<QByteArray>>("infos");  // their information files; "-" for none
    QTest::addColumn<QStringList>("expected");

    const QByteArray rtx = "Model: \t\t NVIDIA GeForce RTX 4090\nIRQ:   \t\t 150\n"
                           "GPU UUID: \t GPU-1234\nBus Location: \t 0000:01:00.0\n"
                           "Device Minor: \t 0\nGPU Excluded:\t No\n";
    const QByteArray a4000 = "Model: \t\t NVIDIA RTX A4000\nGPU Excluded:\t No\n";

    QTest::newRow("no cards") << QStringList() << QList<QByteArray>() << QStringList();
    QTest::newRow("one card") << QStringList{"0000:01:00.0"} << QList<QByteArray>{rtx}
                              << QStringList{"NVIDIA GeForce RTX 4090"};
    QTest::newRow("bus order") << QStringList{"0000:41:00.0", "0000:01:00.0"}
                               << QList<QByteArray>{a4000, rtx}
                               << QStringList{"NVIDIA GeForce RTX 4090", "NVIDIA RTX A4000"};
    QTest::newRow("excluded card left out")
            << QStringList{"0000:01:00.0", "0000:02:00.0"}
            << QList<QByteArray>{rtx, "Model: \t NVIDIA T400\nGPU Excluded:\t Yes\n"}
            << QStringList{"NVIDIA GeForce RTX 4090"};
    QTest::newRow("card without model or information")
            << QStringList{"0000:01:00.0", "0000:02:00.0", "0000:03:00.0"}
            << QList<QByteArray>{"IRQ: 5\n", "-", a4000} << QStringList{"NVIDIA RTX A4000"};
    QTest::newRow("binary information") << QStringList{"0000:01:00.0"}
                                        << QList<QByteArray>{QByteArray(70000, '\0')}
                                        << QStringList();
}

void TestPlatformLayers::validDevices()
{
    QFETCH(QStringList, cards);
    QFETCH(QList<QByteArray>, infos);
    QFETCH(QStringList, expected);

    const QTemporaryDir driver;
    QVERIFY(driver.isValid());
    for (qsizetype i = 0; i < cards.size(); ++i) {
        QVERIFY(QDir(driver.path()).mkpath(cards.at(i)));
        if (infos.at(i) != "-")
            QVERIFY(writeFile(driver.filePath(cards.at(i) + QStringLiteral("/information")), infos.at(i)));
    }
    SGpuInfo::setDriverFolder(driver.path());
    const QStringList devices = SGpuInfo().validDevices();
    SGpuInfo::setDriverFolder(QString());
    QCOMPARE(devices, expected);
}

void TestPlatformLayers::desktopSettings_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("expected");

    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    QTest::newRow("language") << head + "<settings>\n  <value key=\"misc.language\">german</value>\n"
                                        "  <value key=\"render.threads\">8</value>\n</settings>\n"
                              << true << "misc.language" << QVariant("german");
    QTest::newRow("other key") << head + "<settings><value key=\"render.threads\">8</value></settings>"
                               << true << "render.threads" << QVariant("8");
    QTest::newRow("missing key gives the default")
            << head + "<settings><value key=\"render.threads\">8</value></settings>"
            << true << "misc.language" << QVariant("default");
    QTest::newRow("empty value") << QByteArray("<settings><value key=\"misc.language\"/></settings>")
                                 << true << "misc.language" << QVariant(QString());
    QTest::newRow("escaped text") << QByteArray("<settings><value key=\"a\">x &amp; y &lt;z&gt;</value></settings>")
                                  << true << "a" << QVariant("x & y <z>");
    QTest::newRow("non-ascii text") << QByteArray("<settings><value key=\"a\">日本語</value></settings>")
                                    << true << "a" << QVariant("日本語");
    QTest::newRow("last of a repeated key")
            << QByteArray("<settings><value key=\"a\">1</value><value key=\"a\">2</value></settings>")
            << true << "a" << QVariant("2");
    QTest::newRow("unknown elements skipped")
            << QByteArray("<settings><window><value key=\"a\">no</value></window>"
                          "<value key=\"a\">yes</value></settings>")
            << true << "a" << QVariant("yes");
    QTest::newRow("comments around") << QByteArray("<!-- saved --><settings><value key=\"a\">1</value>"
                                                   "</settings><!-- end -->\n")
                                     << true << "a" << QVariant("1");

    QTest::newRow("empty file") << QByteArray() << false << "a" << QVariant("default");
    QTest::newRow("not xml") << QByteArray("misc.language=german\n") << false << "misc.language"
                             << QVariant("default");
    QTest::newRow("unclosed root") << QByteArray("<settings><value key=\"a\">1</value>") << false
                                   << "a" << QVariant("default");
    QTest::newRow("mismatched tags") << QByteArray("<settings><value key=\"a\">1</valu></settings>")
                                     << false << "a" << QVariant("default");
    QTest::newRow("other root") << QByteArray("<config><value key=\"a\">1</value></config>") << false
                                << "a" << QVariant("default");
    QTest::newRow("value without key") << QByteArray("<settings><value>1</value></settings>")
                                       << false << "a" << QVariant("default");
    QTest::newRow("value holding elements")
            << QByteArray("<settings><value key=\"a\"><b>1</b></value></settings>") << false << "a"
            << QVariant("default");
    QTest::newRow("second root") << QByteArray("<settings/><settings/>") << false << "a"
                                 << QVariant("default");
    QTest::newRow("binary bytes") << QByteArray("\x00\xff<settings>\x01", 12) << false << "a"
                                  << QVariant("default");
    QTest::newRow("larger than 16 MiB")
            << "<settings><value key=\"a\">" + QByteArray(16 * 1024 * 1024, 'x') + "</value></settings>"
            << false << "a" << QVariant("default");
}

void TestPlatformLayers::desktopSettings()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, valid);
    QFETCH(QString, key);
    QFETCH(QVariant, expected);

    const QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("SVSettings.xml"));
    QVERIFY(writeFile(path, content));
    const std::shared_ptr<SSettings> settings = SSettings::fromPath(path);
    QVERIFY(settings);
    QCOMPARE(settings->isValid(), valid);
    QCOMPARE(settings->value(key, QStringLiteral("default")), expected);
}

void TestPlatformLayers::desktopSettingsMissing_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("no file") << QStringLiteral("SVSettings.xml");
    QTest::newRow("folder") << QStringLiteral("folder");
    QTest::newRow("empty path") << QString();
}

void TestPlatformLayers::desktopSettingsMissing()
{
    QFETCH(QString, name);

    const QTemporaryDir folder;
    QVERIFY(QDir(folder.path()).mkpath(QStringLiteral("folder")));
    const QString path = name.isEmpty() ? QString() : folder.filePath(name);
    QVERIFY(!SSettings::fromPath(path));
}

void TestPlatformLayers::normalizeLanguageName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");

    QTest::newRow("canonical") << "german" << "german";
    QTest::newRow("capitals and blanks") << "  German \n" << "german";
    QTest::newRow("native name") << "Deutsch" << "german";
    QTest::newRow("iso code") << "de" << "german";
    QTest::newRow("locale name") << "de_DE" << "german";
    QTest::newRow("locale name with encoding") << "de_AT.UTF-8" << "german";
    QTest::newRow("locale name with hyphen") << "fr-CA" << "french";
    QTest::newRow("traditional chinese locale") << "zh_TW" << "traditional_chinese";
    QTest::newRow("traditional chinese words") << "Traditional Chinese" << "traditional_chinese";
    QTest::newRow("traditional chinese hyphen") << "traditional-chinese" << "traditional_chinese";
    QTest::newRow("hong kong") << "zh_HK.UTF-8" << "traditional_chinese";
    QTest::newRow("simplified chinese") << "zh_CN" << "chinese";
    QTest::newRow("chinese") << "Chinese" << "chinese";
    QTest::newRow("native spanish") << "Español" << "spanish";
    QTest::newRow("native japanese") << "日本語" << "japanese";
    QTest::newRow("czech") << "cs_CZ" << "czech";
    QTest::newRow("english region") << "en_GB" << "english";
    QTest::newRow("unknown name") << "  Klingon " << "klingon";
    QTest::newRow("unknown locale") << "pt_BR" << "pt_br";
    QTest::newRow("empty") << "" << "";
}

void TestPlatformLayers::normalizeLanguageName()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);

    const QString normalized = lang::Languages::normalizeLanguageName(name);
    QCOMPARE(normalized, expected);
    QCOMPARE(lang::Languages::normalizeLanguageName(normalized), normalized);
}

QTEST_GUILESS_MAIN(TestPlatformLayers)
#include "tst_platformlayers.moc"
