#include "setup/engine/cmp_TInstall.h"

#include <cctype>
#include <cmath>

#include "host/rtl/DateUtils.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinBatch.h"
#include "host/win/WinBoot.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "host/win/WinRegistry.h"
#include "setup/engine/AppServices.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstallBuild.h"
#include "setup/engine/cmp_TNetInstallLocation.h"
#include "setup/engine/cmp_TProgramLauncher.h"
#include "setup/engine/cmp_TTranslator.h"
#include "setup/engine/routines_API.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

namespace {

TCustomInstall*& Slot() {
    static TCustomInstall* install = nullptr;
    return install;
}

std::vector<std::string>& Args() {
    static std::vector<std::string> args;
    return args;
}

bool& MainFormStandIn() {
    static bool present = false;
    return present;
}

TDateTime& StartTime() {
    static TDateTime time = 0;
    return time;
}

const std::string NoValue;

const char* InvalidParameter =
    "Invalid parameter <%s>. Valid command line parameters are: -b (Build), -d (Debug), -f "
    "(Transfer to floppies), -e (Called by self-extractor), -r (After reboot)";
const char* UnfinishedFailure =
    "The TInstall could not either write or read unfinished business from the registry";
constexpr int LanguageIdCount = 22; // clChineseSimplified 0 .. clVietnamese 21

// The language the run speaks: the global translator's target, else clUser.
int TranslatorLanguage() {
    TTranslator* translator = GlobalTranslator();
    return translator ? translator->GetTranslateIntoLanguage() : clUser;
}

// A Windows-form path from a switch value (host paths are mapped back).
std::string WinFormPath(const std::string& value) {
    if (!value.empty() && value[0] == '/') return HostPathToWin(value);
    return value;
}

bool IsAbsoluteWinPath(const std::string& path) {
    return (path.size() >= 2 && path[1] == ':') || (!path.empty() && (path[0] == '\\' || path[0] == '/'));
}

// Whether a record subkey describes the setup file of this size and date.
bool RecordMatches(TcrvnRegistry& registry, const std::string& key, TDateTime date, int32_t size) {
    try {
        if (!registry.OpenNestedKey(key, false)) return false;
        (void)registry.ReadString("Path");
        double created = registry.ReadFloat("CreationDate");
        int32_t recorded = registry.ReadInteger("Size");
        return std::fabs(created - date) < 1e-7 && recorded == size;
    } catch (const Exception&) {
        return false;
    }
}

bool DeleteQuietly(const std::string& path) {
    try {
        WinDeleteFile(path);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

const unsigned char InstallTheme1[] = {
#include "setup/engine/install_theme.inc"
};

} // namespace

const std::string& InstallThemeResource() {
    static const std::string png(reinterpret_cast<const char*>(InstallTheme1), sizeof InstallTheme1);
    return png;
}

TCustomInstall* CurrentInstall() { return Slot(); }
void SetCommandLineArgs(std::vector<std::string> args) { Args() = std::move(args); }
const std::vector<std::string>& CommandLineArgs() { return Args(); }
void SetMainFormStandIn(bool present) { MainFormStandIn() = present; }
TDateTime RunStartTime() { return StartTime(); }

TCustomInstall::TCustomInstall(TComponent* owner) : TFileContainer(owner, false) {
    if (Slot())
        throw IEInstall("The TInstall component does not currently support the use of 2 TInstall "
                        "components in the same project");
    if (!dynamic_cast<TDataModule*>(owner) && !AppServices().IsForm(owner))
        throw IEInstall("The Owner of the TInstall component must either be a class of type "
                        "TCustomForm (Delphi 3) or TForm (Delphi 2.0,C++Builder 1.0)");
    Slot() = this;
    // The run's abort flag is the shared archive component's.
    SetArchiveAbortQuery([] { return SharedCompress().GetAbort(); });
    FDestDir = "\\MyApplication";
    FDialogThemeBitmap = InstallThemeResource();
    FInstallTypes = {itFull};
    SetDestDirType(PathSpecifierList().Find(TpsProgramFiles::Class()));
}

TCustomInstall::~TCustomInstall() {
    if (Slot() == this) Slot() = nullptr;
    if (FBatchWritten) {
        // The cleanup batch removes the program and its folder once the program is done.
        std::vector<std::string> report;
        try {
            RunBatchFile(FBatchFile, report);
        } catch (const std::exception&) {
            // Nothing is left to report to once the program ends.
        }
    }
}

// ---- command line ----

int TCustomInstall::SwitchIndex(char letter) {
    char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    for (int i = 0; i < 8; ++i)
        if ("bfdersnc"[i] == lower) return i;
    return -1;
}

bool TCustomInstall::HasSwitch(char letter) const {
    int i = SwitchIndex(letter);
    return i >= 0 && FSwitches[static_cast<size_t>(i)];
}

const std::string& TCustomInstall::SwitchValue(char letter) const {
    int i = SwitchIndex(letter);
    return i >= 0 ? FSwitchValues[static_cast<size_t>(i)] : NoValue;
}

void TCustomInstall::SetSwitch(char letter, bool on, const std::string& value) {
    int i = SwitchIndex(letter);
    if (i < 0) return;
    FSwitches[static_cast<size_t>(i)] = on;
    FSwitchValues[static_cast<size_t>(i)] = on ? value : std::string();
}

void TCustomInstall::ClearSwitches() {
    FSwitches.fill(false);
    for (std::string& v : FSwitchValues)
        v.clear();
}

void TCustomInstall::ParseCommandLine() {
    ClearSwitches();
    for (const std::string& arg : Args()) {
        if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '*'))
            throw IEInstall(InvalidParameter, {arg});
        if (SwitchIndex(arg[1]) < 0) {
            if (arg[0] == '*') continue;
            throw IEInstall(InvalidParameter, {arg});
        }
        SetSwitch(arg[1], true, arg.substr(2));
    }
}

