#ifndef PRINTABLE_H
#define PRINTABLE_H

#include <QString>

// text with its control characters made visible: line feed, carriage return
// and tab as \n, \r and \t, other control and format characters and the
// Unicode line and paragraph separators as \xHH or \uHHHH, and the backslash
// itself as \\, so that a name holding a literal "\n" never reads like one
// holding a line break. Paths, keys and values from files or the environment
// go through it once before they reach the system log, standard output (the
// journal), a log file or the status file, where a line break of theirs
// would start an entry of its own that looks like anyone's.
QString printable(const QString &text);

// The text printable() was given, from what it made: for files that keep
// values escaped, so that they are shown escaped once, not again.
QString fromPrintable(const QString &shown);

#endif // PRINTABLE_H
