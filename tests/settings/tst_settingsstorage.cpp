#include "recordfields.h"
#include "rendersettings.h"
#include "settingsstorage.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace testsupport;

// Where the settings live. This test creates "resources.ini" beside its own
// executable, which the build places in a folder of its own so that no other
// test sees that file.
class TestSettingsStorage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void configuredResourceFolder_data();
    void configuredResourceFolder();
    void defaultSettingsFile();
    void configuredSettingsFile_data();
    void configuredSettingsFile();
    void storeResourceFolder();
    void unwritableSystemStore();

    void loadSettingsFromIniFile_data();
    void loadSettingsFromIniFile();

private:
    QString systemStoreFile() const;

    std::unique_ptr<EnvironmentGuard> m_desktop;
    QTemporaryDir m_desktopFolder;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SystemScopeRedirect> m_system;
};

namespace {

// "resources.ini" beside the executable while the guard lives, removed even
// when the test fails.
class ResourcesIni
{
public:
    explicit ResourcesIni(const QByteArray &content)
        : m_path(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("resources.ini")))
    {
        m_written = writeFile(m_path, content);
    }
    ~ResourcesIni() { QFile::remove(m_path); }
    ResourcesIni(const ResourcesIni &) = delete;
    ResourcesIni &operator=(const ResourcesIni &) = delete;

    bool written() const { return m_written; }

private:
    QString m_path;
    bool m_written = false;
};

} // namespace

void TestSettingsStorage::initTestCase()
{
    QVERIFY2(!QFile::exists(QDir(QCoreApplication::applicationDirPath())
                                    .filePath(QStringLiteral("resources.ini"))),
             "a resources.ini is left beside the test executable");
    QVERIFY(m_desktopFolder.isValid());
    m_desktop = std::make_unique<EnvironmentGuard>("SOLVANE", m_desktopFolder.path().toLocal8Bit());
}

void TestSettingsStorage::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("system")));
    m_system = std::make_unique<SystemScopeRedirect>(m_dir->filePath(QStringLiteral("system")));
}

void TestSettingsStorage::cleanup()
{
    m_system.reset();
    m_dir.reset();
}

QString TestSettingsStorage::systemStoreFile() const
{
    return m_dir->filePath(QStringLiteral("system/Morvek/Solvane Network Rendering.conf"));
}

void TestSettingsStorage::configuredResourceFolder_data()
{
    QTest::addColumn<QByteArray>("resourcesIni"); // null: no file
    QTest::addColumn<QByteArray>("systemValue");  // null: no value
    QTest::addColumn<QString>("expected");

    QTest::newRow("nothing configured") << QByteArray() << QByteArray() << QString();
    QTest::newRow("system store only") << QByteArray() << QByteArray("/data/sys") << "/data/sys";
    QTest::newRow("resources.ini only") << QByteArray("resources=/data/res\n") << QByteArray()
                                        << "/data/res";
    QTest::newRow("resources.ini over the system store")
            << QByteArray("resources=/data/res\n") << QByteArray("/data/sys") << "/data/res";
    QTest::newRow("empty value in resources.ini")
            << QByteArray("resources=\n") << QByteArray("/data/sys") << "/data/sys";
    QTest::newRow("resources.ini without the key")
            << QByteArray("[other]\nresources=/data/res\n") << QByteArray("/data/sys") << "/data/sys";
    QTest::newRow("empty resources.ini") << QByteArray("") << QByteArray("/data/sys") << "/data/sys";
    QTest::newRow("value kept as stored") << QByteArray("resources=/data/res/\n") << QByteArray()
                                          << "/data/res/";
    QTest::newRow("resources.ini of garbage") << QByteArray("\x00\xff[\x01\n=\n", 8)
                                              << QByteArray("/data/sys") << "/data/sys";
}

void TestSettingsStorage::configuredResourceFolder()
{
    QFETCH(QByteArray, resourcesIni);
    QFETCH(QByteArray, systemValue);
    QFETCH(QString, expected);

    if (!systemValue.isNull()) {
        QVERIFY(QDir().mkpath(QFileInfo(systemStoreFile()).absolutePath()));
        QVERIFY(writeFile(systemStoreFile(), "resources=" + systemValue + "\n"));
    }
    std::unique_ptr<ResourcesIni> ini;
    if (!resourcesIni.isNull()) {
        ini = std::make_unique<ResourcesIni>(resourcesIni);
        QVERIFY(ini->written());
    }
    QCOMPARE(::configuredResourceFolder(), expected);
}

void TestSettingsStorage::defaultSettingsFile()
{
    const QString expected = QStringLiteral("/var/local/share/SolvaneNetworkResources/settings.conf");
    QCOMPARE(settingsFilePath(), expected);
    const std::unique_ptr<QSettings> store = openSettings();
    QVERIFY(store);
    QCOMPARE(store->fileName(), expected);
    QCOMPARE(store->format(), QSettings::NativeFormat);
    QVERIFY(!store->parent());
    QCOMPARE(settingsFileExists(), QFileInfo::exists(expected));
}

