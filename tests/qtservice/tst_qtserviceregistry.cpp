// The registry of installed services on a system-scope store redirected
// into a temporary folder: installation through "-i" and
// QtServiceController::install, what the controller reads back, "-u" and
// uninstall(), and a store that cannot be written.

#include "servicetestsupport.h"

#include <memory>
#include <sys/resource.h>

using namespace ServiceTest;

class TestQtServiceRegistry : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void installRoundTrip_data();
    void installRoundTrip();
    void unwritableRegistry();
    void uninstallRefusedByTheStore();

private:
    QStringList serviceGroups() const;

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<RegistryRedirect> redirect;
    QString name;
    QString other;
};

void TestQtServiceRegistry::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    redirect = std::make_unique<RegistryRedirect>(dir->filePath(QStringLiteral("registry")));
    name = uniqueServiceName(QStringLiteral("Registry"));
    // Another service's registration, which must stay untouched throughout.
    other = uniqueServiceName(QStringLiteral("Other"));
    QVERIFY(QtServiceController::registerService(other, QStringLiteral("/opt/other/bin"),
                                                 QStringLiteral("other"), 3));
}

void TestQtServiceRegistry::cleanup()
{
    if (redirect)
        QCOMPARE(QtServiceController(other).serviceFilePath(), QStringLiteral("/opt/other/bin"));
    redirect.reset();
    dir.reset();
}

QStringList TestQtServiceRegistry::serviceGroups() const
{
    QSettings settings(QSettings::SystemScope, QStringLiteral("QtSoftware"));
    settings.beginGroup(QStringLiteral("services"));
    return settings.childGroups();
}

void TestQtServiceRegistry::installRoundTrip_data()
{
    QTest::addColumn<QStringList>("installArguments"); // none: QtServiceController::install
    QTest::addColumn<QString>("description");
    QTest::addColumn<int>("startupType");
    QTest::addColumn<QString>("uninstallOption"); // none: uninstall()

    QTest::newRow("-i, defaults, -u") << QStringList{ "-i" } << QString() << -1 << QStringLiteral("-u");
    QTest::newRow("-install with account, uninstall()")
        << QStringList{ "-install", "someone", "secret" } << QStringLiteral("Render farm test service") << 7
        << QString();
    QTest::newRow("QtServiceController::install, -uninstall")
        << QStringList{} << QStringLiteral("Installed by the controller") << 2
        << QStringLiteral("-uninstall");
}

void TestQtServiceRegistry::installRoundTrip()
{
    QFETCH(QStringList, installArguments);
    QFETCH(QString, description);
    QFETCH(int, startupType);
    QFETCH(QString, uninstallOption);

    // Invoked by a relative path, so that the registered path has to be made
    // absolute.
    const QFileInfo program(testServicePath());
    QProcessEnvironment env = serviceEnvironment(name, dir->path());
    if (!description.isNull())
        env.insert(QStringLiteral("TESTSERVICE_DESCRIPTION"), description);
    if (startupType >= 0)
        env.insert(QStringLiteral("TESTSERVICE_STARTUP_TYPE"), QString::number(startupType));
    QtServiceController controller(name);
    QVERIFY(!controller.isInstalled());

    if (installArguments.isEmpty()) {
        EnvironmentGuard environment;
        environment.adopt(env);
        QVERIFY(QtServiceController::install(testServicePath(), QStringLiteral("someone"),
                                             QStringLiteral("secret")));
    } else {
        VERIFY_RUN(runService(installArguments, env, program.absolutePath(), "./" + program.fileName()), 0,
                   QStringLiteral("The service %1 has been installed under: %2\n")
                       .arg(name, program.absoluteFilePath()), "");
    }
    QVERIFY(controller.isInstalled());
    QVERIFY(!QtServiceController(name.toLower()).isInstalled());
    QCOMPARE(controller.serviceFilePath(), program.absoluteFilePath());
    QCOMPARE(controller.serviceDescription(), description);
    QCOMPARE(controller.startupType(), 0);
    {
        QSettings settings(QSettings::SystemScope, QStringLiteral("QtSoftware"));
        settings.beginGroup(QStringLiteral("services/") + name);
        QCOMPARE(settings.value(QStringLiteral("automaticStartup")).toInt(),
                 startupType >= 0 ? startupType : 1);
        // The account and password are stored nowhere.
        QStringList keys = settings.allKeys();
        keys.sort();
        QCOMPARE(keys, (QStringList{ "automaticStartup", "description", "path" }));
    }

    VERIFY_RUN(runService({ QStringLiteral("-i") }, env), 0, "",
               QStringLiteral("The service %1 is already installed\n").arg(name));
    VERIFY_RUN(runService({ QStringLiteral("-v") }, env), 0,
               QStringLiteral("The service\n\t%1\n\t%2\n\nis installed and not running\n\n")
                   .arg(name, testServicePath()), "");
    if (uninstallOption.isNull()) {
        QVERIFY(controller.uninstall());
    } else {
        VERIFY_RUN(runService({ uninstallOption }, env), 0,
                   QStringLiteral("The service %1 has been uninstalled.\n").arg(name), "");
    }
    QVERIFY(!controller.isInstalled());
    QVERIFY(controller.serviceFilePath().isEmpty());
    // Removing a registration that is not there succeeds and touches nothing.
    QVERIFY(controller.uninstall());
    QCOMPARE(serviceGroups(), QStringList{ other });
}

// A regular file where the registry folder would be: not even root can
// write there, nor read anything.
void TestQtServiceRegistry::unwritableRegistry()
{
    const QString folder = dir->filePath(QStringLiteral("blocker"));
    QVERIFY(writeFile(folder, {}));
    QProcessEnvironment env = serviceEnvironment(name, dir->path());
    env.insert(QStringLiteral("TESTSERVICE_REGISTRY"), folder);

    VERIFY_RUN(runService({ QStringLiteral("-i") }, env), 255, "",
               QStringLiteral("Cannot install \"%1\". Cannot write to: %2/QtSoftware.conf. "
                              "Check permissions.\n"
                              "The service %1 could not be installed\n")
                   .arg(name, folder));
    VERIFY_RUN(runService({ QStringLiteral("-u") }, env), 0, "",
               QStringLiteral("The service %1 is not installed\n").arg(name));
}

// A store that can be read but not written: the registration stays, "-u"
// says so twice and yields -1. The child may write no file larger than one
// byte, which keeps even root from writing.
void TestQtServiceRegistry::uninstallRefusedByTheStore()
{
    QVERIFY(QtServiceController::registerService(name, QStringLiteral("/opt/this/bin"), QString(), 1));
    const QString registryFile = QSettings(QSettings::SystemScope, QStringLiteral("QtSoftware")).fileName();
    QCOMPARE(QFileInfo(registryFile).path(), dir->filePath(QStringLiteral("registry")));

    QProcess process;
    process.setProgram(testServicePath());
    process.setArguments({ QStringLiteral("-u") });
    process.setProcessEnvironment(serviceEnvironment(name, dir->path()));
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
}

QTEST_GUILESS_MAIN(TestQtServiceRegistry)
#include "tst_qtserviceregistry.moc"
