#ifndef PRINTABLE_H
#define PRINTABLE_H

#include <QString>

// text with its control characters made visible: line feed, carriage return
// and tab as \n, \r and \t, other control and format characters and the
// Unicode line and paragraph separators as \xHH or \uHHHH. Paths, keys and
// values from files or the environment go through it before they reach the
// system log, standard output (the journal) or a log file, where a line
// break of theirs would start an entry of its own that looks like anyone's.
// Applying it twice changes nothing more.
QString printable(const QString &text);

#endif // PRINTABLE_H
