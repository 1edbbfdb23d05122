#ifndef RESOURCEFOLDER_H
#define RESOURCEFOLDER_H

#include <QDir>
#include <QString>

// The installation keeps its shared files (settings, version files, logs) in
// one resource folder that the manager, the workers and the watchdog agree on.

// Where the resource folder is: the configured location, else the default
// folder. Neither is tested for existence nor created.
QString resourceFolderPath();

// The "Logs" subfolder of the resource folder; created with its parents when
// create is true and it is missing.
QDir logsFolder(bool create);

// A copy of folder, created first (with its parents) when it is missing.
QDir ensureFolder(const QDir &folder);

// The folder used when nothing is configured.
inline constexpr char defaultResourceFolder[] = "/var/local/share/SolvaneNetworkResources/";

#endif // RESOURCEFOLDER_H
