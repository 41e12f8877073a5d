#include "engine/storage/zanInterfaceUnit.h"

#include <algorithm>
#include <unordered_set>

#include "engine/storage/zanConsts.h"

// ---------------------------------------------------------------------------------------------
// TBaseIOInterface

uint32_t TBaseIOInterface::AllocateNewAddress(uint32_t, const void*) {
    ZanDatabaseError(10065, "TBaseIOInterface.AllocateNewAddress");
}

void TBaseIOInterface::ReleaseBlock(uint32_t, uint32_t) {
    ZanDatabaseError(10065, "TBaseIOInterface.ReleaseBlock");
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
// TBlobInterface

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
    std::vector<uint8_t> data = ReadAll(stream);
    return WriteNewBlocks(data.data(), static_cast<uint32_t>(data.size()), 0);
}

void TBlobInterface::WalkChain(uint32_t head, uint32_t maxLength, std::vector<uint32_t>& addresses,
                               std::vector<uint32_t>* counts, TStream* stream) {
    if (FBuffer.size() != FBlockSize)
        ZanDatabaseError(8576, "TBlobInterface.ReadBlob", "Blob interface is not open");
    const uint32_t payload = Payload();
    std::unordered_set<uint32_t> seen;
    uint64_t total = 0;
    for (uint32_t address = head; address != 0;) {
        if (!seen.insert(address).second)
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
        addresses.push_back(address);
        if (counts != nullptr) counts->push_back(count);
        address = link;
    }
}

uint32_t TBlobInterface::ReadBlob(uint32_t head, TStream& stream, uint32_t maxLength) {
    std::vector<uint32_t> addresses, counts;
    WalkChain(head, maxLength, addresses, &counts, &stream);
    uint64_t total = 0;
    for (uint32_t c : counts)
        total += c;
    return static_cast<uint32_t>(total);
}

void TBlobInterface::DeleteBlob(uint32_t head, uint32_t oldLength) {
    std::vector<uint32_t> addresses;
    WalkChain(head, oldLength, addresses, nullptr, nullptr);
    for (uint32_t a : addresses)
        FIOInterface->ReleaseBlock(a, FBlockSize);
}

uint32_t TBlobInterface::EditBlob(uint32_t head, uint32_t oldLength, TStream& stream) {
    std::vector<uint8_t> data = ReadAll(stream);
    const auto size = static_cast<uint32_t>(data.size());
    if (head == 0) return WriteNewBlocks(data.data(), size, 0);
    std::vector<uint32_t> old;
    WalkChain(head, oldLength, old, nullptr, nullptr);
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
