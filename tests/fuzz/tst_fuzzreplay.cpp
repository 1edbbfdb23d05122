// Runs one fuzz entry function over the seed corpus of its target and every
// input that once broke it.

#include "fuzzsupport.h"

#include <QTest>

class TestFuzzReplay : public QObject
{
    Q_OBJECT

private slots:
    void replay_data()
    {
        QTest::addColumn<QString>("path");
        for (const QString &folder : { QStringLiteral(FUZZ_CORPUS_DIR), QStringLiteral(FUZZ_REGRESSIONS_DIR) }) {
            for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files, QDir::Name))
                QTest::newRow(qPrintable(file.dir().dirName() + u'/' + file.fileName())) << file.filePath();
        }
    }
    void replay()
    {
        QFETCH(QString, path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        QCOMPARE(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size())), 0);
    }
};

QTEST_GUILESS_MAIN(TestFuzzReplay)
#include "tst_fuzzreplay.moc"
