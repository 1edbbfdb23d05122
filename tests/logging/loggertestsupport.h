#ifndef LOGGERTESTSUPPORT_H
#define LOGGERTESTSUPPORT_H

#include "logger.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QTemporaryFile>
#include <QTime>

#include <cstdio>
#include <unistd.h>

namespace LoggerTest {

inline const QString prefix = QStringLiteral("watchdog_w_");

// A Friday: its text date form is "Fri Dec 4 03:35:01 2026".
inline QDateTime fixedMoment()
{
    return QDateTime(QDate(2026, 12, 4), QTime(3, 35, 1));
}

// Puts every field of the one logger into a known state; the logger outlives
// the tests, so each test starts from here.
inline void resetLogger(const QString &folder, int level = 6)
{
    Logger &logger = Logger::instance();
    logger.filePrefix = prefix;
    logger.logFolder = folder;
    logger.setLevel(level);
    logger.setEnabled(true);
    logger.setEchoToStdout(false);
    logger.setClock({});
    logger.setFailureReporter({});
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Installs the logger's handler for the lifetime of the object and gives the
// previous one (Qt Test's) back afterwards.
class ScopedLoggerHandler
{
public:
    ScopedLoggerHandler() : previous(qInstallMessageHandler(Logger::messageHandler)) {}
    ~ScopedLoggerHandler() { qInstallMessageHandler(previous); }
    Q_DISABLE_COPY_MOVE(ScopedLoggerHandler)

private:
    const QtMessageHandler previous;
};

// Sends this process's standard output into a temporary file until finish().
class StdoutCapture
{
public:
    StdoutCapture()
    {
        if (!file.open())
            return;
        std::fflush(stdout);
        saved = ::dup(STDOUT_FILENO);
        ::dup2(file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { finish(); }
    Q_DISABLE_COPY_MOVE(StdoutCapture)

    QByteArray finish()
    {
        if (saved < 0)
            return captured;
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        saved = -1;
        file.seek(0);
        captured = file.readAll();
        return captured;
    }

private:
    QTemporaryFile file;
    int saved = -1;
    QByteArray captured;
};

} // namespace LoggerTest

#endif // LOGGERTESTSUPPORT_H
