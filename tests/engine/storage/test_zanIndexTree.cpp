// The B-tree's search table, root growth and collapse, key building, listing and hashing, and
// damaged pages under a working tree.
#include "test_zanIndexSupport.h"

#include <algorithm>
#include <cstdint>
#include <random>

using namespace zan;

namespace {

// A tree of one ftInteger key field read from record offset 20 (null flag at 14), optionally
// followed by the hidden record number (offset 6, null flag 0).
struct IntTree {
    TTestPageStore store;
    TKeyFields fields;
    TBTree tree;
    uint32_t root = 0, depth = 0;

    explicit IntTree(uint32_t pageSize = 512, bool withRecNo = false, TIndexKeyType kind = ikFixed)
        : store(pageSize) {
        AddKeyField(fields, ftInteger, 4, 20, 14);
        if (withRecNo) AddKeyField(fields, ftInteger, 4, 6, 0, 0, false, false, true);
        tree.SetKeyFields(fields);
        tree.SetMaximumKeySize(withRecNo ? 19 : 15);
        tree.SetIndexKeyType(kind);
        tree.SetDBStringCompare(DBASCIICompareStrings);
        tree.ConnectToIFace(&store, pageSize, &root, &depth);
        tree.Open();
        tree.CreateTree();
    }
    std::vector<uint8_t> Rec(int32_t value, int32_t recNo = 0, bool isNull = false) {
        std::vector<uint8_t> r(24, 0);
        r[0] = 1;
        r[14] = isNull ? 0 : 1;
        std::memcpy(r.data() + 6, &recNo, 4);
        std::memcpy(r.data() + 20, &value, 4);
        return r;
    }
    int32_t Insert(int32_t value, uint32_t address, int32_t recNo = 0) {
        auto r = Rec(value, recNo);
        tree.ConstructKeyBufFromRecBuf(r.data());
        SetKeyAddress(tree.GetSearchKey(), address);
        return tree.IdxInsert();
    }
    int32_t Delete(int32_t value, int32_t recNo = 0) {
        auto r = Rec(value, recNo);
        tree.ConstructKeyBufFromRecBuf(r.data());
        return tree.IdxDelete();
    }
    // The address found, or -1.
    int64_t Find(TIndexSearchType type, int32_t value, const TKeyMarkers* markers = nullptr,
                 const TSearchModifier* modifier = nullptr) {
        auto r = Rec(value);
        tree.ConstructKeyBufFromRecBuf(r.data(), markers);
        if (tree.IndexSearch(type, modifier) != 0) return -1;
        return tree.GetRecAddr();
    }
};

} // namespace

TEST(BTree, EmptyTreeFindsNothingAndCountsZero) {
    IntTree t;
    for (int type = stLT; type <= stLEG; ++type)
        EXPECT_EQ(t.Find(static_cast<TIndexSearchType>(type), 1), -1) << type;
    EXPECT_EQ(t.tree.GetRecordCount(), 0u);
    EXPECT_EQ(t.tree.GetRecordNo(), 0u);
    EXPECT_EQ(t.tree.GetAddrOfRecNo(1), 0u);
    EXPECT_FALSE(t.tree.NextRecord());
    EXPECT_EQ(t.Delete(1), -1);
    EXPECT_EQ(t.tree.CheckTree(), 1u);
}

