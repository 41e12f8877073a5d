// The cursor's field access over the storable types, definition limits, writes (autoinc,
// refused keys, index upkeep, blobs), read-ahead with an injected clock, lists and locate.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "dataset_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

std::unique_ptr<TZanDataBase> MemoryDatabase() {
    auto db = std::make_unique<TZanDataBase>();
    db->SetDataBaseName("MEMORY");
    db->Open();
    return db;
}

std::unique_ptr<TZanDataSet> OpenCursor(TZanDataBase& db, const std::string& name,
                                        const std::string& index = "") {
    auto c = std::make_unique<TZanDataSet>();
    c->SetDataBase(&db);
    c->SetTableName(name);
    c->SetMemory(db.IsMemoryDatabase());
    c->SetIndexName(index);
    c->DataSetOpen();
    return c;
}

void CreateTable(TZanDataBase& db, const std::string& name, const TFieldDefs& fields,
                 const TIndexDefs& indexes) {
    TZanDataSet c;
    c.SetDataBase(&db);
    c.SetTableName(name);
    c.SetTableDef(db.IsMemoryDatabase(), fields, indexes);
    c.InternalCreateTable();
}

// Id unique, Name non-unique, Note memo, Auto autoinc.
void CreatePeople(TZanDataBase& db, const std::string& name = "people") {
    TFieldDefs fields;
    fields.Add("Id", ftInteger);
    fields.Add("Name", ftString, 10);
    fields.Add("Note", ftMemo);
    fields.Add("Auto", ftAutoInc);
    TIndexDefs indexes;
    indexes.Add("ixId", "Id", {ixUnique});
    indexes.Add("ixName", "Name", {});
    CreateTable(db, name, fields, indexes);
}

void AddPerson(TZanDataSet& c, int32_t id, const std::string& name, bool useAutoInc = true) {
    c.ClearRecord();
    c.DataSetSetFieldDataAsVariant(0, Variant(id));
    c.DataSetSetFieldDataAsVariant(1, Variant(name));
    c.AddRecord(useAutoInc);
}

std::string BlobText(TZanDataSet& c, int32_t n) {
    TMemoryStream s;
    bool isNull = false;
    c.DataSetGetFieldStream(n, isNull, s);
    return std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.GetSize()));
}

void SetBlobText(TZanDataSet& c, int32_t n, const std::string& text) {
    TMemoryStream s;
    if (!text.empty()) s.WriteBuffer(text.data(), int32_t(text.size()));
    c.DataSetSetFieldStream(n, text.empty(), s);
}

struct TTypeCase {
    TFieldType Type;
    int32_t Size;
    Variant Value;
};

} // namespace

