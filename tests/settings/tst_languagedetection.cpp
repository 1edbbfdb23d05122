#include "languagedetection.h"
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

using namespace testsupport;

// Where the user interface language comes from: the desktop product's
// settings, else the system locale, detected once per process.
class TestLanguageDetection : public QObject
{
    Q_OBJECT

private slots:
    void detectedLanguageIsComputedOnce();

    void desktopSettingsFilePath_data();
    void desktopSettingsFilePath();
    void detectLanguage_data();
    void detectLanguage();

    void languageFromLocale_data();
    void languageFromLocale();

private:
    QString runProbe(const QString &mode, const QByteArray &locale, const QString &desktop);
};

namespace {

QByteArray desktopSettings(const QByteArray &language)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings>\n"
           "  <value key=\"render.threads\">4</value>\n"
           "  <value key=\"misc.language\">" + language + "</value>\n</settings>\n";
}

} // namespace

// Runs first, and no other test here calls detectedLanguage(): the first call
// of the process is the one that detects.
void TestLanguageDetection::detectedLanguageIsComputedOnce()
{
    const QTemporaryDir desktop;
    const QString xml = desktop.filePath(QStringLiteral("SVSettings.xml"));
    QVERIFY(writeFile(xml, desktopSettings("german")));
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

    QVERIFY(writeFile(xml, desktopSettings("french")));
    QCOMPARE(detectedLanguage(), QStringLiteral("german"));
    QCOMPARE(messages.texts(QtDebugMsg),
             QStringList{QStringLiteral("Detected language from Solvane Studio: \"german\"")});
    // Detecting afresh sees the change.
    QCOMPARE(::detectLanguage(), QStringLiteral("french"));
}

void TestLanguageDetection::desktopSettingsFilePath_data()
{
    QTest::addColumn<QByteArray>("variable"); // "SOLVANE"; "-" unsets it, "@" is the installation
    QTest::addColumn<bool>("createFile");
    QTest::addColumn<bool>("expectFile");

    QTest::newRow("file in the installation") << QByteArray("@") << true << true;
    QTest::newRow("installation without the file") << QByteArray("@") << false << false;
    QTest::newRow("installation missing") << QByteArray("/nonexistent/solvane") << true << false;
    // The standard installation folder then, never the current folder.
    QTest::newRow("variable empty") << QByteArray("") << true << false;
    QTest::newRow("variable unset") << QByteArray("-") << true << false;
}

void TestLanguageDetection::desktopSettingsFilePath()
{
    QFETCH(QByteArray, variable);
    QFETCH(bool, createFile);
    QFETCH(bool, expectFile);

    const QTemporaryDir desktop;
    const QString xml = desktop.filePath(QStringLiteral("SVSettings.xml"));
    if (createFile)
        QVERIFY(writeFile(xml, desktopSettings("german")));
    const QString previousFolder = QDir::currentPath();
    QVERIFY(QDir::setCurrent(desktop.path()));
    const EnvironmentGuard solvane("SOLVANE");
    if (variable == "-")
        qunsetenv("SOLVANE");
    else
        qputenv("SOLVANE", variable == "@" ? desktop.path().toLocal8Bit() : variable);

    const QString standard = QStringLiteral("/usr/local/solvane/SVSettings.xml");
    const QString expected = expectFile ? QFileInfo(xml).absoluteFilePath()
            : (variable.isEmpty() || variable == "-") && QFileInfo(standard).isFile() ? standard
                                                                                  : QString();
    const QString path = ::desktopSettingsFilePath();
    QVERIFY(QDir::setCurrent(previousFolder));
    QCOMPARE(path, expected);
}

