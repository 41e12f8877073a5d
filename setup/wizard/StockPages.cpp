#include "setup/wizard/StockPages.h"

#include <algorithm>

#include "host/forms/Dialogs.h"
#include "setup/engine/cmp_TInstall.h"

namespace zan {

namespace {

template <typename T>
T* Place(TComponent* owner, TWinControl* parent, const std::string& name, int left, int top,
         int width, int height) {
    T* c = new T(owner);
    c->SetName(name);
    c->SetBounds(left, top, width, height);
    c->SetParent(parent);
    return c;
}

TTranslateBitBtn* AddButton(TForm* form, const std::string& name, const std::string& caption,
                            int left, int top) {
    auto* b = Place<TTranslateBitBtn>(form, form, name, left, top, 75, 25);
    b->Caption = caption;
    return b;
}

std::vector<std::string> LinesOf(const TStringList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i) out.push_back(list[i]);
    return out;
}

template <typename Form>
TInstallFormFactory Factory() {
    return [](TComponent* owner) -> TBaseInstallForm* { return new Form(owner); };
}

} // namespace

void RegisterStockForms() {
    // The forms' units register the bare forms, in this order; the components' units then
    // withdraw them again (the good-install form has no component and stays withdrawn).
    const std::pair<TInstallFormListKind, std::pair<const char*, TInstallFormFactory>> forms[] = {
        {iflPages, {"TLicenseForm", Factory<TLicenseForm>()}},
        {iflPages, {"TReadmeForm", Factory<TReadmeForm>()}},
        {iflPages, {"TRebootForm", Factory<TRebootForm>()}},
        {iflPages, {"TGoodInstallForm", Factory<TGoodInstallForm>()}},
        {iflPages, {"TBadInstallForm", Factory<TBadInstallForm>()}},
        {iflChangeDisk, {"TChangeDiskForm", Factory<TChangeDiskForm>()}},
        {iflCopyForms, {"TCopyFileForm", Factory<TCopyFileForm>()}}};
    for (const auto& [list, form] : forms) RegisterInstallForm(list, form.first, form.second, nullptr, 0);
    for (const auto& [list, form] : forms) UnregisterInstallFormClass(list, form.first);
}

// ---- page forms ----

TStockPageForm::TStockPageForm(TComponent* owner, const std::string& caption, bool closingPage)
    : TBaseInstallForm(owner), FClosing(closingPage) {
    Caption = caption;
    SetBounds(0, 0, 478, 395);
    ThemeBitmap = Place<TImage>(this, this, "ThemeBitmap", 8, 8, 150, 320);
    ThemeBitmap->Picture = InstallThemePicture();
    ContentPanel = Place<TPanel>(this, this, "ContentPanel", 166, 8, 304, 320);
    ContentPanel->BevelOuter = bvNone;
    BackBtn = AddButton(this, "BackBtn", "< Previous", 226, 340);
    ProceedBtn = AddButton(this, "ProceedBtn", "Next >", 306, 340);
    CancelBtn = AddButton(this, "CancelBtn", "Cancel", 395, 340);
    BackBtn->OnClick = [this](TObject*) { Back(); };
    ProceedBtn->OnClick = [this](TObject*) { Next(); };
    CancelBtn->OnClick = [this](TObject*) { Cancel(); };
    if (closingPage) {
        FinishBtn = AddButton(this, "FinishBtn", "Finish", 306, 340);
        FinishBtn->OnClick = [this](TObject*) { Next(); };
        FinishBtn->Visible = false;
    }
}

TTranslateLabel* TStockPageForm::AddText(const std::string& name, const std::string& text, int top,
                                         int height) {
    auto* l = Place<TTranslateLabel>(this, ContentPanel, name, 8, top, 288, height);
    l->Caption = text;
    l->WordWrap = true;
    l->AutoSize = false;
    return l;
}

void TStockPageForm::PageHook() {
    BackBtn->Visible = !IsFirstPage();
    if (FClosing) {
        ProceedBtn->Visible = !IsLastPage();
        FinishBtn->Visible = !ProceedBtn->Visible;
    }
    // The focus goes to the window that takes the keys: the frame when the page is embedded.
    (ProceedBtn->Visible ? ProceedBtn : FinishBtn)->SetFocus();
}

