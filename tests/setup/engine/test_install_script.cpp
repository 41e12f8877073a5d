// The install script model: children order, the install pass with its filters, events down the
// tree and the status chain up it, with recording fakes of a file (type 2000) and a dialog
// manager (type 9000).
#include <gtest/gtest.h>

#include "host/rtl/Format.h"
#include "host/win/WinFs.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

using TTrace = std::vector<std::string>;

// A file whose install reports three status steps (or a skip) and records what reaches it.
class TFakeFile : public TCustomInstallFile {
public:
    TFakeFile(TComponent* owner, TTrace* trace, int64_t size) : TCustomInstallFile(owner), FTrace(trace) {
        FFileSize = size;
    }
    void ProcessChildren() override {
        DoInformationEventControl(this, scBeforeInstall, this);
        if (Skip) {
            DoInformationEventControl(this, scFileSkipped, this);
            return;
        }
        TFileStatusParameter status;
        TParameterList list;
        list.Items = {this, &status};
        for (int step = 1; step <= 3; ++step) {
            status.Bytes = FFileSize * step / 3;
            status.Finished = step == 3;
            DoInformationEventControl(this, scStatusCopying, &list);
        }
        DoInformationEventControl(this, scFileInstalled, this);
    }
    void HandleEvent(TObject*, int code, TObject*) override { Events.push_back(code); }
    void ReadInfoFromArchive() override { ++Reads; }
    bool SourceFileExists() override { return !Missing; }
    void JoinAgain() { Register(); }
    std::vector<int> Events;
    int Reads = 0;
    bool Skip = false;
    bool Missing = false;

private:
    TTrace* FTrace;
};

// A dialog manager: records the events it receives, with the overall percent of statuses.
class TFakeDialogManager : public TInstallObject {
public:
    TFakeDialogManager(TComponent* owner, TTrace* trace) : TInstallObject(owner), FTrace(trace) {}
    int32_t RegisteredType() const override { return rtDialog; }
    void HandleEvent(TObject*, int code, TObject* parameter) override {
        std::string line = "dm " + std::to_string(code);
        if (auto* status = dynamic_cast<TFileStatusParameter*>(parameter))
            line += " " + std::to_string(status->OverallPercent);
        FTrace->push_back(line);
    }

private:
    TTrace* FTrace;
};

// A directory that records the events and the uninstall keys that reach it.
class TRecordingDirectory : public TInstallDirectory {
public:
    TRecordingDirectory(TComponent* owner, TTrace* trace) : TInstallDirectory(owner), FTrace(trace) {}
    void HandleEvent(TObject*, int code, TObject*) override {
        FTrace->push_back(GetName() + " got event " + std::to_string(code));
    }
    void WriteUninstallInformation(const std::string& key) override { UninstallKey = key; }
    void SetAction(int action) { FAction = action; }
    std::string UninstallKey;

private:
    TTrace* FTrace;
};

class TInstallBDE : public TInstallObject {
public:
    explicit TInstallBDE(TComponent* owner) : TInstallObject(owner) {}
    ZAN_CLASS(TInstallBDE)
    int32_t RegisteredType() const override { return 3000; }
};

class TFakeRegistryWriter : public TInstallObject {
public:
    explicit TFakeRegistryWriter(TComponent* owner) : TInstallObject(owner) {}
    int32_t RegisteredType() const override { return rtRegistryWriter; }
    void HandleEvent(TObject*, int code, TObject*) override { Events.push_back(code); }
    std::vector<int> Events;
};

// A script: the install, its dialog manager, directories made by Dir.
struct TScript {
    explicit TScript(const std::string& name) : Box(name) {
        Install = new TCustomInstall(&Form);
        Install->SetName("Install");
        Install->OnBeforeProcess = [this](TInstallContainer* s) { Trace.push_back("before " + s->GetName()); };
        Install->OnAfterProcess = [this](TInstallContainer* s) { Trace.push_back("after " + s->GetName()); };
        Manager = new TFakeDialogManager(&Form, &Trace);
        Manager->SetName("Manager");
        Manager->SetContainer(Install);
        Install->SetRunning(true);
    }
    ~TScript() { Install->SetRunning(false); }
    TRecordingDirectory* Dir(const std::string& name) {
        auto* dir = new TRecordingDirectory(&Form, &Trace);
        dir->SetName(name);
        dir->SetContainer(Install);
        dir->OnBeforeProcess = [this](TInstallContainer* s) { Trace.push_back("before " + s->GetName()); };
        dir->OnAfterProcess = [this](TInstallContainer* s) { Trace.push_back("after " + s->GetName()); };
        dir->OnBeforeInstallObjects = [this](TInstallContainer* s) {
            Trace.push_back("objects " + s->GetName());
        };
        dir->OnAfterInstallObjects = [this](TObject* s, bool aborted) {
            Trace.push_back("objects done " + static_cast<TComponent*>(s)->GetName() +
                            (aborted ? " aborted" : ""));
        };
        return dir;
    }
    TFakeFile* File(TInstallContainer* dir, const std::string& name, int64_t size) {
        auto* file = new TFakeFile(&Form, &Trace, size);
        file->SetName(name);
        file->SetContainer(dir);
        return file;
    }

