// Login: the prompt order, the option bits per security level and key, the key hand-over, the
// terminal prompt on a pseudo-terminal and the headless default.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>

#include "dataset_test_support.h"
#include "support/zanScriptedPrompt.h"

using namespace zan;

namespace {

enum TRoute { rtBeforeLogin, rtScripted, rtDefault };

struct TLoginCase {
    int Level;
    bool KeySet;
    TRoute Route;
    int32_t Options; // asked, 0: nothing asked
    int32_t Code;    // outcome of the connect
};

} // namespace

TEST(ZanLogin, MatrixOfLevelsKeysAndRoutes) {
    TTempFile files[3] = {TTempFile("login0.zan"), TTempFile("login1.zan"),
                          TTempFile("login2.zan")};
    for (int level = 0; level < 3; ++level)
        CreateDatabaseFile(files[level].Path, level);
    // A secured file is entered by a user's logon: "admin" is none, so the connect ends as a
    // refused logon (BeforeLogin: 10036) or a cancelled prompt (10015).
    const TLoginCase cases[] = {
        {0, false, rtBeforeLogin, 0, 0},     {0, false, rtScripted, 0, 0},
        {0, false, rtDefault, 0, 0},         {0, true, rtBeforeLogin, 0, 0},
        {1, true, rtBeforeLogin, 0, 0},      {1, true, rtScripted, 0, 0},
        {1, true, rtDefault, 0, 0},          {1, false, rtBeforeLogin, 1, 0},
        {1, false, rtScripted, 1, 0},        {1, false, rtDefault, 1, 10015},
        {2, true, rtBeforeLogin, 2, 10036},  {2, true, rtScripted, 2, 10015},
        {2, true, rtDefault, 2, 10015},      {2, false, rtBeforeLogin, 3, 10036},
        {2, false, rtScripted, 3, 10015},    {2, false, rtDefault, 3, 10015},
    };
    for (const TLoginCase& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.Level) + " key " + std::to_string(c.KeySet) +
                     " route " + std::to_string(c.Route));
        TZanDataBase db;
        db.SetDataBaseName(files[c.Level].Path);
        if (c.KeySet) db.SetMasterKey(C_TEST_KEY);
        TScriptedLoginPrompt prompt;
        prompt.Answers.push_back({true, C_TEST_KEY, "admin", "pw"});
        int32_t asked = 0;
        if (c.Route == rtBeforeLogin) {
            db.BeforeLogin = [&](TObject* sender, std::string& user, std::string&,
                                 std::string& key) {
                EXPECT_EQ(sender, &db);
                EXPECT_EQ(user, "");
                asked = -1;
                key = C_TEST_KEY;
            };
        } else if (c.Route == rtScripted) {
            db.SetLoginPrompt(&prompt);
        }
        EXPECT_EQ(ErrorCodeOf([&] { db.Open(); }), c.Code);
        EXPECT_EQ(db.GetConnected(), c.Code == 0);
        if (c.Route == rtScripted) {
            // A refused logon asks again for the user only, and is cancelled then.
            ASSERT_EQ(prompt.Requests.size(), c.Options == 0 ? 0u : c.Level == 2 ? 2u : 1u);
            if (c.Level == 2) {
                EXPECT_EQ(prompt.Requests[1].Options, C_LOGIN_USER);
            }
            if (c.Options != 0) {
                const TZanLoginRequest& r = prompt.Requests[0];
                EXPECT_EQ(r.Options, c.Options);
                EXPECT_EQ(r.Caption, "Database Login - " + ExtractFileName(files[c.Level].Path));
                EXPECT_EQ(r.MasterKeyLabel, "Database Password:");
                EXPECT_EQ(r.UserNameLabel, "User name:");
                EXPECT_EQ(r.PasswordLabel, "User Password:");
                EXPECT_EQ(r.MaxLength, 40);
            }
        }
        if (c.Route == rtBeforeLogin) {
            EXPECT_EQ(asked, c.Options == 0 ? 0 : -1);
        }
        if (c.Code == 0 && c.Level == 1) {
            EXPECT_EQ(db.GetMasterKey(), C_TEST_KEY);
        }
        db.Close();
        EXPECT_EQ(db.GetMasterKey(), "");
    }
}

