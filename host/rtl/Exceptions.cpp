#include "host/rtl/Exceptions.h"

namespace zan {

void Abort() {
    throw EAbort("Operation aborted");
}

void AssertionFailed(std::string_view message, const char* file, unsigned line) {
    std::string name = file ? file : "";
    if (auto slash = name.find_last_of('/'); slash != std::string::npos) name.erase(0, slash + 1);
    throw EAssertionFailed(std::string(message) + " (" + name + ", line " + std::to_string(line) +
                           ")");
}

} // namespace zan
