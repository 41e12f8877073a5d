// The table datasets: the dataset protocol suite on a memory and a file table, and what the
// table adds (bookmarks of reused slots, positions in ranges, locate, key searches, blob streams,
// the post lock).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "dataset_test_support.h"
#include "host/db/dataset_protocol_suite.h"

using namespace zan;

namespace {

// A table component that owns its database (and, for a file, the file).
class TOwningTable : public TZanTable {
public:
    TOwningTable(std::unique_ptr<TZanDataBase> db, std::unique_ptr<TTempFile> file)
        : FDb(std::move(db)), FFile(std::move(file)) {
        SetDataBase(FDb.get());
    }
    ~TOwningTable() override {
        Destroying();
        Close();
        SetDataBase(nullptr);
    }

private:
    std::unique_ptr<TZanDataBase> FDb;
    std::unique_ptr<TTempFile> FFile;
};

void CreateTable(TZanDataBase& db, const std::string& name, bool memory,
                 const std::function<void(TFieldDefs&, TIndexDefs&)>& define) {
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName(name);
    t.SetMemory(memory);
    define(t.GetFieldDefs(), t.GetIndexDefs());
    t.CreateTable();
}

void ProtocolDefs(TFieldDefs& f, TIndexDefs&) {
    f.Add("ID", ftInteger, 0, true);
    f.Add("NAME", ftString, 20);
    f.Add("AMOUNT", ftFloat);
    f.Add("BORN", ftDate);
}

std::unique_ptr<TDataSet> NewTable(bool file,
                                   const std::function<void(TFieldDefs&, TIndexDefs&)>& define) {
    static std::atomic<int> serial{0};
    std::unique_ptr<TTempFile> temp;
    std::unique_ptr<TZanDataBase> db;
    if (file) {
        temp = std::make_unique<TTempFile>("table_" + std::to_string(++serial) + ".zan");
        CreateDatabaseFile(temp->Path);
        db = NewDatabase(temp->Path);
    } else {
        db = NewDatabase(C_MEMORY_DATABASE);
    }
    db->Open();
    CreateTable(*db, "T", !file, define);
    auto t = std::make_unique<TOwningTable>(std::move(db), std::move(temp));
    t->SetTableName("T");
    t->SetMemory(!file);
    return t;
}

struct MemoryTableFactory {
    static constexpr bool KeyOrdered = true;
    static std::unique_ptr<TDataSet> Create() { return NewTable(false, ProtocolDefs); }
};
struct FileTableFactory {
    static constexpr bool KeyOrdered = true;
    static std::unique_ptr<TDataSet> Create() { return NewTable(true, ProtocolDefs); }
};

} // namespace

using TableFactories = ::testing::Types<MemoryTableFactory, FileTableFactory>;
INSTANTIATE_TYPED_TEST_SUITE_P(Table, DataSetProtocol, TableFactories);

namespace {

// Id unique, Name (10) case-sensitive, Grp;Id composite, a memo.
void KeyedDefs(TFieldDefs& f, TIndexDefs& x) {
    f.Add("Id", ftInteger, 0, true);
    f.Add("Name", ftString, 10);
    f.Add("Grp", ftInteger);
    f.Add("Note", ftMemo);
    x.Add("ixId", "Id", {ixUnique});
    x.Add("ixName", "Name", {});
    x.Add("ixGrp", "Grp", {});
}

std::unique_ptr<TZanTable> Keyed(bool file, int rows) {
    std::unique_ptr<TDataSet> ds = NewTable(file, KeyedDefs);
    std::unique_ptr<TZanTable> t(static_cast<TZanTable*>(ds.release()));
    t->Open();
    for (int i = 1; i <= rows; ++i)
        t->AppendRecord({Variant(i * 10), Variant("n" + std::to_string(i)), Variant(i % 3)});
    t->First();
    return t;
}

int Id(TDataSet& t) {
    return t.FieldByName("Id")->GetAsInteger();
}

std::vector<int> Ids(TDataSet& t) {
    std::vector<int> ids;
    for (t.First(); !t.GetEOF(); t.Next())
        ids.push_back(Id(t));
    return ids;
}

class TableTest : public ::testing::TestWithParam<bool> {};

TEST_P(TableTest, KeyOrderWindowEditsAndPositions) {
    auto t = Keyed(GetParam(), 8);
    TDataSource source;
    source.SetDataSet(t.get());
    TDataLink link;
    link.SetDataSource(&source);
    link.SetBufferCount(5);
    t->SetIndexName("IXID"); // any case
    EXPECT_EQ(t->GetIndexName(), "ixId");
    // An insert lands in key order, an edit of the key moves the row, a delete closes the gap.
    t->MoveBy(3);
    t->Insert();
    t->FieldByName("Id")->SetAsInteger(35);
    t->Post();
    EXPECT_EQ(Id(*t), 35);
    EXPECT_EQ(t->GetRecNo(), 4);
    t->Edit();
    t->FieldByName("Id")->SetAsInteger(95);
    t->Post();
    EXPECT_EQ(Id(*t), 95);
    EXPECT_EQ(t->GetRecNo(), 9);
    t->Prior();
    t->Delete();
    EXPECT_EQ(Ids(*t), (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 95}));
    t->First();
    t->Edit();
    t->FieldByName("Name")->SetAsString("cancelled");
    t->Cancel();
    EXPECT_EQ(t->FieldByName("Name")->GetAsString(), "n1");
    // Positions are relative to the range; a non-unique index keeps every duplicate.
    t->SetIndexName("ixGrp");
    t->SetRange({Variant(1)}, {Variant(1)});
    EXPECT_EQ(t->GetRecordCount(), 3);
    std::vector<int> inRange;
    for (t->First(); !t->GetEOF(); t->Next()) {
        EXPECT_EQ(t->GetRecNo(), int(inRange.size()) + 1);
        inRange.push_back(Id(*t));
    }
    EXPECT_EQ(inRange, (std::vector<int>{10, 40, 70}));
    t->SetRecNo(2);
    EXPECT_EQ(Id(*t), 40);
    t->CancelRange();
    EXPECT_EQ(t->GetRecordCount(), 8);
    link.SetDataSource(nullptr);
}

