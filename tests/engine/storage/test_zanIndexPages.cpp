// Index pages on hand-built page images: thresholds, search, split, redistribute, merge and the
// checks that keep a damaged page from being used.
#include "test_zanIndexSupport.h"

using namespace zan;

namespace {

constexpr uint32_t P = 4096;

struct PageFixture {
    TTestPageStore store{P};
    TKeyFields fields;
    TBTree tree;
    int32_t m;

    PageFixture(int32_t maxKey, TIndexKeyType kind, bool withSecondField = false) : m(maxKey) {
        AddKeyField(fields, ftInteger, 4, 20, 14);
        if (withSecondField) AddKeyField(fields, ftInteger, 4, 6, 0, 0, false, false, true);
        tree.SetKeyFields(fields);
        tree.SetMaximumKeySize(maxKey);
        tree.SetIndexKeyType(kind);
        tree.SetDBStringCompare(DBASCIICompareStrings);
    }
    TNode Node(bool leaf) {
        TNode n;
        n.Open(&tree, &store, P);
        n.SetLeaf(leaf);
        return n;
    }
    void Append(TNode& n, int32_t value, uint32_t address = 0, uint32_t count = 0) {
        auto k = IntKey(m, value, address ? address : static_cast<uint32_t>(value), count);
        n.InsertKey(n.GetBytesUsed(), k.data());
    }
    std::vector<int32_t> Values(const TNode& n) const {
        std::vector<int32_t> out;
        for (int32_t p = 0; p < n.GetBytesUsed(); p = n.NextPos(p)) {
            int32_t v;
            std::memcpy(&v, n.EntryAt(p) + 11, 4);
            out.push_back(v);
        }
        return out;
    }
    // Puts n's image into the store at a new address and makes n hold it.
    uint32_t Store(TNode& n) {
        const uint32_t a = store.AllocatePage(n.Buffer());
        std::vector<uint8_t> image(n.Buffer(), n.Buffer() + P);
        n.SetAddress(a);
        n.CopyNode(image.data());
        return a;
    }
    void Search(int32_t value, const TKeyMarkers* markers = nullptr, int32_t second = 0) {
        auto k = IntKey(m, value, 0);
        if (fields.Count() > 1) {
            k[10] |= 0x40;
            std::memcpy(k.data() + 15, &second, 4);
        }
        tree.ConstructKeyBufFromKeyBuf(k.data(), markers);
    }
};

std::vector<int32_t> Range(int32_t from, int32_t to) {
    std::vector<int32_t> v;
    for (int32_t i = from; i < to; ++i)
        v.push_back(i);
    return v;
}

} // namespace

TEST(IndexPages, ThresholdsFor4096ByteAnd100ByteKeys) {
    PageFixture f(100, ikFixed);
    TNode n = f.Node(true);
    n.SetBytesUsed(3979);
    EXPECT_FALSE(n.CheckNodeFull());
    n.SetBytesUsed(3980);
    EXPECT_TRUE(n.CheckNodeFull());
    EXPECT_TRUE(n.RoomForKey(100)); // 3980 + 100 + 16 = 4096
    n.SetBytesUsed(3981);
    EXPECT_FALSE(n.RoomForKey(100));
    n.SetBytesUsed(2031);
    EXPECT_TRUE(n.CheckNodeTooEmpty());
    n.SetBytesUsed(2032);
    EXPECT_FALSE(n.CheckNodeTooEmpty());
    n.SetBytesUsed(0);
    EXPECT_TRUE(n.CheckNodeEmpty());
}

