// The index manager over a memory store and over the database file, the size rules of index
// definitions, the temporary sort and the read-ahead fill.
#include "test_zanIndexSupport.h"

#include <random>

#include "engine/storage/zanDataUnit.h"
#include "engine/storage/zanDisk.h"
#include "engine/storage/zanIndexUnit.h"
#include "host/win/child_process.h"

using namespace zan;

namespace {

// People(Name string 21, City string 21, Age integer) and its records.
struct TPeopleLayout {
    TInternalFields Fields;
    TInternalFieldItem *Name, *City, *Age;
    TPeopleLayout() {
        auto add = [&](const char* name, TFieldType t, int32_t size = 0) {
            auto* f = Fields.Add();
            f->SetFieldName(name);
            f->SetDataType(t);
            if (size) f->SetFieldSize(size);
            f->SetFieldIndex(Fields.Count() - 1);
            return f;
        };
        Name = add("Name", ftString, 21);
        City = add("City", ftString, 21);
        Age = add("Age", ftInteger);
        Fields.SetDefaultOffsets();
    }
    std::vector<uint8_t> Make(const std::string& name, const std::string& city, int32_t age,
                              int32_t recNo) const {
        std::vector<uint8_t> r(static_cast<size_t>(Fields.GetRecordSize()), 0);
        r[0] = 1;
        std::memcpy(r.data() + 6, &recNo, 4);
        RecordSetString(r.data(), *Name, name);
        RecordSetString(r.data(), *City, city);
        RecordSetInteger(r.data(), *Age, age);
        return r;
    }
    // Key fields for an index over the named layout fields.
    void AddKeys(TKeyFields& keys, const std::string& index,
                 const std::vector<std::pair<TInternalFieldItem*, bool>>& fields) const {
        int32_t n = 0;
        for (auto [f, ci] : fields) {
            TKeyFieldItem* k = keys.Add();
            k->SetFieldName(f->GetFieldName());
            k->SetDataType(f->GetDataType());
            k->SetFieldSize(f->GetFieldSize());
            k->SetCaseInsensitive(ci);
            k->SetRecBufOffset(f->GetDataOffset());
            k->SetNullFlagOffset(f->GetNullFlagOffset());
            k->SetSizeMarkerOffset(f->GetSizeMarkerOffset());
            k->SetPhysicalFieldNo(f->GetIndex());
            k->SetIndexName(index);
            k->SetKeyIndex(n++);
        }
    }
};

// Three indexes: "ByNameCity" (Name ci, City), "ByName" (Name), "ByAge" unique (Age).
struct TPeopleIndexes {
    TPeopleLayout L;
    TInternalIndexDefs Defs;
    TKeyFields Keys;
    TPeopleIndexes() {
        auto def = [&](const char* name, bool unique) {
            TInternalIndexDef* d = Defs.Add();
            d->SetIndexName(name);
            d->SetUnique(unique);
            d->SetIndexSequence(Defs.Count() - 1);
            d->SetIndexKeyType(ikMinStringLen);
            return d;
        };
        L.AddKeys(Keys, "ByNameCity", {{L.Name, true}, {L.City, false}});
        L.AddKeys(Keys, "ByName", {{L.Name, false}});
        L.AddKeys(Keys, "ByAge", {{L.Age, false}});
        PrepareIndexDef(*def("ByNameCity", false), Keys);
        PrepareIndexDef(*def("ByName", false), Keys);
        PrepareIndexDef(*def("ByAge", true), Keys);
    }
    void Load(TIndexManager& m) {
        m.Assign(Defs);
        m.AssignKeyFields(Keys);
    }
    // Adds a record's keys to every index.
    void Insert(TIndexManager& m, const std::vector<uint8_t>& rec, uint32_t address) {
        for (int i = 0; i < m.Count(); ++i) {
            m.Items(i)->CreateKeyBuffer(rec.data());
            ASSERT_EQ(m.Items(i)->InsertKey(address), 0);
        }
    }
};

std::string Name(int i) {
    return "name" + std::to_string(i % 97);
}
std::string City(int i) {
    return "city" + std::to_string(i % 13);
}

} // namespace

