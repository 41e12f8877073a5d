// The database file's layout: the global header, the security header, the page map and the disk
// manager that owns one open database file.
//
// Fixed regions: the database definition header at 0 (254 bytes, written by the database
// component), the security header at 768 (40 bytes), the global header at 1024 (128 bytes).
// Pages 0-4 are reserved for them (map value 1); page 5 is the first map page (map value 2).
//
// Every stored value that decides where a write goes (map heads, chain links, map page links
// and counts) is checked before use: a corrupt file gives error 8962, never a write at a
// garbage address.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/storage/zanFile.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/StringList.h"

namespace zan {

class TBaseLockMgr;
class TDBUserMonitor;

// ---------------------------------------------------------------------------------------------
// Global header: 128 bytes at offset 1024, uint32 fields.

class TGlobalHdr {
public:
    static constexpr uint32_t DefaultSize = 128;
    static constexpr uint32_t DefaultAddress = 1024;
    static constexpr int32_t OfsFirstMapPageEmpty = 16;
    static constexpr int32_t OfsFirstMapPage = 20;
    static constexpr int32_t OfsMapPageCount = 24;
    static constexpr int32_t OfsTableHeadersFirstEmpty = 28;
    static constexpr int32_t OfsSystemHeadersFirstEmpty = 32;
    static constexpr int32_t OfsIndexesFirstEmpty = 36;
    static constexpr int32_t OfsGlobalDBGenerator = 40;

    // A zeroed image of size bytes at address; 8581 "Unable to initialize header - size not
    // set" for size 0.
    void Initialize(uint32_t size = DefaultSize, uint32_t address = DefaultAddress);

    // The uint32 at a byte offset of 1..124 (a value must lie inside the image); 8581 "DB
    // Header. Item offset is out of range" otherwise.
    uint32_t GlobalInterfaceGetHdrItem(int32_t offset) const;
    // Sets the uint32 at the offset; dirty only when the value changes.
    void GlobalInterfaceSetHdrItem(int32_t offset, uint32_t value);

    uint32_t GetFirstMapPageEmpty() const { return Get(OfsFirstMapPageEmpty); }
    void SetFirstMapPageEmpty(uint32_t v) { Set(OfsFirstMapPageEmpty, v); }
    uint32_t GetFirstMapPage() const { return Get(OfsFirstMapPage); }
    void SetFirstMapPage(uint32_t v) { Set(OfsFirstMapPage, v); }
    uint32_t GetMapPageCount() const { return Get(OfsMapPageCount); }
    void SetMapPageCount(uint32_t v) { Set(OfsMapPageCount, v); }
    uint32_t GetTableHeadersFirstEmpty() const { return Get(OfsTableHeadersFirstEmpty); }
    void SetTableHeadersFirstEmpty(uint32_t v) { Set(OfsTableHeadersFirstEmpty, v); }
    uint32_t GetSystemHeadersFirstEmpty() const { return Get(OfsSystemHeadersFirstEmpty); }
    void SetSystemHeadersFirstEmpty(uint32_t v) { Set(OfsSystemHeadersFirstEmpty, v); }
    uint32_t GetIndexesFirstEmpty() const { return Get(OfsIndexesFirstEmpty); }
    void SetIndexesFirstEmpty(uint32_t v) { Set(OfsIndexesFirstEmpty, v); }
    uint32_t GetGlobalDBGenerator() const { return Get(OfsGlobalDBGenerator); }
    void SetGlobalDBGenerator(uint32_t v) { Set(OfsGlobalDBGenerator, v); }

    uint8_t* Data() { return FData.data(); }
    const uint8_t* Data() const { return FData.data(); }
    uint32_t GetSize() const { return static_cast<uint32_t>(FData.size()); }
    uint32_t GetAddress() const { return FAddress; }
    bool GetDirty() const { return FDirty; }
    void SetDirty(bool value) { FDirty = value; }
    bool GetValid() const { return FValid; }
    void SetValid(bool value) { FValid = value; }

private:
    uint32_t Get(int32_t offset) const;
    void Set(int32_t offset, uint32_t value);

