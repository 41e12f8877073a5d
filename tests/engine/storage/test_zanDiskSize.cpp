// What a connection keeps of the global header, the map and the file's size between header
// locks: kept while its transaction or write scope holds the lock on, asked again once the lock
// really went and another process may have grown the file, and asked again after a journal
// was restored (the file cut back to its old size).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/storage/zanDisk.h"
#include "engine/storage/zanJournal.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "host/win/child_process.h"
#include "journal_test_support.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

constexpr int32_t C_SHARED = 0x42;
constexpr int32_t C_EXCLUSIVE = 0x12;

// Another process appends pages of table 9 filled with 0x09: the file grows under the map.
void GrowInChild(const std::string& path, int pages) {
    TChildProcess child([&](TChildProcess&) {
        TDb db(path, false);
        for (int i = 0; i < pages; ++i)
            db.Alloc(9, 0x09);
        db.Disk.Close();
        return 0;
    });
    ASSERT_EQ(child.Wait(), 0);
}

uint64_t SizeOnDisk(const std::string& path) {
    return std::filesystem::file_size(path);
}

} // namespace

// Re-taking the header lock inside a transaction or write scope reads nothing (the lock was
// never given back); after the lock really went, another process's growth is seen: the size,
// the map, and a new page lands after the other process's pages, never over them.
TEST(DiskSize, HeaderKeptWhileHeldAndReadAgainAfter) {
    struct TCase {
        const char* Name;
        std::function<void(TDiskMgr&, const std::function<void()>&)> Around;
    };
    const std::vector<TCase> cases = {
        {"transaction",
         [](TDiskMgr& d, const std::function<void()>& body) {
             d.DiskStartTransaction(false);
             body();
             d.DiskCommit();
         }},
        {"write scope",
         [](TDiskMgr& d, const std::function<void()>& body) {
             TDiskWriteScope scope(d);
             body();
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TFiles f("disk_size_kept.zan");
        { TDb make(f.Db.Path); }
        TDb db(f.Db.Path, false, C_SHARED);
        TDiskMgr& d = db.Disk;
        c.Around(d, [&] {
            d.SetHeaderWriteLock();
            db.Alloc(7, 0x07);
            d.ReleaseHeaderLock();
            const uint64_t reads = d.GetZanFile()->GetReadCalls();
            for (int i = 0; i < 3; ++i) {
                d.SetHeaderWriteLock();
                d.ReleaseHeaderLock();
                d.SetHeaderReadLock();
                d.ReleaseHeaderLock();
            }
            EXPECT_EQ(d.GetZanFile()->GetReadCalls(), reads) << "the lock was held on";
        });
        const uint64_t mine = SizeOnDisk(f.Db.Path);
        GrowInChild(f.Db.Path, 3);
        const uint64_t grown = SizeOnDisk(f.Db.Path);
        ASSERT_EQ(grown, mine + 3 * P);
        c.Around(d, [&] {
            d.SetHeaderReadLock();
            EXPECT_EQ(d.GetFileSize(), grown);
            d.ReleaseHeaderLock();
            const uint32_t page = db.Alloc(7, 0x17);
            EXPECT_GE(page, grown) << "the new page lies beyond the other process's pages";
        });
        d.Close();
        const std::vector<uint8_t> bytes = ReadFileBytes(f.Db.Path);
        for (uint64_t at = mine; at < grown; at += P)
            EXPECT_EQ(bytes[at + 100], 0x09) << "page at " << at << " overwritten";
    }
}

// A committer that grew the file is killed at each point of its commit; a connection opened
// after it (exclusive or shared) restores the journal and then knows the size on disk, so its
// next page is appended at the real end.
TEST(DiskSize, SizeAfterRestoringAGrowingCommit) {
    TFiles f("disk_size_restore.zan");
    {
        TDb make(f.Db.Path);
        make.Alloc(7, 0x07);
    }
    unlink(f.Journal.c_str());
    const std::vector<uint8_t> before = ReadFileBytes(f.Db.Path);
    auto commitInChild = [&](uint64_t killAt) {
        TChildProcess child([&](TChildProcess&) {
            TDb db(f.Db.Path, false);
            db.Disk.DiskStartTransaction(false);
            for (int i = 0; i < 4; ++i)
                db.Alloc(7, 0x77);
            const uint64_t start = ZanCrashPointCount();
            ZanArmCrashPoint(killAt);
            db.Disk.DiskCommit();
            return static_cast<int>(ZanCrashPointCount() - start);
        });
        return child.Wait();
    };
    const int points = commitInChild(0);
    ASSERT_GT(points, 2);
    for (int32_t flags : {C_EXCLUSIVE, C_SHARED})
        for (int k = 1; k <= points; ++k) {
            SCOPED_TRACE("flags " + std::to_string(flags) + ", killed at point " +
                         std::to_string(k));
            WriteFileBytes(f.Db.Path, before);
            unlink(f.Journal.c_str());
            ASSERT_EQ(commitInChild(static_cast<uint64_t>(k)), -1);
            TDb db(f.Db.Path, false, flags);
            const uint64_t size = SizeOnDisk(f.Db.Path);
            EXPECT_EQ(db.Disk.GetFileSize(), size);
            db.Disk.DiskStartTransaction(false);
            db.Alloc(7, 0x55);
            db.Disk.DiskCommit();
            db.Disk.Close();
            EXPECT_LE(SizeOnDisk(f.Db.Path), size + P) << "no gap before the new page";
        }
}
