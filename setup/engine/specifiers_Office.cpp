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

TpsOfficeUserTemplates::TpsOfficeUserTemplates(TComponent* owner)
    : TStandardPathSpecifier(owner, "psOfficeUserTemplates", 0,
                             "Path to the MS Office User Templates directory", "User Templates") {}

void TpsOfficeUserTemplates::GetPath(TComponent*, std::string& path) {
    path = FileNewPath("LocalTemplates", ProgramFilesSub("Microsoft Office\\Templates"));
}

TpsOfficeWorkgroupTemplates::TpsOfficeWorkgroupTemplates(TComponent* owner)
    : TStandardPathSpecifier(owner, "psOfficeWorkgroupTemplates", 0,
                             "Path to the MS Office Workgroup Templates directory",
                             "Workgroup Templates") {}

void TpsOfficeWorkgroupTemplates::GetPath(TComponent*, std::string& path) {
    path = FileNewPath("SharedTemplates",
                       FileNewPath("LocalTemplates", ProgramFilesSub("Microsoft Office\\Templates")));
}

TpsOfficeClipartDirectory::TpsOfficeClipartDirectory(TComponent* owner)
    : TStandardPathSpecifier(owner, "psOfficeClipartDirectory", 0,
                             "Path to the MS Office Clipart directory", "Office Clipart dir") {}

void TpsOfficeClipartDirectory::GetPath(TComponent*, std::string& path) {
    path = WordOptionPath("PICTURE-PATH", ProgramFilesSub("Microsoft Office\\Clipart"));
}

TpsOfficeStartupDirectory::TpsOfficeStartupDirectory(TComponent* owner)
    : TStandardPathSpecifier(owner, "psOfficeStartupDirectory", 0,
                             "Path to the MS Office Startup directory", "Office Startup dir") {}

void TpsOfficeStartupDirectory::GetPath(TComponent*, std::string& path) {
    path = WordOptionPath("STARTUP-PATH", ProgramFilesSub("Microsoft Office\\Office\\Startup"));
}

TpsOfficeToolsDirectory::TpsOfficeToolsDirectory(TComponent* owner)
    : TStandardPathSpecifier(owner, "psOfficeToolsDirectory", 0,
                             "Path to the MS Office Tools directory", "Office Tools dir") {}

void TpsOfficeToolsDirectory::GetPath(TComponent*, std::string& path) {
    path = WordOptionPath("TOOLS-PATH", ProgramFilesSub("Microsoft Office\\Office"));
}

TpsOfficeFavoritesDirectory::TpsOfficeFavoritesDirectory(TComponent* owner)
    : TStandardPathSpecifier(owner, "psOfficeFavoritesDirectory", 0,
                             "Path to the MS Office Favorites directory", "Office Favorites dir") {}

void TpsOfficeFavoritesDirectory::GetPath(TComponent*, std::string& path) {
    path = RemoveTrailingBackslash(
        RegReadString(hkCurrentUser, ShellFoldersKey, "Favorites",
                      RemoveTrailingBackslash(GetWindowsDir()) + "\\" + "Favorites"));
}

void RegisterOfficeSpecifiers(TPathSpecifierClassList& list) {
    for (TPathSpecifierClass cls :
         {TpsOfficeUserTemplates::Class(), TpsOfficeWorkgroupTemplates::Class(),
          TpsOfficeClipartDirectory::Class(), TpsOfficeStartupDirectory::Class(),
          TpsOfficeToolsDirectory::Class(), TpsOfficeFavoritesDirectory::Class()})
        list.Add(cls);
}

} // namespace zan
