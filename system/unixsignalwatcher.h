#ifndef UNIXSIGNALWATCHER_H
#define UNIXSIGNALWATCHER_H

#include <QObject>

#include <csignal>
#include <initializer_list>
#include <vector>

class QSocketNotifier;

// Turns Unix signals into a Qt signal delivered by the event loop. The
// handler only writes the signal number into one end of a socket pair (write
// is async-signal-safe); a socket notifier on the other end emits
// signalReceived() from the loop, where anything may be done. The previous
// dispositions come back when the watcher is destroyed, unless asked to
// leave the signals ignored. One watcher per
// process at a time.
class UnixSignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    ~UnixSignalWatcher() override;

    bool isValid() const { return notifier != nullptr; }
    // The destructor then leaves the signals ignored instead of giving back
    // the previous dispositions: a process that has stopped and only cleans
    // up is never without a handler for them, not even for an instant.
    void ignoreWhenDestroyed();

Q_SIGNALS:
    void signalReceived(int signalNumber);

private Q_SLOTS:
    void readSignals();

private:
    struct Installed {
        int signalNumber;
        struct sigaction previous;
    };
    std::vector<Installed> installed;
    QSocketNotifier *notifier = nullptr;
};

#endif // UNIXSIGNALWATCHER_H
