// OrvexDemoInstall on the FLTK backend under the virtual X server, as a real process: the happy
// path driven by the script with a PNG of every page and of the main window (kept in
// $ZAN_XVFB_ARTEFACTS), and the happy path driven by nothing but real Return key presses.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "host/forms/fltk/FltkBackend.h"
#include "setup/product/product_machine.h"
#include "setup/wizard/VCLInstall.h"

using namespace zan;
using namespace product_e2e;

namespace {

std::string ProductArtefact(const std::string& name) {
    const char* dir = std::getenv("ZAN_XVFB_ARTEFACTS");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name;
}

uint32_t Rgb(const TPicture& p, int x, int y) { return p.Pixel(x, y) & 0xFFFFFF; }

// A started program, reaped when it ends, killed when the test gives up on it.
struct TRunningProgram {
    explicit TRunningProgram(pid_t pid) : Pid(pid) {}
    ~TRunningProgram() {
        if (Ended()) return;
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
    }
    bool Ended() {
        int status = 0;
        if (!Done && waitpid(Pid, &status, WNOHANG) == Pid) {
            Done = true;
            ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return Done;
    }
    // Polls until the program ends or the time is up.
    bool WaitEnd(std::chrono::seconds limit) {
        for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
            if (Ended()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return Ended();
    }
    pid_t Pid;
    bool Done = false;
    int ExitCode = -1;
};

// True when a window titled exactly caption shows.
bool WindowShown(const std::string& caption) {
    return std::system(("xdotool search --onlyvisible --name '^" + caption + "$' >/dev/null 2>&1").c_str()) == 0;
}

// Gives the pointer and the focus to the shown window titled exactly caption, then presses
// Return, holding it down for holdMs (the X server repeats a key held past its delay). The key
// goes in a command of its own, so that its release is sent even when the window goes at the
// press.
void PressReturnOn(const std::string& caption, int holdMs = 0) {
    std::string focus = "xdotool search --onlyvisible --name '^" + caption + "$' mousemove --window %1 240 200 windowfocus %1";
    int ignored = std::system((focus + " >/dev/null 2>&1").c_str()); // the window may be gone already
    (void)ignored;
    std::string key = holdMs == 0 ? "xdotool key Return"
                                  : "xdotool keydown Return && sleep " + std::to_string(holdMs / 1000.0) + " && xdotool keyup Return";
    EXPECT_EQ(std::system(key.c_str()), 0) << key;
}

// An X server of the test's own on a display it picks, ended by its process id.
struct TOwnXServer {
    TOwnXServer() {
        int fds[2];
        if (pipe(fds) != 0) return;
        Pid = fork();
        if (Pid == 0) {
            close(fds[0]);
            int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, 2);
            std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        char buffer[32] = {};
        ssize_t n = Pid > 0 ? read(fds[0], buffer, sizeof buffer - 1) : 0;
        close(fds[0]);
        if (n > 0) Display = ":" + std::string(buffer, buffer + std::strcspn(buffer, "\n"));
    }
    ~TOwnXServer() { Stop(); }
    void Stop() {
        if (Pid <= 0) return;
        kill(Pid, SIGTERM); // the server closes its clients' connections and cleans up
        waitpid(Pid, nullptr, 0);
        Pid = -1;
    }
    pid_t Pid = -1;
    std::string Display;
};

// Starts the setup program on a display with its stderr going to a file.
pid_t StartSetupOn(const std::string& display, const std::string& errors) {
    std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    int file = open(errors.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    int keep = dup(2);
    dup2(file, 2);
    close(file);
    TScopeExit restore([&] {
        dup2(keep, 2);
        close(keep);
        setenv("DISPLAY", saved.c_str(), 1);
        setenv("ZAN_FORMS", "headless", 1);
    });
    setenv("DISPLAY", display.c_str(), 1);
    setenv("ZAN_FORMS", "fltk", 1);
    return WinCreateProcess("C:\\build\\setup.exe", {});
}

} // namespace

TEST(XvfbProduct, HappyPathUnderFltkWithAPictureOfEveryPage) {
    if (!FltkDisplayAvailable()) GTEST_SKIP() << "no X display";
    std::string script;
    const char* pages[][2] = {{"TWelcomeForm", "ProceedBtn"},     {"TLicenseForm", "ProceedBtn"},
                              {"TSelectDestinationForm", "ProceedBtn"}, {"TConfirmInstall", "ProceedBtn"},
                              {"TReadmeForm", "ProceedBtn"},      {"TAfterGoodInstallDlg", "FinishBtn"}};
    for (const auto& p : pages) {
        script += std::string("[") + p[0] + "] wait 3\n";
        script += std::string("[TBaseFormContainer] screenshot ") + ProductArtefact(std::string("product_") + p[0] + ".png") + "\n";
        // The main window behind the first page, maximised by then.
        if (&p == &pages[0]) script += "[TMainForm] screenshot " + ProductArtefact("product_main.png") + "\n";
        script += std::string("[") + p[0] + "] click " + p[1] + "\n";
    }
    TProductMachine m("xvfb_product", script);
    setenv("ZAN_FORMS", "fltk", 1);
    SeedDelphi7Installation();
    int status = RunSetupProgram({});
    setenv("ZAN_FORMS", "headless", 1);
    ASSERT_EQ(status, 0) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_TRUE(WinFileExists(Dest + "\\Delphi7\\dclzan14d7.bpl"));

    TPicture main;
    main.LoadFromFile(ProductArtefact("product_main.png"));
    ASSERT_EQ(main.Width(), 1024);
    ASSERT_EQ(main.Height(), 768);
    EXPECT_EQ(Rgb(main, 5, 0), 0x0000FFu);         // the backdrop's top row
    EXPECT_LE(Rgb(main, 5, 767) & 0xFFu, 2u);      // near black at the bottom
    int lit = 0;                                   // the white product label at the top
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 1024; ++x) lit += Rgb(main, x, y) == 0xFFFFFF;
    EXPECT_GT(lit, 50);
    for (const auto& p : pages) {
        TPicture page;
        page.LoadFromFile(ProductArtefact(std::string("product_") + p[0] + ".png"));
        EXPECT_EQ(page.Width(), 478) << p[0];
        EXPECT_EQ(page.Height(), 395) << p[0];
    }
    std::string transcript = TSandbox::ReadHostFile(m.Transcript);
    EXPECT_NE(transcript.find("screenshot TBaseFormContainer"), std::string::npos);
}

// One Return on each wizard page, the next key only once the page has gone: each key moves
// exactly one page, also the first one, held down long enough to repeat, and six keys walk the
// whole happy path.
TEST(XvfbProduct, ReturnKeyAloneWalksTheHappyPath) {
    if (!FltkDisplayAvailable()) GTEST_SKIP() << "no X display";
    if (std::system("command -v xdotool >/dev/null 2>&1") != 0) GTEST_SKIP() << "no xdotool";
    TProductMachine m("xvfb_return", ""); // no script: only the keys drive the wizard
    setenv("ZAN_FORMS", "fltk", 1);
    SeedDelphi7Installation();
    TRunningProgram program(WinCreateProcess("C:\\build\\setup.exe", {}));
    setenv("ZAN_FORMS", "headless", 1);
    // Each page's window title, and how many forms the transcript holds once it shows (the copy
    // form comes between the confirmation and the readme).
    const std::pair<const char*, size_t> pages[] = {
        {"Welcome", 1}, {"Software license agreement", 2}, {"Choose Destination Location", 3},
        {"Confirm install details", 4}, {"Installation successful", 6}, {"Installation complete", 7}};
    auto until = [&](const std::function<bool()>& done) {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
             !done() && std::chrono::steady_clock::now() < end;)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return done();
    };
    for (const auto& [caption, forms] : pages) {
        // A key that moved more than one page shows a later form instead: no need to wait long.
        ASSERT_TRUE(until([&] { return WindowShown(caption) || program.Ended() || m.Forms().size() > forms; }))
            << caption << "\n" << TSandbox::ReadHostFile(m.Transcript);
        ASSERT_TRUE(WindowShown(caption)) << caption << "\n" << TSandbox::ReadHostFile(m.Transcript);
        // Settled on this page: nothing beyond it was shown.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::vector<std::string> shown = m.Forms();
        ASSERT_EQ(shown, std::vector<std::string>(HappyForms.begin(), HappyForms.begin() + forms)) << caption;
        ASSERT_TRUE(WindowShown(caption)) << caption;
        PressReturnOn(caption, forms == 1 ? 1500 : 0);
        ASSERT_TRUE(until([&] { return !WindowShown(caption) || program.Ended(); })) << caption;
    }
    ASSERT_TRUE(program.WaitEnd(std::chrono::seconds(60))) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_EQ(program.ExitCode, 0) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_TRUE(WinFileExists(Dest + "\\Delphi7\\dclzan14d7.bpl"));
    EXPECT_EQ(m.Forms(), HappyForms);
}

// The X server dies while a wizard page shows: the program ends (the X library exits on the lost
// connection) and its teardown never reads a freed form or list, which the sanitizers would
// report on its stderr.
TEST(XvfbProduct, LostDisplayEndsTheProgramCleanly) {
    if (!FltkDisplayAvailable()) GTEST_SKIP() << "no X display";
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0) GTEST_SKIP() << "no Xvfb";
    TProductMachine m("xvfb_lost", "[TWelcomeForm] wait 1000000\n"); // holds the first page
    SeedDelphi7Installation();
    TOwnXServer server;
    ASSERT_FALSE(server.Display.empty());
    std::string errors = m.Root + "/stderr.txt";
    TRunningProgram program(StartSetupOn(server.Display, errors));
    auto shown = [&] { return TSandbox::ReadHostFile(m.Transcript).find("form TWelcomeForm") != std::string::npos; };
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         !shown() && !program.Ended() && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(shown()) << TSandbox::ReadHostFile(errors);
    server.Stop();
    ASSERT_TRUE(program.WaitEnd(std::chrono::seconds(60)));
    std::string said = TSandbox::ReadHostFile(errors);
    EXPECT_NE(program.ExitCode, 0) << said;
    EXPECT_EQ(said.find("Sanitizer"), std::string::npos) << said;
    EXPECT_EQ(said.find("runtime error"), std::string::npos) << said;
}
