// The install component's run, install files and the registry writers on a fresh machine each:
// the command line, the run's phases and ends, the install record and the unfinished list,
// replace at reboot, self-registration and the uninstall record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "host/win/WinBatch.h"
#include "host/win/WinBoot.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinIni.h"
#include "host/win/WinProcess.h"
#include "host/win/WinRegistry.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/cmp_TInstallRegistry.h"
#include "setup/engine/cmp_TTranslator.h"
#include "setup/engine/routines_Strings.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

using TLines = std::vector<std::string>;

// Every value below key, one line each ("sub\\name=data"), subkeys after values, both sorted.
void DumpKey(HKEY root, const std::string& key, const std::string& prefix, TLines& out) {
    std::vector<std::string> names = RegValueNames(root, key);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        TRegValue v = *RegQueryValue(root, key, name);
        std::string data = v.Data;
        if (v.Type == rdInteger) {
            uint32_t n = 0;
            for (int i = 3; i >= 0; --i)
                n = n << 8 | static_cast<uint8_t>(v.Data[static_cast<size_t>(i)]);
            data = "#" + std::to_string(static_cast<int32_t>(n));
        }
        out.push_back(prefix + name + "=" + data);
    }
    std::vector<std::string> subs = RegSubKeyNames(root, key);
    std::sort(subs.begin(), subs.end());
    for (const std::string& sub : subs)
        DumpKey(root, key + "\\" + sub, prefix + sub + "\\", out);
}

TLines Dump(const std::string& key) {
    TLines out;
    if (RegKeyExists(HKEY_LOCAL_MACHINE, key)) DumpKey(HKEY_LOCAL_MACHINE, key, "", out);
    return out;
}

std::string Str(const std::string& key, const std::string& name) {
    return RegReadString(hkLocalMachine, key, name, "<none>");
}

// A script on a fresh machine: the install (not run automatically) and a directory.
struct TRun {
    explicit TRun(const std::string& name, TInitEnvOptions options = {})
        : Box(name, options) {
        Install = new TInstall(&Owner);
        Install->SetName("Install");
        Install->SetRunAutomatic(false);
        // The distributables are built into (and installed from) C:\dist.
        Install->SetUseLoadingProgram(true);
        Install->SetSwitch('s', true, "C:\\dist");
        Install->Information = {"Corp", "Prod", "2.1"};
        Dir = new TInstallDirectory(&Owner);
        Dir->SetName("MainDir");
        Dir->SetContainer(Install);
        Dir->SetDestDir("\\Prod");
        Install->SetDestDir("\\Prod");
        Install->OnBeforeNotifyGoodInstall = [this](TObject*) { Trace.push_back("good"); };
        Install->OnBeforeNotifyBadInstall = [this](TObject*) { Trace.push_back("bad"); };
        Install->OnAfterInstallObjects = [this](TObject*, bool aborted) {
            Trace.push_back(aborted ? "objects aborted" : "objects");
        };
    }
    ~TRun() { SetCommandLineArgs({}); }
    // A source file under C:\src and its file component in the directory.
    TInstallFile* File(const std::string& name, const std::string& text = "data") {
        TSandbox::WriteHostFile(Box.C("src/" + name), text);
        auto* f = new TInstallFile(&Owner);
        f->SetName("f" + std::to_string(++Files));
        f->SetContainer(Dir);
        f->SetIncludeFromDir("C:\\src");
        f->SetFileName(name);
        return f;
    }
    // Packs the script's files into C:\dist\files.1, as a traditional build does.
    void Build() { Install->Compress(46); }
    // Puts the installed file in place, as the copy would.
    void Place(TCustomInstallFile* f, const std::string& text = "old") {
        WinForceDirectories(f->GetDestinationPath());
        WinWriteFile(f->GetDestinationFile(), text);
    }
    TSandbox Box;
    TDataModule Owner;
    TCustomInstall* Install;
    TInstallDirectory* Dir;
    TLines Trace;
    int Files = 0;
};

const std::string Uninstall = std::string(UninstallKeyPrefix) + "Prod";

} // namespace

