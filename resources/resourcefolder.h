#ifndef RESOURCEFOLDER_H
#define RESOURCEFOLDER_H

#include <QDir>
#include <QString>

// The installation keeps its shared files (settings, version files, logs) in
// one resource folder that the manager, the workers and the watchdog agree on.
// It is recorded as "resources" in "resources.ini" beside the executable or
// in the installation's system-scope store.

// Where the resource folder is: the configured location, else the default
// folder. Neither is tested for existence nor created. The configured
// location is "resources" in "resources.ini" beside the executable, else in
// the system-scope store; an empty value in "resources.ini" does not hide the
// system-wide one.
QString resourceFolderPath();

// The "Logs" subfolder of the resource folder; created with its parents when
// create is true and it is missing.
QDir logsFolder(bool create);

// Records path as the resource folder in the system-scope store; a failed
// write is reported like one of the settings file.
void storeResourceFolder(const QString &path);

// The folder used when nothing is configured.
inline constexpr char defaultResourceFolder[] = "/var/local/share/SolvaneNetworkResources/";

#endif // RESOURCEFOLDER_H
