#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include "engine/storage/zanCache.h"
#include "engine/storage/zanConsts.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

constexpr uint32_t P = 256;

// A "disk" of pages in memory behind a page cache; counts the transfers.
struct TFakeDisk {
    std::map<uint32_t, std::vector<uint8_t>> Pages;
    std::vector<uint32_t> Reads, Writes;
    bool FailWrites = false;

    std::vector<uint8_t>& At(uint32_t address) {
        auto& page = Pages[address];
        if (page.empty()) page.assign(P, static_cast<uint8_t>(address / P));
        return page;
    }
    void Connect(TCacheMgr& cache) {
        cache.SetReadIO([this](uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
            Reads.push_back(address);
            std::memcpy(buffer, At(address).data(), P);
            return false;
        });
        cache.SetWriteIO([this](const uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
            if (FailWrites) throw std::runtime_error("disk full");
            Writes.push_back(address);
            std::memcpy(At(address).data(), buffer, P);
        });
    }
};

uint8_t ReadByte(TCacheMgr& cache, uint32_t address, uint32_t owner = 1) {
    uint8_t b = 0;
    cache.ReadCache(&b, owner, 1, address, 1);
    return b;
}

} // namespace

TEST(PageCache, OpenNeedsRoutinesAndComputesMask) {
    TCacheMgr cache;
    EXPECT_EQ(ErrorCodeOf([&] { cache.Open(5, P); }), 10065);
    TFakeDisk disk;
    disk.Connect(cache);
    EXPECT_EQ(ErrorCodeOf([&] { cache.Open(5, 0); }), 8581);
    cache.Open(5, 4096);
    EXPECT_EQ(cache.GetAddressMask(), 0xFFFFF000u);
    EXPECT_EQ(cache.TotalCacheSize(), 5u * 4096);
    EXPECT_EQ(cache.GetBaseAddress(8195), 8192u);
    EXPECT_EQ(ErrorCodeOf([&] { cache.Commit(); }), 10257);
    EXPECT_EQ(ErrorCodeOf([&] { cache.Rollback(); }), 10257);
    TCachePage page;
    EXPECT_EQ(ErrorCodeOf([&] { page.Open(); }), 8581);
    page.SetPageSize(16);
    page.Open();
    EXPECT_EQ(ErrorCodeOf([&] { page.SetPageSize(32); }), 8581);
}

TEST(PageCache, ReplacesLeastRecentlyUsedCleanPage) {
    TCacheMgr cache;
    TFakeDisk disk;
    disk.Connect(cache);
    cache.Open(3, P);
    EXPECT_EQ(ReadByte(cache, 0 * P), 0);
    EXPECT_EQ(ReadByte(cache, 1 * P), 1);
    EXPECT_EQ(ReadByte(cache, 2 * P), 2);
    EXPECT_EQ(ReadByte(cache, 0 * P + 7), 0); // hit: page 0 becomes the newest
    EXPECT_EQ(cache.GetMisses(), 3);
    EXPECT_EQ(cache.GetHits(), 1);
    EXPECT_EQ(ReadByte(cache, 3 * P), 3); // replaces page 1, the oldest
    EXPECT_EQ(cache.Count(), 3);
    EXPECT_FALSE(cache.IsBaseAddrInCache(1 * P));
    EXPECT_TRUE(cache.IsBaseAddrInCache(0 * P));
    EXPECT_TRUE(cache.IsBaseAddrInCache(2 * P));
    EXPECT_EQ(ReadByte(cache, 4 * P), 4); // then page 2
    EXPECT_FALSE(cache.IsBaseAddrInCache(2 * P));
    EXPECT_EQ(disk.Reads, (std::vector<uint32_t>{0, P, 2 * P, 3 * P, 4 * P}));

    TStringList dump;
    cache.DumpState(dump);
    EXPECT_EQ(dump.Get(0), "Cache dump: Hits 1  Misses 5");
    EXPECT_EQ(dump.Count(), 4);
}