TEST(InstallRun, CommandLineSwitches) {
    TRun r("cmdline");
    const char* invalid = "Invalid parameter <%s>. Valid command line parameters are: -b (Build), -d "
                          "(Debug), -f (Transfer to floppies), -e (Called by self-extractor), -r "
                          "(After reboot)";
    struct {
        TLines Args;
        std::string Error;   // "" when accepted
        std::string Switches; // letters set, in "bfdersnc" order
        std::string SValue;
    } cases[] = {
        {{"*TODISK"}, "", "", ""},
        {{"-x"}, Format(invalid, {"-x"}), "", ""},
        {{"-"}, Format(invalid, {"-"}), "", ""},
        {{"r"}, Format(invalid, {"r"}), "", ""},
        {{"-Sc:\\My Build"}, "", "s", "c:\\My Build"},
        {{"-R", "*q", "-C", "-n"}, "", "rsnc", ""},
        {{"-e/tmp/setup.exe", "-s" + std::string(300, 'x')}, "", "es", std::string(300, 'x')},
    };
    for (const auto& c : cases) {
        SetCommandLineArgs(c.Args);
        std::string error = MessageOf<IEInstall>([&] { r.Install->ParseCommandLine(); });
        EXPECT_EQ(error, c.Error.empty() ? "(nothing raised)" : c.Error) << c.Args[0];
        if (!c.Error.empty()) continue;
        std::string set;
        for (char l : std::string("bfdersnc"))
            if (r.Install->HasSwitch(l)) set += l;
        std::string expected = c.Switches;
        if (c.Switches == "rsnc") expected = "rnc";
        EXPECT_EQ(set, expected) << c.Args[0];
        EXPECT_EQ(r.Install->SwitchValue('s'), c.SValue);
    }
    // -d without -s, and the running type chosen from the install types.
    SetCommandLineArgs({"-d"});
    EXPECT_EQ(MessageOf<IEInstall>([&] { r.Install->Loaded(); }),
              "You forgot to pass in the build directory. In Run | Parameters, follow this "
              "format: -d \"-sC:\\My Build\"");
    SetCommandLineArgs({});
    r.Install->SetInstallTypes({itFull, itCompact});
    r.Install->Loaded();
    EXPECT_EQ(r.Dir->GetRunningType(), itCompact);
    r.Install->SetInstallTypes({});
    EXPECT_EQ(r.Install->GetInstallTypes(), TInstallTypeSet{itFull});
    // -e in host form is mapped back to Windows form for the setup file.
    SetCommandLineArgs({"-e" + r.Box.C("dist/setup.exe"), "-sC:\\dist"});
    r.Install->ParseCommandLine();
    EXPECT_EQ(r.Install->GetSetupFileName(), "C:\\dist\\setup.exe");
    SetCommandLineArgs({"-esetup.exe", "-sC:\\dist\\"});
    r.Install->ParseCommandLine();
    EXPECT_EQ(r.Install->GetSetupFileName(), "C:\\dist\\setup.exe");
}

TEST(InstallRun, OwnerAndSecondInstall) {
    TSandbox box("owner");
    TComponent plain;
    EXPECT_EQ(MessageOf<IEInstall>([&] { new TInstall(&plain); }),
              "The Owner of the TInstall component must either be a class of type TCustomForm "
              "(Delphi 3) or TForm (Delphi 2.0,C++Builder 1.0)");
    TDataModule owner;
    auto* install = new TInstall(&owner);
    EXPECT_EQ(MessageOf<IEInstall>([&] { new TInstall(&owner); }),
              "The TInstall component does not currently support the use of 2 TInstall "
              "components in the same project");
    // Without a main form the run cannot start by itself.
    EXPECT_NE(MessageOf<IEInstall>([&] { install->Loaded(); }).find("Application.MainForm is undefined"),
              std::string::npos);
}

