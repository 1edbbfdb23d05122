#ifndef SYSTEMDNOTIFIER_H
#define SYSTEMDNOTIFIER_H

#include <QObject>
#include <QString>

#include <memory>

class SystemdNotifierPrivate;

// Tells systemd about the life of a daemon started by a unit of Type=notify:
// ready once it is set up, stopping when a stop begins, a status line, and
// the liveness pings WatchdogSec= expects, sent from the event loop so that a
// hung loop stops them. Speaks the datagram protocol of sd_notify(3) to the
// socket named by NOTIFY_SOCKET; without that variable (not started by
// systemd) every call does nothing. The protocol is spoken here rather than
// through libsystemd's sd_notify(), which sends blocking: a systemd that does
// not read its queue must not stop the event loop. This never waits.
//
// The daemon owns one notifier for its run; the service reaches it through
// the static functions.
class SystemdNotifier : public QObject
{
    Q_OBJECT

public:
    // Takes NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID out of the
    // environment, so that the programs the daemon starts do not speak for it.
    explicit SystemdNotifier(QObject *parent = nullptr);
    ~SystemdNotifier() override;

    void notifyReady();

    // Tell systemd through the running daemon's notifier, if any, that a
    // stop has begun, or what the daemon is doing.
    static void notifyStopping();
    static void setStatus(const QString &text);

private:
    bool send(const QByteArray &state) const;
    void ping() const;

    std::unique_ptr<SystemdNotifierPrivate> d;
};

#endif // SYSTEMDNOTIFIER_H
