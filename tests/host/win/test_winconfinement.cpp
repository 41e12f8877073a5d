// Confinement of the sandbox's writes against symlinks and swapped folders, and the repairs of
// the simulated boot, INI files, machine settings, registry, DELTREE and drive A:.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/rtl/ScopeExit.h"
#include "host/win/WinBatch.h"
#include "host/win/WinBoot.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinIni.h"
#include "host/win/WinRegistry.h"
#include "support/sandbox.h"

using namespace zan;
namespace fs = std::filesystem;

namespace {

// An empty folder outside the sandbox root, removed with the object.
struct TOutside {
    explicit TOutside(const std::string& name) : Dir(TestTempPath("outside_" + name)) {
        std::error_code ec;
        fs::remove_all(Dir, ec);
        fs::create_directories(Dir);
    }
    ~TOutside() {
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(Dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string Dir;
};

std::string WinInitFile() { return WinJoin(WinGetWindowsDirectory(), "WININIT.INI"); }

} // namespace

// Symlinks inside the root whose (missing) targets lie outside: no write call may create, change
// or remove anything there, through the link itself or below it.
TEST(WinConfinement, DanglingAndOutsideSymlinksCarryNoWriteOut) {
    TSandbox sb("dangling");
    TOutside out("dangling");
    TSandbox::WriteHostFile(out.Dir + "/victim.txt", "precious");
    struct stat before;
    ASSERT_EQ(stat((out.Dir + "/victim.txt").c_str(), &before), 0);
    auto reset = [&] {
        std::error_code ec;
        for (const char* name : {"dangling.txt", "ldir", "lfile.txt", "src.txt"})
            fs::remove(sb.C(name), ec);
        ASSERT_EQ(symlink((out.Dir + "/escaped.txt").c_str(), sb.C("dangling.txt").c_str()), 0);
        ASSERT_EQ(symlink((out.Dir + "/newdir").c_str(), sb.C("ldir").c_str()), 0);
        ASSERT_EQ(symlink((out.Dir + "/victim.txt").c_str(), sb.C("lfile.txt").c_str()), 0);
        TSandbox::WriteHostFile(sb.C("src.txt"), "src");
        ClearDirCache();
    };
    for (const std::string t : {"C:\\dangling.txt", "C:\\DANGLING.TXT", "C:\\lfile.txt",
                                "C:\\ldir\\x.txt"}) {
        std::vector<std::pair<const char*, std::function<void()>>> calls = {
            {"write", [&] { WinWriteFile(t, "pwned"); }},
            {"copy", [&] { WinCopyFile("C:\\src.txt", t, false); }},
            {"age", [&] { WinSetFileAge(t, EncodeDateTime(1999, 1, 1, 0, 0, 0, 0)); }},
            {"attr", [&] { WinSetFileAttributes(t, FILE_ATTRIBUTE_READONLY); }},
            {"exec", [&] { WinMarkExecutableIfProgram(t); }},
            {"move-to", [&] { WinMoveFile("C:\\src.txt", t, true); }},
            {"temp", [&] { WinGetTempFileName(WinParentDir(NormalizeWinPath(t)), "x"); }},
            {"mkdir", [&] { WinCreateDirectory(t); }},
            {"force", [&] { WinForceDirectories(t + "\\y"); }},
        };
        for (auto& [what, call] : calls) {
            reset();
            try {
                call();
            } catch (const EWinError&) {
            }
            EXPECT_EQ(out.Entries(), std::vector<std::string>{"victim.txt"}) << what << " " << t;
        }
    }
    WinCreateDirectory("C:\\real"); // the same calls on a plain folder still work
    WinWriteFile("C:\\real\\a.txt", "a");
    WinCopyFile("C:\\src.txt", "C:\\real\\b.txt", false);
    EXPECT_EQ(WinReadFile("C:\\real\\b.txt"), "src");
    EXPECT_EQ(out.Entries(), std::vector<std::string>{"victim.txt"});
    struct stat after;
    ASSERT_EQ(stat((out.Dir + "/victim.txt").c_str(), &after), 0);
    EXPECT_EQ(TSandbox::ReadHostFile(out.Dir + "/victim.txt"), "precious");
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
}

// A folder swapped for a symlink to the outside after the path was checked (the hook runs between
// the check and the use, where another process could do the same): every write path works on the
// folder it checked, so nothing lands outside and nothing outside changes.
TEST(WinConfinement, FolderSwappedAfterTheCheckCarriesNoWriteOut) {
    TSandbox sb("swap");
    TOutside out("swap");
    TSandbox::WriteHostFile(out.Dir + "/f.txt", "precious");
    TSandbox::WriteHostFile(out.Dir + "/g.txt", "precious");
    const std::string dir = sb.C("d");
    auto reset = [&] {
        std::error_code ec;
        fs::remove(dir, ec);
        fs::remove_all(sb.C("d_real"), ec);
        fs::create_directories(dir);
        TSandbox::WriteHostFile(dir + "/f.txt", "inside");
        TSandbox::WriteHostFile(dir + "/g.txt", "inside");
        ClearDirCache();
    };
    bool armed = false;
    SetWinFsRaceHook([&](const std::string&) {
        if (!armed) return;
        armed = false;
        ASSERT_EQ(rename(dir.c_str(), sb.C("d_real").c_str()), 0);
        ASSERT_EQ(symlink(out.Dir.c_str(), dir.c_str()), 0);
    });
    TScopeExit unhook([] { SetWinFsRaceHook(nullptr); });
    std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"write", [] { WinWriteFile("C:\\d\\new.txt", "pwned"); }},
        {"rewrite", [] { WinWriteFile("C:\\d\\f.txt", "pwned"); }},
        {"copy", [] { WinCopyFile("C:\\src.txt", "C:\\d\\f.txt", false); }},
        {"delete", [] { WinDeleteFile("C:\\d\\f.txt"); }},
        {"move-from", [] { WinMoveFile("C:\\d\\f.txt", "C:\\stolen.txt", true); }},
        {"move-to", [] { WinMoveFile("C:\\src.txt", "C:\\d\\g.txt", true); }},
        {"mkdir", [] { WinCreateDirectory("C:\\d\\sub"); }},
        {"age", [] { WinSetFileAge("C:\\d\\f.txt", EncodeDateTime(1999, 1, 1, 0, 0, 0, 0)); }},
        {"attr", [] { WinSetFileAttributes("C:\\d\\f.txt", FILE_ATTRIBUTE_READONLY); }},
        {"temp", [] { WinGetTempFileName("C:\\d", "bat"); }},
        {"deltree", [] { WinDeleteTree("C:\\d\\f.txt"); }},
    };
    struct stat before;
    ASSERT_EQ(stat((out.Dir + "/f.txt").c_str(), &before), 0);
    for (auto& [what, call] : calls) {
        reset();
        TSandbox::WriteHostFile(sb.C("src.txt"), "src");
        armed = true;
        try {
            call();
        } catch (const EWinError&) {
        }
        EXPECT_FALSE(armed) << what << ": the hook did not run";
        EXPECT_EQ(out.Entries(), (std::vector<std::string>{"f.txt", "g.txt"})) << what;
        EXPECT_EQ(TSandbox::ReadHostFile(out.Dir + "/f.txt"), "precious") << what;
        EXPECT_EQ(TSandbox::ReadHostFile(out.Dir + "/g.txt"), "precious") << what;
        struct stat after;
        ASSERT_EQ(stat((out.Dir + "/f.txt").c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode) << what;
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << what;
    }
    // A symlinked folder that stays inside the root still works.
    reset();
    ASSERT_EQ(symlink(dir.c_str(), sb.C("alias").c_str()), 0);
    WinWriteFile("C:\\alias\\via.txt", "ok");
    EXPECT_EQ(TSandbox::ReadHostFile(dir + "/via.txt"), "ok");
}

// Boot: an entry that cannot be done (source missing or outside the root, or an odd line of
// WININIT.INI) is skipped and reported, its target untouched, and the other entries are done.
TEST(WinConfinement, BootSkipsOnlyTheEntriesItCannotDo) {
    TSandbox sb("boot_skips");
    WinWriteFile("C:\\keep1.dll", "precious1");
    WinWriteFile("C:\\keep2.dll", "precious2");
    WinWriteFile("C:\\keep3.dll", "precious3");
    WinWriteFile("C:\\s1.dll", "new1");
    WinWriteFile("C:\\s2.dll", "new2");
    WinWriteFile("C:\\new.dll", "new");
    WinMoveFileDelayUntilReboot("C:\\new.dll", "C:\\keep3.dll", true);
    WinDeleteFile("C:\\new.dll");
    WinWriteFile(WinInitFile(), "[Rename]\r\nC:\\keep1.dll=C:\\missing.dll\r\n"
                                "C:\\t1.dll=C:\\s1.dll\r\nthis line is odd\r\n"
                                "C:\\keep2.dll=Z:\\etc\\hostname\r\nC:\\t2.dll=C:\\s2.dll\r\n");
    std::vector<std::string> report;
    WinSimulateBoot(report);
    EXPECT_EQ(WinReadFile("C:\\keep1.dll"), "precious1");
    EXPECT_EQ(WinReadFile("C:\\keep2.dll"), "precious2");
    EXPECT_EQ(WinReadFile("C:\\keep3.dll"), "precious3");
    EXPECT_EQ(WinReadFile("C:\\t1.dll"), "new1");
    EXPECT_EQ(WinReadFile("C:\\t2.dll"), "new2");
    ASSERT_EQ(report.size(), 4u);
    EXPECT_NE(report[0].find("keep3.dll"), std::string::npos) << report[0];
    EXPECT_NE(report[1].find("(4): line is neither"), std::string::npos) << report[1];
}

// INI text and machine settings: a line break (or "=" in a key) is refused before anything is
// written, so the file stays readable and no value can bring in a key of its own.
TEST(WinConfinement, IniAndSettingsRefuseLineBreaks) {
    TSandbox sb("ini_breaks");
    WinWritePrivateProfileString("S", "other", std::string("kept"), "C:\\t.ini");
    struct {
        std::string Section, Key, Value;
    } rows[] = {
        {"S", "k", "line1\nline2"},
        {"S", "k", "x\r\n[Rename]\r\nC:\\a=C:\\b"},
        {"S", "k\r\nC:\\a", "b"},
        {"S]\n[Rename", "k", "v"},
        {"S", "a=b", "v"},
        {"S", "k", std::string("a\0b", 3)},
    };
    for (auto& row : rows) {
        EXPECT_EQ(WinCodeOf([&] {
                      WinWritePrivateProfileString(row.Section, row.Key, row.Value, "C:\\t.ini");
                  }),
                  87u)
            << row.Key << "=" << row.Value;
    }
    EXPECT_EQ(TSandbox::ReadHostFile(sb.C("t.ini")), "[S]\r\nother=kept\r\n");
    EXPECT_EQ(TIniText::Parse(WinReadFile("C:\\t.ini"), "t.ini").Sections(),
              std::vector<std::string>{"S"});

    // A user name with line breaks: refused, and the machine settings still load.
    std::string root = TestTempPath("sandbox_user_breaks");
    fs::remove_all(root);
    TInitEnvOptions options;
    options.UserName = "Eve\r\n[Disks]\r\nCapacity=1";
    EXPECT_THROW(InitEnv(root, options), EWinEnvError);
    EXPECT_FALSE(fs::exists(root + "/winenv.ini"));
    UseSandbox(sb.Root);
    CurrentWinEnv().UserName = "Eve\nMallory";
    EXPECT_ANY_THROW(SaveWinEnv());
    ReloadWinEnv();
    EXPECT_NE(CurrentWinEnv().UserName, "Eve\nMallory");
    fs::remove_all(root);
}

// Registry: a subkey another process adds after RegDeleteKey's first look (the hook writes the
// hive file as that process would) keeps the key, and a hive without its header line (emptied) is
// damage, never overwritten.
TEST(WinConfinement, RegistryDeleteKeyRaceAndEmptiedHive) {
    TSandbox sb("reg_fixes");
    RegCreateKey(HKEY_LOCAL_MACHINE, "K");
    const std::string hklm = HiveFileName(HKEY_LOCAL_MACHINE);
    SetRegDeleteKeyHook([&] {
        TSandbox::WriteHostFile(hklm + ".other", TSandbox::ReadHostFile(hklm) + "[\\K\\Sub]\n");
        ASSERT_EQ(rename((hklm + ".other").c_str(), hklm.c_str()), 0);
    });
    TScopeExit unhook([] { SetRegDeleteKeyHook(nullptr); });
    EXPECT_FALSE(RegDeleteKey(HKEY_LOCAL_MACHINE, "K"));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, "K"));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, "K\\Sub"));

    std::string file = HiveFileName(HKEY_CURRENT_USER);
    RegCreateKey(HKEY_CURRENT_USER, "Software\\X");
    for (const std::string damage : {"", "[\\Software]\n"}) {
        TSandbox::WriteHostFile(file + ".copy", damage);
        ASSERT_EQ(rename((file + ".copy").c_str(), file.c_str()), 0);
        EXPECT_THROW(RegCreateKey(HKEY_CURRENT_USER, "Software\\Y"), ERegistryException);
        EXPECT_EQ(TSandbox::ReadHostFile(file), damage);
    }
}