    TSandbox Box;
    TTrace Trace;
    TDataModule Form;
    TCustomInstall* Install;
    TFakeDialogManager* Manager;
};

std::vector<std::string> Names(TInstallContainer* c) {
    std::vector<std::string> names;
    for (int i = 0; i < c->ChildCount(); ++i)
        names.push_back(c->GetChild(i)->GetName());
    return names;
}

} // namespace

TEST(InstallScript, ChildrenOrderAndItsErrors) {
    TScript s("scorder");
    auto* dirA = s.Dir("DirA");
    auto* dirB = s.Dir("DirB");
    auto* file = s.File(s.Install, "Top", 1);
    auto* group = new TCustomInstallGroup(&s.Form);
    group->SetName("Group");
    group->SetContainer(nullptr); // no container: the install
    auto* bde = new TInstallBDE(&s.Form);
    bde->SetName("Bde");
    bde->SetContainer(s.Install);
    auto* late = new TCustomInstallGroup(&s.Form);
    late->SetName("Late");
    late->SetContainer(s.Install);
    EXPECT_EQ(Names(s.Install), (std::vector<std::string>{"Bde", "Late", "Group", "DirB", "DirA",
                                                           "Top", "Manager"}));
    EXPECT_EQ(group->GetContainerObject(), s.Install);
    EXPECT_EQ(s.Install->CountOfClass(rtFileContainer), 2);
    EXPECT_EQ(s.Install->Comp(1, rtFileContainer), dirA);
    EXPECT_EQ(s.Install->GetFileCount(), 1);

    struct {
        std::function<void()> Call;
        std::string Message;
    } errors[] = {
        {[&] { s.Install->AddChild(nullptr); }, "Cannot add a blank base helper component to Install"},
        {[&] { dirA->AddChild(dirA); }, "Circular reference"},
        {[&] { dirB->SetContainer(dirA); dirA->SetContainer(dirB); }, "Circular reference"},
        {[&] { s.Install->GetChild(-1); },
         "Tried to reference a helper component in the following component: Install. The "
         "following index was used: -1"},
        {[&] { s.Install->GetChild(7); },
         "Tried to reference a helper component in the following component: Install. The "
         "following index was used: 7"},
        {[&] { s.Install->Comp(5, rtFileContainer); },
         "Bad call to the Comp procedure which returns a TInstallObject for a TInstallContainer "
         "component. The parameters are probably reversed. Index: 5, ComponentType: 1000"},
        {[&] { group->SetContainer(dirA); },
         "A TInstallGroup component can only be contained by a TInstall, or another TInstallGroup "
         "component"},
        {[&] { file->SetContainer(s.Manager); },
         "The following TInstallFile component Top requires the Container property to be a "
         "component descended from the TFileContainer component"},
        {[&] { TInstallContainer plain(nullptr); plain.RegisteredType(); },
         "Class must declare a registered type"},
    };
    for (auto& e : errors)
        EXPECT_EQ(MessageOf<Exception>(e.Call), e.Message);
    // The refused moves changed nothing.
    EXPECT_EQ(dirA->GetContainerObject(), s.Install);
    EXPECT_EQ(dirB->GetContainerObject(), dirA);
    EXPECT_EQ(file->GetContainerObject(), s.Install);
    EXPECT_EQ(group->GetContainerObject(), s.Install);

    // Destroying a container drops it everywhere; its children lose their container.
    auto* inner = s.File(dirB, "Inner", 1);
    delete dirB;
    EXPECT_EQ(Names(dirA), std::vector<std::string>{});
    EXPECT_EQ(inner->GetContainerObject(), nullptr);
    delete group;
    EXPECT_EQ(Names(s.Install), (std::vector<std::string>{"Bde", "Late", "DirA", "Top", "Manager"}));
}