TEST(IndexPages, SearchOnLeafAndInternalPagesOfBothKinds) {
    for (TIndexKeyType kind : {ikFixed, ikMinStringLen}) {
        SCOPED_TRACE(kind == ikFixed ? "fixed" : "variable");
        PageFixture f(15, kind);
        TNode leaf = f.Node(true);
        for (int32_t v : {10, 20, 30})
            f.Append(leaf, v);
        int32_t pos = -1;
        f.Search(20);
        EXPECT_EQ(leaf.SearchNode(0, pos), 0);
        EXPECT_EQ(pos, 15);
        EXPECT_EQ(leaf.GetCursor(), 15);
        f.Search(25);
        EXPECT_LT(leaf.SearchNode(0, pos), 0);
        EXPECT_EQ(pos, 30);
        f.Search(35);
        EXPECT_GT(leaf.SearchNode(0, pos), 0);
        EXPECT_EQ(pos, 45); // bytes used: every entry is smaller
        f.Search(5);
        EXPECT_LT(leaf.SearchNode(0, pos), 0);
        EXPECT_EQ(pos, 0);

        TNode inner = f.Node(false);
        for (int32_t v : {10, 20, 30})
            f.Append(inner, v, static_cast<uint32_t>(v) * 4096, 7);
        f.Search(20);
        EXPECT_EQ(inner.SearchNode(0, pos), 0);
        EXPECT_EQ(pos, 15);
        f.Search(25);
        EXPECT_GT(inner.SearchNode(0, pos), 0); // between two entries: the lower one
        EXPECT_EQ(pos, 15);
        f.Search(5);
        inner.SearchNode(0, pos);
        EXPECT_EQ(pos, 0); // below the first: the first
        f.Search(35);
        inner.SearchNode(0, pos);
        EXPECT_EQ(pos, 30);
        EXPECT_EQ(inner.GetRecordCount(), 21u);
        EXPECT_EQ(inner.GetRecordCount(15), 14u);
        EXPECT_EQ(inner.CountBefore(30), 14u);

        TNode empty = f.Node(true);
        EXPECT_GT(empty.SearchNode(0, pos), 0);
        EXPECT_EQ(pos, 0);
    }
}

TEST(IndexPages, NullSortsFirstAndVariableEntriesKeepTheirLength) {
    PageFixture f(15, ikMinStringLen);
    TNode leaf = f.Node(true);
    auto nullKey = IntKey(11, 0, 77, 0, false);
    leaf.InsertKey(0, nullKey.data());
    f.Append(leaf, -5);
    EXPECT_EQ(leaf.GetBytesUsed(), 26);
    EXPECT_EQ(leaf.GetCount(), 2);
    int32_t pos;
    f.Search(-100);
    EXPECT_LT(leaf.SearchNode(0, pos), 0);
    EXPECT_EQ(pos, 11); // after the null entry
    EXPECT_EQ(leaf.FindKeyByPosition(ksAtOrBefore, 12), 11);
    EXPECT_EQ(leaf.FindKeyByPosition(ksExact, 12), -1);
    EXPECT_EQ(leaf.FindKeyByPosition(ksAtOrAfter, 12), 26);
    leaf.SetCursorToEnd(false);
    EXPECT_EQ(leaf.GetCursor(), 11);
    EXPECT_TRUE(leaf.PriorRecord());
    EXPECT_EQ(leaf.GetRecordAddress(), 77u);
    EXPECT_FALSE(leaf.PriorRecord());
}

TEST(IndexPages, FixedBinarySearchLandsOnTheFirstOfEqualEntries) {
    // An index value followed by the hidden record number: a partial search with the low
    // marker on the hidden field finds the first entry of the value, whatever the slot count.
    for (int dupes : {1, 2, 7, 50, 150}) {
        PageFixture f(19, ikFixed, true);
        TNode leaf = f.Node(true);
        auto add = [&](int32_t v, int32_t recNo) {
            auto k = IntKey(19, v, static_cast<uint32_t>(recNo));
            k[10] |= 0x40;
            std::memcpy(k.data() + 15, &recNo, 4);
            leaf.InsertKey(leaf.GetBytesUsed(), k.data());
        };
        add(4, 1000);
        for (int r = 1; r <= dupes; ++r)
            add(5, r);
        add(6, 2000);
        TKeyMarkers low{1, 0}, high{1, 2};
        int32_t pos;
        f.Search(5, &low);
        EXPECT_EQ(leaf.SearchNode(1, pos), 0) << dupes;
        EXPECT_EQ(pos, 19) << dupes;
        f.Search(5, &high);
        EXPECT_LT(leaf.SearchNode(1, pos), 0);
        EXPECT_EQ(pos, 19 * (dupes + 1));
        f.Search(5, nullptr, dupes); // the full key finds its own entry
        EXPECT_EQ(leaf.SearchNode(0, pos), 0);
        EXPECT_EQ(pos, 19 * dupes);
    }
}