TEST(ZanCursorAccess, EveryStorableTypeRoundTripsAndRefusesMisuse) {
    auto db = MemoryDatabase();
    const std::vector<TTypeCase> cases = {
        {ftString, 10, Variant("abc")},        {ftSmallint, 0, Variant(int16_t(-7))},
        {ftInteger, 0, Variant(123456)},       {ftWord, 0, Variant(int32_t(65535))},
        {ftBoolean, 0, Variant(true)},         {ftFloat, 0, Variant(2.5)},
        {ftCurrency, 0, Variant(12.25)},       {ftDate, 0, VarFromDateTime(45000)},
        {ftTime, 0, VarFromDateTime(0.5)},     {ftDateTime, 0, VarFromDateTime(45000.25)},
        {ftBytes, 4, Variant()},               {ftAutoInc, 0, Variant(9)},
        {ftBlob, 0, Variant()},                {ftMemo, 0, Variant()},
        {ftGraphic, 0, Variant()},             {ftFmtMemo, 0, Variant()}};
    int table = 0;
    for (const TTypeCase& tc : cases) {
        SCOPED_TRACE(std::string(FieldTypeName(tc.Type)));
        const std::string name = "t" + std::to_string(table++);
        TFieldDefs fields;
        fields.Add("F", tc.Type, tc.Size);
        CreateTable(*db, name, fields, TIndexDefs());
        auto c = OpenCursor(*db, name);
        EXPECT_EQ(c->GetCurrentIndexName(), "_LogicalRecNo");
        const bool blob = IsBlobFieldType(tc.Type);
        EXPECT_EQ(c->IsFieldBlob(0), blob);
        c->ClearRecord();
        if (blob) {
            uint8_t dest[8];
            bool isNull = false;
            std::string message;
            EXPECT_EQ(ErrorCodeOf([&] { c->DataSetGetFieldData(0, isNull, dest); }, &message), 8581);
            EXPECT_NE(message.find("Unable to use this method to access blob fields. Field : 0"),
                      std::string::npos);
            EXPECT_EQ(ErrorCodeOf([&] { c->DataSetSetFieldData(0, 1, false, dest); }), 8581);
            SetBlobText(*c, 0, "blob text");
            c->AddRecord(true);
            ASSERT_TRUE(c->DataSetFirst());
            EXPECT_EQ(BlobText(*c, 0), "blob text");
            EXPECT_EQ(c->GetFieldLength(0), 9);
            continue;
        }
        TMemoryStream s;
        bool isNull = false;
        EXPECT_EQ(ErrorCodeOf([&] { c->DataSetGetFieldStream(0, isNull, s); }), 8581);
        EXPECT_EQ(ErrorCodeOf([&] { c->DataSetSetFieldStream(0, false, s); }), 10753);
        // NULL: reported, the destination untouched.
        uint8_t dest[16];
        std::memset(dest, 0xAB, sizeof dest);
        c->DataSetGetFieldData(0, isNull, dest);
        EXPECT_TRUE(isNull);
        EXPECT_EQ(dest[0], 0xAB);
        if (tc.Type == ftBytes) {
            EXPECT_EQ(ErrorCodeOf([&] { c->DataSetSetFieldDataAsVariant(0, Variant(1)); }), 10000);
            const uint8_t bytes[5] = {1, 2, 3, 4, 5};
            EXPECT_EQ(ErrorCodeOf([&] { c->DataSetSetFieldData(0, 5, false, bytes); }), 8581);
            c->DataSetSetFieldData(0, -1, false, bytes);
            c->DataSetGetFieldData(0, isNull, dest);
            EXPECT_EQ(std::memcmp(dest, bytes, 4), 0);
            continue;
        }
        c->DataSetSetFieldDataAsVariant(0, tc.Value);
        c->AddRecord(false);
        ASSERT_TRUE(c->DataSetFirst());
        const Variant back = c->DataSetGetFieldDataAsVariant(0);
        EXPECT_EQ(back.AsString(), tc.Value.AsString());
        if (tc.Type == ftBoolean) {
            bool isNullB = false;
            uint8_t stored = 0;
            c->DataSetGetFieldData(0, isNullB, &stored);
            EXPECT_EQ(stored, 1); // True is stored as 1
        }
        if (tc.Type == ftString) {
            // Marker 3, the text, then zeros; 11 bytes do not fit in 10.
            const uint8_t* rec = c->GetRecBuf();
            const int32_t off = c->GetFieldDataOffset(0);
            uint16_t marker;
            std::memcpy(&marker, rec + off - 2, 2);
            EXPECT_EQ(marker, 3);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec + off), 3), "abc");
            for (int i = 3; i < 11; ++i)
                EXPECT_EQ(rec[off + i], 0);
            std::memset(dest, 0xAB, sizeof dest);
            c->DataSetGetFieldData(0, isNull, dest);
            EXPECT_EQ(dest[3], 0);
            EXPECT_EQ(ErrorCodeOf([&] { c->DataSetSetFieldData(0, 12, false, "12345678901"); }),
                      8581);
            TFieldDef def;
            c->GetFieldDef(0, def);
            EXPECT_EQ(def.GetSize(), 10);
        }
    }
    // Types a record cannot hold are refused by the definition.
    for (TFieldType t : {ftBCD, ftWideString, ftLargeint}) {
        TFieldDefs fields;
        fields.Add("F", t, t == ftWideString ? 10 : 0);
        EXPECT_EQ(ErrorCodeOf([&] { CreateTable(*db, "bad", fields, TIndexDefs()); }), 10000);
    }
    // Field numbers out of range never reach the buffer.
    auto c = OpenCursor(*db, "t0");
    bool isNull = false;
    EXPECT_EQ(ErrorCodeOf([&] { c->DataSetGetFieldData(5, isNull, nullptr); }), 8581);
    EXPECT_EQ(ErrorCodeOf([&] { c->DataSetSetFieldData(-1, 1, false, "x"); }), 8581);
}

