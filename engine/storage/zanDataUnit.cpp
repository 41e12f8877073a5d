#include "engine/storage/zanDataUnit.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>

#include "engine/storage/zanCommon.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/Format.h"
#include "host/rtl/Random.h"

namespace zan {

// ---------------------------------------------------------------------------------------------
// Field layout

int32_t FieldStorageSize(TFieldType type) {
    switch (static_cast<TFieldType>(static_cast<uint8_t>(type) % 128)) {
    case ftBoolean:
        return 1;
    case ftSmallint:
    case ftWord:
        return 2;
    case ftInteger:
    case ftAutoInc:
        return 4;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftLargeint:
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
        return 8;
    default:
        return 0;
    }
}

bool IsBlobFieldType(TFieldType type) {
    return type >= ftBlob && type <= ftFmtMemo;
}

size_t Utf8CutLength(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    size_t n = maxBytes;
    // Step back over continuation bytes to the lead byte of the sequence that would be cut.
    size_t lead = n;
    while (lead > 0 && (static_cast<uint8_t>(text[lead]) & 0xC0) == 0x80)
        --lead;
    if (lead == n) return n; // the cut falls on a character boundary
    auto b = static_cast<uint8_t>(text[lead]);
    size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    // A sequence that ends at or before the cut is whole; otherwise it goes.
    return lead + len <= n ? n : lead;
}

void TInternalFieldItem::SetDataType(TFieldType type) {
    bool accepted = (type >= ftString && type <= ftCurrency) ||
                    (type >= ftDate && type <= ftBytes) || (type >= ftAutoInc && type <= ftFmtMemo);
    if (!accepted) ZanDatabaseError(10000, "TInternalFieldItem.SetDataType", FieldTypeName(type));
    FDataType = type;
    FFieldSize = FieldStorageSize(type);
}

int32_t TInternalFieldItem::GetWriteableFieldSize() const {
    switch (FDataType) {
    case ftString:
        return FFieldSize - 1;
    case ftWideString:
        return (FFieldSize - 2) / 2;
    default:
        return FFieldSize;
    }
}

void TInternalFieldItem::Assign(const TCollectionItem& source) {
    const auto* src = dynamic_cast<const TInternalFieldItem*>(&source);
    if (src == nullptr) {
        TCollectionItem::Assign(source);
        return;
    }
    FFieldName = src->FFieldName;
    FFieldNo = src->FFieldNo;
    FFieldIndex = src->FFieldIndex;
    if (src->FDataType == ftUnknown)
        FDataType = ftUnknown; // a fresh item carries no type yet
    else
        SetDataType(src->FDataType);
    FFieldSize = src->FFieldSize;
    FNumDecimalPlaces = src->FNumDecimalPlaces;
    FDataOffset = src->FDataOffset;
    FNullFlagOffset = src->FNullFlagOffset;
    FIsVariable = src->FIsVariable;
    FSizeMarkerOffset = src->FSizeMarkerOffset;
    FSourceField = src->FSourceField;
    FRequired = src->FRequired;
    FFieldGeneratorID = src->FFieldGeneratorID;
    FPrivilegeFlags = src->FPrivilegeFlags;
    FHidden = src->FHidden;
    FCompressionMode = src->FCompressionMode;
}

void TSearchFieldItem::Assign(const TCollectionItem& source) {
    TInternalFieldItem::Assign(source);
    if (const auto* src = dynamic_cast<const TSearchFieldItem*>(&source)) {
        FInIndex = src->FInIndex;
        // The sort direction is part of a search field: a copy that lost it would sort wrongly.
        FDescending = src->FDescending;
    }
}

TInternalFields::TInternalFields()
    : TInternalFields([] { return std::make_unique<TInternalFieldItem>(); }) {}

TInternalFields::TInternalFields(TCollectionItemFactory factory) : TCollection(std::move(factory)) {
    FFieldIndexMap.fill(0);
}

TSearchFields::TSearchFields()
    : TInternalFields([] { return std::make_unique<TSearchFieldItem>(); }) {}

TInternalFieldItem* TInternalFields::Add() {
    auto* item = static_cast<TInternalFieldItem*>(TCollection::Add());
    item->SetFieldGeneratorID(Random(2147483647));
    return item;
}

void TInternalFields::SetDefaultOffsets() {
    int32_t offset = Count() + C_RECORD_PREFIX_SIZE;
    for (int i = 0; i < Count(); ++i) {
        TInternalFieldItem* f = Items(i);
        int32_t size;
        if (f->GetDataType() == ftString || f->GetDataType() == ftWideString) {
            size = f->GetFieldSize();
            f->SetSizeMarkerOffset(offset);
            offset += 2;
        } else if (f->GetDataType() == ftBytes) {
            size = f->GetFieldSize();
            f->SetSizeMarkerOffset(0);
        } else {
            size = FieldStorageSize(f->GetDataType());
            f->SetFieldSize(size);
            f->SetSizeMarkerOffset(0);
        }
        f->SetDataOffset(offset);
        f->SetNullFlagOffset(C_RECORD_PREFIX_SIZE + i);
        offset += size;
    }
    FRecordSize = offset;
}

void TInternalFields::Open() {
    if (Count() > C_MAX_LAYOUT_FIELDS)
        ZanDatabaseErrorFmt(8962, "TInternalFields.Open", "Too many fields: %d", {Count()});
    FAutoIncFieldNo = -1;
    FUsesBlobs = false;
    std::array<bool, C_MAX_LAYOUT_FIELDS> seen{};
    FFieldIndexMap.fill(0);
    for (int p = 0; p < Count(); ++p) {
        TInternalFieldItem* f = Items(p);
        if (IsBlobFieldType(f->GetDataType())) FUsesBlobs = true;
        if (f->GetDataType() == ftAutoInc) FAutoIncFieldNo = f->GetFieldIndex();
        int32_t n = f->GetFieldIndex();
        if (n < 0 || n >= Count())
            ZanDatabaseErrorFmt(8962, "TInternalFields.Open", "Invalid field index %d", {n});
        if (seen[n]) ZanDatabaseError(8962, "TInternalFields.Open", "Field indexes degenerate");
        seen[n] = true;
        FFieldIndexMap[n] = p;
    }
    // Datasets find fields by name with ASCII case ignored: two such names are no layout.
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(Count()));
    for (int p = 0; p < Count(); ++p) {
        std::string name = Items(p)->GetFieldName();
        for (char& c : name)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    const auto twice = std::adjacent_find(names.begin(), names.end());
    if (twice != names.end())
        ZanDatabaseErrorFmt(8962, "TInternalFields.Open", "Field name %s appears twice", {*twice});
}

void TInternalFields::CheckLayout(int32_t recordSize) const {
    const int64_t dataStart = int64_t(C_RECORD_PREFIX_SIZE) + Count();
    // Layouts are laid out field after field (SetDefaultOffsets), so a record ends with its
    // furthest field; a larger stored size would only size every record buffer by the file.
    int64_t end = dataStart;
    for (int i = 0; i < Count(); ++i) {
        const TInternalFieldItem* f = Items(i);
        TFieldType t = f->GetDataType();
        bool marked = t == ftString || t == ftWideString;
        const int64_t size = f->GetFieldSize();
        // Values are copied by the stored size into buffers sized by the type: a fixed type
        // must keep its own size, and only a marked type has a size marker.
        const bool sizeOk = marked        ? size >= 1 && size <= 65535
                            : t == ftBytes ? size >= 0 && size <= 65535
                                           : size > 0 && size == FieldStorageSize(t);
        const bool markerOk = marked ? f->GetSizeMarkerOffset() >= dataStart &&
                                           int64_t(f->GetSizeMarkerOffset()) + 2 <= recordSize
                                     : f->GetSizeMarkerOffset() == 0;
        bool ok =
            f->GetNullFlagOffset() >= C_RECORD_PREFIX_SIZE && f->GetNullFlagOffset() < dataStart &&
            sizeOk && markerOk && f->GetDataOffset() >= dataStart &&
            int64_t(f->GetDataOffset()) + size <= recordSize;
        if (!ok)
            ZanDatabaseErrorFmt(8962, "TInternalFields.CheckLayout",
                                "Field %s lies outside the record", {f->GetFieldName()});
        end = std::max({end, int64_t(f->GetDataOffset()) + size,
                        marked ? int64_t(f->GetSizeMarkerOffset()) + 2 : 0});
    }
    if (recordSize > end)
        ZanDatabaseErrorFmt(8962, "TInternalFields.CheckLayout",
                            "Record size %d is beyond its last field", {int64_t(recordSize)});
}

TInternalFieldItem* TInternalFields::GetField(int32_t n) const {
    ZanAssert(n >= 0 && n < Count(), "Invalid field index in GetField");
    return Items(FFieldIndexMap[n]);
}

int32_t TInternalFields::GetFieldIndexValue(int32_t n) const {
    ZanAssert(n >= 0 && n < C_MAX_LAYOUT_FIELDS, "Invalid field index in GetFieldIndexValue");
    return FFieldIndexMap[n];
}

namespace {

bool SameAnsiText(std::string_view a, std::string_view b) {
    return ZanAnsiUpperCase(a) == ZanAnsiUpperCase(b);
}

} // namespace

TInternalFieldItem* TInternalFields::FindField(std::string_view name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameAnsiText(Items(i)->GetFieldName(), name)) return Items(i);
    return nullptr;
}

