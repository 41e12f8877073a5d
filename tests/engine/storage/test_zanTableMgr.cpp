// Table definitions: their text form, the memory and disk definition managers, sharing of one
// master per open table, restructure.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanTableMgrUnit.h"
#include "host/win/child_process.h"
#include "support/zanChecker.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

// Adds a record (Id, Name) to an open table through its record store and indexes.
uint32_t AddRecord(TTableDef& def, int32_t id, const std::string& name) {
    TInternalFields& fields = *def.GetInternalFields();
    std::vector<uint8_t> rec(static_cast<size_t>(def.GetRecordSize()), 0);
    rec[0] = 1;
    PutLE32(rec.data() + C_REC_OWNER_OFFSET, uint32_t(def.GetTableID()) * 16 + C_USAGE_RECORDS);
    RecordSetInteger(rec.data(), *fields.Items(0), id);
    RecordSetString(rec.data(), *fields.Items(1), name);
    TBaseIOInterface* io = def.GetRecordInterface();
    const uint32_t address = io->AllocateNewAddress(static_cast<uint32_t>(rec.size()), rec.data());
    TIndexManager indexes;
    indexes.SetIOInterface(def.GetIndexInterface());
    indexes.SetTableHeader(def.GetTableHeader());
    indexes.SetDBStringCompareFunction(DBANSICompareStrings);
    indexes.Assign(*def.GetInternalIndexDefs());
    indexes.AssignKeyFields(*def.GetKeyFields());
    indexes.Open();
    for (int i = 0; i < indexes.Count(); ++i) {
        indexes.Items(i)->CreateKeyBuffer(rec.data());
        EXPECT_EQ(indexes.Items(i)->InsertKey(address), 0);
    }
    indexes.WriteIndexHeaders();
    indexes.Close();
    def.GetTableHeader()->SetRecordFirstEmpty(io->GetFirstEmpty());
    def.GetTableHeader()->WriteHeader();
    return address;
}

} // namespace

TEST(TableDef, TextRoundTripDefaultsAndEnumerationNames) {
    TTableDef def;
    EXPECT_EQ(def.GetDefaultBlobSize(), 512);
    BuildSampleTableDef(def, encStrong);
    def.SetTableID(7);
    def.SetOwnerFlag(7 << 4);
    def.SetTableName("It's");
    def.SetCreationDate(45000.25);
    def.SetSortOrder(soASCII);
    def.SetInternalTable(true);
    const std::string text = ComponentToText(def);
    EXPECT_EQ(text.rfind("object TTableDef\n", 0), 0u);
    EXPECT_NE(text.find("OwnerFlag = 112"), std::string::npos);
    EXPECT_NE(text.find("TableName = 'It''s'"), std::string::npos);
    EXPECT_NE(text.find("EncryptionLevel = encStrong"), std::string::npos);
    EXPECT_NE(text.find("SortOrder = soASCII"), std::string::npos);
    EXPECT_NE(text.find("DataType = ftMemo"), std::string::npos);
    EXPECT_NE(text.find("IndexKeyType = ikMinStringLen"), std::string::npos);
    // Values equal to their declared defaults are left out.
    EXPECT_EQ(text.find("IsVariable"), std::string::npos);
    EXPECT_EQ(text.find("CompressionMode"), std::string::npos);
    EXPECT_EQ(text.find("AltName"), std::string::npos);
    // The stored order: TableID first, the collections before BlobCompression.
    EXPECT_LT(text.find("TableID"), text.find("OwnerFlag"));
    EXPECT_LT(text.find("KeyFields"), text.find("InternalFields"));
    EXPECT_LT(text.find("InternalIndexDefs"), text.find("BlobCompression"));

    TTableDef back;
    ReadComponentFromText(text, back);
    EXPECT_EQ(ComponentToText(back), text);
    EXPECT_EQ(back.GetInternalFields()->Count(), 3);
    EXPECT_EQ(back.GetInternalIndexDefs()->Items(1)->GetMaximumKeySize(),
              def.GetInternalIndexDefs()->Items(1)->GetMaximumKeySize());
    EXPECT_EQ(back.GetCreationDate(), 45000.25);

    // Assign leaves out the owner flag and the internal flag; Clear resets.
    TTableDef copy;
    copy.Assign(def);
    EXPECT_EQ(copy.GetOwnerFlag(), 0u);
    EXPECT_FALSE(copy.GetInternalTable());
    EXPECT_EQ(copy.GetKeyFields()->Count(), def.GetKeyFields()->Count());
    copy.Clear();
    EXPECT_EQ(copy.GetInternalFields()->Count(), 0);
    EXPECT_EQ(copy.GetDefaultBlobSize(), 512);
}