    std::vector<uint8_t> FData;
    uint32_t FAddress = DefaultAddress;
    bool FDirty = false;
    bool FValid = false;
};

// ---------------------------------------------------------------------------------------------
// Security header: 40 bytes at offset 768.

struct TSecurityHeader {
    static constexpr uint32_t Size = 40;
    static constexpr uint32_t Address = 768;

    uint32_t RecordSize = Size;
    TDateTime WriteTime = 0;
    uint16_t Word1 = 1;
    uint16_t Word2 = 1;
    uint8_t Digest[20] = {};
    uint32_t CRC = 0;

    void ToBytes(uint8_t out[Size]) const;
    void FromBytes(const uint8_t in[Size]);
    // CRC-32 of the 40 bytes with the CRC field zeroed.
    uint32_t CalcCRC() const;
};

// ---------------------------------------------------------------------------------------------
// Page map: one uint16 entry per page in chained map pages.

// Map entry values: 0 never allocated; 1..0x7FFF used (owner tag = table id x 16 + usage);
// bit 15 set free, low 15 bits the offset of the next free entry in the same map page (0 ends).
inline constexpr uint16_t ZanMapFree = 0x8000;
inline constexpr uint16_t ZanMapReserved = 1; // pages 0-4
inline constexpr uint16_t ZanMapMapPage = 2;  // a map page

// The map's owner tag of a table id and a usage.
inline constexpr uint16_t MapOwnerTag(uint32_t tableId, uint32_t usage) {
    return static_cast<uint16_t>(tableId * 16 + (usage & 15));
}

class TMapPageMgr {
public:
    static constexpr uint32_t HeaderSize = 20;

    // file gives the raw transfers and the end of the file; header the chain heads.
    TMapPageMgr(TZanFile* file, TGlobalHdr* header, uint32_t pageSize);

    // Sets the entries of a run inside one map page (see the class comment of the unit).
    void SetMapEntryFlags(uint16_t value, uint32_t address, uint32_t pageCount);
    // The same for a run that may cross map pages.
    void AdjustMapPageFlags(uint16_t value, uint32_t address, uint32_t pageCount);
    // A free run of pageCount consecutive pages inside one map page, unlinked from its chain;
    // 0 when there is none.
    uint32_t GetNextEmptyPageAddress(uint32_t pageCount);
    // Addresses of the owner's pages (of that usage with withUsage) in address order.
    void ListPagesUsedByOwner(uint32_t tableId, uint32_t usage, std::vector<uint32_t>& list,
                              bool withUsage);
    // Frees those pages and lists their addresses.
    void DeleteOwnedPages(uint32_t tableId, uint32_t usage, std::vector<uint32_t>& list,
                          bool withUsage);
    // Appends a zeroed map page numbered MapPageCount and links it; answers its address. The
    // caller raises MapPageCount.
    uint32_t AddNewMapPage();
    // Address of map page n (loaded into the buffer).
    uint32_t SearchMapsForMapPage(uint32_t n);
    // Searches every map page for a free run; 0 when none.
    uint32_t SearchMapsForEmptyPages(uint32_t pageCount);
    // The first map page whose chain is not empty, or 0.
    uint32_t SearchMapsForFirstEmptyMapPage();
    // Sorts the buffer's free chain ascending.
    void OrderEmptySegments();
    // Number of the map page in the buffer.
    uint32_t CurrentMapPageID() const;
    // The entry of the page at address (diagnostics and tests).
    uint16_t GetMapEntry(uint32_t address);
    // Forgets the buffered map page and every kept one; the next use reads them again. The
    // addresses of map pages are kept: once in the file a map page never moves.
    void ForgetPages() {
        FBufferAddress = 0;
        FKept.clear();
    }
    // Forgets the map pages and their addresses too (a rollback may drop map pages appended
    // by this connection).
    void InvalidateBuffer() {
        ForgetPages();
        FChain.clear();
    }
    // While set, map pages read or written (and the chain of their addresses) are kept and
    // served again without a file read. The owner sets it only while no other connection can
    // change the map: a header lock held, or the file open without write sharing. Clearing it
    // forgets the pages kept.
    void SetKeepPages(bool keep) {
        FKeepPages = keep;
        if (!keep) ForgetPages();
    }
    bool GetKeepPages() const { return FKeepPages; }

