#include "setup/engine/routines_API.h"

#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

namespace {

constexpr uint32_t VER_PLATFORM_WIN32s = 0;
constexpr uint32_t VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr uint32_t VER_PLATFORM_WIN32_NT = 2;

const char* ShellFolders = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char* CurrentVersion = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

std::string CurrentDrive() { return WinGetCurrentDirectory().substr(0, 2); }

} // namespace

TOSVerType OSVerTypeFromVersion(uint32_t platformId, uint32_t major, uint32_t minor) {
    switch (platformId) {
    case VER_PLATFORM_WIN32s: return os31win32;
    case VER_PLATFORM_WIN32_WINDOWS: return minor == 90 ? oswinME : oswin98;
    case VER_PLATFORM_WIN32_NT:
        if (major < 4) return oswinNT351;
        if (major == 4) return oswinNT;
        if (major == 5) return minor == 0 ? oswin2K : oswinXP;
        return osUnidentified;
    default: return osUnidentified;
    }
}

TOSVerType GetOSVerType() {
    TWinVersion v;
    try {
        v = CurrentWinEnv().Version();
    } catch (const Exception&) {
        throw EAPIRoutines("Could not get information about the current version of Windows");
    }
    return OSVerTypeFromVersion(v.PlatformId, v.Major, v.Minor);
}

std::string CreateTempFileName(bool keep) {
    try {
        std::string name = WinGetTempFileName(WinGetTempPath(), "bat");
        if (!keep) WinDeleteFile(name);
        return name;
    } catch (const EWinError&) {
        throw EAPIRoutines("Cannot create a temporary file");
    }
}

std::string GetSystemDir() {
    try {
        return WinGetSystemDirectory();
    } catch (const Exception&) {
        throw EAPIRoutines("Could not retrieve the system directroy from windows");
    }
}

std::string GetWindowsDir() {
    try {
        return WinGetWindowsDirectory();
    } catch (const Exception&) {
        throw EAPIRoutines("Could not retrieve the windows directory from windows");
    }
}

std::string GetShortPath(const std::string& path) {
    if (path.size() > 400) return "";
    try {
        return WinGetShortPathName(path);
    } catch (const EWinError&) {
        return "";
    }
}

std::string GetStartMenuDir() {
    return RemoveTrailingBackslash(RegReadString(hkCurrentUser, ShellFolders, "Start Menu",
                                                 GetWindowsDir() + "\\" + "Startmen"));
}

std::string GetProgramsMenuDir() {
    return RemoveTrailingBackslash(RegReadString(hkCurrentUser, ShellFolders, "Programs",
                                                 GetStartMenuDir() + "\\" + "Programs"));
}

std::string GetDesktopDir() {
    return RemoveTrailingBackslash(
        RegReadString(hkCurrentUser, ShellFolders, "Desktop", GetWindowsDir() + "\\Desktop"));
}

std::string GetStartupDir() {
    return RemoveTrailingBackslash(
        RegReadString(hkCurrentUser, ShellFolders, "Startup", GetWindowsDir() + "\\Startup"));
}

std::string GetProgramFilesDir() {
    return RemoveTrailingBackslash(RegReadString(hkLocalMachine, CurrentVersion, "ProgramFilesDir",
                                                 CurrentDrive() + "\\Program Files"));
}

std::string GetCommonFilesDir() {
    return RemoveTrailingBackslash(RegReadString(hkLocalMachine, CurrentVersion, "CommonFilesDir",
                                                 CurrentDrive() + "\\" +
                                                     "Program Files\\Common Files"));
}

} // namespace zan
