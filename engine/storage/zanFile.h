// The database file as one object: the handle with its access and share modes, the page cache
// and the block cache, the per-page cipher and the file-level transaction. Every byte of the
// database file passes through TZanFile.
//
// Access flags accompany every transfer: 0 = raw stretch (never ciphered), 1 = page, plain;
// 3 = page, XOR scrambler keyed by the owning table id; 5 = page, Blowfish CFB restarted for
// every page. Pages go through the page cache when the cache or a transaction is active; raw
// stretches go through the block cache inside a transaction and straight to the file outside.
//
// Inside a transaction the two caches form one overlay, last writer wins per byte: a raw write
// takes the pages it touches out of the page cache (a dirty one moves to the block cache as its
// enciphered image first), a page write drops pending raw bytes of its pages, a page read folds
// pending raw bytes into the page, and a raw read sees pending blocks and dirty pages. Commit
// therefore writes one consistent image.
//
// Addresses are 32-bit: the file may grow up to the page that starts at 0xFFFFF000 and no
// further; any growth beyond is refused (9482) before anything is written.
#pragma once

#include <array>
#include <bitset>
#include <functional>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/storage/zanCache.h"
#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanJournal.h"
#include "host/rtl/Classes.h"
#include "host/win/WinFiles.h"

namespace zan {

// One past the last byte the file may ever hold.
inline constexpr uint64_t ZanMaxFileEnd = 0x100000000ull;
// The highest address a page may start at.
inline constexpr uint32_t ZanMaxPageAddress = 0xFFFFF000u;

// Fault injection for crash tests: with n > 0 the process kills itself (SIGKILL) at the n-th
// crash point from now on (every write, sync, truncate and unlink of a database file or its
// journal, see ZanArmCrashPoint); 0 turns it off. Nothing sets it outside tests.
void ZanSetWriteKillPoint(uint64_t n);

// Access flag bits.
inline constexpr uint8_t ZanAccessPage = 1;
inline constexpr uint8_t ZanAccessXOR = 2;
inline constexpr uint8_t ZanAccessBlowfish = 4;

class TZanFile : public TObject {
public:
    TZanFile();
    ~TZanFile() override;
    TZanFile(const TZanFile&) = delete;
    TZanFile& operator=(const TZanFile&) = delete;
    ZAN_CLASS(TZanFile)

    // Closes an open file, then creates (or empties) the file and opens it read-write with the
    // sharing of the exclusive flags. Answers the handle.
    int32_t CreateZanFile(const std::string& fileName);
    // Opens an existing file with the access and sharing of the open flags. Answers the handle.
    int32_t OpenZanFile(const std::string& fileName);
    // Empties both caches (a transaction's changes are lost), closes the handle, frees the work
    // buffer and both keys.
    void CloseZanFile();
    bool CheckOpen() const { return FFile.IsOpen(); }

    void SetOpenRead(bool value) { FOpenRead = value; }
    void SetOpenWrite(bool value) { FOpenWrite = value; }
    void SetOpenReadExclusive(bool value) { FOpenReadExclusive = value; }
    void SetOpenWriteExclusive(bool value) { FOpenWriteExclusive = value; }
    void SetPageSize(uint32_t value) { FPageSize = value; }
    void SetCacheActive(bool value) { FCacheActive = value; }
    void SetLockRetryCount(int32_t value) { FLockRetryCount = value; }
    void SetLockRetryInterval(int32_t value) { FLockRetryInterval = value; }
    void SetBeepOnLockRetry(bool value) { FBeepOnLockRetry = value; }
    uint32_t GetPageSize() const { return FPageSize; }
    bool GetCacheActive() const { return FCacheActive; }
    int32_t GetLockRetryCount() const { return FLockRetryCount; }
    int32_t GetLockRetryInterval() const { return FLockRetryInterval; }

    // Copies the scrambler key; refused (8581) while the file is open.
    void SetXORKeyBuf(const void* key, int32_t length);
    // Copies the Blowfish key and keys the cipher with it.
    void SetBlowKeyBuf(const void* key, int32_t length);

