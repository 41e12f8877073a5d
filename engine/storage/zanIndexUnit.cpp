#include "engine/storage/zanIndexUnit.h"

#include <algorithm>
#include <cstring>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanDataUnit.h"
#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {
constexpr int32_t C_INTERNALERROR = 8581;
constexpr int32_t C_INDEXNOTFOUND = 9997;

bool IsStringType(TFieldType type) {
    return type == ftString || type == ftWideString;
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Definitions and size rules

void TInternalIndexDef::Assign(const TCollectionItem& source) {
    auto* s = dynamic_cast<const TInternalIndexDef*>(&source);
    if (!s) {
        TCollectionItem::Assign(source);
        return;
    }
    FIndexSequence = s->FIndexSequence;
    FIndexName = s->FIndexName;
    FUnique = s->FUnique;
    FPrimary = s->FPrimary;
    FHidden = s->FHidden;
    FMaintained = s->FMaintained;
    FMemory = s->FMemory;
    FMaximumKeySize = s->FMaximumKeySize;
    FKeyDataOffset = s->FKeyDataOffset;
    FIndexPageSize = s->FIndexPageSize;
    FIndexKeyType = s->FIndexKeyType;
}

// The published properties in their stored order.
const TPropertyTable& TInternalIndexDef::Properties() {
    using T = TInternalIndexDef;
    static const TPropertyTable table =
        TPropertyTableOf<T>("TInternalIndexDef")
            .Integer("IndexSequence", &T::GetIndexSequence, &T::SetIndexSequence)
            .String("IndexName", &T::GetIndexName, &T::SetIndexName)
            .Boolean("Unique", &T::GetUnique, &T::SetUnique, false)
            .Boolean("Primary", &T::GetPrimary, &T::SetPrimary, false)
            .Boolean("Hidden", &T::GetHidden, &T::SetHidden, false)
            .Boolean("Maintained", &T::GetMaintained, &T::SetMaintained)
            .Boolean("Memory", &T::GetMemory, &T::SetMemory, false)
            .Integer("MaximumKeySize", &T::GetMaximumKeySize, &T::SetMaximumKeySize)
            .Integer("KeyDataOffset", &T::GetKeyDataOffset, &T::SetKeyDataOffset)
            .Integer("IndexPageSize", &T::GetIndexPageSize, &T::SetIndexPageSize)
            .Enumeration("IndexKeyType", &T::GetIndexKeyType, &T::SetIndexKeyType,
                         {"ikFixed", "ikMinStringLen"});
    return table;
}

TInternalIndexDef* TInternalIndexDefs::FindIndexDef(const std::string& name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(Items(i)->GetIndexName(), name)) return Items(i);
    return nullptr;
}

int32_t KeyFieldStorageSize(const TKeyFieldItem& field) {
    return IsStringType(field.GetDataType()) ? 2 + field.GetFieldSize() : field.GetFieldSize();
}

int32_t CalculateMaximumKeySize(const TKeyFields& fields, const std::string& indexName) {
    int32_t size = 10;
    for (int i = 0; i < fields.Count(); ++i)
        if (SameText(fields.Items(i)->GetIndexName(), indexName))
            size += KeyFieldStorageSize(*fields.Items(i));
    return size;
}

uint32_t CalculateIndexPageSize(int32_t maximumKeySize) {
    const uint32_t size = (static_cast<uint32_t>(maximumKeySize + 16) / 2048 + 1) * 2048;
    return std::max<uint32_t>(size, 4096);
}

