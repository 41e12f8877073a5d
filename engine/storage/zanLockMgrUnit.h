// Lock managers: logical lock ids (table ids, record addresses) mapped to byte regions of one
// open file, with shared read locks built from exclusive byte locks. A reader holds one byte of
// the id's region drawn at random; a writer holds the whole region. Every manager keeps the list
// of what it holds, retries a refused lock after a pause and fails with 10249 when the retries
// are spent.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/win/WinFiles.h"

namespace zan {

class TStrings;

// Lock types as stored in the items and answered by the queries.
inline constexpr int32_t ZanLockNone = 0;
inline constexpr int32_t ZanLockRead = 1;
inline constexpr int32_t ZanLockWrite = 4;

// One held lock.
struct TLockItem {
    uint32_t LckSize = 0; // bytes
    int32_t LckType = 0;  // 1 read, 4 write
    uint64_t LckAddr = 0; // file offset
    uint32_t RqID = 0;    // logical id
};

using TLockCollection = std::vector<TLockItem>;

class TBaseLockMgr : public TObject {
public:
    // The handle must be open ("File handle is not set") and the region size above 0 ("Lock
    // region size is 0"). The handle is not owned.
    TBaseLockMgr(TWinFile* handle, uint64_t base, uint32_t regionSize);
    ~TBaseLockMgr() override;
    TBaseLockMgr(const TBaseLockMgr&) = delete;
    TBaseLockMgr& operator=(const TBaseLockMgr&) = delete;
    ZAN_CLASS(TBaseLockMgr)

    // A shared lock on the id: true at once when a read item is held; 10249 when the retries
    // are spent. Size 0 means 1.
    bool SetReadLock(uint32_t id, uint32_t size);
    // An exclusive lock on the id; answers 4. A held read lock is upgraded. Size 0 means the
    // whole region.
    int32_t SetWriteLock(uint32_t id, uint32_t size);
    // Adds the rest of the id's region to its read byte; 10249 on failure.
    void UpgradeReadLockToWriteLock(uint32_t id, uint32_t size);
    // Every id held ends write-locked (commit). Neighbouring ids held for reading alone go up
    // together in one try where the manager can; what that leaves goes up one id at a time.
    void UpgradeReadLocks();
    // SetWriteLock with size 0 on each id; ids held by none of this manager's items whose
    // regions lie next to each other are first tried together, in one system call.
    void SetWriteLocks(const uint32_t* ids, size_t count);
    // Unlocks and forgets every item of the id (not counted: one release drops them all).
    // The release that leaves nothing held after a timeout (10249) pauses before it returns,
    // so that the connection the timed-out one waited on gets the locks first.
    void ReleaseLock(uint32_t id);
    // The same for several ids at once: items that lie next to each other go in one unlock.
    void ReleaseLocks(const std::vector<uint32_t>& ids);
    void ReleaseAllLocks();
    // The pause a release after a timeout still owes; taking it clears it, for a caller that
    // releases several managers and pauses once after all of them (PauseAfterTimeout).
    bool GetPauseOwed() const { return FPauseOwed; }
    bool TakePauseOwed() { return std::exchange(FPauseOwed, false); }
    // Longer than any one pause between attempts, plus a random part.
    void PauseAfterTimeout();
    // The type of the first item of the id; 0 when none.
    int32_t QueryLockType(uint32_t id) const;
    bool LockExists(uint32_t id, int32_t lockType) const;
    int32_t GetLockCount() const { return static_cast<int32_t>(FLocks.size()); }
    uint64_t GetCalculatedLockAddr(uint32_t id) const;
    const TLockCollection& GetLocks() const { return FLocks; }
    // Counts every lock newly had and every release: equal counts mean the same locks were
    // held all along in between (an upgrade of a held read lock is not counted).
    uint64_t GetChangeCount() const { return FChangeCount; }

