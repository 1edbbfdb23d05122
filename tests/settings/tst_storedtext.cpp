#include "storedtext.h"

#include <QByteArray>
#include <QTest>

// The encoded form of the stored passwords, which the other programs of the
// installation read and write too.
class TestStoredText : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void encodedForm();
    void decodesOtherProgramsText();
    void acceptsUpperCaseDigits();
    void invalidDecodesToEmpty_data();
    void invalidDecodesToEmpty();
};

void TestStoredText::roundTrip_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("empty") << QString();
    QTest::newRow("ascii") << QStringLiteral("s3cret password");
    QTest::newRow("non-ascii") << QStringLiteral("Grüße, пароль, 密码, 🔑");
    QTest::newRow("leading byte order mark") << QStringLiteral("\uFEFFmark");
    QTest::newRow("embedded nul") << QString::fromUtf16(u"a\0b", 3);
    QTest::newRow("long") << QString(100000, QLatin1Char('x')) + QStringLiteral("ende");
}

void TestStoredText::roundTrip()
{
    QFETCH(QString, text);

    const QString stored = encodeStoredText(text);
    QCOMPARE(stored.isEmpty(), text.isEmpty());
    QCOMPARE(decodeStoredText(stored), text);
}

void TestStoredText::encodedForm()
{
    // Lower-case hexadecimal of qCompress of the Base64 of the UTF-8 bytes.
    const QString text = QStringLiteral("pässword");
    const QString stored = encodeStoredText(text);
    QCOMPARE(stored, stored.toLower());
    const QByteArray compressed = QByteArray::fromHex(stored.toLatin1());
    QCOMPARE(QString::fromLatin1(compressed.toHex()), stored);
    QCOMPARE(qUncompress(compressed), text.toUtf8().toBase64());
}

void TestStoredText::decodesOtherProgramsText()
{
    // "secret" as the installation's other programs store it.
    QCOMPARE(decodeStoredText(QStringLiteral("00000008789c4b360acb4ace0d3300000c4302ac")), QStringLiteral("secret"));
}

void TestStoredText::acceptsUpperCaseDigits()
{
    const QString stored = encodeStoredText(QStringLiteral("secret")).toUpper();
    QCOMPARE(decodeStoredText(stored), QStringLiteral("secret"));
}

void TestStoredText::invalidDecodesToEmpty_data()
{
    QTest::addColumn<QString>("stored");

    const QByteArray valid = qCompress(QByteArray("c2VjcmV0"));
    const auto hex = [](const QByteArray &bytes) { return QString::fromLatin1(bytes.toHex()); };

    QTest::newRow("plain text") << QStringLiteral("secret");
    QTest::newRow("odd number of digits") << hex(valid).chopped(1);
    QTest::newRow("digits with blanks") << hex(valid).insert(4, QLatin1Char(' '));
    QTest::newRow("digits with a non-digit") << hex(valid).replace(6, 1, QLatin1Char('g'));
    QTest::newRow("non-latin characters") << QStringLiteral("a\u00e9");
    QTest::newRow("too short for a size") << QStringLiteral("0001");
    QTest::newRow("size only") << QStringLiteral("00000008");
    QTest::newRow("announced size zero") << hex(QByteArray(4, '\0') + valid.mid(4));
    QTest::newRow("announced size absurd") << QStringLiteral("ffffffff") + hex(valid.mid(4));
    QTest::newRow("announced size above a megabyte")
            << QStringLiteral("00100001") + hex(valid.mid(4));
    QTest::newRow("truncated compression") << hex(valid.left(valid.size() - 3));
    QTest::newRow("not compressed") << hex(QByteArray("\0\0\0\x08" "c2VjcmV0", 12));
    QTest::newRow("not base64") << hex(qCompress(QByteArray("!!not base64!!")));
    QTest::newRow("not utf-8") << hex(qCompress(QByteArray("\xff\xfe\xfd").toBase64()));
    QTest::newRow("utf-8 cut in a character")
            << hex(qCompress(QByteArray("ab\xc3").toBase64()));
}

void TestStoredText::invalidDecodesToEmpty()
{
    QFETCH(QString, stored);

    QCOMPARE(decodeStoredText(stored), QString());
}

QTEST_GUILESS_MAIN(TestStoredText)
#include "tst_storedtext.moc"
