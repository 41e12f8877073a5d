#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanLists.h"

using namespace zan;

namespace {
int32_t Ascending(int32_t a, int32_t b) {
    return (a > b) - (a < b);
}
} // namespace

TEST(CompoundList, SortsWithPartnerAndSearchesByFlag) {
    TCompoundList list;
    const int32_t keys[] = {5, -3, 9, 0, INT32_MIN, INT32_MAX, 7};
    for (int32_t k : keys)
        list.Add(k, static_cast<int32_t>(static_cast<uint32_t>(k) * 2 + 1));
    EXPECT_EQ(list.Count(), 7);
    EXPECT_EQ(list.IndexOfList1(9), 2); // linear while unsorted
    list.SortList1();
    EXPECT_TRUE(list.List1Sorted());
    EXPECT_FALSE(list.List2Sorted());
    EXPECT_TRUE(std::is_sorted(list.List1().begin(), list.List1().end()));
    for (int i = 0; i < list.Count(); ++i)
        EXPECT_EQ(list.List2()[i],
                  static_cast<int32_t>(static_cast<uint32_t>(list.List1()[i]) * 2 + 1));
    EXPECT_EQ(list.IndexOfList1(INT32_MIN), 0);
    EXPECT_EQ(list.IndexOfList1(INT32_MAX), 6);
    EXPECT_EQ(list.IndexOfList1(4), -1);
    list.SortList2();
    EXPECT_FALSE(list.List1Sorted());
    EXPECT_TRUE(std::is_sorted(list.List2().begin(), list.List2().end()));
    list.Add(1, 1); // adding keeps the flags
    EXPECT_TRUE(list.List2Sorted());
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.List2Sorted());
}

TEST(CompoundList, AdversarialInputsSortWithBoundedStack) {
    // Sorted, reversed, all-equal and organ-pipe inputs (the last is quadratic for this scheme).
    const int n = 20000;
    std::vector<std::vector<int32_t>> inputs(4);
    for (int i = 0; i < n; ++i) {
        inputs[0].push_back(i);
        inputs[1].push_back(n - i);
        inputs[2].push_back(42);
        inputs[3].push_back(i < n / 2 ? i : n - i);
    }
    for (auto& v : inputs) {
        std::vector<int32_t> partner(v.size());
        for (size_t i = 0; i < v.size(); ++i)
            partner[i] = v[i];
        QuickSortInts(v, &partner, Ascending);
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
        EXPECT_EQ(v, partner);
    }
}

TEST(SortedList, ThresholdAndFarApartValues) {
    TSortedList list;
    for (int i = 0; i < 100; ++i)
        list.Add(100 - i);
    list.SortList(Ascending);
    EXPECT_FALSE(list.Sorted()); // 100 entries stay unsorted
    EXPECT_EQ(list[0], 100);
    EXPECT_EQ(list.SortedIndexOf(1), 99);
    list.Add(INT32_MIN);
    list.Add(INT32_MAX);
    list.SortList(Ascending);
    EXPECT_TRUE(list.Sorted());
    // Values more than 2^31 apart still order and search correctly.
    EXPECT_EQ(list.SortedIndexOf(INT32_MIN), 0);
    EXPECT_EQ(list.SortedIndexOf(INT32_MAX), 101);
    EXPECT_EQ(list.SortedIndexOf(50), 50);
    EXPECT_EQ(list.SortedIndexOf(0), -1);
}

TEST(StackList, PushPopPeek) {
    TStackList stack;
    EXPECT_EQ(stack.Peek(), 0);
    stack.Push(3);
    stack.Push(7);
    EXPECT_EQ(stack.Peek(), 7);
    EXPECT_EQ(stack.Pop(), 7);
    EXPECT_EQ(stack.Pop(), 3);
    EXPECT_THROW(stack.Pop(), Exception);
}