TEST(ZanCursorAccess, DefinitionLimitsGiveTheirCodes) {
    auto db = MemoryDatabase();
    auto attempt = [&](const std::string& table, const TFieldDefs& f, const TIndexDefs& i) {
        std::string message;
        const int32_t code = ErrorCodeOf(
            [&] {
                TZanDataSet c;
                c.SetDataBase(db.get());
                c.SetTableName(table);
                c.SetTableDef(true, f, i);
            },
            &message);
        return std::make_pair(code, message);
    };
    TFieldDefs one;
    one.Add("A", ftInteger);
    TIndexDefs none;
    EXPECT_EQ(attempt("", one, none).first, 10039);
    EXPECT_NE(attempt(std::string(41, 'x'), one, none).second.find("max. length 40"),
              std::string::npos);
    EXPECT_EQ(attempt("all", one, none).first, 10041);
    EXPECT_EQ(attempt("t", TFieldDefs(), none).first, 9492);
    TFieldDefs many;
    for (int i = 0; i < 256; ++i)
        many.Add("F" + std::to_string(i), ftSmallint);
    EXPECT_EQ(attempt("t", many, none).first, 9492);
    TFieldDefs longName;
    longName.Add(std::string(41, 'f'), ftInteger);
    EXPECT_EQ(attempt("t", longName, none).first, 10038);
    for (int32_t size : {0, 257}) {
        TFieldDefs s;
        s.Add("S", ftString, size);
        EXPECT_EQ(attempt("t", s, none).first, 9606) << size;
    }
    TIndexDefs tooMany;
    for (int i = 0; i < 33; ++i)
        tooMany.Add("i" + std::to_string(i), "A", {});
    EXPECT_EQ(attempt("t", one, tooMany).first, 9604);
    TFieldDefs wide;
    wide.Add("S1", ftString, 256);
    wide.Add("S2", ftString, 256);
    TIndexDefs big;
    big.Add("ix", "S1;S2", {});
    EXPECT_EQ(attempt("t", wide, big).first, 9602);
    TIndexDefs unknown;
    unknown.Add("ix", "Nope", {});
    EXPECT_EQ(attempt("t", one, unknown).first, 10116);
    TFieldDefs memo;
    memo.Add("M", ftMemo);
    TIndexDefs onMemo;
    onMemo.Add("ix", "M", {});
    EXPECT_EQ(attempt("t", memo, onMemo).first, 10117);
    TFieldDefs reserved;
    reserved.Add("ALL", ftInteger);
    EXPECT_EQ(attempt("t", reserved, none).first, 10041);
}

TEST(ZanCursorAccess, AutoIncKeysAndBlobs) {
    auto db = MemoryDatabase();
    CreatePeople(*db);
    auto c = OpenCursor(*db, "people", "ixId");
    for (int i = 1; i <= 7; ++i)
        AddPerson(*c, i, "p" + std::to_string(i));
    auto autoOf = [&] { return c->DataSetGetFieldDataAsVariant(3).AsInteger(); };
    // An explicit 100 raises the counter, the next automatic value is 101, an explicit 5 keeps
    // it.
    c->ClearRecord();
    c->DataSetSetFieldDataAsVariant(0, Variant(8));
    c->DataSetSetFieldDataAsVariant(3, Variant(100));
    c->AddRecord(false);
    EXPECT_EQ(autoOf(), 100);
    AddPerson(*c, 9, "p9");
    EXPECT_EQ(autoOf(), 101);
    c->ClearRecord();
    c->DataSetSetFieldDataAsVariant(0, Variant(10));
    c->DataSetSetFieldDataAsVariant(3, Variant(5));
    c->AddRecord(false);
    EXPECT_EQ(autoOf(), 5);
    EXPECT_EQ(c->GetTableDef().GetTableHeader()->GetRecordAutoIncVal(), 101u);

    // A refused key leaves no trace: counters, count and indexes as they were.
    const uint32_t logical = c->GetTableDef().GetTableHeader()->GetLogicalRecordNo();
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { AddPerson(*c, 3, "dup"); }, &message), 9729);
    EXPECT_NE(message.find("Index ixId"), std::string::npos);
    EXPECT_EQ(c->GetTableDef().GetTableHeader()->GetLogicalRecordNo(), logical);
    EXPECT_EQ(c->GetTableDef().GetTableHeader()->GetRecordAutoIncVal(), 101u);
    EXPECT_EQ(c->GetTotalRecordCount(), 10);
    c->SetIndexName("ixName");
    EXPECT_EQ(c->GetTotalRecordCount(), 10);

    // A non-key change writes no index page.
    auto rootImages = [&] {
        std::vector<std::vector<uint8_t>> images;
        for (int i = 0; i < c->GetIndexManager().Count(); ++i) {
            TIndexItem& ix = *c->GetIndexManager().Items(i);
            std::vector<uint8_t> page(ix.GetIndexPageSize());
            c->GetTableDef().GetIndexInterface()->ReadBlock(ix.GetRoot(), uint32_t(page.size()),
                                                            page.data());
            images.push_back(page);
        }
        return images;
    };
    c->SetIndexName("ixId");
    c->ClearRecord();
    c->DataSetSetFieldDataAsVariant(0, Variant(4));
    ASSERT_TRUE(c->Find(stEQ, "ixId"));
    const auto before = rootImages();
    SetBlobText(*c, 2, "first note");
    c->UpdateRecord();
    EXPECT_EQ(rootImages(), before);

    // Blob insert, replace, empty (address 0, length 0, NULL).
    ASSERT_TRUE(c->Find(stEQ, "ixId"));
    EXPECT_EQ(BlobText(*c, 2), "first note");
    SetBlobText(*c, 2, std::string(3000, 'x'));
    c->UpdateRecord();
    ASSERT_TRUE(c->Find(stEQ, "ixId"));
    EXPECT_EQ(BlobText(*c, 2), std::string(3000, 'x'));
    SetBlobText(*c, 2, "");
    c->UpdateRecord();
    ASSERT_TRUE(c->Find(stEQ, "ixId"));
    uint32_t head = 1, length = 1;
    RecordGetBlobRef(c->GetRecBuf(), *c->GetInternalFields().GetField(2), head, length);
    EXPECT_EQ(head, 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(c->GetIsFieldNullFromRecBuf(c->GetRecBuf(), 2));
    auto problems = CheckMemoryTable(c->GetTableDef());
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);

    // A stale buffer: another cursor changed the record since it was read.
    auto other = OpenCursor(*db, "people", "ixId");
    other->ClearRecord();
    other->DataSetSetFieldDataAsVariant(0, Variant(4));
    ASSERT_TRUE(other->Find(stEQ, "ixId"));
    std::vector<uint8_t> stale(other->GetRecBuf(), other->GetRecBuf() + other->GetRecBufSize());
    c->DataSetSetFieldDataAsVariant(1, Variant("changed"));
    c->UpdateRecord();
    other->DataSetSetFieldDataAsVariant(1, Variant("mine"));
    EXPECT_EQ(ErrorCodeOf([&] { other->UpdateRecord(); }), 8708);
    other->SetRecordBuffer(stale.data(), int32_t(stale.size()));
    EXPECT_EQ(other->DeleteRecord(stale.data()), -1);
    EXPECT_EQ(other->GetTotalRecordCount(), 10);
    EXPECT_EQ(ErrorCodeOf([&] { c->SetToRecord(0, nullptr, true, false); }), 8581);
}

