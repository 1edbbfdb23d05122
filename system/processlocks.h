#ifndef PROCESSLOCKS_H
#define PROCESSLOCKS_H

#include <QByteArray>

#include <functional>
#include <sys/stat.h>
#include <sys/types.h>

// Which files a process holds an open file description write lock on
// (F_OFD_SETLK), as its /proc/<pid>/fd and fdinfo show them. The lock itself
// names no process (the kernel reports its pid as -1), so this is the one way
// to tell whether a given process holds it, or to find the process that does.

enum class LockLook { Holds, DoesNot, CannotLook };

// The files a caller looks for: the kernel's name of the file (the target
// of its /proc link) and what stat() says of it.
using LockedFileMatch = std::function<bool(const QByteArray &path, const struct stat &info)>;

// Whether process pid holds a write lock on a file that match accepts.
// DoesNot also for a process that does not exist; CannotLook for another
// user's process, whose files this process may not see.
LockLook processHoldsWriteLock(pid_t pid, const LockedFileMatch &match);

// The process, other than this one, holding a write lock on the file info
// describes (device and inode), among those this process may look at; 0 when
// none is found.
pid_t findWriteLockHolder(const struct stat &info);

#endif // PROCESSLOCKS_H
