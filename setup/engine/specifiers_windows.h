// Path specifiers of the Windows shell folders. Each asks the shell for a special folder (a
// CSIDL number) chosen by the Windows family: NT (NT 4, 2000, XP) or 9x (95, 98, ME). Some
// answer the text "undefined" or an empty path on the other family; virtual folders (Control
// Panel, Printers, Recycle Bin) have no file-system path and stay empty.
#pragma once

#include <string>

#include "setup/engine/cmp_TPathSpecifier.h"

namespace zan {

// The special folder's path; on failure path is left as it was.
void GetShellFolderPath(int csidl, std::string& path);

// A shell-folder specifier: the folder per family, or a fixed text where the family has none.
class TShellFolderSpecifier : public TStandardPathSpecifier {
public:
    // csidl of -1 on a family answers otherText there.
    TShellFolderSpecifier(TComponent* owner, const char* identifier, const char* description,
                          const char* shortCaption, int ntFolder, int x9Folder,
                          const char* otherText);
    ZAN_CLASS(TShellFolderSpecifier)
    void GetPath(TComponent* component, std::string& path) override;

protected:
    int FNTFolder;
    int F9xFolder;
    std::string FOtherText;
    bool FNotOnXP = false; // the NT folder is asked for on NT 4 and 2000 only
};

#define ZAN_SHELL_SPECIFIER(Name)                                                                  \
    class Name : public TShellFolderSpecifier {                                                    \
    public:                                                                                        \
        explicit Name(TComponent* owner);                                                          \
        ZAN_PATH_SPECIFIER(Name)                                                                   \
    }

ZAN_SHELL_SPECIFIER(TpsPrinters);
ZAN_SHELL_SPECIFIER(TpsRecent);
ZAN_SHELL_SPECIFIER(TpsSendTo);
ZAN_SHELL_SPECIFIER(TpsStartup);
ZAN_SHELL_SPECIFIER(TpsControlPanel);
ZAN_SHELL_SPECIFIER(TpsFavorites);
ZAN_SHELL_SPECIFIER(TpsBitBucket);
ZAN_SHELL_SPECIFIER(TpsCookies);
ZAN_SHELL_SPECIFIER(TpsCommonAltStartup);
ZAN_SHELL_SPECIFIER(TpsCommonStartup);
ZAN_SHELL_SPECIFIER(TpsCommonDesktopDirectory);
ZAN_SHELL_SPECIFIER(TpsCommonFavorites);
ZAN_SHELL_SPECIFIER(TpsCommonPrograms);
ZAN_SHELL_SPECIFIER(TpsCommonStartMenu);

#undef ZAN_SHELL_SPECIFIER

// The application-data folder followed by "\Microsoft\Internet Explorer\Quick Launch";
// "undefined" when that folder is empty.
class TpsQuickLaunchMenu : public TStandardPathSpecifier {
public:
    explicit TpsQuickLaunchMenu(TComponent* owner);
    ZAN_PATH_SPECIFIER(TpsQuickLaunchMenu)
    void GetPath(TComponent* component, std::string& path) override;
};

// Adds the fifteen shell-folder classes in their registration order.
void RegisterWindowsSpecifiers(TPathSpecifierClassList& list);

} // namespace zan