TEST(ZanCursorAccess, ReadAheadServesAtMostTenSecondsOldData) {
    TTempFile file("cursor_readahead.zan");
    CreateDatabaseFile(file.Path);
    auto db1 = NewDatabase(file.Path);
    db1->Open();
    CreatePeople(*db1);
    auto writer = OpenCursor(*db1, "people", "ixId");
    for (int i = 1; i <= 100; ++i) {
        writer->ClearRecord();
        writer->DataSetSetFieldDataAsVariant(0, Variant(i));
        writer->DataSetSetFieldDataAsVariant(1, Variant("n" + std::to_string(i)));
        if (i % 3 != 0) SetBlobText(*writer, 2, "note " + std::to_string(i));
        writer->AddRecord(true);
    }
    auto db2 = NewDatabase(file.Path);
    db2->Open();
    auto reader = OpenCursor(*db2, "people", "ixId");
    uint64_t now = 1000;
    reader->SetClock([&] { return now; });
    ASSERT_TRUE(reader->GetUseReadAheadBuffer());
    // A scan fills once per buffer, not once per record.
    reader->SetReadAheadMode(raReadAheadUninitialized);
    int rows = 0;
    for (bool ok = reader->DataSetFirst(); ok; ok = reader->DataSetNext()) {
        ++rows;
        // Blobs and re-reads follow the record served from the buffer.
        const int32_t id = reader->DataSetGetFieldDataAsVariant(0).AsInteger();
        EXPECT_EQ(BlobText(*reader, 2), id % 3 != 0 ? "note " + std::to_string(id) : "");
        if (id % 7 == 0) {
            ASSERT_TRUE(reader->DataSetRefresh(reader->GetRecBuf(), true));
            EXPECT_EQ(reader->DataSetGetFieldDataAsVariant(0).AsInteger(), id);
        }
    }
    reader->ReleaseReadAheadMode();
    EXPECT_EQ(rows, 100);
    EXPECT_LE(reader->GetReadAheadFills(), 100u / 10 + 100u / 7 + 4);
    // The other connection renames record 2 while the reader holds it read ahead.
    ASSERT_TRUE(reader->DataSetFirst());
    writer->ClearRecord();
    writer->DataSetSetFieldDataAsVariant(0, Variant(2));
    ASSERT_TRUE(writer->Find(stEQ, "ixId"));
    writer->DataSetSetFieldDataAsVariant(1, Variant("renamed"));
    writer->UpdateRecord();
    now += 9000;
    ASSERT_TRUE(reader->DataSetNext());
    EXPECT_EQ(reader->DataSetGetFieldDataAsVariant(1).AsString(), "n2");
    ASSERT_TRUE(reader->DataSetPrior());
    now += 1001;
    ASSERT_TRUE(reader->DataSetNext());
    EXPECT_EQ(reader->DataSetGetFieldDataAsVariant(1).AsString(), "renamed");
}

