// The ready-made pages: licence, readme, reboot, good and bad install, change disk, copy progress and
// the floating status window, each a page form with the dialog component that carries its
// options. RegisterStockForms() runs the start-up registration (each form's bare entry, then
// its withdrawal by the component's unit), so a stock page shows only when its component
// exists: the component registers its own entry when created.
#pragma once

#include <string>
#include <vector>

#include "host/rtl/StringList.h"
#include "setup/wizard/ControlView.h"
#include "setup/wizard/DialogManager.h"

namespace zan {

void RegisterStockForms();

// A wizard page: theme picture on the left, content panel, Back / Proceed / Cancel (and Finish
// on closing pages) at the bottom.
class TStockPageForm : public TBaseInstallForm {
public:
    TStockPageForm(TComponent* owner, const std::string& caption, bool closingPage);
    ZAN_CLASS(TStockPageForm)
    TImage* ThemeBitmap;
    TPanel* ContentPanel;
    TTranslateBitBtn* BackBtn;
    TTranslateBitBtn* ProceedBtn;
    TTranslateBitBtn* CancelBtn;
    TTranslateBitBtn* FinishBtn = nullptr;
    // Back unless first; on closing pages Proceed unless last, else Finish; focus on it.
    void PageHook() override;

protected:
    TTranslateLabel* AddText(const std::string& name, const std::string& text, int top, int height);
    bool FClosing;
};

class TLicenseForm : public TStockPageForm {
public:
    explicit TLicenseForm(TComponent* owner);
    ZAN_CLASS(TLicenseForm)
    TBevel* Decoration;
    TRichEdit* Agreement;
};

class TReadmeForm : public TStockPageForm {
public:
    explicit TReadmeForm(TComponent* owner);
    ZAN_CLASS(TReadmeForm)
    TBevel* Decoration;
    TRichEdit* Information;
};

// The reboot page: RG shows the install's Reboot and choosing writes it back.
class TRebootForm : public TStockPageForm {
public:
    explicit TRebootForm(TComponent* owner);
    ZAN_CLASS(TRebootForm)
    TMemo* RebootText;
    TRadioGroup* RG;
    // Presets RG from the install's Reboot (yes when set).
    void PageHook() override;
};

class TGoodInstallForm : public TStockPageForm {
public:
    explicit TGoodInstallForm(TComponent* owner);
    ZAN_CLASS(TGoodInstallForm)
};

class TBadInstallForm : public TStockPageForm {
public:
    explicit TBadInstallForm(TComponent* owner);
    ZAN_CLASS(TBadInstallForm)
    TMemo* Text1;
    TMemo* Text2;
};

class TChangeDiskForm : public TBaseChangeDiskForm {
public:
    explicit TChangeDiskForm(TComponent* owner);
    ZAN_CLASS(TChangeDiskForm)
    TTranslateLabel* lblInsertDisk;
    TEdit* PathEdit;
    TTranslateBitBtn* BrowseBtn;
    TTranslateBitBtn* InstallBtn;
    TTranslateBitBtn* CancelBtn;
};

class TCopyFileForm : public TBaseDuringCopyForm {
public:
    explicit TCopyFileForm(TComponent* owner);
    ZAN_CLASS(TCopyFileForm)
    TLabel* lblCopyingFile;
    TProgressBar* FileBar;
    TProgressBar* TotalBar;
    TImage* TransferImage;
    TTranslateBitBtn* CancelBtn;
    void FileStatus(const TFileStatusParameter& status) override;
    void DownloadStatus(const TDownloadStatusParameter& status) override;

private:
    // Repaints the label only when the name changes.
    void ShowFileName(const std::string& name);
};

class TInstallStatusForm : public TForm {
public:
    explicit TInstallStatusForm(TComponent* owner);
    ZAN_CLASS(TInstallStatusForm)
    TPanel* LeftPart;
    TPanel* RightPart;
    TLabel* StatusLabel;
    // Sets the text, sizes the window to it (at most the screen's width) and centres it.
    void ShowText(const std::string& text);
};

// A stock component: its manager and Order at creation, its entry in a registration list, and
// the event it answers on its own when it has no manager (0: none).
class TStockDlg : public TCustomBaseInstallDlg {
public:
    TStockDlg(TComponent* owner, TInstallFormListKind list, TManagerType manager, int order,
              int ownEvent);
    ZAN_CLASS(TStockDlg)
    void HandleEvent(TObject* sender, int code, TObject* parameter) override;

protected:
    void SetTheme();
    // Hides the decoration, fills the read-only text box, sets the theme.
    void FillText(TBevel* decoration, TRichEdit* box, const TStringList& text);
    int FOwnEvent;
};

class TLicenseDlg : public TStockDlg {
public:
    explicit TLicenseDlg(TComponent* owner);
    ZAN_CLASS(TLicenseDlg)
    TStringList LicenseAgreement;
    TBaseInstallForm* CreatePageForm(TComponent* owner) override { return new TLicenseForm(owner); }
    void AssignDialogProperties() override;
};

class TReadmeDlg : public TStockDlg {
public:
    explicit TReadmeDlg(TComponent* owner);
    ZAN_CLASS(TReadmeDlg)
    TStringList ReadmeText;
    TBaseInstallForm* CreatePageForm(TComponent* owner) override { return new TReadmeForm(owner); }
    void AssignDialogProperties() override;
};

class TRebootDlg : public TStockDlg {
public:
    explicit TRebootDlg(TComponent* owner);
    ZAN_CLASS(TRebootDlg)
    TBaseInstallForm* CreatePageForm(TComponent* owner) override { return new TRebootForm(owner); }
    void AssignDialogProperties() override;
};

class TBadInstallationDlg : public TStockDlg {
public:
    explicit TBadInstallationDlg(TComponent* owner);
    ZAN_CLASS(TBadInstallationDlg)
    TBaseInstallForm* CreatePageForm(TComponent* owner) override { return new TBadInstallForm(owner); }
    void AssignDialogProperties() override;
};

class TChangeDiskDlg : public TStockDlg {
public:
    explicit TChangeDiskDlg(TComponent* owner);
    ZAN_CLASS(TChangeDiskDlg)
    TBaseInstallForm* CreatePageForm(TComponent* owner) override { return new TChangeDiskForm(owner); }
};

class TCopyFileDlg : public TStockDlg {
public:
    explicit TCopyFileDlg(TComponent* owner);
    ZAN_CLASS(TCopyFileDlg)
    TBaseInstallForm* CreatePageForm(TComponent* owner) override { return new TCopyFileForm(owner); }
};

// The floating status window: -974 pushes a text, -973 pops one; only without a manager.
class TInstallStatusDlg : public TCustomBaseInstallDlg {
public:
    explicit TInstallStatusDlg(TComponent* owner);
    ~TInstallStatusDlg() override;
    ZAN_CLASS(TInstallStatusDlg)
    TBaseInstallForm* CreatePageForm(TComponent*) override { return nullptr; }
    bool WantsPage() override { return false; }
    void HandleEvent(TObject* sender, int code, TObject* parameter) override;
    TInstallStatusForm* StatusForm() const { return FForm; }
    const std::vector<std::string>& Texts() const { return FTexts; }

private:
    TInstallStatusForm* FForm = nullptr;
    std::vector<std::string> FTexts;
};

} // namespace zan
