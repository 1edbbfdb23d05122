#ifndef PROCESSEND_H
#define PROCESSEND_H

#include <sys/types.h>

// Waits up to timeoutMs for the process pid, which need not be a child, to
// end; true once it has (a zombie has ended). False for a pid of 0 or less.
bool waitForProcessEnd(pid_t pid, int timeoutMs);

#endif // PROCESSEND_H
