#include "sgpuinfo.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

namespace {

const char defaultDriverFolder[] = "/proc/driver/nvidia/gpus";

// The driver's information files are a dozen short lines; anything beyond
// this is not one of them.
const qint64 maxInformationSize = 64 * 1024;

QMutex folderMutex;
QString folderOverride;

} // namespace

SGpuInfo::SGpuInfo()
    : m_folder(driverFolder())
{
}

QStringList SGpuInfo::validDevices() const
{
    const QDir folder(m_folder);
    // Bus locations are fixed-width hexadecimal, so name order is bus order.
    const QStringList cards = folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    QStringList devices;
    for (const QString &card : cards) {
        const QString model = deviceModel(folder.filePath(card + QStringLiteral("/information")));
        if (!model.isEmpty())
            devices.append(model);
    }
    return devices;
}

void SGpuInfo::setDriverFolder(const QString &path)
{
    const QMutexLocker lock(&folderMutex);
    folderOverride = path;
}

QString SGpuInfo::driverFolder()
{
    const QMutexLocker lock(&folderMutex);
    return folderOverride.isEmpty() ? QString::fromLatin1(defaultDriverFolder) : folderOverride;
}

// The card's model name, or an empty string when the card cannot be used:
// no readable information, no model line, or excluded by the driver.
QString SGpuInfo::deviceModel(const QString &informationPath)
{
    QFile file(informationPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray content = file.read(maxInformationSize);
    QString model;
    for (const QByteArray &line : content.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "Model")
            model = QString::fromUtf8(value);
        else if (name == "GPU Excluded" && value.compare("Yes", Qt::CaseInsensitive) == 0)
            return QString();
    }
    return model;
}
