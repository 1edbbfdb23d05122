#ifndef SETTINGSREPORT_H
#define SETTINGSREPORT_H

#include <QList>
#include <QStringList>

class QSettings;

// Readable blocks of the shared settings on the info log, one message per
// line in the default category, so that they end wherever the installed
// message handler sends them. Each report reads the record afresh from store,
// which may migrate legacy entries of the store.

// The common, worker and CPU/GPU settings.
void logWorkerSettingsReport(QSettings &store);

// The names of the GPU devices at indices, in the order given, repetitions
// included; an index that names no usable device of this machine is skipped.
QStringList gpuDeviceNames(const QList<int> &indices);

#endif // SETTINGSREPORT_H