TEST(ZanLogin, WrongKeyCancelAndCopyBack) {
    TTempFile file("login_wrong.zan");
    CreateDatabaseFile(file.Path, 1);
    GDBLogger().Clear();
    {
        TZanDataBase db;
        db.SetDataBaseName(file.Path);
        TScriptedLoginPrompt prompt;
        prompt.Answers.push_back({true, "guessed wrong", "", ""});
        db.SetLoginPrompt(&prompt);
        std::string message;
        EXPECT_EQ(ErrorCodeOf([&] { db.Open(); }, &message), 8451);
        EXPECT_NE(message.find("The MasterKey is incorrect"), std::string::npos);
        EXPECT_FALSE(db.GetConnected());
        EXPECT_EQ(db.GetMasterKey(), "");
        // A cancelled prompt: 10015, and what was typed is not taken.
        prompt.Answers.push_back({false, C_TEST_KEY, "", ""});
        EXPECT_EQ(ErrorCodeOf([&] { db.Open(); }), 10015);
        EXPECT_EQ(db.GetMasterKey(), "");
    }
    for (const std::string& line : GDBLogger().GetLines()) {
        EXPECT_EQ(line.find("guessed wrong"), std::string::npos) << line;
        EXPECT_EQ(line.find(C_TEST_KEY), std::string::npos) << line;
    }
    TTempFile saved("login_log.txt");
    GDBLogger().SaveLogToFile(saved.Path);
    const std::vector<uint8_t> bytes = ReadFileBytes(saved.Path);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("8451"), std::string::npos);
    EXPECT_EQ(text.find("guessed wrong"), std::string::npos);
    EXPECT_EQ(text.find(C_TEST_KEY), std::string::npos);
    // The routine itself: OK copies all three values back, cancel none.
    TScriptedLoginPrompt prompt;
    prompt.Answers.push_back({true, "k2", "u2", "p2"});
    prompt.Answers.push_back({false, "k3", "u3", "p3"});
    std::string key = "k1", user = "u1", password = "p1";
    EXPECT_TRUE(ShowZanLoginDialog(prompt, "/data/shop.zan", 3, key, user, password));
    EXPECT_EQ(key + user + password, "k2u2p2");
    EXPECT_FALSE(ShowZanLoginDialog(prompt, "/data/shop.zan", 3, key, user, password));
    EXPECT_EQ(key + user + password, "k2u2p2");
    EXPECT_EQ(prompt.Requests[0].Caption, "Database Login - shop.zan");
    // The process default: the built-in prompt cancels; a registered one is used.
    EXPECT_FALSE(ShowZanLoginDialog("x", 1, key, user, password));
    TZanLoginPrompt* previous = SetDefaultLoginPrompt(&prompt);
    prompt.Answers.push_back({true, "k4", "", ""});
    EXPECT_TRUE(ShowZanLoginDialog("x", 1, key, user, password));
    EXPECT_EQ(key, "k4");
    SetDefaultLoginPrompt(previous);
}

// A child without a controlling terminal, its stdin closed, the terminal prompt as the process
// default: the connect fails at once with 10015.
TEST(ZanLogin, HeadlessConnectFailsWithinASecond) {
    for (int level : {1, 2}) {
        TTempFile file("login_headless.zan");
        CreateDatabaseFile(file.Path, level);
        const auto start = std::chrono::steady_clock::now();
        TChildProcess child([&](TChildProcess&) {
            setsid();
            close(0);
            TZanTerminalLoginPrompt terminal;
            SetDefaultLoginPrompt(&terminal);
            TZanDataBase db;
            db.SetDataBaseName(file.Path);
            return ErrorCodeOf([&] { db.Open(); }) == 10015 ? 0 : 1;
        });
        EXPECT_EQ(child.Wait(), 0) << level;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
}

namespace {

// Reads what the pseudo-terminal's other side shows until the text appears (or 5 seconds).
std::string ReadUntil(int master, const std::string& text, std::string& seen) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        seen.append(buffer, size_t(n));
    }
    return seen;
}

} // namespace