std::string TCustomInstall::GetSetupDirectory() {
    return WinParentDir(NormalizeWinPath(WinGetModuleFileName()));
}

std::string TCustomInstall::GetSourceDir() const {
    std::string dir = SwitchValue('s');
    if (Trim(dir).empty()) return RemoveTrailingBackslash(GetSetupDirectory());
    return RemoveTrailingBackslash(WinFormPath(dir));
}

std::string TCustomInstall::GetSetupFileName() const {
    if (!HasSwitch('e')) return WinGetModuleFileName();
    std::string file = WinFormPath(SwitchValue('e'));
    if (IsAbsoluteWinPath(file)) return file;
    return AddTrailingBackslash(GetSourceDir()) + file;
}

// ---- properties ----

void TCustomInstall::SetDistributeType(TDistributeType type) {
    if (type != dtTraditional && !FNetLocation)
        throw IEInstallNetLocNil("Must assign a net location via the NetLocation property before "
                                 "you can set the distribute type");
    FDistributeType = type;
}

void TCustomInstall::SetNetLocation(TCustomNetInstallLocation* location) {
    TFileContainer::SetNetLocation(location);
    if (!location) FDistributeType = dtTraditional;
}

void TCustomInstall::SetUseLoadingProgram(bool on) {
    FUseLoadingProgram = on;
    if (on && !IsLoading()) {
        SetArchiveFileType(PathSpecifierList().Find(TpsMainArchiveFile::Class()));
        SetArchiveFile("");
    }
}

void TCustomInstall::SetAutoMaximizeWindow(bool on) {
    FAutoMaximizeWindow = on;
    if (on && !IsLoading()) FHideMainForm = false;
}

void TCustomInstall::SetHideMainForm(bool on) {
    FHideMainForm = on;
    if (on && !IsLoading()) FAutoMaximizeWindow = false;
}

void TCustomInstall::SetPresetupFiles(const TStrings& files) {
    FPresetupFiles.Clear();
    for (int i = 0; i < files.Count(); ++i)
        if (!Trim(files.Get(i)).empty()) FPresetupFiles.Add(files.Get(i));
}

// ---- start ----

