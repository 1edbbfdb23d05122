#include "languagedetection.h"
#include "languages.h"
#include "ssettings.h"
#include "testsupport.h"

#include <QProcess>
#include <QTest>

#include <thread>
#include <vector>

using namespace testsupport;

namespace {

QByteArray desktopXml(const QByteArray &language)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings>\n"
           "  <value key=\"render.threads\">4</value>\n"
           "  <value key=\"misc.language\">" + language + "</value>\n</settings>\n";
}

// The language that languageprobe prints in a process with the locale
// variables set to locale and no desktop product.
QString runProbe(const QString &mode, const QByteArray &locale)
{
    const QTemporaryDir noDesktop;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"LANGUAGE", "LC_MESSAGES", "LC_NUMERIC", "LC_CTYPE"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(locale));
    environment.insert(QStringLiteral("LANG"), QString::fromLatin1(locale));
    environment.insert(QStringLiteral("SOLVANE"), noDesktop.path());

    QProcess probe;
    probe.setProcessEnvironment(environment);
    probe.start(QStringLiteral(LANGUAGE_PROBE), {mode});
    if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit
        || probe.exitCode() != 0) {
        qWarning() << "probe failed:" << probe.errorString() << probe.readAllStandardError();
        return QString();
    }
    return QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
}

} // namespace

// Where the user interface language comes from: the desktop product's
// settings file, else the system locale, detected once per process; and the
// canonical language names.
class TestLanguageDetection : public QObject
{
    Q_OBJECT

private slots:
    void detectedLanguageIsComputedOnce();
    void desktopSettingsFileOfStandardFolder();
    void detectLanguage_data();
    void detectLanguage();
    void languageFromLocale_data();
    void languageFromLocale();
    void desktopSettings_data();
    void desktopSettings();
    void desktopSettingsMissing();
    void normalizeLanguageName_data();
    void normalizeLanguageName();
};

// Runs first, and no other test here calls detectedLanguage(): the first call
// of the process is the one that detects.
void TestLanguageDetection::detectedLanguageIsComputedOnce()
{
    const QTemporaryDir desktop;
    const QString xml = desktop.filePath(QStringLiteral("SVSettings.xml"));
    QVERIFY(writeFile(xml, desktopXml("german")));
    const EnvironmentGuard solvane("SOLVANE", desktop.path().toLocal8Bit());

    const MessageCapture messages;
    std::vector<QString> results(8);
    std::vector<std::thread> callers;
    for (QString &result : results)
        callers.emplace_back([&result] { result = detectedLanguage(); });
    for (std::thread &caller : callers)
        caller.join();
    for (const QString &result : results)
        QCOMPARE(result, QStringLiteral("german"));

    QVERIFY(writeFile(xml, desktopXml("french")));
    QCOMPARE(detectedLanguage(), QStringLiteral("german"));
    QCOMPARE(messages.texts(QtDebugMsg),
             QStringList{QStringLiteral("Detected language from Solvane Studio: \"german\"")});
    // Detecting afresh sees the change.
    QCOMPARE(::detectLanguage(), QStringLiteral("french"));
}

void TestLanguageDetection::desktopSettingsFileOfStandardFolder()
{
    // Without the variable, or with it empty, the standard installation
    // folder, never the current one.
    const QTemporaryDir current;
    QVERIFY(writeFile(current.filePath(QStringLiteral("SVSettings.xml")), desktopXml("german")));
    const QString previousFolder = QDir::currentPath();
    QVERIFY(QDir::setCurrent(current.path()));
    QStringList paths;
    for (const QByteArray &variable : {QByteArray(""), QByteArray()}) {
        const EnvironmentGuard solvane("SOLVANE", variable);
        paths.append(::desktopSettingsFilePath());
    }
    QVERIFY(QDir::setCurrent(previousFolder));
    const QString standard = QStringLiteral("/usr/local/solvane/SVSettings.xml");
    const QString expected = QFileInfo(standard).isFile() ? standard : QString();
    QCOMPARE(paths, QStringList({expected, expected}));
}

void TestLanguageDetection::detectLanguage_data()
{
    QTest::addColumn<QByteArray>("content"); // of SVSettings.xml; null for no file
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QStringList>("messages");

    const QString system = systemLanguageName();
    const QStringList fallback{"Detected fallback language: \"" + system + "\""};
    QTest::newRow("desktop language") << desktopXml("italian") << true << "italian"
                                      << QStringList{"Detected language from Solvane Studio: \"italian\""};
    QTest::newRow("desktop language empty") << desktopXml("") << true << system << fallback;
    QTest::newRow("desktop language missing")
            << QByteArray("<settings><value key=\"render.threads\">4</value></settings>") << true << system
            << fallback;
    QTest::newRow("desktop settings malformed") << QByteArray("<settings><value key=") << true << system
                                                << QStringList();
    QTest::newRow("no desktop settings") << QByteArray() << true << system << QStringList();
    QTest::newRow("no desktop installation") << QByteArray() << false << system << QStringList();
}

void TestLanguageDetection::detectLanguage()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, folderExists);
    QFETCH(QString, expected);
    QFETCH(QStringList, messages);

    const QTemporaryDir desktop;
    const QString xml = desktop.filePath(QStringLiteral("SVSettings.xml"));
    if (!content.isNull())
        QVERIFY(writeFile(xml, content));
    const QString folder = folderExists ? desktop.path() : desktop.filePath(QStringLiteral("gone"));
    const EnvironmentGuard solvane("SOLVANE", folder.toLocal8Bit());
    // The installation's file by its absolute path; empty when there is none.
    QCOMPARE(::desktopSettingsFilePath(), content.isNull() ? QString() : xml);

    const MessageCapture capture;
    QCOMPARE(::detectLanguage(), expected);
    QCOMPARE(capture.texts(QtDebugMsg), messages);
}

