// The stock pages on the headless backend: buttons per page position, the product's orders,
// pages shown on their own, the change-disk path, copy progress and the status window stack.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "setup/engine/AppServices.h"
#include "setup/engine/cmp_TCrvnCompress.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/wizard/StockPages.h"
#include "support/sandbox.h"
#include "support/scripted_forms.h"

using namespace zan;

namespace {

// An install with the six managers of the product and a scripted headless application.
struct TStockRun : TScriptedForms {
    explicit TStockRun(const std::string& script) : TScriptedForms(script), Box("stock") {
        RegisterStockForms();
        Install = new TCustomInstall(&Owner);
        Install->SetName("Install1");
        for (TManagerType t : {dmBeforeInstall, dmAfterGoodInstall, dmAfterBadInstall, dmDuringCopyFiles,
                               dmChangeDisk, dmReboot}) {
            auto* m = new TDialogManager(&Owner);
            m->ManagerType = t;
            m->SetContainer(Install);
        }
    }
    ~TStockRun() {
        ClearInstallForms();
    }
    template <typename T>
    T* Add() {
        T* c = new T(&Owner);
        c->SetContainer(Install);
        return c;
    }
    std::vector<std::string> Forms() const {
        std::vector<std::string> out;
        for (const std::string& l : Session.Transcript())
            if (l.rfind("form ", 0) == 0 && l.find("TBaseFormContainer") == std::string::npos) out.push_back(l.substr(5));
        return out;
    }
    TSandbox Box;
    TDataModule Owner; // the install needs a form or data module as its owner
    TCustomInstall* Install;
};

} // namespace

TEST(StockPages, BeforeInstallFrameButtonsAndOrders) {
    TStockRun run("[TLicenseForm] click ProceedBtn\n"
                  "[TReadmeForm] click BackBtn\n"
                  "[TLicenseForm] click ProceedBtn\n"
                  "[TReadmeForm] click ProceedBtn\n");
    auto* licence = run.Add<TLicenseDlg>();
    licence->LicenseAgreement.Add("Terms.");
    licence->SetOrder(10); // the product's order; the readme stays at its default 30
    auto* readme = run.Add<TReadmeDlg>(); // left on the before-install manager: Order 30
    readme->ReadmeText.Add("Read me.");
    std::vector<TBaseInstallForm*> pages;
    FindDialogManager(dmBeforeInstall)->OnFrame = [&](TBaseFormContainer& f) {
        pages = f.Pages;
        auto* form = dynamic_cast<TLicenseForm*>(f.Pages[0]);
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->Agreement->Lines, std::vector<std::string>{"Terms."});
        EXPECT_TRUE(form->Agreement->ReadOnly);
        EXPECT_FALSE(form->Decoration->Visible);
    };
    run.Install->BroadcastEvent(run.Install, ieBeforeInstall, nullptr);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(run.Forms(), (std::vector<std::string>{
                               "TLicenseForm \"Software license agreement\" [Accept >, Cancel]",
                               "TReadmeForm \"Installation successful\" [< Previous, Next >, Cancel]",
                               "TLicenseForm \"Software license agreement\" [Accept >, Cancel]",
                               "TReadmeForm \"Installation successful\" [< Previous, Next >, Cancel]"}));
}

TEST(StockPages, ClosingPageAloneShowsFinishAndStandaloneBadInstall) {
    {
        TStockRun run("[TBadInstallForm] click FinishBtn\n");
        run.Add<TBadInstallationDlg>();
        run.Install->BroadcastEvent(run.Install, ieBadInstallPages, nullptr);
        EXPECT_EQ(run.Forms(), std::vector<std::string>{"TBadInstallForm \"Setup incomplete\" [Cancel, Finish]"});
        EXPECT_EQ(run.Session.Transcript().back(), "modal TBaseFormContainer -> 1");
    }
    // Without a manager the component shows its page on its own at -994.
    TStockRun run("[TBadInstallForm] click FinishBtn\n");
    auto* bad = run.Add<TBadInstallationDlg>();
    bad->SetDialogManager(nullptr);
    run.Install->BroadcastEvent(run.Install, ieBadInstallNotify, nullptr);
    EXPECT_EQ(run.Forms(), std::vector<std::string>{"TBadInstallForm \"Setup incomplete\" [Cancel, Finish]"});
    EXPECT_EQ(run.Session.Transcript().back(), "modal TBadInstallForm -> 1");
}