TEST(InstallRun, RegistryWritersAndUninstallRecord) {
    TRun r("regwriters");
    auto* custom = new TPathSpecifier(&r.Owner);
    custom->OnGetPath = [](TComponent*, std::string& path) { path = "C:\\Custom"; };
    auto* w1 = new TInstallRegistry(&r.Owner);
    w1->SetName("Keys1");
    w1->SetContainer(r.Install);
    w1->SetKeySpecifierType(ksVersion);
    auto add = [](TCustomInstallRegistry* w, const std::string& ident) {
        TRegistryEntry* e = w->GetEntries().Add();
        e->SetIdent(ident);
        return e;
    };
    add(w1, "Path")->SetPathSpecifier(custom);
    add(w1, "Literal")->SetText("%p\\bin");
    add(w1, "Count")->SetInteger(7);
    add(w1, "Flag")->SetBoolean(true);
    add(w1, "Skip")->SetText("never");
    w1->OnBeforeWriteEntry = [](TObject*, TRegistryEntry* e, bool& write) {
        if (e->GetIdent() == "Skip") write = false;
    };
    auto* w2 = new TInstallRegistry(&r.Owner);
    w2->SetName("Keys2");
    w2->SetContainer(r.Install);
    w2->SetKey("\\SOFTWARE\\Other\\");
    add(w2, "Name")->SetText("x");
    auto* un = new TUninstallEXE(&r.Owner);
    un->SetName("Uninstaller");
    un->SetContainer(r.Dir);
    un->SetIncludeFromDir("C:\\src");
    TSandbox::WriteHostFile(r.Box.C("src/uninstall.exe"), "uninstaller");
    un->SetFileName("uninstall.exe");
    r.Install->win2KExtendedInformation.HelpLink = "http://help";
    r.Install->RegistrationInformation.RegOwner = "Owner";

    r.Build();
    r.Install->Process();
    EXPECT_EQ(Dump("\\SOFTWARE\\Corp\\Prod\\2.1"),
              (TLines{"Count=#7", "Flag=#1", "Literal=%p\\bin", "Path=C:\\Custom"}));
    EXPECT_EQ(Dump("\\SOFTWARE\\Other"), TLines{"Name=x"});
    // The uninstall key: the record, the writers' keys, the uninstaller's own entry.
    std::string dest = "C:\\Program Files\\Prod\\Prod\\uninstall.exe";
    EXPECT_EQ(Dump(Uninstall),
              (TLines{"DisplayName=Prod", "DisplayVersion=2.1", "HelpLink=http://help",
                      "Publisher=Corp", "RegOwner=Owner", "UninstallString=" + dest + " Prod",
                      "RegistryKeys\\Entries=2",
                      "RegistryKeys\\RegistryKey1\\Key=\\SOFTWARE\\Corp\\Prod\\2.1",
                      "RegistryKeys\\RegistryKey1\\Root=4",
                      "RegistryKeys\\RegistryKey1\\Entries\\Count=7",
                      "RegistryKeys\\RegistryKey1\\Entries\\Flag=True",
                      "RegistryKeys\\RegistryKey1\\Entries\\Literal=%p\\bin",
                      "RegistryKeys\\RegistryKey1\\Entries\\Path=C:\\Custom",
                      "RegistryKeys\\RegistryKey1\\Entries\\Skip=never",
                      "RegistryKeys\\RegistryKey2\\Key=\\SOFTWARE\\Other",
                      "RegistryKeys\\RegistryKey2\\Root=4",
                      "RegistryKeys\\RegistryKey2\\Entries\\Name=x"}));
    // The phase text was shown once, and the good end was reached.
    EXPECT_EQ(r.Trace, (TLines{"objects", "good"}));
    EXPECT_EQ(r.Install->GetOutcome(), roGoodInstall);

    // Key rules: a non-absolute type stores no key; without a TInstall it cannot be chosen.
    w2->SetKeySpecifierType(ksCompanyName);
    EXPECT_EQ(w2->GetKey(), "\\SOFTWARE\\Corp");
    w2->SetKey("\\Ignored");
    EXPECT_EQ(w2->GetStoredKey(), "");
}

TEST(InstallRun, UninstallEntriesGoldenFiveFiles) {
    TRun r("golden");
    r.File("app.exe");
    r.File("readme.txt");
    auto* ocx = r.File("grid.ocx");
    auto* hlp = r.File("app.hlp");
    r.File("data.bin");
    r.Install->win2KExtendedInformation.DisplayIcon = ocx;
    EXPECT_TRUE(hlp->GetRegisterAsHelp());
    r.Build();
    r.Install->SetRunning(true);
    r.Install->TFileContainer::Process(); // the file pass alone
    r.Install->SetRunning(false);
    // Every file is in place with its source's date; the OCX, no library, waits for the retry.
    for (auto* f : InstallFileList()) {
        EXPECT_EQ(WinReadFile(f->GetDestinationFile()), "data") << f->GetName();
        EXPECT_EQ(WinFileAge(f->GetDestinationFile()), WinFileAge(f->GetSourcePath()));
    }
    EXPECT_EQ(RetryRegisterList(), std::vector<TCustomInstallFile*>{ocx});
    RetryRegisterList().clear();
    std::string dir = "C:\\Program Files\\Prod\\Prod\\";
    EXPECT_EQ(Dump(Uninstall),
              (TLines{"ActiveX\\Entries=1", "ActiveX\\File1=C:\\WINDOWS\\system32\\grid.ocx;0",
                      "Files\\Entries=4", "Files\\File1=" + dir + "data.bin",
                      "Files\\File2=" + dir + "app.hlp", "Files\\File3=" + dir + "readme.txt",
                      "Files\\File4=" + dir + "app.exe"}));
}