TEST(IndexDefs, SizeRulesHiddenFieldAndLimits) {
    EXPECT_EQ(CalculateIndexPageSize(2100), 4096u);
    EXPECT_EQ(CalculateIndexPageSize(4100), 6144u);
    EXPECT_EQ(CalculateIndexPageSize(500), 4096u);
    EXPECT_EQ(CalculateIndexPageSize(4079), 4096u);
    EXPECT_EQ(CalculateIndexPageSize(4080), 6144u);

    TPeopleIndexes p;
    const TInternalIndexDef* byName = p.Defs.FindIndexDef("BYNAME");
    ASSERT_NE(byName, nullptr);
    // Name (2 + 21) and the hidden record number (4): 10 + 27 + bitmap 1.
    EXPECT_EQ(byName->GetMaximumKeySize(), 38);
    EXPECT_EQ(byName->GetKeyDataOffset(), 1);
    EXPECT_EQ(p.Keys.FindFieldCountForIndex("byname"), 2);
    const TKeyFieldItem* hidden = p.Keys.Items(p.Keys.Count() - 1); // added last, for ByName
    EXPECT_EQ(hidden->GetIndexName(), "ByName");
    EXPECT_TRUE(hidden->GetHidden());
    EXPECT_EQ(hidden->GetDataType(), ftInteger);
    EXPECT_EQ(hidden->GetRecBufOffset(), 6);
    EXPECT_EQ(hidden->GetNullFlagOffset(), 0);
    EXPECT_EQ(hidden->GetPhysicalFieldNo(), -1);
    EXPECT_EQ(p.Keys.FindFieldCountForIndex("ByAge"), 1); // unique: no hidden field
    EXPECT_EQ(CalculateMaximumKeySize(p.Keys, "ByAge"), 14);

    // Nine key fields need a two-byte bitmap.
    TKeyFields nine;
    TInternalIndexDefs wideDefs;
    TInternalIndexDef* wide = wideDefs.Add();
    wide->SetIndexName("Wide");
    wide->SetUnique(true);
    for (int i = 0; i < 9; ++i)
        AddKeyField(nine, ftSmallint, 2, 20, 14)->SetIndexName("Wide");
    PrepareIndexDef(*wide, nine);
    EXPECT_EQ(wide->GetKeyDataOffset(), 2);
    EXPECT_EQ(wide->GetMaximumKeySize(), 10 + 18 + 2);

    // 10 + (2 + 487) + 1 = 500 is accepted, one byte more is not.
    for (int32_t size : {487, 488}) {
        TKeyFields big;
        AddKeyField(big, ftString, size, 20, 14, 18)->SetIndexName("Big");
        TInternalIndexDefs defs;
        TInternalIndexDef* d = defs.Add();
        d->SetIndexName("Big");
        d->SetUnique(true);
        EXPECT_EQ(ErrorCodeOf([&] { PrepareIndexDef(*d, big); }), size == 487 ? 0 : 9602);
    }
}

namespace {
// A holder that streams index definitions and key fields as a table definition does.
class TDefsHolder : public TComponent {
public:
    TDefsHolder() : TComponent(nullptr) {}
    ZAN_CLASS(TDefsHolder)
    ZAN_PROPERTIES(TDefsHolder)
    TInternalIndexDefs Defs;
    TKeyFields Keys;
};
const TPropertyTable& TDefsHolder::Properties() {
    static const TPropertyTable table =
        TPropertyTableOf<TDefsHolder>("TDefsHolder")
            .Collection("IndexDefs", [](TDefsHolder& h) { return &h.Defs; })
            .Collection("KeyFields", [](TDefsHolder& h) { return &h.Keys; });
    return table;
}
} // namespace

