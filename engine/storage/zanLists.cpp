#include "engine/storage/zanLists.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/storage/zanConsts.h"

namespace zan {

namespace {

int32_t SignedCompare(int32_t a, int32_t b) {
    return (a > b) - (a < b);
}

// Binary search for an equal entry in an ascending list; -1 when absent.
int32_t BinaryIndexOf(const std::vector<int32_t>& list, int32_t value, TListSortCompare compare) {
    size_t lo = 0, hi = list.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        int32_t c = compare(list[mid], value);
        if (c == 0) return static_cast<int32_t>(mid);
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return -1;
}

int32_t LinearIndexOf(const std::vector<int32_t>& list, int32_t value) {
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i] == value) return static_cast<int32_t>(i);
    return -1;
}

} // namespace

namespace {

// Hoare partition around the middle element; recurses into the smaller side and loops on the
// larger, so the stack stays logarithmic whatever the input.
void QuickSortRange(std::vector<int32_t>& values, std::vector<int32_t>* partner,
                    TListSortCompare compare, int64_t left, int64_t right) {
    while (left < right) {
        int64_t i = left, j = right;
        const int32_t pivot = values[static_cast<size_t>(left + (right - left) / 2)];
        while (i <= j) {
            while (compare(values[static_cast<size_t>(i)], pivot) < 0)
                ++i;
            while (compare(values[static_cast<size_t>(j)], pivot) > 0)
                --j;
            if (i <= j) {
                std::swap(values[static_cast<size_t>(i)], values[static_cast<size_t>(j)]);
                if (partner)
                    std::swap((*partner)[static_cast<size_t>(i)],
                              (*partner)[static_cast<size_t>(j)]);
                ++i;
                --j;
            }
        }
        if (j - left < right - i) {
            QuickSortRange(values, partner, compare, left, j);
            left = i;
        } else {
            QuickSortRange(values, partner, compare, i, right);
            right = j;
        }
    }
}

} // namespace

void QuickSortInts(std::vector<int32_t>& values, std::vector<int32_t>* partner,
                   TListSortCompare compare) {
    if (partner) ZanAssert(partner->size() == values.size(), "Sort partner list length differs");
    if (values.size() > 1)
        QuickSortRange(values, partner, compare, 0, static_cast<int64_t>(values.size()) - 1);
}

void TCompoundList::Add(int32_t a, int32_t b) {
    FList1.push_back(a);
    FList2.push_back(b);
}

int32_t TCompoundList::Count() const {
    if (FList1.size() != FList2.size()) throw Exception("Compound list - list counts do no match");
    return static_cast<int32_t>(FList1.size());
}

void TCompoundList::SortList1() {
    Count();
    QuickSortInts(FList1, &FList2, SignedCompare);
    FList1Sorted = true;
    FList2Sorted = false;
}

void TCompoundList::SortList2() {
    Count();
    QuickSortInts(FList2, &FList1, SignedCompare);
    FList2Sorted = true;
    FList1Sorted = false;
}

int32_t TCompoundList::IndexOfList1(int32_t value) const {
    return FList1Sorted ? BinaryIndexOf(FList1, value, SignedCompare)
                        : LinearIndexOf(FList1, value);
}

int32_t TCompoundList::IndexOfList2(int32_t value) const {
    return FList2Sorted ? BinaryIndexOf(FList2, value, SignedCompare)
                        : LinearIndexOf(FList2, value);
}

void TCompoundList::Clear() {
    FList1.clear();
    FList2.clear();
    FList1Sorted = FList2Sorted = false;
}

void TSortedList::SortList(TListSortCompare compare) {
    if (Count() > SortThreshold) {
        QuickSortInts(FItems, nullptr, compare);
        FSorted = true;
    } else {
        FSorted = false;
    }
}

int32_t TSortedList::SortedIndexOf(int32_t value) const {
    return FSorted ? BinaryIndexOf(FItems, value, SignedCompare) : LinearIndexOf(FItems, value);
}

int32_t TStackList::Pop() {
    if (FItems.empty()) throw Exception("Stack is empty");
    int32_t v = FItems.back();
    FItems.pop_back();
    return v;
}