TEST(ZanCursorAccess, ListsLocateAndIndexInformation) {
    auto db = MemoryDatabase();
    CreatePeople(*db);
    auto c = OpenCursor(*db, "people", "ixId");
    for (int i = 1; i <= 200; ++i)
        AddPerson(*c, i, i % 10 == 0 ? std::string("ten") : "n" + std::to_string(i));
    // An empty range lists nothing.
    c->InitializeRangeBuffers(rmRangeStart);
    c->InitializeRangeBuffers(rmRangeEnd);
    c->DataSetSetFieldDataToRecBufAsVariant(c->GetRangeRecBuf(rmRangeStart), 0, Variant(50));
    c->DataSetSetFieldDataToRecBufAsVariant(c->GetRangeRecBuf(rmRangeEnd), 0, Variant(40));
    c->SetRangeOn(true);
    TCompoundList list;
    c->LoadCompleteListOfRecords(list);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(c->GetCurrentRecordCount(), 0);
    EXPECT_FALSE(c->DataSetFirst());
    c->DataSetSetFieldDataToRecBufAsVariant(c->GetRangeRecBuf(rmRangeEnd), 0, Variant(59));
    c->SetRangeOn(true);
    c->LoadCompleteListOfRecords(list);
    EXPECT_EQ(list.Count(), 10);
    c->DataSetClearRange();

    // Locate on the leading key field stops once the index passes the value.
    std::vector<uint8_t> key(size_t(c->GetRecBufSize()), 0), result(key.size(), 0);
    c->DataSetSetFieldDataToRecBufAsVariant(key.data(), 0, Variant(150));
    ASSERT_TRUE(c->DoLocate("ixId", key.data(), result.data(), {"Id"}, {}, true, false));
    EXPECT_EQ(c->GetLocateRecordsRead(), 1);
    std::fill(key.begin(), key.end(), 0);
    c->DataSetSetFieldDataToRecBufAsVariant(key.data(), 0, Variant(150));
    c->DataSetSetFieldDataToRecBufAsVariant(key.data(), 1, Variant("nope"));
    EXPECT_FALSE(c->DoLocate("ixId", key.data(), result.data(), {"Id", "Name"}, {}, true, false));
    EXPECT_EQ(c->GetLocateRecordsRead(), 2); // 150, then 151 is past the key
    // A case-insensitive locate on a case-sensitive index scans instead of missing rows.
    std::fill(key.begin(), key.end(), 0);
    c->DataSetSetFieldDataToRecBufAsVariant(key.data(), 1, Variant("TEN"));
    ASSERT_TRUE(c->DoLocate("ixName", key.data(), result.data(), {"Name"}, {loCaseInsensitive},
                            true, true));
    EXPECT_EQ(c->DataSetGetFieldDataAsVariant(0).AsInteger(), 10);
    EXPECT_FALSE(c->DoLocate("ixName", key.data(), result.data(), {"Name"}, {}, true, false));
    EXPECT_EQ(ErrorCodeOf([&] {
                  c->DoLocate("ixName", key.data(), result.data(), {"Nope"}, {}, true, false);
              }),
              10116);

    // A hash load from an index reads no record and never hashes NULL.
    c->ClearRecord();
    c->DataSetSetFieldDataAsVariant(0, Variant(1000));
    c->AddRecord(true); // Name NULL
    TZanBaseHash hash(1024, 11, 1000);
    c->LoadHashListOfRecords(hash, "Name", list, false);
    EXPECT_EQ(list.Count(), 0); // no record listed for a scan
    EXPECT_TRUE(hash.Find("ten", 3));
    EXPECT_EQ(hash.EntryCount(), 200);

    TStringList names;
    c->GetIndexNames(names);
    EXPECT_EQ(names.Count(), 2);
    EXPECT_EQ(c->FindIndexForFields("Name"), "ixName");
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { c->FindIndexForFields("Id;Name"); }, &message), 9997);
    EXPECT_NE(message.find("Id;Name"), std::string::npos);
    TIndexDef def;
    c->GetIndexDef(0, def);
    EXPECT_EQ(def.GetFields(), "Id");
    EXPECT_TRUE(def.GetOptions().contains(ixUnique));
    EXPECT_EQ(c->GetIndexFieldsFromKeyFields("ixName"), "Name");
}

