// The version file in the resource folder may redirect the watchdog to
// another installation of the worker; a failing worker sends it back to the
// default installed one by deleting that file.

#include "service.h"

#include "judgedprogram.h"
#include "pathtrust.h"
#include "printable.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace {

// Nothing longer can name an existing path; a longer line is read only up
// to here and then fails the existence test.
constexpr qint64 maxOverrideLineLength = 64 * 1024;

// Far beyond any real version file, which holds one line.
constexpr qint64 maxVersionFileSize = 1024 * 1024;

const QString workerBinFolder = QStringLiteral("Solvane Worker/bin");

QString firstLine(QFile &file)
{
    QByteArray line = file.readLine(maxOverrideLineLength);
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

} // namespace

std::unique_ptr<QFile> Service::versionFile() const
{
    return std::make_unique<QFile>(dataPath.absoluteFilePath(appName + QStringLiteral(".version")));
}

QString Service::resolveAppPath(JudgedProgram *judged) const
{
    if (judged)
        judged->close();
    qDebug() << "Fallback configuration";
    qDebug() << "\tappPath:" << appPath;
    qDebug() << "\tdatapath:" << dataPath.path();
    qDebug() << "\tappName:" << appName;

    const std::unique_ptr<QFile> file = versionFile();
    qDebug() << "Looking for override:" << file->fileName();
    if (!file->exists()) {
        qDebug() << "There was no override file - will use defaults";
        return appPath;
    }
    // Never blocking on a pipe; as root only a file no other user can
    // change or redirect decides what runs.
    const QString path = file->fileName();
    QString refusal;
    bool distrusted = false;
    const int fd = PathTrust::openRegularFile(path, maxVersionFileSize, true, &refusal, &distrusted);
    if (fd < 0 || !file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        if (distrusted)
            PathTrust::reportRefusal(path, refusal);
        qDebug() << "Could not open the override file";
        return appPath;
    }

    const QString line = firstLine(*file);
    if (line.isEmpty()) {
        qDebug() << "Could not read data from:" << path;
        return appPath;
    }
    qDebug() << "Read override:" << line;

    QString folder = line;
    if (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    QString candidate = folder + QLatin1Char('/') + workerBinFolder + QLatin1Char('/') + appName;
    if (QDir::isRelativePath(candidate))
        candidate = dataPath.path() + QLatin1Char('/') + candidate;
    qDebug() << "Full override path " << candidate;
    if (!overrideExists(candidate))
        return appPath;
    // Judged on what will be executed when it is to be started: the program
    // found by the path a moment later may be another.
    distrusted = true;
    if (judged ? !judged->open(candidate, &refusal, &distrusted) : !PathTrust::isTrustedFile(candidate, &refusal)) {
        if (distrusted)
            PathTrust::reportRefusal(candidate, refusal);
        else
            qCritical() << "The override cannot be examined, the default worker serves:" << refusal;
        return appPath;
    }
    qDebug() << "Setting new AppPath to: " << candidate;
    return candidate;
}

bool Service::overrideExists(const QString &path) const
{
    if (QFileInfo::exists(path))
        return true;
    qDebug() << "Invalid override path: " << path << " does not exist";
    return false;
}

void Service::rollbackVersion(QProcess *process)
{
    const auto isRunning = [](const QProcess *p) { return p && p->state() == QProcess::Running; };
    const WorkerRecord *worker = recordOf(process);
    const QString role = worker ? workerRole(*worker) : QStringLiteral("worker");
    if (isWorker && cpuEnabled && gpuEnabled && (isRunning(cpuProc) || isRunning(gpuProc))) {
        qWarning() << "Not rolling back since both CPU and GPU are enabled and one is still running!";
        logMessage(QStringLiteral("No rollback after the failure of the %1: the other worker still runs")
                       .arg(role),
                   Warning);
        return;
    }
    if (isRunning(process))
        qCritical() << "Rollback on running process - what went wrong?";
    qCritical() << "Will attempt to rollback to previous version";

    const std::unique_ptr<QFile> file = versionFile();
    if (file->exists()) {
        qDebug() << "Rolling back to default installed version";
        if (file->remove()) {
            rollbacks.note(file->fileName());
            logMessage(QStringLiteral("Rolled back to the default installed worker after the failure of the %1: removed %2")
                           .arg(role, printable(file->fileName())),
                       Warning);
        } else {
            qCritical() << "Could not perform rollback!!";
            logMessage(QStringLiteral("Could not roll back to the default installed worker: %1")
                           .arg(file->errorString()),
                       Error);
        }
    } else {
        qCritical() << "Could not perform rollback - already at base version!!";
    }
}

QString Service::overrideInstallation(const QString &program) const
{
    if (program.isEmpty() || program == appPath)
        return QString();
    const QString tail = QLatin1Char('/') + workerBinFolder + QLatin1Char('/') + appName;
    return program.endsWith(tail) ? program.chopped(tail.size()) : program;
}
