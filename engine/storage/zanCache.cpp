#include "engine/storage/zanCache.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// Slots of the page pool are poisoned while free, and each is followed by a poisoned gap, so
// the address sanitizer still sees a use after release or a write past a page's end.
#define ZAN_POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define ZAN_POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
constexpr size_t C_POOL_GAP = 64;
#else
#define ZAN_POOL_POISON(p, n) ((void)(p), (void)(n))
#define ZAN_POOL_UNPOISON(p, n) ((void)(p), (void)(n))
constexpr size_t C_POOL_GAP = 0;
#endif

#include "engine/storage/zanConsts.h"
#include "host/rtl/Format.h"

namespace zan {

std::string_view CachePageStateName(TCachePageState state) {
    switch (state) {
    case cpEmpty:
        return "Empty";
    case cpClean:
        return "Clean";
    case cpDirty:
        return "Dirty";
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// TPageBytesPool

TPageBytesPool::TPageBytesPool(uint32_t pageSize)
    : FPageSize(pageSize), FSlotSize((size_t(pageSize) + 63) / 64 * 64 + C_POOL_GAP) {
    if (pageSize == 0) ZanDatabaseError(8581, "TPageBytesPool", "Page size = 0");
}

TPageBytesPool::~TPageBytesPool() {
    for (const auto& [block, bytes] : FBlocks) {
        ZAN_POOL_UNPOISON(block, bytes);
        munmap(block, bytes);
    }
}

void TPageBytesPool::Grow() {
    const bool huge = FSlots >= C_HUGE_AFTER && FSlotSize <= C_HUGE_BLOCK;
    const size_t count = huge ? C_HUGE_BLOCK / FSlotSize : C_SMALL_SLOTS;
    const size_t bytes = huge ? C_HUGE_BLOCK : count * FSlotSize;
    // A huge block must start on a 2 MiB boundary: twice its size is mapped and the rest given
    // back.
    const size_t mapped = huge ? 2 * bytes : bytes;
    void* map = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) throw std::bad_alloc();
    auto* block = static_cast<uint8_t*>(map);
    if (huge) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(map);
        const size_t lead = (C_HUGE_BLOCK - at % C_HUGE_BLOCK) % C_HUGE_BLOCK;
        if (lead > 0) munmap(map, lead);
        if (mapped - lead > bytes) munmap(block + lead + bytes, mapped - lead - bytes);
        block += lead;
    }
    FBlocks.emplace_back(block, bytes);
    ZAN_POOL_POISON(block, bytes);
    // Only a hint: without huge pages the block works the same.
    if (huge && madvise(block, bytes, MADV_HUGEPAGE) == 0) FHugeBytes += bytes;
    FFree.reserve(FFree.size() + count);
    // Handed out from the block's start: the free list is taken from its back.
    for (size_t i = count; i-- > 0;)
        FFree.push_back(block + i * FSlotSize);
    FSlots += count;
}

void TPageBytesPool::Give(uint8_t* slot) {
    ZAN_POOL_POISON(slot, FPageSize);
    FFree.push_back(slot);
}

std::shared_ptr<uint8_t[]> TPageBytesPool::Take(bool zero) {
    if (FFree.empty()) Grow();
    uint8_t* slot = FFree.back();
    FFree.pop_back();
    ZAN_POOL_UNPOISON(slot, FPageSize);
    // The holder's reference keeps the pool alive until the slot is given back (at once, should
    // making the reference fail).
    std::shared_ptr<uint8_t[]> bytes(slot, [pool = shared_from_this()](uint8_t* p) {
        pool->Give(p);
    });
    if (zero) std::memset(slot, 0, FPageSize);
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// TCachePage

void TCachePage::Open(TPageBytesPool* pool) {
    if (FPageSize == 0) ZanDatabaseError(8581, "TCachePage.Open", "Page size = 0");
    FPool = pool && pool->GetPageSize() == FPageSize ? pool : nullptr;
    FPageData = FPool ? FPool->Take(true) : std::make_shared<uint8_t[]>(FPageSize);
    FPinsHandedOut = false;
}

void TCachePage::SetPageSize(uint32_t pageSize) {
    if (FPageData)
        ZanDatabaseError(8581, "TCachePage.SetPageSize",
                         "Cannot set page size on opened cache page");
    FPageSize = pageSize;
}

void TCachePage::MakeEmpty() {
    FState = cpEmpty;
    FOwner = 0;
    FLowerAddress = 0;
    FUpperAddress = 0;
    FPreImage.reset();
}

void TCachePage::Detach(bool copy) {
    if (!GetPinned()) {
        FPinsHandedOut = false;
        return;
    }
    auto fresh = FPool ? FPool->Take(false) : std::make_shared_for_overwrite<uint8_t[]>(FPageSize);
    if (copy)
        std::memcpy(fresh.get(), FPageData.get(), FPageSize);
    else
        std::memset(fresh.get(), 0, FPageSize);
    FPageData = std::move(fresh);
    FPinsHandedOut = false;
}

// ---------------------------------------------------------------------------------------------
// TCacheMgr

TCacheMgr::TCacheMgr() : THashCollection([] { return std::make_unique<TCachePage>(); }) {}

void TCacheMgr::Log(const std::string& text) const {
    if (FLog) FLog->Add(text);
}

void TCacheMgr::Unlink(TCachePage* page) {
    (page->FOlder ? page->FOlder->FNewer : FOldest) = page->FNewer;
    (page->FNewer ? page->FNewer->FOlder : FNewest) = page->FOlder;
    page->FOlder = page->FNewer = nullptr;
}

void TCacheMgr::LinkOldest(TCachePage* page) {
    page->FUsedAgain = false;
    page->FOlder = nullptr;
    page->FNewer = FOldest;
    (FOldest ? FOldest->FOlder : FNewest) = page;
    FOldest = page;
}

void TCacheMgr::LinkNewest(TCachePage* page) {
    page->FUsedAgain = false;
    page->FNewer = nullptr;
    page->FOlder = FNewest;
    (FNewest ? FNewest->FNewer : FOldest) = page;
    FNewest = page;
}

void TCacheMgr::Touch(TCachePage* page) {
    page->FLRU = FLRUCounter++;
    if (page == FNewest) {
        page->FUsedAgain = false;
        return;
    }
    Unlink(page);
    LinkNewest(page);
}

void TCacheMgr::TouchAgain(TCachePage* page) {
    page->FLRU = FLRUCounter++;
    if (page != FNewest) page->FUsedAgain = true;
}

void TCacheMgr::SetState(TCachePage* page, TCachePageState state) {
    if (state == cpDirty && page->FDirtySlot < 0) {
        page->FDirtySlot = static_cast<int32_t>(FDirty.size());
        FDirty.push_back(page);
    } else if (state != cpDirty && page->FDirtySlot >= 0) {
        TCachePage* last = FDirty.back();
        FDirty[static_cast<size_t>(page->FDirtySlot)] = last;
        last->FDirtySlot = page->FDirtySlot;
        FDirty.pop_back();
        page->FDirtySlot = -1;
    }
    page->FState = state;
}

void TCacheMgr::MakeIdle(TCachePage* page) {
    SetState(page, cpEmpty);
    page->MakeEmpty();
    if (page == FOldest) return;
    Unlink(page);
    LinkOldest(page);
}

TCachePage* TCacheMgr::AddPage() {
    auto* page = static_cast<TCachePage*>(Add());
    page->SetPageSize(FPageSize);
    page->Open(FPool.get());
    LinkOldest(page);
    Log("Add cache page");
    return page;
}

void TCacheMgr::Open(int32_t count, uint32_t pageSize) {
    if (!FReadIO) ZanDatabaseError(10065, "TCacheMgr.Open", "ReadIO");
    if (!FWriteIO) ZanDatabaseError(10065, "TCacheMgr.Open", "WriteIO");
    if (pageSize == 0) ZanDatabaseError(8581, "TCacheMgr.Open", "Page size = 0");
    Close();
    // One left shift of the mask for every halving of the page size down to 1.
    uint32_t mask = 0xFFFFFFFFu;
    uint32_t shift = 0;
    for (uint32_t size = pageSize; size > 1; size >>= 1, ++shift)
        mask <<= 1;
    FAddressMask = mask;
    FPageShift = shift;
    FPageSize = pageSize;
    // Pages of a closed cache may still be pinned: they keep the old pool alive themselves.
    FPool = std::make_shared<TPageBytesPool>(pageSize);
    FBasePageCount = count;
    for (int32_t i = 0; i < count; ++i)
        AddPage();
    FHits = FMisses = 0;
    FLRUCounter = 0;
}

void TCacheMgr::Close() {
    FOldest = FNewest = nullptr;
    FByPage.clear();
    FDirty.clear();
    FSpareImages.clear();
    ClearAll();
    FPool.reset();
    FPageSize = 0;
    FTransaction = false;
}

TCachePage* TCacheMgr::HashedPage(uint32_t base) const {
    const uint32_t slot = base >> FPageShift;
    TCachePage* page = slot < FByPage.size() ? FByPage[slot].Page : nullptr;
    if (page && page->FLowerAddress != base)
        ZanDatabaseErrorFmt(
            8581, "TCacheMgr.FindPage", "Cache hash incorrect %d %d",
            {static_cast<int64_t>(base), static_cast<int64_t>(page->FLowerAddress)});
    return page;
}

void TCacheMgr::Unhash(TCachePage* page) {
    if (page->GetIsHashed()) {
        const uint32_t slot = page->FHashedBase >> FPageShift;
        if (slot < FByPage.size() && FByPage[slot].Page == page) FByPage[slot] = TPageSlot();
    }
    DeleteHashKey(page);
}

void TCacheMgr::Evict(TCachePage* page) {
    Unhash(page);
    page->Detach();
    MakeIdle(page);
}

void TCacheMgr::KeepPreImage(TCachePage* page) {
    if (!FStoreIO || page->FState != cpClean) return;
    if (FDirty.size() >= C_MAX_PRE_IMAGES) return;
    std::unique_ptr<uint8_t[]> image;
    if (FSpareImages.empty()) {
        image = std::make_unique_for_overwrite<uint8_t[]>(FPageSize);
    } else {
        image = std::move(FSpareImages.back());
        FSpareImages.pop_back();
    }
    // A plain page's bytes are its stored bytes: they are copied as they are about to change
    // (NoteChange). Until then nothing of the page differs from its pre-image.
    const bool lazy = FPlainStore && (page->FAccessFlags & FPlainStoreMask) == 0;
    if (lazy || FStoreIO(page->GetPageData(), image.get(), page->FOwner, page->FAccessFlags)) {
        page->FPreImage = std::move(image);
        page->FPreImageLazy = lazy;
        page->FChangedLo = FPageSize;
        page->FChangedHi = 0;
    } else if (FSpareImages.size() < C_SPARE_IMAGES) {
        FSpareImages.push_back(std::move(image));
    }
}

void TCacheMgr::NoteChange(TCachePage* page, uint32_t offset, uint32_t n) {
    if (!page->FPreImage || n == 0) return;
    // The range grows in whole 512-byte sectors (the journal saves whole sectors of a change).
    const uint32_t unit = FPageSize % 512 == 0 ? 512 : FPageSize;
    const uint32_t from = offset / unit * unit;
    const uint32_t to = std::min(FPageSize, (offset + n + unit - 1) / unit * unit);
    const uint32_t lo = page->FChangedLo, hi = page->FChangedHi;
    const uint32_t newLo = lo < hi ? std::min(lo, from) : from;
    const uint32_t newHi = lo < hi ? std::max(hi, to) : to;
    if (page->FPreImageLazy) {
        // The bytes between the old range and the new write have not changed either: the
        // range stays one stretch, its old bytes all in the pre-image.
        const uint8_t* now = page->GetPageData();
        uint8_t* pre = page->FPreImage.get();
        if (lo >= hi) {
            std::memcpy(pre + newLo, now + newLo, newHi - newLo);
        } else {
            if (newLo < lo) std::memcpy(pre + newLo, now + newLo, lo - newLo);
            if (newHi > hi) std::memcpy(pre + hi, now + hi, newHi - hi);
        }
    }
    page->FChangedLo = newLo;
    page->FChangedHi = newHi;
}

const uint8_t* TCacheMgr::PreImage(uint32_t address) {
    TCachePage* page = FindCachedPage(address);
    if (!page || page->FState != cpDirty || !page->FPreImage) return nullptr;
    if (page->FPreImageLazy) {
        // Outside the changed range the page holds its stored bytes.
        const uint32_t lo = std::min(page->FChangedLo, FPageSize);
        const uint32_t hi = std::max(page->FChangedHi, lo);
        const uint8_t* now = page->GetPageData();
        uint8_t* pre = page->FPreImage.get();
        std::memcpy(pre, now, lo);
        std::memcpy(pre + hi, now + hi, FPageSize - hi);
        page->FPreImageLazy = false;
    }
    return page->FPreImage.get();
}

const uint8_t* TCacheMgr::ChangedPreImage(uint32_t address, uint32_t& lo, uint32_t& hi) const {
    const TCachePage* page = FindCachedPage(address);
    if (!page || page->FState != cpDirty || !page->FPreImage) return nullptr;
    lo = page->FChangedLo;
    hi = page->FChangedHi;
    return page->FPreImage.get();
}

TCachePage* TCacheMgr::FindCachedPage(uint32_t address) const {
    if (!GetIsOpen()) return nullptr;
    TCachePage* page = HashedPage(address & FAddressMask);
    return page && page->FState != cpEmpty ? page : nullptr;
}

int32_t TCacheMgr::FindPage(uint32_t address) const {
    TCachePage* page = FindCachedPage(address);
    return page ? page->GetIndex() : -1;
}

void TCacheMgr::Rehash(TCachePage* page, uint32_t owner, uint32_t base, uint8_t accessFlags) {
    Unhash(page);
    page->FOwner = owner;
    page->FLowerAddress = base;
    page->FUpperAddress = 0;
    page->FAccessFlags = accessFlags;
    page->SetHashFromInts(0, base);
    AddHashKey(page->GetHashKey(), page->GetID());
    const uint32_t slot = base >> FPageShift;
    if (slot >= FByPage.size()) FByPage.resize(size_t(slot) + 1);
    FByPage[slot] = TPageSlot{page, page->GetPageData()};
    page->FHashedBase = base;
}

TCachePage* TCacheMgr::GetNextEmptyPage() {
    // Idle pages lead the recency list, then the least recently used ones.
    // Pinned pages are passed over: they are never replaced.
    TCachePage* oldest = FOldest;
    while (oldest && oldest->FState == cpEmpty && oldest->GetPinned())
        oldest = oldest->FNewer;
    if (oldest && oldest->FState == cpEmpty) {
        Unhash(oldest);
        return oldest;
    }
    // A transaction keeps every page it touched: the cache grows instead. A write scope keeps
    // only its dirty pages.
    const bool keepAll = FTransaction && !FReplaceClean;
    if (!keepAll)
        while (oldest) {
            TCachePage* next = oldest->FNewer;
            if (oldest->FState != cpDirty && !oldest->GetPinned()) {
                if (!oldest->FUsedAgain) break;
                // Used again since it was last moved: it goes to the newest end, unmarked, and
                // is met again there after every page that was newer (the newest itself stays
                // and is looked at again at once).
                if (next) {
                    Unlink(oldest);
                    LinkNewest(oldest);
                } else {
                    oldest->FUsedAgain = false;
                    next = oldest;
                }
            }
            oldest = next;
        }
    if (keepAll || !oldest) {
        Log("GetNextEmptyPage. Adding new page");
        return AddPage();
    }
    Log(Format("GetNextEmptyPage. Replacing OldestPage: %d", oldest->GetIndex()));
    Unhash(oldest);
    oldest->MakeEmpty();
    return oldest;
}

TCachePage* TCacheMgr::PageFor(uint32_t base, uint32_t owner, bool& hit) {
    TCachePage* page = HashedPage(base);
    if (page && page->FOwner == owner && page->FState != cpEmpty) {
        hit = true;
        return page;
    }
    hit = false;
    if (page) {
        // A page cached under another owner is reused in place. A dirty one holds changes of
        // this connection that a re-read would lose: that is never a valid request.
        if (page->FState == cpDirty)
            ZanDatabaseErrorFmt(8581, "TCacheMgr.ReadCache",
                                "Dirty cache page %d requested by another owner (%d, %d)",
                                {static_cast<int64_t>(base), static_cast<int64_t>(page->FOwner),
                                 static_cast<int64_t>(owner)});
        Unhash(page);
        page->Detach();
        page->MakeEmpty();
        return page;
    }
    return GetNextEmptyPage();
}

void TCacheMgr::Prefetch(uint32_t address) const {
    // Only the page's slot, whose place needs nothing loaded first: a prefetch that had to wait
    // for the slot (to learn where the page and its bytes lie) would stall as long as the read
    // it is meant to spare. The read then finds the slot at hand and asks for the page's
    // description and bytes together.
    const uint32_t slot = (address & FAddressMask) >> FPageShift;
    if (slot >= FByPage.size()) return;
    __builtin_prefetch(FByPage.data() + slot);
    FPrefetchAddress = address;
    FPrefetchDue = true;
}

void TCacheMgr::FollowPrefetchNow() const {
    FPrefetchDue = false;
    const uint32_t base = FPrefetchAddress & FAddressMask;
    const uint32_t slot = base >> FPageShift;
    if (slot >= FByPage.size()) return;
    const TPageSlot& s = FByPage[slot];
    if (s.Page) __builtin_prefetch(s.Page);
    if (s.Bytes) __builtin_prefetch(s.Bytes + (FPrefetchAddress - base));
}

void TCacheMgr::ReadCache(void* buffer, uint32_t owner, uint32_t count, uint32_t address,
                          uint8_t accessFlags) {
    FollowPrefetch();
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t base = address & FAddressMask;
    uint32_t offset = address - base;
    // The bytes are asked for at once, so a page touched at random costs one memory wait
    // (its description and its bytes fetched together) instead of two in a row.
    if (const uint32_t slot = base >> FPageShift; count > 0 && slot < FByPage.size())
        if (const uint8_t* bytes = FByPage[slot].Bytes) {
            __builtin_prefetch(bytes + offset);
            __builtin_prefetch(bytes + offset + std::min(FPageSize - offset, count) - 1);
        }
    while (count > 0) {
        bool hit = false;
        TCachePage* page = PageFor(base, owner, hit);
        if (hit) {
            ++FHits;
        } else {
            ++FMisses;
            // Until the read succeeds the page holds nothing valid.
            page->MakeEmpty();
            bool pending = FReadIO(page->GetPageData(), owner, base, accessFlags);
            SetState(page, pending ? cpDirty : cpClean);
            Rehash(page, owner, base, accessFlags);
        }
        uint32_t n = std::min(FPageSize - offset, count);
        if (hit)
            TouchAgain(page);
        else
            Touch(page);
        std::memcpy(out, page->GetPageData() + offset, n);
        out += n;
        count -= n;
        base += FPageSize;
        offset = 0;
    }
}

void TCacheMgr::ReadBlocks(uint32_t owner, const uint32_t* addresses, size_t count, uint32_t size,
                           uint8_t accessFlags, const TBlockVisit& visit) {
    if (count == 0 || size == 0) return;
    const auto slotPage = [&](uint32_t base) -> TCachePage* {
        const uint32_t slot = base >> FPageShift;
        return slot < FByPage.size() ? FByPage[slot].Page : nullptr;
    };
    // First pass: every page's descriptor on its way into the processor's cache.
    for (size_t i = 0; i < count; ++i)
        if (TCachePage* page = slotPage(addresses[i] & FAddressMask)) {
            __builtin_prefetch(page);
            __builtin_prefetch(reinterpret_cast<const char*>(page) + 64);
        }
    // Second pass: the blocks of cached pages on their way too; the missing pages noted. A page
    // found here is counted as a hit.
    // Batches are small (a read-ahead filling): their bookkeeping stays on the stack.
    constexpr size_t C_ON_STACK = 64;
    std::array<uint8_t, C_ON_STACK> cachedHere{};
    std::vector<uint8_t> cachedHeap(count > C_ON_STACK ? count : 0, 0);
    uint8_t* const cached = count > C_ON_STACK ? cachedHeap.data() : cachedHere.data();
    std::vector<uint32_t> missing;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t base = addresses[i] & FAddressMask;
        TCachePage* page = slotPage(base);
        if (page && page->FLowerAddress == base && page->FOwner == owner &&
            page->FState != cpEmpty) {
            const uint8_t* bytes = page->GetPageData() + (addresses[i] - base);
            __builtin_prefetch(bytes);
            __builtin_prefetch(bytes + std::min(size, FPageSize) - 1);
            cached[i] = 1;
        } else {
            missing.push_back(base);
        }
    }
    // The missing pages are read once each, in address order, after the file was told of them.
    if (!missing.empty()) {
        std::sort(missing.begin(), missing.end());
        missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
        if (FAdviseIO && missing.size() > 1) FAdviseIO(missing);
        for (const uint32_t base : missing) {
            bool hit = false;
            TCachePage* page = PageFor(base, owner, hit);
            if (hit) continue;
            ++FMisses;
            page->MakeEmpty();
            const bool pending = FReadIO(page->GetPageData(), owner, base, accessFlags);
            SetState(page, pending ? cpDirty : cpClean);
            Rehash(page, owner, base, accessFlags);
            Touch(page);
        }
    }
    // Last pass: each block in place, looked up again (a page read above may have replaced
    // another, and the reader may have used the cache meanwhile); a block crossing a page, or
    // whose page went, is read as ReadCache reads it.
    std::vector<uint8_t> copy;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t address = addresses[i];
        const uint32_t base = address & FAddressMask;
        const uint32_t offset = address - base;
        TCachePage* page = offset + uint64_t(size) <= FPageSize ? HashedPage(base) : nullptr;
        if (page && page->FOwner == owner && page->FState != cpEmpty) {
            if (cached[i]) ++FHits;
            TouchAgain(page);
            visit(i, page->GetPageData() + offset);
            continue;
        }
        copy.resize(size);
        ReadCache(copy.data(), owner, size, address, accessFlags);
        visit(i, copy.data());
    }
}

