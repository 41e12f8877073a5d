#include "setup/wizard/ProductPages.h"

#include "host/forms/Dialogs.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinFs.h"
#include "setup/engine/routines_FileSystem.h"
#include "setup/engine/routines_Strings.h"
#include "setup/wizard/frmMain.h"

namespace zan {

namespace {

template <typename T>
T* Put(TComponent* owner, TWinControl* parent, const std::string& name, int left, int top, int width,
       int height) {
    T* c = new T(owner);
    c->SetName(name);
    c->SetBounds(left, top, width, height);
    c->SetParent(parent);
    return c;
}

TMainForm& Main() {
    TMainForm* form = ProductMainForm();
    if (!form) throw Exception("The product pages need the setup's main form");
    return *form;
}

template <typename Form>
TInstallFormFactory Factory() {
    return [](TComponent* owner) -> TBaseInstallForm* { return new Form(owner); };
}

bool DirectoryExistsQuiet(const std::string& dir) {
    try {
        return WinDirectoryExists(dir);
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

void RegisterProductForms() {
    RegisterInstallForm(iflPages, "TWelcomeForm", Factory<TWelcomeForm>(), nullptr, 0);
    RegisterInstallForm(iflPages, "TBeforeInstallDialog1", Factory<TBeforeInstallDialog1>(), nullptr, 0);
    RegisterInstallForm(iflPages, "TSelectDestinationForm", Factory<TSelectDestinationForm>(), nullptr, 0);
    RegisterInstallForm(iflPages, "TConfirmInstall", Factory<TConfirmInstall>(), nullptr, 0);
    RegisterInstallForm(iflPages, "TAfterGoodInstallDlg", Factory<TAfterGoodInstallDlg>(), nullptr, 0);
}

TWelcomeForm::TWelcomeForm(TComponent* owner) : TStockPageForm(owner, "Welcome", false) {
    DM = FindDialogManager(dmBeforeInstall);
    Order = 5;
    lblIntro = AddText("lblIntro", "This program will install a copy of the Product onto your computer.", 8, 40);
    lblIntro->Caption = StringReplace(lblIntro->Caption, "Product", Main().GetProductPhrase());
    AddText("lblExit",
            "It is strongly recommended that you exit all Windows programs before running this "
            "setup. If you need to close any programs, click Cancel to quit the setup and then "
            "close the programs.",
            52, 70);
    AddText("lblContinue", "Click Next to continue with the installation.", 126, 26);
    AddText("lblIDE",
            "Ensure that neither Delphi nor C++ Builder are currently running on your system before "
            "proceeding with the installation. In addition, ensure that your version of Delphi is "
            "up to date.",
            156, 70);
    FinishCreate();
}

TBeforeInstallDialog1::TBeforeInstallDialog1(TComponent* owner)
    : TStockPageForm(owner, "Delphi version selection", false) {
    DM = FindDialogManager(dmBeforeInstall);
    Order = 40;
    AddText("lblSelect",
            "The component/s can install into the following Borland products if these are "
            "detected on your computer. Select the versions you want to install into.",
            8, 56);
    grpProducts = Put<TGroupBox>(this, ContentPanel, "grpProducts", 8, 72, 288, 170);
    grpProducts->Caption = "Borland Products";
    struct {
        TCheckBox** Box;
        const char* Name;
        const char* Caption;
    } boxes[] = {{&D3CB, "D3CB", "Delphi 3"}, {&D4CB, "D4CB", "Delphi 4"}, {&D5CB, "D5CB", "Delphi 5"},
                 {&D6CB, "D6CB", "Delphi 6"}, {&B6CB, "B6CB", "Builder 6"}, {&D7CB, "D7CB", "Delphi 7"}};
    int top = 20;
    for (const auto& b : boxes) {
        *b.Box = Put<TCheckBox>(this, grpProducts, b.Name, 16, top, 200, 17);
        (*b.Box)->Caption = b.Caption;
        top += 24;
    }
    // Checked when the IDE is installed, enabled when the product also supports it.
    TMainForm& main = Main();
    for (int index = 0; index < ideCount; ++index) {
        TIDEInfo info = main.IDEInfo(index);
        bool supported = main.CheckComponentSupportVersion(index);
        Box(index)->Checked = info.Installed;
        Box(index)->Enabled = info.Installed && supported;
    }
    FinishCreate();
}

TCheckBox* TBeforeInstallDialog1::Box(int index) const {
    TCheckBox* const boxes[ideCount] = {D3CB, D4CB, D5CB, D6CB, B6CB, D7CB};
    if (index < 0 || index >= ideCount) throw Exception("IDE index " + std::to_string(index) + " out of range");
    return boxes[index];
}

bool TBeforeInstallDialog1::ShouldSkip() {
    TMainForm& main = Main();
    bool skip = main.GetComponentInstallationCount() <= 1 && main.AnyIDEPresent();
    if (skip) main.ApplyVersionSelection(true, true, true, true, true, true);
    SetupLog(std::string("Delphi Ver Dlg skip - ") + (skip ? "True" : "False"));
    SaveLog();
    return skip;
}

void TBeforeInstallDialog1::Next() {
    TMainForm& main = Main();
    if (!main.AnyIDEPresent()) {
        MessageDlg("No Delphi products are selected or the correct version of Delphi is not present "
                   "on this system. Installation is unable to proceed.",
                   mtWarning, pbOK);
        return;
    }
    bool any = false;
    for (int index = 0; index < ideCount; ++index) any |= Box(index)->Enabled && Box(index)->Checked;
    if (!any) {
        MessageDlg("Either no products are selected or present on this system. Installation is "
                   "unable to proceed.",
                   mtWarning, pbOK);
        return;
    }
    main.ApplyVersionSelection(D3CB->Checked, D4CB->Checked, D7CB->Checked, B6CB->Checked, D6CB->Checked,
                               D5CB->Checked);
    TStockPageForm::Next();
}

TSelectDestinationForm::TSelectDestinationForm(TComponent* owner)
    : TStockPageForm(owner, "Choose Destination Location", false) {
    DM = FindDialogManager(dmBeforeInstall);
    Order = 45;
    AddText("lblWhich", "Which directory do you want to install this program into?", 8, 26);
    AddText("lblNext", "To install to the directory displayed below, click Next.", 40, 26);
    AddText("lblBrowse", "To install to a different directory, click Browse and select another directory.",
            72, 40);
    grpDestination = Put<TGroupBox>(this, ContentPanel, "grpDestination", 8, 200, 288, 60);
    grpDestination->Caption = "Destination Directory";
    edDestDir = Put<TEdit>(this, grpDestination, "edDestDir", 8, 24, 190, 21);
    BrowseBtn = new TTranslateBitBtn(this);
    BrowseBtn->SetName("BrowseBtn");
    BrowseBtn->SetBounds(205, 22, 75, 25);
    BrowseBtn->SetParent(grpDestination);
    BrowseBtn->Caption = "&Browse";
    // Typing names the destination directly.
    edDestDir->OnChange = [this](TObject*) {
        if (FShowing) return;
        TInstall* install = Main().Install1;
        install->SetDestDirType(nullptr);
        install->SetDestDir(edDestDir->Text());
    };
    BrowseBtn->OnClick = [this](TObject*) { Browse(); };
    FinishCreate();
}

void TSelectDestinationForm::PageHook() {
    TStockPageForm::PageHook();
    std::string path = Main().DestinationPath();
    grpDestination->Visible = !path.empty();
    FShowing = true;
    TScopeExit done([this] { FShowing = false; });
    edDestDir->SetText(path);
}

void TSelectDestinationForm::Browse() {
    TInstall* install = Main().Install1;
    std::string destDir = install->GetDestDir();
    size_t at = destDir.rfind('\\');
    std::string kept = at == std::string::npos ? "\\" + destDir : destDir.substr(at);
    std::string start = install->GetDestinationPath();
    // The browser starts inside the destination: every folder made to reach it goes again
    // afterwards, deepest first, when it is still empty.
    std::vector<std::string> created;
    TScopeExit removeCreated([&] {
        for (auto it = created.rbegin(); it != created.rend(); ++it) {
            try {
                if (WinFindFiles(*it, "*").empty()) WinRemoveDirectory(*it);
            } catch (const std::exception&) {
            }
        }
    });
    std::vector<std::string> missing;
    for (std::string p = RemoveTrailingBackslash(start); !p.empty() && !DirectoryExistsQuiet(p);) {
        missing.push_back(p);
        size_t cut = p.rfind('\\');
        if (cut == std::string::npos || cut < 2) break;
        p = p.substr(0, cut);
        if (p.size() == 2 && p[1] == ':') break;
    }
    try {
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            WinCreateDirectory(*it);
            created.push_back(*it);
        }
    } catch (const std::exception&) {
        // The browser then starts at the nearest folder that exists.
    }
    TOpenFolderDialog dialog;
    dialog.SetInitialDir(start);
    if (!dialog.Execute()) return;
    std::string chosen = RemoveTrailingBackslash(dialog.GetChosenPath());
    install->SetDestDirType(nullptr);
    install->SetDestDir(chosen + kept);
    FShowing = true;
    TScopeExit done([this] { FShowing = false; });
    edDestDir->SetText(install->GetDestDir());
}

TConfirmInstall::TConfirmInstall(TComponent* owner) : TStockPageForm(owner, "Confirm install details", false) {
    DM = FindDialogManager(dmBeforeInstall);
    Order = 60;
    AddText("lblConfirm",
            "The installation is about to commence. Check the following settings are correct and "
            "press 'Next'  to proceed or 'Previous' to  change",
            8, 56);
    memSummary = Put<TMemo>(this, ContentPanel, "memSummary", 8, 72, 288, 240);
    memSummary->ReadOnly = true;
    FinishCreate();
}

void TConfirmInstall::PageHook() {
    TStockPageForm::PageHook();
    Main().FillSummary(memSummary);
}

TAfterGoodInstallDlg::TAfterGoodInstallDlg(TComponent* owner)
    : TStockPageForm(owner, "Installation complete", true) {
    DM = FindDialogManager(dmAfterGoodInstall);
    Order = 20;
    AddText("lblDone",
            "The software has been properly installed. The component/s should be available when "
            "you next start your Borland product.",
            8, 56);
    FinishCreate();
}

} // namespace zan
