#include "setup/engine/specifiers_windows.h"

#include "host/win/WinShell.h"
#include "setup/engine/routines_API.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

namespace {

enum TFamily : uint8_t { famNT, fam9x, famOther };

TFamily RunningFamily() {
    switch (GetOSVerType()) {
    case oswinNT:
    case oswin2K:
    case oswinXP: return famNT;
    case oswin95:
    case oswin98:
    case oswinME: return fam9x;
    default: return famOther;
    }
}

constexpr int None = -1;
constexpr int MaxPath = 260;

} // namespace

void GetShellFolderPath(int csidl, std::string& path) {
    std::string found;
    if (WinGetSpecialFolder(csidl, found) && found.size() < MaxPath) path = found;
}

TShellFolderSpecifier::TShellFolderSpecifier(TComponent* owner, const char* identifier,
                                             const char* description, const char* shortCaption,
                                             int ntFolder, int x9Folder, const char* otherText)
    : TStandardPathSpecifier(owner, identifier, 0, description, shortCaption),
      FNTFolder(ntFolder), F9xFolder(x9Folder), FOtherText(otherText) {}

void TShellFolderSpecifier::GetPath(TComponent*, std::string& path) {
    path.clear();
    TFamily family = RunningFamily();
    int folder = family == famNT ? FNTFolder : family == fam9x ? F9xFolder : None;
    if (family == famNT && FNotOnXP && GetOSVerType() == oswinXP) return;
    if (folder == None) {
        path = FOtherText;
        return;
    }
    GetShellFolderPath(folder, path);
    path = RemoveTrailingBackslash(path);
}

#define ZAN_SHELL_DEFINE(Name, Id, Description, Caption, NT, X9, Other)                            \
    Name::Name(TComponent* owner)                                                                  \
        : TShellFolderSpecifier(owner, Id, Description, Caption, NT, X9, Other) {}

ZAN_SHELL_DEFINE(TpsRecent, "psRecent", "Recently Used Documents", "Recently Used", CSIDL_RECENT,
                 None, "undefined")
ZAN_SHELL_DEFINE(TpsPrinters, "psPrinters", "virtual folder containing installed printers",
                 "Installed Printers", CSIDL_PRINTERS, None, "undefined")
ZAN_SHELL_DEFINE(TpsCommonDesktopDirectory, "psCommonDesktopDirectory", "Common Desktop Directory",
                 "Common Desktop", CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY,
                 "undefined")
ZAN_SHELL_DEFINE(TpsFavorites, "psFavorites", "Favorites", "Favorites", CSIDL_FAVORITES, None,
                 "undefined")
ZAN_SHELL_DEFINE(TpsControlPanel, "psControlPanel", "Control Panel", "Control Panel",
                 CSIDL_CONTROLS, None, "")
ZAN_SHELL_DEFINE(TpsBitBucket, "psBitBucket", "Recycle bin", "Recycle bin", CSIDL_BITBUCKET, None,
                 "")
ZAN_SHELL_DEFINE(TpsCookies, "psCookies", "Cookies", "Cookies", CSIDL_COOKIES, None, "")
ZAN_SHELL_DEFINE(TpsSendTo, "psSendTo", "Send To Menu", "Send To", CSIDL_SENDTO, None, "")
ZAN_SHELL_DEFINE(TpsStartup, "psStartup", "User Startup", "Startup", CSIDL_STARTUP, None, "")
ZAN_SHELL_DEFINE(TpsCommonAltStartup, "psCommonAltStartup",
                 "Alternate Startup folder for (All Users profile)",
                 "Common Alternate Startup folder", CSIDL_COMMON_ALTSTARTUP, CSIDL_ALTSTARTUP, "")
ZAN_SHELL_DEFINE(TpsCommonStartMenu, "psCommonStartMenu", "Common Start Menu", "Common Start Menu",
                 CSIDL_COMMON_STARTMENU, CSIDL_STARTMENU, "")
ZAN_SHELL_DEFINE(TpsCommonPrograms, "psCommonPrograms", "Common Programs", "Common Programs",
                 CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS, "")
ZAN_SHELL_DEFINE(TpsCommonFavorites, "psCommonFavorites", "Common Favorites", "Common Favorites",
                 CSIDL_COMMON_FAVORITES, CSIDL_FAVORITES, "")

#undef ZAN_SHELL_DEFINE

// The common startup folder is asked for on NT 4 and 2000 only: on XP the path stays empty.
TpsCommonStartup::TpsCommonStartup(TComponent* owner)
    : TShellFolderSpecifier(owner, "psCommonStartup", "Common Startup directory", "Common Startup",
                            CSIDL_COMMON_STARTUP, CSIDL_STARTUP, "") {
    FNotOnXP = true;
}

TpsQuickLaunchMenu::TpsQuickLaunchMenu(TComponent* owner)
    : TStandardPathSpecifier(owner, "psQuickLaunchMenu", 0, "Path of the Quick Launch Toolbar Menu",
                             "Quick Launch Toolbar menu") {}

void TpsQuickLaunchMenu::GetPath(TComponent*, std::string& path) {
    std::string appData;
    GetShellFolderPath(CSIDL_APPDATA, appData);
    appData = RemoveTrailingBackslash(appData);
    path = appData.empty() ? "undefined"
                           : appData + "\\Microsoft\\Internet Explorer\\Quick Launch";
}

void RegisterWindowsSpecifiers(TPathSpecifierClassList& list) {
    for (TPathSpecifierClass cls :
         {TpsPrinters::Class(), TpsRecent::Class(), TpsSendTo::Class(), TpsStartup::Class(),
          TpsControlPanel::Class(), TpsFavorites::Class(), TpsBitBucket::Class(),
          TpsCookies::Class(), TpsCommonAltStartup::Class(), TpsCommonStartup::Class(),
          TpsCommonDesktopDirectory::Class(), TpsCommonFavorites::Class(),
          TpsCommonPrograms::Class(), TpsCommonStartMenu::Class(), TpsQuickLaunchMenu::Class()})
        list.Add(cls);
}

} // namespace zan
