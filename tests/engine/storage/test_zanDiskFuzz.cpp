// Damaged database files: random bytes in the fixed regions and map pages, and truncated files.
// Opening and using such a file may fail, but only with an engine error.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/storage/zanDisk.h"
#include "host/win/WinFiles.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

constexpr uint32_t P = 4096;

// Opens the file, allocates and releases pages, reads the map, closes. Answers the engine error
// code raised (0 for none); anything that is not an engine error fails the test.
int32_t UseDatabase(const std::string& path) {
    return ErrorCodeOf([&] {
        TDiskMgr disk;
        disk.SetFileName(path);
        disk.SetPageSize(P);
        disk.SetOpenFlags(0x42);
        disk.SetLockRetryCount(2);
        disk.SetLockRetryInterval(1);
        disk.Open();
        std::vector<uint8_t> page(2 * P, 0x5A);
        const uint32_t a = disk.WriteNewPages(3, 9, 1, 2, page.data());
        const uint32_t b = disk.WriteNewPages(4, 9, 1, 1, page.data());
        disk.ReleasePages(a, 2);
        disk.SetHeaderReadLock();
        disk.GetMapPageMgr()->GetMapEntry(b);
        disk.ReleaseHeaderLock();
        disk.Close();
    });
}

} // namespace

TEST(DiskFuzz, DamagedFilesGiveEngineErrorsOnly) {
    TTempFile base("fuzz_base.zan");
    {
        TDiskMgr disk;
        disk.SetFileName(base.Path);
        disk.SetPageSize(P);
        disk.CreateNewFile(true);
        disk.SetOpenFlags(0x42);
        disk.Open();
        std::vector<uint8_t> page(P, 0x11);
        for (int i = 0; i < 40; ++i)
            disk.WriteNewPages(uint32_t(1 + i % 5), 9, 1, 1, page.data());
        disk.Close();
    }
    const std::vector<uint8_t> good = ReadFileBytes(base.Path);
    ASSERT_GT(good.size(), 6u * P);
    TTempFile damaged("fuzz_damaged.zan");
    std::mt19937 rng(20261208);
    int failures = 0;
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<uint8_t> bytes = good;
        switch (trial % 3) {
        case 0: // a few random bytes in the fixed regions and the first map page
            for (int k = 0; k < 1 + int(rng() % 6); ++k)
                bytes[rng() % (6 * P)] = static_cast<uint8_t>(rng());
            break;
        case 1: // one 32-bit field of the global header or the map page header
        {
            const size_t at = (rng() % 2 == 0) ? 1024 + 4 * (rng() % 12) : 5 * P + 4 * (rng() % 5);
            const uint32_t values[] = {
                0, 1, 0xFFFFFFFF, 0x7FFFFFFF, P * 5, P * 1000, static_cast<uint32_t>(rng())};
            const uint32_t v = values[rng() % 7];
            for (int i = 0; i < 4; ++i)
                bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
            break;
        }
        default: // a truncated file
            bytes.resize(rng() % bytes.size());
            break;
        }
        WriteFileBytes(damaged.Path, bytes);
        failures += UseDatabase(damaged.Path) != 0;
    }
    // Most damage is caught; what is not caught must still have been harmless.
    EXPECT_GT(failures, 0);
}
