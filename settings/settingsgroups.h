#ifndef SETTINGSGROUPS_H
#define SETTINGSGROUPS_H

#include <QString>

// The groups of the shared settings file, as reading and writing name them.
inline const QString commonGroup = QStringLiteral("common");
inline const QString managerGroup = QStringLiteral("manager");
inline const QString workerGroup = QStringLiteral("worker");
inline const QString smtpGroup = QStringLiteral("smtp");

#endif // SETTINGSGROUPS_H