TEST(BTree, SearchTypeTableCellByCell) {
    // Keys 10, 20 ... 1000 over several leaves; the address of key v is v.
    IntTree t;
    for (int32_t v = 10; v <= 1000; v += 10)
        ASSERT_EQ(t.Insert(v, static_cast<uint32_t>(v)), 0);
    ASSERT_GE(t.depth, 2u);
    // c = 0
    EXPECT_EQ(t.Find(stLT, 20), 10);
    EXPECT_EQ(t.Find(stLT, 10), -1);
    EXPECT_EQ(t.Find(stLE, 20), 20);
    EXPECT_EQ(t.Find(stEQ, 20), 20);
    EXPECT_EQ(t.Find(stGE, 20), 20);
    EXPECT_EQ(t.Find(stGT, 20), 30);
    EXPECT_EQ(t.Find(stGT, 1000), -1);
    EXPECT_EQ(t.Find(stLEG, 20), 20);
    // c > 0: the key is above every key
    EXPECT_EQ(t.Find(stLT, 5000), 1000);
    EXPECT_EQ(t.Find(stLE, 5000), 1000);
    EXPECT_EQ(t.Find(stEQ, 5000), -1);
    EXPECT_EQ(t.Find(stGE, 5000), -1);
    EXPECT_EQ(t.Find(stGT, 5000), -1);
    EXPECT_EQ(t.Find(stLEG, 5000), 1000); // the nearest key below
    // c < 0: the cursor entry is greater
    EXPECT_EQ(t.Find(stLT, 15), 10);
    EXPECT_EQ(t.Find(stLT, 5), -1);
    EXPECT_EQ(t.Find(stLE, 15), 10);
    EXPECT_EQ(t.Find(stLE, 5), -1);
    EXPECT_EQ(t.Find(stEQ, 15), -1);
    EXPECT_EQ(t.Find(stGE, 15), 20);
    EXPECT_EQ(t.Find(stGT, 15), 20);
    EXPECT_EQ(t.Find(stLEG, 15), 20);
    EXPECT_EQ(t.Find(stLEG, 5), 10);
    // Every gap between two keys, wherever the leaves are split.
    for (int32_t v = 15; v < 1000; v += 10) {
        ASSERT_EQ(t.Find(stGE, v), v + 5);
        ASSERT_EQ(t.Find(stLE, v), v - 5);
        ASSERT_EQ(t.Find(stGT, v - 5), v + 5);
        ASSERT_EQ(t.Find(stLT, v + 5), v - 5);
    }

    IntTree one;
    one.Insert(7, 70);
    EXPECT_EQ(one.Find(stLEG, 100), 70);
    EXPECT_EQ(one.Find(stGE, 100), -1);
}

