#ifndef QTUNIXSERVERSOCKET_H
#define QTUNIXSERVERSOCKET_H

#include <QObject>
#include <QString>

#include <sys/types.h>

class QSocketNotifier;

// A listening stream socket on a Unix-domain path whose connections are
// accepted from the event loop and handed, as non-blocking descriptors, to
// incomingConnection(). An accept that failed for want of descriptors or
// memory pauses accepting for acceptBackOffMs instead of being retried at
// once for as long as the want lasts. The socket file is made accessible to
// every local user and removed by close(), not by the destructor.
class QtUnixServerSocket : public QObject
{
    Q_OBJECT
public:
    explicit QtUnixServerSocket(QObject *parent = nullptr);
    QtUnixServerSocket(const QString &path, QObject *parent = nullptr);
    ~QtUnixServerSocket() override;

    // Listens on path, replacing any file there. False, not listening, when
    // the path does not fit a socket address or the socket cannot be set up.
    bool setPath(const QString &path);
    QString path() const { return socketPath; }
    bool isListening() const { return listenFd >= 0; }

    void close();

    // The pause of accepting after an accept error (no descriptors or
    // memory left).
    static constexpr int acceptBackOffMs = 1000;

protected:
    // Owns the descriptor from here on: keeps it or closes it.
    virtual void incomingConnection(qintptr socketDescriptor);

private:
    void acceptPending();
    void stopListening();
    void resumeAccepting();

    int listenFd = -1;
    QSocketNotifier *notifier = nullptr;
    QString socketPath;
    // The socket file this server created. A second daemon of the same name
    // may have replaced it since; close() then leaves the newer one alone.
    dev_t fileDevice = 0;
    ino_t fileInode = 0;
};

#endif // QTUNIXSERVERSOCKET_H
