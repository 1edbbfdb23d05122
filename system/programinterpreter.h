#ifndef PROGRAMINTERPRETER_H
#define PROGRAMINTERPRETER_H

#include <QByteArray>
#include <QString>

// The program that the kernel runs to start program: the loader an ELF
// program of this machine's class names (its PT_INTERP header), or the
// interpreter of a "#!" script. Empty when program names none, is no regular
// file, or cannot be read. Read only to tell an admin why an exec said "No
// such file or directory" of a program that exists; it decides nothing.
QByteArray programInterpreter(const QString &program);

#endif // PROGRAMINTERPRETER_H