// The replacement order against a model of it: a page used again is only marked and gets a
// second chance when a replacement meets it (moved to the newest end, unmarked); a page that
// just got its bytes becomes the newest. Reads and writes (whole and partial pages, outside a
// transaction) at random over a few times the cache's pages; after every step the same pages
// are cached and the same accesses missed.
TEST(PageCache, ReplacementGivesPagesUsedAgainASecondChance) {
    constexpr int32_t C_CACHE = 4;
    constexpr uint32_t C_SPACE = 11;
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        TCacheMgr cache;
        TFakeDisk disk;
        disk.Connect(cache);
        cache.Open(C_CACHE, P);
        std::vector<uint32_t> order; // cached pages, oldest first
        std::map<uint32_t, bool> usedAgain;
        int32_t idle = C_CACHE, misses = 0;
        uint32_t state = seed * 2654435761u;
        auto next = [&](uint32_t n) {
            state = state * 1103515245u + 12345u;
            return (state >> 8) % n;
        };
        for (int step = 0; step < 3000; ++step) {
            // Hot pages (0 and 1) come up more often than the rest.
            const uint32_t page = next(3) == 0 ? next(2) : next(C_SPACE);
            const uint32_t op = next(3);
            auto at = std::find(order.begin(), order.end(), page);
            if (at != order.end()) {
                if (page != order.back()) usedAgain[page] = true;
            } else {
                // A whole-page write needs no read; the other two read the page first.
                if (op != 2) ++misses;
                if (idle > 0) {
                    --idle;
                } else {
                    for (size_t i = 0;;) {
                        const uint32_t p = order[i];
                        if (!usedAgain[p]) {
                            order.erase(order.begin() + static_cast<std::ptrdiff_t>(i));
                            break;
                        }
                        usedAgain[p] = false;
                        if (i + 1 < order.size()) {
                            order.erase(order.begin() + static_cast<std::ptrdiff_t>(i));
                            order.push_back(p);
                        }
                    }
                }
                order.push_back(page);
                usedAgain[page] = false;
            }
            const uint8_t value = static_cast<uint8_t>(step);
            if (op == 0) {
                ReadByte(cache, page * P + next(P));
            } else if (op == 1) {
                cache.WriteCache(&value, 1, 1, page * P + next(P), 1);
            } else {
                const std::vector<uint8_t> whole(P, value);
                cache.WriteCache(whole.data(), 1, P, page * P, 1);
            }
            ASSERT_EQ(static_cast<int32_t>(disk.Reads.size()), misses) << "step " << step;
            for (uint32_t p = 0; p < C_SPACE; ++p)
                ASSERT_EQ(cache.IsBaseAddrInCache(p * P),
                          std::find(order.begin(), order.end(), p) != order.end())
                    << "page " << p << " step " << step;
        }
        EXPECT_EQ(cache.Count(), C_CACHE);
    }
}

TEST(PageCache, OwnerMismatchRereadsIntoSameSlot) {
    TCacheMgr cache;
    TFakeDisk disk;
    disk.Connect(cache);
    cache.Open(4, P);
    ReadByte(cache, P, 1);
    int32_t slot = cache.FindPage(P);
    disk.At(P)[0] = 99;                  // another connection changed the page
    EXPECT_EQ(ReadByte(cache, P, 1), 1); // same owner: cached bytes
    EXPECT_EQ(ReadByte(cache, P, 2), 99);
    EXPECT_EQ(cache.FindPage(P), slot);
    EXPECT_EQ(cache.Page(slot)->GetOwner(), 2u);
    EXPECT_EQ(disk.Reads.size(), 2u);
}

TEST(PageCache, PartialWriteReadsFirstWholeWriteDoesNot) {
    TCacheMgr cache;
    TFakeDisk disk;
    disk.Connect(cache);
    cache.Open(4, P);
    uint8_t two[2] = {0xAA, 0xBB};
    cache.WriteCache(two, 1, 2, 5 * P + 10, 1);
    EXPECT_EQ(disk.Reads, std::vector<uint32_t>{5 * P});
    EXPECT_EQ(disk.At(5 * P)[9], 5);
    EXPECT_EQ(disk.At(5 * P)[10], 0xAA); // written through
    std::vector<uint8_t> whole(P, 0x11);
    cache.WriteCache(whole.data(), 1, P, 6 * P, 1);
    EXPECT_EQ(disk.Reads.size(), 1u);
    EXPECT_EQ(disk.Writes, (std::vector<uint32_t>{5 * P, 6 * P}));
    // A write across a page border touches both pages.
    cache.WriteCache(two, 1, 2, 8 * P - 1, 1);
    EXPECT_EQ(disk.At(7 * P)[P - 1], 0xAA);
    EXPECT_EQ(disk.At(8 * P)[0], 0xBB);
}

