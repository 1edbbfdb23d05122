#include "entryformat.h"

#include <algorithm>
#include <cstdio>

namespace {

// No QString here: messages may still arrive while statics are destroyed.
constexpr char traceSuffix[] = ".trace";

const char *tagFor(QtMsgType type, QByteArrayView category)
{
    switch (type) {
    case QtFatalMsg:
        return "FF";
    case QtCriticalMsg:
        return "EE";
    case QtWarningMsg:
        return "WW";
    case QtInfoMsg:
        return "II";
    case QtDebugMsg:
        return isTraceCategory(category) ? "TT" : "DD";
    }
    return "";
}

constexpr qsizetype categoryWidth = 9;

bool isAscii(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return uchar(c) < 0x80; });
}

// Appends the category as the line shows it: a blank and the name without
// any ".trace", lower-cased, padded to nine characters (longer names whole);
// nothing for no category. Names in ASCII, as all of this program's are, are
// worked on as bytes, which gives the same text without the detour through
// QString that would cost a good part of an entry's time outside the kernel.
void appendDisplayCategory(QByteArray &line, QByteArrayView category)
{
    if (!isAscii(category)) {
        QString shown = QString::fromUtf8(category);
        shown.remove(QLatin1String(traceSuffix));
        shown = shown.toLower();
        if (!shown.isEmpty())
            line += (QLatin1Char(' ') + shown.leftJustified(categoryWidth)).toUtf8();
        return;
    }
    const qsizetype start = line.size() + 1;
    line += ' ';
    const QByteArrayView suffix(traceSuffix);
    qsizetype from = 0;
    for (qsizetype found; (found = category.indexOf(suffix, from)) >= 0; from = found + suffix.size())
        line += category.sliced(from, found - from);
    line += category.sliced(from);
    const qsizetype shown = line.size() - start;
    if (shown == 0) {
        line.chop(1);
        return;
    }
    for (char *c = line.data() + start; c != line.data() + line.size(); ++c) {
        if (*c >= 'A' && *c <= 'Z')
            *c = char(*c - 'A' + 'a');
    }
    if (shown < categoryWidth)
        line.append(categoryWidth - shown, ' ');
}

} // namespace

QByteArrayView categoryName(const QMessageLogContext &context)
{
    return QByteArrayView(context.category);
}

bool isTraceCategory(QByteArrayView name)
{
    return name.endsWith(traceSuffix);
}

QByteArray formatLineTail(QtMsgType type, QByteArrayView category, const QString &message)
{
    const QByteArray text = message.toUtf8();
    QByteArray tail;
    tail.reserve(16 + category.size() + text.size());
    tail += " [";
    tail += tagFor(type, category);
    appendDisplayCategory(tail, category);
    tail += "] ";
    tail += text;
    tail += '\n';
    if (message.isEmpty())
        tail += '\n';
    return tail;
}

void printLine(const QString &text)
{
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}
