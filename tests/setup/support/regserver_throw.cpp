// A self-registering server whose DllRegisterServer throws a C++ exception of its own class (the
// install-file tests: a failed registration, never a crash).
#include <exception>

namespace {
struct TServerError : std::exception {
    const char* what() const noexcept override { return "the server failed inside"; }
};
} // namespace

extern "C" int DllRegisterServer(void) { throw TServerError(); }
