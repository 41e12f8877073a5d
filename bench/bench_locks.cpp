// Uncontended lock round trips: the file layer's byte-range locks and the lock managers on top.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <unistd.h>

#include "engine/storage/zanLockMgrUnit.h"
#include "host/win/WinFiles.h"

namespace {

struct TLockFile {
    TLockFile() : Path("/tmp/bench_locks_" + std::to_string(getpid()) + ".lck") {
        File.Create(Path, fsDenyNone, true);
    }
    ~TLockFile() {
        File.Close();
        DeleteFile(Path);
    }
    std::string Path;
    TWinFile File;
};

void BM_FileLockUnlock(benchmark::State& state) {
    TLockFile f;
    for (auto _ : state) {
        bool locked = f.File.TryLock(0x800000, 8192);
        benchmark::DoNotOptimize(locked);
        f.File.Unlock(0x800000, 8192);
    }
}
BENCHMARK(BM_FileLockUnlock);

// A re-lock of a held range is refused by the handle's registry without a system call.
void BM_FileRelockRefused(benchmark::State& state) {
    TLockFile f;
    f.File.TryLock(100, 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(f.File.TryLock(100, 1));
}
BENCHMARK(BM_FileRelockRefused);

void BM_OpenCloseSharedHandle(benchmark::State& state) {
    TLockFile f;
    for (auto _ : state) {
        TWinFile g;
        g.Open(f.Path, faReadWrite, fsDenyNone);
    }
}
BENCHMARK(BM_OpenCloseSharedHandle);

void BM_ManagerWriteLockRelease(benchmark::State& state) {
    TLockFile f;
    auto mgr = GetLockManager(nullptr, &f.File, 0x800000, 8192, false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(mgr->SetWriteLock(7, 0));
        mgr->ReleaseLock(7);
    }
}
BENCHMARK(BM_ManagerWriteLockRelease);

void BM_ManagerReadLockRelease(benchmark::State& state) {
    TLockFile f;
    auto mgr = GetLockManager(nullptr, &f.File, 0x800000, 8192, false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(mgr->SetReadLock(7, 1));
        mgr->ReleaseLock(7);
    }
}
BENCHMARK(BM_ManagerReadLockRelease);

void BM_ManagerReadUpgradeRelease(benchmark::State& state) {
    TLockFile f;
    auto mgr = GetLockManager(nullptr, &f.File, 0x800000, 8192, false);
    for (auto _ : state) {
        mgr->SetReadLock(7, 1);
        benchmark::DoNotOptimize(mgr->SetWriteLock(7, 0));
        mgr->ReleaseLock(7);
    }
}
BENCHMARK(BM_ManagerReadUpgradeRelease);

void BM_RecordLockRelease(benchmark::State& state) {
    TLockFile f;
    auto mgr = GetLockManager(nullptr, &f.File, 0x2000000, 1, false);
    uint32_t address = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(mgr->SetWriteLock(address, 0));
        mgr->ReleaseLock(address);
        address += 64;
    }
}
BENCHMARK(BM_RecordLockRelease);

} // namespace

BENCHMARK_MAIN();
