// A seeded randomized model test of the page cache: reads, writes, pins, removals while pinned,
// owner changes, transactions, commits, rollbacks and replacement in a small cache, checked
// after every step against a plain model of the disk and of the pending changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "engine/storage/zanCache.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

constexpr uint32_t P = 256;
constexpr uint32_t C_PAGES = 24; // the address space: a few times the cache
constexpr int32_t C_CACHE = 4;

using TBytes = std::vector<uint8_t>;

// The stored form of a page: what the store routine makes of the cached bytes.
TBytes Stored(const uint8_t* plain, uint32_t owner) {
    TBytes out(plain, plain + P);
    for (uint32_t i = 0; i < P; ++i)
        out[i] ^= static_cast<uint8_t>(0x5A + owner + i);
    return out;
}

// Pages belong to two owners in runs of four.
uint32_t OwnerOf(uint32_t base) {
    return (base / P / 4) % 2 + 1;
}

struct TPinned {
    TCachePin Pin;
    uint32_t Base = 0;
    TBytes Seen; // the bytes the page had when pinned
};

class TCacheModel {
public:
    explicit TCacheModel(uint32_t seed) : FRandom(seed) {
        FCache.SetReadIO([this](uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
            std::memcpy(buffer, DiskPage(address).data(), P);
            return false;
        });
        FCache.SetWriteIO([this](const uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
            EXPECT_FALSE(FInCommit == false && FTransaction) << "written before commit";
            std::memcpy(DiskPage(address).data(), buffer, P);
        });
        FCache.SetStoreIO([](const uint8_t* source, uint8_t* target, uint32_t owner, uint8_t) {
            const TBytes s = Stored(source, owner);
            std::memcpy(target, s.data(), P);
            return true;
        });
        FCache.Open(C_CACHE, P);
    }

    void Run(int32_t steps) {
        for (int32_t step = 0; step < steps; ++step) {
            FStep = step;
            Step();
            Check();
            if (HasFailure()) return;
        }
    }

private:
    static bool HasFailure() { return ::testing::Test::HasFailure(); }

    TBytes& DiskPage(uint32_t base) {
        auto& page = FDisk[base];
        if (page.empty()) page.assign(P, static_cast<uint8_t>(base / P));
        return page;
    }
    // The newest bytes of a page: pending ones in a transaction, else the disk's.
    TBytes View(uint32_t base) {
        auto it = FPending.find(base);
        return it != FPending.end() ? it->second : DiskPage(base);
    }
    uint32_t RandomBase() { return (FRandom() % C_PAGES) * P; }

    // Any page holding the pin's bytes under its address.
    bool Attached(const TPinned& pin) const {
        const TCachePage* page = FCache.FindCachedPage(pin.Base);
        return page && page->GetPageData() == pin.Pin.Data();
    }