void TestSettingsStorage::configuredSettingsFile_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::newRow("folder without trailing slash") << QString();
    QTest::newRow("folder with trailing slash") << QStringLiteral("/");
}

void TestSettingsStorage::configuredSettingsFile()
{
    QFETCH(QString, suffix);

    const QString folder = m_dir->filePath(QStringLiteral("resources"));
    const ResourcesIni ini("resources=" + (folder + suffix).toUtf8() + "\n");
    QVERIFY(ini.written());
    const QString expected = folder + QStringLiteral("/settings.conf");
    QCOMPARE(settingsFilePath(), expected);
    QVERIFY(!settingsFileExists());
    // The resource folder is not created by looking for the file.
    QVERIFY(!QFileInfo::exists(folder));

    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeFile(expected, "[worker]\nworkerGpu=true\n"));
    QVERIFY(settingsFileExists());
    const std::unique_ptr<QSettings> store = openSettings();
    QCOMPARE(store->fileName(), expected);
    QCOMPARE(readSettings(*store).workerGpu, true);
}

void TestSettingsStorage::storeResourceFolder()
{
    QVERIFY(isResourceSettingsWritable());
    const MessageCapture messages;
    ::storeResourceFolder(QStringLiteral("/srv/render/resources"));
    QCOMPARE(messages.messages().size(), 0);
    QCOMPARE(::configuredResourceFolder(), QStringLiteral("/srv/render/resources"));
    QCOMPARE(keysOnDisk(systemStoreFile()).value(QStringLiteral("resources")),
             QVariant("/srv/render/resources"));
}

void TestSettingsStorage::unwritableSystemStore()
{
    // The system-wide store cannot be created below a plain file.
    QVERIFY(writeFile(m_dir->filePath(QStringLiteral("plain")), QByteArray()));
    const SystemScopeRedirect blocked(m_dir->filePath(QStringLiteral("plain/etc")));
    QVERIFY(!isResourceSettingsWritable());

    const MessageCapture messages;
    ::storeResourceFolder(QStringLiteral("/srv/render/resources"));
    const QString file = m_dir->filePath(QStringLiteral("plain/etc/Morvek/Solvane Network Rendering.conf"));
    QCOMPARE(messages.texts(QtCriticalMsg),
             (QStringList{QStringLiteral("Failed to write config file: \"") + file + QLatin1Char('"'),
                          QStringLiteral("File access error!")}));
    QCOMPARE(::configuredResourceFolder(), QString());
}

void TestSettingsStorage::loadSettingsFromIniFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content"); // null: no file; "/": a folder
    QTest::addColumn<bool>("expectedOk");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("upper-case suffix, section first")
            << "import.INI" << QByteArray("[common]\nlogLevel=6\n") << true << "logLevel" << QVariant(6);
    QTest::newRow("blank lines before the section")
            << "a.ini" << QByteArray("\n   \n\t\r\n[common]\nlogLevel=5\n") << true << "logLevel"
            << QVariant(5);
    QTest::newRow("indented section") << "a.ini" << QByteArray("   [common]\nlogLevel=3\n") << true
                                      << "logLevel" << QVariant(3);
    QTest::newRow("bracket anywhere in the first line")
            << "a.ini" << QByteArray("; saved [by monitor]\n[common]\nlogLevel=2\n") << true
            << "logLevel" << QVariant(2);
    QTest::newRow("legacy file migrated") << "old.ini" << QByteArray("[slave]\nslaveId=5\n") << true
                                          << "workerId" << QVariant(5);

    QTest::newRow("txt suffix") << "a.txt" << QByteArray("[common]\nlogLevel=6\n") << false
                                << QString() << QVariant();
    QTest::newRow("no suffix") << "settings" << QByteArray("[common]\nlogLevel=6\n") << false
                               << QString() << QVariant();
    QTest::newRow("ini not last") << "a.ini.bak" << QByteArray("[common]\nlogLevel=6\n") << false
                                  << QString() << QVariant();
    QTest::newRow("key before any section") << "a.ini" << QByteArray("logLevel=6\n[common]\n")
                                            << false << QString() << QVariant();
    QTest::newRow("empty file") << "a.ini" << QByteArray("") << false << QString() << QVariant();
    QTest::newRow("blank lines only") << "a.ini" << QByteArray("\n \n\t\n") << false << QString()
                                      << QVariant();
    QTest::newRow("missing file") << "a.ini" << QByteArray() << false << QString() << QVariant();
    QTest::newRow("folder") << "a.ini" << QByteArray("/") << false << QString() << QVariant();
    QTest::newRow("long first line without bracket")
            << "a.ini" << QByteArray(200000, 'x') + "\n[common]\nlogLevel=6\n" << false << QString()
            << QVariant();
}

void TestSettingsStorage::loadSettingsFromIniFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(bool, expectedOk);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);

    const QString path = m_dir->filePath(name);
    if (content == "/")
        QVERIFY(QDir().mkpath(path));
    else if (!content.isNull())
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
