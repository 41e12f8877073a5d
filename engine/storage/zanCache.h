// The two caches between the database file object and the file.
//
// TCacheMgr holds whole pages keyed by page address. Outside a transaction it is a write-through
// read cache; inside one it keeps every changed page dirty until commit and grows instead of
// evicting. TCacheBlockMgr lives only during a transaction and holds raw byte stretches (headers,
// zeroed pages, map pages) keyed by address.
//
// Inside a transaction the two caches are kept disjoint by the file object: a byte range is
// pending in at most one of them, so commit writes one consistent image whatever the order. The
// block cache itself is an overlay: a write over pending blocks replaces the bytes it covers
// (blocks are trimmed or split), and a read is served from the file patched by pending blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/storage/zanLists.h"
#include "host/rtl/StringList.h"

namespace zan {

enum TCachePageState : uint8_t { cpEmpty = 0, cpClean = 1, cpDirty = 2 };

// "Empty", "Clean", "Dirty".
std::string_view CachePageStateName(TCachePageState state);

// Reads the page at address into buffer (page size bytes). Answers true when the bytes include
// changes that are not on disk yet (pending raw blocks folded into the page); the cache then
// keeps the page dirty.
using TCachePageReadIO =
    std::function<bool(uint8_t* buffer, uint32_t owner, uint32_t address, uint8_t accessFlags)>;
// Writes the page buffer at address.
using TCachePageWriteIO = std::function<void(const uint8_t* buffer, uint32_t owner,
                                             uint32_t address, uint8_t accessFlags)>;
// Turns a cached page (source) into its stored bytes (target), as the write routine would put
// them on disk; answers false when it does not (their file copy is then read instead, where
// that is cheaper than making them).
using TCachePageStoreIO = std::function<bool(const uint8_t* source, uint8_t* target,
                                             uint32_t owner, uint8_t accessFlags)>;

// A pin on the bytes of a cached page, read in place: while any pin is held the page is never
// replaced, and a page removed while pinned leaves the cache but keeps its bytes until the last
// pin goes. The bytes seen through a pin never change: a write to a pinned page first gives the
// cache a copy of its own, so a pin holder sees the page as it was when pinned (as a copy
// would), whoever changes it later.
class TCachePin {
public:
    TCachePin() = default;
    explicit TCachePin(std::shared_ptr<uint8_t[]> data) : FData(std::move(data)) {}
    const uint8_t* Data() const { return FData.get(); }
    explicit operator bool() const { return FData != nullptr; }
    void Reset() { FData.reset(); }

private:
    std::shared_ptr<uint8_t[]> FData;
};
// Hands one block of a batch read to its reader: its index in the batch and its bytes, valid
// only until the next call on the cache or file (they may lie in a cached page).
using TBlockVisit = std::function<void(size_t index, const uint8_t* bytes)>;
// Asks the file for pages about to be read (page addresses, ascending, no repeats), so the
// system can fetch them all at once instead of one read at a time.
using TCacheAdviseIO = std::function<void(const std::vector<uint32_t>& bases)>;

// Raw transfers of size bytes at address.
using TCacheBlockReadIO = std::function<void(uint8_t* buffer, uint32_t owner, uint32_t size,
                                             uint32_t address, uint8_t accessFlags)>;
using TCacheBlockWriteIO = std::function<void(const uint8_t* buffer, uint32_t owner, uint32_t size,
                                              uint32_t address, uint8_t accessFlags)>;

// Where cached pages keep their bytes: fixed-size slots carved from large blocks, handed out
// as shared bytes (a slot goes back to the pool when its last holder, the page or a pin, lets
// go; the pool lives while any of its slots is held). A cache of many pages read at random
// addresses spends much of its time finding where each page lies in memory: once the pool
// holds more than C_HUGE_AFTER slots, further blocks are 2 MiB ones the system is asked to
// back with huge pages, so one lookup of that kind covers 512 pages of 4 KiB instead of one.
// Not thread-safe (nothing in the engine is).
class TPageBytesPool : public std::enable_shared_from_this<TPageBytesPool> {
public:
    static constexpr size_t C_HUGE_BLOCK = size_t(2) << 20;
    static constexpr size_t C_HUGE_AFTER = 512;
    static constexpr size_t C_SMALL_SLOTS = 64; // slots per block before that