uint8_t* TCacheMgr::ReadCacheByRef(uint32_t owner, uint32_t count, uint32_t address,
                                   uint8_t accessFlags) {
    uint32_t base = address & FAddressMask;
    if (count == 0 || address - base + uint64_t(count) > FPageSize)
        ZanDatabaseError(8581, "TCacheMgr.ReadCacheByRef",
                         "ReadCacheByRef - request crosses a page");
    uint8_t probe = 0;
    ReadCache(&probe, owner, 1, base, accessFlags);
    TCachePage* page = HashedPage(base);
    if (FTransaction) {
        // The caller may change the bytes in place before it writes them back (by reference):
        // WriteCache would then be told of the change too late to copy the old bytes. The
        // page's stored bytes are kept whole now and the page counts as written (a commit
        // finding it unchanged writes nothing of it).
        KeepPreImage(page);
        NoteChange(page, 0, FPageSize);
        page->Detach(true);
        FByPage[base >> FPageShift].Bytes = page->GetPageData();
        SetState(page, cpDirty);
    }
    return page->GetPageData() + (address - base);
}

TCachePin TCacheMgr::PinPage(uint32_t owner, uint32_t address, uint8_t accessFlags) {
    uint8_t probe = 0;
    ReadCache(&probe, owner, 1, address & FAddressMask, accessFlags);
    TCachePage* page = HashedPage(address & FAddressMask);
    page->FPinsHandedOut = true;
    return TCachePin(page->FPageData);
}

