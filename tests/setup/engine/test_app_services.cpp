// The headless application services: prompts answered from a script, defaults without one,
// the transcript, disk changes and a cancel after a number of pumps.
#include <cstdlib>
#include <gtest/gtest.h>

#include "host/rtl/ScopeExit.h"
#include "host/win/WinFs.h"
#include "setup/engine/AppServices.h"
#include "support/sandbox.h"

using namespace zan;

TEST(HeadlessPrompts, ScriptAnswersInOrderAndWritesTheTranscript) {
    TSandbox box("prompts");
    std::string script = TestTempPath("prompts.script");
    std::string transcript = script + ".transcript";
    TSandbox::WriteHostFile(script,
                            "# answers of one run\n"
                            "Insert disk 2 => OK | disk 2\n"
                            "Overwrite => No\n"
                            "Overwrite => Yes\n"
                            "Destination => input C:\\Orvex\n"
                            "Copying => OK | cancel after 3\n");
    std::remove(transcript.c_str());
    setenv("ZAN_FORMS_SCRIPT", script.c_str(), 1);
    TScopeExit restore([&] {
        unsetenv("ZAN_FORMS_SCRIPT");
        std::remove(script.c_str());
        std::remove(transcript.c_str());
    });
    THeadlessSession session;
    ASSERT_TRUE(session.HasScript());
    bool cancelled = false;
    session.SetCancelAction([&] { cancelled = true; });

    EXPECT_EQ(session.Message("Please Insert disk 2 into drive A:", pbOKCancel), prOK);
    EXPECT_EQ(WinCurrentDisk(), 2);
    EXPECT_EQ(session.Message("Overwrite readme.txt?", pbYesNo), prNo);
    EXPECT_EQ(session.Message("Overwrite orvex.hlp?", pbYesNo), prYes);
    std::string value = "C:\\Default";
    EXPECT_TRUE(session.InputQuery("Destination", "Folder:", value));
    EXPECT_EQ(value, "C:\\Orvex");
    EXPECT_EQ(session.Message("Copying files", pbOK), prOK);
    session.ProcessMessages();
    session.ProcessMessages();
    EXPECT_FALSE(cancelled);
    session.ProcessMessages();
    EXPECT_TRUE(cancelled);
    // Used answers are not reused: a prompt the script does not answer fails with its text.
    EXPECT_EQ(MessageOf<EHeadlessPrompt>([&] { session.Message("Overwrite setup.ini?", pbYesNo); }),
              "Overwrite setup.ini?");
    session.ShowException(Exception("Boom"));
    EXPECT_EQ(TSandbox::ReadHostFile(transcript),
              "message OK+Cancel \"Please Insert disk 2 into drive A:\" -> OK\n"
              "message Yes+No \"Overwrite readme.txt?\" -> No\n"
              "message Yes+No \"Overwrite orvex.hlp?\" -> Yes\n"
              "input \"Destination: Folder:\" -> \"C:\\Orvex\"\n"
              "message OK \"Copying files\" -> OK\n"
              "cancel after 3 pumps\n"
              "message Yes+No \"Overwrite setup.ini?\" -> not answered by the script\n"
              "exception \"Boom\"\n");
}

TEST(HeadlessPrompts, DefaultsWithoutScriptAndBadScripts) {
    TSandbox box("noscript");
    unsetenv("ZAN_FORMS_SCRIPT");
    THeadlessSession session;
    EXPECT_FALSE(session.HasScript());
    EXPECT_EQ(session.Message("Continue?", pbYesNo), prNo);
    EXPECT_EQ(session.Message("Really?", pbOKCancel), prCancel);
    EXPECT_EQ(session.Message("Done", pbOK), prOK);
    std::string value = "x";
    EXPECT_FALSE(session.InputQuery("Caption", "Prompt", value));
    EXPECT_EQ(session.ChooseFolder("Browse", "C:\\").Action, faCancelled);
    ASSERT_EQ(session.Transcript().size(), 5u);
    EXPECT_EQ(session.Transcript()[0], "message Yes+No \"Continue?\" -> No (default, no script)");
    session.SetHourglass(true);
    EXPECT_TRUE(session.GetHourglass());
    session.Terminate();
    EXPECT_TRUE(session.Terminated());

    struct {
        std::string Text, Error;
    } bad[] = {
        {"no arrow here\n", "s(1): \"=>\" expected"},
        {"# c\nX => Maybe\n", "s(2): unknown answer"},
        {"X => OK extra\n", "s(1): this answer takes no text"},
        {"X => OK | disk zero\n", "s(1): unknown option"},
    };
    for (auto& row : bad)
        EXPECT_EQ(MessageOf<EHeadlessPrompt>([&] { THeadlessSession s(row.Text, "s", ""); }), row.Error);
    // An answer the buttons do not offer fails like an unanswered prompt.
    THeadlessSession mismatch("Continue => Yes\n", "s", "");
    EXPECT_THROW(mismatch.Message("Continue?", pbOKCancel), EHeadlessPrompt);
}

TEST(HeadlessPrompts, ScriptFromTheMachineSettings) {
    TSandbox box("envscript");
    std::string script = box.Root + "/answers.txt";
    TSandbox::WriteHostFile(script, "Ready => Yes\n");
    CurrentWinEnv().PromptScript = script;
    SaveWinEnv();
    unsetenv("ZAN_FORMS_SCRIPT");
    std::string transcript = TestTempPath("env.transcript");
    setenv("ZAN_FORMS_TRANSCRIPT", transcript.c_str(), 1);
    TScopeExit restore([&] {
        unsetenv("ZAN_FORMS_TRANSCRIPT");
        std::remove(transcript.c_str());
    });
    THeadlessSession session;
    EXPECT_EQ(session.Message("Ready to install?", pbYesNo), prYes);
    EXPECT_EQ(TSandbox::ReadHostFile(transcript), "message Yes+No \"Ready to install?\" -> Yes\n");
    // The services in force default to a headless session.
    SetUserPrompts(&session);
    EXPECT_EQ(&UserPrompts(), &session);
    SetUserPrompts(nullptr);
    EXPECT_NE(&UserPrompts(), &session);
}
