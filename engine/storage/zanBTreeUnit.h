// Index pages and the counted B+-tree built on them.
//
// An index page (little-endian) is a 16-byte header (leaf flag, bytes used, next leaf, prior
// leaf) followed by packed entries. An entry is: uint16 length, uint32 count (the subtree's record
// count on internal pages, 0 on leaves), uint32 address (record on leaves, child page on internal
// pages), a null bitmap of (key field count div 8 + 1) bytes (MSB first, a set bit means the field
// has a value), then the values of the non-null key fields (strings as uint16 length plus bytes).
// With ikFixed every entry is padded to the maximum key size m; with ikMinStringLen entries are
// as long as their values. Every page read from the store is validated before use: a page that
// does not parse raises 8965 "Index is corrupt".
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/zanCache.h"
#include "engine/storage/zanCommon.h"
#include "engine/storage/zanLists.h"
#include "host/db/DB.h"
#include "host/rtl/Collections.h"
#include "host/rtl/ComponentText.h"
#include "host/rtl/StringList.h"
#include "host/rtl/Variants.h"

namespace zan {

class TBTree;
class TBaseIOInterface;
class TDiskMgr;
class TReadAheadBuffer;

// Which records a read-ahead fill lists around the cursor.
enum TReadAheadDirection : uint8_t { rdNone, rdForwards, rdBackwards, rdCenter };

// How a search compares its key: stLEG is the nearest key (greater or equal, else less or equal).
enum TIndexSearchType : uint8_t { stLT, stLE, stEQ, stGE, stGT, stLEG };

// How a byte position inside a page maps to an entry.
enum TKeySearchType : uint8_t { ksAtOrBefore, ksExact, ksAtOrAfter };

// Per-field comparison markers of a search key: 1 compares the value, 0 sorts below every value,
// 2 above every value. A missing list (or a missing entry) means 1.
using TKeyMarkers = std::vector<int32_t>;

// The store the tree keeps its pages in: whole pages of the tree's page size, addressed by a
// non-zero 32-bit address.
class TIndexPageStore {
public:
    virtual ~TIndexPageStore() = default;
    // A new page holding data (page size bytes); answers its address.
    virtual uint32_t AllocatePage(const void* data) = 0;
    virtual void ReleasePage(uint32_t address) = 0;
    virtual void ReadPage(uint32_t address, void* buffer) = 0;
    // The page at address read in place and pinned, or an empty pin when the store cannot
    // (the caller then reads a copy).
    virtual TCachePin PinPage(uint32_t /*address*/) { return {}; }
    virtual void WritePage(uint32_t address, const void* data) = 0;
    // The page at address is page (page size bytes), of which only count bytes from offset
    // differ from what the store holds: a store may write just those.
    virtual void WritePagePart(uint32_t address, const uint8_t* page, uint32_t /*offset*/,
                               uint32_t /*count*/) {
        WritePage(address, page);
    }
    // The disk manager of a store on disk: a key change is one write scope on it.
    virtual TDiskMgr* GetDiskMgr() const { return nullptr; }
};

// ---------------------------------------------------------------------------------------------
// Key fields: where a key field's value lies in a record buffer and how it is ordered.

class TKeyFieldItem : public TCollectionItem {
public:
    ZAN_CLASS(TKeyFieldItem)
    ZAN_PROPERTIES(TKeyFieldItem)
    void Assign(const TCollectionItem& source) override;