void TCustomInstall::Loaded() {
    TFileContainer::Loaded();
    if (IsDesigning()) return;
    ParseCommandLine();
    if (HasSwitch('d') && Trim(SwitchValue('s')).empty())
        throw IEInstall("You forgot to pass in the build directory. In Run | Parameters, follow "
                        "this format: -d \"-sC:\\My Build\"");
    FLoaderPath = GetSourceDir();
    SetInstallRecordKey(OpenInstallRecord(false));
    FHasMainForm = MainFormStandIn() || AppServices().IsForm(GetOwner());
    if (!FHasMainForm && FRunAutomatic)
        throw IEInstall("Application.MainForm is undefined and the TInstall is not on a form. "
                        "Therefore, therefore the TInstall can't run the installation "
                        "automatically");
    TInstallType running = itFull;
    if (FInstallTypes.Contains(itDefault)) running = itDefault;
    else if (FInstallTypes.Contains(itCompact)) running = itCompact;
    SetInstallType(running);
    if (HasSwitch('b')) BuildFromBuildInf();
    else if (HasSwitch('f')) TransferToFloppies();
    else if (HasSwitch('r')) ContinueUnfinished();
}

void TCustomInstall::FormActivate() {
    if (FActivated || HasSwitch('b') || HasSwitch('f') || HasSwitch('r')) return;
    FActivated = true;
    if (FRunAutomatic) Process();
}

// ---- the run ----

void TCustomInstall::ReadArchiveInfo() {
    if (FArchiveInfoRead) return;
    FArchiveInfoRead = true;
    if (OnBeforeReadArchiveInfo) OnBeforeReadArchiveInfo(this);
    BroadcastEvent(this, ieBeforeReadArchiveInfo, nullptr);
    AppServices().SetHourglass(true);
    TScopeExit cursor([] { AppServices().SetHourglass(false); });
    ShowStatus("Reading file information...");
    TFileContainer::ReadArchiveInfo();
    if (FDistributeType != dtTraditional) ReadRemoteFileList();
    CloseStatus();
    if (OnAfterReadArchiveInfo) OnAfterReadArchiveInfo(this);
    BroadcastEvent(this, ieAfterReadArchiveInfo, nullptr);
}

void TCustomInstall::Process() {
    // The run's registry changes are written once per hive (and at every flush point).
    TRegWriteBatch registryBatch;
    FAborted = false;
    StartTime() = Now();
    RetryRegisterList().clear();
    FUnfinishedCount = 0;
    FBatchWritten = false;
    FRunning = true;
    if (FUseLoadingProgram && !HasSwitch('s'))
        throw IEInstall("The path of the loading program was not passed correctly. If you are "
                        "running your install project in the IDE, then you need to add two "
                        "command line parameters. In Run | Parameters | \"Run Parameters\", type "
                        "in: -d \"-sBUILDPATH\" where BUILDPATH is the path into which you built "
                        "the distributables. Example: -d \"-sC:\\My Build\".");
    if (HasSwitch('n') && !InstallRecordKey().empty()) ClearUnfinished();
    SetInstallRecordKey(OpenInstallRecord(true));
    ClearUnfinished();
    // A self-extracting file holds "files.1" behind setup.1.
    if (HasSwitch('e')) SharedCompress().SetOffset(ReadSelfExtractInfo(GetSetupFileName()).FilesFirst);
    ReadArchiveInfo();
    if (OnAfterInitialized) OnAfterInitialized(this);
    BroadcastEvent(this, ieStartOfRun, nullptr);
    BroadcastEvent(this, ieBeforeInstall, nullptr);
    try {
        if (!FAborted && !ArchiveAborted()) {
            TFileContainer::Process();
            std::vector<TCustomInstallFile*> retry = RetryRegisterList();
            RetryRegisterList().clear();
            for (TCustomInstallFile* file : retry)
                file->RegisterSelf();
        }
        static const std::pair<int32_t, const char*> phases[] = {
            {2750, "Installing ODBC drivers..."},
            {2875, "Installing ODBC sources..."},
            {3000, "Installing Borland Database Engine aliases..."},
            {7000, "Installing shell links..."},
            {8000, "Installing shell links..."},
            {4000, "Installing INI files..."},
            {rtRegistryWriter, "Installing registry keys..."},
            {8700, ""},
            {9052, ""},
            {9050, ""},
            {9054, ""},
        };
        for (const auto& [type, text] : phases)
            InstallObjectsOfType(type, text);
    } catch (...) {
        if (OnAfterInstallObjects) OnAfterInstallObjects(this, ArchiveAborted());
        throw;
    }
    if (OnAfterInstallObjects) OnAfterInstallObjects(this, ArchiveAborted());
    FinishRun();
}

