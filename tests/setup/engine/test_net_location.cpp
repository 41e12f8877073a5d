// The network install location against loopback HTTP and FTP servers (127.0.0.1 only; host
// names resolve through the machine's table, so no query leaves the machine).
#include <gtest/gtest.h>

#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>

#include "host/win/WinFs.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/cmp_TNetInstallLocation.h"
#include "setup/engine/routines_Components.h"
#include "setup/support/net_servers.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

std::string Pattern(size_t size) {
    std::string data = "404 is only data here; ";
    while (data.size() < size)
        data += static_cast<char>('a' + data.size() % 26);
    data.resize(size);
    return data;
}

// A port nothing listens on.
int ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

template <typename E>
std::string NetFailure(TCustomNetInstallLocation& loc, const std::string& remote,
                       const std::string& local) {
    return MessageOf<E>([&] { loc.GetFile(remote, local); });
}

} // namespace

class NetLocation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Servers = new TNetServers(TestTempPath("netroot"));
        TSandbox::WriteHostFile(Servers->Root + "/archive.1", Pattern(20000));
        TSandbox::WriteHostFile(Servers->Root + "/second.1", Pattern(9000));
        TSandbox::WriteHostFile(Servers->Root + "/empty.1", "");
        TSandbox::WriteHostFile(Servers->Root + "/sub/dir/nested.1", "nested archive");
        TSandbox::WriteHostFile(Servers->Root + "/Dir1.1", "the archive of Dir1");
    }
    static void TearDownTestSuite() {
        delete Servers;
        Servers = nullptr;
    }

    void SetUp() override {
        Box = std::make_unique<TSandbox>("net");
        CurrentWinEnv().Resolver["files.example"] = "127.0.0.1";
        WinForceDirectories("C:\\dl");
    }

    // A location of protocol on the loopback server.
    TCustomNetInstallLocation* Location(TInternetProtocol protocol, const std::string& directory = "") {
        auto* loc = new TNetInstallLocation(&Form);
        MakeUniqueComponentName(loc, protocol == ipFTP ? "FtpLoc" : "HttpLoc");
        auto& login = loc->LoginInformation();
        login.Protocol = protocol;
        login.Hostname = Host(protocol);
        login.Directory = directory;
        return loc;
    }
    static std::string Host(TInternetProtocol protocol) {
        return "files.example:" + std::to_string(protocol == ipFTP ? Servers->FtpPort : Servers->HttpPort);
    }

    static TNetServers* Servers;
    std::unique_ptr<TSandbox> Box;
    TDataModule Form;
};

TNetServers* NetLocation::Servers = nullptr;

TEST_F(NetLocation, HttpDownloadDeliversChunksWithRunningTotals) {
    auto* loc = Location(ipHTTP);
    struct TChunk {
        int64_t Bytes, Total, Size;
    };
    std::vector<TChunk> chunks, internal;
    std::vector<std::string> steps;
    std::string expectedName = "archive.1";
    loc->OnBeforeConnect = [&](TObject*) { steps.push_back("before connect"); };
    loc->OnAfterConnect = [&](TObject*) { steps.push_back("after connect"); };
    loc->OnBeforeDownload = [&](TObject*) { steps.push_back("before download"); };
    loc->OnAfterDownload = [&](TObject*, bool aborted) {
        steps.push_back(aborted ? "aborted" : "after download");
    };
    loc->OnDataReceived = [&](TObject* sender, const std::string& name, int64_t bytes, int64_t total,
                              int64_t size, const char* buffer) {
        EXPECT_EQ(sender, loc);
        EXPECT_EQ(name, expectedName);
        EXPECT_NE(buffer, nullptr);
        chunks.push_back({bytes, total, size});
    };
    loc->OnDataReceivedInternal = [&](TObject*, const std::string&, int64_t bytes, int64_t total,
                                      int64_t size, const char*) { internal.push_back({bytes, total, size}); };
    loc->GetFile("archive.1", "C:\\dl\\archive.1");
    // The body starts with "404": the status decides, not the bytes.
    EXPECT_EQ(WinReadFile("C:\\dl\\archive.1"), Pattern(20000));
    ASSERT_GE(chunks.size(), 3u);
    ASSERT_EQ(chunks.size(), internal.size());
    int64_t sum = 0;
    for (auto& c : chunks) {
        EXPECT_LE(c.Bytes, 8192);
        sum += c.Bytes;
        EXPECT_EQ(c.Total, sum);
        EXPECT_EQ(c.Size, 20000);
    }
    EXPECT_EQ(sum, 20000);
    EXPECT_EQ(steps, (std::vector<std::string>{"before connect", "after connect", "before download",
                                               "after download"}));
    EXPECT_TRUE(loc->GetConnected());
    EXPECT_EQ(CurrentNetLocation(), loc);

    // Without a usable Content-Length the file size is 0; redirects are followed; a body longer
    // than announced is cut at the announced length.
    for (std::string path : {"nolength/archive.1", "hugelength", "redirect/second.1", "long"}) {
        SCOPED_TRACE(path);
        chunks.clear();
        expectedName = path;
        loc->GetFile(path, "C:\\dl\\x.1");
        ASSERT_FALSE(chunks.empty());
        if (path == "redirect/second.1") {
            EXPECT_EQ(WinReadFile("C:\\dl\\x.1"), Pattern(9000));
            EXPECT_EQ(chunks.back().Size, 9000);
        } else if (path == "long") {
            EXPECT_EQ(WinReadFile("C:\\dl\\x.1"), std::string(10, 'l'));
        } else {
            EXPECT_EQ(chunks.back().Size, 0);
        }
    }
}

