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

#include <QSet>
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

struct Entry
{
    QByteArray name;
    char kind = 0; // 0 a file, '#' a folder, '@' a link
};

struct Scratch
{
    QTemporaryDir dir{ Fuzz::scratchTemplate() };
    const QByteArray logs = QFile::encodeName(dir.filePath(QStringLiteral("Logs")));
    const QByteArray outside = QFile::encodeName(dir.filePath(QStringLiteral("outside.log")));

    Scratch()
    {
        FUZZ_CHECK(dir.isValid() && ::mkdir(logs.constData(), 0700) == 0);
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
        Entry entry;
        if (line.startsWith('!')) {
            line.remove(0, 1);
        } else {
            if (line.startsWith('#') || line.startsWith('@'))
                entry.kind = line.front();
            line.remove(0, entry.kind ? 1 : 0).prepend(prefix);
        }
        line.replace('/', '_').replace('\0', '_').truncate(maxNameLength);
        if (line.isEmpty() || line == "." || line == ".." || seen.contains(line))
            continue;
        seen.insert(line);
        entry.name = line;
        entries.append(entry);
        if (entries.size() == maxNames)
            break;
    }
    return entries;
}

void create(const Entry &entry)
{
    const QByteArray path = pathOf(entry.name);
    if (entry.kind == '#') {
        FUZZ_CHECK(::mkdir(path.constData(), 0700) == 0);
    } else if (entry.kind == '@') {
        FUZZ_CHECK(::symlink(scratch().outside.constData(), path.constData()) == 0);
    } else {
        const int fd = ::open(path.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        FUZZ_CHECK(fd >= 0);
        ::close(fd);
    }
}

// What the clean-up may count as a dated log: a file (or a link to one) of
// the prefix whose name has at least three parts once ".log" is taken out.
bool isCandidate(const Entry &entry)
{
    if (entry.kind == '#' || !entry.name.startsWith(prefix))
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
    while (const dirent *item = ::readdir(folder)) {
        if (qstrcmp(item->d_name, ".") != 0 && qstrcmp(item->d_name, "..") != 0
            && ::unlinkat(::dirfd(folder), item->d_name, 0) != 0)
            FUZZ_CHECK(::unlinkat(::dirfd(folder), item->d_name, AT_REMOVEDIR) == 0);
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

    // Nothing else in this process uses the logger.
    Logger &logger = Logger::instance();
    logger.filePrefix = QString::fromLatin1(prefix);
    logger.logFolder = QFile::decodeName(scratch().logs);
    logger.echoToStdout = false;
    logger.removeOldLogs(daysToKeep);

    qsizetype candidates = 0;
    qsizetype removed = 0;
    for (const Entry &entry : entries) {
        const bool stays = exists(pathOf(entry.name));
        FUZZ_CHECK(stays || isCandidate(entry));
        candidates += isCandidate(entry) ? 1 : 0;
        removed += stays ? 0 : 1;
    }
    FUZZ_CHECK(removed <= std::max<qsizetype>(candidates - std::max(daysToKeep - 1, 0), 0));
    FUZZ_CHECK(exists(scratch().outside));
    emptyLogFolder();
    return 0;
}