    void SetLockRetryCount(int32_t count) { FLockRetryCount = count; }
    void SetLockRetryInterval(int32_t milliseconds) { FLockRetryInterval = milliseconds; }
    void SetBeepOnLockRetry(bool beep) { FBeepOnLockRetry = beep; }
    void SetReadLockErrMsg(const std::string& text) { FReadLockErrMsg = text; }
    void SetWriteLockErrMsg(const std::string& text) { FWriteLockErrMsg = text; }
    int32_t GetLockRetryCount() const { return FLockRetryCount; }
    int32_t GetLockRetryInterval() const { return FLockRetryInterval; }
    uint32_t GetRegionSize() const { return FRegionSize; }
    uint64_t GetBase() const { return FBase; }

    void DebugDumpStatus(std::vector<std::string>& strings) const;

protected:
    virtual void InternalReleaseFileLock(uint64_t address, uint32_t size);
    // Releases the items' ranges; by default one at a time.
    virtual void InternalReleaseFileLocks(const TLockCollection& items);
    virtual bool InternalLockFile(uint64_t address, uint32_t size, int32_t lockType);
    virtual bool InternalUpgradeReadLock(uint32_t id, uint32_t size);
    // One try at the whole regions of count consecutive ids from first, none held, each
    // recorded as a range of its own; by default not offered (false).
    virtual bool InternalLockRegions(uint32_t first, uint32_t count);
    // One try at upgrading count consecutive ids from first, each holding its read item alone,
    // items added as InternalUpgradeReadLock adds them; by default not offered (false).
    virtual bool InternalUpgradeReadLocks(uint32_t first, uint32_t count);

    bool HandleValid() const;
    // Up to the retry count of attempts on [address, address + size), pausing between them (not
    // after the last refusal). An empty range counts as locked.
    bool LockWithRetries(uint64_t address, uint32_t size, int32_t lockType);
    // The pause between attempts: the retry interval give or take a quarter, drawn each time so
    // that two connections waiting on each other do not poll in step.
    void RetryPause() const;
    // Raises 10249 once the retries are spent. When items are still held, the caller's rollback
    // gives them back later, and the release that leaves this manager empty then pauses (see
    // ReleaseLocks): the connection that waited on them gets its turn before this one's next
    // statement takes them again.
    [[noreturn]] void RetriesSpent(const char* context, const std::string& message);
    const TLockItem* FindItem(uint32_t id, int32_t lockType) const;

    TWinFile* FHandle;
    TLockCollection FLocks;
    TLockCollection FReleasing; // ReleaseAllLocks' list, kept for its storage
    uint64_t FChangeCount = 0;
    uint32_t FRegionSize;
    bool FBeepOnLockRetry = false;
    int32_t FLockRetryCount = 10;
    int32_t FLockRetryInterval = 200;
    // A timeout raised while items were held: the release that empties the manager pauses.
    bool FPauseOwed = false;
    uint64_t FBase;
    std::string FWriteLockErrMsg;
    std::string FReadLockErrMsg;
};

// The manager on the platform's byte-range locks of a TWinFile.
class TWinLockMgr : public TBaseLockMgr {
public:
    using TBaseLockMgr::TBaseLockMgr;
    ~TWinLockMgr() override;
    ZAN_CLASS(TWinLockMgr)

protected:
    void InternalReleaseFileLock(uint64_t address, uint32_t size) override;
    void InternalReleaseFileLocks(const TLockCollection& items) override;
    bool InternalLockFile(uint64_t address, uint32_t size, int32_t lockType) override;
    bool InternalUpgradeReadLock(uint32_t id, uint32_t size) override;
    bool InternalLockRegions(uint32_t first, uint32_t count) override;
    bool InternalUpgradeReadLocks(uint32_t first, uint32_t count) override;
};

// The manager of a database opened exclusively: no other connection can reach the file, so
// locks are kept in the list alone, without a system call.
class TListLockMgr : public TBaseLockMgr {
public:
    using TBaseLockMgr::TBaseLockMgr;
    ZAN_CLASS(TListLockMgr)

protected:
    bool InternalLockFile(uint64_t, uint32_t, int32_t) override { return true; }
    bool InternalUpgradeReadLock(uint32_t, uint32_t) override { return true; }
};

// A new manager on the lock handle with that base and region size; the database handle and the
// transaction flag are not used.
std::unique_ptr<TBaseLockMgr> GetLockManager(TWinFile* databaseHandle, TWinFile* lockHandle,
                                             uint64_t base, uint32_t regionSize, bool transaction);

// The connected-users file beside a shared database ("<db>.lck"). Block 0 holds 4096 zero bytes;
// entry i (i >= 1) at 4096 * i holds a connecting identity (comma text of computer and user
// name), NUL-terminated and zero-padded; an all-zero block is free. Each live connection holds
// one byte of its entry's connection range 0x400000 + entry offset + k (k = 0..4095). Byte 0 is
// the global lock over the entry blocks; byte 8192 of the database file is the parent lock,
// held while the users file is created or deleted. The same handle carries the lock managers.
//
// The file is unlinked while the closer still holds the global and the parent lock, and an
// opener that took the global lock on a file no longer at the path starts over, so two
// connections never register in different files.
class TDBUserMonitor : public TObject {
public:
    static constexpr uint32_t EntrySize = 4096;
    static constexpr uint64_t MaxLockFileSize = 0x400000;
    static constexpr uint64_t ConnectionLockBase = 0x400000;
    static constexpr uint64_t GlobalLockOffset = 0;
    static constexpr uint64_t ParentLockOffset = 8192;

