#ifndef TRUSTEDOPEN_H
#define TRUSTEDOPEN_H

#include <QtGlobal>

#include <fcntl.h>
#include <sys/stat.h>

// Opening a name that other users may be able to change: the name is opened
// once and what was opened is judged on its descriptor, never through the
// name again, so that a file put in its place after the check is never the
// one used. The descriptor is opened close-on-exec, never waits for the other
// end of a pipe (O_NONBLOCK) and never becomes the process's terminal
// (O_NOCTTY). A file its caller's rule refuses is closed again.
//
// The callers differ only in their rule: which final symbolic links may be
// followed, and the type, size, number of links, owner and write bits the
// file must have.
namespace TrustedOpen {

enum class Links {
    Refused,   // a final symbolic link is never followed (O_NOFOLLOW)
    RootsOnly, // followed when root owns it, or when the process is no root process
    Followed,  // followed wherever it points
};

enum class Owner { Anyone, RootOrSelf, Root };

// Why a name was not kept.
enum class Refusal {
    None,
    NotOpened,        // the open itself failed; errno tells why
    SymbolicLink,     // a final symbolic link the rule does not follow
    NotExamined,      // its status could not be read
    NotRegular,
    TooLarge,
    SeveralLinks,     // more than one name leads to it
    ForeignOwner,
    WritableByOthers, // its group or others may write it
};

struct Rule
{
    int flags = O_RDONLY;    // access and creation flags of open(2)
    mode_t creationMode = 0; // with O_CREAT, before the creation mask
    Links links = Links::Refused;
    bool regularOnly = false;
    qint64 maxSize = -1; // bytes; no limit when negative
    bool singleLink = false;
    Owner owner = Owner::Anyone;
    bool writableByOwnerOnly = false;
};

// Opens name in folder (a folder descriptor, or AT_FDCWD for a path) under
// rule. The descriptor, or -1 with *refusal (when given) and errno: that of
// the open, or EPERM for a file the rule refuses. *size (when given) receives
// the file's length as it was judged.
int open(int folder, const char *name, const Rule &rule, Refusal *refusal = nullptr,
         qint64 *size = nullptr);

// How status, read with statxMask(rule) and without following a final link,
// fares under rule: the checks in the order open() makes them.
Refusal check(const struct statx &status, const Rule &rule);

// What check() needs to know of a file under rule, and no more: asking for
// less than a full status costs noticeably less on every log entry.
unsigned int statxMask(const Rule &rule, bool withSize = false);

} // namespace TrustedOpen

#endif // TRUSTEDOPEN_H