TEST(TableDef, ValidateOpenAndMasterRules) {
    TTableDef def;
    def.DebugSetDefs();
    def.GetKeyFields()->Items(1)->SetIndexName("gone");
    EXPECT_TRUE(def.Validate());
    EXPECT_EQ(def.GetKeyFields()->Items(1)->GetIndexName(), "two");
    EXPECT_EQ(ErrorCodeOf([&] { def.InternalOpen(nullptr); }), 8576);
    def.SetMasterDef(true);
    EXPECT_EQ(ErrorCodeOf([&] { def.Clear(); }), 8577);
    EXPECT_EQ(AccessFlagsForEncryption(encStrong), 5);
    EXPECT_EQ(AccessFlagsForEncryption(encWeak), 3);
    EXPECT_EQ(AccessFlagsForEncryption(encNone), 1);
}

TEST(MemoryTableDefMgr, IdsSharingCountsAndDelete) {
    TMemoryTableDefMgr users, system;
    system.SetSystemTableMgr(true);
    users.Open();
    system.Open();
    TTableDef def;
    BuildSampleTableDef(def, encNone, true);
    EXPECT_EQ(users.CreateTableDef("people", def), 1);
    EXPECT_EQ(def.GetTableID(), 1);
    EXPECT_EQ(def.GetOwnerFlag(), 16u);
    EXPECT_EQ(system.CreateTableDef("$sys", def), 1024);
    EXPECT_EQ(ErrorCodeOf([&] { users.CreateTableDef("PEOPLE", def); }), 8580);
    TTableDef disk;
    BuildSampleTableDef(disk);
    EXPECT_EQ(ErrorCodeOf([&] { users.CreateTableDef("other", disk); }), 8577);
    EXPECT_EQ(ErrorCodeOf([&] { users.RestructureTableDef(def, {}); }), 10766);

    TTableDef a, b;
    users.OpenTableDefConnection("People", a);
    users.OpenTableDefConnection("people", b);
    EXPECT_EQ(a.GetTableID(), 1);
    EXPECT_EQ(a.GetTableHeader(), b.GetTableHeader());
    EXPECT_EQ(a.GetRecordInterface(), b.GetRecordInterface());
    EXPECT_NE(a.GetRecordInterface(), nullptr);
    EXPECT_TRUE(a.GetActive());
    EXPECT_EQ(users.CheckTableUserCount(1), 2);
    AddRecord(a, 1, "one");
    AddRecord(b, 2, "two");
    EXPECT_TRUE(CheckMemoryTable(a).empty()) << ProblemText(CheckMemoryTable(a));

    // A refused delete changes nothing.
    EXPECT_EQ(ErrorCodeOf([&] { users.DeleteTableDef("people", a); }), 8578);
    EXPECT_EQ(users.CheckTableUserCount(1), 2);
    users.CloseTableDefConnection(1);
    users.CloseTableDefConnection(1);
    users.CloseTableDefConnection(1); // stays at 0
    EXPECT_EQ(users.CheckTableUserCount(1), 0);
    // The master and its records stay while the manager is open.
    EXPECT_EQ(users.IndexOfTableName("PEOPLE"), 0);
    TTableDef c;
    users.OpenTableDefConnection("people", c);
    EXPECT_EQ(c.GetRecordInterface(), a.GetRecordInterface());
    EXPECT_TRUE(CheckMemoryTable(c).empty());
    a.InternalClose();
    b.InternalClose();
    EXPECT_EQ(users.DeleteTableDef("people", c), 1);
    EXPECT_EQ(c.GetTableID(), 0);
    EXPECT_EQ(c.GetTableHeader(), nullptr);
    EXPECT_EQ(users.MasterCount(), 0);
    EXPECT_EQ(ErrorCodeOf([&] { users.OpenTableDefConnection("people", c); }), 8579);
    EXPECT_EQ(ErrorCodeOf([&] { users.CloseTableDefConnection(1); }), 8579);
    // The id is free again.
    EXPECT_EQ(users.CreateTableDef("again", def), 1);
}