TEST(PageCache, TransactionGrowsKeepsDirtyAndCommitsInAddressOrder) {
    TCacheMgr cache;
    TFakeDisk disk;
    disk.Connect(cache);
    cache.Open(2, P);
    cache.StartTransaction();
    std::vector<uint8_t> page(P);
    for (uint32_t n : {9u, 3u, 7u, 5u, 1u}) {
        std::fill(page.begin(), page.end(), static_cast<uint8_t>(100 + n));
        cache.WriteCache(page.data(), 1, P, n * P, 1);
    }
    EXPECT_EQ(cache.Count(), 5); // grew by one page per new page
    EXPECT_TRUE(disk.Writes.empty());
    EXPECT_EQ(ReadByte(cache, 7 * P), 107);
    cache.Commit();
    EXPECT_EQ(disk.Writes, (std::vector<uint32_t>{P, 3 * P, 5 * P, 7 * P, 9 * P}));
    EXPECT_EQ(disk.At(3 * P)[0], 103);
    EXPECT_EQ(cache.Count(), 5); // keeps its size
    EXPECT_FALSE(cache.GetTransactionActive());
}

TEST(PageCache, RollbackDropsDirtyPagesOnly) {
    TCacheMgr cache;
    TFakeDisk disk;
    disk.Connect(cache);
    cache.Open(4, P);
    ReadByte(cache, 2 * P);
    cache.StartTransaction();
    uint8_t b = 0x77;
    cache.WriteCache(&b, 1, 1, 3 * P, 1);
    EXPECT_EQ(ReadByte(cache, 3 * P), 0x77);
    cache.Rollback();
    EXPECT_TRUE(cache.IsBaseAddrInCache(2 * P));
    EXPECT_FALSE(cache.IsBaseAddrInCache(3 * P));
    EXPECT_EQ(ReadByte(cache, 3 * P), 3);
    EXPECT_TRUE(disk.Writes.empty());
}

TEST(PageCache, FailedCommitKeepsTheTransaction) {
    TCacheMgr cache;
    TFakeDisk disk;
    disk.Connect(cache);
    cache.Open(4, P);
    cache.StartTransaction();
    uint8_t b = 0x42;
    cache.WriteCache(&b, 1, 1, 2 * P, 1);
    disk.FailWrites = true;
    EXPECT_THROW(cache.Commit(), std::runtime_error);
    EXPECT_TRUE(cache.GetTransactionActive());
    EXPECT_EQ(cache.Page(cache.FindPage(2 * P))->GetState(), cpDirty);
    disk.FailWrites = false;
    cache.Commit();
    EXPECT_EQ(disk.At(2 * P)[0], 0x42);
}

TEST(PageCache, InvalidationNeverDropsDirtyPages) {
    TCacheMgr cache;
    TFakeDisk disk;
    disk.Connect(cache);
    cache.Open(4, P);
    ReadByte(cache, 1 * P, 5);
    cache.StartTransaction();
    uint8_t b = 0x55;
    cache.WriteCache(&b, 5, 1, 2 * P, 1);
    cache.ClearOwnedPages(5);
    EXPECT_FALSE(cache.IsBaseAddrInCache(1 * P));
    EXPECT_TRUE(cache.IsBaseAddrInCache(2 * P));
    EXPECT_EQ(ReadByte(cache, 2 * P, 5), 0x55);
    // A dirty page asked for by another owner is an internal fault, not a silent re-read.
    EXPECT_EQ(ErrorCodeOf([&] { ReadByte(cache, 2 * P, 6); }), 8581);
    EXPECT_EQ(ReadByte(cache, 2 * P, 5), 0x55);
}

