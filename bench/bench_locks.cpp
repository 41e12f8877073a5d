// Uncontended lock round trips: the file layer's byte-range locks and the lock managers on top.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/storage/zanLockMgrUnit.h"
#include "host/win/WinFiles.h"

using namespace zan;

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

// Connections of the users file beside a database, each with its own database handle.
struct TUsersFiles {
    TUsersFiles()
        : Db("/tmp/bench_users_" + std::to_string(getpid()) + ".zan"),
          Lck("/tmp/bench_users_" + std::to_string(getpid()) + ".lck") {
        TWinFile f;
        f.Create(Db, fsDenyNone, true);
    }
    ~TUsersFiles() {
        Monitors.clear();
        Handles.clear();
        DeleteFile(Lck);
        DeleteFile(Db);
    }
    TDBUserMonitor& Connect(const std::string& user) {
        Handles.push_back(std::make_unique<TWinFile>());
        Handles.back()->Open(Db, faReadWrite, fsDenyNone);
        Monitors.push_back(std::make_unique<TDBUserMonitor>(Handles.back().get(), Lck));
        Monitors.back()->Open(user, "benchhost");
        return *Monitors.back();
    }
    std::string Db, Lck;
    std::vector<std::unique_ptr<TWinFile>> Handles;
    std::vector<std::unique_ptr<TDBUserMonitor>> Monitors;
};

// Open and close of one connection while entries - 1 other users stay connected; with one
// entry every round trip creates and deletes the file.
void BM_UsersFileOpenClose(benchmark::State& state) {
    TUsersFiles files;
    for (int64_t i = 1; i < state.range(0); ++i)
        files.Connect("user" + std::to_string(i));
    TWinFile db;
    db.Open(files.Db, faReadWrite, fsDenyNone);
    TDBUserMonitor monitor(&db, files.Lck);
    for (auto _ : state) {
        monitor.Open("bench", "benchhost");
        monitor.Close();
    }
}
BENCHMARK(BM_UsersFileOpenClose)->Arg(1)->Arg(100);

void BM_UsersConnectionCount(benchmark::State& state) {
    TUsersFiles files;
    for (int64_t i = 0; i < state.range(0); ++i)
        files.Connect("user" + std::to_string(i));
    TDBUserMonitor& monitor = *files.Monitors.front();
    for (auto _ : state)
        benchmark::DoNotOptimize(monitor.GetCurrentConnectionCount());
}
BENCHMARK(BM_UsersConnectionCount)->Arg(100)->Unit(benchmark::kMicrosecond);

// The same count by trying every connection byte of every entry, for comparison.
void BM_UsersConnectionCountByteByByte(benchmark::State& state) {
    TUsersFiles files;
    for (int64_t i = 0; i < state.range(0); ++i)
        files.Connect("user" + std::to_string(i));
    TWinFile* handle = files.Monitors.front()->GetLockFileHandle();
    for (auto _ : state) {
        int64_t count = 0;
        for (int64_t e = 1; e <= state.range(0); ++e)
            for (uint64_t k = 0; k < TDBUserMonitor::EntrySize; ++k) {
                uint64_t byte = TDBUserMonitor::GetLockOffset(uint64_t(e) * 4096) + k;
                if (handle->TryLock(byte, 1))
                    handle->Unlock(byte, 1);
                else
                    ++count;
            }
        benchmark::DoNotOptimize(count);
    }
}
BENCHMARK(BM_UsersConnectionCountByteByByte)->Arg(100)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
