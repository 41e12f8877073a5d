// The build side on a fresh machine each: trailers and remote lists (golden bytes and damaged
// input), a self-extracting build and an install read out of it, the build options per
// distribution type, the floppy transfer, and an ELF program that still runs with a payload.
#include <gtest/gtest.h>

#include "host/win/WinFs.h"
#include "host/win/WinProcess.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/cmp_TInstallBuild.h"
#include "setup/engine/cmp_TNetInstallLocation.h"
#include "setup/engine/routines_Strings.h"
#include "setup/support/net_servers.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

// Records the compress options a build passes.
class TRecordingInstall : public TInstall {
public:
    using TInstall::TInstall;
    void Compress(int options) override {
        Options.push_back(options);
        TInstall::Compress(options);
    }
    std::vector<int> Options;
};

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

struct TBuild {
    explicit TBuild(const std::string& name) : Box(name) {
        Install = new TRecordingInstall(&Owner);
        Install->SetName("Install");
        Install->SetRunAutomatic(false);
        Install->Information = {"Corp", "Prod", "1.0"};
        Dir = new TInstallDirectory(&Owner);
        Dir->SetName("MainDir");
        Dir->SetContainer(Install);
        // The installer library with the loader, found through the search path.
        RegWriteString(hkCurrentUser, "\\Software\\Borland\\Delphi\\5.0\\Library", "Search Path",
                       "C:\\lib");
        WinForceDirectories("C:\\lib");
        WinWriteFile("C:\\lib\\Kovrix.TXT", "");
        WinWriteFile("C:\\lib\\CorvaneLoadProgram.exe", Loader);
        WinForceDirectories("C:\\prog");
        WinWriteFile("C:\\prog\\setup.bin", "the setup program");
    }
    TInstallFile* File(const std::string& name, const std::string& text) {
        TSandbox::WriteHostFile(Box.C("src/" + name), text);
        auto* f = new TInstallFile(&Owner);
        f->SetName("File_" + name.substr(0, name.find('.')));
        f->SetContainer(Dir);
        f->SetIncludeFromDir("C:\\src");
        f->SetFileName(name);
        return f;
    }
    TSandbox Box;
    TDataModule Owner;
    TRecordingInstall* Install;
    TInstallDirectory* Dir;
    std::string Loader = "LOADER-PROGRAM";
};

} // namespace

TEST(InstallBuild, TrailerGoldenBytesAndDamagedTrailers) {
    TSelfExtractInfo info{SelfExtractingTag, 14, 99, 100, 299};
    std::string bytes = EncodeSelfExtractInfo(info);
    EXPECT_EQ(Hex(bytes), "0e53454c4645585452414354494e4700" // length 14, tag, pad
                          "0e000000630000006400000"
                          "02b010000" +
                              std::string(48, '0'));
    TSelfExtractInfo plain;
    plain.Tag = NotSelfExtractTag;
    EXPECT_EQ(Hex(EncodeSelfExtractInfo(plain)), "0e4e4f5453454c4645585452414354" "00" + std::string(80, '0'));
    TSelfExtractInfo back = DecodeSelfExtractInfo(bytes, 356, "f");
    EXPECT_EQ(back.FilesLast, 299);
    std::string failure = "Could not read the extraction info from the archive file f when trying "
                          "to find the correct offset into the self extracting file";
    auto with = [&](size_t at, int32_t v) {
        std::string t = bytes;
        for (int i = 0; i < 4; ++i)
            t[at + static_cast<size_t>(i)] = static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF);
        return t;
    };
    std::string unknown = bytes;
    unknown[1] = 'X';
    struct {
        std::string Trailer;
        uint64_t Size;
    } bad[] = {
        {bytes.substr(0, 55), 356},   // short
        {bytes, 40},                  // file shorter than a trailer
        {unknown, 356},               // unknown tag
        {with(20, 5), 356},           // setup.1 ends before it starts
        {with(24, 50), 356},          // files.1 overlaps setup.1
        {with(28, 300), 356},         // files.1 runs into the trailer
        {with(16, -4), 356},          // negative position
    };
    for (const auto& b : bad)
        EXPECT_EQ(MessageOf<IEInstall>([&] { DecodeSelfExtractInfo(b.Trailer, b.Size, "f"); }), failure);
    // Without files.1 both of its positions are zero, and that is valid.
    EXPECT_EQ(DecodeSelfExtractInfo(with(24, 0).replace(28, 4, std::string(4, '\0')), 356, "f").FilesFirst, 0);
}

