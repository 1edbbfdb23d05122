#include "installedprogram.h"

#include "pathtrust.h"

#include <QDebug>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <sys/stat.h>

namespace {

// A program that prints its version is done within this; one that is not
// is ended, and its version stays unknown.
constexpr int answerTimeoutMs = 5000;
// The first line of "Solvane Render Worker 1.0.0.1" is all that is read.
constexpr qsizetype answerLimit = 256;

// The last word of the answer's first line, when it looks like a version:
// it goes into the status file, systemd's status line and a metric's label.
QString versionIn(const QByteArray &answer)
{
    const QString word = QString::fromLatin1(answer.left(answer.indexOf('\n'))).trimmed().section(u' ', -1);
    static const QRegularExpression versionPattern(QStringLiteral("^[0-9][0-9A-Za-z.+~:-]{0,63}$"));
    return versionPattern.match(word).hasMatch() ? word : QString();
}

} // namespace

InstalledProgram::InstalledProgram(const QString &path, QObject *parent) : QObject(parent), path(path)
{
    struct stat running = {};
    if (::stat(QFile::encodeName(path).constData(), &running) == 0) {
        runningDevice = running.st_dev;
        runningInode = running.st_ino;
    }
    // The package manager unpacks beside the program and renames over it: the
    // folder changes, the running program's own inode does not.
    watcher = new QFileSystemWatcher(this);
    if (!watcher->addPath(QFileInfo(path).path())) {
        qWarning().noquote() << "Cannot watch" << QFileInfo(path).path()
                             << "for upgrades: a pending restart shows only after a reload";
    }
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, &InstalledProgram::check);
}

InstalledProgram::~InstalledProgram()
{
    // An open question ends with its process object, unanswered.
    if (asking)
        asking->disconnect();
}

void InstalledProgram::check()
{
    struct stat installed = {};
    const bool present = ::stat(QFile::encodeName(path).constData(), &installed) == 0;
    // A program removed without a replacement brings nothing to restart into.
    const bool isReplaced = present && runningInode != 0
            && (installed.st_dev != runningDevice || installed.st_ino != runningInode);
    if (!isReplaced) {
        settle(false, QString());
        return;
    }
    ask();
}

void InstalledProgram::ask()
{
    // A new question replaces one still open: the file may have changed again.
    if (asking) {
        asking->disconnect();
        asking->kill();
        asking->deleteLater();
        asking = nullptr;
    }
    answer.clear();
    // Root runs only a program that only root could have put there.
    QString reason;
    if (!PathTrust::isTrustedFile(path, &reason)) {
        PathTrust::reportRefusal(path, reason);
        settle(true, QString());
        return;
    }
    asking = new QProcess(this);
    asking->setStandardInputFile(QProcess::nullDevice());
    asking->setStandardErrorFile(QProcess::nullDevice());
    connect(asking, &QProcess::readyReadStandardOutput, this, [this] {
        const QByteArray part = asking->readAllStandardOutput();
        answer += part.left(answerLimit - answer.size());
    });
    connect(asking, &QProcess::finished, this, &InstalledProgram::onAnswered);
    connect(asking, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onAnswered();
    });
    QTimer::singleShot(answerTimeoutMs, asking, [process = asking] { process->kill(); });
    asking->start(path, { QStringLiteral("--version") });
}

void InstalledProgram::onAnswered()
{
    const QString version = asking->exitStatus() == QProcess::NormalExit && asking->exitCode() == 0
            ? versionIn(answer) : QString();
    asking->disconnect();
    asking->deleteLater();
    asking = nullptr;
    settle(true, version);
}

void InstalledProgram::settle(bool isReplaced, const QString &version)
{
    const bool same = replaced == isReplaced && installedVersion == version;
    replaced = isReplaced;
    installedVersion = version;
    if (!same)
        emit changed();
}