TEST(InstallScript, PassEventTraceAndStatusChain) {
    TScript s("sctrace");
    auto* dirA = s.Dir("DirA");
    auto* dirB = s.Dir("DirB");
    auto* a1 = s.File(dirA, "A1", 100);
    auto* b1 = s.File(dirB, "B1", 300);
    auto* b2 = s.File(dirB, "B2", 0);
    auto* writer = new TFakeRegistryWriter(&s.Form);
    writer->SetContainer(s.Install);
    bool writerRan = false;
    writer->OnBeforeProcess = [&](TInstallContainer*) { writerRan = true; };
    std::vector<int> dirBPercents;
    dirB->OnStatus = [&](TObject*, int percent, TFileStatusParameter*) { dirBPercents.push_back(percent); };

    // The run reads the archive information before the pass; the pass alone reads nothing more.
    s.Install->ReadArchiveInfo();
    EXPECT_EQ(s.Trace, (TTrace{"dm -984", "dm -974", "dm -973", "dm -983"}));
    s.Trace.clear();
    writer->Events.clear();
    s.Install->TFileContainer::Process(); // the container pass alone, without the run around it
    TTrace expected = {"before Install", "dm -990", "dm -999", "dm -992",
                       "before DirB", "objects DirB",
                       "dm -998 0", "dm -998 0", "dm -998 0",
                       "dm -998 25", "dm -998 50", "dm -998 75",
                       "objects done DirB", "after DirB",
                       "before DirA", "objects DirA",
                       "dm -998 83", "dm -998 92", "dm -998 100",
                       "objects done DirA", "after DirA",
                       "dm -996", "after Install", "dm -989"};
    EXPECT_EQ(s.Trace, expected);
    // Zero-size B2 first adds nothing; B1 then fills the directory.
    EXPECT_EQ(dirBPercents, (std::vector<int>{0, 0, 0, 33, 67, 100}));
    // Events of a directory reach its files only; reads happened once per pass level.
    std::vector<int> fileEvents = {-990, -999, -992, -998, -998, -998, -998, -998, -998, -996, -989};
    EXPECT_EQ(b1->Events, fileEvents);
    EXPECT_EQ(a1->Events, (std::vector<int>{-990, -999, -992, -998, -998, -998, -996, -989}));
    EXPECT_GE(b2->Reads, 1);
    // The registry writer hears the install's events but runs only in its phase.
    EXPECT_FALSE(writerRan);
    EXPECT_EQ(writer->Events.front(), -990);
    EXPECT_TRUE(dirA->GetProcessed());
    EXPECT_EQ(dirA->UninstallKey, "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\My product");
    EXPECT_EQ(dirA->GetAction(), 0);
    EXPECT_EQ(dirB->GetDone(), 300);
    EXPECT_EQ(s.Install->GetTotal(), 400);

    // A broadcast from the install never reaches the directories.
    s.Trace.clear();
    s.Install->BroadcastEvent(s.Install, ieStartOfRun, nullptr);
    EXPECT_EQ(s.Trace, TTrace{"dm -986"});
    s.Install->ShowStatus("Reading...");
    s.Install->CloseStatus();
    EXPECT_EQ(s.Trace, (TTrace{"dm -986", "dm -974", "dm -973"}));
}

TEST(InstallScript, FiltersSkipsAndAborts) {
    TScript s("scfilter");
    auto* osDir = s.Dir("OsDir");
    osDir->SetOS({oswin98, oswinME});
    auto* compact = s.Dir("Compact");
    compact->SetInstallTypes({itCompact});
    auto* aborting = s.Dir("Aborting");
    aborting->OnBeforeProcess = [](TInstallContainer*) { Abort(); };
    auto* skipping = s.Dir("Skipping");
    auto* skipped = s.File(skipping, "Skipped", 50);
    skipped->Skip = true;
    auto* kept = s.File(skipping, "Kept", 150);
    std::vector<int> percents;
    skipping->OnStatus = [&](TObject*, int percent, TFileStatusParameter*) { percents.push_back(percent); };
    s.Install->SetInstallTypes({});
    EXPECT_EQ(s.Install->GetInstallTypes(), TInstallTypeSet{itFull});
    s.Install->SetInstallType(itFull);
    s.Install->TFileContainer::Process(); // the container pass alone, without the run around it
    EXPECT_FALSE(osDir->GetInclude());
    EXPECT_FALSE(osDir->GetProcessed());
    EXPECT_FALSE(compact->GetProcessed());
    EXPECT_FALSE(aborting->GetProcessed());
    EXPECT_TRUE(skipping->GetProcessed());
    // Kept (the newer) runs first; the skipped file then counts as done and ends at 100.
    EXPECT_EQ(percents, (std::vector<int>{25, 50, 75, 100}));
    EXPECT_EQ(skipping->GetDone(), 200);
    (void)kept;

    // A custom install processes the compact-only directory; the OS exclusion stays.
    s.Install->SetInstallType(itCustom);
    s.Install->TFileContainer::Process(); // the container pass alone, without the run around it
    EXPECT_TRUE(compact->GetProcessed());
    EXPECT_FALSE(osDir->GetProcessed());
    EXPECT_EQ(compact->GetRunningType(), itCustom);

    // Outside a run nothing passes.
    compact->SetProcessed(false);
    s.Install->SetRunning(false);
    compact->Process();
    EXPECT_FALSE(compact->GetProcessed());
}