    void SeekAndReadZanFile(void* buffer, uint32_t owner, uint32_t count, uint32_t address,
                            uint8_t accessFlags);
    void SeekAndWriteZanFile(const void* buffer, uint32_t owner, uint32_t count, uint32_t address,
                             uint8_t accessFlags);
    // A hint that the bytes at address will be read or written soon: where pages go through
    // the page cache, a cached page holding them starts on its way into the processor's cache.
    // Nothing is read from the file and nothing is checked.
    void PrefetchZanFile(uint32_t address, uint8_t accessFlags) const {
        if (PagePath(accessFlags)) FPageCache.Prefetch(address);
    }
    // Reads count blocks of size bytes, one at each address, handing each to visit in that
    // order (see TCacheMgr::ReadBlocks; outside the page path each is a plain read).
    void ReadBlocks(uint32_t owner, const uint32_t* addresses, size_t count, uint32_t size,
                    uint8_t accessFlags, const TBlockVisit& visit);
    // Page path only; the request must lie inside one page.
    // The page at address (count must be the page size) read through the page cache and
    // pinned there; an empty pin where pages bypass the cache.
    TCachePin PinZanFilePage(uint32_t owner, uint32_t count, uint32_t address,
                             uint8_t accessFlags);
    uint8_t* SeekAndReadZanFileByRef(uint32_t owner, uint32_t count, uint32_t address,
                                     uint8_t accessFlags);
    void SeekAndWriteZanFileByRef(const void* buffer, uint32_t owner, uint32_t count,
                                  uint32_t address, uint8_t accessFlags);
    // Writes at the logical end of the file and answers the address written.
    uint32_t SeekAndAppendZanFile(const void* buffer, uint32_t count, uint32_t owner,
                                  uint8_t accessFlags);
    // Raw stretches (flags 0).
    void ReadThroughZanFile(void* buffer, uint32_t address, uint32_t count);
    void WriteThroughZanFile(const void* buffer, uint32_t address, uint32_t count);
    // Overwrites the page at address with zeroPage (page size bytes) as a raw stretch.
    void ReleasePage(uint32_t address, const void* zeroPage);

    void StartTransaction();
    // With the journal active: journals the stored bytes of everything the commit overwrites
    // below the present size (and that size), syncs the journal when syncs are on; then extends
    // the file to its final size (a full disk fails before any page is overwritten), writes the
    // dirty pages in address order and the pending blocks, syncs the file when syncs are on, and
    // empties the journal: that is the commit point. A failure before the in-place writes
    // removes the journal; one during them restores the old bytes from the journal first. Either
    // way the transaction stays active and the error (9217) is raised. The caller holds the
    // commit lock while the journal is active.
    void Commit();
    void Rollback();
    bool GetTransactionActive() const { return FTransactionActive; }
    // Raised by every rollback.
    uint32_t GetRollbackCount() const { return FRollbackCount; }
    // Moves whenever pages may have changed owners: pages released or taken back by a
    // rollback, a journal restored, another connection's change seen. Block stores forget
    // the pages they found to be theirs when it moved.
    uint32_t GetOwnershipEpoch() const { return FOwnershipEpoch; }
    void OwnershipMayChange() { ++FOwnershipEpoch; }
    // Whether the transaction has anything to write: dirty pages, pending blocks or growth.
    bool HasPendingChanges() const;
    // Logical end := max(logical end, size on disk): growth committed by other connections is
    // never overwritten by this transaction's appends.
    void RefreshLogicalEof();

    // The rollback journal of commits; off until the owner turns it on (it holds the commit
    // lock around every commit then).
    void SetJournalActive(bool value) { FJournalActive = value; }
    bool GetJournalActive() const { return FJournalActive; }
    // Syncs of the journal and the file at every commit (off: a commit survives a killed
    // process, not a power cut).
    void SetSyncCommits(bool value) { FSyncCommits = value; }
    bool GetSyncCommits() const { return FSyncCommits; }
    // The table lock ids (0 = global header) held for writing, recorded in the next journal.
    void SetJournalLockIds(const std::bitset<ZanJournalLockIds>& ids) { FJournalLockIds = ids; }
    // Made once per file name: a commit asks for it every time.
    const std::string& GetJournalFileName() const {
        if (FJournalNameOf != FFile.GetFileName()) {
            FJournalNameOf = FFile.GetFileName();
            FJournalName = JournalFileNameFor(FJournalNameOf);
        }
        return FJournalName;
    }
    // The journal kept from the last commit is in place and empty: no other journal can be at
    // its path, so a commit need not look for a leftover one.
    // known: no one else can have touched the path (an exclusive open), so it is not looked at.
    bool JournalKeptReady(bool known = false) { return FJournal.KeptReady(known); }
    bool JournalKeptIdle() const { return FJournal.KeptIdle(); }
    // Removes the journal file kept between commits; the caller holds the commit lock.
    void CloseJournal() noexcept { FJournal.Close(); }

    // The stored bytes of [0, ZanFixedRegionsEnd) are held in memory (read once, followed
    // through this object's writes) while no other handle can change them: opened without
    // write sharing, or while the size is steady (the caller holds the global header's lock,
    // which every writer of the fixed regions needs). Tests look at it.
    bool FixedImageKept() const { return FFixedKept; }

