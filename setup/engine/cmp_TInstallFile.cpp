#include "setup/engine/cmp_TInstallFile.h"

#include <cerrno>
#include <dlfcn.h>
#include <exception>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinBatch.h"
#include "host/win/WinBoot.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinIni.h"
#include "host/win/WinPaths.h"
#include "host/win/WinProcess.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/cmp_TProgramLauncher.h"
#include "setup/engine/routines_API.h"
#include "setup/engine/routines_Strings.h"
#include "setup/engine/AppServices.h"
#include "setup/engine/cmp_TVersionResource.h"

namespace zan {

namespace {

// The short form of a path (the long form of one that does not exist yet).
std::string ShortOrLong(const std::string& path) {
    std::string shortPath = GetShortPath(path);
    return shortPath.empty() ? path : shortPath;
}

bool IsLibraryExt(const std::string& ext) {
    return ext == ".DLL" || ext == ".OCX" || ext == ".BLL" || ext == ".EXE";
}

bool ExistsQuietly(const std::string& path) {
    try {
        return WinFileExists(path);
    } catch (const EWinError&) {
        return false;
    }
}

TCustomInstall& RequireInstall(const std::string& what) {
    TCustomInstall* install = CurrentInstall();
    if (!install) throw IECustomInstallFile("%s needs a TInstall component", {what});
    return *install;
}

} // namespace

std::string TCustomInstallFile::GetSourcePath() const {
    if (FIncludeFromDir.empty()) return FFileName;
    return AddTrailingBackslash(FIncludeFromDir) + FFileName;
}

std::string TCustomInstallFile::GetDestinationFile() {
    return AddTrailingBackslash(GetDestinationPath()) + FDestName;
}

bool TCustomInstallFile::SourceFileExists() { return ExistsQuietly(GetSourcePath()); }

void TCustomInstallFile::ReadFileInformation() {
    std::string source = GetSourcePath();
    if (!ExistsQuietly(source))
        throw IECustomInstallFile("Could not open or find the following file when trying to read "
                                  "the Size, Date, and Version :%s",
                                  {source});
    FFileSize = static_cast<int64_t>(WinFileSize(source));
    FFileDate = WinFileAge(source);
    FVersion = CutAtCharBoundary(GetFileVersionText(source), MaxStoredVersion);
}

// ---- property rules ----

void TCustomInstallFile::SourceChanged(const std::string& oldFileName) {
    if (IsLoading()) return;
    if (FContainer && !Trim(FFileName).empty()) {
        std::string source = GetSourcePath();
        for (int i = 0; i < FContainer->ChildCount(); ++i) {
            auto* other = dynamic_cast<TCustomInstallFile*>(FContainer->GetChild(i));
            if (other && other != this && SameText(other->GetSourcePath(), source))
                throw IEfcDuplicateFile("There is already a file with the name :%s", {source});
        }
    }
    if (FFileName != oldFileName && !Trim(FFileName).empty()) {
        FDestName = FFileName;
        FSourceAttributes = {};
        try {
            GetFileAttributesAsSet(GetSourcePath(), FSourceAttributes);
        } catch (const EWinError&) {
            // A source outside the machine has no attributes to keep.
        }
    }
    std::string ext = WinFileExtUpper(FFileName);
    if (ext == ".HLP" || ext == ".CNT") FRegisterAsHelp = true;
    if (ext == ".TLB" || ext == ".OCX") SetActiveX(true);
    else if (SourceFileExists()) SetActiveX(IsOLESelfRegister(GetSourcePath()));
}

void TCustomInstallFile::DestinationTypeChanged() {
    if (IsLoading() || !IsLibraryExt(WinFileExtUpper(FFileName))) return;
    if (dynamic_cast<TpsWindow*>(FDestDirType) || dynamic_cast<TpsBDEDLL*>(FDestDirType))
        FOverwriteMode = owVersionDate;
    if (dynamic_cast<TpsSystem*>(FDestDirType)) SetFileType(iftSystemWideDLL);
}

void TCustomInstallFile::SetContainer(TInstallContainer* container) {
    TInstallContainer* old = FContainer;
    TFileRelated::SetContainer(container);
    if (container != old) SourceChanged(FFileName);
}

void TCustomInstallFile::SetDestDir(const std::string& dir) { TFileRelated::SetDestDir(dir); }

void TCustomInstallFile::SetDestDirType(TCustomPathSpecifier* specifier) {
    bool changed = specifier != FDestDirType;
    TFileRelated::SetDestDirType(specifier);
    if (changed) DestinationTypeChanged();
}

void TCustomInstallFile::SetActiveX(bool activeX) {
    bool turnsOn = activeX && !FActiveX;
    FActiveX = activeX;
    if (turnsOn && !IsLoading()) SetFileType(iftSystemWideDLL);
}

void TCustomInstallFile::SetDestName(const std::string& name) { FDestName = name; }

void TCustomInstallFile::SetFileName(const std::string& name) {
    if (name == FFileName) return;
    std::string old = FFileName;
    FFileName = name;
    try {
        SourceChanged(old);
    } catch (...) {
        FFileName = old;
        throw;
    }
}

void TCustomInstallFile::SetIncludeFromDir(const std::string& dir) {
    if (dir == FIncludeFromDir) return;
    std::string old = FIncludeFromDir;
    FIncludeFromDir = dir;
    try {
        SourceChanged(FFileName);
    } catch (...) {
        FIncludeFromDir = old;
        throw;
    }
}

void TCustomInstallFile::SetFileType(TInstallFileType type) {
    if (type == FFileType) return;
    FFileType = type;
    if (IsLoading()) return;
    if (type != iftNormal) FOverwriteMode = owVersionDate;
    if (type == iftVendorSharedDLL || type == iftSystemWideDLL) FUpdateDLLCounter = true;
    switch (type) {
    case iftApplicationSpecificDLL:
        SetDestDirType(StandardSpecifier<TpsMainInstall>());
        SetDestDir("\\System");
        break;
    case iftVendorSharedDLL:
        SetDestDirType(StandardSpecifier<TpsCommonFiles>());
        SetDestDir("\\System");
        break;
    case iftSystemWideDLL:
        SetDestDirType(StandardSpecifier<TpsSystem>());
        SetDestDir("");
        break;
    default: break;
    }
}

// ---- replace at reboot ----

void TCustomInstallFile::MoveAtReboot(const std::string& temp, const std::string& dest) {
    WinMoveFileDelayUntilReboot(temp, dest, true);
}

void TCustomInstallFile::ReplaceAtReboot() {
    if (OnReplacing) OnReplacing(this);
    BroadcastEvent(this, ieReplacingFile, this);
    DoInformationEventControl(this, scReplacing, this);
    FReplacedAtReboot = false;
    FRebootName.clear();
    std::string dest = GetDestinationFile();
    if (!ExistsQuietly(dest) || !CurrentWinEnv().IsInUse(NormalizeWinPath(dest))) return;
    TCustomInstall& install = RequireInstall(GetName());
    // The copy lands beside the destination; the destination keeps its name for every later
    // step (help, uninstall entries, the program started afterwards).
    std::string dir = AddTrailingBackslash(GetDestinationPath());
    std::string temp;
    for (int n = 1;; ++n) {
        temp = ChangeWinFileExt(FDestName, "." + std::to_string(n));
        if (!WinPathExists(dir + temp)) break;
    }
    FReplacedAtReboot = true;
    FRebootName = temp;
    std::string tempPath = dir + temp;
    TOSVerType os = GetOSVerType();
    if (os == oswin95 || os == oswin98 || os == oswinME) {
        WinWritePrivateProfileString("Rename", ShortOrLong(dest), ShortOrLong(tempPath),
                                     AddTrailingBackslash(GetWindowsDir()) + "WININIT.INI");
        install.SetReboot(true);
        return;
    }
    install.SetReboot(true);
    try {
        MoveAtReboot(tempPath, dest);
    } catch (const Exception&) {
        std::string batch = ChangeWinFileExt(CreateTempFileName(false), ".bat");
        WriteBatchFile(batch, {"erase " + ShortOrLong(dest),
                               "move " + ShortOrLong(tempPath) + " " + ShortOrLong(dest)});
        install.WriteUnfinished(batch, 1);
        if (!AddRunOnceEntry("CorvaneBatFile", batch, false))
            throw IECustomInstallFile("%s cannot register a routine in the register to move the "
                                      "files after the computer is reboot",
                                      {GetName()});
    }
}

// ---- after the copy ----

void TCustomInstallFile::PostCopySteps() {
    if (FRegisterAsHelp)
        RegWriteString(hkLocalMachine, HelpKey, UpperCase(FDestName), GetDestinationPath());
    if (FUpdateDLLCounter) {
        try {
            UpdateSharedDLLs();
        } catch (const IECustomInstallFile&) {
            throw;
        } catch (const Exception&) {
            throw IECustomInstallFile("Cannot update the DLL count for the following file :%s:",
                                      {GetDestinationFile()});
        }
    }
    TCustomInstall* install = CurrentInstall();
    if (FReplacedAtReboot) {
        RequireInstall(GetName()).WriteUnfinished(GetName(), 0);
    } else if (FActiveX) {
        try {
            RegisterSelf();
        } catch (const Exception&) {
            if (!install || !install->GetRunning()) throw;
            RetryRegisterList().push_back(this);
        }
    }
}

void TCustomInstallFile::UpdateSharedDLLs() {
    // The count is shared with every other setup: read and written under the hive's lock.
    TRegHiveUpdate update(HKEY_LOCAL_MACHINE);
    TcrvnRegistry registry;
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!registry.OpenNestedKey(SharedDLLsKey, true))
        throw IECustomInstallFile("Could not open the key SharedDLLs key in the registry. File "
                                  "component %s. GetLastError return: %d",
                                  {GetName(), 0});
    std::string dest = GetDestinationFile();
    try {
        std::string shortName = GetShortPath(dest);
        int32_t count = registry.ReadInteger(shortName);
        registry.WriteInteger(shortName, NextRegCount(count));
    } catch (const Exception&) {
        int32_t count = 0;
        try {
            if (registry.ValueExists(dest)) count = registry.ReadInteger(dest);
        } catch (const Exception&) {
            count = 0;
        }
        registry.WriteInteger(dest, NextRegCount(count));
    }
}

