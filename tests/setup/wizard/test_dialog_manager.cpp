// Dialog managers with fake pages on the headless backend, driven by form steps of a prompt
// script: event dispatch, page building and sorting, navigation with skipping pages, cancel,
// the close button, placement, copy forms, change-disk checks and the registration lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "setup/engine/AppServices.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/wizard/DialogManager.h"
#include "support/sandbox.h"
#include "support/scripted_forms.h"

using namespace zan;

namespace {

// A page with Back, Next and Cancel; ShouldSkip answers Skip (and counts the questions).
struct FakePage : TBaseInstallForm {
    FakePage(TComponent* owner, const std::string& caption, TDialogManager* dm, int order)
        : TBaseInstallForm(owner) {
        Caption = caption;
        DM = dm;
        Order = order;
        int x = 0;
        for (const char* name : {"BackBtn", "NextBtn", "CancelBtn"}) {
            auto* b = new TButton(this);
            b->SetName(name);
            b->Caption = name;
            b->SetBounds(x += 80, 300, 75, 25);
            b->SetParent(this);
        }
        static_cast<TButton*>(FindControl("BackBtn"))->OnClick = [this](TObject*) { Back(); };
        static_cast<TButton*>(FindControl("NextBtn"))->OnClick = [this](TObject*) { Next(); };
        static_cast<TButton*>(FindControl("CancelBtn"))->OnClick = [this](TObject*) { Cancel(); };
        FinishCreate();
    }
    ZAN_CLASS(FakePage)
    bool ShouldSkip() override {
        ++Asked;
        return Skip;
    }
    void PageHook() override { FindControl("BackBtn")->Visible = !IsFirstPage(); }
    bool Skip = false;
    int Asked = 0;
};

struct FakeCopyForm : TBaseDuringCopyForm {
    FakeCopyForm(TComponent* owner, TDialogManager* dm) : TBaseDuringCopyForm(owner) {
        DM = dm;
        FinishCreate();
    }
    ZAN_CLASS(FakeCopyForm)
    void FileStatus(const TFileStatusParameter& s) override { Seen.push_back("file " + std::to_string(s.Percent)); }
    void DownloadStatus(const TDownloadStatusParameter& s) override {
        Seen.push_back("download " + std::to_string(s.Percent));
    }
    std::vector<std::string> Seen;
};

struct FakeDiskForm : TBaseChangeDiskForm {
    ZAN_CLASS(FakeDiskForm)
    FakeDiskForm(TComponent* owner, TDialogManager* dm) : TBaseChangeDiskForm(owner) {
        DM = dm;
        auto* b = new TButton(this);
        b->SetName("CancelBtn");
        b->SetParent(this);
        b->OnClick = [this](TObject*) { Cancel(); };
        auto* ok = new TButton(this);
        ok->SetName("OkBtn");
        ok->ModalResult = mrOk;
        ok->SetParent(this);
        FinishCreate();
    }
};

struct FakeDlg : TCustomBaseInstallDlg {
    using TCustomBaseInstallDlg::TCustomBaseInstallDlg;
    TBaseInstallForm* CreatePageForm(TComponent* owner) override {
        return new FakePage(owner, "Standalone", nullptr, 0);
    }
};

// The install, one manager of each type, and a scripted headless application.
struct TWizardRun : TScriptedForms {
    explicit TWizardRun(const std::string& script) : TScriptedForms(script), Box("dialogs") {
        Install = new TCustomInstall(&Owner);
        Install->SetName("Install1");
        for (int t = dmBeforeInstall; t <= dmUninstall; ++t) {
            auto* m = new TDialogManager(&Owner);
            m->SetName("DialogManager" + std::to_string(t));
            m->ManagerType = static_cast<TManagerType>(t);
            m->SetContainer(Install);
            Managers.push_back(m);
        }
    }
    ~TWizardRun() {
        ClearInstallForms();
    }
    FakePage* Last = nullptr;
    std::vector<FakePage*> Pages; // as made for the latest frame
    // skip: from the start; skipAfterShown: once the page has been shown.
    void AddPage(const std::string& caption, TManagerType type, int order, bool skip = false,
                 bool skipAfterShown = false) {
        TDialogManager* dm = Managers[type];
        RegisterInstallForm(iflPages, "FakePage", [=, this](TComponent* o) {
            auto* p = new FakePage(o, caption, dm, order);
            p->Skip = skip;
            if (skipAfterShown) p->OnShow = [p](TObject*) { p->Skip = true; };
            Pages.push_back(p);
            return p;
        }, nullptr, 0);
    }
    std::vector<std::string> Shown() const {
        std::vector<std::string> out;
        for (const std::string& l : Session.Transcript())
            if (l.rfind("form FakePage", 0) == 0) out.push_back(l.substr(14));
        return out;
    }
    TSandbox Box;
    TDataModule Owner; // the install needs a form or data module as its owner
    TCustomInstall* Install;
    std::vector<TDialogManager*> Managers;
};

} // namespace