TEST(PageCache, ByReferenceAccess) {
    TCacheMgr cache;
    TFakeDisk disk;
    disk.Connect(cache);
    cache.Open(4, P);
    std::vector<uint8_t> page(P, 1);
    EXPECT_EQ(ErrorCodeOf([&] { cache.WriteCacheByRef(page.data(), 1, P, 3 * P, 1); }), 8581);
    uint8_t* ref = cache.ReadCacheByRef(1, 4, 3 * P + 8, 1);
    EXPECT_EQ(ref[0], 3);
    EXPECT_EQ(ErrorCodeOf([&] { cache.ReadCacheByRef(1, 8, 4 * P - 4, 1); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { cache.WriteCacheByRef(page.data(), 1, 10, 3 * P, 1); }), 8581);
    ref[0] = 0xEE; // changed in place, then written as a whole page
    uint8_t* whole = ref - 8;
    cache.WriteCacheByRef(whole, 1, P, 3 * P, 1);
    EXPECT_EQ(disk.At(3 * P)[8], 0xEE);
}

// A pin keeps the bytes it saw through every later write, and a page never pinned, or no longer
// pinned, is written in place: pins handed out, dropped and handed out again on the same page,
// with whole and partial writes between them, and a pinned page is never the one replaced.
TEST(PageCache, PinsSeeTheirBytesAcrossRepinsAndUnpinnedPagesChangeInPlace) {
    TCacheMgr cache;
    TFakeDisk disk;
    disk.Connect(cache);
    cache.Open(2, P);
    const std::vector<uint8_t> a(P, 0xA1), b(P, 0xB2);
    cache.WriteCache(a.data(), 1, P, P, 1);
    const uint8_t* inPlace = cache.ReadCacheByRef(1, 1, P, 1);
    cache.WriteCache(b.data(), 1, 8, P + 8, 1); // never pinned: the same bytes change
    EXPECT_EQ(cache.ReadCacheByRef(1, 1, P, 1), inPlace);
    EXPECT_EQ(inPlace[8], 0xB2);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const uint8_t before = ReadByte(cache, P + 100);
        TCachePin first = cache.PinPage(1, P, 1);
        TCachePin second = cache.PinPage(1, P, 1);
        const uint8_t next = static_cast<uint8_t>(before + 1);
        cache.WriteCache(&next, 1, 1, P + 100, 1); // partial write: a copy for the cache
        EXPECT_EQ(first.Data()[100], before);
        EXPECT_EQ(second.Data()[100], before);
        EXPECT_EQ(first.Data()[8], 0xB2); // the copy started from the pinned bytes
        EXPECT_EQ(ReadByte(cache, P + 100), next);
        EXPECT_EQ(ReadByte(cache, P + 8), 0xB2);
        // Still pinned (the second pin): reads of two other pages replace the other slot only.
        first.Reset();
        TCachePin third = cache.PinPage(1, P, 1);
        ReadByte(cache, 5 * P);
        ReadByte(cache, 6 * P);
        EXPECT_TRUE(cache.IsBaseAddrInCache(P));
        const uint8_t last = static_cast<uint8_t>(next + 1);
        cache.WriteCache(&last, 1, 1, P + 100, 1);
        EXPECT_EQ(second.Data()[100], before);
        EXPECT_EQ(third.Data()[100], next);
        // Every pin gone: the next write lands in the bytes a by-reference read answers.
        second.Reset();
        third.Reset();
        const uint8_t* ref = cache.ReadCacheByRef(1, 1, P, 1);
        cache.WriteCache(&before, 1, 1, P + 100, 1);
        EXPECT_EQ(cache.ReadCacheByRef(1, 1, P, 1), ref);
        EXPECT_EQ(ref[100], before);
        const uint8_t bump = static_cast<uint8_t>(before + 7);
        cache.WriteCache(&bump, 1, 1, P + 100, 1);
    }
}

