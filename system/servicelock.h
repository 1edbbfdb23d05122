#ifndef SERVICELOCK_H
#define SERVICELOCK_H

#include <QString>

#include <sys/stat.h>
#include <sys/types.h>

// The one-daemon-per-name lock of a service: an exclusive open file
// description lock (F_OFD_SETLK) on a file whose holder is the one process of
// that name that may start workers and own the control socket. The name must
// be fit for a file name (the framework passes its sanitized service name).
// The lock lives as long as the object, which every start path keeps for the
// whole life of its process; the kernel releases it when the process ends,
// however it ends.
//
// As root the file lies in /run, which only root may write, so that no other
// user can create, replace or hold it; otherwise in the user's own runtime
// folder. The file is readable by its owner only: any process that may open
// it may also hold a lock on it.
class ServiceLock
{
public:
    explicit ServiceLock(const QString &name);
    ~ServiceLock();
    ServiceLock(const ServiceLock &) = delete;
    ServiceLock &operator=(const ServiceLock &) = delete;

    enum class State { Free, Held, Unknown };

    // Takes the lock and records this process's pid in it. False when another
    // process holds it (holderPid() then names it) or the file cannot be
    // opened (error() says why).
    bool acquire();
    bool isHeld() const { return fd >= 0; }

    // Whether some process holds the lock of name, root's or this user's
    // own, without taking it; Unknown when this process may not open the file
    // (root's, to another user). holder receives the recorded pid, 0 when
    // none is recorded.
    static State probe(const QString &name, pid_t *holder = nullptr);

    // The process holding the lock that probe() sees: the recorded pid, or,
    // where none could be recorded, the process found holding the file. 0
    // when none is held or the holder cannot be found.
    static pid_t findHolder(const QString &name);

    // Whether process pid holds a lock of name, root's or any user's, as its
    // open files show; Unknown when this user may not look at them.
    static State heldBy(const QString &name, pid_t pid);

    // Whether the process pid of user uid, found listening on the control
    // socket of the service, is a daemon of the service: a holder of its
    // lock, or a process of root's where neither root's lock nor the
    // process can be looked at. Anyone else at the socket is a stranger whose
    // replies prove nothing.
    static bool isDaemon(const QString &name, pid_t pid, uid_t uid);

    static QString pathFor(const QString &name);

    // The folder of this user's run-time files of a service, where its lock
    // lies: rootRuntimeFolder as root, else the user's runtime folder.
    static QString runtimeFolder();
    // The same folder for a caller that only looks: never made, and empty
    // for a user whose session names none (cron, monitoring agents).
    static QString sessionRuntimeFolder();
    static constexpr char rootRuntimeFolder[] = "/run";

    pid_t holderPid() const { return holder; }
    QString error() const { return errorText; }
    QString path() const { return filePath; }

private:
    static State probeFile(const QString &name, pid_t *holder, struct stat *file);

    const QString filePath;
    int fd = -1;
    pid_t holder = 0;
    QString errorText;
};

#endif // SERVICELOCK_H