TEST_F(NetLocation, HttpFailuresNameTheErrorAndLeaveNoFile) {
    auto* loc = Location(ipHTTP);
    std::string host = Host(ipHTTP);
    EXPECT_EQ(NetFailure<ENIL_FileNotFound>(*loc, "missing.1", "C:\\dl\\m.1"),
              "Could not find the file missing.1 on the server. Error message "
              "ERROR_INTERNET_EXTENDED_ERROR. Server " + host +
                  ". Response from server HTTP/1.1 404 Not Found");
    struct {
        std::string Path;
        std::string Class;
        std::string Needle;
    } rows[] = {
        {"error500", "ENIL_FileNotFound", "HTTP/1.1 500"},
        {"empty.1", "ENIL_FileNotFound", "Could not find the file empty.1"},
        {"short", "ENIL_ReadFile", "ERROR_INTERNET_CONNECTION_ABORTED"},
        {"loop", "ENIL_HTTPSendRequest", "Cannot send request for file loop to the server"},
        {"ftpredirect", "ENIL_HTTPSendRequest", "ERROR_INTERNET_UNRECOGNIZED_SCHEME"},
        {"badlength", "ENIL_HTTPSendRequest", "ERROR_HTTP_INVALID_SERVER_RESPONSE"},
        {"neglength", "ENIL_HTTPSendRequest", "ERROR_HTTP_INVALID_SERVER_RESPONSE"},
        {"private/archive.1", "ENIL_FileNotFound", "401"},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.Path);
        WinWriteFile("C:\\dl\\old.1", "an older copy");
        std::string message, cls;
        try {
            loc->GetFile(row.Path, "C:\\dl\\old.1");
        } catch (const ENIL& e) {
            message = e.Message();
            cls = e.ClassName();
        }
        if (row.Class != "ENIL") {
            EXPECT_EQ(cls, row.Class);
        }
        EXPECT_NE(message.find(row.Needle), std::string::npos) << message;
        EXPECT_FALSE(WinFileExists("C:\\dl\\old.1"));
    }
    // The location still works afterwards.
    loc->GetFile("second.1", "C:\\dl\\s.1");
    EXPECT_EQ(WinFileSize("C:\\dl\\s.1"), 9000u);
    // A named login sends its user and password.
    auto* named = Location(ipHTTP);
    named->LoginInformation().Anonymous = false;
    named->LoginInformation().Username = "orvex";
    named->LoginInformation().Password = "secret";
    named->GetFile("private/archive.1", "C:\\dl\\p.1");
    EXPECT_EQ(WinFileSize("C:\\dl\\p.1"), 20000u);
}

