// Records of a table: the field layout and record format, the table header with its map of
// table ids, the record and blob managers and the read-ahead buffer.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/zanInterfaceUnit.h"
#include "host/db/DB.h"
#include "host/rtl/Collections.h"
#include "host/rtl/ComponentText.h"
#include "host/rtl/Streams.h"
#include "host/rtl/StringList.h"

namespace zan {

// ---------------------------------------------------------------------------------------------
// Field layout and record format
//
// A record: bytes 0-1 flags (byte 0 = in use), 2-5 owner tag, 6-9 logical record number, 10-13
// modification stamp; then one null-flag byte per field (0 null, 1 value); then the field data in
// list order. A string field has a 2-byte size marker before its declared size.

inline constexpr int32_t C_RECORD_PREFIX_SIZE = 14;
inline constexpr int32_t C_REC_INUSE_OFFSET = 0;
inline constexpr int32_t C_REC_OWNER_OFFSET = 2;
inline constexpr int32_t C_REC_LOGICAL_RECNO_OFFSET = 6;
inline constexpr int32_t C_REC_STAMP_OFFSET = 10;
// A layout holds at most this many fields (the size of its field-index map).
inline constexpr int32_t C_MAX_LAYOUT_FIELDS = 255;

// Bytes a value of the type takes in a record (without a string's size marker; string and bytes
// types answer 0 here, their size is declared).
int32_t FieldStorageSize(TFieldType type);
// True for ftBlob, ftMemo, ftGraphic, ftFmtMemo.
bool IsBlobFieldType(TFieldType type);
// The longest prefix of text, at most maxBytes long, that does not end inside a UTF-8 sequence.
size_t Utf8CutLength(std::string_view text, size_t maxBytes);

class TInternalFieldItem : public TCollectionItem {
public:
    ZAN_CLASS(TInternalFieldItem)
    ZAN_PROPERTIES(TInternalFieldItem)

    // The properties in their stored order.
    const std::string& GetFieldName() const { return FFieldName; }
    void SetFieldName(const std::string& name) { FFieldName = name; }
    int32_t GetFieldNo() const { return FFieldNo; }
    void SetFieldNo(int32_t n) { FFieldNo = n; }
    int32_t GetFieldIndex() const { return FFieldIndex; }
    void SetFieldIndex(int32_t n) { FFieldIndex = n; }
    TFieldType GetDataType() const { return FDataType; }
    // Refuses the types a record cannot hold (10000 naming the type); sets FieldSize to the
    // type's storage size.
    void SetDataType(TFieldType type);
    int32_t GetFieldSize() const { return FFieldSize; }
    void SetFieldSize(int32_t size) { FFieldSize = size; }
    int32_t GetNumDecimalPlaces() const { return FNumDecimalPlaces; }
    void SetNumDecimalPlaces(int32_t n) { FNumDecimalPlaces = n; }
    bool GetRequired() const { return FRequired; }
    void SetRequired(bool value) { FRequired = value; }
    int32_t GetSizeMarkerOffset() const { return FSizeMarkerOffset; }
    void SetSizeMarkerOffset(int32_t offset) { FSizeMarkerOffset = offset; }
    int32_t GetDataOffset() const { return FDataOffset; }
    void SetDataOffset(int32_t offset) { FDataOffset = offset; }
    int32_t GetNullFlagOffset() const { return FNullFlagOffset; }
    void SetNullFlagOffset(int32_t offset) { FNullFlagOffset = offset; }
    bool GetIsVariable() const { return FIsVariable; }
    void SetIsVariable(bool value) { FIsVariable = value; }
    int32_t GetFieldGeneratorID() const { return FFieldGeneratorID; }
    void SetFieldGeneratorID(int32_t id) { FFieldGeneratorID = id; }
    bool GetHidden() const { return FHidden; }
    void SetHidden(bool value) { FHidden = value; }
    TDataCompressionMode GetCompressionMode() const { return FCompressionMode; }
    void SetCompressionMode(TDataCompressionMode mode) { FCompressionMode = mode; }

    const std::string& GetSourceField() const { return FSourceField; }
    void SetSourceField(const std::string& name) { FSourceField = name; }
    int32_t GetPrivilegeFlags() const { return FPrivilegeFlags; }
    void SetPrivilegeFlags(int32_t flags) { FPrivilegeFlags = flags; }

