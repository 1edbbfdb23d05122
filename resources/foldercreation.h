#ifndef FOLDERCREATION_H
#define FOLDERCREATION_H

#include <QDir>
#include <QString>

// Making the folders of the installation as root, in places where other users
// may be able to rename or replace what lies on the way.

// Modes of the folders created here, whatever the creation mask: missing
// parents and the resource folder are root's alone to change; in a log folder
// every program of the installation adds its own log, and the sticky bit
// keeps each from renaming or deleting another's.
inline constexpr int createdFolderMode = 0755;
inline constexpr int logFolderMode = 01777;

// Mode of "a log folder that must exist already": named by a file others can
// write, outside the resource folder, it is never created.
inline constexpr int noFolderCreation = 0;

// A copy of folder, created first (with its parents) when it is missing: the
// folder itself gets mode, missing parents createdFolderMode.
QDir ensureFolder(const QDir &folder, int mode = createdFolderMode);

// Creates path with every missing parent as ensureFolder() does; true when it
// exists as a folder afterwards. Each new folder is reached through its
// parent's descriptor and never through a symbolic link, so a rename in a
// folder others can write cannot redirect the change of mode; an existing
// folder on the way is reached through a link only when root owns the link.
bool createFolder(const QString &path, int mode);

// Opens name in parent (a folder descriptor, or AT_FDCWD for a path) as a
// folder without following a final symbolic link, unless the link is root's
// (as /var/run) or the process is no root process: a link of another user
// could point anywhere by the time it is used. The descriptor, or -1 with
// errno telling why (ENOENT when nothing is there).
int openFolderAt(int parent, const char *name);

#endif // FOLDERCREATION_H