    std::string GetFieldName() const { return FFieldName; }
    void SetFieldName(const std::string& v) { FFieldName = v; }
    TFieldType GetDataType() const { return FDataType; }
    void SetDataType(TFieldType v) { FDataType = v; }
    int32_t GetFieldSize() const { return FFieldSize; }
    void SetFieldSize(int32_t v) { FFieldSize = v; }
    bool GetCaseInsensitive() const { return FCaseInsensitive; }
    void SetCaseInsensitive(bool v) { FCaseInsensitive = v; }
    bool GetDescending() const { return FDescending; }
    void SetDescending(bool v) { FDescending = v; }
    bool GetIsVariable() const { return FIsVariable; }
    void SetIsVariable(bool v) { FIsVariable = v; }
    int32_t GetRecBufOffset() const { return FRecBufOffset; }
    void SetRecBufOffset(int32_t v) { FRecBufOffset = v; }
    int32_t GetNullFlagOffset() const { return FNullFlagOffset; }
    void SetNullFlagOffset(int32_t v) { FNullFlagOffset = v; }
    int32_t GetSizeMarkerOffset() const { return FSizeMarkerOffset; }
    void SetSizeMarkerOffset(int32_t v) { FSizeMarkerOffset = v; }
    int32_t GetPhysicalFieldNo() const { return FPhysicalFieldNo; }
    void SetPhysicalFieldNo(int32_t v) { FPhysicalFieldNo = v; }
    std::string GetIndexName() const { return FIndexName; }
    void SetIndexName(const std::string& v) { FIndexName = v; }
    bool GetHidden() const { return FHidden; }
    void SetHidden(bool v) { FHidden = v; }
    int32_t GetKeyIndex() const { return FKeyIndex; }
    void SetKeyIndex(int32_t v) { FKeyIndex = v; }

private:
    std::string FFieldName;
    TFieldType FDataType = ftUnknown;
    int32_t FFieldSize = 0;
    bool FCaseInsensitive = false;
    bool FDescending = false;
    bool FIsVariable = false;
    int32_t FRecBufOffset = 0;
    int32_t FNullFlagOffset = 0;
    int32_t FSizeMarkerOffset = 0;
    int32_t FPhysicalFieldNo = 0;
    std::string FIndexName;
    bool FHidden = false;
    int32_t FKeyIndex = 0;
};

class TKeyFields : public TCollectionT<TKeyFieldItem> {
public:
    ZAN_CLASS(TKeyFields)
    void Assign(const TCollection& source) override;
    // The first key field of that name (ignoring case), or nullptr.
    TKeyFieldItem* FindField(const std::string& name) const;
    int32_t FindFieldCountForIndex(const std::string& indexName) const;
    // The null bitmap size of a key: key field count div 8 + 1.
    void SetDataOffset(int32_t value) { FKeyDataOffset = value; }
    int32_t GetDataOffset() const { return FKeyDataOffset; }

private:
    int32_t FKeyDataOffset = 1;
};

// A search limited to the first IncludedKeyFieldCount key fields, or, below 1, to the key fields
// before the first hidden one.
struct TSearchModifier {
    bool LimitedSearch = false;
    int32_t IncludedKeyFieldCount = 0;
};

// ---------------------------------------------------------------------------------------------
// Key layout constants and little-endian access.

inline constexpr int32_t C_NODEHEADERSIZE = 16;
inline constexpr int32_t C_KEYLENOFS = 0;
inline constexpr int32_t C_KEYCOUNTOFS = 2;
inline constexpr int32_t C_KEYADDROFS = 6;
inline constexpr int32_t C_KEYBITMAPOFS = 10;
inline constexpr int32_t C_MAXKEYFIELDS = 32;

inline uint16_t KeyLength(const uint8_t* key) {
    uint16_t v;
    std::memcpy(&v, key + C_KEYLENOFS, 2);
    return v;
}
inline uint32_t KeyCount(const uint8_t* key) {
    uint32_t v;
    std::memcpy(&v, key + C_KEYCOUNTOFS, 4);
    return v;
}
inline uint32_t KeyAddress(const uint8_t* key) {
    uint32_t v;
    std::memcpy(&v, key + C_KEYADDROFS, 4);
    return v;
}
inline void SetKeyLength(uint8_t* key, uint16_t value) {
    std::memcpy(key + C_KEYLENOFS, &value, 2);
}
inline void SetKeyCount(uint8_t* key, uint32_t value) {
    std::memcpy(key + C_KEYCOUNTOFS, &value, 4);
}
inline void SetKeyAddress(uint8_t* key, uint32_t value) {
    std::memcpy(key + C_KEYADDROFS, &value, 4);
}

// ---------------------------------------------------------------------------------------------
// One index page held in memory: read in place (pinned in the page cache) where the store can,
// else copied; the first change copies a pinned page into the node's own buffer.

class TNode {
public:
    TNode() = default;
    // A copy holds the same page: the same pin, or a copy of the bytes.
    TNode(const TNode& other) { *this = other; }
    TNode& operator=(const TNode& other);

