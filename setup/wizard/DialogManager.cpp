#include "setup/wizard/DialogManager.h"

#include <algorithm>
#include <array>

#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "setup/engine/AppServices.h"
#include "setup/engine/cmp_TCrvnCompress.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/wizard/ControlView.h"

namespace zan {

namespace {

std::vector<TBaseCorvaneForm*>& CorvaneForms() {
    static std::vector<TBaseCorvaneForm*> forms;
    return forms;
}

std::array<std::vector<std::unique_ptr<TInstallFormEntry>>, 4>& FormLists() {
    static std::array<std::vector<std::unique_ptr<TInstallFormEntry>>, 4> lists;
    return lists;
}

TDialogManager* gCurrentManager = nullptr;

// Whether the user confirms an abort: the install component asks its OnUserAbort handler with
// the answer preset to yes; without an install the answer is yes.
bool QueryUserAbort() {
    TCustomInstall* install = CurrentInstall();
    return install ? install->QueryUserAbort() : true;
}

} // namespace

TPoint PlaceFormPosition(TCorvaneDialogPosition position, int dx, int dy, int w, int h,
                         int screenWidth, int screenHeight, int captionHeight) {
    int cx = static_cast<int>(Round(screenWidth / 2.0 - w / 2.0));
    int cy = static_cast<int>(Round(screenHeight / 2.0 - h / 2.0));
    int column = position == cdpCenterLeft || position == cdpBottomLeft || position == cdpTopLeft ? 0
               : position == cdpCenter || position == cdpBottomCenter || position == cdpTopCenter ? 1
                                                                                               : 2;
    int row = position <= cdpCenterRight ? 1 : position <= cdpBottomRight ? 2 : 0;
    TPoint p;
    p.X = column == 0 ? dx : column == 1 ? cx + dx : screenWidth - w - dx;
    p.Y = row == 0 ? dy : row == 1 ? cy + dy : screenHeight - captionHeight - h - dy;
    return p;
}

// ---- forms ----

TBaseCorvaneForm::TBaseCorvaneForm(TComponent* owner) : TForm(owner) { CorvaneForms().push_back(this); }

TBaseCorvaneForm::~TBaseCorvaneForm() {
    auto& list = CorvaneForms();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

const std::vector<TBaseCorvaneForm*>& BaseCorvaneForms() { return CorvaneForms(); }

void TBaseCorvaneForm::TranslateForm() {
    TFormsControlView view(*this);
    if (AutoSetFont) {
        if (OverrideMainTranslator) TranslatorSetControlFontIn(view, true, TranslateIntoLanguage);
        else TranslatorSetControlFont(view, true);
    }
    if (AutoTranslate) {
        FLastLanguage = OverrideMainTranslator
                            ? TranslateComponentInto(FLastLanguage, view, TranslateIntoLanguage)
                            : TranslateComponent(FLastLanguage, view);
    }
}

TBaseInstallForm::TBaseInstallForm(TComponent* owner) : TBaseCorvaneForm(owner) {}

TBaseFormContainer* TBaseInstallForm::Frame() const {
    return GetParent() ? dynamic_cast<TBaseFormContainer*>(ParentForm()) : nullptr;
}

bool TBaseInstallForm::IsFirstPage() {
    TBaseFormContainer* f = Frame();
    return f ? f->IsFirstPage() : true;
}

bool TBaseInstallForm::IsLastPage() {
    TBaseFormContainer* f = Frame();
    return f ? f->IsLastPage() : true;
}

void TBaseInstallForm::AbortPage() {
    if (TBaseFormContainer* f = Frame()) f->ModalResult = mrAbort;
    else ModalResult = mrAbort;
}

void TBaseInstallForm::Next() {
    if (TBaseFormContainer* f = Frame()) f->Next();
    else ModalResult = mrOk;
}

void TBaseInstallForm::Back() {
    if (TBaseFormContainer* f = Frame()) f->Back();
}

void TBaseInstallForm::ShowPage() {
    PageHook();
    Show();
}

void TBaseInstallForm::Cancel() {
    if (QueryUserAbort()) AbortPage();
}

void TBaseDuringCopyForm::Cancel() {
    if (!QueryUserAbort()) return;
    SharedCompress().SetAbort(true);
    SetBuildAbort(true);
}

// ---- frame ----

TBaseFormContainer::TBaseFormContainer(TComponent* owner) : TForm(owner) {
    BorderStyle = bsDialog;
    Tabs = new TTabControl(this);
    Tabs->SetName("Tabs");
    Tabs->Visible = false; // the tabs only follow the page: clicking one could pass a page's checks
    Tabs->SetParent(this);
    DisplayPanel = new TPanel(this);
    DisplayPanel->SetName("DisplayPanel");
    DisplayPanel->Align = alClient;
    DisplayPanel->BevelOuter = bvNone;
    DisplayPanel->SetParent(this);
    OnShow = [this](TObject*) {
        if (Current >= 0) return;
        if (!GoBackward(0) && !GoForward(0)) {
            // Every page skips itself: nothing to ask, the frame ends as if passed.
            Finished = true;
            ModalResult = mrOk;
        }
    };
    FinishCreate();
}

int TBaseFormContainer::BuildPages() {
    TDialogManager* current = CurrentDialogManager();
    if (!current) throw Exception(TranslateText("The current dialog manager is not defined"));
    for (int i = 0; i < InstallFormCount(iflPages); ++i) {
        TInstallFormEntry* entry = InstallFormAt(iflPages, i);
        TCustomBaseInstallDlg* dialog = entry->Dialog;
        if (dialog && !(dialog->GetDialogManager() == current && dialog->WantsPage())) continue;
        TBaseInstallForm* form = entry->Create(this);
        if (!dialog && form->DM != current) {
            delete form;
            continue;
        }
        form->DC = dialog;
        if (dialog) {
            form->Order = dialog->GetOrder();
            dialog->SetPage(form);
            dialog->AssignDialogProperties();
        }
        Tabs->Tabs.push_back(ClassName());
        form->BorderStyle = bsBorderless;
        form->Align = alClient;
        form->Visible = false;
        form->SetParent(DisplayPanel);
        form->TranslateAll();
        Pages.push_back(form);
    }
    // The exchange sort of the pages by Order (not stable: 5a, 5b, 1 gives 1, 5b, 5a).
    for (size_t i = 0; i < Pages.size(); ++i)
        for (size_t j = i + 1; j < Pages.size(); ++j)
            if (Pages[j]->Order < Pages[i]->Order) std::swap(Pages[i], Pages[j]);
    Realign();
    return static_cast<int>(Pages.size());
}

bool TBaseFormContainer::GoTo(int index) {
    TBaseInstallForm* page = Pages[static_cast<size_t>(index)];
    if (Current >= 0 && Current != index) Pages[static_cast<size_t>(Current)]->Hide();
    Current = index;
    Tabs->TabIndex = index;
    Caption = page->Caption;
    Invalidate();
    page->ShowPage();
    page->BringToFront();
    return true;
}

bool TBaseFormContainer::GoBackward(int index) {
    for (; index >= 0 && index < static_cast<int>(Pages.size()); --index)
        if (!Pages[static_cast<size_t>(index)]->ShouldSkip()) return GoTo(index);
    return false;
}

bool TBaseFormContainer::GoForward(int index) {
    for (; index >= 0 && index < static_cast<int>(Pages.size()); ++index)
        if (!Pages[static_cast<size_t>(index)]->ShouldSkip()) return GoTo(index);
    return false;
}

void TBaseFormContainer::Next() {
    int before = Current;
    if (!GoForward(Current + 1)) GoBackward(Current + 1);
    if (Current == before) {
        Finished = true;
        Close();
        ModalResult = mrOk;
    }
}

void TBaseFormContainer::Back() {
    if (!GoBackward(Current - 1)) GoForward(Current - 1);
}

bool TBaseFormContainer::IsFirstPage() {
    for (int i = 0; i < Current; ++i)
        if (!Pages[static_cast<size_t>(i)]->ShouldSkip()) return false;
    return true;
}

void TBaseFormContainer::PlaceForm(TCorvaneDialogPosition position, int dx, int dy) {
    TScreen& s = Screen();
    TPoint p = PlaceFormPosition(position, dx, dy, Width, Height, s.Width, s.Height, s.CaptionHeight);
    Left = p.X;
    Top = p.Y;
}

bool TBaseFormContainer::CloseQuery() {
    if (!Finished && ModalResult != mrAbort) return false;
    return TForm::CloseQuery();
}

// ---- registration lists ----

TInstallFormEntry* RegisterInstallForm(TInstallFormListKind list, const std::string& formClass,
                                       TInstallFormFactory create, TCustomBaseInstallDlg* dialog,
                                       int number) {
    auto entry = std::make_unique<TInstallFormEntry>();
    entry->FormClass = formClass;
    entry->Create = std::move(create);
    entry->Dialog = dialog;
    entry->Number = number;
    FormLists()[list].push_back(std::move(entry));
    return FormLists()[list].back().get();
}

void UnregisterInstallForm(TInstallFormListKind list, TInstallFormEntry* entry) {
    auto& l = FormLists()[list];
    l.erase(std::remove_if(l.begin(), l.end(), [&](const auto& e) { return e.get() == entry; }), l.end());
}

void UnregisterInstallFormClass(TInstallFormListKind list, const std::string& formClass) {
    auto& l = FormLists()[list];
    l.erase(std::remove_if(l.begin(), l.end(), [&](const auto& e) { return e->FormClass == formClass; }),
            l.end());
}

void UnregisterInstallDialog(TCustomBaseInstallDlg* dialog) {
    for (auto& l : FormLists())
        l.erase(std::remove_if(l.begin(), l.end(), [&](const auto& e) { return e->Dialog == dialog; }),
                l.end());
}

int InstallFormCount(TInstallFormListKind list) { return static_cast<int>(FormLists()[list].size()); }

TInstallFormEntry* InstallFormAt(TInstallFormListKind list, int index) {
    auto& l = FormLists()[list];
    if (index < 0 || index >= static_cast<int>(l.size()))
        throw IEDialogManager("%d is an invalid index in the BIFList", {index});
    if (!l[static_cast<size_t>(index)]) throw IEDialogManager("The %d 'th entry in the BIFList is NIL", {index});
    return l[static_cast<size_t>(index)].get();
}

void ClearInstallForms() {
    for (auto& l : FormLists()) l.clear();
}

const TPicture& InstallThemePicture() {
    static std::string decodedBytes;
    static TPicture picture;
    static const TPicture none;
    TCustomInstall* install = CurrentInstall();
    if (!install || install->GetDialogThemeBitmap().empty()) return none;
    if (install->GetDialogThemeBitmap() != decodedBytes || picture.Empty()) {
        decodedBytes = install->GetDialogThemeBitmap();
        try {
            picture.LoadFromPNG(decodedBytes);
        } catch (const EFormsError&) {
            // A picture that does not decode shows nothing.
            picture.Clear();
        }
    }
    return picture;
}

TDialogManager* CurrentDialogManager() { return gCurrentManager; }

TDialogManager* FindDialogManager(TManagerType type) {
    TCustomInstall* install = CurrentInstall();
    if (!install) return nullptr;
    for (int i = 0; i < install->ChildCount(); ++i)
        if (auto* m = dynamic_cast<TDialogManager*>(install->GetChild(i)); m && m->ManagerType == type)
            return m;
    return nullptr;
}

// ---- dialog manager ----

TDialogManager::TDialogManager(TComponent* owner) : TInstallObject(owner) {}

TDialogManager::~TDialogManager() {
    CloseCopyForms();
    for (TCustomBaseInstallDlg* d : std::vector<TCustomBaseInstallDlg*>(FDialogs)) d->SetDialogManager(nullptr);
    if (gCurrentManager == this) gCurrentManager = nullptr;
}

void TDialogManager::HandleEvent(TObject* sender, int code, TObject* parameter) {
    TInstallObject::HandleEvent(sender, code, parameter);
    switch (code) {
    case ieBeforeInstall:
        if (ManagerType == dmBeforeInstall) Execute();
        break;
    case ieGoodInstallPages:
        if (ManagerType == dmAfterGoodInstall) Execute();
        break;
    case ieBadInstallPages:
        if (ManagerType == dmAfterBadInstall) Execute();
        break;
    case ieRebootNeeded:
        if (ManagerType == dmReboot) Execute();
        break;
    case -962:
        if (ManagerType == dmRegistration) Execute();
        break;
    case ieFileStatus:
    case ieDownloadStatus: {
        if (ManagerType != dmDuringCopyFiles) break;
        if (!parameter) throw IEDialogManager("%s got a nil PO parameter", {GetName()});
        auto* file = dynamic_cast<TFileStatusParameter*>(parameter);
        auto* download = dynamic_cast<TDownloadStatusParameter*>(parameter);
        if (code == ieFileStatus && !file)
            throw IEDialogManager("The PO object passed to %s is not a TFileStatusParameter object", {GetName()});
        if (code == ieDownloadStatus && !download)
            throw IEDialogManager("The PO object passed to %s is not a TDownloadStatusParameter object",
                                  {GetName()});
        OpenCopyForms();
        for (TBaseDuringCopyForm* f : FCopyForms) {
            if (file) f->FileStatus(*file);
            else f->DownloadStatus(*download);
        }
        break;
    }
    case ieCopyEnded:
        if (ManagerType == dmDuringCopyFiles) CloseCopyForms();
        break;
    case ieChangeDisk:
        if (ManagerType == dmChangeDisk) CheckChangeDiskParameter(parameter);
        break;
    default: break;
    }
}

void TDialogManager::Execute() {
    gCurrentManager = this;
    TScopeExit clear([&] { gCurrentManager = nullptr; });
    std::unique_ptr<TBaseFormContainer> frame(new TBaseFormContainer(nullptr));
    frame->Position = poDesigned;
    frame->SetBounds(0, 0, Width, Height);
    frame->PlaceForm(Position, RelativeLeftOffset, RelativeTopOffset);
    if (frame->BuildPages() == 0) return;
    if (OnFrame) OnFrame(*frame);
    if (frame->ShowModal() == mrAbort) throw EAIUserAbort();
    if (Application().MainForm) Application().MainForm->Repaint();
    AppServices().ProcessMessages();
}

void TDialogManager::OpenCopyForms() {
    if (FCopyFormsOpen) return;
    FCopyFormsOpen = true;
    for (int i = 0; i < InstallFormCount(iflCopyForms); ++i) {
        TInstallFormEntry* entry = InstallFormAt(iflCopyForms, i);
        std::unique_ptr<TBaseInstallForm> made(entry->Create(nullptr));
        auto* form = dynamic_cast<TBaseDuringCopyForm*>(made.get());
        if (!form) continue;
        if (entry->Dialog) form->DM = entry->Dialog->GetDialogManager();
        if (form->DM != this) continue;
        made.release();
        form->DC = entry->Dialog;
        if (TCustomBaseInstallDlg* d = entry->Dialog) {
            d->SetPage(form);
            if (d->Width > 0 && d->Height > 0) form->SetBounds(form->Left, form->Top, d->Width, d->Height);
            TScreen& s = Screen();
            TPoint p = PlaceFormPosition(d->Position, d->RelativeLeftOffset, d->RelativeTopOffset,
                                         form->Width, form->Height, s.Width, s.Height, s.CaptionHeight);
            form->Left = p.X;
            form->Top = p.Y;
            form->Position = poDesigned;
        }
        form->TranslateAll();
        FCopyForms.push_back(form);
        form->Show();
    }
}

void TDialogManager::CloseCopyForms() {
    for (TBaseDuringCopyForm* f : FCopyForms) {
        if (f->DC && f->DC->Page() == f) f->DC->SetPage(nullptr);
        delete f;
    }
    FCopyForms.clear();
    FCopyFormsOpen = false;
}

void TDialogManager::CheckChangeDiskParameter(TObject* parameter) {
    if (InstallFormCount(iflChangeDisk) == 0) return;
    TInstallFormEntry* entry = InstallFormAt(iflChangeDisk, 0);
    gCurrentManager = this;
    TScopeExit clear([&] { gCurrentManager = nullptr; });
    std::unique_ptr<TBaseInstallForm> made(entry->Create(nullptr));
    auto* form = dynamic_cast<TBaseChangeDiskForm*>(made.get());
    if (!form) return;
    if (entry->Dialog) form->DM = entry->Dialog->GetDialogManager();
    if (form->DM != this) return;
    if (!parameter)
        throw IEDialogManager("The ParameterObject is Nil in the TDialogManager. Cannot show the change disk form");
    auto* list = dynamic_cast<TParameterList*>(parameter);
    if (!list) throw IEDialogManager("TChangeDiskDlg--PO is not a TList object");
    if (list->Items.size() < 2) throw IEDialogManager("TChangeDiskDlg--Not engouh parameters for status event");
    if (!dynamic_cast<TCustomInstallFile*>(list->Items[0]))
        throw IEDialogManager("TChangeDiskDlg says bad first parameter");
    auto* disk = dynamic_cast<TDiskParameter*>(list->Items[1]);
    if (!disk) throw IEDialogManager("TChangeDiskDlg says bad second parameter");
    // The disk request is answered here: the file shows no box of its own.
    disk->Answered = true;
    form->DC = entry->Dialog;
    form->DiskParameter = disk;
    form->TranslateAll();
    if (form->ShowModal() == mrAbort) throw EAIUserAbort();
}

void TDialogManager::AddDialog(TCustomBaseInstallDlg* dialog) {
    if (!dialog) throw IEDialogManager("Cannot add a NIL Dialog to the Dialog Manager %s", {GetName()});
    if (std::find(FDialogs.begin(), FDialogs.end(), dialog) == FDialogs.end()) FDialogs.push_back(dialog);
}

void TDialogManager::RemoveDialog(TCustomBaseInstallDlg* dialog) {
    FDialogs.erase(std::remove(FDialogs.begin(), FDialogs.end(), dialog), FDialogs.end());
    // A copy form still open (a run that ended by an exception) forgets the leaving component.
    for (TBaseDuringCopyForm* f : FCopyForms)
        if (f->DC == dialog) f->DC = nullptr;
}

// ---- dialog components ----

TCustomBaseInstallDlg::TCustomBaseInstallDlg(TComponent* owner) : TInstallObject(owner) {
    SetOrder(0);
}

TCustomBaseInstallDlg::~TCustomBaseInstallDlg() {
    SetDialogManager(nullptr);
    UnregisterInstallDialog(this);
}

void TCustomBaseInstallDlg::SetDialogManager(TDialogManager* manager) {
    if (manager == FDialogManager) return;
    if (FDialogManager) {
        FDialogManager->RemoveDialog(this);
        RemoveFreeNotification(FDialogManager);
    }
    FDialogManager = manager;
    if (manager) {
        manager->AddDialog(this);
        FreeNotification(manager);
    }
}

void TCustomBaseInstallDlg::Notification(TComponent* component, TOperation operation) {
    TInstallObject::Notification(component, operation);
    if (operation == opRemove && component == FDialogManager) FDialogManager = nullptr;
    if (operation == opRemove && component == FPage) FPage = nullptr;
}

void TCustomBaseInstallDlg::SetPage(TBaseInstallForm* page) {
    if (page == FPage) return;
    if (FPage) RemoveFreeNotification(FPage);
    FPage = page;
    if (page) FreeNotification(page);
}

const TPicture& TCustomBaseInstallDlg::ThemePicture() const {
    return ThemeBitmap.Empty() ? InstallThemePicture() : ThemeBitmap;
}

void TCustomBaseInstallDlg::Translate() {
    if (FPage) FPage->TranslateAll();
}

void TCustomBaseInstallDlg::AssignDialogProperties() {
    if (!FPage)
        throw Exception(FormatTranslated("Cannot AssignDialogProperties for %s because the Dialog is Nil", {GetName()}));
    FPage->AutoSetFont = AutoSetFont;
    FPage->AutoTranslate = AutoTranslate;
    FPage->Container = GetContainerObject();
    FPage->OverrideMainTranslator = OverrideMainTranslator;
    FPage->TranslateIntoLanguage = TranslateIntoLanguage;
    FPage->DC = this;
    Translate();
}

bool TCustomBaseInstallDlg::Execute() {
    try {
        if (OnBeforeExecute) OnBeforeExecute(this);
        bool shown = ShowPageModal();
        AppServices().ProcessMessages();
        if (OnAfterExecute) OnAfterExecute(this);
        return shown;
    } catch (const EAbort&) {
        return false;
    }
}

bool TCustomBaseInstallDlg::ShowPageModal() {
    if (!WantsPage()) return false;
    std::unique_ptr<TBaseInstallForm> form(CreatePageForm(&Application()));
    SetPage(form.get());
    AssignDialogProperties();
    form->PageHook();
    if (form->ShowModal() != mrOk) throw EAIUserAbort();
    return true;
}

} // namespace zan