void TCacheMgr::WriteCache(const void* buffer, uint32_t owner, uint32_t count, uint32_t address,
                           uint8_t accessFlags) {
    FollowPrefetch();
    auto* in = static_cast<const uint8_t*>(buffer);
    uint32_t base = address & FAddressMask;
    uint32_t offset = address - base;
    while (count > 0) {
        uint32_t n = std::min(FPageSize - offset, count);
        bool hit = false;
        TCachePage* page = PageFor(base, owner, hit);
        if (hit || n == FPageSize) {
            ++FHits;
            if (!hit) page->MakeEmpty();
            if (hit && FTransaction) KeepPreImage(page);
        } else {
            ++FMisses;
            page->MakeEmpty();
            // The bytes read may carry this transaction's pending raw writes: such a page is
            // dirty already and its bytes are no pre-image of the file.
            bool pending = FReadIO(page->GetPageData(), owner, base, accessFlags);
            SetState(page, pending ? cpDirty : cpClean);
            if (FTransaction) {
                page->FOwner = owner;
                page->FAccessFlags = accessFlags;
                KeepPreImage(page);
            }
        }
        // The old bytes go to a partial pre-image before anything changes (a detach of a
        // whole page's write leaves fresh bytes that are not the old ones).
        NoteChange(page, offset, n);
        // Pins keep the bytes they saw (in may point into them: their pins keep them alive).
        page->Detach(n < FPageSize);
        std::memmove(page->GetPageData() + offset, in, n);
        if (hit) {
            page->FAccessFlags = accessFlags; // hashed under this address already
            FByPage[base >> FPageShift].Bytes = page->GetPageData(); // fresh after a detach
            TouchAgain(page);
        } else {
            Rehash(page, owner, base, accessFlags);
            Touch(page);
        }
        if (FTransaction) {
            SetState(page, cpDirty);
        } else {
            try {
                FWriteIO(page->GetPageData(), owner, base, accessFlags);
            } catch (...) {
                // The cached bytes are not what the file holds: forget them.
                Evict(page);
                throw;
            }
            SetState(page, cpClean);
        }
        in += n;
        count -= n;
        base += FPageSize;
        offset = 0;
    }
}

