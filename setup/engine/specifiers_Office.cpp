#include "setup/engine/specifiers_Office.h"

#include "host/rtl/SysUtils.h"
#include "host/win/WinFs.h"
#include "host/win/WinShell.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/routines_API.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

namespace {

bool KnownVersion(int v) { return v >= 7 && v <= 19; }

std::string OfficeKey(int v) {
    return (v <= 8 ? std::string("\\Software\\Microsoft\\Office\\")
                   : std::string("\\Software\\Policies\\Microsoft\\Office\\")) +
           IntToStr(v) + ".0";
}

std::string ProgramFilesSub(const char* sub) {
    return RemoveTrailingBackslash(GetProgramFilesDir()) + "\\" + sub;
}

// The default value of the file-new key for name, else def.
std::string FileNewPath(const std::string& name, const std::string& def) {
    int v = OfficeVersion();
    if (!KnownVersion(v)) return RemoveTrailingBackslash(def);
    return RemoveTrailingBackslash(
        RegReadString(hkCurrentUser, OfficeKey(v) + "\\Common\\FileNew\\" + name, "", def));
}

// A value of the Word options key, else def.
std::string WordOptionPath(const std::string& value, const std::string& def) {
    int v = OfficeVersion();
    if (!KnownVersion(v)) return RemoveTrailingBackslash(def);
    return RemoveTrailingBackslash(
        RegReadString(hkCurrentUser, OfficeKey(v) + "\\Word\\Options", value, def));
}

std::string UserTemplates() {
    return FileNewPath("LocalTemplates", ProgramFilesSub("Microsoft Office\\Templates"));
}

std::string WorkgroupTemplates() { return FileNewPath("SharedTemplates", UserTemplates()); }

std::string ClipartDirectory() {
    return WordOptionPath("PICTURE-PATH", ProgramFilesSub("Microsoft Office\\Clipart"));
}

std::string StartupDirectory() {
    return WordOptionPath("STARTUP-PATH", ProgramFilesSub("Microsoft Office\\Office\\Startup"));
}

std::string ToolsDirectory() {
    return WordOptionPath("TOOLS-PATH", ProgramFilesSub("Microsoft Office\\Office"));
}

std::string FavoritesDirectory() {
    return RegReadString(hkCurrentUser, ShellFoldersKey, "Favorites",
                         RemoveTrailingBackslash(GetWindowsDir()) + "\\" + "Favorites");
}

} // namespace

int OfficeVersion() {
    try {
        std::string progId = RegReadString(hkClassesRoot, "\\Word.Document\\CurVer", "", "");
        size_t first = progId.find('.');
        if (first == std::string::npos) return -1;
        size_t second = progId.find('.', first + 1);
        if (second == std::string::npos) return -1;
        std::string server = RegReadString(
            hkClassesRoot, "\\" + progId + "\\protocol\\StdFileEditing\\server", "", "");
        if (server.empty() || !WinFileExists(server)) return -1;
        int version;
        if (!TryStrToInt(progId.substr(second + 1), version)) return -1;
        return version;
    } catch (const Exception&) {
        return -1;
    }
}

#define ZAN_OFFICE_DEFINE(Name, Identifier, Description, Caption, Routine)                          \
    Name::Name(TComponent* owner)                                                                  \
        : TRoutinePathSpecifier(owner, Identifier, 0, Description, Caption, Routine) {}

ZAN_OFFICE_DEFINE(TpsOfficeUserTemplates, "psOfficeUserTemplates",
                  "Path to the MS Office User Templates directory", "User Templates", UserTemplates)
ZAN_OFFICE_DEFINE(TpsOfficeWorkgroupTemplates, "psOfficeWorkgroupTemplates",
                  "Path to the MS Office Workgroup Templates directory", "Workgroup Templates",
                  WorkgroupTemplates)
ZAN_OFFICE_DEFINE(TpsOfficeClipartDirectory, "psOfficeClipartDirectory",
                  "Path to the MS Office Clipart directory", "Office Clipart dir", ClipartDirectory)
ZAN_OFFICE_DEFINE(TpsOfficeStartupDirectory, "psOfficeStartupDirectory",
                  "Path to the MS Office Startup directory", "Office Startup dir", StartupDirectory)
ZAN_OFFICE_DEFINE(TpsOfficeToolsDirectory, "psOfficeToolsDirectory",
                  "Path to the MS Office Tools directory", "Office Tools dir", ToolsDirectory)
ZAN_OFFICE_DEFINE(TpsOfficeFavoritesDirectory, "psOfficeFavoritesDirectory",
                  "Path to the MS Office Favorites directory", "Office Favorites dir",
                  FavoritesDirectory)

#undef ZAN_OFFICE_DEFINE

void RegisterOfficeSpecifiers(TPathSpecifierClassList& list) {
    for (TPathSpecifierClass cls :
         {TpsOfficeUserTemplates::Class(), TpsOfficeWorkgroupTemplates::Class(),
          TpsOfficeClipartDirectory::Class(), TpsOfficeStartupDirectory::Class(),
          TpsOfficeToolsDirectory::Class(), TpsOfficeFavoritesDirectory::Class()})
        list.Add(cls);
}

} // namespace zan