    // Bytes (characters for wide strings) a value may use: a declared string size counts its
    // terminating zero.
    int32_t GetWriteableFieldSize() const;
    void Assign(const TCollectionItem& source) override;

private:
    std::string FFieldName;
    int32_t FFieldNo = 0;
    int32_t FFieldIndex = 0;
    TFieldType FDataType = ftUnknown;
    int32_t FFieldSize = 0;
    int32_t FNumDecimalPlaces = 0;
    bool FRequired = false;
    int32_t FSizeMarkerOffset = 0;
    int32_t FDataOffset = 0;
    int32_t FNullFlagOffset = 0;
    bool FIsVariable = false;
    int32_t FFieldGeneratorID = 0;
    bool FHidden = false;
    TDataCompressionMode FCompressionMode = dcNone;
    std::string FSourceField;
    int32_t FPrivilegeFlags = 0;
};

class TSearchFieldItem : public TInternalFieldItem {
public:
    ZAN_CLASS(TSearchFieldItem)

    bool GetInIndex() const { return FInIndex; }
    void SetInIndex(bool value) { FInIndex = value; }
    bool GetDescending() const { return FDescending; }
    void SetDescending(bool value) { FDescending = value; }
    void Assign(const TCollectionItem& source) override;

private:
    bool FInIndex = false;
    bool FDescending = false;
};

// The record layout of one table.
class TInternalFields : public TCollection {
public:
    TInternalFields();
    ZAN_CLASS(TInternalFields)

    // Appends an item with a random FieldGeneratorID (0 .. 2147483646).
    TInternalFieldItem* Add();
    TInternalFieldItem* Items(int index) const {
        return static_cast<TInternalFieldItem*>(TCollection::Items(index));
    }

    // Offsets of every field, then RecordSize.
    void SetDefaultOffsets();
    // Derives UsesBlobs and AutoIncFieldNo and builds the field-index map. A stored layout with
    // more than 255 fields, field indexes that are not a permutation or a field name twice
    // (ASCII case ignored) raises 8962.
    void Open();
    void Close() { Clear(); }
    // Checks that every field lies inside a record of recordSize bytes and that the record ends
    // with its furthest field (8962 when not).
    void CheckLayout(int32_t recordSize) const;

    // The item whose FieldIndex is n.
    TInternalFieldItem* GetField(int32_t n) const;
    int32_t GetFieldIndexValue(int32_t n) const;
    // The first item whose FieldName / SourceField equals the name ignoring case; nullptr.
    TInternalFieldItem* FindField(std::string_view name) const;
    TInternalFieldItem* FindSourceField(std::string_view name) const;

    // Copies the items and the map; RecordSize 0, UsesBlobs False, AutoIncFieldNo -1 until Open.
    void Assign(const TCollection& source) override;

    int32_t GetRecordSize() const { return FRecordSize; }
    void SetRecordSize(int32_t size) { FRecordSize = size; }
    bool GetUsesBlobs() const { return FUsesBlobs; }
    void SetUsesBlobs(bool value) { FUsesBlobs = value; }
    int32_t GetAutoIncFieldNo() const { return FAutoIncFieldNo; }
    void SetAutoIncFieldNo(int32_t n) { FAutoIncFieldNo = n; }

protected:
    explicit TInternalFields(TCollectionItemFactory factory);

private:
    int32_t FRecordSize = 0;
    bool FUsesBlobs = false;
    int32_t FAutoIncFieldNo = -1;
    std::array<int32_t, C_MAX_LAYOUT_FIELDS> FFieldIndexMap{};
};

class TSearchFields : public TInternalFields {
public:
    TSearchFields();
    ZAN_CLASS(TSearchFields)