    explicit TPageBytesPool(uint32_t pageSize);
    ~TPageBytesPool();
    TPageBytesPool(const TPageBytesPool&) = delete;
    TPageBytesPool& operator=(const TPageBytesPool&) = delete;

    // A slot of page size bytes, zero-filled when zero is set.
    std::shared_ptr<uint8_t[]> Take(bool zero);
    uint32_t GetPageSize() const { return FPageSize; }
    // The distance between slots (tests).
    size_t SlotSize() const { return FSlotSize; }
    // Slots carved so far and slots free (tests).
    size_t SlotCount() const { return FSlots; }
    size_t FreeCount() const { return FFree.size(); }
    // Bytes in blocks asked to be backed by huge pages (tests).
    size_t HugeBytes() const { return FHugeBytes; }

private:
    void Grow();
    void Give(uint8_t* slot);

    uint32_t FPageSize;
    size_t FSlotSize; // the page size rounded up to a cache line (and a poisoned gap: sanitizer)
    size_t FSlots = 0;
    size_t FHugeBytes = 0;
    std::vector<uint8_t*> FFree;
    std::vector<std::pair<uint8_t*, size_t>> FBlocks; // mapped blocks and their sizes
};

class TCachePage : public THashCollectionItem {
    friend class TCacheMgr;

public:
    ZAN_CLASS(TCachePage)

    // Allocates the zero-filled buffer (from pool when given); 8581 "Page size = 0" without a
    // size.
    void Open(TPageBytesPool* pool = nullptr);
    // 8581 "Cannot set page size on opened cache page" once the buffer exists.
    void SetPageSize(uint32_t pageSize);

    uint8_t* GetPageData() { return FPageData.get(); }
    const uint8_t* GetPageData() const { return FPageData.get(); }
    // Whether a pin holds the page's bytes. Pages never pinned since they last got fresh bytes
    // answer without reading the shared count, which lies apart from the page and would cost a
    // memory miss on every write to a page touched at random.
    bool GetPinned() const { return FPinsHandedOut && FPageData.use_count() > 1; }
    // The stored bytes the page had on disk before this transaction first changed it, or
    // nullptr (not dirty, or no clean copy was cached when it was first changed). A plain
    // page's may hold only the bytes inside its changed range (GetPreImageWhole tells);
    // TCacheMgr::PreImage answers it whole.
    const uint8_t* GetPreImage() const { return FPreImage.get(); }
    bool GetPreImageWhole() const { return !FPreImageLazy; }
    // The bytes written since the pre-image was kept: [lo, hi), empty when lo >= hi. Bytes
    // outside it are the stored ones.
    uint32_t GetChangedLo() const { return FChangedLo; }
    uint32_t GetChangedHi() const { return FChangedHi; }
    uint32_t GetLowerAddress() const { return FLowerAddress; }
    uint32_t GetOwner() const { return FOwner; }
    uint32_t GetPageSize() const { return FPageSize; }
    uint32_t GetLRU() const { return FLRU; }
    TCachePageState GetState() const { return FState; }
    uint8_t GetAccessFlags() const { return FAccessFlags; }

private:
    // Empties the page: no owner, no address, state empty (the hash is not touched).
    void MakeEmpty();
    // A pinned page gets fresh bytes (a copy of the old ones with copy): the old ones stay with
    // their pins.
    void Detach(bool copy = false);

