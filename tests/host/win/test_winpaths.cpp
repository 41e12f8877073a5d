// The path boundary and the file services of the sandbox: mapping, case, confinement, dates,
// floppy capacity, in-use files.
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "support/sandbox.h"

using namespace zan;

TEST(WinPaths, NormalisationTable) {
    TSandbox box("norm");
    WinForceDirectories("C:\\work");
    WinSetCurrentDirectory("C:\\work");
    struct {
        std::string In;
        std::string Out;   // expected normal form, or empty with Code
        uint32_t Code;
    } rows[] = {
        {"C:\\a\\b", "C:\\a\\b", 0},
        {"c:/a//b/", "C:\\a\\b", 0},
        {"C:\\a\\/.\\b\\", "C:\\a\\b", 0},
        {"C:\\a\\..\\..\\..\\b", "C:\\b", 0},
        {"C:\\..", "C:\\", 0},
        {"C:\\name. ", "C:\\name", 0},
        {"\\x\\y", "C:\\x\\y", 0},
        {"rel\\f.txt", "C:\\work\\rel\\f.txt", 0},
        {"C:rel", "C:\\work\\rel", 0},
        {"a:\\setup.1", "A:\\setup.1", 0},
        {"Z:/usr/bin", "Z:\\usr\\bin", 0},
        {"D:\\x", "", ERROR_PATH_NOT_FOUND},
        {"\\\\server\\share\\f", "", ERROR_PATH_NOT_FOUND},
        {"//server/share", "", ERROR_PATH_NOT_FOUND},
        {std::string("C:\\a\0b", 6), "", ERROR_INVALID_NAME},
        {"C:\\a*b", "", ERROR_INVALID_NAME},
        {"C:\\a<b", "", ERROR_INVALID_NAME},
        {"C:\\a:b", "", ERROR_INVALID_NAME},
        {"", "", ERROR_PATH_NOT_FOUND},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.In);
        if (row.Code) {
            EXPECT_EQ(WinCodeOf([&] { NormalizeWinPath(row.In); }), row.Code);
        } else {
            EXPECT_EQ(NormalizeWinPath(row.In), row.Out);
        }
    }
}

TEST(WinPaths, HostMappingAndCase) {
    TSandbox box("case");
    TSandbox::WriteHostFile(box.C("Orvex/HELP/orvex.hlp"), "help");
    TSandbox::WriteHostFile(box.C("Dup/FOO"), "upper");
    TSandbox::WriteHostFile(box.C("Dup/foo"), "lower");
    TSandbox::WriteHostFile(box.C("Dup/Foo"), "mixed");
    struct {
        std::string In, Host;
    } rows[] = {
        {"C:\\ORVEX\\help\\ORVEX.HLP", box.C("Orvex/HELP/orvex.hlp")},
        {"c:\\orvex\\Help\\Orvex.hlp", box.C("Orvex/HELP/orvex.hlp")},
        {"C:\\Dup\\foo", box.C("Dup/foo")},        // exact case wins
        {"C:\\Dup\\Foo", box.C("Dup/Foo")},
        {"C:\\Dup\\fOO", box.C("Dup/FOO")},        // else the first in byte order
        {"C:\\ORVEX\\new\\x.txt", box.C("Orvex/new/x.txt")}, // missing tail keeps its case
        {"A:\\", box.Root + "/media/A/disk1"},
        {"Z:\\etc\\passwd", "/etc/passwd"},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.In);
        EXPECT_EQ(WinPathToHost(row.In), row.Host);
    }
    EXPECT_EQ(HostPathToWin(box.C("Orvex/HELP")), "C:\\Orvex\\HELP");
    EXPECT_EQ(HostPathToWin("/usr/bin/env"), "Z:\\usr\\bin\\env");
    EXPECT_TRUE(WinFileExists("Z:\\etc\\passwd"));

    // Creating a name that folds to an existing one opens that file.
    WinWriteFile("C:\\ORVEX\\HELP\\ORVEX.HLP", "new text");
    EXPECT_EQ(TSandbox::ReadHostFile(box.C("Orvex/HELP/orvex.hlp")), "new text");
    EXPECT_EQ(WinFindFiles("C:\\orvex\\help").size(), 1u);
    // Latin-1 letters fold too.
    TSandbox::WriteHostFile(box.C("Äpfel.txt"), "x");
    EXPECT_TRUE(WinFileExists("C:\\äPFEL.TXT"));
}