void TCacheMgr::WriteCacheByRef(const void* buffer, uint32_t owner, uint32_t count,
                                uint32_t address, uint8_t accessFlags) {
    uint32_t base = address & FAddressMask;
    TCachePage* page = FindCachedPage(base);
    if (!page || page->FOwner != owner)
        ZanDatabaseError(8581, "TCacheMgr.WriteCacheByRef", "WriteCacheByRef - page not found");
    if (count != FPageSize || address != base)
        ZanDatabaseError(8581, "TCacheMgr.WriteCacheByRef",
                         "WriteCacheByRef - error in write size");
    WriteCache(buffer, owner, count, address, accessFlags);
}

void TCacheMgr::RemovePage(uint32_t address) {
    if (!GetIsOpen()) return;
    TCachePage* page = HashedPage(address & FAddressMask);
    if (!page) return;
    Evict(page);
}

void TCacheMgr::ClearOwnedPages(uint32_t owner) {
    for (int32_t i = 0; i < Count(); ++i) {
        TCachePage* page = Page(i);
        if (page->FState == cpClean && page->FOwner == owner) Evict(page);
    }
}

void TCacheMgr::StartTransaction() {
    FTransaction = true;
}

void TCacheMgr::WriteDirtyPages() {
    std::vector<TCachePage*> dirty = FDirty;
    std::sort(dirty.begin(), dirty.end(), [](const TCachePage* a, const TCachePage* b) {
        return a->FLowerAddress < b->FLowerAddress;
    });
    for (TCachePage* page : dirty)
        FWriteIO(page->GetPageData(), page->FOwner, page->FLowerAddress, page->FAccessFlags);
}

