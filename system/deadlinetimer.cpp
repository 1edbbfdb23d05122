#include "deadlinetimer.h"

#include <QDebug>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr qint64 nsPerSecond = 1000000000;

qint64 monotonicNs()
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * nsPerSecond + now.tv_nsec;
}

} // namespace

DeadlineTimer::DeadlineTimer(std::function<void()> onExpiry, QObject *parent)
    : QObject(parent), expiry(std::move(onExpiry)),
      fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    if (fd < 0) {
        qWarning() << "Cannot create a timer descriptor, restart delays may be late:" << std::strerror(errno);
        return;
    }
    notifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &DeadlineTimer::onActivated);
}

DeadlineTimer::~DeadlineTimer()
{
    delete notifier;
    if (fd >= 0)
        ::close(fd);
}

void DeadlineTimer::start(int delayMs)
{
    if (fd < 0) {
        QTimer::singleShot(delayMs, Qt::PreciseTimer, this, [this] { expiry(); });
        return;
    }
    const qint64 deadline = monotonicNs() + qint64(delayMs) * 1000000;
    // Kept in descending order: the earliest deadline is the last element.
    deadlines.insert(std::upper_bound(deadlines.begin(), deadlines.end(), deadline, std::greater<qint64>()), deadline);
    if (!arm())
        fallBack();
}

void DeadlineTimer::fallBack()
{
    const qint64 now = monotonicNs();
    for (const qint64 deadline : std::as_const(deadlines)) {
        const int delayMs = int(std::max<qint64>(deadline - now, 0) / 1000000);
        QTimer::singleShot(delayMs, Qt::PreciseTimer, this, [this] { expiry(); });
    }
    deadlines.clear();
}

bool DeadlineTimer::arm()
{
    itimerspec when{};
    if (!deadlines.empty()) {
        // A zero value would disarm the timer: a deadline at the epoch of
        // the clock is one nanosecond later.
        const qint64 deadline = std::max<qint64>(deadlines.back(), 1);
        when.it_value.tv_sec = time_t(deadline / nsPerSecond);
        when.it_value.tv_nsec = long(deadline % nsPerSecond);
    }
    if (::timerfd_settime(fd, TFD_TIMER_ABSTIME, &when, nullptr) == 0)
        return true;
    qWarning() << "Cannot arm the timer descriptor:" << std::strerror(errno);
    return false;
}

void DeadlineTimer::onActivated()
{
    quint64 expirations = 0;
    if (::read(fd, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
        qWarning() << "Cannot read the timer descriptor:" << std::strerror(errno);
    // Every deadline that has passed is called once, the earliest first; a
    // call may add deadlines of its own.
    const qint64 now = monotonicNs();
    int due = 0;
    while (!deadlines.empty() && deadlines.back() <= now) {
        deadlines.pop_back();
        ++due;
    }
    if (!arm())
        fallBack();
    for (int i = 0; i < due; ++i)
        expiry();
}