TEST(IndexDefs, DefinitionsStreamInTheirPublishedOrder) {
    TPeopleIndexes p;
    TDefsHolder a;
    a.Defs.Assign(p.Defs);
    a.Keys.Assign(p.Keys);
    const std::string text = ComponentToText(a);
    const size_t name = text.find("FieldName = 'Name'");
    const size_t type = text.find("DataType = ftString");
    const size_t size = text.find("FieldSize = 21");
    ASSERT_NE(name, std::string::npos);
    EXPECT_LT(name, type);
    EXPECT_LT(type, size);
    EXPECT_NE(text.find("IndexKeyType = ikMinStringLen"), std::string::npos);
    EXPECT_NE(text.find("Unique = True"), std::string::npos);
    EXPECT_EQ(text.find("Primary"), std::string::npos); // the default is not written
    TDefsHolder b;
    ReadComponentFromText(text, b);
    ASSERT_EQ(b.Keys.Count(), a.Keys.Count());
    ASSERT_EQ(b.Defs.Count(), 3);
    EXPECT_EQ(ComponentToText(b), text);
    const TKeyFieldItem* hidden = b.Keys.Items(b.Keys.Count() - 1);
    EXPECT_TRUE(hidden->GetHidden());
    EXPECT_EQ(hidden->GetPhysicalFieldNo(), -1);
    EXPECT_EQ(b.Defs.FindIndexDef("ByName")->GetMaximumKeySize(), 38);
}

