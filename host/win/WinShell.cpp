#include "host/win/WinShell.h"

#include <cstring>

#include "host/rtl/Format.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "host/win/WinRegistry.h"

namespace zan {

namespace {

struct TFolderRow {
    int Csidl;
    const char* Sub;        // below the profile (NT) or the Windows directory (9x)
    bool Common;            // NT: below "All Users"; 9x: absent
    const char* ShellValue; // its "Shell Folders" value name, or nullptr
};

constexpr TFolderRow UserFolders[] = {
    {CSIDL_DESKTOP, "Desktop", false, nullptr},
    {CSIDL_PROGRAMS, "Start Menu\\Programs", false, "Programs"},
    {CSIDL_FAVORITES, "Favorites", false, "Favorites"},
    {CSIDL_STARTUP, "Start Menu\\Programs\\Startup", false, "Startup"},
    {CSIDL_RECENT, "Recent", false, "Recent"},
    {CSIDL_SENDTO, "SendTo", false, "SendTo"},
    {CSIDL_STARTMENU, "Start Menu", false, "Start Menu"},
    {CSIDL_DESKTOPDIRECTORY, "Desktop", false, "Desktop"},
    {CSIDL_TEMPLATES, "Templates", false, "Templates"},
    {CSIDL_APPDATA, "Application Data", false, "AppData"},
    {CSIDL_PRINTHOOD, "PrintHood", false, "PrintHood"},
    {CSIDL_COOKIES, "Cookies", false, "Cookies"},
    {CSIDL_INTERNET_CACHE, "Local Settings\\Temporary Internet Files", false, "Cache"},
    {CSIDL_HISTORY, "Local Settings\\History", false, "History"},
    {CSIDL_COMMON_STARTMENU, "Start Menu", true, "Common Start Menu"},
    {CSIDL_COMMON_PROGRAMS, "Start Menu\\Programs", true, "Common Programs"},
    {CSIDL_COMMON_STARTUP, "Start Menu\\Programs\\Startup", true, "Common Startup"},
    {CSIDL_COMMON_DESKTOPDIRECTORY, "Desktop", true, "Common Desktop"},
    {CSIDL_COMMON_FAVORITES, "Favorites", true, "Common Favorites"},
};

std::string ProfilesDir(const TWinEnv& env) {
    return env.Preset == wpNT4 ? env.WindowsDir() + "\\Profiles" : "C:\\Documents and Settings";
}

} // namespace

bool WinGetSpecialFolder(int csidl, std::string& path) {
    const TWinEnv& env = CurrentWinEnv();
    switch (csidl) {
    case CSIDL_WINDOWS: path = env.WindowsDir(); return true;
    case CSIDL_SYSTEM: path = env.SystemDir(); return true;
    case CSIDL_FONTS: path = env.WindowsDir() + "\\Fonts"; return true;
    case CSIDL_PROGRAM_FILES: path = "C:\\Program Files"; return true;
    case CSIDL_PROGRAM_FILES_COMMON: path = "C:\\Program Files\\Common Files"; return true;
    case CSIDL_PERSONAL:
        path = env.EffectiveLayout() == flNT ? ProfilesDir(env) + "\\" + env.UserName + "\\My Documents"
                                             : "C:\\My Documents";
        return true;
    default: break;
    }
    for (const TFolderRow& row : UserFolders) {
        if (row.Csidl != csidl) continue;
        if (env.EffectiveLayout() == flNT) {
            path = ProfilesDir(env) + "\\" + (row.Common ? std::string("All Users") : env.UserName) +
                   "\\" + row.Sub;
            return true;
        }
        if (row.Common) return false;
        std::string sub = row.Sub;
        // 9x keeps its caches directly below the Windows directory.
        if (sub.rfind("Local Settings\\", 0) == 0) sub = sub.substr(15);
        path = env.WindowsDir() + "\\" + sub;
        return true;
    }
    return false;
}

void InitEnv(const std::string& root, const TInitEnvOptions& options) {
    // The user name becomes a folder name and a line of the machine's settings: checked before
    // anything is made or saved.
    for (unsigned char c : options.UserName)
        if (c < 32 || c == 127 || std::strchr("\\/:*?\"<>|", c))
            throw EWinEnvError(Format("Bad user name \"%s\"", options.UserName));
    UseSandbox(root);
    TWinEnv& env = CurrentWinEnv();
    env.Preset = options.Preset;
    env.UserName = options.UserName;
    SaveWinEnv();
    ClearDirCache();
    WinForceDirectories("C:\\");
    WinForceDirectories("A:\\");
    WinForceDirectories(env.SystemDir());
    WinForceDirectories(WinGetTempPath());
    std::string path;
    for (int csidl = 0; csidl < 64; ++csidl)
        if (WinGetSpecialFolder(csidl, path)) WinForceDirectories(path);
    if (!options.SeedShellFolders) return;
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    reg.OpenKey(ShellFoldersKey, true);
    for (const TFolderRow& row : UserFolders)
        if (!row.Common && row.ShellValue && WinGetSpecialFolder(row.Csidl, path))
            reg.WriteString(row.ShellValue, path);
    if (WinGetSpecialFolder(CSIDL_PERSONAL, path)) reg.WriteString("Personal", path);
    reg.WriteString("Fonts", env.WindowsDir() + "\\Fonts");
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    reg.OpenKey(ShellFoldersKey, true);
    for (const TFolderRow& row : UserFolders)
        if (row.Common && WinGetSpecialFolder(row.Csidl, path)) reg.WriteString(row.ShellValue, path);
    reg.OpenKey(CurrentVersionKey, true);
    reg.WriteString("ProgramFilesDir", "C:\\Program Files");
    reg.WriteString("CommonFilesDir", "C:\\Program Files\\Common Files");
    RegFlushHive(HKEY_CURRENT_USER);
    RegFlushHive(HKEY_LOCAL_MACHINE);
}

} // namespace zan
