#include "resourcefolder.h"
#include "settingsstorage.h"
#include "testsupport.h"

#include <QTest>

#include <memory>

using namespace testsupport;

// Where the resource folder, its settings file and its Logs subfolder are.
// The location comes from the system-scope store here, redirected into a
// temporary folder; nothing may be created in the real resource folder.
class TestResourceFolder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void paths_data();
    void paths();
    void logsFolderCreatesParents();

private:
    void configure(const QString &folder);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SystemScopeRedirect> m_system;
};

void TestResourceFolder::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_system = std::make_unique<SystemScopeRedirect>(m_dir->filePath(QStringLiteral("system")));
}

void TestResourceFolder::cleanup()
{
    m_system.reset();
    m_dir.reset();
}

void TestResourceFolder::configure(const QString &folder)
{
    const QString file = m_dir->filePath(QStringLiteral("system/Morvek/Solvane Network Rendering.conf"));
    QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
    QSettings store(file, QSettings::IniFormat);
    store.setValue(QStringLiteral("resources"), folder);
}

void TestResourceFolder::paths_data()
{
    QTest::addColumn<bool>("configured");
    QTest::addColumn<QString>("suffix"); // ending the folder as stored

    QTest::newRow("nothing configured") << false << QStringLiteral("/");
    QTest::newRow("without trailing slash") << true << QString();
    QTest::newRow("with trailing slash") << true << QStringLiteral("/");
}

void TestResourceFolder::paths()
{
    QFETCH(bool, configured);
    QFETCH(QString, suffix);

    const QString folder = configured ? m_dir->filePath(QStringLiteral("missing/resources"))
                                      : QStringLiteral("/var/local/share/SolvaneNetworkResources");
    if (configured)
        configure(folder + suffix);
    // Returned as configured, one "/" before the names inside, and neither
    // looked at nor created.
    QCOMPARE(resourceFolderPath(), folder + suffix);
    QCOMPARE(settingsFilePath(), folder + QStringLiteral("/settings.conf"));
    QCOMPARE(openSettings()->fileName(), folder + QStringLiteral("/settings.conf"));
    QCOMPARE(logsFolder(false).path(), folder + QStringLiteral("/Logs"));
    QCOMPARE(settingsFileExists(), QFileInfo::exists(folder + QStringLiteral("/settings.conf")));
    if (!configured)
        return;
    QVERIFY(!QFileInfo::exists(folder));

    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeFile(folder + QStringLiteral("/settings.conf"), "[worker]\nworkerGpu=true\n"));
    QVERIFY(settingsFileExists());
    QCOMPARE(openSettings()->value(QStringLiteral("worker/workerGpu")), QVariant("true"));
}

void TestResourceFolder::logsFolderCreatesParents()
{
    const QString folder = m_dir->filePath(QStringLiteral("missing/resources/"));
    configure(folder);
    const QString logs = folder + QStringLiteral("Logs");

    const MessageCapture messages;
    QCOMPARE(logsFolder(true).path(), logs);
    QVERIFY(QFileInfo(logs).isDir());
    QCOMPARE(messages.texts(QtDebugMsg),
             QStringList{QStringLiteral("Creating folder: \"") + logs + QLatin1Char('"')});

    // Present now: nothing more to say.
    QCOMPARE(logsFolder(true).path(), logs);
    QCOMPARE(messages.messages().size(), 1);
}

QTEST_GUILESS_MAIN(TestResourceFolder)
#include "tst_resourcefolder.moc"