TEST(DialogManager, EachEventReachesOnlyItsManagerType) {
    struct Row {
        int Code;
        TManagerType Type;
    };
    const Row rows[] = {{ieBeforeInstall, dmBeforeInstall}, {ieGoodInstallPages, dmAfterGoodInstall},
                        {ieBadInstallPages, dmAfterBadInstall}, {ieRebootNeeded, dmReboot},
                        {-962, dmRegistration}};
    for (const Row& r : rows) {
        TWizardRun s("[FakePage] click NextBtn\n");
        for (int t = dmBeforeInstall; t <= dmUninstall; ++t) s.AddPage("Page" + std::to_string(t), TManagerType(t), 0);
        s.Install->BroadcastEvent(s.Install, r.Code, nullptr);
        // One frame opened, holding the page of the right manager only.
        EXPECT_EQ(s.Shown(), std::vector<std::string>{"\"Page" + std::to_string(r.Type) + "\" [NextBtn, CancelBtn]"})
            << r.Code;
        EXPECT_EQ(s.Pages.size(), 8u); // bare pages are made for every frame, then dropped
    }
}

TEST(DialogManager, SortSkipNavigationAndFinish) {
    // Orders 5, 5, 1, 9 sort to 1, second 5, first 5, 9. "1" skips from the start; "5a"
    // begins skipping once shown.
    TWizardRun s("[FakePage] click NextBtn\n"   // 5b -> 5a
            "[FakePage] click NextBtn\n"   // 5a -> 9
            "[FakePage] click BackBtn\n"   // 9 -> 5b (5a skips now)
            "[FakePage] click NextBtn\n"   // 5b -> 9
            "[*] close\n"                  // the close button is refused
            "[FakePage] click NextBtn\n"); // last page: finished
    s.AddPage("5a", dmBeforeInstall, 5, false, true);
    s.AddPage("5b", dmBeforeInstall, 5);
    s.AddPage("1", dmBeforeInstall, 1, true);
    s.AddPage("9", dmBeforeInstall, 9);
    std::vector<std::string> order;
    s.Managers[dmBeforeInstall]->OnFrame = [&](TBaseFormContainer& f) {
        for (auto* p : f.Pages) order.push_back(p->Caption);
        EXPECT_FALSE(f.Tabs->Visible);
        EXPECT_EQ(f.Tabs->Tabs.size(), 4u);
        EXPECT_EQ(f.BoundsRect(), (TRect{273, 186, 273 + 478, 186 + 395}));
    };
    s.Install->BroadcastEvent(s.Install, ieBeforeInstall, nullptr);
    EXPECT_EQ(order, (std::vector<std::string>{"1", "5b", "5a", "9"}));
    EXPECT_EQ(s.Shown(), (std::vector<std::string>{"\"5b\" [NextBtn, CancelBtn]",
                                                   "\"5a\" [BackBtn, NextBtn, CancelBtn]",
                                                   "\"9\" [BackBtn, NextBtn, CancelBtn]",
                                                   "\"5b\" [NextBtn, CancelBtn]",
                                                   "\"9\" [BackBtn, NextBtn, CancelBtn]"}));
    auto& t = s.Session.Transcript();
    EXPECT_NE(std::find(t.begin(), t.end(), "close TBaseFormContainer"), t.end());
    EXPECT_EQ(t.back(), "modal TBaseFormContainer -> 1");
}