    void Read() {
        const uint32_t address = RandomBase() + FRandom() % P;
        uint32_t count = 1 + FRandom() % (2 * P); // may cross into the next page
        if (address + count > C_PAGES * P) return;
        // A read takes one owner: it crosses only into a page of the same owner.
        const uint32_t base = address & ~(P - 1);
        count = std::min(count, base + 2 * P - address);
        if (OwnerOf(base + P) != OwnerOf(base)) count = std::min(count, base + P - address);
        TBytes got(count);
        FCache.ReadCache(got.data(), OwnerOf(address & ~(P - 1)), count, address, 0);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t at = address + i;
            ASSERT_EQ(got[i], View(at & ~(P - 1))[at % P]) << "step " << FStep << " at " << at;
        }
    }

    void Write() {
        const uint32_t base = RandomBase();
        FWritten = base;
        const bool whole = FRandom() % 3 == 0;
        const uint32_t offset = whole ? 0 : FRandom() % P;
        const uint32_t count = whole ? P : 1 + FRandom() % (P - offset);
        TBytes bytes(count);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(FRandom());
        // Clean pages cached now must keep their stored bytes once changed in a transaction.
        const TCachePage* before = FCache.FindCachedPage(base);
        const bool wasClean = before && before->GetState() == cpClean &&
                              before->GetOwner() == OwnerOf(base);
        FCache.WriteCache(bytes.data(), OwnerOf(base), count, base + offset, 0);
        TBytes page = View(base);
        std::memcpy(page.data() + offset, bytes.data(), count);
        if (FTransaction) {
            if (!FPending.count(base)) FFirstDirtyWasClean[base] = wasClean;
            FPending[base] = page;
        }
        else
            ASSERT_EQ(DiskPage(base), page) << "write-through, step " << FStep;
    }

    void Pin() {
        if (FPins.size() >= 6) return;
        const uint32_t base = RandomBase();
        TPinned pin;
        pin.Base = base;
        pin.Pin = FCache.PinPage(OwnerOf(base), base + FRandom() % P, 0);
        pin.Seen = View(base);
        ASSERT_EQ(TBytes(pin.Pin.Data(), pin.Pin.Data() + P), pin.Seen) << "step " << FStep;
        FPins.push_back(std::move(pin));
    }

    void Step() {
        // Pins attached now stay attached through anything but a removal.
        std::vector<bool> attached;
        for (const auto& pin : FPins)
            attached.push_back(Attached(pin));
        const int32_t before = FCache.Count();
        int32_t pinnedPages = 0;
        {
            std::set<const uint8_t*> distinct;
            for (const auto& pin : FPins)
                distinct.insert(pin.Pin.Data());
            pinnedPages = static_cast<int32_t>(distinct.size());
        }
        bool removal = false;
        FWritten = UINT32_MAX;
        const uint32_t r = FRandom() % 100;
        if (r < 35) {
            Read();
        } else if (r < 60) {
            Write();
        } else if (r < 70) {
            Pin();
        } else if (r < 77) {
            if (!FPins.empty()) FPins.erase(FPins.begin() + FRandom() % FPins.size());
        } else if (r < 82) {
            removal = true;
            const uint32_t base = RandomBase();
            FCache.RemovePage(base + FRandom() % P);
            FPending.erase(base); // a removed dirty page's changes are gone
        } else if (r < 85) {
            removal = true;
            FCache.ClearOwnedPages(1 + FRandom() % 2);
        } else if (r < 87 && !FTransaction) {
            // A read under another owner re-reads the page in place.
            removal = true;
            const uint32_t base = RandomBase();
            uint8_t b = 0;
            FCache.ReadCache(&b, 3, 1, base, 0);
            ASSERT_EQ(b, DiskPage(base)[0]);
        } else if (r < 93) {
            if (!FTransaction) {
                FCache.StartTransaction();
                FCache.SetReplaceClean(FRandom() % 2 == 0);
                FTransaction = true;
                FFirstDirtyWasClean.clear();
            }
        } else if (FTransaction) {
            if (r < 97) {
                FInCommit = true;
                FCache.Commit();
                FInCommit = false;
                for (const auto& [base, page] : FPending)
                    DiskPage(base) = page;
            } else {
                removal = true;
                FCache.Rollback();
            }
            FPending.clear();
            FTransaction = false;
            FCache.SetReplaceClean(false);
        }
        if (HasFailure()) return;
        const bool unpinned = r >= 70 && r < 77;
        for (size_t i = 0; !removal && !unpinned && i < attached.size(); ++i) {
            if (attached[i] && FPins[i].Base != FWritten) {
                ASSERT_TRUE(Attached(FPins[i])) << "pinned page replaced, step " << FStep << " op " << r;
            }
        }
        // Outside a transaction the cache grows only when every page is pinned.
        if (!FTransaction && FCache.Count() > before) {
            ASSERT_GE(pinnedPages, before) << "grew with a replaceable page, step " << FStep;
        }
    }

    void Check() {
        ASSERT_EQ(FCache.GetTransactionActive(), FTransaction);
        // The dirty list holds exactly the dirty pages.
        ASSERT_EQ(FCache.DirtyCount(), static_cast<int32_t>(FPending.size())) << "step " << FStep;
        for (const TCachePage* page : FCache.DirtyPages())
            ASSERT_EQ(page->GetState(), cpDirty);
        for (auto& pin : FPins) {
            // A pin's bytes never change: writes and removals leave them to it.
            const TBytes now(pin.Pin.Data(), pin.Pin.Data() + P);
            ASSERT_EQ(now, pin.Seen) << "pinned bytes changed, step " << FStep;
            // While the cache still holds them, they are the page as it is.
            if (Attached(pin)) {
                ASSERT_EQ(now, View(pin.Base)) << "attached pin, step " << FStep;
            }
        }
        for (uint32_t base = 0; base < C_PAGES * P; base += P) {
            const TCachePage* page = FCache.FindCachedPage(base);
            const bool dirty = page && page->GetState() == cpDirty;
            ASSERT_EQ(dirty, FPending.count(base) == 1) << "dirty state, step " << FStep;
            if (page && page->GetOwner() == OwnerOf(base)) {
                ASSERT_EQ(TBytes(page->GetPageData(), page->GetPageData() + P), View(base));
            }
            const uint8_t* pre = FCache.PreImage(base);
            if (!dirty) {
                ASSERT_EQ(pre, nullptr);
                continue;
            }
            // The stored bytes of the committed page, when it was cached clean at first change.
            if (FFirstDirtyWasClean[base]) {
                ASSERT_NE(pre, nullptr) << "step " << FStep;
            }
            if (pre) {
                ASSERT_EQ(TBytes(pre, pre + P), Stored(DiskPage(base).data(), OwnerOf(base)))
                    << "pre-image, step " << FStep;
            }
        }
    }

    std::mt19937 FRandom;
    TCacheMgr FCache;
    std::map<uint32_t, TBytes> FDisk;
    std::map<uint32_t, TBytes> FPending;
    std::map<uint32_t, bool> FFirstDirtyWasClean;
    std::vector<TPinned> FPins;
    bool FTransaction = false;
    bool FInCommit = false;
    int32_t FStep = 0;
    uint32_t FWritten = UINT32_MAX; // the page the step wrote
};

} // namespace

