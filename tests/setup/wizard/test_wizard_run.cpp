// The wizard program's start in a forked process each, on the headless backend with a prompt
// script: the exit status of a good install, a page's Cancel (confirmed or declined through the
// install's OnUserAbort), the reboot page's choice, a usage error, and the wizard that cannot
// be shown or whose script fails (4; the headless driver gives 1 for the same script), and the
// copy form's Cancel while a file is extracted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "host/forms/Forms.h"
#include "host/win/WinBoot.h"
#include "host/win/WinRegistry.h"
#include "setup/engine/SetupDriver.h"
#include "host/win/WinFs.h"
#include "setup/engine/cmp_TCrvnCompress.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/wizard/StockPages.h"
#include "setup/wizard/WizardRun.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

// The main form carrying a small install script: the install, the product's managers, a
// licence page, a reboot page; Setup adjusts the install before it loads.
class TTestMainForm : public TForm {
public:
    TTestMainForm(TComponent* owner, const std::function<void(TCustomInstall&)>& setup) : TForm(owner) {
        Caption = "Test setup";
        Install = new TInstall(this);
        Install->SetLoading(true);
        Install->SetName("Install1");
        for (TManagerType t : {dmBeforeInstall, dmAfterGoodInstall, dmAfterBadInstall, dmReboot}) {
            auto* m = new TDialogManager(this);
            m->ManagerType = t;
            m->SetContainer(Install);
        }
        (new TLicenseDlg(this))->SetContainer(Install);
        (new TRebootDlg(this))->SetContainer(Install);
        if (setup) setup(*Install);
        FinishCreate();
    }
    ZAN_CLASS(TTestMainForm)
    TCustomInstall* Install;
};

struct Case {
    const char* Name;
    std::vector<std::string> Args;
    std::string Script;
    std::function<void(TCustomInstall&)> Setup;
    int Exit;
    bool RebootRequested = false;
    bool RecordKept = false;
};

// Runs the wizard in a child process on a fresh machine; answers its exit status.
int RunWizardChild(const Case& c, TSandbox& box, bool unknownBackend = false) {
    TChildProcess child([&](TChildProcess&) {
        Application().SetBackend(unknownBackend ? nullptr : std::make_unique<THeadlessBackend>());
        if (unknownBackend) setenv("ZAN_FORMS", "bogus", 1);
        Screen() = TScreen{};
        auto* session = new THeadlessSession(c.Script, box.Root + "/script", box.Root + "/transcript");
        Application().SetSession(session);
        RegisterStockForms();
        std::vector<const char*> argv{"setup"};
        for (const std::string& a : c.Args) argv.push_back(a.c_str());
        return RunWizard(static_cast<int>(argv.size()), argv.data(), [&] {
            Application().MainForm = new TTestMainForm(&Application(), c.Setup);
        });
    });
    return child.Wait();
}

void AskSomething(TCustomInstall& install) {
    install.OnAfterInitialized = [](TObject*) { UserPrompts().Message("Proceed with the demo?", pbOKCancel); };
}

// An install that fails at its start, with the stock bad-install page on the main form.
void FailWithBadInstallPage(TCustomInstall& install) {
    (new TBadInstallationDlg(install.GetOwner()))->SetContainer(&install);
    install.OnAfterInitialized = [](TObject*) { throw IEInstall("The disk is full"); };
}

} // namespace

TEST(WizardRun, ExitStatusOfEachEnd) {
    auto reboot = [](TCustomInstall& i) { i.OnAfterInitialized = [&i](TObject*) { i.SetReboot(true); }; };
    const Case cases[] = {
        {"good", {}, "[TLicenseForm] click ProceedBtn\n", nullptr, SetupExitGood},
        {"cancel", {}, "[TLicenseForm] click CancelBtn\n", nullptr, SetupExitFailed},
        {"cancel declined", {}, "[TLicenseForm] click CancelBtn\n[TLicenseForm] click ProceedBtn\n",
         [](TCustomInstall& i) { i.OnUserAbort = [](TObject*, bool& abort) { abort = false; }; }, SetupExitGood},
        {"reboot kept", {}, "[TLicenseForm] click ProceedBtn\n[TRebootForm] click FinishBtn\n", reboot,
         SetupExitRebootPending, true, true},
        {"reboot declined", {}, "[TLicenseForm] click ProceedBtn\n[TRebootForm] choose RG 1\n[TRebootForm] click FinishBtn\n",
         reboot, SetupExitRebootPending, false, true},
        {"usage", {"-x"}, "", nullptr, SetupExitFailed},
        {"script step cannot apply", {}, "[TLicenseForm] click NoSuchButton\n", nullptr, WizardExitNotShown, false, true},
        {"prompt not answered", {}, "Something else => OK\n", AskSomething, WizardExitNotShown, false, true},
        {"bad install page answered", {}, "[TBadInstallForm] click FinishBtn\n", FailWithBadInstallPage,
         SetupExitFailed, false, true},
        {"bad install page not answered", {}, "Something else => OK\n", FailWithBadInstallPage, WizardExitNotShown,
         false, true},
    };
    for (const Case& c : cases) {
        TSandbox box("wizard");
        EXPECT_EQ(RunWizardChild(c, box), c.Exit) << c.Name << "\n" << TSandbox::ReadHostFile(box.Root + "/transcript");
        EXPECT_EQ(WinRebootRequested(), c.RebootRequested) << c.Name;
        EXPECT_EQ(RegKeyExists(HKEY_LOCAL_MACHINE, InstallRecordRoot), c.RecordKept) << c.Name;
    }
    TSandbox box("wizardbackend");
    EXPECT_EQ(RunWizardChild(cases[0], box, true), WizardExitNotShown);
}