void TCacheMgr::FinishCommit() {
    for (TCachePage* page : FDirty) {
        page->FState = cpClean;
        page->FDirtySlot = -1;
        if (page->FPreImage && FSpareImages.size() < C_SPARE_IMAGES)
            FSpareImages.push_back(std::move(page->FPreImage));
        page->FPreImage.reset();
    }
    FDirty.clear();
    FTransaction = false;
}

void TCacheMgr::Commit() {
    if (!FTransaction) ZanDatabaseError(10257, "TCachePage.Commit");
    WriteDirtyPages();
    FinishCommit();
}

void TCacheMgr::Rollback() {
    if (!FTransaction) ZanDatabaseError(10257, "TCacheMgr.Rollback");
    while (!FDirty.empty())
        Evict(FDirty.back());
    FTransaction = false;
}

void TCacheMgr::DumpState(TStrings& lines) const {
    lines.Add(Format("Cache dump: Hits %d  Misses %d", FHits, FMisses));
    for (int32_t i = 0; i < Count(); ++i) {
        const TCachePage* page = Page(i);
        lines.Add(Format(
            "Page %d: Addr %d  Owner %d State %s LRUFlag %d", i,
            static_cast<int64_t>(page->FLowerAddress), static_cast<int64_t>(page->FOwner),
            std::string(CachePageStateName(page->FState)), static_cast<int64_t>(page->FLRU)));
    }
}