    // Forces what the file holds to the device; a transaction's pending changes are not
    // written.
    void FlushBuffers();
    uint32_t SeekZanBof() const { return 0; }
    // The logical end inside a transaction, else the size on disk.
    uint64_t SeekZanEof() const;
    uint64_t GetPhysicalSize() const;
    // While set, no other connection can change the file's size (the caller holds the lock
    // every grower needs): it is asked once and then followed through this object's writes.
    void SetSizeSteady(bool value);
    // Another handle changed the file (a journal restored): its size is asked again when next
    // needed and kept raw stretches are dropped.
    void FileChangedElsewhere();
    // Shared opens: the disk manager's count of lock changes (a lock newly had or given back).
    // A raw stretch a transaction reads from the file is held while the count stands still: the
    // lock covering it (which a change of it needs) has been held all along, so no one else
    // can have changed it, and the commit's journal takes its stored bytes from memory instead
    // of reading them again. Unset: nothing is held.
    void SetLockChangeCount(std::function<uint64_t()> count) {
        FLockChangeCount = std::move(count);
    }
    // Byte copy of the file as it is on disk.
    void CopyZanFile(const std::string& targetName);

    // The cache size for a file: a quarter of its pages, clamped to 50..1000.
    static int32_t CachePageCountFor(uint64_t fileSize, uint32_t pageSize);

    TWinFile& GetWinFile() { return FFile; }
    TCacheMgr& GetPageCache() { return FPageCache; }
    TCacheBlockMgr& GetBlockCache() { return FBlockCache; }
    // read and write system calls made on the database file.
    uint64_t GetReadCalls() const { return FReadCalls; }
    uint64_t GetWriteCalls() const { return FWriteCalls; }

private:
    bool PagePath(uint8_t accessFlags) const {
        return (accessFlags & ZanAccessPage) && (FCacheActive || FTransactionActive);
    }
    // Logs an owner beyond the table ids (every transfer asks: the test is inline).
    void CheckOwner(uint32_t owner) const {
        if (owner > 2048) OwnerOutOfRange();
    }
    void OwnerOutOfRange() const;
    // Refuses a stretch ending beyond the address limit.
    void CheckRange(uint32_t address, uint64_t count, const char* context) const {
        if (uint64_t(address) + count > ZanMaxFileEnd) RangeTooFar(address, count, context);
    }
    [[noreturn]] void RangeTooFar(uint32_t address, uint64_t count, const char* context) const;
    void Cipher(bool encrypt, const uint8_t* source, uint8_t* target, uint8_t accessFlags,
                uint32_t owner, uint32_t count);
    // Reads count bytes at address from the file; a short read is zero-filled when fillTail,
    // else 9217.
    void FileRead(uint8_t* buffer, uint32_t count, uint64_t address, bool fillTail);
    void FileWrite(const uint8_t* buffer, uint32_t count, uint64_t address);
    // The same for buffers written back to back in one call (their descriptions used up).
    void FileWriteV(std::vector<iovec>& iov, uint64_t address);
    // The held fixed-region bytes follow a write of len bytes at address.
    void FollowFixedRegions(const void* bytes, uint64_t address, uint64_t len);
    // After a write ending at end: the known size grows to it.
    void NoteWritten(uint64_t end);
    // A write failed: what is held of the file may be wrong now (9217).
    [[noreturn]] void WriteFailed(const std::string& why);
    // Whether the fixed regions' bytes may be held now, and reads them when so and not held
    // yet; true when they are held.
    bool FixedImageAllowed() const { return FShareKeepsSize || FSizeSteady; }
    bool LoadFixedImage();
    // The stored bytes of a raw stretch read by the block cache: kept clean stretches serve it
    // when no other handle may write the file, and it is kept then.
    void ReadStoredBlock(uint8_t* buffer, uint32_t count, uint64_t address);
    // The page routines of the page cache.
    bool PageRead(uint8_t* buffer, uint32_t owner, uint32_t address, uint8_t accessFlags);
    void PageWrite(const uint8_t* buffer, uint32_t owner, uint32_t address, uint8_t accessFlags);
    // Page path without the cache: one page at a time through the page routines.
    void DirectPageTransfer(uint8_t* buffer, uint32_t owner, uint32_t count, uint32_t address,
                            uint8_t accessFlags, bool write);
    void RawRead(uint8_t* buffer, uint32_t owner, uint32_t count, uint32_t address,
                 uint8_t accessFlags);
    void RawWrite(const uint8_t* buffer, uint32_t owner, uint32_t count, uint32_t address,
                  uint8_t accessFlags);
    // Copies the enciphered image of every dirty cached page over the part of [address,
    // address + count) it covers.
    void PatchDirtyPages(uint8_t* buffer, uint32_t address, uint32_t count);
    // Drops pending raw bytes of the pages that [address, address + count) touches.
    void DropBlocksOfPages(uint32_t address, uint32_t count);
    void ConnectCaches();
    // The stretches (address, size) the commit will write, in the order it writes them.
    std::vector<std::pair<uint32_t, uint32_t>> PendingWrites();
    // Journals the stored bytes of the sectors a dirty plain page changes, from its pre-image
    // and inside the range written since it was kept; false (nothing added) for a page
    // without a pre-image or whose stored bytes are not its cached ones. The changed span is
    // noted for the page's write (FChangedSpans).
    bool AddChangedSectors(uint32_t address);
    // Writes the journal of a commit over a file of oldSize bytes that grows when grows.
    void WriteJournal(uint64_t oldSize, bool grows);
    // Writes the dirty pages enciphered, each run of consecutive pages in one write.
    void WriteDirtyPagesCoalesced();
    // A crash point, then fdatasync of the database file (9217 on failure).
    void SyncFile();
    // Raw stretches read outside a transaction while no other handle may write the file, kept
    // so that reading them again (a table header at every lock) is a copy. Bounded; a write
    // over one drops it, as do a rollback and a change by another handle.
    bool ReadCleanBlock(uint8_t* buffer, uint32_t count, uint32_t address) const;
    const uint8_t* FindCleanBlock(uint32_t count, uint32_t address) const;
    void KeepCleanBlock(const uint8_t* buffer, uint32_t count, uint32_t address);
    void DropCleanBlocks(uint64_t address, uint64_t count);
    // The stretches read by the current transaction (see SetLockChangeCount): kept with the
    // count at their read, found only while it is still the count now.
    void HoldReadStretch(const uint8_t* buffer, uint32_t count, uint64_t address);
    const uint8_t* FindHeldStretch(uint32_t count, uint32_t address) const;
    void DropHeldStretches() { FHeldStretches.clear(); }