TEST(InstallScript, StatusParameterChecks) {
    TScript s("scparams");
    auto* dir = s.Dir("Probe");
    auto* file = s.File(dir, "F", 10);
    TMessageParameter message("x");
    TFileStatusParameter status;
    TParameterList one, badFirst, badSecond, badDisk, good;
    one.Items = {file};
    badFirst.Items = {&message, &status};
    badSecond.Items = {file, &message};
    badDisk.Items = {file, &status};
    good.Items = {file, &status};
    // An idle container does not look at its reports.
    dir->DoInformationEventControl(file, scStatusCopying, nullptr);
    dir->SetAction(faInstall);
    struct {
        int Code;
        TObject* Parameter;
        const char* Message;
    } rows[] = {
        {scStatusCopying, nullptr, "Probe got a nil PO parameter"},
        {scReplacing, &message, "DoInformationEventControl parameter is not TInstallFile"},
        {scFileNotCopied, &status, "DoInformationEventControl parameter is not TInstallFile"},
        {scStatusPacking, &message, "DoInformationEventControl--PO is not a TList object"},
        {scStatusExtracting, &one, "DoInformationEventControl--Not engouh parameters for status event"},
        {scStatusCopying, &badFirst, "DoInformationEventControl says bad first parameter"},
        {scStatusCopying, &badSecond, "DoInformationEventControl says bad second parameter"},
        {scNewDisk, &badDisk, "DoInformationEventControl says bad 2 parameter"},
        {scDownload, &message, "The PO object passed to Probe is not a TDownloadStatusParameter object"},
    };
    for (auto& r : rows)
        EXPECT_EQ(MessageOf<IEFileContainer>([&] { dir->DoInformationEventControl(file, r.Code, r.Parameter); }),
                  r.Message)
            << r.Code;
    // Well-formed reports: replacing, new disk and download go to the handlers and the files.
    std::vector<std::string> seen;
    dir->OnReplacing = [&](TObject*, TObject* f) { seen.push_back("replacing " + static_cast<TComponent*>(f)->GetName()); };
    dir->OnNewDisk = [&](TObject*, int disk, std::string& path) {
        seen.push_back("disk " + std::to_string(disk));
        path = "A:\\";
    };
    TDiskParameter disk;
    disk.DiskNumber = 2;
    TParameterList diskList;
    diskList.Items = {file, &disk};
    dir->DoInformationEventControl(file, scReplacing, file);
    dir->DoInformationEventControl(file, scNewDisk, &diskList);
    TDownloadStatusParameter download;
    dir->DoInformationEventControl(file, scDownload, &download);
    EXPECT_EQ(seen, (std::vector<std::string>{"replacing F", "disk 2"}));
    EXPECT_EQ(disk.Path, "A:\\");
    EXPECT_EQ(file->Events, (std::vector<int>{-997, -993, -988}));
    // 0 of 0 is 100 when finished, else 0; halves round to even.
    EXPECT_EQ(PercentOf(0, 0, false), 0);
    EXPECT_EQ(PercentOf(0, 0, true), 100);
    EXPECT_EQ(PercentOf(1, 200, false), 0);
    EXPECT_EQ(PercentOf(3, 200, false), 2);
    EXPECT_EQ(PercentOf(500, 400, false), 100);
}

