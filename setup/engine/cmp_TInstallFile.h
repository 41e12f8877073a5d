// One file of the installation (TCustomInstallFile, published as TInstallFile): where it comes
// from at build time (IncludeFromDir, FileName), where it goes (DestDirType, DestDir, DestName)
// and what happens around its copy: the property rules by extension and file type, an in-use
// destination replaced at the next start, self-registration, the shared-DLL count, help
// registration and the uninstall entries.
//
// Self-registration on this system: a server is an ELF shared object exporting
// `extern "C" int DllRegisterServer(void)`, loaded with dlopen in its destination directory (the
// texts' GetLastError value is errno). EXE servers are started with "/REGSERVER" through the
// program launcher. Type libraries cannot be registered here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/rtl/DateUtils.h"
#include "setup/engine/cmp_TCrvnCompress.h"
#include "setup/engine/cmp_TInstallContainer.h"
#include "setup/engine/routines_FileSystem.h"

namespace zan {

enum TInstallFileType : uint8_t {
    iftNormal,
    iftJustADLL,
    iftApplicationSpecificDLL,
    iftVendorSharedDLL,
    iftSystemWideDLL
};
enum TInstallFileState : uint8_t { ifsNone, ifsCompress, ifsInstall, ifsCopying, ifsReflect };
// What the last build did with the file.
enum TArchiveState : uint8_t { asNone, asPacked, asPackedAddOnly };

using TInstallFileNotifyEvent = std::function<void(TObject* sender)>;
using TInstallFileStatusEvent =
    std::function<void(TObject* sender, int percent, int overallPercent)>;
using TInstallFileNewDiskEvent =
    std::function<void(TObject* sender, int diskNumber, std::string& path)>;

inline constexpr const char* HelpKey = "\\SOFTWARE\\Microsoft\\Windows\\Help";
inline constexpr const char* SharedDLLsKey =
    "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

class TCustomInstallFile : public TFileRelated {
public:
    // Takes the first free id slot; IECustomInstallFile when all 2000 are taken.
    explicit TCustomInstallFile(TComponent* owner);
    ~TCustomInstallFile() override;
    ZAN_CLASS(TCustomInstallFile)
    int32_t RegisteredType() const override { return rtInstallFile; }
    void Loaded() override;

    int GetUniqueID() const { return FUniqueID; }
    // While loading: takes the streamed id (the first file loaded clears every slot first);
    // IECustomInstallFile for an id another loaded file holds.
    void SetUniqueID(int id);
    int64_t GetFileSize() const { return FFileSize; }
    int64_t GetStoredSize() const { return FStoredSize; }
    TDateTime GetFileDate() const { return FFileDate; }
    const std::string& GetVersion() const { return FVersion; }

    // Once per run: size, date and version from the file's archive header (found by id);
    // IECustomInstallFile when the archive has no header with the id.
    virtual void ReadInfoFromArchive();
    // Size, date and version of the source file.
    virtual void ReadFileInformation();
    virtual bool SourceFileExists();

    // The property rules apply to every writer below outside loading.
    void SetContainer(TInstallContainer* container) override;
    void SetDestDir(const std::string& dir) override;
    void SetDestDirType(TCustomPathSpecifier* specifier) override;
    virtual void SetActiveX(bool activeX);
    virtual void SetDestName(const std::string& name);
    virtual void SetFileName(const std::string& name);
    virtual void SetFileType(TInstallFileType type);
    virtual void SetIncludeFromDir(const std::string& dir);

    // The install of this file: the overwrite decision, replace at reboot, the extraction from
    // its archive, the post-copy steps.
    void ProcessChildren() override;
    // Build side: packs the source into the file's archive (excluded files only with
    // packExcluded). An abort of the packing raises EAIUserAbort.
    virtual void Compress(bool packExcluded = false);
    // Copies the source to the destination without an archive.
    virtual void Copy();
    // Writing ifsCompress, ifsInstall or ifsCopying runs that action at once.
    void SetState(TInstallFileState state);
    TInstallFileState GetState() const { return FState; }
    TOverwriteType GetOverwriteMode() const { return FOverwriteMode; }
    void SetOverwriteMode(TOverwriteType mode) { FOverwriteMode = mode; }
    // The file keeps an archive of its own on the net (own location or a version/date rule).
    bool KeepsOwnArchive() const;
    TArchiveState GetArchiveState() const { return FArchiveState; }
    const std::string& GetPackedArchive() const { return FPackedArchive; }
    void SetFileInfo(int64_t size, TDateTime date, const std::string& version);