TEST(IndexManager, NamesFieldsAndErrors) {
    TPeopleIndexes p;
    TMemoryIOInterface io;
    io.SetBlockSize(4096);
    io.Open();
    TTableHeader header;
    header.SetHeaderSize(256);
    header.SetIndexCount(3);
    TIndexManager m;
    m.SetIOInterface(&io);
    m.SetTableHeader(&header);
    p.Load(m);
    std::string msg;
    EXPECT_EQ(ErrorCodeOf([&] { m.Open(); }, &msg), 8581);
    EXPECT_NE(msg.find("Sort function not assinged"), std::string::npos);
    m.SetDBStringCompareFunction(DBASCIICompareStrings);
    EXPECT_EQ(ErrorCodeOf([&] { m.Open(); }, &msg), 8581); // roots not created yet
    EXPECT_NE(msg.find("Not initialized"), std::string::npos);
    p.Load(m);
    m.CreateIndexes();
    p.Load(m);
    m.Open();
    EXPECT_EQ(m.GetVisibleIndexCount(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(header.GetIndexRoot(i), 0u);
        EXPECT_EQ(header.GetIndexDepth(i), 1);
    }
    EXPECT_EQ(m.FindIndex("bynamecity"), m.Items(0));
    EXPECT_EQ(m.FindIndex("nothing"), nullptr);
    EXPECT_EQ(m.FindIndexForFields({"name"}, false), m.Items(0));
    EXPECT_EQ(m.FindIndexForFields({"name"}, true), m.Items(1)); // the first is case-insensitive
    EXPECT_EQ(m.FindIndexForFields({"Name", "City"}, false), m.Items(0));
    EXPECT_EQ(m.FindIndexForFields({"City"}, false), nullptr);
    EXPECT_EQ(m.FindIndexForFields({"Name", "City", "Age"}, false), nullptr);

    m.SetCurrentIndexName("Missing");
    EXPECT_EQ(ErrorCodeOf([&] { m.CurrentIndex(); }, &msg), 9997);
    EXPECT_NE(msg.find("Missing"), std::string::npos);
    m.SetCurrentIndexName("BYAGE");
    EXPECT_EQ(m.CurrentIndex(), m.Items(2));

    TInternalIndexDef again;
    again.SetIndexName("BYNAME");
    EXPECT_EQ(ErrorCodeOf([&] { m.AddIndex(again, p.Keys); }), 10027);
    EXPECT_EQ(ErrorCodeOf([&] { m.DropIndex("nothing"); }), 9997);
    EXPECT_EQ(ErrorCodeOf([&] { m.EmptyIndex("nothing"); }), 9997);
    TKeyFields stray;
    AddKeyField(stray, ftInteger, 4, 20, 14)->SetIndexName("Elsewhere");
    EXPECT_EQ(ErrorCodeOf([&] { m.AssignKeyFields(stray); }), 9997);
    TKeyFields noMarker;
    AddKeyField(noMarker, ftString, 10, 20, 14)->SetIndexName("Other");
    TInternalIndexDef other;
    other.SetIndexName("Other");
    EXPECT_EQ(ErrorCodeOf([&] { m.AddIndex(other, noMarker); }, &msg), 8581);
    EXPECT_NE(msg.find("KeyBuffers invalid"), std::string::npos);
    m.Close();
    EXPECT_EQ(m.Count(), 0);
}

TEST(IndexManager, InsertSearchDropEmptyAndAddOnAMemoryStore) {
    TPeopleIndexes p;
    TMemoryIOInterface io;
    io.SetBlockSize(4096);
    io.Open();
    TTableHeader header;
    header.SetHeaderSize(256);
    header.SetIndexCount(3);
    TIndexManager m;
    m.SetIOInterface(&io);
    m.SetTableHeader(&header);
    m.SetDBStringCompareFunction(DBASCIICompareStrings);
    p.Load(m);
    m.CreateIndexes();
    p.Load(m);
    m.Open();
    const int n = 3000;
    for (int i = 1; i <= n; ++i)
        p.Insert(m, p.L.Make(Name(i), City(i), i, i), 64u * i);
    m.WriteIndexHeaders();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(m.Items(i)->GetRecordCount(), uint32_t(n));
    EXPECT_GE(header.GetIndexDepth(0), 2);

    // Partial search on the first key field: the first "NAME5" of the case-insensitive index.
    TIndexItem* byNameCity = m.FindIndex("ByNameCity");
    auto probe = p.L.Make("NAME5", "", 0, 0);
    TKeyMarkers low{1, 0, 0};
    byNameCity->CreateKeyBuffer(probe.data(), &low);
    TSearchModifier first{true, 1};
    ASSERT_EQ(byNameCity->PartialIndexSearch(stGE, &first), 0);
    int matches = 0;
    do {
        const uint8_t* key = byNameCity->GetCurrentKeyBuf();
        if (byNameCity->CompareKeyBuffers(1, nullptr, nullptr, key,
                                          byNameCity->GetTree().GetSearchKey()) != 0)
            break;
        ++matches;
    } while (byNameCity->NextKey());
    EXPECT_EQ(matches, (n - 5) / 97 + 1);

    // Record numbers and MoveBy.
    TIndexItem* byAge = m.FindIndex("ByAge");
    EXPECT_EQ(byAge->SetRecordNo(100), 64u * 100);
    EXPECT_TRUE(byAge->MoveBy(5));
    EXPECT_EQ(byAge->GetRecordAddress(), 64u * 105);
    EXPECT_EQ(byAge->GetRecordNo(), 105u);
    EXPECT_FALSE(byAge->MoveBy(-200));

    // Drop the middle index: its pages go, slot 2 is cleared, the others take slots 0 and 1.
    const size_t blocks = io.BlockCount();
    const uint32_t rootAge = m.FindIndex("ByAge")->GetRoot();
    m.DropIndex("byname");
    EXPECT_LT(io.BlockCount(), blocks);
    EXPECT_EQ(m.Count(), 2);
    EXPECT_EQ(header.GetIndexRoot(1), rootAge);
    EXPECT_EQ(header.GetIndexRoot(2), 0u);
    EXPECT_EQ(header.GetIndexDepth(2), 0);
    EXPECT_EQ(m.FindIndex("ByAge")->GetIndexSequence(), 1);

    // Empty one, then add a new one on the free slot.
    m.EmptyIndex("ByAge");
    EXPECT_EQ(m.FindIndex("ByAge")->GetRecordCount(), 0u);
    EXPECT_EQ(header.GetIndexDepth(1), 1);
    TKeyFields cityKeys;
    p.L.AddKeys(cityKeys, "ByCity", {{p.L.City, false}});
    TInternalIndexDefs defs;
    TInternalIndexDef* byCity = defs.Add();
    byCity->SetIndexName("ByCity");
    byCity->SetIndexSequence(2);
    PrepareIndexDef(*byCity, cityKeys);
    m.AddIndex(*byCity, cityKeys);
    EXPECT_NE(header.GetIndexRoot(2), 0u);
    TIndexItem* added = m.FindIndex("bycity");
    ASSERT_TRUE(added->IsOpen());
    auto rec = p.L.Make("x", "somewhere", 1, 1);
    added->CreateKeyBuffer(rec.data());
    EXPECT_EQ(added->InsertKey(64), 0);
    EXPECT_EQ(added->GetRecordCount(), 1u);
    m.Close();
}

TEST(IndexManager, ReadAheadFillListsAroundTheCursor) {
    TPeopleIndexes p;
    TMemoryIOInterface io;
    io.SetBlockSize(4096);
    io.Open();
    TTableHeader header;
    header.SetHeaderSize(256);
    header.SetIndexCount(3);
    TIndexManager m;
    m.SetIOInterface(&io);
    m.SetTableHeader(&header);
    m.SetDBStringCompareFunction(DBANSICompareStrings);
    p.Load(m);
    m.CreateIndexes();
    p.Load(m);
    m.Open();
    for (int i = 1; i <= 50; ++i)
        p.Insert(m, p.L.Make(Name(i), City(i), i, i), 64u * i);
    TIndexItem* byAge = m.FindIndex("ByAge");
    for (TReadAheadDirection d : {rdForwards, rdBackwards, rdCenter}) {
        TReadAheadBuffer buffer;
        buffer.Open(p.L.Fields.GetRecordSize(), byAge->GetMaximumKeySize() + 1, 10000);
        byAge->SetRecordNo(20);
        byAge->ListReadAheadRecords(d, 10, buffer);
        ASSERT_EQ(buffer.Count(), 10);
        const int32_t first = d == rdForwards ? 20 : d == rdBackwards ? 11 : 15;
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(buffer.Items(i)->GetRecNo(), first + i);
            EXPECT_EQ(buffer.Items(i)->GetRecAddr(), 64u * static_cast<uint32_t>(first + i));
            EXPECT_EQ(KeyAddress(buffer.Items(i)->GetKeyBuffer()), buffer.Items(i)->GetRecAddr());
        }
    }
    m.Close();
}

