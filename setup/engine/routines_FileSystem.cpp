#include "setup/engine/routines_FileSystem.h"

#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "setup/engine/AppServices.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

namespace {

struct TAttributeMap {
    TCrvnFileAttribute Member;
    uint32_t Windows;
};
constexpr TAttributeMap AttributeMap[] = {
    {cfaArchive, FILE_ATTRIBUTE_ARCHIVE},     {cfaDirectory, FILE_ATTRIBUTE_DIRECTORY},
    {cfaHidden, FILE_ATTRIBUTE_HIDDEN},       {cfaNormal, FILE_ATTRIBUTE_NORMAL},
    {cfaOffline, FILE_ATTRIBUTE_OFFLINE},     {cfaReadOnly, FILE_ATTRIBUTE_READONLY},
    {cfaSystem, FILE_ATTRIBUTE_SYSTEM},       {cfaTemporary, FILE_ATTRIBUTE_TEMPORARY},
};

// The directory part as the framework's ExtractFileDir gives it ("C:\a" -> "C:\").
std::string ExtractDir(const std::string& path) {
    size_t i = path.find_last_of("\\:");
    if (i == std::string::npos) return "";
    if (i > 0 && path[i] == '\\' && path[i - 1] != '\\' && path[i - 1] != ':') return path.substr(0, i);
    return path.substr(0, i + 1);
}

} // namespace

void SetFileAttributesFromSet(const std::string& fileName, TCrvnFileAttributes attributes) {
    uint32_t bits = 0;
    for (const TAttributeMap& m : AttributeMap)
        if (attributes.Contains(m.Member)) bits |= m.Windows;
    try {
        WinSetFileAttributes(fileName, bits);
    } catch (const EWinError& e) {
        throw IEfcSetAttributes("Cannot set file attributes. Error : %s", {WinErrorMessage(e.Code)});
    }
}

void GetFileAttributesAsSet(const std::string& fileName, TCrvnFileAttributes& attributes) {
    attributes = {};
    if (!WinFileExists(fileName)) return;
    uint32_t bits = WinGetFileAttributes(fileName);
    for (const TAttributeMap& m : AttributeMap)
        if (bits & m.Windows) attributes.Include(m.Member);
}

std::string NearestExistingDirectory(const std::string& path) {
    std::string p = Trim(path);
    while (!p.empty()) {
        if (WinDirectoryExists(p)) return p;
        std::string parent = ExtractDir(RemoveTrailingBackslash(p));
        if (parent == p) return "";
        p = parent;
    }
    return "";
}

std::string LoadSystemString(const std::string& library, int id) {
    if (SameName(library, "comdlg32.dll") && id == 703) return "New Folder";
    if (SameName(library, "shell32.dll") && id == 8977) return "Enter a name for the new folder:";
    if (SameName(library, "shell32.dll") && id == 9248) return "Browse for Folder";
    return "";
}

std::string TOFDResourceStrings::CreateCaption() { return LoadSystemString("comdlg32.dll", 703); }
std::string TOFDResourceStrings::NewFolderCaption() { return LoadSystemString("comdlg32.dll", 703); }
std::string TOFDResourceStrings::NewFolderPrompt() { return LoadSystemString("shell32.dll", 8977); }
std::string TOFDResourceStrings::BrowseTitle() { return LoadSystemString("shell32.dll", 9248); }

std::string TOpenFolderDialog::InitialSelection(const std::string& dir) {
    std::string nearest = NearestExistingDirectory(dir);
    if (nearest.size() > 3) return RemoveTrailingBackslash(nearest);
    return nearest;
}

bool TOpenFolderDialog::CreateFolder(const std::string& editText) {
    bool allow = true;
    if (OnBeforeCreateFolder) OnBeforeCreateFolder(this, allow);
    if (!allow) return false;
    std::string target = editText;
    if (WinDirectoryExists(editText)) {
        // The edit names an existing folder: the new one goes inside it.
        std::string name;
        if (!UserPrompts().InputQuery(TOFDResourceStrings::NewFolderCaption(),
                                      TOFDResourceStrings::NewFolderPrompt(), name))
            return false;
        target = RemoveTrailingBackslash(editText) + "\\" + name;
    }
    FChosenPath = target;
    WinForceDirectories(FChosenPath);
    FFolderCreated = true;
    return true;
}

bool TOpenFolderDialog::Browse(const std::string& initial) {
    TFolderChoice choice = UserPrompts().ChooseFolder(TOFDResourceStrings::BrowseTitle(),
                                                      InitialSelection(initial));
    if (choice.Action == faCreate) {
        if (!FShowCreateButton || !CreateFolder(choice.Path)) return false;
        return true; // the create presses OK
    }
    if (choice.Action != faChosen || choice.Path.empty()) return false;
    FChosenPath = choice.Path;
    // A path typed in the edit is made when the dialog closes with it.
    if (FShowPathEdit && !WinDirectoryExists(FChosenPath)) WinForceDirectories(FChosenPath);
    return true;
}

bool TOpenFolderDialog::Execute() {
    FFolderCreated = false;
    bool created = false;
    bool chosen = Browse(FInitialDir.empty() ? FChosenPath : FInitialDir);
    // After a create the dialog opens again on the new folder; its answer is the final one.
    while (chosen && FFolderCreated) {
        created = true;
        FFolderCreated = false;
        chosen = Browse(FChosenPath);
    }
    FFolderCreated = created;
    return chosen;
}

} // namespace zan