TEST(InstallRun, FilePropertyRulesAndIds) {
    TRun r("rules");
    struct {
        std::string Name;
        bool ActiveX, Help, Counter;
        TInstallFileType Type;
        std::string Dest;
    } cases[] = {
        {"a.ocx", true, false, true, iftSystemWideDLL, "C:\\WINDOWS\\system32"},
        {"b.TLB", true, false, true, iftSystemWideDLL, "C:\\WINDOWS\\system32"},
        {"c.hlp", false, true, false, iftNormal, "C:\\Program Files\\Prod\\Prod"},
        {"d.CNT", false, true, false, iftNormal, "C:\\Program Files\\Prod\\Prod"},
        {"e.dll", false, false, false, iftNormal, "C:\\Program Files\\Prod\\Prod"},
    };
    for (const auto& c : cases) {
        auto* f = r.File(c.Name);
        EXPECT_EQ(f->GetActiveX(), c.ActiveX) << c.Name;
        EXPECT_EQ(f->GetRegisterAsHelp(), c.Help) << c.Name;
        EXPECT_EQ(f->GetUpdateDLLCounter(), c.Counter) << c.Name;
        EXPECT_EQ(f->GetFileType(), c.Type) << c.Name;
        EXPECT_EQ(f->GetDestinationPath(), c.Dest) << c.Name;
        EXPECT_EQ(f->GetDestName(), c.Name);
    }
    auto* dll = r.File("f.dll");
    dll->SetFileType(iftApplicationSpecificDLL);
    EXPECT_EQ(dll->GetDestinationPath(), "C:\\Program Files\\Prod\\System");
    dll->SetFileType(iftVendorSharedDLL);
    EXPECT_TRUE(dll->GetUpdateDLLCounter());
    EXPECT_EQ(dll->GetDestinationPath(), "C:\\Program Files\\Common Files\\System");
    // A library placed in the system directory becomes system-wide.
    auto* lib = r.File("g.dll");
    lib->SetDestDirType(StandardSpecifier<TpsSystem>());
    EXPECT_EQ(lib->GetFileType(), iftSystemWideDLL);
    // A duplicate source is refused and the file keeps its name.
    auto* dup = r.File("h.txt");
    EXPECT_EQ(MessageOf<IEfcDuplicateFile>([&] { dup->SetFileName("a.ocx"); }),
              "There is already a file with the name :C:\\src\\a.ocx");
    EXPECT_EQ(dup->GetFileName(), "h.txt");
    // A non-file container is refused.
    EXPECT_NE(MessageOf<IECustomInstallFile>([&] { dup->SetContainer(nullptr), dup->SetContainer(
                  new TInstallRegistry(&r.Owner)); })
                  .find("requires the Container property"),
              std::string::npos);

    // Ids: every slot taken raises; two loaded files with one id raise at Loaded.
    std::vector<TInstallFile*> many;
    while (many.size() + static_cast<size_t>(r.Files) < static_cast<size_t>(MaxFileIds))
        many.push_back(new TInstallFile(&r.Owner));
    EXPECT_EQ(MessageOf<IECustomInstallFile>([&] { new TInstallFile(&r.Owner); }),
              "No file id is free: a script holds at most 2000 files");
    for (auto* f : many)
        delete f;
    auto* x = new TInstallFile(&r.Owner);
    auto* y = new TInstallFile(&r.Owner);
    x->SetName("X");
    y->SetName("Y");
    x->SetLoading(true);
    y->SetLoading(true);
    x->SetUniqueID(55);
    y->SetUniqueID(55);
    EXPECT_EQ(MessageOf<IECustomInstallFile>([&] { y->Loaded(); }),
              "The file id 55 of Y is already taken by X");
}

namespace {
// Replace at reboot with the pending-list write failing.
class TFailingMoveFile : public TInstallFile {
public:
    using TInstallFile::TInstallFile;
    void MoveAtReboot(const std::string&, const std::string&) override {
        throw EWinError(5, "PendingFileRenameOperations");
    }
};
// x.dll of the run's directory, installed and in use, its new version under C:\src.
TFailingMoveFile* FailingMoveFileInUse(TRun& r) {
    TSandbox::WriteHostFile(r.Box.C("src/x.dll"), "new");
    auto* f = new TFailingMoveFile(&r.Owner);
    f->SetName("X");
    f->SetContainer(r.Dir);
    f->SetIncludeFromDir("C:\\src");
    f->SetFileName("x.dll");
    r.Place(f);
    WinSetInUse(f->GetDestinationFile(), true);
    return f;
}
} // namespace