TEST_F(NetLocation, StalledServersTimeOut) {
    CurrentWinEnv().StallTimeout = 1;
    auto* loc = Location(ipHTTP);
    std::string slow = NetFailure<ENIL_ReadFile>(*loc, "slow", "C:\\dl\\slow.1");
    EXPECT_NE(slow.find("ERROR_INTERNET_TIMEOUT"), std::string::npos) << slow;
    EXPECT_FALSE(WinFileExists("C:\\dl\\slow.1"));
    std::string hang = NetFailure<ENIL_HTTPSendRequest>(*loc, "hang", "C:\\dl\\hang.1");
    EXPECT_NE(hang.find("ERROR_INTERNET_TIMEOUT"), std::string::npos) << hang;
    delete loc;
    // A byte every 0.2 s never stalls; the transfer's own limit ends it.
    CurrentWinEnv().TransferTimeout = 2;
    loc = Location(ipHTTP);
    std::string drip = NetFailure<ENIL_ReadFile>(*loc, "drip", "C:\\dl\\drip.1");
    EXPECT_NE(drip.find("ERROR_INTERNET_TIMEOUT"), std::string::npos) << drip;
    EXPECT_FALSE(WinFileExists("C:\\dl\\drip.1"));
}

TEST_F(NetLocation, FtpDirectoriesAndLogins) {
    struct {
        std::string Directory, Remote, Expected;
    } rows[] = {
        {"", "archive.1", Pattern(20000)},
        {"sub\\dir", "nested.1", "nested archive"},
        {"\\sub\\dir\\", "nested.1", "nested archive"},
        {"/sub", "dir\\nested.1", "nested archive"},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.Directory);
        auto* loc = Location(ipFTP, row.Directory);
        std::vector<int64_t> sizes;
        loc->OnDataReceived = [&](TObject*, const std::string&, int64_t, int64_t, int64_t size,
                                  const char*) { sizes.push_back(size); };
        loc->GetFile(row.Remote, "C:\\dl\\f.1");
        EXPECT_EQ(WinReadFile("C:\\dl\\f.1"), row.Expected);
        ASSERT_FALSE(sizes.empty());
        EXPECT_EQ(sizes.back(), static_cast<int64_t>(row.Expected.size()));
        EXPECT_NE(loc->LastResponse().find("226"), std::string::npos) << loc->LastResponse();
        delete loc;
    }

    auto* named = Location(ipFTP, "sub");
    named->LoginInformation().Anonymous = false;
    named->LoginInformation().Username = "orvex";
    named->LoginInformation().Password = "secret";
    named->GetFile("dir/nested.1", "C:\\dl\\n.1");
    EXPECT_EQ(WinReadFile("C:\\dl\\n.1"), "nested archive");
    std::string missing = NetFailure<ENIL_FTPOpenFile>(*named, "nothere.1", "C:\\dl\\n2.1");
    EXPECT_EQ(missing.rfind("Cannot open file nothere.1 on server. Error message "
                            "ERROR_INTERNET_EXTENDED_ERROR. Server " + Host(ipFTP) +
                                ". Response from server 550",
                            0),
              0u)
        << missing;
    EXPECT_FALSE(WinFileExists("C:\\dl\\n2.1"));
    delete named;

    auto* wrong = Location(ipFTP);
    wrong->LoginInformation().Anonymous = false;
    wrong->LoginInformation().Username = "orvex";
    wrong->LoginInformation().Password = "guess";
    std::string denied = NetFailure<ENIL_OpenService>(*wrong, "archive.1", "C:\\dl\\w.1");
    EXPECT_NE(denied.find("Cannot connect to host " + Host(ipFTP) +
                          ". Error message ERROR_INTERNET_INCORRECT_PASSWORD"),
              std::string::npos)
        << denied;
    EXPECT_FALSE(wrong->GetConnected());
    delete wrong;

    auto* badDir = Location(ipFTP, "no\\such");
    std::string setDir = NetFailure<ENIL_FTPSetDir>(*badDir, "archive.1", "C:\\dl\\b.1");
    EXPECT_EQ(setDir.rfind("Cannot set directory on server to no/such. Error message", 0), 0u) << setDir;
}