void TCustomInstall::FinishRun() {
    if (FUnfinishedCount > 0 || FReboot) RegisterUnfinished();
    if (FReboot) {
        WriteLanguage(TranslatorLanguage());
        BroadcastEvent(this, ieRebootNeeded, nullptr);
        // The reboot page may have cleared Reboot; the handler sees and sets it.
        bool reboot = FReboot;
        if (OnBeforeReboot) OnBeforeReboot(this, reboot);
        FReboot = reboot;
        if (reboot) RebootWindows();
        // The run waits for the next start even when the handler declined the reboot.
        FOutcome = roRebootPending;
        FRunning = false;
        AppServices().Terminate();
        return;
    }
    GoodInstallEnd();
}

void TCustomInstall::GoodInstallEnd() {
    NotifyGoodInstall();
    Cleanup();
    RemoveInstallRecord();
    FOutcome = roGoodInstall;
    if (FRunAutomatic) Shutdown();
    RunFilesAfterInstall();
    FRunning = false;
}

void TCustomInstall::InstallObjectsOfType(int32_t type, const std::string& statusText) {
    bool shown = false;
    // The list may change while objects run: walk a copy, skipping objects gone meanwhile.
    std::vector<TInstallContainer*> list = InstallContainerList();
    for (TInstallContainer* c : list) {
        const auto& live = InstallContainerList();
        if (std::find(live.begin(), live.end(), c) == live.end()) continue;
        if (c->RegisteredType() != type) continue;
        if (!shown && !Trim(statusText).empty()) {
            ShowStatus(statusText);
            shown = true;
        }
        c->Process();
    }
    if (shown) CloseStatus();
}

void TCustomInstall::NotifyGoodInstall() {
    if (OnBeforeNotifyGoodInstall) OnBeforeNotifyGoodInstall(this);
    BroadcastEvent(this, ieGoodInstallNotify, nullptr);
    BroadcastEvent(this, ieGoodInstallPages, nullptr);
    if (OnAfterNotifyGoodInstall) OnAfterNotifyGoodInstall(this);
}

void TCustomInstall::NotifyBadInstall() {
    if (OnBeforeNotifyBadInstall) OnBeforeNotifyBadInstall(this);
    BroadcastEvent(this, ieBadInstallNotify, nullptr);
    BroadcastEvent(this, ieBadInstallPages, nullptr);
    if (OnAfterNotifyBadInstall) OnAfterNotifyBadInstall(this);
}

void TCustomInstall::Shutdown() {
    bool terminate = true;
    if (OnBeforeShutdown) OnBeforeShutdown(this, terminate);
    if (terminate) AppServices().Terminate();
}

void TCustomInstall::HandleException(TObject*, const std::exception& e) {
    if (!FRunning) {
        AppServices().ShowException(e);
        return;
    }
    FRunning = false;
    FAborted = true;
    FOutcome = roBadInstall;
    try {
        NotifyBadInstall();
        if (dynamic_cast<const EAIUserAbort*>(&e)) {
            Cleanup();
            RemoveInstallRecord();
            if (FRunAutomatic) Shutdown();
        } else {
            AppServices().ShowException(e);
            Shutdown();
        }
    } catch (const EHeadlessPrompt&) {
        // A prompt script that cannot answer the bad-install pages fails the whole run.
        throw;
    } catch (const std::exception& inner) {
        AppServices().ShowException(inner);
        if (FRunAutomatic) AppServices().Terminate();
    }
}

bool TCustomInstall::QueryUserAbort() {
    bool abort = true;
    if (OnUserAbort) OnUserAbort(this, abort);
    return abort;
}

void TCustomInstall::RunFilesAfterInstall() {
    std::vector<TCustomInstallFile*> files = InstallFileList();
    for (TCustomInstallFile* file : files) {
        if (!file->GetRunAfterInstall()) continue;
        bool run = true;
        if (OnBeforeRunFile) OnBeforeRunFile(this, file, run);
        if (!run) continue;
        TProgramLauncher launcher;
        launcher.FileName = file->GetDestinationFile();
        launcher.Parameters = file->RunParameters.empty() ? "" : " " + file->RunParameters;
        launcher.Execute();
    }
}

// ---- unfinished list, language, reboot ----

void TCustomInstall::WriteUnfinished(const std::string& name, int kind) {
    if (InstallRecordKey().empty()) throw IEInstall(UnfinishedFailure);
    RegWriteString(hkLocalMachine, InstallRecordKey() + "\\Unfinished", name, std::to_string(kind));
    ++FUnfinishedCount;
}