    void Open(TBTree* tree, TIndexPageStore* io, uint32_t pageSize);
    bool IsOpen() const { return !FBuffer.empty(); }
    void CheckOpen() const;

    // Zero-fills the page but keeps its leaf flag; the cursor goes to 0.
    void ClearNode();
    void SetLeaf(bool leaf);
    bool CheckIsLeaf() const;
    uint32_t GetNext() const;
    void SetNext(uint32_t address);
    uint32_t GetPrior() const;
    void SetPrior(uint32_t address);
    // A leaf leaving the tree: its neighbours on disk are linked to each other.
    void UnlinkLeaf();
    int32_t GetBytesUsed() const;
    void SetBytesUsed(int32_t value);

    uint32_t GetAddress() const { return FAddress; }
    // A different address clears the page first.
    void SetAddress(uint32_t address);
    // Reads and validates the page at address unless that address is already held.
    void ReadNode(uint32_t address);
    // Writes the page back (the part that may have changed since it was read or written).
    void WriteNode();
    // Writes the page when only the entry at pos changed, keeping its length, since the page
    // was read or last written.
    void WriteEntry(int32_t pos);
    // Copies a whole page image (header included).
    void CopyNode(const uint8_t* image);
    // Forgets the page held, so that the next ReadNode reads it again.
    void Forget() { FAddress = 0; }
    // Checks the page image: bytes used within the page and every entry length in range.
    // A page that fails raises 8965 "Index is corrupt".
    void ValidatePage() const;

    bool CheckNodeFull() const;
    bool RoomForKey(int32_t n) const;
    bool CheckNodeTooEmpty() const;
    bool CheckNodeEmpty() const { return GetBytesUsed() == 0; }
    int32_t GetCount() const;

    int32_t FindKeyByPosition(TKeySearchType type, int32_t pos) const;
    // The start of the entry after the one at pos (bytes used after the last).
    int32_t NextPos(int32_t pos) const { return pos + EntryLen(pos); }
    // The start of the entry before the one at pos; -1 before the first.
    int32_t PriorPos(int32_t pos) const;
    int32_t LastPos() const;
    // An entry's length: m on ikFixed pages (validated), else its stored length.
    int32_t EntryLen(int32_t pos) const;
    const uint8_t* EntryAt(int32_t pos) const { return FData + C_NODEHEADERSIZE + pos; }
    uint8_t* MutableEntryAt(int32_t pos) { return Writable() + C_NODEHEADERSIZE + pos; }

    int32_t GetCursor() const { return FCursor; }
    void SetCursor(int32_t pos) { FCursor = pos; }
    const uint8_t* GetCurrentKey() const;
    uint32_t GetRecordAddress() const;
    void CopyCurrentKey(uint8_t* key) const;
    void ReadKey(int32_t pos, uint8_t* key) const;
    bool NextRecord();
    bool PriorRecord();
    void SetCursorToEnd(bool toStart);
    void ForceCursorToPhysicalKey();

    void InsertKey(int32_t pos, const uint8_t* key);
    void DeleteKey(int32_t pos);
    int32_t UpdateKey(int32_t pos, const uint8_t* key);
    void MoveBlock(int32_t start, int32_t delta, bool forward);