    // Shared with the pins: the cache holds one reference, each pin another.
    std::shared_ptr<uint8_t[]> FPageData;
    // Where fresh bytes come from (the cache's pool, which outlives its pages), or nullptr.
    TPageBytesPool* FPool = nullptr;
    // Set when a pin was handed out on FPageData; cleared when the page gets fresh bytes or is
    // found unpinned.
    bool FPinsHandedOut = false;
    std::unique_ptr<uint8_t[]> FPreImage;
    // With FPreImage: the range written since it was kept, and whether it holds only that
    // range (a plain page's old bytes are copied as they are about to be overwritten).
    uint32_t FChangedLo = 0;
    uint32_t FChangedHi = 0;
    bool FPreImageLazy = false;
    int32_t FDirtySlot = -1; // the page's place in the manager's dirty list, -1 when clean
    uint32_t FLowerAddress = 0;
    uint32_t FOwner = 0;
    uint32_t FPageSize = 0;
    uint32_t FLRU = 0;
    TCachePageState FState = cpEmpty;
    uint8_t FAccessFlags = 0;
    // Used again since last moved in the recency list (below). It lies beside the address,
    // owner and stamp, which every use reads or writes: in a line of its own at the end, it
    // cost a page found at random one more memory miss per use.
    bool FUsedAgain = false;
    uint32_t FUpperAddress = 0; // always 0: addresses are 32-bit
    uint32_t FHashedBase = 0;   // the address the page is hashed under
    // The cache's recency list: idle pages first, then least to most recently used, except
    // that a page used again while in the list is only marked (FUsedAgain) and moves to the
    // newest end when a replacement meets it.
    TCachePage* FOlder = nullptr;
    TCachePage* FNewer = nullptr;
};

class TCacheMgr : public THashCollection {
public:
    static constexpr size_t C_MAX_PRE_IMAGES = 1024;

    TCacheMgr();
    ZAN_CLASS(TCacheMgr)

    // Creates count pages of pageSize bytes; both routines must be set (10065 "ReadIO" /
    // "WriteIO").
    void Open(int32_t count, uint32_t pageSize);
    // Frees every page and leaves transaction mode; nothing is written.
    void Close();
    bool GetIsOpen() const { return FPageSize != 0; }

    void ReadCache(void* buffer, uint32_t owner, uint32_t count, uint32_t address,
                   uint8_t accessFlags);
    // Reads count blocks of size bytes, one at each address, and hands them to visit in the
    // order given: in place in the cached page, or through a copy when a block crosses a page
    // or its page went while visiting. All the pages are looked up first and prefetched (cached
    // ones into the processor's cache; missing ones read in address order, asked of the advise
    // routine first), so scattered blocks cost about one memory wait instead of one each.
    void ReadBlocks(uint32_t owner, const uint32_t* addresses, size_t count, uint32_t size,
                    uint8_t accessFlags, const TBlockVisit& visit);
    // One page only: the request must lie inside one page. Answers a pointer into the page.
    uint8_t* ReadCacheByRef(uint32_t owner, uint32_t count, uint32_t address, uint8_t accessFlags);
    void WriteCache(const void* buffer, uint32_t owner, uint32_t count, uint32_t address,
                    uint8_t accessFlags);
    // The whole page must be cached already and count must be the page size. buffer may be
    // the cached page itself (as answered by ReadCacheByRef).
    void WriteCacheByRef(const void* buffer, uint32_t owner, uint32_t count, uint32_t address,
                         uint8_t accessFlags);

    // A hint that the page holding address will be read or written soon: its lookup slot
    // starts on its way into the processor's cache, and the next use of the cache (by then the
    // slot is at hand) sends the page's description and the bytes at address after it.
    // Nothing else happens (a page not cached is not read).
    void Prefetch(uint32_t address) const;

    // Reads the page holding address like ReadCache and pins it.
    TCachePin PinPage(uint32_t owner, uint32_t address, uint8_t accessFlags);
    // The stored bytes of the dirty page at address before this transaction changed it (see
    // TCachePage::GetPreImage), whole, or nullptr.
    const uint8_t* PreImage(uint32_t address);
    // The same where only the changed range is needed: answers the pre-image (valid inside
    // [lo, hi) at least, the only bytes that may differ from the page's), or nullptr.
    const uint8_t* ChangedPreImage(uint32_t address, uint32_t& lo, uint32_t& hi) const;

