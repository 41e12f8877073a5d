// End to end, as real processes on one fresh machine: a build from BUILD.INF (-b), the
// self-extracting install through the test loader, a second install over the first, and a run
// that needs a reboot, resumed by the simulated boot; BUILD.INF errors; a web distribution over
// HTTP and FTP. Nothing outside the machine is written.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/win/WinBoot.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinProcess.h"
#include "host/win/WinRegistry.h"
#include "setup/engine/SetupDriver.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/cmp_TInstallBuild.h"
#include "setup/engine/cmp_TInstallFile.h"
#include "setup/support/net_servers.h"
#include "support/build_machine.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

const char* const SourceNames[] = {"app.bin",  "server.exe", "control.ocx", "runafter.sh", "readme.txt",
                                   "data1.txt", "data2.txt", "data3.txt",   "data4.txt",   "lib1.dll",
                                   "lib2.dll",  "lib3.dll",  "lib4.dll",    "lib5.dll",    "lib6.dll",
                                   "help.hlp",  "doc1.txt",  "doc2.txt",    "doc3.txt",    "uninstall.exe"};

std::string InstalledPath(const std::string& name) {
    std::string dir = "C:\\Program Files\\Orvex Test";
    if (name.rfind("lib", 0) == 0) return dir + "\\bin\\" + name;
    if (name == "help.hlp" || name.rfind("doc", 0) == 0) return dir + "\\doc\\" + name;
    return dir + "\\" + name;
}

int RunProgram(const std::string& program, const std::vector<std::string>& args) {
    return WinWaitProcess(WinCreateProcess(program, args));
}

// The developer's copy of the setup program with BUILD.INF naming C:\\build, and the installer
// library with the loader, found through the search path.
void PlaceDeveloperCopy(TSandbox& box) { PrepareBuildMachine(box, E2E_SETUP, E2E_LOADER); }

int32_t SharedCount(const std::string& name) {
    return RegReadInteger(hkLocalMachine, SharedDLLsKey, InstalledPath(name), 0);
}

} // namespace

