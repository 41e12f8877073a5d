// The B-tree against an ordered model: random inserts, deletes and searches over several key
// layouts, with the tree's invariants and the model compared after every batch.
#include "test_zanIndexSupport.h"

#include <algorithm>
#include <map>
#include <optional>
#include <random>

using namespace zan;

namespace {

// Record layout used by every configuration: in-use byte 0, logical record number at 6, null
// flags at 14 (A), 15 (S), 16 (B); A int32 at 20, S size marker at 24 and its bytes at 26
// (12 unless the configuration says), B smallint after them.
constexpr int32_t StringAt = 26;

// The order in which the tree is emptied at the end of a run.
enum TDrain { drRandom, drKeyOrder, drReverse };

struct MVal {
    bool Has = false;
    int64_t I = 0;
    std::string S;
};
using MKey = std::vector<MVal>;

enum TFieldId { fA, fS, fB, fRecNo };

struct FieldSpec {
    TFieldId Id;
    bool Descending = false;
    bool CaseInsensitive = false;
};

struct Config {
    const char* Name;
    TIndexKeyType Kind;
    std::vector<FieldSpec> Fields; // fRecNo last when the index is not unique
    TZanCompareFunc Compare;
    uint32_t PageSize;
    int32_t ValueRange;
    int Operations;
    uint32_t MinDepth; // depth the run must reach at its largest
    int32_t StringSize = 12; // strings are drawn of every length up to it
    TDrain Drain = drRandom;
    int32_t CachePages = 0; // above 0: pages go through a page cache and are read in place

    int32_t SmallintAt() const { return StringAt + StringSize + 2; }
    int32_t RecSize() const { return SmallintAt() + 2; }
};

struct Model {
    const Config& C;
    explicit Model(const Config& c) : C(c) {}

    int32_t CmpField(size_t i, const MVal& x, const MVal& y) const {
        const FieldSpec& f = C.Fields[i];
        int32_t d;
        if (x.Has != y.Has) {
            d = x.Has ? 1 : -1;
        } else if (!x.Has) {
            d = 0;
        } else if (f.Id == fS) {
            d = C.Compare(x.S.data(), static_cast<int32_t>(x.S.size()), y.S.data(),
                          static_cast<int32_t>(y.S.size()), false, f.CaseInsensitive);
            d = (d > 0) - (d < 0);
        } else {
            d = (x.I > y.I) - (x.I < y.I);
        }
        return f.Descending ? -d : d;
    }
    // The search key against a stored key, markers first, over the first limit fields.
    int32_t Cmp(const MKey& x, const MKey& y, size_t limit, const TKeyMarkers* markers) const {
        for (size_t i = 0; i < std::min(limit, x.size()); ++i) {
            if (markers && i < markers->size() && (*markers)[i] != 1)
                return (*markers)[i] > 1 ? 1 : -1;
            const int32_t d = CmpField(i, x[i], y[i]);
            if (d != 0) return d;
        }
        return 0;
    }
    struct Less {
        const Model* M;
        bool operator()(const MKey& x, const MKey& y) const {
            return M->Cmp(x, y, x.size(), nullptr) < 0;
        }
    };
};

struct Harness {
    const Config& C;
    Model M;
    std::multimap<MKey, uint32_t, Model::Less> Entries;
    TTestPageStore Store;
    TKeyFields Fields;
    TBTree Tree;
    uint32_t Root = 0, Depth = 0;
    uint32_t FirstRoot = 0;
    uint32_t MaxDepth = 0;
    int32_t NextRecNo = 1;
    std::mt19937 Rng;

    explicit Harness(const Config& c, uint32_t seed)
        : C(c), M(c), Entries(Model::Less{&M}), Store(c.PageSize), Rng(seed) {
        if (c.CachePages > 0) Store.UseCache(c.CachePages);
        int32_t maxKey = 10;
        for (const FieldSpec& f : c.Fields) {
            switch (f.Id) {
            case fA:
                AddKeyField(Fields, ftInteger, 4, 20, 14, 0, f.Descending);
                break;
            case fS:
                AddKeyField(Fields, ftString, c.StringSize, StringAt, 15, 24, f.Descending,
                            f.CaseInsensitive);
                break;
            case fB:
                AddKeyField(Fields, ftSmallint, 2, c.SmallintAt(), 16, 0, f.Descending);
                break;
            case fRecNo:
                AddKeyField(Fields, ftInteger, 4, 6, 0, 0, f.Descending, false, true);
            }
            maxKey += f.Id == fS ? C.StringSize + 2 : f.Id == fB ? 2 : 4;
        }
        maxKey += Fields.GetDataOffset();
        EXPECT_LE(maxKey, 500) << "keys are limited to 500 bytes";
        Tree.SetKeyFields(Fields);
        Tree.SetMaximumKeySize(maxKey);
        Tree.SetIndexKeyType(c.Kind);
        Tree.SetDBStringCompare(c.Compare);
        Tree.ConnectToIFace(&Store, c.PageSize, &Root, &Depth);
        Tree.Open();
        Tree.CreateTree();
        FirstRoot = Root;
    }