// DELTREE keeps files in use (also under another name through a symlinked folder) and reports
// them; DELTREE of a drive root empties the drive and keeps it. A folder holding a file in use
// cannot be moved.
TEST(WinConfinement, DeltreeAndMovesRespectFilesInUse) {
    TSandbox sb("deltree");
    WinForceDirectories("C:\\App\\Sub");
    WinWriteFile("C:\\App\\locked.dll", "x");
    WinWriteFile("C:\\App\\Sub\\free.txt", "y");
    WinWriteFile("C:\\single.dll", "z");
    WinSetInUse("C:\\App\\locked.dll", true);
    WinSetInUse("C:\\single.dll", true);
    ASSERT_EQ(symlink(sb.C("App").c_str(), sb.C("alias").c_str()), 0);
    EXPECT_EQ(WinCodeOf([] { WinDeleteFile("C:\\alias\\locked.dll"); }), 32u);
    EXPECT_EQ(WinCodeOf([] { WinMoveFile("C:\\App", "C:\\Moved"); }), 32u);
    std::vector<std::string> report;
    RunBatchText("DELTREE /Y C:\\App\r\nDELTREE /Y C:\\single.dll\r\n", report);
    EXPECT_TRUE(WinFileExists("C:\\App\\locked.dll"));
    EXPECT_TRUE(WinFileExists("C:\\single.dll"));
    EXPECT_FALSE(WinDirectoryExists("C:\\App\\Sub"));
    EXPECT_EQ(report.size(), 2u);

    WinSimulateBoot(report); // clears the in-use list
    report.clear();
    RunBatchText("DELTREE /Y C:\\\r\n", report);
    EXPECT_TRUE(report.empty()) << report[0];
    EXPECT_TRUE(WinDirectoryExists("C:\\"));
    EXPECT_FALSE(WinPathExists("C:\\App"));
    EXPECT_TRUE(fs::is_empty(sb.C("")));
    EXPECT_EQ(WinCodeOf([] { WinWriteFile("C:\\after.txt", "y"); }), 0u);
}

