// Index definitions, the open indexes of a table (one B-tree each, roots and depths kept in the
// table header) and the in-memory temporary sort.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/zanBTreeUnit.h"
#include "engine/storage/zanInterfaceUnit.h"
#include "host/rtl/ComponentText.h"

namespace zan {

class TTableHeader;
class TIndexManager;

// Keys above this size are refused (9602 "Key size too large").
inline constexpr int32_t C_MAXKEYSIZE = 500;

// A stored index definition.
class TInternalIndexDef : public TCollectionItem {
public:
    ZAN_CLASS(TInternalIndexDef)
    ZAN_PROPERTIES(TInternalIndexDef)
    void Assign(const TCollectionItem& source) override;

    int32_t GetIndexSequence() const { return FIndexSequence; }
    void SetIndexSequence(int32_t v) { FIndexSequence = v; }
    std::string GetIndexName() const { return FIndexName; }
    void SetIndexName(const std::string& v) { FIndexName = v; }
    bool GetUnique() const { return FUnique; }
    void SetUnique(bool v) { FUnique = v; }
    bool GetPrimary() const { return FPrimary; }
    void SetPrimary(bool v) { FPrimary = v; }
    bool GetHidden() const { return FHidden; }
    void SetHidden(bool v) { FHidden = v; }
    bool GetMaintained() const { return FMaintained; }
    void SetMaintained(bool v) { FMaintained = v; }
    bool GetMemory() const { return FMemory; }
    void SetMemory(bool v) { FMemory = v; }
    int32_t GetMaximumKeySize() const { return FMaximumKeySize; }
    void SetMaximumKeySize(int32_t v) { FMaximumKeySize = v; }
    int32_t GetKeyDataOffset() const { return FKeyDataOffset; }
    void SetKeyDataOffset(int32_t v) { FKeyDataOffset = v; }
    uint32_t GetIndexPageSize() const { return FIndexPageSize; }
    void SetIndexPageSize(uint32_t v) { FIndexPageSize = v; }
    TIndexKeyType GetIndexKeyType() const { return FIndexKeyType; }
    void SetIndexKeyType(TIndexKeyType v) { FIndexKeyType = v; }

protected:
    int32_t FIndexSequence = 0;
    std::string FIndexName;
    bool FUnique = false;
    bool FPrimary = false;
    bool FHidden = false;
    bool FMaintained = false;
    bool FMemory = false;
    int32_t FMaximumKeySize = 0;
    int32_t FKeyDataOffset = 1;
    uint32_t FIndexPageSize = 4096;
    TIndexKeyType FIndexKeyType = ikFixed;
};

class TInternalIndexDefs : public TCollectionT<TInternalIndexDef> {
public:
    ZAN_CLASS(TInternalIndexDefs)
    // The first definition of that name (ignoring case), or nullptr.
    TInternalIndexDef* FindIndexDef(const std::string& name) const;
};

// Size rules of index keys. A key field stores its size, a string 2 + its declared size.
int32_t KeyFieldStorageSize(const TKeyFieldItem& field);
// 10 + the storage sizes of the key fields of the index (without the null bitmap).
int32_t CalculateMaximumKeySize(const TKeyFields& fields, const std::string& indexName);
// ((m + 16) div 2048 + 1) x 2048, at least 4096.
uint32_t CalculateIndexPageSize(int32_t maximumKeySize);
// Completes a definition from its key fields (those of keyFields named for the index): a
// non-unique, non-primary index gets the hidden record-number field last; then the key data
// offset, the maximum key size (9602 "Key size too large" above 500 bytes) and the page size.
void PrepareIndexDef(TInternalIndexDef& def, TKeyFields& keyFields);

// ---------------------------------------------------------------------------------------------

// One open index of a table.
class TIndexItem : public TInternalIndexDef {
public:
    TIndexItem();
    ~TIndexItem() override;
    ZAN_CLASS(TIndexItem)
    void Assign(const TCollectionItem& source) override;