TInternalFieldItem* TInternalFields::FindSourceField(std::string_view name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameAnsiText(Items(i)->GetSourceField(), name)) return Items(i);
    return nullptr;
}

void TInternalFields::Assign(const TCollection& source) {
    const auto* src = dynamic_cast<const TInternalFields*>(&source);
    if (src == nullptr) {
        TCollection::Assign(source);
        return;
    }
    if (src == this) return;
    BeginUpdate();
    Clear();
    for (int i = 0; i < src->Count(); ++i)
        Add()->Assign(*src->Items(i));
    EndUpdate();
    for (int i = 0; i < std::min(src->Count(), C_MAX_LAYOUT_FIELDS); ++i)
        FFieldIndexMap[i] = src->FFieldIndexMap[i];
    FRecordSize = 0;
    FUsesBlobs = false;
    FAutoIncFieldNo = -1;
}

// ---------------------------------------------------------------------------------------------
// Record format

namespace {

[[noreturn]] void WrongType(const TInternalFieldItem& field, const char* context) {
    ZanDatabaseError(10000, context, FieldTypeName(field.GetDataType()));
}

void SetPresent(uint8_t* record, const TInternalFieldItem& field) {
    record[field.GetNullFlagOffset()] = 1;
}

} // namespace

bool RecordFieldIsNull(const uint8_t* record, const TInternalFieldItem& field) {
    return record[field.GetNullFlagOffset()] == 0;
}