void PrepareIndexDef(TInternalIndexDef& def, TKeyFields& keyFields) {
    const std::string name = def.GetIndexName();
    if (!def.GetUnique() && !def.GetPrimary()) {
        bool hasHidden = false;
        bool descending = false;
        int32_t count = 0;
        for (int i = 0; i < keyFields.Count(); ++i) {
            const TKeyFieldItem* k = keyFields.Items(i);
            if (!SameText(k->GetIndexName(), name)) continue;
            if (count == 0) descending = k->GetDescending();
            ++count;
            hasHidden = hasHidden || k->GetPhysicalFieldNo() == -1;
        }
        if (!hasHidden) {
            // The logical record number makes every key of a non-unique index distinct.
            TKeyFieldItem* f = keyFields.Add();
            f->SetDataType(ftInteger);
            f->SetFieldSize(4);
            f->SetRecBufOffset(6);
            f->SetNullFlagOffset(0);
            f->SetSizeMarkerOffset(0);
            f->SetPhysicalFieldNo(-1);
            f->SetDescending(descending);
            f->SetIndexName(name);
            f->SetHidden(true);
            f->SetKeyIndex(count);
        }
    }
    const int32_t count = keyFields.FindFieldCountForIndex(name);
    // A tree takes at most C_MAXKEYFIELDS key fields, the logical record number of a
    // non-unique index among them: a definition past that would be stored and then fail every
    // open of its table.
    if (count > C_MAXKEYFIELDS) {
        const bool unique = def.GetUnique() || def.GetPrimary();
        ZanDatabaseErrorFmt(9603, "PrepareIndexDef", "%s: %d fields, maximum allowed is %d",
                            {name, unique ? count : count - 1,
                             unique ? C_MAXKEYFIELDS : C_MAXKEYFIELDS - 1});
    }
    def.SetKeyDataOffset(count / 8 + 1);
    const int32_t m = CalculateMaximumKeySize(keyFields, name) + def.GetKeyDataOffset();
    if (m > C_MAXKEYSIZE) ZanDatabaseError(9602, "PrepareIndexDef", name);
    def.SetMaximumKeySize(m);
    def.SetIndexPageSize(CalculateIndexPageSize(m));
}

// ---------------------------------------------------------------------------------------------
// TIndexItem

TIndexItem::TIndexItem()
    : FKeyFields(std::make_unique<TKeyFields>()), FTree(std::make_unique<TBTree>()) {}
TIndexItem::~TIndexItem() = default;

void TIndexItem::Assign(const TCollectionItem& source) {
    if (auto* item = dynamic_cast<const TIndexItem*>(&source)) {
        TInternalIndexDef::Assign(source);
        FKeyFields->Assign(*item->FKeyFields);
        FRoot = item->FRoot;
        FDepth = item->FDepth;
    } else if (dynamic_cast<const TInternalIndexDef*>(&source)) {
        TInternalIndexDef::Assign(source);
        FKeyFields->Clear();
    } else {
        TInternalIndexDef::Assign(source);
    }
}

TIndexManager* TIndexItem::GetManager() const {
    return dynamic_cast<TIndexManager*>(GetCollection());
}

void TIndexItem::PrepareTree() {
    TIndexManager* manager = GetManager();
    TBaseIOInterface* io = manager ? manager->GetIOInterface() : nullptr;
    if (!io) ZanDatabaseError(C_INTERNALERROR, "TIndexItem.Open", "IO Interface is unassigned");
    FKeyFields->SetDataOffset(FKeyDataOffset);
    FTree->SetKeyFields(*FKeyFields);
    FTree->SetMaximumKeySize(FMaximumKeySize);
    FTree->SetIndexKeyType(FIndexKeyType);
    FTree->SetDBStringCompare(manager->GetDBStringCompareFunction());
    FTree->SetDebugStrings(manager->GetDebugStrings());
    FTree->ConnectToIFace(io, FIndexPageSize, &FRoot, &FDepth);
    FTempKey.assign(static_cast<size_t>(std::max(FMaximumKeySize, 0)) + 1, 0);
    FTree->Open();
}

void TIndexItem::Open() {
    TIndexManager* manager = GetManager();
    if (!manager || !manager->GetIOInterface())
        ZanDatabaseError(C_INTERNALERROR, "TIndexItem.Open", "IO Interface is unassigned");
    if (FRoot == 0 || FDepth == 0)
        ZanDatabaseError(C_INTERNALERROR, "TIndexItem.Open", "Not initialized");
    PrepareTree();
}