void TCustomInstallFile::CheckDestination() {
    std::string dest = GetDestinationFile();
    if (Trim(GetDestinationPath()).empty() || !ExistsQuietly(dest))
        throw IECustomInstallFile("Cannot compress,copy, or install the following file because "
                                  "it's destination directory is blank. File is :%s",
                                  {GetName()});
}

void TCustomInstallFile::InDestinationDirectory(const std::function<void()>& action) {
    CheckDestination();
    std::string previous = WinGetCurrentDirectory();
    WinSetCurrentDirectory(GetDestinationPath());
    TScopeExit restore([&] {
        try {
            WinSetCurrentDirectory(previous);
        } catch (const Exception&) {
            // The previous directory went away meanwhile: stay where we are.
        }
    });
    action();
}

void TCustomInstallFile::RegisterSelf() {
    std::string ext = WinFileExtUpper(FDestName);
    if (ext == ".EXE") RegisterExeServer();
    else if (ext == ".TLB") RegisterTypeLibrary();
    else RegisterActiveX();
}

namespace {

// The steps of a server's registration as the child process reports them.
enum TRegStep : int32_t { rsLoadFailed, rsLoaded, rsNoEntry, rsReturned, rsThrew };
struct TRegReport {
    int32_t Step = rsLoadFailed;
    int32_t Value = 0;
};

// Loads the server and calls its DllRegisterServer in a child process, so that a server whose
// start-up code or entry point throws or crashes cannot take the setup down with it (an
// exception cannot cross the loader, nor outlive the unloaded library). The registration's
// effects are files and registry values, which the child shares. Returns the last step reached.
TRegReport RunRegisterServer(const std::string& hostPath) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {rsLoadFailed, errno};
    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        close(fds[0]);
        close(fds[1]);
        return {rsLoadFailed, e};
    }
    if (pid == 0) {
        close(fds[0]);
        auto send = [&](TRegStep step, int32_t value) {
            TRegReport report{step, value};
            if (write(fds[1], &report, sizeof report) != sizeof report) _exit(2);
        };
        // The loader is declared not to throw, yet a library's start-up code can: called
        // through a pointer the compiler cannot see through, the exception is caught here, and
        // one that cannot be ends the child all the same.
        std::set_terminate([] { _exit(1); });
        using TLoad = void* (*)(const char*, int);
        TLoad volatile load = dlopen;
        errno = 0;
        void* library = nullptr;
        try {
            library = load(hostPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        } catch (...) {
            _exit(1); // start-up code threw: not loadable
        }
        if (!library) {
            send(rsLoadFailed, errno);
            _exit(1);
        }
        send(rsLoaded, 0);
        dlerror();
        void* symbol = dlsym(library, "DllRegisterServer");
        if (!symbol) {
            send(rsNoEntry, errno);
            _exit(1);
        }
        using TRegisterServer = int (*)();
        try {
            send(rsReturned, reinterpret_cast<TRegisterServer>(symbol)());
        } catch (...) {
            send(rsThrew, 0);
        }
        try {
            RegWritePending(); // what the server wrote reaches the hives before the child ends
        } catch (...) {
        }
        _exit(0);
    }
    close(fds[1]);
    TRegReport last;
    last.Value = 0;
    for (;;) {
        TRegReport report;
        ssize_t n = read(fds[0], &report, sizeof report);
        if (n < 0 && errno == EINTR) continue;
        if (n != sizeof report) break;
        last = report;
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return last;
}

// What a server that throws or dies inside DllRegisterServer "returns": E_UNEXPECTED.
constexpr int32_t UnexpectedFailure = static_cast<int32_t>(0x8000FFFFu);

} // namespace