    uint32_t GetEntriesPerPage() const { return FEntriesPerPage; }
    uint32_t GetPageShift() const { return FPageShift; }

    // Diagnostics: one line per map page and per non-zero entry.
    void DebugDumpMapContents(TStrings& lines);
    // Checks every map page: numbering, links, chain order and free entries; answers the
    // problems found (empty when consistent).
    std::vector<std::string> DebugCheckStatus();

private:
    uint16_t Entry(uint32_t index) const;
    void SetEntry(uint32_t index, uint16_t value);
    uint16_t Head() const;
    void SetHead(uint16_t offset);
    // Reads the map page at address, checking its place and number (expected or any below
    // MapPageCount when expected is -1).
    void LoadMapPage(uint32_t address, int64_t expected);
    void WriteMapPage();
    // The free chain of the buffered page as entry indexes, checked.
    std::vector<uint32_t> ChainIndexes() const;
    void SetChain(const std::vector<uint32_t>& indexes);
    // A run of n free consecutive entries in the buffered page, or -1.
    int64_t FindEmptyPagesInMap(uint32_t pageCount) const;
    uint32_t NextMapPage() const;
    void CheckMapPageAddress(uint32_t address, const char* context) const;
    void UpdateFirstMapPageEmpty();
    void CheckHeader() const;

    uint32_t FEntriesPerPage;
    uint32_t FPageShift;
    uint32_t FPageSize;
    std::vector<uint8_t> FBuffer;
    uint32_t FBufferAddress = 0; // 0 = nothing loaded
    bool FKeepPages = false;
    std::unordered_map<uint32_t, std::vector<uint8_t>> FKept; // map page images by address
    std::vector<uint32_t> FChain; // addresses of map pages 0, 1, ... as far as known
    TZanFile* FFile;
    TGlobalHdr* FHeader;
};

// Size of the runs a fixed-size block area requests: see the unit's implementation.
uint32_t GetBestPageRequestSize(uint32_t blockSize, uint32_t pageSize);

// The platform's file copy; an existing target is refused unless overwrite. Answers success.
bool DoCopyFile(const std::string& source, const std::string& target, bool overwrite);

// The users-file name of a database file: shop.zan -> shop.lck, shop.db -> shop_db.lck.
std::string UsersFileNameFor(const std::string& databaseFileName);

// ---------------------------------------------------------------------------------------------
// Disk manager

class TDiskMgr : public TObject {
public:
    // The open marker on the database file and the default lock retries.
    static constexpr uint64_t OpenMarkerOffset = 0x0FF10000;
    static constexpr uint32_t OpenMarkerLength = 1000;

    TDiskMgr();
    ~TDiskMgr() override;
    TDiskMgr(const TDiskMgr&) = delete;
    TDiskMgr& operator=(const TDiskMgr&) = delete;
    ZAN_CLASS(TDiskMgr)

    void SetFileName(const std::string& name) { FFileName = name; }
    const std::string& GetFileName() const { return FFileName; }
    void SetPageSize(uint32_t size) { FPageSize = size; }
    uint32_t GetPageSize() const { return FPageSize; }
    void SetOpenFlags(int32_t flags) { FOpenFlags = flags; }
    int32_t GetOpenFlags() const { return FOpenFlags; }
    void SetReadOnly(bool value) { FReadOnly = value; }
    bool GetReadOnly() const { return FReadOnly; }
    bool GetExclusive() const { return FExclusive; }
    bool GetMultiUser() const { return FMultiUser; }
    void SetLockRetryCount(int32_t count);
    void SetLockRetryInterval(int32_t milliseconds);
    // An empty key stands for the default key.
    void SetCryptKey(const std::string& key);
    const std::string& GetCryptKey() const { return FCryptKey; }

    void CreateNewFile(bool overwrite);
    void Open();
    void Close();
    bool IsOpen() const { return FFile->CheckOpen(); }

