#ifndef SETTINGSMIGRATION_H
#define SETTINGSMIGRATION_H

#include <QString>

class QSettings;

// Moving legacy entries of a settings store to their current names; the
// store writes such changes to its file when it is synced or destroyed.

// Inside the store's current group: moves the value of legacyKey to key,
// replacing key's value, when legacyKey is present.
void migrateKey(QSettings &store, const QString &legacyKey, const QString &key);

// Moves every key below the top-level group legacyGroup into group, replacing
// same-named keys there and keeping the others of group.
void migrateGroup(QSettings &store, const QString &legacyGroup, const QString &group);

#endif // SETTINGSMIGRATION_H
