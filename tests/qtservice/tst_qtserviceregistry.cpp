// The registry of installed services on a system-scope store redirected
// into a temporary folder: installation through "-i" and
// QtServiceController::install, what the controller reads back, "-u" and
// uninstall(), and a store that cannot be written.

#include "qtservicecontroller.h"
#include "servicetestsupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <csignal>
#include <sys/resource.h>

using namespace ServiceTest;

class TestQtServiceRegistry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void installRoundTrip_data();
    void installRoundTrip();
    void unwritableRegistry_data();
    void unwritableRegistry();
    void uninstallRefusedByTheStore();
    void uninstallMissingGroup();

private:
    QProcessEnvironment environment(const QString &registry) const;
    QStringList serviceGroups() const;

    QString systemFolder;
    std::unique_ptr<QTemporaryDir> dir;
    QString registry;
    QString name;
};

void TestQtServiceRegistry::initTestCase()
{
    // Where the system scope points by default, to put it back after every
    // test.
    systemFolder =
        QFileInfo(QSettings(QSettings::SystemScope, QStringLiteral("QtSoftware")).fileName())
            .path();
    QVERIFY(!systemFolder.isEmpty());
}

void TestQtServiceRegistry::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    registry = dir->filePath(QStringLiteral("registry"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, registry);
    name = uniqueServiceName(QStringLiteral("Registry"));
}

void TestQtServiceRegistry::cleanup()
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, systemFolder);
    dir.reset();
}

QProcessEnvironment TestQtServiceRegistry::environment(const QString &registryFolder) const
{
    QProcessEnvironment env = cleanEnvironment();
    env.insert(QStringLiteral("TESTSERVICE_NAME"), name);
    env.insert(QStringLiteral("TESTSERVICE_REGISTRY"), registryFolder);
    return env;
}

QStringList TestQtServiceRegistry::serviceGroups() const
{
    QSettings settings(QSettings::SystemScope, QStringLiteral("QtSoftware"));
    settings.beginGroup(QStringLiteral("services"));
    return settings.childGroups();
}

void TestQtServiceRegistry::installRoundTrip_data()
{
    QTest::addColumn<QStringList>("installArguments");
    QTest::addColumn<bool>("throughController");
    QTest::addColumn<QString>("description");
    QTest::addColumn<int>("startupType");
    QTest::addColumn<bool>("uninstallOption");

    QTest::newRow("-i, defaults, -u") << QStringList{ "-i" } << false << QString() << -1 << true;
    QTest::newRow("-install with account, uninstall()")
        << QStringList{ "-install", "someone", "secret" } << false
        << QStringLiteral("Render farm test service") << 7 << false;
    QTest::newRow("QtServiceController::install, -uninstall")
        << QStringList{} << true << QStringLiteral("Installed by the controller") << 2 << true;
}

void TestQtServiceRegistry::installRoundTrip()
{
    QFETCH(QStringList, installArguments);
    QFETCH(bool, throughController);
    QFETCH(QString, description);
    QFETCH(int, startupType);
    QFETCH(bool, uninstallOption);

    // Invoked by a relative path, so that the registered path has to be made
    // absolute.
    const QFileInfo program(testServicePath());
    const QString typed = QStringLiteral("./") + program.fileName();
    QProcessEnvironment env = environment(registry);
    if (!description.isNull())
        env.insert(QStringLiteral("TESTSERVICE_DESCRIPTION"), description);
    if (startupType >= 0)
        env.insert(QStringLiteral("TESTSERVICE_STARTUP_TYPE"), QString::number(startupType));
    const int storedStartupType = startupType >= 0 ? startupType : 1;

    // Another service's registration stays untouched throughout.
    const QString other = uniqueServiceName(QStringLiteral("Other"));
    QVERIFY(QtServiceController::registerService(other, QStringLiteral("/opt/other/bin"),
                                                 QStringLiteral("other"), 3));

    QtServiceController controller(name);
    QVERIFY(!controller.isInstalled());

    if (throughController) {
        QProcessEnvironment saved = QProcessEnvironment::systemEnvironment();
        for (const QString &key : env.keys())
            qputenv(key.toLocal8Bit().constData(), env.value(key).toLocal8Bit());
        const auto restore = qScopeGuard([&] {
            for (const QString &key : env.keys()) {
                if (saved.contains(key))
                    qputenv(key.toLocal8Bit().constData(), saved.value(key).toLocal8Bit());
                else
                    qunsetenv(key.toLocal8Bit().constData());
            }
        });
        QVERIFY(QtServiceController::install(testServicePath(), QStringLiteral("someone"),
                                             QStringLiteral("secret")));
    } else {
        const Run install = runService(installArguments, env, program.absolutePath(), typed);
        QVERIFY(install.finished);
        QCOMPARE(install.exitCode, 0);
        QCOMPARE(QString::fromLatin1(install.out),
                 QStringLiteral("The service %1 has been installed under: %2\n")
                     .arg(name, program.absoluteFilePath()));
        QCOMPARE(install.err, QByteArray());
    }

    QVERIFY(controller.isInstalled());
    QVERIFY(!QtServiceController(name.toLower()).isInstalled());
    QCOMPARE(controller.serviceFilePath(), program.absoluteFilePath());
    QCOMPARE(controller.serviceDescription(), description.isNull() ? QString() : description);
    QCOMPARE(controller.startupType(), 0);
    {
        QSettings settings(QSettings::SystemScope, QStringLiteral("QtSoftware"));
        settings.beginGroup(QStringLiteral("services/") + name);
        QCOMPARE(settings.value(QStringLiteral("automaticStartup")).toInt(), storedStartupType);
        // The account and password are stored nowhere.
        QStringList keys = settings.allKeys();
        keys.sort();
        QCOMPARE(keys, (QStringList{ "automaticStartup", "description", "path" }));
    }

    const Run again = runService({ QStringLiteral("-i") }, env);
    QVERIFY(again.finished);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.out, QByteArray());
    QCOMPARE(QString::fromLatin1(again.err),
             QStringLiteral("The service %1 is already installed\n").arg(name));

    const Run version = runService({ QStringLiteral("-v") }, env);
    QVERIFY(version.finished);
    QCOMPARE(QString::fromLatin1(version.out),
             QStringLiteral("The service\n\t%1\n\t%2\n\nis installed and not running\n\n")
                 .arg(name, testServicePath()));

    if (uninstallOption) {
        const Run uninstall = runService({ QStringLiteral("-u") }, env);
        QVERIFY(uninstall.finished);
        QCOMPARE(uninstall.exitCode, 0);
        QCOMPARE(QString::fromLatin1(uninstall.out),
                 QStringLiteral("The service %1 has been uninstalled.\n").arg(name));
        QCOMPARE(uninstall.err, QByteArray());
    } else {
        QVERIFY(controller.uninstall());
    }
    QVERIFY(!controller.isInstalled());
    QVERIFY(!serviceGroups().contains(name));
    QVERIFY(controller.serviceFilePath().isEmpty());
    QVERIFY(QtServiceController(other).isInstalled());
    QCOMPARE(QtServiceController(other).serviceFilePath(), QStringLiteral("/opt/other/bin"));
}

