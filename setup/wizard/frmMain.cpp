#include "setup/wizard/frmMain.h"

#include "host/rtl/SysUtils.h"
#include "host/win/WinRegistry.h"
#include "setup/engine/cmp_TPathSpecifier.h"

namespace zan {

namespace {

const TProductFile ProductFileTable[] = {
#include "product_files.inc"
};

#include "product_texts.inc"

TMainForm*& MainFormSlot() {
    static TMainForm* form = nullptr;
    return form;
}

std::string& PayloadRootSlot() {
    static std::string root;
    return root;
}

// "/a/b" as the machine sees the host's folders: "Z:\a\b".
std::string HostPathOnZ(const std::string& hostPath) {
    std::string out = "Z:";
    for (char c : hostPath) out += c == '/' ? '\\' : c;
    return out;
}

std::vector<std::string> TextLines(const char* text) {
    std::vector<std::string> out;
    std::string s = text;
    size_t start = 0;
    while (start < s.size()) {
        size_t at = s.find('\n', start);
        out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return out;
}

template <typename T>
T* Make(TComponent* owner, const std::string& name) {
    auto* c = new T(owner);
    c->SetLoading(true);
    c->SetName(name);
    return c;
}

// Iteration order of the summary, the IDE test and the registration: Delphi 3, 4, 5, 6, 7,
// then Builder 6.
const int IterationOrder[ideCount] = {ideDelphi3, ideDelphi4, ideDelphi5, ideDelphi6, ideDelphi7, ideBuilder6};

} // namespace

const std::vector<TProductFile>& ProductFiles() {
    static const std::vector<TProductFile> files(std::begin(ProductFileTable), std::end(ProductFileTable));
    return files;
}

std::string ProductPayloadRoot() {
    if (PayloadRootSlot().empty()) return HostPathOnZ(ORVEX_PAYLOAD_DIR);
    return PayloadRootSlot();
}

void SetProductPayloadRoot(const std::string& root) { PayloadRootSlot() = root; }

TMainForm* ProductMainForm() { return MainFormSlot(); }

TMainForm::TMainForm(TComponent* owner) : TForm(owner) {
    try {
        Build();
    } catch (...) {
        // A constructor that raises never reaches ~TMainForm: TForm's destructor would call
        // OnDestroy on what is left of the form, and the slot would keep the freed form.
        OnDestroy = nullptr;
        FormDestroy(this);
        if (MainFormSlot() == this) MainFormSlot() = nullptr;
        throw;
    }
}

void TMainForm::Build() {
    MainFormSlot() = this;
    SetLoading(true);
    SetName("MainForm");
    Caption = "Orvex Database Engine Setup";
    SetBounds(0, 0, 640, 480);
    BackDrop = Make<TBackdrop>(this, "BackDrop");
    BackDrop->SetParent(this);
    ProductLabel = Make<TRotate3DLabel>(this, "ProductLabel");
    ProductLabel->SetBounds(0, 0, 640, 60);
    ProductLabel->Align = alTop;
    ProductLabel->Font.Size = 24;
    ProductLabel->Font.Color = clWhite;
    ProductLabel->SetParent(BackDrop);

    Install1 = Make<TInstall>(this, "Install1");
    Install1->SetDestDirType(StandardSpecifier<TpsProgramFiles>());
    Install1->SetUseLoadingProgram(true);
    Install1->SetArchiveFileType(StandardSpecifier<TpsMainArchiveFile>());
    Install1->SetHideMainForm(false);
    Install1->SetReboot(false);
    Install1->BuildInfo.OCXName = "crvsetup";
    Install1->OnAfterInitialized = [this](TObject* s) { Install1AfterInitialized(s); };
    Install1->OnBeforeNotifyGoodInstall = [this](TObject* s) { Install1BeforeNotifyGoodInstall(s); };
    MainTranslator = Make<TTranslator>(this, "MainTranslator");

    auto directory = [&](const std::string& name, TInstallContainer* container, const std::string& dest) {
        auto* d = Make<TInstallDirectory>(this, name);
        d->SetContainer(container);
        d->SetDestDir(dest);
        return d;
    };
    idMiscellaneous = directory("idMiscellaneous", Install1, "\\Uninstall");
    idMiscellaneous->Description.Add("Uninstall");
    MainDir = directory("MainDir", Install1, "");
    MainDir->SetDestDirType(StandardSpecifier<TpsMainInstall>());
    HelpDir = directory("HelpDir", MainDir, "\\Help");
    Delphi3 = directory("Delphi3", MainDir, "\\Delphi3");
    Delphi4 = directory("Delphi4", MainDir, "\\Delphi4");
    Delphi5 = directory("Delphi5", MainDir, "\\Delphi5");
    Delphi6 = directory("Delphi6", MainDir, "\\Delphi6");
    Builder6 = directory("Builder6", MainDir, "\\Builder6");
    Delphi7 = directory("Delphi7", MainDir, "\\Delphi7");
    DemoDir = directory("DemoDir", MainDir, "\\Demo");
    UtilsDir = directory("UtilsDir", MainDir, "\\Utils");
    SysDir = directory("SysDir", Install1, "");
    SysDir->SetDestDirType(StandardSpecifier<TpsSystem>());
    SourceDir = directory("SourceDir", MainDir, "\\Source");
    SourceDir->SetInclude(false);

    const std::string root = ProductPayloadRoot();
    auto place = [&](TCustomInstallFile* file, TInstallDirectory* dir, const std::string& from,
                     const std::string& name, int id) {
        file->SetUniqueID(id);
        file->SetContainer(dir);
        file->SetIncludeFromDir(root + "\\" + from);
        file->SetFileName(name);
        file->SetDestName(name);
    };
    IFifUninstallEXE_ = Make<TUninstallEXE>(this, "IFifUninstallEXE_");
    place(IFifUninstallEXE_, idMiscellaneous, "Uninstall", "uninstall.exe", UninstallerID);
    for (const TProductFile& f : ProductFiles()) {
        std::string dir = f.Directory;
        TInstallDirectory* container = dir == "Main" ? MainDir : dir == "Help" ? HelpDir
                                     : dir == "Delphi7" ? Delphi7 : dir == "Demo" ? DemoDir
                                     : dir == "Utils" ? UtilsDir : SysDir;
        auto* file = Make<TInstallFile>(this, "IF" + std::to_string(f.UniqueID));
        place(file, container, dir, f.Name, f.UniqueID);
        if (container == HelpDir) file->SetRegisterAsHelp(true);
        Files.push_back(file);
    }

    InstallRegistry = Make<TInstallRegistry>(this, "InstallRegistry");
    InstallRegistry->SetContainer(Install1);
    InstallRegistry->SetKeySpecifierType(ksAbsolute);
    TRegistryEntry* ver = InstallRegistry->GetEntries().Add();
    ver->SetIdent("Ver");
    ver->SetText("%p");
    TRegistryEntry* path = InstallRegistry->GetEntries().Add();
    path->SetIdent("InstallPath");
    path->SetText("%p");
    path->SetPathSpecifier(MainDir->GetPathSpecifier());

    TDialogManager** managers[] = {&DialogManager, &DialogManager1, &DialogManager2,
                                   &DialogManager3, &DialogManager4, &DialogManager5};
    const TManagerType types[] = {dmBeforeInstall, dmAfterGoodInstall, dmAfterBadInstall,
                                  dmDuringCopyFiles, dmChangeDisk, dmReboot};
    for (int i = 0; i < 6; ++i) {
        auto* m = Make<TDialogManager>(this, i ? "DialogManager" + std::to_string(i) : "DialogManager");
        m->ManagerType = types[i];
        m->SetContainer(Install1);
        *managers[i] = m;
    }
    auto stock = [&](auto* dlg, TDialogManager* manager, int order) {
        dlg->SetContainer(Install1);
        if (manager) dlg->SetDialogManager(manager);
        if (order) dlg->SetOrder(order);
        return dlg;
    };
    LicenseDlg = stock(Make<TLicenseDlg>(this, "LicenseDlg"), DialogManager, 10);
    for (const std::string& l : TextLines(ProductLicence)) LicenseDlg->LicenseAgreement.Add(l);
    ReadmeDlg1 = stock(Make<TReadmeDlg>(this, "ReadmeDlg1"), DialogManager1, 10);
    for (const std::string& l : TextLines(ProductReadme)) ReadmeDlg1->ReadmeText.Add(l);
    BadInstallationDlg = stock(Make<TBadInstallationDlg>(this, "BadInstallationDlg"), DialogManager2, 10);
    CopyFileDlg = stock(Make<TCopyFileDlg>(this, "CopyFileDlg"), DialogManager3, 0);
    ChangeDiskDlg = stock(Make<TChangeDiskDlg>(this, "ChangeDiskDlg"), DialogManager4, 0);
    RebootDlg = stock(Make<TRebootDlg>(this, "RebootDlg"), DialogManager5, 10);
    InstallStatusDlg = Make<TInstallStatusDlg>(this, "InstallStatusDlg");
    InstallStatusDlg->SetContainer(Install1);

    OnCreate = [this](TObject* s) { FormCreate(s); };
    OnDestroy = [this](TObject* s) { FormDestroy(s); };
    // Closing the window is refused while the install runs: the copy form's Cancel is the way out.
    OnCloseQuery = [this](TObject*, bool& canClose) {
        if (Install1->GetRunning()) canClose = false;
    };
    // Loaded in creation order, the install's last: its Loaded reads the command line and
    // dispatches a build, floppy transfer or resume, which need the rest of the script settled.
    for (int i = 0; i < ComponentCount(); ++i) {
        TComponent* c = Components(i);
        if (c != Install1 && c->GetComponentState().Contains(csLoading)) c->Loaded();
    }
    FinishCreate();
}

TMainForm::~TMainForm() {
    if (OnDestroy) OnDestroy(this);
    OnDestroy = nullptr;
    if (MainFormSlot() == this) MainFormSlot() = nullptr;
}

void TMainForm::FormCreate(TObject*) {
    SetupLog("Commencing Installation - Orvex Database Engine");
    SaveLog();
    FRegistrar = std::make_unique<TPackageInstaller>();
    InstallRegistry->SetKey(ProductKey);
    Install1->Information = {ProductCompany, ProductName, ProductVersion};
    Install1->SetDestDir(ProductDestDir);
    ProductLabel->Caption = ProductName;
    SaveLog();
}

void TMainForm::FormDestroy(TObject*) { FRegistrar.reset(); }

TIDEInfo TMainForm::IDEInfo(int index) const {
    TIDEInfo info;
    if (FRegistrar) FRegistrar->GetIDEInfo(index, info);
    return info;
}

TPackageInstaller& TMainForm::Registered() const {
    if (!FRegistrar) throw Exception("The IDE detection failed: nothing can be registered");
    return *FRegistrar;
}

std::string TMainForm::DestinationPath() const { return Install1->GetDestinationPath(); }

void TMainForm::Install1AfterInitialized(TObject*) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    if (reg.OpenKeyReadOnly(ProductKey)) {
        std::string recorded = reg.ReadString("InstallPath");
        reg.CloseKey();
        if (!recorded.empty()) {
            Install1->SetDestDirType(nullptr);
            Install1->SetDestDir(recorded);
        }
    }
    SetupLog("Install1AfterInitialized. Moving Dir to: " + DestinationPath());
    SaveLog();
    // The log follows the resolved destination, not the relative part of DestDir.
    SetLogDirectory(DestinationPath());
    SetupLog("Install1AfterInitialized");
    SaveLog();
}

TInstallDirectory* TMainForm::IDEDirectory(int index) const {
    switch (index) {
    case ideDelphi3: return Delphi3;
    case ideDelphi4: return Delphi4;
    case ideDelphi5: return Delphi5;
    case ideDelphi6: return Delphi6;
    case ideBuilder6: return Builder6;
    case ideDelphi7: return Delphi7;
    default: throw Exception("IDE index " + std::to_string(index) + " out of range");
    }
}

std::string TMainForm::PackageFileName(int index, const std::string& base) {
    static const char digits[ideCount] = {'3', '4', '5', '6', '6', '7'};
    std::string name = base;
    name += index == ideBuilder6 ? 'b' : 'd';
    name += digits[index];
    return name + (index == ideDelphi3 ? ".dpl" : ".bpl");
}

std::string TMainForm::PackageNames(int index, const std::string& base) {
    static const char* const old[ideCount] = {
        "dclzan12d3.dpl,dclzan13d3.dpl", "dclzan12d4.bpl,dclzan13d4.bpl",
        "dclzan12d5.bpl,dclzan13d5.bpl", "dclzan12d6.bpl,dclzan13d6.bpl",
        "dclzan12b6.bpi",                "dclzan12d7.bpl,dclzan13d7.bpl"};
    return std::string(old[index]) + "," + PackageFileName(index, base);
}

bool TMainForm::CheckComponentSupportVersion(int index) {
    bool supported = IDEDirectory(index)->GetFileCount() > 0;
    SetupLog("CheckComponentSupportVersion " + IDELogName(index) + ": " + (supported ? "True" : "False"));
    SaveLog();
    return supported;
}

int TMainForm::GetComponentInstallationCount() {
    int count = 0;
    for (int i = 0; i < ideCount; ++i) count += IDEDirectory(i)->GetFileCount() > 0;
    SetupLog("GetComponentInstallationCount " + std::to_string(count));
    SaveLog();
    return count;
}

bool TMainForm::AnyIDEPresent() {
    for (int index : IterationOrder)
        if (IDEDirectory(index)->GetFileCount() > 0 && IDEInfo(index).Installed) return true;
    return false;
}

void TMainForm::ApplyVersionSelection(bool d3, bool d4, bool d7, bool builder6, bool d6, bool d5) {
    FChosen = {d3, d4, d5, d6, builder6, d7};
    for (int i = 0; i < ideCount; ++i) {
        TInstallDirectory* dir = IDEDirectory(i);
        dir->SetInclude(dir->GetFileCount() > 0 && FChosen[i]);
    }
}

void TMainForm::FillSummary(TMemo* memo) {
    std::vector<std::string>& lines = memo->Lines;
    lines.clear();
    lines.push_back(" ");
    lines.push_back(std::string(ProductName) + " V" + ProductVersion);
    lines.push_back(GetSummaryLabel() + " version");
    lines.push_back(" ");
    lines.push_back("Product Versions to install:");
    for (int index : IterationOrder)
        if (IDEDirectory(index)->GetInclude()) lines.push_back("     " + IDELogName(index));
    lines.push_back(" ");
    lines.push_back("Installation directory:");
    lines.push_back(DestinationPath());
    memo->Invalidate();
    SetLogDirectory(DestinationPath());
    SetupLog("Installation Settings");
    for (const std::string& l : lines) SetupLog(l);
    SetupLog("  ");
    SaveLog();
}

void TMainForm::InstallIntoIDE(int index, const std::string& directory, const std::string& packageBase,
                               const std::string& helpFile, const std::string& description) {
    const std::string name = IDELogName(index);
    SetupLog("Installing product. Product - " + name + " Starting");
    SaveLog();
    Registered().InstallIntoPalette(index, ProductPalettePage, ProductComponents);
    Registered().InstallPackage(index, directory + "\\" + PackageFileName(index, packageBase),
                               PackageNames(index, packageBase), description);
    if (HelpDir->GetFileCount() > 0) Registered().InstallHelp(index, helpFile);
    SetupLog("Installing product. Product - " + name + " Done");
    SaveLog();
}

void TMainForm::Install1BeforeNotifyGoodInstall(TObject*) {
    for (int index : IterationOrder) {
        TInstallDirectory* dir = IDEDirectory(index);
        if (!FChosen[index] || !dir->GetInclude()) continue;
        bool bracketed = index == ideDelphi3 || index == ideDelphi4 || index == ideDelphi7 || index == ideBuilder6;
        if (bracketed) SetupLog("Installing product. Pre: " + IDELogName(index));
        InstallIntoIDE(index, dir->GetDestinationPath(), ProductPackageBase, ProductHelpFile, ProductName);
        if (bracketed) SetupLog("Installing product. Post: " + IDELogName(index));
        SaveLog();
    }
}

} // namespace zan