// A rename that changes only the case gives the file the new case.
TEST(WinConfinement, CaseOnlyRenameTakesTheNewCase) {
    TSandbox sb("case_rename");
    WinWriteFile("C:\\readme.txt", "x");
    WinMoveFile("C:\\readme.txt", "C:\\README.TXT");
    EXPECT_TRUE(fs::exists(sb.C("README.TXT")));
    EXPECT_FALSE(fs::exists(sb.C("readme.txt")));
    EXPECT_EQ(WinReadFile("C:\\readme.txt"), "x");
}

// Drive A: never holds more than its capacity: not by a move (a host rename), nor by two files
// written at once.
TEST(WinConfinement, FloppyCapacityHoldsForMovesAndOpenFiles) {
    TSandbox sb("floppy_fixes");
    WinInsertDisk(1);
    const uint64_t capacity = CurrentWinEnv().DiskCapacity;
    WinWriteFile("C:\\big.bin", std::string(capacity + 1000, 'x'));
    EXPECT_EQ(WinCodeOf([] { WinMoveFile("C:\\big.bin", "A:\\big.bin"); }), 112u);
    EXPECT_FALSE(WinFileExists("A:\\big.bin"));
    EXPECT_TRUE(WinFileExists("C:\\big.bin"));
    TWinFsFile a, b;
    a.Create("A:\\a.bin");
    b.Create("A:\\b.bin");
    std::string chunk(capacity * 2 / 3, 'x');
    size_t wa = a.Write(chunk.data(), chunk.size());
    size_t wb = b.Write(chunk.data(), chunk.size());
    a.Close();
    b.Close();
    EXPECT_EQ(wa + wb, capacity);
    WinWriteFile("C:\\small.bin", "s");
    WinDeleteFile("A:\\b.bin");
    WinMoveFile("C:\\small.bin", "A:\\small.bin");
    EXPECT_EQ(WinReadFile("A:\\small.bin"), "s");
}

