#include "settingssnapshot.h"

#include "pathtrust.h"
#include "printable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

// The toolkit reads a stored value's nesting recursively, one stack frame
// chain per level; a few thousand levels end the process. Files of the
// installation hold a handful of stored containers at most.
constexpr int maxStoredContainers = 128;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char simpleEscape(char c)
{
    switch (c) {
    case 'a': return '\a';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    default: return c;
    }
}

// The bytes the toolkit's INI unescaping can make of content, as one stream:
// escapes decoded as it decodes them (hexadecimal and octal digits as many as
// follow, kept to their low byte when they stay in Latin-1), quotes and line
// breaks dropped. Dropping only ever joins bytes, so counting on this stream
// finds at least every container the toolkit would deserialize.
QByteArray unescapedBytes(const QByteArray &content)
{
    QByteArray out;
    out.reserve(content.size());
    for (qsizetype i = 0; i < content.size(); ++i) {
        const char c = content.at(i);
        if (c == '"' || c == '\n' || c == '\r')
            continue;
        if (c != '\\' || i + 1 == content.size()) {
            out += c;
            continue;
        }
        const char next = content.at(++i);
        const bool hex = next == 'x';
        const bool octal = next >= '0' && next <= '7';
        if (!hex && !octal) {
            if (next != '\n' && next != '\r')
                out += simpleEscape(next);
            continue;
        }
        uint value = octal ? uint(next - '0') : 0;
        const int base = hex ? 16 : 8;
        for (; i + 1 < content.size(); ++i) {
            const int digit = hexValue(content.at(i + 1));
            if (digit < 0 || digit >= base)
                break;
            value = (value * uint(base) + uint(digit)) & 0xffff;
        }
        out += value <= 0xff ? char(value) : '?';
    }
    return out;
}

QString refusal(const QString &path, const QString &why)
{
    return QStringLiteral("Settings file ") + printable(path) + QStringLiteral(" not used, defaults apply: ")
            + why;
}

// Where the private copy goes: the temporary folder unless others could
// replace the copy in it between writing and parsing.
// The copy lives only while the file is parsed. Root's /run is a memory file
// system no other user can write, where making and removing the copy's
// folder costs a fraction of what it does on a disk.
QString copyLocation()
{
    QString reason;
    const QString run = QStringLiteral("/run");
    if (::geteuid() == 0 && ::access("/run", W_OK) == 0 && PathTrust::isTrustedFolder(run, &reason))
        return run;
    const QString temp = QDir::tempPath();
    return PathTrust::isTrustedFolder(temp, &reason) ? temp : QStringLiteral("/tmp");
}

// Writes the private copy; false with the reason unless all of content
// reached it. A full file system may take the buffered write and refuse
// only the flush at the close: a copy cut short would be parsed as settings
// that were never written.
bool writeCopy(const QString &copyPath, const QByteArray &content, QString *failure)
{
    QFile copy(copyPath);
    if (copy.open(QIODevice::WriteOnly) && copy.write(content) == content.size() && copy.flush()) {
        copy.close();
        if (copy.error() == QFileDevice::NoError)
            return true;
    }
    *failure = copy.errorString();
    return false;
}

// How many stored containers (lists, maps, hashes, variants) the serialized
// values of an INI file hold at most, counted on the bytes the toolkit's
// unescaping gives; an upper bound of their nesting depth.
int storedContainerCount(const QByteArray &content)
{
    const QByteArray bytes = unescapedBytes(content);
    int count = 0;
    // The type of a stored value is a big-endian 32-bit number: list 9, map
    // 8, hash 28, and a value holding a value 41; named types say "QVariant".
    for (qsizetype i = 0; i + 3 < bytes.size(); ++i) {
        const char type = bytes.at(i + 3);
        const bool container = bytes.at(i) == 0 && bytes.at(i + 1) == 0 && bytes.at(i + 2) == 0
                && (type == 8 || type == 9 || type == 28 || type == 41);
        if (container)
            ++count;
    }
    return count + int(bytes.count("QVariant"));
}

} // namespace

std::unique_ptr<SettingsSnapshot> SettingsSnapshot::take(const QString &path, QString *error)
{
    std::unique_ptr<SettingsSnapshot> snapshot(new SettingsSnapshot);
    error->clear();
    QByteArray content;
    QString reason;
    if (!PathTrust::readRegularFile(path, maxFileSize, false, &content, &reason)) {
        if (!reason.isEmpty())
            *error = refusal(path, reason);
    } else if (storedContainerCount(content) > maxStoredContainers) {
        *error = refusal(path, QStringLiteral("stored values are nested too deeply"));
        content.clear();
    }

    // Nothing to read (missing, empty or refused) or no copy: an empty store,
    // which has nothing to migrate and so never writes.
    QString copyPath = QStringLiteral("/dev/null");
    if (!content.isEmpty()) {
        const QString location = copyLocation();
        snapshot->copyFolder = std::make_unique<QTemporaryDir>(location
                                                               + QStringLiteral("/settings-XXXXXX"));
        // A fresh name for every snapshot: the toolkit caches parsed files by name.
        const QString copied = snapshot->copyFolder->filePath(QFileInfo(path).fileName());
        QString failure = snapshot->copyFolder->errorString();
        if (snapshot->copyFolder->isValid() && writeCopy(copied, content, &failure))
            copyPath = copied;
        else if (error->isEmpty())
            *error = refusal(path, QStringLiteral("it could not be read, no private copy could be made in ")
                                     + location + QStringLiteral(": ")
                                     + failure);
    }
    snapshot->settings = std::make_unique<QSettings>(copyPath, QSettings::NativeFormat);
    return snapshot;
}

SettingsSnapshot::~SettingsSnapshot()
{
    // The store goes first: it may write its changes to the copy on the way.
    settings.reset();
}

QSettings &SettingsSnapshot::store()
{
    return *settings;
}
