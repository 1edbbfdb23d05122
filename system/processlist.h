#ifndef PROCESSLIST_H
#define PROCESSLIST_H

#include <QList>

#include <sys/types.h>

// The ids of the processes this process can see now (the numeric entries of
// /proc). A snapshot: any of them may have ended by the time it is used.
QList<pid_t> processIds();

#endif // PROCESSLIST_H
