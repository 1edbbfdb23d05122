// The clean-up of old log files over a folder of files named by the input.
//
// Input: the first byte is daysToKeep (as a signed byte, modulo 16), the rest
// is one name per line. A name gets the watchdog's log file prefix in front,
// except that a leading "!" makes it a name without the prefix, a leading "#"
// a folder and a leading "@" a symbolic link to a file outside the log folder.
// Slashes and zero bytes become "_".
//
// Checked for every input: files without the prefix, folders, names with
// fewer than three parts and the target of a link all stay; no more files go
// than the dated candidates beyond the number kept.

#include "fuzzsupport.h"

#include "logger.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QSet>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray prefix = "watchdog_render_worker_";
constexpr qsizetype maxNames = 64;
constexpr qsizetype maxNameLength = 255;

enum class Kind { File, Folder, Link };

struct Entry
{
    QByteArray name;
    Kind kind = Kind::File;
};

struct Scratch
{
    QTemporaryDir dir{ Fuzz::scratchTemplate() };
    QByteArray logs;
    QByteArray outside;

    Scratch()
    {
        FUZZ_CHECK(dir.isValid());
        logs = QFile::encodeName(dir.filePath(QStringLiteral("Logs")));
        outside = QFile::encodeName(dir.filePath(QStringLiteral("outside.log")));
        FUZZ_CHECK(::mkdir(logs.constData(), 0700) == 0);
        const int fd = ::open(outside.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        FUZZ_CHECK(fd >= 0);
        ::close(fd);
    }
};

const Scratch &scratch()
{
    static const Scratch folder;
    return folder;
}

QByteArray pathOf(const QByteArray &name)
{
    return scratch().logs + '/' + name;
}

bool exists(const QByteArray &path)
{
    struct stat info;
    return ::lstat(path.constData(), &info) == 0;
}

QList<Entry> entriesOf(const uint8_t *data, size_t size)
{
    QList<Entry> entries;
    QSet<QByteArray> seen;
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<QByteArray> lines = text.split('\n');
    for (QByteArray line : lines) {
        if (entries.size() == maxNames)
            break;
        Entry entry;
        if (line.startsWith('!')) {
            line.remove(0, 1);
        } else {
            if (line.startsWith('#'))
                entry.kind = Kind::Folder;
            else if (line.startsWith('@'))
                entry.kind = Kind::Link;
            if (entry.kind != Kind::File)
                line.remove(0, 1);
            line.prepend(prefix);
        }
        line.replace('/', '_').replace('\0', '_');
        line.truncate(maxNameLength);
        if (line.isEmpty() || line == "." || line == ".." || seen.contains(line))
            continue;
        seen.insert(line);
        entry.name = line;
        entries.append(entry);
    }
    return entries;
}

void create(const Entry &entry)
{
    const QByteArray path = pathOf(entry.name);
    switch (entry.kind) {
    case Kind::File: {
        const int fd = ::open(path.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        FUZZ_CHECK(fd >= 0);
        ::close(fd);
        break;
    }
    case Kind::Folder:
        FUZZ_CHECK(::mkdir(path.constData(), 0700) == 0);
        break;
    case Kind::Link:
        FUZZ_CHECK(::symlink(scratch().outside.constData(), path.constData()) == 0);
        break;
    }
}

// What the clean-up may count as a dated log: a file (or a link to one) of
// the prefix whose name has at least three parts once ".log" is taken out.
bool isCandidate(const Entry &entry)
{
    if (entry.kind == Kind::Folder || !entry.name.startsWith(prefix))
        return false;
    QString name = QFile::decodeName(entry.name);
    name.remove(QStringLiteral(".log"));
    return name.split(QLatin1Char('_'), Qt::SkipEmptyParts).size() >= 3;
}

// Empties the log folder by the names' bytes, whatever they decode to.
void emptyLogFolder()
{
    DIR *folder = ::opendir(scratch().logs.constData());
    FUZZ_CHECK(folder);
    const int fd = ::dirfd(folder);
    while (const dirent *item = ::readdir(folder)) {
        const QByteArray name(item->d_name);
        if (name == "." || name == "..")
            continue;
        if (::unlinkat(fd, item->d_name, 0) != 0)
            FUZZ_CHECK(::unlinkat(fd, item->d_name, AT_REMOVEDIR) == 0);
    }
    ::closedir(folder);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Fuzz::ensureApplication();
    const int daysToKeep = int(int8_t(data[0])) % 16;
    const QList<Entry> entries = entriesOf(data + 1, size - 1);
    for (const Entry &entry : entries)
        create(entry);

    Logger &logger = Logger::instance();
    const QString previousPrefix = logger.filePrefix;
    const QString previousFolder = logger.logFolder;
    const bool previousEcho = logger.echoToStdout;
    logger.filePrefix = QString::fromLatin1(prefix);
    logger.logFolder = QFile::decodeName(scratch().logs);
    logger.echoToStdout = false;
    logger.removeOldLogs(daysToKeep);
    logger.filePrefix = previousPrefix;
    logger.logFolder = previousFolder;
    logger.echoToStdout = previousEcho;

    qsizetype candidates = 0;
    qsizetype removed = 0;
    for (const Entry &entry : entries) {
        const bool candidate = isCandidate(entry);
        const bool stays = exists(pathOf(entry.name));
        if (!candidate)
            FUZZ_CHECK(stays);
        candidates += candidate ? 1 : 0;
        removed += stays ? 0 : 1;
    }
    const qsizetype keep = std::max(daysToKeep - 1, 0);
    FUZZ_CHECK(removed <= std::max<qsizetype>(candidates - keep, 0));
    FUZZ_CHECK(exists(scratch().outside));

    emptyLogFolder();
    return 0;
}
