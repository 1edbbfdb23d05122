#ifndef LOGLOCATION_H
#define LOGLOCATION_H

#include <QString>

// Where a root process may put log files named in a settings file that other
// users can write: only inside the resource folder's tree or under /var/log.
// Anywhere goes when the settings file is root's alone (the admin chose it).
// The folder is judged by where it really is, links resolved, so a link in a
// folder of the tree cannot point elsewhere; the part still to be created
// must be reachable through trusted folders only. Running as another user,
// every location is allowed.
//
// False with the reason when location is refused.
bool isAllowedLogLocation(const QString &location, const QString &settingsFile,
                          QString *reason);

#endif // LOGLOCATION_H
