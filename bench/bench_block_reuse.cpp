// Costs that must not grow with the file or the transaction:
//  - releasing record blocks as a cursor does (table lock only, no header lock) in files of
//    about 1 MB, 200 MB and 800 MB: file reads and time per release;
//  - freeing every page of a table and taking them again one by one inside one transaction
//    (empty and reload): time per step for 5,000 to 40,000 pages.
// A plain program printing its figures: each case builds its own file.
#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/storage/zanDisk.h"
#include "engine/storage/zanFile.h"
#include "engine/storage/zanInterfaceUnit.h"

using namespace zan;

namespace {

constexpr uint32_t P = 4096;
constexpr uint32_t RunPages = 1000;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string BenchPath(const char* name) {
    return "/tmp/bench_block_reuse_" + std::to_string(getpid()) + "_" + name;
}

void Create(TDiskMgr& disk, const std::string& path, int32_t openFlags) {
    disk.SetFileName(path);
    disk.SetPageSize(P);
    disk.CreateNewFile(true);
    disk.SetOpenFlags(openFlags);
    disk.Open();
}

// Pages of another owner in front of the table's pages.
void Fill(TDiskMgr& disk, uint32_t owner, uint32_t pages) {
    std::vector<uint8_t> run(RunPages * P, 1);
    disk.SetHeaderWriteLock();
    for (uint32_t k = 0; k < pages; k += RunPages)
        disk.WriteNewPages(owner, 9, 1, std::min(RunPages, pages - k), run.data());
    disk.ReleaseHeaderLock();
}

void BlockRelease(uint32_t fillerMB) {
    const std::string path = BenchPath("release.zan");
    {
        TDiskMgr disk;
        Create(disk, path, 0x42); // shared: every release looks at the map as others see it
        Fill(disk, 5, fillerMB * 256);
        TDiskIOInterface store;
        store.SetDiskMgr(&disk);
        store.SetTableID(1);
        store.SetUsage(C_USAGE_RECORDS);
        store.SetBlockSize(200);
        store.SetAccessFlags(1);
        store.SetFirstEmpty(0);
        store.SetFirstEmptyValid(true);
        store.Open();
        constexpr uint32_t Blocks = 5000;
        std::vector<uint8_t> rec(200, 7);
        std::vector<uint32_t> addresses;
        for (uint32_t i = 0; i < Blocks; ++i)
            addresses.push_back(store.AllocateNewAddress(200, rec.data()));
        // Every other block, so that no run of free blocks fills a whole page again.
        const uint64_t reads = disk.GetZanFile()->GetReadCalls();
        const auto start = std::chrono::steady_clock::now();
        uint32_t released = 0;
        for (uint32_t i = 0; i < Blocks; i += 2, ++released)
            store.ReleaseBlock(addresses[i], 200);
        const double seconds = Seconds(start);
        std::printf("release: file %5.0f MB  %6.2f reads per release  %.3f s for %u\n",
                    double(disk.GetFileSize()) / 1048576.0,
                    double(disk.GetZanFile()->GetReadCalls() - reads) / released, seconds,
                    released);
        store.Close();
        disk.Close();
    }
    unlink(path.c_str());
    unlink((path.substr(0, path.size() - 4) + ".lck").c_str());
}

void EmptyAndReload(uint32_t pages) {
    const std::string path = BenchPath("reload.zan");
    {
        TDiskMgr disk;
        Create(disk, path, 0x12);
        Fill(disk, 5, pages);
        std::vector<uint8_t> page(P, 1);
        disk.DiskStartTransaction(false);
        disk.SetHeaderWriteLock();
        auto start = std::chrono::steady_clock::now();
        disk.DeleteOwnedPages(5, 9, false);
        const double freeAll = Seconds(start);
        start = std::chrono::steady_clock::now();
        for (uint32_t k = 0; k < pages; ++k)
            disk.WriteNewPages(6, 9, 1, 1, page.data());
        const double reload = Seconds(start);
        disk.ReleaseHeaderLock();
        start = std::chrono::steady_clock::now();
        disk.DiskCommit();
        std::printf("reload: %6u pages  free all %.3f s  reallocate one by one %.3f s  commit "
                    "%.3f s\n",
                    pages, freeAll, reload, Seconds(start));
        disk.Close();
    }
    unlink(path.c_str());
}

} // namespace

int main() {
    for (uint32_t mb : {1u, 200u, 800u})
        BlockRelease(mb);
    for (uint32_t pages : {5000u, 10000u, 20000u, 40000u})
        EmptyAndReload(pages);
    return 0;
}