TEST(InstallRun, ReplaceAtRebootNTNineXAndBatchFallback) {
    for (TWinPreset preset : {wpXP, wp98}) {
        TRun r("reboot" + PresetName(preset), {preset, "User", true});
        SetInstallRecordKey(r.Install->OpenInstallRecord(true));
        auto* f = r.File("lib.dll");
        f->SetRegisterAsHelp(true);
        r.Place(f);
        // A free destination needs nothing; one in use gets the first free temporary name.
        f->ReplaceAtReboot();
        EXPECT_FALSE(f->GetReplacedAtReboot());
        WinSetInUse(f->GetDestinationFile(), true);
        WinWriteFile(f->GetDestinationPath() + "\\lib.1", "taken");
        f->ReplaceAtReboot();
        EXPECT_TRUE(f->GetReplacedAtReboot());
        EXPECT_EQ(f->GetRebootName(), "lib.2");
        EXPECT_TRUE(r.Install->GetReboot());
        std::string dest = f->GetDestinationFile();
        std::string temp = f->GetDestinationPath() + "\\lib.2";
        if (preset == wp98) {
            EXPECT_EQ(WinGetPrivateProfileString("Rename", dest, "", "C:\\WINDOWS\\WININIT.INI"), temp);
        } else {
            TRegistry reg;
            reg.SetRootKey(HKEY_LOCAL_MACHINE);
            reg.OpenKey(SessionManagerKey, false);
            std::vector<std::string> pending;
            reg.ReadMultiString(PendingRenamesValue, pending);
            EXPECT_EQ(pending, (std::vector<std::string>{"\\??\\" + temp, "!\\??\\" + dest}));
        }
        // The post-copy steps keep the real name and enter the file as unfinished.
        f->PostCopySteps();
        f->WriteUninstallInformation(Uninstall);
        EXPECT_EQ(Str(HelpKey, "LIB.DLL"), f->GetDestinationPath());
        EXPECT_EQ(Str(Uninstall + "\\Files", "File1"), dest);
        TStringList lines;
        r.Install->ReadUnfinished(lines);
        EXPECT_EQ(lines.Count(), 1);
        EXPECT_EQ(lines.Get(0), "f1;0");
        r.Install->RemoveInstallRecord();
    }
    // The pending list cannot be written: a batch file moves the copy at the next start.
    TRun r("rebootbat");
    SetInstallRecordKey(r.Install->OpenInstallRecord(true));
    auto* f = FailingMoveFileInUse(r);
    f->ReplaceAtReboot();
    std::string batch = RegReadString(hkCurrentUser, RunOnceKeyPath, "CorvaneBatFile", "");
    ASSERT_FALSE(batch.empty());
    EXPECT_EQ(WinFileExtUpper(batch), ".BAT");
    std::string dest = f->GetDestinationFile();
    EXPECT_EQ(WinReadFile(batch), "erase " + dest + "\r\nmove " + f->GetDestinationPath() +
                                      "\\x.1 " + dest + "\r\n");
    TStringList lines;
    r.Install->ReadUnfinished(lines);
    ASSERT_EQ(lines.Count(), 1);
    EXPECT_EQ(lines.Get(0), batch + ";1");
    r.Install->RemoveInstallRecord();
}

// The batch fallback's unquoted lines (names with blanks, as the short names are the long names
// here) beside another product's folder whose name is a leading part of the destination's: the
// boot moves the new file in and leaves the other folder alone.
TEST(InstallRun, BatchFallbackWithBlanksBesideAnotherProductsFolder) {
    TRun r("rebootbatblank");
    r.Install->SetDestDir("\\Orvex Test");
    r.Dir->SetDestDir("\\Orvex Test");
    SetInstallRecordKey(r.Install->OpenInstallRecord(true));
    WinForceDirectories("C:\\Program Files\\Orvex");
    WinWriteFile("C:\\Program Files\\Orvex\\keep.txt", "other product");
    auto* f = FailingMoveFileInUse(r);
    ASSERT_NE(f->GetDestinationPath().find(' '), std::string::npos);
    f->ReplaceAtReboot();
    ASSERT_TRUE(f->GetReplacedAtReboot());
    WinWriteFile(f->GetDestinationPath() + "\\" + f->GetRebootName(), "new");
    std::vector<std::string> report;
    WinSimulateBoot(report);
    EXPECT_EQ(report, std::vector<std::string>{});
    EXPECT_EQ(WinFileExists(f->GetDestinationFile()) ? WinReadFile(f->GetDestinationFile()) : "<gone>", "new");
    EXPECT_EQ(WinReadFile("C:\\Program Files\\Orvex\\keep.txt"), "other product");
    SetInstallRecordKey("");
}

// Counters left at the top of the 32-bit range by earlier runs or other programs stay there
// (saturate) instead of overflowing.
TEST(InstallRun, CountersAtTheTopOfTheRange) {
    TRun r("counters");
    auto* shared = r.File("lib.dll");
    r.Place(shared);
    RegWriteInteger(hkLocalMachine, SharedDLLsKey, shared->GetDestinationFile(), INT32_MAX);
    shared->UpdateSharedDLLs();
    EXPECT_EQ(RegReadInteger(hkLocalMachine, SharedDLLsKey, shared->GetDestinationFile(), 0), INT32_MAX);
    auto* file = r.File("readme.txt");
    r.Place(file);
    RegWriteString(hkLocalMachine, Uninstall + "\\Files", "Entries", "2147483647");
    file->WriteUninstallInformation(Uninstall);
    EXPECT_EQ(Str(Uninstall + "\\Files", "Entries"), "2147483647");
    auto* keys = new TInstallRegistry(&r.Owner);
    keys->SetContainer(r.Install);
    keys->SetKeySpecifierType(ksProductName);
    RegWriteString(hkLocalMachine, Uninstall + "\\RegistryKeys", "Entries", "2147483647");
    keys->WriteUninstallInformation(Uninstall);
    EXPECT_EQ(Str(Uninstall + "\\RegistryKeys", "Entries"), "2147483647");
}

