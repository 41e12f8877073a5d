// The installer routines over the sandbox: Windows version, strings, component names, files,
// registry, RunOnce, shell folders, the folder dialog's logic and the program launcher.
#include <gtest/gtest.h>

#include "host/rtl/ScopeExit.h"
#include "host/win/WinBoot.h"
#include "host/win/WinFs.h"
#include "host/win/WinProcess.h"
#include "setup/engine/AppServices.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TProgramLauncher.h"
#include "setup/engine/routines_API.h"
#include "setup/engine/routines_Components.h"
#include "setup/engine/routines_FileSystem.h"
#include "setup/engine/routines_Strings.h"
#include "support/sandbox.h"

using namespace zan;

TEST(RoutinesAPI, OSVersionTableAndPresets) {
    struct {
        uint32_t Platform, Major, Minor;
        TOSVerType Type;
    } rows[] = {
        {0, 3, 10, os31win32}, {1, 4, 0, oswin98},   {1, 4, 10, oswin98},  {1, 4, 90, oswinME},
        {1, 4, 3, oswin98},    {2, 3, 51, oswinNT351}, {2, 4, 0, oswinNT}, {2, 5, 0, oswin2K},
        {2, 5, 1, oswinXP},    {2, 5, 2, oswinXP},   {2, 6, 0, osUnidentified},
        {3, 5, 1, osUnidentified},
    };
    for (auto& r : rows)
        EXPECT_EQ(OSVerTypeFromVersion(r.Platform, r.Major, r.Minor), r.Type)
            << r.Platform << " " << r.Major << "." << r.Minor;
    struct {
        TWinPreset Preset;
        TOSVerType Type;
        const char* WindowsDir;
        const char* SystemDir;
    } presets[] = {
        {wp95, oswin98, "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
        {wp98, oswin98, "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
        {wpME, oswinME, "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
        {wpNT4, oswinNT, "C:\\WINNT", "C:\\WINNT\\system32"},
        {wp2000, oswin2K, "C:\\WINNT", "C:\\WINNT\\system32"},
        {wpXP, oswinXP, "C:\\WINDOWS", "C:\\WINDOWS\\system32"},
    };
    for (auto& p : presets) {
        TSandbox box("os" + PresetName(p.Preset), {p.Preset, "User", false});
        EXPECT_EQ(GetOSVerType(), p.Type) << PresetName(p.Preset);
        EXPECT_EQ(GetWindowsDir(), p.WindowsDir);
        EXPECT_EQ(GetSystemDir(), p.SystemDir);
    }
}

TEST(RoutinesAPI, TempNamesAndShortPaths) {
    TSandbox box("temp");
    std::string kept = CreateTempFileName(true);
    EXPECT_TRUE(WinFileExists(kept));
    EXPECT_EQ(kept.rfind("C:\\WINDOWS\\TEMP\\bat", 0), 0u);
    std::string dropped = CreateTempFileName(false);
    EXPECT_FALSE(WinFileExists(dropped));
    EXPECT_NE(kept, dropped);
    EXPECT_EQ(GetShortPath("C:\\Program Files"), "C:\\Program Files");
    EXPECT_EQ(GetShortPath("C:\\Nowhere"), "");
    std::filesystem::remove_all(box.C("WINDOWS/TEMP"));
    EXPECT_THROW(CreateTempFileName(true), EAPIRoutines);
}

TEST(RoutinesStrings, Table) {
    struct {
        std::string Text;
        char Sep;
        int Count;
        std::vector<std::string> Fields; // 1..Count+1
    } rows[] = {
        {"a;b", ';', 2, {"a", "b", ""}},
        {"a;b;", ';', 2, {"a", "b", ""}},
        {"", ';', 0, {""}},
        {";", ';', 1, {"", ""}},
        {"a,b,", ',', 3, {"a", "b", "", ""}}, // the end test is on ";" whatever the separator
        {"a,b;", ',', 1, {"a", "b;"}},
        {"x", ',', 1, {"x", ""}},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(r.Text);
        EXPECT_EQ(CountDelimitedFields(r.Text, r.Sep), r.Count);
        for (size_t i = 0; i < r.Fields.size(); ++i)
            EXPECT_EQ(GetDelimitedField(r.Text, static_cast<int>(i + 1), r.Sep), r.Fields[i]) << i + 1;
        TStringList list;
        list.Add("stale");
        SplitDelimited(r.Text, r.Sep, list);
        ASSERT_EQ(list.Count(), r.Count);
        for (int i = 0; i < r.Count; ++i)
            EXPECT_EQ(list[i], r.Fields[static_cast<size_t>(i)]);
    }
    EXPECT_EQ(AddTrailingBackslash("C:\\x"), "C:\\x\\");
    EXPECT_EQ(AddTrailingBackslash("C:\\x\\"), "C:\\x\\");
    EXPECT_EQ(AddTrailingBackslash(""), "");
    EXPECT_EQ(RemoveTrailingBackslash("C:\\x\\\\"), "C:\\x\\");
    EXPECT_EQ(RemoveTrailingBackslash(""), "");
    std::string result = "unchanged";
    TextAfterColon("no colon", result);
    EXPECT_EQ(result, "unchanged");
    TextAfterColon("key:value:more", result);
    EXPECT_EQ(result, "value:more");
    EXPECT_EQ(MakeValidFileName("a/b\"*:;<>?\\|c d.txt"), "a-bc d.txt");
}

TEST(RoutinesComponents, UniqueNames) {
    TComponent owner;
    EXPECT_EQ(InstallFileComponentBaseName("readme.txt"), "IFreadme_txt");
    EXPECT_EQ(InstallFileComponentBaseName("C:\\docs\\my-file v2.tar.gz"), "IFmyfilev2tar_gz");
    EXPECT_EQ(InstallFileComponentBaseName("Makefile"), "IFMakefile_");
    std::vector<TComponent*> files;
    for (int i = 0; i < 3; ++i) {
        auto* c = new TComponent(&owner);
        MakeUniqueComponentName(c, InstallFileComponentBaseName("readme.txt"));
        files.push_back(c);
    }
    EXPECT_EQ(files[0]->GetName(), "IFreadme_txt");
    EXPECT_EQ(files[1]->GetName(), "IFreadme_txt1");
    EXPECT_EQ(files[2]->GetName(), "IFreadme_txt2");
    auto* other = new TComponent(&owner);
    MakeUniqueComponentName(other, "IFREADME_TXT"); // names compare ignoring case
    EXPECT_EQ(other->GetName(), "IFREADME_TXT3");
    // A name no component accepts ends with the refusal, not a hang.
    auto* bad = new TComponent(&owner);
    EXPECT_THROW(MakeUniqueComponentName(bad, "not an identifier"), Exception);
}

TEST(RoutinesFileSystem, AttributesAndNearestDirectory) {
    TSandbox box("fsattr");
    WinForceDirectories("C:\\Orvex\\Data");
    WinWriteFile("C:\\Orvex\\Data\\f.db", "x");
    SetFileAttributesFromSet("C:\\Orvex\\Data\\f.db", {cfaReadOnly, cfaHidden, cfaCompressed});
    TCrvnFileAttributes attrs;
    GetFileAttributesAsSet("C:\\Orvex\\Data\\f.db", attrs);
    EXPECT_EQ(attrs, (TCrvnFileAttributes{cfaReadOnly}));
    SetFileAttributesFromSet("C:\\Orvex\\Data\\f.db", {cfaNormal});
    GetFileAttributesAsSet("C:\\Orvex\\Data\\f.db", attrs);
    EXPECT_EQ(attrs, (TCrvnFileAttributes{cfaNormal}));
    GetFileAttributesAsSet("C:\\missing", attrs);
    EXPECT_TRUE(attrs.Empty());
    EXPECT_EQ(MessageOf<IEfcSetAttributes>([] { SetFileAttributesFromSet("C:\\missing", {cfaReadOnly}); }),
              "Cannot set file attributes. Error : The system cannot find the file specified.");

    struct {
        std::string In, Out;
    } rows[] = {
        {"", ""},
        {"   ", ""},
        {"C:\\Orvex\\Data", "C:\\Orvex\\Data"},
        {"C:\\Orvex\\Data\\New\\Deeper", "C:\\Orvex\\Data"},
        {"C:\\Orvex\\Data\\f.db", "C:\\Orvex\\Data"},
        {"C:\\Nothing\\here", "C:\\"},
        {"Q:\\x\\y", ""},
        {"relative", "relative"}, // taken from the current directory (the root of C:)
    };
    WinForceDirectories("C:\\relative");
    for (auto& r : rows)
        EXPECT_EQ(NearestExistingDirectory(r.In), r.Out) << r.In;
    EXPECT_EQ(TOpenFolderDialog::InitialSelection("C:\\Orvex\\Data\\New\\"), "C:\\Orvex\\Data");
    EXPECT_EQ(TOpenFolderDialog::InitialSelection("C:\\Nothing"), "C:\\");
    EXPECT_EQ(LoadSystemString("COMDLG32.DLL", 703), "New Folder");
    EXPECT_EQ(TOFDResourceStrings::NewFolderPrompt(), "Enter a name for the new folder:");
    EXPECT_EQ(TOFDResourceStrings::BrowseTitle(), "Browse for Folder");
    EXPECT_EQ(LoadSystemString("shell32.dll", 1), "");
}

TEST(RoutinesFileSystem, FolderDialogLogic) {
    TSandbox box("folderdlg");
    WinForceDirectories("C:\\Orvex");
    std::string transcript = TestTempPath("folder.transcript");
    TScopeExit cleanup([&] {
        SetUserPrompts(nullptr);
        std::filesystem::remove(transcript);
    });
    // Create from an existing folder: asks for the name, creates it, reopens on it.
    THeadlessSession session("Browse for Folder [C:\\Orvex] => create C:\\Orvex\n"
                             "New Folder => input My Data\n"
                             "Browse for Folder [C:\\Orvex\\My Data] => OK\n",
                             "script", transcript);
    SetUserPrompts(&session);
    TOpenFolderDialog dialog;
    dialog.SetInitialDir("C:\\Orvex\\Missing\\Deeper");
    EXPECT_TRUE(dialog.Execute());
    EXPECT_EQ(dialog.GetChosenPath(), "C:\\Orvex\\My Data");
    EXPECT_TRUE(dialog.GetFolderCreated());
    EXPECT_TRUE(WinDirectoryExists("C:\\Orvex\\My Data"));
    EXPECT_EQ(session.Transcript().size(), 3u);

    // Create a typed path with its parents; the before-create event may refuse.
    THeadlessSession second("Browse => create C:\\Orvex\\A\\B\\C\nBrowse => Cancel\n"
                            "Browse => create C:\\Orvex\\Refused\n",
                            "script", transcript);
    SetUserPrompts(&second);
    TOpenFolderDialog typed;
    typed.SetInitialDir("C:\\Orvex");
    EXPECT_FALSE(typed.Execute()); // created, then the reopened dialog was cancelled
    EXPECT_TRUE(WinDirectoryExists("C:\\Orvex\\A\\B\\C"));
    EXPECT_EQ(typed.GetChosenPath(), "C:\\Orvex\\A\\B\\C");
    typed.OnBeforeCreateFolder = [](TObject*, bool& allow) { allow = false; };
    EXPECT_FALSE(typed.Execute());
    EXPECT_FALSE(WinDirectoryExists("C:\\Orvex\\Refused"));

    // A folder typed into the edit is made when the dialog closes with it.
    THeadlessSession third("Browse => folder C:\\Typed\\Path\n", "script", transcript);
    SetUserPrompts(&third);
    TOpenFolderDialog edit;
    EXPECT_TRUE(edit.Execute());
    EXPECT_TRUE(WinDirectoryExists("C:\\Typed\\Path"));
}

TEST(CrvnRegistry, ReadsWritesAndTrees) {
    TSandbox box("crvnreg", {wpXP, "User", false});
    EXPECT_EQ(RegReadString(hkLocalMachine, "\\Software\\Orvex", "Path", "dflt"), "dflt");
    EXPECT_EQ(RegReadInteger(hkLocalMachine, "\\Software\\Orvex", "N", -3), -3);
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Orvex")); // reads create nothing
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "Software"));

    RegWriteString(hkLocalMachine, "\\Software\\Orvex\\Engine", "Path", "C:\\Orvex");
    RegWriteInteger(hkLocalMachine, "\\Software\\Orvex\\Engine", "N", 5);
    EXPECT_EQ(RegReadString(hkLocalMachine, "\\SOFTWARE\\orvex\\engine", "path", ""), "C:\\Orvex");
    EXPECT_EQ(RegReadInteger(hkLocalMachine, "\\Software\\Orvex\\Engine", "N", 0), 5);
    // Wrong type or missing value: the default.
    EXPECT_EQ(RegReadInteger(hkLocalMachine, "\\Software\\Orvex\\Engine", "Path", 9), 9);
    EXPECT_EQ(RegReadString(hkLocalMachine, "\\Software\\Orvex\\Engine", "N", "d"), "d");

    TcrvnRegistry reg;
    SetRegistryRoot(reg, hkLocalMachine);
    EXPECT_EQ(reg.GetRootKey(), HKEY_LOCAL_MACHINE);
    SetRegistryRoot(reg, 17); // other values leave it
    EXPECT_EQ(reg.GetRootKey(), HKEY_LOCAL_MACHINE);
    EXPECT_EQ(RegistryRootFromKey(HKEY_USERS, -1), hkUsers);
    EXPECT_EQ(RegistryRootFromKey(HKEY_CLASSES_ROOT, -1), hkClassesRoot);
    EXPECT_EQ(RegistryRootFromKey(0x1234, -1), -1);
    ASSERT_TRUE(reg.OpenNestedKey("\\Software\\Orvex", false));
    ASSERT_TRUE(reg.OpenNestedKey("Engine\\Sub\\Leaf", true)); // relative to the open key
    EXPECT_EQ(reg.GetCurrentPath(), "Software\\Orvex\\Engine\\Sub\\Leaf");
    EXPECT_TRUE(reg.NestedKeyExists("\\Software\\Orvex\\Engine\\Sub"));
    EXPECT_FALSE(reg.NestedKeyExists("\\Software\\Orvex\\Nope"));
    RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Orvex\\Engine\\Other\\Deep");

    TcrvnRegistry tree;
    SetRegistryRoot(tree, hkLocalMachine);
    EXPECT_TRUE(tree.DeleteNestedKeyTree("\\Software\\Orvex\\Engine\\Other"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Orvex\\Engine\\Other"));
    RegDeleteKeyTree(hkLocalMachine, "\\Software\\Orvex");
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Orvex"));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, "Software"));
    RegDeleteKeyTree(hkLocalMachine, "\\Software\\Orvex"); // missing: nothing, no error

    // A damaged hive: writes raise their texts, reads answer defaults.
    TSandbox::WriteHostFile(box.Root + "/registry/HKCU.reg", "garbage\n");
    EXPECT_EQ(MessageOf<EIRCannotWriteValue>(
                  [] { RegWriteString(hkCurrentUser, "\\Software\\X", "Ident", "Value"); }),
              "Cannot install into registry. Key: \\Software\\X Ident: Ident Value Value");
    EXPECT_EQ(MessageOf<EIRCannotWriteValue>(
                  [] { RegWriteInteger(hkCurrentUser, "\\Software\\X", "Ident", 1); }),
              "\\Software\\X");
    EXPECT_EQ(RegReadString(hkCurrentUser, "\\Software\\X", "Ident", "d"), "d");
    RegDeleteKeyTree(hkCurrentUser, "\\Software\\X");
    EXPECT_FALSE(AddRunOnceEntry("Name", "cmd", true));
}

TEST(CrvnRegistry, RunOnceRootPerOSAndUniqueNames) {
    struct {
        TWinPreset Preset;
        HKEY Root;
    } rows[] = {{wp95, HKEY_LOCAL_MACHINE}, {wp98, HKEY_LOCAL_MACHINE}, {wpME, HKEY_LOCAL_MACHINE},
                {wpNT4, HKEY_CURRENT_USER}, {wp2000, HKEY_CURRENT_USER}, {wpXP, HKEY_CURRENT_USER}};
    for (auto& r : rows) {
        SCOPED_TRACE(PresetName(r.Preset));
        TSandbox box("runonce" + PresetName(r.Preset), {r.Preset, "User", false});
        EXPECT_TRUE(AddRunOnceEntry("CorvaneUnfinished", "\"C:\\setup.exe\" -r", true));
        EXPECT_TRUE(AddRunOnceEntry("CorvaneUnfinished", "second", true));
        EXPECT_TRUE(AddRunOnceEntry("CorvaneUnfinished", "third", true));
        EXPECT_TRUE(AddRunOnceEntry("CorvaneBatFile", "bat", false));
        EXPECT_TRUE(AddRunOnceEntry("CorvaneBatFile", "bat again", false));
        HKEY other = r.Root == HKEY_CURRENT_USER ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        EXPECT_TRUE(RegValueNames(other, RunOnceKeyPath).empty());
        EXPECT_EQ(RegValueNames(r.Root, RunOnceKeyPath),
                  (std::vector<std::string>{"CorvaneUnfinished", "CorvaneUnfinished1",
                                            "CorvaneUnfinished2", "CorvaneBatFile"}));
        EXPECT_EQ(RegQueryValue(r.Root, RunOnceKeyPath, "CorvaneUnfinished1")->Data, "second");
        EXPECT_EQ(RegQueryValue(r.Root, RunOnceKeyPath, "CorvaneBatFile")->Data, "bat again");
    }
}

TEST(RoutinesAPI, ShellFoldersWithAndWithoutSeeding) {
    {
        TSandbox box("shellseed", {wpXP, "Anna", true});
        const std::string profile = "C:\\Documents and Settings\\Anna";
        EXPECT_EQ(GetStartMenuDir(), profile + "\\Start Menu");
        EXPECT_EQ(GetProgramsMenuDir(), profile + "\\Start Menu\\Programs");
        EXPECT_EQ(GetDesktopDir(), profile + "\\Desktop");
        EXPECT_EQ(GetStartupDir(), profile + "\\Start Menu\\Programs\\Startup");
        EXPECT_EQ(GetProgramFilesDir(), "C:\\Program Files");
        EXPECT_EQ(GetCommonFilesDir(), "C:\\Program Files\\Common Files");
        EXPECT_TRUE(WinDirectoryExists(GetStartupDir()));
        // A value stored with a trailing "\" loses it.
        RegWriteString(hkCurrentUser, "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                       "Desktop", "C:\\Elsewhere\\");
        EXPECT_EQ(GetDesktopDir(), "C:\\Elsewhere");
    }
    {
        TSandbox box("shell98", {wp98, "User", true});
        EXPECT_EQ(GetStartMenuDir(), "C:\\WINDOWS\\Start Menu");
        EXPECT_EQ(GetDesktopDir(), "C:\\WINDOWS\\Desktop");
    }
    {
        TSandbox box("shellbare", {wp2000, "User", false});
        EXPECT_EQ(GetStartMenuDir(), "C:\\WINNT\\Startmen");
        EXPECT_EQ(GetProgramsMenuDir(), "C:\\WINNT\\Startmen\\Programs");
        EXPECT_EQ(GetDesktopDir(), "C:\\WINNT\\Desktop");
        EXPECT_EQ(GetStartupDir(), "C:\\WINNT\\Startup");
        WinForceDirectories("A:\\");
        WinSetCurrentDirectory("A:\\");
        EXPECT_EQ(GetProgramFilesDir(), "A:\\Program Files");
        EXPECT_EQ(GetCommonFilesDir(), "A:\\Program Files\\Common Files");
        WinSetCurrentDirectory("C:\\");
    }
}

TEST(ProgramLauncher, StartsAndReportsTheRealLaunchCode) {
    TSandbox box("launcher");
    TSandbox::WriteHostFile(box.C("bin/rec"),
                            "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > \"$ORVEX_SANDBOX/out\"\n");
    TSandbox::WriteHostFile(box.C("bin/text.txt"), "text");
    TProgramLauncher launcher;
    EXPECT_EQ(launcher.Action, "Open");
    EXPECT_EQ(launcher.ShowMode, smNormal);
    EXPECT_EQ(launcher.Timeout, -1);
    EXPECT_TRUE(launcher.Wait);
    launcher.FileName = "C:\\BIN\\REC";
    launcher.Parameters = "-r \"C:\\Program Files\\x\"";
    launcher.Execute();
    EXPECT_EQ(WinWaitProcess(launcher.GetProcessId()), 0);
    EXPECT_EQ(TSandbox::ReadHostFile(box.Root + "/out"), "[-r][C:\\Program Files\\x]");

    struct {
        std::string File;
        int Code;
        std::string Text;
    } rows[] = {
        {"C:\\bin\\missing.exe", 2, "File not found"},
        {"C:\\nodir\\missing.exe", 3, "Path not found"},
        {"C:\\bin", 5, "Sharing violation"},
        {"C:\\bin\\text.txt", 5, "Sharing violation"},
        {"", 2, "File not found"},
    };
    for (auto& r : rows) {
        launcher.FileName = r.File;
        try {
            launcher.Execute();
            ADD_FAILURE() << r.File;
        } catch (const EProgramLauncherFailed& e) {
            EXPECT_EQ(e.ErrorCode, r.Code) << r.File;
            EXPECT_EQ(e.Message(), r.Text) << r.File;
        }
    }
    EXPECT_EQ(LaunchErrorText(0), "Out of memory");
    EXPECT_EQ(LaunchErrorText(13), "Invalid DOS version");
    EXPECT_EQ(LaunchErrorText(31), "File type has no association");
    EXPECT_EQ(LaunchErrorText(21), "Application requires Win32");
    EXPECT_EQ(LaunchErrorText(99), "Unknown error");
    EXPECT_EQ(ShowModeCommand(smNormal), 1);
    EXPECT_EQ(ShowModeCommand(smMaximized), 3);
    EXPECT_EQ(ShowModeCommand(smMinimized), 2);
    EXPECT_EQ(ShowModeCommand(smHide), 0);
}