void RecordSetFieldNull(uint8_t* record, const TInternalFieldItem& field) {
    record[field.GetNullFlagOffset()] = 0;
    TFieldType t = field.GetDataType();
    int32_t size = (t == ftString || t == ftWideString || t == ftBytes) ? field.GetFieldSize()
                                                                        : FieldStorageSize(t);
    std::memset(record + field.GetDataOffset(), 0, static_cast<size_t>(size));
    if (field.GetSizeMarkerOffset() != 0) PutLE16(record + field.GetSizeMarkerOffset(), 0);
}

std::string_view RecordGetStringView(const uint8_t* record, const TInternalFieldItem& field) {
    if (field.GetDataType() != ftString) WrongType(field, "RecordGetString");
    if (RecordFieldIsNull(record, field)) return {};
    uint16_t length = GetLE16(record + field.GetSizeMarkerOffset());
    if (length > field.GetWriteableFieldSize())
        ZanDatabaseErrorFmt(8962, "RecordGetString", "String length %d beyond field %s",
                            {int32_t(length), field.GetFieldName()});
    return std::string_view(reinterpret_cast<const char*>(record + field.GetDataOffset()), length);
}

std::string RecordGetString(const uint8_t* record, const TInternalFieldItem& field) {
    return std::string(RecordGetStringView(record, field));
}

void RecordSetString(uint8_t* record, const TInternalFieldItem& field, std::string_view text) {
    if (field.GetDataType() != ftString) WrongType(field, "RecordSetString");
    size_t writable = static_cast<size_t>(std::max(field.GetWriteableFieldSize(), 0));
    size_t n = Utf8CutLength(text, writable);
    uint8_t* data = record + field.GetDataOffset();
    std::memset(data, 0, static_cast<size_t>(field.GetFieldSize()));
    std::memcpy(data, text.data(), n);
    PutLE16(record + field.GetSizeMarkerOffset(), static_cast<uint16_t>(n));
    SetPresent(record, field);
}

std::string RecordGetBytes(const uint8_t* record, const TInternalFieldItem& field) {
    if (field.GetDataType() != ftBytes) WrongType(field, "RecordGetBytes");
    if (RecordFieldIsNull(record, field)) return {};
    return std::string(reinterpret_cast<const char*>(record + field.GetDataOffset()),
                       static_cast<size_t>(field.GetFieldSize()));
}

void RecordSetBytes(uint8_t* record, const TInternalFieldItem& field, std::string_view bytes) {
    if (field.GetDataType() != ftBytes) WrongType(field, "RecordSetBytes");
    auto size = static_cast<size_t>(field.GetFieldSize());
    uint8_t* data = record + field.GetDataOffset();
    std::memset(data, 0, size);
    std::memcpy(data, bytes.data(), std::min(size, bytes.size()));
    SetPresent(record, field);
}

bool RecordGetBoolean(const uint8_t* record, const TInternalFieldItem& field) {
    if (field.GetDataType() != ftBoolean) WrongType(field, "RecordGetBoolean");
    return record[field.GetDataOffset()] != 0;
}

void RecordSetBoolean(uint8_t* record, const TInternalFieldItem& field, bool value) {
    if (field.GetDataType() != ftBoolean) WrongType(field, "RecordSetBoolean");
    record[field.GetDataOffset()] = value ? 1 : 0;
    SetPresent(record, field);
}

int32_t RecordGetInteger(const uint8_t* record, const TInternalFieldItem& field) {
    const uint8_t* p = record + field.GetDataOffset();
    switch (field.GetDataType()) {
    case ftSmallint:
        return static_cast<int16_t>(GetLE16(p));
    case ftWord:
        return GetLE16(p);
    case ftInteger:
    case ftAutoInc:
        return static_cast<int32_t>(GetLE32(p));
    default:
        WrongType(field, "RecordGetInteger");
    }
}

void RecordSetInteger(uint8_t* record, const TInternalFieldItem& field, int32_t value) {
    uint8_t* p = record + field.GetDataOffset();
    switch (field.GetDataType()) {
    case ftSmallint:
    case ftWord:
        PutLE16(p, static_cast<uint16_t>(value));
        break;
    case ftInteger:
    case ftAutoInc:
        PutLE32(p, static_cast<uint32_t>(value));
        break;
    default:
        WrongType(field, "RecordSetInteger");
    }
    SetPresent(record, field);
}