TEST(IndexPages, SplitMovesTheUpperHalfAndRelinksTheNextPageOnDisk) {
    PageFixture f(15, ikFixed);
    TNode a = f.Node(true), b = f.Node(true), fresh = f.Node(true);
    while (!a.CheckNodeFull())
        f.Append(a, a.GetCount());
    ASSERT_EQ(a.GetBytesUsed(), 4065);
    f.Append(b, 100000);
    const uint32_t aa = f.Store(a), ba = f.Store(b);
    a.SetNext(ba);
    b.SetPrior(aa);
    a.WriteNode();
    b.WriteNode();
    std::vector<uint8_t> zero(P, 0);
    const uint32_t na = f.store.AllocatePage(zero.data());
    a.SplitNode(fresh, na);
    EXPECT_EQ(a.GetBytesUsed(), 2025); // the entry holding byte 2032 starts at 2025
    EXPECT_EQ(f.Values(a), Range(0, 135));
    EXPECT_EQ(f.Values(fresh), Range(135, 271));
    EXPECT_EQ(fresh.GetAddress(), na);
    EXPECT_TRUE(fresh.CheckIsLeaf());
    EXPECT_EQ(a.GetNext(), na);
    EXPECT_EQ(fresh.GetPrior(), aa);
    EXPECT_EQ(fresh.GetNext(), ba);
    uint32_t priorOfB;
    std::memcpy(&priorOfB, f.store.Page(ba) + 12, 4);
    EXPECT_EQ(priorOfB, na);
    for (uint32_t i = 16 + 2025; i < P; ++i)
        ASSERT_EQ(a.Buffer()[i], 0) << i;

    TNode empty = f.Node(true);
    std::string msg;
    EXPECT_EQ(ErrorCodeOf([&] { empty.SplitNode(fresh, na); }, &msg), 8581);
    EXPECT_NE(msg.find("Node is empty"), std::string::npos);
}

TEST(IndexPages, RedistributeMovesHalfOrAsksForAMerge) {
    PageFixture f(15, ikFixed);
    auto pages = [&](int32_t left, int32_t right) {
        std::pair<TNode, TNode> p{f.Node(true), f.Node(true)};
        for (int32_t i = 0; i < left; ++i)
            f.Append(p.first, i);
        for (int32_t i = 0; i < right; ++i)
            f.Append(p.second, 1000 + i);
        return p;
    };
    {
        auto [l, r] = pages(45, 46); // 1365 bytes: P / 3
        EXPECT_EQ(l.RedistributeNodes(r), -1);
    }
    {
        auto [l, r] = pages(100, 100);
        EXPECT_EQ(l.RedistributeNodes(r), 0);
        EXPECT_EQ(l.GetCount(), 100);
    }
    {
        auto [l, r] = pages(200, 20); // half = 1650 falls in the left page
        EXPECT_EQ(l.RedistributeNodes(r), 1);
        EXPECT_EQ(f.Values(l), Range(0, 110));
        auto expect = Range(110, 200);
        for (int32_t i = 0; i < 20; ++i)
            expect.push_back(1000 + i);
        EXPECT_EQ(f.Values(r), expect);
    }
    {
        auto [l, r] = pages(20, 200);
        EXPECT_EQ(l.RedistributeNodes(r), 1);
        EXPECT_EQ(l.GetCount(), 110);
        EXPECT_EQ(r.GetCount(), 110);
        EXPECT_EQ(f.Values(r).front(), 1090);
        EXPECT_EQ(r.Buffer()[16 + r.GetBytesUsed()], 0);
    }
}

TEST(IndexPages, MergeJoinsEntriesAndFixesTheOuterLink) {
    for (bool otherIsAfter : {true, false}) {
        PageFixture f(15, ikFixed);
        TNode keep = f.Node(true), other = f.Node(true), outer = f.Node(true);
        for (int32_t i = 0; i < 5; ++i)
            f.Append(otherIsAfter ? keep : other, i);
        for (int32_t i = 5; i < 9; ++i)
            f.Append(otherIsAfter ? other : keep, i);
        f.Append(outer, otherIsAfter ? 50 : -50);
        const uint32_t ka = f.Store(keep), oa = f.Store(other), xa = f.Store(outer);
        if (otherIsAfter) { // keep <-> other <-> outer
            keep.SetNext(oa);
            other.SetPrior(ka);
            other.SetNext(xa);
        } else { // outer <-> other <-> keep
            keep.SetPrior(oa);
            other.SetNext(ka);
            other.SetPrior(xa);
        }
        f.store.WritePage(xa, outer.Buffer());
        keep.MergeNodes(other, otherIsAfter);
        EXPECT_EQ(f.Values(keep), Range(0, 9));
        uint32_t link;
        std::memcpy(&link, f.store.Page(xa) + (otherIsAfter ? 12 : 8), 4);
        EXPECT_EQ(link, ka);
        EXPECT_EQ(otherIsAfter ? keep.GetNext() : keep.GetPrior(), xa);
    }
}