    MVal RandomValue(TFieldId id) {
        MVal v;
        if (id != fRecNo && Rng() % 10 == 0) return v; // null
        v.Has = true;
        if (id == fS) {
            static const char letters[] = "aAbBc";
            // Long layouts draw every length, half of them close to the field size.
            size_t len = Rng() % 7;
            if (C.StringSize > 12)
                len = Rng() % 2 ? C.StringSize - Rng() % 16 : Rng() % (C.StringSize + 1);
            for (size_t i = 0; i < len; ++i)
                v.S.push_back(letters[Rng() % 5]);
        } else if (id == fB) {
            v.I = static_cast<int16_t>(static_cast<int32_t>(Rng() % 200) - 100);
        } else {
            v.I = static_cast<int32_t>(Rng() % static_cast<uint32_t>(C.ValueRange)) -
                  C.ValueRange / 2;
        }
        return v;
    }
    MKey RandomKey() {
        MKey k;
        for (const FieldSpec& f : C.Fields) {
            if (f.Id == fRecNo) {
                MVal v;
                v.Has = true;
                v.I = NextRecNo;
                k.push_back(v);
            } else {
                k.push_back(RandomValue(f.Id));
            }
        }
        return k;
    }
    std::vector<uint8_t> Record(const MKey& k) const {
        std::vector<uint8_t> r(static_cast<size_t>(C.RecSize()), 0);
        r[0] = 1;
        for (size_t i = 0; i < C.Fields.size(); ++i) {
            const MVal& v = k[i];
            switch (C.Fields[i].Id) {
            case fA:
                r[14] = v.Has;
                std::memcpy(r.data() + 20, &v.I, 4);
                break;
            case fS: {
                r[15] = v.Has;
                const auto n = static_cast<uint16_t>(v.S.size());
                std::memcpy(r.data() + 24, &n, 2);
                std::memcpy(r.data() + StringAt, v.S.data(), v.S.size());
                break;
            }
            case fB: {
                r[16] = v.Has;
                const auto x = static_cast<int16_t>(v.I);
                std::memcpy(r.data() + C.SmallintAt(), &x, 2);
                break;
            }
            case fRecNo: {
                const auto x = static_cast<int32_t>(v.I);
                std::memcpy(r.data() + 6, &x, 4);
            }
            }
        }
        return r;
    }

    void Insert() {
        MKey k = RandomKey();
        const uint32_t address = static_cast<uint32_t>(NextRecNo) * 16;
        ++NextRecNo;
        auto rec = Record(k);
        Tree.ConstructKeyBufFromRecBuf(rec.data());
        SetKeyAddress(Tree.GetSearchKey(), address);
        const bool duplicate = Entries.count(k) > 0;
        ASSERT_EQ(Tree.IdxInsert(), duplicate ? -1 : 0);
        if (!duplicate) Entries.emplace(k, address);
    }
    void Delete(TDrain order = drRandom) {
        if (Entries.empty()) return;
        auto it = Entries.begin();
        if (order == drReverse)
            it = std::prev(Entries.end());
        else if (order == drRandom)
            std::advance(it, static_cast<long>(Rng() % Entries.size()));
        auto rec = Record(it->first);
        Tree.ConstructKeyBufFromRecBuf(rec.data());
        ASSERT_EQ(Tree.IdxDelete(), 0);
        const MKey key = it->first;
        Entries.erase(it);
        if (Rng() % 8 == 0 && Entries.count(key) == 0) {
            Tree.ConstructKeyBufFromRecBuf(rec.data());
            ASSERT_EQ(Tree.IdxDelete(), -1);
        }
    }

