// The sandbox's costs against the host calls they stand on, in one run:
//  - a registry write into a hive of 5,000 values against writing and renaming the same bytes
//    (aim: at most 2x);
//  - resolving an existing 6-level Windows path against stat of its host path, in exact case
//    (aim: at most 1.5x) and in wrong case with a warm listing cache (aim: at most 4x).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "host/win/WinRegistry.h"
#include "host/win/WinShell.h"

using namespace zan;

namespace {

struct TBenchSandbox {
    TBenchSandbox() {
        char dir[] = "/tmp/bench_winsandbox_XXXXXX";
        Root = mkdtemp(dir);
        TInitEnvOptions options;
        options.SeedShellFolders = false;
        InitEnv(Root, options);
        RegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Bench");
        TRegistry reg;
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        reg.OpenKey("\\Software\\Bench", false);
        // 5,000 values, written in one go by hand to keep set-up short.
        std::string text = "; hive HKLM\n[\\]\n[\\Software]\n[\\Software\\Bench]\n";
        for (int i = 0; i < 5000; ++i)
            text += "\"Value" + std::to_string(i) + "\"=sz:\"C:\\\\Program Files\\\\Orvex\\\\file" +
                    std::to_string(i) + ".dat\"\n";
        WriteAndRename(HiveFileName(HKEY_LOCAL_MACHINE), text);
        HiveText = text;
        WinForceDirectories("C:\\Level1\\Level2\\Level3\\Level4\\Level5");
        WinWriteFile("C:\\Level1\\Level2\\Level3\\Level4\\Level5\\Target.dat", "x");
        HostPath = WinPathToHost("C:\\Level1\\Level2\\Level3\\Level4\\Level5\\Target.dat");
    }
    ~TBenchSandbox() {
        std::error_code ec;
        std::filesystem::remove_all(Root, ec);
    }
    static void WriteAndRename(const std::string& file, const std::string& text) {
        std::string temp = file + ".bench";
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            std::abort();
        close(fd);
        if (rename(temp.c_str(), file.c_str()) != 0) std::abort();
    }
    std::string Root, HiveText, HostPath;
};

TBenchSandbox& Box() {
    static TBenchSandbox box;
    return box;
}

void BM_RegistryWriteInto5000Values(benchmark::State& state) {
    Box();
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    reg.OpenKey("\\Software\\Bench", false);
    int i = 0;
    for (auto _ : state)
        reg.WriteString("Value" + std::to_string(i++ % 5000), "C:\\Program Files\\Orvex\\changed.dat");
}
BENCHMARK(BM_RegistryWriteInto5000Values);

void BM_WriteAndRenameSameBytes(benchmark::State& state) {
    std::string file = Box().Root + "/plain.reg";
    for (auto _ : state)
        TBenchSandbox::WriteAndRename(file, Box().HiveText);
}
BENCHMARK(BM_WriteAndRenameSameBytes);

void BM_StatHostPath(benchmark::State& state) {
    struct stat st;
    for (auto _ : state)
        benchmark::DoNotOptimize(stat(Box().HostPath.c_str(), &st));
}
BENCHMARK(BM_StatHostPath);

void BM_ResolveExactCase(benchmark::State& state) {
    Box();
    // The resolution itself ends with the lstat that proves the path exists.
    for (auto _ : state)
        benchmark::DoNotOptimize(WinPathToHost("C:\\Level1\\Level2\\Level3\\Level4\\Level5\\Target.dat"));
}
BENCHMARK(BM_ResolveExactCase);

void BM_ResolveWrongCaseWarm(benchmark::State& state) {
    Box();
    WinPathToHost("c:\\LEVEL1\\level2\\LEVEL3\\level4\\LEVEL5\\target.DAT");
    for (auto _ : state)
        benchmark::DoNotOptimize(WinPathToHost("c:\\LEVEL1\\level2\\LEVEL3\\level4\\LEVEL5\\target.DAT"));
}
BENCHMARK(BM_ResolveWrongCaseWarm);

} // namespace

BENCHMARK_MAIN();