// The pool behind the cached pages' bytes: every slot held is its own (no two holders share
// bytes, across small blocks and the 2 MiB ones that follow them), zero-filled when asked,
// reused once given back, and the pool lives on while any slot is held, as a pin may outlive
// its cache.
TEST(PageCache, PageBytesPoolSlotsAreDistinctReusedAndOutliveThePool) {
    constexpr uint32_t page = 4096;
    auto pool = std::make_shared<TPageBytesPool>(page);
    ASSERT_GE(pool->SlotSize(), page);
    const size_t huge = TPageBytesPool::C_HUGE_BLOCK / pool->SlotSize();
    const size_t n = TPageBytesPool::C_HUGE_AFTER + 2 * huge + 3;
    std::vector<std::shared_ptr<uint8_t[]>> held;
    for (size_t i = 0; i < n; ++i) {
        held.push_back(pool->Take(i % 2 == 0));
        uint8_t* bytes = held.back().get();
        ASSERT_EQ(reinterpret_cast<uintptr_t>(bytes) % 64, 0u);
        if (i % 2 == 0) {
            for (uint32_t k = 0; k < page; k += 512)
                ASSERT_EQ(bytes[k], 0) << i;
        }
        std::memset(bytes, static_cast<uint8_t>(i * 7 + 1), page);
    }
    for (size_t i = 0; i < n; ++i) {
        const uint8_t v = static_cast<uint8_t>(i * 7 + 1);
        ASSERT_EQ(held[i][0], v) << i;
        ASSERT_EQ(held[i][page - 1], v) << i;
    }
    // Past the small blocks, whole 2 MiB blocks: each aligned run of slots lies in one of them.
    const size_t first = TPageBytesPool::C_HUGE_AFTER;
    const auto block = [&](size_t i) {
        return reinterpret_cast<uintptr_t>(held[i].get()) / TPageBytesPool::C_HUGE_BLOCK;
    };
    EXPECT_EQ(reinterpret_cast<uintptr_t>(held[first].get()) % TPageBytesPool::C_HUGE_BLOCK, 0u);
    EXPECT_EQ(block(first), block(first + huge - 1));
    EXPECT_NE(block(first), block(first + huge));
    const size_t slots = pool->SlotCount();
    EXPECT_EQ(slots, first + 3 * huge);
    // Given back and taken again: no new slots.
    held.resize(n / 2);
    EXPECT_EQ(pool->FreeCount(), slots - n / 2);
    for (size_t i = n / 2; i < n; ++i)
        held.push_back(pool->Take(true));
    EXPECT_EQ(pool->SlotCount(), slots);
    EXPECT_EQ(held.back()[page / 2], 0);
    // The last holders keep the pool's memory.
    std::shared_ptr<uint8_t[]> last = held[first + 1];
    held.clear();
    const std::weak_ptr<TPageBytesPool> alive = pool;
    pool.reset();
    EXPECT_FALSE(alive.expired());
    std::memset(last.get(), 0x3C, page);
    EXPECT_EQ(last[page - 1], 0x3C);
    last.reset();
    EXPECT_TRUE(alive.expired());
}

// A pin outlives a cache closed and destroyed under it; the cache's pages, thousands of them
// (past the pool's small blocks), each keep their own bytes through replacement, prefetch
// hints and transactions.
TEST(PageCache, ManyPagesKeepTheirBytesAndPinsOutliveTheCache) {
    TCachePin pin;
    {
        TCacheMgr cache;
        TFakeDisk disk;
        disk.Connect(cache);
        const uint32_t pages = 3000;
        cache.Open(static_cast<int32_t>(pages / 2), P);
        cache.Prefetch(0);                 // nothing cached yet
        cache.Prefetch(0xFFFFFF00u);       // beyond the table
        cache.StartTransaction();
        for (uint32_t i = 0; i < pages; ++i) {
            const uint8_t v = static_cast<uint8_t>(i * 13 + 5);
            cache.Prefetch((i + 1) * P + 7);
            cache.WriteCache(&v, 1, 1, i * P + 7, 1);
        }
        cache.Commit();
        for (uint32_t i = pages; i-- > 0;) {
            cache.Prefetch(i * P + 7);
            ASSERT_EQ(ReadByte(cache, i * P + 7), static_cast<uint8_t>(i * 13 + 5)) << i;
            ASSERT_EQ(disk.At(i * P)[7], static_cast<uint8_t>(i * 13 + 5)) << i;
        }
        pin = cache.PinPage(1, 10 * P, 1);
        const uint8_t next = 0xEE;
        cache.WriteCache(&next, 1, 1, 10 * P + 7, 1); // fresh bytes for the cache
        cache.Prefetch(10 * P + 7);
        EXPECT_EQ(ReadByte(cache, 10 * P + 7), 0xEE);
        // A hint still due when its page leaves, or when the cache is closed and opened again,
        // changes nothing.
        cache.Prefetch(11 * P + 3);
        cache.RemovePage(11 * P);
        EXPECT_EQ(ReadByte(cache, 11 * P + 7), static_cast<uint8_t>(11 * 13 + 5));
        cache.Prefetch(12 * P);
        cache.Close();
        cache.Open(4, P);
        EXPECT_EQ(ReadByte(cache, 12 * P + 7), static_cast<uint8_t>(12 * 13 + 5));
        cache.Close();
    }
    EXPECT_EQ(pin.Data()[7], static_cast<uint8_t>(10 * 13 + 5));
    EXPECT_EQ(pin.Data()[0], 10);
}