    // One search of a random type with a random (possibly partial) key, checked against what
    // the model says the search must answer.
    void Search() {
        MKey k;
        if (!Entries.empty() && Rng() % 2) {
            auto it = Entries.begin();
            std::advance(it, static_cast<long>(Rng() % Entries.size()));
            k = it->first;
        } else {
            k = RandomKey();
        }
        const size_t n = C.Fields.size();
        size_t fieldLimit = n;
        TKeyMarkers markers;
        TSearchModifier modifier;
        const TSearchModifier* mod = nullptr;
        const auto type = static_cast<TIndexSearchType>(Rng() % 6);
        // A limited search compares the fields after its leading ones as below every value
        // (above for GT and LE), whatever the key holds there; an equal search then compares
        // the leading fields of the entry it lands on. Both kinds of page answer alike.
        TKeyMarkers limitedMarkers;
        if (Rng() % 2) {
            const size_t kk = 1 + Rng() % n;
            markers.assign(n, 1);
            for (size_t i = kk; i < n; ++i)
                markers[i] = Rng() % 2 ? 0 : 2;
            modifier.LimitedSearch = true;
            const bool hiddenLast = C.Fields.back().Id == fRecNo;
            modifier.IncludedKeyFieldCount =
                (hiddenLast && kk == n - 1 && Rng() % 2) ? 0 : static_cast<int32_t>(kk);
            mod = &modifier;
            limitedMarkers = markers;
            for (size_t i = kk; i < n; ++i)
                limitedMarkers[i] = type == stGT || type == stLE ? 2 : 0;
            if (type == stEQ) fieldLimit = kk;
        }
        auto rec = Record(k);
        Tree.ConstructKeyBufFromRecBuf(rec.data(), markers.empty() ? nullptr : &markers);
        const int32_t got = Tree.IndexSearch(type, mod);
        if (!limitedMarkers.empty()) markers = limitedMarkers;

        // Expected: the first entry not less than the key (full order with markers).
        std::vector<std::pair<const MKey*, uint32_t>> order;
        auto lower = Entries.end();
        for (auto it = Entries.begin(); it != Entries.end(); ++it)
            if (M.Cmp(k, it->first, n, markers.empty() ? nullptr : &markers) <= 0) {
                lower = it;
                break;
            }
        int32_t c;
        auto cursor = lower;
        if (Entries.empty()) {
            ASSERT_EQ(got, -1);
            return;
        }
        if (lower != Entries.end()) {
            c = M.Cmp(k, lower->first, fieldLimit, markers.empty() ? nullptr : &markers);
        } else {
            c = 1;
            cursor = std::prev(Entries.end());
        }
        auto prior = [&](auto it) { return it == Entries.begin() ? Entries.end() : std::prev(it); };
        auto next = [&](auto it) { return std::next(it); };
        auto expect = Entries.end();
        switch (type) {
        case stLT:
            expect = c > 0 ? cursor : prior(cursor);
            break;
        case stLE:
            expect = c >= 0 ? cursor : prior(cursor);
            break;
        case stEQ:
            expect = c == 0 ? cursor : Entries.end();
            break;
        case stGE:
            expect = c > 0 ? next(cursor) : cursor;
            break;
        case stGT:
            expect = c >= 0 ? next(cursor) : cursor;
            break;
        case stLEG:
            expect = cursor;
            break;
        }
        if (expect == Entries.end()) {
            ASSERT_EQ(got, -1) << "type " << int(type) << " c " << c;
        } else {
            ASSERT_EQ(got, 0) << "type " << int(type) << " c " << c;
            ASSERT_EQ(Tree.GetRecAddr(), expect->second) << "type " << int(type) << " c " << c;
        }
    }