TEST(DialogManager, CancelAbortsAndAllSkippingFinishesAtOnce) {
    {
        TWizardRun s("[FakePage] click CancelBtn\n");
        s.AddPage("A", dmAfterGoodInstall, 0);
        EXPECT_THROW(s.Install->BroadcastEvent(s.Install, ieGoodInstallPages, nullptr), EAIUserAbort);
    }
    // Cancel asks the install's OnUserAbort: declined, the page stays and Next finishes.
    {
        TWizardRun s("[FakePage] click CancelBtn\n[FakePage] click NextBtn\n");
        s.AddPage("A", dmAfterGoodInstall, 0);
        int asked = 0;
        s.Install->OnUserAbort = [&](TObject*, bool& abort) {
            EXPECT_TRUE(abort);
            abort = false;
            ++asked;
        };
        EXPECT_NO_THROW(s.Install->BroadcastEvent(s.Install, ieGoodInstallPages, nullptr));
        EXPECT_EQ(asked, 1);
    }
    TWizardRun s("");
    s.AddPage("A", dmReboot, 0, true);
    s.AddPage("B", dmReboot, 1, true);
    EXPECT_NO_THROW(s.Install->BroadcastEvent(s.Install, ieRebootNeeded, nullptr));
    EXPECT_TRUE(s.Shown().empty());
    EXPECT_EQ(s.Session.Transcript().back(), "modal TBaseFormContainer -> 1");
}

TEST(DialogManager, PlaceFormPositions) {
    struct Row {
        TCorvaneDialogPosition P;
        TPoint At;
    };
    // 478 x 395 on 1024 x 768, caption 20, offsets 10 and 5: cy = 186.5 rounds to 186.
    const Row rows[] = {{cdpCenterLeft, {10, 191}},  {cdpCenter, {283, 191}},     {cdpCenterRight, {536, 191}},
                        {cdpBottomLeft, {10, 348}},  {cdpBottomCenter, {283, 348}}, {cdpBottomRight, {536, 348}},
                        {cdpTopLeft, {10, 5}},       {cdpTopCenter, {283, 5}},     {cdpTopRight, {536, 5}}};
    for (const Row& r : rows) EXPECT_EQ(PlaceFormPosition(r.P, 10, 5, 478, 395, 1024, 768, 20), r.At) << r.P;
    EXPECT_EQ(PlaceFormPosition(cdpCenter, 0, 0, 478, 395, 1024, 768, 0).Y, 186);
}

TEST(DialogManager, CopyFormsOpenOnFirstStatusAndCloseAtCopyEnd) {
    TWizardRun s("");
    TDialogManager* copy = s.Managers[dmDuringCopyFiles];
    std::vector<FakeCopyForm*> made;
    RegisterInstallForm(iflCopyForms, "FakeCopyForm", [&](TComponent* o) {
        made.push_back(new FakeCopyForm(o, copy));
        return made.back();
    }, nullptr, 0);
    FakeDlg elsewhere(&s.Owner);
    elsewhere.SetDialogManager(s.Managers[dmBeforeInstall]);
    RegisterInstallForm(iflCopyForms, "FakeCopyForm", [&](TComponent* o) { return new FakeCopyForm(o, copy); },
                        &elsewhere, 0);
    TFileStatusParameter file;
    file.Percent = 40;
    TDownloadStatusParameter download;
    download.Percent = 7;
    copy->HandleEvent(s.Install, ieFileStatus, &file);
    copy->HandleEvent(s.Install, ieDownloadStatus, &download);
    ASSERT_EQ(copy->CopyForms().size(), 1u); // the second entry's dialog belongs to another manager
    EXPECT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0]->Seen, (std::vector<std::string>{"file 40", "download 7"}));
    EXPECT_TRUE(made[0]->Visible);
    copy->HandleEvent(s.Install, ieCopyEnded, nullptr);
    EXPECT_TRUE(copy->CopyForms().empty());
    struct Row {
        int Code;
        TObject* Parameter;
        std::string Error;
    };
    const Row rows[] = {{ieFileStatus, nullptr, "DialogManager3 got a nil PO parameter"},
                        {ieFileStatus, &download, "The PO object passed to DialogManager3 is not a TFileStatusParameter object"},
                        {ieDownloadStatus, &file, "The PO object passed to DialogManager3 is not a TDownloadStatusParameter object"}};
    for (const Row& r : rows) {
        try {
            copy->HandleEvent(s.Install, r.Code, r.Parameter);
            ADD_FAILURE() << r.Error;
        } catch (const IEDialogManager& e) {
            EXPECT_EQ(e.what(), r.Error);
        }
        // Another manager type ignores the same event.
        EXPECT_NO_THROW(s.Managers[dmChangeDisk]->HandleEvent(s.Install, r.Code, r.Parameter));
    }
}