void TCustomInstallFile::RegisterActiveX() {
    InDestinationDirectory([this] {
        std::string dest = GetDestinationFile();
        std::string hostPath = WinPathToHost(dest);
        TRegReport report = RunRegisterServer(hostPath);
        if (report.Step == rsLoadFailed)
            throw IECustomInstallFile(
                "Could not register the ActiveX component, %s, because the LoadLibrary(%s) "
                "procedure returned a value of 0. The file component is %s. The following value "
                "is the value of the GetLastError function: %d",
                {dest, dest, GetName(), report.Value});
        if (report.Step == rsNoEntry)
            throw IECustomInstallFile(
                "Could not register the ActiveX component, %s, because the DllRegisterServer "
                "function could not be found. The file component is %s. The following value is "
                "the value of the GetLastError function: %d",
                {dest, GetName(), report.Value});
        // Loaded but no result: the entry point threw or the child died inside it.
        int result = report.Step == rsReturned ? report.Value : UnexpectedFailure;
        if (result != 0)
            throw IECustomInstallFile(
                "Could not register the ActiveX component, %s, because the DllRegisterServer "
                "function returned a value of %d. The file component is %s",
                {dest, result, GetName()});
    });
}

void TCustomInstallFile::RegisterTypeLibrary() {
    InDestinationDirectory([this] {
        throw IECustomInstallFile("Type libraries cannot be registered on this system: %s",
                                  {GetDestinationFile()});
    });
}

