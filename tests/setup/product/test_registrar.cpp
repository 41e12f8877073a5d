// The IDE package registrar and the setup log against the registry stand-in and the machine's
// files: detection order and lines, palette, known and disabled packages, the library search
// path, the help configuration, and where the log goes.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/win/WinFs.h"
#include "host/win/WinRegistry.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/wizard/VCLInstall.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

const std::string D7 = "\\software\\Borland\\Delphi\\7.0";
const std::string Palette = "\\SOFTWARE\\Borland\\Delphi\\7.0\\Palette";
const std::string Pkg = "C:\\Orvex\\Delphi7\\dclzan14d7.bpl";
const std::string Names = "dclzan12d7.bpl,dclzan13d7.bpl,dclzan14d7.bpl";

struct TRegistrarMachine : TSandbox {
    explicit TRegistrarMachine(const std::string& name) : TSandbox(name) { CreateSetupLog(); }
    ~TRegistrarMachine() { FreeSetupLog(); }
    // How often the HKCU hive was written (its lock file counts the writes).
    std::string HkcuWrites() const { return ReadHostFile(HiveFileName(HKEY_CURRENT_USER) + ".lock"); }
    std::vector<std::string> LogFrom(size_t first) const {
        const auto& lines = SetupLogLines();
        return std::vector<std::string>(lines.begin() + static_cast<long>(first), lines.end());
    }
};

} // namespace

TEST(Registrar, DetectionOrderLinesAndMissingRootDir) {
    TRegistrarMachine m("reg_detect");
    SeedDelphi7Installation("C:\\D7");
    RegCreateKey(HKEY_LOCAL_MACHINE, "software\\Borland\\Delphi\\3.0"); // no RootDir
    TPackageInstaller registrar;
    EXPECT_EQ(SetupLogLines(), (std::vector<std::string>{
                                   "Starting find products", "Looking for: \\software\\Borland\\Delphi\\4.0",
                                   "Looking for: \\software\\Borland\\Delphi\\5.0",
                                   "Looking for: \\software\\Borland\\Delphi\\6.0",
                                   "Looking for: \\software\\Borland\\Delphi\\7.0", "Found Delphi 7 installation",
                                   "Looking for: \\software\\Borland\\Delphi\\3.0", "Found Delphi 3 installation",
                                   "Looking for: \\software\\Borland\\C++Builder\\6.0", "Finished finding products"}));
    EXPECT_EQ(registrar.FoundFlags(), 1u | 32u);
    TIDEInfo d3, d7, b6;
    registrar.GetIDEInfo(ideDelphi3, d3);
    registrar.GetIDEInfo(ideDelphi7, d7);
    registrar.GetIDEInfo(ideBuilder6, b6);
    EXPECT_TRUE(d3.Installed);
    EXPECT_EQ(d3.RootDir, "");
    EXPECT_EQ(d3.HelpFile, "\\Help\\Delphi3.cfg"); // at the drive root, inside the machine
    EXPECT_EQ(d7.HelpFile, "C:\\D7\\Help\\delphi7.ohl");
    EXPECT_FALSE(b6.Installed);
    // The help file of the root-less IDE is found at the root of the current drive.
    WinForceDirectories("C:\\Help");
    WinWriteFile("C:\\Help\\Delphi3.cfg", "");
    EXPECT_EQ(registrar.InstallHelp(ideDelphi3, "orvex.hlp"), 1);
    EXPECT_EQ(WinReadFile("C:\\Help\\Delphi3.cfg"), ":Link orvex.hlp\r\n");

    // A RootDir of the wrong type is logged and passes on.
    RegWriteInteger(hkLocalMachine, D7, "RootDir", 7);
    CreateSetupLog();
    EXPECT_THROW(TPackageInstaller{}, ERegistryException);
    EXPECT_EQ(SetupLogLines().back().rfind("Find products. Exception ", 0), 0u) << SetupLogLines().back();
}