TEST_F(NetLocation, ConnectFailuresAndTheLibrary) {
    auto* loc = Location(ipFTP);
    loc->LoginInformation().Hostname = "nowhere.example";
    EXPECT_EQ(NetFailure<ENIL_OpenService>(*loc, "a.1", "C:\\dl\\a.1"),
              "Cannot connect to host nowhere.example. Error message "
              "ERROR_INTERNET_NAME_NOT_RESOLVED. Server nowhere.example. Response from server No "
              "server response");
    for (TInternetProtocol protocol : {ipFTP, ipHTTP}) {
        auto* refused = Location(protocol);
        refused->LoginInformation().Hostname = "127.0.0.1:" + std::to_string(ClosedPort());
        std::string text = NetFailure<ENIL_OpenService>(*refused, "a.1", "C:\\dl\\a.1");
        EXPECT_NE(text.find("ERROR_INTERNET_CANNOT_CONNECT"), std::string::npos) << text;
        delete refused;
    }
    // A server that speaks neither protocol.
    for (TInternetProtocol protocol : {ipFTP, ipHTTP}) {
        auto* odd = Location(protocol);
        odd->LoginInformation().Hostname = "files.example:" + std::to_string(Servers->OddPort);
        std::string text;
        try {
            odd->GetFile("a.1", "C:\\dl\\odd.1");
        } catch (const ENIL& e) {
            text = std::string(e.ClassName()) + ": " + e.Message();
        }
        EXPECT_EQ(text.rfind(protocol == ipFTP ? "ENIL_OpenService: Cannot connect to host"
                                               : "ENIL_HTTPSendRequest: Cannot send request",
                             0),
                  0u)
            << text;
        EXPECT_FALSE(WinFileExists("C:\\dl\\odd.1"));
        delete odd;
    }
    for (std::string bad : {"files example", "files.example:http", "files.example:70000", ":21"}) {
        loc->LoginInformation().Hostname = bad;
        std::string text = NetFailure<ENIL_OpenService>(*loc, "a.1", "C:\\dl\\a.1");
        EXPECT_NE(text.find("ERROR_INTERNET_INVALID_URL"), std::string::npos) << text;
    }
    delete loc;

    CurrentWinEnv().InternetLibrary = "libnothere-orvex.so.9";
    auto* absent = Location(ipHTTP);
    EXPECT_EQ(NetFailure<ENIL_FailLoadWININET>(*absent, "archive.1", "C:\\dl\\a.1"),
              "Failed to load the Wininet.dll. If this is a hybrid installation, you might want to "
              "include the WININET.DLL file in the PresetupFiles property of the TInstall component");
    EXPECT_FALSE(absent->GetLibraryLoaded());
    EXPECT_FALSE(absent->GetConnected());
    CurrentWinEnv().InternetLibrary = "libz.so.1";
    EXPECT_EQ(MessageOf<ENIL_FailLoadDLLProc>([&] { absent->LoadLibrary(); }),
              "Failed to load the procedure InternetGetLastResponseInfo from WININET.DLL");
}

TEST_F(NetLocation, LocalFileFailuresAndAbort) {
    auto* loc = Location(ipHTTP);
    EXPECT_EQ(NetFailure<ENIL_WriteDestFile>(*loc, "archive.1", "Z:\\tmp\\x.1"),
              "HttpLoc could not write to the local dest file Z:\\tmp\\x.1");
    // A floppy that fills up mid-download.
    CurrentWinEnv().DiskCapacity = 5000;
    WinForceDirectories("A:\\");
    EXPECT_EQ(NetFailure<ENIL_WriteDestFile>(*loc, "archive.1", "A:\\archive.1"),
              "HttpLoc could not write to the local dest file A:\\archive.1");
    EXPECT_FALSE(WinFileExists("A:\\archive.1"));

    loc->OnDataReceived = [&](TObject*, const std::string&, int64_t, int64_t total, int64_t,
                              const char*) {
        if (total > 8192) Abort();
    };
    EXPECT_THROW(loc->GetFile("archive.1", "C:\\dl\\ab.1"), EAbort);
    EXPECT_FALSE(WinFileExists("C:\\dl\\ab.1"));
    loc->OnDataReceived = nullptr;
    loc->GetFile("archive.1", "C:\\dl\\ab.1");
    EXPECT_EQ(WinFileSize("C:\\dl\\ab.1"), 20000u);
}

TEST_F(NetLocation, ConnectionIsReusedAcrossFiles) {
    auto* loc = Location(ipHTTP);
    loc->GetFile("connections", "C:\\dl\\c0");
    loc->GetFile("archive.1", "C:\\dl\\a.1");
    loc->GetFile("second.1", "C:\\dl\\s.1");
    loc->GetFile("connections", "C:\\dl\\c1");
    EXPECT_EQ(WinReadFile("C:\\dl\\c0"), WinReadFile("C:\\dl\\c1"));
}