void TCustomInstallFile::RegisterExeServer() {
    InDestinationDirectory([this] {
        TProgramLauncher launcher;
        launcher.FileName = GetDestinationFile();
        launcher.Parameters = "/REGSERVER";
        launcher.ShowMode = smHide;
        launcher.Execute();
        // The server registers itself before the run goes on.
        if (launcher.GetProcessId() > 0) WinWaitProcess(launcher.GetProcessId());
    });
}

void TCustomInstallFile::ContinueUnfinished() {
    if (FActiveX) RegisterSelf();
    SetFileAttributesFromSet(GetDestinationFile(), FSourceAttributes);
}

void TCustomInstallFile::WriteUninstallInformation(const std::string& key) {
    std::string dest = GetDestinationFile();
    // The "Entries" counters are read and advanced under the hive's lock.
    TRegHiveUpdate update(HKEY_LOCAL_MACHINE);
    if (FActiveX) {
        std::string sub = key + "\\ActiveX";
        int32_t n = NextRegCount(StrToIntDef(RegReadString(hkLocalMachine, sub, "Entries", "0"), 0));
        std::string ext = WinFileExtUpper(FDestName);
        const char* kind = ext == ".TLB" ? "2" : ext == ".EXE" ? "1" : "0";
        RegWriteString(hkLocalMachine, sub, "File" + std::to_string(n), dest + ";" + kind);
        RegWriteString(hkLocalMachine, sub, "Entries", std::to_string(n));
        return;
    }
    // A "Files" key that cannot be written is passed over for "Files1", "Files2", ...
    constexpr int MaxFileKeys = 100;
    for (int k = 0;; ++k) {
        std::string sub = key + "\\Files" + (k ? std::to_string(k) : std::string());
        try {
            int32_t n = NextRegCount(StrToIntDef(RegReadString(hkLocalMachine, sub, "Entries", "0"), 0));
            RegWriteString(hkLocalMachine, sub, "File" + std::to_string(n), dest);
            RegWriteString(hkLocalMachine, sub, "Entries", std::to_string(n));
            return;
        } catch (const EIRCannotWriteValue&) {
            if (k + 1 >= MaxFileKeys) throw;
        }
    }
}