    // Positions the cursor for the tree's pre-decoded search key; answers the comparison of the
    // search key with the entry there (> 0: the search key is greater).
    int32_t SearchNode(int32_t fieldCount, int32_t& pos);
    // The address of the entry where the running count reaches recNo; skipped is the count
    // before that entry. The cursor goes to that entry.
    uint32_t SearchNodeByRecNo(uint32_t recNo, uint32_t& skipped);

    // Records covered by the entries that start at or before limit (all for a limit outside).
    uint32_t GetRecordCount(int32_t limit = -1) const;
    // Records covered by the entries that start before pos.
    uint32_t CountBefore(int32_t pos) const;

    int32_t GetRedistributeNode(int32_t pos) const;
    int32_t RedistributeNodes(TNode& right);
    void MergeNodes(TNode& other, bool otherIsAfter);
    // Moves the upper half into target, which takes newAddress, and fixes the leaf links.
    void SplitNode(TNode& target, uint32_t newAddress);

    void FillHashTable(int32_t fieldNo, TZanBaseHash& hash) const;
    void DebugInfo(TStrings& list, int32_t level) const;

    const uint8_t* Buffer() const { return FData; }
    uint32_t PageSize() const { return FPageSize; }
    // Whether the page is read in place from the page cache.
    bool IsPinned() const { return static_cast<bool>(FPin); }

private:
    int32_t MaxKey() const;
    [[noreturn]] void Corrupt(const char* context) const;
    void RewriteSiblingLink(uint32_t address, bool setPrior, uint32_t value);
    // The node's own buffer, holding the page: a pinned page is copied into it first.
    uint8_t* Writable();
    // The node holds its own buffer (its bytes are not valid until filled).
    void UseOwnBuffer();

    TBTree* FTree = nullptr;
    TIndexPageStore* FIO = nullptr;
    uint32_t FPageSize = 0;
    std::vector<uint8_t> FBuffer;
    const uint8_t* FData = nullptr; // the page: FBuffer's bytes or the pinned cached ones
    TCachePin FPin;
    uint32_t FAddress = 0;
    int32_t FCursor = 0;
    // The page's bytes from 0 up to here may differ from what the store holds; beyond it the
    // node's bytes are the stored ones (zeros past the entries). Exact after a read or a write,
    // raised by every change of the bytes used, the whole page when the bytes are unknown.
    // A write sends only this much: a half-full leaf costs half a page to write back.
    int32_t FChangedEnd = 0;
};

// ---------------------------------------------------------------------------------------------
// The pre-decoded search key: per field a pointer to its value bytes, their size, the
// comparison marker minus 1 and whether it has a value.

struct TOptimizedSearchKey {
    struct TField {
        const uint8_t* Value = nullptr;
        int32_t Size = 0;
        int32_t Marker = 0;
        bool HasValue = false;
    };
    int32_t FieldCount = 0;
    TField Fields[C_MAXKEYFIELDS];
    void Clear();
};

// How one key field's values compare.
enum TKeyCompareKind : uint8_t {
    kcUnknown,
    kcInt16,
    kcUInt16,
    kcInt32,
    kcInt64,
    kcBoolean,
    kcReal,
    kcBCD,
    kcString,
    kcWide
};

struct TKeyFieldInfo {
    TFieldType DataType = ftUnknown;
    TKeyCompareKind Kind = kcUnknown;
    int32_t Size = 0;
    bool IsString = false;
    bool CaseInsensitive = false;
    bool Descending = false;
    bool Hidden = false;
    int32_t RecBufOffset = 0;
    int32_t NullFlagOffset = 0;
    int32_t SizeMarkerOffset = 0;
};

// ---------------------------------------------------------------------------------------------
// A counted B+-tree: leaves hold one entry per record, internal entries carry the record count of
// their subtree. The root keeps its address for the tree's life; the owner keeps root and depth.

class TBTree {
public:
    TBTree();
    ~TBTree();
    TBTree(const TBTree&) = delete;
    TBTree& operator=(const TBTree&) = delete;

