#include "engine/storage/zanLockMgrUnit.h"

#include "engine/storage/zanConsts.h"
#include "host/rtl/Format.h"
#include "host/rtl/Random.h"
#include "host/win/WinFiles.h"
#include "host/win/WinSys.h"

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
    if (FLockRetryInterval > 0) Sleep(static_cast<uint32_t>(FLockRetryInterval));
}

bool TBaseLockMgr::LockWithRetries(uint64_t address, uint32_t size, int32_t lockType) {
    if (size == 0) return true;
    for (int32_t attempt = 0; attempt < FLockRetryCount; ++attempt) {
        if (InternalLockFile(address, size, lockType)) return true;
        RetryPause();
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
            FLocks.push_back(TLockItem{size, ZanLockRead, byte, id});
            return true;
        }
        RetryPause();
    }
    ZanDatabaseError(10249, "TBaseLockMgr.SetReadLock", FReadLockErrMsg, this);
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
        ZanDatabaseError(10249, "TBaseLockMgr.SetWriteLock", FWriteLockErrMsg, this);
    FLocks.push_back(TLockItem{size, ZanLockWrite, addr, id});
    return ZanLockWrite;
}

void TBaseLockMgr::UpgradeReadLockToWriteLock(uint32_t id, uint32_t size) {
    if (!InternalUpgradeReadLock(id, size))
        ZanDatabaseError(10249, "TBaseLockMgr.UpgradeReadLockToWriteLock", FWriteLockErrMsg, this);
}

void TBaseLockMgr::UpgradeReadLocks() {
    const TLockCollection items = FLocks; // the calls below add items
    for (const auto& item : items)
        SetWriteLock(item.RqID, item.LckSize);
}

void TBaseLockMgr::ReleaseLock(uint32_t id) {
    for (size_t i = FLocks.size(); i-- > 0;) {
        if (FLocks[i].RqID != id) continue;
        InternalReleaseFileLock(FLocks[i].LckAddr, FLocks[i].LckSize);
        FLocks.erase(FLocks.begin() + static_cast<ptrdiff_t>(i));
    }
}

void TBaseLockMgr::ReleaseAllLocks() {
    while (!FLocks.empty()) {
        TLockItem item = FLocks.back();
        FLocks.pop_back(); // forgotten even when the unlock fails: the handle frees it at close
        InternalReleaseFileLock(item.LckAddr, item.LckSize);
    }
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

TWinLockMgr::~TWinLockMgr() {
    // The base destructor can no longer reach the overrides: release here.
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

bool TWinLockMgr::InternalLockFile(uint64_t address, uint32_t size, int32_t) {
    try {
        return FHandle->TryLock(address, size);
    } catch (const EOSError& e) {
        ZanDatabaseError(8450, "TWinLockMgr.InternalLockFile", e.Message(), this);
    }
}

// Keeps the read byte and locks the parts of the region before and after it. Both parts are
// recorded only once both are held; when the second cannot be had the first is unlocked again,
// so a failed upgrade leaves exactly the read lock.
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
    if (!LockWithRetries(addr, firstSize, ZanLockWrite)) return false;
    bool second = false;
    try {
        second = LockWithRetries(readEnd, secondSize, ZanLockWrite);
    } catch (...) {
        if (firstSize > 0) InternalReleaseFileLock(addr, firstSize);
        throw;
    }
    if (!second) {
        if (firstSize > 0) InternalReleaseFileLock(addr, firstSize);
        return false;
    }
    FLocks.push_back(TLockItem{firstSize, ZanLockWrite, addr, id});
    FLocks.push_back(TLockItem{secondSize, ZanLockWrite, readEnd, id});
    return true;
}

std::unique_ptr<TBaseLockMgr> GetLockManager(TWinFile*, TWinFile* lockHandle, uint64_t base,
                                             uint32_t regionSize, bool) {
    return std::make_unique<TWinLockMgr>(lockHandle, base, regionSize);
}