    bool GetActiveX() const { return FActiveX; }
    const std::string& GetDestName() const { return FDestName; }
    const std::string& GetFileName() const { return FFileName; }
    TInstallFileType GetFileType() const { return FFileType; }
    const std::string& GetIncludeFromDir() const { return FIncludeFromDir; }
    bool GetRegisterAsHelp() const { return FRegisterAsHelp; }
    void SetRegisterAsHelp(bool on) { FRegisterAsHelp = on; }
    bool GetRunAfterInstall() const { return FRunAfterInstall; }
    void SetRunAfterInstall(bool on) { FRunAfterInstall = on; }
    bool GetUpdateDLLCounter() const { return FUpdateDLLCounter; }
    void SetUpdateDLLCounter(bool on) { FUpdateDLLCounter = on; }
    // True once the copy went to a temporary name that the next start moves into place.
    bool GetReplacedAtReboot() const { return FReplacedAtReboot; }
    // The temporary name of a file replaced at reboot ("" otherwise).
    const std::string& GetRebootName() const { return FRebootName; }
    // IncludeFromDir "\" FileName.
    std::string GetSourcePath() const;
    // The destination directory "\" DestName.
    std::string GetDestinationFile();

    // Before every copy: OnReplacing, -997, report 1003; an existing destination that cannot
    // be deleted is replaced at the next start (the copy goes to a temporary name).
    virtual void ReplaceAtReboot();
    // Help, the shared-DLL count, then the unfinished entry of a file replaced at reboot or
    // the self-registration (put on the retry list during a run when it fails).
    virtual void PostCopySteps();
    virtual void RegisterSelf();
    virtual void RegisterActiveX();
    // Raises: type libraries cannot be registered on this system.
    virtual void RegisterTypeLibrary();
    virtual void RegisterExeServer();
    virtual void UpdateSharedDLLs();
    // Resume after reboot: the self-registration, then the source's attributes.
    void ContinueUnfinished() override;
    void WriteUninstallInformation(const std::string& key) override;

    // The parameters of RunAfterInstall (empty unless set by code).
    std::string RunParameters;
    TCrvnFileAttributes InstallAttributes;

    TInstallFileNotifyEvent OnBeforeInstall;
    TInstallFileNotifyEvent OnAfterInstall;
    TInstallFileNotifyEvent OnBeforeCopy;
    TInstallFileNotifyEvent OnAfterCopy;
    TInstallFileNotifyEvent OnBeforeCompress;
    TInstallFileNotifyEvent OnAfterCompress;
    TInstallFileNotifyEvent OnReplacing;
    TInstallFileStatusEvent OnStatus;
    TInstallFileNewDiskEvent OnNewDisk;

protected:
    void CheckContainer(TInstallContainer* container) override;
    // The rules for a changed source (name, directory or container).
    void SourceChanged(const std::string& oldFileName);
    void DestinationTypeChanged();
    // Runs RegisterSelf with the destination directory as current directory.
    void InDestinationDirectory(const std::function<void()>& action);
    void CheckDestination();
    // The archive this file installs from and the component that reads it (the shared one, or
    // private, kept in owned).
    std::string ChooseArchive(std::unique_ptr<TCrvnCompress>& owned, TCrvnCompress*& archive);
    // The archive's status and new-disk events while this file works (code 1008-1010).
    void HookArchive(TCrvnCompress& archive, int statusCode);
    void AfterInstall();
    // MoveFileEx(temp, dest, REPLACE_EXISTING | DELAY_UNTIL_REBOOT).
    virtual void MoveAtReboot(const std::string& temp, const std::string& dest);
    int FUniqueID = 0;
    int64_t FFileSize = 0;
    int64_t FStoredSize = 0;
    TDateTime FFileDate = 0;
    std::string FVersion;
    bool FActiveX = false;
    std::string FDestName;
    std::string FFileName;
    TInstallFileType FFileType = iftNormal;
    std::string FIncludeFromDir;
    bool FRegisterAsHelp = false;
    bool FRunAfterInstall = false;
    bool FUpdateDLLCounter = false;
    bool FReplacedAtReboot = false;
    std::string FRebootName;
    TCrvnFileAttributes FSourceAttributes;
    TOverwriteType FOverwriteMode = owAlways;
    TInstallFileState FState = ifsNone;
    TArchiveState FArchiveState = asNone;
    std::string FPackedArchive;
    bool FInfoRead = false;
};

class TInstallFile : public TCustomInstallFile {
public:
    explicit TInstallFile(TComponent* owner) : TCustomInstallFile(owner) {}
    ZAN_CLASS(TInstallFile)
};

} // namespace zan
