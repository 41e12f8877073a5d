// The database file object: pages per second through the page cache (plain, weak and strong
// cipher) inside and outside a transaction, the commit of a 50 MB transaction, and the system
// calls one page write costs outside a transaction.
#include <benchmark/benchmark.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanFile.h"

using namespace zan;

namespace {

constexpr uint32_t P = 4096;
constexpr uint32_t Pages = 2000; // 8 MB working set, larger than the 1000-page cache limit

struct TBenchFile {
    TBenchFile() : Path("/tmp/bench_dbfile_" + std::to_string(getpid()) + ".zan") {
        TWinFile f;
        f.Create(Path, fsDenyNone, true);
        std::vector<uint8_t> page(P, 0x5A);
        for (uint32_t n = 0; n < Pages; ++n)
            f.WriteAt(page.data(), P, uint64_t(n) * P);
        Open();
    }
    ~TBenchFile() {
        File.CloseZanFile();
        unlink(Path.c_str());
    }
    void Open() {
        File.SetXORKeyBuf(C_ZANXORKEY, sizeof C_ZANXORKEY);
        File.SetBlowKeyBuf(C_ZANDEFAULTBLOWKEY, sizeof C_ZANDEFAULTBLOWKEY);
        File.SetOpenRead(true);
        File.SetOpenWrite(true);
        File.SetCacheActive(true);
        File.OpenZanFile(Path);
    }
    std::string Path;
    TZanFile File;
};

// range(0): access flags 1, 3 or 5; range(1): 1 = inside a transaction.
void BM_PageWrite(benchmark::State& state) {
    TBenchFile f;
    const auto flags = static_cast<uint8_t>(state.range(0));
    const bool transaction = state.range(1) != 0;
    std::vector<uint8_t> page(P, 0x33);
    uint32_t n = 0;
    if (transaction) f.File.StartTransaction();
    for (auto _ : state) {
        f.File.SeekAndWriteZanFile(page.data(), 7, P, (n % Pages) * P, flags);
        ++n;
    }
    if (transaction) f.File.Rollback();
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * P);
}

// Reads cycling over a working set twice the cache size: every read is a miss, so this is the
// cost of a file read plus the cipher.
void BM_PageReadMiss(benchmark::State& state) {
    TBenchFile f;
    const auto flags = static_cast<uint8_t>(state.range(0));
    const bool transaction = state.range(1) != 0;
    std::vector<uint8_t> page(P);
    uint32_t n = 0;
    if (transaction) f.File.StartTransaction();
    for (auto _ : state) {
        f.File.SeekAndReadZanFile(page.data(), 7, P, (n % Pages) * P, flags);
        ++n;
    }
    if (transaction) f.File.Rollback();
    state.SetItemsProcessed(state.iterations());
}

// Reads of a small working set: hits.
void BM_PageReadHit(benchmark::State& state) {
    TBenchFile f;
    const auto flags = static_cast<uint8_t>(state.range(0));
    std::vector<uint8_t> page(P);
    uint32_t n = 0;
    for (auto _ : state) {
        f.File.SeekAndReadZanFile(page.data(), 7, P, (n % 32) * P, flags);
        ++n;
    }
    state.SetItemsProcessed(state.iterations());
}

// 12800 dirty pages (50 MB), appended in a transaction, then committed.
void BM_Commit50MB(benchmark::State& state) {
    const auto flags = static_cast<uint8_t>(state.range(0));
    std::vector<uint8_t> page(P, 0x44);
    for (auto _ : state) {
        state.PauseTiming();
        TBenchFile f;
        f.File.StartTransaction();
        for (uint32_t n = 0; n < 12800; ++n)
            f.File.SeekAndAppendZanFile(page.data(), P, 7, flags);
        state.ResumeTiming();
        f.File.Commit();
        state.PauseTiming();
        f.File.CloseZanFile();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * 12800ll * P);
}

// System calls (read and write) of one whole-page write and of one partial write of an
// uncached page, outside a transaction.
void BM_SyscallsPerPageWrite(benchmark::State& state) {
    TBenchFile f;
    const bool partial = state.range(0) != 0;
    std::vector<uint8_t> page(P, 0x11);
    uint32_t n = 0;
    const uint64_t before = f.File.GetReadCalls() + f.File.GetWriteCalls();
    for (auto _ : state) {
        f.File.SeekAndWriteZanFile(page.data(), 7, partial ? 100 : P, (n % Pages) * P, 1);
        ++n;
    }
    const uint64_t calls = f.File.GetReadCalls() + f.File.GetWriteCalls() - before;
    state.counters["syscalls_per_write"] =
        static_cast<double>(calls) / static_cast<double>(state.iterations());
}

} // namespace

BENCHMARK(BM_PageWrite)->ArgsProduct({{1, 3, 5}, {0, 1}});
BENCHMARK(BM_PageReadMiss)->ArgsProduct({{1, 3, 5}, {0, 1}});
BENCHMARK(BM_PageReadHit)->Arg(1)->Arg(3)->Arg(5);
BENCHMARK(BM_Commit50MB)->Arg(1)->Arg(5)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SyscallsPerPageWrite)->Arg(0)->Arg(1);
BENCHMARK_MAIN();
