#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// Guards for the process-wide state that the settings tests change, so that
// every test leaves the process as it found it, and helpers for files.

#include "sgpuinfo.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QPair>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QVariantMap>

#include <sys/stat.h>
#include <sys/types.h>

namespace testsupport {

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(content) == content.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every key of the INI file at path with its value, read by a store that has
// never seen the file before (a copy of it), so that nothing the toolkit
// still holds in memory hides what reached the disk.
inline QVariantMap keysOnDisk(const QString &path)
{
    QTemporaryFile copy(QFileInfo(path).absolutePath() + QStringLiteral("/ondisk-XXXXXX.conf"));
    if (!copy.open())
        return QVariantMap();
    copy.write(readFile(path));
    copy.close();
    const QSettings store(copy.fileName(), QSettings::IniFormat);
    QVariantMap keys;
    const QStringList names = store.allKeys();
    for (const QString &name : names)
        keys.insert(name, store.value(name));
    return keys;
}

// Sets or clears an environment variable for the guard's lifetime.
class EnvironmentGuard
{
public:
    explicit EnvironmentGuard(const char *name)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
    }
    EnvironmentGuard(const char *name, const QByteArray &value) : EnvironmentGuard(name)
    {
        qputenv(m_name, value);
    }
    ~EnvironmentGuard()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    EnvironmentGuard(const EnvironmentGuard &) = delete;
    EnvironmentGuard &operator=(const EnvironmentGuard &) = delete;

private:
    const char *m_name;
    bool m_had;
    QByteArray m_old;
};

class UmaskGuard
{
public:
    explicit UmaskGuard(mode_t mask) : m_old(::umask(mask)) {}
    ~UmaskGuard() { ::umask(m_old); }
    UmaskGuard(const UmaskGuard &) = delete;
    UmaskGuard &operator=(const UmaskGuard &) = delete;

private:
    mode_t m_old;
};

// Points the system-scope stores at folder (native and INI format) and back
// at the toolkit's default when it goes.
class SystemScopeRedirect
{
public:
    explicit SystemScopeRedirect(const QString &folder)
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, folder);
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, folder);
    }
    ~SystemScopeRedirect()
    {
        const QString standard = QLibraryInfo::path(QLibraryInfo::SettingsPath);
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, standard);
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, standard);
    }
    SystemScopeRedirect(const SystemScopeRedirect &) = delete;
    SystemScopeRedirect &operator=(const SystemScopeRedirect &) = delete;
};

// A driver folder with count fake cards, laid out like the NVIDIA driver's,
// in use by every SGpuInfo while the guard lives.
class FakeGpuDriver
{
public:
    explicit FakeGpuDriver(int count)
    {
        for (int index = 0; index < count; ++index) {
            const QString card = QStringLiteral("0000:%1:00.0").arg(index + 1, 2, 16, QLatin1Char('0'));
            QDir(m_folder.path()).mkpath(card);
            writeFile(m_folder.filePath(card + QStringLiteral("/information")),
                      QByteArrayLiteral("Model: \t\t NVIDIA Fake ") + QByteArray::number(index)
                              + QByteArrayLiteral("\nIRQ:   \t\t 42\nGPU Excluded:\t No\n"));
        }
        SGpuInfo::setDriverFolder(m_folder.path());
    }
    ~FakeGpuDriver() { SGpuInfo::setDriverFolder(QString()); }
    FakeGpuDriver(const FakeGpuDriver &) = delete;
    FakeGpuDriver &operator=(const FakeGpuDriver &) = delete;

private:
    QTemporaryDir m_folder;
};

// Collects every message of the process (of any thread) while it lives,
// instead of printing it.
class MessageCapture
{
public:
    MessageCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&MessageCapture::handle);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QList<QPair<QtMsgType, QString>> messages() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_messages;
    }

    // The texts of the messages of one type.
    QStringList texts(QtMsgType type) const
    {
        QStringList result;
        const auto all = messages();
        for (const auto &message : all) {
            if (message.first == type)
                result.append(message.second);
        }
        return result;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (!s_current)
            return;
        const QMutexLocker lock(&s_current->m_mutex);
        s_current->m_messages.append(qMakePair(type, text));
    }

    static inline MessageCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QList<QPair<QtMsgType, QString>> m_messages;
};

} // namespace testsupport

#endif // TESTSUPPORT_H