    // The database file handle carries the parent lock; it is not owned and must stay open
    // while the monitor is.
    TDBUserMonitor(TWinFile* databaseHandle, const std::string& lockFileName);
    ~TDBUserMonitor() override;
    TDBUserMonitor(const TDBUserMonitor&) = delete;
    TDBUserMonitor& operator=(const TDBUserMonitor&) = delete;
    ZAN_CLASS(TDBUserMonitor)

    // Registers the identity (creating the file when missing) and holds a connection byte.
    void Open(const std::string& userName, const std::string& computerName);
    // Frees the connection byte, removes this identity's entry when it was its last connection,
    // sweeps the entries of ended connections and deletes the file after the last one.
    void Close();
    bool IsOpen() const { return FLockFile.IsOpen(); }

    // Entries with at least one live connection.
    int32_t GetCurrentUserCount();
    // Live connections over all entries.
    int32_t GetCurrentConnectionCount();
    // One line per entry block after block 0: its identity, empty for a free block.
    void GetCurrentUsers(TStrings& strings);
    // Live connections of the entry whose connection range starts at lockOffset; this
    // connection's own byte counts.
    int32_t CountConnectionsForUser(uint64_t lockOffset);
    void DebugDumpStatus(std::vector<std::string>& strings);
    static uint64_t GetLockOffset(uint64_t entryOffset) { return entryOffset + ConnectionLockBase; }

    const std::string& GetIdentity() const { return FIdentity; }
    const std::string& GetLockFileName() const { return FLockFileName; }
    // The users file's handle, on which the lock managers are made.
    TWinFile* GetLockFileHandle() { return &FLockFile; }
    // The absolute offset of the connection byte held; 0 when none.
    uint64_t GetConnectionLockOffset() const { return FLockOffset; }

private:
    // Takes the global lock / the parent lock: one try, then up to 20 more 100 ms apart;
    // 10249 when still refused.
    void InternalSetLock();
    void InternalReleaseLock() noexcept;
    void InternalSetParentLock();
    void InternalReleaseParentLock() noexcept;
    // Creates the file with its zero block under the parent lock unless it exists.
    void CreateLockFile();
    // One attempt to register: false when the file at the path went away or was replaced
    // before the global lock was had.
    bool TryRegister();
    // The block at offset into the entry buffer (zeros beyond the end of file); its text.
    const char* ReadEntry(uint64_t offset);
    uint64_t FindEntry();
    void WriteEntry(uint64_t offset, const std::string& text);
    bool EntryIsZero() const;
    uint64_t EntryCount() const;

    std::string FIdentity;
    std::string FLockFileName;
    TWinFile FLockFile;
    uint64_t FLockOffset = 0;
    std::array<char, EntrySize + 1> FEntryBuf{};
    TWinFile* FDatabaseHandle;
    std::string FLockErrMsg;
    std::string FIdentityKey; // the identity in upper case, for comparisons
};

} // namespace zan