void TCustomInstall::ReadUnfinished(TStrings& list) {
    if (InstallRecordKey().empty()) throw IEInstall(UnfinishedFailure);
    list.Clear();
    std::string key = InstallRecordKey() + "\\Unfinished";
    if (!RegKeyExists(HKEY_LOCAL_MACHINE, key)) return;
    for (const std::string& name : RegValueNames(HKEY_LOCAL_MACHINE, key))
        list.Add(name + ";" + RegReadString(hkLocalMachine, key, name, ""));
}

void TCustomInstall::ClearUnfinished() {
    if (InstallRecordKey().empty()) throw IEInstall(UnfinishedFailure);
    RegDeleteKeyTree(hkLocalMachine, InstallRecordKey() + "\\Unfinished");
}

void TCustomInstall::RegisterUnfinished() {
    std::string command = "\"" + WinGetModuleFileName() + "\" -r";
    std::string setupFile = GetSetupFileName();
    if (HasSwitch('e')) command += " \"-e" + setupFile + "\"";
    command += " \"-s" + RemoveTrailingBackslash(WinParentDir(NormalizeWinPath(setupFile))) + "\"";
    if (HasSwitch('c')) command += " -c";
    if (!AddRunOnceEntry("CorvaneUnfinished", command, false))
        throw IEInstall("Cannot register the install to be run on reboot in the RunOnce key in "
                        "the registry");
}

void TCustomInstall::ContinueUnfinished() {
    TRegWriteBatch registryBatch;
    FRunning = true;
    SetInstallRecordKey(OpenInstallRecord(false));
    // The resumed run speaks the language the first one spoke.
    if (TTranslator* translator = GlobalTranslator())
        translator->SetTranslateIntoLanguage(static_cast<TCrvnLanguage>(ReadLanguage()));
    TStringList lines;
    ReadUnfinished(lines);
    ClearUnfinished();
    for (int i = 0; i < lines.Count(); ++i) {
        const std::string& line = lines.Get(i);
        std::string name = GetDelimitedField(line, 1, ';');
        int32_t kind = StrToIntDef(Trim(GetDelimitedField(line, 2, ';')), -1);
        if (name.empty() || (kind != 0 && kind != 1))
            throw IEInstall("There is an invalid entry for the unfinished install list %s", {line});
        if (kind == 1) {
            DeleteQuietly(name);
            continue;
        }
        std::vector<TInstallContainer*> list = InstallContainerList();
        for (TInstallContainer* c : list)
            if (SameText(c->GetName(), name)) c->ContinueUnfinished();
    }
    GoodInstallEnd();
}

int TCustomInstall::ReadLanguage() {
    int fallback = TranslatorLanguage();
    if (InstallRecordKey().empty()) return fallback;
    int32_t language = RegReadInteger(hkLocalMachine, InstallRecordKey(), "Language", fallback);
    return language >= 0 && language < LanguageIdCount ? language : fallback;
}

void TCustomInstall::WriteLanguage(int language) {
    if (InstallRecordKey().empty()) return;
    RegWriteInteger(hkLocalMachine, InstallRecordKey(), "Language", language);
}

void TCustomInstall::RebootWindows() {
    TOSVerType os = GetOSVerType();
    bool known = os == oswin95 || os == oswin98 || os == oswinME || os == oswinNT ||
                 os == oswin2K || os == oswinXP;
    // The shutdown privilege of the NT family needs no enabling here.
    if (known && WinRequestReboot()) return;
    if (OnFailedReboot) OnFailedReboot(this);
    else
        UserPrompts().Message(TranslateExceptionText("Could not reboot windows. Please manually "
                                                     "reboot windows."),
                              pbOK);
}

// ---- cleanup ----

