#ifndef WORKERENVIRONMENT_H
#define WORKERENVIRONMENT_H

#include <QProcessEnvironment>

// The watchdog's system environment, which every worker gets. Building it
// parses every variable into a hash; the watchdog's environment hardly ever
// changes, so it is built again only when a variable was set, changed or
// removed since the last time.
const QProcessEnvironment &workerEnvironment();

#endif // WORKERENVIRONMENT_H