TEST(InstallRun, SelfRegistration) {
    TRun r("selfreg");
    std::string marker = r.Box.Root + "/registered.txt";
    setenv("ZAN_REGSERVER_MARKER", marker.c_str(), 1);
    struct {
        const char* Module;
        std::string Expect; // part of the message; "" when it registers
    } cases[] = {
        // A server that throws or cannot start is a failed registration, and the next works.
        {REGSERVER_THROW, "DllRegisterServer function returned a value of -2147418113"},
        {REGSERVER_INITTHROW, "procedure returned a value of 0"},
        {REGSERVER_OK, ""},
        {REGSERVER_FIVE, "DllRegisterServer function returned a value of 5"},
        {REGSERVER_MISSING, "DllRegisterServer function could not be found"},
        {nullptr, "procedure returned a value of 0"}, // not an ELF file
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string name = "srv" + std::to_string(++n) + ".ocx";
        auto* f = r.File(name);
        std::string content = c.Module ? TSandbox::ReadHostFile(c.Module) : "MZ not a library";
        WinForceDirectories(f->GetDestinationPath());
        WinWriteFile(f->GetDestinationFile(), content);
        std::string before = WinGetCurrentDirectory();
        std::string error = MessageOf<IECustomInstallFile>([&] { f->RegisterSelf(); });
        EXPECT_EQ(WinGetCurrentDirectory(), before);
        if (c.Expect.empty()) EXPECT_EQ(error, "(nothing raised)");
        else EXPECT_NE(error.find(c.Expect), std::string::npos) << error;
    }
    EXPECT_EQ(TSandbox::ReadHostFile(marker), "registered\n");

    // During a run a failure waits for the retry after the pass, which then raises.
    auto* failing = r.File("late.ocx");
    WinForceDirectories(failing->GetDestinationPath());
    WinWriteFile(failing->GetDestinationFile(), TSandbox::ReadHostFile(REGSERVER_FIVE));
    r.Install->SetRunning(true);
    failing->PostCopySteps();
    EXPECT_EQ(RetryRegisterList(), std::vector<TCustomInstallFile*>{failing});
    r.Install->SetRunning(false);
    EXPECT_NE(MessageOf<IECustomInstallFile>([&] { failing->PostCopySteps(); }).find("value of 5"),
              std::string::npos);

    // Type libraries are refused; EXE servers get "/REGSERVER".
    auto* tlb = r.File("types.tlb");
    r.Place(tlb);
    EXPECT_EQ(MessageOf<IECustomInstallFile>([&] { tlb->RegisterSelf(); }),
              "Type libraries cannot be registered on this system: " + tlb->GetDestinationFile());
    auto* exe = r.File("server.exe");
    WinForceDirectories(exe->GetDestinationPath());
    std::string args = r.Box.Root + "/args.txt";
    TSandbox::WriteHostFile(WinPathToHost(exe->GetDestinationFile(), paWrite),
                            "#!/bin/sh\necho \"$@\" > '" + args + "'\n");
    exe->RegisterSelf();
    EXPECT_EQ(TSandbox::ReadHostFile(args), "/REGSERVER\n");
    unsetenv("ZAN_REGSERVER_MARKER");
}

TEST(InstallRun, SharedDLLCountsAcrossInstalls) {
    TRun r("shared");
    auto* f = r.File("common.dll");
    f->SetFileType(iftVendorSharedDLL);
    r.Place(f);
    f->PostCopySteps();
    f->PostCopySteps();
    EXPECT_EQ(RegReadInteger(hkLocalMachine, SharedDLLsKey, f->GetDestinationFile(), 0), 2);
}

TEST(InstallRun, InstallRecordMatchingNumberingAndRemoval) {
    TRun r("record");
    std::string first = r.Install->OpenInstallRecord(true);
    EXPECT_EQ(first, "\\SOFTWARE\\Kel\\Install\\Install0");
    EXPECT_EQ(r.Install->OpenInstallRecord(true), first); // same size and date: same record
    // Records of other setups, wrong value types and near dates.
    TDateTime date = WinFileAge(WinGetModuleFileName());
    int32_t size = static_cast<int32_t>(WinFileSize(WinGetModuleFileName()));
    TcrvnRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    RegDeleteKeyTree(hkLocalMachine, first);
    reg.OpenNestedKey("\\SOFTWARE\\Kel\\Install\\Install0", true);
    reg.WriteString("Path", "x");
    reg.WriteString("CreationDate", "not a float");
    reg.WriteInteger("Size", size);
    reg.OpenNestedKey("\\SOFTWARE\\Kel\\Install\\Install1", true);
    reg.WriteString("Path", "x");
    reg.WriteFloat("CreationDate", date + 2e-7);
    reg.WriteInteger("Size", size);
    std::string third = r.Install->OpenInstallRecord(true);
    EXPECT_EQ(third, "\\SOFTWARE\\Kel\\Install\\Install2");
    reg.OpenNestedKey("\\SOFTWARE\\Kel\\Install\\Install1", false);
    reg.WriteFloat("CreationDate", date + 5e-8);
    RegDeleteKeyTree(hkLocalMachine, third);
    EXPECT_EQ(r.Install->OpenInstallRecord(false), "\\SOFTWARE\\Kel\\Install\\Install1");

    // Removal deletes the local copies (none outside the machine), then empty parents only.
    SetInstallRecordKey("\\SOFTWARE\\Kel\\Install\\Install1");
    WinWriteFile("C:\\net1.1", "archive");
    RegWriteString(hkLocalMachine, InstallRecordKey() + "\\MainDir", "LocalFile", "C:\\net1.1");
    RegWriteString(hkLocalMachine, InstallRecordKey() + "\\Other", "LocalFile", "Z:\\etc\\hostname");
    r.Install->RemoveInstallRecord();
    EXPECT_FALSE(WinFileExists("C:\\net1.1"));
    EXPECT_TRUE(std::filesystem::exists("/etc/hostname"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Kel\\Install\\Install1"));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Kel\\Install\\Install0"));
    SetInstallRecordKey("\\SOFTWARE\\Kel\\Install\\Install0");
    RegWriteString(hkLocalMachine, "\\SOFTWARE\\Kel", "Owner", "another product");
    r.Install->RemoveInstallRecord();
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, InstallRecordRoot));
    EXPECT_EQ(Str("\\SOFTWARE\\Kel", "Owner"), "another product"); // a key with values stays
    RegDeleteValue(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Kel", "Owner");
    SetInstallRecordKey(r.Install->OpenInstallRecord(true));
    r.Install->RemoveInstallRecord();
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Kel"));
}