    // The page holding address becomes empty and leaves the hash (dirty or not).
    void RemovePage(uint32_t address);
    // Every clean page of the owner becomes empty. Dirty pages are this connection's newest
    // bytes and are kept.
    void ClearOwnedPages(uint32_t owner);
    // Index of the non-empty page holding address, or -1.
    int32_t FindPage(uint32_t address) const;
    bool IsBaseAddrInCache(uint32_t address) const { return FindPage(address) >= 0; }
    uint32_t GetBaseAddress(uint32_t address) const { return address & FAddressMask; }
    // The non-empty page holding address, or nullptr.
    TCachePage* FindCachedPage(uint32_t address) const;

    void StartTransaction();
    // Writes every dirty page (WriteDirtyPages), then marks them clean and leaves transaction
    // mode. When a write fails nothing is marked and the transaction stays on.
    void Commit();
    // Writes every dirty page in address order and changes nothing else.
    void WriteDirtyPages();
    // Marks every dirty page clean and leaves transaction mode (after WriteDirtyPages).
    void FinishCommit();
    // Every dirty page becomes empty and leaves the hash; transaction mode ends.
    void Rollback();
    bool GetTransactionActive() const { return FTransaction; }
    // The dirty pages, in no particular order.
    const std::vector<TCachePage*>& DirtyPages() const { return FDirty; }
    int32_t DirtyCount() const { return static_cast<int32_t>(FDirty.size()); }
    // In transaction mode, whether clean pages may still be replaced (a write scope: it keeps
    // only its dirty pages, so a long scan inside it does not grow the cache).
    void SetReplaceClean(bool value) { FReplaceClean = value; }

    uint32_t TotalCacheSize() const { return static_cast<uint32_t>(Count()) * FPageSize; }
    int32_t GetBasePageCount() const { return FBasePageCount; }
    uint32_t GetPageSize() const { return FPageSize; }
    uint32_t GetAddressMask() const { return FAddressMask; }
    int32_t GetHits() const { return FHits; }
    int32_t GetMisses() const { return FMisses; }
    TCachePage* Page(int32_t index) const { return static_cast<TCachePage*>(Items(index)); }

    void SetReadIO(TCachePageReadIO io) { FReadIO = std::move(io); }
    void SetWriteIO(TCachePageWriteIO io) { FWriteIO = std::move(io); }
    // Optional: with it, a clean page first changed in a transaction keeps its stored bytes
    // (while fewer than C_MAX_PRE_IMAGES pages are dirty: a big transaction's old bytes are
    // read back from the file instead of doubling its memory).
    void SetStoreIO(TCachePageStoreIO io) { FStoreIO = std::move(io); }
    // Pages whose access flags have none of these bits are stored as they lie in the cache:
    // their pre-images are copied piece by piece, each range just before its first change, so
    // a page changed in one part costs no copy of the rest (0, the default: none are).
    void SetPlainStoreFlags(uint8_t cipherFlags) {
        FPlainStoreMask = cipherFlags;
        FPlainStore = true;
    }
    // Optional: told the pages a batch read is about to load (ReadBlocks).
    void SetAdviseIO(TCacheAdviseIO io) { FAdviseIO = std::move(io); }
    void SetLog(TStrings* log) { FLog = log; }
    void DumpState(TStrings& lines) const;

private:
    // The page for base: a hit, a page of another owner reused in place, or a fresh one. Sets
    // hit when the cached bytes may be used as they are.
    TCachePage* PageFor(uint32_t base, uint32_t owner, bool& hit);
    TCachePage* GetNextEmptyPage();
    // The page hashed under base (by the lookup table kept beside the hash keys).
    TCachePage* HashedPage(uint32_t base) const;
    // The second step of Prefetch, at the next use of the cache.
    void FollowPrefetch() const {
        if (FPrefetchDue) FollowPrefetchNow();
    }
    void FollowPrefetchNow() const;
    // The page leaves the hash and becomes idle; a pinned one keeps its bytes for its pins.
    void Evict(TCachePage* page);
    // A clean page about to be changed inside a transaction keeps its stored bytes.
    void KeepPreImage(TCachePage* page);
    // Bytes [offset, offset + n) of the page are about to be written: its changed range grows
    // over them, and a partial pre-image takes the old bytes it newly covers.
    void NoteChange(TCachePage* page, uint32_t offset, uint32_t n);
    // Sets the page's state, keeping the dirty list.
    void SetState(TCachePage* page, TCachePageState state);
    // Takes the page out of the hash and the lookup table.
    void Unhash(TCachePage* page);
    void Rehash(TCachePage* page, uint32_t owner, uint32_t base, uint8_t accessFlags);
    // The page, which just got its bytes, becomes the most recently used.
    void Touch(TCachePage* page);
    // The page, cached before, is used again: it is marked, not moved. Moving a page touched at
    // random to the newest end rewrites its two neighbours in the list, pages touched at random
    // as well: two more memory misses on every such use, while a replacement (none at all inside
    // a transaction) meets few marked pages. A replacement moves a marked page to the newest end
    // and passes over it once (a second chance), so a page used since it was last moved is
    // never replaced before the pages left unused.
    void TouchAgain(TCachePage* page);
    void LinkNewest(TCachePage* page);
    // The page is emptied and goes to the front of the recency list, where the next request
    // for a page finds it first.
    void MakeIdle(TCachePage* page);
    void Unlink(TCachePage* page);
    void LinkOldest(TCachePage* page);
    void Log(const std::string& text) const;
    TCachePage* AddPage();