    TSearchFieldItem* Add() { return static_cast<TSearchFieldItem*>(TInternalFields::Add()); }
    TSearchFieldItem* Items(int index) const {
        return static_cast<TSearchFieldItem*>(TCollection::Items(index));
    }
};

// Field values in a record buffer of the layout's size. Reading a value the field's type does
// not hold raises 10000; a stored string length beyond the field raises 8962.
bool RecordFieldIsNull(const uint8_t* record, const TInternalFieldItem& field);
// Null flag 0; data (and size marker) zeroed.
void RecordSetFieldNull(uint8_t* record, const TInternalFieldItem& field);
// ftString: the text is cut at a character boundary to the writable size; the rest of the
// declared size is zero.
std::string RecordGetString(const uint8_t* record, const TInternalFieldItem& field);
// The same text as a view into the record (no copy), valid while the record's bytes are.
std::string_view RecordGetStringView(const uint8_t* record, const TInternalFieldItem& field);
void RecordSetString(uint8_t* record, const TInternalFieldItem& field, std::string_view text);
// ftBytes: the declared size, zero-padded.
std::string RecordGetBytes(const uint8_t* record, const TInternalFieldItem& field);
void RecordSetBytes(uint8_t* record, const TInternalFieldItem& field, std::string_view bytes);
// ftBoolean: stored as 0 or 1; any non-zero byte reads as true.
bool RecordGetBoolean(const uint8_t* record, const TInternalFieldItem& field);
void RecordSetBoolean(uint8_t* record, const TInternalFieldItem& field, bool value);
// ftSmallint, ftWord, ftInteger, ftAutoInc (the value cut to the field's width).
int32_t RecordGetInteger(const uint8_t* record, const TInternalFieldItem& field);
void RecordSetInteger(uint8_t* record, const TInternalFieldItem& field, int32_t value);
// ftFloat, ftCurrency, ftDate, ftTime, ftDateTime: a double.
double RecordGetFloat(const uint8_t* record, const TInternalFieldItem& field);
void RecordSetFloat(uint8_t* record, const TInternalFieldItem& field, double value);
// Blob fields: head address and length; the null flag is 1 exactly when the length is above 0.
void RecordGetBlobRef(const uint8_t* record, const TInternalFieldItem& field, uint32_t& head,
                      uint32_t& length);
void RecordSetBlobRef(uint8_t* record, const TInternalFieldItem& field, uint32_t head,
                      uint32_t length);

// ---------------------------------------------------------------------------------------------
// Table header and table-header map

inline constexpr int32_t C_TABLE_HEADER_SIZE = 256;
inline constexpr int32_t C_HEADER_MAP_SIZE = 8192;
inline constexpr int32_t C_HEADER_MAP_PAIRS = 1000;
inline constexpr int32_t C_USER_BASE_TABLE_ID = 1;
inline constexpr int32_t C_SYSTEM_BASE_TABLE_ID = 1024;

class TTableHeaderMgr;

// One table's header block held in memory, shared by the table's openers.
class TTableHeader : public TCollectionItem {
public:
    ZAN_CLASS(TTableHeader)

    uint32_t GetTableID() const { return InternalGetHdrItemDWord(0); }
    void SetTableID(uint32_t v) { InternalSetHdrItemDWord(0, v); }
    uint32_t GetModifiedFlag() const { return InternalGetHdrItemDWord(4); }
    void SetModifiedFlag(uint32_t v) { InternalSetHdrItemDWord(4, v); }
    uint32_t GetHeaderSize() const { return InternalGetHdrItemDWord(8); }
    uint32_t GetRecordFirstEmpty() const { return InternalGetHdrItemDWord(12); }
    void SetRecordFirstEmpty(uint32_t v) { InternalSetHdrItemDWord(12, v); }
    uint32_t GetRecordAutoIncVal() const { return InternalGetHdrItemDWord(16); }
    void SetRecordAutoIncVal(uint32_t v) { InternalSetHdrItemDWord(16, v); }
    uint32_t GetLogicalRecordNo() const { return InternalGetHdrItemDWord(20); }
    void SetLogicalRecordNo(uint32_t v) { InternalSetHdrItemDWord(20, v); }
    uint32_t GetBlobFirstEmpty() const { return InternalGetHdrItemDWord(24); }
    void SetBlobFirstEmpty(uint32_t v) { InternalSetHdrItemDWord(24, v); }
    uint32_t GetGenerator1() const { return InternalGetHdrItemDWord(28); }
    void SetGenerator1(uint32_t v) { InternalSetHdrItemDWord(28, v); }
    uint32_t GetGenerator2() const { return InternalGetHdrItemDWord(32); }
    void SetGenerator2(uint32_t v) { InternalSetHdrItemDWord(32, v); }
    uint32_t GetIndexCount() const { return InternalGetHdrItemDWord(36); }
    void SetIndexCount(uint32_t v) { InternalSetHdrItemDWord(36, v); }
    uint32_t GetInternalGenerator() const { return InternalGetHdrItemDWord(40); }
    void SetInternalGenerator(uint32_t v) { InternalSetHdrItemDWord(40, v); }
    uint32_t GetIndexRoot(int32_t i) const {
        return InternalGetHdrItemDWord(InternalGetIndexOffset(i));
    }
    void SetIndexRoot(int32_t i, uint32_t v) {
        InternalSetHdrItemDWord(InternalGetIndexOffset(i), v);
    }
    uint16_t GetIndexDepth(int32_t i) const {
        return InternalGetHdrItemWord(InternalGetIndexOffset(i) + 4);
    }
    void SetIndexDepth(int32_t i, uint16_t v) {
        InternalSetHdrItemWord(InternalGetIndexOffset(i) + 4, v);
    }

