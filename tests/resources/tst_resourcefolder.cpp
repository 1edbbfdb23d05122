#include "resourcefolder.h"
#include "testsupport.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace testsupport;

// Where the resource folder and its Logs subfolder are. The location comes
// from the system-scope store here, redirected into a temporary folder.
class TestResourceFolder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void defaultFolder();
    void configuredFolder_data();
    void configuredFolder();
    void logsFolderCreatesParents();
    void ensureFolder_data();
    void ensureFolder();

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

void TestResourceFolder::defaultFolder()
{
    // Only paths: nothing may be created in the real resource folder.
    QCOMPARE(resourceFolderPath(), QStringLiteral("/var/local/share/SolvaneNetworkResources/"));
    QCOMPARE(logsFolder(false).path(), QStringLiteral("/var/local/share/SolvaneNetworkResources/Logs"));
}

void TestResourceFolder::configuredFolder_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::newRow("without trailing slash") << QString();
    QTest::newRow("with trailing slash") << QStringLiteral("/");
}

void TestResourceFolder::configuredFolder()
{
    QFETCH(QString, suffix);

    const QString folder = m_dir->filePath(QStringLiteral("missing/resources"));
    configure(folder + suffix);
    // Returned as configured, and neither tested nor created.
    QCOMPARE(resourceFolderPath(), folder + suffix);
    QCOMPARE(logsFolder(false).path(), folder + QStringLiteral("/Logs"));
    QVERIFY(!QFileInfo::exists(folder));
}

void TestResourceFolder::logsFolderCreatesParents()
{
    const QString folder = m_dir->filePath(QStringLiteral("missing/resources/"));
    configure(folder);
    const QString logs = folder + QStringLiteral("Logs");

    const MessageCapture messages;
    const QDir created = logsFolder(true);
    QCOMPARE(created.path(), logs);
    QVERIFY(QFileInfo(logs).isDir());
    QCOMPARE(messages.texts(QtDebugMsg),
             QStringList{QStringLiteral("Creating folder: \"") + logs + QLatin1Char('"')});

    // Present now: nothing more to say.
    QCOMPARE(logsFolder(true).path(), logs);
    QCOMPARE(messages.messages().size(), 1);
}

void TestResourceFolder::ensureFolder_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("exists");

    QTest::newRow("existing folder") << QStringLiteral("here") << true;
    QTest::newRow("missing folder") << QStringLiteral("new") << false;
    QTest::newRow("missing parents") << QStringLiteral("a/b/c") << false;
}

void TestResourceFolder::ensureFolder()
{
    QFETCH(QString, relative);
    QFETCH(bool, exists);

    const QString path = m_dir->filePath(relative);
    if (exists)
        QVERIFY(QDir().mkpath(path));

    const MessageCapture messages;
    const QDir folder = ::ensureFolder(QDir(path));
    QCOMPARE(folder.path(), path);
    QVERIFY(QFileInfo(path).isDir());
    const QStringList expected = exists ? QStringList()
                                        : QStringList{QStringLiteral("Creating folder: \"") + path
                                                      + QLatin1Char('"')};
    QCOMPARE(messages.texts(QtDebugMsg), expected);
}

QTEST_GUILESS_MAIN(TestResourceFolder)
#include "tst_resourcefolder.moc"
