#include "deadlinepoll.h"

#include <QtGlobal>

#include <cerrno>
#include <poll.h>

namespace {

// poll() takes an int of milliseconds; a forever deadline waits an hour at
// a time.
int timeoutOf(const QDeadlineTimer &deadline)
{
    return int(qBound(qint64(0), deadline.remainingTime(), qint64(60 * 60 * 1000)));
}

} // namespace

bool pollUntil(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd watched = { fd, events, 0 };
        const int result = ::poll(&watched, 1, timeoutOf(deadline));
        if (result > 0)
            return true;
        if (result == 0 ? deadline.hasExpired() : errno != EINTR)
            return false;
    }
}

void pauseWithin(int ms, const QDeadlineTimer &deadline)
{
    ::poll(nullptr, 0, int(qMin<qint64>(ms, timeoutOf(deadline))));
}