TEST_P(TableTest, KeySearchesAndIndexSelection) {
    auto t = Keyed(GetParam(), 6);
    t->SetIndexFieldNames("Id");
    EXPECT_EQ(t->GetIndexName(), "ixId");
    EXPECT_TRUE(t->FindKey({Variant(30)}));
    EXPECT_EQ(Id(*t), 30);
    EXPECT_FALSE(t->FindKey({Variant(31)}));
    EXPECT_EQ(Id(*t), 30) << "a failed search does not move";
    t->FindNearest({Variant(31)});
    EXPECT_EQ(Id(*t), 40);
    t->FindNearest({Variant(1000)});
    EXPECT_EQ(Id(*t), 60) << "above every key: the last record";
    t->SetKey();
    t->FieldByName("Id")->SetAsInteger(20);
    EXPECT_EQ(ErrorCodeOf([&] { t->SetKeyFieldCount(2); }), 9985);
    EXPECT_TRUE(t->GoToKey());
    EXPECT_EQ(Id(*t), 20);
    EXPECT_EQ(t->GetState(), dsBrowse);
    // Over-long key values never match a value they only begin with.
    t->SetIndexName("ixName");
    EXPECT_TRUE(t->FindKey({Variant("n3")}));
    EXPECT_FALSE(t->Locate("Name", Variant("n3xxxxxxxxxxxxxxx"), {}));
    EXPECT_EQ(ErrorCodeOf([&] { t->SetIndexName("nosuch"); }), 9997);
    t->SetIndexName("");
    EXPECT_EQ(t->GetIndexName(), "ixId") << "no natural order beside index definitions";
    // Pending field names select their index at open.
    t->Close();
    t->SetIndexFieldNames("Grp");
    t->Open();
    EXPECT_EQ(t->GetIndexName(), "ixGrp");
}

// Over-long key values: an exact search finds nothing (never the record the truncated value
// names), a nearest one lands after the truncated value.
TEST_P(TableTest, OverLongKeyValuesNeverMatchTheirTruncatedForm) {
    auto t = Keyed(GetParam(), 0);
    for (const char* name : {"abcdefghij", "abcdefghik", "b"})
        t->AppendRecord({Variant(int(t->GetRecordCount()) + 1), Variant(name), Variant(0)});
    t->SetIndexName("ixName");
    t->FindKey({Variant("b")});
    EXPECT_FALSE(t->FindKey({Variant("abcdefghijZZ")}));
    EXPECT_EQ(t->FieldByName("Name")->GetAsString(), "b") << "a failed search does not move";
    EXPECT_TRUE(t->FindKey({Variant("abcdefghij")}));
    t->FindNearest({Variant("abcdefghijZZ")});
    EXPECT_EQ(t->FieldByName("Name")->GetAsString(), "abcdefghik");
    t->FindNearest({Variant("abcdefghij")});
    EXPECT_EQ(t->FieldByName("Name")->GetAsString(), "abcdefghij");
}