TZanBaseHash::TZanBaseHash(int32_t bucketCount, int32_t keyLength, int32_t maxEntries)
    : FBucketCount(bucketCount), FKeyLength(keyLength), FMaxEntries(maxEntries) {
    ZanAssert(bucketCount >= 0 && keyLength > 0 && maxEntries >= 0, "Hash dimensions are invalid");
    ZanAssert(maxEntries <= bucketCount, "Hash key max is greater than hash size");
    FBuckets.assign(static_cast<size_t>(bucketCount), -1);
    FEntries.resize(static_cast<size_t>(maxEntries));
    FKeys.assign(static_cast<size_t>(maxEntries) * static_cast<size_t>(keyLength), 0);
    Clear();
}

uint32_t TZanBaseHash::HashOf(const void* key, int32_t n) const {
    if (FBucketCount <= 0) return 0;
    uint32_t h = 0;
    const auto* p = static_cast<const uint8_t*>(key);
    for (int32_t i = 0; i < n; ++i)
        h = ((h << 2) | (h >> 30)) ^ p[i];
    return h % static_cast<uint32_t>(FBucketCount);
}

bool TZanBaseHash::Matches(int32_t slot, const uint8_t* key, int32_t n) const {
    const uint8_t* stored = &FKeys[static_cast<size_t>(slot) * static_cast<size_t>(FKeyLength)];
    if (n < FKeyLength)
        return std::memcmp(stored, key, static_cast<size_t>(n)) == 0 && stored[n] == 0;
    return std::memcmp(stored, key, static_cast<size_t>(FKeyLength)) == 0;
}

const int32_t* TZanBaseHash::FindLink(const void* key, int32_t n) const {
    if (FBucketCount <= 0 || n < 0 || (n > 0 && !key)) return nullptr;
    const int32_t* link = &FBuckets[HashOf(key, n)];
    while (*link >= 0) {
        if (Matches(*link, static_cast<const uint8_t*>(key), n)) return link;
        link = &FEntries[static_cast<size_t>(*link)].Next;
    }
    return nullptr;
}

void TZanBaseHash::Add(const void* key, int32_t n, uint32_t value) {
    ZanAssert(!CheckHashFull(), "BaseHash is full");
    ZanAssert(n >= 0 && (n == 0 || key), "Hash key is invalid");
    int32_t slot = FFreeSlots.back();
    FFreeSlots.pop_back();
    // A key longer than the slot is cut to the slot; a shorter one is zero-padded so that a
    // reused slot never keeps bytes of its previous key.
    uint8_t* stored = &FKeys[static_cast<size_t>(slot) * static_cast<size_t>(FKeyLength)];
    size_t copied = static_cast<size_t>(std::min(n, FKeyLength));
    if (copied) std::memcpy(stored, key, copied);
    std::memset(stored + copied, 0, static_cast<size_t>(FKeyLength) - copied);
    TEntry& entry = FEntries[static_cast<size_t>(slot)];
    entry.Value = value;
    int32_t& head = FBuckets[HashOf(key, n)];
    entry.Next = head;
    head = slot;
    ++FEntryCount;
}

uint32_t TZanBaseHash::ValueOf(const void* key, int32_t n) const {
    const int32_t* link = FindLink(key, n);
    return link ? FEntries[static_cast<size_t>(*link)].Value : NotFound;
}

bool TZanBaseHash::Delete(const void* key, int32_t n, uint32_t) {
    auto* link = const_cast<int32_t*>(FindLink(key, n));
    if (!link) return false;
    int32_t slot = *link;
    *link = FEntries[static_cast<size_t>(slot)].Next;
    FEntries[static_cast<size_t>(slot)].Next = -1;
    FFreeSlots.push_back(slot);
    --FEntryCount;
    return true;
}

void TZanBaseHash::GetPossibleMatchList(const void* key, int32_t n,
                                        std::vector<uint32_t>& list) const {
    if (FBucketCount <= 0) return;
    const bool anyKey = key == nullptr;
    if (anyKey) n = 0;
    for (int32_t slot = FBuckets[HashOf(key, n)]; slot >= 0;
         slot = FEntries[static_cast<size_t>(slot)].Next)
        if (anyKey || Matches(slot, static_cast<const uint8_t*>(key), n))
            list.push_back(FEntries[static_cast<size_t>(slot)].Value);
}