TEST(InstallScript, LoadingFileIdsAndLists) {
    {
        TScript s("scload");
        // Built as the forms build: values while loading, then Loaded in creation order.
        auto* dir = new TInstallDirectory(&s.Form);
        auto* file = new TFakeFile(&s.Form, &s.Trace, 5);
        dir->SetLoading(true);
        file->SetLoading(true);
        dir->SetName("Dir");
        dir->SetContainer(s.Install);
        file->SetName("File");
        file->SetContainer(dir);
        file->SetUniqueID(7);
        EXPECT_EQ(dir->GetDestDirType(), nullptr);
        dir->Loaded();
        file->Loaded();
        EXPECT_EQ(dir->GetDestDirType(), StandardSpecifier<TpsContainerDestDir>());
        EXPECT_EQ(file->GetArchiveFileType(), StandardSpecifier<TpsContainerArchiveFile>());
        EXPECT_EQ(file->GetUniqueID(), 7);
        EXPECT_TRUE(FileIdUsed(7));
        EXPECT_FALSE(FileIdUsed(0));
        EXPECT_EQ(MessageOf<IECustomInstallFile>([&] { file->SetUniqueID(2000); }),
                  "The file id 2000 of File is outside 0..1999");
        auto* f0 = new TFakeFile(&s.Form, &s.Trace, 1);
        auto* f1 = new TFakeFile(&s.Form, &s.Trace, 1);
        EXPECT_EQ(f0->GetUniqueID(), 0);
        EXPECT_EQ(f1->GetUniqueID(), 1);
        delete f0;
        EXPECT_EQ((new TFakeFile(&s.Form, &s.Trace, 1))->GetUniqueID(), 0);
        EXPECT_EQ(InstallFileList().size(), 3u);
        // The global list holds each container once, in creation order.
        f1->JoinAgain();
        const auto& all = InstallContainerList();
        EXPECT_EQ(std::count(all.begin(), all.end(), f1), 1);
        EXPECT_LT(std::find(all.begin(), all.end(), dir), std::find(all.begin(), all.end(), f1));
        RetryRegisterList().push_back(f1);
        delete f1;
        EXPECT_TRUE(RetryRegisterList().empty());
        EXPECT_EQ(MessageOf<IEInstall>([&] { new TCustomInstall(&s.Form); }),
                  "The TInstall component does not currently support the use of 2 TInstall "
                  "components in the same project");
        EXPECT_EQ(CurrentInstall(), s.Install);

        // Files whose source is missing go.
        auto* missing = s.File(dir, "Missing", 1);
        missing->Missing = true;
        dir->RemoveMissingFiles();
        EXPECT_EQ(Names(dir), std::vector<std::string>{"File"});
        dir->ClearFiles();
        EXPECT_EQ(dir->ChildCount(), 0);
    }
    EXPECT_TRUE(InstallContainerList().empty());
    EXPECT_TRUE(InstallFileList().empty());
    EXPECT_EQ(PathSpecifierList().Count(), 0);
    EXPECT_EQ(CurrentInstall(), nullptr);
    for (int id = 0; id < MaxFileIds; ++id)
        ASSERT_FALSE(FileIdUsed(id)) << id;
}

TEST(InstallScript, FindLibraryDirectory) {
    TScript s("sclib");
    const char* key = "\\Software\\Borland\\Delphi\\5.0\\Library";
    const std::string failure = "Cannot find the the Corvane directory on the VCL library search path";
    EXPECT_EQ(MessageOf<IENoCorvanePath>([&] { s.Install->FindLibraryDirectory(true); }), failure);
    EXPECT_EQ(s.Install->FindLibraryDirectory(false), "");
    RegWriteString(hkLocalMachine, "\\Software\\Borland\\Delphi\\5.0", "RootDir", "C:\\Delphi5");
    RegWriteString(hkCurrentUser, key, "Search Path",
                   "$(DELPHI)\\Lib;;D:\\Other;$(BCB)\\Kovrix\\;C:\\Second");
    WinForceDirectories("C:\\Delphi5\\Kovrix");
    WinForceDirectories("C:\\Second");
    WinWriteFile("C:\\Second\\Kovrix.TXT", "");
    EXPECT_EQ(s.Install->FindLibraryDirectory(true), "C:\\Second");
    WinWriteFile("C:\\Delphi5\\Kovrix\\Kovrix.TXT", "");
    EXPECT_EQ(s.Install->FindLibraryDirectory(true), "C:\\Delphi5\\Kovrix");
    RegWriteString(hkCurrentUser, key, "Search Path", "C:\\Nothing");
    EXPECT_EQ(MessageOf<IENoCorvanePath>([&] { s.Install->FindLibraryDirectory(true); }), failure);
    EXPECT_EQ(s.Install->FindLibraryDirectory(false), "");
}
