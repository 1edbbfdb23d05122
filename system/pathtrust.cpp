#include "pathtrust.h"

#include "accessacl.h"
#include "printable.h"
#include "trustedopen.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMutex>
#include <QSet>

#include <cerrno>
#include <climits>
#include <utility>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Debian's group for local changes of the system (/usr/local, /var/local).
gid_t staffGroup()
{
    static const gid_t gid = [] {
        const group *entry = ::getgrnam("staff");
        return entry ? entry->gr_gid : gid_t(0);
    }();
    return gid;
}

bool isRootGroup(gid_t gid)
{
    return gid == 0 || gid == staffGroup();
}

// Paths come from files others can write: shown escaped, so that a line
// break in one cannot make a reason look like entries of its own.
QString describe(const QByteArray &path, const char *what)
{
    return printable(QFile::decodeName(path)) + QLatin1Char(' ') + QLatin1String(what);
}

// Who may write the folder through its access ACL: a named user or group
// other than root's is refused as a group or other with write is. Sticky
// folders are excepted alike.
bool checkFolderAcl(const QByteArray &path, const struct stat &status, QString *reason)
{
    AccessAcl::Writers writers;
    if (!AccessAcl::readWriters(path.constData(), &writers)) {
        *reason = describe(path, "has an access ACL that cannot be read");
        return false;
    }
    if (status.st_mode & S_ISVTX)
        return true;
    // With an ACL, the mode's group bits are its mask: the owning group's
    // own right is the ACL's.
    const bool groupWrites = writers.extended ? writers.owningGroup : (status.st_mode & S_IWGRP);
    if (groupWrites && !isRootGroup(status.st_gid)) {
        *reason = describe(path, "is writable by its group");
        return false;
    }
    for (const uid_t user : std::as_const(writers.users)) {
        if (user != 0) {
            *reason = describe(path, "is writable by user ") + QString::number(user)
                    + QStringLiteral(" through its ACL");
            return false;
        }
    }
    for (const gid_t group : std::as_const(writers.groups)) {
        if (!isRootGroup(group)) {
            *reason = describe(path, "is writable by group ") + QString::number(group)
                    + QStringLiteral(" through its ACL");
            return false;
        }
    }
    return true;
}

bool checkFolder(const QByteArray &path, const struct stat &status, QString *reason)
{
    const bool sticky = status.st_mode & S_ISVTX;
    if (!S_ISDIR(status.st_mode))
        *reason = describe(path, "is not a folder");
    else if (status.st_uid != 0)
        *reason = describe(path, "is owned by another user than root");
    else if ((status.st_mode & S_IWOTH) && !sticky)
        *reason = describe(path, "is writable by other users");
    else
        return checkFolderAcl(path, status, reason);
    return false;
}

// What a file whose content root acts on must be, besides lying in a trusted
// folder.
TrustedOpen::Rule trustedContentRule()
{
    TrustedOpen::Rule rule;
    rule.links = TrustedOpen::Links::Refused;
    rule.regularOnly = true;
    rule.singleLink = true;
    rule.owner = TrustedOpen::Owner::Root;
    rule.writableByOwnerOnly = true;
    return rule;
}

// The reason for a refusal of the file at path; empty for none, and for a
// file that is missing.
QString describeRefusal(const QByteArray &path, TrustedOpen::Refusal refusal, qint64 maxSize,
                        int openError)
{
    switch (refusal) {
    case TrustedOpen::Refusal::None:
        return QString();
    case TrustedOpen::Refusal::NotOpened:
        return openError == ENOENT ? QString() : describe(path, "cannot be opened");
    case TrustedOpen::Refusal::SymbolicLink:
        return describe(path, "is a symbolic link");
    case TrustedOpen::Refusal::NotExamined:
        return describe(path, "cannot be examined");
    case TrustedOpen::Refusal::NotRegular:
        return describe(path, "is not a regular file");
    case TrustedOpen::Refusal::TooLarge:
        return describe(path, "is larger than ") + QString::number(maxSize) + QStringLiteral(" bytes");
    case TrustedOpen::Refusal::SeveralLinks:
        return describe(path, "has more than one link");
    case TrustedOpen::Refusal::ForeignOwner:
        return describe(path, "is owned by another user than root");
    case TrustedOpen::Refusal::WritableByOthers:
        return describe(path, "is writable by other users than root");
    }
    return QString();
}