TEST(InstallRun, UnfinishedListLanguageAndRunOnceRoundTrip) {
    TRun r("unfinished");
    EXPECT_EQ(MessageOf<IEInstall>([&] { r.Install->WriteUnfinished("x", 0); }),
              "The TInstall could not either write or read unfinished business from the registry");
    SetInstallRecordKey(r.Install->OpenInstallRecord(true));
    r.Install->WriteUnfinished("MainDir", 0);
    r.Install->WriteUnfinished("C:\\temp\\a.bat", 1);
    TStringList lines;
    r.Install->ReadUnfinished(lines);
    EXPECT_EQ(lines.Count(), 2);
    EXPECT_EQ(r.Install->GetUnfinishedCount(), 2);
    r.Install->ClearUnfinished();
    r.Install->ReadUnfinished(lines);
    EXPECT_EQ(lines.Count(), 0);
    // Language: default 20, stored values in range, others default.
    EXPECT_EQ(r.Install->ReadLanguage(), 20);
    r.Install->WriteLanguage(3);
    EXPECT_EQ(r.Install->ReadLanguage(), 3);
    r.Install->WriteLanguage(22);
    EXPECT_EQ(r.Install->ReadLanguage(), 20);
    RegWriteString(hkLocalMachine, InstallRecordKey(), "Language", "7");
    EXPECT_EQ(r.Install->ReadLanguage(), 20);
    // With a translator its target is the default, and a resume restores the stored language.
    {
        TTranslator translator;
        translator.SetTranslateIntoLanguage(clGerman);
        EXPECT_EQ(r.Install->ReadLanguage(), clGerman);
        r.Install->WriteLanguage(clFrench);
        r.Install->ContinueUnfinished();
        EXPECT_EQ(translator.GetTranslateIntoLanguage(), clFrench);
        SetInstallRecordKey(r.Install->OpenInstallRecord(true));
    }

    // The RunOnce command line splits back into the same switches.
    for (TLines args : {TLines{}, TLines{"-eC:\\My Dist\\setup.exe", "-sC:\\My Dist\\", "-c"}}) {
        SetCommandLineArgs(args);
        r.Install->ParseCommandLine();
        r.Install->RegisterUnfinished();
        std::string command = RegReadString(hkCurrentUser, RunOnceKeyPath, "CorvaneUnfinished", "");
        TLines split = SplitCommandLine(command);
        ASSERT_GE(split.size(), 3u) << command;
        EXPECT_EQ(split[0], WinGetModuleFileName());
        SetCommandLineArgs(TLines(split.begin() + 1, split.end()));
        r.Install->ParseCommandLine();
        EXPECT_TRUE(r.Install->HasSwitch('r'));
        EXPECT_EQ(r.Install->HasSwitch('c'), !args.empty());
        if (args.empty()) {
            EXPECT_EQ(r.Install->SwitchValue('s'), TCustomInstall::GetSetupDirectory());
        } else {
            EXPECT_EQ(r.Install->SwitchValue('e'), "C:\\My Dist\\setup.exe");
            EXPECT_EQ(r.Install->SwitchValue('s'), "C:\\My Dist");
        }
    }
    // An entry that does not parse stops the resume.
    r.Install->WriteUnfinished("Broken", 7);
    EXPECT_EQ(MessageOf<IEInstall>([&] { r.Install->ContinueUnfinished(); }),
              "There is an invalid entry for the unfinished install list Broken;7");
}

