// Batch reads of the page cache (ReadBlocks) against the one-block reads they stand for: random
// blocks, page-crossing ones, repeats, pages of another owner, a cache smaller than a batch,
// changes pending in a transaction, and a reader that uses the cache while it visits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "engine/storage/zanCache.h"

using namespace zan;

namespace {

constexpr uint32_t P = 256;
constexpr uint32_t C_PAGES = 24;

// The file behind the cache: what a page read sees.
struct TBatchDisk {
    std::vector<uint8_t> Bytes = std::vector<uint8_t>(size_t(C_PAGES) * P);
    std::vector<std::vector<uint32_t>> Advised;

    void Connect(TCacheMgr& cache) {
        cache.SetReadIO([this](uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
            std::memcpy(buffer, Bytes.data() + address, P);
            return false;
        });
        cache.SetWriteIO([this](const uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
            std::memcpy(Bytes.data() + address, buffer, P);
        });
        cache.SetAdviseIO([this](const std::vector<uint32_t>& bases) { Advised.push_back(bases); });
    }
};

} // namespace

TEST(PageCacheBatch, ReadBlocksAgreesWithOneBlockReadsAtRandom) {
    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
        TBatchDisk disk;
        for (uint8_t& b : disk.Bytes)
            b = uint8_t(rng());
        // What every read must show: the file with this connection's writes.
        std::vector<uint8_t> truth = disk.Bytes;
        TCacheMgr cache;
        disk.Connect(cache);
        cache.Open(int32_t(2 + rng() % 6), P);
        bool transaction = false;
        for (int step = 0; step < 120; ++step) {
            const uint32_t action = rng() % 10;
            if (action == 0 && !transaction) {
                cache.StartTransaction();
                transaction = true;
            } else if (action == 1 && transaction) {
                cache.Commit();
                transaction = false;
            } else if (action <= 3) {
                // A write: through the file outside a transaction, pending inside one.
                const uint32_t address = rng() % (C_PAGES * P - 40);
                std::vector<uint8_t> bytes(1 + rng() % 40);
                for (uint8_t& b : bytes)
                    b = uint8_t(rng());
                cache.WriteCache(bytes.data(), 1, uint32_t(bytes.size()), address, 1);
                std::copy(bytes.begin(), bytes.end(), truth.begin() + address);
            } else {
                // A batch: repeats, neighbours in one page, blocks crossing a page; owner 2
                // (pages cached for another owner are read again) only without pending pages.
                const uint32_t size = 1 + rng() % 48;
                const uint32_t owner = !transaction && rng() % 4 == 0 ? 2 : 1;
                std::vector<uint32_t> addresses(1 + rng() % 20);
                for (uint32_t& a : addresses) {
                    const uint32_t kind = rng() % 4;
                    if (kind == 0 && &a != addresses.data())
                        a = (&a)[-1];
                    else if (kind == 1)
                        a = (rng() % C_PAGES) * P + P - 1 - rng() % std::min(size, 8u);
                    else
                        a = rng() % (C_PAGES * P - size);
                    a = std::min(a, C_PAGES * P - size);
                }
                const bool meddle = rng() % 3 == 0;
                std::vector<uint32_t> uncached;
                for (uint32_t a : addresses) {
                    const TCachePage* page = cache.FindCachedPage(a);
                    if (!page || page->GetOwner() != owner) uncached.push_back(a & ~(P - 1));
                }
                std::sort(uncached.begin(), uncached.end());
                uncached.erase(std::unique(uncached.begin(), uncached.end()), uncached.end());
                disk.Advised.clear();
                size_t next = 0;
                cache.ReadBlocks(owner, addresses.data(), addresses.size(), size, 1,
                                 [&](size_t i, const uint8_t* bytes) {
                                     ASSERT_EQ(i, next++) << "visited out of order";
                                     ASSERT_TRUE(std::equal(bytes, bytes + size,
                                                            truth.begin() + addresses[i]))
                                         << "round " << round << " step " << step << " block "
                                         << i << " at " << addresses[i];
                                     // A reader that uses the cache between its blocks.
                                     if (meddle) {
                                         uint8_t probe = 0;
                                         const uint32_t at = rng() % (C_PAGES * P);
                                         cache.ReadCache(&probe, owner, 1, at, 1);
                                         ASSERT_EQ(probe, truth[at]);
                                     }
                                 });
                ASSERT_EQ(next, addresses.size());
                // The file is told of the missing pages once, in address order.
                if (uncached.size() > 1) {
                    ASSERT_EQ(disk.Advised.size(), 1u);
                    EXPECT_EQ(disk.Advised[0], uncached);
                } else {
                    EXPECT_TRUE(disk.Advised.empty());
                }
            }
        }
        if (transaction) cache.Commit();
        // Nothing a batch did left the file or the cache wrong.
        EXPECT_EQ(disk.Bytes, truth);
        std::vector<uint8_t> all(truth.size());
        cache.ReadCache(all.data(), 1, uint32_t(all.size()), 0, 1);
        EXPECT_EQ(all, truth);
    }
}

TEST(PageCacheBatch, CachedBlocksAreVisitedInPlaceAndCountedAsHits) {
    TBatchDisk disk;
    for (size_t i = 0; i < disk.Bytes.size(); ++i)
        disk.Bytes[i] = uint8_t(i * 7);
    TCacheMgr cache;
    disk.Connect(cache);
    cache.Open(8, P);
    const std::vector<uint32_t> addresses = {5 * P + 10, 2 * P + 3, 5 * P + 40, 7 * P};
    std::vector<const uint8_t*> seen;
    cache.ReadBlocks(1, addresses.data(), addresses.size(), 16, 1,
                     [&](size_t, const uint8_t* bytes) { seen.push_back(bytes); });
    // Three pages missing: read once each, counted as misses; their blocks are no hits.
    EXPECT_EQ(cache.GetMisses(), 3);
    EXPECT_EQ(cache.GetHits(), 0);
    for (size_t i = 0; i < addresses.size(); ++i)
        EXPECT_EQ(seen[i], cache.FindCachedPage(addresses[i])->GetPageData() +
                               (addresses[i] % P))
            << "block " << i << " is not read in place";
    seen.clear();
    cache.ReadBlocks(1, addresses.data(), addresses.size(), 16, 1,
                     [&](size_t, const uint8_t* bytes) { seen.push_back(bytes); });
    EXPECT_EQ(cache.GetMisses(), 3);
    EXPECT_EQ(cache.GetHits(), 4);
    // A block across two pages comes as a copy of both parts.
    const uint32_t across = 3 * P - 4;
    cache.ReadBlocks(1, &across, 1, 9, 1, [&](size_t, const uint8_t* bytes) {
        EXPECT_TRUE(std::equal(bytes, bytes + 9, disk.Bytes.begin() + across));
    });
}
