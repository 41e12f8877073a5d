// The product's main form and pages in-process on the headless backend: the summary and its log
// block, the IDE selection (parameter order, empty directories, the page's skip and warnings),
// the destination typed and browsed, the reinstall path, and the registration after the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "host/forms/Dialogs.h"
#include "host/win/WinFs.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/wizard/ProductPages.h"
#include "setup/wizard/frmMain.h"
#include "support/sandbox.h"
#include "support/scripted_forms.h"

using namespace zan;

namespace {

// A fresh machine (with Delphi 7 when asked), the product's main form and its page lists.
struct TProduct : TScriptedForms {
    TProduct(const std::string& name, bool delphi7, const std::string& script = "")
        : TScriptedForms(script), Box(name) {
        if (delphi7) SeedDelphi7Installation();
        CreateSetupLog();
        RegisterStockForms();
        RegisterProductForms();
        UseFormsServices();
        Main = std::make_unique<TMainForm>(nullptr);
    }
    ~TProduct() {
        Pages.clear();
        Main.reset();
        ClearInstallForms();
        SetAppServices(nullptr);
        SetUserPrompts(nullptr);
        FreeSetupLog();
    }
    template <typename T>
    T* Page() {
        Pages.push_back(std::make_unique<T>(nullptr));
        return static_cast<T*>(Pages.back().get());
    }
    std::vector<std::string> LogFrom(size_t first) const {
        const auto& lines = SetupLogLines();
        return std::vector<std::string>(lines.begin() + static_cast<long>(first), lines.end());
    }
    bool Transcribed(const std::string& line) const {
        const auto& t = Session.Transcript();
        return std::find(t.begin(), t.end(), line) != t.end();
    }
    TSandbox Box;
    std::unique_ptr<TMainForm> Main;
    std::vector<std::unique_ptr<TForm>> Pages;
};

} // namespace

TEST(Product, ScriptShapeAndConstants) {
    TProduct p("product_shape", false);
    TMainForm& m = *p.Main;
    EXPECT_EQ(m.Files.size(), 97u);
    int ids = 10;
    for (TInstallFile* f : m.Files) EXPECT_EQ(f->GetUniqueID(), ids++);
    EXPECT_EQ(m.DemoDir->GetFileCount(), 46);
    EXPECT_EQ(m.Delphi7->GetFileCount(), 42);
    EXPECT_EQ(m.UtilsDir->GetFileCount(), 4);
    EXPECT_EQ(m.MainDir->GetFileCount(), 2);
    EXPECT_EQ(m.HelpDir->GetFileCount(), 2);
    EXPECT_EQ(m.SysDir->GetFileCount(), 1);
    EXPECT_EQ(m.Install1->GetDestinationPath(), "C:\\Program Files\\Orvex");
    EXPECT_EQ(m.Delphi7->GetDestinationPath(), "C:\\Program Files\\Orvex\\Delphi7");
    EXPECT_EQ(m.idMiscellaneous->GetDestinationPath(), "C:\\Program Files\\Orvex\\Uninstall");
    EXPECT_EQ(m.Install1->Information.ProductName, "Orvex Database Engine");
    EXPECT_EQ(m.ProductLabel->Caption, "Orvex Database Engine");
    EXPECT_EQ(m.InstallRegistry->GetKey(), "\\Software\\Marrowby Software\\Orvex");
    const char* files[ideCount] = {"dclzan14d3.dpl", "dclzan14d4.bpl", "dclzan14d5.bpl",
                                   "dclzan14d6.bpl", "dclzan14b6.bpl", "dclzan14d7.bpl"};
    for (int i = 0; i < ideCount; ++i) EXPECT_EQ(TMainForm::PackageFileName(i), files[i]);
    EXPECT_EQ(TMainForm::PackageNames(ideBuilder6), "dclzan12b6.bpi,dclzan14b6.bpl");
    EXPECT_EQ(SetupLogLines().front(), "Commencing Installation - Orvex Database Engine");
}