TEST(InstallRun, RunEndsGoodRebootAndBad) {
    // Reboot: the record and the RunOnce entry stay, the program ends with the reboot asked.
    {
        TRun r("runreboot");
        auto* f = r.File("lib.dll");
        r.Place(f);
        WinSetInUse(f->GetDestinationFile(), true);
        r.Build();
        TTranslator translator;
        translator.SetTranslateIntoLanguage(clGerman);
        r.Install->Process();
        EXPECT_EQ(WinReadFile(f->GetDestinationFile()), "old");
        EXPECT_EQ(WinReadFile(f->GetDestinationPath() + "\\lib.1"), "data");
        EXPECT_EQ(r.Install->GetOutcome(), roRebootPending);
        EXPECT_TRUE(WinRebootRequested());
        EXPECT_NE(RegReadString(hkCurrentUser, RunOnceKeyPath, "CorvaneUnfinished", ""), "");
        EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, InstallRecordKey()));
        EXPECT_EQ(r.Trace, TLines{"objects"});
        EXPECT_EQ(RegReadInteger(hkLocalMachine, InstallRecordKey(), "Language", -1), clGerman);
        // The resume re-runs the unfinished container in the first run's language and ends well.
        translator.SetTranslateIntoLanguage(clFrench);
        r.Trace.clear();
        r.Install->ContinueUnfinished();
        EXPECT_EQ(r.Trace, TLines{"good"});
        EXPECT_EQ(translator.GetTranslateIntoLanguage(), clGerman);
        EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Kel"));
    }
    // A failure: bad-install events, the message shown, the record kept.
    for (bool userAbort : {false, true}) {
        TRun r(userAbort ? "runabort" : "runfail");
        THeadlessSession session("", "script", r.Box.Root + "/transcript.txt");
        SetAppServices(&session);
        r.Install->SetUseLoadingProgram(true);
        SetCommandLineArgs({"-sC:\\setupdir", "-c"});
        r.Install->ParseCommandLine();
        std::string record;
        r.Install->OnAfterInitialized = [&](TObject*) {
            record = InstallRecordKey();
            if (userAbort) throw EAIUserAbort();
            throw IEInstall("broken");
        };
        try {
            r.Install->Process();
        } catch (const std::exception& e) {
            r.Install->HandleException(r.Install, e);
        }
        SetAppServices(nullptr);
        EXPECT_EQ(r.Install->GetOutcome(), roBadInstall);
        EXPECT_EQ(r.Trace, TLines{"bad"});
        // A user's abort ends the program only when the run started by itself.
        EXPECT_EQ(session.Terminated(), !userAbort);
        ASSERT_FALSE(record.empty());
        EXPECT_EQ(RegKeyExists(HKEY_LOCAL_MACHINE, record), !userAbort);
        // Only the user's abort cleans up: it writes the batch that removes the program.
        EXPECT_EQ(r.Install->GetBatchFile().empty(), !userAbort);
        if (userAbort) {
            TLines expected = {"ERASE " + WinGetModuleFileName(),
                               "DELTREE /Y " + TCustomInstall::GetSetupDirectory(),
                               "ERASE " + ChangeWinFileExt(r.Install->GetBatchFile(), ".PIF"),
                               "ERASE " + r.Install->GetBatchFile()};
            std::string text;
            for (const auto& l : expected)
                text += l + "\r\n";
            EXPECT_EQ(WinReadFile(r.Install->GetBatchFile()), text);
        }
    }
}

TEST(InstallRun, CancelWhileCopyingKeepsThePreviousVersion) {
    TRun r("cancelcopy");
    auto* first = r.File("first.bin", std::string(100000, 'n'));
    auto* second = r.File("second.bin", std::string(100000, 'n'));
    r.Build();
    r.Place(first, "old first");
    r.Place(second, "old second");
    // The copy page's Cancel while the second file (the older component) is being copied.
    first->OnStatus = [](TObject*, int, int) { SharedCompress().SetAbort(true); };
    THeadlessSession session("", "script", r.Box.Root + "/transcript.txt");
    SetAppServices(&session);
    std::string record;
    r.Install->OnAfterInitialized = [&](TObject*) { record = InstallRecordKey(); };
    try {
        r.Install->Process();
        ADD_FAILURE() << "the run went on after the cancel";
    } catch (const EccAborted& e) {
        r.Install->HandleException(r.Install, e);
    }
    SetAppServices(nullptr);
    SharedCompress().SetAbort(false);
    EXPECT_EQ(WinReadFile(second->GetDestinationFile()), std::string(100000, 'n'));
    EXPECT_EQ(WinReadFile(first->GetDestinationFile()), "old first");
    EXPECT_EQ(r.Install->GetOutcome(), roBadInstall);
    EXPECT_EQ(r.Trace, (TLines{"objects aborted", "bad"}));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, record)); // no cleanup: the record stays
    EXPECT_TRUE(r.Install->GetBatchFile().empty());
}
