// Block stores: fixed-size blocks of a table's index pages, records or blob pieces, kept in
// memory (in-memory tables) or in pages of the database file; and blob chains over any store.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/storage/zanCache.h"
#include "host/rtl/Classes.h"
#include "host/rtl/Streams.h"
#include "host/rtl/StringList.h"

namespace zan {

class TDiskMgr;

// Little-endian access to stored integers.
inline uint32_t GetLE32(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
inline uint16_t GetLE16(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}
inline void PutLE32(void* p, uint32_t v) {
    auto* b = static_cast<uint8_t*>(p);
    b[0] = static_cast<uint8_t>(v);
    b[1] = static_cast<uint8_t>(v >> 8);
    b[2] = static_cast<uint8_t>(v >> 16);
    b[3] = static_cast<uint8_t>(v >> 24);
}
inline void PutLE16(void* p, uint16_t v) {
    auto* b = static_cast<uint8_t*>(p);
    b[0] = static_cast<uint8_t>(v);
    b[1] = static_cast<uint8_t>(v >> 8);
}

enum TIOMode : uint8_t { iomNone, iomMemory, iomDiskFixedSize, iomDiskVariableSize };

// Compression of blob data. The mode is stored with definitions; data is never compressed.
enum TDataCompressionMode : uint8_t { dcNone, dcZLib, dcCustom, dcUnknown };

// What a block store holds; the owner tag in the page map is table id x 16 + usage.
inline constexpr uint16_t C_USAGE_HEADERS = 1;
inline constexpr uint16_t C_USAGE_INDEX = 8;
inline constexpr uint16_t C_USAGE_RECORDS = 9;
inline constexpr uint16_t C_USAGE_BLOBS = 10;

// Offsets in the global header of the shared free chains.
inline constexpr uint32_t C_GLOBAL_FE_USER_HEADERS = 28;
inline constexpr uint32_t C_GLOBAL_FE_SYSTEM_HEADERS = 32;
inline constexpr uint32_t C_GLOBAL_FE_INDEXES = 36;

// The abstract block store. The virtual operations below keep their order.
class TBaseIOInterface : public TObject {
public:
    TBaseIOInterface() = default;
    ~TBaseIOInterface() override = default;
    TBaseIOInterface(const TBaseIOInterface&) = delete;
    TBaseIOInterface& operator=(const TBaseIOInterface&) = delete;
    ZAN_CLASS(TBaseIOInterface)

    virtual void Open() {}
    virtual void Close() {}
    virtual void Empty(bool /*flag*/) {}
    // A new block of at least requestSize bytes holding data (requestSize bytes; zeros when null).
    virtual uint32_t AllocateNewAddress(uint32_t requestSize, const void* data);
    virtual void ReleaseBlock(uint32_t address, uint32_t size);
    virtual void WriteBlock(uint32_t /*address*/, uint32_t /*size*/, const void* /*data*/) {}
    virtual void WriteBlockByRef(uint32_t /*address*/, uint32_t /*size*/, const void* /*data*/) {}
    virtual void ReadBlock(uint32_t /*address*/, uint32_t /*size*/, void* /*buffer*/) {}
    // A pointer to the block's bytes, valid until the store changes.
    virtual uint8_t* ReadBlockByRef(uint32_t /*address*/, uint32_t /*size*/) { return nullptr; }
    virtual void WriteBlockHeader(uint32_t /*address*/, uint32_t /*size*/, const void* /*data*/) {}
    virtual void ReadBlockHeader(uint32_t /*address*/, uint32_t /*size*/, void* /*buffer*/) {}
    virtual void ShowBlocks(TStrings& /*lines*/) {}
    virtual void ListBlocks(std::vector<uint32_t>& /*list*/) {}
    virtual bool CheckPageValid(uint32_t /*address*/) { return false; }
    virtual void ShowStatus(TStrings& /*lines*/) {}
    virtual uint32_t GetNextMemoryBlockAddress(uint32_t /*address*/) { return 0; }
    virtual bool CheckBlockAddressValid(uint32_t /*address*/) { return false; }
    virtual void NotifyPageChange(uint32_t /*owner*/) {}
    // How many transactions the store's file has rolled back: a change counter remembered
    // before a rollback may be one the file never got, so it proves nothing afterwards.
    virtual uint32_t GetRollbackCount() const { return 0; }
    // The block read in place and pinned in the page cache, or an empty pin where the store
    // has no such cache (the caller then reads a copy).
    virtual TCachePin PinBlock(uint32_t /*address*/, uint32_t /*size*/) { return {}; }
    // Reads count blocks of size bytes, one at each address, handing each to visit in that
    // order; the bytes are valid only during the visit. A store with a page cache looks the
    // blocks' pages up together and reads them in place; here each is read into a copy.
    virtual void ReadBlocks(const uint32_t* addresses, size_t count, uint32_t size,
                            const TBlockVisit& visit);

    TIOMode GetIOMode() const { return FIOMode; }
    void SetIOMode(TIOMode mode) { FIOMode = mode; }
    uint32_t GetBlockSize() const { return FBlockSize; }
    void SetBlockSize(uint32_t size) { FBlockSize = size; }
    uint16_t GetTableID() const { return FTableID; }
    void SetTableID(uint16_t id) { FTableID = id; }
    uint16_t GetUsage() const { return FUsage; }
    void SetUsage(uint16_t usage) { FUsage = usage; }
    // Table id x 16 + usage, set by Open: the value the page map records.
    uint16_t GetOwnerTag() const { return FOwnerTag; }
    TDiskMgr* GetDiskMgr() const { return FDiskMgr; }
    void SetDiskMgr(TDiskMgr* mgr) { FDiskMgr = mgr; }
    uint32_t GetFirstEmpty() const { return FFirstEmpty; }
    void SetFirstEmpty(uint32_t address) { FFirstEmpty = address; }
    bool GetFirstEmptyValid() const { return FFirstEmptyValid; }
    void SetFirstEmptyValid(bool valid) { FFirstEmptyValid = valid; }
    uint32_t GetGlobalFirstEmptyOffset() const { return FGlobalFirstEmptyOffset; }
    void SetGlobalFirstEmptyOffset(uint32_t offset) { FGlobalFirstEmptyOffset = offset; }
    uint8_t GetAccessFlags() const { return FAccessFlags; }
    void SetAccessFlags(uint8_t flags) { FAccessFlags = flags; }
    TStrings* GetDebugStrings() const { return FDebugStrings; }
    void SetDebugStrings(TStrings* lines) { FDebugStrings = lines; }

protected:
    void SetOwnerTagFromIds() { FOwnerTag = static_cast<uint16_t>(FTableID * 16 + FUsage); }

    uint32_t FBlockSize = 0;
    TIOMode FIOMode = iomNone;
    TStrings* FDebugStrings = nullptr;
    uint16_t FUsage = 0;
    uint16_t FTableID = 0;
    uint16_t FOwnerTag = 0;
    uint32_t FFirstEmpty = 0;
    TDiskMgr* FDiskMgr = nullptr;
    uint32_t FGlobalFirstEmptyOffset = 0;
    bool FFirstEmptyValid = false;
    uint8_t FAccessFlags = 1;
};

// Blocks kept in memory. Addresses are 32-bit handles: non-zero, handed out from 16 in steps of
// 16 and not reused until the counter wraps (then live handles are skipped), so a stale address
// is recognised as invalid. Blocks are kept in allocation order.
class TMemoryIOInterface : public TBaseIOInterface {
public:
    TMemoryIOInterface() { FIOMode = iomMemory; }
    ZAN_CLASS(TMemoryIOInterface)

    void Open() override { SetOwnerTagFromIds(); }
    void Empty(bool flag) override;
    uint32_t AllocateNewAddress(uint32_t requestSize, const void* data) override;
    void ReleaseBlock(uint32_t address, uint32_t size) override;
    void WriteBlock(uint32_t address, uint32_t size, const void* data) override;
    void ReadBlock(uint32_t address, uint32_t size, void* buffer) override;
    uint8_t* ReadBlockByRef(uint32_t address, uint32_t size) override;
    void WriteBlockHeader(uint32_t address, uint32_t size, const void* data) override;
    void ReadBlockHeader(uint32_t address, uint32_t size, void* buffer) override;
    void ListBlocks(std::vector<uint32_t>& list) override;
    bool CheckPageValid(uint32_t address) override { return FBlocks.count(address) != 0; }
    uint32_t GetNextMemoryBlockAddress(uint32_t address) override;
    bool CheckBlockAddressValid(uint32_t address) override { return FBlocks.count(address) != 0; }

    size_t BlockCount() const { return FBlocks.size(); }
    // The next handle the store will try (tests set it near the wrap).
    void SetNextHandle(uint32_t handle) { FNextHandle = handle; }

private:
    struct TMemBlock {
        std::vector<uint8_t> Data;
        uint32_t Prior = 0;
        uint32_t Next = 0;
    };
    TMemBlock* Find(uint32_t address);
    void CopyIn(uint32_t address, uint32_t size, const void* data, const char* nilText);
    void CopyOut(uint32_t address, uint32_t size, void* buffer, const char* nilText);
    uint32_t NewHandle();

    std::unordered_map<uint32_t, TMemBlock> FBlocks;
    uint32_t FFirst = 0;
    uint32_t FLast = 0;
    uint32_t FNextHandle = 16;
};

// Blocks in pages of the database file. Free blocks form runs: the first block of a run holds
// zeros in bytes 0-7, the next run's address at 8 and the run's block count at 12. The head of
// the runs is the table's (kept by its table header) or a field of the global header.
class TDiskIOInterface : public TBaseIOInterface {
public:
    TDiskIOInterface() { FIOMode = iomDiskFixedSize; }
    ZAN_CLASS(TDiskIOInterface)

    void Open() override;
    void Close() override;
    void Empty(bool flag) override;
    uint32_t AllocateNewAddress(uint32_t requestSize, const void* data) override;
    void ReleaseBlock(uint32_t address, uint32_t size) override;
    void WriteBlock(uint32_t address, uint32_t size, const void* data) override;
    void WriteBlockByRef(uint32_t address, uint32_t size, const void* data) override;
    void ReadBlock(uint32_t address, uint32_t size, void* buffer) override;
    uint8_t* ReadBlockByRef(uint32_t address, uint32_t size) override;
    void WriteBlockHeader(uint32_t address, uint32_t size, const void* data) override;
    void ReadBlockHeader(uint32_t address, uint32_t size, void* buffer) override;
    void ListBlocks(std::vector<uint32_t>& list) override;
    void NotifyPageChange(uint32_t owner) override;
    uint32_t GetRollbackCount() const override;
    TCachePin PinBlock(uint32_t address, uint32_t size) override;
    void ReadBlocks(const uint32_t* addresses, size_t count, uint32_t size,
                    const TBlockVisit& visit) override;

private:
    // Loads the chain head (global chains under the header write lock); answers whether the
    // lock was taken here.
    bool EnterChain(const char* context);
    // Stores the head back (global chains) and gives back a lock taken by EnterChain.
    void LeaveChain(bool taken, const char* context);
    // Checks that the blocks [address, address + bytes) lie in pages of this store.
    void CheckOwnedStretch(uint32_t address, uint64_t bytes, const char* context);
    // CheckOwnedStretch for a block read or written, skipped while it stays inside the pages
    // last found to be this store's.
    void CheckOwnedBlock(uint32_t address, uint32_t size, const char* context);
    // Reads and checks the free-run header at address; answers next and count.
    void ReadRunHeader(uint32_t address, uint32_t& next, uint32_t& count, const char* context);
    void WriteRunHeader(uint32_t address, uint32_t next, uint32_t count);
    void CheckOpen(const char* context) const;

    std::vector<uint8_t> FWorkBuffer;
    // A head already checked against the map (0 = none): runs taken apart stay checked.
    uint32_t FCheckedFirstEmpty = 0;
    uint64_t FCheckedRunEnd = 0;
    // Bit n set: page n was found to be this store's. Bits go when a page may change hands
    // (released whole pages); all go on open, empty, and when the file's ownership epoch
    // moved (pages released by any store, a rollback, another writer's change seen).
    std::vector<uint64_t> FOwnedPages;
    uint32_t FOwnedEpoch = 0;
    bool PagesOwned(uint32_t first, uint32_t last) const;
    // CheckOwnedStretch through the bitmap of this store's pages (stores of global chains
    // always read the map).
    void CheckOwnedRun(uint32_t address, uint64_t bytes, const char* context);
    // CheckOwnedStretch unless the pages of [address, address + bytes) were found this store's
    // since the ownership epoch last moved; remembers them when checked.
    void CheckOwnedPages(uint32_t address, uint64_t bytes, const char* context);
    // Forgets the owned pages and the checked run when the file's ownership epoch moved.
    void ForgetOwnedIfEpochMoved();
    void SetPagesOwned(uint32_t first, uint32_t last, bool owned);
};

// A byte stream stored as a chain of blocks: link (uint32, 0 = last), payload count (uint32),
// payload. Every block but the last is full.
class TBlobInterface : public TObject {
public:
    ZAN_CLASS(TBlobInterface)

    void Open();
    void Close();
    // The head of a new chain holding the whole stream; 0 for an empty stream.
    uint32_t InsertBlob(TStream& stream);
    // Appends the chain's bytes to the stream and answers their count. A chain longer than
    // maxLength, with a cycle, or with malformed blocks raises 8963.
    uint32_t ReadBlob(uint32_t head, TStream& stream, uint32_t maxLength = UINT32_MAX);
    // Rewrites the chain with the whole stream: in place, extended or cut; answers the head
    // (0 when the stream is empty and the chain was deleted). The chain must hold exactly
    // oldLength bytes (8963 otherwise, before anything is written).
    uint32_t EditBlob(uint32_t head, uint32_t oldLength, TStream& stream);
    // Releases every block of the chain. The chain is checked before anything is released: it
    // must hold exactly oldLength bytes unless that is UINT32_MAX (8963 otherwise).
    void DeleteBlob(uint32_t head, uint32_t oldLength = UINT32_MAX);

    uint32_t GetBlobBlockSize() const { return FBlockSize; }
    void SetBlobBlockSize(uint32_t size) { FBlockSize = size; }
    TBaseIOInterface* GetIOInterface() const { return FIOInterface; }
    void SetIOInterface(TBaseIOInterface* io) { FIOInterface = io; }
    TDataCompressionMode GetCompressionMode() const { return FCompressionMode; }
    void SetCompressionMode(TDataCompressionMode mode) { FCompressionMode = mode; }

private:
    uint32_t Payload() const { return FBlockSize - 8; }
    uint32_t WriteNewBlocks(const uint8_t* data, uint32_t size, uint32_t lastLink);
    // Reads and checks the chain: addresses in order; lengths are their payload counts (each
    // list only when given); answers the payload bytes in all.
    uint64_t WalkChain(uint32_t head, uint32_t maxLength, std::vector<uint32_t>* addresses,
                       std::vector<uint32_t>* counts, TStream* stream);
    static std::vector<uint8_t> ReadAll(TStream& stream);
    // The chain's blocks when it holds exactly length bytes (any count for UINT32_MAX); a
    // chain of another length is not the one its reference names (its blocks were released
    // and taken by another chain, or the reference was copied): 8963.
    std::vector<uint32_t> ChainOfLength(uint32_t head, uint32_t length);

    uint32_t FBlockSize = 0;
    TBaseIOInterface* FIOInterface = nullptr;
    std::vector<uint8_t> FBuffer;
    TDataCompressionMode FCompressionMode = dcNone;
};

// The disk manager under a block store on disk; nullptr for a memory store. A change of several
// writes through the store opens its write scope on it.
TDiskMgr* DiskMgrOf(TBaseIOInterface* io);

} // namespace zan
