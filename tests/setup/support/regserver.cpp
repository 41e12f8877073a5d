// A tiny self-registering server for the install-file tests. Built three times: returning 0
// (after appending a line to the file named by ZAN_REGSERVER_MARKER), returning 5, and without
// the registration entry point.
#include <cstdio>
#include <cstdlib>

#ifdef REGSERVER_RESULT
extern "C" int DllRegisterServer(void) {
    const char* marker = std::getenv("ZAN_REGSERVER_MARKER");
    if (REGSERVER_RESULT == 0 && marker) {
        if (FILE* f = std::fopen(marker, "a")) {
            std::fputs("registered\n", f);
            std::fclose(f);
        }
    }
    return REGSERVER_RESULT;
}
#else
extern "C" int DllUnregisterServer(void) { return 0; }
#endif
