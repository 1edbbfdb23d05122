#ifndef SERVICESTAGE_H
#define SERVICESTAGE_H

// What the framework's tests share: the scripted test service staged in a
// private mount namespace with its own system log, a daemon of it launched
// as an admin does, and clients at its control socket. The test classes
// derive from it; it has no slots, as Qt Test would run them in each.

#include "controlsocket.h"
#include "unixaddress.h"
#include "testsupport.h"

#include <sys/wait.h>

class ServiceStage
{
protected:
    static inline const QString name = u"QtService Test"_s;

    // "start <pid> umask=... args=..." and the events after it.
    static QStringList events(const QString &path)
    {
        return QString::fromUtf8(ts::readFile(path)).split(u'\n', Qt::SkipEmptyParts);
    }

    // Sends bytes and reads replies until want bytes came, the daemon closed the
    // connection (then closed, if given, is set), or nothing came for a second.
    static QByteArray exchange(const QByteArray &bytes, qsizetype want, bool *closed = nullptr)
    {
        sockaddr_un address;
        socklen_t length;
        const int fd = openUnixSocket(SOCK_STREAM, socketPath, &address, &length);
        const timeval second{ 1, 0 };
        // A small send buffer: the daemon then reads the requests in small pieces.
        const int sendBuffer = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
        QByteArray reply;
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), length) == 0) {
            for (qsizetype sent = 0, n = 0; sent < bytes.size(); sent += n) {
                if ((n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL)) <= 0)
                    break;
            }
            char buffer[65536];
            ssize_t n = 1;
            while (reply.size() < want && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
                reply.append(buffer, n);
            if (closed)
                *closed = n == 0 || (n < 0 && errno != EAGAIN);
        }
        ::close(fd);
        return reply;
    }

    // A child process of user uid's that dies with the test; 0 in the child.
    static pid_t forkAs(uid_t uid)
    {
        const pid_t child = ::fork();
        if (child == 0 && (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0))
            ::_exit(1);
        return child;
    }

    static void reap(pid_t child)
    {
        if (child > 0 && ::kill(child, SIGKILL) == 0)
            ::waitpid(child, nullptr, 0);
    }

    // A process of user nobody's at the control socket, in place of the
    // daemon: it answers "true" to every command and never ends on one; or,
    // silent, it accepts and reads and never answers anything.
    static pid_t fakeDaemon(const QString &path, bool silent = false)
    {
        sockaddr_un address;
        socklen_t length;
        const int fd = openUnixSocket(SOCK_STREAM, path, &address, &length);
        const pid_t child = forkAs(65534);
        if (child != 0) {
            ::close(fd);
            return child;
        }
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(fd, 5) != 0)
            ::_exit(1);
        for (;;) {
            const int connection = ::accept(fd, nullptr, nullptr);
            char buffer[1024];
            const ssize_t n = connection < 0 ? 0 : ::recv(connection, buffer, sizeof buffer, 0);
            if (silent)
                continue; // the connection stays open, unanswered
            for (int i = 0; i + 1 < n; ++i) {
                if (buffer[i] == '\r' && buffer[i + 1] == '\n')
                    ::send(connection, "true", 4, MSG_NOSIGNAL);
            }
            ::close(connection);
        }
    }

    // Enters the private namespaces and stages the service, or fails the case.
    void prepareStage()
    {
        const QString problem = ts::enterPrivateNamespace();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QVERIFY(devLog.bind());
        stage = std::make_unique<ts::Installation>(QStringLiteral(TESTSERVICE_PATH));
        QVERIFY(stage->valid);
        eventsPath = stage->path(u"events"_s);
        stage->env.insert(u"TESTSERVICE_NAME"_s, name);
        stage->env.insert(u"TESTSERVICE_EVENTS"_s, eventsPath);
        stage->env.insert(u"TESTSERVICE_REGISTRY"_s, stage->path(u"registry"_s));
        // User nobody runs the staged service too, with a runtime folder for its lock.
        const QString runtime = stage->path(u"nobody-run"_s);
        QVERIFY(QDir().mkpath(runtime) && ::chown(QFile::encodeName(runtime).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(stage->root.path()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(stage->bin).constData(), 0755) == 0);
    }

    // Launches the daemon as an admin does, without option; its pid, 0 on failure.
    qint64 startDaemon(int flags, const QByteArray &log = {}, bool asNobody = false)
    {
        stage->env.insert(u"TESTSERVICE_FLAGS"_s, QString::number(flags));
        log.isEmpty() ? stage->env.remove(u"TESTSERVICE_LOG"_s) : stage->env.insert(u"TESTSERVICE_LOG"_s, u"1"_s);
        // A longer record of a daemon long gone: the new pid replaces all of it.
        if (!asNobody && !ts::writeFile(lockPath, "4194304999999\n"))
            return 0;
        QProcessEnvironment env = stage->env;
        QStringList command{ stage->executable, u"extra"_s };
        if (asNobody) {
            ts::writeFile(eventsPath, {});
            ::chmod(QFile::encodeName(eventsPath).constData(), 0666);
            env.insert(u"XDG_RUNTIME_DIR"_s, stage->path(u"nobody-run"_s));
            command = QStringList{ u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s } + command;
        }
        const QString program = asNobody ? u"setpriv"_s : command.takeFirst();
        if (ts::Child(program, command, env).finish().exitCode != 0
            || !QTest::qWaitFor([&] { return !events(eventsPath).isEmpty() && ts::modeOf(socketPath); }, ts::waitMs))
            return 0;
        // Files of the daemon are its group's to read and nobody else's; every
        // local user may control it.
        const QString start = events(eventsPath).constFirst();
        const qint64 pid = start.section(u' ', 1, 1).toLongLong();
        if (!start.endsWith(u" umask=027 args="_s + stage->executable + u"|extra"_s) || ts::modeOf(socketPath) != (S_IFSOCK | 0666)
            || (!asNobody && ts::readFile(lockPath) != QByteArray::number(pid) + '\n'))
            return 0;
        return pid;
    }

    // After every test: no daemon, fake daemon, events or socket file is left.
    void clearStage()
    {
        reap(std::exchange(fake, 0));
        stage->killAll();
        QFile::remove(eventsPath);
        ::unlink(QFile::encodeName(socketPath));
        ::rmdir(QFile::encodeName(socketPath));
    }

    std::unique_ptr<ts::Installation> stage;
    ts::DevLog devLog;
    QString eventsPath;
    static inline const QString socketPath = u"/var/tmp/qtservicetest.qtservice"_s;
    // Where root's daemon of the test service records its pid (the test's /run).
    const QString lockPath = u"/run/qtservicetest.qtservice.lock"_s;
    pid_t fake = 0;
};

#endif // SERVICESTAGE_H
