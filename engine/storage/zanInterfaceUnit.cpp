#include "engine/storage/zanInterfaceUnit.h"

#include <algorithm>
#include <array>
#include <bit>
#include <unordered_set>

#include "engine/storage/zanCommon.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanDisk.h"
#include "host/rtl/Format.h"

namespace zan {

namespace {
// The page holding a byte: page sizes are powers of two, so a shift rather than a division
// (which costs tens of cycles, and every block read, written or released is checked).
uint32_t PageOf(uint64_t address, uint32_t pageSize) {
    // Not std::has_single_bit: built for the baseline processor, that is a library call.
    return (pageSize & (pageSize - 1)) == 0 ? uint32_t(address >> std::countr_zero(pageSize))
                                            : uint32_t(address / pageSize);
}
} // namespace

// ---------------------------------------------------------------------------------------------
// TBaseIOInterface

uint32_t TBaseIOInterface::AllocateNewAddress(uint32_t, const void*) {
    ZanDatabaseError(10065, "TBaseIOInterface.AllocateNewAddress");
}

void TBaseIOInterface::ReleaseBlock(uint32_t, uint32_t) {
    ZanDatabaseError(10065, "TBaseIOInterface.ReleaseBlock");
}

void TBaseIOInterface::ReadBlocks(const uint32_t* addresses, size_t count, uint32_t size,
                                  const TBlockVisit& visit) {
    std::vector<uint8_t> buffer(size);
    for (size_t i = 0; i < count; ++i) {
        ReadBlock(addresses[i], size, buffer.data());
        visit(i, buffer.data());
    }
}

// ---------------------------------------------------------------------------------------------
// TMemoryIOInterface

TMemoryIOInterface::TMemBlock* TMemoryIOInterface::Find(uint32_t address) {
    auto it = FBlocks.find(address);
    return it == FBlocks.end() ? nullptr : &it->second;
}

uint32_t TMemoryIOInterface::NewHandle() {
    // 2^28 handles exist; when every one is live the store is full.
    if (FBlocks.size() >= (uint64_t(1) << 28) - 1)
        ZanDatabaseError(9482, "TMemoryIOInterface.AllocateNewAddress", "Memory block handles");
    for (;;) {
        uint32_t handle = FNextHandle;
        FNextHandle += 16;
        if (FNextHandle == 0) FNextHandle = 16; // wrapped: start again, skipping live ones
        if (handle != 0 && FBlocks.count(handle) == 0) return handle;
    }
}

void TMemoryIOInterface::Empty(bool) {
    FBlocks.clear();
    FFirst = FLast = 0;
}

uint32_t TMemoryIOInterface::AllocateNewAddress(uint32_t requestSize, const void* data) {
    uint32_t handle = NewHandle();
    TMemBlock block;
    block.Data.assign(requestSize, 0);
    if (data != nullptr && requestSize > 0) std::memcpy(block.Data.data(), data, requestSize);
    block.Prior = FLast;
    FBlocks.emplace(handle, std::move(block));
    if (FLast != 0)
        FBlocks[FLast].Next = handle;
    else
        FFirst = handle;
    FLast = handle;
    return handle;
}

void TMemoryIOInterface::ReleaseBlock(uint32_t address, uint32_t) {
    TMemBlock* block = Find(address);
    if (block == nullptr)
        ZanDatabaseError(8581, "TMemoryIOInterface.ReleaseBlock",
                         "Release block error - block address not found");
    uint32_t prior = block->Prior, next = block->Next;
    if (prior != 0)
        FBlocks[prior].Next = next;
    else
        FFirst = next;
    if (next != 0)
        FBlocks[next].Prior = prior;
    else
        FLast = prior;
    FBlocks.erase(address);
}

void TMemoryIOInterface::CopyIn(uint32_t address, uint32_t size, const void* data,
                                const char* nilText) {
    if (data == nullptr) ZanDatabaseError(8581, "TMemoryIOInterface.WriteBlock", nilText);
    TMemBlock* block = Find(address);
    if (block == nullptr) return;
    if (size > block->Data.size())
        ZanDatabaseError(8581, "TMemoryIOInterface.WriteBlock",
                         "Write page error - size beyond the block");
    if (size > 0) std::memmove(block->Data.data(), data, size);
}

void TMemoryIOInterface::CopyOut(uint32_t address, uint32_t size, void* buffer,
                                 const char* nilText) {
    TMemBlock* block = Find(address);
    if (block == nullptr)
        ZanDatabaseError(8581, "TMemoryIOInterface.ReadBlock",
                         "Read page error - block address not found");
    if (buffer == nullptr) ZanDatabaseError(8581, "TMemoryIOInterface.ReadBlock", nilText);
    if (buffer == block->Data.data())
        ZanDatabaseError(8581, "TMemoryIOInterface.ReadBlock", "Read page error - buffers equal");
    if (size > block->Data.size())
        ZanDatabaseError(8581, "TMemoryIOInterface.ReadBlock",
                         "Read page error - size beyond the block");
    if (size > 0) std::memcpy(buffer, block->Data.data(), size);
}

void TMemoryIOInterface::WriteBlock(uint32_t address, uint32_t size, const void* data) {
    CopyIn(address, size, data, "Write page error - nil pointer");
}

void TMemoryIOInterface::WriteBlockHeader(uint32_t address, uint32_t size, const void* data) {
    CopyIn(address, size, data, "Write header error - nil pointer");
}

void TMemoryIOInterface::ReadBlock(uint32_t address, uint32_t size, void* buffer) {
    CopyOut(address, size, buffer, "Unassigned memory pointer");
}

void TMemoryIOInterface::ReadBlockHeader(uint32_t address, uint32_t size, void* buffer) {
    CopyOut(address, size, buffer, "Read header error - nil pointer");
}

uint8_t* TMemoryIOInterface::ReadBlockByRef(uint32_t address, uint32_t size) {
    TMemBlock* block = Find(address);
    if (block == nullptr)
        ZanDatabaseError(8581, "TMemoryIOInterface.ReadBlockByRef",
                         "Read page error - block address not found");
    if (size > block->Data.size())
        ZanDatabaseError(8581, "TMemoryIOInterface.ReadBlockByRef",
                         "Read page error - size beyond the block");
    return block->Data.data();
}

void TMemoryIOInterface::ListBlocks(std::vector<uint32_t>& list) {
    for (uint32_t a = FFirst; a != 0; a = FBlocks[a].Next)
        list.push_back(a);
}

uint32_t TMemoryIOInterface::GetNextMemoryBlockAddress(uint32_t address) {
    if (address == 0) return FFirst;
    TMemBlock* block = Find(address);
    return block == nullptr ? 0 : block->Next;
}

// ---------------------------------------------------------------------------------------------
// TDiskIOInterface

void TDiskIOInterface::Open() {
    static const char* const context = "TDiskIOInterface.Open";
    if (FDiskMgr == nullptr)
        ZanDatabaseError(8581, context, "Unable to open Disk IOInterface - DiskMgr is null");
    if (FUsage == 0)
        ZanDatabaseError(8581, context, "Unable to open Disk IOInterface - Usage is not set");
    if (FBlockSize == 0)
        ZanDatabaseError(8581, context, "Unable to open Disk IOInterface - Block size is 0");
    if (!FWorkBuffer.empty())
        GDBLogger().LogItem("DiskInterface", Format("Open- BlockSize %d FirstEmpty %d",
                                                    {int64_t(FBlockSize), int64_t(FFirstEmpty)}));
    FWorkBuffer.assign(size_t(FBlockSize) * 2, 0);
    SetOwnerTagFromIds();
    FCheckedFirstEmpty = 0;
    FOwnedPages.clear();
}

void TDiskIOInterface::Close() {
    FWorkBuffer.clear();
    FWorkBuffer.shrink_to_fit();
}

void TDiskIOInterface::CheckOpen(const char* context) const {
    if (FDiskMgr == nullptr || FWorkBuffer.empty()) ZanDatabaseError(8576, context);
}

void TDiskIOInterface::Empty(bool) {
    CheckOpen("TDiskIOInterface.Empty");
    FDiskMgr->DeleteOwnedPages(FTableID, FUsage, false);
    FFirstEmptyValid = false;
    FCheckedFirstEmpty = 0;
    FOwnedPages.clear();
}

void TDiskIOInterface::CheckOwnedStretch(uint32_t address, uint64_t bytes, const char* context) {
    const uint32_t pageSize = FDiskMgr->GetPageSize();
    const uint64_t end = uint64_t(address) + bytes;
    if (bytes == 0 || address < 6 * uint64_t(pageSize) ||
        end > FDiskMgr->GetZanFile()->SeekZanEof())
        ZanDatabaseErrorFmt(8962, context, "Block %d is outside the file's block area",
                            {int64_t(address)});
    const uint32_t pages = uint32_t((end - 1) / pageSize - address / pageSize + 1);
    bool ok = true;
    // Global chains are shared by every table: only the usage must agree. Index blocks of whole
    // pages (every tree page the engine makes) never enter that chain: they are pages of the
    // table itself, so a tree reaching another table's index page is damaged, and a write
    // through it would change that table.
    const bool anyTable = FGlobalFirstEmptyOffset != 0 &&
                          (FUsage != C_USAGE_INDEX || FBlockSize % pageSize != 0);
    for (uint16_t entry : FDiskMgr->ReadMapEntries(address, pages)) {
        ok = ok && (anyTable ? (entry & ZanMapFree) == 0 && (entry & 15) == FUsage
                             : entry == FOwnerTag);
    }
    if (!ok)
        ZanDatabaseErrorFmt(8962, context, "Block %d does not belong to owner %d usage %d",
                            {int64_t(address), int64_t(FTableID), int64_t(FUsage)});
}

void TDiskIOInterface::CheckOwnedRun(uint32_t address, uint64_t bytes, const char* context) {
    // A store of its own chains remembers its pages: a run within them needs no map read.
    if (FGlobalFirstEmptyOffset != 0) {
        CheckOwnedStretch(address, bytes, context);
        return;
    }
    const uint32_t pageSize = FDiskMgr->GetPageSize();
    const uint64_t end = uint64_t(address) + bytes;
    if (bytes == 0 || address < 6 * uint64_t(pageSize) || end > UINT32_MAX) {
        CheckOwnedStretch(address, bytes, context);
        return;
    }
    CheckOwnedPages(address, bytes, context);
}

void TDiskIOInterface::CheckOwnedBlock(uint32_t address, uint32_t size, const char* context) {
    // Header blocks are addressed by the catalogue alone (the first ones lie in the reserved
    // pages); record, blob and index blocks are addressed by stored data that may be damaged.
    if (FUsage == C_USAGE_HEADERS || size == 0) return;
    CheckOwnedPages(address, size, context);
}

void TDiskIOInterface::CheckOwnedPages(uint32_t address, uint64_t bytes, const char* context) {
    const uint32_t pageSize = FDiskMgr->GetPageSize();
    const uint32_t first = PageOf(address, pageSize);
    const uint32_t last = PageOf(uint64_t(address) + bytes - 1, pageSize);
    ForgetOwnedIfEpochMoved();
    if (PagesOwned(first, last)) return;
    CheckOwnedStretch(address, bytes, context);
    SetPagesOwned(first, last, true);
}

void TDiskIOInterface::ForgetOwnedIfEpochMoved() {
    const uint32_t epoch = FDiskMgr->GetZanFile()->GetOwnershipEpoch();
    if (epoch == FOwnedEpoch) return;
    FOwnedPages.clear();
    FCheckedFirstEmpty = 0;
    FOwnedEpoch = epoch;
}

bool TDiskIOInterface::PagesOwned(uint32_t first, uint32_t last) const {
    for (uint64_t page = first; page <= last; ++page) {
        const size_t word = size_t(page >> 6);
        if (word >= FOwnedPages.size() || !((FOwnedPages[word] >> (page & 63)) & 1)) return false;
    }
    return true;
}

void TDiskIOInterface::SetPagesOwned(uint32_t first, uint32_t last, bool owned) {
    for (uint64_t page = first; page <= last; ++page) {
        const size_t word = size_t(page >> 6);
        if (word >= FOwnedPages.size()) {
            if (!owned) continue;
            FOwnedPages.resize(word + 1, 0);
        }
        const uint64_t bit = uint64_t(1) << (page & 63);
        FOwnedPages[word] = owned ? FOwnedPages[word] | bit : FOwnedPages[word] & ~bit;
    }
}

void TDiskIOInterface::ReadRunHeader(uint32_t address, uint32_t& next, uint32_t& count,
                                     const char* context) {
    const uint64_t pageArea = 6 * uint64_t(FDiskMgr->GetPageSize());
    if (address < pageArea || uint64_t(address) + FBlockSize > FDiskMgr->GetZanFile()->SeekZanEof())
        ZanDatabaseErrorFmt(8962, context, "Free block %d is outside the file's block area",
                            {int64_t(address)});
    uint8_t head[16];
    FDiskMgr->ReadCustomSize(address, sizeof head, head, FTableID, FAccessFlags);
    next = GetLE32(head + 8);
    count = GetLE32(head + 12);
    bool zero = std::all_of(head, head + 8, [](uint8_t b) { return b == 0; });
    if (!zero || count == 0 || (next != 0 && (next < pageArea || next == address)))
        ZanDatabaseErrorFmt(8962, context, "Invalid free block header at %d", {int64_t(address)});
    // The whole run must lie in this store's pages before any of it is handed out; a run this
    // store made or checked itself needs no second look at the map while no page changed hands.
    ForgetOwnedIfEpochMoved();
    const uint64_t end = uint64_t(address) + uint64_t(count) * FBlockSize;
    if (FGlobalFirstEmptyOffset != 0 || address != FCheckedFirstEmpty || end > FCheckedRunEnd) {
        CheckOwnedRun(address, end - address, context);
        FCheckedFirstEmpty = address;
        FCheckedRunEnd = end;
    }
}

void TDiskIOInterface::WriteRunHeader(uint32_t address, uint32_t next, uint32_t count) {
    uint8_t head[16] = {};
    PutLE32(head + 8, next);
    PutLE32(head + 12, count);
    FDiskMgr->WriteCustomSize(address, sizeof head, head, FTableID, FAccessFlags);
}

bool TDiskIOInterface::EnterChain(const char* context) {
    if (FGlobalFirstEmptyOffset == 0) {
        if (!FFirstEmptyValid)
            ZanDatabaseError(8581, context, "DiskIOInterface - non global first empty not set");
        return false;
    }
    // The caller's header lock is kept: an outer multi-step change must not lose it.
    bool taken = false;
    if (!FDiskMgr->GetHeaderWriteLocked()) {
        taken = !FDiskMgr->GetHeaderReadLocked();
        FDiskMgr->SetHeaderWriteLock();
    }
    try {
        FFirstEmpty = FDiskMgr->GetGlobalHdr()->GlobalInterfaceGetHdrItem(
            static_cast<int32_t>(FGlobalFirstEmptyOffset));
        FFirstEmptyValid = true;
    } catch (...) {
        if (taken) FDiskMgr->ReleaseHeaderLock();
        throw;
    }
    return taken;
}

void TDiskIOInterface::LeaveChain(bool taken, const char* context) {
    if (FGlobalFirstEmptyOffset == 0) return;
    if (!FFirstEmptyValid) {
        if (taken) FDiskMgr->ReleaseHeaderLock();
        ZanDatabaseError(8581, context,
                         "Attempt to write non validated first empty to global header");
    }
    TGlobalHdr* hdr = FDiskMgr->GetGlobalHdr();
    hdr->GlobalInterfaceSetHdrItem(static_cast<int32_t>(FGlobalFirstEmptyOffset), FFirstEmpty);
    if (taken) {
        FDiskMgr->ReleaseHeaderLock(); // writes the header when dirty
    } else if (hdr->GetDirty()) {
        FDiskMgr->WriteHeader();
    }
}

uint32_t TDiskIOInterface::AllocateNewAddress(uint32_t requestSize, const void* data) {
    static const char* const context = "TDiskIOInterface.AllocateNewAddress";
    CheckOpen(context);
    // The block, the run's new head and the chain head are one change.
    TDiskWriteScope scope(FDiskMgr);
    if (requestSize > FBlockSize)
        ZanDatabaseError(8581, context, "Block request sizes < block size");
    if (requestSize == 0) requestSize = FBlockSize;
    const bool taken = EnterChain(context);
    const uint32_t savedFirstEmpty = FFirstEmpty;
    uint32_t answer = 0;
    try {
        const uint32_t pageSize = FDiskMgr->GetPageSize();
        const uint32_t fe = FFirstEmpty;
        if (fe != 0) {
            uint32_t next = 0, count = 0;
            ReadRunHeader(fe, next, count, context);
            // The block and, when the run goes on, its successor as the new run head.
            std::fill(FWorkBuffer.begin(), FWorkBuffer.end(), 0);
            if (data != nullptr) std::memcpy(FWorkBuffer.data(), data, requestSize);
            if (count > 1) {
                // The run's next block becomes its head: it must be free (zeros where a
                // block in use holds its flags or link), or the run's count reaches over
                // blocks in use, which the new head and later blocks would overwrite.
                uint8_t successor[8];
                FDiskMgr->ReadCustomSize(fe + FBlockSize, sizeof successor, successor, FTableID,
                                         FAccessFlags);
                if (!std::all_of(successor, successor + 8, [](uint8_t b) { return b == 0; }))
                    ZanDatabaseErrorFmt(8962, context,
                                        "Free run at %d reaches over a block in use at %d",
                                        {int64_t(fe), int64_t(fe + FBlockSize)});
                PutLE32(FWorkBuffer.data() + FBlockSize + 8, next);
                PutLE32(FWorkBuffer.data() + FBlockSize + 12, count - 1);
                FDiskMgr->WriteCustomSize(fe, FBlockSize * 2, FWorkBuffer.data(), FTableID,
                                          FAccessFlags);
                FFirstEmpty = fe + FBlockSize;
                if (FCheckedFirstEmpty == fe) FCheckedFirstEmpty = FFirstEmpty;
            } else {
                FDiskMgr->WriteCustomSize(fe, FBlockSize, FWorkBuffer.data(), FTableID,
                                          FAccessFlags);
                FFirstEmpty = next;
                // The next allocation reads the new head: freed blocks lie scattered, so its
                // page starts on its way into the processor's cache now, while the caller
                // does other work.
                if (next != 0) FDiskMgr->PrefetchCustomSize(next, FAccessFlags);
            }
            answer = fe;
        } else if (requestSize == pageSize) {
            std::vector<uint8_t> page(pageSize, 0);
            if (data != nullptr) std::memcpy(page.data(), data, requestSize);
            answer = FDiskMgr->WriteNewPages(FTableID, FUsage, FAccessFlags, 1, page.data());
        } else {
            uint64_t bytes;
            if (FIOMode == iomDiskVariableSize) {
                uint64_t used = uint64_t((requestSize + FBlockSize - 1) / FBlockSize) * FBlockSize;
                bytes = (used + pageSize - 1) / pageSize * pageSize;
            } else {
                bytes = GetBestPageRequestSize(requestSize, pageSize);
            }
            const uint32_t used = (requestSize + FBlockSize - 1) / FBlockSize;
            if (bytes < uint64_t(used) * FBlockSize || bytes > UINT32_MAX)
                ZanDatabaseError(9482, context, "Block request size");
            const uint32_t spare =
                static_cast<uint32_t>((bytes - uint64_t(used) * FBlockSize) / FBlockSize);
            std::vector<uint8_t> run(static_cast<size_t>(bytes), 0);
            if (data != nullptr) std::memcpy(run.data(), data, requestSize);
            if (spare > 0) PutLE32(run.data() + size_t(used) * FBlockSize + 12, spare);
            answer = FDiskMgr->WriteNewPages(FTableID, FUsage, FAccessFlags,
                                             static_cast<uint32_t>(bytes / pageSize), run.data());
            if (spare > 0) {
                FFirstEmpty = answer + used * FBlockSize;
                FCheckedFirstEmpty = FFirstEmpty;
                FCheckedRunEnd = uint64_t(FFirstEmpty) + uint64_t(spare) * FBlockSize;
            }
        }
    } catch (...) {
        FFirstEmpty = savedFirstEmpty;
        if (taken) {
            FDiskMgr->GetGlobalHdr()->SetDirty(false);
            FDiskMgr->ReleaseHeaderLock();
        }
        throw;
    }
    LeaveChain(taken, context);
    return answer;
}

void TDiskIOInterface::ReleaseBlock(uint32_t address, uint32_t size) {
    static const char* const context = "TDiskIOInterface.ReleaseBlock";
    CheckOpen(context);
    TDiskWriteScope scope(FDiskMgr);
    if (size == 0) size = FBlockSize;
    const bool taken = EnterChain(context);
    const uint32_t savedFirstEmpty = FFirstEmpty;
    try {
        const uint32_t pageSize = FDiskMgr->GetPageSize();
        const uint32_t n = size == FBlockSize ? 1 : (size + FBlockSize - 1) / FBlockSize;
        CheckOwnedRun(address, uint64_t(n) * FBlockSize, context);
        if (size >= pageSize && address % pageSize == 0 && size % pageSize == 0) {
            SetPagesOwned(address / pageSize, (address + size - 1) / pageSize, false);
            FDiskMgr->ReleasePages(address, size / pageSize);
        } else {
            // The run's bytes: zeros with the free header. One or two blocks (a record, a blob
            // block) are made in the work buffer instead of a fresh allocation per release.
            const size_t bytes = size_t(n) * FBlockSize;
            std::vector<uint8_t> large;
            uint8_t* blocks = FWorkBuffer.data();
            if (bytes > FWorkBuffer.size()) {
                large.assign(bytes, 0);
                blocks = large.data();
            } else {
                std::memset(blocks, 0, bytes);
            }
            PutLE32(blocks + 8, FFirstEmpty);
            PutLE32(blocks + 12, n);
            FDiskMgr->WriteCustomSize(address, static_cast<uint32_t>(bytes), blocks, FTableID,
                                      FAccessFlags);
            FFirstEmpty = address;
            FCheckedFirstEmpty = address;
            FCheckedRunEnd = uint64_t(address) + uint64_t(n) * FBlockSize;
        }
    } catch (...) {
        FFirstEmpty = savedFirstEmpty;
        if (taken) {
            FDiskMgr->GetGlobalHdr()->SetDirty(false);
            FDiskMgr->ReleaseHeaderLock();
        }
        throw;
    }
    LeaveChain(taken, context);
}

void TDiskIOInterface::WriteBlock(uint32_t address, uint32_t size, const void* data) {
    CheckOpen("TDiskIOInterface.WriteBlock");
    if (data == nullptr)
        ZanDatabaseError(8581, "TDiskIOInterface.WriteBlock", "Write page error - nil pointer");
    CheckOwnedBlock(address, size, "TDiskIOInterface.WriteBlock");
    FDiskMgr->WriteCustomSize(address, size, data, FTableID, FAccessFlags);
}

void TDiskIOInterface::WriteBlockByRef(uint32_t address, uint32_t size, const void* data) {
    CheckOpen("TDiskIOInterface.WriteBlockByRef");
    CheckOwnedBlock(address, size, "TDiskIOInterface.WriteBlockByRef");
    FDiskMgr->WriteCustomSizeByRef(address, size, data, FTableID, FAccessFlags);
}

void TDiskIOInterface::ReadBlock(uint32_t address, uint32_t size, void* buffer) {
    CheckOpen("TDiskIOInterface.ReadBlock");
    if (buffer == nullptr)
        ZanDatabaseError(8581, "TDiskIOInterface.ReadBlock", "Unassigned memory pointer");
    CheckOwnedBlock(address, size, "TDiskIOInterface.ReadBlock");
    FDiskMgr->ReadCustomSize(address, size, buffer, FTableID, FAccessFlags);
}

uint8_t* TDiskIOInterface::ReadBlockByRef(uint32_t address, uint32_t size) {
    CheckOpen("TDiskIOInterface.ReadBlockByRef");
    CheckOwnedBlock(address, size, "TDiskIOInterface.ReadBlockByRef");
    return FDiskMgr->ReadCustomSizeByRef(address, size, FTableID, FAccessFlags);
}

TCachePin TDiskIOInterface::PinBlock(uint32_t address, uint32_t size) {
    CheckOpen("TDiskIOInterface.PinBlock");
    // A pin reads the block in place: it is checked as a read is.
    CheckOwnedBlock(address, size, "TDiskIOInterface.PinBlock");
    return FDiskMgr->GetZanFile()->PinZanFilePage(FTableID, size, address, FAccessFlags);
}

void TDiskIOInterface::ReadBlocks(const uint32_t* addresses, size_t count, uint32_t size,
                                  const TBlockVisit& visit) {
    static const char* const context = "TDiskIOInterface.ReadBlocks";
    CheckOpen(context);
    // Each block is checked as a read is.
    for (size_t i = 0; i < count; ++i)
        CheckOwnedBlock(addresses[i], size, context);
    FDiskMgr->GetZanFile()->ReadBlocks(FTableID, addresses, count, size, FAccessFlags, visit);
}

void TDiskIOInterface::WriteBlockHeader(uint32_t address, uint32_t size, const void* data) {
    WriteBlock(address, size, data);
}

void TDiskIOInterface::ReadBlockHeader(uint32_t address, uint32_t size, void* buffer) {
    ReadBlock(address, size, buffer);
}

void TDiskIOInterface::ListBlocks(std::vector<uint32_t>& list) {
    CheckOpen("TDiskIOInterface.ListBlocks");
    FDiskMgr->ListAllocatedFixedBlocks(FBlockSize, FTableID, FUsage, list);
}

void TDiskIOInterface::NotifyPageChange(uint32_t owner) {
    FCheckedFirstEmpty = 0; // another writer may have changed the runs
    FOwnedPages.clear();
    if (FDiskMgr != nullptr && FDiskMgr->IsOpen()) {
        // The owner's pages may have gone to other stores too (this one is the headers').
        FDiskMgr->GetZanFile()->OwnershipMayChange();
        FDiskMgr->GetZanFile()->GetPageCache().ClearOwnedPages(owner);
    }
}

uint32_t TDiskIOInterface::GetRollbackCount() const {
    return FDiskMgr != nullptr && FDiskMgr->IsOpen() ? FDiskMgr->GetZanFile()->GetRollbackCount()
                                                     : 0;
}

// ---------------------------------------------------------------------------------------------
// TBlobInterface

TDiskMgr* DiskMgrOf(TBaseIOInterface* io) {
    auto* disk = dynamic_cast<TDiskIOInterface*>(io);
    return disk != nullptr ? disk->GetDiskMgr() : nullptr;
}

void TBlobInterface::Open() {
    if (FIOInterface == nullptr)
        ZanDatabaseError(8581, "TBlobInterface.Open",
                         "Unable to create blob interface - IOInterface is null");
    if (FBlockSize == 0)
        ZanDatabaseError(8581, "TBlobInterface.Open",
                         "Unable to create blob interface - Block size is 0");
    if (FBlockSize <= 8)
        ZanDatabaseError(8581, "TBlobInterface.Open",
                         "Unable to create blob interface - Block size is too small");
    FBuffer.assign(FBlockSize, 0);
}

void TBlobInterface::Close() {
    FBuffer.clear();
}

std::vector<uint8_t> TBlobInterface::ReadAll(TStream& stream) {
    int64_t size = stream.GetSize();
    if (size > int64_t(UINT32_MAX) - 8)
        ZanDatabaseError(9482, "TBlobInterface.InsertBlob", "Blob size");
    std::vector<uint8_t> data(static_cast<size_t>(size));
    stream.SetPosition(0);
    if (size > 0) stream.ReadBuffer(data.data(), static_cast<int32_t>(size));
    // The blob's bytes are stored as they are: the compression mode is kept, never applied.
    return data;
}

uint32_t TBlobInterface::WriteNewBlocks(const uint8_t* data, uint32_t size, uint32_t lastLink) {
    if (FBuffer.size() != FBlockSize)
        ZanDatabaseError(8576, "TBlobInterface.WriteNewBlocks", "Blob interface is not open");
    if (size == 0) return 0;
    const uint32_t payload = Payload();
    uint32_t pieces = (size + payload - 1) / payload;
    uint32_t link = lastLink;
    for (uint32_t i = pieces; i-- > 0;) {
        uint32_t start = i * payload;
        uint32_t count = std::min(payload, size - start);
        std::fill(FBuffer.begin(), FBuffer.end(), 0);
        PutLE32(FBuffer.data(), link);
        PutLE32(FBuffer.data() + 4, count);
        std::memcpy(FBuffer.data() + 8, data + start, count);
        link = FIOInterface->AllocateNewAddress(FBlockSize, FBuffer.data());
    }
    return link;
}

uint32_t TBlobInterface::InsertBlob(TStream& stream) {
    TDiskWriteScope scope(DiskMgrOf(FIOInterface));
    std::vector<uint8_t> data = ReadAll(stream);
    return WriteNewBlocks(data.data(), static_cast<uint32_t>(data.size()), 0);
}

uint64_t TBlobInterface::WalkChain(uint32_t head, uint32_t maxLength,
                                   std::vector<uint32_t>* addresses, std::vector<uint32_t>* counts,
                                   TStream* stream) {
    if (FBuffer.size() != FBlockSize)
        ZanDatabaseError(8576, "TBlobInterface.ReadBlob", "Blob interface is not open");
    const uint32_t payload = Payload();
    // The blocks seen: the first few in a list on the stack (most chains are short), the
    // rest in a set.
    constexpr size_t C_LISTED = 16;
    std::array<uint32_t, C_LISTED> listed{};
    size_t listedCount = 0;
    std::unordered_set<uint32_t> seen;
    const auto firstVisit = [&](uint32_t address) {
        if (std::find(listed.begin(), listed.begin() + listedCount, address) !=
            listed.begin() + listedCount)
            return false;
        if (listedCount < C_LISTED) {
            listed[listedCount++] = address;
            return true;
        }
        return seen.insert(address).second;
    };
    uint64_t total = 0;
    for (uint32_t address = head; address != 0;) {
        if (!firstVisit(address))
            ZanDatabaseErrorFmt(8963, "TBlobInterface.ReadBlob", "Blob chain loops at %d",
                                {int64_t(address)});
        FIOInterface->ReadBlock(address, FBlockSize, FBuffer.data());
        uint32_t link = GetLE32(FBuffer.data());
        uint32_t count = GetLE32(FBuffer.data() + 4);
        if (count > payload || (link != 0 && count != payload) || (link == 0 && count == 0))
            ZanDatabaseErrorFmt(8963, "TBlobInterface.ReadBlob",
                                "Blob block at %d holds an invalid count %d",
                                {int64_t(address), int64_t(count)});
        total += count;
        if (total > maxLength)
            ZanDatabaseErrorFmt(8963, "TBlobInterface.ReadBlob",
                                "Blob chain longer than its stored length %d",
                                {int64_t(maxLength)});
        if (stream != nullptr) stream->WriteBuffer(FBuffer.data() + 8, static_cast<int32_t>(count));
        if (addresses != nullptr) addresses->push_back(address);
        if (counts != nullptr) counts->push_back(count);
        address = link;
    }
    return total;
}

uint32_t TBlobInterface::ReadBlob(uint32_t head, TStream& stream, uint32_t maxLength) {
    return static_cast<uint32_t>(WalkChain(head, maxLength, nullptr, nullptr, &stream));
}

std::vector<uint32_t> TBlobInterface::ChainOfLength(uint32_t head, uint32_t length) {
    std::vector<uint32_t> addresses;
    const uint64_t total = WalkChain(head, length, &addresses, nullptr, nullptr);
    if (length != UINT32_MAX && total != length)
        ZanDatabaseErrorFmt(8963, "TBlobInterface.ReadBlob",
                            "Blob chain at %d holds %d bytes, its reference %d",
                            {int64_t(head), int64_t(total), int64_t(length)});
    return addresses;
}

void TBlobInterface::DeleteBlob(uint32_t head, uint32_t oldLength) {
    TDiskWriteScope scope(DiskMgrOf(FIOInterface));
    const std::vector<uint32_t> addresses = ChainOfLength(head, oldLength);
    for (uint32_t a : addresses)
        FIOInterface->ReleaseBlock(a, FBlockSize);
}

uint32_t TBlobInterface::EditBlob(uint32_t head, uint32_t oldLength, TStream& stream) {
    TDiskWriteScope scope(DiskMgrOf(FIOInterface));
    std::vector<uint8_t> data = ReadAll(stream);
    const auto size = static_cast<uint32_t>(data.size());
    if (head == 0) return WriteNewBlocks(data.data(), size, 0);
    const std::vector<uint32_t> old = ChainOfLength(head, oldLength);
    if (size == 0) {
        for (uint32_t a : old)
            FIOInterface->ReleaseBlock(a, FBlockSize);
        return 0;
    }
    const uint32_t payload = Payload();
    const size_t pieces = (size + payload - 1) / payload;
    const size_t inPlace = std::min(pieces, old.size());
    // The part beyond the old chain is written first so the old last block can link to it.
    uint32_t tail = 0;
    if (pieces > old.size()) {
        uint32_t start = static_cast<uint32_t>(old.size()) * payload;
        tail = WriteNewBlocks(data.data() + start, size - start, 0);
    }
    for (size_t i = 0; i < inPlace; ++i) {
        uint32_t start = static_cast<uint32_t>(i) * payload;
        uint32_t count = std::min(payload, size - start);
        uint32_t link = i + 1 < inPlace ? old[i + 1] : tail;
        std::fill(FBuffer.begin(), FBuffer.end(), 0);
        PutLE32(FBuffer.data(), link);
        PutLE32(FBuffer.data() + 4, count);
        std::memcpy(FBuffer.data() + 8, data.data() + start, count);
        FIOInterface->WriteBlock(old[i], FBlockSize, FBuffer.data());
    }
    for (size_t i = inPlace; i < old.size(); ++i)
        FIOInterface->ReleaseBlock(old[i], FBlockSize);
    return head;
}

} // namespace zan