TEST(ZanBaseHash, HashOfAndMatchingRules) {
    TZanBaseHash hash(1000, 8, 10);
    const uint8_t a[] = {0x41, 0x42};
    EXPECT_EQ(hash.HashOf(a, 1), 0x41u);
    EXPECT_EQ(hash.HashOf(a, 2), 0x146u);
    hash.Add("abcdefgh", 8, 1);
    EXPECT_EQ(hash.ValueOf("abcdefgh", 8), 1u);
    // The bucket comes from all n bytes; within it a longer key compares its first 8 bytes.
    TZanBaseHash oneBucket(1, 8, 1);
    oneBucket.Add("abcdefgh", 8, 1);
    EXPECT_EQ(oneBucket.ValueOf("abcdefghZZ", 10), 1u);
    EXPECT_EQ(hash.ValueOf("abc", 3), TZanBaseHash::NotFound);
    // A short key is stored zero-padded and found with its own length.
    TZanBaseHash shortKeys(10, 8, 10);
    shortKeys.Add("abc", 3, 7);
    EXPECT_EQ(shortKeys.ValueOf("abc", 3), 7u);
    EXPECT_EQ(shortKeys.ValueOf("ab", 2), TZanBaseHash::NotFound);
    // A key longer than the slot is cut to it instead of overrunning the next slot.
    shortKeys.Add("0123456789ABCDEF", 16, 8);
    EXPECT_EQ(shortKeys.ValueOf("0123456789ABCDEF", 16), 8u);
    EXPECT_EQ(shortKeys.ValueOf("abc", 3), 7u);
}

TEST(ZanBaseHash, SlotsAreReusedLastFreedFirst) {
    TZanBaseHash hash(4, 4, 3);
    hash.Add("aaaa", 4, 1);
    hash.Add("bbbb", 4, 2);
    hash.Add("cccc", 4, 3);
    EXPECT_TRUE(hash.CheckHashFull());
    try {
        hash.Add("dddd", 4, 4);
        FAIL();
    } catch (const EZanDatabaseError& e) {
        EXPECT_EQ(e.ErrorCode, 8581);
        EXPECT_NE(e.Message().find("BaseHash is full"), std::string::npos);
    }
    EXPECT_TRUE(hash.Delete("aaaa", 4));
    EXPECT_TRUE(hash.Delete("cccc", 4));
    EXPECT_FALSE(hash.Delete("cccc", 4));
    // The slot of "cccc" was freed last; a short key reuses it without stale bytes.
    hash.Add("cc", 2, 9);
    EXPECT_EQ(hash.ValueOf("cc", 2), 9u);
    EXPECT_EQ(hash.ValueOf("cccc", 4), TZanBaseHash::NotFound);
    EXPECT_EQ(hash.EntryCount(), 2);
    hash.Clear();
    EXPECT_EQ(hash.EntryCount(), 0);
    EXPECT_EQ(hash.ValueOf("bbbb", 4), TZanBaseHash::NotFound);
    EXPECT_THROW(TZanBaseHash(10, 8, 11), EZanDatabaseError);
}

TEST(ZanBaseHash, PossibleMatchesAndDuplicates) {
    TZanBaseHash hash(1, 4, 1); // one bucket: everything collides
    TZanBaseHash many(8, 4, 8);
    many.Add("k1", 2, 10);
    many.Add("k1", 2, 11);
    many.Add("k2", 2, 12);
    std::vector<uint32_t> values;
    many.GetPossibleMatchList("k1", 2, values);
    std::sort(values.begin(), values.end());
    EXPECT_EQ(values, (std::vector<uint32_t>{10, 11}));
    // New entries go to the head of the chain: the latest duplicate is found first.
    EXPECT_EQ(many.ValueOf("k1", 2), 11u);
    TZanBaseHash zero(0, 4, 0);
    values.clear();
    zero.GetPossibleMatchList("k1", 2, values);
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(zero.ValueOf("k1", 2), TZanBaseHash::NotFound);
    (void)hash;
}

TEST(ZanBaseHash, RandomAgainstModel) {
    std::mt19937 rng(7);
    TZanBaseHash hash(512, 8, 500);
    std::multimap<std::string, uint32_t> model;
    for (int step = 0; step < 20000; ++step) {
        std::string key = std::to_string(rng() % 300);
        if (rng() % 2 && !hash.CheckHashFull()) {
            hash.Add(key.data(), static_cast<int32_t>(key.size()), static_cast<uint32_t>(step));
            model.emplace(key, step);
        } else if (model.count(key)) {
            EXPECT_TRUE(hash.Delete(key.data(), static_cast<int32_t>(key.size())));
            // The newest entry of the key is at the head of its chain and goes first.
            auto range = model.equal_range(key);
            auto newest = range.first;
            for (auto it = range.first; it != range.second; ++it)
                if (it->second > newest->second) newest = it;
            model.erase(newest);
        }
        ASSERT_EQ(hash.EntryCount(), static_cast<int32_t>(model.size()));
    }
    for (auto& [key, value] : model) {
        std::vector<uint32_t> values;
        hash.GetPossibleMatchList(key.data(), static_cast<int32_t>(key.size()), values);
        EXPECT_NE(std::find(values.begin(), values.end(), value), values.end());
    }
}

