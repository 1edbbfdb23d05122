#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// Guards for the process-wide state that the settings tests change, so that
// every test leaves the process as it found it, and helpers for files.

#include "sgpuinfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMutex>
#include <QSettings>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QVariantMap>

#include <optional>

#include <sys/stat.h>

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

// Every key of the INI file at path with its value, read from a copy: the
// toolkit caches parsed files by name, and a copy shows what reached the disk.
inline QVariantMap keysOnDisk(const QString &path)
{
    QTemporaryFile copy(QFileInfo(path).absolutePath() + QStringLiteral("/ondisk-XXXXXX.conf"));
    if (!copy.open() || copy.write(readFile(path)) < 0)
        return QVariantMap();
    copy.close();
    const QSettings store(copy.fileName(), QSettings::IniFormat);
    QVariantMap keys;
    for (const QString &name : store.allKeys())
        keys.insert(name, store.value(name));
    return keys;
}

// Sets an environment variable (unsets it for a null value) for the guard's
// lifetime.
class EnvironmentGuard
{
public:
    EnvironmentGuard(const char *name, const QByteArray &value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~EnvironmentGuard() { m_had ? qputenv(m_name, m_old) : qunsetenv(m_name); }
    Q_DISABLE_COPY_MOVE(EnvironmentGuard)

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
    Q_DISABLE_COPY_MOVE(UmaskGuard)

private:
    mode_t m_old;
};

// Points the system-scope stores at folder (native and INI format) and back
// at the toolkit's default when it goes.
class SystemScopeRedirect
{
public:
    explicit SystemScopeRedirect(const QString &folder) { redirect(folder); }
    ~SystemScopeRedirect() { redirect(QLibraryInfo::path(QLibraryInfo::SettingsPath)); }
    Q_DISABLE_COPY_MOVE(SystemScopeRedirect)

private:
    static void redirect(const QString &folder)
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, folder);
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, folder);
    }
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
                      "Model: \t\t NVIDIA Fake " + QByteArray::number(index)
                              + "\nIRQ:   \t\t 42\nGPU Excluded:\t No\n");
        }
        SGpuInfo::setDriverFolder(m_folder.path());
    }
    ~FakeGpuDriver() { SGpuInfo::setDriverFolder(QString()); }
    Q_DISABLE_COPY_MOVE(FakeGpuDriver)

private:
    QTemporaryDir m_folder;
};

struct Message
{
    QtMsgType type;
    QString category;
    QString text;
};

// Collects every message of the process (of any thread) while it lives,
// instead of printing it.
class MessageCapture
{
public:
    MessageCapture() : m_previous(qInstallMessageHandler(&MessageCapture::handle)) { s_current = this; }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    Q_DISABLE_COPY_MOVE(MessageCapture)

    QList<Message> messages() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_messages;
    }

    // The texts of the messages of type, or of all messages.
    QStringList texts(std::optional<QtMsgType> type = std::nullopt) const
    {
        QStringList result;
        for (const Message &message : messages()) {
            if (!type || message.type == *type)
                result.append(message.text);
        }
        return result;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (!s_current)
            return;
        const QMutexLocker lock(&s_current->m_mutex);
        s_current->m_messages.append({type, QString::fromUtf8(context.category), text});
    }

    static inline MessageCapture *s_current = nullptr;
    QtMessageHandler m_previous;
    mutable QMutex m_mutex;
    QList<Message> m_messages;
};

} // namespace testsupport

#endif // TESTSUPPORT_H
