// File routines of the installer: attributes as a set, the nearest existing directory, system
// strings, and the folder dialog's logic (initial selection, create with parents, the
// before-create event, reopening after a create) over the folder chooser of TUserPrompts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/rtl/Classes.h"

namespace zan {

enum TCrvnFileAttribute : uint8_t {
    cfaArchive,
    cfaCompressed,
    cfaDirectory,
    cfaHidden,
    cfaNormal,
    cfaOffline,
    cfaReadOnly,
    cfaSystem,
    cfaTemporary
};

class TCrvnFileAttributes {
public:
    constexpr TCrvnFileAttributes() = default;
    constexpr TCrvnFileAttributes(std::initializer_list<TCrvnFileAttribute> items) {
        for (TCrvnFileAttribute a : items)
            Include(a);
    }
    constexpr bool Contains(TCrvnFileAttribute a) const { return (FBits >> a) & 1u; }
    constexpr void Include(TCrvnFileAttribute a) { FBits = static_cast<uint16_t>(FBits | (1u << a)); }
    constexpr void Exclude(TCrvnFileAttribute a) { FBits = static_cast<uint16_t>(FBits & ~(1u << a)); }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr bool operator==(const TCrvnFileAttributes&) const = default;

private:
    uint16_t FBits = 0;
};

// Sets the Windows attributes of the members (cfaCompressed ignored); IEfcSetAttributes
// "Cannot set file attributes. Error : %s" with the system's message on failure.
void SetFileAttributesFromSet(const std::string& fileName, TCrvnFileAttributes attributes);
// Reads the attributes of an existing file; a missing file leaves the set empty.
void GetFileAttributesAsSet(const std::string& fileName, TCrvnFileAttributes& attributes);

// Trimmed empty path: empty; an existing directory: itself; else the same test on the path
// without its last "\" component (empty when nothing of it exists).
std::string NearestExistingDirectory(const std::string& path);

// String id of a system library. There are no such libraries here: the strings the folder
// dialog uses answer their English defaults ("comdlg32.dll" 703 "New Folder", "shell32.dll"
// 8977 "Enter a name for the new folder:", 9248 "Browse for Folder"); others are empty.
std::string LoadSystemString(const std::string& library, int id);

// The folder dialog's texts from the system strings.
struct TOFDResourceStrings {
    static std::string CreateCaption();    // comdlg32 703
    static std::string NewFolderCaption(); // comdlg32 703
    static std::string NewFolderPrompt();  // shell32 8977
    static std::string BrowseTitle();      // shell32 9248
};

// The folder-browse dialog with a create button and a path edit. Execute answers whether a
// folder was chosen; the folder is GetChosenPath(). The window itself belongs to the forms
// layer: here the chooser of UserPrompts() stands for it.
class TOpenFolderDialog : public TComponent {
public:
    explicit TOpenFolderDialog(TComponent* owner = nullptr) : TComponent(owner) {}
    ZAN_CLASS(TOpenFolderDialog)

    bool Execute();

    const std::string& GetChosenPath() const { return FChosenPath; }
    void SetChosenPath(const std::string& path) { FChosenPath = path; }
    const std::string& GetInitialDir() const { return FInitialDir; }
    void SetInitialDir(const std::string& dir) { FInitialDir = dir; }
    bool GetShowCreateButton() const { return FShowCreateButton; }
    void SetShowCreateButton(bool show) { FShowCreateButton = show; }
    bool GetShowPathEdit() const { return FShowPathEdit; }
    void SetShowPathEdit(bool show) { FShowPathEdit = show; }
    bool GetFolderCreated() const { return FFolderCreated; }

    // The selection the browser starts on: the nearest existing directory of dir, without
    // its trailing "\" when longer than 3 characters.
    static std::string InitialSelection(const std::string& dir);

    // Before a folder is created; allow is true on entry.
    std::function<void(TObject* sender, bool& allow)> OnBeforeCreateFolder;

private:
    // One run of the browser; answers whether a folder was chosen.
    bool Browse(const std::string& initial);
    // The create button: answers false when refused or cancelled.
    bool CreateFolder(const std::string& editText);

    std::string FChosenPath;
    std::string FInitialDir;
    bool FShowCreateButton = true;
    bool FShowPathEdit = true;
    bool FFolderCreated = false;
};

} // namespace zan