void TZanBaseHash::Clear() {
    std::fill(FBuckets.begin(), FBuckets.end(), -1);
    FFreeSlots.clear();
    for (int32_t slot = FMaxEntries - 1; slot >= 0; --slot)
        FFreeSlots.push_back(slot);
    FEntryCount = 0;
}

void THashCollectionItem::SetHashFromInts(uint32_t a, uint32_t b) {
    for (int i = 0; i < 4; ++i) {
        FHashKey[i] = static_cast<uint8_t>(a >> (8 * i));
        FHashKey[4 + i] = static_cast<uint8_t>(b >> (8 * i));
    }
    FIsHashed = true;
}

void THashCollectionItem::SetHashKey(const uint8_t key[KeyLength]) {
    std::memcpy(FHashKey, key, KeyLength);
}

namespace {

// The collection's keys (page addresses and the like) differ mostly in a few middle bits, which
// the rotate-and-xor hash folds into a handful of buckets; this hash mixes every key bit into
// every bucket bit instead. Bucket placement is private to the process, so it may differ from
// the base hash.
class TCollectionKeyHash : public TZanBaseHash {
public:
    explicit TCollectionKeyHash(int32_t size)
        : TZanBaseHash(size, THashCollectionItem::KeyLength, size) {}

    uint32_t HashOf(const void* key, int32_t n) const override {
        if (BucketCount() <= 0) return 0;
        uint64_t h = 0x9E3779B97F4A7C15ull;
        const auto* p = static_cast<const uint8_t*>(key);
        for (int32_t i = 0; i < n; ++i)
            h = (h ^ p[i]) * 0x100000001B3ull;
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 33;
        return static_cast<uint32_t>(h % static_cast<uint64_t>(BucketCount()));
    }
};

} // namespace

THashCollection::THashCollection(TCollectionItemFactory factory)
    : TCollection(std::move(factory)), FHash(std::make_unique<TCollectionKeyHash>(InitialSize)) {}

void THashCollection::AddHashKey(const uint8_t key[THashCollectionItem::KeyLength],
                                 int32_t itemId) {
    // The rebuild leaves out the item being added: its key may already be marked hashed, and
    // entering it twice would leave a stale entry behind when the key is later removed.
    if (FHash->CheckHashFull()) RebuildHash(itemId);
    // Every item has one key at most, so a rebuilt hash always has room.
    FHash->Add(key, THashCollectionItem::KeyLength, static_cast<uint32_t>(itemId));
}

void THashCollection::ResetHash() { RebuildHash(-1); }

void THashCollection::RebuildHash(int32_t skipItemId) {
    const int32_t size = Count() >= 500 ? std::max(InitialSize, 2 * Count()) : InitialSize;
    FHash = std::make_unique<TCollectionKeyHash>(size);
    // Only items that carry a key are re-entered: an item whose key was dropped must not be
    // found again under a stale key.
    for (int32_t i = 0; i < Count(); ++i) {
        auto* item = static_cast<THashCollectionItem*>(Items(i));
        if (item->GetIsHashed() && item->GetID() != skipItemId)
            FHash->Add(item->GetHashKey(), THashCollectionItem::KeyLength,
                       static_cast<uint32_t>(item->GetID()));
    }
}

THashCollectionItem*
THashCollection::FindHashKey(const uint8_t key[THashCollectionItem::KeyLength]) const {
    uint32_t id = FHash->ValueOf(key, THashCollectionItem::KeyLength);
    if (id == TZanBaseHash::NotFound) return nullptr;
    return static_cast<THashCollectionItem*>(FindItemID(static_cast<int>(id)));
}

void THashCollection::DeleteHashKey(THashCollectionItem* item) {
    if (!item) return;
    if (item->GetIsHashed()) FHash->Delete(item->GetHashKey(), THashCollectionItem::KeyLength);
    item->SetIsHashed(false);
}

void THashCollection::DeleteHashedItem(int32_t index) {
    DeleteHashKey(static_cast<THashCollectionItem*>(Items(index)));
    Delete(index);
}

void THashCollection::ClearAll() {
    Clear();
    FHash = std::make_unique<TCollectionKeyHash>(InitialSize);
}

} // namespace zan