// ---------------------------------------------------------------------------------------------
// TCacheBlockMgr

void TCacheBlockMgr::Open() {
    if (!FReadIO) ZanDatabaseError(10065, "TCacheBlockMgr.Open", "ReadIO");
    if (!FWriteIO) ZanDatabaseError(10065, "TCacheBlockMgr.Open", "WriteIO");
}

void TCacheBlockMgr::Close() {
    FByAddress.clear();
    FGranules = 0;
    FTransaction = false;
}

uint64_t TCacheBlockMgr::GranuleBits(uint64_t address, uint64_t end) {
    if (end <= address) return 0;
    const uint64_t first = address >> 12, last = (end - 1) >> 12;
    if (last - first >= 63) return ~uint64_t(0);
    uint64_t bits = 0;
    for (uint64_t g = first; g <= last; ++g)
        bits |= uint64_t(1) << (g & 63);
    return bits;
}

TCacheBlock* TCacheBlockMgr::AddBlock(uint32_t address, uint32_t size, uint32_t owner,
                                      uint8_t flags) {
    FGranules |= GranuleBits(address, uint64_t(address) + size);
    auto& slot = FByAddress[address];
    slot = std::make_unique<TCacheBlock>();
    TCacheBlock* block = slot.get();
    block->FData.assign(size, 0);
    block->FLowAddress = address;
    block->FBlockOwner = owner;
    block->FAccessFlags = flags;
    block->FState = cpDirty;
    if (FLog) FLog->Add("Add cache Block");
    return block;
}