TEST(StockPages, ChangeDiskPathFromEditAndBrowse) {
    TStockRun run("[TChangeDiskForm] type PathEdit D:\\Disk2\n"
                  "[TChangeDiskForm] click BrowseBtn\n"
                  "Browse for Folder [D:\\Disk2] => folder E:\\Other\n"
                  "[TChangeDiskForm] click InstallBtn\n");
    run.Add<TChangeDiskDlg>();
    TCustomInstallFile file(&run.Owner);
    TDiskParameter disk;
    disk.DiskNumber = 2;
    disk.Path = "A:\\";
    TParameterList list;
    list.Items = {&file, &disk};
    run.Install->BroadcastEvent(run.Install, ieChangeDisk, &list);
    EXPECT_EQ(disk.Path, "E:\\Other");
    EXPECT_TRUE(disk.Answered); // the file shows no box of its own
    EXPECT_EQ(run.Forms(),
              std::vector<std::string>{"TChangeDiskForm \"Setup needs the next disk\" [Browse..., Proceed, Cancel]"});
    auto& t = run.Session.Transcript();
    EXPECT_NE(std::find(t.begin(), t.end(), "folder \"Browse for Folder [D:\\Disk2]\" -> folder E:\\Other"), t.end());
}

TEST(StockPages, CopyFormBarsAndCancel) {
    TStockRun run("");
    run.Add<TCopyFileDlg>();
    TDialogManager* copy = FindDialogManager(dmDuringCopyFiles);
    TFileStatusParameter file;
    file.FileName = "a.dll";
    file.Percent = 40;
    file.OverallPercent = 10;
    copy->HandleEvent(run.Install, ieFileStatus, &file);
    ASSERT_EQ(copy->CopyForms().size(), 1u);
    auto* form = static_cast<TCopyFileForm*>(copy->CopyForms()[0]);
    EXPECT_EQ(form->FileBar->Position(), 40);
    EXPECT_EQ(form->TotalBar->Position(), 10);
    EXPECT_EQ(form->lblCopyingFile->Caption, "a.dll");
    EXPECT_FALSE(form->TransferImage->Visible);
    // Placed by the component: 474 x 146, bottom centre, 30 above the bottom.
    EXPECT_EQ(form->BoundsRect(), (TRect{275, 768 - 146 - 30, 275 + 474, 768 - 30}));
    TDownloadStatusParameter download;
    download.FileName = "MainDir.1";
    download.Percent = 150;
    copy->HandleEvent(run.Install, ieDownloadStatus, &download);
    EXPECT_TRUE(form->TransferImage->Visible);
    EXPECT_EQ(form->FileBar->Position(), 100); // bars clamp to 0..100
    EXPECT_EQ(form->lblCopyingFile->Caption, "MainDir.1");
    // Cancel asks the install: declined, nothing is aborted; confirmed, both flags are set.
    bool confirm = false;
    run.Install->OnUserAbort = [&](TObject*, bool& abort) { abort = confirm; };
    form->CancelBtn->Click();
    EXPECT_FALSE(SharedCompress().GetAbort());
    EXPECT_FALSE(GetBuildAbort());
    confirm = true;
    form->CancelBtn->Click();
    EXPECT_TRUE(SharedCompress().GetAbort());
    EXPECT_TRUE(GetBuildAbort());
    SharedCompress().SetAbort(false);
    SetBuildAbort(false);
    copy->HandleEvent(run.Install, ieCopyEnded, nullptr);
    EXPECT_TRUE(copy->CopyForms().empty());
}

