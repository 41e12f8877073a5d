// The shell's special folders (CSIDL numbers) of the emulated machine, and the step that makes
// a fresh machine: folders created under C:, and the same paths seeded into the registry
// (HKCU "Shell Folders", HKLM ProgramFilesDir and CommonFilesDir) so that both routes agree.
//
// Layouts: NT (Windows 2000 and XP: "C:\Documents and Settings\<user>" and "All Users"; NT4:
// "<windows>\Profiles") and 9x (everything under the Windows directory, no common folders).
// Virtual folders (3 controls, 4 printers, 10 recycle bin) have no path.
#pragma once

#include <string>

#include "host/win/WinEnv.h"

namespace zan {

enum : int {
    CSIDL_DESKTOP = 0,
    CSIDL_PROGRAMS = 2,
    CSIDL_CONTROLS = 3,
    CSIDL_PRINTERS = 4,
    CSIDL_PERSONAL = 5,
    CSIDL_FAVORITES = 6,
    CSIDL_STARTUP = 7,
    CSIDL_RECENT = 8,
    CSIDL_SENDTO = 9,
    CSIDL_BITBUCKET = 10,
    CSIDL_STARTMENU = 11,
    CSIDL_DESKTOPDIRECTORY = 16,
    CSIDL_FONTS = 20,
    CSIDL_TEMPLATES = 21,
    CSIDL_COMMON_STARTMENU = 22,
    CSIDL_COMMON_PROGRAMS = 23,
    CSIDL_COMMON_STARTUP = 24,
    CSIDL_COMMON_DESKTOPDIRECTORY = 25,
    CSIDL_APPDATA = 26,
    CSIDL_PRINTHOOD = 27,
    CSIDL_ALTSTARTUP = 29,
    CSIDL_COMMON_ALTSTARTUP = 30,
    CSIDL_COMMON_FAVORITES = 31,
    CSIDL_INTERNET_CACHE = 32,
    CSIDL_COOKIES = 33,
    CSIDL_HISTORY = 34,
    CSIDL_WINDOWS = 36,
    CSIDL_SYSTEM = 37,
    CSIDL_PROGRAM_FILES = 38,
    CSIDL_PROGRAM_FILES_COMMON = 43,
};

// The folder's Windows path for the machine's layout; false (path unchanged) for virtual and
// unknown folders.
bool WinGetSpecialFolder(int csidl, std::string& path);

// The registry key of the per-user shell folders, and of the program-files values.
inline constexpr const char* ShellFoldersKey =
    "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
inline constexpr const char* CurrentVersionKey = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

struct TInitEnvOptions {
    TWinPreset Preset = wpXP;
    std::string UserName = "User";
    bool SeedShellFolders = true; // off: the registry stays empty, readers fall back
};

// Makes root a fresh machine (or refreshes one): settings, drive folders, the Windows, system
// and temporary directories, every special folder, and (optionally) the seeded registry.
void InitEnv(const std::string& root, const TInitEnvOptions& options = {});

} // namespace zan