TEST(PageCacheModel, RandomOperationsMatchTheModel) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        TCacheModel model(seed);
        model.Run(3000);
        if (::testing::Test::HasFailure()) return;
    }
}

// A flat page table slot per page number: pages far apart and near the top of the 32-bit
// address range are found, and a removed page leaves no stale slot behind.
TEST(PageCacheModel, FlatTableAcrossTheAddressRange) {
    TCacheMgr cache;
    std::map<uint32_t, uint8_t> disk;
    cache.SetReadIO([&](uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
        std::memset(buffer, static_cast<uint8_t>(address >> 12), 4096);
        return false;
    });
    cache.SetWriteIO([&](const uint8_t*, uint32_t, uint32_t, uint8_t) {});
    cache.Open(3, 4096);
    const uint32_t addresses[] = {0, 4096, 0xFFFFF000u, 0x7FFFF000u, 0x10000000u};
    for (uint32_t a : addresses) {
        uint8_t b = 0;
        cache.ReadCache(&b, 1, 1, a + 17, 0);
        EXPECT_EQ(b, static_cast<uint8_t>(a >> 12));
        EXPECT_GE(cache.FindPage(a + 100), 0);
    }
    // Three pages: the two oldest were replaced and are no longer found.
    EXPECT_EQ(cache.FindPage(0), -1);
    EXPECT_EQ(cache.FindPage(4096), -1);
    EXPECT_GE(cache.FindPage(0x10000000u), 0);
    cache.RemovePage(0x10000000u);
    EXPECT_EQ(cache.FindPage(0x10000000u), -1);
    EXPECT_EQ(cache.Count(), 3);
}

// Pre-images are kept for the first C_MAX_PRE_IMAGES dirty pages only (a big transaction reads
// its old bytes back instead of doubling its memory) and are gone after commit and rollback.
TEST(PageCacheModel, PreImagesAreBoundedAndLastOneTransaction) {
    const uint32_t n = static_cast<uint32_t>(TCacheMgr::C_MAX_PRE_IMAGES) + 50;
    TCacheMgr cache;
    cache.SetReadIO([](uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
        std::memset(buffer, static_cast<uint8_t>(address / P), P);
        return false;
    });
    cache.SetWriteIO([](const uint8_t*, uint32_t, uint32_t, uint8_t) {});
    cache.SetStoreIO([](const uint8_t* source, uint8_t* target, uint32_t, uint8_t) {
        std::memcpy(target, source, P);
        return true;
    });
    cache.Open(static_cast<int32_t>(n), P);
    for (bool commit : {true, false}) {
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t b = 0;
            cache.ReadCache(&b, 1, 1, i * P, 0);
        }
        cache.StartTransaction();
        const uint8_t x = 0xEE;
        uint32_t kept = 0;
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t old = 0;
            cache.ReadCache(&old, 1, 1, i * P + 3, 0);
            cache.WriteCache(&x, 1, 1, i * P + 3, 0);
            const uint8_t* pre = cache.PreImage(i * P);
            if (pre) {
                ++kept;
                EXPECT_EQ(pre[3], old);
            }
        }
        EXPECT_EQ(kept, TCacheMgr::C_MAX_PRE_IMAGES);
        if (commit)
            cache.Commit();
        else
            cache.Rollback();
        for (uint32_t i = 0; i < n; ++i)
            ASSERT_EQ(cache.PreImage(i * P), nullptr);
        EXPECT_EQ(cache.DirtyCount(), 0);
    }
}

