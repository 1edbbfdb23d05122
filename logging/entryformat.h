#ifndef ENTRYFORMAT_H
#define ENTRYFORMAT_H

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

// The text of a log entry after its timestamp, and the logger's own notices
// on standard output (the journal under systemd).

// The category's name as Qt passes it, UTF-8; empty for none.
QByteArrayView categoryName(const QMessageLogContext &context);

// Whether name is a ".trace" category, whose debug messages only the most
// verbose level writes.
bool isTraceCategory(QByteArrayView name);

// Everything of the line after the timestamp: the type's tag, the category
// (lower-cased, without ".trace", padded to nine characters), the message and
// the line break. It depends on no shared state, so it is made before the
// entry's lock is taken.
QByteArray formatLineTail(QtMsgType type, QByteArrayView category, const QString &message);

// Prints text and a line break on standard output at once.
void printLine(const QString &text);

#endif // ENTRYFORMAT_H
