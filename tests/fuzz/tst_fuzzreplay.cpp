// Runs one fuzz entry function over every kept input of its target: the seed
// corpus and the inputs that once broke it.

#include "fuzzsupport.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

class tst_FuzzReplay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void replay_data();
    void replay();
};

void tst_FuzzReplay::replay_data()
{
    QTest::addColumn<QString>("path");
    const QStringList folders{ QStringLiteral(FUZZ_CORPUS_DIR), QStringLiteral(FUZZ_REGRESSIONS_DIR) };
    for (const QString &folderPath : folders) {
        const QDir folder(folderPath);
        // "corpus/<file>" or "regressions/<file>"
        const QString kind = QFileInfo(folderPath).dir().dirName();
        const QStringList names = folder.entryList(QDir::Files, QDir::Name);
        for (const QString &name : names)
            QTest::newRow(qPrintable(kind + QLatin1Char('/') + name)) << folder.filePath(name);
    }
}

void tst_FuzzReplay::replay()
{
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
    const QByteArray data = file.readAll();
    QCOMPARE(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.constData()),
                                    size_t(data.size())),
             0);
}

QTEST_GUILESS_MAIN(tst_FuzzReplay)

#include "tst_fuzzreplay.moc"