TEST(MemoryTableDefMgr, CorruptStoredLayoutIsRefused) {
    TMemoryTableDefMgr users;
    users.Open();
    TTableDef def;
    BuildSampleTableDef(def, encNone, true);
    def.GetInternalFields()->Items(2)->SetFieldIndex(300);
    users.CreateTableDef("bad", def);
    TTableDef copy;
    EXPECT_EQ(ErrorCodeOf([&] { users.OpenTableDefConnection("bad", copy); }), 8962);

    TTableDef keys;
    BuildSampleTableDef(keys, encNone, true);
    keys.GetKeyFields()->Items(1)->SetRecBufOffset(keys.GetRecordSize());
    users.CreateTableDef("badkey", keys);
    EXPECT_EQ(ErrorCodeOf([&] { users.OpenTableDefConnection("badkey", copy); }), 8962);
    EXPECT_EQ(users.CheckTableUserCount(keys.GetTableID()), 0);
}

TEST(DiskTableDefMgr, CreateShareCloseAndReopen) {
    TTempFile file("tabledef_disk.zan");
    TTestDatabase db(file.Path);
    db.Create();
    db.Open();
    TTableDef def;
    BuildSampleTableDef(def, encWeak);
    TInternalIndexDef* third = def.GetInternalIndexDefs()->Add();
    third->Assign(*def.GetInternalIndexDefs()->Items(0));
    third->SetIndexName("ById2");
    third->SetIndexSequence(2);
    TKeyFieldItem* key = def.GetKeyFields()->Add();
    key->Assign(*def.GetKeyFields()->Items(0));
    key->SetIndexName("ById2");

    const int32_t id = db.UserTables().CreateTableDef("people", def);
    EXPECT_EQ(id, 1);
    TTableDef systemDef;
    systemDef.Assign(def);
    EXPECT_EQ(db.SystemTables().CreateTableDef("$master", systemDef), 1024);
    EXPECT_EQ(def.GetTableID(), 1);
    EXPECT_EQ(ErrorCodeOf([&] { db.UserTables().CreateTableDef("People", def); }), 8580);
    TTableDef memory;
    BuildSampleTableDef(memory, encNone, true);
    EXPECT_EQ(ErrorCodeOf([&] { db.UserTables().CreateTableDef("mem", memory); }), 8577);

    // A stored definition as the catalogue would hand it back.
    def.SetTableName("people");
    const std::string stored = ComponentToText(def);
    TTableDef a, b;
    ReadComponentFromText(stored, a);
    ReadComponentFromText(stored, b);
    db.UserTables().OpenTableDefConnection("people", a);
    db.UserTables().OpenTableDefConnection("people", b);
    EXPECT_EQ(db.UserTables().CheckTableUserCount(id), 2);
    EXPECT_EQ(a.GetTableHeader(), b.GetTableHeader());
    EXPECT_EQ(a.GetIndexInterface(), b.GetIndexInterface());
    EXPECT_EQ(a.GetRecordInterface()->GetAccessFlags(), 3);
    TTableHeader* header = a.GetTableHeader();
    std::set<uint32_t> roots;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(header->GetIndexDepth(i), 1);
        roots.insert(header->GetIndexRoot(i));
        std::vector<uint8_t> page(4096);
        a.GetIndexInterface()->ReadBlock(header->GetIndexRoot(i), 4096, page.data());
        EXPECT_EQ(GetLE32(page.data()), 1u); // leaf
        EXPECT_EQ(GetLE32(page.data() + 4), 0u);
    }
    EXPECT_EQ(roots.size(), 3u);
    const uint32_t root2 = header->GetIndexRoot(2);
    AddRecord(a, 5, "five");
    AddRecord(b, 6, "six");
    auto problems = CheckDatabase(db.Disk(), {&a});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);

    EXPECT_EQ(ErrorCodeOf([&] { db.UserTables().DeleteTableDef("people", a); }), 8578);
    a.InternalClose();
    db.UserTables().CloseTableDefConnection(id);
    EXPECT_EQ(db.UserTables().MasterCount(), 1);
    b.InternalClose();
    db.UserTables().CloseTableDefConnection(id);
    EXPECT_EQ(db.UserTables().MasterCount(), 0); // freed at the last close
    EXPECT_EQ(ErrorCodeOf([&] { db.UserTables().CloseTableDefConnection(id); }), 8579);
    db.Close();

    db.Open();
    TTableDef c;
    ReadComponentFromText(stored, c);
    db.UserTables().OpenTableDefConnection("people", c);
    EXPECT_EQ(c.GetTableHeader()->GetIndexRoot(2), root2);
    problems = CheckDatabase(db.Disk(), {&c});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
    c.InternalClose();
    db.UserTables().CloseTableDefConnection(id);
    db.Close();
}