namespace {
THashCollection MakePages() {
    return THashCollection([] { return std::make_unique<THashCollectionItem>(); });
}
THashCollectionItem* AddPage(THashCollection& pages, uint32_t address) {
    auto* item = static_cast<THashCollectionItem*>(pages.Add());
    item->SetHashFromInts(address, 0);
    pages.AddHashKey(item->GetHashKey(), item->GetID());
    return item;
}
const uint8_t* KeyOf(uint32_t address) {
    static THashCollectionItem probe;
    probe.SetHashFromInts(address, 0);
    return probe.GetHashKey();
}
} // namespace

TEST(HashCollection, GrowsAndFindsEveryKey) {
    THashCollection pages = MakePages();
    for (uint32_t a = 0; a < 1500; ++a)
        AddPage(pages, a * 4096);
    EXPECT_GE(pages.Hash().MaxEntries(), 2000); // rebuilt at least once
    for (uint32_t a = 0; a < 1500; ++a) {
        auto* item = pages.FindHashKey(KeyOf(a * 4096));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->GetIndex(), static_cast<int>(a));
    }
    EXPECT_EQ(pages.FindHashKey(KeyOf(4095)), nullptr);
    const uint8_t expect[8] = {0x00, 0x10, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(
        std::memcmp(static_cast<THashCollectionItem*>(pages.Items(1))->GetHashKey(), expect, 8), 0);
}

TEST(HashCollection, DroppedKeysStayDroppedAcrossResets) {
    THashCollection pages = MakePages();
    for (uint32_t a = 0; a < 999; ++a)
        AddPage(pages, a);
    auto* emptied = static_cast<THashCollectionItem*>(pages.Items(10));
    pages.DeleteHashKey(emptied);
    EXPECT_FALSE(emptied->GetIsHashed());
    EXPECT_EQ(pages.FindHashKey(KeyOf(10)), nullptr);
    pages.DeleteHashedItem(20);
    EXPECT_EQ(pages.FindHashKey(KeyOf(20)), nullptr);
    for (uint32_t a = 1000; a < 1200; ++a)
        AddPage(pages, a); // forces a rebuild
    EXPECT_EQ(pages.FindHashKey(KeyOf(10)), nullptr);
    EXPECT_EQ(pages.FindHashKey(KeyOf(20)), nullptr);
    EXPECT_NE(pages.FindHashKey(KeyOf(21)), nullptr);
    pages.ClearAll();
    EXPECT_EQ(pages.Count(), 0);
    EXPECT_EQ(pages.FindHashKey(KeyOf(21)), nullptr);
}

TEST(HashCollection, PageKeysSpreadOverTheBuckets) {
    THashCollection pages = MakePages();
    for (uint32_t a = 0; a < 10000; ++a)
        AddPage(pages, a * 4096);
    std::set<uint32_t> buckets;
    for (uint32_t a = 0; a < 10000; ++a)
        buckets.insert(pages.Hash().HashOf(KeyOf(a * 4096), 8));
    // Keys that differ only in a few middle bits must not crowd into a few chains.
    EXPECT_GT(buckets.size(), 5000u);
}

TEST(HashCollection, KeyAddedWhileFullIsEnteredOnce) {
    // The item's key is marked hashed before it is added; the rebuild that the full hash
    // triggers must not enter it as well, or removing the key would leave a stale entry.
    THashCollection pages = MakePages();
    for (uint32_t a = 0; a < THashCollection::InitialSize; ++a) AddPage(pages, a);
    ASSERT_TRUE(pages.Hash().CheckHashFull());
    THashCollectionItem* last = AddPage(pages, 5000);
    EXPECT_EQ(pages.Hash().EntryCount(), pages.Count());
    pages.DeleteHashKey(last);
    EXPECT_EQ(pages.FindHashKey(KeyOf(5000)), nullptr);
    last->SetHashFromInts(6000, 0);
    pages.AddHashKey(last->GetHashKey(), last->GetID());
    EXPECT_EQ(pages.FindHashKey(KeyOf(5000)), nullptr);
    EXPECT_EQ(pages.FindHashKey(KeyOf(6000)), last);
}