    TKeyFields& GetKeyFields() { return *FKeyFields; }
    const TKeyFields& GetKeyFields() const { return *FKeyFields; }
    uint32_t GetRoot() const { return FRoot; }
    void SetRoot(uint32_t v) { FRoot = v; }
    uint32_t GetDepth() const { return FDepth; }
    void SetDepth(uint32_t v) { FDepth = v; }
    TBTree& GetTree() { return *FTree; }
    TIndexManager* GetManager() const;

    void Open();
    void Close();
    bool IsOpen() const { return FTree->IsOpen(); }
    void CreateIndex();
    void EmptyIndex();
    void DeleteIndex();

    void CreateKeyBuffer(const uint8_t* recBuf, const TKeyMarkers* markers = nullptr);
    void CreateTempKeyBuffer(const uint8_t* recBuf);
    void CopyKeyBuffer(const uint8_t* key, const TKeyMarkers* markers = nullptr);
    int32_t CompareKeyBuffers(int32_t fieldCount, const TKeyMarkers* markersA,
                              const TKeyMarkers* markersB, const uint8_t* a, const uint8_t* b);
    int32_t CompareKeyToCurrentKey(const TKeyMarkers* markers, const uint8_t* key);
    const uint8_t* GetCurrentKeyBuf() { return FTree->GetCurrentKeyBuf(); }
    uint32_t GetRecordAddress() { return FTree->GetRecAddr(); }
    uint32_t GetRecordCount() { return FTree->GetRecordCount(true); }
    uint32_t GetRecordNo() { return FTree->GetRecordNo(); }
    uint32_t SetRecordNo(uint32_t recNo) { return FTree->GetAddrOfRecNo(recNo); }
    int32_t FullIndexSearch(TIndexSearchType type) { return FTree->IndexSearch(type, nullptr); }
    // A search limited by the modifier to the leading key fields (the same on either key
    // type).
    int32_t PartialIndexSearch(TIndexSearchType type, const TSearchModifier* modifier);
    // The search key (built by CreateKeyBuffer) gets the record address and goes into the tree
    // at its place in key order; -1 when an equal key is there.
    int32_t InsertKey(uint32_t address);
    // Removes the entry at the cursor.
    int32_t DeleteKey() { return FTree->DeleteKey(); }
    bool NextKey() { return FTree->NextRecord(); }
    bool PriorKey() { return FTree->PriorRecord(); }
    // n steps forward (n > 0) or back; true when all of them were made.
    bool MoveBy(int32_t n);
    void ListMatchingRecords(const uint8_t* key, int32_t fieldCount, uint32_t stopAddress,
                             TIndexSearchType type, bool reverse, TCompoundList& list, bool& flag) {
        FTree->ListMatchingRecords(key, fieldCount, stopAddress, type, reverse, list, flag);
    }
    void ListReadAheadRecords(TReadAheadDirection direction, int32_t count,
                              TReadAheadBuffer& buffer) {
        FTree->ListReadAheadRecords(direction, count, buffer);
    }
    void FillHashTable(int32_t fieldNo, TZanBaseHash& hash) { FTree->FillHashTable(fieldNo, hash); }
    void InvalidateInternalBuffers() { FTree->InvalidateInternalBuffers(); }
    uint8_t* GetTempKeyBuffer() { return FTempKey.data(); }
    void DumpInternalStatus(TStrings& lines);
    void DumpInternalStructure(TStrings& lines);

private:
    // Hands the definition to the tree and opens it (root and depth as they are).
    void PrepareTree();

    std::unique_ptr<TKeyFields> FKeyFields;
    uint32_t FRoot = 0;
    uint32_t FDepth = 0;
    std::unique_ptr<TBTree> FTree;
    std::vector<uint8_t> FTempKey;
};

// The open indexes of one table.
class TIndexManager : public TCollectionT<TIndexItem> {
public:
    ZAN_CLASS(TIndexManager)
    void Assign(const TCollection& source) override;