void TestLanguageDetection::languageFromLocale_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("locale");
    QTest::addColumn<QString>("expected");

    const QPair<const char *, const char *> locales[] = {
        {"zh_TW.UTF-8", "traditional_chinese"}, {"zh_HK.UTF-8", "traditional_chinese"},
        {"zh_CN.UTF-8", "chinese"}, {"cs_CZ.UTF-8", "czech"}, {"fr_FR.UTF-8", "french"},
        {"de_CH", "german"}, {"it_IT.UTF-8", "italian"}, {"ja_JP.UTF-8", "japanese"},
        {"ko_KR.UTF-8", "korean"}, {"pl_PL.UTF-8", "polish"}, {"ru_RU.UTF-8", "russian"},
        {"es_MX", "spanish"}, {"pt_BR.UTF-8", "english"}, {"C.UTF-8", "english"},
    };
    for (const auto &locale : locales) {
        QTest::addRow("system name, %s", locale.first)
                << QStringLiteral("system") << QByteArray(locale.first) << QString::fromLatin1(locale.second);
    }
    // Without the desktop product the locale decides, through the cache and
    // into the record.
    QTest::newRow("record, German") << QStringLiteral("record") << QByteArray("de_DE.UTF-8")
                                    << QStringLiteral("german");
}

void TestLanguageDetection::languageFromLocale()
{
    QFETCH(QString, mode);
    QFETCH(QByteArray, locale);
    QFETCH(QString, expected);

    QCOMPARE(runProbe(mode, locale), expected);
}

void TestLanguageDetection::desktopSettings_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("expected");

    const auto valid = [](const char *name, const QByteArray &content, const char *key,
                          const char *expected) {
        QTest::newRow(name) << content << true << QString::fromLatin1(key)
                            << QVariant(QString::fromUtf8(expected));
    };
    // An invalid file holds no values.
    const auto invalid = [](const char *name, const QByteArray &content) {
        QTest::newRow(name) << content << false << QStringLiteral("a") << QVariant("default");
    };

    valid("language", desktopXml("german"), "misc.language", "german");
    valid("missing key gives the default", "<settings><value key=\"render.threads\">8</value></settings>",
          "misc.language", "default");
    valid("empty value", "<settings><value key=\"a\"/></settings>", "a", "");
    valid("escaped text", "<settings><value key=\"a\">x &amp; y &lt;z&gt;</value></settings>", "a",
          "x & y <z>");
    valid("non-ascii text", "<settings><value key=\"a\">日本語</value></settings>", "a", "日本語");
    valid("last of a repeated key",
          "<settings><value key=\"a\">1</value><value key=\"a\">2</value></settings>",
          "a", "2");
    valid("unknown elements skipped",
          "<settings><window><value key=\"a\">no</value></window><value key=\"a\">yes</value></settings>",
          "a", "yes");
    valid("comments around", "<!-- saved --><settings><value key=\"a\">1</value></settings><!-- end -->\n",
          "a", "1");

    invalid("empty file", QByteArray());
    invalid("not xml", "a=german\n");
    invalid("unclosed root", "<settings><value key=\"a\">1</value>");
    invalid("other root", "<config><value key=\"a\">1</value></config>");
    invalid("value without key", "<settings><value>1</value><value key=\"a\">1</value></settings>");
    invalid("value holding elements", "<settings><value key=\"a\"><b>1</b></value></settings>");
    invalid("second root", "<settings><value key=\"a\">1</value></settings><settings/>");
    invalid("binary bytes", QByteArray("\x00\xff<settings>\x01", 12));
    invalid("larger than 16 MiB",
            "<settings><value key=\"a\">" + QByteArray(16 * 1024 * 1024, 'x') + "</value></settings>");
}

void TestLanguageDetection::desktopSettings()
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

void TestLanguageDetection::desktopSettingsMissing()
{
    const QTemporaryDir folder;
    QVERIFY(!SSettings::fromPath(folder.filePath(QStringLiteral("SVSettings.xml"))));
    QVERIFY(!SSettings::fromPath(folder.path()));
    QVERIFY(!SSettings::fromPath(QString()));
}

void TestLanguageDetection::normalizeLanguageName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");

    QTest::newRow("capitals and blanks") << "  German \n" << "german";
    QTest::newRow("native name") << "Deutsch" << "german";
    QTest::newRow("iso code") << "de" << "german";
    QTest::newRow("locale name with encoding") << "de_AT.UTF-8" << "german";
    QTest::newRow("locale name with hyphen") << "fr-CA" << "french";
    QTest::newRow("traditional chinese locale") << "zh_HK.UTF-8" << "traditional_chinese";
    QTest::newRow("traditional chinese words") << "Traditional Chinese" << "traditional_chinese";
    QTest::newRow("simplified chinese") << "zh_CN" << "chinese";
    QTest::newRow("native spanish") << "Español" << "spanish";
    QTest::newRow("native japanese") << "日本語" << "japanese";
    QTest::newRow("english region") << "en_GB" << "english";
    QTest::newRow("unknown name") << "  Klingon " << "klingon";
    QTest::newRow("unknown locale") << "pt_BR" << "pt_br";
    QTest::newRow("empty") << "" << "";
}

void TestLanguageDetection::normalizeLanguageName()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);

    const QString normalized = lang::Languages::normalizeLanguageName(name);
    QCOMPARE(normalized, expected);
    QCOMPARE(lang::Languages::normalizeLanguageName(normalized), normalized);
}

QTEST_GUILESS_MAIN(TestLanguageDetection)
#include "tst_languagedetection.moc"