namespace {

bool IsFloatType(TFieldType t) {
    return t == ftFloat || t == ftCurrency || t == ftDate || t == ftTime || t == ftDateTime;
}

} // namespace

double RecordGetFloat(const uint8_t* record, const TInternalFieldItem& field) {
    if (!IsFloatType(field.GetDataType())) WrongType(field, "RecordGetFloat");
    uint64_t bits = uint64_t(GetLE32(record + field.GetDataOffset())) |
                    uint64_t(GetLE32(record + field.GetDataOffset() + 4)) << 32;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void RecordSetFloat(uint8_t* record, const TInternalFieldItem& field, double value) {
    if (!IsFloatType(field.GetDataType())) WrongType(field, "RecordSetFloat");
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PutLE32(record + field.GetDataOffset(), static_cast<uint32_t>(bits));
    PutLE32(record + field.GetDataOffset() + 4, static_cast<uint32_t>(bits >> 32));
    SetPresent(record, field);
}

void RecordGetBlobRef(const uint8_t* record, const TInternalFieldItem& field, uint32_t& head,
                      uint32_t& length) {
    if (!IsBlobFieldType(field.GetDataType())) WrongType(field, "RecordGetBlobRef");
    head = GetLE32(record + field.GetDataOffset());
    length = GetLE32(record + field.GetDataOffset() + 4);
}

void RecordSetBlobRef(uint8_t* record, const TInternalFieldItem& field, uint32_t head,
                      uint32_t length) {
    if (!IsBlobFieldType(field.GetDataType())) WrongType(field, "RecordSetBlobRef");
    PutLE32(record + field.GetDataOffset(), length > 0 ? head : 0);
    PutLE32(record + field.GetDataOffset() + 4, length);
    record[field.GetNullFlagOffset()] = length > 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Table header

TBaseIOInterface* TTableHeader::GetIOInterface() const {
    // Asked at every header read and write: the exact type is checked first, which is cheaper
    // than the general cast.
    const TCollection* owner = GetCollection();
    if (owner == nullptr) return FIOInterface;
    if (typeid(*owner) == typeid(TTableHeaderMgr))
        return static_cast<const TTableHeaderMgr*>(owner)->GetIOInterface();
    if (const auto* mgr = dynamic_cast<const TTableHeaderMgr*>(owner))
        return mgr->GetIOInterface();
    return FIOInterface;
}

void TTableHeader::OffsetError(const char* context, bool withText) {
    if (!withText) ZanDatabaseError(8581, context);
    ZanDatabaseError(8581, context,
                     std::string("Table header: ") + std::string(SzanOffsetValueIsOutOfRange));
}

void TTableHeader::SetHeaderSize(int32_t n) {
    ZanAssert(n >= 48, "Table header size too small");
    FBuffer.assign(static_cast<size_t>(n), 0);
    PutLE32(FBuffer.data() + 8, static_cast<uint32_t>(n));
}

void TTableHeader::ResetHeaderSize(int32_t n, bool clear) {
    ZanAssert(n >= 48, "Table header size too small");
    std::vector<uint8_t> old = std::move(FBuffer);
    FBuffer.assign(static_cast<size_t>(n), 0);
    if (!clear) std::memcpy(FBuffer.data(), old.data(), std::min(old.size(), FBuffer.size()));
    PutLE32(FBuffer.data() + 8, static_cast<uint32_t>(n));
}

void TTableHeader::ClearHeader() {
    std::fill(FBuffer.begin(), FBuffer.end(), 0);
}

void TTableHeader::ReadHeader() {
    if (FBuffer.empty()) ZanDatabaseError(8576, "TTableHeader.ReadHeader");
    TBaseIOInterface* io = GetIOInterface();
    ZanAssert(io != nullptr, "Table header without IOInterface");
    FLastModifiedFlag = GetModifiedFlag();
    const uint32_t expectedID = GetTableID();
    // The block is read into a kept second buffer and swapped in, so steady reads allocate
    // nothing and a refused block leaves the held header untouched.
    std::vector<uint8_t>& block = FReadBuffer;
    block.resize(FBuffer.size());
    io->ReadBlock(FBaseAddress, static_cast<uint32_t>(block.size()), block.data());
    // A header that names another table or size is not this table's: refuse it before any of
    // its free-chain heads or roots can be used.
    if (GetLE32(block.data() + 8) != block.size() ||
        (expectedID != 0 && GetLE32(block.data()) != expectedID))
        ZanDatabaseErrorFmt(8962, "TTableHeader.ReadHeader",
                            "Table header at %d does not belong to table %d",
                            {int64_t(FBaseAddress), int64_t(expectedID)});
    FBuffer.swap(block);
    FDirty = false;
    uint32_t flag = GetModifiedFlag();
    // A counter remembered before a rollback may be one this connection wrote and the file
    // never got; another writer may store that same value next, so it cannot show "no change".
    const uint32_t rollbacks = io->GetRollbackCount();
    if (FLastModifiedFlag == 0 || FLastModifiedFlag != flag || FLastRollbackCount != rollbacks)
        io->NotifyPageChange(GetTableID());
    FLastModifiedFlag = flag;
    FLastRollbackCount = rollbacks;
}

void TTableHeader::WriteHeader() {
    if (FBuffer.empty()) ZanDatabaseError(8576, "TTableHeader.WriteHeader");
    TBaseIOInterface* io = GetIOInterface();
    ZanAssert(io != nullptr, "Table header without IOInterface");
    SetModifiedFlag(GetModifiedFlag() + 1);
    io->WriteBlock(FBaseAddress, static_cast<uint32_t>(FBuffer.size()), FBuffer.data());
    FLastModifiedFlag = GetModifiedFlag();
    FLastRollbackCount = io->GetRollbackCount();
    FDirty = false;
}

void TTableHeader::DebugDumpStatus(TStrings& lines) const {
    lines.Add(Format(
        "TableID=%d BaseAddr=%d HdrSize=%d UserCount=%d",
        {int64_t(GetTableID()), int64_t(FBaseAddress), int64_t(GetHeaderSize()), FUserCount}));
    lines.Add(Format("RecFirstEmpty=%d BlobFE=%d",
                     {int64_t(GetRecordFirstEmpty()), int64_t(GetBlobFirstEmpty())}));
    lines.Add(Format(
        "AutoInc=%d LogRecNo=%d IdxCount=%d",
        {int64_t(GetRecordAutoIncVal()), int64_t(GetLogicalRecordNo()), int64_t(GetIndexCount())}));
    uint32_t count = std::min<uint32_t>(GetIndexCount(), (uint32_t(FBuffer.size()) - 48) / 6);
    for (uint32_t i = 0; i < count; ++i)
        lines.Add(Format("   Idx=%d Root=%d Depth=%d",
                         {int64_t(i), int64_t(GetLE32(FBuffer.data() + 48 + 6 * i)),
                          int64_t(GetLE16(FBuffer.data() + 52 + 6 * i))}));
}

// ---------------------------------------------------------------------------------------------
// Table-header map

TTableHeaderMgr::~TTableHeaderMgr() {
    try {
        Close();
    } catch (...) {
        // Destruction must not throw; the headers were written at every change by their users.
    }
}

void TTableHeaderMgr::Open(TBaseIOInterface* io) {
    if (FBaseAddress == 0)
        ZanDatabaseError(8581, "TTableHeaderMgr.Open",
                         "Base address of table header mapper has not been set");
    FIOInterface = io;
    InternalReadMap();
}

void TTableHeaderMgr::Close() {
    for (int i = 0; i < Count(); ++i)
        if (Items(i)->GetDirty()) Items(i)->WriteHeader();
    Clear();
}

void TTableHeaderMgr::InternalReadMap() {
    ZanAssert(FIOInterface != nullptr, "InternalReadMap: IOInterface = nil");
    std::vector<uint8_t> map(C_HEADER_MAP_SIZE);
    FIOInterface->ReadBlock(FBaseAddress, C_HEADER_MAP_SIZE, map.data());
    // Every used pair must carry an id of this manager's range.
    for (int32_t k = 0; k < C_HEADER_MAP_PAIRS; ++k) {
        uint32_t id = GetLE32(map.data() + 8 * k);
        if (id != 0 && (id < uint32_t(FBaseTableID) ||
                        id - uint32_t(FBaseTableID) >= uint32_t(C_HEADER_MAP_PAIRS)))
            ZanDatabaseErrorFmt(8962, "TTableHeaderMgr.InternalReadMap", "TableID out of range: %d",
                                {int64_t(id)});
    }
    FMap = std::move(map);
}

void TTableHeaderMgr::InternalWriteMap() {
    ZanAssert(FIOInterface != nullptr, "InternalWriteMap: IOInterface = nil");
    FIOInterface->WriteBlock(FBaseAddress, C_HEADER_MAP_SIZE, FMap.data());
}

bool TTableHeaderMgr::FindTableHeaderInMap(int32_t id, int32_t& pos) const {
    for (int32_t k = 0; k < C_HEADER_MAP_PAIRS; ++k) {
        uint32_t pairID = MapTableID(k);
        if (pairID == 0) break;
        if (pairID == uint32_t(id)) {
            pos = k;
            return true;
        }
    }
    return false;
}

TTableHeader* TTableHeaderMgr::FindHdrItemByID(int32_t id) const {
    for (int i = 0; i < Count(); ++i)
        if (Items(i)->GetTableID() == uint32_t(id)) return Items(i);
    return nullptr;
}

uint32_t TTableHeaderMgr::ReadHeaderSize(uint32_t address) {
    ZanAssert(FIOInterface != nullptr, "ReadHeaderSize: IOInterface = nil");
    uint8_t head[64];
    FIOInterface->ReadBlock(address, sizeof head, head);
    return GetLE32(head + 8);
}

uint32_t TTableHeaderMgr::CheckedHeaderSize(uint32_t address, int32_t id, const char* context) {
    ZanAssert(FIOInterface != nullptr, "CheckedHeaderSize: IOInterface = nil");
    // A map address naming any other block (another table's header among them) is damage: a
    // drop through it would release that block.
    uint8_t head[64];
    FIOInterface->ReadBlock(address, sizeof head, head);
    const uint32_t size = GetLE32(head + 8);
    if (size != uint32_t(C_TABLE_HEADER_SIZE))
        ZanDatabaseErrorFmt(8962, context, "Table header at %d has size %d",
                            {int64_t(address), int64_t(size)});
    if (GetLE32(head) != uint32_t(id))
        ZanDatabaseErrorFmt(8962, context, "Table header at %d does not belong to table %d",
                            {int64_t(address), int64_t(id)});
    return size;
}

int32_t TTableHeaderMgr::AddTableHeaderToMap(uint32_t address) {
    std::array<bool, C_HEADER_MAP_PAIRS> used{};
    int32_t freePair = -1;
    for (int32_t k = 0; k < C_HEADER_MAP_PAIRS; ++k) {
        uint32_t id = MapTableID(k);
        if (id == 0) {
            if (freePair < 0) freePair = k;
            continue;
        }
        uint32_t rel = id - uint32_t(FBaseTableID);
        if (id >= uint32_t(FBaseTableID) && rel < uint32_t(C_HEADER_MAP_PAIRS)) used[rel] = true;
    }
    int32_t k = 0;
    while (k < C_HEADER_MAP_PAIRS && used[k])
        ++k;
    if (freePair < 0 || k >= C_HEADER_MAP_PAIRS)
        ZanDatabaseError(9601, "TTableHeaderMgr.AddTableHeaderToMap");
    PutLE32(FMap.data() + 8 * freePair, uint32_t(FBaseTableID + k));
    PutLE32(FMap.data() + 8 * freePair + 4, address);
    InternalWriteMap();
    return FBaseTableID + k;
}

int32_t TTableHeaderMgr::AddTable(int32_t indexCount) {
    InternalReadMap();
    if (MapAddress(C_HEADER_MAP_PAIRS - 1) != 0) ZanDatabaseError(9601, "TTableHeaderMgr.AddTable");
    const int32_t size = CalcTableHeaderSize(indexCount);
    FIOInterface->SetFirstEmptyValid(false);
    std::vector<uint8_t> zero(static_cast<size_t>(size), 0);
    uint32_t address = FIOInterface->AllocateNewAddress(static_cast<uint32_t>(size), zero.data());
    ZanAssert(address != 0, "HeaderMgr. AddTable allocate = 0");
    int32_t id;
    try {
        id = AddTableHeaderToMap(address);
    } catch (...) {
        FIOInterface->SetFirstEmptyValid(false);
        FIOInterface->ReleaseBlock(address, static_cast<uint32_t>(size));
        throw;
    }
    TTableHeader temp;
    temp.SetIOInterface(FIOInterface);
    temp.SetBaseAddress(address);
    temp.SetHeaderSize(size);
    temp.SetIndexCount(static_cast<uint32_t>(indexCount));
    temp.SetTableID(static_cast<uint32_t>(id));
    temp.WriteHeader();
    return id;
}

TTableHeader* TTableHeaderMgr::OpenTable(int32_t id) {
    if (TTableHeader* open = FindHdrItemByID(id)) {
        open->SetUserCount(open->GetUserCount() + 1);
        return open;
    }
    InternalReadMap();
    int32_t pos = 0;
    if (!FindTableHeaderInMap(id, pos))
        // The catalogue names the table, so the map of table headers lost its pair.
        ZanDatabaseErrorFmt(8962, "TTableHeaderMgr.OpenTable", "The TableID could not be found: %d",
                            {id});
    uint32_t address = MapAddress(pos);
    uint32_t size = CheckedHeaderSize(address, id, "TTableHeaderMgr.OpenTable");
    TTableHeader* header = Add();
    try {
        header->SetHeaderSize(static_cast<int32_t>(size));
        header->SetBaseAddress(address);
        header->SetTableID(static_cast<uint32_t>(id));
        header->ReadHeader();
    } catch (...) {
        Delete(header->GetIndex());
        throw;
    }
    header->SetUserCount(1);
    header->SetDirty(false);
    return header;
}

void TTableHeaderMgr::CloseTable(TTableHeader* header) {
    if (header == nullptr)
        ZanDatabaseError(8581, "TTableHeaderMgr.CloseTable",
                         "The requested object has not been assigned");
    header->SetUserCount(header->GetUserCount() - 1);
    if (header->GetUserCount() <= 0) {
        int index = header->GetIndex();
        if (header->GetDirty()) header->WriteHeader();
        Delete(index);
    }
}

void TTableHeaderMgr::DeleteTable(int32_t id) {
    InternalReadMap();
    int32_t pos = 0;
    if (!FindTableHeaderInMap(id, pos))
        ZanDatabaseError(8579, "TTableHeaderMgr.DeleteTable", "Delete table");
    uint32_t address = MapAddress(pos);
    uint32_t size = CheckedHeaderSize(address, id, "TTableHeaderMgr.DeleteTable");
    FIOInterface->SetFirstEmptyValid(false);
    FIOInterface->ReleaseBlock(address, size);
    std::memmove(FMap.data() + 8 * pos, FMap.data() + 8 * (pos + 1),
                 size_t(8) * (C_HEADER_MAP_PAIRS - 1 - pos));
    std::memset(FMap.data() + 8 * (C_HEADER_MAP_PAIRS - 1), 0, 8);
    InternalWriteMap();
}

void TTableHeaderMgr::DebugDumpAllHeaders(TStrings& lines) {
    lines.Add("Current Headers");
    for (int i = 0; i < Count(); ++i) {
        lines.Add(Format("Header Item index=%d", {i}));
        Items(i)->DebugDumpStatus(lines);
    }
    lines.Add("All Headers");
    bool ended = false;
    for (int32_t k = 0; k < C_HEADER_MAP_PAIRS; ++k) {
        uint32_t id = MapTableID(k);
        if (id == 0) {
            ended = true;
            continue;
        }
        if (ended)
            lines.Add(Format("Eror. Found Table in map above 0 entry: ID = %d Addr=%d",
                             {int64_t(id), int64_t(MapAddress(k))}));
        else
            lines.Add(Format("Header MapPos=%d TableID=%d", {k, int64_t(id)}));
    }
}

// ---------------------------------------------------------------------------------------------
// Blob entries and the record manager

TBlob* TBlobMgr::FindBlob(uint32_t recID, int32_t fieldNo) const {
    for (int i = 0; i < Count(); ++i) {
        TBlob* b = Items(i);
        if (b->GetFieldNo() == fieldNo && (recID == 0 || b->GetRecID() == recID)) return b;
    }
    return nullptr;
}

TBlobState TBlobMgr::CheckBlobStates() const {
    if (Count() == 0) return bsNone;
    bool modified = false;
    for (int i = 0; i < Count(); ++i) {
        if (Items(i)->GetState() == bsInvalid) return bsInvalid;
        if (Items(i)->GetState() == bsModified) modified = true;
    }
    return modified ? bsModified : bsValid;
}

void TBlobMgr::InvalidateStreams() {
    for (int i = 0; i < Count(); ++i)
        Items(i)->SetState(bsInvalid);
}

TRecordMgr::TRecordMgr() : FBlobMgr(std::make_unique<TBlobMgr>()) {}

TRecordMgr::~TRecordMgr() = default;

void TRecordMgr::SetRecordSize(int32_t size) {
    ZanAssert(FBuffer.empty(), "Setting record size when buffers set");
    FRecordSize = size;
}

void TRecordMgr::Open(TBaseIOInterface* io) {
    if (FRecordSize <= 0 || FFields == nullptr || io == nullptr)
        ZanDatabaseError(8576, "TRecordMgr.Open");
    FFields->Open();
    FFields->SetRecordSize(FRecordSize);
    FFields->CheckLayout(FRecordSize);
    FIOInterface = io;
    FBuffer.assign(static_cast<size_t>(FRecordSize), 0);
    FBlobMgr->Clear();
    for (int i = 0; i < FFields->Count(); ++i) {
        TInternalFieldItem* f = FFields->Items(i);
        if (!IsBlobFieldType(f->GetDataType())) continue;
        TBlob* blob = FBlobMgr->Add();
        blob->SetState(bsInvalid);
        blob->SetFieldNo(f->GetFieldIndex());
    }
}

void TRecordMgr::Close() {
    if (FFields != nullptr) FFields->Close();
    FBlobMgr->Clear();
    FBuffer.clear();
    FBuffer.shrink_to_fit();
}

void TRecordMgr::CheckOpen(const char* context) const {
    if (FBuffer.empty() || FIOInterface == nullptr) ZanDatabaseError(8576, context);
}

uint32_t TRecordMgr::AddRecord(const uint8_t* buffer) {
    CheckOpen("TRecordMgr.AddRecord");
    uint32_t address = FIOInterface->AllocateNewAddress(static_cast<uint32_t>(FRecordSize), buffer);
    std::memcpy(FBuffer.data(), buffer, FBuffer.size());
    return address;
}

void TRecordMgr::ReadRecord(uint32_t address, uint8_t* buffer, bool keep) {
    CheckOpen("TRecordMgr.ReadRecord");
    FIOInterface->ReadBlock(address, static_cast<uint32_t>(FRecordSize), buffer);
    if (keep) {
        std::memcpy(FBuffer.data(), buffer, FBuffer.size());
        FBlobMgr->InvalidateStreams();
    }
}

void TRecordMgr::ReadRecords(const uint32_t* addresses, size_t count, const TBlockVisit& visit) {
    CheckOpen("TRecordMgr.ReadRecords");
    FIOInterface->ReadBlocks(addresses, count, static_cast<uint32_t>(FRecordSize), visit);
}

void TRecordMgr::ReadFilling(TReadAheadBuffer& filling) {
    CheckOpen("TRecordMgr.ReadFilling");
    FFillAddresses.resize(static_cast<size_t>(filling.Count()));
    for (int32_t i = 0; i < filling.Count(); ++i)
        FFillAddresses[static_cast<size_t>(i)] = filling.Items(i)->GetRecAddr();
    const auto size = static_cast<size_t>(FRecordSize);
    if (static_cast<size_t>(std::max(filling.GetRecordBufferSize(), 0)) < size)
        ZanDatabaseError(8581, "TRecordMgr.ReadFilling", "Read-ahead record buffers too small");
    ReadRecords(FFillAddresses.data(), FFillAddresses.size(), [&](size_t i, const uint8_t* bytes) {
        std::memcpy(filling.Items(static_cast<int32_t>(i))->GetRecordBuffer(), bytes, size);
    });
}

void TRecordMgr::ReadRecordByRef(uint32_t address, uint8_t*& pointer) {
    CheckOpen("TRecordMgr.ReadRecordByRef");
    pointer = FIOInterface->ReadBlockByRef(address, static_cast<uint32_t>(FRecordSize));
}

void TRecordMgr::UpdateRecord(uint32_t address, const uint8_t* buffer) {
    CheckOpen("TRecordMgr.UpdateRecord");
    FIOInterface->WriteBlock(address, static_cast<uint32_t>(FRecordSize), buffer);
    std::memcpy(FBuffer.data(), buffer, FBuffer.size());
}

void TRecordMgr::DeleteRecord(uint32_t address) {
    CheckOpen("TRecordMgr.DeleteRecord");
    FIOInterface->ReleaseBlock(address, static_cast<uint32_t>(FRecordSize));
    FBlobMgr->InvalidateStreams();
}

void TRecordMgr::KeepRecord(const uint8_t* buffer) {
    CheckOpen("TRecordMgr.KeepRecord");
    std::memcpy(FBuffer.data(), buffer, FBuffer.size());
    FBlobMgr->InvalidateStreams();
}

void TRecordMgr::RestoreBufferFromInternalBuffer(uint8_t* buffer) const {
    if (!FBuffer.empty()) std::memcpy(buffer, FBuffer.data(), FBuffer.size());
}

// ---------------------------------------------------------------------------------------------
// Read-ahead buffer

void TReadAheadBuffer::Open(int32_t recordSize, int32_t keySize, uint64_t lifetime) {
    Close();
    FRecordSize = std::max(recordSize, 0);
    FKeySize = std::max(keySize, 0);
    FLifetime = lifetime;
    FValidTimeStamp = 0;
    FLastRecordCount = 0;
    FRecordCountValid = false;
}

void TReadAheadBuffer::Close() {
    FPool.clear();
    FCount = 0;
}

TReadAheadBufferItem* TReadAheadBuffer::Add() {
    if (FCount >= static_cast<int32_t>(FPool.size())) {
        auto item = std::make_unique<TReadAheadBufferItem>();
        item->FRecord.assign(static_cast<size_t>(FRecordSize), 0);
        item->FKey.assign(static_cast<size_t>(FKeySize), 0);
        item->FRecordBuffer = item->FRecord.data();
        item->FKeyBuffer = item->FKey.data();
        FPool.push_back(std::move(item));
    }
    return FPool[static_cast<size_t>(FCount++)].get();
}

void TReadAheadBuffer::Delete(int32_t index) {
    if (index < 0 || index >= FCount) ListIndexError(index);
    // The removed item's buffers wait behind the ones in use.
    std::rotate(FPool.begin() + index, FPool.begin() + index + 1, FPool.begin() + FCount);
    --FCount;
}

TReadAheadBufferItem* TReadAheadBuffer::Items(int32_t index) const {
    if (index < 0 || index >= FCount) ListIndexError(index);
    return FPool[static_cast<size_t>(index)].get();
}

void TReadAheadBuffer::Invalidate() {
    FCount = 0;
    FValidTimeStamp = 0;
}

bool TReadAheadBuffer::IsValid(uint64_t now) {
    bool valid = Count() > 0 && now <= FValidTimeStamp + FLifetime;
    if (!valid) Invalidate();
    return valid;
}

int32_t TReadAheadBuffer::GetIndexOfBufferItem(uint32_t address) const {
    for (int i = Count() - 1; i >= 0; --i)
        if (Items(i)->GetRecAddr() == address) return i;
    return -1;
}

TReadAheadBufferItem* TReadAheadBuffer::GetBufferItem(uint32_t address) const {
    int32_t i = GetIndexOfBufferItem(address);
    return i < 0 ? nullptr : Items(i);
}

TReadAheadBufferItem* TReadAheadBuffer::GetNextBufferItem(uint32_t address) const {
    int32_t i = GetIndexOfBufferItem(address);
    return i < 0 || i + 1 >= Count() ? nullptr : Items(i + 1);
}

TReadAheadBufferItem* TReadAheadBuffer::GetPriorBufferItem(uint32_t address) const {
    int32_t i = GetIndexOfBufferItem(address);
    return i <= 0 ? nullptr : Items(i - 1);
}

} // namespace zan