    void SetIOInterface(TBaseIOInterface* io) { FIOInterface = io; }
    TBaseIOInterface* GetIOInterface() const { return FIOInterface; }
    void SetTableHeader(TTableHeader* header) { FTableHeader = header; }
    TTableHeader* GetTableHeader() const { return FTableHeader; }
    void SetDBStringCompareFunction(TZanCompareFunc compare) { FCompare = compare; }
    TZanCompareFunc GetDBStringCompareFunction() const { return FCompare; }
    void SetCurrentIndexName(const std::string& name) { FCurrentIndexName = name; }
    std::string GetCurrentIndexName() const { return FCurrentIndexName; }
    void SetDebugStrings(TStrings* lines) { FDebugStrings = lines; }
    TStrings* GetDebugStrings() const { return FDebugStrings; }
    int32_t GetVisibleIndexCount() const { return FVisibleCount; }

    void Open();
    void Close();
    void ReadIndexHeaders(bool invalidate);
    void WriteIndexHeaders();
    void CreateIndexes();
    void AddIndex(const TInternalIndexDef& def, const TKeyFields& keyFields);
    void AssignKeyFields(const TKeyFields& keyFields);
    void DropIndex(const std::string& name);
    void EmptyIndex(const std::string& name);
    TIndexItem* FindIndex(const std::string& name) const;
    TIndexItem* CurrentIndex() const;
    TIndexItem* FindIndexForFields(const std::vector<std::string>& fields,
                                   bool caseSensitiveOnly) const;
    void InvalidateInternalBuffers();
    void DumpInternalStatus(TStrings& lines);

private:
    void CountVisible();

    TBaseIOInterface* FIOInterface = nullptr;
    TTableHeader* FTableHeader = nullptr;
    std::string FCurrentIndexName;
    TZanCompareFunc FCompare = nullptr;
    TStrings* FDebugStrings = nullptr;
    int32_t FVisibleCount = 0;
    bool FOpen = false;
};

// ---------------------------------------------------------------------------------------------

// Keys of a set of records sorted in memory, searched by binary search.
class TTemporarySort : public TCollectionItem {
public:
    TTemporarySort();
    ~TTemporarySort() override;
    ZAN_CLASS(TTemporarySort)

    TKeyFields& GetKeyFields() { return *FKeyFields; }
    void SetDBStringCompare(TZanCompareFunc compare) { FCompare = compare; }

    void Open(int32_t capacity);
    void Close();
    void AppendKey(uint32_t address, const uint8_t* recBuf);
    void Sort();
    // The address of the entry equal to the key of recBuf, else 0 (sorts first when needed).
    uint32_t FindKey(const uint8_t* recBuf);
    // The address of the first entry not less than the key of recBuf, else 0.
    uint32_t FindNearest(const uint8_t* recBuf);
    int32_t CompareKeys(const uint8_t* a, const uint8_t* b) const;

    int32_t GetCount() const { return FCount; }
    int32_t GetCapacity() const { return FCapacity; }
    int32_t GetEntrySize() const { return FEntrySize; }
    bool GetSorted() const { return FSorted; }
    const uint8_t* Entry(int32_t i) const {
        return FEntries.data() + static_cast<size_t>(i) * static_cast<size_t>(FEntrySize);
    }

private:
    uint8_t* EntryAt(int32_t i) {
        return FEntries.data() + static_cast<size_t>(i) * static_cast<size_t>(FEntrySize);
    }
    void QuickSort(int32_t lo, int32_t hi);
    void Swap(int32_t i, int32_t j);
    // The index of the first entry not less than the work key.
    int32_t LowerBound();

    std::unique_ptr<TKeyFields> FKeyFields;
    TZanCompareFunc FCompare = nullptr;
    TBTree FKeys; // key building and comparison
    int32_t FEntrySize = 0;
    int32_t FCapacity = 0;
    int32_t FCount = 0;
    std::vector<uint8_t> FEntries;
    std::vector<uint8_t> FWorkKey;
    bool FSorted = false;
};

class TTemporarySortManager : public TCollectionT<TTemporarySort> {
public:
    ZAN_CLASS(TTemporarySortManager)
    void Close();
};

} // namespace zan