    // A zero-filled buffer of n bytes with n stored at offset 8.
    void SetHeaderSize(int32_t n);
    // Resizes to n keeping min(old, n) bytes unless clear.
    void ResetHeaderSize(int32_t n, bool clear);
    void ClearHeader();
    // Reads the block; a block whose size or table id disagrees raises 8962. A changed (or first
    // read) change counter is reported to the I/O interface.
    void ReadHeader();
    // Increments the change counter and writes the block.
    void WriteHeader();

    bool GetDirty() const { return FDirty; }
    void SetDirty(bool dirty) { FDirty = dirty; }
    uint32_t GetBaseAddress() const { return FBaseAddress; }
    void SetBaseAddress(uint32_t address) { FBaseAddress = address; }
    int32_t GetUserCount() const { return FUserCount; }
    void SetUserCount(int32_t n) { FUserCount = n; }
    // The I/O interface used by ReadHeader/WriteHeader (the manager's when in one).
    TBaseIOInterface* GetIOInterface() const;
    void SetIOInterface(TBaseIOInterface* io) { FIOInterface = io; }
    const uint8_t* GetBuffer() const { return FBuffer.data(); }

    void DebugDumpStatus(TStrings& lines) const;

private:
    // The header's items, read and written at every table operation: inline, with the range
    // errors (8581) out of line.
    uint32_t InternalGetHdrItemDWord(int32_t offset) const {
        if (offset < 0 || size_t(offset) + 4 > FBuffer.size())
            OffsetError("TTableHeader.InternalGetHdrItemDWord", false);
        return GetLE32(FBuffer.data() + offset);
    }
    void InternalSetHdrItemDWord(int32_t offset, uint32_t value) {
        if (offset < 0 || size_t(offset) + 4 > FBuffer.size())
            OffsetError("TTableHeader.InternalSetHdrItemDWord", true);
        if (GetLE32(FBuffer.data() + offset) != value) {
            PutLE32(FBuffer.data() + offset, value);
            FDirty = true;
        }
    }
    uint16_t InternalGetHdrItemWord(int32_t offset) const {
        if (offset < 0 || size_t(offset) + 2 > FBuffer.size())
            OffsetError("TTableHeader.InternalGetHdrItemWord", false);
        return GetLE16(FBuffer.data() + offset);
    }
    void InternalSetHdrItemWord(int32_t offset, uint16_t value) {
        if (offset < 0 || size_t(offset) + 2 > FBuffer.size())
            OffsetError("TTableHeader.InternalSetHdrItemWord", true);
        if (GetLE16(FBuffer.data() + offset) != value) {
            PutLE16(FBuffer.data() + offset, value);
            FDirty = true;
        }
    }
    int32_t InternalGetIndexOffset(int32_t i) const {
        if (i < 0 || uint32_t(i) >= GetIndexCount())
            OffsetError("TTableHeader.InternalGetIndexOffset", true);
        return 48 + 6 * i;
    }
    // 8581 at context, with the out-of-range text when withText.
    [[noreturn]] static void OffsetError(const char* context, bool withText);

    std::vector<uint8_t> FBuffer;
    std::vector<uint8_t> FReadBuffer; // ReadHeader's target, swapped with FBuffer
    bool FDirty = false;
    uint32_t FBaseAddress = 0;
    int32_t FUserCount = 0;
    uint32_t FLastModifiedFlag = 0;
    uint32_t FLastRollbackCount = 0; // the store's rollback count when FLastModifiedFlag was set
    TBaseIOInterface* FIOInterface = nullptr;
};

// The open headers of one table-definition manager and its map of (table id, header address).
class TTableHeaderMgr : public TCollectionT<TTableHeader> {
public:
    TTableHeaderMgr() = default;
    ~TTableHeaderMgr() override;
    ZAN_CLASS(TTableHeaderMgr)