// Defaults of the fields go into every new record; read-only fields and calculated ones keep
// theirs out; a value set before post wins.
TEST_P(TableTest, FieldDefaultsFillNewRecords) {
    auto t = Keyed(GetParam(), 0);
    t->FieldByName("Name")->SetDefaultExpression("'it''s'");
    t->FieldByName("Grp")->SetDefaultExpression("7");
    t->Append();
    EXPECT_EQ(t->FieldByName("Name")->GetAsString(), "it's");
    EXPECT_EQ(t->FieldByName("Grp")->GetAsInteger(), 7);
    EXPECT_TRUE(t->FieldByName("Id")->IsNull());
    t->FieldByName("Id")->SetAsInteger(1);
    t->Post();
    t->Insert();
    t->FieldByName("Id")->SetAsInteger(2);
    t->FieldByName("Grp")->SetAsInteger(3);
    t->Post();
    t->FieldByName("Grp")->SetReadOnly(true);
    t->Append();
    t->FieldByName("Id")->SetAsInteger(3);
    t->Post();
    t->Refresh();
    std::vector<std::string> rows;
    for (t->First(); !t->GetEOF(); t->Next())
        rows.push_back(t->FieldByName("Name")->GetAsString() + "/" +
                       t->FieldByName("Grp")->GetAsString());
    EXPECT_EQ(rows, (std::vector<std::string>{"it's/7", "it's/3", "it's/"}));
}

TEST_P(TableTest, LocateLookupAndTheCaseRule) {
    auto t = Keyed(GetParam(), 5);
    EXPECT_TRUE(t->Locate("Name", Variant("N4"), {loCaseInsensitive}))
        << "a case-sensitive index must not cut a case-insensitive search short";
    EXPECT_EQ(Id(*t), 40);
    EXPECT_FALSE(t->Locate("Name", Variant("N4"), {}));
    EXPECT_TRUE(t->Locate("Grp;Name", VarArrayOf({Variant(2), Variant("n5")}), {}));
    EXPECT_EQ(Id(*t), 50);
    t->First();
    EXPECT_EQ(VarToStr(t->Lookup("Id", Variant(30), "Name")), "n3");
    EXPECT_TRUE(VarIsNull(t->Lookup("Id", Variant(31), "Name")));
    EXPECT_EQ(Id(*t), 10) << "Lookup leaves the position";
}

TEST_P(TableTest, BookmarksOfDeletedAndReusedSlotsAreInvalid) {
    auto t = Keyed(GetParam(), 4);
    t->Last();
    const TBookmark last = t->GetBookmark();
    t->First();
    const TBookmark first = t->GetBookmark();
    EXPECT_TRUE(t->BookmarkValid(first));
    EXPECT_LT(t->CompareBookmarks(first, last), 0);
    EXPECT_EQ(t->CompareBookmarks(first, TBookmark()), 1);
    EXPECT_EQ(t->CompareBookmarks(TBookmark(), first), 1);
    t->Delete();
    t->AppendRecord({Variant(99), Variant("new")}); // may take the freed slot
    EXPECT_FALSE(t->BookmarkValid(first));
    EXPECT_EQ(ErrorCodeOf([&] { t->GotoBookmark(first); }), 10021);
    const uint8_t junk[8] = {0xff, 0xff, 0xff, 0x7f, 1, 0, 0, 0};
    EXPECT_FALSE(t->BookmarkValid(TBookmark(junk, 8)));
    EXPECT_EQ(ErrorCodeOf([&] { t->GotoBookmark(TBookmark(junk, 8)); }), 10021);
    t->GotoBookmark(last);
    EXPECT_EQ(Id(*t), 40);
}

TEST_P(TableTest, BlobStreams) {
    auto t = Keyed(GetParam(), 2);
    TField* note = t->FieldByName("Note");
    EXPECT_THROW(t->CreateBlobStream(note, bmWrite), EDatabaseError) << "browse state";
    const std::string big(1 << 20, 'x');
    t->Edit();
    note->SetAsString(big);
    t->Post();
    EXPECT_EQ(note->GetAsString(), big);
    t->Edit();
    {
        // Read-write keeps what it does not overwrite.
        auto s = t->CreateBlobStream(note, bmReadWrite);
        EXPECT_EQ(s->GetSize(), int64_t(big.size()));
        s->WriteBuffer("ab", 2);
    }
    t->Post();
    EXPECT_EQ(note->GetAsString(), "ab" + big.substr(2));
    t->Edit();
    t->CreateBlobStream(note, bmWrite); // no write: empty, NULL after post
    t->Post();
    EXPECT_TRUE(note->IsNull());
}

TEST_P(TableTest, EditOfAnInvalidBufferAndThePostLock) {
    auto t = Keyed(GetParam(), 2);
    // A post whose AfterPost throws still releases the table write lock.
    t->AfterPost = [](TDataSet*) { throw Exception("handler"); };
    t->Edit();
    t->FieldByName("Name")->SetAsString("x");
    EXPECT_THROW(t->Post(), Exception);
    EXPECT_FALSE(t->GetLocked());
    t->AfterPost = nullptr;
    t->SetLocked(true);
    EXPECT_TRUE(t->GetLocked());
    t->SetLocked(false);
    EXPECT_FALSE(t->GetLocked());
}

