// Programs, batch files and the simulated boot of the sandbox, with real processes.
#include <gtest/gtest.h>

#include "host/win/WinBatch.h"
#include "host/win/WinBoot.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinIni.h"
#include "host/win/WinProcess.h"
#include "host/win/WinRegistry.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

// A program that writes each argument in brackets to <sandbox>/argv.txt (the sandbox variable
// must reach it).
const char* ArgvRecorder =
    "#!/bin/sh\n"
    ": > \"$ORVEX_SANDBOX/argv.txt\"\n"
    "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> \"$ORVEX_SANDBOX/argv.txt\"; done\n";

// A program that appends its first argument to <sandbox>/order.txt.
const char* OrderRecorder = "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$ORVEX_SANDBOX/order.txt\"\n";

uint32_t LaunchCode(const std::string& program) {
    return WinCodeOf([&] { WinCreateProcess(program, {}); });
}

} // namespace

TEST(WinProcess, CommandLinesRoundTripThroughTheSplitter) {
    TSandbox box("argv");
    TSandbox::WriteHostFile(box.C("Program Files/rec"), ArgvRecorder);
    struct {
        std::string Line;
        std::vector<std::string> Args;
    } rows[] = {
        {"a b  c", {"a", "b", "c"}},
        {"\"C:\\Program Files\\x\" -r", {"C:\\Program Files\\x", "-r"}},
        {"-e\"C:\\my dir\\setup.exe\" -s\"C:\\my dir\"", {"-eC:\\my dir\\setup.exe", "-sC:\\my dir"}},
        {"\"\" x", {"", "x"}},
        {"back\\slash\\ \"tail", {"back\\slash\\", "tail"}},
        {"   ", {}},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.Line);
        EXPECT_EQ(SplitCommandLine(row.Line), row.Args);
        EXPECT_EQ(SplitCommandLine(JoinCommandLine(row.Args)), row.Args);
        pid_t pid = WinCreateProcess("C:\\program files\\REC", SplitCommandLine(row.Line));
        EXPECT_EQ(WinWaitProcess(pid), 0);
        std::string expected;
        for (auto& a : row.Args)
            expected += "[" + a + "]\n";
        EXPECT_EQ(TSandbox::ReadHostFile(box.Root + "/argv.txt"), expected);
    }
    EXPECT_EQ(WinRunCommandLine("\"C:\\Program Files\\rec\" one \"two three\"", true, nullptr), 0);
    EXPECT_EQ(TSandbox::ReadHostFile(box.Root + "/argv.txt"), "[one]\n[two three]\n");
}