// ---- archive work ----

bool TCustomInstallFile::KeepsOwnArchive() const {
    return FNetLocation || FOverwriteMode == owVersion || FOverwriteMode == owDate ||
           FOverwriteMode == owVersionDate;
}

void TCustomInstallFile::SetFileInfo(int64_t size, TDateTime date, const std::string& version) {
    FFileSize = size;
    FFileDate = date;
    FVersion = CutAtCharBoundary(version, MaxStoredVersion);
}

std::string TCustomInstallFile::ChooseArchive(std::unique_ptr<TCrvnCompress>& owned,
                                              TCrvnCompress*& archive) {
    auto* container = dynamic_cast<TFileContainer*>(FContainer);
    TCustomInstall* install = CurrentInstall();
    TDistributeType type = install ? install->GetDistributeType() : dtTraditional;
    std::string path;
    if (type == dtWeb || (type == dtTraditionalNet && FNet)) {
        if (KeepsOwnArchive()) path = HasLocalNetFile() ? GetLocalNetFile() : DownloadFromNet();
        else if (container) path = container->GetDownloadedArchivePath();
        owned = std::make_unique<TCrvnCompress>();
        archive = owned.get();
        return path;
    }
    path = GetArchivePath();
    if (install && SameText(path, install->GetArchivePath())) {
        archive = &SharedCompress();
    } else {
        owned = std::make_unique<TCrvnCompress>();
        archive = owned.get();
    }
    return path;
}

void TCustomInstallFile::ReadInfoFromArchive() {
    if (FInfoRead) return;
    if (!dynamic_cast<TFileContainer*>(FContainer))
        throw IECustomInstallFile("%s cannot perform ReadInfoFromArchive because either no "
                                  "container is assigned or the container is not TFileContainer",
                                  {GetName()});
    std::unique_ptr<TCrvnCompress> owned;
    TCrvnCompress* archive = nullptr;
    std::string path = ChooseArchive(owned, archive);
    archive->SetCompressedFile(path);
    int index = archive->FindFileById(FUniqueID);
    // Another file's header would skew the overwrite decision.
    if (index < 0)
        throw IECustomInstallFile("The file %s (id %d) is not in the archive %s",
                                  {GetName(), FUniqueID, path});
    TlzhFileStats stats;
    archive->GetFileInfo(index, stats);
    FStoredSize = stats.StoredSize;
    SetFileInfo(stats.UncompressedSize, stats.Header.FileDate, stats.Header.Version);
    FInfoRead = true;
}

