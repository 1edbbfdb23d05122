#ifndef ACCESSACL_H
#define ACCESSACL_H

#include <QList>

#include <sys/types.h>

// Who may write a file or folder through its POSIX access ACL (the
// "system.posix_acl_access" attribute). With such an ACL the group bits of
// the mode show its mask, not the owning group's right, and a named user's
// or group's write right cannot be seen in the mode at all.
namespace AccessAcl {

// The writers an ACL names besides the owner, each only when the mask lets
// its write right through.
struct Writers
{
    bool extended = false;    // an ACL with a mask: the mode's group bits are the mask
    bool owningGroup = false; // with extended, whether the owning group may write
    QList<uid_t> users;       // named users who may write
    QList<gid_t> groups;      // named groups who may write
};

// Reads the access ACL of path without following a final symbolic link.
// Without an ACL, or on a file system without them, *writers stays as made:
// the mode bits are all there is. False (errno set) when the attribute
// cannot be read or is no ACL this reader knows.
bool readWriters(const char *path, Writers *writers);

} // namespace AccessAcl

#endif // ACCESSACL_H