TEST(InstallEndToEnd, BuildSelfExtractReinstallRebootAndResume) {
    TSandbox box("e2e");
    std::string marker = box.Root + "/registered.txt";
    setenv("ZAN_REGSERVER_MARKER", marker.c_str(), 1);
    std::string transcript = box.Root + "/transcript.txt";
    setenv("ZAN_FORMS_TRANSCRIPT", transcript.c_str(), 1);
    // The sources, the developer's copy of the setup program with BUILD.INF, the library.
    for (const char* name : SourceNames)
        TSandbox::WriteHostFile(box.C(std::string("src/") + name), std::string("content of ") + name);
    TSandbox::WriteHostFile(box.C("src/control.ocx"), TSandbox::ReadHostFile(REGSERVER_OK));
    std::string noise(40000, '\0');
    uint32_t x = 99;
    for (char& c : noise) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    TSandbox::WriteHostFile(box.C("src/data4.txt"), noise);
    TSandbox::WriteHostFile(box.C("src/server.exe"),
                            "#!/bin/sh\necho \"$@\" >> '" + box.Root + "/server.txt'\n");
    TSandbox::WriteHostFile(box.C("src/runafter.sh"),
                            "#!/bin/sh\necho \"ran $#\" >> '" + box.Root + "/runafter.txt'\n");
    PlaceDeveloperCopy(box);

    // E1: the build.
    ASSERT_EQ(RunProgram("C:\\dev\\setup", {"-b"}), SetupExitBuildDone);
    TSelfExtractInfo info = ReadSelfExtractInfo("C:\\build\\setup.exe");
    EXPECT_EQ(info.Tag, SelfExtractingTag);
    EXPECT_EQ(static_cast<uint64_t>(info.FilesLast) - info.FilesFirst + 1, WinFileSize("C:\\build\\files.1"));
    EXPECT_EQ(static_cast<uint64_t>(info.SetupLast) - info.SetupFirst + 1, WinFileSize("C:\\build\\setup.1"));

    // E2: the self-extracting install.
    ASSERT_EQ(RunProgram("C:\\build\\setup.exe", {}), SetupExitGood);
    for (const char* name : SourceNames) {
        std::string source = std::string("C:\\src\\") + name;
        EXPECT_EQ(WinReadFile(InstalledPath(name)), WinReadFile(source)) << name;
        EXPECT_EQ(WinFileAge(InstalledPath(name)), WinFileAge(source)) << name;
    }
    EXPECT_EQ(RegReadString(hkLocalMachine, "\\SOFTWARE\\Marrowby Test\\Orvex Test", "InstallPath", ""),
              "C:\\Program Files\\Orvex Test");
    EXPECT_EQ(RegReadString(hkLocalMachine, "\\SOFTWARE\\Marrowby Test\\Orvex Test", "Literal", ""), "%p");
    std::string uninstall = std::string(UninstallKeyPrefix) + "Orvex Test";
    EXPECT_EQ(RegReadString(hkLocalMachine, uninstall, "UninstallString", ""),
              InstalledPath("uninstall.exe") + " Orvex Test");
    EXPECT_EQ(RegReadString(hkLocalMachine, HelpKey, "HELP.HLP", ""), "C:\\Program Files\\Orvex Test\\doc");
    EXPECT_EQ(SharedCount("lib1.dll"), 1);
    EXPECT_EQ(TSandbox::ReadHostFile(marker), "registered\n");
    EXPECT_EQ(TSandbox::ReadHostFile(box.Root + "/server.txt"), "/REGSERVER\n");
    EXPECT_EQ(TSandbox::ReadHostFile(box.Root + "/runafter.txt"), "ran 0\n");
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Kel"));
    // The cleanup removed the extracted setup program and its folder.
    EXPECT_TRUE(WinFindFiles(WinGetTempPath(), "ldr*").empty());

    // E7: a second install over the first: equal libraries are kept, their counts rise.
    ASSERT_EQ(RunProgram("C:\\build\\setup.exe", {}), SetupExitGood);
    EXPECT_EQ(SharedCount("lib1.dll"), 2);

    // E3: an installed program in use is replaced at the next start.
    WinSetInUse(InstalledPath("app.bin"), true);
    WinWriteFile("C:\\src\\app.bin", "never installed");
    ASSERT_EQ(RunProgram("C:\\build\\setup.exe", {}), SetupExitRebootPending);
    EXPECT_TRUE(WinRebootRequested());
    EXPECT_TRUE(WinFileExists("C:\\Program Files\\Orvex Test\\app.1"));
    std::string resume = RegReadString(hkCurrentUser, RunOnceKeyPath, "CorvaneUnfinished", "");
    EXPECT_NE(resume.find(" -r "), std::string::npos) << resume;
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, InstallRecordRoot));
    std::vector<std::string> report;
    WinSimulateBoot(report);
    EXPECT_EQ(report, std::vector<std::string>{}) << TSandbox::ReadHostFile(transcript);
    EXPECT_FALSE(WinFileExists("C:\\Program Files\\Orvex Test\\app.1"));
    EXPECT_EQ(WinReadFile(InstalledPath("app.bin")), "content of app.bin");
    EXPECT_EQ(RegReadString(hkCurrentUser, RunOnceKeyPath, "CorvaneUnfinished", ""), "");
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Kel"));
    EXPECT_TRUE(WinFindFiles(WinGetTempPath(), "ldr*").empty());

    // E4: the transfer to floppies through the loader (*TODISK), then an install from them.
    // The first disk holds the programs and the start of files.1; the rest goes to disk 2.
    CurrentWinEnv().DiskCapacity = WinFileSize("C:\\lib\\CorvaneLoadProgram.exe") + 56 +
                                   WinFileSize("C:\\build\\setup.1") + 8000;
    SaveWinEnv();
    std::string script = box.Root + "/prompts.txt";
    TSandbox::WriteHostFile(script, "Please insert disk 2 => OK | disk 2\n"
                                    "Please insert disk #2 => OK | disk 2\n");
    setenv("ZAN_FORMS_SCRIPT", script.c_str(), 1);
    ASSERT_EQ(RunProgram("C:\\build\\setup.exe", {"*TODISK"}), SetupExitBuildDone)
        << TSandbox::ReadHostFile(transcript);
    WinInsertDisk(1);
    EXPECT_EQ(ReadSelfExtractInfo("A:\\setup.exe").Tag, NotSelfExtractTag);
    EXPECT_EQ(WinReadFile("A:\\setup.1"), WinReadFile("C:\\build\\setup.1"));
    WinInsertDisk(2);
    EXPECT_TRUE(WinFileExists("A:\\files.2"));
    WinInsertDisk(1);
    WinDeleteFile(InstalledPath("data4.txt"));
    ASSERT_EQ(RunProgram("A:\\setup.exe", {}), SetupExitGood) << TSandbox::ReadHostFile(transcript);
    EXPECT_EQ(WinReadFile(InstalledPath("data4.txt")), noise);
    EXPECT_NE(TSandbox::ReadHostFile(transcript).find("Please insert disk #2"), std::string::npos);
    unsetenv("ZAN_FORMS_SCRIPT");
    unsetenv("ZAN_REGSERVER_MARKER");
    unsetenv("ZAN_FORMS_TRANSCRIPT");
}