    void SetBaseAddress(uint32_t address) { FBaseAddress = address; }
    uint32_t GetBaseAddress() const { return FBaseAddress; }
    void SetBaseTableID(int32_t id) { FBaseTableID = id; }
    int32_t GetBaseTableID() const { return FBaseTableID; }
    TBaseIOInterface* GetIOInterface() const { return FIOInterface; }

    void Open(TBaseIOInterface* io);
    // Writes every dirty open header and forgets them.
    void Close();
    // A new header block and map entry; answers the new table id.
    int32_t AddTable(int32_t indexCount);
    TTableHeader* OpenTable(int32_t id);
    void CloseTable(TTableHeader* header);
    void DeleteTable(int32_t id);
    TTableHeader* FindHdrItemByID(int32_t id) const;
    bool FindTableHeaderInMap(int32_t id, int32_t& pos) const;
    uint32_t ReadHeaderSize(uint32_t address);
    void DebugDumpAllHeaders(TStrings& lines);

    // The map as last read or written.
    uint32_t MapTableID(int32_t pos) const { return GetLE32(FMap.data() + 8 * pos); }
    uint32_t MapAddress(int32_t pos) const { return GetLE32(FMap.data() + 8 * pos + 4); }

private:
    void InternalReadMap();
    void InternalWriteMap();
    int32_t AddTableHeaderToMap(uint32_t address);
    // Reads the header size at the address, which must be the header of table id (its size and
    // its table id; 8962 otherwise).
    uint32_t CheckedHeaderSize(uint32_t address, int32_t id, const char* context);

    std::vector<uint8_t> FMap = std::vector<uint8_t>(C_HEADER_MAP_SIZE, 0);
    TBaseIOInterface* FIOInterface = nullptr;
    uint32_t FBaseAddress = 0;
    int32_t FBaseTableID = 0;
};

// ---------------------------------------------------------------------------------------------
// Record and blob managers

enum TBlobState : uint8_t { bsNone, bsInvalid, bsValid, bsModified };

class TBlob : public TCollectionItem {
public:
    ZAN_CLASS(TBlob)

    uint32_t GetRecID() const { return FRecID; }
    void SetRecID(uint32_t id) { FRecID = id; }
    int32_t GetFieldNo() const { return FFieldNo; }
    void SetFieldNo(int32_t n) { FFieldNo = n; }
    TBlobState GetState() const { return FState; }
    void SetState(TBlobState state) { FState = state; }
    TMemoryStream& GetStream() { return FStream; }

private:
    uint32_t FRecID = 0;
    int32_t FFieldNo = 0;
    TBlobState FState = bsNone;
    TMemoryStream FStream;
};

class TBlobMgr : public TCollectionT<TBlob> {
public:
    ZAN_CLASS(TBlobMgr)

    // The first entry of the field and, when recID is not 0, of that record; nullptr.
    TBlob* FindBlob(uint32_t recID, int32_t fieldNo) const;
    // bsNone without entries; bsInvalid when one is invalid; else bsModified when one is
    // modified; else bsValid.
    TBlobState CheckBlobStates() const;
    void InvalidateStreams();
};

class TReadAheadBuffer;

class TRecordMgr : public TObject {
public:
    TRecordMgr();
    ~TRecordMgr() override;
    ZAN_CLASS(TRecordMgr)

    void SetRecordSize(int32_t size);
    int32_t GetRecordSize() const { return FRecordSize; }
    // The layout the records follow; not owned.
    void SetFields(TInternalFields* fields) { FFields = fields; }
    TInternalFields* GetFields() const { return FFields; }

    void Open(TBaseIOInterface* io);
    void Close();
    bool IsOpen() const { return !FBuffer.empty(); }

    uint32_t AddRecord(const uint8_t* buffer);
    void ReadRecord(uint32_t address, uint8_t* buffer, bool keep);
    void ReadRecordByRef(uint32_t address, uint8_t*& pointer);
    // Reads the records at addresses together (their pages looked up and fetched at once) and
    // hands each to visit in that order; the bytes are valid only during the visit. The last
    // record read (keep) is not changed.
    void ReadRecords(const uint32_t* addresses, size_t count, const TBlockVisit& visit);
    // Reads the record of every item of a read-ahead filling into the item's buffer, all
    // together as ReadRecords does.
    void ReadFilling(TReadAheadBuffer& filling);
    void UpdateRecord(uint32_t address, const uint8_t* buffer);
    void DeleteRecord(uint32_t address);
    void RestoreBufferFromInternalBuffer(uint8_t* buffer) const;
    // Takes buffer as the last record read (as ReadRecord with keep does), for records read
    // earlier and served from elsewhere.
    void KeepRecord(const uint8_t* buffer);