TEST(DialogManager, ChangeDiskChecksItsParameterAndAborts) {
    TWizardRun s("[*] click CancelBtn\n");
    TDialogManager* disk = s.Managers[dmChangeDisk];
    RegisterInstallForm(iflChangeDisk, "FakeDiskForm", [&](TComponent* o) { return new FakeDiskForm(o, disk); },
                        nullptr, 0);
    TCustomInstallFile file(&s.Owner);
    TDiskParameter param;
    TMessageParameter other;
    TParameterList shortList, badFirst, badSecond, good;
    shortList.Items = {&file};
    badFirst.Items = {&other, &param};
    badSecond.Items = {&file, &other};
    good.Items = {&file, &param};
    struct Row {
        TObject* Parameter;
        std::string Error;
    };
    const Row rows[] = {
        {nullptr, "The ParameterObject is Nil in the TDialogManager. Cannot show the change disk form"},
        {&other, "TChangeDiskDlg--PO is not a TList object"},
        {&shortList, "TChangeDiskDlg--Not engouh parameters for status event"},
        {&badFirst, "TChangeDiskDlg says bad first parameter"},
        {&badSecond, "TChangeDiskDlg says bad second parameter"}};
    for (const Row& r : rows) {
        try {
            disk->HandleEvent(s.Install, ieChangeDisk, r.Parameter);
            ADD_FAILURE() << r.Error;
        } catch (const IEDialogManager& e) {
            EXPECT_EQ(e.what(), r.Error);
        }
    }
    EXPECT_THROW(disk->HandleEvent(s.Install, ieChangeDisk, &good), EAIUserAbort);
    EXPECT_EQ(CurrentDialogManager(), nullptr);
}

TEST(DialogManager, RegistrationListsDialogsAndStandalonePages) {
    TWizardRun s("[FakePage] click NextBtn\n");
    try {
        InstallFormAt(iflPages, 3);
        ADD_FAILURE();
    } catch (const IEDialogManager& e) {
        EXPECT_STREQ(e.what(), "3 is an invalid index in the BIFList");
    }
    FakeDlg dlg(&s.Owner);
    dlg.SetName("Dlg1");
    try {
        dlg.AssignDialogProperties();
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot AssignDialogProperties for Dlg1 because the Dialog is Nil");
    }
    EXPECT_THROW(s.Managers[0]->AddDialog(nullptr), IEDialogManager);
    dlg.SetDialogManager(s.Managers[dmReboot]);
    dlg.SetDialogManager(s.Managers[dmAfterBadInstall]);
    EXPECT_TRUE(s.Managers[dmReboot]->Dialogs().empty());
    EXPECT_EQ(s.Managers[dmAfterBadInstall]->Dialogs(), std::vector<TCustomBaseInstallDlg*>{&dlg});
    EXPECT_EQ(FindDialogManager(dmAfterBadInstall), s.Managers[dmAfterBadInstall]);
    // Standalone: Next gives OK, the page is first and last (no Back).
    int before = 0, after = 0;
    dlg.OnBeforeExecute = [&](TObject*) { ++before; };
    dlg.OnAfterExecute = [&](TObject*) { ++after; };
    EXPECT_TRUE(dlg.Execute());
    EXPECT_EQ(before + after, 2);
    EXPECT_EQ(s.Session.Transcript().front(), "form FakePage \"Standalone\" [NextBtn, CancelBtn]");
    EXPECT_EQ(dlg.Page(), nullptr);
    // A dialog's page entry in a frame takes the dialog's Order.
    dlg.SetOrder(7);
    RegisterInstallForm(iflPages, "FakePage", [&](TComponent* o) { return dlg.CreatePageForm(o); }, &dlg, 0);
    s.Managers[dmAfterBadInstall]->OnFrame = [&](TBaseFormContainer& f) {
        ASSERT_EQ(f.Pages.size(), 1u);
        EXPECT_EQ(f.Pages[0]->Order, 7);
        EXPECT_EQ(f.Pages[0]->DC, &dlg);
        Application().Post([&f] { f.ModalResult = mrAbort; });
    };
    EXPECT_THROW(s.Install->BroadcastEvent(s.Install, ieBadInstallPages, nullptr), EAIUserAbort);
}
