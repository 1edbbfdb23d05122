#include "settingsstorage.h"

#include "resourcefolder.h"

#include <QDir>

QString settingsFilePath()
{
    return QDir(resourceFolderPath()).absoluteFilePath(QStringLiteral("settings.conf"));
}
