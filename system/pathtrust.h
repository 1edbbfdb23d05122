#ifndef PATHTRUST_H
#define PATHTRUST_H

#include <QByteArray>
#include <QString>

#include <functional>

// Which paths a root process may let decide what it executes, or where it
// creates, changes the mode of, appends to or deletes files.
//
// A folder is trusted when every folder passed through from "/" down to it
// is owned by root and writable by nobody but root, by its mode or by its
// access ACL (a named user or group with write under the mask), and every
// symbolic link followed on the way is root's: another user's link could be
// pointed elsewhere after the check. A folder writable by others still
// passes when its sticky bit is set (as /tmp): there others cannot rename or
// delete root's entries. Group write passes for root's own groups: gid 0 and
// Debian's "staff", whose members may already change /usr/local, where
// root's programs are looked up first.
//
// Running as any other user, every path is trusted: the process can then do
// nothing its user could not do anyway.
namespace PathTrust {

// Whether the checks apply: the process runs as root.
bool isEnforced();

// Whether folder passes, else false with the reason.
bool isTrustedFolder(const QString &folder, QString *reason);

// Whether path names a file whose content root may act on: in a trusted
// folder, no symbolic link, a single link, owned by root and writable by
// root alone. For programs to execute and files that name them.
bool isTrustedFile(const QString &path, QString *reason);

// isTrustedFile() judged on descriptors: the folder of path is opened and
// must be the folder isTrustedFolder() judges by its path, and the file is
// judged as opened in that folder. The file's descriptor (read-only,
// close-on-exec) with *folder the folder's (O_PATH, close-on-exec; the
// caller closes both), or -1 with the reason (empty for a missing file) and
// *distrusted telling a refusal from a file or folder that could not be
// opened or examined.
int openTrustedFile(const QString &path, int *folder, QString *reason, bool *distrusted);

// Opens path read-only by the trusted open (never blocking); only a regular
// file of at most maxSize bytes is kept. When enforced and trustContent is
// true, a final symbolic link is not followed and the file must also pass
// isTrustedFile(), checked on the open descriptor.
// Returns the descriptor, or -1 with the reason; *distrusted (when given)
// tells a file refused by those checks from one that is missing, no regular
// file or too large.
int openRegularFile(const QString &path, qint64 maxSize, bool trustContent, QString *reason,
                    bool *distrusted = nullptr);

// The whole content of a regular file as openRegularFile() finds it. False
// with the reason when it cannot be read; a missing file gives false with an
// empty reason.
bool readRegularFile(const QString &path, qint64 maxSize, bool trustContent,
                     QByteArray *content, QString *reason);

// Reports that path was refused for reason: a critical message, and the
// reporter (the system log of the daemon). Each path and reason is reported
// once per process, not at every use.
void reportRefusal(const QString &path, const QString &reason);

// Reports message as reportRefusal() does, once per process from the moment
// a reporter is set.
void reportOnce(const QString &message);

using RefusalReporter = std::function<void(const QString &)>;
void setRefusalReporter(RefusalReporter reporter);

} // namespace PathTrust

#endif // PATHTRUST_H
