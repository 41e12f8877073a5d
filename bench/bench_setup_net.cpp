// The install engine's network and script costs, in one run:
//  - a 64 MB download through a network install location against libcurl alone writing the
//    same file from the same loopback server, over HTTP and over FTP (aim: at least 0.90 of
//    libcurl's throughput);
//  - the install pass of a script of 2,000 files in 20 directories (time per file, reported).
#include <chrono>
#include <cstdio>
#include <curl/curl.h>
#include <dlfcn.h>
#include <filesystem>
#include <stdlib.h>
#include <string>

#include "host/win/WinFs.h"
#include "host/win/WinShell.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/cmp_TNetInstallLocation.h"
#include "tests/setup/support/net_servers.h"

using namespace zan;

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point start) {
    return std::chrono::duration<double>(TClock::now() - start).count();
}

// libcurl by itself: one handle, 8 KiB buffer, the chunks written to a host file.
struct TRawCurl {
    TRawCurl() {
        Lib = dlopen("libcurl.so.4", RTLD_NOW);
        Init = reinterpret_cast<CURL* (*)()>(dlsym(Lib, "curl_easy_init"));
        Setopt = reinterpret_cast<CURLcode (*)(CURL*, CURLoption, ...)>(dlsym(Lib, "curl_easy_setopt"));
        Perform = reinterpret_cast<CURLcode (*)(CURL*)>(dlsym(Lib, "curl_easy_perform"));
        Cleanup = reinterpret_cast<void (*)(CURL*)>(dlsym(Lib, "curl_easy_cleanup"));
        Handle = Init();
        Setopt(Handle, CURLOPT_BUFFERSIZE, 8192L);
        Setopt(Handle, CURLOPT_NOPROXY, "*");
        Setopt(Handle, CURLOPT_WRITEFUNCTION, &Write);
    }
    ~TRawCurl() {
        Cleanup(Handle);
        dlclose(Lib);
    }
    static size_t Write(char* data, size_t size, size_t count, void* user) {
        return fwrite(data, size, count, static_cast<FILE*>(user)) * size;
    }
    void Get(const std::string& url, const std::string& hostFile) {
        FILE* out = fopen(hostFile.c_str(), "wb");
        Setopt(Handle, CURLOPT_URL, url.c_str());
        Setopt(Handle, CURLOPT_WRITEDATA, out);
        if (Perform(Handle) != CURLE_OK) std::fprintf(stderr, "raw curl failed on %s\n", url.c_str());
        fclose(out);
    }
    void* Lib;
    CURL* (*Init)();
    CURLcode (*Setopt)(CURL*, CURLoption, ...);
    CURLcode (*Perform)(CURL*);
    void (*Cleanup)(CURL*);
    CURL* Handle;
};

class TBenchFile : public TCustomInstallFile {
public:
    explicit TBenchFile(TComponent* owner) : TCustomInstallFile(owner) { FFileSize = 4096; }
    void ProcessChildren() override {
        DoInformationEventControl(this, scBeforeInstall, this);
        TFileStatusParameter status;
        TParameterList list;
        list.Items = {this, &status};
        status.Bytes = FFileSize;
        status.Finished = true;
        DoInformationEventControl(this, scStatusExtracting, &list);
        DoInformationEventControl(this, scFileInstalled, this);
    }
};

void Downloads(const std::string& root, TNetServers& servers, const char* label, TInternetProtocol protocol) {
    int port = protocol == ipHTTP ? servers.HttpPort : servers.FtpPort;
    std::string url = std::string(protocol == ipHTTP ? "http" : "ftp") + "://127.0.0.1:" +
                      std::to_string(port) + "/big.1";
    TComponent form;
    auto* location = new TNetInstallLocation(&form);
    location->SetName("Bench");
    location->LoginInformation().Protocol = protocol;
    location->LoginInformation().Hostname = "127.0.0.1:" + std::to_string(port);
    TRawCurl raw;
    double best = 1e9, bestRaw = 1e9;
    for (int round = 0; round < 5; ++round) {
        auto t = TClock::now();
        location->GetFile("big.1", "C:\\big.1");
        best = std::min(best, Seconds(t));
        t = TClock::now();
        raw.Get(url, root + "/raw.1");
        bestRaw = std::min(bestRaw, Seconds(t));
    }
    double mb = 64.0;
    std::printf("%s: location %.0f MB/s, libcurl alone %.0f MB/s, ratio %.2f (aim >= 0.90)\n", label,
                mb / best, mb / bestRaw, bestRaw / best);
}

} // namespace

int main() {
    char dir[] = "/tmp/bench_setup_net_XXXXXX";
    std::string root = mkdtemp(dir);
    InitEnv(root + "/machine");
    {
        TNetServers servers(root + "/served");
        std::string big(64 << 20, '\0');
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<char>(i * 131 + (i >> 13));
        FILE* f = fopen((servers.Root + "/big.1").c_str(), "wb");
        fwrite(big.data(), 1, big.size(), f);
        fclose(f);
        Downloads(root, servers, "HTTP 64 MB", ipHTTP);
        Downloads(root, servers, "FTP 64 MB", ipFTP);
    }
    {
        TComponent form;
        auto* install = new TCustomInstall(&form);
        for (int d = 0; d < 20; ++d) {
            auto* directory = new TInstallDirectory(&form);
            directory->SetContainer(install);
            for (int i = 0; i < 100; ++i)
                (new TBenchFile(&form))->SetContainer(directory);
        }
        install->SetRunning(true);
        auto t = TClock::now();
        install->Process();
        double s = Seconds(t);
        std::printf("script pass: 2000 files in %.1f ms, %.2f us per file\n", s * 1e3, s * 1e6 / 2000);
        install->SetRunning(false);
    }
    std::filesystem::remove_all(root);
    return 0;
}