TEST(Product, VersionSelectionOrderAndSummary) {
    TProduct p("product_select", true);
    TMainForm& m = *p.Main;
    // Each parameter in turn: (d3, d4, d7, builder6, d6, d5) reach the IDE indexes 0, 1, 5, 4, 3, 2.
    const int target[6] = {ideDelphi3, ideDelphi4, ideDelphi7, ideBuilder6, ideDelphi6, ideDelphi5};
    for (int arg = 0; arg < 6; ++arg) {
        bool f[6] = {};
        f[arg] = true;
        m.ApplyVersionSelection(f[0], f[1], f[2], f[3], f[4], f[5]);
        for (int i = 0; i < ideCount; ++i) {
            EXPECT_EQ(m.Chosen(i), i == target[arg]) << arg << " " << i;
            // Only Delphi 7's directory holds files: an empty directory stays excluded.
            EXPECT_EQ(m.IDEDirectory(i)->GetInclude(), i == ideDelphi7 && target[arg] == ideDelphi7);
        }
    }
    m.ApplyVersionSelection(true, true, true, true, true, true);
    TMemo memo(nullptr);
    size_t from = SetupLogLines().size();
    m.FillSummary(&memo);
    std::vector<std::string> lines = {" ", "Orvex Database Engine V143", "Component package version", " ",
                                      "Product Versions to install:", "     Delphi 7", " ",
                                      "Installation directory:", "C:\\Program Files\\Orvex"};
    EXPECT_EQ(memo.Lines, lines);
    std::vector<std::string> log = lines;
    log.insert(log.begin(), "Installation Settings");
    log.push_back("  ");
    EXPECT_EQ(p.LogFrom(from), log);
    EXPECT_EQ(GetLogDirectory(), "C:\\Program Files\\Orvex"); // the resolved path, not "\Orvex"
    EXPECT_TRUE(m.AnyIDEPresent());
    EXPECT_EQ(m.GetComponentInstallationCount(), 1);
}

TEST(Product, IdePageSkipsWithOneDirectoryAndOnePresentIde) {
    TProduct p("product_skip", true);
    auto* page = p.Page<TBeforeInstallDialog1>();
    EXPECT_TRUE(page->D7CB->Checked);
    EXPECT_TRUE(page->D7CB->Enabled);
    EXPECT_FALSE(page->D3CB->Checked);
    EXPECT_FALSE(page->D3CB->Enabled);
    EXPECT_TRUE(page->ShouldSkip());
    EXPECT_EQ(SetupLogLines().back(), "Delphi Ver Dlg skip - True");
    for (int i = 0; i < ideCount; ++i) EXPECT_TRUE(p.Main->Chosen(i));
    EXPECT_TRUE(p.Main->Delphi7->GetInclude());
    EXPECT_FALSE(p.Main->Delphi5->GetInclude());
}

TEST(Product, IdePageWarningsKeepTheUserOnThePage) {
    {
        // No IDE at all: the page shows and Next gives the first warning.
        TProduct p("product_warn1", false, "No Delphi products are selected => OK\n");
        auto* page = p.Page<TBeforeInstallDialog1>();
        EXPECT_FALSE(page->ShouldSkip());
        EXPECT_EQ(SetupLogLines().back(), "Delphi Ver Dlg skip - False");
        page->Next();
        EXPECT_EQ(page->ModalResult, mrNone);
        EXPECT_FALSE(p.Main->Delphi7->GetInclude() && p.Main->Chosen(ideDelphi7));
    }
    // Delphi 7 present but its box unchecked: the second warning; checked again, Next goes on.
    TProduct p("product_warn2", true, "Either no products are selected => OK\n");
    auto* page = p.Page<TBeforeInstallDialog1>();
    page->D7CB->Checked = false;
    page->Next();
    EXPECT_EQ(page->ModalResult, mrNone);
    EXPECT_FALSE(p.Main->Chosen(ideDelphi7));
    page->D7CB->Checked = true;
    page->Next();
    EXPECT_EQ(page->ModalResult, mrOk);
    EXPECT_TRUE(p.Main->Chosen(ideDelphi7));
    EXPECT_TRUE(p.Main->Delphi7->GetInclude());
}

TEST(Product, DestinationTypedAndBrowsed) {
    TProduct p("product_dest", false,
               "Browse for Folder [C:\\A\\B\\Orvex] => folder C:\\Apps\n"
               "Browse for Folder [C:\\Apps\\Orvex] => Cancel\n");
    TInstall* install = p.Main->Install1;
    auto* page = p.Page<TSelectDestinationForm>();
    page->PageHook();
    EXPECT_TRUE(page->grpDestination->Visible);
    EXPECT_EQ(page->edDestDir->Text(), "C:\\Program Files\\Orvex");
    EXPECT_NE(install->GetDestDirType(), nullptr); // showing the path changes nothing
    page->edDestDir->SetText("C:\\A\\B\\Orvex");
    EXPECT_EQ(install->GetDestDirType(), nullptr);
    EXPECT_EQ(install->GetDestDir(), "C:\\A\\B\\Orvex");
    // The browser starts inside the destination; the folders made for it go again afterwards.
    page->Browse();
    EXPECT_EQ(install->GetDestDir(), "C:\\Apps\\Orvex");
    EXPECT_EQ(page->edDestDir->Text(), "C:\\Apps\\Orvex");
    EXPECT_FALSE(WinDirectoryExists("C:\\A"));
    EXPECT_TRUE(WinDirectoryExists("C:\\Apps"));
    // A browse left with Cancel changes nothing and leaves no folder behind.
    page->Browse();
    EXPECT_EQ(install->GetDestDir(), "C:\\Apps\\Orvex");
    EXPECT_FALSE(WinDirectoryExists("C:\\Apps\\Orvex"));
}

