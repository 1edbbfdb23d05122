#ifndef LANGUAGEDETECTION_H
#define LANGUAGEDETECTION_H

#include <QString>

// The user interface language of this machine: the one the desktop product
// was set to, else the one of the system locale.

// The detected language, computed on the first call and returned unchanged by
// every later call of the process; concurrent first callers wait for the one
// detection.
QString detectedLanguage();

// Detects afresh: "misc.language" of the desktop product's settings when it
// is installed and names one, else systemLanguageName().
QString detectLanguage();

// The name of the system locale's language, "english" for a language the
// programs do not ship.
QString systemLanguageName();

// The desktop product's "SVSettings.xml" in its installation folder (the
// environment variable "SOLVANE", else "/usr/local/solvane"); empty when
// there is no such file.
QString desktopSettingsFilePath();

#endif // LANGUAGEDETECTION_H