    void ConnectToIFace(TIndexPageStore* io, uint32_t pageSize, uint32_t* rootRef,
                        uint32_t* depthRef);
    // The same over a block store whose blocks are the index pages.
    void ConnectToIFace(TBaseIOInterface* io, uint32_t pageSize, uint32_t* rootRef,
                        uint32_t* depthRef);
    void SetPageSize(uint32_t pageSize);
    void SetMaximumKeySize(int32_t size);
    void SetDBStringCompare(TZanCompareFunc compare) { FCompare = compare; }
    void SetIndexKeyType(TIndexKeyType type) { FKeyType = type; }
    void SetLocked(bool locked) { FLocked = locked; }
    void SetDebugStrings(TStrings* list) { FDebugStrings = list; }
    // Takes the key description (at most 32 fields) and the key data offset.
    void SetKeyFields(const TKeyFields& keyFields);

    void Open();
    void Close();
    bool IsOpen() const { return FOpen; }
    void CreateTree();
    void EmptyTree(bool drop);
    void InvalidateInternalBuffers();

    // Key building. The search key is built in place and pre-decoded.
    void ConstructKeyBufFromRecBuf(const uint8_t* recBuf, const TKeyMarkers* markers = nullptr);
    void ConstructTempKeyBufFromRecBuf(uint8_t* dest, const uint8_t* recBuf,
                                       const TKeyMarkers* markers = nullptr);
    void ConstructKeyBufFromKeyBuf(const uint8_t* key, const TKeyMarkers* markers = nullptr);
    void ConstructKeyBufFromVariants(const Variant& values, const TKeyMarkers* markers = nullptr);
    uint8_t* GetSearchKey() { return FSearchKey.data(); }
    uint8_t* GetTempKey() { return FTempKey.data(); }

    // 0 when found; otherwise not found (-1) and the cursor as the search left it.
    int32_t IndexSearch(TIndexSearchType searchType, const TSearchModifier* modifier = nullptr);
    int32_t IdxInsert();
    int32_t IdxDelete();
    int32_t InsertKey();
    int32_t DeleteKey();

    bool NextRecord();
    bool PriorRecord();
    uint32_t GetRecAddr();
    const uint8_t* GetCurrentKeyBuf();
    int32_t CompareKeyToCurrentKeyBuf(const TKeyMarkers* markers, const uint8_t* key);
    bool CursorValid() const { return FCursorValid; }

    uint32_t GetRecordCount(bool refresh = false);
    uint32_t GetRecordNo();
    uint32_t GetAddrOfRecNo(uint32_t recNo);

    // Record addresses (List1) with record numbers (List2) matching key from the cursor on.
    void ListMatchingRecords(const uint8_t* key, int32_t fieldCount, uint32_t stopAddress,
                             TIndexSearchType searchType, bool reverse, TCompoundList& list,
                             bool& flag);
    void FillHashTable(int32_t fieldNo, TZanBaseHash& hash);
    // Fills the buffer with up to count entries of the cursor's leaf around the cursor.
    void ListReadAheadRecords(TReadAheadDirection direction, int32_t count,
                              TReadAheadBuffer& buffer);

    int32_t CompareKeys(int32_t fieldCount, const TKeyMarkers* markersA,
                        const TKeyMarkers* markersB, const uint8_t* keyA,
                        const uint8_t* keyB) const;
    // Compares the pre-decoded search key with a stored key over its first fieldCount fields
    // (all below 1): > 0 when the search key is greater. Keys of integers alone compare inline
    // (the halving searches call this for every probe).
    int32_t CompareToOptimizedKey(int32_t fieldCount, const uint8_t* key) const {
        const int32_t len = KeyLength(key);
        if (len > FMaxKey) BadKeyLength(len);
        const int32_t count = KeyFieldCount();
        const int32_t n = fieldCount >= 1 && fieldCount < count ? fieldCount : count;
        if (FIntKeysOnly) return CompareIntKeyFields(n, key, len, C_KEYBITMAPOFS + FKeyDataOffset);
        return CompareMixedKeyFields(n, key, len);
    }
    int32_t CompareIntKeyFields(int32_t n, const uint8_t* key, int32_t len, int32_t p) const;

