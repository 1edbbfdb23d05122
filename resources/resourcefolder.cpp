#include "resourcefolder.h"

#include "settingsstorage.h"

#include <QDebug>

QString resourceFolderPath()
{
    const QString configured = configuredResourceFolder();
    if (!configured.isEmpty())
        return configured;
    return QString::fromLatin1(defaultResourceFolder);
}

QDir logsFolder(bool create)
{
    const QString path = QDir(resourceFolderPath()).filePath(QStringLiteral("Logs"));
    return create ? ensureFolder(QDir(path)) : QDir(path);
}

QDir ensureFolder(const QDir &folder)
{
    if (!folder.exists()) {
        qDebug() << "Creating folder:" << folder.absolutePath();
        // Whether it worked is the caller's to find out: it looks at the
        // folder again and reports in its own terms.
        QDir().mkpath(folder.absolutePath());
    }
    return folder;
}
