#include "storestatus.h"

#include <QDebug>
#include <QSettings>

void reportStoreStatus(const QSettings &store)
{
    const QSettings::Status status = store.status();
    if (status == QSettings::NoError)
        return;
    qCritical() << "Failed to write config file:" << store.fileName();
    switch (status) {
    case QSettings::AccessError:
        qCritical() << "File access error!";
        break;
    case QSettings::FormatError:
        qCritical() << "Format error!";
        break;
    default:
        qCritical() << "Unknown error!";
        break;
    }
}
