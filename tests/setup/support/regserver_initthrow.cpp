// A self-registering server whose loading fails: a static object's constructor throws (the
// install-file tests: a server that cannot be loaded).
#include <exception>

namespace {
struct TInitError : std::exception {
    const char* what() const noexcept override { return "the server cannot start"; }
};
struct TStarter {
    TStarter() { throw TInitError(); }
} starter;
} // namespace

extern "C" int DllRegisterServer(void) { return 0; }