    const uint8_t* GetInternalBuffer() const { return FBuffer.data(); }
    TBlobMgr& GetBlobMgr() { return *FBlobMgr; }
    TBaseIOInterface* GetIOInterface() const { return FIOInterface; }

private:
    void CheckOpen(const char* context) const;

    TBaseIOInterface* FIOInterface = nullptr;
    std::unique_ptr<TBlobMgr> FBlobMgr;
    TInternalFields* FFields = nullptr;
    int32_t FRecordSize = 0;
    std::vector<uint8_t> FBuffer;
    std::vector<uint32_t> FFillAddresses; // kept between fillings
};

// ---------------------------------------------------------------------------------------------
// Read-ahead buffer

class TReadAheadBufferItem : public TObject {
public:
    ZAN_CLASS(TReadAheadBufferItem)

    uint8_t* GetRecordBuffer() const { return FRecordBuffer; }
    uint8_t* GetKeyBuffer() const { return FKeyBuffer; }
    int32_t GetRecNo() const { return FRecNo; }
    void SetRecNo(int32_t n) { FRecNo = n; }
    uint32_t GetRecAddr() const { return FRecAddr; }
    void SetRecAddr(uint32_t address) { FRecAddr = address; }

private:
    friend class TReadAheadBuffer;
    std::vector<uint8_t> FRecord;
    std::vector<uint8_t> FKey;
    uint8_t* FRecordBuffer = nullptr; // FRecord's bytes
    uint8_t* FKeyBuffer = nullptr;    // FKey's bytes
    int32_t FRecNo = 0;
    uint32_t FRecAddr = 0;
};

// Records read in index order, kept for a short time. Times are milliseconds of a monotonic
// clock in 64 bits. Items and their buffers are pooled: emptying the buffer keeps them for the
// next filling, so a filling allocates nothing once the pool is as large as the fillings.
class TReadAheadBuffer : public TObject {
public:
    ZAN_CLASS(TReadAheadBuffer)

    void Open(int32_t recordSize, int32_t keySize, uint64_t lifetime);
    void Close();
    // An item at the end with the next free pair of pooled buffers.
    TReadAheadBufferItem* Add();
    // Removes the item at index; the later ones move up (its buffers go back to the pool).
    void Delete(int32_t index);
    void Invalidate();
    // Valid while now <= ValidTimeStamp + lifetime and not empty; invalidates itself otherwise.
    bool IsValid(uint64_t now);

    int32_t Count() const { return FCount; }
    // EListError outside 0..Count-1.
    TReadAheadBufferItem* Items(int32_t index) const;
    int32_t GetIndexOfBufferItem(uint32_t address) const;
    TReadAheadBufferItem* GetBufferItem(uint32_t address) const;
    TReadAheadBufferItem* GetNextBufferItem(uint32_t address) const;
    TReadAheadBufferItem* GetPriorBufferItem(uint32_t address) const;
    TReadAheadBufferItem* Last() const { return Count() == 0 ? nullptr : Items(Count() - 1); }
    int32_t GetInternalBufferCount() const { return static_cast<int32_t>(FPool.size()); }

    uint64_t GetValidTimeStamp() const { return FValidTimeStamp; }
    void SetValidTimeStamp(uint64_t stamp) { FValidTimeStamp = stamp; }
    uint64_t GetLifetime() const { return FLifetime; }
    int32_t GetLastRecordCount() const { return FLastRecordCount; }
    void SetLastRecordCount(int32_t n) { FLastRecordCount = n; }
    bool GetRecordCountValid() const { return FRecordCountValid; }
    void SetRecordCountValid(bool valid) { FRecordCountValid = valid; }
    int32_t GetRecordBufferSize() const { return FRecordSize; }
    int32_t GetKeyBufferSize() const { return FKeySize; }

private:
    int32_t FRecordSize = 0;
    int32_t FKeySize = 0;
    // The pool; its first FCount items are the buffer's, in order.
    std::vector<std::unique_ptr<TReadAheadBufferItem>> FPool;
    int32_t FCount = 0;
    uint64_t FValidTimeStamp = 0;
    uint64_t FLifetime = 0;
    int32_t FLastRecordCount = 0;
    bool FRecordCountValid = false;
};

} // namespace zan