TEST(IndexPages, NeighbourWithTheSmallerSubtreeIsChosenAndTheNextOnATie) {
    PageFixture f(15, ikFixed);
    TNode inner = f.Node(false);
    f.Append(inner, 1, 4096, 5);
    f.Append(inner, 2, 8192, 9);
    f.Append(inner, 3, 12288, 7);
    EXPECT_EQ(inner.GetRedistributeNode(15), 0);
    EXPECT_EQ(inner.GetRedistributeNode(0), 15);
    EXPECT_EQ(inner.GetRedistributeNode(30), 15);
    SetKeyCount(inner.MutableEntryAt(0), 7);
    EXPECT_EQ(inner.GetRedistributeNode(15), 30);
    TNode leaf = f.Node(true);
    f.Append(leaf, 1);
    EXPECT_EQ(leaf.GetRedistributeNode(0), -1);
}

TEST(IndexPages, SearchByRecordNumberWalksSubtreeCounts) {
    PageFixture f(15, ikFixed);
    TNode inner = f.Node(false);
    f.Append(inner, 1, 4096, 5);
    f.Append(inner, 2, 8192, 9);
    f.Append(inner, 3, 12288, 7);
    uint32_t skipped;
    EXPECT_EQ(inner.SearchNodeByRecNo(5, skipped), 4096u);
    EXPECT_EQ(skipped, 0u);
    EXPECT_EQ(inner.SearchNodeByRecNo(6, skipped), 8192u);
    EXPECT_EQ(skipped, 5u);
    EXPECT_EQ(inner.SearchNodeByRecNo(21, skipped), 12288u);
    EXPECT_EQ(skipped, 14u);
    EXPECT_EQ(inner.SearchNodeByRecNo(500, skipped), 12288u); // off the end: the last
    EXPECT_EQ(inner.GetCursor(), 30);
}

TEST(IndexPages, KeyEditsShiftTheRestAndKeepTheTailZero) {
    PageFixture f(15, ikMinStringLen);
    TNode leaf = f.Node(true);
    for (int32_t v : {1, 2, 3})
        f.Append(leaf, v);
    auto nullKey = IntKey(11, 0, 9, 0, false);
    EXPECT_EQ(leaf.UpdateKey(15, nullKey.data()), -4);
    EXPECT_EQ(leaf.GetBytesUsed(), 41);
    EXPECT_EQ(leaf.NextPos(15), 26);
    EXPECT_EQ(f.Values(leaf)[2], 3);
    auto back = IntKey(15, 2, 2);
    EXPECT_EQ(leaf.UpdateKey(15, back.data()), 4);
    EXPECT_EQ(f.Values(leaf), (std::vector<int32_t>{1, 2, 3}));
    leaf.DeleteKey(0);
    EXPECT_EQ(f.Values(leaf), (std::vector<int32_t>{2, 3}));
    for (uint32_t i = 16 + 30; i < 16 + 45; ++i)
        ASSERT_EQ(leaf.Buffer()[i], 0);
    std::vector<uint8_t> key(16, 0);
    leaf.SetCursor(15);
    leaf.CopyCurrentKey(key.data());
    EXPECT_EQ(KeyAddress(key.data()), 3u);
}

