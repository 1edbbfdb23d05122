#ifndef DEADLINETIMER_H
#define DEADLINETIMER_H

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

// Calls a function once for every deadline it was given, on time. A relative
// poll timeout, which QTimer sleeps in, may slip by 0.1% of its length (5 ms
// of a 5 s delay); an absolute deadline on CLOCK_MONOTONIC, armed in a
// timerfd with TFD_TIMER_ABSTIME, fires within microseconds of it. One
// descriptor serves every pending deadline: it is always armed for the
// earliest one. Without a timerfd (the process is out of descriptors) the
// deadlines fall back to precise QTimers, so nothing is ever skipped.
class DeadlineTimer : public QObject
{
    Q_OBJECT

public:
    explicit DeadlineTimer(std::function<void()> onExpiry, QObject *parent = nullptr);
    ~DeadlineTimer() override;

    // Calls the function once, delayMs from now.
    void start(int delayMs);

private:
    void onActivated();
    bool arm();
    // Hands every pending deadline to a precise QTimer.
    void fallBack();

    std::function<void()> expiry;
    std::vector<qint64> deadlines; // nanoseconds of CLOCK_MONOTONIC, earliest last
    int fd = -1;
    QSocketNotifier *notifier = nullptr;
};

#endif // DEADLINETIMER_H