    int32_t FBasePageCount = 0;
    uint32_t FPageSize = 0;
    uint32_t FAddressMask = 0;
    uint32_t FLRUCounter = 0;
    // Recency list over every page: FOldest is idle or the least recently used.
    // Hashed pages by page number (base address >> page shift): a flat table that grows with
    // the highest page cached, so at most one slot per page of the file. Each slot also holds
    // where the page's bytes lay when it was hashed or last written: a hint for prefetching
    // only, never read through (the bytes may have moved to a fresh buffer since), so a read
    // at a scattered address asks for its bytes while the page itself is still being fetched.
    struct TPageSlot {
        TCachePage* Page = nullptr;
        const uint8_t* Bytes = nullptr;
    };
    std::vector<TPageSlot> FByPage;
    uint32_t FPageShift = 0;
    // The address of the last Prefetch whose page description and bytes are still to be sent
    // for: asking for them at once would wait for the slot, as long as the read it is meant to
    // spare, so they go at the next use of the cache.
    mutable uint32_t FPrefetchAddress = 0;
    mutable bool FPrefetchDue = false;
    // The dirty pages: commit, rollback and the pending-change checks cost O(dirty), not
    // O(cached).
    std::vector<TCachePage*> FDirty;
    // Pre-image buffers of pages committed, kept for the next transaction's first changes (at
    // most C_SPARE_IMAGES), so a small commit allocates none.
    static constexpr size_t C_SPARE_IMAGES = 16;
    std::vector<std::unique_ptr<uint8_t[]>> FSpareImages;
    TCachePage* FOldest = nullptr;
    TCachePage* FNewest = nullptr;
    bool FTransaction = false;
    bool FReplaceClean = false;
    TStrings* FLog = nullptr;
    int32_t FMisses = 0;
    int32_t FHits = 0;
    TCachePageWriteIO FWriteIO;
    TCachePageReadIO FReadIO;
    TCacheAdviseIO FAdviseIO;
    TCachePageStoreIO FStoreIO;
    bool FPlainStore = false;
    uint8_t FPlainStoreMask = 0;
    // The pages' bytes (made by Open for its page size).
    std::shared_ptr<TPageBytesPool> FPool;
};

// A pending stretch of raw bytes; its manager's address map owns it.
class TCacheBlock : public TObject {
    friend class TCacheBlockMgr;

public:
    ZAN_CLASS(TCacheBlock)