TEST(InstallBuild, RemoteFileListGoldenRecordsAndDamage) {
    std::vector<TRemoteFileRecord> records = {{1234, 2.5, "File_app", "1.2.3.4"},
                                              {7, 0, std::string(39, 'n'), std::string(25, 'v')}};
    std::string bytes = EncodeRemoteFileList(records);
    ASSERT_EQ(bytes.size(), 4u + 160u);
    EXPECT_EQ(Hex(bytes.substr(0, 4 + 16)), "02000000" "d2040000" "00000000" "0000000000000440");
    EXPECT_EQ(bytes.substr(4 + 16, 9), std::string("File_app\0", 9));
    std::vector<TRemoteFileRecord> back = DecodeRemoteFileList(bytes, "filelist.lst");
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].Version, "1.2.3.4");
    EXPECT_EQ(back[1].Version, std::string(19, 'v')); // the field keeps its NUL
    EXPECT_EQ(back[1].Name, std::string(39, 'n'));
    EXPECT_NE(MessageOf<IEInstall>([] { EncodeRemoteFileList({{0, 0, std::string(40, 'n'), ""}}); })
                  .find("longer than 39"),
              std::string::npos);
    std::string lying = bytes;
    lying[0] = 3;
    std::string unterminated = bytes;
    for (size_t i = 0; i < 40; ++i)
        unterminated[4 + 16 + i] = 'x';
    for (const std::string& b : {lying, unterminated, bytes.substr(0, 3), std::string("\xff\xff\xff\xff", 4)})
        EXPECT_EQ(MessageOf<IEInstall>([&] { DecodeRemoteFileList(b, "filelist.lst"); }),
                  "Cannot read the remote list of files: filelist.lst");
}

TEST(InstallBuild, SelfExtractingBuildAndAnInstallFromIt) {
    TBuild b("selfextract");
    b.File("app.exe", std::string(5000, 'a'));
    b.File("readme.txt", "read me");
    // Without the loading program nothing is written.
    EXPECT_EQ(MessageOf<IEInstall>([&] { b.Install->BuildSelfExtractor("C:\\prog\\setup.bin", "C:\\build", true); }),
              "Cannot build a stand alone executable if the UseLoadingProgram property of the "
              "TInstall is set to False");
    EXPECT_FALSE(WinPathExists("C:\\build"));

    b.Install->SetUseLoadingProgram(true);
    b.Install->BuildSelfExtractor("C:\\prog\\setup.bin", "C:\\build\\", true);
    EXPECT_EQ(b.Install->Options, std::vector<int>{46});
    std::string exe = WinReadFile("C:\\build\\setup.exe");
    std::string setup1 = WinReadFile("C:\\build\\setup.1");
    std::string files1 = WinReadFile("C:\\build\\files.1");
    ASSERT_EQ(exe.size(), b.Loader.size() + setup1.size() + files1.size() + 56);
    EXPECT_EQ(exe.substr(0, b.Loader.size()), b.Loader);
    EXPECT_EQ(exe.substr(b.Loader.size(), setup1.size()), setup1);
    TSelfExtractInfo info = ReadSelfExtractInfo("C:\\build\\setup.exe");
    EXPECT_EQ(info.SetupFirst, static_cast<int32_t>(b.Loader.size()));
    EXPECT_EQ(info.FilesLast + 1 + 56, static_cast<int32_t>(exe.size()));
    EXPECT_EQ(ExtractEntryFromBytes(setup1, "C:\\prog\\setup.bin"), "the setup program");

    // A -e start reads files.1 out of setup.exe.
    SetCommandLineArgs({"-eC:\\build\\setup.exe", "-sC:\\extracted"});
    b.Install->ParseCommandLine();
    WinDeleteFile("C:\\build\\files.1");
    b.Install->Process();
    EXPECT_EQ(b.Install->GetOutcome(), roGoodInstall);
    EXPECT_EQ(WinReadFile("C:\\Program Files\\MyApplication\\app.exe"), std::string(5000, 'a'));
    EXPECT_EQ(WinReadFile("C:\\Program Files\\MyApplication\\readme.txt"), "read me");
    SetCommandLineArgs({});
    SharedCompress().SetOffset(0);
}

TEST(InstallBuild, OptionsPerDistributionAndTheRemoteList) {
    TBuild b("webbuild");
    b.File("app.exe", "app");
    b.File("lib.dll", "lib");
    auto* location = new TNetInstallLocation(&b.Owner);
    b.Install->SetNetLocation(location);
    struct {
        TDistributeType Type;
        int Options;
    } cases[] = {{dtTraditional, 46}, {dtWeb, 54}, {dtTraditionalNet, 38}};
    for (const auto& c : cases) {
        b.Install->Options.clear();
        b.Install->SetDistributeType(c.Type);
        b.Install->BuildSelfExtractor("C:\\prog\\setup.bin", "C:\\b" + std::to_string(c.Options), false);
        EXPECT_EQ(b.Install->Options, std::vector<int>{c.Options});
        EXPECT_EQ(WinFileExists("C:\\b" + std::to_string(c.Options) + "\\filelist.lst"), c.Type != dtTraditional);
    }
    // The web build: one archive per container, every file listed.
    EXPECT_TRUE(WinFileExists("C:\\b54\\MainDir.1"));
    std::vector<TRemoteFileRecord> list =
        DecodeRemoteFileList(WinReadFile("C:\\b54\\filelist.lst"), "filelist.lst");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Size, 3);
    // A plain build carries the program with a trailer of zero positions.
    std::string program = WinReadFile("C:\\b46\\setup.bin");
    EXPECT_EQ(program.size(), std::string("the setup program").size());
}

