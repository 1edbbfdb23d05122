#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

// Shared by the fuzz entry functions (LLVMFuzzerTestOneInput); the same
// source, built with the replay driver, runs kept inputs as regression tests.
// A broken invariant aborts, which both see as a crash.

#include <QCoreApplication>
#include <QDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace Fuzz {

[[noreturn]] inline void fail(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "fuzz invariant broken at %s:%d: %s\n", file, line, what);
    std::abort();
}

// The application object the code under test needs; messages would flood
// the fuzzer's output.
inline void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = { name, nullptr };
    new QCoreApplication(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

// A scratch folder in memory where the machine offers it: files on a disk
// would take most of the time of an input.
inline QString scratchTemplate()
{
    const QFileInfo memory(QStringLiteral("/dev/shm"));
    return (memory.isDir() && memory.isWritable() ? memory.filePath() : QDir::tempPath())
        + QStringLiteral("/watchdog-fuzz-XXXXXX");
}

} // namespace Fuzz

#define FUZZ_CHECK(condition) ((condition) ? void(0) : Fuzz::fail(#condition, __FILE__, __LINE__))

#endif // FUZZSUPPORT_H
