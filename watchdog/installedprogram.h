#ifndef INSTALLEDPROGRAM_H
#define INSTALLEDPROGRAM_H

#include <QObject>
#include <QString>

#include <sys/types.h>

class QFileSystemWatcher;
class QProcess;

// The program file the watchdog runs from, as installed now. A package
// upgrade puts a new file in its place while the running watchdog goes on
// with the old one (so that no render is aborted); the new program takes over
// at the next start. This notices the replacement from the folder's change
// notifications (no polling) and asks the new program its version
// (`--version`, in a process of its own, never waited for), so that the
// watchdog can say that a restart is pending and what it would bring.
class InstalledProgram : public QObject
{
    Q_OBJECT

public:
    // path: the file this process was started from, resolved.
    explicit InstalledProgram(const QString &path, QObject *parent = nullptr);
    ~InstalledProgram() override;

    // Looks again now, as on every change in the program's folder.
    void check();

    // Whether another file than the running program is installed at the path.
    bool isReplaced() const { return replaced; }
    // What the installed program says its version is; empty while it has not
    // told (still asked, no answer, or refused).
    QString version() const { return installedVersion; }

Q_SIGNALS:
    // isReplaced() or version() changed.
    void changed();

private:
    void ask();
    void onAnswered();
    void settle(bool isReplaced, const QString &version);

    const QString path;
    dev_t runningDevice = 0;
    ino_t runningInode = 0;
    bool replaced = false;
    QString installedVersion;
    QFileSystemWatcher *watcher = nullptr;
    QProcess *asking = nullptr;
    QByteArray answer;
};

#endif // INSTALLEDPROGRAM_H
