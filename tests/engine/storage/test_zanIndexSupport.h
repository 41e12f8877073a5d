// Helpers shared by the index tests: an in-memory page store that counts its pages and reads,
// and builders for key fields and keys.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/storage/zanBTreeUnit.h"
#include "engine/storage/zanConsts.h"
#include "support/zanTestSupport.h"

namespace zan {

class TTestPageStore : public TIndexPageStore {
public:
    explicit TTestPageStore(uint32_t pageSize) : FPageSize(pageSize) {}
    uint32_t AllocatePage(const void* data) override {
        const uint32_t a = FNext;
        FNext += FPageSize;
        auto& p = FPages[a];
        p.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + FPageSize);
        return a;
    }
    void ReleasePage(uint32_t address) override {
        if (FPages.erase(address) != 1)
            ZanDatabaseError(8581, "TTestPageStore.ReleasePage", "block address not found");
    }
    void ReadPage(uint32_t address, void* buffer) override {
        ++Reads;
        auto it = FPages.find(address);
        if (it == FPages.end())
            ZanDatabaseError(8581, "TTestPageStore.ReadPage",
                             "Read page error - block address not found");
        std::memcpy(buffer, it->second.data(), FPageSize);
    }
    void WritePage(uint32_t address, const void* data) override {
        auto it = FPages.find(address);
        if (it == FPages.end())
            ZanDatabaseError(8581, "TTestPageStore.WritePage", "block address not found");
        std::memcpy(it->second.data(), data, FPageSize);
    }
    size_t PageCount() const { return FPages.size(); }
    uint8_t* Page(uint32_t address) { return FPages.at(address).data(); }
    std::vector<uint32_t> Addresses() const {
        std::vector<uint32_t> out;
        for (auto& [a, p] : FPages)
            out.push_back(a);
        return out;
    }
    int Reads = 0;

private:
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