TEST(ZanLogin, TerminalPromptOnAPseudoTerminal) {
    using TSteps = std::vector<std::pair<std::string, std::string>>; // wait for, then type
    const std::string eof = "\x04\x04"; // ^D ends a partial line, the second ends the input
    struct TCase {
        int32_t Options;
        TSteps Steps;
        bool Ok;
        std::string Expected; // key|user|password after the prompt
    } cases[] = {
        {3,
         {{"Database Password:", "typed key\n"},
          {"User name: [given]", "\n"},
          {"User Password:", "password!\n"}},
         true,
         "typed key|given|password!"},
        {2, {{"User name: [given]", "bob\n"}, {"User Password:", "secret\n"}}, true,
         "old key|bob|secret"},
        {1, {{"Database Password:", std::string(120, 'k') + "\n"}}, true,
         std::string(100, 'k') + "|given|old pw"},
        {2,
         {{"User name:", std::string(50, 'u') + "\n"},
          {"User Password:", std::string(45, 'p') + "\n"}},
         true,
         "old key|" + std::string(40, 'u') + "|" + std::string(40, 'p')},
        {3, {{"Database Password:", "half a line" + eof}}, false, "old key|given|old pw"},
        {2, {{"User name:", "carl\n"}, {"User Password:", eof}}, false, "old key|given|old pw"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Expected);
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const std::string slaveName = ptsname(master);
        TTempFile out("tty_result.txt");
        TChildProcess child([&](TChildProcess&) {
            setsid();
            const int slave = open(slaveName.c_str(), O_RDWR); // becomes the controlling tty
            if (slave < 0) return 2;
            TZanTerminalLoginPrompt prompt;
            TZanLoginCredentials credentials("old key", "given", "old pw");
            const bool ok = prompt.Ask(MakeLoginRequest("shop.zan", c.Options), credentials);
            termios t;
            tcgetattr(slave, &t);
            const bool echo = (t.c_lflag & ECHO) != 0;
            const std::string result =
                credentials.MasterKey + "|" + credentials.UserName + "|" + credentials.Password;
            WriteFileBytes(out.Path, std::vector<uint8_t>(result.begin(), result.end()));
            return (ok ? 10 : 20) + (echo ? 1 : 0);
        });
        std::string seen;
        ReadUntil(master, "Database Login - shop.zan", seen);
        std::string typed;
        for (const auto& [waitFor, line] : c.Steps) {
            ReadUntil(master, waitFor, seen);
            ASSERT_EQ(write(master, line.data(), line.size()), ssize_t(line.size()));
        }
        const int code = child.Wait();
        close(master);
        EXPECT_EQ(code, (c.Ok ? 10 : 20) + 1) << "echo must be back on";
        const std::vector<uint8_t> result = ReadFileBytes(out.Path);
        EXPECT_EQ(std::string(result.begin(), result.end()), c.Expected);
        EXPECT_EQ(seen.find("typed key"), std::string::npos) << "a password was echoed";
        EXPECT_EQ(seen.find("password!"), std::string::npos) << "a password was echoed";
        EXPECT_EQ(seen.find("kkkk"), std::string::npos) << "a password was echoed";
        EXPECT_EQ(seen.find("pppp"), std::string::npos) << "a password was echoed";
    }
}

// A signal during the password read ends the process, but the terminal's echo is back on.
TEST(ZanLogin, TerminalEchoRestoredWhenASignalEndsTheRead) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slaveName = ptsname(master);
    // The slave stays open here so that its settings can be read after the child ends.
    const int watch = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watch, 0);
    TChildProcess child([&](TChildProcess&) {
        setsid();
        const int slave = open(slaveName.c_str(), O_RDWR);
        if (slave < 0) return 2;
        TZanTerminalLoginPrompt prompt;
        TZanLoginCredentials credentials;
        prompt.Ask(MakeLoginRequest("x.zan", C_LOGIN_MASTERKEY), credentials);
        return 3;
    });
    std::string seen;
    ReadUntil(master, "Database Password:", seen);
    termios during;
    tcgetattr(watch, &during);
    EXPECT_EQ(during.c_lflag & ECHO, 0u);
    kill(child.Pid(), SIGTERM);
    child.Wait();
    termios after;
    tcgetattr(watch, &after);
    EXPECT_NE(after.c_lflag & ECHO, 0u);
    close(watch);
    close(master);
}
