#include "storedtext.h"

#include <QByteArray>
#include <QStringDecoder>
#include <QtEndian>

namespace {

// qUncompress allocates the size announced in the data's first four bytes
// before it looks at the rest, so a damaged or hostile value could ask for
// gigabytes. No password comes near this.
const quint32 maxDecodedSize = 1024 * 1024;

bool isHexDigits(const QString &text)
{
    if (text.size() % 2 != 0)
        return false;
    for (const QChar c : text) {
        const bool digit = c >= QLatin1Char('0') && c <= QLatin1Char('9');
        const bool lower = c >= QLatin1Char('a') && c <= QLatin1Char('f');
        const bool upper = c >= QLatin1Char('A') && c <= QLatin1Char('F');
        if (!digit && !lower && !upper)
            return false;
    }
    return true;
}

QByteArray uncompressed(const QByteArray &compressed)
{
    // Four bytes of size and at least a zlib header.
    if (compressed.size() <= 4)
        return QByteArray();
    const quint32 announced = qFromBigEndian<quint32>(compressed.constData());
    if (announced == 0 || announced > maxDecodedSize)
        return QByteArray();
    return qUncompress(compressed);
}

} // namespace

QString encodeStoredText(const QString &text)
{
    if (text.isEmpty())
        return QString();
    const QByteArray base64 = text.toUtf8().toBase64();
    return QString::fromLatin1(qCompress(base64, -1).toHex());
}

QString decodeStoredText(const QString &stored)
{
    if (stored.isEmpty() || !isHexDigits(stored))
        return QString();
    const QByteArray base64 = uncompressed(QByteArray::fromHex(stored.toLatin1()));
    if (base64.isEmpty())
        return QString();
    const QByteArray::FromBase64Result utf8 =
            QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (!utf8)
        return QString();
    // Every character counts in a password, a leading byte order mark too.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(*utf8);
    return decoder.hasError() ? QString() : text;
}
