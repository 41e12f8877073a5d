// Wizard pages and the managers that show them. A TDialogManager (child of the install
// component) is bound to one moment of the run; when that moment's install event reaches it, it
// opens a modal frame (TBaseFormContainer) holding every registered page that belongs to it,
// sorted by Order, with Back and Next. Copy-progress forms are shown without a frame and fed
// by status events; a change-disk form is shown modally on a disk request.
//
// Page form classes are registered in process-wide lists by explicit calls (no static
// initialisers): each entry holds a factory, the dialog component (or nil) and a number.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/forms/Forms.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TInstallContainer.h"
#include "setup/engine/cmp_TTranslator.h"

namespace zan {

enum TManagerType : uint8_t {
    dmBeforeInstall, dmAfterGoodInstall, dmAfterBadInstall, dmDuringCopyFiles, dmChangeDisk,
    dmReboot, dmRegistration, dmUninstall
};
enum TCorvaneDialogPosition : uint8_t {
    cdpCenterLeft, cdpCenter, cdpCenterRight, cdpBottomLeft, cdpBottomCenter, cdpBottomRight,
    cdpTopLeft, cdpTopCenter, cdpTopRight
};

ZAN_EXCEPTION_CLASS(IEDialogManager, IException);

// The top-left of a w x h window on a W x H screen with caption height c (centre values
// rounded half to even).
TPoint PlaceFormPosition(TCorvaneDialogPosition position, int dx, int dy, int w, int h,
                         int screenWidth, int screenHeight, int captionHeight);

class TDialogManager;
class TCustomBaseInstallDlg;
class TBaseFormContainer;

// The base of every installer form: translation options and a global list of live forms.
class TBaseCorvaneForm : public TForm {
public:
    explicit TBaseCorvaneForm(TComponent* owner);
    ~TBaseCorvaneForm() override;
    ZAN_CLASS(TBaseCorvaneForm)
    bool AutoSetFont = true;
    bool AutoTranslate = true;
    bool OverrideMainTranslator = false;
    TCrvnLanguage TranslateIntoLanguage = clUser;
    TInstallContainer* Container = nullptr;
    virtual void TranslateAll() { TranslateForm(); }
    virtual void TranslateHook() {}
    // The fonts and texts of the form through the translator (the form's own language when
    // OverrideMainTranslator).
    virtual void TranslateForm();

protected:
    TCrvnLanguage FLastLanguage = clEnglish;
};
const std::vector<TBaseCorvaneForm*>& BaseCorvaneForms();

// A wizard page.
class TBaseInstallForm : public TBaseCorvaneForm {
public:
    explicit TBaseInstallForm(TComponent* owner);
    ZAN_CLASS(TBaseInstallForm)
    TCustomBaseInstallDlg* DC = nullptr;
    TDialogManager* DM = nullptr;
    int Order = 0;
    // In a frame they ask the frame; a page shown on its own is the first and the last.
    virtual bool IsFirstPage();
    virtual bool IsLastPage();
    // Runs before the page shows, in a frame or on its own (the buttons are set here).
    virtual void PageHook() {}
    // Modal result 3 (abort) on the frame, or on the page shown on its own.
    virtual void AbortPage();
    // The frame's Next (on its own: modal result OK) and Back (on its own: nothing).
    virtual void Next();
    virtual void Back();
    virtual void ShowPage();
    virtual bool ShouldSkip() { return false; }
    // Asks the install whether to abort (yes without one) and aborts the page when confirmed.
    virtual void Cancel();
    TBaseFormContainer* Frame() const;
};

class TBaseDuringCopyForm : public TBaseInstallForm {
public:
    using TBaseInstallForm::TBaseInstallForm;
    ZAN_CLASS(TBaseDuringCopyForm)
    virtual void FileStatus(const TFileStatusParameter&) {}
    virtual void DownloadStatus(const TDownloadStatusParameter&) {}
    // When confirmed: the shared archive's Abort and the build's abort flag.
    void Cancel() override;
};

class TBaseChangeDiskForm : public TBaseInstallForm {
public:
    using TBaseInstallForm::TBaseInstallForm;
    ZAN_CLASS(TBaseChangeDiskForm)
    TDiskParameter* DiskParameter = nullptr;
};

// The modal frame: a tab model (hidden; its index follows the page), the page panel, the pages.
class TBaseFormContainer : public TForm {
public:
    explicit TBaseFormContainer(TComponent* owner);
    ZAN_CLASS(TBaseFormContainer)
    TTabControl* Tabs;
    TPanel* DisplayPanel;
    std::vector<TBaseInstallForm*> Pages;
    bool Finished = false;
    int Current = -1;
    // Builds the pages of the current dialog manager; answers their count.
    int BuildPages();
    virtual void Next();
    virtual void Back();
    void PlaceForm(TCorvaneDialogPosition position, int dx, int dy);
    bool IsFirstPage();
    bool IsLastPage() const { return Current == static_cast<int>(Pages.size()) - 1; }
    bool GoBackward(int index);
    bool GoForward(int index);
    // Refused unless finished or aborted (modal result 3).
    bool CloseQuery() override;

private:
    bool GoTo(int index);
};

using TInstallFormFactory = std::function<TBaseInstallForm*(TComponent* owner)>;

struct TInstallFormEntry {
    std::string FormClass;
    TInstallFormFactory Create;
    TCustomBaseInstallDlg* Dialog = nullptr;
    int Number = 0;
};

enum TInstallFormListKind : uint8_t { iflPages, iflCopyForms, iflChangeDisk, iflSpare };

// Appends an entry; answers it.
TInstallFormEntry* RegisterInstallForm(TInstallFormListKind list, const std::string& formClass,
                                       TInstallFormFactory create, TCustomBaseInstallDlg* dialog,
                                       int number);
// Frees and removes the entry (ignored when not in the list).
void UnregisterInstallForm(TInstallFormListKind list, TInstallFormEntry* entry);
// Removes every entry whose form class or dialog is the given one.
void UnregisterInstallFormClass(TInstallFormListKind list, const std::string& formClass);
void UnregisterInstallDialog(TCustomBaseInstallDlg* dialog);
int InstallFormCount(TInstallFormListKind list);
// The index-th entry: "%d is an invalid index in the BIFList" outside the list.
TInstallFormEntry* InstallFormAt(TInstallFormListKind list, int index);
void ClearInstallForms();

// The current install's DialogThemeBitmap decoded (empty without an install or a picture, or
// when the bytes are no PNG); decoded again only when the bytes change.
const TPicture& InstallThemePicture();

TDialogManager* CurrentDialogManager();
// The first manager of the current install with that type, else nullptr.
TDialogManager* FindDialogManager(TManagerType type);

class TDialogManager : public TInstallObject {
public:
    explicit TDialogManager(TComponent* owner);
    ~TDialogManager() override;
    ZAN_CLASS(TDialogManager)
    int32_t RegisteredType() const override { return rtDialog; }
    void Process() override {}
    void HandleEvent(TObject* sender, int code, TObject* parameter) override;
    virtual void Execute();
    virtual void CheckChangeDiskParameter(TObject* parameter);
    virtual void AddDialog(TCustomBaseInstallDlg* dialog);
    virtual void RemoveDialog(TCustomBaseInstallDlg* dialog);
    const std::vector<TCustomBaseInstallDlg*>& Dialogs() const { return FDialogs; }
    const std::vector<TBaseDuringCopyForm*>& CopyForms() const { return FCopyForms; }
    void CloseCopyForms();

