#include "processlist.h"

#include <QByteArray>

#include <dirent.h>
#include <memory>

QList<pid_t> processIds()
{
    QList<pid_t> ids;
    const std::unique_ptr<DIR, int (*)(DIR *)> processes(::opendir("/proc"), ::closedir);
    while (processes) {
        const dirent *entry = ::readdir(processes.get());
        if (!entry)
            break;
        bool number = false;
        const pid_t pid = pid_t(QByteArray(entry->d_name).toInt(&number));
        if (number && pid > 0)
            ids.append(pid);
    }
    return ids;
}