TEST(TemporarySort, GrowsSortsAndFinds) {
    TTemporarySort sort;
    AddKeyField(sort.GetKeyFields(), ftInteger, 4, 20, 14);
    std::string msg;
    EXPECT_EQ(ErrorCodeOf([&] { sort.Open(4); }, &msg), 8581);
    EXPECT_NE(msg.find("Sort function not assinged"), std::string::npos);
    sort.SetDBStringCompare(DBASCIICompareStrings);
    sort.Open(4);
    EXPECT_EQ(sort.GetEntrySize(), 15);
    auto rec = [](int32_t v) {
        std::vector<uint8_t> r(24, 0);
        r[14] = 1;
        std::memcpy(r.data() + 20, &v, 4);
        return r;
    };
    for (int32_t v : {50, 10, 40, 20, 30})
        sort.AppendKey(static_cast<uint32_t>(v) * 2, rec(v).data());
    EXPECT_EQ(sort.GetCapacity(), 5);
    EXPECT_EQ(sort.GetCount(), 5);
    EXPECT_FALSE(sort.GetSorted());
    EXPECT_EQ(sort.FindKey(rec(40).data()), 80u);
    EXPECT_TRUE(sort.GetSorted());
    EXPECT_EQ(sort.FindKey(rec(35).data()), 0u);
    EXPECT_EQ(sort.FindNearest(rec(35).data()), 80u);
    EXPECT_EQ(sort.FindNearest(rec(5).data()), 20u);
    EXPECT_EQ(sort.FindNearest(rec(99).data()), 0u);

    // Many keys with duplicates come out in order; a capacity of 0 still grows.
    TTemporarySortManager manager;
    TTemporarySort* big = manager.Add();
    AddKeyField(big->GetKeyFields(), ftInteger, 4, 20, 14, 0, true);
    big->SetDBStringCompare(DBASCIICompareStrings);
    big->Open(0);
    std::mt19937 rng(3);
    for (uint32_t i = 1; i <= 5000; ++i)
        big->AppendKey(i, rec(static_cast<int32_t>(rng() % 700)).data());
    big->Sort();
    for (int32_t i = 1; i < big->GetCount(); ++i)
        ASSERT_LE(big->CompareKeys(big->Entry(i - 1), big->Entry(i)), 0);
    int32_t top;
    std::memcpy(&top, big->Entry(0) + 11, 4);
    EXPECT_EQ(big->FindNearest(rec(1000).data()), KeyAddress(big->Entry(0))); // descending
    EXPECT_GE(top, 690);
    manager.Close();
    EXPECT_EQ(big->GetCount(), 0);
}