TEST(TableCreate, CodesOfCreateTable) {
    TTempFile file("create_codes.zan");
    CreateDatabaseFile(file.Path);
    auto db = NewDatabase(file.Path);
    db->Open();
    auto mem = NewDatabase(C_MEMORY_DATABASE);
    mem->Open();
    struct TCase {
        TZanDataBase* Db;
        bool Memory;
        bool Encrypted;
        bool InTransaction;
        int32_t Code;
    };
    int serial = 0;
    for (const TCase& c : std::vector<TCase>{{nullptr, false, false, false, 10112},
                                             {db.get(), false, false, true, 10122},
                                             {db.get(), true, false, true, 0},
                                             {db.get(), false, true, false, 10766},
                                             {mem.get(), false, true, false, 10766},
                                             {db.get(), false, false, false, 0}}) {
        TZanTable t;
        t.SetDataBase(c.Db);
        t.SetTableName("T" + std::to_string(++serial));
        t.SetMemory(c.Memory);
        if (c.Encrypted) t.SetEncryptionLevel(encStrong);
        t.GetFieldDefs().Add("Id", ftInteger);
        if (c.InTransaction) db->StartTransaction();
        EXPECT_EQ(ErrorCodeOf([&] { t.CreateTable(); }), c.Code) << serial;
        if (c.InTransaction) db->Rollback();
    }
    // With encryption on: a disk table is created, a memory one is refused.
    TTempFile secret("create_codes_enc.zan");
    CreateDatabaseFile(secret.Path, 1);
    auto enc = NewDatabase(secret.Path, 1);
    enc->Open();
    for (bool memory : {false, true}) {
        TZanTable t;
        t.SetDataBase(enc.get());
        t.SetTableName(memory ? "M" : "D");
        t.SetMemory(memory);
        t.SetEncryptionLevel(encStrong);
        t.GetFieldDefs().Add("Id", ftInteger);
        EXPECT_EQ(ErrorCodeOf([&] { t.CreateTable(); }), memory ? 10880 : 0) << memory;
    }
}

TEST(TableMasterDetail, DetailFollowsTheMasterAndCopiesItsFields) {
    auto db = NewDatabase(C_MEMORY_DATABASE);
    db->Open();
    CreateTable(*db, "M", true, [](TFieldDefs& f, TIndexDefs& x) {
        f.Add("Id", ftInteger, 0, true);
        x.Add("ixId", "Id", {ixUnique});
    });
    CreateTable(*db, "D", true, [](TFieldDefs& f, TIndexDefs& x) {
        f.Add("MasterId", ftInteger);
        f.Add("No", ftInteger);
        x.Add("ixMaster", "MasterId;No", {});
        x.Add("ixNo", "No", {});
    });
    auto open = [&](TZanTable& t, const std::string& name) {
        t.SetDataBase(db.get());
        t.SetTableName(name);
        t.SetMemory(true);
        t.Open();
    };
    TZanTable master, detail;
    open(master, "M");
    open(detail, "D");
    for (int m = 1; m <= 3; ++m) {
        master.AppendRecord({Variant(m)});
        for (int n = 1; n <= m; ++n)
            detail.AppendRecord({Variant(m), Variant(n)});
    }
    TDataSource source;
    source.SetDataSet(&master);
    detail.SetIndexName("ixMaster");
    detail.SetMasterFields("Id");
    detail.SetMasterSource(&source);
    master.First();
    EXPECT_EQ(detail.GetRecordCount(), 1);
    master.Last();
    EXPECT_EQ(detail.GetRecordCount(), 3);
    detail.Append();
    EXPECT_EQ(detail.FieldByName("MasterId")->GetAsInteger(), 3);
    detail.FieldByName("No")->SetAsInteger(9);
    detail.Post();
    EXPECT_EQ(detail.GetRecordCount(), 4);
    TDataSource detailSource;
    detailSource.SetDataSet(&detail);
    EXPECT_THROW(master.SetDataBase(db.get()), Exception) << "an open table keeps its database";
    TZanTable third;
    third.SetMasterSource(&detailSource);
    EXPECT_THROW(detail.SetMasterSource(&detailSource), EDatabaseError) << "circular";
    // Two master fields on a one-field index: refused on insert.
    detail.SetMasterSource(nullptr);
    detail.SetIndexName("ixNo");
    detail.SetMasterFields("Id;Id");
    detail.SetMasterSource(&source);
    try {
        detail.Insert();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(std::string(e.Message()),
                  "Master-detail errorId is not a valid index field for this index")
            << e.Message();
    }
    third.SetMasterSource(nullptr);
}

INSTANTIATE_TEST_SUITE_P(MemoryAndFile, TableTest, ::testing::Bool());

} // namespace
