#include "programinterpreter.h"

#include "trustedopen.h"

#include <QFile>

#include <cstring>
#include <elf.h>
#include <link.h>
#include <unistd.h>

namespace {

// The kernel's own bounds: a "#!" line is read within this many bytes, and
// a loader's path may not be longer than a page.
constexpr int scriptHeadSize = 256;
constexpr ElfW(Xword) maxInterpreterSize = 4096;
constexpr int maxProgramHeaders = 256;
constexpr unsigned char nativeClass = __ELF_NATIVE_CLASS == 64 ? ELFCLASS64 : ELFCLASS32;

bool readAt(int fd, void *buffer, size_t size, off_t offset)
{
    return ::pread(fd, buffer, size, offset) == ssize_t(size);
}

// The first word after "#!".
QByteArray scriptInterpreter(const char *head, ssize_t size)
{
    ssize_t at = 2;
    while (at < size && (head[at] == ' ' || head[at] == '\t'))
        ++at;
    const ssize_t begin = at;
    while (at < size && head[at] != ' ' && head[at] != '\t' && head[at] != '\n' && head[at] != '\0')
        ++at;
    return QByteArray(head + begin, qsizetype(at - begin));
}

QByteArray elfInterpreter(int fd, const ElfW(Ehdr) &header)
{
    if (header.e_ident[EI_CLASS] != nativeClass || header.e_phentsize != sizeof(ElfW(Phdr)))
        return QByteArray();
    for (int i = 0; i < header.e_phnum && i < maxProgramHeaders; ++i) {
        ElfW(Phdr) program{};
        if (!readAt(fd, &program, sizeof program, off_t(header.e_phoff + i * sizeof program)))
            return QByteArray();
        if (program.p_type != PT_INTERP)
            continue;
        if (program.p_filesz == 0 || program.p_filesz > maxInterpreterSize)
            return QByteArray();
        QByteArray path(qsizetype(program.p_filesz), '\0');
        if (!readAt(fd, path.data(), size_t(path.size()), off_t(program.p_offset)))
            return QByteArray();
        return QByteArray(path.constData()); // up to its NUL
    }
    return QByteArray();
}

} // namespace

QByteArray programInterpreter(const QString &program)
{
    TrustedOpen::Rule rule;
    rule.links = TrustedOpen::Links::Followed;
    rule.regularOnly = true;
    const int fd = TrustedOpen::open(AT_FDCWD, QFile::encodeName(program).constData(), rule);
    if (fd < 0)
        return QByteArray();
    char head[scriptHeadSize];
    const ssize_t size = ::pread(fd, head, sizeof head, 0);
    QByteArray interpreter;
    if (size > 2 && head[0] == '#' && head[1] == '!') {
        interpreter = scriptInterpreter(head, size);
    } else if (size >= ssize_t(sizeof(ElfW(Ehdr))) && std::memcmp(head, ELFMAG, SELFMAG) == 0) {
        ElfW(Ehdr) header;
        std::memcpy(&header, head, sizeof header);
        interpreter = elfInterpreter(fd, header);
    }
    ::close(fd);
    return interpreter;
}