TEST(WizardRun, HeadlessDriverFailsAnUnansweredPromptWithOne) {
    // The prompt comes during the run, or while the failed run tells of its bad end.
    const std::function<void(TCustomInstall&)> setups[] = {AskSomething, [](TCustomInstall& install) {
        install.OnAfterInitialized = [](TObject*) { throw IEInstall("The disk is full"); };
        install.OnBeforeNotifyBadInstall = [](TObject*) { UserPrompts().Message("Proceed with the demo?", pbOKCancel); };
    }};
    for (const auto& setup : setups) {
        TSandbox box("driverprompt");
        THeadlessSession session("Something else => OK\n", box.Root + "/script", box.Root + "/transcript");
        const char* argv[] = {"setup"};
        int code = RunSetup(1, argv, [&](TDataModule& owner) {
            auto* install = new TInstall(&owner);
            install->SetLoading(true);
            setup(*install);
        }, &session, &session);
        EXPECT_EQ(code, SetupExitFailed);
        EXPECT_NE(TSandbox::ReadHostFile(box.Root + "/transcript").find("Proceed with the demo?"), std::string::npos);
    }
}

namespace {

// Two 200 KB files in one directory, installed from C:\dist\files.1 (-s C:\dist).
void AddTwoFiles(TComponent* owner, TCustomInstall& install) {
    install.SetUseLoadingProgram(true);
    install.SetArchiveFileType(StandardSpecifier<TpsMainArchiveFile>());
    auto* dir = new TInstallDirectory(owner);
    dir->SetName("MainDir");
    dir->SetContainer(&install);
    for (const char* name : {"first.bin", "second.bin"}) {
        auto* f = new TInstallFile(owner);
        f->SetName(std::string("F_") + name[0]);
        f->SetContainer(dir);
        f->SetIncludeFromDir("C:\\src");
        f->SetFileName(name);
    }
}

} // namespace

// The copy form's Cancel during the first file: the archive's abort error ends the run as a bad
// install through the other-exception path (exit 1, the record kept), the file keeps its old
// content.
TEST(WizardRun, CopyFormCancelEndsBadAndKeepsTheOldFile) {
    TSandbox box("wizardcopy");
    for (const char* name : {"first.bin", "second.bin"})
        TSandbox::WriteHostFile(box.C(std::string("src/") + name), std::string(200000, name[0]));
    {
        TDataModule owner;
        auto* install = new TInstall(&owner);
        install->SetRunAutomatic(false);
        AddTwoFiles(&owner, *install);
        install->SetSwitch('s', true, "C:\\dist");
        install->Compress(46);
    }
    WinForceDirectories("C:\\Program Files\\MyApplication");
    WinWriteFile("C:\\Program Files\\MyApplication\\first.bin", "old first");
    Case c{"copy cancel", {"-sC:\\dist"}, "[TLicenseForm] click ProceedBtn\n[TCopyFileForm] click CancelBtn\n",
           [](TCustomInstall& i) {
               TComponent* form = i.GetOwner();
               auto* m = new TDialogManager(form);
               m->ManagerType = dmDuringCopyFiles;
               m->SetContainer(&i);
               (new TCopyFileDlg(form))->SetContainer(&i);
               AddTwoFiles(form, i);
           },
           SetupExitFailed};
    EXPECT_EQ(RunWizardChild(c, box), SetupExitFailed) << TSandbox::ReadHostFile(box.Root + "/transcript");
    EXPECT_EQ(WinReadFile("C:\\Program Files\\MyApplication\\first.bin"), "old first");
    EXPECT_FALSE(WinFileExists("C:\\Program Files\\MyApplication\\second.bin"));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, InstallRecordRoot));
    std::string said = TSandbox::ReadHostFile(box.Root + "/transcript");
    EXPECT_NE(said.find("form TCopyFileForm"), std::string::npos) << said;
    // The archive's own abort error is shown: not the silent path of a page's Cancel.
    EXPECT_NE(said.find("exception \"Operation aborted by user\""), std::string::npos) << said;
}