TEST(Registrar, PaletteCreatedAppendedAndComplete) {
    struct Case {
        const char* Existing; // nullptr: no value
        const char* Expected;
        bool Written;
    } cases[] = {
        {nullptr, "TZanDatabase;TZanTable;TZanQuery", true},
        {"TDataSource", "TDataSource;TZanDatabase;TZanTable;TZanQuery", true},
        {"TDataSource;", "TDataSource;TZanDatabase;TZanTable;TZanQuery", true},
        {"", "TZanDatabase;TZanTable;TZanQuery", true},
        {"tzandatabase; TZanQuery ;TZanTable", "tzandatabase; TZanQuery ;TZanTable", false},
        // A longer name that starts with a component's name does not hold it.
        {"TZanTableEx;TZanDatabase;TZanQuery", "TZanTableEx;TZanDatabase;TZanQuery;TZanTable", true},
    };
    for (const Case& c : cases) {
        TRegistrarMachine m("reg_palette");
        SeedDelphi7Installation();
        if (c.Existing) RegWriteString(hkCurrentUser, Palette, "Data Access", c.Existing);
        else RegDeleteValue(HKEY_CURRENT_USER, Palette.substr(1), "Data Access");
        TPackageInstaller registrar;
        size_t from = SetupLogLines().size();
        std::string writes = m.HkcuWrites();
        registrar.InstallIntoPalette(ideDelphi7, "Data Access", "TZanDatabase,TZanTable, TZanQuery");
        EXPECT_EQ(RegReadString(hkCurrentUser, Palette, "Data Access", "?"), c.Expected) << c.Expected;
        EXPECT_EQ(m.HkcuWrites() != writes, c.Written) << c.Expected;
        std::vector<std::string> log = m.LogFrom(from);
        EXPECT_EQ(log.front(), "Install into palette. Product - Delphi 7");
        EXPECT_EQ(log.back(), "Install into palette. Product - Delphi 7. Completed");
    }
    // Without a palette key nothing is created.
    TRegistrarMachine m("reg_palette_none");
    TPackageInstaller registrar;
    registrar.InstallIntoPalette(ideDelphi7, "Data Access", "TZanDatabase");
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, Palette.substr(1)));
}

TEST(Registrar, KnownAndDisabledPackagesByFileName) {
    TRegistrarMachine m("reg_packages");
    SeedDelphi7Installation();
    RegWriteString(hkCurrentUser, D7 + "\\Known Packages", "C:\\Old\\DCLZAN13D7.BPL", "old");
    RegWriteString(hkCurrentUser, D7 + "\\Known Packages", "C:\\Other\\mydclzan13d7.bpl", "kept");
    RegWriteString(hkCurrentUser, D7 + "\\Disabled Packages", "C:\\Old\\dclzan12d7.bpl", "old");
    RegWriteString(hkCurrentUser, D7 + "\\Disabled Packages", "C:\\Old\\other.bpl", "kept");
    TPackageInstaller registrar;
    size_t from = SetupLogLines().size();
    registrar.InstallPackage(ideDelphi7, Pkg, Names, "Orvex Database Engine");
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    TStringList known, disabled;
    reg.OpenKey(D7 + "\\Known Packages", false);
    reg.GetValueNames(known);
    reg.OpenKey(D7 + "\\Disabled Packages", false);
    reg.GetValueNames(disabled);
    auto list = [](const TStringList& l) {
        std::vector<std::string> out;
        for (int i = 0; i < l.Count(); ++i) out.push_back(l[i]);
        return out;
    };
    EXPECT_EQ(list(known), (std::vector<std::string>{"$(DELPHI)\\Bin\\dclstd70.bpl", "C:\\Other\\mydclzan13d7.bpl", Pkg}));
    EXPECT_EQ(list(disabled), std::vector<std::string>{"C:\\Old\\other.bpl"});
    EXPECT_EQ(RegReadString(hkCurrentUser, D7 + "\\Known Packages", Pkg, ""), "Orvex Database Engine");
    std::vector<std::string> log = m.LogFrom(from);
    EXPECT_EQ(log[0], "Install into VCL. Product - Delphi 7.Installing component: " + Pkg);
    EXPECT_EQ(log[1], "Deleting old package: C:\\Old\\DCLZAN13D7.BPL");
    EXPECT_EQ(log[2], "Adding package: " + Pkg);

    // "Known Packages" that cannot be opened: logged, no exception, the search path untouched.
    RegDeleteKeyTree(hkCurrentUser, D7 + "\\Known Packages");
    std::string before = RegReadString(hkCurrentUser, D7 + "\\Library", "Search Path", "");
    from = SetupLogLines().size();
    EXPECT_NO_THROW(registrar.InstallPackage(ideDelphi7, Pkg, Names, "Orvex Database Engine"));
    EXPECT_EQ(m.LogFrom(from).back(), "Error: Unable to open key:" + D7 + "\\Known Packages");
    EXPECT_EQ(RegReadString(hkCurrentUser, D7 + "\\Library", "Search Path", ""), before);
}