void TCustomInstall::Cleanup() {
    if (!FUseLoadingProgram || HasSwitch('d') || !HasSwitch('c') || IsDesigning()) return;
    bool cleanup = true;
    if (OnBeforeCleanup) OnBeforeCleanup(this, cleanup);
    if (!cleanup) return;
    std::string dir = RemoveTrailingBackslash(GetSetupDirectory());
    try {
        for (const TWinFindData& found : WinFindFiles(dir))
            if (!(found.Attributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteQuietly(AddTrailingBackslash(dir) + found.Name);
        WinRemoveDirectory(dir);
    } catch (const Exception&) {
        // Whatever cannot be removed stays.
    }
    std::string program = WinGetModuleFileName();
    FBatchFile = ChangeWinFileExt(CreateTempFileName(false), ".bat");
    WriteBatchFile(FBatchFile, {"ERASE " + program,
                                "DELTREE /Y " + RemoveTrailingBackslash(WinParentDir(NormalizeWinPath(program))),
                                "ERASE " + ChangeWinFileExt(FBatchFile, ".PIF"),
                                "ERASE " + FBatchFile});
    FBatchWritten = true;
}

// ---- install record ----

std::string TCustomInstall::OpenInstallRecord(bool create) {
    std::string setupFile = WinGetModuleFileName();
    TDateTime date = 0;
    int32_t size = 0;
    try {
        date = WinFileAge(setupFile);
        size = static_cast<int32_t>(WinFileSize(setupFile));
    } catch (const Exception&) {
        if (!create) return "";
    }
    // Another setup run may take the first free name at the same time: look and take it under
    // the hive's lock.
    TRegHiveUpdate update(HKEY_LOCAL_MACHINE);
    TcrvnRegistry registry;
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!registry.OpenNestedKey(InstallRecordRoot, create)) return "";
    TStringList names;
    registry.GetKeyNames(names);
    for (int i = 0; i < names.Count(); ++i) {
        std::string key = std::string(InstallRecordRoot) + "\\" + names.Get(i);
        if (!RecordMatches(registry, key, date, size)) continue;
        try {
            registry.WriteFloat("LastRunDate", StartTime());
            registry.WriteString("Path", setupFile);
        } catch (const Exception&) {
            // A record that cannot be updated still names this setup.
        }
        return key;
    }
    if (!create) return "";
    std::string name;
    for (int n = 0;; ++n) {
        name = "Install" + std::to_string(n);
        bool taken = false;
        for (int i = 0; i < names.Count() && !taken; ++i)
            taken = SameText(names.Get(i), name);
        if (!taken) break;
    }
    std::string key = std::string(InstallRecordRoot) + "\\" + name;
    if (!registry.OpenNestedKey(key, true)) return "";
    try {
        registry.WriteString("Path", setupFile);
        registry.WriteFloat("LastRunDate", StartTime());
        registry.WriteFloat("CreationDate", date);
        registry.WriteInteger("Size", size);
        if (HasSwitch('e'))
            registry.WriteString("SelfExtract", SwitchValue('s') + "\\" + SwitchValue('e'));
    } catch (const Exception&) {
        // An incomplete record is not matched next time.
    }
    return key;
}

void TCustomInstall::RemoveInstallRecord() {
    std::string record = InstallRecordKey();
    if (record.empty()) return;
    if (RegKeyExists(HKEY_LOCAL_MACHINE, record)) {
        for (const std::string& sub : RegSubKeyNames(HKEY_LOCAL_MACHINE, record)) {
            std::string key = record + "\\" + sub;
            std::string local = RegReadString(hkLocalMachine, key, "LocalFile", "");
            if (!Trim(local).empty()) DeleteQuietly(local);
            RegDeleteKeyTree(hkLocalMachine, key);
        }
        RegDeleteKeyTree(hkLocalMachine, record);
    }
    SetInstallRecordKey("");
    // The parents go only when nothing else lives in them.
    const std::string parent = "\\SOFTWARE\\Kel";
    if (RegKeyExists(HKEY_LOCAL_MACHINE, InstallRecordRoot) &&
        RegSubKeyNames(HKEY_LOCAL_MACHINE, InstallRecordRoot).empty() &&
        RegValueNames(HKEY_LOCAL_MACHINE, InstallRecordRoot).empty())
        RegDeleteKey(HKEY_LOCAL_MACHINE, InstallRecordRoot);
    if (RegKeyExists(HKEY_LOCAL_MACHINE, parent) &&
        RegSubKeyNames(HKEY_LOCAL_MACHINE, parent).empty() &&
        RegValueNames(HKEY_LOCAL_MACHINE, parent).empty())
        RegDeleteKey(HKEY_LOCAL_MACHINE, parent);
}

} // namespace zan
