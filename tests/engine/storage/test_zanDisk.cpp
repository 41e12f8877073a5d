#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <sys/stat.h>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanDisk.h"
#include "host/rtl/ScopeExit.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

constexpr uint32_t P = 4096;

std::vector<uint8_t> DiskBytes(const std::string& path, uint64_t address, uint32_t count) {
    TWinFile f;
    f.Open(path, faRead, fsDenyNone);
    std::vector<uint8_t> out(count);
    out.resize(f.ReadAt(out.data(), count, address));
    return out;
}

void PatchDisk(const std::string& path, uint64_t address, const std::vector<uint8_t>& bytes) {
    TWinFile f;
    f.Open(path, faReadWrite, fsDenyNone);
    f.WriteAt(bytes.data(), bytes.size(), address);
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// A database file (created on first use) and a connection to it with short lock retries.
struct TDb {
    explicit TDb(const std::string& path, bool create = true, int32_t flags = 0x42,
                 uint32_t pageSize = P) {
        Disk.SetFileName(path);
        Disk.SetPageSize(pageSize);
        if (create) Disk.CreateNewFile(true);
        Disk.SetOpenFlags(flags);
        Disk.SetLockRetryCount(100);
        Disk.SetLockRetryInterval(5);
        Disk.Open();
    }
    uint32_t Alloc(uint32_t owner, uint32_t usage, uint32_t pages = 1, uint8_t fill = 0xAB) {
        std::vector<uint8_t> buf(pages * Disk.GetPageSize(), fill);
        return Disk.WriteNewPages(owner, usage, 1, pages, buf.data());
    }
    uint16_t Entry(uint32_t address) {
        Disk.SetHeaderReadLock();
        uint16_t v = Disk.GetMapPageMgr()->GetMapEntry(address);
        Disk.ReleaseHeaderLock();
        return v;
    }
    TDiskMgr Disk;
};

} // namespace

