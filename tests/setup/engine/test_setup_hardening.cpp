// Bad input to the headless session and the program launcher: option bounds checked when the
// script is read, one transcript line per entry, batch files run by the launcher.
#include <gtest/gtest.h>

#include "host/win/WinBatch.h"
#include "host/win/WinFs.h"
#include "setup/engine/AppServices.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TProgramLauncher.h"
#include "support/sandbox.h"

using namespace zan;

// Out-of-range option numbers are refused when the script is read, naming its line; the largest
// accepted cancel count runs without overflowing the pump count.
TEST(HeadlessPromptsHardening, OptionBoundsAndTranscriptLines) {
    TSandbox sb("script_bounds");
    struct {
        const char* Line;
        const char* Error;
    } rows[] = {
        {"Insert => OK | disk 10000", "script.txt(2): disk number out of range"},
        {"Insert => OK | disk 0", "script.txt(2): disk number out of range"},
        {"Copying => OK | cancel after 2147483647", "script.txt(2): cancel count out of range"},
        {"Copying => OK | cancel after -1", "script.txt(2): cancel count out of range"},
    };
    for (auto& row : rows)
        EXPECT_EQ(MessageOf<EHeadlessPrompt>(
                      [&] { ParsePromptScript(std::string("# first\n") + row.Line + "\n", "script.txt"); }),
                  row.Error);

    THeadlessSession s("A => OK | disk 9999\nB => OK | cancel after 1000000\n", "script", "");
    for (int i = 0; i < 5; ++i)
        s.ProcessMessages();
    bool cancelled = false;
    s.SetCancelAction([&] { cancelled = true; });
    EXPECT_EQ(s.Message("A\nsecond line\r\nthird", pbOK), prOK);
    EXPECT_EQ(WinCurrentDisk(), 9999);
    EXPECT_EQ(s.Message("B", pbOK), prOK);
    for (int i = 0; i < 10; ++i)
        s.ProcessMessages();
    EXPECT_FALSE(cancelled);
    ASSERT_EQ(s.Transcript().size(), 2u);
    EXPECT_EQ(s.Transcript()[0].find('\n'), std::string::npos) << s.Transcript()[0];
    EXPECT_NE(s.Transcript()[0].find("A\\nsecond line\\r\\nthird"), std::string::npos);
}

// The launcher runs a ".bat" file through the batch interpreter.
TEST(ProgramLauncherHardening, RunsBatchFiles) {
    TSandbox sb("launcher_bat");
    WinWriteFile("C:\\victim.txt", "x");
    WriteBatchFile("C:\\clean.bat", {"DEL C:\\victim.txt"});
    TProgramLauncher launcher(nullptr);
    launcher.FileName = "C:\\clean.bat";
    launcher.Execute();
    EXPECT_EQ(launcher.GetProcessId(), 0);
    EXPECT_FALSE(WinFileExists("C:\\victim.txt"));
    launcher.FileName = "C:\\missing.bat";
    EXPECT_THROW(launcher.Execute(), EProgramLauncherFailed);
}