TEST(BTree, AscendingInsertsGrowTheRootInPlaceAndDeletesCollapseIt) {
    IntTree t;
    const uint32_t root = t.root;
    int32_t n = 0;
    std::vector<uint32_t> depths;
    while (t.depth < 3) {
        ASSERT_EQ(t.Insert(n, static_cast<uint32_t>(n) + 1), 0);
        ++n;
        if (depths.empty() || depths.back() != t.depth) depths.push_back(t.depth);
    }
    EXPECT_EQ(depths, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(t.root, root);
    EXPECT_EQ(t.tree.CheckTree(), t.store.PageCount());
    EXPECT_EQ(t.tree.GetRecordCount(), static_cast<uint32_t>(n));
    EXPECT_EQ(t.Insert(5, 999), -1); // an equal key is refused
    for (int32_t v = n - 1; v >= 0; --v)
        ASSERT_EQ(t.Delete(v), 0) << v;
    EXPECT_EQ(t.root, root);
    EXPECT_EQ(t.depth, 1u);
    EXPECT_EQ(t.store.PageCount(), 1u);
}

TEST(BTree, NullsFirstAscendingAndLastDescendingMarkersNotReversed) {
    for (bool descending : {false, true}) {
        TTestPageStore store(512);
        TKeyFields fields;
        AddKeyField(fields, ftInteger, 4, 20, 14, 0, descending);
        TBTree tree;
        uint32_t root = 0, depth = 0;
        tree.SetKeyFields(fields);
        tree.SetMaximumKeySize(15);
        tree.SetIndexKeyType(ikMinStringLen);
        tree.SetDBStringCompare(DBASCIICompareStrings);
        tree.ConnectToIFace(&store, 512, &root, &depth);
        tree.Open();
        tree.CreateTree();
        auto insert = [&](std::optional<int32_t> v, uint32_t address) {
            std::vector<uint8_t> r(24, 0);
            r[14] = v ? 1 : 0;
            int32_t x = v.value_or(0);
            std::memcpy(r.data() + 20, &x, 4);
            tree.ConstructKeyBufFromRecBuf(r.data());
            SetKeyAddress(tree.GetSearchKey(), address);
            ASSERT_EQ(tree.IdxInsert(), 0);
        };
        insert(3, 3);
        insert(std::nullopt, 99);
        insert(-1, 1);
        std::vector<uint32_t> order;
        tree.GetAddrOfRecNo(1);
        do
            order.push_back(tree.GetRecAddr());
        while (tree.NextRecord());
        EXPECT_EQ(order, descending ? (std::vector<uint32_t>{3, 1, 99})
                                    : (std::vector<uint32_t>{99, 1, 3}));
        // A low marker sorts before every key, whatever the direction of the field.
        std::vector<uint8_t> r(24, 0);
        TKeyMarkers low{0};
        tree.ConstructKeyBufFromRecBuf(r.data(), &low);
        ASSERT_EQ(tree.IndexSearch(stGE), 0);
        EXPECT_EQ(tree.GetRecAddr(), order.front());
        TKeyMarkers high{2};
        tree.ConstructKeyBufFromRecBuf(r.data(), &high);
        ASSERT_EQ(tree.IndexSearch(stLE), 0);
        EXPECT_EQ(tree.GetRecAddr(), order.back());
    }
}

TEST(BTree, KeysFromVariantsMatchKeysFromRecords) {
    TTestPageStore store(4096);
    TKeyFields fields;
    AddKeyField(fields, ftString, 10, 30, 14, 28, false, true);
    AddKeyField(fields, ftInteger, 4, 20, 15);
    AddKeyField(fields, ftFloat, 8, 40, 16);
    TBTree tree;
    uint32_t root = 0, depth = 0;
    tree.SetKeyFields(fields);
    tree.SetMaximumKeySize(10 + 1 + 12 + 4 + 8);
    tree.SetIndexKeyType(ikMinStringLen);
    tree.SetDBStringCompare(DBASCIICompareStrings);
    tree.ConnectToIFace(&store, 4096, &root, &depth);
    std::vector<uint8_t> rec(48, 0);
    rec[14] = 1;
    rec[15] = 0;
    rec[16] = 1;
    const uint16_t len = 3;
    std::memcpy(rec.data() + 28, &len, 2);
    std::memcpy(rec.data() + 30, "abc", 3);
    const double d = 2.5;
    std::memcpy(rec.data() + 40, &d, 8);
    std::vector<uint8_t> fromRec(64, 0);
    tree.ConstructTempKeyBufFromRecBuf(fromRec.data(), rec.data());
    EXPECT_EQ(KeyLength(fromRec.data()), 10 + 1 + 5 + 8);
    tree.ConstructKeyBufFromVariants(Variant(std::vector<Variant>{"ABC", Null(), 2.5}));
    EXPECT_EQ(tree.CompareKeys(0, nullptr, nullptr, tree.GetSearchKey(), fromRec.data()), 0);
    tree.ConstructKeyBufFromVariants(Variant("abd"));
    EXPECT_GT(tree.CompareKeys(0, nullptr, nullptr, tree.GetSearchKey(), fromRec.data()), 0);
    const auto text = tree.DecodeKeyBufAsStrings(fromRec.data());
    EXPECT_EQ(text[0], "abc");
    EXPECT_EQ(text[1], "NULL");

    TKeyFields bytes;
    AddKeyField(bytes, ftBytes, 4, 20, 14);
    TBTree other;
    other.SetKeyFields(bytes);
    other.SetMaximumKeySize(15);
    std::string msg;
    EXPECT_EQ(ErrorCodeOf([&] { other.ConstructKeyBufFromVariants(Variant(1)); }, &msg), 10000);
    EXPECT_NE(msg.find("ftBytes"), std::string::npos);
    EXPECT_EQ(ErrorCodeOf([&] { other.Open(); }, &msg), 8581);
    EXPECT_NE(msg.find("No sort order function assigned"), std::string::npos);
}

TEST(BTree, ListMatchingRecordsForwardAndBackwardAcrossLeaves) {
    IntTree t(512, true);
    int32_t recNo = 1;
    for (int32_t v = 0; v < 60; ++v)
        for (int r = 0; r < 5; ++r, ++recNo)
            ASSERT_EQ(t.Insert(v, static_cast<uint32_t>(recNo) * 8, recNo), 0);
    TKeyMarkers low{1, 0};
    TSearchModifier first{true, 1};
    ASSERT_EQ(t.Find(stGE, 30, &low, &first), 30 * 5 * 8 + 8);
    const uint32_t startNo = t.tree.GetRecordNo();
    EXPECT_EQ(startNo, 151u);
    TCompoundList list;
    bool flag = true;
    std::vector<uint8_t> key(t.tree.GetSearchKey(), t.tree.GetSearchKey() + 20);
    t.tree.ListMatchingRecords(key.data(), 1, 0, stEQ, false, list, flag);
    EXPECT_FALSE(flag);
    ASSERT_EQ(list.Count(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(list.List1()[i], (151 + i) * 8);
        EXPECT_EQ(list.List2()[i], 151 + i);
    }
    // Backwards from the first key 30 down to the start, turned round.
    ASSERT_EQ(t.Find(stGE, 30, &low, &first), 151 * 8);
    TCompoundList back;
    t.tree.ListMatchingRecords(nullptr, 1, 0, stLE, true, back, flag);
    ASSERT_EQ(back.Count(), 151);
    for (int i = 0; i < 151; ++i)
        EXPECT_EQ(back.List2()[i], i + 1);
    // Forwards with a stop address.
    ASSERT_EQ(t.Find(stGE, 30, &low, &first), 151 * 8);
    TCompoundList upTo;
    t.tree.ListMatchingRecords(nullptr, 1, 160 * 8, stGE, false, upTo, flag);
    EXPECT_EQ(upTo.Count(), 10);
}

TEST(BTree, FillHashTableAddsEveryValueWithItsAddress) {
    IntTree t(512, true);
    for (int32_t i = 1; i <= 200; ++i)
        ASSERT_EQ(t.Insert(i * 3, static_cast<uint32_t>(i), i), 0);
    TZanBaseHash hash(256, 4, 256);
    t.tree.FillHashTable(0, hash);
    EXPECT_EQ(hash.EntryCount(), 200);
    const int32_t v = 3 * 77;
    EXPECT_EQ(hash.ValueOf(&v, 4), 77u);
}

TEST(BTree, RandomBytesInIndexPagesGiveEngineErrorsOnly) {
    std::mt19937 rng(7);
    int errors = 0;
    for (int round = 0; round < 150; ++round) {
        IntTree t(512, true, round % 2 ? ikMinStringLen : ikFixed);
        for (int32_t i = 1; i <= 400; ++i)
            ASSERT_EQ(t.Insert(static_cast<int32_t>(rng() % 50), static_cast<uint32_t>(i), i), 0);
        auto addresses = t.store.Addresses();
        for (int hits = 1 + static_cast<int>(rng() % 4); hits > 0; --hits) {
            uint8_t* page = t.store.Page(addresses[rng() % addresses.size()]);
            const size_t at = rng() % 3 == 0 ? rng() % 16 : rng() % 512;
            page[at] = static_cast<uint8_t>(rng());
        }
        t.tree.InvalidateInternalBuffers();
        auto attempt = [&](const std::function<void()>& f) {
            try {
                f();
            } catch (const EZanDatabaseError&) {
                ++errors;
            }
        };
        attempt([&] { t.tree.CheckTree(); });
        attempt([&] {
            t.tree.GetAddrOfRecNo(1);
            for (int i = 0; i < 500 && t.tree.NextRecord(); ++i)
                t.tree.GetRecAddr();
        });
        attempt([&] {
            for (int i = 0; i < 20; ++i)
                t.Find(static_cast<TIndexSearchType>(i % 6), i);
        });
        attempt([&] {
            for (int32_t i = 1; i <= 100; ++i)
                t.Delete(static_cast<int32_t>(rng() % 50), i);
            for (int32_t i = 500; i <= 600; ++i)
                t.Insert(i % 50, static_cast<uint32_t>(i), i);
        });
        attempt([&] { t.tree.GetAddrOfRecNo(t.tree.GetRecordCount(true) / 2); });
        attempt([&] {
            TZanBaseHash hash(4096, 4, 4096);
            t.tree.FillHashTable(0, hash);
        });
        attempt([&] { t.tree.EmptyTree(true); });
    }
    EXPECT_GT(errors, 0);
}

// Keys of one 470-byte string (8 or 9 to a 4096-byte page) inserted in key order, then deleted
// in key order or in reverse: internal pages end up with a single child, whose emptied leaf
// must leave the tree; inserts in the emptied range work again afterwards.
TEST(BTree, LongKeysDeletedInOrderLeaveNoEmptyPage) {
    for (bool reverse : {false, true}) {
        for (TIndexKeyType kind : {ikMinStringLen, ikFixed}) {
            SCOPED_TRACE(::testing::Message() << (reverse ? "reverse" : "forward") << " kind "
                                              << int(kind));
            TTestPageStore store(4096);
            TKeyFields fields;
            AddKeyField(fields, ftString, 480, 20, 14, 18);
            TBTree tree;
            uint32_t root = 0, depth = 0;
            tree.SetKeyFields(fields);
            tree.SetMaximumKeySize(10 + 482 + fields.GetDataOffset());
            tree.SetIndexKeyType(kind);
            tree.SetDBStringCompare(DBASCIICompareStrings);
            tree.ConnectToIFace(&store, 4096, &root, &depth);
            tree.Open();
            tree.CreateTree();
            auto key = [&](int i) {
                std::vector<uint8_t> rec(520, 0);
                std::string s = "k" + std::to_string(1000 + i);
                s.resize(470, '.');
                rec[14] = 1;
                const uint16_t n = 470;
                std::memcpy(rec.data() + 18, &n, 2);
                std::memcpy(rec.data() + 20, s.data(), 470);
                tree.ConstructKeyBufFromRecBuf(rec.data());
                SetKeyAddress(tree.GetSearchKey(), 16 * uint32_t(i + 1));
            };
            constexpr int Keys = 128;
            for (int i = 0; i < Keys; ++i) {
                key(i);
                ASSERT_EQ(tree.IdxInsert(), 0);
            }
            EXPECT_GE(depth, 3u);
            for (int n = 0; n < Keys; ++n) {
                const int i = reverse ? Keys - 1 - n : n;
                key(i);
                ASSERT_EQ(tree.IdxDelete(), 0) << i;
                ASSERT_EQ(ErrorCodeOf([&] { tree.CheckTree(); }), 0) << "after deleting " << i;
                ASSERT_EQ(tree.GetRecordCount(true), uint32_t(Keys - 1 - n));
                if (n == Keys / 2) {
                    // Put one back in the emptied range and take it out again.
                    key(i);
                    ASSERT_EQ(tree.IdxInsert(), 0);
                    key(i);
                    ASSERT_EQ(tree.IdxDelete(), 0);
                }
            }
            EXPECT_EQ(depth, 1u);
            EXPECT_EQ(store.PageCount(), 1u);
        }
    }
}

// Pages of entries of differing lengths are searched by halving their list of entry starts:
// every search type answers as on fixed-length pages holding the same keys, before and after
// deletes, on keys, in the gaps and beyond both ends.
TEST(BTree, VariableLengthPagesAnswerEverySearchAsFixedPagesDo) {
    IntTree fixed(512, true, ikFixed), variable(512, true, ikMinStringLen);
    std::vector<int32_t> values;
    for (int32_t v = 0; v < 3000; v += 10)
        values.push_back(v);
    std::mt19937 rng(11);
    std::shuffle(values.begin(), values.end(), rng);
    for (int32_t v : values) {
        // Every value twice: the record number tells them apart.
        for (int32_t recNo : {1, 2}) {
            ASSERT_EQ(fixed.Insert(v, uint32_t(v * 4 + recNo), recNo), 0);
            ASSERT_EQ(variable.Insert(v, uint32_t(v * 4 + recNo), recNo), 0);
        }
    }
    ASSERT_GE(variable.depth, 3u);
    auto compare = [&](const char* when) {
        for (int32_t v = -15; v <= 3015; v += 5)
            for (int type = stLT; type <= stLEG; ++type)
                ASSERT_EQ(variable.Find(static_cast<TIndexSearchType>(type), v),
                          fixed.Find(static_cast<TIndexSearchType>(type), v))
                    << when << " value " << v << " type " << type;
    };
    compare("filled");
    for (size_t i = 0; i < values.size(); i += 3) {
        ASSERT_EQ(fixed.Delete(values[i], 1), 0);
        ASSERT_EQ(variable.Delete(values[i], 1), 0);
        ASSERT_EQ(fixed.Delete(values[i], 2), 0);
        ASSERT_EQ(variable.Delete(values[i], 2), 0);
    }
    compare("after deletes");
    EXPECT_EQ(variable.tree.CheckTree(), variable.store.PageCount());
}

// A delete from a page left too empty, beside a sibling that is too empty as well and too full
// to merge with, changes only the pages on its path: entries are not shifted between two pages
// that would both stay too empty, so deleting every other key in key order never rewrites a
// sibling, and no page is left empty or lost.
TEST(BTree, TooEmptyNeighboursAreNotEvenedOutOnEveryDelete) {
    for (TIndexKeyType kind : {ikFixed, ikMinStringLen}) {
        SCOPED_TRACE(int(kind));
        IntTree t(512, false, kind);
        for (int32_t v = 0; v < 2000; ++v)
            ASSERT_EQ(t.Insert(v, uint32_t(v + 1)), 0);
        ASSERT_GE(t.depth, 3u);
        auto snapshot = [&] {
            std::map<uint32_t, std::vector<uint8_t>> pages;
            for (uint32_t a : t.store.Addresses())
                pages[a].assign(t.store.Page(a), t.store.Page(a) + 512);
            return pages;
        };
        int rewrites = 0;
        for (int32_t v = 0; v < 2000; v += 2) {
            const auto before = snapshot();
            ASSERT_EQ(t.Delete(v), 0) << v;
            const auto after = snapshot();
            int changed = 0;
            for (const auto& [a, bytes] : after)
                changed += before.count(a) == 0 || before.at(a) != bytes;
            // A merge releases a page; otherwise only the leaf and its ancestors change.
            if (after.size() == before.size() && changed > int(t.depth)) ++rewrites;
        }
        EXPECT_EQ(rewrites, 0);
        EXPECT_EQ(t.tree.CheckTree(), t.store.PageCount());
        EXPECT_EQ(t.tree.GetRecordCount(), 1000u);
        for (int32_t v = 0; v < 2000; ++v)
            ASSERT_EQ(t.Find(stEQ, v), v % 2 == 0 ? -1 : v + 1) << v;
    }
}

// Integer keys on fixed-size pages are decided by their first value where it differs; the answer
// must stay the full comparison's. Fixed and variable-length pages (which always compare in
// full) hold the same keys: negative and extreme values, nulls, duplicates told apart by the
// record number. Every search type, with the record number compared, below or above every value,
// answers alike before and after random deletes.
TEST(BTree, IntegerProbesOfFixedPagesAnswerAsFullComparisons) {
    IntTree fixed(512, true, ikFixed), variable(512, true, ikMinStringLen);
    struct TRow {
        int32_t Value;
        int32_t RecNo;
        bool Null;
    };
    std::vector<TRow> rows;
    const int32_t extremes[] = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX - 1, INT32_MAX};
    int32_t recNo = 0;
    for (int32_t v : extremes)
        rows.push_back({v, ++recNo, false});
    std::mt19937 rng(23);
    for (int i = 0; i < 1500; ++i)
        rows.push_back({static_cast<int32_t>(rng() % 801) - 400, ++recNo, rng() % 9 == 0});
    auto apply = [](IntTree& t, const TRow& r, bool insert) {
        auto rec = t.Rec(r.Value, r.RecNo, r.Null);
        t.tree.ConstructKeyBufFromRecBuf(rec.data());
        SetKeyAddress(t.tree.GetSearchKey(), uint32_t(r.RecNo));
        return insert ? t.tree.IdxInsert() : t.tree.IdxDelete();
    };
    for (const TRow& r : rows) {
        ASSERT_EQ(apply(fixed, r, true), 0);
        ASSERT_EQ(apply(variable, r, true), 0);
    }
    ASSERT_GE(fixed.depth, 3u);
    auto find = [](IntTree& t, int type, int32_t v, bool isNull,
                   const TKeyMarkers* markers) -> int64_t {
        auto rec = t.Rec(v, 0, isNull);
        t.tree.ConstructKeyBufFromRecBuf(rec.data(), markers);
        if (t.tree.IndexSearch(static_cast<TIndexSearchType>(type)) != 0) return -1;
        return t.tree.GetRecAddr();
    };
    const TKeyMarkers below{1, 0}, above{1, 2};
    std::vector<int32_t> probes(std::begin(extremes), std::end(extremes));
    for (int32_t v = -410; v <= 410; v += 7)
        probes.push_back(v);
    auto compare = [&](const char* when) {
        for (int32_t v : probes)
            for (bool isNull : {false, true})
                for (int type = stLT; type <= stLEG; ++type) {
                    ASSERT_EQ(find(fixed, type, v, isNull, nullptr),
                              find(variable, type, v, isNull, nullptr))
                        << when << " value " << v << " null " << isNull << " type " << type;
                    for (const TKeyMarkers* m : {&below, &above})
                        ASSERT_EQ(find(fixed, type, v, isNull, m),
                                  find(variable, type, v, isNull, m))
                            << when << " marked value " << v << " type " << type;
                }
    };
    compare("filled");
    std::shuffle(rows.begin(), rows.end(), rng);
    for (size_t i = 0; i < rows.size(); i += 2) {
        ASSERT_EQ(apply(fixed, rows[i], false), 0);
        ASSERT_EQ(apply(variable, rows[i], false), 0);
    }
    compare("after deletes");
    EXPECT_EQ(fixed.tree.CheckTree(), fixed.store.PageCount());
}

// On fixed-size pages a leaf left too empty learns from its parent's count that its sibling is
// too full to merge with: deleting every other key in key order reads only the pages on each
// key's path, and the tree keeps the pages and counts a sibling read would have given it.
TEST(BTree, FixedLeavesLeftTooEmptyDoNotReadASiblingTheyCannotMergeWith) {
    IntTree t(512, false, ikFixed);
    for (int32_t v = 0; v < 2000; ++v)
        ASSERT_EQ(t.Insert(v, uint32_t(v + 1)), 0);
    const size_t pages = t.store.PageCount();
    const int readsBefore = t.store.Reads;
    for (int32_t v = 0; v < 2000; v += 2)
        ASSERT_EQ(t.Delete(v), 0) << v;
    // In key order each page on the way is read once, when the deletes reach it; a sibling
    // read would cost one more on nearly every delete.
    EXPECT_LE(t.store.Reads - readsBefore, int(pages));
    EXPECT_EQ(t.store.PageCount(), pages);
    EXPECT_EQ(t.tree.CheckTree(), t.store.PageCount());
    EXPECT_EQ(t.tree.GetRecordCount(), 1000u);
    // Emptied further, the leaves do merge again.
    for (int32_t v = 1; v < 2000; v += 4)
        ASSERT_EQ(t.Delete(v), 0) << v;
    EXPECT_LT(t.store.PageCount(), pages);
    EXPECT_EQ(t.tree.CheckTree(), t.store.PageCount());
    EXPECT_EQ(t.tree.GetRecordCount(), 500u);
}