void TestQtServiceRegistry::unwritableRegistry_data()
{
    QTest::addColumn<QString>("blocker");
    QTest::addColumn<QString>("registryFolder");

    // Relative to the temporary folder: a regular file where the registry
    // folder would be, or above it. Not even root can write there.
    QTest::newRow("registry folder is a file") << QStringLiteral("blocker")
                                               << QStringLiteral("blocker");
    QTest::newRow("registry folder below a file") << QStringLiteral("blocker")
                                                  << QStringLiteral("blocker/registry");
}

void TestQtServiceRegistry::unwritableRegistry()
{
    QFETCH(QString, blocker);
    QFETCH(QString, registryFolder);

    QFile file(dir->filePath(blocker));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString folder = dir->filePath(registryFolder);
    const QString registryFile = folder + QStringLiteral("/QtSoftware.conf");
    const QProcessEnvironment env = environment(folder);

    const Run install = runService({ QStringLiteral("-i") }, env);
    QVERIFY(install.finished);
    QCOMPARE(install.exitStatus, QProcess::NormalExit);
    QCOMPARE(install.exitCode, 255);
    QCOMPARE(install.out, QByteArray());
    QCOMPARE(QString::fromLatin1(install.err),
             QStringLiteral("Cannot install \"%1\". Cannot write to: %2. Check permissions.\n"
                            "The service %1 could not be installed\n")
                 .arg(name, registryFile));

    // Nothing can be read from there either: not installed.
    const Run uninstall = runService({ QStringLiteral("-u") }, env);
    QVERIFY(uninstall.finished);
    QCOMPARE(uninstall.exitCode, 0);
    QCOMPARE(uninstall.out, QByteArray());
    QCOMPARE(QString::fromLatin1(uninstall.err),
             QStringLiteral("The service %1 is not installed\n").arg(name));
    QVERIFY(!fileExists(registryFile));
}

// A store that can be read but not written: the registration stays, "-u"
// says so twice and yields -1. The child may write no file larger than one
// byte, which keeps even root from writing.
void TestQtServiceRegistry::uninstallRefusedByTheStore()
{
    const QString other = uniqueServiceName(QStringLiteral("Other"));
    QVERIFY(QtServiceController::registerService(name, QStringLiteral("/opt/this/bin"),
                                                 QString(), 1));
    QVERIFY(QtServiceController::registerService(other, QStringLiteral("/opt/other/bin"),
                                                 QString(), 1));
    const QString registryFile =
        QSettings(QSettings::SystemScope, QStringLiteral("QtSoftware")).fileName();
    QCOMPARE(QFileInfo(registryFile).path(), registry);

    QProcess process;
    process.setProgram(testServicePath());
    process.setArguments({ QStringLiteral("-u") });
    process.setProcessEnvironment(environment(registry));
    process.setChildProcessModifier([] {
        ::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = { 1, 1 };
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    process.start();
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 255);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QCOMPARE(QString::fromLatin1(process.readAllStandardError()),
             QStringLiteral("Cannot uninstall \"%1\". Cannot write to: %2. Check permissions.\n"
                            "The service %1 could not be uninstalled\n")
                 .arg(name, registryFile));

    QVERIFY(QtServiceController(name).isInstalled());
    QVERIFY(QtServiceController(other).isInstalled());
}

// Removing a registration that does not exist succeeds and touches nothing
// else.
void TestQtServiceRegistry::uninstallMissingGroup()
{
    const QString other = uniqueServiceName(QStringLiteral("Other"));
    QtServiceController controller(name);
    QVERIFY(controller.uninstall());
    QVERIFY(!controller.isInstalled());

    QVERIFY(QtServiceController::registerService(other, QStringLiteral("/opt/other/bin"),
                                                 QString(), 1));
    QVERIFY(controller.uninstall());
    QVERIFY(QtServiceController(other).isInstalled());
    QCOMPARE(serviceGroups(), QStringList{ other });
}

QTEST_GUILESS_MAIN(TestQtServiceRegistry)
#include "tst_qtserviceregistry.moc"
