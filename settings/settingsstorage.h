#ifndef SETTINGSSTORAGE_H
#define SETTINGSSTORAGE_H

#include <QString>

// Where the shared settings live: "settings.conf" inside the resource folder,
// in the toolkit's native format (INI text on Linux).

// Absolute path of "settings.conf" in the resource folder.
QString settingsFilePath();

#endif // SETTINGSSTORAGE_H
