// Helpers shared by the index tests: an in-memory page store that counts its pages and reads,
// and builders for key fields and keys.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/zanBTreeUnit.h"
#include "engine/storage/zanCache.h"
#include "engine/storage/zanConsts.h"
#include "support/zanTestSupport.h"

namespace zan {

class TTestPageStore : public TIndexPageStore {
public:
    explicit TTestPageStore(uint32_t pageSize) : FPageSize(pageSize) {}
    // Pages go through a page cache of that many pages, and the tree reads them in place.
    void UseCache(int32_t pages) {
        FCache = std::make_unique<TCacheMgr>();
        FCache->SetReadIO([this](uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
            std::memcpy(buffer, FPages.at(address).data(), FPageSize);
            return false;
        });
        FCache->SetWriteIO([this](const uint8_t* buffer, uint32_t, uint32_t address, uint8_t) {
            std::memcpy(FPages.at(address).data(), buffer, FPageSize);
        });
        FCache->Open(pages, FPageSize);
    }
    TCacheMgr* Cache() const { return FCache.get(); }
    TCachePin PinPage(uint32_t address) override {
        if (!FCache) return {};
        Known(address, "TTestPageStore.PinPage");
        ++Reads;
        return FCache->PinPage(1, address, 0);
    }
    uint32_t AllocatePage(const void* data) override {
        const uint32_t a = FNext;
        FNext += FPageSize;
        auto& p = FPages[a];
        p.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + FPageSize);
        return a;
    }
    void ReleasePage(uint32_t address) override {
        if (FCache) FCache->RemovePage(address);
        if (FPages.erase(address) != 1)
            ZanDatabaseError(8581, "TTestPageStore.ReleasePage", "block address not found");
    }
    void ReadPage(uint32_t address, void* buffer) override {
        ++Reads;
        Known(address, "TTestPageStore.ReadPage");
        if (FCache)
            FCache->ReadCache(buffer, 1, FPageSize, address, 0);
        else
            std::memcpy(buffer, FPages[address].data(), FPageSize);
    }
    void WritePage(uint32_t address, const void* data) override {
        Known(address, "TTestPageStore.WritePage", "block address not found");
        if (FCache)
            FCache->WriteCache(data, 1, FPageSize, address, 0);
        else
            std::memcpy(FPages[address].data(), data, FPageSize);
    }
    // Only the part said to differ is stored, so a page image that differs elsewhere too
    // leaves the stored page wrong and the tree's checks fail.
    void WritePagePart(uint32_t address, const uint8_t* page, uint32_t offset,
                       uint32_t count) override {
        Known(address, "TTestPageStore.WritePagePart", "block address not found");
        ++PartWrites;
        if (FCache)
            FCache->WriteCache(page + offset, 1, count, address + offset, 0);
        else
            std::memcpy(FPages[address].data() + offset, page + offset, count);
    }
    int PartWrites = 0;
    size_t PageCount() const { return FPages.size(); }
    // The page as stored (behind the cache: written through, so current).
    uint8_t* Page(uint32_t address) { return FPages.at(address).data(); }
    std::vector<uint32_t> Addresses() const {
        std::vector<uint32_t> out;
        for (auto& [a, p] : FPages)
            out.push_back(a);
        return out;
    }
    int Reads = 0;

private:
    void Known(uint32_t address, const char* context,
               const char* text = "Read page error - block address not found") const {
        if (!FPages.count(address)) ZanDatabaseError(8581, context, text);
    }

    std::unique_ptr<TCacheMgr> FCache;
    uint32_t FPageSize;
    uint32_t FNext = 0x10000;
    std::map<uint32_t, std::vector<uint8_t>> FPages;
};

// Adds a key field to a list.
inline TKeyFieldItem* AddKeyField(TKeyFields& fields, TFieldType type, int32_t size,
                                  int32_t recOffset, int32_t nullOffset, int32_t markerOffset = 0,
                                  bool descending = false, bool caseInsensitive = false,
                                  bool hidden = false) {
    TKeyFieldItem* f = fields.Add();
    f->SetDataType(type);
    f->SetFieldSize(size);
    f->SetRecBufOffset(recOffset);
    f->SetNullFlagOffset(nullOffset);
    f->SetSizeMarkerOffset(markerOffset);
    f->SetDescending(descending);
    f->SetCaseInsensitive(caseInsensitive);
    f->SetHidden(hidden);
    f->SetKeyIndex(fields.Count() - 1);
    fields.SetDataOffset(fields.Count() / 8 + 1);
    return f;
}

// An entry of one or two ftInteger key fields (bitmap 1 byte), padded to len bytes.
inline std::vector<uint8_t> IntKey(int32_t len, int32_t value, uint32_t address, uint32_t count = 0,
                                   bool hasValue = true) {
    std::vector<uint8_t> k(static_cast<size_t>(len) + 1, 0);
    SetKeyLength(k.data(), static_cast<uint16_t>(len));
    SetKeyCount(k.data(), count);
    SetKeyAddress(k.data(), address);
    if (hasValue) {
        k[10] = 0x80;
        std::memcpy(k.data() + 11, &value, 4);
    }
    return k;
}

} // namespace zan