TEST(Registrar, SearchPathOldEntriesOutNewDirectoryIn) {
    struct Case {
        int Index;
        const char* Existing;
        const char* Expected;
        bool Written;
    } cases[] = {
        // An entry holding an older package goes; the package directory comes last.
        {ideDelphi7, "$(DELPHI)\\Lib;C:\\Old;$(DELPHI)\\Bin", "$(DELPHI)\\Lib;$(DELPHI)\\Bin;C:\\Orvex\\Delphi7", true},
        // Already in place: no write.
        {ideDelphi7, "$(DELPHI)\\Lib;C:\\Orvex\\Delphi7", "$(DELPHI)\\Lib;C:\\Orvex\\Delphi7", false},
        // Moved to the end when it stood elsewhere.
        {ideDelphi7, "C:\\Orvex\\Delphi7;$(DELPHI)\\Lib", "$(DELPHI)\\Lib;C:\\Orvex\\Delphi7", true},
        {ideDelphi7, "", "C:\\Orvex\\Delphi7", true},
        {ideDelphi7, ";", "C:\\Orvex\\Delphi7", true},
        {ideDelphi7, " A ; ;A;", "A;A;C:\\Orvex\\Delphi7", true},
        // Delphi 3 keeps its path under "SearchPath".
        {ideDelphi3, "C:\\Old", "C:\\Orvex\\Delphi7", true},
    };
    for (const Case& c : cases) {
        TRegistrarMachine m("reg_search");
        std::string key = c.Index == ideDelphi3 ? "\\software\\Borland\\Delphi\\3.0" : D7;
        RegWriteString(hkLocalMachine, key, "RootDir", "C:\\IDE");
        RegCreateKey(HKEY_CURRENT_USER, key.substr(1) + "\\Known Packages");
        const char* value = c.Index == ideDelphi3 ? "SearchPath" : "Search Path";
        RegWriteString(hkCurrentUser, key + "\\Library", value, c.Existing);
        WinForceDirectories("C:\\Old");
        WinWriteFile("C:\\Old\\dclzan13d7.bpl", "old");
        WinForceDirectories("C:\\Orvex\\Delphi7");
        WinWriteFile(Pkg, "new");
        TPackageInstaller registrar;
        std::string writes = m.HkcuWrites();
        size_t from = SetupLogLines().size();
        registrar.InstallPackage(c.Index, Pkg, Names, "Orvex");
        // The known-packages value itself is rewritten every time; count the library writes.
        EXPECT_EQ(RegReadString(hkCurrentUser, key + "\\Library", value, ""), c.Expected) << c.Existing;
        std::vector<std::string> log = m.LogFrom(from);
        bool updated = std::find(log.begin(), log.end(),
                                 std::string("Install into VCL. Updating search path to: ") + c.Expected) != log.end();
        bool unchanged = std::find(log.begin(), log.end(),
                                   "Install into VCL. Search path not required to update") != log.end();
        EXPECT_EQ(updated, c.Written) << c.Existing;
        EXPECT_EQ(unchanged, !c.Written) << c.Existing;
        EXPECT_EQ(log.back(), "Install into VCL. Product - " + IDELogName(c.Index) + ". Completed");
    }
    // A 64 KiB path keeps its entries.
    TRegistrarMachine m("reg_search_long");
    SeedDelphi7Installation();
    std::string longPath;
    for (int i = 0; longPath.size() < 65536; ++i) longPath += "C:\\Dir" + std::to_string(i) + ";";
    longPath.pop_back();
    RegWriteString(hkCurrentUser, D7 + "\\Library", "Search Path", longPath);
    TPackageInstaller registrar;
    registrar.InstallPackage(ideDelphi7, Pkg, Names, "Orvex");
    EXPECT_EQ(RegReadString(hkCurrentUser, D7 + "\\Library", "Search Path", ""), longPath + ";C:\\Orvex\\Delphi7");
}

