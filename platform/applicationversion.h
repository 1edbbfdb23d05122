#ifndef APPLICATIONVERSION_H
#define APPLICATIONVERSION_H

#include <string>

namespace mrv {

// The product name and version of the running program. The name is set by
// the program entry; the numbers come from the build.
class ApplicationVersion
{
public:
    static std::string appName_;
    static int major_;
    static int minor_;
    static int patch_;
    static int build_;
};

} // namespace mrv

#endif // APPLICATIONVERSION_H