int32_t TCacheBlockMgr::FindBlock(uint32_t address) const {
    auto it = FByAddress.find(address);
    return it == FByAddress.end() ? -1
                                  : static_cast<int32_t>(std::distance(FByAddress.begin(), it));
}

void TCacheBlockMgr::DropRange(uint32_t address, uint64_t size) {
    if (size == 0 || FByAddress.empty()) return;
    const uint64_t end = uint64_t(address) + size;
    // Every page written inside a transaction asks: most lie beyond all pending blocks (or
    // before them), which the map's two ends tell without a search, or in granules no block
    // was given.
    if (address >= FByAddress.rbegin()->second->EndAddress() || end <= FByAddress.begin()->first ||
        !MayHoldPending(address, end))
        return;
    auto it = FByAddress.upper_bound(address);
    if (it != FByAddress.begin()) --it;
    while (it != FByAddress.end() && it->first < end) {
        TCacheBlock* block = it->second.get();
        const uint64_t lo = block->FLowAddress, hi = block->EndAddress();
        if (hi <= address) {
            ++it;
            continue;
        }
        if (lo < address && hi > end) {
            // Split: keep the head in place, the tail becomes a block of its own.
            TCacheBlock* tail =
                AddBlock(static_cast<uint32_t>(end), static_cast<uint32_t>(hi - end),
                         block->FBlockOwner, block->FAccessFlags);
            std::memcpy(tail->FData.data(), block->FData.data() + (end - lo), hi - end);
            block->FData.resize(address - lo);
            return;
        }
        if (lo < address) {
            block->FData.resize(address - lo);
            ++it;
        } else if (hi > end) {
            std::vector<uint8_t> rest(block->FData.begin() + (end - lo), block->FData.end());
            auto node = FByAddress.extract(it);
            block->FData.swap(rest);
            block->FLowAddress = static_cast<uint32_t>(end);
            node.key() = block->FLowAddress;
            FByAddress.insert(std::move(node));
            return;
        } else {
            it = FByAddress.erase(it);
            if (FByAddress.empty()) FGranules = 0;
        }
    }
}