void TestLanguageDetection::detectLanguage_data()
{
    QTest::addColumn<QByteArray>("content"); // of SVSettings.xml; null for no file
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<bool>("fromDesktop");
    QTest::addColumn<QStringList>("messages");

    const QString fallback = systemLanguageName();
    QTest::newRow("desktop language") << desktopSettings("italian") << true << true
                                      << QStringList{"Detected language from Solvane Studio: \"italian\""};
    QTest::newRow("desktop language empty")
            << desktopSettings("") << true << false
            << QStringList{"Detected fallback language: \"" + fallback + "\""};
    QTest::newRow("desktop language missing")
            << QByteArray("<settings><value key=\"render.threads\">4</value></settings>") << true
            << false << QStringList{"Detected fallback language: \"" + fallback + "\""};
    QTest::newRow("desktop settings malformed") << QByteArray("<settings><value key=") << true
                                                << false << QStringList();
    QTest::newRow("no desktop settings") << QByteArray() << true << false << QStringList();
    QTest::newRow("no desktop installation") << QByteArray() << false << false << QStringList();
}

void TestLanguageDetection::detectLanguage()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, folderExists);
    QFETCH(bool, fromDesktop);
    QFETCH(QStringList, messages);

    const QTemporaryDir desktop;
    if (!content.isNull())
        QVERIFY(writeFile(desktop.filePath(QStringLiteral("SVSettings.xml")), content));
    const QString folder = folderExists ? desktop.path() : desktop.filePath(QStringLiteral("gone"));
    const EnvironmentGuard solvane("SOLVANE", folder.toLocal8Bit());

    const MessageCapture capture;
    const QString language = ::detectLanguage();
    QCOMPARE(language, fromDesktop ? QStringLiteral("italian") : systemLanguageName());
    QCOMPARE(capture.texts(QtDebugMsg), messages);
}

void TestLanguageDetection::languageFromLocale_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("locale");
    QTest::addColumn<QString>("expected");

    const QPair<const char *, const char *> locales[] = {
        {"zh_TW.UTF-8", "traditional_chinese"}, {"zh_HK.UTF-8", "traditional_chinese"},
        {"zh_CN.UTF-8", "chinese"}, {"zh_SG", "chinese"}, {"cs_CZ.UTF-8", "czech"},
        {"fr_FR.UTF-8", "french"}, {"de_DE.UTF-8", "german"}, {"de_CH", "german"},
        {"it_IT.UTF-8", "italian"}, {"ja_JP.UTF-8", "japanese"}, {"ko_KR.UTF-8", "korean"},
        {"pl_PL.UTF-8", "polish"}, {"ru_RU.UTF-8", "russian"}, {"es_ES.UTF-8", "spanish"},
        {"es_MX", "spanish"}, {"pt_PT.UTF-8", "english"}, {"pt_BR.UTF-8", "english"},
        {"en_US.UTF-8", "english"}, {"C.UTF-8", "english"},
    };
    for (const auto &locale : locales) {
        QTest::addRow("system name, %s", locale.first)
                << QStringLiteral("system") << QByteArray(locale.first) << QString::fromLatin1(locale.second);
    }
    // Without the desktop product the locale decides, through the cache and
    // into the record.
    QTest::newRow("detected, Traditional Chinese") << QStringLiteral("detected")
                                                   << QByteArray("zh_TW.UTF-8")
                                                   << QStringLiteral("traditional_chinese");
    QTest::newRow("detected, Portuguese") << QStringLiteral("detected") << QByteArray("pt_PT.UTF-8")
                                          << QStringLiteral("english");
    QTest::newRow("record, German") << QStringLiteral("record") << QByteArray("de_DE.UTF-8")
                                    << QStringLiteral("german");
}

void TestLanguageDetection::languageFromLocale()
{
    QFETCH(QString, mode);
    QFETCH(QByteArray, locale);
    QFETCH(QString, expected);

    const QTemporaryDir noDesktop;
    QCOMPARE(runProbe(mode, locale, noDesktop.path()), expected);
}

QString TestLanguageDetection::runProbe(const QString &mode, const QByteArray &locale,
                                        const QString &desktop)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"LANGUAGE", "LC_MESSAGES", "LC_NUMERIC", "LC_CTYPE"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(locale));
    environment.insert(QStringLiteral("LANG"), QString::fromLatin1(locale));
    environment.insert(QStringLiteral("SOLVANE"), desktop);

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

QTEST_GUILESS_MAIN(TestLanguageDetection)
#include "tst_languagedetection.moc"
