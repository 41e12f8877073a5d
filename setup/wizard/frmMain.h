// The product's setup: the main form carries the whole install script of the "Orvex Database
// Engine" package (install component, directories, the 97 files, registry writer, uninstaller,
// dialog managers and stock pages), its handlers, and the IDE selection the product pages use.
// After the files are installed the design package is registered in each chosen IDE through
// the package registrar (VCLInstall); every step goes to the setup log.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "host/forms/Forms.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/cmp_TInstallRegistry.h"
#include "setup/engine/cmp_TTranslator.h"
#include "setup/wizard/DialogManager.h"
#include "setup/wizard/StockPages.h"
#include "setup/wizard/VCLInstall.h"
#include "setup/wizard/VisualWidgets.h"

namespace zan {

// Product constants.
inline constexpr const char* ProductCompany = "Marrowby Software";
inline constexpr const char* ProductName = "Orvex Database Engine";
inline constexpr const char* ProductVersion = "143";
inline constexpr const char* ProductKey = "\\Software\\Marrowby Software\\Orvex";
inline constexpr const char* ProductDestDir = "\\Orvex";
inline constexpr const char* ProductPackageBase = "dclzan14";
inline constexpr const char* ProductHelpFile = "orvex.hlp";
inline constexpr const char* ProductPalettePage = "Data Access";
inline constexpr const char* ProductComponents = "TZanDatabase,TZanTable, TZanQuery";

// One entry of the product's file list (generated from setup/product/files.manifest).
struct TProductFile {
    const char* Directory; // Main, Help, Delphi7, Demo, Utils, Sys
    const char* Name;
    int UniqueID;
};
const std::vector<TProductFile>& ProductFiles();
// The id of the uninstaller (after the product's files).
inline constexpr int UninstallerID = 107;
// The folder the build takes the files from, in Windows form: "<root>\<Directory>\<name>".
// The default is the payload written at build time (reached read-only through Z:).
std::string ProductPayloadRoot();
void SetProductPayloadRoot(const std::string& root);

class TMainForm : public TForm {
public:
    explicit TMainForm(TComponent* owner);
    ~TMainForm() override;
    ZAN_CLASS(TMainForm)

    TBackdrop* BackDrop;
    TRotate3DLabel* ProductLabel;
    TInstall* Install1;
    TTranslator* MainTranslator;
    TInstallDirectory* idMiscellaneous;
    TUninstallEXE* IFifUninstallEXE_;
    TInstallDirectory* MainDir;
    TInstallDirectory* HelpDir;
    TInstallDirectory* Delphi3;
    TInstallDirectory* Delphi4;
    TInstallDirectory* Delphi5;
    TInstallDirectory* Delphi6;
    TInstallDirectory* Builder6;
    TInstallDirectory* Delphi7;
    TInstallDirectory* DemoDir;
    TInstallDirectory* UtilsDir;
    TInstallDirectory* SysDir;
    TInstallDirectory* SourceDir;
    std::vector<TInstallFile*> Files;
    TInstallRegistry* InstallRegistry;
    TDialogManager* DialogManager;
    TDialogManager* DialogManager1;
    TDialogManager* DialogManager2;
    TDialogManager* DialogManager3;
    TDialogManager* DialogManager4;
    TDialogManager* DialogManager5;
    TLicenseDlg* LicenseDlg;
    TReadmeDlg* ReadmeDlg1;
    TBadInstallationDlg* BadInstallationDlg;
    TCopyFileDlg* CopyFileDlg;
    TChangeDiskDlg* ChangeDiskDlg;
    TRebootDlg* RebootDlg;
    TInstallStatusDlg* InstallStatusDlg;

    void FormCreate(TObject* sender);
    void FormDestroy(TObject* sender);
    void Install1AfterInitialized(TObject* sender);
    void Install1BeforeNotifyGoodInstall(TObject* sender);

    // Parameters in this order: Delphi 3, 4, 7, Builder 6, Delphi 6, 5.
    void ApplyVersionSelection(bool d3, bool d4, bool d7, bool builder6, bool d6, bool d5);
    void FillSummary(TMemo* memo);
    void InstallIntoIDE(int index, const std::string& directory, const std::string& packageBase,
                        const std::string& helpFile, const std::string& description);
    bool CheckComponentSupportVersion(int index);
    int GetComponentInstallationCount();
    bool AnyIDEPresent();
    std::string GetProductPhrase() const { return "Orvex Database Engine"; }
    std::string GetSummaryLabel() const { return "Component package"; }

    // The directory of an IDE by index (0 Delphi 3 ... 4 Builder 6, 5 Delphi 7).
    TInstallDirectory* IDEDirectory(int index) const;
    // The registrar (nullptr when FormCreate's detection failed: then no IDE counts as present).
    TPackageInstaller* Registrar() const { return FRegistrar.get(); }
    // The registrar's record of an IDE (empty without a registrar).
    TIDEInfo IDEInfo(int index) const;
    // The chosen flags by IDE index.
    bool Chosen(int index) const { return FChosen[index]; }
    // The resolved destination of the install (what the log directory follows).
    std::string DestinationPath() const;
    // The package file of an IDE ("dclzan14d7.bpl") and the names list handed to the registrar
    // (old names, then the package file).
    static std::string PackageFileName(int index, const std::string& base = ProductPackageBase);
    static std::string PackageNames(int index, const std::string& base = ProductPackageBase);

private:
    // The constructor's body: builds the components and runs their Loaded and FinishCreate.
    void Build();
    TPackageInstaller& Registered() const;
    std::unique_ptr<TPackageInstaller> FRegistrar;
    std::array<bool, ideCount> FChosen{};
};

// The main form while it lives (the product pages reach the script through it).
TMainForm* ProductMainForm();

} // namespace zan
