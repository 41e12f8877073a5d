// OrvexDemoInstall when things go wrong: a start that fails inside the main form's constructor
// (bad arguments, a damaged hive, an unanswered prompt) ends with the failed exit and no
// sanitizer report, and leaves no pointer to the freed form or install; a help configuration that
// is a FIFO does not hang the install; the manifest rule refuses ids that are not plain decimal.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>

#include "host/forms/Dialogs.h"
#include "host/win/WinRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/product/product_machine.h"
#include "setup/wizard/ProductPages.h"
#include "support/scripted_forms.h"

using namespace zan;
using namespace product_e2e;

namespace {

// Runs a shell command with its stderr kept (sanitizer reports land there); the exit status,
// 128 + signal when killed.
int RunShell(const std::string& cmd, const std::string& errFile, std::string& err) {
    int raw = std::system((cmd + " 2>'" + errFile + "'").c_str());
    err = TSandbox::ReadHostFile(errFile);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

} // namespace

TEST(ProductFailures, FailedConstructionLeavesNoFormOrInstallBehind) {
    for (const char* arg : {"-d", "-r"}) {
        TSandbox box("orvex_failedctor");
        SeedDelphi7Installation();
        TScriptedForms forms("");
        CreateSetupLog();
        RegisterStockForms();
        RegisterProductForms();
        UseFormsServices();
        SetCommandLineArgs({arg});
        EXPECT_ANY_THROW(TMainForm main(nullptr)) << arg;
        EXPECT_EQ(ProductMainForm(), nullptr) << arg;
        EXPECT_EQ(CurrentInstall(), nullptr) << arg;
        SetCommandLineArgs({});
        ClearInstallForms();
        SetAppServices(nullptr);
        SetUserPrompts(nullptr);
        FreeSetupLog();
    }
}

TEST(ProductFailures, FailedStartsExitWithoutSanitizerReports) {
    // The arguments go to the program itself (setup.exe's loader passes its own).
    struct TCase {
        const char* Name;
        const char* Args;
        bool Program;
        bool DamageHive;
        int Status;
    };
    const TCase cases[] = {
        {"build dir missing", "-d", true, false, 1},
        {"nothing to resume", "-r", true, false, 1},
        {"damaged hive", "", false, true, 1},
        {"unanswered prompt", "'*TODISK'", false, false, 4},
    };
    for (const TCase& c : cases) {
        TProductMachine m("orvex_failedstart", HappyScript);
        SeedDelphi7Installation();
        if (c.DamageHive) {
            RegFlushAllHives();
            std::string hive = m.Root + "/registry/HKLM.reg";
            TSandbox::WriteHostFile(hive, TSandbox::ReadHostFile(hive) + "garbage\n");
        }
        std::string err;
        int status = RunShell("'" + (c.Program ? std::string(ORVEX_PROGRAM) : m.C("build/setup.exe")) + "' " + c.Args, m.Root + "/stderr.txt", err);
        EXPECT_EQ(status, c.Status) << c.Name << "\n" << err;
        EXPECT_EQ(err.find("runtime error"), std::string::npos) << c.Name << "\n" << err;
        EXPECT_EQ(err.find("AddressSanitizer"), std::string::npos) << c.Name << "\n" << err;
    }
}

TEST(ProductFailures, HelpConfigurationFifoDoesNotHangTheInstall) {
    // The help configuration cannot be read: the install ends bad, and the script answers its
    // page (a page the script leaves unanswered would fail the wizard with 4).
    TProductMachine m("orvex_fifo", "[TWelcomeForm] click ProceedBtn\n"
                                    "[TLicenseForm] click ProceedBtn\n"
                                    "[TSelectDestinationForm] click ProceedBtn\n"
                                    "[TConfirmInstall] click ProceedBtn\n"
                                    "[TBadInstallForm] click FinishBtn\n");
    SeedDelphi7Installation();
    std::string ohl = m.C("Program Files/Borland/Delphi7/Help/delphi7.ohl");
    std::filesystem::remove(ohl);
    ASSERT_EQ(mkfifo(ohl.c_str(), 0644), 0);
    std::string err;
    int status = RunShell("timeout -s KILL 90 '" + m.C("build/setup.exe") + "'", m.Root + "/stderr.txt", err);
    ASSERT_NE(status, 128 + SIGKILL) << "the setup hung\n" << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_EQ(status, 1) << err << "\n" << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
}

TEST(ProductFailures, ManifestIdsArePlainDecimalNumbers) {
    struct TCase {
        const char* Id;
        bool Accepted;
        const char* Message;
    };
    // licence.txt's id 11 replaced: "010" is readme.txt's 10 (and octal 8 in C++).
    const TCase cases[] = {
        {"11", true, ""},
        {"010", false, "without leading zeros"},
        {"0011", false, "without leading zeros"},
        {"10", false, "duplicate id 10"},
        {"1011", false, "outside 10..106"},
        {"99999999999999999999", false, "outside"},
    };
    std::string src = std::string(ORVEX_TEST_DIR) + "/../../../setup/product";
    std::string manifest = TSandbox::ReadHostFile(src + "/files.manifest");
    const std::string line = "Main licence.txt 11\n";
    size_t at = manifest.find(line);
    ASSERT_NE(at, std::string::npos);
    for (const TCase& c : cases) {
        std::string dir = TestTempPath("orvex_manifest");
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::string edited = manifest;
        edited.replace(at, line.size(), std::string("Main licence.txt ") + c.Id + "\n");
        TSandbox::WriteHostFile(dir + "/files.manifest", edited);
        std::string cmd = "cmake -DMANIFEST='" + dir + "/files.manifest' -DTEXT_DIR='" + src + "' -DOUT_INC='" +
                          dir + "/o.inc' -DOUT_TEXTS='" + dir + "/t.inc' -DPAYLOAD_DIR='" + dir +
                          "/payload' -P '" + src + "/payload.cmake' >/dev/null";
        std::string out;
        int status = RunShell(cmd, dir + "/err.txt", out);
        EXPECT_EQ(status == 0, c.Accepted) << c.Id << "\n" << out;
        if (!c.Accepted) {
            EXPECT_NE(out.find(c.Message), std::string::npos) << c.Id << "\n" << out;
        }
        std::filesystem::remove_all(dir);
    }
}