TEST(ZanCursorAccess, TwoConnectionsSeeEachOthersChanges) {
    TTempFile file("cursor_two.zan");
    CreateDatabaseFile(file.Path);
    auto db1 = NewDatabase(file.Path);
    db1->Open();
    CreatePeople(*db1);
    auto db2 = NewDatabase(file.Path);
    db2->Open();
    auto a = OpenCursor(*db1, "people", "ixId");
    auto b = OpenCursor(*db2, "people", "ixId");
    for (int i = 1; i <= 20; ++i)
        AddPerson(*a, i, "a" + std::to_string(i));
    EXPECT_EQ(b->GetTotalRecordCount(), 20);
    b->ClearRecord();
    b->DataSetSetFieldDataAsVariant(0, Variant(5));
    ASSERT_TRUE(b->Find(stEQ, "ixId"));
    std::vector<uint8_t> stale(b->GetRecBuf(), b->GetRecBuf() + b->GetRecBufSize());
    // a changes record 5; b's update of its older copy is refused, its delete answers -1.
    a->ClearRecord();
    a->DataSetSetFieldDataAsVariant(0, Variant(5));
    ASSERT_TRUE(a->Find(stEQ, "ixId"));
    a->DataSetSetFieldDataAsVariant(1, Variant("a-new"));
    a->UpdateRecord();
    b->DataSetSetFieldDataAsVariant(1, Variant("b-new"));
    EXPECT_EQ(ErrorCodeOf([&] { b->UpdateRecord(); }), 8708);
    b->SetRecordBuffer(stale.data(), int32_t(stale.size()));
    EXPECT_EQ(b->DeleteRecord(stale.data()), -1);
    ASSERT_TRUE(b->DataSetRefresh(b->GetRecBuf(), false));
    EXPECT_EQ(b->DataSetGetFieldDataAsVariant(1).AsString(), "a-new");
    // A block freed by one connection is reused by the other.
    b->ClearRecord();
    b->DataSetSetFieldDataAsVariant(0, Variant(7));
    ASSERT_TRUE(b->Find(stEQ, "ixId"));
    const uint32_t freed = b->DatasetGetRecAddr();
    ASSERT_EQ(b->DeleteRecord(nullptr), 0);
    AddPerson(*a, 99, "reuse");
    EXPECT_EQ(a->DatasetGetRecAddr(), freed);
    EXPECT_EQ(b->GetTotalRecordCount(), 20);
    b->ClearRecord();
    b->DataSetSetFieldDataAsVariant(0, Variant(99));
    EXPECT_TRUE(b->Find(stEQ, "ixId"));
    auto problems = CheckDatabase(*db1->GetDiskMgr(), {&a->GetTableDef()});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);

    // Another process adds and deletes; this one sees it at its next lock.
    a->DataSetClose();
    b->DataSetClose();
    TChildProcess child([&](TChildProcess& self) {
        auto db = NewDatabase(file.Path);
        db->Open();
        auto c = OpenCursor(*db, "people", "ixId");
        for (int i = 200; i < 210; ++i)
            AddPerson(*c, i, "child");
        c->ClearRecord();
        c->DataSetSetFieldDataAsVariant(0, Variant(1));
        if (!c->Find(stEQ, "ixId") || c->DeleteRecord(nullptr) != 0) return 2;
        self.Send('d');
        return self.Receive() == 'q' ? 0 : 3;
    });
    ASSERT_EQ(child.Receive(), 'd');
    auto c = OpenCursor(*db2, "people", "ixName");
    EXPECT_EQ(c->GetTotalRecordCount(), 29);
    c->ClearRecord();
    c->DataSetSetFieldDataAsVariant(1, Variant("child"));
    ASSERT_TRUE(c->Find(stGE, "ixName"));
    EXPECT_EQ(c->DataSetGetFieldDataAsVariant(1).AsString(), "child");
    child.Send('q');
    EXPECT_EQ(child.Wait(), 0);
}

TEST(ZanCursorAccess, PartialEqualSearchOnEitherKeyKind) {
    for (TIndexKeyType kind : {ikFixed, ikMinStringLen}) {
        SCOPED_TRACE(int(kind));
        auto db = MemoryDatabase();
        TTableDef def;
        def.SetTableName("kinds");
        def.SetMemory(true);
        AddTableField(def, "Name", ftString, 20);
        AddTableField(def, "Score", ftInteger);
        def.GetInternalFields()->SetDefaultOffsets();
        def.SetRecordSize(def.GetInternalFields()->GetRecordSize());
        AddTableIndex(def, "ix", "Name;Score", false, false, kind);
        db->CreateTable(def, false);
        auto c = OpenCursor(*db, "kinds", "ix");
        for (int i = 0; i < 30; ++i) {
            c->ClearRecord();
            c->DataSetSetFieldDataAsVariant(0, Variant(i % 3 == 0 ? "bb" : i % 3 == 1 ? "a" : "ccc"));
            c->DataSetSetFieldDataAsVariant(1, Variant(i));
            c->AddRecord(true);
        }
        // Equal on the leading field only, the rest at its lowest: the first "bb".
        TSearchModifier leading{true, 1};
        for (bool flagged : {false, true}) {
            c->ClearRecord();
            c->DataSetSetFieldDataAsVariant(0, Variant("bb"));
            if (flagged) c->SetNullIndexFieldsToRangeEnd(c->GetRecBuf(), "ix", rmRangeStart, {"Name"});
            ASSERT_TRUE(c->Find(stEQ, "ix", &leading));
            EXPECT_EQ(c->DataSetGetFieldDataAsVariant(0).AsString(), "bb");
            EXPECT_EQ(c->DataSetGetFieldDataAsVariant(1).AsInteger(), 0);
        }
        c->ClearRecord();
        c->DataSetSetFieldDataAsVariant(0, Variant("b"));
        EXPECT_FALSE(c->Find(stEQ, "ix", &leading));
        // A range over the leading field keeps every duplicate.
        c->InitializeRangeBuffers(rmRangeStart);
        c->InitializeRangeBuffers(rmRangeEnd);
        c->DataSetSetFieldDataToRecBufAsVariant(c->GetRangeRecBuf(rmRangeStart), 0, Variant("bb"));
        c->DataSetSetFieldDataToRecBufAsVariant(c->GetRangeRecBuf(rmRangeEnd), 0, Variant("bb"));
        c->SetRangeOn(true);
        EXPECT_EQ(c->GetCurrentRecordCount(), 10);
    }
}

