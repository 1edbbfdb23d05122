#include "printable.h"

namespace {

bool needsEscape(QChar c)
{
    if (c == QLatin1Char('\\'))
        return true;
    switch (c.category()) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

QString escaped(QChar c)
{
    switch (c.unicode()) {
    case '\n':
        return QStringLiteral("\\n");
    case '\r':
        return QStringLiteral("\\r");
    case '\t':
        return QStringLiteral("\\t");
    case '\\':
        return QStringLiteral("\\\\");
    default:
        break;
    }
    if (c.unicode() <= 0xff)
        return QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    return QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
}

// The character of "xHH" or "uHHHH" at position at of text; -1 for none.
int hexCode(const QString &text, qsizetype at)
{
    const qsizetype digits = text.at(at) == u'x' ? 2 : text.at(at) == u'u' ? 4 : 0;
    if (digits == 0 || at + digits >= text.size())
        return -1;
    int code = 0;
    for (qsizetype i = at + 1; i <= at + digits; ++i) {
        const int digit = QStringLiteral("0123456789abcdef").indexOf(text.at(i));
        if (digit < 0)
            return -1;
        code = code * 16 + digit;
    }
    return code;
}

} // namespace

QString printable(const QString &text)
{
    // Most texts have nothing to escape and are returned without a copy.
    qsizetype first = 0;
    while (first < text.size() && !needsEscape(text.at(first)))
        ++first;
    if (first == text.size())
        return text;
    QString shown = text.left(first);
    for (qsizetype i = first; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (needsEscape(c))
            shown += escaped(c);
        else
            shown += c;
    }
    return shown;
}

QString fromPrintable(const QString &shown)
{
    if (!shown.contains(QLatin1Char('\\')))
        return shown;
    QString text;
    text.reserve(shown.size());
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const QChar next = i + 1 < shown.size() ? shown.at(i + 1) : QChar();
        if (shown.at(i) != u'\\') {
            text += shown.at(i);
        } else if (next == u'n' || next == u'r' || next == u't' || next == u'\\') {
            text += next == u'n' ? u'\n' : next == u'r' ? u'\r' : next == u't' ? u'\t' : u'\\';
            ++i;
        } else if (const int code = hexCode(shown, i + 1); code >= 0) {
            text += QChar(char16_t(code));
            i += next == u'x' ? 3 : 5;
        } else {
            text += u'\\'; // not made by printable(): kept as it is
        }
    }
    return text;
}