    const uint8_t* GetData() const { return FData.data(); }
    uint32_t GetBlockOwner() const { return FBlockOwner; }
    uint32_t GetBlockSize() const { return static_cast<uint32_t>(FData.size()); }
    TCachePageState GetState() const { return FState; }
    uint8_t GetAccessFlags() const { return FAccessFlags; }
    uint32_t GetLowAddress() const { return FLowAddress; }
    uint64_t EndAddress() const { return uint64_t(FLowAddress) + FData.size(); }

private:
    std::vector<uint8_t> FData;
    uint32_t FBlockOwner = 0;
    TCachePageState FState = cpEmpty;
    uint8_t FAccessFlags = 0;
    uint32_t FLowAddress = 0;
    uint32_t FHighAddress = 0; // always 0
};

// The pending blocks, owned by their address map: finding, adding and removing one costs
// O(log n), so a transaction that frees and reuses many pages stays linear.
class TCacheBlockMgr : public TObject {
public:
    TCacheBlockMgr() = default;
    ZAN_CLASS(TCacheBlockMgr)

    // Checks the routines (10065 "ReadIO" / "WriteIO").
    void Open();
    // Frees every block and leaves transaction mode.
    void Close();

    // Reads size bytes at address: the file's bytes patched with every pending block that
    // overlaps them. A block of exactly that address and size is a hit and needs no file read.
    void ReadBlock(void* buffer, uint32_t owner, uint32_t size, uint32_t address,
                   uint8_t accessFlags);
    // Stores the bytes as pending; they replace whatever pending bytes they cover.
    void WriteBlock(const void* buffer, uint32_t owner, uint32_t size, uint32_t address,
                    uint8_t accessFlags);
    // Index (in address order) of the block starting at address, or -1. Diagnostics: it
    // counts the blocks before it.
    int32_t FindBlock(uint32_t address) const;
    // Drops the pending bytes of [address, address + size); blocks are trimmed or split.
    void DropRange(uint32_t address, uint64_t size);
    // Copies the pending bytes that overlap [address, address + size) over buffer; answers
    // whether there were any.
    bool PatchRange(uint8_t* buffer, uint32_t address, uint32_t size) const;
    // The end of the last pending block (0 when none).
    uint64_t PendingEnd() const;

    void StartTransaction();
    // Writes every dirty block, then frees them all and leaves transaction mode.
    void Commit();
    // Writes every dirty block in address order and changes nothing else.
    void WriteDirtyBlocks();
    void FinishCommit() { Close(); }
    void Rollback();
    bool GetTransactionActive() const { return FTransaction; }

    int32_t GetHits() const { return FHits; }
    int32_t GetMisses() const { return FMisses; }
    int32_t Count() const { return static_cast<int32_t>(FByAddress.size()); }

    void SetReadIO(TCacheBlockReadIO io) { FReadIO = std::move(io); }
    void SetWriteIO(TCacheBlockWriteIO io) { FWriteIO = std::move(io); }
    void SetLog(TStrings* log) { FLog = log; }
    void DumpState(TStrings& lines) const;

private:
    TCacheBlock* AddBlock(uint32_t address, uint32_t size, uint32_t owner, uint8_t flags);

    bool FTransaction = false;
    TStrings* FLog = nullptr;
    int32_t FMisses = 0;
    int32_t FHits = 0;
    TCacheBlockWriteIO FWriteIO;
    TCacheBlockReadIO FReadIO;
    std::map<uint32_t, std::unique_ptr<TCacheBlock>> FByAddress; // pending blocks never overlap
    // The 4 KiB granules that pending blocks were given, folded onto 64 bits (granule number
    // modulo 64): a range none of whose granules has its bit set holds no pending byte, so the
    // page writes of a transaction (each drops the pending bytes of its pages) mostly skip the
    // search. Bits are only set while blocks are added (a block trimmed, moved within its bytes
    // or dropped keeps them) and cleared when the last block goes.
    uint64_t FGranules = 0;
    static uint64_t GranuleBits(uint64_t address, uint64_t end);
    bool MayHoldPending(uint64_t address, uint64_t end) const {
        return (FGranules & GranuleBits(address, end)) != 0;
    }
};

} // namespace zan