    void CheckAll() {
        std::vector<uint32_t> pages;
        ASSERT_EQ(ErrorCodeOf([&] { Tree.CheckTree(&pages); }), 0);
        ASSERT_EQ(pages.size(), Store.PageCount()) << "pages leaked";
        // Every stored page holds zeros after its entries: a node writes back only the bytes
        // that may have changed, so a write cut too short leaves the old entries behind.
        for (uint32_t address : pages) {
            const uint8_t* page = Store.Page(address);
            const uint32_t used = uint32_t(page[4]) | uint32_t(page[5]) << 8 |
                                  uint32_t(page[6]) << 16 | uint32_t(page[7]) << 24;
            ASSERT_LE(used + C_NODEHEADERSIZE, C.PageSize) << address;
            for (uint32_t i = C_NODEHEADERSIZE + used; i < C.PageSize; ++i)
                ASSERT_EQ(page[i], 0) << "page " << address << " byte " << i << " used " << used;
        }
        ASSERT_EQ(Root, FirstRoot);
        MaxDepth = std::max(MaxDepth, Depth);
        const auto count = static_cast<uint32_t>(Entries.size());
        ASSERT_EQ(Tree.GetRecordCount(true), count);
        if (count == 0) {
            ASSERT_EQ(Tree.IndexSearch(stGE), -1);
            ASSERT_EQ(Tree.GetRecordNo(), 0u);
            ASSERT_EQ(Depth, 1u);
            return;
        }
        // In-order walk forwards equals the model; record numbers follow.
        ASSERT_EQ(Tree.GetAddrOfRecNo(0), Entries.begin()->second);
        uint32_t i = 1;
        for (auto it = Entries.begin(); it != Entries.end(); ++it, ++i) {
            ASSERT_EQ(Tree.GetRecAddr(), it->second) << i;
            if (i % 97 == 1) {
                ASSERT_EQ(Tree.GetRecordNo(), i);
            }
            ASSERT_EQ(Tree.NextRecord(), i < count);
        }
        ASSERT_EQ(Tree.GetAddrOfRecNo(count + 5), std::prev(Entries.end())->second);
        ASSERT_EQ(Tree.GetRecordNo(), count);
        // Backwards over a stretch across leaves.
        auto it = std::prev(Entries.end());
        for (int s = 0; s < 300 && it != Entries.begin(); ++s) {
            ASSERT_TRUE(Tree.PriorRecord());
            --it;
            ASSERT_EQ(Tree.GetRecAddr(), it->second);
        }
        for (int s = 0; s < 20; ++s) {
            const uint32_t r = 1 + Rng() % count;
            auto e = Entries.begin();
            std::advance(e, r - 1);
            ASSERT_EQ(Tree.GetAddrOfRecNo(r), e->second);
            ASSERT_EQ(Tree.GetRecordNo(), r);
        }
    }

    void Run() {
        const int batch = 500;
        const int batches = C.Operations / batch;
        for (int b = 0; b < batches; ++b) {
            // Grow for the first half, churn, then shrink.
            const int insertPercent = b < batches / 2 ? 75 : b < (3 * batches) / 4 ? 50 : 25;
            for (int op = 0; op < batch; ++op) {
                const uint32_t r = Rng() % 100;
                if (r < 10) {
                    Search();
                } else if (r < 10 + static_cast<uint32_t>(insertPercent) * 9 / 10) {
                    Insert();
                } else {
                    Delete();
                }
                if (::testing::Test::HasFatalFailure()) return;
            }
            CheckAll();
            if (::testing::Test::HasFatalFailure()) return;
        }
        EXPECT_GE(MaxDepth, C.MinDepth);
        // Emptied in the configured order; the tree stays valid (no page left empty) all along.
        for (uint32_t n = 1; !Entries.empty(); ++n) {
            Delete(C.Drain);
            if (n % 16 == 0) {
                ASSERT_EQ(ErrorCodeOf([&] { Tree.CheckTree(); }), 0) << n;
            }
            if (::testing::Test::HasFatalFailure()) return;
        }
        CheckAll();
        EXPECT_EQ(Store.PageCount(), 1u);
        EXPECT_EQ(Depth, 1u);
        EXPECT_EQ(Root, FirstRoot);
    }
};

void RunConfig(const Config& c, uint32_t seed) {
    Harness h(c, seed);
    h.Run();
}

} // namespace

TEST(BTreeModel, UniqueIntegerFixed) {
    RunConfig({"int", ikFixed, {{fA}}, DBASCIICompareStrings, 512, 100000, 40000, 3}, 1);
}

TEST(BTreeModel, NonUniqueIntegerWithNullsFixed) {
    RunConfig({"int+recno", ikFixed, {{fA}, {fRecNo}}, DBASCIICompareStrings, 512, 50, 40000, 3},
              2);
}

TEST(BTreeModel, CompositeCaseInsensitiveStringVariable) {
    RunConfig({"ci string, desc int, recno",
               ikMinStringLen,
               {{fS, false, true}, {fA, true}, {fRecNo}},
               DBASCIICompareStrings,
               1024,
               20,
               40000,
               3},
              3);
}