bool TCacheBlockMgr::PatchRange(uint8_t* buffer, uint32_t address, uint32_t size) const {
    if (size == 0 || FByAddress.empty()) return false;
    const uint64_t end = uint64_t(address) + size;
    if (!MayHoldPending(address, end)) return false;
    bool any = false;
    auto it = FByAddress.upper_bound(address);
    if (it != FByAddress.begin()) --it;
    for (; it != FByAddress.end() && it->first < end; ++it) {
        const TCacheBlock* block = it->second.get();
        const uint64_t lo = std::max<uint64_t>(block->FLowAddress, address);
        const uint64_t hi = std::min<uint64_t>(block->EndAddress(), end);
        if (lo >= hi) continue;
        std::memcpy(buffer + (lo - address), block->FData.data() + (lo - block->FLowAddress),
                    hi - lo);
        any = true;
    }
    return any;
}

uint64_t TCacheBlockMgr::PendingEnd() const {
    return FByAddress.empty() ? 0 : FByAddress.rbegin()->second->EndAddress();
}

void TCacheBlockMgr::ReadBlock(void* buffer, uint32_t owner, uint32_t size, uint32_t address,
                               uint8_t accessFlags) {
    auto* out = static_cast<uint8_t*>(buffer);
    auto it = FByAddress.find(address);
    if (it != FByAddress.end() && it->second->GetBlockSize() == size) {
        ++FHits;
        std::memcpy(out, it->second->FData.data(), size);
        return;
    }
    ++FMisses;
    FReadIO(out, owner, size, address, accessFlags);
    PatchRange(out, address, size);
}

void TCacheBlockMgr::WriteBlock(const void* buffer, uint32_t owner, uint32_t size, uint32_t address,
                                uint8_t accessFlags) {
    if (size == 0) return;
    auto it = FByAddress.find(address);
    TCacheBlock* block = nullptr;
    if (it != FByAddress.end() && it->second->GetBlockSize() == size) {
        ++FHits;
        block = it->second.get();
        block->FBlockOwner = owner;
        block->FAccessFlags = accessFlags;
    } else {
        ++FMisses;
        DropRange(address, size);
        block = AddBlock(address, size, owner, accessFlags);
    }
    std::memcpy(block->FData.data(), buffer, size);
    block->FState = cpDirty;
}

void TCacheBlockMgr::StartTransaction() {
    Open();
    Close();
    FHits = FMisses = 0;
    FTransaction = true;
}

void TCacheBlockMgr::WriteDirtyBlocks() {
    for (const auto& [address, block] : FByAddress)
        if (block->FState == cpDirty)
            FWriteIO(block->FData.data(), block->FBlockOwner, block->GetBlockSize(), address,
                     block->FAccessFlags);
}

void TCacheBlockMgr::Commit() {
    if (!FTransaction) ZanDatabaseError(10257, "TCacheBlockMgr.Commit");
    WriteDirtyBlocks();
    Close();
}

void TCacheBlockMgr::Rollback() {
    if (!FTransaction) ZanDatabaseError(10257, "TCacheBlockMgr.Rollback");
    Close();
}

void TCacheBlockMgr::DumpState(TStrings& lines) const {
    lines.Add(Format("Cache dump: Hits %d  Misses %d", FHits, FMisses));
    int32_t i = 0;
    for (const auto& entry : FByAddress) {
        const TCacheBlock* block = entry.second.get();
        lines.Add(Format("Block %d: Addr %d  Size %d  Owner %d State %s", i++,
                         static_cast<int64_t>(block->FLowAddress),
                         static_cast<int64_t>(block->GetBlockSize()),
                         static_cast<int64_t>(block->FBlockOwner),
                         std::string(CachePageStateName(block->FState))));
    }
}

} // namespace zan