// ---------------------------------------------------------------------------------------------
// On the database file

namespace {

constexpr uint32_t DiskPage = 4096;

struct TDiskIndexes {
    explicit TDiskIndexes(const std::string& name) : T(name) {
        TDiskMgr d;
        d.SetFileName(T.Path);
        d.CreateNewFile(true);
    }
    void Open() {
        Disk = std::make_unique<TDiskMgr>();
        Disk->SetFileName(T.Path);
        Disk->SetOpenFlags(0x42);
        Disk->SetLockRetryCount(100);
        Disk->SetLockRetryInterval(5);
        Disk->Open();
        Headers = std::make_unique<TDiskIOInterface>();
        Headers->SetDiskMgr(Disk.get());
        Headers->SetUsage(C_USAGE_HEADERS);
        Headers->SetBlockSize(256);
        Headers->SetAccessFlags(0);
        Headers->SetGlobalFirstEmptyOffset(C_GLOBAL_FE_USER_HEADERS);
        Headers->Open();
        Map = std::make_unique<TTableHeaderMgr>();
        Map->SetBaseAddress(3 * DiskPage);
        Map->SetBaseTableID(C_USER_BASE_TABLE_ID);
        Map->Open(Headers.get());
    }
    void OpenTable(int32_t id, bool create) {
        Header = Map->OpenTable(id);
        Index = std::make_unique<TDiskIOInterface>();
        Index->SetDiskMgr(Disk.get());
        Index->SetTableID(static_cast<uint16_t>(id));
        Index->SetUsage(C_USAGE_INDEX);
        Index->SetBlockSize(DiskPage);
        Index->SetGlobalFirstEmptyOffset(C_GLOBAL_FE_INDEXES);
        Index->Open();
        M = std::make_unique<TIndexManager>();
        M->SetIOInterface(Index.get());
        M->SetTableHeader(Header);
        M->SetDBStringCompareFunction(DBANSICompareStrings);
        P.Load(*M);
        if (create) {
            M->CreateIndexes();
            P.Load(*M);
        }
        M->Open();
    }
    void Close() {
        M->WriteIndexHeaders();
        Header->WriteHeader();
        M->Close();
        M.reset();
        Map->Close();
        Map.reset();
        Index.reset();
        Headers.reset();
        Disk.reset();
    }
    size_t IndexPages(uint32_t id) {
        std::vector<uint32_t> list;
        Disk->SetHeaderReadLock();
        Disk->GetMapPageMgr()->ListPagesUsedByOwner(id, C_USAGE_INDEX, list, true);
        Disk->ReleaseHeaderLock();
        return list.size();
    }
    std::vector<uint32_t> IndexPageList(uint32_t id) {
        std::vector<uint32_t> list;
        Disk->SetHeaderReadLock();
        Disk->GetMapPageMgr()->ListPagesUsedByOwner(id, C_USAGE_INDEX, list, true);
        Disk->ReleaseHeaderLock();
        return list;
    }
    TTempFile T;
    TPeopleIndexes P;
    std::unique_ptr<TDiskMgr> Disk;
    std::unique_ptr<TDiskIOInterface> Headers, Index;
    std::unique_ptr<TTableHeaderMgr> Map;
    TTableHeader* Header = nullptr;
    std::unique_ptr<TIndexManager> M;
};

} // namespace