void TCustomInstallFile::HookArchive(TCrvnCompress& archive, int statusCode) {
    archive.OnStatus = [this, statusCode](TObject*, const TlzhFileStats& stats) {
        TFileStatusParameter status;
        status.FileName = stats.FileName;
        status.Percent = stats.Percent;
        status.Bytes = stats.Done;
        status.Finished = stats.Finished;
        TParameterList list;
        list.Items = {this, &status};
        if (OnStatus) OnStatus(this, stats.Percent, stats.OverallPercent);
        BroadcastEvent(this, ieFileStatus, &status);
        DoInformationEventControl(this, statusCode, &list);
    };
    archive.OnNewDisk = [this, &archive](TObject*, int diskNumber, std::string& path) {
        TDiskParameter disk;
        disk.DiskNumber = diskNumber;
        disk.Path = path;
        TParameterList list;
        list.Items = {this, &disk};
        if (OnNewDisk) OnNewDisk(this, diskNumber, disk.Path);
        BroadcastEvent(this, ieChangeDisk, &list);
        DoInformationEventControl(this, scNewDisk, &list);
        bool answered = disk.Answered || disk.Path != path;
        if (!answered &&
            UserPrompts().Message(FormatTranslated("Please insert disk #%d", {diskNumber}),
                                  pbOKCancel) == prCancel)
            archive.SetAbort(true);
        path = RemoveTrailingBackslash(disk.Path);
        if (auto* main = dynamic_cast<TpsMainArchiveFile*>(
                PathSpecifierList().Find(TpsMainArchiveFile::Class())))
            main->ArchiveDir = path;
    };
}

void TCustomInstallFile::AfterInstall() {
    PostCopySteps();
    if (OnAfterInstall) OnAfterInstall(this);
    DoInformationEventControl(this, scFileInstalled, this);
    TFileRelated::ProcessChildren();
}

void TCustomInstallFile::ProcessChildren() {
    DoInformationEventControl(this, scBeforeInstall, this);
    try {
        if (OnBeforeInstall) OnBeforeInstall(this);
    } catch (const EAbort&) {
        DoInformationEventControl(this, scFileSkipped, this);
        return;
    }
    if (Trim(GetDestinationPath()).empty())
        throw IECustomInstallFile("Cannot compress,copy, or install the following file because "
                                  "it's destination directory is blank. File is :%s",
                                  {GetName()});
    std::string dest = GetDestinationFile();
    bool copy = true;
    // A missing destination is always copied; the rule decides only over an existing one.
    if (ExistsQuietly(dest)) {
        switch (IsFileNewerByVersion(FVersion, dest, FOverwriteMode, FFileDate)) {
        case vrEqual:
        case vrKeep: copy = false; break;
        case vrAsk:
            copy = UserPrompts().Message(FormatTranslated("Copy This File %s?", {dest}), pbYesNo) ==
                   prYes;
            break;
        default: break;
        }
    }
    if (copy) {
        try {
            ReplaceAtReboot();
        } catch (const EAbort&) {
            copy = false;
        }
    }
    if (!copy) {
        FReplacedAtReboot = false;
        DoInformationEventControl(this, scFileNotCopied, this);
        AfterInstall();
        return;
    }
    std::unique_ptr<TCrvnCompress> owned;
    TCrvnCompress* archive = nullptr;
    std::string path = ChooseArchive(owned, archive);
    FState = ifsInstall;
    TlzhFileStatsEvent savedStatus = archive->OnStatus;
    TlzhNewDiskEvent savedDisk = archive->OnNewDisk;
    TScopeExit restore([&] {
        archive->OnStatus = savedStatus;
        archive->OnNewDisk = savedDisk;
        if (owned && owned->GetAbort()) SharedCompress().SetAbort(true);
        FState = ifsNone;
    });
    WinForceDirectories(GetDestinationPath());
    if (Trim(path).empty())
        throw IECustomInstallFile("Cannot either compress or decompress the following file because "
                                  "it's archive file property is blank. File is :%s",
                                  {GetName()});
    archive->SetCompressedFile(path);
    archive->SetExtractDirectory(GetDestinationPath());
    // A file replaced at reboot lands under its temporary name; DestName stays the real one.
    archive->SetTargetName(FReplacedAtReboot ? FRebootName : FDestName);
    archive->SetOverwrite(FOverwriteMode);
    HookArchive(*archive, scStatusCopying);
    archive->GetFilesToProcess().Clear();
    archive->GetFilesToProcess().Add(GetSourcePath());
    archive->ExtractFiles();
    AfterInstall();
    BroadcastEvent(this, ieCopyEnded, nullptr);
}