TLicenseForm::TLicenseForm(TComponent* owner) : TStockPageForm(owner, "Software license agreement", false) {
    DM = FindDialogManager(dmBeforeInstall);
    Order = 20;
    AddText("lblRead", "Please read the following License Agreement.", 8, 26);
    Decoration = Place<TBevel>(this, ContentPanel, "Decoration", 8, 36, 288, 2);
    Agreement = Place<TRichEdit>(this, ContentPanel, "Agreement", 8, 44, 288, 200);
    AddText("lblAccept",
            "By clicking on the Accept button below, you agree to all terms stated in the License "
            "Agreement. You may cancel the installation by clicking on the Cancel button.",
            252, 60);
    ProceedBtn->Caption = "Accept >";
    FinishCreate();
}

TReadmeForm::TReadmeForm(TComponent* owner) : TStockPageForm(owner, "Installation successful", false) {
    DM = FindDialogManager(dmAfterGoodInstall);
    AddText("lblComplete",
            "Installation is complete. The README file below contains information about this "
            "product that may not be in the help files.",
            8, 40);
    Decoration = Place<TBevel>(this, ContentPanel, "Decoration", 8, 52, 288, 2);
    Information = Place<TRichEdit>(this, ContentPanel, "Information", 8, 60, 288, 250);
    FinishCreate();
}

TRebootForm::TRebootForm(TComponent* owner) : TStockPageForm(owner, "Reboot windows", true) {
    DM = FindDialogManager(dmReboot);
    Order = 10;
    RebootText = Place<TMemo>(this, ContentPanel, "RebootText", 8, 8, 288, 110);
    RebootText->Lines = {"Several components could not be installed on your system because they were "
                         "in use. For the installation to proceed, you will need to reboot your "
                         "computer. If you decide not to reboot now, the software will probably not "
                         "work until you do reboot."};
    RG = Place<TRadioGroup>(this, ContentPanel, "RG", 8, 126, 288, 70);
    RG->Items = {"Yes, I would like to reboot windows", "No, I would not like to reboot windows"};
    RG->OnClick = [this](TObject*) {
        if (TCustomInstall* install = CurrentInstall()) install->SetReboot(RG->ItemIndex == 0);
    };
    FinishCreate();
}

void TRebootForm::PageHook() {
    TStockPageForm::PageHook();
    TCustomInstall* install = CurrentInstall();
    int preset = install && install->GetReboot() ? 0 : 1;
    if (RG->ItemIndex != preset) RG->ItemIndex = preset; // a preset, not a choice: no write-back
}

TGoodInstallForm::TGoodInstallForm(TComponent* owner) : TStockPageForm(owner, "Setup complete", true) {
    DM = FindDialogManager(dmAfterGoodInstall);
    Order = 10;
    AddText("lblGood",
            "The software has been properly installed. You may start the software by clicking on "
            "the icon.",
            8, 60);
    FinishCreate();
}

TBadInstallForm::TBadInstallForm(TComponent* owner) : TStockPageForm(owner, "Setup incomplete", true) {
    DM = FindDialogManager(dmAfterBadInstall);
    Order = 10;
    Text1 = Place<TMemo>(this, ContentPanel, "Text1", 8, 8, 288, 60);
    Text1->Lines = {"This software has not been properly installed and will not work correctly if "
                    "you try to use it."};
    Text2 = Place<TMemo>(this, ContentPanel, "Text2", 8, 76, 288, 60);
    FinishCreate();
}

TChangeDiskForm::TChangeDiskForm(TComponent* owner) : TBaseChangeDiskForm(owner) {
    DM = FindDialogManager(dmChangeDisk);
    Caption = "Setup needs the next disk";
    BorderStyle = bsDialog;
    Position = poScreenCenter;
    SetBounds(0, 0, 400, 200);
    lblInsertDisk = Place<TTranslateLabel>(this, this, "lblInsertDisk", 8, 8, 384, 13);
    lblInsertDisk->Caption = "Please insert disk number %d";
    auto* info = Place<TTranslateLabel>(this, this, "lblInfo", 8, 28, 384, 52);
    info->WordWrap = true;
    info->Caption = "If the files on this disk can be found in another location, for example, in "
                    "another drive, enter its full path or click the Browse button to select its path.";
    Place<TTranslateLabel>(this, this, "lblPath", 8, 96, 40, 13)->Caption = "Path:";
    PathEdit = Place<TEdit>(this, this, "PathEdit", 50, 92, 250, 21);
    BrowseBtn = AddButton(this, "BrowseBtn", "&Browse...", 308, 90);
    InstallBtn = AddButton(this, "InstallBtn", "Proceed", 226, 160);
    InstallBtn->ModalResult = mrOk;
    InstallBtn->Default = true;
    CancelBtn = AddButton(this, "CancelBtn", "Cancel", 310, 160);
    CancelBtn->OnClick = [this](TObject*) { Cancel(); };
    PathEdit->OnChange = [this](TObject*) {
        if (DiskParameter) DiskParameter->Path = PathEdit->Text();
    };
    BrowseBtn->OnClick = [this](TObject*) {
        TFolderChoice choice = BrowseForFolder("Browse for Folder", PathEdit->Text());
        if (choice.Action == faChosen) PathEdit->SetText(choice.Path);
    };
    OnShow = [this](TObject*) {
        // The caption is translated first, then given the disk number.
        std::string text = TranslateText(lblInsertDisk->Caption);
        lblInsertDisk->Caption = FormatTranslated(text, {DiskParameter ? DiskParameter->DiskNumber : 0});
        if (DiskParameter) PathEdit->SetText(DiskParameter->Path);
    };
    FinishCreate();
}