// A FIFO where a file is expected: every open of the file layer refuses it at once (a blocking
// open or read would hang the caller forever) and leaves it in place; a plain file still works.
TEST(WinConfinement, NonRegularFilesAreRefusedWithoutBlocking) {
    TSandbox sb("fifo");
    ASSERT_EQ(mkfifo(sb.C("pipe.ohl").c_str(), 0644), 0);
    TSandbox::WriteHostFile(sb.C("plain.txt"), "plain");
    ClearDirCache();
    std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"read", [] { WinReadFile("C:\\pipe.ohl"); }},
        {"copy from", [] { WinCopyFile("C:\\pipe.ohl", "C:\\copy.txt", false); }},
        {"copy onto", [] { WinCopyFile("C:\\plain.txt", "C:\\pipe.ohl", false); }},
        {"write", [] { WinWriteFile("C:\\pipe.ohl", "x"); }},
        {"open read", [] { TWinFsFile f; f.OpenRead("C:\\pipe.ohl"); }},
        {"open read-write", [] { TWinFsFile f; f.OpenReadWrite("C:\\pipe.ohl"); }},
    };
    for (auto& [what, call] : calls) {
        EXPECT_THROW(call(), EWinError) << what;
        struct stat st;
        ASSERT_EQ(lstat(sb.C("pipe.ohl").c_str(), &st), 0) << what;
        EXPECT_TRUE(S_ISFIFO(st.st_mode)) << what;
    }
    EXPECT_FALSE(WinFileExists("C:\\copy.txt"));
    EXPECT_EQ(WinReadFile("C:\\plain.txt"), "plain");
}