TEST(InstallBuild, FloppyTransfer) {
    TBuild b("floppy");
    // Incompressible bytes beyond one floppy: files.1 continues on disk 2.
    std::string noise(1600000, '\0');
    uint32_t x = 12345;
    for (char& c : noise) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    b.File("big.bin", noise);
    b.Install->SetUseLoadingProgram(true);
    b.Install->BuildSelfExtractor("C:\\prog\\setup.bin", "C:\\build", true);
    THeadlessSession session("Sorry... => OK\nPlease insert disk 2 => OK | disk 2\n", "floppy",
                             b.Box.Root + "/transcript.txt");
    SetAppServices(&session);
    SetUserPrompts(&session);
    SetCommandLineArgs({"-f"});
    b.Install->ParseCommandLine();
    b.Install->TransferToFloppies(); // -f without -e
    EXPECT_EQ(b.Install->GetOutcome(), roBadInstall);
    SetCommandLineArgs({"-f", "-eC:\\build\\setup.exe"});
    b.Install->ParseCommandLine();
    b.Install->TransferToFloppies();
    SetAppServices(nullptr);
    SetUserPrompts(nullptr);
    SetCommandLineArgs({});
    EXPECT_EQ(b.Install->GetOutcome(), roBuildDone);
    WinInsertDisk(1);
    std::string a = WinReadFile("A:\\setup.exe");
    EXPECT_EQ(a.substr(0, b.Loader.size()), b.Loader);
    EXPECT_EQ(ReadSelfExtractInfo("A:\\setup.exe").Tag, NotSelfExtractTag);
    EXPECT_EQ(WinReadFile("A:\\setup.1"), WinReadFile("C:\\build\\setup.1"));
    EXPECT_TRUE(WinFileExists("A:\\files.1"));
    WinInsertDisk(2);
    EXPECT_TRUE(WinFileExists("A:\\files.2"));
}

TEST(InstallBuild, ElfWithPayloadStillRuns) {
    TSandbox box("elfpayload");
    std::string program = TSandbox::ReadHostFile("/bin/true");
    ASSERT_EQ(program.substr(0, 4), "\x7f" "ELF");
    WinWriteFile("C:\\payload", program + std::string(1000, 'p'));
    TSelfExtractInfo info{SelfExtractingTag, static_cast<int32_t>(program.size()),
                          static_cast<int32_t>(program.size() + 999), 0, 0};
    TWinFsFile out;
    out.OpenReadWrite("C:\\payload");
    out.Seek(out.Size());
    std::string trailer = EncodeSelfExtractInfo(info);
    out.Write(trailer.data(), trailer.size());
    out.Close();
    WinMarkExecutableIfProgram("C:\\payload");
    EXPECT_EQ(WinWaitProcess(WinCreateProcess("C:\\payload", {})), 0);
    EXPECT_EQ(ReadSelfExtractInfo("C:\\payload").SetupLast, info.SetupLast);
}

TEST(InstallBuild, WebDistributionDownloadsRecordsAndRemovesArchives) {
    TBuild b("webinstall");
    b.File("app.exe", "web app");
    b.File("lib.dll", std::string(20000, 'l'));
    auto* location = new TNetInstallLocation(&b.Owner);
    location->SetName("Web");
    b.Install->SetNetLocation(location);
    b.Install->SetDistributeType(dtWeb);
    b.Install->BuildSelfExtractor("C:\\prog\\setup.bin", "C:\\build", false);
    // A loopback server serves the build directory.
    TNetServers servers(WinPathToHost("C:\\build"));
    CurrentWinEnv().Resolver["files.example"] = "127.0.0.1";
    location->LoginInformation().Protocol = ipHTTP;
    location->LoginInformation().Hostname = "files.example:" + std::to_string(servers.HttpPort);
    std::vector<std::string> localFiles;
    b.Install->OnAfterInstallObjects = [&](TObject*, bool) {
        localFiles.push_back(RegReadString(hkLocalMachine, InstallRecordKey() + "\\MainDir",
                                           "LocalFile", ""));
    };
    b.Install->Process();
    EXPECT_EQ(b.Install->GetOutcome(), roGoodInstall);
    EXPECT_EQ(WinReadFile("C:\\Program Files\\MyApplication\\app.exe"), "web app");
    EXPECT_EQ(WinReadFile("C:\\Program Files\\MyApplication\\lib.dll"), std::string(20000, 'l'));
    // The downloaded archive was recorded during the run and removed with the record.
    ASSERT_EQ(localFiles.size(), 1u);
    EXPECT_EQ(WinFileExtUpper(localFiles[0]), ".1");
    EXPECT_FALSE(WinFileExists(localFiles[0]));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Kel"));
}