    void ReadPages(uint32_t address, uint32_t pageCount, void* buffer, uint32_t owner,
                   uint8_t accessFlags);
    void WritePages(uint32_t address, uint32_t pageCount, const void* buffer, uint32_t owner,
                    uint8_t accessFlags);
    void ReadCustomSize(uint32_t address, uint32_t count, void* buffer, uint32_t owner,
                        uint8_t accessFlags);
    void WriteCustomSize(uint32_t address, uint32_t count, const void* buffer, uint32_t owner,
                         uint8_t accessFlags);
    // A hint that the bytes at address will be read or written soon (TZanFile::PrefetchZanFile).
    void PrefetchCustomSize(uint32_t address, uint8_t accessFlags) const {
        FFile->PrefetchZanFile(address, accessFlags);
    }
    uint8_t* ReadCustomSizeByRef(uint32_t address, uint32_t count, uint32_t owner,
                                 uint8_t accessFlags);
    void WriteCustomSizeByRef(uint32_t address, uint32_t count, const void* buffer, uint32_t owner,
                              uint8_t accessFlags);

    // owner is the table id (cipher and cache owner); the map records tableId x 16 + usage.
    uint32_t WriteNewPages(uint32_t owner, uint32_t usage, uint8_t accessFlags, uint32_t pageCount,
                           const void* buffer);
    uint32_t AppendNewPages(const void* buffer, uint32_t pageCount, uint32_t owner,
                            uint8_t accessFlags);
    void ReleasePages(uint32_t address, uint32_t pageCount);
    void DeleteOwnedPages(uint32_t owner, uint32_t usage, bool allUsages);
    // The map entries of pageCount pages from the page holding address: a look that changes
    // nothing. Without a header lock of this connection it takes a short header read lock of
    // its own, which never becomes part of a transaction, and reads only the map pages needed.
    std::vector<uint16_t> ReadMapEntries(uint32_t address, uint32_t pageCount);
    void ListAllocatedFixedBlocks(uint32_t blockSize, uint32_t owner, uint32_t usage,
                                  std::vector<uint32_t>& list);

    void ReadHeader();
    void WriteHeader();
    void ReadSecurityHeader(TSecurityHeader& header);
    void WriteSecurityHeader(TSecurityHeader& header);

    void SetHeaderReadLock();
    void SetHeaderWriteLock();
    void ReleaseHeaderLock();
    bool GetHeaderReadLocked() const { return FHeaderReadLocked; }
    bool GetHeaderWriteLocked() const { return FHeaderWriteLocked; }
    int32_t SetTableLock(uint16_t tableId, int32_t lockType);
    // SetTableLock and then SetHeaderWriteLock (SetHeaderReadLock unless headerWrite), with one
    // look at the journal for both locks when both are newly had: nothing is read between them.
    // On failure neither newly had lock is kept, except a table lock whose header lock failed
    // only at reading the header (the caller gives it back, as after the two calls). Answers
    // the table lock's type.
    int32_t SetTableLockWithHeader(uint16_t tableId, int32_t lockType, bool headerWrite);
    void ReleaseTableLock(uint16_t tableId);
    int32_t QueryTableLockStatus(uint16_t tableId) const;
    int32_t SetRecordLock(uint32_t recordAddress, uint16_t tableId);
    void ReleaseRecordLock(uint32_t recordAddress);
    int32_t QueryRecordLockStatus(uint32_t recordAddress) const;
    void ReleaseAllLocks();

    void DiskStartTransaction(bool selectOnly);
    // Commits through the rollback journal: upgrades the read locks, takes the commit lock,
    // restores a journal a dead committer left, journals, writes in place, empties the journal
    // (the commit point), releases the commit lock, then every other lock.
    void DiskCommit();
    void DiskRollback();
    // A transaction of the database is active (a write scope's own buffering is not one).
    bool IsTransactionActive() const {
        return FFile->GetTransactionActive() && !FScopeTransaction;
    }

    // The write scopes (TDiskWriteScope calls these). The outermost scope outside a transaction
    // on a journaled file starts buffering; its end commits through the journal, or rolls back
    // when it ends by an exception (failed; this never raises then).
    // Both run at every block write: the nested case is inline, the outermost out of line.
    void BeginWriteScope() {
        if (FScopeDepth++ > 0) return;
        BeginOutermostWriteScope();
    }
    void EndWriteScope(bool failed) {
        if (FScopeDepth > 1) {
            --FScopeDepth;
            return;
        }
        EndOutermostWriteScope(failed);
    }
    int32_t GetWriteScopeDepth() const { return FScopeDepth; }
    // The outermost scope buffers the writes.
    bool GetWriteScopeActive() const { return FScopeTransaction; }

