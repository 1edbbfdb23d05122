#ifndef LOGFOLDERTRUST_H
#define LOGFOLDERTRUST_H

#include <QString>

#include <sys/stat.h>

// The one judgement of a log folder for a root process, made wherever a log
// folder is chosen, written to or cleaned up: the folder is opened, its path
// must pass PathTrust (root's, writable by root alone or sticky, reached
// through root's links only), and the path must still lead to what was
// opened afterwards, so that nothing put there meanwhile counts.

// The descriptor of folder as judged (the caller closes it), with *status
// what was opened; or -1 with *missing telling whether nothing is there, and
// the reason it is refused otherwise.
int openTrustedLogFolder(const QString &folder, QString *reason, bool *missing,
                         struct stat *status);

// Whether folder passes the judgement now, else false with the reason.
// Running as another user than root, every folder passes.
bool isTrustedLogFolder(const QString &folder, QString *reason);

// Whether entries can go into folder: it is there, passes the judgement
// (as root), and this process may create files in it, which a read-only
// mount (a service's sandbox) denies even to root. Else false with the
// reason.
bool isUsableLogFolder(const QString &folder, QString *reason);

#endif // LOGFOLDERTRUST_H