TEST(IndexPages, ProgrammingFaultsRaiseInternalErrorsWithTheirTexts) {
    PageFixture f(15, ikFixed);
    TNode leaf = f.Node(true);
    std::string msg;
    EXPECT_EQ(ErrorCodeOf([&] { leaf.GetCurrentKey(); }, &msg), 8581);
    EXPECT_NE(msg.find("Node cursor out of range"), std::string::npos);
    EXPECT_EQ(ErrorCodeOf([&] { leaf.ForceCursorToPhysicalKey(); }, &msg), 8581);
    EXPECT_NE(msg.find("Node is empty"), std::string::npos);
    std::vector<uint8_t> key(16);
    EXPECT_EQ(ErrorCodeOf([&] { leaf.ReadKey(0, key.data()); }, &msg), 8581);
    EXPECT_NE(msg.find("ReadPos is out of range: 0"), std::string::npos);
    f.Append(leaf, 1);
    EXPECT_EQ(ErrorCodeOf([&] { leaf.MoveBlock(0, 5, false); }, &msg), 8581);
    EXPECT_NE(msg.find("Move block error - Start Pos - Delta are out of range"), std::string::npos);
    SetKeyLength(leaf.MutableEntryAt(0), 0);
    EXPECT_EQ(ErrorCodeOf([&] { leaf.DeleteKey(0); }, &msg), 8581);
    EXPECT_NE(msg.find("Invalid key size in Delete key: 0"), std::string::npos);
    TNode closed;
    EXPECT_EQ(ErrorCodeOf([&] { closed.CheckOpen(); }, &msg), 8581);
    EXPECT_NE(msg.find("Node Buffer not allocated"), std::string::npos);
}

TEST(IndexPages, DamagedPagesAreRefusedBeforeUse) {
    for (TIndexKeyType kind : {ikFixed, ikMinStringLen}) {
        PageFixture f(15, kind);
        TNode good = f.Node(true);
        for (int32_t v : {1, 2, 3})
            f.Append(good, v);
        const uint32_t a = f.Store(good);
        TNode reader = f.Node(true);
        reader.ReadNode(a);
        EXPECT_EQ(reader.GetCount(), 3);
        auto damage = [&](const std::function<void(uint8_t*)>& edit) {
            std::vector<uint8_t> page(good.Buffer(), good.Buffer() + P);
            edit(page.data());
            f.store.WritePage(a, page.data());
            TNode n = f.Node(true);
            const int32_t code = ErrorCodeOf([&] { n.ReadNode(a); });
            EXPECT_EQ(n.GetAddress(), 0u);
            return code;
        };
        auto put32 = [](uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); };
        auto put16 = [](uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); };
        EXPECT_EQ(damage([&](uint8_t* p) { put32(p + 4, P - 15); }), 8965);
        EXPECT_EQ(damage([&](uint8_t* p) { put32(p + 4, 0xFFFFFFF0u); }), 8965);
        EXPECT_EQ(damage([&](uint8_t* p) { put16(p + 16 + 15, 0); }), 8965);
        EXPECT_EQ(damage([&](uint8_t* p) { put16(p + 16 + 15, 16); }), 8965);
        EXPECT_EQ(damage([&](uint8_t* p) { put16(p + 16 + 15, 9); }), 8965);
        EXPECT_EQ(damage([&](uint8_t* p) { put32(p + 4, 44); }), 8965);
    }
    // An entry whose length is in range but whose value does not fit in it.
    PageFixture f(15, ikMinStringLen);
    TNode leaf = f.Node(true);
    auto k = IntKey(11, 0, 1, 0, false);
    k[10] = 0x80;
    leaf.InsertKey(0, k.data());
    const uint32_t a = f.Store(leaf);
    TNode n = f.Node(true);
    n.ReadNode(a);
    f.Search(3);
    int32_t pos;
    EXPECT_EQ(ErrorCodeOf([&] { n.SearchNode(0, pos); }), 8965);
}

TEST(IndexPages, ReadingTheHeldAddressKeepsTheImage) {
    PageFixture f(15, ikFixed);
    TNode n = f.Node(true);
    f.Append(n, 1);
    const uint32_t a = f.Store(n);
    TNode r = f.Node(true);
    r.ReadNode(a);
    const int reads = f.store.Reads;
    f.Append(r, 2); // changed in memory only
    r.ReadNode(a);
    EXPECT_EQ(f.store.Reads, reads);
    EXPECT_EQ(r.GetCount(), 2);
    r.SetAddress(a + P); // another address clears the page
    EXPECT_EQ(r.GetBytesUsed(), 0);
    EXPECT_TRUE(r.CheckIsLeaf());
}