TEST(Product, ReinstallGoesWhereTheLastInstallWent) {
    for (bool recorded : {false, true}) {
        TProduct p("product_again", false);
        if (recorded) RegWriteString(hkLocalMachine, ProductKey, "InstallPath", "D:\\Elsewhere");
        else RegWriteString(hkLocalMachine, ProductKey, "InstallPath", "");
        size_t from = SetupLogLines().size();
        p.Main->Install1AfterInitialized(p.Main->Install1);
        std::string dest = recorded ? "D:\\Elsewhere" : "C:\\Program Files\\Orvex";
        EXPECT_EQ(p.Main->Install1->GetDestDirType() == nullptr, recorded);
        EXPECT_EQ(p.Main->DestinationPath(), dest);
        EXPECT_EQ(p.LogFrom(from), (std::vector<std::string>{"Install1AfterInitialized. Moving Dir to: " + dest,
                                                             "Install1AfterInitialized"}));
        EXPECT_EQ(GetLogDirectory(), dest);
    }
}

TEST(Product, RegistrationAfterTheFiles) {
    std::string help = "C:\\Program Files\\Borland\\Delphi7\\Help\\delphi7.ohl";
    {
    TProduct p("product_register", true);
    TMainForm& m = *p.Main;
    m.ApplyVersionSelection(true, true, true, true, true, true);
    size_t from = SetupLogLines().size();
    m.Install1BeforeNotifyGoodInstall(m.Install1);
    std::vector<std::string> log = p.LogFrom(from);
    EXPECT_EQ(log.front(), "Installing product. Pre: Delphi 7");
    EXPECT_EQ(log[1], "Installing product. Product - Delphi 7 Starting");
    EXPECT_EQ(log[log.size() - 2], "Installing product. Product - Delphi 7 Done");
    EXPECT_EQ(log.back(), "Installing product. Post: Delphi 7");
    EXPECT_EQ(WinReadFile(help), ":Link d7vcl.hlp\r\n:Link d7database.hlp\r\n:Link orvex.hlp\r\n");
    EXPECT_EQ(RegReadString(hkCurrentUser, "\\software\\Borland\\Delphi\\7.0\\Known Packages",
                            "C:\\Program Files\\Orvex\\Delphi7\\dclzan14d7.bpl", ""),
              "Orvex Database Engine");
    }
    // Without help files the help configuration is left alone; an unchosen IDE is skipped.
    TProduct q("product_register_nohelp", true);
    for (TInstallFile* f : q.Main->Files)
        if (f->GetContainerObject() == q.Main->HelpDir) delete f;
    q.Main->ApplyVersionSelection(true, true, true, true, true, true);
    q.Main->Install1BeforeNotifyGoodInstall(q.Main->Install1);
    EXPECT_EQ(WinReadFile(help), ":Link d7vcl.hlp\r\n:Link d7database.hlp\r\n");
    q.Main->ApplyVersionSelection(true, true, false, true, true, true);
    size_t from = SetupLogLines().size();
    q.Main->Install1BeforeNotifyGoodInstall(q.Main->Install1);
    EXPECT_EQ(SetupLogLines().size(), from);
}

TEST(Product, RootDirOfTheWrongTypeEndsTheStart) {
    TSandbox box("product_badroot");
    SeedDelphi7Installation();
    RegWriteInteger(hkLocalMachine, "\\software\\Borland\\Delphi\\7.0", "RootDir", 7);
    TScriptedForms forms("");
    CreateSetupLog();
    RegisterStockForms();
    RegisterProductForms();
    UseFormsServices();
    {
        // FormCreate's detection fails: logged and shown; no IDE counts as present, so the IDE
        // page can only warn (the wizard then ends bad, RunWizard's exit 1 for a shown error).
        TMainForm main(nullptr);
        EXPECT_EQ(SetupLogLines().back().rfind("Find products. Exception ", 0), 0u);
        const auto& t = forms.Session.Transcript();
        EXPECT_TRUE(std::any_of(t.begin(), t.end(), [](const std::string& l) { return l.rfind("exception ", 0) == 0; }));
        TBeforeInstallDialog1 page(nullptr);
        EXPECT_FALSE(page.D7CB->Checked);
        EXPECT_FALSE(main.AnyIDEPresent());
        EXPECT_THROW(main.InstallIntoIDE(ideDelphi7, "C:\\X", "dclzan14", "orvex.hlp", "Orvex"), Exception);
    }
    ClearInstallForms();
    SetAppServices(nullptr);
    SetUserPrompts(nullptr);
    FreeSetupLog();
}
