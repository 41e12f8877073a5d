// Small containers of 32-bit values (record addresses, item ids): parallel lists that sort
// together, a list that becomes binary-searchable once large, a stack, and a fixed-capacity
// chained hash of byte-string keys. No container owns what its values stand for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <memory>

#include "host/db/DB.h"
#include "host/rtl/Collections.h"

namespace zan {

// Three-way comparison of two list values: negative, zero or positive.
using TListSortCompare = int32_t (*)(int32_t a, int32_t b);

// Sorts values ascending (signed) with a middle-pivot quicksort, moving the partner entries
// along when a partner list is given. Recursion only goes into the smaller side.
void QuickSortInts(std::vector<int32_t>& values, std::vector<int32_t>* partner,
                   TListSortCompare compare);

// Two parallel lists of equal length, each with a sorted flag.
class TCompoundList {
public:
    void Add(int32_t a, int32_t b);
    // The common length; lists of different lengths raise Exception.
    int32_t Count() const;
    int32_t GetItems(int32_t index) const { return FList1.at(static_cast<size_t>(index)); }
    void SetItems(int32_t index, int32_t value) { FList1.at(static_cast<size_t>(index)) = value; }
    const std::vector<int32_t>& List1() const { return FList1; }
    const std::vector<int32_t>& List2() const { return FList2; }
    // Sort one list ascending (signed) moving the other along; flags that list sorted and
    // the other not.
    void SortList1();
    void SortList2();
    // Index of an equal entry, or -1: binary search when that list is flagged sorted.
    int32_t IndexOfList1(int32_t value) const;
    int32_t IndexOfList2(int32_t value) const;
    bool List1Sorted() const { return FList1Sorted; }
    bool List2Sorted() const { return FList2Sorted; }
    void Clear();

private:
    std::vector<int32_t> FList1, FList2;
    bool FList1Sorted = false, FList2Sorted = false;
};

// A list of values with the minimal list operations the engine uses.
class TIntList {
public:
    void Add(int32_t value) { FItems.push_back(value); }
    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    int32_t operator[](int32_t index) const { return FItems.at(static_cast<size_t>(index)); }
    void Delete(int32_t index) { FItems.erase(FItems.begin() + index); }
    void Clear() { FItems.clear(); }
    std::vector<int32_t>& Items() { return FItems; }
    const std::vector<int32_t>& Items() const { return FItems; }

protected:
    std::vector<int32_t> FItems;
};

// A list that is sorted (and then binary-searched) only once it holds more than 100 entries.
class TSortedList : public TIntList {
public:
    static constexpr int32_t SortThreshold = 100;
    void SortList(TListSortCompare compare);
    int32_t SortedIndexOf(int32_t value) const;
    bool Sorted() const { return FSorted; }

private:
    bool FSorted = false;
};

class TStackList : public TIntList {
public:
    void Push(int32_t value) { Add(value); }
    // Removes and answers the last entry; an empty stack raises Exception.
    int32_t Pop();
    // The last entry, or 0 when empty.
    int32_t Peek() const { return FItems.empty() ? 0 : FItems.back(); }
};

// A chained hash with a fixed number of buckets and entries. Keys are byte strings stored in
// slots of KeyLength bytes; a shorter key is stored zero-padded and matches a search of its own
// length (see Find).
class TZanBaseHash {
public:
    static constexpr uint32_t NotFound = 0xFFFFFFFF;

    TZanBaseHash(int32_t bucketCount, int32_t keyLength, int32_t maxEntries);
    virtual ~TZanBaseHash() = default;

    // The key's bucket: h := rotl(h, 2) xor byte for each byte, then h mod bucket count.
    virtual uint32_t HashOf(const void* key, int32_t n) const;

    void Add(const void* key, int32_t n, uint32_t value);
    // Whether an entry matches: with n below the key length its first n bytes equal the key
    // and its byte n is 0; otherwise its first KeyLength bytes equal the key's.
    bool Find(const void* key, int32_t n) const { return FindLink(key, n) != nullptr; }
    uint32_t ValueOf(const void* key, int32_t n) const;
    // Removes the first matching entry (the value is not consulted); answers whether one was.
    bool Delete(const void* key, int32_t n, uint32_t value = 0);
    // Appends the values of the key's bucket entries that match; with no key, every entry of
    // the bucket of the empty key.
    void GetPossibleMatchList(const void* key, int32_t n, std::vector<uint32_t>& list) const;
    void Clear();
    bool CheckHashFull() const { return FFreeSlots.empty(); }

    int32_t BucketCount() const { return FBucketCount; }
    int32_t KeyLength() const { return FKeyLength; }
    int32_t MaxEntries() const { return FMaxEntries; }
    int32_t EntryCount() const { return FEntryCount; }

    // For callers that hash the values of one field.
    std::string SourceFieldName;
    TFieldType FieldDataType = ftUnknown;

private:
    struct TEntry {
        int32_t Next = -1; // next slot in the bucket chain, -1 at the end
        uint32_t Value = 0;
    };
    bool Matches(int32_t slot, const uint8_t* key, int32_t n) const;
    // The link (a bucket head or an entry's Next) that refers to the matching slot.
    const int32_t* FindLink(const void* key, int32_t n) const;

    int32_t FBucketCount, FKeyLength, FMaxEntries;
    int32_t FEntryCount = 0;
    std::vector<int32_t> FBuckets;   // head slot of each chain, -1 when empty
    std::vector<TEntry> FEntries;    // one per slot
    std::vector<uint8_t> FKeys;      // MaxEntries x KeyLength bytes
    std::vector<int32_t> FFreeSlots; // top is the back: slots 0, 1, 2 ... at first
};

// An item found through its collection's hash by an 8-byte key.
class THashCollectionItem : public TCollectionItem {
public:
    static constexpr int32_t KeyLength = 8;
    ZAN_CLASS(THashCollectionItem)

    // key := a then b, each a little-endian 32-bit word; marks the item hashed.
    void SetHashFromInts(uint32_t a, uint32_t b);
    void SetHashKey(const uint8_t key[KeyLength]);
    const uint8_t* GetHashKey() const { return FHashKey; }
    bool GetIsHashed() const { return FIsHashed; }
    void SetIsHashed(bool value) { FIsHashed = value; }

private:
    uint8_t FHashKey[KeyLength] = {};
    bool FIsHashed = false;
};

// A collection whose items are found by their 8-byte key through a TZanBaseHash; the hash grows
// (ResetHash) when it fills up.
class THashCollection : public TCollection {
public:
    static constexpr int32_t InitialSize = 1000;

    explicit THashCollection(TCollectionItemFactory factory);
    ZAN_CLASS(THashCollection)

    // Enters the key for the item id, rebuilding a full hash first.
    void AddHashKey(const uint8_t key[THashCollectionItem::KeyLength], int32_t itemId);
    // Rebuilds the hash with room for the items (max(1000, 2 x count) from 500 items on) and
    // re-enters the key of every hashed item.
    void ResetHash();
    // The item whose id the hash holds for the key, or nullptr.
    THashCollectionItem* FindHashKey(const uint8_t key[THashCollectionItem::KeyLength]) const;
    // Removes the item's key from the hash and marks it not hashed.
    void DeleteHashKey(THashCollectionItem* item);
    // Removes the item's key, then deletes the item.
    void DeleteHashedItem(int32_t index);
    // Deletes every item and starts a new hash.
    void ClearAll();

    bool UseHashSearch = true;
    const TZanBaseHash& Hash() const { return *FHash; }

private:
    void RebuildHash(int32_t skipItemId);

    std::unique_ptr<TZanBaseHash> FHash;
};

} // namespace zan
