#ifndef PROGRAMCHECK_H
#define PROGRAMCHECK_H

#include <QString>

// Why a program could not be executed, judged by what the file system holds
// rather than by how a failed start was worded: the error execve() gives for
// such a file (ENOENT, ENOTDIR, ELOOP, EACCES, ENOEXEC, ...), following "#!"
// to the interpreter as the kernel does. 0 when the file could be executed.
// A check that could not be made for want of descriptors or memory returns
// that error (EMFILE, ENFILE, ENOMEM): it says nothing about the program.
int programExecError(const QString &program);

// True for the errors that tell of the caller's own want of descriptors,
// memory or processes, not of the program.
bool isResourceShortage(int error);

#endif // PROGRAMCHECK_H
