#include "engine/storage/zanLockMgrUnit.h"

#include "host/rtl/ScopeExit.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <utility>

#include "engine/storage/zanCommon.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanJournal.h"
#include "host/rtl/Format.h"
#include "host/rtl/Random.h"
#include "host/rtl/StringList.h"
#include "host/win/WinFiles.h"
#include "host/win/WinSys.h"

namespace zan {

namespace {

// Read locks draw their byte at random: the generator is seeded when the unit loads.
const bool GRandomSeeded = (Randomize(), true);

} // namespace

TBaseLockMgr::TBaseLockMgr(TWinFile* handle, uint64_t base, uint32_t regionSize)
    : FHandle(handle), FRegionSize(regionSize), FBase(base) {
    ZanAssert(handle != nullptr && handle->GetHandle() >= 0, "File handle is not set");
    ZanAssert(regionSize > 0, "Lock region size is 0");
}

TBaseLockMgr::~TBaseLockMgr() {
    FPauseOwed = false; // a connection going away has no next statement to hold back
    try {
        ReleaseAllLocks();
    } catch (...) {
        // The handle's own close frees whatever could not be unlocked here.
    }
}

bool TBaseLockMgr::HandleValid() const {
    return FHandle != nullptr && FHandle->GetHandle() >= 0;
}

uint64_t TBaseLockMgr::GetCalculatedLockAddr(uint32_t id) const {
    // 64-bit arithmetic: record ids are 32-bit addresses and must not wrap to low offsets.
    return FBase + uint64_t(id) * FRegionSize;
}

const TLockItem* TBaseLockMgr::FindItem(uint32_t id, int32_t lockType) const {
    for (const auto& item : FLocks)
        if (item.RqID == id && item.LckType == lockType) return &item;
    return nullptr;
}

void TBaseLockMgr::RetryPause() const {
    // Beeping is not offered on this platform; the pause is what matters.
    if (FLockRetryInterval <= 0) return;
    const int32_t quarter = FLockRetryInterval / 4;
    Sleep(static_cast<uint32_t>(FLockRetryInterval - quarter + Random(2 * quarter + 1)));
}

void TBaseLockMgr::RetriesSpent(const char* context, const std::string& message) {
    FPauseOwed = !FLocks.empty();
    ZanDatabaseError(10249, context, message, this);
}

void TBaseLockMgr::PauseAfterTimeout() {
    FPauseOwed = false;
    if (FLockRetryInterval <= 0) return;
    // Releases gathered for one unlock are made before the pause, so the connection waited on
    // finds them free meanwhile.
    if (HandleValid()) {
        try {
            FHandle->FlushUnlockBatch();
        } catch (const EOSError&) {
            // The batch's end reports it.
        }
    }
    const int32_t longest = FLockRetryInterval + FLockRetryInterval / 4;
    Sleep(static_cast<uint32_t>(longest + Random(FLockRetryInterval + 1)));
}

bool TBaseLockMgr::LockWithRetries(uint64_t address, uint32_t size, int32_t lockType) {
    if (size == 0) return true;
    for (int32_t attempt = 0; attempt < FLockRetryCount; ++attempt) {
        if (InternalLockFile(address, size, lockType)) return true;
        if (attempt + 1 < FLockRetryCount) RetryPause();
    }
    return false;
}

bool TBaseLockMgr::SetReadLock(uint32_t id, uint32_t size) {
    if (FindItem(id, ZanLockRead)) return true;
    if (!HandleValid()) ZanDatabaseError(8449, "TZanFile.ReadLockZanFile", {}, this);
    if (size == 0) size = 1;
    ZanAssert(size <= FRegionSize, "Lock Request size is out of range");
    const uint64_t addr = GetCalculatedLockAddr(id);
    for (int32_t attempt = 0; attempt < FLockRetryCount; ++attempt) {
        // The byte is drawn so that the whole request stays inside the id's region.
        uint64_t byte = addr;
        if (FRegionSize > 1) byte += uint64_t(Random(static_cast<int32_t>(FRegionSize - size + 1)));
        if (InternalLockFile(byte, size, ZanLockRead)) {
            ++FChangeCount;
            FLocks.push_back(TLockItem{size, ZanLockRead, byte, id});
            return true;
        }
        if (attempt + 1 < FLockRetryCount) RetryPause();
    }
    RetriesSpent("TBaseLockMgr.SetReadLock", FReadLockErrMsg);
}

int32_t TBaseLockMgr::SetWriteLock(uint32_t id, uint32_t size) {
    if (!HandleValid())
        ZanDatabaseError(8450, "TZanFile.SetWriteLock", "File handle is invalid", this);
    ZanAssert(size <= FRegionSize, "Lock size is greater than lock region");
    if (FindItem(id, ZanLockWrite)) return ZanLockWrite;
    if (FindItem(id, ZanLockRead)) {
        UpgradeReadLockToWriteLock(id, size);
        return ZanLockWrite;
    }
    if (size == 0) size = FRegionSize;
    const uint64_t addr = GetCalculatedLockAddr(id);
    if (!LockWithRetries(addr, size, ZanLockWrite))
        RetriesSpent("TBaseLockMgr.SetWriteLock", FWriteLockErrMsg);
    ++FChangeCount;
    FLocks.push_back(TLockItem{size, ZanLockWrite, addr, id});
    return ZanLockWrite;
}

void TBaseLockMgr::UpgradeReadLockToWriteLock(uint32_t id, uint32_t size) {
    if (!InternalUpgradeReadLock(id, size))
        RetriesSpent("TBaseLockMgr.UpgradeReadLockToWriteLock", FWriteLockErrMsg);
}

namespace {

// Calls each(first, count) for every run of consecutive ids in ids[0, n) (sorted here) that has
// two or more.
template <typename F> void ForRunsOfNeighbours(uint32_t* ids, size_t n, F each) {
    std::sort(ids, ids + n);
    for (size_t i = 0; i < n;) {
        size_t j = i + 1;
        while (j < n && ids[j] == ids[j - 1] + 1)
            ++j;
        if (j - i >= 2) each(ids[i], static_cast<uint32_t>(j - i));
        i = j;
    }
}

// At most this many ids are gathered for one call: a table's lock with the header's is two.
constexpr size_t CMaxNeighbours = 8;

} // namespace

void TBaseLockMgr::SetWriteLocks(const uint32_t* ids, size_t count) {
    std::array<uint32_t, CMaxNeighbours> free{};
    size_t n = 0;
    for (size_t i = 0; i < count && n < free.size(); ++i)
        if (QueryLockType(ids[i]) == ZanLockNone &&
            std::find(free.begin(), free.begin() + n, ids[i]) == free.begin() + n)
            free[n++] = ids[i];
    if (n >= 2 && HandleValid() && FRegionSize > 0)
        ForRunsOfNeighbours(free.data(), n, [&](uint32_t first, uint32_t run) {
            if (!InternalLockRegions(first, run)) return;
            for (uint32_t id = first; id - first < run; ++id) {
                ++FChangeCount;
                FLocks.push_back(
                    TLockItem{FRegionSize, ZanLockWrite, GetCalculatedLockAddr(id), id});
            }
        });
    // The rest (and any refused together) one at a time, with retries; held ones answer at once.
    for (size_t i = 0; i < count; ++i)
        SetWriteLock(ids[i], 0);
}

void TBaseLockMgr::UpgradeReadLocks() {
    std::array<uint32_t, CMaxNeighbours> reads{};
    size_t n = 0;
    for (const auto& item : FLocks)
        if (item.LckType == ZanLockRead && n < reads.size() && !FindItem(item.RqID, ZanLockWrite))
            reads[n++] = item.RqID;
    if (n >= 2 && HandleValid())
        ForRunsOfNeighbours(reads.data(), n, [&](uint32_t first, uint32_t run) {
            InternalUpgradeReadLocks(first, run);
        });
    // The items held before: the calls below only add items after them.
    for (size_t i = 0, held = FLocks.size(); i < held; ++i) {
        const TLockItem item = FLocks[i];
        SetWriteLock(item.RqID, item.LckSize);
    }
}

void TBaseLockMgr::ReleaseLock(uint32_t id) {
    ReleaseLocks({id});
}

void TBaseLockMgr::ReleaseLocks(const std::vector<uint32_t>& ids) {
    // Forgotten even when the unlock fails: the handle frees them at close.
    TLockCollection released;
    std::erase_if(FLocks, [&](const TLockItem& item) {
        if (std::find(ids.begin(), ids.end(), item.RqID) == ids.end()) return false;
        released.push_back(item);
        return true;
    });
    if (released.empty()) return;
    ++FChangeCount;
    InternalReleaseFileLocks(released);
    if (FPauseOwed && FLocks.empty()) PauseAfterTimeout();
}

void TBaseLockMgr::ReleaseAllLocks() {
    if (FLocks.empty()) return;
    ++FChangeCount;
    // Forgotten even when the unlock fails: the handle frees them at close. Both lists keep
    // their storage for the next locks.
    TLockCollection released;
    released.swap(FReleasing);
    released.assign(FLocks.begin(), FLocks.end());
    FLocks.clear();
    TScopeExit keep([&] {
        released.clear();
        if (FReleasing.empty()) FReleasing.swap(released);
    });
    InternalReleaseFileLocks(released);
    if (FPauseOwed) PauseAfterTimeout();
}

void TBaseLockMgr::InternalReleaseFileLocks(const TLockCollection& items) {
    for (size_t i = items.size(); i-- > 0;)
        InternalReleaseFileLock(items[i].LckAddr, items[i].LckSize);
}

int32_t TBaseLockMgr::QueryLockType(uint32_t id) const {
    for (const auto& item : FLocks)
        if (item.RqID == id) return item.LckType;
    return ZanLockNone;
}

bool TBaseLockMgr::LockExists(uint32_t id, int32_t lockType) const {
    return FindItem(id, lockType) != nullptr;
}

void TBaseLockMgr::DebugDumpStatus(std::vector<std::string>& strings) const {
    strings.push_back("TBaseLockMgr.DebugDumpStatus");
    strings.push_back("Hnd - " + std::to_string(FHandle ? FHandle->GetHandle() : -1));
    strings.push_back("Locks present - " + std::to_string(FLocks.size()));
    for (size_t i = 0; i < FLocks.size(); ++i) {
        const TLockItem& item = FLocks[i];
        strings.push_back(Format("Lock %d: Addr %d Size %d Type %d", int64_t(i),
                                 int64_t(item.LckAddr), int64_t(item.LckSize),
                                 int64_t(item.LckType)));
    }
}

void TBaseLockMgr::InternalReleaseFileLock(uint64_t, uint32_t) {}

bool TBaseLockMgr::InternalLockFile(uint64_t, uint32_t, int32_t) {
    return false;
}

bool TBaseLockMgr::InternalUpgradeReadLock(uint32_t, uint32_t) {
    return false;
}

bool TBaseLockMgr::InternalLockRegions(uint32_t, uint32_t) {
    return false;
}

bool TBaseLockMgr::InternalUpgradeReadLocks(uint32_t, uint32_t) {
    return false;
}

TWinLockMgr::~TWinLockMgr() {
    // The base destructor can no longer reach the overrides: release here.
    FPauseOwed = false;
    try {
        ReleaseAllLocks();
    } catch (...) {
    }
}

void TWinLockMgr::InternalReleaseFileLock(uint64_t address, uint32_t size) {
    if (!HandleValid())
        ZanDatabaseError(8450, "TZanFile.UnlockZanFile", "File handle is invalid", this);
    try {
        FHandle->Unlock(address, size);
    } catch (const EOSError& e) {
        ZanDatabaseError(8450, "TZanFile.UnlockZanFile", e.Message(), this);
    }
}

void TWinLockMgr::InternalReleaseFileLocks(const TLockCollection& items) {
    if (!HandleValid())
        ZanDatabaseError(8450, "TZanFile.UnlockZanFile", "File handle is invalid", this);
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    ranges.reserve(items.size());
    for (const TLockItem& item : items)
        ranges.emplace_back(item.LckAddr, item.LckSize);
    try {
        FHandle->UnlockRanges(std::move(ranges));
    } catch (const EOSError& e) {
        ZanDatabaseError(8450, "TZanFile.UnlockZanFile", e.Message(), this);
    }
}

bool TWinLockMgr::InternalLockFile(uint64_t address, uint32_t size, int32_t) {
    try {
        return FHandle->TryLock(address, size);
    } catch (const EOSError& e) {
        ZanDatabaseError(8450, "TWinLockMgr.InternalLockFile", e.Message(), this);
    }
}

// Keeps the read byte and locks the parts of the region before and after it, both in one
// system call, so a failed upgrade leaves exactly the read lock.
bool TWinLockMgr::InternalUpgradeReadLock(uint32_t id, uint32_t) {
    const TLockItem* read = FindItem(id, ZanLockRead);
    if (!read) return false;
    const uint64_t addr = GetCalculatedLockAddr(id);
    const uint64_t readAddr = read->LckAddr;
    const uint64_t readEnd = readAddr + read->LckSize;
    const uint64_t regionEnd = addr + FRegionSize;
    ZanAssert(readAddr >= addr && readEnd <= regionEnd, "Read lock outside its region");
    const auto firstSize = static_cast<uint32_t>(readAddr - addr);
    const auto secondSize = static_cast<uint32_t>(regionEnd - readEnd);
    bool locked = false;
    for (int32_t attempt = 0; attempt < FLockRetryCount && !locked; ++attempt) {
        try {
            locked = FHandle->TryLockSpan(addr, FRegionSize);
        } catch (const EOSError& e) {
            ZanDatabaseError(8450, "TWinLockMgr.InternalUpgradeReadLock", e.Message(), this);
        }
        // No pause after the last refusal: the locks this connection holds go back at once.
        // Two connections each waiting to upgrade while the other holds its read lock both
        // wait in vain; the first to give up then frees the other before its last attempt,
        // where a pause here had it give up too.
        if (!locked && attempt + 1 < FLockRetryCount) RetryPause();
    }
    if (!locked) return false;
    // The handle records the two parts as ranges of their own, as the items here (an empty
    // part is an item too: it marks the id write-locked).
    FLocks.push_back(TLockItem{firstSize, ZanLockWrite, addr, id});
    FLocks.push_back(TLockItem{secondSize, ZanLockWrite, readEnd, id});
    return true;
}

namespace {

// The region boundaries between count consecutive regions from address (count at most
// CMaxNeighbours).
std::span<const uint64_t> RegionCuts(std::array<uint64_t, CMaxNeighbours>& cuts,
                                     uint64_t address, uint32_t regionSize, uint32_t count) {
    size_t n = 0;
    for (uint32_t k = 1; k < count && n < cuts.size(); ++k)
        cuts[n++] = address + uint64_t(k) * regionSize;
    return {cuts.data(), n};
}

} // namespace

bool TWinLockMgr::InternalLockRegions(uint32_t first, uint32_t count) {
    const uint64_t addr = GetCalculatedLockAddr(first);
    std::array<uint64_t, CMaxNeighbours> cuts{};
    try {
        return FHandle->TryLockSpan(addr, uint64_t(count) * FRegionSize,
                                    RegionCuts(cuts, addr, FRegionSize, count), true);
    } catch (const EOSError& e) {
        ZanDatabaseError(8450, "TWinLockMgr.InternalLockFile", e.Message(), this);
    }
}

// The read bytes stay; the rest of all the regions is locked in one system call, divided at the
// regions' boundaries and around the read bytes, so each id's parts are exactly those its own
// upgrade records.
bool TWinLockMgr::InternalUpgradeReadLocks(uint32_t first, uint32_t count) {
    const uint64_t addr = GetCalculatedLockAddr(first);
    for (uint32_t id = first; id - first < count; ++id) {
        const TLockItem* read = FindItem(id, ZanLockRead);
        if (!read || read->LckAddr < GetCalculatedLockAddr(id) ||
            read->LckAddr + read->LckSize > GetCalculatedLockAddr(id) + FRegionSize)
            return false;
    }
    std::array<uint64_t, CMaxNeighbours> cuts{};
    bool locked = false;
    try {
        locked = FHandle->TryLockSpan(addr, uint64_t(count) * FRegionSize,
                                      RegionCuts(cuts, addr, FRegionSize, count), false);
    } catch (const EOSError& e) {
        ZanDatabaseError(8450, "TWinLockMgr.InternalUpgradeReadLock", e.Message(), this);
    }
    if (!locked) return false;
    for (uint32_t id = first; id - first < count; ++id) {
        const TLockItem read = *FindItem(id, ZanLockRead);
        const uint64_t regionAddr = GetCalculatedLockAddr(id);
        const uint64_t readEnd = read.LckAddr + read.LckSize;
        FLocks.push_back(TLockItem{static_cast<uint32_t>(read.LckAddr - regionAddr), ZanLockWrite,
                                   regionAddr, id});
        FLocks.push_back(TLockItem{static_cast<uint32_t>(regionAddr + FRegionSize - readEnd),
                                   ZanLockWrite, readEnd, id});
    }
    return true;
}

std::unique_ptr<TBaseLockMgr> GetLockManager(TWinFile*, TWinFile* lockHandle, uint64_t base,
                                             uint32_t regionSize, bool) {
    return std::make_unique<TWinLockMgr>(lockHandle, base, regionSize);
}

// ---- Connected-users file ----------------------------------------------------------------------

namespace {

// Global and parent lock: one try, then this many more, this far apart.
constexpr int CUserLockRetries = 20;
constexpr uint32_t CUserLockRetryInterval = 100;
// How often an opener starts over when the file at the path went away under it.
constexpr int CUserOpenAttempts = 20;

[[noreturn]] void RaiseUsersFileIOError(const EOSError& e, const char* context,
                                        const TObject* object) {
    ZanDatabaseError(8450, context, e.Message(), object);
}

} // namespace

TDBUserMonitor::TDBUserMonitor(TWinFile* databaseHandle, const std::string& lockFileName)
    : FLockFileName(lockFileName), FDatabaseHandle(databaseHandle),
      FLockErrMsg(SzanLckFileLockErr) {
    ZanAssert(databaseHandle != nullptr, "Database file handle is not set");
}

TDBUserMonitor::~TDBUserMonitor() {
    try {
        Close();
    } catch (...) {
        // Closing the handle below frees the connection byte; the entry is swept later.
    }
}

void TDBUserMonitor::InternalSetLock() {
    try {
        for (int attempt = 0;; ++attempt) {
            if (FLockFile.TryLock(GlobalLockOffset, 1)) return;
            if (attempt == CUserLockRetries) break;
            Sleep(CUserLockRetryInterval);
        }
    } catch (const EOSError& e) {
        ZanDatabaseError(8449, "TDBUserMonitor.InternalSetLock", e.Message(), this);
    }
    ZanDatabaseError(10249, "TDBUserMonitor.InternalSetLock", FLockErrMsg, this);
}

void TDBUserMonitor::InternalReleaseLock() noexcept {
    try {
        FLockFile.Unlock(GlobalLockOffset, 1);
    } catch (...) {
        // Only a closed handle refuses, and closing freed the byte.
    }
}

void TDBUserMonitor::InternalSetParentLock() {
    try {
        for (int attempt = 0;; ++attempt) {
            if (FDatabaseHandle->TryLock(ParentLockOffset, 1)) return;
            if (attempt == CUserLockRetries) break;
            Sleep(CUserLockRetryInterval);
        }
    } catch (const EOSError& e) {
        ZanDatabaseError(8449, "TDBUserMonitor.InternalSetParentLock", e.Message(), this);
    }
    ZanDatabaseError(10249, "TDBUserMonitor.InternalSetParentLock", FLockErrMsg, this);
}

void TDBUserMonitor::InternalReleaseParentLock() noexcept {
    try {
        FDatabaseHandle->Unlock(ParentLockOffset, 1);
    } catch (...) {
    }
}

const char* TDBUserMonitor::ReadEntry(uint64_t offset) {
    FEntryBuf.fill(0);
    FLockFile.ReadAt(FEntryBuf.data(), EntrySize, offset);
    return FEntryBuf.data(); // the last byte stays 0: the text always ends
}

bool TDBUserMonitor::EntryIsZero() const {
    return std::all_of(FEntryBuf.begin(), FEntryBuf.end(), [](char c) { return c == 0; });
}

// Entry blocks after block 0. A short last block counts and reads as zeros beyond the end, so
// a file cut short (or still being created) is used without an entry landing on block 0.
uint64_t TDBUserMonitor::EntryCount() const {
    const uint64_t blocks = (FLockFile.Size() + EntrySize - 1) / EntrySize;
    return blocks > 1 ? blocks - 1 : 0;
}

uint64_t TDBUserMonitor::FindEntry() {
    const uint64_t count = EntryCount();
    for (uint64_t i = 1; i <= count; ++i) {
        const char* text = ReadEntry(i * EntrySize);
        if (*text != 0 && ZanAnsiUpperCase(text) == FIdentityKey) return i * EntrySize;
    }
    return 0;
}

void TDBUserMonitor::WriteEntry(uint64_t offset, const std::string& text) {
    std::array<char, EntrySize> block{};
    std::copy(text.begin(), text.end(), block.begin());
    FLockFile.WriteAt(block.data(), block.size(), offset);
}

void TDBUserMonitor::CreateLockFile() {
    InternalSetParentLock();
    TScopeExit parent([this] { InternalReleaseParentLock(); });
    if (FileExists(FLockFileName)) return;
    TWinFile file;
    try {
        file.Create(FLockFileName, fsDenyNone, false, true);
    } catch (const EOSError& e) {
        if (e.ErrorCode == EEXIST) return;
        // A folder the user may not write is no internal error: say so.
        const bool denied =
            e.ErrorCode == EACCES || e.ErrorCode == EPERM || e.ErrorCode == EROFS;
        ZanDatabaseError(denied ? 9219 : 8581, "TDBUserMonitor.Open",
                         "Lock File could not be created: " + e.Message(), this);
    }
    // Whoever may write the database must be able to register here, whatever the user and
    // umask of the process that happened to create the file: it gets the database file's owner
    // and permission bits, as the journal does.
    struct stat st {};
    if (FDatabaseHandle != nullptr && FDatabaseHandle->GetHandle() >= 0 &&
        fstat(FDatabaseHandle->GetHandle(), &st) == 0) {
        ZanGiveOwner(file.GetHandle(), st.st_uid, st.st_gid);
        fchmod(file.GetHandle(), st.st_mode & 0666);
    }
    try {
        const std::array<char, EntrySize> zeros{};
        file.WriteAt(zeros.data(), zeros.size(), 0);
    } catch (const EOSError& e) {
        // The short file stays usable: entries are never placed on block 0. A write that fails
        // (a full disk, a file size limit) is an I/O error on the users file, as the same write
        // of an entry is, not an internal one.
        ZanDatabaseError(8450, "TDBUserMonitor.Open",
                         "Unable to complete lock file creation: " + e.Message(), this);
    }
}

bool TDBUserMonitor::TryRegister() {
    InternalSetLock();
    TScopeExit global([this] { InternalReleaseLock(); });
    // A closer unlinks the file while it holds the global lock: a handle opened before that
    // sees the file gone (or replaced) once it has the lock, and must start over.
    if (!FLockFile.IsLinkedAt(FLockFileName)) return false;
    // Checked again under the lock: two openers appending at once would otherwise push a
    // connection range into the table locks above 0x800000.
    if (FLockFile.Size() >= MaxLockFileSize)
        ZanDatabaseError(9486, "TDBUserMonitor.Open", "The lock file has grown too large", this);
    uint64_t entry = FindEntry();
    if (entry == 0) {
        const uint64_t count = EntryCount();
        for (uint64_t i = 1; i <= count && entry == 0; ++i) {
            ReadEntry(i * EntrySize);
            if (EntryIsZero()) entry = i * EntrySize;
        }
        if (entry == 0) {
            // Appended blocks keep their connection range below the table locks.
            entry = (count + 1) * EntrySize;
            if (entry + EntrySize > MaxLockFileSize)
                ZanDatabaseError(9486, "TDBUserMonitor.Open", "The lock file has grown too large",
                                 this);
        }
        WriteEntry(entry, FIdentity);
    }
    const uint64_t range = GetLockOffset(entry);
    for (uint64_t k = 0; k < EntrySize; ++k)
        if (FLockFile.TryLock(range + k, 1)) {
            FLockOffset = range + k;
            break;
        }
    return true;
}

void TDBUserMonitor::Open(const std::string& userName, const std::string& computerName) {
    Close();
    TStringList names;
    names.Add(computerName);
    names.Add(userName);
    FIdentity = names.GetCommaText();
    // The stored text ends at its first NUL and must leave the block's last byte 0; it is cut
    // at a character boundary so that it still compares equal to what is stored.
    if (auto nul = FIdentity.find('\0'); nul != std::string::npos) FIdentity.resize(nul);
    if (FIdentity.size() > EntrySize - 1) {
        size_t n = EntrySize - 1;
        while (n > 0 && (static_cast<unsigned char>(FIdentity[n]) & 0xC0) == 0x80)
            --n;
        FIdentity.resize(n);
    }
    FIdentityKey = ZanAnsiUpperCase(FIdentity);

    for (int attempt = 0; attempt < CUserOpenAttempts; ++attempt) {
        if (!FileExists(FLockFileName)) CreateLockFile();
        try {
            // Never through a link or into a device: the users file is written by every
            // session, read-only ones included.
            FLockFile.Open(FLockFileName, faReadWrite, fsDenyNone, true);
        } catch (const EOSError& e) {
            if (e.ErrorCode == ENOENT) continue; // deleted by the last closer meanwhile
            // Something else at the users file's path (a link, a folder, a FIFO or device) is
            // no users file of ours. A users file the user may not write (made while the
            // database file's mode was narrower, and kept by a connection since) is no
            // internal error either: say so.
            const bool notAFile = e.ErrorCode == ELOOP || e.ErrorCode == EISDIR ||
                                  e.ErrorCode == EINVAL || e.ErrorCode == ENXIO ||
                                  e.ErrorCode == ENOTDIR;
            const bool denied =
                e.ErrorCode == EACCES || e.ErrorCode == EPERM || e.ErrorCode == EROFS;
            ZanDatabaseError(notAFile ? 8966 : denied ? 8449 : 8581, "TDBUserMonitor.Open",
                             "The lock file could not be opened: " + e.Message(), this);
        }
        try {
            if (FLockFile.Size() >= MaxLockFileSize)
                ZanDatabaseError(9486, "TDBUserMonitor.Open", "The lock file has grown too large",
                                 this);
            if (TryRegister()) return;
        } catch (const EOSError& e) {
            FLockOffset = 0;
            FLockFile.Close();
            RaiseUsersFileIOError(e, "TDBUserMonitor.Open", this);
        } catch (...) {
            FLockOffset = 0;
            FLockFile.Close();
            throw;
        }
        FLockFile.Close();
    }
    ZanDatabaseError(8581, "TDBUserMonitor.Open",
                     "The lock file could not be opened: " + FLockFileName +
                         " was replaced at every attempt",
                     this);
}

void TDBUserMonitor::Close() {
    if (!FLockFile.IsOpen()) return;
    bool parentHeld = false;
    // Runs last, after the global lock is released: close, then give up the parent lock.
    TScopeExit finish([&] {
        FLockOffset = 0;
        FLockFile.Close();
        if (parentHeld) InternalReleaseParentLock();
    });
    try {
        if (FLockOffset != 0) FLockFile.Unlock(FLockOffset, 1);
        FLockOffset = 0;
        InternalSetLock();
        TScopeExit global([this] { InternalReleaseLock(); });
        if (uint64_t own = FindEntry(); own != 0) {
            const uint64_t range = GetLockOffset(own);
            if (FLockFile.TryLock(range, EntrySize)) {
                WriteEntry(own, {});
                FLockFile.Unlock(range, EntrySize);
            }
        }
        bool live = false;
        const uint64_t count = EntryCount();
        for (uint64_t i = 1; i <= count; ++i) {
            const uint64_t range = GetLockOffset(i * EntrySize);
            if (!FLockFile.TryLock(range, EntrySize)) {
                live = true;
                continue;
            }
            ReadEntry(i * EntrySize);
            if (!EntryIsZero()) WriteEntry(i * EntrySize, {});
            FLockFile.Unlock(range, EntrySize);
        }
        if (!live) {
            InternalSetParentLock();
            parentHeld = true;
            // Unlinked while the global lock is held: an opener waiting for it then finds the
            // file gone and starts over instead of registering in an orphaned file. A file that
            // is not ours at the path is left alone.
            if (FLockFile.IsLinkedAt(FLockFileName)) DeleteFile(FLockFileName);
        }
    } catch (const EOSError& e) {
        RaiseUsersFileIOError(e, "TDBUserMonitor.Close", this);
    }
}

int32_t TDBUserMonitor::CountConnectionsForUser(uint64_t lockOffset) {
    if (!IsOpen()) return 0;
    try {
        // Inside the connection area this handle holds at most its own connection byte, which
        // the byte-by-byte count finds refused and counts; the lock query does not see it.
        const bool inArea = lockOffset >= ConnectionLockBase &&
                            lockOffset + EntrySize <= ConnectionLockBase + MaxLockFileSize;
        uint64_t count = 0;
        if (inArea && FLockFile.CountLockedByOthers(lockOffset, EntrySize, count)) {
            if (FLockOffset >= lockOffset && FLockOffset < lockOffset + EntrySize) ++count;
            return static_cast<int32_t>(count);
        }
        count = 0;
        for (uint64_t k = 0; k < EntrySize; ++k) {
            if (FLockFile.TryLock(lockOffset + k, 1))
                FLockFile.Unlock(lockOffset + k, 1);
            else
                ++count;
        }
        return static_cast<int32_t>(count);
    } catch (const EOSError& e) {
        RaiseUsersFileIOError(e, "TDBUserMonitor.CountConnectionsForUser", this);
    }
}

int32_t TDBUserMonitor::GetCurrentUserCount() {
    if (!IsOpen()) return 0;
    int32_t users = 0;
    const uint64_t count = EntryCount();
    for (uint64_t i = 1; i <= count; ++i)
        if (CountConnectionsForUser(GetLockOffset(i * EntrySize)) > 0) ++users;
    return users;
}

int32_t TDBUserMonitor::GetCurrentConnectionCount() {
    if (!IsOpen()) return 0;
    int32_t connections = 0;
    const uint64_t count = EntryCount();
    for (uint64_t i = 1; i <= count; ++i)
        connections += CountConnectionsForUser(GetLockOffset(i * EntrySize));
    return connections;
}

void TDBUserMonitor::GetCurrentUsers(TStrings& strings) {
    strings.Clear();
    if (!IsOpen()) return;
    try {
        const uint64_t count = EntryCount();
        for (uint64_t i = 1; i <= count; ++i)
            strings.Add(ReadEntry(i * EntrySize));
    } catch (const EOSError& e) {
        RaiseUsersFileIOError(e, "TDBUserMonitor.GetCurrentUsers", this);
    }
}

void TDBUserMonitor::DebugDumpStatus(std::vector<std::string>& strings) {
    int64_t users = 0;
    if (IsOpen()) {
        try {
            const uint64_t count = EntryCount();
            for (uint64_t i = 1; i <= count; ++i) {
                std::string identity = ReadEntry(i * EntrySize);
                if (EntryIsZero()) continue;
                ++users;
                int32_t connections = CountConnectionsForUser(GetLockOffset(i * EntrySize));
                strings.push_back("User " + std::to_string(users) + "  :  " + identity +
                                  " - connections " + std::to_string(connections));
            }
        } catch (const EOSError& e) {
            RaiseUsersFileIOError(e, "TDBUserMonitor.DebugDumpStatus", this);
        }
    }
    strings.push_back("Total Users " + std::to_string(users));
}

} // namespace zan
