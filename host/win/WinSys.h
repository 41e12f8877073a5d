// Queries of the operating system: user, computer, version, error texts, clocks, sleeping.
#pragma once

#include <cstdint>
#include <string>

namespace zan {

// The effective user's login name (from the user database, else $USER); empty on failure.
std::string GetUserNameStr();
// The host name; empty on failure.
std::string GetComputerNameStr();

struct TOSVersion {
    int Major = 0, Minor = 0, Patch = 0;
    std::string SysName; // "Linux"
};
// The kernel's version; false when it cannot be read.
bool GetOSVersion(TOSVersion& version);

// The system's text for an errno value.
std::string SysErrorMessage(int error);
// The errno of the calling thread's last failed system call.
int GetLastError();

// Milliseconds of a monotonic clock, truncated to 32 bits (wraps: subtract as unsigned).
uint32_t GetTickCount();
// The calling thread's id.
uint32_t GetCurrentThreadId();
// Suspends the calling thread.
void Sleep(uint32_t milliseconds);

} // namespace zan