// ---------------------------------------------------------------------------------------------

namespace {

struct TFakeRaw {
    std::vector<uint8_t> File = std::vector<uint8_t>(4096, 0);
    int Reads = 0;
    void Connect(TCacheBlockMgr& blocks) {
        blocks.SetReadIO(
            [this](uint8_t* buffer, uint32_t, uint32_t size, uint32_t address, uint8_t) {
                ++Reads;
                std::memcpy(buffer, File.data() + address, size);
            });
        blocks.SetWriteIO([this](const uint8_t* buffer, uint32_t, uint32_t size, uint32_t address,
                                 uint8_t) { std::memcpy(File.data() + address, buffer, size); });
    }
};

std::vector<uint8_t> Bytes(uint32_t n, uint8_t v) {
    return std::vector<uint8_t>(n, v);
}

} // namespace

TEST(BlockCache, OverlayLastWriterWinsPerByte) {
    TCacheBlockMgr blocks;
    EXPECT_EQ(ErrorCodeOf([&] { blocks.StartTransaction(); }), 10065);
    TFakeRaw raw;
    raw.Connect(blocks);
    blocks.StartTransaction();
    blocks.WriteBlock(Bytes(256, 1).data(), 0, 256, 1000, 0);
    // A smaller read at the same address (a header read by size) is served from the block.
    std::vector<uint8_t> small(64);
    blocks.ReadBlock(small.data(), 0, 64, 1000, 0);
    EXPECT_EQ(small, Bytes(64, 1));
    // Overlapping writes: the middle is replaced, the block is split around it.
    blocks.WriteBlock(Bytes(16, 2).data(), 0, 16, 1100, 0);
    blocks.WriteBlock(Bytes(100, 3).data(), 0, 100, 1200, 0); // reaches past the first block
    std::vector<uint8_t> all(400);
    blocks.ReadBlock(all.data(), 0, 400, 1000, 0);
    for (uint32_t i = 0; i < 400; ++i) {
        uint32_t a = 1000 + i;
        uint8_t want = a >= 1200 && a < 1300 ? 3 : a >= 1100 && a < 1116 ? 2 : a < 1256 ? 1 : 0;
        ASSERT_EQ(all[i], want) << a;
    }
    EXPECT_TRUE(raw.File[1000] == 0); // nothing written yet
    blocks.DropRange(1110, 10);
    blocks.Commit();
    EXPECT_EQ(raw.File[1105], 2);
    EXPECT_EQ(raw.File[1112], 0); // dropped bytes were never written
    EXPECT_EQ(raw.File[1150], 1);
    EXPECT_EQ(raw.File[1299], 3);
    EXPECT_EQ(blocks.Count(), 0);
    EXPECT_EQ(ErrorCodeOf([&] { blocks.Commit(); }), 10257);
}

TEST(BlockCache, ExactBlockIsAHitAndRollbackDiscards) {
    TCacheBlockMgr blocks;
    TFakeRaw raw;
    raw.Connect(blocks);
    blocks.StartTransaction();
    blocks.WriteBlock(Bytes(128, 9).data(), 3, 128, 512, 0);
    blocks.WriteBlock(Bytes(128, 8).data(), 3, 128, 512, 0);
    EXPECT_EQ(blocks.Count(), 1);
    EXPECT_EQ(blocks.FindBlock(512), 0);
    EXPECT_EQ(blocks.FindBlock(513), -1);
    std::vector<uint8_t> back(128);
    blocks.ReadBlock(back.data(), 3, 128, 512, 0);
    EXPECT_EQ(back, Bytes(128, 8));
    EXPECT_EQ(raw.Reads, 0);
    EXPECT_EQ(blocks.PendingEnd(), 640u);
    blocks.Rollback();
    EXPECT_EQ(raw.File[512], 0);
    EXPECT_EQ(blocks.Count(), 0);
}