TEST(Registrar, HelpConfigurationLinkedOnce) {
    struct Case {
        std::string Existing;
        std::string Expected;
    } cases[] = {
        {":Link d7vcl.hlp\r\n", ":Link d7vcl.hlp\r\n:Link orvex.hlp\r\n"},
        {":Link d7vcl.hlp\n", ":Link d7vcl.hlp\n:Link orvex.hlp\n"},
        {":Link d7vcl.hlp", ":Link d7vcl.hlp\r\n:Link orvex.hlp\r\n"},
        {":Link ORVEX.HLP\r\n:Link other.hlp\r\n", ":Link ORVEX.HLP\r\n:Link other.hlp\r\n"},
        // The scan stops at the third-party section: a link above it does not count.
        {":Link orvex.hlp\r\n:Index THIRD-PARTY HELP\r\n:Link x.hlp\r\n",
         ":Link orvex.hlp\r\n:Index THIRD-PARTY HELP\r\n:Link x.hlp\r\n:Link orvex.hlp\r\n"},
        {std::string("\x01\x02\0\xff", 4), std::string("\x01\x02\0\xff\r\n:Link orvex.hlp\r\n", 23)},
    };
    for (const Case& c : cases) {
        TRegistrarMachine m("reg_help");
        SeedDelphi7Installation("C:\\D7");
        WinWriteFile("C:\\D7\\Help\\delphi7.ohl", c.Existing);
        TPackageInstaller registrar;
        EXPECT_EQ(registrar.InstallHelp(ideDelphi7, "orvex.hlp"), 1);
        EXPECT_EQ(WinReadFile("C:\\D7\\Help\\delphi7.ohl"), c.Expected) << c.Existing;
        EXPECT_FALSE(WinFileExists("C:\\D7\\Help\\delphi7.gid"));
    }
    TRegistrarMachine m("reg_help_missing");
    SeedDelphi7Installation("C:\\D7");
    WinDeleteFile("C:\\D7\\Help\\delphi7.ohl");
    TPackageInstaller registrar;
    EXPECT_EQ(registrar.InstallHelp(ideDelphi7, "orvex.hlp"), 255);
    EXPECT_TRUE(WinFileExists("C:\\D7\\Help\\delphi7.gid")); // untouched without a configuration
}

TEST(SetupLog, JoinFallbackAndSilentFailure) {
    TRegistrarMachine m("setup_log");
    EXPECT_EQ(GetLogDirectory(), GetTempDirectory());
    SetupLog("one");
    SetupLog("two");
    SetLogDirectory("C:\\Program Files\\Orvex"); // missing: the temp folder takes the log
    EXPECT_EQ(GetLogFileName(), GetTempDirectory() + "instlog.txt");
    SaveLog();
    EXPECT_EQ(WinReadFile(GetTempDirectory() + "instlog.txt"), "one\r\ntwo\r\n");
    WinForceDirectories("C:\\Program Files\\Orvex");
    EXPECT_EQ(GetLogFileName(), "C:\\Program Files\\Orvex\\instlog.txt"); // one separator
    SetLogDirectory("C:\\Program Files\\Orvex\\");
    EXPECT_EQ(GetLogFileName(), "C:\\Program Files\\Orvex\\instlog.txt");
    for (const char* bad : {"", "   ", "relative\\dir", "C:\\a\\..\\..\\..", "D:\\x", "C:\\bad|name",
                            "C:\\x\\instlog.txt\\"}) {
        SetLogDirectory(bad);
        EXPECT_NO_THROW(SaveLog()) << bad;
    }
    // A file where the folder should be: the temp folder takes the log; a log that cannot be
    // written: nothing saved, no error.
    WinWriteFile("C:\\Blocked", "a file");
    SetLogDirectory("C:\\Blocked");
    EXPECT_EQ(GetLogFileName(), GetTempDirectory() + "instlog.txt");
    WinForceDirectories("C:\\Taken\\instlog.txt"); // the log's own name is a folder: the write fails
    SetLogDirectory("C:\\Taken");
    EXPECT_NO_THROW(SaveLog());
    EXPECT_TRUE(WinDirectoryExists("C:\\Taken\\instlog.txt"));
}
