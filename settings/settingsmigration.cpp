#include "settingsmigration.h"

#include <QMap>
#include <QSettings>
#include <QVariant>

void migrateKey(QSettings &store, const QString &legacyKey, const QString &key)
{
    if (!store.contains(legacyKey))
        return;
    const QVariant value = store.value(legacyKey);
    store.remove(legacyKey);
    store.setValue(key, value);
}

void migrateGroup(QSettings &store, const QString &legacyGroup, const QString &group)
{
    QMap<QString, QVariant> values;
    store.beginGroup(legacyGroup);
    const QStringList keys = store.allKeys();
    for (const QString &key : keys) {
        // A line without a key name cannot be read or written; it is dropped
        // with the group, or the legacy group would outlive the migration.
        if (!key.isEmpty())
            values.insert(key, store.value(key));
    }
    store.remove(QString()); // the whole legacy group
    store.endGroup();

    store.beginGroup(group);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        store.setValue(it.key(), it.value());
    store.endGroup();
}