// Refusals that say the file may not be trusted, rather than that it is
// missing, of the wrong kind or too large.
bool isDistrust(TrustedOpen::Refusal refusal)
{
    return refusal == TrustedOpen::Refusal::SymbolicLink || refusal == TrustedOpen::Refusal::SeveralLinks
            || refusal == TrustedOpen::Refusal::ForeignOwner
            || refusal == TrustedOpen::Refusal::WritableByOthers;
}

QByteArray parentOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

struct RefusalState
{
    QMutex mutex;
    QSet<QString> reported;
    PathTrust::RefusalReporter reporter;
};

RefusalState &refusalState()
{
    static RefusalState *const state = new RefusalState;
    return *state;
}

} // namespace

namespace PathTrust {

bool isEnforced()
{
    return ::geteuid() == 0;
}

bool isTrustedFolder(const QString &folder, QString *reason)
{
    if (!isEnforced())
        return true;
    if (folder.isEmpty()) {
        *reason = describe(QByteArray(), "does not exist");
        return false;
    }
    const QByteArray given = QFile::encodeName(QFileInfo(folder).absoluteFilePath());
    // The path is walked one name at a time from "/", as the kernel walks it,
    // and every folder passed through is looked at itself (lstat): whoever
    // may change one of them may replace everything below it. A symbolic link
    // on the way is followed only when root owns it, since a link's owner
    // decides where it points and may change that at any time.
    QList<QByteArray> names = given.split('/');
    QByteArray current("/");
    struct stat status {};
    if (::lstat("/", &status) != 0) {
        *reason = describe(current, "cannot be examined");
        return false;
    }
    if (!checkFolder(current, status, reason))
        return false;
    int linksFollowed = 0;
    while (!names.isEmpty()) {
        const QByteArray name = names.takeFirst();
        if (name.isEmpty() || name == ".")
            continue;
        if (name == "..") {
            current = parentOf(current);
            continue;
        }
        const QByteArray step = current == "/" ? current + name : current + '/' + name;
        if (::lstat(step.constData(), &status) != 0) {
            *reason = describe(step, errno == ENOENT ? "does not exist" : "cannot be examined");
            return false;
        }
        if (S_ISLNK(status.st_mode)) {
            char target[PATH_MAX];
            const ssize_t size = ::readlink(step.constData(), target, sizeof target);
            if (status.st_uid != 0) {
                *reason = describe(step, "is a symbolic link of another user than root");
                return false;
            }
            if (size <= 0 || size == ssize_t(sizeof target) || ++linksFollowed > 40) {
                *reason = describe(step, "cannot be followed");
                return false;
            }
            const QByteArray pointed(target, size);
            if (pointed.startsWith('/'))
                current = "/";
            names = pointed.split('/') + names;
            continue;
        }
        if (!checkFolder(step, status, reason))
            return false;
        current = step;
    }
    return true;
}

bool isTrustedFile(const QString &path, QString *reason)
{
    if (!isEnforced())
        return true;
    const QByteArray encoded = QFile::encodeName(path);
    const TrustedOpen::Rule rule = trustedContentRule();
    struct statx status {};
    if (::statx(AT_FDCWD, encoded.constData(), AT_SYMLINK_NOFOLLOW,
                TrustedOpen::statxMask(rule) | STATX_TYPE, &status) != 0) {
        *reason = describe(encoded, "cannot be examined");
        return false;
    }
    *reason = describeRefusal(encoded, TrustedOpen::check(status, rule), 0, 0);
    return reason->isEmpty() && isTrustedFolder(QFile::decodeName(parentOf(encoded)), reason);
}

int openTrustedFile(const QString &path, int *folder, QString *reason, bool *distrusted)
{
    *folder = -1;
    *distrusted = false;
    const QByteArray encoded = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    const QByteArray parent = parentOf(encoded);
    const int held = ::open(parent.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (held < 0) {
        *reason = describe(parent, errno == ENOENT ? "does not exist" : "cannot be examined");
        return -1;
    }
    // Opened before it is judged, and still reached by its path afterwards:
    // what was judged is what is held.
    struct stat opened {}, reached {};
    if (!isTrustedFolder(QFile::decodeName(parent), reason) || ::fstat(held, &opened) != 0
        || ::stat(parent.constData(), &reached) != 0 || opened.st_dev != reached.st_dev
        || opened.st_ino != reached.st_ino) {
        if (reason->isEmpty())
            *reason = describe(parent, "changed while it was judged");
        *distrusted = true;
        ::close(held);
        return -1;
    }
    TrustedOpen::Refusal refusal;
    const QByteArray name = encoded.mid(encoded.lastIndexOf('/') + 1);
    const int fd = TrustedOpen::open(held, name.constData(), trustedContentRule(), &refusal);
    if (fd < 0) {
        *reason = describeRefusal(encoded, refusal, 0, errno);
        *distrusted = isDistrust(refusal);
        ::close(held);
        return -1;
    }
    *folder = held;
    return fd;
}

int openRegularFile(const QString &path, qint64 maxSize, bool trustContent, QString *reason,
                    bool *distrusted)
{
    const QByteArray encoded = QFile::encodeName(path);
    const bool trust = trustContent && isEnforced();
    TrustedOpen::Rule rule = trust ? trustedContentRule() : TrustedOpen::Rule();
    rule.links = trust ? TrustedOpen::Links::Refused : TrustedOpen::Links::Followed;
    rule.regularOnly = true;
    rule.maxSize = maxSize;
    TrustedOpen::Refusal refusal;
    int fd = TrustedOpen::open(AT_FDCWD, encoded.constData(), rule, &refusal);
    *reason = describeRefusal(encoded, refusal, maxSize, errno);
    bool refused = isDistrust(refusal);
    if (fd >= 0 && trust && !isTrustedFolder(QFile::decodeName(parentOf(encoded)), reason)) {
        ::close(fd);
        fd = -1;
        refused = true;
    }
    if (distrusted)
        *distrusted = refused;
    return fd;
}

bool readRegularFile(const QString &path, qint64 maxSize, bool trustContent,
                     QByteArray *content, QString *reason)
{
    const int fd = openRegularFile(path, maxSize, trustContent, reason);
    if (fd < 0)
        return false;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *reason = describe(QFile::encodeName(path), "cannot be read");
        return false;
    }
    // One byte more than allowed tells a file that grew since the check.
    *content = file.read(maxSize + 1);
    if (content->size() > maxSize) {
        *reason = describe(QFile::encodeName(path), "is larger than ") + QString::number(maxSize)
                + QStringLiteral(" bytes");
        content->clear();
        return false;
    }
    return true;
}

void reportRefusal(const QString &path, const QString &reason)
{
    reportOnce(QStringLiteral("Refused ") + printable(path) + QStringLiteral(": ") + reason);
}

void reportOnce(const QString &message)
{
    RefusalReporter reporter;
    {
        RefusalState &state = refusalState();
        const QMutexLocker lock(&state.mutex);
        if (state.reported.contains(message))
            return;
        // Before the reporter is set (logging not yet set up), the message
        // is shown but counts as not yet reported.
        if (state.reporter)
            state.reported.insert(message);
        reporter = state.reporter;
    }
    qCritical().noquote() << message;
    if (reporter)
        reporter(message);
}

void setRefusalReporter(RefusalReporter reporter)
{
    RefusalState &state = refusalState();
    const QMutexLocker lock(&state.mutex);
    state.reporter = std::move(reporter);
}

} // namespace PathTrust