    // Debug and consistency: the key as strings, and a full check of the tree's invariants
    // (order, counts, links, levels) that answers the number of pages in the tree.
    std::vector<std::string> DecodeKeyBufAsStrings(const uint8_t* key) const;
    uint32_t CheckTree(std::vector<uint32_t>* pages = nullptr);

    int32_t GetMaximumKeySize() const { return FMaxKey; }
    int32_t GetKeyDataOffset() const { return FKeyDataOffset; }
    TIndexKeyType GetIndexKeyType() const { return FKeyType; }
    uint32_t GetPageSize() const { return FPageSize; }
    int32_t KeyFieldCount() const { return static_cast<int32_t>(FFields.size()); }
    const TKeyFieldInfo& KeyField(int32_t i) const { return FFields[static_cast<size_t>(i)]; }
    uint32_t GetRoot() const { return FRoot ? *FRoot : 0; }
    uint32_t GetDepth() const { return FDepth ? *FDepth : 0; }
    TIndexPageStore* GetIO() const { return FIO; }

private:
    friend class TNode;

    // Builds a key from a record buffer into dest (m + 1 bytes).
    void BuildKeyFromRecBuf(uint8_t* dest, const uint8_t* recBuf) const;
    // Re-reads the search key into the pre-decoded copy.
    void DecodeSearchKey(const TKeyMarkers* markers);
    int32_t CompareField(int32_t i, const uint8_t* a, int32_t la, const uint8_t* b,
                         int32_t lb) const;
    // CompareToOptimizedKey over n fields of a key of any field types.
    int32_t CompareMixedKeyFields(int32_t n, const uint8_t* key, int32_t len) const;
    // 8965 for a stored key longer than the maximum key size, or one whose values overrun it.
    [[noreturn]] static void BadKeyLength(int32_t len);
    [[noreturn]] static void KeyOverrun();
    // Pointers to each field's value in a stored key; false when a field is null. Raises 8965
    // when the values do not fit the key's length.
    void DecodeKey(const uint8_t* key, const uint8_t** values, int32_t* sizes, bool* has) const;

    // What happened to a child page, for its parent to take in.
    struct TLevelChange {
        bool Split = false; // NewEntry goes right after the child's entry
        std::vector<uint8_t> NewEntry;
        int32_t SiblingPos = -1;    // the sibling's entry in the parent
        bool SiblingMerged = false; // the sibling's entry goes
        bool ChildRemoved = false;  // the child's page was left empty and released: its entry goes
        std::vector<uint8_t> SiblingEntry;
    };
    struct TCheckState {
        uint32_t PrevLeaf = 0;
        uint32_t PrevNext = 0;
        uint32_t Pages = 0;
        std::vector<uint8_t> PrevKey;
    };

    void PreparePath();
    // Reads a page into the path node of a level and checks it belongs there.
    void ReadLevel(size_t level, uint32_t address);
    int32_t Descend(int32_t fieldCount, bool force, bool crossLeaves = true);
    void RefreshPath();
    void ForgetAddress(uint32_t address, const TNode* except);
    uint32_t AllocatePage(const uint8_t* image);
    void ReleasePage(uint32_t address);
    // Builds the parent entry for a child page into dest: its first key, its address, its count
    // (counted on the page unless given).
    void BuildParentEntry(const TNode& child, uint8_t* dest, int64_t count = -1) const;
    void DoInsert();
    void DoDelete();
    void SplitLeafRoot();
    void ApplyToParent(size_t level, const TLevelChange& in, TLevelChange& out, bool deleting);
    void Rebalance(size_t level, TLevelChange& out);
    // The node at level (not the root) was left empty: it leaves the tree and its page is
    // released; out tells the parent to drop its entry.
    void RemoveEmptyNode(size_t level, TLevelChange& out);
    void ReleaseSubtree(uint32_t address, uint32_t level);
    uint32_t CheckSubtree(uint32_t address, uint32_t level, std::vector<uint32_t>* pages,
                          TCheckState& st, std::vector<uint8_t>& firstKey);

