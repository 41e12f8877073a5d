// The install component: the outermost file container of a script, whose archive is the main
// archive. It reads the command line, decides whether this start is a normal install, a resume
// after reboot, a build or a floppy transfer, and drives the run: the archive information, the
// before-install pages, the file pass, the typed install phases, reboot or cleanup, the install
// record and the programs started afterwards.
//
// Install record (HKLM "\SOFTWARE\Kel\Install\Install<n>"): one per setup file, matched by the
// file's size and date; it holds the unfinished list of a run waiting for a reboot, the
// language, and per component the local copy of a downloaded archive ("LocalFile").
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "host/rtl/StringList.h"
#include "setup/engine/AppServices.h"
#include "setup/engine/cmp_TInstallContainer.h"
#include "setup/engine/cmp_TInstallFile.h"

namespace zan {

struct TInstallInformation {
    std::string CompanyName = "My Company";
    std::string ProductName = "My product";
    std::string Version = "1.0";
};

// Optional values of the uninstall record.
struct TControlPanelExtensionInformation {
    std::string Comments;
    std::string Contact;
    TCustomInstallFile* DisplayIcon = nullptr;
    std::string HelpLink;
    std::string HelpTelephone;
    std::string ProductID;
    TCustomInstallFile* ReadMe = nullptr;
    std::string URLInfoAbout;
    std::string URLUpdateInfo;
};

struct TRegistrationInformation {
    std::string RegCompany;
    std::string RegOwner;
};

struct TBuildInfo {
    bool AddUninstallOnCreate = true;
    std::string AppName;
    std::string AppURL;
    std::string BuildDirectory = "c:\\build";
    std::string CredentialsFile;
    std::string OCXName = "crvsetup";
    std::string PrivateKeyFile;
    bool SignCode = false;
    std::string URLPath;
    static constexpr const char* CrvnVersion = "5.20.00";
};

// How a start of the setup program ended (the headless driver's exit status).
enum TRunOutcome : uint8_t { roNone, roGoodInstall, roBadInstall, roRebootPending, roBuildDone };

inline constexpr const char* InstallRecordRoot = "\\SOFTWARE\\Kel\\Install";
inline constexpr const char* UninstallKeyPrefix =
    "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

using TRebootWindowsEvent = std::function<void(TObject* sender, bool& reboot)>;
using TCleanupEvent = std::function<void(TObject* sender, bool& cleanup)>;
using TUserAbortEvent = std::function<void(TObject* sender, bool& value)>;
using TBeforeRunFileEvent =
    std::function<void(TObject* sender, TCustomInstallFile* file, bool& run)>;

class TCustomInstall : public TFileContainer {
public:
    // Becomes the current install; a second one, or an owner that is neither a data module nor
    // a form, raises IEInstall.
    explicit TCustomInstall(TComponent* owner);
    ~TCustomInstall() override;
    ZAN_CLASS(TCustomInstall)

    // Parses the command line and dispatches -b, -f and -r; a normal start waits for the main
    // form's first activation (FormActivate).
    void Loaded() override;
    // The main run.
    void Process() override;
    // The resume after reboot (-r).
    void ContinueUnfinished() override;
    // Once per run: events, status text and the headers of every file.
    void ReadArchiveInfo() override;

    virtual void ParseCommandLine();
    virtual void RemoveInstallRecord();
    virtual void NotifyBadInstall();
    virtual void NotifyGoodInstall();
    // The key path of the record matching the setup file; with create a new record when none
    // matches ("" without a match).
    virtual std::string OpenInstallRecord(bool create);
    virtual void InstallObjectsOfType(int32_t type, const std::string& statusText);
    virtual void RunFilesAfterInstall();
    virtual void RegisterUnfinished();
    // The application's exception handler during a run.
    virtual void HandleException(TObject* sender, const std::exception& e);
    // The whole build into buildDir: "setup.1", the loader or the program, "files.1" from the
    // compress pass, the remote list of a net distribution, the archives and the trailer.
    virtual void BuildSelfExtractor(const std::string& program, const std::string& buildDir,
                                    bool selfExtracting);
    virtual void Cleanup();
    // "setup.1": the program and the presetup files.
    virtual void BuildSetupFile(const std::string& buildDir, const std::string& program);
    virtual void ReadUnfinished(TStrings& list);
    virtual bool QueryUserAbort();
    virtual void ClearUnfinished();
    virtual void WriteUnfinished(const std::string& name, int kind);

    // The main form's first activation (the headless driver stands in for it).
    void FormActivate();
    void Shutdown();
    void RebootWindows();
    // The setup file: the self-extractor given with -e, else this program.
    std::string GetSetupFileName() const;
    // "Language" of the record; absent, unreadable or outside 0..21: the global translator's
    // target language, else 20 (clUser).
    int ReadLanguage();
    void WriteLanguage(int language);

    // The command-line switches b f d e r s c n (case ignored) and their values.
    bool HasSwitch(char letter) const;
    const std::string& SwitchValue(char letter) const;
    void SetSwitch(char letter, bool on, const std::string& value = "");
    void ClearSwitches();

    // The install source: the -s value, else the setup program's directory (no trailing "\").
    std::string GetSourceDir() const;
    // The directory of the setup program.
    static std::string GetSetupDirectory();

