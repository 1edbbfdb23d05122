#include "workerenvironment.h"

#include <vector>

extern char **environ;

namespace {

// The entries of environ as they were when the environment was last built.
// setenv() and unsetenv() replace, add or remove entries and never write
// into an entry that is in use, so equal pointers mean equal variables.
std::vector<const char *> entriesNow()
{
    std::vector<const char *> entries;
    for (char **entry = environ; entry && *entry; ++entry)
        entries.push_back(*entry);
    return entries;
}

} // namespace

const QProcessEnvironment &workerEnvironment()
{
    static std::vector<const char *> builtFrom;
    static QProcessEnvironment environment;
    std::vector<const char *> entries = entriesNow();
    if (entries != builtFrom || environment.isEmpty()) {
        environment = QProcessEnvironment::systemEnvironment();
        builtFrom = std::move(entries);
    }
    return environment;
}