TEST(StockPages, StatusWindowStack) {
    TStockRun run("");
    auto* status = run.Add<TInstallStatusDlg>();
    TMessageParameter first("Reading archive"), second("Extracting");
    run.Install->BroadcastEvent(run.Install, ieStatusClosed, nullptr); // nothing pushed: no window
    EXPECT_EQ(status->StatusForm(), nullptr);
    run.Install->BroadcastEvent(run.Install, ieStatusText, &first);
    run.Install->BroadcastEvent(run.Install, ieStatusText, &second);
    TInstallStatusForm* form = status->StatusForm();
    EXPECT_EQ(form->StatusLabel->Caption, "Extracting");
    EXPECT_EQ(form->Width, 6 * 10 + 16 + 16 + 24 + 25);
    EXPECT_EQ(form->Left, (1024 - form->Width) / 2);
    EXPECT_EQ(form->StatusLabel->Top, (60 - 13) / 2);
    run.Install->BroadcastEvent(run.Install, ieStatusClosed, nullptr);
    EXPECT_EQ(form->StatusLabel->Caption, "Reading archive");
    EXPECT_TRUE(form->Visible);
    run.Install->BroadcastEvent(run.Install, ieStatusClosed, nullptr);
    EXPECT_FALSE(form->Visible);
    run.Install->BroadcastEvent(run.Install, ieStatusClosed, nullptr);
    EXPECT_FALSE(form->Visible);
    TMessageParameter wide(std::string(400, 'w'));
    run.Install->BroadcastEvent(run.Install, ieStatusText, &wide);
    EXPECT_EQ(form->Width, 1024);
    EXPECT_THROW(run.Install->BroadcastEvent(run.Install, ieStatusText, nullptr), IEDialogManager);
}

TEST(StockPages, RebootPagePresetAndChoice) {
    // In the reboot frame: preset to yes (Reboot set), "No" clears Reboot.
    {
        TStockRun run("[TRebootForm] choose RG 1\n[TRebootForm] click FinishBtn\n");
        run.Add<TRebootDlg>();
        run.Install->SetReboot(true);
        int preset = -1;
        FindDialogManager(dmReboot)->OnFrame = [&](TBaseFormContainer& f) {
            ASSERT_EQ(f.Pages.size(), 1u);
            auto* page = dynamic_cast<TRebootForm*>(f.Pages[0]);
            ASSERT_NE(page, nullptr);
            EXPECT_EQ(page->Order, 10);
            EXPECT_TRUE(page->RebootText->ReadOnly);
            preset = page->RG->ItemIndex;
        };
        run.Install->BroadcastEvent(run.Install, ieRebootNeeded, nullptr);
        EXPECT_EQ(preset, 0);
        EXPECT_FALSE(run.Install->GetReboot());
        EXPECT_EQ(run.Forms(), std::vector<std::string>{"TRebootForm \"Reboot windows\" [Cancel, Finish]"});
    }
    // Without a manager it shows on its own at -987: preset to no, "Yes" sets Reboot.
    TStockRun run("[TRebootForm] choose RG 0\n[TRebootForm] click FinishBtn\n");
    auto* reboot = run.Add<TRebootDlg>();
    reboot->SetDialogManager(nullptr);
    run.Install->BroadcastEvent(run.Install, ieRebootNeeded, nullptr);
    EXPECT_TRUE(run.Install->GetReboot());
    EXPECT_EQ(run.Session.Transcript().back(), "modal TRebootForm -> 1");
}

TEST(StockPages, ThemePictureFallsBackToTheInstalls) {
    struct Row {
        const char* Name;
        std::string InstallPicture; // PNG bytes of the install's DialogThemeBitmap
        bool DialogPicture;         // the dialog has a picture of its own
        int Width;                  // of the page's picture
    };
    TPicture own;
    own.SetSize(3, 2);
    const Row rows[] = {{"default", InstallThemeResource(), false, 150},
                        {"dialog's own", InstallThemeResource(), true, 3},
                        {"none", "", false, 0},
                        {"not a picture", "no png", false, 0}};
    for (const Row& r : rows) {
        TStockRun run("[TLicenseForm] click ProceedBtn\n");
        auto* licence = run.Add<TLicenseDlg>();
        if (r.DialogPicture) licence->SetThemeBitmap(own);
        run.Install->SetDialogThemeBitmap(r.InstallPicture);
        int width = -1;
        FindDialogManager(dmBeforeInstall)->OnFrame = [&](TBaseFormContainer& f) {
            width = static_cast<TStockPageForm*>(f.Pages[0])->ThemeBitmap->Picture.Width();
        };
        run.Install->BroadcastEvent(run.Install, ieBeforeInstall, nullptr);
        EXPECT_EQ(width, r.Width) << r.Name;
    }
    // A bare page made without a dialog takes the install's picture at creation.
    TStockRun run("");
    TGoodInstallForm good(nullptr);
    EXPECT_EQ(good.ThemeBitmap->Picture.Height(), 320);
}