TEST(IndexManagerOnDisk, RootsAndDepthsPersistThroughTheTableHeader) {
    TDiskIndexes db("idxpersist");
    db.Open();
    const int32_t id = db.Map->AddTable(3);
    db.OpenTable(id, true);
    const int n = 2500;
    for (int i = 1; i <= n; ++i)
        db.P.Insert(*db.M, db.P.L.Make(Name(i), City(i), i, i), 64u * i);
    std::vector<uint32_t> roots, depths;
    size_t treePages = 0;
    for (int i = 0; i < 3; ++i) {
        roots.push_back(db.M->Items(i)->GetRoot());
        depths.push_back(db.M->Items(i)->GetDepth());
        treePages += db.M->Items(i)->GetTree().CheckTree();
    }
    EXPECT_GE(depths[0], 2u);
    EXPECT_EQ(db.IndexPages(static_cast<uint32_t>(id)), treePages);
    db.Close();

    db.Open();
    db.OpenTable(id, false);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(db.M->Items(i)->GetRoot(), roots[static_cast<size_t>(i)]);
        EXPECT_EQ(db.M->Items(i)->GetDepth(), depths[static_cast<size_t>(i)]);
        EXPECT_EQ(db.M->Items(i)->GetRecordCount(), uint32_t(n));
    }
    TIndexItem* byAge = db.M->FindIndex("ByAge");
    auto probe = db.P.L.Make("", "", 1234, 0);
    byAge->CreateKeyBuffer(probe.data());
    ASSERT_EQ(byAge->FullIndexSearch(stEQ), 0);
    EXPECT_EQ(byAge->GetRecordAddress(), 64u * 1234);
    // Delete every key of one index: its pages go back until one root page remains.
    byAge->SetRecordNo(1);
    for (int i = 0; i < n; ++i) {
        byAge->SetRecordNo(1);
        ASSERT_EQ(byAge->DeleteKey(), 0);
    }
    EXPECT_EQ(byAge->GetDepth(), 1u);
    EXPECT_EQ(byAge->GetRoot(), roots[2]);
    treePages = 0;
    for (int i = 0; i < 3; ++i)
        treePages += db.M->Items(i)->GetTree().CheckTree();
    EXPECT_EQ(db.IndexPages(static_cast<uint32_t>(id)), treePages);
    db.Close();
}

TEST(IndexManagerOnDisk, RandomBytesInIndexPagesGiveEngineErrorsOnly) {
    TDiskIndexes db("idxfuzz");
    db.Open();
    const int32_t id = db.Map->AddTable(3);
    db.OpenTable(id, true);
    for (int i = 1; i <= 600; ++i)
        db.P.Insert(*db.M, db.P.L.Make(Name(i), City(i), i, i), 64u * i);
    const std::vector<uint32_t> pages = db.IndexPageList(static_cast<uint32_t>(id));
    db.Close();
    std::mt19937 rng(11);
    int errors = 0;
    for (int round = 0; round < 40; ++round) {
        {
            TWinFile f;
            f.Open(db.T.Path, faReadWrite, fsDenyNone);
            const uint32_t page = pages[rng() % pages.size()];
            for (int hits = 1 + static_cast<int>(rng() % 3); hits > 0; --hits) {
                const uint8_t b = static_cast<uint8_t>(rng());
                const uint32_t at = page + (rng() % 2 ? rng() % 16 : rng() % DiskPage);
                f.WriteAt(&b, 1, at);
            }
        }
        try {
            db.Open();
            db.OpenTable(id, false);
            for (int i = 0; i < 3; ++i) {
                TIndexItem* item = db.M->Items(i);
                auto attempt = [&](const std::function<void()>& f) {
                    try {
                        f();
                    } catch (const EZanDatabaseError&) {
                        ++errors;
                    }
                };
                attempt([&] { item->GetTree().CheckTree(); });
                attempt([&] {
                    item->SetRecordNo(1);
                    for (int s = 0; s < 700 && item->NextKey(); ++s)
                        item->GetRecordAddress();
                });
                attempt([&] {
                    for (int s = 0; s < 30; ++s) {
                        auto probe = db.P.L.Make(Name(s), City(s), s, s);
                        item->CreateKeyBuffer(probe.data());
                        item->FullIndexSearch(static_cast<TIndexSearchType>(s % 6));
                    }
                });
                attempt([&] {
                    for (int s = 700; s < 720; ++s) {
                        auto r = db.P.L.Make(Name(s), City(s), s, s);
                        item->CreateKeyBuffer(r.data());
                        item->InsertKey(64u * static_cast<uint32_t>(s));
                    }
                });
            }
            db.Close();
        } catch (const EZanDatabaseError&) {
            ++errors;
            db.M.reset();
            db.Map.reset();
            db.Index.reset();
            db.Headers.reset();
            db.Disk.reset();
        }
    }
    EXPECT_GT(errors, 0);
}