// Plain pages keep their pre-images piece by piece: each range of whole 512-byte sectors is
// copied just before its first change. Random writes (parts, whole pages, over pinned pages),
// reads, commits and rollbacks; after every step the changed range covers every byte that
// differs from the disk, the pre-image holds the disk's bytes inside it, and the whole
// pre-image (asked now and then, which completes it) is the disk's page. Ciphered pages (flag
// 1) keep whole stored copies as before.
TEST(PageCacheModel, PlainPreImagesAreCopiedAsTheyChange) {
    constexpr uint32_t Q = 2048;
    constexpr uint32_t C_BASES = 6;
    std::mt19937 random(7);
    std::map<uint32_t, TBytes> disk, pending;
    auto diskPage = [&](uint32_t base) -> TBytes& {
        TBytes& page = disk[base];
        if (page.empty()) {
            page.resize(Q);
            for (uint32_t i = 0; i < Q; ++i)
                page[i] = static_cast<uint8_t>(base / Q * 31 + i);
        }
        return page;
    };
    auto stored = [](const uint8_t* plain, uint8_t flags) {
        TBytes out(plain, plain + Q);
        if (flags & 1)
            for (auto& b : out)
                b ^= 0xA5;
        return out;
    };
    TCacheMgr cache;
    cache.SetReadIO([&](uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
        std::memcpy(buffer, diskPage(address).data(), Q);
        return false;
    });
    cache.SetWriteIO([&](const uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
        std::memcpy(diskPage(address).data(), buffer, Q);
    });
    cache.SetStoreIO([&](const uint8_t* source, uint8_t* target, uint32_t, uint8_t flags) {
        const TBytes s = stored(source, flags);
        std::memcpy(target, s.data(), Q);
        return true;
    });
    cache.SetPlainStoreFlags(1);
    cache.Open(8, Q);
    std::vector<TCachePin> pins;
    bool transaction = false;
    int32_t partial = 0; // checks that met a pre-image holding only part of the page
    auto flagsOf = [](uint32_t base) { return static_cast<uint8_t>(base / Q == 5 ? 1 : 0); };
    for (int32_t step = 0; step < 4000; ++step) {
        SCOPED_TRACE(step);
        const uint32_t base = (random() % C_BASES) * Q;
        const uint32_t r = random() % 100;
        if (r < 45) {
            const bool whole = random() % 6 == 0;
            const uint32_t offset = whole ? 0 : random() % Q;
            const uint32_t count = whole ? Q : 1 + random() % std::min<uint32_t>(Q - offset, 700);
            TBytes bytes(count);
            for (auto& b : bytes)
                b = static_cast<uint8_t>(random());
            cache.WriteCache(bytes.data(), 1, count, base + offset, flagsOf(base));
            if (transaction) {
                if (!pending.count(base)) pending[base] = diskPage(base);
                std::memcpy(pending[base].data() + offset, bytes.data(), count);
            } else {
                TBytes expect = diskPage(base);
                ASSERT_EQ(std::memcmp(expect.data() + offset, bytes.data(), count), 0);
            }
        } else if (r < 60) {
            uint8_t b = 0;
            const uint32_t at = random() % Q;
            cache.ReadCache(&b, 1, 1, base + at, flagsOf(base));
            const auto it = pending.find(base);
            ASSERT_EQ(b, (it != pending.end() ? it->second : diskPage(base))[at]);
        } else if (r < 70) {
            if (pins.size() > 3) pins.erase(pins.begin());
            pins.push_back(cache.PinPage(1, base, flagsOf(base)));
        } else if (r < 80) {
            if (!transaction) cache.StartTransaction();
            transaction = true;
        } else if (r < 88 && transaction) {
            cache.Commit();
            for (const auto& [b, page] : pending)
                ASSERT_EQ(diskPage(b), page);
            pending.clear();
            transaction = false;
        } else if (r < 92 && transaction) {
            cache.Rollback();
            pending.clear();
            transaction = false;
        }
        for (uint32_t b = 0; b < C_BASES * Q; b += Q) {
            uint32_t lo = 0, hi = 0;
            const uint8_t* pre = cache.ChangedPreImage(b, lo, hi);
            if (!pre) continue;
            ASSERT_TRUE(pending.count(b));
            const TBytes& now = pending[b];
            const TBytes old = stored(diskPage(b).data(), flagsOf(b));
            ASSERT_EQ(lo % 512, 0u);
            ASSERT_TRUE(hi % 512 == 0 && hi <= Q);
            if (lo < hi) {
                ASSERT_EQ(TBytes(pre + lo, pre + hi), TBytes(old.begin() + lo, old.begin() + hi));
            }
            for (uint32_t i = 0; i < Q; ++i) {
                if (i < lo || i >= hi) {
                    ASSERT_EQ(now[i], diskPage(b)[i]) << "changed outside " << i;
                }
            }
            const TCachePage* page = cache.FindCachedPage(b);
            partial += page && !page->GetPreImageWhole() && (lo > 0 || hi < Q);
            if (random() % 8 == 0) {
                const uint8_t* whole = cache.PreImage(b);
                ASSERT_EQ(TBytes(whole, whole + Q), old);
            }
        }
    }
    EXPECT_GT(partial, 100);
}
