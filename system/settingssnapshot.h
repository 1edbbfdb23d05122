#ifndef SETTINGSSNAPSHOT_H
#define SETTINGSSNAPSHOT_H

#include <QString>

#include <memory>

class QSettings;
class QTemporaryDir;

// A private, read-only view of a settings file that other users can write.
//
// The file is read once (only a regular file, never blocking on a pipe,
// at most maxFileSize bytes) and checked before the toolkit parses anything:
// stored values nested deeper than the toolkit's parser can take without
// running out of stack are refused. What passes is parsed from a private copy,
// so changes made through store() (the migration of legacy entries) stay in
// memory and the file, its owner and its mode are never touched.
class SettingsSnapshot
{
public:
    static constexpr qint64 maxFileSize = 1024 * 1024;

    // The snapshot of path. A missing file gives an empty store and no error;
    // a refused or unreadable file gives an empty store (every value at its
    // default) and sets *error to one line naming the file and why.
    static std::unique_ptr<SettingsSnapshot> take(const QString &path, QString *error);

    ~SettingsSnapshot();

    QSettings &store();

private:
    SettingsSnapshot() = default;
    Q_DISABLE_COPY_MOVE(SettingsSnapshot)

    std::unique_ptr<QTemporaryDir> copyFolder;
    std::unique_ptr<QSettings> settings;
};

#endif // SETTINGSSNAPSHOT_H