    TWinFile FFile;
    std::vector<uint8_t> FPageBuffer; // work buffer: one page, ciphered
    std::vector<uint8_t> FXORKey;
    std::vector<uint8_t> FBlowKey;
    uint64_t FLogicalEof = 0;
    TCacheMgr FPageCache;
    TCacheBlockMgr FBlockCache;
    bool FOpenWrite = false;
    bool FOpenRead = true;
    bool FOpenReadExclusive = false;
    bool FOpenWriteExclusive = false;
    bool FBeepOnLockRetry = false;
    int32_t FLockRetryInterval = 200;
    int32_t FLockRetryCount = 10;
    uint32_t FPageSize = 4096;
    bool FCacheActive = false;
    bool FTransactionActive = false;
    uint32_t FRollbackCount = 0;
    uint32_t FOwnershipEpoch = 0;
    bool FFillShortReads = false; // set while a write may read a page beyond the end first
    TBlowfishData FBlowfish;
    uint64_t FReadCalls = 0;
    uint64_t FWriteCalls = 0;
    TJournalWriter FJournal;
    bool FJournalActive = false;
    bool FSyncCommits = false;
    std::bitset<ZanJournalLockIds> FJournalLockIds;
    mode_t FJournalMode = 0; // the database file's permission bits, asked once
    bool FStampCommit = false; // the journal written says the commit stamps the file first
    mutable std::string FJournalName;   // the journal's path for the file name FJournalNameOf
    mutable std::string FJournalNameOf;
    // The size on disk as this object's writes left it, kept while no other handle may write
    // the file (opened without write sharing) or while the size is steady; -1 when the file
    // must be asked.
    mutable int64_t FKnownSize = -1;
    bool FShareKeepsSize = false; // opened without write sharing
    bool FSizeSteady = false;
    struct TCleanBlock {
        uint32_t Address = 0;
        std::vector<uint8_t> Bytes;
    };
    std::vector<TCleanBlock> FCleanBlocks;
    struct THeldStretch {
        uint32_t Address = 0;
        uint64_t LockChanges = 0;
        std::vector<uint8_t> Bytes;
    };
    std::vector<THeldStretch> FHeldStretches;
    size_t FHeldNext = 0; // the slot the next held stretch replaces once all are in use
    // The commit's dirty plain pages whose stored bytes were at hand, in address order: the
    // sectors [First, End) hold every change (First == End: written unchanged). The rest of
    // such a page is what the file holds already, so its write may leave it out. Noted by the
    // journal, used up by the page writes of the same commit.
    struct TChangedSpan {
        uint32_t Address = 0;
        uint32_t First = 0;
        uint32_t End = 0;
    };
    std::vector<TChangedSpan> FChangedSpans;
    std::function<uint64_t()> FLockChangeCount;
    size_t FCleanNext = 0; // the slot the next kept block replaces once all are in use
    // The fixed regions and the commit stamp after them (zanJournal.h), read in one.
    std::array<uint8_t, ZanStampAddress + ZanStampSize> FFixedImage{};
    bool FFixedKept = false;
};

} // namespace zan
