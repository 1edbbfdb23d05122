#ifndef QTSERVICESYSPRIVATE_H
#define QTSERVICESYSPRIVATE_H

#include "qtservicebase.h"
#include "qtunixserversocket.h"

#include <QByteArray>
#include <QHash>

class QTcpSocket;

// The daemon side of the control socket: reads command lines from every
// connection and calls the matching operation of the running service, one
// command at a time, replying "true" or "false" to each.
class QtServiceSysPrivate : public QtUnixServerSocket
{
    Q_OBJECT
public:
    QtServiceSysPrivate();
    ~QtServiceSysPrivate() override;

    // Input without CR LF beyond this is no command; the connection that sent
    // it is closed after the replies already due.
    static constexpr qsizetype maxPendingInput = 4096;

    QByteArray ident;  // system-log identifier, made on first use
    QtServiceBase::ServiceFlags serviceFlags;

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private Q_SLOTS:
    void slotReady();
    void slotClosed();

private:
    QString nextCommand(QTcpSocket *connection);
    bool perform(const QString &command);

    QHash<QTcpSocket *, QByteArray> pendingInput;
};

#endif // QTSERVICESYSPRIVATE_H
