#ifndef DEADLINEPOLL_H
#define DEADLINEPOLL_H

#include <QDeadlineTimer>

// Waits until fd shows one of events (POLLIN, POLLOUT) or the deadline
// passes; a signal does not cut the wait short. True once fd is ready (an
// error or hang-up counts: the next call on it tells which).
bool pollUntil(int fd, short events, const QDeadlineTimer &deadline);

// Sleeps for ms, or until the deadline if that comes first.
void pauseWithin(int ms, const QDeadlineTimer &deadline);

#endif // DEADLINEPOLL_H