void TIndexItem::Close() {
    FTree->Close();
    FKeyFields->Clear();
    FTempKey.clear();
}

void TIndexItem::CreateIndex() {
    FRoot = 0;
    FDepth = 0;
    PrepareTree();
    FTree->CreateTree();
    FTree->Close();
}

void TIndexItem::EmptyIndex() {
    const bool wasOpen = IsOpen();
    if (!wasOpen) PrepareTree();
    FTree->EmptyTree(false);
    if (!wasOpen) FTree->Close();
}

void TIndexItem::DeleteIndex() {
    const bool wasOpen = IsOpen();
    if (!wasOpen) PrepareTree();
    FTree->EmptyTree(true);
    FTree->Close();
}

void TIndexItem::CreateKeyBuffer(const uint8_t* recBuf, const TKeyMarkers* markers) {
    FTree->ConstructKeyBufFromRecBuf(recBuf, markers);
}

void TIndexItem::CreateTempKeyBuffer(const uint8_t* recBuf) {
    FTree->ConstructTempKeyBufFromRecBuf(FTempKey.data(), recBuf);
}

int32_t TIndexItem::PartialIndexSearch(TIndexSearchType type, const TSearchModifier* modifier) {
    return FTree->IndexSearch(type, modifier);
}

void TIndexItem::CopyKeyBuffer(const uint8_t* key, const TKeyMarkers* markers) {
    FTree->ConstructKeyBufFromKeyBuf(key, markers);
}

int32_t TIndexItem::CompareKeyBuffers(int32_t fieldCount, const TKeyMarkers* markersA,
                                      const TKeyMarkers* markersB, const uint8_t* a,
                                      const uint8_t* b) {
    return FTree->CompareKeys(fieldCount, markersA, markersB, a, b);
}

int32_t TIndexItem::CompareKeyToCurrentKey(const TKeyMarkers* markers, const uint8_t* key) {
    return FTree->CompareKeyToCurrentKeyBuf(markers, key);
}

int32_t TIndexItem::InsertKey(uint32_t address) {
    SetKeyAddress(FTree->GetSearchKey(), address);
    return FTree->IdxInsert();
}

bool TIndexItem::MoveBy(int32_t n) {
    for (; n > 0; --n)
        if (!FTree->NextRecord()) return false;
    for (; n < 0; ++n)
        if (!FTree->PriorRecord()) return false;
    return true;
}

void TIndexItem::DumpInternalStatus(TStrings& lines) {
    lines.Add(Format("Index %s Root=%d Depth=%d", {FIndexName, FRoot, FDepth}));
}

void TIndexItem::DumpInternalStructure(TStrings& lines) {
    std::vector<uint32_t> pages;
    FTree->CheckTree(&pages);
    for (uint32_t page : pages)
        lines.Add(Format("Page %d", {page}));
}

// ---------------------------------------------------------------------------------------------
// TIndexManager

void TIndexManager::Assign(const TCollection& source) {
    if (auto* defs = dynamic_cast<const TInternalIndexDefs*>(&source)) {
        Clear();
        for (int i = 0; i < defs->Count(); ++i)
            Add()->Assign(*defs->Items(i));
        CountVisible();
        return;
    }
    TCollection::Assign(source);
    if (auto* other = dynamic_cast<const TIndexManager*>(&source)) {
        FCurrentIndexName = other->FCurrentIndexName;
        FCompare = other->FCompare;
    }
    CountVisible();
}

void TIndexManager::CountVisible() {
    FVisibleCount = 0;
    for (int i = 0; i < Count(); ++i)
        if (!Items(i)->GetHidden()) ++FVisibleCount;
}

