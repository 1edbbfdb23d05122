#include "accessacl.h"

#include <QByteArray>
#include <QtEndian>

#include <cerrno>

#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <sys/xattr.h>

namespace {

constexpr char attribute[] = "system.posix_acl_access";

// Far beyond any real ACL (the kernel takes at most 64 KiB of attribute).
constexpr ssize_t maxAclSize = 64 * 1024;

// The attribute's bytes; empty without one.
bool readAttribute(const char *path, QByteArray *value)
{
    value->resize(512);
    for (;;) {
        const ssize_t size = ::lgetxattr(path, attribute, value->data(), size_t(value->size()));
        if (size >= 0) {
            value->resize(size);
            return true;
        }
        if (errno == ENODATA || errno == ENOTSUP) {
            value->clear();
            return true;
        }
        if (errno != ERANGE || value->size() >= maxAclSize)
            return false;
        // Grown in the meantime: asked again with room for its present size.
        const ssize_t needed = ::lgetxattr(path, attribute, nullptr, 0);
        if (needed < 0 && errno != ERANGE)
            return false;
        value->resize(qBound(ssize_t(value->size() * 2), needed, maxAclSize));
    }
}

} // namespace

namespace AccessAcl {

bool readWriters(const char *path, Writers *writers)
{
    QByteArray value;
    if (!readAttribute(path, &value))
        return false;
    if (value.isEmpty())
        return true;
    constexpr qsizetype header = sizeof(posix_acl_xattr_header);
    constexpr qsizetype entrySize = sizeof(posix_acl_xattr_entry);
    const auto *bytes = reinterpret_cast<const uchar *>(value.constData());
    if (value.size() < header || (value.size() - header) % entrySize != 0
        || qFromLittleEndian<quint32>(bytes) != POSIX_ACL_XATTR_VERSION) {
        errno = EINVAL;
        return false;
    }
    // Write rights are gathered first and weighed against the mask, which
    // may come anywhere in the list, at the end.
    bool maskWrites = false, owningGroupWrites = false;
    Writers named;
    for (qsizetype at = header; at < value.size(); at += entrySize) {
        const quint16 tag = qFromLittleEndian<quint16>(bytes + at);
        const bool writes = qFromLittleEndian<quint16>(bytes + at + 2) & ACL_WRITE;
        const quint32 id = qFromLittleEndian<quint32>(bytes + at + 4);
        if (tag == ACL_MASK) {
            named.extended = true;
            maskWrites = writes;
        } else if (tag == ACL_GROUP_OBJ) {
            owningGroupWrites = writes;
        } else if (tag == ACL_USER && writes) {
            named.users << uid_t(id);
        } else if (tag == ACL_GROUP && writes) {
            named.groups << gid_t(id);
        }
    }
    if (!named.extended)
        return true;
    writers->extended = true;
    writers->owningGroup = owningGroupWrites && maskWrites;
    if (maskWrites) {
        writers->users = named.users;
        writers->groups = named.groups;
    }
    return true;
}

} // namespace AccessAcl