TEST(WinPaths, ConfinementRefusesEveryWriteOutsideTheRoot) {
    TSandbox box("confine");
    std::string outside = TestTempPath("outside_dir");
    std::filesystem::remove_all(outside);
    std::filesystem::create_directories(outside);
    TSandbox::WriteHostFile(outside + "/victim.txt", "keep");
    std::filesystem::create_directory_symlink(outside, box.C("escape"));
    std::filesystem::create_symlink(outside + "/victim.txt", box.C("link.txt"));

    std::vector<std::pair<std::string, std::function<void()>>> writes = {
        {"write through dir link", [] { WinWriteFile("C:\\escape\\new.txt", "x"); }},
        {"write through file link", [] { WinWriteFile("C:\\link.txt", "x"); }},
        {"mkdir", [] { WinCreateDirectory("C:\\escape\\sub"); }},
        {"force dirs", [] { WinForceDirectories("C:\\escape\\a\\b"); }},
        {"delete", [] { WinDeleteFile("C:\\escape\\victim.txt"); }},
        {"rename out", [] { WinMoveFile("C:\\Documents and Settings", "C:\\escape\\moved"); }},
        {"attributes", [] { WinSetFileAttributes("C:\\escape\\victim.txt", FILE_ATTRIBUTE_READONLY); }},
        {"date", [] { WinSetFileAge("C:\\escape\\victim.txt", 40000.0); }},
        {"Z: write", [] { WinWriteFile("Z:\\tmp\\zan_never.txt", "x"); }},
        {"copy to Z:", [] { WinCopyFile("C:\\link.txt", "Z:\\tmp\\zan_never2.txt", false); }},
    };
    for (auto& [what, write] : writes) {
        SCOPED_TRACE(what);
        EXPECT_EQ(WinCodeOf(write), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(TSandbox::ReadHostFile(outside + "/victim.txt"), "keep");
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(outside)) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
    EXPECT_FALSE(std::filesystem::exists("/tmp/zan_never.txt"));
    std::filesystem::remove_all(outside);
}

TEST(WinFs, DatesRoundTripAtTwoSecondsInEveryZone) {
    TSandbox box("dates");
    WinWriteFile("C:\\dated.txt", "x");
    const char* saved = std::getenv("TZ");
    std::string savedTz = saved ? saved : "";
    for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York"}) {
        setenv("TZ", zone, 1);
        tzset();
        for (TDateTime when : {EncodeDateTime(2024, 7, 1, 12, 34, 57, 0),
                               EncodeDateTime(2023, 1, 15, 3, 0, 10, 0),
                               EncodeDateTime(1999, 12, 31, 23, 59, 59, 0)}) {
            SCOPED_TRACE(std::string(zone) + " " + DateTimeToStr(when));
            WinSetFileAge("C:\\dated.txt", when);
            TDateTime back = WinFileAge("C:\\dated.txt");
            int y, mo, d, h, mi, s, ms;
            DecodeDateTime(when, y, mo, d, h, mi, s, ms);
            EXPECT_EQ(DateTimeToStr(back), DateTimeToStr(EncodeDateTime(y, mo, d, h, mi, s & ~1, 0)));
            WinSetFileAge("C:\\dated.txt", back);
            EXPECT_EQ(WinFileAge("C:\\dated.txt"), back);
        }
    }
    if (saved) setenv("TZ", savedTz.c_str(), 1);
    else unsetenv("TZ");
    tzset();
    EXPECT_EQ(WinFileAge("C:\\missing.txt"), -1);
}

TEST(WinFs, FloppyCapacityAndDiskChange) {
    TSandbox box("floppy");
    CurrentWinEnv().DiskCapacity = 1000;
    SaveWinEnv();
    WinWriteFile("A:\\part1.bin", std::string(600, 'a'));
    {
        TWinFsFile file;
        file.Create("A:\\part2.bin");
        std::string block(600, 'b');
        EXPECT_EQ(file.Write(block.data(), block.size()), 400u); // the disk is full
        EXPECT_EQ(file.Write(block.data(), 1), 0u);
    }
    EXPECT_EQ(WinCodeOf([] { WinWriteFile("A:\\part3.bin", "x"); }), ERROR_DISK_FULL);
    // Rewriting a file frees its old bytes first.
    WinWriteFile("A:\\part1.bin", std::string(600, 'c'));

    WinInsertDisk(2);
    EXPECT_FALSE(WinFileExists("A:\\part1.bin"));
    WinWriteFile("A:\\part2.bin", std::string(1000, 'd'));
    EXPECT_EQ(WinFileSize("A:\\part2.bin"), 1000u);
    // A later process sees the same disk in the drive.
    ReloadWinEnv();
    EXPECT_EQ(WinCurrentDisk(), 2);
    WinInsertDisk(1);
    EXPECT_EQ(WinFileSize("A:\\part2.bin"), 400u);
}