TEST(ZanCursorAccess, ForeignAddressesAndPrivileges) {
    TTempFile file("cursor_foreign.zan");
    CreateDatabaseFile(file.Path);
    auto db = NewDatabase(file.Path);
    db->Open();
    CreatePeople(*db, "people");
    CreatePeople(*db, "others");
    auto c = OpenCursor(*db, "people", "ixId");
    auto o = OpenCursor(*db, "others", "ixId");
    for (int i = 1; i <= 5; ++i) {
        AddPerson(*c, i * 10, "p");
        AddPerson(*o, i, "o");
    }
    ASSERT_TRUE(c->DataSetFirst());
    std::vector<uint8_t> copy(c->GetRecBuf(), c->GetRecBuf() + c->GetRecBufSize());
    uint8_t bookmark[8];
    TZanDataSet::GetBookMarkFromBuf(c->GetRecBuf(), c->InternalGetRecordSize(), bookmark);
    EXPECT_TRUE(c->CheckBookMarkValid(bookmark));
    // Another table's record, an address beyond the file, a damaged prefix: all count as
    // deleted records, and positioning falls back to the nearest key.
    const uint32_t foreign = o->DatasetGetRecAddr();
    for (uint32_t address : {foreign, 0x7FFFFF00u, c->DatasetGetRecAddr() + 3}) {
        SCOPED_TRACE(address);
        PutLE32(bookmark, address);
        EXPECT_FALSE(c->CheckBookMarkValid(bookmark));
        ASSERT_TRUE(c->SetToRecord(address, copy.data(), true, false));
        EXPECT_EQ(c->DataSetGetFieldDataAsVariant(0).AsInteger(), 10);
    }
    // The logical number decides between a record and the slot's new tenant.
    TZanDataSet::GetBookMarkFromBuf(copy.data(), c->InternalGetRecordSize(), bookmark);
    PutLE32(bookmark + 4, 99);
    EXPECT_FALSE(c->CheckBookMarkValid(bookmark));

    // Privileges of fields: reading and writing refused with the field named.
    TInternalFieldItem& name = *c->GetInternalFields().GetField(1);
    name.SetPrivilegeFlags(0);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { c->DataSetGetFieldDataAsVariant(1); }, &message), 10624);
    EXPECT_NE(message.find("Name"), std::string::npos);
    EXPECT_EQ(ErrorCodeOf([&] { c->DataSetSetFieldDataAsVariant(1, Variant("x")); }), 10624);
    name.SetPrivilegeFlags(C_ALL_PRIVILEGES);
    // A negative length on a string is an internal fault, never a write.
    EXPECT_EQ(ErrorCodeOf([&] { c->DataSetSetFieldData(1, -1, false, "abc"); }), 8581);
    c->GetTableDef().SetPrivilegeFlags(0);
    EXPECT_EQ(ErrorCodeOf([&] { AddPerson(*c, 77, "n"); }), 10624);
    EXPECT_EQ(ErrorCodeOf([&] { c->DataSetEmptyTable(); }), 10624);
    c->GetTableDef().SetPrivilegeFlags(C_ALL_PRIVILEGES);
    c->DataSetEmptyTable();
    EXPECT_EQ(c->GetTotalRecordCount(), 0);
    EXPECT_FALSE(c->DataSetFirst());
    AddPerson(*c, 1, "again");
    EXPECT_EQ(GetLE32(c->GetRecBuf() + C_REC_LOGICAL_RECNO_OFFSET), 1u);
    EXPECT_EQ(o->GetTotalRecordCount(), 5);
    auto problems = CheckDatabase(*db->GetDiskMgr(), {&c->GetTableDef(), &o->GetTableDef()});
    EXPECT_TRUE(problems.empty()) << ProblemText(problems);
}
// Searches limited to the leading key fields, on fixed-size and variable-length index pages, over
// an ascending and a descending index of two nullable fields: every search type, key values
// with NULLs and NULLs flagged as range ends (below or above every value), against the
// entries read in index order. Variable-length pages compared every field and matched a NULL
// flagged as the lowest value with a stored NULL; fixed-size pages landed behind the leading
// fields' run when a NULL after them sorts last (descending), so that an equal search missed.
TEST(ZanCursorAccess, LimitedSearchesOnEitherKeyKind) {
    struct TEntry {
        std::optional<int32_t> A;
        std::optional<std::string> B;
        uint32_t Address;
    };
    for (const bool descending : {false, true})
        for (TIndexKeyType kind : {ikFixed, ikMinStringLen}) {
            SCOPED_TRACE(std::string(descending ? "descending " : "ascending ") +
                         (kind == ikFixed ? "fixed" : "variable"));
            auto db = MemoryDatabase();
            TTableDef def;
            def.SetTableName("kinds");
            def.SetMemory(true);
            AddTableField(def, "A", ftInteger);
            AddTableField(def, "B", ftString, 9);
            def.GetInternalFields()->SetDefaultOffsets();
            def.SetRecordSize(def.GetInternalFields()->GetRecordSize());
            AddTableIndex(def, "ix", "A;B", false, false, kind);
            for (int i = 0; i < def.GetKeyFields()->Count(); ++i)
                def.GetKeyFields()->Items(i)->SetDescending(descending);
            db->CreateTable(def, false);
            auto c = OpenCursor(*db, "kinds", "ix");
            const std::vector<std::optional<std::string>> strings = {std::nullopt, "", "a", "b"};
            for (int a = -1; a <= 3; ++a)
                for (const auto& b : strings)
                    for (int copy = 0; copy < (a + int(b ? b->size() : 3)) % 3 + 1; ++copy) {
                        c->ClearRecord();
                        if (a >= 0) c->DataSetSetFieldDataAsVariant(0, Variant(a));
                        if (b) c->DataSetSetFieldDataAsVariant(1, Variant(*b));
                        c->AddRecord(true);
                    }
            std::vector<TEntry> order;
            for (bool more = c->DataSetFirst(); more; more = c->DataSetNext()) {
                const Variant a = c->DataSetGetFieldDataAsVariant(0);
                const Variant b = c->DataSetGetFieldDataAsVariant(1);
                order.push_back(
                    {VarIsNull(a) ? std::nullopt : std::optional<int32_t>(a.AsInteger()),
                     VarIsNull(b) ? std::nullopt : std::optional<std::string>(b.AsString()),
                     c->DatasetGetRecAddr()});
            }
            ASSERT_GT(order.size(), 30u);
            for (int a = -1; a <= 4; ++a)
                for (const auto& b : {std::optional<std::string>(), std::optional<std::string>("a"),
                                      std::optional<std::string>("c")})
                    for (int count = 0; count <= 2; ++count)
                        for (int flag = 0; flag < 3; ++flag) {
                            // The key against an entry over the leading fields: a flagged NULL
                            // lies below (1) or above (2) every entry, in index order.
                            const int fields = count == 0 ? 2 : count;
                            auto compare = [&](const TEntry& e) {
                                for (int i = 0; i < fields; ++i) {
                                    const bool keyNull = i == 0 ? a < 0 : !b;
                                    if (keyNull && flag) return flag == 1 ? -1 : 1;
                                    const bool entryNull = i == 0 ? !e.A : !e.B;
                                    int d = int(!keyNull) - int(!entryNull);
                                    if (d == 0 && !keyNull)
                                        d = i == 0 ? (a > *e.A) - (a < *e.A)
                                                   : (*b > *e.B) - (*b < *e.B);
                                    if (descending) d = -d;
                                    if (d != 0) return d;
                                }
                                return 0;
                            };
                            for (TIndexSearchType type : {stLT, stLE, stEQ, stGE, stGT}) {
                                int64_t expected = -1;
                                for (const TEntry& e : order) {
                                    const int d = compare(e);
                                    if (type == stLT && d > 0) expected = e.Address;
                                    if (type == stLE && d >= 0) expected = e.Address;
                                    if (expected < 0 &&
                                        ((type == stEQ && d == 0) || (type == stGE && d <= 0) ||
                                         (type == stGT && d < 0)))
                                        expected = e.Address;
                                }
                                c->ClearRecord();
                                if (a >= 0) c->DataSetSetFieldDataAsVariant(0, Variant(a));
                                if (b) c->DataSetSetFieldDataAsVariant(1, Variant(*b));
                                if (flag)
                                    c->SetNullIndexFieldsToRangeEnd(
                                        c->GetRecBuf(), "ix", flag == 1 ? rmRangeStart : rmRangeEnd,
                                        {});
                                TSearchModifier limited{true, count};
                                const int64_t got = c->Find(type, "ix", &limited)
                                                        ? int64_t(c->DatasetGetRecAddr())
                                                        : -1;
                                ASSERT_EQ(got, expected)
                                    << "A " << a << " B " << (b ? *b : "NULL") << " fields "
                                    << count << " flag " << flag << " type " << int(type);
                            }
                        }
        }
}