    // The users-file byte held by the one connection that commits (or restores a journal).
    static constexpr uint64_t CommitLockOffset = 0x1FFF000;
    // Syncs of the journal and the file at every commit; off by default, on for a process
    // whose environment has ZAN_SYNC_COMMITS=1. Off, a commit survives a killed process but
    // not a power cut.
    void SetSyncCommits(bool value);
    bool GetSyncCommits() const { return FSyncCommits; }

    // Forces what is committed to the device (a transaction's pending pages stay pending).
    void ForceToDisk();
    uint64_t GetFileSize() const;
    uint32_t DiskCacheSize() const;
    void CopyCurrentFile(const std::string& fileName);
    void GetCurrentUsers(TStrings& list);

    void DebugListOwnedPages(uint32_t owner, uint32_t usage, bool withUsage, TStrings& lines);
    void DebugDumpHeaderAndMap(TStrings& lines);
    std::vector<std::string> DebugCheckMap();

    TGlobalHdr* GetGlobalHdr() const { return FGlobalHdr.get(); }
    TMapPageMgr* GetMapPageMgr() const { return FMapPageMgr.get(); }
    TZanFile* GetZanFile() const { return FFile.get(); }
    TBaseLockMgr* GetTableLockMgr() const { return FTableLockMgr.get(); }
    TBaseLockMgr* GetTransactionLockMgr() const { return FTransactionLockMgr.get(); }
    TDBUserMonitor* GetUserMonitor() const { return FUserMonitor.get(); }

private:
    void CheckOpen(const char* context) const {
        if (!FFile->CheckOpen() || !FGlobalHdr || !FMapPageMgr) NotOpen(context);
    }
    [[noreturn]] static void NotOpen(const char* context);
    // Whether a transaction holds the table's lock and the header's already, so that taking
    // them again would change nothing (SetTableLockWithHeader).
    bool LocksKeptByTransaction(uint16_t tableId, int32_t lockType) const;
    void InstallKeys();
    // Takes the header write lock unless a header lock is held; answers whether it did.
    bool EnterHeaderWrite();
    // A header lock newly taken: the header, the map and the file's end are brought up to
    // date, unless kept (the lock was held on meanwhile by a transaction or write scope).
    void HeaderLockTaken(bool kept);
    // HeaderLockTaken for a lock just taken; when it fails the lock is given back and the
    // header marked not valid before the error goes on.
    void HeaderLockTakenOrRelease(bool kept);
    // The header's lock (table lock 0) is held by this connection, whatever the flags say.
    bool HeaderLockHeld() const;
    // The header's lock really went: kept map pages and the file's size are no longer sure.
    void HeaderLockGone();
    void LeaveHeaderWrite(bool taken);
    void ZeroPages(const std::vector<uint32_t>& addresses);

    std::unique_ptr<TZanFile> FFile;
    uint32_t FPageSize = 4096;
    int32_t FOpenFlags = 0x42; // read-write, deny none
    std::string FFileName;
    std::unique_ptr<TGlobalHdr> FGlobalHdr;
    std::unique_ptr<TMapPageMgr> FMapPageMgr;
    TStrings* FDebugStrings = nullptr;
    bool FExclusive = false;
    bool FReadOnly = false;
    bool FHeaderReadLocked = false;
    bool FHeaderWriteLocked = false;
    int32_t FLockRetryInterval = 200;
    int32_t FLockRetryCount = 10;
    bool FMultiUser = false;
    std::unique_ptr<TDBUserMonitor> FUserMonitor;
    std::unique_ptr<TBaseLockMgr> FTableLockMgr;
    std::unique_ptr<TBaseLockMgr> FRecordLockMgr;
    std::unique_ptr<TBaseLockMgr> FTransactionLockMgr;
    bool FSelectOnly = false;
    std::string FCryptKey;
    bool FOpenMarkerHeld = false;
    bool FSyncCommits = false;
    bool FCommitLocked = false;
    bool FInJournalCheck = false; // restoring a journal: its own locks check nothing
    int32_t FScopeDepth = 0;
    bool FScopeTransaction = false;       // the outermost scope buffers the writes
    void BeginOutermostWriteScope();
    void EndOutermostWriteScope(bool failed);
    std::vector<uint16_t> FDeferredReleases; // write-locked table ids released inside it
    void CommitWriteScope();
    void RollbackWriteScope() noexcept;
    // Ends the scope's buffering and releases the table locks whose release waited for it.
    void FinishWriteScope() noexcept;