TEST(WinFs, InUseFilesCannotBeDeletedUntilBoot) {
    TSandbox box("inuse");
    WinWriteFile("C:\\locked.dll", "x");
    WinSetInUse("c:\\LOCKED.DLL", true);
    EXPECT_EQ(WinCodeOf([] { WinDeleteFile("C:\\locked.dll"); }), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(WinCodeOf([] { WinWriteFile("C:\\LOCKED.dll", "new"); }), ERROR_SHARING_VIOLATION);
    WinWriteFile("C:\\new.dll", "new");
    EXPECT_EQ(WinCodeOf([] { WinCopyFile("C:\\new.dll", "C:\\locked.dll", false); }), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(WinCodeOf([] { WinMoveFile("C:\\new.dll", "C:\\locked.dll", true); }), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(WinReadFile("C:\\locked.dll"), "x");
    ReloadWinEnv();
    EXPECT_EQ(WinCodeOf([] { WinDeleteFile("C:\\locked.dll"); }), ERROR_SHARING_VIOLATION);
    WinSetInUse("C:\\locked.dll", false);
    WinDeleteFile("C:\\locked.dll");
    EXPECT_EQ(WinCodeOf([] { WinDeleteFile("C:\\locked.dll"); }), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(WinCodeOf([] { WinDeleteFile("C:\\nodir\\locked.dll"); }), ERROR_PATH_NOT_FOUND);
}

TEST(WinFs, DirectoriesAttributesTempNamesAndCopies) {
    TSandbox box("misc");
    WinForceDirectories("C:\\A\\B\\C");
    EXPECT_TRUE(WinDirectoryExists("c:\\a\\b\\c"));
    EXPECT_EQ(WinCodeOf([] { WinCreateDirectory("C:\\A"); }), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WinCodeOf([] { WinCreateDirectory("C:\\X\\Y"); }), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(WinCodeOf([] { WinRemoveDirectory("C:\\A"); }), ERROR_DIR_NOT_EMPTY);

    WinWriteFile("C:\\A\\f.txt", "data");
    EXPECT_EQ(WinGetFileAttributes("C:\\A\\f.txt"), FILE_ATTRIBUTE_NORMAL);
    WinSetFileAttributes("C:\\A\\f.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(WinGetFileAttributes("C:\\A\\f.txt"), FILE_ATTRIBUTE_READONLY);
    WinSetFileAttributes("C:\\A", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(WinGetFileAttributes("C:\\A"), FILE_ATTRIBUTE_DIRECTORY);
    WinWriteFile("C:\\A\\still writable.txt", "x");
    EXPECT_EQ(WinGetFileAttributes("C:\\none"), INVALID_FILE_ATTRIBUTES);

    WinCopyFile("C:\\A\\f.txt", "C:\\A\\g.txt", true);
    EXPECT_EQ(WinCodeOf([] { WinCopyFile("C:\\A\\f.txt", "C:\\A\\g.txt", true); }), ERROR_FILE_EXISTS);
    EXPECT_EQ(WinReadFile("C:\\A\\g.txt"), "data");
    EXPECT_EQ(WinGetFileAttributes("C:\\A\\g.txt"), FILE_ATTRIBUTE_READONLY); // mode bits kept

    std::string temp = WinGetTempFileName(WinGetTempPath(), "bat");
    EXPECT_EQ(temp.rfind("C:\\WINDOWS\\TEMP\\bat", 0), 0u) << temp;
    EXPECT_EQ(temp.substr(temp.size() - 4), ".TMP");
    EXPECT_TRUE(WinFileExists(temp));
    EXPECT_NE(WinGetTempFileName(WinGetTempPath(), "bat"), temp);

    TSandbox::WriteHostFile(box.C("prog"), std::string("\x7f" "ELF") + "rest");
    WinMarkExecutableIfProgram("C:\\prog");
    EXPECT_EQ(access(box.C("prog").c_str(), X_OK), 0);
}

TEST(WinEnv, SettingsSurviveAndDamageIsNamed) {
    TSandbox box("env", {wp98, "Anna", true});
    EXPECT_EQ(CurrentWinEnv().Preset, wp98);
    EXPECT_EQ(WinGetWindowsDirectory(), "C:\\WINDOWS");
    EXPECT_EQ(WinGetSystemDirectory(), "C:\\WINDOWS\\SYSTEM");
    std::string text = TSandbox::ReadHostFile(box.Root + "/winenv.ini");
    EXPECT_NE(text.find("Windows=98\r\n"), std::string::npos);
    TWinEnv parsed;
    ParseWinEnv(text, "winenv.ini", parsed);
    EXPECT_EQ(SerializeWinEnv(parsed), text);

    struct {
        std::string Text, Error;
    } bad[] = {
        {"[Machine]\nWindows=3.11\n", "winenv.ini(2): bad value \"3.11\" for Windows"},
        {"[Machine]\r\nUser=x\r\nRebootMode=maybe\r\n", "winenv.ini(3): bad value \"maybe\" for RebootMode"},
        {"[Machine\n", "winenv.ini(1): section name without closing bracket"},
        {"[Disks]\nCapacity=-5\n", "winenv.ini(2): bad value \"-5\" for Capacity"},
        {"[Machine]\nno equals sign\n", "winenv.ini(2): line is neither a section nor key=value"},
        {"[InUse]\n1=C:\\ok.dll\n2=D:\\other.dll\n", "winenv.ini(3): bad value \"D:\\other.dll\" for 2"},
        {"[Network]\nStallTimeout=0\n", "winenv.ini(2): bad value \"0\" for StallTimeout"},
        {"[Network]\nLibrary=\n", "winenv.ini(2): bad value \"\" for Library"},
        {"[Network]\nProxy=x\n", "winenv.ini(2): bad value \"x\" for Proxy"},
    };
    for (auto& row : bad) {
        TWinEnv env;
        EXPECT_EQ(MessageOf<EWinEnvError>([&] { ParseWinEnv(row.Text, "winenv.ini", env); }),
                  row.Error);
    }
}

TEST(WinEnv, UserLanguageAndTextComparison) {
    TSandbox box("lang");
    struct {
        const char* Locale;
        uint16_t Id;
    } rows[] = {
        {"de_DE.UTF-8", 0x0407}, {"de", 0x0407},          {"fr_CA", 0x040C},   {"zh_TW.Big5", 0x0404},
        {"zh_CN.UTF-8", 0x0804}, {"nb_NO", 0x0414},       {"nn_NO", 0x0814},   {"pt_BR", 0x0416},
        {"pt_PT", 0x0816},       {"C", 0x0409},           {"POSIX", 0x0409},   {"dev", 0x0409},
        {"xx_YY", 0x0409},       {"en_US.UTF-8", 0x0409}, {"sv_SE@euro", 0x041D},
    };
    for (auto& r : rows)
        EXPECT_EQ(LangIDFromLocale(r.Locale), r.Id) << r.Locale;
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::string saved[3];
    bool had[3];
    for (int i = 0; i < 3; ++i) {
        const char* v = std::getenv(names[i]);
        had[i] = v != nullptr;
        saved[i] = v ? v : "";
    }
    unsetenv("LC_ALL");
    setenv("LC_MESSAGES", "fr_FR", 1);
    setenv("LANG", "de_DE", 1);
    EXPECT_EQ(WinGetUserDefaultLangID(), 0x040C);
    setenv("LC_ALL", "nb_NO", 1);
    EXPECT_EQ(WinGetUserDefaultLangID(), 0x0414);
    CurrentWinEnv().LangID = 0x0411; // the machine's setting wins
    EXPECT_EQ(WinGetUserDefaultLangID(), 0x0411);
    for (int i = 0; i < 3; ++i) {
        if (had[i]) setenv(names[i], saved[i].c_str(), 1);
        else unsetenv(names[i]);
    }
    EXPECT_EQ(WinCompareText("ÄPFEL", "äpfel"), 0);
    EXPECT_LT(WinCompareText("Apfel", "BIRNE"), 0);
    EXPECT_TRUE(SameName("Straße", "STRAßE"));
    EXPECT_FALSE(SameName("x×", "x÷")); // the multiplication sign is no letter
}

TEST(WinPaths, ListingsFollowChangesOfOtherProcesses) {
    TSandbox box("listings");
    TSandbox::WriteHostFile(box.C("Data/Foo.txt"), "first");
    EXPECT_EQ(WinPathToHost("C:\\data\\FOO.TXT"), box.C("Data/Foo.txt")); // listing cached
    // Another process replaces the file by one of other case and adds a second one.
    TChildProcess child([&](TChildProcess&) {
        std::filesystem::remove(box.C("Data/Foo.txt"));
        TSandbox::WriteHostFile(box.C("Data/FOO.TXT"), "second");
        TSandbox::WriteHostFile(box.C("Data/Bar.txt"), "third");
        return 0;
    });
    ASSERT_EQ(child.Wait(), 0);
    EXPECT_EQ(WinReadFile("C:\\data\\foo.txt"), "second");
    EXPECT_EQ(WinReadFile("C:\\DATA\\BAR.TXT"), "third");
    // Our own writes keep the listings current without a retry.
    WinDeleteFile("C:\\data\\foo.txt");
    WinWriteFile("C:\\Data\\fOO.txt", "fourth");
    EXPECT_EQ(WinPathToHost("C:\\DATA\\FOO.TXT"), box.C("Data/fOO.txt"));
}