// Random writes, drops, patches, reads, commits and rollbacks against a model of the file and
// its pending bytes. Addresses come from granules 64 apart (and their neighbours), so ranges that
// share no block still share bits of the filter that lets page writes skip the search; drops and
// patches of whole pages, odd stretches and stretches of more than 64 granules are all asked.
TEST(BlockCache, RandomOverlayMatchesTheModel) {
    constexpr uint32_t G = 4096;
    constexpr uint32_t C_FILE = 200 * G;
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
        std::vector<uint8_t> file(C_FILE, 0);
        for (uint32_t i = 0; i < C_FILE; ++i)
            file[i] = static_cast<uint8_t>(i * 7 + 1);
        std::vector<std::optional<uint8_t>> pending(C_FILE);
        TCacheBlockMgr blocks;
        blocks.SetReadIO([&](uint8_t* buffer, uint32_t, uint32_t size, uint32_t address, uint8_t) {
            std::memcpy(buffer, file.data() + address, size);
        });
        blocks.SetWriteIO([&](const uint8_t* buffer, uint32_t, uint32_t size, uint32_t address,
                              uint8_t) { std::memcpy(file.data() + address, buffer, size); });
        blocks.StartTransaction();
        auto address = [&] {
            const uint32_t granule = pick(8) + 64 * pick(3); // 0-7, 64-71, 128-135
            return granule * G + (pick(4) == 0 ? 0 : pick(G));
        };
        auto stretch = [&](uint32_t at) {
            const uint32_t kind = pick(4);
            uint32_t size = kind == 0 ? G : kind == 1 ? 1 + pick(64) : 1 + pick(3 * G);
            if (pick(10) == 0) size = 70 * G; // more granules than the filter has bits
            return std::min(size, C_FILE - at);
        };
        for (int step = 0; step < 400; ++step) {
            const uint32_t op = pick(20);
            uint32_t at = address();
            if (op < 7) {
                const uint32_t size =
                    std::min<uint32_t>(pick(4) == 0 ? 1 + pick(2 * G) : 1 + pick(600), C_FILE - at);
                const uint8_t v = static_cast<uint8_t>(rng());
                std::vector<uint8_t> bytes(size);
                for (uint32_t i = 0; i < size; ++i) {
                    bytes[i] = static_cast<uint8_t>(v + i);
                    pending[at + i] = bytes[i];
                }
                blocks.WriteBlock(bytes.data(), 1, size, at, 0);
            } else if (op < 11) {
                if (pick(2) == 0) at &= ~(G - 1); // a page write drops its page
                const uint32_t size = stretch(at);
                blocks.DropRange(at, size);
                for (uint32_t i = 0; i < size; ++i)
                    pending[at + i].reset();
            } else if (op < 15) {
                const uint32_t size = stretch(at);
                std::vector<uint8_t> got(size, 0xEE);
                const bool any = blocks.PatchRange(got.data(), at, size);
                bool want = false;
                for (uint32_t i = 0; i < size; ++i) {
                    want = want || pending[at + i].has_value();
                    ASSERT_EQ(got[i], pending[at + i].value_or(0xEE))
                        << "seed " << seed << " step " << step << " at " << at + i;
                }
                ASSERT_EQ(any, want) << "seed " << seed << " step " << step;
            } else if (op < 18) {
                const uint32_t size = std::min<uint32_t>(1 + pick(2 * G), C_FILE - at);
                std::vector<uint8_t> got(size);
                blocks.ReadBlock(got.data(), 1, size, at, 0);
                for (uint32_t i = 0; i < size; ++i)
                    ASSERT_EQ(got[i], pending[at + i].value_or(file[at + i]))
                        << "seed " << seed << " step " << step << " at " << at + i;
            } else {
                const bool commit = op == 18;
                if (commit)
                    blocks.Commit();
                else
                    blocks.Rollback();
                for (uint32_t i = 0; i < C_FILE; ++i) {
                    if (commit && pending[i]) {
                        ASSERT_EQ(file[i], *pending[i]) << i;
                    }
                    pending[i].reset();
                }
                ASSERT_EQ(blocks.Count(), 0);
                blocks.StartTransaction();
            }
        }
        uint64_t end = 0;
        for (uint32_t i = 0; i < C_FILE; ++i)
            if (pending[i]) end = i + 1;
        EXPECT_EQ(blocks.PendingEnd(), end) << "seed " << seed;
        blocks.Commit();
    }
}