void TIndexManager::Open() {
    if (!FCompare)
        ZanDatabaseError(C_INTERNALERROR, "TIndexManager.Open", "Sort function not assinged");
    ReadIndexHeaders(true);
    for (int i = 0; i < Count(); ++i)
        Items(i)->Open();
    CountVisible();
    FOpen = true;
}

void TIndexManager::Close() {
    for (int i = 0; i < Count(); ++i)
        Items(i)->Close();
    Clear();
    FVisibleCount = 0;
    FOpen = false;
}

void TIndexManager::ReadIndexHeaders(bool invalidate) {
    ZanAssert(FTableHeader != nullptr, "IndexManager table header = nil");
    for (int i = 0; i < Count(); ++i) {
        TIndexItem* item = Items(i);
        if (invalidate) item->InvalidateInternalBuffers();
        item->SetRoot(FTableHeader->GetIndexRoot(item->GetIndexSequence()));
        item->SetDepth(FTableHeader->GetIndexDepth(item->GetIndexSequence()));
    }
}

void TIndexManager::WriteIndexHeaders() {
    ZanAssert(FTableHeader != nullptr, "IndexManager table header = nil");
    for (int i = 0; i < Count(); ++i) {
        TIndexItem* item = Items(i);
        const int32_t slot = item->GetIndexSequence();
        if (slot >= 0 && static_cast<uint32_t>(slot) >= FTableHeader->GetIndexCount())
            FTableHeader->SetIndexCount(static_cast<uint32_t>(slot) + 1);
        // The setters mark the header dirty when a value changes.
        FTableHeader->SetIndexRoot(slot, item->GetRoot());
        FTableHeader->SetIndexDepth(slot, static_cast<uint16_t>(item->GetDepth()));
    }
}

void TIndexManager::CreateIndexes() {
    for (int i = 0; i < Count(); ++i)
        Items(i)->CreateIndex();
    WriteIndexHeaders();
}

namespace {
// A string key field needs its size marker; every index needs a key field.
void CheckKeyField(const TKeyFieldItem& field, const char* context) {
    if (IsStringType(field.GetDataType()) && field.GetSizeMarkerOffset() < 1)
        ZanDatabaseError(C_INTERNALERROR, context, "KeyBuffers invalid");
}
} // namespace

void TIndexManager::AddIndex(const TInternalIndexDef& def, const TKeyFields& keyFields) {
    const std::string name = def.GetIndexName();
    if (FindIndex(name))
        ZanDatabaseError(10027, "TIndexManager.AddIndex", "aInternalIndexDef.IndexName");
    for (int i = 0; i < keyFields.Count(); ++i)
        if (SameText(keyFields.Items(i)->GetIndexName(), name))
            CheckKeyField(*keyFields.Items(i), "TIndexManager.AddIndex");
    ReadIndexHeaders(true);
    TIndexItem* item = Add();
    item->Assign(def);
    for (int i = 0; i < keyFields.Count(); ++i)
        if (SameText(keyFields.Items(i)->GetIndexName(), name))
            item->GetKeyFields().Add()->Assign(*keyFields.Items(i));
    item->GetKeyFields().SetDataOffset(def.GetKeyDataOffset());
    try {
        item->CreateIndex();
        WriteIndexHeaders();
        if (FOpen) item->Open();
    } catch (...) {
        Delete(item->GetIndex());
        throw;
    }
    CountVisible();
}

void TIndexManager::AssignKeyFields(const TKeyFields& keyFields) {
    for (int i = 0; i < Count(); ++i)
        Items(i)->GetKeyFields().Clear();
    for (int i = 0; i < keyFields.Count(); ++i) {
        const TKeyFieldItem* k = keyFields.Items(i);
        TIndexItem* item = FindIndex(k->GetIndexName());
        if (!item)
            ZanDatabaseError(C_INDEXNOTFOUND, "TIndexManager.AssignKeyFields", k->GetIndexName());
        CheckKeyField(*k, "TIndexManager.AssignKeyFields");
        item->GetKeyFields().Add()->Assign(*k);
    }
    for (int i = 0; i < Count(); ++i) {
        TIndexItem* item = Items(i);
        if (item->GetKeyFields().Count() == 0)
            ZanDatabaseError(C_INTERNALERROR, "TIndexManager.AssignKeyFields",
                             "KeyBuffers invalid");
        item->GetKeyFields().SetDataOffset(item->GetKeyDataOffset());
    }
}

