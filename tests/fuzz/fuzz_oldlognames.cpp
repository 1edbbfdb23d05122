// The clean-up of old log files over a folder of files named by the input.
//
// Input: the first byte is daysToKeep (as a signed byte, modulo 16), the rest
// one name per line. A name gets the watchdog's log file prefix in front,
// except that a leading "!" makes it a name without the prefix, a leading "#"
// a folder and a leading "@" a symbolic link to a file outside the log folder.
// Slashes and zero bytes become "_".
//
// Checked for every input: files without the prefix, folders and the target
// of a link stay.

#include "fuzzsupport.h"
#include "logger.h"

#include <QSet>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray prefix = "watchdog_render_worker_";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Fuzz::ensureApplication();
    const QTemporaryDir scratch(Fuzz::scratchTemplate());
    const QByteArray logs = QFile::encodeName(scratch.path()) + "/Logs/";
    const QByteArray outside = QFile::encodeName(scratch.path()) + "/outside.log";
    FUZZ_CHECK(scratch.isValid() && ::mkdir(logs.constData(), 0700) == 0);
    ::close(::open(outside.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));

    QSet<QByteArray> names, folders;
    const QList<QByteArray> lines = QByteArray(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1)).split('\n');
    for (QByteArray line : lines.mid(0, 64)) {
        const char kind = line.startsWith('!') || line.startsWith('#') || line.startsWith('@') ? line.front() : 0;
        line.remove(0, kind ? 1 : 0).prepend(kind == '!' ? "" : prefix);
        line.replace('/', '_').replace('\0', '_').truncate(255);
        if (line.isEmpty() || line == "." || line == ".." || names.contains(line))
            continue;
        names.insert(line);
        const QByteArray path = logs + line;
        if (kind == '#')
            FUZZ_CHECK(::mkdir(path.constData(), 0700) == 0);
        else if (kind == '@')
            FUZZ_CHECK(::symlink(outside.constData(), path.constData()) == 0);
        else
            ::close(::open(path.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        if (kind == '#')
            folders.insert(line);
    }

    Logger &logger = Logger::instance();
    logger.filePrefix = QString::fromLatin1(prefix);
    logger.logFolder = QFile::decodeName(logs);
    logger.removeOldLogs(int(int8_t(data[0])) % 16);

    struct stat info;
    for (const QByteArray &name : std::as_const(names))
        FUZZ_CHECK(::lstat((logs + name).constData(), &info) == 0 || (name.startsWith(prefix) && !folders.contains(name)));
    FUZZ_CHECK(::lstat(outside.constData(), &info) == 0);
    return 0;
}