void TCustomInstallFile::Compress(bool packExcluded) {
    FState = ifsCompress;
    TScopeExit state([this] { FState = ifsNone; });
    if (OnBeforeCompress) OnBeforeCompress(this);
    DoInformationEventControl(this, scBeforePacking, this);
    std::string path = GetArchivePath();
    if (Trim(path).empty())
        throw IECustomInstallFile("Cannot either compress or decompress the following file because "
                                  "it's archive file property is blank. File is :%s",
                                  {GetName()});
    if (!FInclude && !packExcluded) return;
    WinForceDirectories(WinParentDir(NormalizeWinPath(path)));
    TCrvnCompress& archive = SharedCompress();
    TlzhFileStatsEvent savedStatus = archive.OnStatus;
    TScopeExit restore([&] { archive.OnStatus = savedStatus; });
    HookArchive(archive, scStatusPacking);
    archive.OnNewDisk = nullptr;
    archive.SetOffset(0);
    archive.SetCompressedFile(path);
    archive.GetFilesToProcess().Clear();
    archive.GetFilesToProcess().Add(GetSourcePath());
    try {
        archive.AddFiles(FAddToArchive, FUniqueID);
    } catch (const EccAborted&) {
        throw EAIUserAbort();
    }
    FArchiveState = FAddToArchive == lzcOnlyAdd ? asPackedAddOnly : asPacked;
    FPackedArchive = path;
    if (OnAfterCompress) OnAfterCompress(this);
    DoInformationEventControl(this, scAfterPacking, this);
    BroadcastEvent(this, ieCopyEnded, nullptr);
}

void TCustomInstallFile::Copy() {
    FState = ifsCopying;
    TScopeExit state([this] { FState = ifsNone; });
    if (OnBeforeCopy) OnBeforeCopy(this);
    DoInformationEventControl(this, scBeforeCopy, this);
    if (!FInclude) return;
    if (Trim(GetDestinationPath()).empty())
        throw IECustomInstallFile("Cannot compress,copy, or install the following file because "
                                  "it's destination directory is blank. File is :%s",
                                  {GetName()});
    WinForceDirectories(GetDestinationPath());
    TCrvnCompress archive;
    HookArchive(archive, scStatusExtracting);
    archive.SetOverwrite(FOverwriteMode);
    archive.CopyFile(GetSourcePath(), GetDestinationFile());
    if (OnAfterCopy) OnAfterCopy(this);
    DoInformationEventControl(this, scAfterCopy, this);
    BroadcastEvent(this, ieCopyEnded, nullptr);
}

void TCustomInstallFile::SetState(TInstallFileState state) {
    switch (state) {
    case ifsCompress: Compress(); break;
    case ifsInstall: ProcessChildren(); break;
    case ifsCopying: Copy(); break;
    default: FState = state; break;
    }
}

} // namespace zan