TEST(DiskFormat, NewFileGoldenBytes) {
    TTempFile t("dm_golden.zan");
    TDiskMgr disk;
    disk.SetFileName(t.Path);
    disk.CreateNewFile(false);
    EXPECT_EQ(ErrorCodeOf([&] { disk.CreateNewFile(false); }), 11043);
    const auto bytes = DiskBytes(t.Path, 0, 100000);
    ASSERT_EQ(bytes.size(), 24576u);
    std::vector<uint8_t> want(24576, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            want[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(1024 + 16, 20480);
    put32(1024 + 20, 20480);
    put32(1024 + 24, 1);
    for (int i = 0; i < 5; ++i)
        want[20480 + 20 + 2 * i] = 1;
    want[20480 + 30] = 2;
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(bytes[i], want[i]) << "offset " << i;

    TStringList lines;
    TTempFile small("dm_small.zan");
    disk.SetFileName(small.Path);
    disk.SetPageSize(128);
    EXPECT_EQ(ErrorCodeOf([&] { disk.CreateNewFile(true); }), 8581);
    disk.SetPageSize(0);
    disk.SetFileName(t.Path);
    EXPECT_EQ(ErrorCodeOf([&] { disk.Open(); }), 8581);
    disk.SetPageSize(P);
    disk.SetFileName(t.Path + ".none");
    EXPECT_EQ(ErrorCodeOf([&] { disk.Open(); }), 11010);
}

TEST(DiskFormat, SecurityHeaderAndMasterKey) {
    TTempFile t("dm_secure.zan");
    {
        TDb db(t.Path);
        db.Disk.SetCryptKey("sesame");
        TSecurityHeader h;
        db.Disk.WriteSecurityHeader(h);
        const auto b = DiskBytes(t.Path, 768, 40);
        EXPECT_EQ(U32(b, 0), 40u);
        EXPECT_EQ(b[12], 1);
        EXPECT_EQ(b[14], 1);
        uint8_t digest[20];
        GetSHA1FromString("sesame", digest);
        EXPECT_EQ(0, std::memcmp(b.data() + 16, digest, 20));
        std::vector<uint8_t> zeroed = b;
        std::fill(zeroed.begin() + 36, zeroed.end(), 0);
        EXPECT_EQ(U32(b, 36), CalcCRC(zeroed.data(), 40));
        TSecurityHeader back;
        db.Disk.ReadSecurityHeader(back);
        EXPECT_DOUBLE_EQ(back.WriteTime, h.WriteTime);
    }
    TDb wrong(t.Path, false);
    wrong.Disk.SetCryptKey("other");
    TSecurityHeader h;
    std::string msg;
    EXPECT_EQ(ErrorCodeOf([&] { wrong.Disk.ReadSecurityHeader(h); }, &msg), 8451);
    EXPECT_NE(msg.find("The MasterKey is incorrect"), std::string::npos);
    wrong.Disk.Close();
    // Flip the byte rather than set it: a set value could match what is already stored.
    PatchDisk(t.Path, 768 + 5, {uint8_t(DiskBytes(t.Path, 768 + 5, 1).at(0) ^ 0x77)});
    TDb right(t.Path, false);
    right.Disk.SetCryptKey("sesame");
    EXPECT_EQ(ErrorCodeOf([&] { right.Disk.ReadSecurityHeader(h); }, &msg), 8451);
    EXPECT_NE(msg.find("The Security Header CRC is incorrect"), std::string::npos);
}

TEST(DiskFormat, HelpersAndHeaderItems) {
    EXPECT_EQ(GetBestPageRequestSize(100, 4096), 4096u);
    EXPECT_EQ(GetBestPageRequestSize(3000, 4096), 12288u);
    EXPECT_EQ(GetBestPageRequestSize(5000, 4096), 45056u);
    EXPECT_EQ(UsersFileNameFor("/data/shop.zan"), "/data/shop.lck");
    EXPECT_EQ(UsersFileNameFor("/data/shop.db"), "/data/shop_db.lck");
    EXPECT_EQ(UsersFileNameFor("/data/shop.v1.db"), "/data/shop_v1_db.lck");
    EXPECT_EQ(UsersFileNameFor("/data/Shop.ZAN"), "/data/Shop.lck");

    TGlobalHdr h;
    EXPECT_EQ(ErrorCodeOf([&] { h.Initialize(0); }), 8581);
    h.Initialize();
    h.SetGlobalDBGenerator(0);
    EXPECT_FALSE(h.GetDirty()); // unchanged value
    h.GlobalInterfaceSetHdrItem(40, 7);
    EXPECT_TRUE(h.GetDirty());
    EXPECT_EQ(h.GetGlobalDBGenerator(), 7u);
    EXPECT_EQ(ErrorCodeOf([&] { h.GlobalInterfaceGetHdrItem(0); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { h.GlobalInterfaceGetHdrItem(125); }), 8581);
    EXPECT_EQ(h.GlobalInterfaceGetHdrItem(124), 0u);
}

TEST(PageMap, AllocationFreeChainOrderAndRuns) {
    TTempFile t("dm_map.zan");
    TDb db(t.Path);
    EXPECT_EQ(db.Alloc(3, 8), 6 * P); // nothing free: appended
    EXPECT_EQ(db.Entry(6 * P), MapOwnerTag(3, 8));
    for (int i = 0; i < 5; ++i)
        db.Alloc(3, 8);
    EXPECT_EQ(db.Disk.GetFileSize(), 12u * P);
    db.Disk.ReleasePages(9 * P, 1);
    db.Disk.ReleasePages(7 * P, 1);
    db.Disk.ReleasePages(8 * P, 1);
    // Chain 7 -> 8 -> 9 -> end in the first map page.
    const auto map = DiskBytes(t.Path, 5 * P, 64);
    EXPECT_EQ(map[8] | map[9] << 8, 20 + 2 * 7);
    EXPECT_EQ(map[20 + 14] | map[21 + 14] << 8, 0x8000 | (20 + 2 * 8));
    EXPECT_EQ(map[20 + 16] | map[21 + 16] << 8, 0x8000 | (20 + 2 * 9));
    EXPECT_EQ(map[20 + 18] | map[21 + 18] << 8, 0x8000);
    EXPECT_EQ(DiskBytes(t.Path, 8 * P, P), std::vector<uint8_t>(P, 0)); // zeroed
    EXPECT_EQ(db.Alloc(4, 9, 3), 7 * P);
    EXPECT_EQ(db.Entry(8 * P), MapOwnerTag(4, 9));
    // Isolated free pages do not make a run of two.
    db.Disk.ReleasePages(7 * P, 1);
    db.Disk.ReleasePages(9 * P, 1);
    EXPECT_EQ(db.Alloc(4, 9, 2), 12 * P);
    EXPECT_EQ(db.Alloc(4, 9, 1), 7 * P);
    EXPECT_TRUE(db.Disk.DebugCheckMap().empty());
    // The reserved pages and the map page are never released.
    EXPECT_EQ(ErrorCodeOf([&] { db.Disk.ReleasePages(5 * P, 1); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { db.Disk.WriteNewPages(2048, 1, 1, 1, nullptr); }), 8581);
}

TEST(PageMap, DeleteOwnedPagesWithAndWithoutUsage) {
    TTempFile t("dm_delete.zan");
    TDb db(t.Path);
    uint32_t a = db.Alloc(5, 8), b = db.Alloc(5, 9), c = db.Alloc(6, 8), d = db.Alloc(5, 8);
    std::vector<uint32_t> pages;
    db.Disk.SetHeaderReadLock();
    db.Disk.GetMapPageMgr()->ListPagesUsedByOwner(5, 0, pages, false);
    db.Disk.ReleaseHeaderLock();
    EXPECT_EQ(pages, (std::vector<uint32_t>{a, b, d}));
    db.Disk.DeleteOwnedPages(5, 8, false);
    EXPECT_EQ(db.Entry(a) & 0x8000, 0x8000);
    EXPECT_EQ(db.Entry(b), MapOwnerTag(5, 9));
    EXPECT_EQ(db.Disk.GetGlobalHdr()->GetFirstMapPageEmpty(), 5 * P);
    db.Disk.DeleteOwnedPages(5, 0, true);
    EXPECT_EQ(db.Entry(b) & 0x8000, 0x8000);
    EXPECT_EQ(db.Entry(c), MapOwnerTag(6, 8));
    EXPECT_EQ(db.Alloc(7, 1, 2), a); // a and b are consecutive
    EXPECT_TRUE(db.Disk.DebugCheckMap().empty());

    // Fixed-size blocks: runs of the best request size, back to back.
    std::vector<uint32_t> blocks;
    uint32_t run = db.Alloc(8, 2, 3); // 3000-byte blocks use 12288-byte runs
    db.Disk.ListAllocatedFixedBlocks(3000, 8, 2, blocks);
    EXPECT_EQ(blocks, (std::vector<uint32_t>{run, run + 3000, run + 6000, run + 9000}));
}

TEST(PageMap, SecondMapPageAtTheBorderAndCascade) {
    TTempFile t("dm_border.zan");
    TDb db(t.Path);
    // Pages 6..2037 fill the first map page.
    EXPECT_EQ(db.Alloc(1, 8, 2032, 0), 6 * P);
    EXPECT_EQ(db.Disk.GetGlobalHdr()->GetMapPageCount(), 1u);
    EXPECT_EQ(db.Alloc(1, 8), 2038 * P); // the first page of the second map page
    EXPECT_EQ(db.Disk.GetGlobalHdr()->GetMapPageCount(), 2u);
    EXPECT_EQ(db.Entry(2039 * P), ZanMapMapPage);
    const auto first = DiskBytes(t.Path, 5 * P, 8);
    EXPECT_EQ(U32(first, 4), 2039 * P);
    EXPECT_EQ(U32(DiskBytes(t.Path, 2039 * P, 4), 0), 1u);
    EXPECT_TRUE(db.Disk.DebugCheckMap().empty());

    // With 256-byte pages (118 entries) a run ending at the second map page's last entry makes
    // the new map page land in a third one, which is added in turn.
    TTempFile s("dm_cascade.zan");
    TDb small(s.Path, true, 0x42, 256);
    EXPECT_EQ(small.Alloc(1, 8, 230, 0), 6 * 256u); // pages 6..235
    EXPECT_EQ(small.Disk.GetGlobalHdr()->GetMapPageCount(), 3u);
    EXPECT_EQ(small.Entry(236 * 256), ZanMapMapPage);
    EXPECT_EQ(small.Entry(237 * 256), ZanMapMapPage);
    EXPECT_EQ(small.Entry(235 * 256), MapOwnerTag(1, 8));
    EXPECT_TRUE(small.Disk.DebugCheckMap().empty());
    EXPECT_EQ(small.Alloc(1, 8), 238 * 256u);
}

// A model of the page map over many map pages (256-byte pages: 118 entries each): random
// runs allocated and pages released, inside and outside transactions. After every step no live
// page is handed out twice, a one-page request reuses a free page whenever there is one, and the
// global header names a map page with free entries exactly when some map page has them.
TEST(PageMap, ModelOfAllocationAndReleaseOverManyMapPages) {
    TTempFile t("dm_model.zan");
    constexpr uint32_t S = 256;
    TDb db(t.Path, true, 0x42, S);
    std::set<uint32_t> live, freed; // page numbers
    uint64_t seed = 12345;
    auto next = [&](uint64_t n) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return (seed >> 33) % n;
    };
    auto check = [&](const std::string& step) {
        SCOPED_TRACE(step);
        ASSERT_TRUE(db.Disk.DebugCheckMap().empty());
        const uint32_t pages = static_cast<uint32_t>(db.Disk.GetFileSize() / S);
        std::set<uint32_t> mapPagesWithFree;
        db.Disk.SetHeaderReadLock();
        TScopeExit unlock([&] { db.Disk.ReleaseHeaderLock(); });
        TMapPageMgr& map = *db.Disk.GetMapPageMgr();
        for (uint32_t p = 6; p < pages; ++p) {
            const uint16_t e = map.GetMapEntry(p * S);
            if (e & ZanMapFree) mapPagesWithFree.insert(p / 118);
            if (live.count(p)) {
                ASSERT_EQ(e, MapOwnerTag(2, 8)) << p;
            }
            if (freed.count(p)) {
                ASSERT_TRUE(e & ZanMapFree) << p;
            }
        }
        const uint32_t named = db.Disk.GetGlobalHdr()->GetFirstMapPageEmpty();
        if (mapPagesWithFree.empty()) {
            ASSERT_EQ(named, 0u);
        } else {
            ASSERT_NE(named, 0u);
            // The named map page is one of those with free entries.
            bool found = false;
            for (uint32_t k : mapPagesWithFree)
                found |= map.SearchMapsForMapPage(k) == named;
            ASSERT_TRUE(found) << named;
        }
    };
    for (int step = 0; step < 600; ++step) {
        const bool inTransaction = next(4) == 0;
        if (inTransaction) db.Disk.DiskStartTransaction(false);
        const int ops = inTransaction ? 1 + int(next(5)) : 1;
        for (int op = 0; op < ops; ++op) {
            if (live.empty() || next(3) != 0) {
                const uint32_t n = next(4) == 0 ? 1 + uint32_t(next(3)) : 1;
                const bool anyFree = !freed.empty();
                const uint64_t pagesBefore = db.Disk.GetFileSize() / S;
                const uint32_t first = db.Alloc(2, 8, n) / S;
                for (uint32_t i = 0; i < n; ++i) {
                    ASSERT_FALSE(live.count(first + i)) << "page handed out twice: " << first + i;
                    freed.erase(first + i);
                    live.insert(first + i);
                }
                if (n == 1 && anyFree) {
                    ASSERT_LT(first, pagesBefore) << "free page not reused";
                }
            } else {
                auto it = live.begin();
                std::advance(it, long(next(live.size())));
                const uint32_t p = *it;
                db.Disk.ReleasePages(p * S, 1);
                live.erase(it);
                freed.insert(p);
            }
        }
        if (inTransaction) db.Disk.DiskCommit();
        check("step " + std::to_string(step));
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(db.Disk.GetGlobalHdr()->GetMapPageCount(), 3u);
}

TEST(PageMap, CorruptMapValuesRaiseDamageErrors) {
    TTempFile t("dm_corrupt.zan");
    {
        TDb db(t.Path);
        for (int i = 0; i < 4; ++i)
            db.Alloc(2, 8);
        db.Disk.ReleasePages(7 * P, 1);
    }
    const auto good = DiskBytes(t.Path, 0, 11 * P);
    auto check = [&](uint64_t at, std::vector<uint8_t> bytes) {
        PatchDisk(t.Path, 0, good);
        PatchDisk(t.Path, at, bytes);
        TDb db(t.Path, false);
        int32_t code = ErrorCodeOf([&] { db.Alloc(2, 8); });
        EXPECT_EQ(code, 8962) << "patch at " << at; // a damaged file, not an internal error
        // Nothing was appended or overwritten by the refused allocation.
        EXPECT_EQ(DiskBytes(t.Path, 0, 12 * P).size(), good.size());
    };
    check(5 * P + 8, {7, 0});             // head not an entry offset (odd, below 20)
    check(5 * P + 8, {0xFE, 0x0F});       // head beyond the entries
    check(5 * P + 20 + 14, {0x22, 0x80}); // chain link pointing backwards
    check(5 * P + 20 + 14, {0x08, 0x00}); // chained entry marked used
    check(1024 + 20, {0x00, 0x10, 0, 0}); // first map page not a map page
    check(1024 + 20, {0x00, 0x00, 0, 1}); // first map page beyond the file
    check(1024 + 24, {0, 0, 0, 0});       // no map pages
    check(1024 + 24, {9, 0, 0, 0});       // more map pages than exist
    check(5 * P, {3, 0, 0, 0});           // map page number wrong
}

TEST(DiskTransactions, ReleaseReallocateAndRollback) {
    TTempFile t("dm_txn.zan");
    TDb db(t.Path);
    uint32_t a = db.Alloc(3, 8, 1, 0x11);
    db.Disk.DiskStartTransaction(false);
    EXPECT_EQ(db.Disk.SetTableLock(3, 4), 1); // a write lock is a read lock until commit
    std::vector<uint8_t> page(P, 0x22);
    db.Disk.WritePages(a, 1, page.data(), 3, 1);
    db.Disk.ReleasePages(a, 1);
    EXPECT_EQ(db.Alloc(4, 8, 1, 0x33), a); // the freed page is reused in the transaction
    db.Disk.DiskCommit();
    EXPECT_EQ(DiskBytes(t.Path, a, P), std::vector<uint8_t>(P, 0x33));
    EXPECT_EQ(db.Entry(a), MapOwnerTag(4, 8));
    EXPECT_EQ(db.Disk.QueryTableLockStatus(3), 0);

    const auto before = DiskBytes(t.Path, 0, 1 << 20);
    db.Disk.DiskStartTransaction(false);
    db.Alloc(5, 8, 3);
    db.Disk.DeleteOwnedPages(4, 8, false);
    db.Disk.SetHeaderWriteLock();
    db.Disk.GetGlobalHdr()->SetGlobalDBGenerator(77);
    db.Disk.ReleaseHeaderLock();
    db.Disk.DiskRollback();
    EXPECT_EQ(DiskBytes(t.Path, 0, 1 << 20), before);
    EXPECT_EQ(db.Disk.GetGlobalHdr()->GetGlobalDBGenerator(), 0u);
    EXPECT_EQ(db.Alloc(5, 8), a + P);
    EXPECT_TRUE(db.Disk.DebugCheckMap().empty());
}

TEST(DiskSharing, ReadOnlyFileOpensSingleUser) {
    TTempFile t("dm_readonly.zan");
    { TDb db(t.Path); }
    ASSERT_EQ(chmod(t.Path.c_str(), 0444), 0);
    TDb db(t.Path, false, 0x40);
    EXPECT_FALSE(db.Disk.GetMultiUser());
    EXPECT_EQ(db.Disk.SetTableLock(9, 4), 4);
    EXPECT_EQ(db.Disk.QueryTableLockStatus(9), 1);
    TStringList users;
    EXPECT_EQ(ErrorCodeOf([&] { db.Disk.GetCurrentUsers(users); }), 10501);
    EXPECT_FALSE(FileExists(UsersFileNameFor(t.Path)));
    db.Disk.Close();
    // Such a file is shared without locks, so it never opens for writing, shared or exclusive,
    // even for a process the mode bits do not stop (the suite may run privileged).
    for (int32_t flags : {0x42, 0x41, 0x12}) {
        TDiskMgr writer;
        writer.SetFileName(t.Path);
        writer.SetPageSize(P);
        writer.SetOpenFlags(flags);
        std::string message;
        EXPECT_EQ(ErrorCodeOf([&] { writer.Open(); }, &message), 8449) << flags;
        EXPECT_NE(message.find("read-only on disk"), std::string::npos) << message;
    }
    chmod(t.Path.c_str(), 0644);
}

// The same for a user without write permission (the suite may run privileged, which writes
// anyway): a child process drops to the unprivileged user before it opens the file.
TEST(DiskSharing, ReadOnlyFileOpensSingleUserForAnOrdinaryUser) {
    char dir[] = "/tmp/zan_readonly_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_EQ(chmod(dir, 0755), 0);
    const std::string path = std::string(dir) + "/readonly.zan";
    { TDb db(path); }
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    TChildProcess child([&](TChildProcess&) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 2;
        if (access(path.c_str(), W_OK) == 0) return 3;
        TDiskMgr disk;
        disk.SetFileName(path);
        disk.SetPageSize(P);
        disk.SetOpenFlags(0x40);
        try {
            disk.Open();
        } catch (const EZanDatabaseError&) {
            return 4;
        } catch (...) {
            return 5; // anything but an engine error
        }
        if (disk.GetMultiUser()) return 6;
        if (disk.SetTableLock(9, 4) != 4) return 7;
        disk.SetHeaderReadLock();
        disk.ReleaseHeaderLock();
        disk.Close();
        return FileExists(UsersFileNameFor(path)) ? 8 : 0;
    });
    EXPECT_EQ(child.Wait(), 0);
    unlink(path.c_str());
    rmdir(dir);
}

TEST(DiskSharing, ExclusiveOpenAndUsersFile) {
    TTempFile t("dm_excl.zan");
    { TDb db(t.Path); }
    TDb a(t.Path, false, 0x12);
    EXPECT_TRUE(a.Disk.GetExclusive());
    TDiskMgr b;
    b.SetFileName(t.Path);
    EXPECT_EQ(ErrorCodeOf([&] { b.Open(); }), 8449);
    {
        TChildProcess child([&](TChildProcess&) {
            TDiskMgr c;
            c.SetFileName(t.Path);
            return ErrorCodeOf([&] { c.Open(); }) == 8449 ? 0 : 1;
        });
        EXPECT_EQ(child.Wait(), 0);
    }
    TStringList users;
    a.Disk.GetCurrentUsers(users);
    EXPECT_EQ(users.Count(), 1);
    a.Disk.Close();
    EXPECT_FALSE(FileExists(UsersFileNameFor(t.Path))); // the last connection removed it
    b.Open();
    EXPECT_TRUE(b.GetMultiUser());
}

// Two processes allocate pages at the same time: every page goes to exactly one of them and the
// map records it for that owner.
TEST(DiskSharing, ConcurrentAllocationNeverSharesAPage) {
    TTempFile t("dm_concurrent.zan");
    { TDb db(t.Path); }
    constexpr int Count = 40;
    auto body = [&](uint32_t owner) {
        TDb db(t.Path, false);
        for (int i = 0; i < Count; ++i) {
            if (i % 10 == 5) {
                db.Disk.DiskStartTransaction(false);
                db.Alloc(owner, 8, 2, static_cast<uint8_t>(owner));
                db.Disk.DiskCommit();
            } else {
                db.Alloc(owner, 8, 1, static_cast<uint8_t>(owner));
            }
        }
        return 0;
    };
    TChildProcess child([&](TChildProcess&) { return body(21); });
    body(22);
    ASSERT_EQ(child.Wait(), 0);
    TDb db(t.Path, false);
    std::vector<uint32_t> p21, p22;
    db.Disk.SetHeaderReadLock();
    db.Disk.GetMapPageMgr()->ListPagesUsedByOwner(21, 8, p21, true);
    db.Disk.GetMapPageMgr()->ListPagesUsedByOwner(22, 8, p22, true);
    db.Disk.ReleaseHeaderLock();
    EXPECT_EQ(p21.size(), Count + 4u);
    EXPECT_EQ(p22.size(), Count + 4u);
    for (uint32_t a : p21)
        EXPECT_EQ(DiskBytes(t.Path, a, P), std::vector<uint8_t>(P, 21)) << a;
    for (uint32_t a : p22)
        EXPECT_EQ(DiskBytes(t.Path, a, P), std::vector<uint8_t>(P, 22)) << a;
    EXPECT_TRUE(db.Disk.DebugCheckMap().empty());
}

// While one connection holds the header write lock, another cannot take the header lock.
TEST(DiskSharing, HeaderLockSerialises) {
    TTempFile t("dm_hdrlock.zan");
    { TDb db(t.Path); }
    TDb a(t.Path, false);
    TChildProcess child([&](TChildProcess& self) {
        TDb b(t.Path, false);
        self.Send('o');
        self.Receive();
        b.Disk.SetLockRetryCount(2);
        int32_t first = ErrorCodeOf([&] { b.Disk.SetHeaderReadLock(); });
        self.Send('1');
        self.Receive();
        b.Disk.SetLockRetryCount(200);
        b.Disk.SetHeaderReadLock();
        uint32_t seen = b.Disk.GetGlobalHdr()->GetGlobalDBGenerator();
        b.Disk.ReleaseHeaderLock();
        return first == 10249 && seen == 5 ? 0 : 1;
    });
    ASSERT_EQ(child.Receive(), 'o');
    a.Disk.SetHeaderWriteLock();
    a.Disk.GetGlobalHdr()->SetGlobalDBGenerator(5);
    child.Send('l');
    EXPECT_EQ(child.Receive(), '1');
    a.Disk.ReleaseHeaderLock(); // writes the changed header
    child.Send('g');
    EXPECT_EQ(child.Wait(), 0);
}