    TDistributeType GetDistributeType() const { return FDistributeType; }
    // A network distribution without a net location raises IEInstallNetLocNil.
    void SetDistributeType(TDistributeType type);
    // Clearing the location sets dtTraditional.
    void SetNetLocation(TCustomNetInstallLocation* location) override;
    bool GetRunning() const { return FRunning; }
    void SetRunning(bool running) { FRunning = running; }
    bool GetAborted() const { return FAborted; }
    bool GetReboot() const { return FReboot; }
    void SetReboot(bool reboot) { FReboot = reboot; }
    bool GetRunAutomatic() const { return FRunAutomatic; }
    void SetRunAutomatic(bool on) { FRunAutomatic = on; }
    bool GetUseLoadingProgram() const { return FUseLoadingProgram; }
    // Outside loading also makes the archive the standard main archive.
    void SetUseLoadingProgram(bool on);
    bool GetAutoMaximizeWindow() const { return FAutoMaximizeWindow; }
    void SetAutoMaximizeWindow(bool on);
    bool GetHideMainForm() const { return FHideMainForm; }
    void SetHideMainForm(bool on);
    // The picture pages show when their dialog has none, as PNG bytes (empty: none); the
    // "INSTALLTHEME1" picture by default.
    const std::string& GetDialogThemeBitmap() const { return FDialogThemeBitmap; }
    void SetDialogThemeBitmap(const std::string& png) { FDialogThemeBitmap = png; }
    bool GetNoUninstall() const { return FNoUninstall; }
    void SetNoUninstall(bool on) { FNoUninstall = on; }
    // Blank lines are dropped.
    void SetPresetupFiles(const TStrings& files);
    const TStringList& GetPresetupFiles() const { return FPresetupFiles; }
    int GetUnfinishedCount() const { return FUnfinishedCount; }
    const std::string& GetBatchFile() const { return FBatchFile; }
    TRunOutcome GetOutcome() const { return FOutcome; }
    void SetOutcome(TRunOutcome outcome) { FOutcome = outcome; }

    TInstallInformation Information;
    TControlPanelExtensionInformation win2KExtendedInformation;
    TRegistrationInformation RegistrationInformation;
    TBuildInfo BuildInfo;

    TNotifyEvent OnBeforeReadArchiveInfo;
    TNotifyEvent OnAfterReadArchiveInfo;
    TNotifyEvent OnAfterInitialized;
    TRebootWindowsEvent OnBeforeReboot;
    TNotifyEvent OnFailedReboot;
    TNotifyEvent OnBeforeNotifyGoodInstall;
    TNotifyEvent OnAfterNotifyGoodInstall;
    TNotifyEvent OnBeforeNotifyBadInstall;
    TNotifyEvent OnAfterNotifyBadInstall;
    TCleanupEvent OnBeforeCleanup;
    TUserAbortEvent OnBeforeShutdown;
    TBeforeRunFileEvent OnBeforeRunFile;
    TUserAbortEvent OnUserAbort;

    // The floppy transfer (-f) of a self-extracting file (-e) onto A:; it ends the program.
    virtual void TransferToFloppies();

protected:
    bool FiresAfterInstallObjects() const override { return false; }

private:
    static int SwitchIndex(char letter);
    // Steps 10-12 of a run: the unfinished list, then reboot or the good-install end.
    void FinishRun();
    void GoodInstallEnd();
    // -b: the build directory named by the first line of BUILD.INF beside the program.
    void BuildFromBuildInf();
    void AppendArchives(const std::string& setupExe, const std::string& dir);
    // "filelist.lst" of the packed files in dir; the downloaded list applied to the files.
    void WriteRemoteFileList(const std::string& dir);
    void ReadRemoteFileList();

    TDistributeType FDistributeType = dtTraditional;
    bool FRunning = false;
    bool FAborted = false;
    bool FReboot = false;
    bool FRunAutomatic = true;
    bool FUseLoadingProgram = false;
    bool FAutoMaximizeWindow = true;
    bool FHideMainForm = false;
    bool FNoUninstall = false;
    bool FActivated = false;
    bool FHasMainForm = false;
    TStringList FPresetupFiles;
    std::string FDialogThemeBitmap;
    int FUnfinishedCount = 0;
    std::string FLoaderPath;
    std::string FBatchFile;
    bool FBatchWritten = false;
    TRunOutcome FOutcome = roNone;
    std::array<bool, 8> FSwitches{};
    std::array<std::string, 8> FSwitchValues;
};

class TInstall : public TCustomInstall {
public:
    explicit TInstall(TComponent* owner) : TCustomInstall(owner) {}
    ZAN_CLASS(TInstall)
};

// The PNG bytes of the picture "INSTALLTHEME1".
const std::string& InstallThemeResource();

// The one install component of the process (nullptr when none lives).
TCustomInstall* CurrentInstall();

// The command line of this start (ParamStr 1..ParamCount); the driver sets it.
void SetCommandLineArgs(std::vector<std::string> args);
const std::vector<std::string>& CommandLineArgs();
// The headless driver stands in for the application's main form.
void SetMainFormStandIn(bool present);
// The time the current run started (written as LastRunDate).
TDateTime RunStartTime();

} // namespace zan
