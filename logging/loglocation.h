#ifndef LOGLOCATION_H
#define LOGLOCATION_H

#include <QString>

// Where a root process may put log files named in a settings file that other
// users can write: inside the resource folder's tree, or in a folder under
// /var/log that exists already. Anywhere goes when the settings file is
// root's alone (the admin chose it). The folder is judged by where it really
// is, links resolved, so a link in a folder of the tree cannot point
// elsewhere; the part still to be created must be reachable through trusted
// folders only. Running as another user, every location is allowed.
//
// True with *creationMode, how the folder may be made when it is missing:
// logFolderMode inside the resource folder (every program of the
// installation logs there), createdFolderMode elsewhere (root never makes a
// public folder outside the resource folder), noFolderCreation under /var/log
// on the word of a file others can write. False with the reason when
// location is refused.
bool isAllowedLogLocation(const QString &location, const QString &settingsFile,
                          QString *reason, int *creationMode);

#endif // LOGLOCATION_H
