#include "trustedopen.h"

#include <cerrno>

#include <unistd.h>

namespace {

bool ownerFits(uid_t owner, TrustedOpen::Owner rule)
{
    switch (rule) {
    case TrustedOpen::Owner::Anyone:
        return true;
    case TrustedOpen::Owner::RootOrSelf:
        return owner == 0 || owner == ::geteuid();
    case TrustedOpen::Owner::Root:
        return owner == 0;
    }
    return false;
}

// Whether a final symbolic link at name may be followed: a link of another
// user could point anywhere by the time it is used, so a root process
// follows root's links only.
bool mayFollowLink(int folder, const char *name)
{
    struct stat link;
    return ::fstatat(folder, name, &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode)
            && (link.st_uid == 0 || ::geteuid() != 0);
}

int openName(int folder, const char *name, const TrustedOpen::Rule &rule,
             TrustedOpen::Refusal *refusal)
{
    const int flags = rule.flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (rule.links == TrustedOpen::Links::Followed)
        return ::openat(folder, name, flags, rule.creationMode);
    const int fd = ::openat(folder, name, flags | O_NOFOLLOW, rule.creationMode);
    if (fd >= 0)
        return fd;
    // A link refused by O_NOFOLLOW gives ELOOP, and ENOTDIR with O_DIRECTORY.
    const bool link = errno == ELOOP || errno == ENOTDIR;
    if (link && rule.links == TrustedOpen::Links::RootsOnly && mayFollowLink(folder, name))
        return ::openat(folder, name, flags, rule.creationMode);
    *refusal = link && rule.links == TrustedOpen::Links::Refused && errno == ELOOP
            ? TrustedOpen::Refusal::SymbolicLink
            : TrustedOpen::Refusal::NotOpened;
    return -1;
}

} // namespace

namespace TrustedOpen {

unsigned int statxMask(const Rule &rule, bool withSize)
{
    unsigned int mask = 0;
    if (rule.regularOnly)
        mask |= STATX_TYPE;
    if (rule.maxSize >= 0 || withSize)
        mask |= STATX_SIZE;
    if (rule.singleLink)
        mask |= STATX_NLINK;
    if (rule.owner != Owner::Anyone)
        mask |= STATX_UID;
    if (rule.writableByOwnerOnly)
        mask |= STATX_MODE;
    return mask;
}

Refusal check(const struct statx &status, const Rule &rule)
{
    if (rule.links == Links::Refused && S_ISLNK(status.stx_mode))
        return Refusal::SymbolicLink;
    if (rule.regularOnly && !S_ISREG(status.stx_mode))
        return Refusal::NotRegular;
    if (rule.maxSize >= 0 && qint64(status.stx_size) > rule.maxSize)
        return Refusal::TooLarge;
    if (rule.singleLink && status.stx_nlink != 1)
        return Refusal::SeveralLinks;
    if (!ownerFits(status.stx_uid, rule.owner))
        return Refusal::ForeignOwner;
    // With an access ACL the group bits are its mask, which every entry's
    // write right must pass: no ACL lets anyone but the owner write a file
    // whose group bits deny it.
    if (rule.writableByOwnerOnly && (status.stx_mode & (S_IWGRP | S_IWOTH)))
        return Refusal::WritableByOthers;
    return Refusal::None;
}

int open(int folder, const char *name, const Rule &rule, Refusal *refusal, qint64 *size)
{
    Refusal ignored;
    Refusal &outcome = refusal ? *refusal : ignored;
    outcome = Refusal::None;
    const int fd = openName(folder, name, rule, &outcome);
    const unsigned int mask = statxMask(rule, size != nullptr);
    if (fd < 0 || mask == 0)
        return fd;
    struct statx status {};
    outcome = ::statx(fd, "", AT_EMPTY_PATH, mask, &status) == 0 ? check(status, rule)
                                                                 : Refusal::NotExamined;
    if (outcome != Refusal::None) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    if (size)
        *size = qint64(status.stx_size);
    return fd;
}

} // namespace TrustedOpen
