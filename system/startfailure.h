#ifndef STARTFAILURE_H
#define STARTFAILURE_H

#include <QString>

// Whether the message of a failed process start tells of the starter's own
// want of descriptors, memory or processes (EMFILE, ENFILE, ENOMEM, EAGAIN),
// at the pipe, the fork or the exec, rather than of the program. The toolkit
// hands the error over only as text, the C library's text of the error
// after a few words of its own ("execvp: ", "Resource error (fork failure):
// "): the text is compared with the C library's (and the toolkit's) own
// wording of those codes, made at run time, in whatever language they are.
bool isResourceShortage(const QString &errorText);

#endif // STARTFAILURE_H
