#include "host/win/WinSys.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zan {

std::string GetUserNameStr() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name)
        return found->pw_name;
    const char* user = std::getenv("USER");
    return user ? user : "";
}

std::string GetComputerNameStr() {
    char name[256 + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

bool GetOSVersion(TOSVersion& version) {
    utsname info{};
    if (uname(&info) != 0) return false;
    version = TOSVersion{};
    version.SysName = info.sysname;
    const char* p = info.release;
    int* parts[] = {&version.Major, &version.Minor, &version.Patch};
    for (int* part : parts) {
        char* end = nullptr;
        long v = std::strtol(p, &end, 10);
        if (end == p) break;
        *part = static_cast<int>(v);
        p = (*end == '.') ? end + 1 : end;
        if (*end != '.') break;
    }
    return true;
}

std::string SysErrorMessage(int error) {
    char buffer[256] = {};
    // The GNU strerror_r answers a pointer that may or may not be the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text ? text : "";
}

int GetLastError() {
    return errno;
}

uint32_t GetTickCount() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

uint32_t GetCurrentThreadId() {
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

void Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace zan
