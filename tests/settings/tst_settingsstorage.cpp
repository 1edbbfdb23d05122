#include "recordfields.h"
#include "settingsstorage.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QTest>

#include <memory>

using namespace testsupport;

namespace {

QString resourcesIniPath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("resources.ini"));
}

// "resources.ini" beside the executable while the guard lives (none for null
// content), removed even when the test fails.
class ResourcesIni
{
public:
    explicit ResourcesIni(const QByteArray &content)
        : written(content.isNull() || writeFile(resourcesIniPath(), content))
    {
    }
    ~ResourcesIni() { QFile::remove(resourcesIniPath()); }
    Q_DISABLE_COPY_MOVE(ResourcesIni)

    const bool written;
};

} // namespace

// Where the settings are recorded, and users' INI files. This test creates
// "resources.ini" beside its own executable, which the build places in a
// folder of its own so that no other test sees that file.
class TestSettingsStorage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void configuredResourceFolder_data();
    void configuredResourceFolder();
    void storeResourceFolder_data();
    void storeResourceFolder();
    void loadSettingsFromIniFile_data();
    void loadSettingsFromIniFile();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SystemScopeRedirect> m_system;
};

void TestSettingsStorage::initTestCase()
{
    QVERIFY2(!QFile::exists(resourcesIniPath()), "a resources.ini is left beside the test executable");
}

void TestSettingsStorage::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_system = std::make_unique<SystemScopeRedirect>(m_dir->filePath(QStringLiteral("system")));
}

void TestSettingsStorage::cleanup()
{
    m_system.reset();
    m_dir.reset();
}

void TestSettingsStorage::configuredResourceFolder_data()
{
    QTest::addColumn<QByteArray>("resourcesIni"); // null: no file
    QTest::addColumn<QByteArray>("systemValue");  // null: no value
    QTest::addColumn<QString>("expected");

    const QByteArray sys("/data/sys");
    QTest::newRow("nothing configured") << QByteArray() << QByteArray() << QString();
    QTest::newRow("system store only") << QByteArray() << sys << "/data/sys";
    const QByteArray res("resources=/data/res\n");
    QTest::newRow("resources.ini only") << res << QByteArray() << "/data/res";
    QTest::newRow("resources.ini over the system store") << res << sys << "/data/res";
    QTest::newRow("empty value in resources.ini") << QByteArray("resources=\n") << sys << "/data/sys";
    QTest::newRow("resources.ini without the key") << "[other]\n" + res << sys << "/data/sys";
    QTest::newRow("resources.ini of garbage") << QByteArray("\x00\xff[\x01\n=\n", 8) << sys << "/data/sys";
}

void TestSettingsStorage::configuredResourceFolder()
{
    QFETCH(QByteArray, resourcesIni);
    QFETCH(QByteArray, systemValue);
    QFETCH(QString, expected);

    if (!systemValue.isNull()) {
        const QString file = m_dir->filePath(QStringLiteral("system/Morvek/Solvane Network Rendering.conf"));
        QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
        QVERIFY(writeFile(file, "resources=" + systemValue + "\n"));
    }
    const ResourcesIni ini(resourcesIni);
    QVERIFY(ini.written);
    QCOMPARE(::configuredResourceFolder(), expected);
}

void TestSettingsStorage::storeResourceFolder_data()
{
    QTest::addColumn<QString>("systemFolder");
    QTest::addColumn<bool>("writable");

    QTest::newRow("writable") << "system" << true;
    // Nothing can be created below a plain file, not even by root.
    QTest::newRow("below a plain file") << "plain/etc" << false;
}

void TestSettingsStorage::storeResourceFolder()
{
    QFETCH(QString, systemFolder);
    QFETCH(bool, writable);

    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("plain")), QByteArray()));
    const SystemScopeRedirect redirect(m_dir->filePath(systemFolder));
    const QString file =
            m_dir->filePath(systemFolder + QStringLiteral("/Morvek/Solvane Network Rendering.conf"));
    QCOMPARE(isResourceSettingsWritable(), writable);

    const MessageCapture messages;
    ::storeResourceFolder(QStringLiteral("/srv/render/resources"));
    const QStringList failure{QStringLiteral("Failed to write config file: \"") + file + QLatin1Char('"'),
                              QStringLiteral("File access error!")};
    QCOMPARE(messages.texts(QtCriticalMsg), writable ? QStringList() : failure);
    QCOMPARE(messages.messages().size(), writable ? 0 : 2);
    QCOMPARE(::configuredResourceFolder(), writable ? QStringLiteral("/srv/render/resources") : QString());
    QCOMPARE(keysOnDisk(file).value(QStringLiteral("resources")),
             writable ? QVariant("/srv/render/resources") : QVariant());
}

void TestSettingsStorage::loadSettingsFromIniFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<bool>("expectedOk");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");

    const auto ini = [](const char *row, const char *name, const QByteArray &content, const char *field,
                        int expected) {
        QTest::newRow(row) << name << content << true << field << QVariant(expected);
    };
    const auto notIni = [](const char *row, const char *name, const QByteArray &content) {
        QTest::newRow(row) << name << content << false << QString() << QVariant();
    };

    ini("upper-case suffix, section first", "import.INI", "[common]\nlogLevel=6\n", "logLevel", 6);
    ini("blank lines, indented section", "a.ini", "\n   \n\t\r\n  [common]\nlogLevel=5\n", "logLevel", 5);
    ini("bracket anywhere in the first line", "a.ini", "; saved [by monitor]\n[common]\nlogLevel=2\n",
        "logLevel", 2);
    ini("legacy file migrated", "old.ini", "[slave]\nslaveId=5\n", "workerId", 5);

    notIni("txt suffix", "a.txt", "[common]\nlogLevel=6\n");
    notIni("ini not last", "a.ini.bak", "[common]\nlogLevel=6\n");
    notIni("key before any section", "a.ini", "logLevel=6\n[common]\n");
    notIni("blank lines only", "a.ini", "\n \n\t\n");
    notIni("missing file", "a.ini", QByteArray());
    notIni("long first line without bracket", "a.ini", QByteArray(200000, 'x') + "\n[common]\nlogLevel=6\n");
}

void TestSettingsStorage::loadSettingsFromIniFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(bool, expectedOk);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);

    const QString path = m_dir->filePath(name);
    if (!content.isNull())
        QVERIFY(writeFile(path, content));

    bool ok = !expectedOk;
    const RenderSettings loaded = ::loadSettingsFromIniFile(path, &ok);
    QCOMPARE(ok, expectedOk);
    if (expectedOk) {
        QCOMPARE(recordfields::value(loaded, field), expected);
    } else {
        recordfields::compare(loaded, RenderSettings());
        QVERIFY(::loadSettingsFromIniFile(path) == RenderSettings());
    }
}

QTEST_GUILESS_MAIN(TestSettingsStorage)
#include "tst_settingsstorage.moc"
