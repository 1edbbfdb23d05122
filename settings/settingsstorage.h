#ifndef SETTINGSSTORAGE_H
#define SETTINGSSTORAGE_H

#include "rendersettings.h"

#include <QFileDevice>
#include <QString>

#include <memory>

class QSettings;

// Where the shared settings live: "settings.conf" inside the resource folder,
// in the toolkit's native format (INI text on Linux). The resource folder
// itself is recorded in "resources.ini" beside the executable or in the
// installation's system-scope store.

// Absolute path of "settings.conf" in the resource folder.
QString settingsFilePath();

// The store on settingsFilePath(), without a parent. A missing file reads as
// an empty store.
std::unique_ptr<QSettings> openSettings();

bool settingsFileExists();

// The resource folder as configured: "resources" in "resources.ini" beside
// the executable, else in the system-scope store of the installation; empty
// when neither names one. An empty value in "resources.ini" does not hide the
// system-wide one.
QString configuredResourceFolder();

// Records path as the resource folder in the system-scope store; a failed
// write is reported like one of the settings file.
void storeResourceFolder(const QString &path);

// Whether storeResourceFolder() can write the system-scope store.
bool isResourceSettingsWritable();

// Emits two critical messages when the store's last access failed (the file
// name, then what went wrong); nothing when it succeeded.
void reportStoreStatus(const QSettings &store);

// The permissions of the shared settings file after a write: read and write
// for everyone (rw-rw-rw-).
QFileDevice::Permissions allReadWritePermissions();

// The settings of a user's INI file: a file whose suffix is "ini" (any case)
// and whose first non-blank line holds a "[", such as a section header.
// Anything else, or a file that cannot be read, gives a default-constructed
// record and sets *ok (when given) to false. Reading migrates legacy entries
// of the file as readSettings() does.
RenderSettings loadSettingsFromIniFile(const QString &path, bool *ok = nullptr);

#endif // SETTINGSSTORAGE_H
