// OrvexDemoInstall end to end, as real processes on the headless backend: one build of the
// distributable (-b: setup.1, files.1, the self-extracting setup.exe) shared by the tests, then
// on a fresh machine each: the happy path with a seeded Delphi 7 (by clicks, and by the Return
// key alone), Cancel on the licence, no IDE, a second run, Cancel on the copy form, a file in
// use, the main window closed mid-copy, and an install from floppies whose second volume was moved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "host/win/WinBoot.h"
#include "host/win/WinFs.h"
#include "host/win/WinProcess.h"
#include "host/win/WinRegistry.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/cmp_TInstallBuild.h"
#include "setup/wizard/VCLInstall.h"
#include "setup/wizard/frmMain.h"
#include "setup/product/product_machine.h"
#include "support/sandbox.h"

using namespace zan;
using namespace product_e2e;

TEST(ProductEndToEnd, BuildGivesTheDistributable) {
    const std::string& dir = Distribution();
    for (const char* name : {"setup.1", "files.1", "setup.exe", "stamp"})
        EXPECT_TRUE(std::filesystem::exists(dir + "/" + name)) << name;
}

TEST(ProductEndToEnd, HappyPathWithDelphi7) {
    TProductMachine m("orvex_happy", HappyScript);
    SeedDelphi7Installation();
    ASSERT_EQ(RunSetupProgram({}), 0) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_EQ(m.Forms(), HappyForms);
    ASSERT_EQ(ProductFiles().size(), 97u);
    for (const TProductFile& f : ProductFiles()) {
        EXPECT_EQ(WinReadFile(InstalledPath(f)), TSandbox::ReadHostFile(PayloadFile(f))) << f.Name;
    }
    EXPECT_TRUE(WinFileExists(Dest + "\\Uninstall\\uninstall.exe"));
    EXPECT_EQ(RegReadString(hkLocalMachine, ProductKey, "InstallPath", ""), Dest);
    EXPECT_EQ(RegReadString(hkLocalMachine, ProductKey, "Ver", ""), "%p");
    EXPECT_NE(RegReadString(hkLocalMachine, std::string(UninstallKeyPrefix) + "Orvex Database Engine",
                            "UninstallString", ""), "");
    EXPECT_EQ(RegReadString(hkCurrentUser, "\\SOFTWARE\\Borland\\Delphi\\7.0\\Palette", "Data Access", ""),
              "TDataSource;TClientDataSet;TZanDatabase;TZanTable;TZanQuery");
    EXPECT_EQ(RegReadString(hkCurrentUser, D7Key + "\\Known Packages", Dest + "\\Delphi7\\dclzan14d7.bpl", ""),
              "Orvex Database Engine");
    EXPECT_EQ(RegReadString(hkCurrentUser, D7Key + "\\Library", "Search Path", ""),
              "$(DELPHI)\\Lib;$(DELPHI)\\Bin;$(DELPHI)\\Imports;" + Dest + "\\Delphi7");
    EXPECT_EQ(WinReadFile(D7Root + "\\Help\\delphi7.ohl"),
              ":Link d7vcl.hlp\r\n:Link d7database.hlp\r\n:Link orvex.hlp\r\n");
    EXPECT_FALSE(WinFileExists(D7Root + "\\Help\\delphi7.gid"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Kel"));
    EXPECT_EQ(LogLines(Dest + "\\instlog.txt"), Golden("happy_instlog.txt"));
}

// The same run with nothing but the Return key on each page: the focused Next/Finish answers.
TEST(ProductEndToEnd, ReturnKeyAloneWalksTheHappyPath) {
    std::string script;
    for (const char* page : {"TWelcomeForm", "TLicenseForm", "TSelectDestinationForm", "TConfirmInstall",
                             "TReadmeForm", "TAfterGoodInstallDlg"})
        script += std::string("[") + page + "] key Return\n";
    TProductMachine m("orvex_return", script);
    SeedDelphi7Installation();
    ASSERT_EQ(RunSetupProgram({}), 0) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_EQ(m.Forms(), HappyForms);
    EXPECT_EQ(RegReadString(hkLocalMachine, ProductKey, "InstallPath", ""), Dest);
    EXPECT_EQ(LogLines(Dest + "\\instlog.txt"), Golden("happy_instlog.txt"));
}

TEST(ProductEndToEnd, CancelOnTheLicence) {
    TProductMachine m("orvex_cancel", "[TWelcomeForm] click ProceedBtn\n"
                                      "[TLicenseForm] click CancelBtn\n"
                                      "[TBadInstallForm] click FinishBtn\n");
    SeedDelphi7Installation();
    EXPECT_EQ(RunSetupProgram({}), 1) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_EQ(m.Forms(), (std::vector<std::string>{"TWelcomeForm", "TLicenseForm", "TBadInstallForm"}));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kel"));
    EXPECT_FALSE(WinPathExists(Dest + "\\readme.txt"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Marrowby Software\\Orvex"));
}

TEST(ProductEndToEnd, NoIdeShowsThePageAndWarns) {
    TProductMachine m("orvex_noide", "[TWelcomeForm] click ProceedBtn\n"
                                     "[TLicenseForm] click ProceedBtn\n"
                                     "[TBeforeInstallDialog1] click ProceedBtn\n"
                                     "No Delphi products are selected => OK\n"
                                     "[TBeforeInstallDialog1] click CancelBtn\n"
                                     "[TBadInstallForm] click FinishBtn\n");
    EXPECT_EQ(RunSetupProgram({}), 1) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_EQ(m.Forms(), (std::vector<std::string>{"TWelcomeForm", "TLicenseForm", "TBeforeInstallDialog1",
                                                   "TBadInstallForm"}));
    std::string transcript = TSandbox::ReadHostFile(m.Transcript);
    EXPECT_NE(transcript.find("No Delphi products are selected or the correct version of Delphi is not present"),
              std::string::npos);
}

TEST(ProductEndToEnd, SecondRunUsesTheRecordedPathAndRegistersOnce) {
    TProductMachine m("orvex_again", std::string(HappyScript) + HappyScript);
    SeedDelphi7Installation();
    ASSERT_EQ(RunSetupProgram({}), 0) << TSandbox::ReadHostFile(m.Transcript);
    // The first install went elsewhere by hand; the second follows it.
    ASSERT_EQ(RunSetupProgram({}), 0) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_EQ(RegReadString(hkCurrentUser, "\\SOFTWARE\\Borland\\Delphi\\7.0\\Palette", "Data Access", ""),
              "TDataSource;TClientDataSet;TZanDatabase;TZanTable;TZanQuery");
    EXPECT_EQ(RegReadString(hkCurrentUser, D7Key + "\\Library", "Search Path", ""),
              "$(DELPHI)\\Lib;$(DELPHI)\\Bin;$(DELPHI)\\Imports;" + Dest + "\\Delphi7");
    EXPECT_EQ(WinReadFile(D7Root + "\\Help\\delphi7.ohl"),
              ":Link d7vcl.hlp\r\n:Link d7database.hlp\r\n:Link orvex.hlp\r\n");
    std::vector<std::string> log = LogLines(Dest + "\\instlog.txt");
    EXPECT_NE(std::find(log.begin(), log.end(), "Install into VCL. Search path not required to update"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "Deleting old package: " + Dest + "\\Delphi7\\dclzan14d7.bpl"),
              log.end());
}

TEST(ProductEndToEnd, RecordedPathElsewhere) {
    TProductMachine m("orvex_recorded", HappyScript);
    SeedDelphi7Installation();
    RegWriteString(hkLocalMachine, ProductKey, "InstallPath", "C:\\Tools\\Orvex");
    ASSERT_EQ(RunSetupProgram({}), 0) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_TRUE(WinFileExists("C:\\Tools\\Orvex\\readme.txt"));
    EXPECT_TRUE(WinFileExists("C:\\Tools\\Orvex\\instlog.txt"));
    EXPECT_FALSE(WinPathExists(Dest));
}

TEST(ProductEndToEnd, CopyFormCancelEndsBadAndKeepsTheOldFile) {
    TProductMachine m("orvex_copycancel", "[TWelcomeForm] click ProceedBtn\n"
                                          "[TLicenseForm] click ProceedBtn\n"
                                          "[TSelectDestinationForm] click ProceedBtn\n"
                                          "[TConfirmInstall] click ProceedBtn\n"
                                          "[TCopyFileForm] wait 20\n"
                                          "[TCopyFileForm] click CancelBtn\n"
                                          "[TBadInstallForm] click FinishBtn\n");
    SeedDelphi7Installation();
    // An earlier version of every file: each ends either new or untouched, never half written.
    for (const TProductFile& f : ProductFiles()) {
        WinForceDirectories(InstalledPath(f).substr(0, InstalledPath(f).rfind('\\')));
        WinWriteFile(InstalledPath(f), std::string("old ") + f.Name);
    }
    EXPECT_EQ(RunSetupProgram({}), 1) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kel\\Install")); // the record stays
    int fresh = 0, old = 0;
    for (const TProductFile& f : ProductFiles()) {
        std::string now = WinReadFile(InstalledPath(f));
        if (now == TSandbox::ReadHostFile(PayloadFile(f))) ++fresh;
        else if (now == std::string("old ") + f.Name) ++old;
        else ADD_FAILURE() << f.Name << " is neither old nor new";
    }
    EXPECT_GT(old, 0);
    EXPECT_EQ(fresh + old, 97);
    std::vector<std::string> forms = m.Forms();
    EXPECT_EQ(forms.back(), "TBadInstallForm");
}

TEST(ProductEndToEnd, MainWindowClosedMidCopyIsIgnored) {
    TProductMachine m("orvex_close", "[TWelcomeForm] click ProceedBtn\n"
                                     "[TLicenseForm] click ProceedBtn\n"
                                     "[TSelectDestinationForm] click ProceedBtn\n"
                                     "[TConfirmInstall] click ProceedBtn\n"
                                     "[TCopyFileForm] wait 5\n"
                                     "[TMainForm] close\n"
                                     "[TReadmeForm] click ProceedBtn\n"
                                     "[TAfterGoodInstallDlg] click FinishBtn\n");
    SeedDelphi7Installation();
    EXPECT_EQ(RunSetupProgram({}), 0) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_TRUE(WinFileExists(Dest + "\\Demo\\orders.zan"));
}

TEST(ProductEndToEnd, FileInUseAsksForTheReboot) {
    TProductMachine m("orvex_inuse", HappyScript);
    SeedDelphi7Installation();
    ASSERT_EQ(RunSetupProgram({}), 0) << TSandbox::ReadHostFile(m.Transcript);
    TSandbox::WriteHostFile(m.Script, "[TWelcomeForm] click ProceedBtn\n"
                                      "[TLicenseForm] click ProceedBtn\n"
                                      "[TSelectDestinationForm] click ProceedBtn\n"
                                      "[TConfirmInstall] click ProceedBtn\n"
                                      "[TRebootForm] click FinishBtn\n");
    WinSetInUse("C:\\WINDOWS\\system32\\zan14rd7.bpl", true);
    EXPECT_EQ(RunSetupProgram({}), 2) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_NE(m.Forms().back(), "TAfterGoodInstallDlg");
    EXPECT_EQ(m.Forms().back(), "TRebootForm");
    EXPECT_NE(RegReadString(hkCurrentUser, RunOnceKeyPath, "CorvaneUnfinished", ""), "");
}

TEST(ProductEndToEnd, SecondVolumeMovedIsFoundThroughTheChangeDiskPage) {
    // The transfer to floppies: disk 1 holds the programs and the start of files.1.
    TProductMachine m("orvex_disks", "Please insert disk 2 => OK | disk 2\n");
    SeedDelphi7Installation();
    uint64_t setup1 = WinFileSize("C:\\build\\setup.1");
    uint64_t loader = WinFileSize("C:\\build\\setup.exe") - setup1 - WinFileSize("C:\\build\\files.1") - 56;
    CurrentWinEnv().DiskCapacity = loader + 56 + setup1 + WinFileSize("C:\\build\\files.1") / 2;
    SaveWinEnv();
    ASSERT_EQ(RunSetupProgram({"*TODISK"}), 3) << TSandbox::ReadHostFile(m.Transcript);
    // The second volume is moved off its disk into a folder holding the set (the install reads
    // the later files there); the change-disk page is told where it went.
    WinForceDirectories("C:\\Volume2");
    WinInsertDisk(1);
    WinWriteFile("C:\\Volume2\\files.1", WinReadFile("A:\\files.1"));
    WinInsertDisk(2);
    ASSERT_TRUE(WinFileExists("A:\\files.2"));
    WinWriteFile("C:\\Volume2\\files.2", WinReadFile("A:\\files.2"));
    WinDeleteFile("A:\\files.2");
    WinInsertDisk(1);
    TSandbox::WriteHostFile(m.Script, "[TWelcomeForm] click ProceedBtn\n"
                                      "[TLicenseForm] click ProceedBtn\n"
                                      "[TSelectDestinationForm] click ProceedBtn\n"
                                      "[TConfirmInstall] click ProceedBtn\n"
                                      "[TChangeDiskForm] type PathEdit C:\\Volume2\n"
                                      "[TChangeDiskForm] click InstallBtn\n"
                                      "[TReadmeForm] click ProceedBtn\n"
                                      "[TAfterGoodInstallDlg] click FinishBtn\n");
    ASSERT_EQ(RunSetupProgram({}, "A:\\setup.exe"), 0) << TSandbox::ReadHostFile(m.Transcript);
    std::vector<std::string> forms = m.Forms();
    EXPECT_NE(std::find(forms.begin(), forms.end(), "TChangeDiskForm"), forms.end());
    for (const TProductFile& f : ProductFiles())
        EXPECT_EQ(WinReadFile(InstalledPath(f)), TSandbox::ReadHostFile(PayloadFile(f))) << f.Name;
}