void TIndexManager::DropIndex(const std::string& name) {
    TIndexItem* item = FindIndex(name);
    if (!item) ZanDatabaseError(C_INDEXNOTFOUND, "TIndexManager.DropIndex", name);
    ReadIndexHeaders(true);
    item->DeleteIndex();
    item->Close();
    Delete(item->GetIndex());
    // The remaining indexes take the slots 0 .. n-1 in their order; the last slot is freed.
    const int32_t last = Count();
    FTableHeader->SetIndexRoot(last, 0);
    FTableHeader->SetIndexDepth(last, 0);
    for (int i = 0; i < Count(); ++i)
        Items(i)->SetIndexSequence(i);
    WriteIndexHeaders();
    CountVisible();
}

void TIndexManager::EmptyIndex(const std::string& name) {
    TIndexItem* item = FindIndex(name);
    if (!item) ZanDatabaseError(C_INDEXNOTFOUND, "TIndexManager.EmptyIndex", name);
    ReadIndexHeaders(true);
    item->EmptyIndex();
    WriteIndexHeaders();
}

TIndexItem* TIndexManager::FindIndex(const std::string& name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(Items(i)->GetIndexName(), name)) return Items(i);
    return nullptr;
}

TIndexItem* TIndexManager::CurrentIndex() const {
    TIndexItem* item = FindIndex(FCurrentIndexName);
    if (!item) ZanDatabaseError(C_INDEXNOTFOUND, "TIndexManager.CurrentIndex", FCurrentIndexName);
    return item;
}

TIndexItem* TIndexManager::FindIndexForFields(const std::vector<std::string>& fields,
                                              bool caseSensitiveOnly) const {
    for (int i = 0; i < Count(); ++i) {
        const TKeyFields& keys = Items(i)->GetKeyFields();
        if (static_cast<size_t>(keys.Count()) < fields.size()) continue;
        bool match = true;
        for (size_t f = 0; f < fields.size() && match; ++f) {
            const TKeyFieldItem* k = keys.Items(static_cast<int>(f));
            match = SameText(k->GetFieldName(), fields[f]) &&
                    !(caseSensitiveOnly && k->GetCaseInsensitive());
        }
        if (match) return Items(i);
    }
    return nullptr;
}

void TIndexManager::InvalidateInternalBuffers() {
    for (int i = 0; i < Count(); ++i)
        Items(i)->InvalidateInternalBuffers();
}

void TIndexManager::DumpInternalStatus(TStrings& lines) {
    lines.Add("DUMP - INDEX = " + IntToStr(0));
    if (Count() > 0) Items(0)->DumpInternalStatus(lines);
}

// ---------------------------------------------------------------------------------------------
// TTemporarySort

TTemporarySort::TTemporarySort() : FKeyFields(std::make_unique<TKeyFields>()) {}
TTemporarySort::~TTemporarySort() = default;

void TTemporarySort::Open(int32_t capacity) {
    if (!FCompare)
        ZanDatabaseError(C_INTERNALERROR, "TTemporarySort.Open", "Sort function not assinged");
    Close();
    FEntrySize = 10 + FKeyFields->GetDataOffset();
    for (int i = 0; i < FKeyFields->Count(); ++i)
        FEntrySize += KeyFieldStorageSize(*FKeyFields->Items(i));
    FKeys.SetKeyFields(*FKeyFields);
    FKeys.SetMaximumKeySize(FEntrySize);
    FKeys.SetIndexKeyType(ikFixed);
    FKeys.SetDBStringCompare(FCompare);
    FCapacity = std::max(capacity, 0);
    FEntries.assign(static_cast<size_t>(FCapacity) * static_cast<size_t>(FEntrySize), 0);
    FWorkKey.assign(static_cast<size_t>(FEntrySize) + 1, 0);
    FCount = 0;
    FSorted = false;
}