TEST(InstallEndToEnd, BuildInfThatNamesNoBuildDirectoryStopsTheBuild) {
    TSandbox box("buildinf");
    PlaceDeveloperCopy(box);
    WinWriteFile("C:\\taken", "a file where the build directory should go");
    const std::string missing = "Need to have a BUILD.INF file in this directory with the first line "
                                "specifying the build directory";
    const std::string noLine = "Must be 1 line in BUILD.INF. This line should specify the build directory";
    const std::string notPath = "The first line of BUILD.INF must be the full path of the build directory: ";
    struct Row {
        const char* Name;
        std::string Text; // BUILD.INF ("<none>": no file)
        std::string Message;
    } rows[] = {
        {"missing", "<none>", missing},
        {"empty", "", noLine},
        {"blank first line", "  \r\nC:\\build\r\n", noLine},
        {"section", "[Build]\r\nDirectory=C:\\build\r\n", notPath + "[Build]"},
        {"name=value", "Directory=C:\\build\r\n", notPath + "Directory=C:\\build"},
        {"relative", "build\r\n", notPath + "build"},
        {"forbidden characters", "C:\\bu|ild?\r\n", notPath + "C:\\bu|ild?"},
        {"binary", std::string("\x01\x02\xff\x00zz", 6), notPath},
        {"a file in the way", "C:\\taken\\build\r\n", "Cannot create a file when that file already exists.: C:\\taken"},
        {"another drive", "Q:\\build\r\n", "The system cannot find the path specified.: Q:\\build"},
    };
    int n = 0;
    for (const Row& r : rows) {
        std::string transcript = box.Root + "/transcript" + std::to_string(++n) + ".txt";
        setenv("ZAN_FORMS_TRANSCRIPT", transcript.c_str(), 1);
        if (r.Text == "<none>") {
            if (WinFileExists("C:\\dev\\BUILD.INF")) WinDeleteFile("C:\\dev\\BUILD.INF");
        } else {
            WinWriteFile("C:\\dev\\BUILD.INF", r.Text);
        }
        EXPECT_EQ(RunProgram("C:\\dev\\setup", {"-b"}), SetupExitFailed) << r.Name;
        // The reason is shown; nothing is built.
        std::string said = TSandbox::ReadHostFile(transcript);
        EXPECT_NE(said.find("message"), std::string::npos) << r.Name << ": " << said;
        EXPECT_NE(said.find(r.Message), std::string::npos) << r.Name << ": " << said;
        EXPECT_FALSE(WinFileExists("C:\\build\\setup.exe")) << r.Name;
        EXPECT_FALSE(WinFileExists("C:\\dev\\build")) << r.Name;
    }
    unsetenv("ZAN_FORMS_TRANSCRIPT");
}

// E5: a web distribution built by "setup -b", served from the build folder and installed through
// the self-extracting setup.exe over HTTP, then again over FTP onto an emptied destination: the
// archives are downloaded, recorded while the run lasts and removed with the record.
TEST(InstallEndToEnd, WebDistributionOverHttpAndFtp) {
    TSandbox box("e2eweb");
    std::string transcript = box.Root + "/transcript.txt";
    setenv("ZAN_FORMS_TRANSCRIPT", transcript.c_str(), 1);
    for (const char* name : SourceNames)
        TSandbox::WriteHostFile(box.C(std::string("src/") + name), std::string("web content of ") + name);
    TSandbox::WriteHostFile(box.C("src/control.ocx"), TSandbox::ReadHostFile(REGSERVER_OK));
    TSandbox::WriteHostFile(box.C("src/server.exe"), "#!/bin/sh\nexit 0\n");
    TSandbox::WriteHostFile(box.C("src/runafter.sh"), "#!/bin/sh\nexit 0\n");
    PlaceDeveloperCopy(box);
    TNetServers servers(WinPathToHost("C:\\build"));
    CurrentWinEnv().Resolver["files.example"] = "127.0.0.1";
    SaveWinEnv();

    setenv("ZAN_E2E_WEB", "http files.example:1", 1);
    ASSERT_EQ(RunProgram("C:\\dev\\setup", {"-b"}), SetupExitBuildDone) << TSandbox::ReadHostFile(transcript);
    EXPECT_TRUE(WinFileExists("C:\\build\\filelist.lst"));
    EXPECT_TRUE(WinFileExists("C:\\build\\MainDir.1"));
    for (const char* protocol : {"http", "ftp"}) {
        SCOPED_TRACE(protocol);
        int port = std::string(protocol) == "ftp" ? servers.FtpPort : servers.HttpPort;
        std::string web = std::string(protocol) + " files.example:" + std::to_string(port);
        setenv("ZAN_E2E_WEB", web.c_str(), 1);
        std::string marker = box.Root + "/registered_" + protocol + ".txt";
        setenv("ZAN_REGSERVER_MARKER", marker.c_str(), 1);
        ASSERT_EQ(RunProgram("C:\\build\\setup.exe", {}), SetupExitGood) << TSandbox::ReadHostFile(transcript);
        for (const char* name : SourceNames)
            EXPECT_EQ(WinReadFile(InstalledPath(name)), WinReadFile(std::string("C:\\src\\") + name)) << name;
        EXPECT_EQ(TSandbox::ReadHostFile(marker), "registered\n");
        // The downloads went with the record.
        EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Kel"));
        EXPECT_TRUE(WinFindFiles(WinGetTempPath(), "*.1").empty());
        WinDeleteTree("C:\\Program Files\\Orvex Test");
    }
    unsetenv("ZAN_E2E_WEB");
    unsetenv("ZAN_REGSERVER_MARKER");
    unsetenv("ZAN_FORMS_TRANSCRIPT");
}