TCopyFileForm::TCopyFileForm(TComponent* owner) : TBaseDuringCopyForm(owner) {
    DM = FindDialogManager(dmDuringCopyFiles);
    Caption = "Copying installation files";
    BorderStyle = bsDialog;
    SetBounds(0, 0, 474, 146);
    Place<TTranslateLabel>(this, this, "lblHeader", 8, 8, 200, 13)->Caption = "Processing";
    lblCopyingFile = Place<TLabel>(this, this, "lblCopyingFile", 8, 26, 400, 13);
    lblCopyingFile->Caption = "---";
    Place<TTranslateLabel>(this, this, "lblFile", 8, 46, 100, 13)->Caption = "File progress";
    FileBar = Place<TProgressBar>(this, this, "FileBar", 110, 46, 300, 14);
    Place<TTranslateLabel>(this, this, "lblTotal", 8, 68, 100, 13)->Caption = "Total progress";
    TotalBar = Place<TProgressBar>(this, this, "TotalBar", 110, 68, 300, 14);
    TransferImage = Place<TImage>(this, this, "TransferImage", 420, 40, 32, 32);
    TransferImage->Visible = false;
    CancelBtn = AddButton(this, "CancelBtn", "Cancel", 200, 100);
    CancelBtn->OnClick = [this](TObject*) { Cancel(); };
    FinishCreate();
}

void TCopyFileForm::ShowFileName(const std::string& name) {
    if (lblCopyingFile->Caption == name) return;
    lblCopyingFile->Caption = name;
    lblCopyingFile->Invalidate();
}

void TCopyFileForm::FileStatus(const TFileStatusParameter& status) {
    FileBar->SetPosition(status.Percent);
    TotalBar->SetPosition(status.OverallPercent);
    ShowFileName(status.FileName);
    if (TransferImage->Visible) {
        TransferImage->Visible = false;
        TransferImage->Invalidate();
    }
}

void TCopyFileForm::DownloadStatus(const TDownloadStatusParameter& status) {
    if (!TransferImage->Visible) {
        TransferImage->Visible = true;
        TransferImage->Invalidate();
    }
    FileBar->SetPosition(status.Percent);
    ShowFileName(status.FileName);
}

TInstallStatusForm::TInstallStatusForm(TComponent* owner) : TForm(owner) {
    BorderStyle = bsDialog;
    SetBounds(0, 0, 200, 60);
    LeftPart = Place<TPanel>(this, this, "LeftPart", 0, 0, 16, 60);
    LeftPart->Align = alLeft;
    RightPart = Place<TPanel>(this, this, "RightPart", 184, 0, 16, 60);
    RightPart->Align = alRight;
    StatusLabel = Place<TLabel>(this, this, "StatusLabel", 24, 23, 100, 13);
    FinishCreate();
}

void TInstallStatusForm::ShowText(const std::string& text) {
    StatusLabel->Caption = text;
    TFont font = StatusLabel->Font;
    int tw = Application().Backend().TextWidth(font, text);
    StatusLabel->Width = tw;
    StatusLabel->Height = Application().Backend().TextHeight(font);
    int width = tw + LeftPart->Width + RightPart->Width + StatusLabel->Left + 25;
    Width = std::min(width, Screen().Width);
    Left = (Screen().Width - Width) / 2;
    StatusLabel->Top = (Height - StatusLabel->Height) / 2;
    Realign();
    Show();
    Refresh();
}

// ---- components ----