void TTemporarySort::Close() {
    FEntries.clear();
    FWorkKey.clear();
    FCount = 0;
    FCapacity = 0;
    FSorted = false;
}

void TTemporarySort::AppendKey(uint32_t address, const uint8_t* recBuf) {
    ZanAssert(!FWorkKey.empty(), "Temporary sort is not open");
    FKeys.ConstructTempKeyBufFromRecBuf(FWorkKey.data(), recBuf);
    SetKeyAddress(FWorkKey.data(), address);
    if (FCount >= FCapacity) {
        // trunc(capacity x 1.25), and at least one more for the smallest capacities.
        FCapacity = std::max(FCapacity + 1, static_cast<int32_t>(FCapacity * 1.25));
        FEntries.resize(static_cast<size_t>(FCapacity) * static_cast<size_t>(FEntrySize));
    }
    std::memcpy(EntryAt(FCount), FWorkKey.data(), static_cast<size_t>(FEntrySize));
    ++FCount;
    FSorted = false;
}

int32_t TTemporarySort::CompareKeys(const uint8_t* a, const uint8_t* b) const {
    return FKeys.CompareKeys(0, nullptr, nullptr, a, b);
}

void TTemporarySort::Swap(int32_t i, int32_t j) {
    if (i == j) return;
    std::swap_ranges(EntryAt(i), EntryAt(i) + FEntrySize, EntryAt(j));
}

void TTemporarySort::QuickSort(int32_t lo, int32_t hi) {
    std::vector<uint8_t> pivot(static_cast<size_t>(FEntrySize));
    while (lo < hi) {
        std::memcpy(pivot.data(), EntryAt(lo + (hi - lo) / 2), pivot.size());
        int32_t i = lo, j = hi;
        while (i <= j) {
            while (CompareKeys(EntryAt(i), pivot.data()) < 0)
                ++i;
            while (CompareKeys(EntryAt(j), pivot.data()) > 0)
                --j;
            if (i <= j) Swap(i++, j--);
        }
        // Recurse into the smaller part, loop over the larger one.
        if (j - lo < hi - i) {
            if (lo < j) QuickSort(lo, j);
            lo = i;
        } else {
            if (i < hi) QuickSort(i, hi);
            hi = j;
        }
    }
}

void TTemporarySort::Sort() {
    if (FCount > 1) QuickSort(0, FCount - 1);
    FSorted = true;
}

int32_t TTemporarySort::LowerBound() {
    if (!FSorted) Sort();
    int32_t lo = 0, hi = FCount;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (CompareKeys(EntryAt(mid), FWorkKey.data()) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

uint32_t TTemporarySort::FindKey(const uint8_t* recBuf) {
    ZanAssert(!FWorkKey.empty(), "Temporary sort is not open");
    FKeys.ConstructTempKeyBufFromRecBuf(FWorkKey.data(), recBuf);
    const int32_t i = LowerBound();
    if (i < FCount && CompareKeys(EntryAt(i), FWorkKey.data()) == 0) return KeyAddress(EntryAt(i));
    return 0;
}

uint32_t TTemporarySort::FindNearest(const uint8_t* recBuf) {
    ZanAssert(!FWorkKey.empty(), "Temporary sort is not open");
    FKeys.ConstructTempKeyBufFromRecBuf(FWorkKey.data(), recBuf);
    const int32_t i = LowerBound();
    return i < FCount ? KeyAddress(EntryAt(i)) : 0;
}

void TTemporarySortManager::Close() {
    for (int i = 0; i < Count(); ++i)
        Items(i)->Close();
}

} // namespace zan