TEST(NetLocationRules, LoginChecksErrorNamesAndTheList) {
    struct {
        bool Anonymous;
        const char *Host, *User, *Password;
        bool Usable;
    } logins[] = {
        {true, "h", "", "", true},        {true, " ", "u", "p", false},
        {false, "", "u", "", true},       {false, "", "", "p", true},
        {false, " ", " ", " ", false},    {false, "h", "", "", true},
    };
    for (auto& row : logins) {
        TLoginInformation login;
        login.Anonymous = row.Anonymous;
        login.Hostname = row.Host;
        login.Username = row.User;
        login.Password = row.Password;
        EXPECT_EQ(login.IsUsable(), row.Usable) << row.Host << "/" << row.User;
        TLoginInformation copy;
        copy.Assign(login);
        EXPECT_EQ(copy.Username, login.Username);
        EXPECT_EQ(copy.Anonymous, login.Anonymous);
    }
    struct {
        uint32_t Code;
        const char* Name;
    } names[] = {
        {6, "ERROR_INVALID_HANDLE"},          {12002, "ERROR_INTERNET_TIMEOUT"},
        {12031, "ERROR_INTERNET_CONNECTION_RESET"}, {12036, "ERROR_INTERNET_HANDLE_EXISTS"},
        {12041, "ERROR_INTERNET_MIXED_SECURITY"}, {12111, "ERROR_FTP_DROPPED"},
        {12138, "ERROR_GOPHER_UNKNOWN_LOCATOR"}, {12155, "ERROR_HTTP_HEADER_ALREADY_EXISTS"},
        {12032, "Unregistered error code"},   {0, "Unregistered error code"},
    };
    for (auto& row : names)
        EXPECT_EQ(NetErrorName(row.Code), row.Name);

    EXPECT_EQ(MessageOf<IENetList>([] { NetLocationList().Add(nullptr); }).rfind(
                  "Cannot add a blank location to the global net location list", 0),
              0u);
    int before = NetLocationList().Count();
    {
        TComponent form;
        new TNetInstallLocation(&form);
        EXPECT_EQ(NetLocationList().Count(), before + 1);
    }
    EXPECT_EQ(NetLocationList().Count(), before);
}

TEST_F(NetLocation, DirectoryArchiveIsDownloadedAndRecorded) {
    auto* install = new TCustomInstall(&Form);
    install->SetName("Install");
    auto* dir = new TInstallDirectory(&Form);
    dir->SetName("Dir1");
    dir->SetContainer(install);
    EXPECT_EQ(MessageOf<IEFileRel_NoNetLocation>([&] { dir->GetDownloadedArchivePath(); }),
              "Could not find a net install location for Dir1");

    auto* loc = Location(ipHTTP);
    loc->LoginInformation().Hostname = "";
    install->SetNetLocation(loc);
    EXPECT_EQ(MessageOf<IEFileRelated>([&] { dir->GetDownloadedArchivePath(); }),
              "Dir1 could not install itself because the LoginInformation property of the TInstall "
              "component has not been properly filled in");
    dir->SetNetLocation(loc);
    EXPECT_EQ(MessageOf<IEFileRelated>([&] { dir->GetDownloadedArchivePath(); }),
              "Dir1 could not install itself because the TNetLocation component's properties, in "
              "the NetLocation property, have not been filled in");
    loc->LoginInformation().Hostname = Host(ipHTTP);
    dir->SetNetLocation(nullptr);

    SetInstallRecordKey("\\SOFTWARE\\Kel\\Install\\Install0");
    install->SetRunning(true);
    int downloads = 0;
    dir->OnDataReceived = [&](TObject*, const std::string&, int64_t, int64_t, int64_t, const char*) {
        ++downloads;
    };
    std::string path = dir->GetDownloadedArchivePath();
    ASSERT_GT(path.size(), 2u);
    EXPECT_EQ(path.substr(path.size() - 2), ".1");
    EXPECT_EQ(WinReadFile(path), "the archive of Dir1");
    EXPECT_EQ(RegReadString(hkLocalMachine, "\\SOFTWARE\\Kel\\Install\\Install0\\Dir1", "LocalFile", ""),
              path);
    EXPECT_EQ(downloads, 1);
    // The directory's archive path is now the local copy; no second download.
    EXPECT_EQ(dir->GetArchivePath(), path);
    EXPECT_EQ(dir->GetDownloadedArchivePath(), path);
    EXPECT_EQ(downloads, 1);
    install->SetRunning(false);
    SetInstallRecordKey("");
}