TEST(DiskTableDefMgr, RestructureKeepsOrEmptiesRecordsAndReplacesTrees) {
    TTempFile file("tabledef_restructure.zan");
    TTestDatabase db(file.Path);
    db.Create();
    db.Open();
    TTableDef def;
    BuildSampleTableDef(def);
    const int32_t id = db.UserTables().CreateTableDef("people", def);
    def.SetTableName("people");
    TTableDef open;
    open.Assign(def);
    db.UserTables().OpenTableDefConnection("people", open);
    for (int i = 0; i < 300; ++i)
        AddRecord(open, i, "name" + std::to_string(i));
    TTableHeader* header = open.GetTableHeader();

    // Only the indexes change: the records stay, every tree starts empty again.
    TRestructureIndexDefs indexChange;
    indexChange.SetChangeStatus(dcAdded);
    TInternalRestructureRec rec;
    rec.IndexDefs = &indexChange;
    rec.SetGenerator1 = true;
    rec.Generator1 = 99;
    db.UserTables().RestructureTableDef(open, rec);
    EXPECT_EQ(header->GetGenerator1(), 99u);
    EXPECT_EQ(header->GetIndexDepth(1), 1);
    std::vector<uint32_t> records;
    db.Disk().ListAllocatedFixedBlocks(uint32_t(def.GetRecordSize()), uint32_t(id), C_USAGE_RECORDS,
                                       records);
    int liveCount = 0;
    std::vector<uint8_t> buf(static_cast<size_t>(def.GetRecordSize()));
    for (uint32_t a : records) {
        open.GetRecordInterface()->ReadBlock(a, uint32_t(buf.size()), buf.data());
        liveCount += buf[0] == 1;
    }
    EXPECT_EQ(liveCount, 300);
    // The old trees' pages went back to the map.
    std::vector<uint32_t> indexPages;
    db.Disk().SetHeaderReadLock();
    db.Disk().GetMapPageMgr()->ListPagesUsedByOwner(uint32_t(id), C_USAGE_INDEX, indexPages, true);
    db.Disk().ReleaseHeaderLock();
    EXPECT_EQ(indexPages.size(), 2u);

    // A field change empties records and blobs; the header keeps the counters it was given.
    TRestructureFieldDefs fieldChange;
    fieldChange.SetChangeStatus(dcDataChange);
    rec = {};
    rec.FieldDefs = &fieldChange;
    db.UserTables().RestructureTableDef(open, rec);
    EXPECT_EQ(header->GetRecordFirstEmpty(), 0u);
    EXPECT_EQ(header->GetGenerator1(), 99u);
    records.clear();
    db.Disk().ListAllocatedFixedBlocks(uint32_t(def.GetRecordSize()), uint32_t(id), C_USAGE_RECORDS,
                                       records);
    EXPECT_TRUE(records.empty());
    AddRecord(open, 1, "after");
    auto problems = CheckDatabase(db.Disk(), {&open});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
    open.InternalClose();
    db.UserTables().CloseTableDefConnection(id);
    db.Close();
}