TStockDlg::TStockDlg(TComponent* owner, TInstallFormListKind list, TManagerType manager, int order,
                     int ownEvent)
    : TCustomBaseInstallDlg(owner), FOwnEvent(ownEvent) {
    SetOrder(order);
    SetDialogManager(FindDialogManager(manager));
    RegisterInstallForm(list, ClassName(), [this](TComponent* o) { return CreatePageForm(o); }, this, 0);
}

void TStockDlg::HandleEvent(TObject* sender, int code, TObject* parameter) {
    TCustomBaseInstallDlg::HandleEvent(sender, code, parameter);
    if (FOwnEvent != 0 && code == FOwnEvent && !GetDialogManager()) Execute();
}

void TStockDlg::SetTheme() {
    auto* page = dynamic_cast<TStockPageForm*>(Page());
    if (page) page->ThemeBitmap->Picture = ThemePicture();
}

void TStockDlg::FillText(TBevel* decoration, TRichEdit* box, const TStringList& text) {
    decoration->Visible = false;
    box->ReadOnly = true;
    box->Lines = LinesOf(text);
    SetTheme();
}

TLicenseDlg::TLicenseDlg(TComponent* owner) : TStockDlg(owner, iflPages, dmBeforeInstall, 20, -981) {}

void TLicenseDlg::AssignDialogProperties() {
    TCustomBaseInstallDlg::AssignDialogProperties();
    auto* form = static_cast<TLicenseForm*>(Page());
    FillText(form->Decoration, form->Agreement, LicenseAgreement);
}

TReadmeDlg::TReadmeDlg(TComponent* owner) : TStockDlg(owner, iflPages, dmBeforeInstall, 30, -977) {}

void TReadmeDlg::AssignDialogProperties() {
    TCustomBaseInstallDlg::AssignDialogProperties();
    auto* form = static_cast<TReadmeForm*>(Page());
    FillText(form->Decoration, form->Information, ReadmeText);
}

TRebootDlg::TRebootDlg(TComponent* owner) : TStockDlg(owner, iflPages, dmReboot, 10, ieRebootNeeded) {}

void TRebootDlg::AssignDialogProperties() {
    TCustomBaseInstallDlg::AssignDialogProperties();
    auto* form = static_cast<TRebootForm*>(Page());
    form->RebootText->ReadOnly = true;
    SetTheme();
    form->PageHook();
}

TBadInstallationDlg::TBadInstallationDlg(TComponent* owner)
    : TStockDlg(owner, iflPages, dmAfterBadInstall, 10, ieBadInstallNotify) {}

void TBadInstallationDlg::AssignDialogProperties() {
    TCustomBaseInstallDlg::AssignDialogProperties();
    auto* form = static_cast<TBadInstallForm*>(Page());
    form->Text1->ReadOnly = form->Text2->ReadOnly = true;
    SetTheme();
}

TChangeDiskDlg::TChangeDiskDlg(TComponent* owner) : TStockDlg(owner, iflChangeDisk, dmChangeDisk, 0, 0) {}

TCopyFileDlg::TCopyFileDlg(TComponent* owner) : TStockDlg(owner, iflCopyForms, dmDuringCopyFiles, 0, 0) {
    Height = 146;
    Width = 474;
    Position = cdpBottomCenter;
    RelativeTopOffset = 30;
}

TInstallStatusDlg::TInstallStatusDlg(TComponent* owner) : TCustomBaseInstallDlg(owner) {}

TInstallStatusDlg::~TInstallStatusDlg() { delete FForm; }

void TInstallStatusDlg::HandleEvent(TObject* sender, int code, TObject* parameter) {
    TCustomBaseInstallDlg::HandleEvent(sender, code, parameter);
    if (GetDialogManager() || (code != ieStatusText && code != ieStatusClosed)) return;
    if (code == ieStatusText) {
        if (!parameter) throw IEDialogManager("%s got a nil PO parameter", {GetName()});
        auto* message = dynamic_cast<TMessageParameter*>(parameter);
        if (!message)
            throw IEDialogManager("The PO object passed to %s is not a TMessageParameter object", {GetName()});
        if (!FForm) FForm = new TInstallStatusForm(nullptr);
        FTexts.push_back(message->Text);
        FForm->ShowText(message->Text);
        return;
    }
    // A close with nothing pushed only hides the window.
    if (!FTexts.empty()) FTexts.pop_back();
    if (!FForm) return;
    if (FTexts.empty()) FForm->Hide();
    else FForm->ShowText(FTexts.back());
}

} // namespace zan