    // The commit lock: one try / retries as for table locks, then 10249.
    bool TryCommitLock();
    void TakeCommitLock();
    void ReleaseCommitLock() noexcept;
    // The file the locks of a shared open go through (unlocks of it may be gathered), or null.
    TWinFile* SharedLockFile() const;
    // Ends a batch of unlocks; a failed unlock raises 8450.
    void FinishUnlockBatch(TUnlockBatch& batch, const char* context);
    // Looks at the journal path after the table locks justTaken were newly taken (none: at
    // open) and restores a hot journal when the commit lock is free. Answers true when the
    // caller must give the locks back, pause and try again: the journal's writer held one of
    // them, so it is dead, and another connection holds the commit lock (restoring it).
    bool CheckJournal(std::span<const int32_t> justTaken);
    // One attempt at a table lock without looking at the journal: answers whether it was
    // newly had.
    bool TakeTableLockUnchecked(uint16_t tableId, int32_t lockType);
    // Takes the table locks in order, then looks at the journal once for all newly had;
    // gives those back, pauses and tries again while a dead committer's journal naming one of
    // them is being restored.
    void TakeTableLocksChecked(const uint16_t* ids, const int32_t* types, size_t count);
    // With the commit lock held: restores or removes a journal left at the path.
    void RecoverLeftoverJournal(const char* context);
    // Raises the engine error of a damaged journal or one of another database.
    void RaiseOnBadJournal(const TJournalCheck& check) const;
    // With the commit lock held: removes a torn journal or restores a hot one (write-locking
    // the ids it names that this connection does not hold), then drops cached copies of what
    // was restored. Damaged: 8962; another database's: 8449.
    void RecoverWithCommitLock(const TJournalCheck& check);
    // The commit proper, commit lock held: a leftover journal restored, then the file's commit.
    void CommitWithCommitLock(const char* context);
    // The table lock ids this connection holds for writing.
    std::bitset<ZanJournalLockIds> WriteLockedIds() const;
};

// A write scope over a disk manager: nestable, held on the stack around a change of several
// writes. Outside a transaction the outermost scope buffers the writes as a transaction does and
// commits them through the journal when it ends, so a killed process leaves all of them or none;
// an exception leaving the scope rolls them back. Header and table write locks released inside
// the scope are released when it ends, after its commit, so other connections see each change
// whole. Inside a transaction, on a file without a journal, and nested, a scope adds nothing.
// The outermost scope's destructor commits and raises when the commit fails (the writes are then
// rolled back).
class TDiskWriteScope {
public:
    explicit TDiskWriteScope(TDiskMgr& disk) : TDiskWriteScope(&disk) {}
    // A null disk manager makes a scope that does nothing.
    explicit TDiskWriteScope(TDiskMgr* disk) : FDisk(disk), FExceptions(-1) {
        if (!FDisk) return;
        FDisk->BeginWriteScope();
        // Only the scope that began buffering commits or rolls back at its end, so only it asks
        // (once here, once at its end) whether it ends by an exception; the others keep -1.
        if (FDisk->GetWriteScopeDepth() == 1 && FDisk->GetWriteScopeActive())
            FExceptions = std::uncaught_exceptions();
    }
    ~TDiskWriteScope() noexcept(false) {
        if (FDisk)
            FDisk->EndWriteScope(FExceptions >= 0 && std::uncaught_exceptions() > FExceptions);
    }
    TDiskWriteScope(const TDiskWriteScope&) = delete;
    TDiskWriteScope& operator=(const TDiskWriteScope&) = delete;

private:
    TDiskMgr* FDisk;
    int FExceptions; // exceptions in flight at the start: more at the end means unwinding
};

} // namespace zan
