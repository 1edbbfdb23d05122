#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

// Shared by the fuzz entry functions. Each entry is the libFuzzer function
// LLVMFuzzerTestOneInput(); the same source, built with the normal compiler
// and the replay driver, runs kept inputs as regression tests. A broken
// invariant aborts, which both libFuzzer and the replay test see as a crash.

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
    std::fflush(stderr);
    std::abort();
}

// The application object the code under test needs. The replay test brings
// its own; under libFuzzer the first input creates one that lives as long as
// the process.
inline void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = { name, nullptr };
    new QCoreApplication(argc, argv);
    // Messages of the code under test would flood the fuzzer's output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

// Template for a scratch folder: in memory where the machine offers it, since
// creating and deleting files on a disk's file system takes most of the time
// of an input.
inline QString scratchTemplate()
{
    const QFileInfo memory(QStringLiteral("/dev/shm"));
    return (memory.isDir() && memory.isWritable() ? memory.filePath() : QDir::tempPath())
        + QStringLiteral("/watchdog-fuzz-XXXXXX");
}

} // namespace Fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? void(0) : Fuzz::fail(#condition, __FILE__, __LINE__))

#endif // FUZZSUPPORT_H
