// Two setup programs (different files, so different install records) running at once, each
// writing the registry in one batch as a run does: each takes its own record, and the run that
// ends well removes only its own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "host/win/WinRegistry.h"
#include "setup/engine/AppServices.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "support/sandbox.h"

using namespace zan;

namespace {
bool WaitFor(const std::string& path) {
    for (int i = 0; i < 2000; ++i) {
        if (std::filesystem::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}
void Touch(const std::string& path, const std::string& text = "") { std::ofstream(path) << text; }
} // namespace

// The second setup program: a copy of this test program started by the test below, with
// ZAN_SECOND_SETUP naming the shared sandbox. It needs a reboot, so it keeps its unfinished list.
TEST(InstallConcurrent, DISABLED_SecondSetupRole) {
    const char* root = std::getenv("ZAN_SECOND_SETUP");
    ASSERT_NE(root, nullptr);
    std::string flags = root;
    UseSandbox(root);
    TDataModule owner;
    auto* install = new TInstall(&owner);
    install->SetRunAutomatic(false);
    {
        TRegWriteBatch batch;
        std::string key = install->OpenInstallRecord(true);
        SetInstallRecordKey(key);
        Touch(flags + "/second_opened", key);
        ASSERT_TRUE(WaitFor(flags + "/first_opened"));
        install->WriteUnfinished("MainDir", 0);
    }
    Touch(flags + "/second_done");
}

TEST(InstallConcurrent, TwoRunsKeepTheirOwnRecords) {
    TSandbox box("concurrent_records");
    std::string copy = box.Root + "/other_setup";
    std::filesystem::copy_file("/proc/self/exe", copy);
    chmod(copy.c_str(), 0755);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("ZAN_SECOND_SETUP", box.Root.c_str(), 1);
        execl(copy.c_str(), copy.c_str(), "--gtest_also_run_disabled_tests",
              "--gtest_filter=InstallConcurrent.DISABLED_SecondSetupRole", (char*)nullptr);
        _exit(127);
    }
    TDataModule owner;
    auto* install = new TInstall(&owner);
    install->SetRunAutomatic(false);
    std::string ownKey;
    std::string otherKey;
    {
        TRegWriteBatch batch;
        ownKey = install->OpenInstallRecord(true);
        SetInstallRecordKey(ownKey);
        EXPECT_TRUE(WaitFor(box.Root + "/second_opened"));
        otherKey = TSandbox::ReadHostFile(box.Root + "/second_opened");
        Touch(box.Root + "/first_opened");
        EXPECT_TRUE(WaitFor(box.Root + "/second_done"));
        install->RemoveInstallRecord(); // this run ends well
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(ownKey, otherKey);
    EXPECT_EQ(RegReadString(hkLocalMachine, otherKey + "\\Unfinished", "MainDir", "<gone>"), "0");
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, ownKey));
    SetInstallRecordKey("");
}
