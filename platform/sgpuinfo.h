#ifndef SGPUINFO_H
#define SGPUINFO_H

#include <QString>
#include <QStringList>

// The GPU devices this machine can render with.
//
// The devices are the ones the NVIDIA driver announces: one folder per card
// under /proc/driver/nvidia/gpus, named by its bus location, each with an
// "information" file whose "Model:" line names the card. A card that the
// driver reports as excluded ("GPU Excluded: Yes") cannot render and is left
// out. The list is in bus order, which is the order the worker numbers its
// devices in; a machine without the driver has none.
//
// Tests control the device list through setDriverFolder(): they point it at a
// folder of their own laid out like the driver's, so that the same parsing
// runs on fake cards. The daemon never calls it.
class SGpuInfo
{
public:
    SGpuInfo();

    QStringList validDevices() const;

    // The folder that plays the role of /proc/driver/nvidia/gpus for every
    // SGpuInfo of the process; an empty path restores the driver's folder.
    static void setDriverFolder(const QString &path);
    static QString driverFolder();

private:
    static QString deviceModel(const QString &informationPath);

    QString m_folder;
};

#endif // SGPUINFO_H