TEST(WinProcess, LaunchFailuresGiveTheirCodes) {
    TSandbox box("launch");
    TSandbox::WriteHostFile(box.C("plain.txt"), "not a program");
    TSandbox::WriteHostFile(box.C("garbage.exe"), "#!/nonexistent/interpreter\n");
    WinForceDirectories("C:\\dir");
    EXPECT_EQ(LaunchCode(""), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(LaunchCode("C:\\missing.exe"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(LaunchCode("C:\\nodir\\missing.exe"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(LaunchCode("C:\\dir"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(LaunchCode("C:\\plain.txt"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(LaunchCode("C:\\garbage.exe"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(LaunchCode("Q:\\x.exe"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(LaunchCode("Z:\\bin\\true"), 0u);
}

TEST(WinBatch, CommandsBlanksAndSkippedLines) {
    TSandbox box("batch");
    WinForceDirectories("C:\\Program Files\\Orvex\\old");
    WinWriteFile("C:\\Program Files\\Orvex\\old\\a.txt", "a");
    WinWriteFile("C:\\Program Files\\Orvex\\ver 2.tmp", "new");
    WinWriteFile("C:\\Program Files\\Orvex\\target.dll", "old");
    WinWriteFile("C:\\Program Files\\Orvex\\q.tmp", "q");
    WinWriteFile("C:\\gone.txt", "x");
    std::string script =
        "@echo off\r\n"
        "erase C:\\gone.txt\r\n"
        "erase C:\\gone.txt\r\n"
        "move C:\\Program Files\\Orvex\\ver 2.tmp C:\\Program Files\\Orvex\\target.dll\r\n"
        "MOVE \"C:\\Program Files\\Orvex\\q.tmp\" \"C:\\Program Files\\Orvex\\old\"\r\n"
        "move \"C:\\unbalanced C:\\x\r\n"
        "\r\n"
        "move C:\\Program Files\\Orvex\\target.dll Z:\\tmp\\escaped.dll\r\n"
        "DELTREE /Y C:\\Program Files\\Orvex\\old\r\n"
        "format c:\r\n";
    std::vector<std::string> report;
    RunBatchText(script, report);
    EXPECT_FALSE(WinFileExists("C:\\gone.txt"));
    EXPECT_EQ(WinReadFile("C:\\Program Files\\Orvex\\target.dll"), "new");
    EXPECT_FALSE(WinDirectoryExists("C:\\Program Files\\Orvex\\old"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/escaped.dll"));
    ASSERT_EQ(report.size(), 5u);
    EXPECT_EQ(report[0].rfind("line 1: unknown command", 0), 0u);
    EXPECT_EQ(report[1].rfind("line 3: The system cannot find the file specified.", 0), 0u);
    EXPECT_EQ(report[2].rfind("line 6: unbalanced quotes", 0), 0u);
    EXPECT_EQ(report[3].rfind("line 8: Access is denied.", 0), 0u);
    EXPECT_EQ(report[4].rfind("line 10: unknown command", 0), 0u);

    // A written batch file has CR LF ends and runs through the launcher.
    WinWriteFile("C:\\Program Files\\Orvex\\last.tmp", "x");
    WriteBatchFile("C:\\cleanup.bat", {"erase C:\\Program Files\\Orvex\\last.tmp", "deltree /y C:\\Program Files"});
    EXPECT_EQ(TSandbox::ReadHostFile(box.C("cleanup.bat")),
              "erase C:\\Program Files\\Orvex\\last.tmp\r\ndeltree /y C:\\Program Files\r\n");
    report.clear();
    EXPECT_EQ(WinRunCommandLine("C:\\CLEANUP.BAT", true, &report), 0);
    EXPECT_TRUE(report.empty());
    EXPECT_FALSE(WinDirectoryExists("C:\\Program Files"));
}

TEST(WinBoot, RenamesWinInitAndRunOnceInOrder) {
    TSandbox box("boot");
    TSandbox::WriteHostFile(box.C("tools/order"), OrderRecorder);
    WinForceDirectories("C:\\app");
    WinWriteFile("C:\\app\\new.tmp", "new");
    WinWriteFile("C:\\app\\lib.dll", "old");
    WinWriteFile("C:\\app\\remove.me", "x");
    WinWriteFile("C:\\app\\w.tmp", "from wininit");
    WinSetInUse("C:\\app\\lib.dll", true);
    EXPECT_THROW(WinDeleteFile("C:\\app\\lib.dll"), EWinError);
    WinMoveFileDelayUntilReboot("C:\\app\\new.tmp", "C:\\app\\lib.dll", true);
    WinMoveFileDelayUntilReboot("C:\\app\\remove.me", "", false);
    EXPECT_THROW(WinMoveFileDelayUntilReboot("Z:\\etc\\passwd", "", false), EWinError);
    // An odd pair count: the dangling entry is reported, the pairs are done.
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    reg.OpenKey(SessionManagerKey, false);
    std::vector<std::string> pending;
    reg.ReadMultiString(PendingRenamesValue, pending);
    pending.push_back("\\??\\C:\\dangling");
    reg.WriteMultiString(PendingRenamesValue, pending);
    WinWritePrivateProfileString("Rename", "C:\\app\\w.dll", std::string("C:\\app\\w.tmp"),
                                 WinGetWindowsDirectory() + "\\WININIT.INI");
    reg.OpenKey(RunOnceKey, true);
    reg.WriteString("First", "C:\\tools\\order hklm1");
    reg.WriteString("Second", "C:\\tools\\order hklm2");
    reg.WriteString("Broken", "\"C:\\tools\\order hklm3");
    reg.SetRootKey(HKEY_CURRENT_USER);
    reg.OpenKey(RunOnceKey, true);
    reg.WriteString("User", "C:\\tools\\order hkcu");
    ASSERT_TRUE(WinRequestReboot());
    EXPECT_TRUE(WinRebootRequested());

    // The boot runs in another process, as the tool does.
    TChildProcess child([&](TChildProcess&) {
        UseSandbox(box.Root);
        std::vector<std::string> report;
        WinSimulateBoot(report);
        return static_cast<int>(report.size());
    });
    EXPECT_EQ(child.Wait(), 2); // the dangling entry and the broken RunOnce command
    ReloadWinEnv();
    EXPECT_FALSE(WinRebootRequested());
    EXPECT_TRUE(CurrentWinEnv().InUse.empty());
    EXPECT_EQ(WinReadFile("C:\\app\\lib.dll"), "new");
    EXPECT_FALSE(WinFileExists("C:\\app\\remove.me"));
    EXPECT_EQ(WinReadFile("C:\\app\\w.dll"), "from wininit");
    EXPECT_FALSE(WinFileExists("C:\\WINDOWS\\WININIT.INI"));
    EXPECT_TRUE(WinFileExists("C:\\WINDOWS\\WININIT.BAK"));
    EXPECT_EQ(TSandbox::ReadHostFile(box.Root + "/order.txt"), "hklm1\nhklm2\nhkcu\n");
    EXPECT_TRUE(RegValueNames(HKEY_LOCAL_MACHINE, RunOnceKey).empty());
    EXPECT_TRUE(RegValueNames(HKEY_CURRENT_USER, RunOnceKey).empty());
    EXPECT_FALSE(RegQueryValue(HKEY_LOCAL_MACHINE, SessionManagerKey, PendingRenamesValue));

    CurrentWinEnv().RebootMode = rmFail;
    EXPECT_FALSE(WinRequestReboot());
    EXPECT_FALSE(WinRebootRequested());
}
