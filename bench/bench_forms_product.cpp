// OrvexDemoInstall as a real process on the headless backend, on a fresh machine with Delphi 7
// and the product's distributable (built once with -b; 97 files, a few MB):
//  - a headless install driven by the happy-path script: wall time (aim < 2 s), with the hive
//    writes of a run and the MB extracted as counters;
//  - a start cancelled on its first page: start-up to the first page and back out (aim < 300 ms);
//  - SaveLog of the happy path's log (59 lines), the cost behind each of the run's saves.
// Needs ORVEX_PROGRAM and ORVEX_LOADER (the release build's) and ORVEX_PAYLOAD_DIR.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinProcess.h"
#include "host/win/WinRegistry.h"
#include "host/win/WinShell.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/wizard/VCLInstall.h"
#include "setup/wizard/frmMain.h"

using namespace zan;

namespace {

const char* const Happy = "[TWelcomeForm] click ProceedBtn\n[TLicenseForm] click ProceedBtn\n"
                          "[TSelectDestinationForm] click ProceedBtn\n[TConfirmInstall] click ProceedBtn\n"
                          "[TReadmeForm] click ProceedBtn\n[TAfterGoodInstallDlg] click FinishBtn\n";
const char* const CancelAtOnce = "[TWelcomeForm] click CancelBtn\n[TBadInstallForm] click FinishBtn\n";

std::string Root() { return "/tmp/bench_orvex_" + std::to_string(getpid()); }

std::string ReadHost(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void CopyIn(const std::string& host, const std::string& win) {
    WinWriteFile(win, ReadHost(host));
    WinMarkExecutableIfProgram(win);
}

// A fresh machine with Delphi 7 and the distributable in C:\build (built on the first call).
void FreshMachine(const std::string& script) {
    static std::string kept = Root() + "_dist";
    std::error_code ec;
    std::filesystem::remove_all(Root(), ec);
    InitEnv(Root(), {});
    SeedDelphi7Installation();
    setenv("ZAN_FORMS", "headless", 1);
    if (!std::filesystem::exists(kept)) {
        WinForceDirectories("C:\\dev");
        CopyIn(ORVEX_PROGRAM, "C:\\dev\\setup");
        WinWriteFile("C:\\dev\\BUILD.INF", "C:\\build\r\n");
        WinForceDirectories("C:\\lib");
        WinWriteFile("C:\\lib\\Kovrix.TXT", "");
        CopyIn(ORVEX_LOADER, "C:\\lib\\CorvaneLoadProgram.exe");
        RegWriteString(hkCurrentUser, "\\Software\\Borland\\Delphi\\5.0\\Library", "Search Path", "C:\\lib");
        WinWaitProcess(WinCreateProcess("C:\\dev\\setup", {"-b"}));
        std::filesystem::copy(Root() + "/drive_c/build", kept, std::filesystem::copy_options::recursive);
    } else {
        std::filesystem::copy(kept, Root() + "/drive_c/build", std::filesystem::copy_options::recursive);
    }
    std::ofstream(Root() + "/script.txt") << script;
    setenv("ZAN_FORMS_SCRIPT", (Root() + "/script.txt").c_str(), 1);
    setenv("ZAN_FORMS_TRANSCRIPT", (Root() + "/transcript.txt").c_str(), 1);
}

// The hive's write count (the first 8 bytes of its lock file).
int64_t Writes(HKEY root) {
    std::ifstream in(HiveFileName(root) + ".lock", std::ios::binary);
    uint64_t n = 0;
    in.read(reinterpret_cast<char*>(&n), sizeof n);
    return static_cast<int64_t>(n);
}

void HeadlessInstall(benchmark::State& state) {
    double hive = 0;
    for (auto _ : state) {
        state.PauseTiming();
        FreshMachine(Happy);
        int64_t before = Writes(HKEY_LOCAL_MACHINE) + Writes(HKEY_CURRENT_USER);
        state.ResumeTiming();
        int status = WinWaitProcess(WinCreateProcess("C:\\build\\setup.exe", {}));
        state.PauseTiming();
        if (status != 0) state.SkipWithError("the install did not end well");
        hive = static_cast<double>(Writes(HKEY_LOCAL_MACHINE) + Writes(HKEY_CURRENT_USER) - before);
        state.ResumeTiming();
    }
    double bytes = 0;
    for (const TProductFile& f : ProductFiles())
        bytes += static_cast<double>(
            std::filesystem::file_size(std::string(ORVEX_PAYLOAD_DIR) + "/" + f.Directory + "/" + f.Name));
    state.counters["MB"] = bytes / (1024.0 * 1024.0);
    state.counters["hive_writes"] = hive;
}
BENCHMARK(HeadlessInstall)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void StartUpToFirstPageAndOut(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        FreshMachine(CancelAtOnce);
        state.ResumeTiming();
        WinWaitProcess(WinCreateProcess("C:\\build\\setup.exe", {}));
    }
}
BENCHMARK(StartUpToFirstPageAndOut)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void SaveLogOfTheHappyPath(benchmark::State& state) {
    std::error_code ec;
    std::filesystem::remove_all(Root(), ec);
    InitEnv(Root(), {});
    CreateSetupLog();
    for (int i = 0; i < 59; ++i) SetupLog("Install into VCL. Product - Delphi 7. A line of the setup log as long as most");
    for (auto _ : state) SaveLog();
    FreeSetupLog();
}
BENCHMARK(SaveLogOfTheHappyPath)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