    int Height = 395;
    int Width = 478;
    TManagerType ManagerType = dmBeforeInstall;
    TCorvaneDialogPosition Position = cdpCenter;
    int RelativeLeftOffset = 0;
    int RelativeTopOffset = 0;
    // Called with the frame before it is shown (tests watch it; nothing else needs it).
    std::function<void(TBaseFormContainer&)> OnFrame;

private:
    void OpenCopyForms();
    std::vector<TCustomBaseInstallDlg*> FDialogs;
    std::vector<TBaseDuringCopyForm*> FCopyForms;
    bool FCopyFormsOpen = false;
};

// The component that carries a page's options and the manager it belongs to.
class TCustomBaseInstallDlg : public TInstallObject {
public:
    explicit TCustomBaseInstallDlg(TComponent* owner);
    ~TCustomBaseInstallDlg() override;
    ZAN_CLASS(TCustomBaseInstallDlg)
    int32_t RegisteredType() const override { return rtDialog; }
    void Process() override {}
    TDialogManager* GetDialogManager() const { return FDialogManager; }
    // Leaves the old manager's list and joins the new one's.
    virtual void SetDialogManager(TDialogManager* manager);
    virtual void SetThemeBitmap(const TPicture& picture) { ThemeBitmap = picture; }
    virtual void Translate();
    // Hands the options to the page form: "Cannot AssignDialogProperties for %s because the
    // Dialog is Nil" without one.
    virtual void AssignDialogProperties();
    // OnBeforeExecute, ShowPageModal, a pump, OnAfterExecute; EAbort gives False.
    virtual bool Execute();
    // The page on its own, modally: OK gives True, anything else raises EAIUserAbort.
    virtual bool ShowPageModal();
    virtual TBaseInstallForm* CreatePageForm(TComponent* owner) = 0;
    virtual bool WantsPage() { return true; }
    // The picture a page shows: ThemeBitmap when set, else the install's (InstallThemePicture).
    const TPicture& ThemePicture() const;

    TBaseInstallForm* Page() const { return FPage; }
    // The page form while it lives (watched through a free notification).
    void SetPage(TBaseInstallForm* page);
    bool AutoSetFont = true;
    bool AutoTranslate = true;
    bool OverrideMainTranslator = false;
    TPicture ThemeBitmap;
    TCrvnLanguage TranslateIntoLanguage = clUser;
    TCorvaneDialogPosition Position = cdpCenter;
    int Height = 0, Width = 0, RelativeLeftOffset = 0, RelativeTopOffset = 0;
    TNotifyEvent OnBeforeExecute, OnAfterExecute;

protected:
    void Notification(TComponent* component, TOperation operation) override;
    TDialogManager* FDialogManager = nullptr;
    TBaseInstallForm* FPage = nullptr;
};

} // namespace zan