TEST(BTreeModel, CompositeCaseInsensitiveStringFixed) {
    RunConfig({"ci string, desc int, recno",
               ikFixed,
               {{fS, false, true}, {fA, true}, {fRecNo}},
               DBASCIICompareStrings,
               1024,
               20,
               30000,
               3},
              4);
}

TEST(BTreeModel, DescendingAnsiStringDescendingRecNoVariable) {
    RunConfig({"desc ansi string, smallint, desc recno",
               ikMinStringLen,
               {{fS, true}, {fB}, {fRecNo, true}},
               DBANSICompareStrings,
               512,
               10,
               30000,
               3},
              5);
}

TEST(BTreeModel, UniqueSmallintThenStringOn4096BytePages) {
    RunConfig({"smallint, string",
               ikMinStringLen,
               {{fB}, {fS}},
               DBASCIICompareStrings,
               4096,
               10,
               20000,
               1},
              6);
}

// Keys of a few hundred bytes up to the 500-byte limit: a 4096-byte page holds only a handful,
// so deletes leave internal pages with a single child; their emptied children must still leave
// the tree. Emptied in key order, in reverse and at random.
TEST(BTreeModel, LongKeysUpToTheSizeLimit) {
    const struct {
        TIndexKeyType Kind;
        int32_t StringSize;
    } layouts[] = {{ikMinStringLen, 470}, {ikFixed, 450}, {ikMinStringLen, 360}};
    for (const auto& layout : layouts)
        for (TDrain drain : {drKeyOrder, drReverse, drRandom})
            for (uint32_t seed = 1; seed <= 4; ++seed) {
                SCOPED_TRACE(::testing::Message() << "size " << layout.StringSize << " kind "
                                                  << int(layout.Kind) << " drain " << int(drain)
                                                  << " seed " << seed);
                RunConfig({"long string, recno", layout.Kind, {{fS}, {fRecNo}},
                           DBASCIICompareStrings, 4096, 0, 2000, 3, layout.StringSize, drain},
                          seed);
                if (::testing::Test::HasFatalFailure()) return;
            }
}

// The same model with the pages behind a page cache smaller than the tree's path and spare
// nodes need: nodes read their pages in place (pinned), pinned pages are never replaced, and a
// node's first change copies its page, so splits, merges and sibling rewrites never see a
// page change under a node that holds it.
TEST(BTreeModel, PagesReadInPlaceThroughASmallCache) {
    Config unique{"int", ikFixed, {{fA}}, DBASCIICompareStrings, 512, 100000, 12000, 3};
    Config strings{"ci string, desc int, recno",
                   ikMinStringLen,
                   {{fS, false, true}, {fA, true}, {fRecNo}},
                   DBASCIICompareStrings,
                   1024,
                   20,
                   12000,
                   3};
    for (Config* c : {&unique, &strings})
        for (int32_t pages : {2, 6}) {
            SCOPED_TRACE(::testing::Message() << c->Name << " cache " << pages);
            c->CachePages = pages;
            Harness h(*c, 7 + static_cast<uint32_t>(pages));
            h.Run();
            if (::testing::Test::HasFatalFailure()) return;
            EXPECT_GT(h.Store.Cache()->GetHits(), 0);
            // The nodes' pins outnumber a two-page cache: it grew rather than replace them.
            if (pages == 2) {
                EXPECT_GT(h.Store.Cache()->Count(), 2);
            }
            EXPECT_TRUE(h.Tree.GetRecordCount(true) == 0);
        }
}

// Keys made only of integers compare through their own path: descending integers with a
// descending record number, null values among them, in fixed and in shortest-length keys (where
// a null shortens the stored key, so later fields sit earlier).
TEST(BTreeModel, IntegerOnlyKeysDescendingWithNulls) {
    for (TIndexKeyType kind : {ikFixed, ikMinStringLen}) {
        SCOPED_TRACE(::testing::Message() << "kind " << int(kind));
        RunConfig({"desc int, desc recno", kind, {{fA, true}, {fRecNo, true}},
                   DBASCIICompareStrings, 512, 40, 20000, 3},
                  11);
        if (::testing::Test::HasFatalFailure()) return;
        RunConfig({"int, desc recno", kind, {{fA}, {fRecNo, true}}, DBASCIICompareStrings, 512,
                   40, 20000, 3},
                  12);
        if (::testing::Test::HasFatalFailure()) return;
    }
}
