#ifndef ATOMICFILE_H
#define ATOMICFILE_H

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

// A small file that readers only ever see whole: every write makes a new file
// beside it under a name of its own and renames that over the file's name.
// Meant for state files others read (the status file, the metrics for the
// node exporter), in folders that may belong to another user: the folder is
// opened without following a link at its name and held by a descriptor
// (opened again when its path no longer leads to it), the new file is made
// with O_EXCL | O_NOFOLLOW, so nothing another user put in the folder is
// opened or followed, and whatever stands at the file's name is renamed
// over, never opened. Nothing here blocks on a file of another user's.
// The file gets mode 0644, whatever the umask: its readers are other users.
// A new file that a run killed before its rename left behind is removed by
// the first write of the next run.
class AtomicFile
{
public:
    AtomicFile(const QString &folder, const QString &fileName);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    // Replaces the file's content with content. False with error() when the
    // folder cannot be opened or the file not be made; the next write tries
    // again from the start.
    bool write(const QByteArray &content);

    QString path() const { return folderPath + QLatin1Char('/') + name; }
    QString error() const { return errorText; }

private:
    bool holdFolder();
    void releaseFolder();
    void removeLeftovers();
    QByteArray temporaryPrefix() const;
    int createTemporary(QByteArray *temporaryName);
    bool fail(const QString &what);

    const QString folderPath;
    const QString name;
    int folderFd = -1;
    struct stat held {};
    bool leftoversRemoved = false;
    QString errorText;
};

#endif // ATOMICFILE_H
