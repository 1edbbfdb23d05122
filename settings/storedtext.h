#ifndef STOREDTEXT_H
#define STOREDTEXT_H

#include <QString>

// The form in which the shared settings keep the two passwords: the UTF-8
// bytes in Base64, compressed with qCompress, as lower-case hexadecimal
// digits. It keeps the passwords from being read at a glance; it is no
// protection. An empty text is stored as an empty string.
QString encodeStoredText(const QString &text);

// The text of an encoded string; empty for an empty string and for anything
// that is not a complete encoding of UTF-8 text.
QString decodeStoredText(const QString &stored);

#endif // STOREDTEXT_H