    TIndexPageStore* FIO = nullptr;
    std::unique_ptr<TIndexPageStore> FOwnedIO; // adapter over a block store
    uint32_t FPageSize = 4096;
    uint32_t* FRoot = nullptr;
    uint32_t* FDepth = nullptr;
    std::vector<TKeyFieldInfo> FFields;
    int32_t FKeyDataOffset = 1;
    int32_t FMaxKey = 0;
    bool FIntKeysOnly = false; // every key field is a 4- or 8-byte integer
    // The search key's first field is an ascending 4-byte integer with a value and the default
    // marker, lying within the maximum key size: a probe of a validated fixed-size page decides
    // on it alone unless the stored value is null or equal (FFirstInt holds it).
    bool FFirstIntProbe = false;
    int32_t FFirstInt = 0;
    std::vector<uint8_t> FSearchKey, FTempKey, FWorkKey;
    TKeyMarkers FMarkers;
    TOptimizedSearchKey FOptKey;
    std::vector<std::unique_ptr<TNode>> FNodes;
    std::vector<int32_t> FPositions;
    std::unique_ptr<TNode> FSpare;
    std::vector<uint8_t> FScratch;
    std::vector<int32_t> FEntryStarts; // entry starts of the page a search halves
    TZanCompareFunc FCompare = nullptr;
    TIndexKeyType FKeyType = ikFixed;
    bool FLocked = false;
    TStrings* FDebugStrings = nullptr;
    bool FOpen = false;
    bool FPathPrepared = false;
    bool FCursorValid = false;
    bool FTreeEmpty = true;
};

// CompareToOptimizedKey for keys made only of 4- and 8-byte integers (an integer column, with or
// without the hidden record number): the same order and the same corruption checks, without the
// per-field type dispatch.
inline int32_t TBTree::CompareIntKeyFields(int32_t n, const uint8_t* key, int32_t len,
                                           int32_t p) const {
    for (int32_t i = 0; i < n; ++i) {
        const TKeyFieldInfo& f = FFields[static_cast<size_t>(i)];
        const TOptimizedSearchKey::TField& s = FOptKey.Fields[i];
        if (s.Marker != 0) return s.Marker > 0 ? 1 : -1;
        const bool hasB = (key[C_KEYBITMAPOFS + (i >> 3)] & (0x80 >> (i & 7))) != 0;
        int32_t d = static_cast<int32_t>(s.HasValue) - static_cast<int32_t>(hasB);
        if (hasB) {
            if (p + f.Size > len) KeyOverrun();
            if (d == 0) {
                if (f.Size == 4) {
                    int32_t x, y;
                    std::memcpy(&x, s.Value, 4);
                    std::memcpy(&y, key + p, 4);
                    d = (x > y) - (x < y);
                } else {
                    int64_t x, y;
                    std::memcpy(&x, s.Value, 8);
                    std::memcpy(&y, key + p, 8);
                    d = (x > y) - (x < y);
                }
            }
            p += f.Size;
        }
        if (f.Descending) d = -d;
        if (d != 0) return d;
    }
    return 0;
}

inline int32_t TNode::EntryLen(int32_t pos) const {
    return FTree->FKeyType == ikFixed ? FTree->FMaxKey : KeyLength(EntryAt(pos));
}

} // namespace zan
