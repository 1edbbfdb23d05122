#ifndef APPLICATIONVERSION_H
#define APPLICATIONVERSION_H

#include <string>

namespace mrv {

// The product name and version of the running program. The name is set by
// the program entry; the version comes from the build: text_ in full, as the
// packages give it ("1.0.0.1", "1.0.0.0+check1", "2:1.1~rc1"), and its
// leading numbers.
class ApplicationVersion
{
public:
    static std::string appName_;
    static int major_;
    static int minor_;
    static int patch_;
    static int build_;
    static const char text_[];
};

} // namespace mrv

#endif // APPLICATIONVERSION_H
