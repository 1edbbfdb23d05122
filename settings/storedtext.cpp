#include "storedtext.h"

#include <QByteArray>
#include <QStringDecoder>
#include <QtEndian>

#include <zlib.h>

namespace {

// No password comes near this. The cap holds for what inflating actually
// produces, not for the size the data announces: a small hostile value can
// announce little and inflate to hundreds of megabytes.
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

// The bytes of qCompress output (four bytes of announced size, then a zlib
// stream), inflated into at most the announced size and never more than
// maxDecodedSize; anything that would go further, or does not end where the
// stream ends, is refused at once.
QByteArray uncompressed(const QByteArray &compressed)
{
    if (compressed.size() <= 4)
        return QByteArray();
    const quint32 announced = qFromBigEndian<quint32>(compressed.constData());
    if (announced == 0 || announced > maxDecodedSize)
        return QByteArray();
    QByteArray output(qsizetype(announced) + 1, Qt::Uninitialized);
    z_stream stream {};
    if (inflateInit(&stream) != Z_OK)
        return QByteArray();
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(compressed.constData() + 4));
    stream.avail_in = uInt(compressed.size() - 4);
    stream.next_out = reinterpret_cast<Bytef *>(output.data());
    // One byte of room beyond the announced size tells a stream that goes on.
    stream.avail_out = uInt(output.size());
    const int result = inflate(&stream, Z_FINISH);
    const uLong produced = stream.total_out;
    inflateEnd(&stream);
    if (result != Z_STREAM_END || produced != announced)
        return QByteArray();
    output.truncate(qsizetype(produced));
    return output;
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
