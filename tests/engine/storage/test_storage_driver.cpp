// The storage engine end to end, without the dataset layer: tables created through the table
// definition managers, records with two indexes and blobs written under header and table locks,
// deletes and re-inserts, transactions with a rollback, a reopen; after every phase the
// consistency checker must find nothing and the tables must equal an in-memory model.
//
// ZAN_DRIVER_RECORDS sets the record count of the main table. The default keeps the strong
// (cipher) variant under a minute in the sanitizer build; 100000 is the full local run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "engine/storage/zanConsts.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "engine/storage/zanTableMgrUnit.h"
#include "host/win/child_process.h"
#include "support/zanChecker.h"
#include "support/zanOpenTable.h"

using namespace zan;

namespace {

int32_t DriverRecords() {
    const char* text = std::getenv("ZAN_DRIVER_RECORDS");
    const int32_t n = text ? std::atoi(text) : 0;
    return n > 0 ? n : 2000;
}

struct TRow {
    std::string Name;
    std::string Note;
    uint32_t Address = 0;
};
using TModel = std::map<int32_t, TRow>;

std::string NameOf(int32_t id) {
    return "n" + std::to_string(id * 7919 % 1000) + "-" + std::to_string(id);
}
// Every fifth row has a note, up to a few blob blocks long.
std::string NoteOf(int32_t id, int32_t round) {
    if (id % 5 != 0) return {};
    std::string note(static_cast<size_t>((id * 37 + round * 101) % 2500 + 1), '\0');
    for (size_t i = 0; i < note.size(); ++i)
        note[i] = static_cast<char>('a' + (id + round + int32_t(i)) % 26);
    return note;
}

// One opened table: its definition copy, indexes and blob chains, driven as a cursor would
// drive them (header refreshed under the table write lock, heads written back on release).
class TDriverTable : public TOpenTable {
public:
    TDriverTable(TBaseTableDefMgr& mgr, TDiskMgr* disk, const std::string& name, TTableDef& stored)
        : TOpenTable(mgr, name, stored), FDisk(disk) {}

    // A batch of changes under the table write lock.
    template <class F>
    void Batch(F f) {
        if (FDisk) {
            FDisk->SetTableLock(static_cast<uint16_t>(FDef.GetTableID()), ZanLockWrite);
            FDisk->SetHeaderWriteLock();
        }
        TTableHeader& h = *FDef.GetTableHeader();
        if (FDisk) h.ReadHeader();
        LoadFreeHeads();
        FIndexes.ReadIndexHeaders(true);
        f();
        FIndexes.WriteIndexHeaders();
        StoreFreeHeads();
        h.WriteHeader();
        if (FDisk) {
            FDisk->ReleaseHeaderLock();
            FDisk->ReleaseTableLock(static_cast<uint16_t>(FDef.GetTableID()));
        }
    }

    void Insert(TModel& model, int32_t id, int32_t round) {
        TInternalFields& fields = *FDef.GetInternalFields();
        std::vector<uint8_t> rec(static_cast<size_t>(FDef.GetRecordSize()), 0);
        NewRecordPrefix(rec.data());
        RecordSetInteger(rec.data(), *fields.Items(0), id);
        RecordSetString(rec.data(), *fields.Items(1), NameOf(id));
        TRow row{NameOf(id), NoteOf(id, round), 0};
        if (!row.Note.empty()) {
            TStringStream note(row.Note);
            const uint32_t head = FBlob.InsertBlob(note);
            RecordSetBlobRef(rec.data(), *fields.Items(2), head, uint32_t(row.Note.size()));
        }
        row.Address =
            FDef.GetRecordInterface()->AllocateNewAddress(uint32_t(rec.size()), rec.data());
        for (int i = 0; i < FIndexes.Count(); ++i) {
            FIndexes.Items(i)->CreateKeyBuffer(rec.data());
            ASSERT_EQ(FIndexes.Items(i)->InsertKey(row.Address), 0);
        }
        model[id] = row;
    }

    void Delete(TModel& model, int32_t id) {
        auto it = model.find(id);
        ASSERT_NE(it, model.end());
        const uint32_t size = static_cast<uint32_t>(FDef.GetRecordSize());
        std::vector<uint8_t> rec(size);
        FDef.GetRecordInterface()->ReadBlock(it->second.Address, size, rec.data());
        for (int i = 0; i < FIndexes.Count(); ++i) {
            TIndexItem* index = FIndexes.Items(i);
            index->CreateKeyBuffer(rec.data());
            ASSERT_EQ(index->FullIndexSearch(stEQ), 0);
            ASSERT_EQ(index->GetRecordAddress(), it->second.Address);
            ASSERT_EQ(index->DeleteKey(), 0);
        }
        uint32_t head = 0, length = 0;
        RecordGetBlobRef(rec.data(), *FDef.GetInternalFields()->Items(2), head, length);
        if (head != 0) FBlob.DeleteBlob(head, length);
        FDef.GetRecordInterface()->ReleaseBlock(it->second.Address, size);
        model.erase(it);
    }

    // Every row as the model has it, and the unique index in model order.
    void Compare(const TModel& model) {
        TInternalFields& fields = *FDef.GetInternalFields();
        const uint32_t size = static_cast<uint32_t>(FDef.GetRecordSize());
        std::vector<uint8_t> rec(size);
        FIndexes.ReadIndexHeaders(true);
        for (const auto& [id, row] : model) {
            FDef.GetRecordInterface()->ReadBlock(row.Address, size, rec.data());
            ASSERT_EQ(rec[0], 1) << id;
            ASSERT_EQ(RecordGetInteger(rec.data(), *fields.Items(0)), id);
            ASSERT_EQ(RecordGetString(rec.data(), *fields.Items(1)), row.Name);
            uint32_t head = 0, length = 0;
            RecordGetBlobRef(rec.data(), *fields.Items(2), head, length);
            TStringStream note;
            if (head != 0) FBlob.ReadBlob(head, note, length);
            ASSERT_EQ(note.DataString(), row.Note) << id;
        }
        TIndexItem* byId = FIndexes.FindIndex("ById");
        ASSERT_EQ(byId->GetRecordCount(), model.size());
        ASSERT_EQ(FIndexes.FindIndex("ByName")->GetRecordCount(), model.size());
        uint32_t recNo = 1;
        for (const auto& [id, row] : model) {
            if (id % 97 != 0 && recNo != 1) { // a sample of positions keeps this cheap
                ++recNo;
                continue;
            }
            ASSERT_EQ(byId->SetRecordNo(recNo), row.Address) << recNo;
            ++recNo;
        }
    }

private:
    TDiskMgr* FDisk;
};

const char* const C_TABLE_NAMES[] = {"plain", "weak", "strong"};

// The checker's view of every table of the file.
std::vector<std::string> CheckAll(TTestDatabase& db,
                                  std::vector<std::unique_ptr<TDriverTable>>& t) {
    std::vector<const TTableDef*> defs;
    for (auto& table : t)
        defs.push_back(&table->Def());
    return CheckDatabase(db.Disk(), defs);
}

// Runs the workload of one phase on a table: insert n rows from first.
void InsertRange(TDriverTable& t, TModel& m, int32_t first, int32_t n, int32_t round,
                 int32_t batch = 500) {
    for (int32_t i = 0; i < n; i += batch)
        t.Batch([&] {
            for (int32_t k = i; k < std::min(n, i + batch); ++k)
                t.Insert(m, first + k, round);
        });
}

void DeleteEverySecond(TDriverTable& t, TModel& m, int32_t batch = 500) {
    std::vector<int32_t> ids;
    for (auto& [id, row] : m)
        if (id % 2 == 0) ids.push_back(id);
    for (size_t i = 0; i < ids.size(); i += size_t(batch))
        t.Batch([&] {
            for (size_t k = i; k < std::min(ids.size(), i + size_t(batch)); ++k)
                t.Delete(m, ids[k]);
        });
}

class StorageDriver : public ::testing::TestWithParam<TEncryptionLevel> {};

} // namespace

TEST_P(StorageDriver, DiskTablesThroughEveryPhase) {
    const TEncryptionLevel main = GetParam();
    const int32_t n = DriverRecords();
    TTempFile file(std::string("driver_") + C_TABLE_NAMES[main] + ".zan");
    TTestDatabase db(file.Path);
    db.Create();
    db.Open();
    std::vector<std::unique_ptr<TTableDef>> stored;
    for (int level = 0; level < 3; ++level) {
        auto def = std::make_unique<TTableDef>();
        BuildSampleTableDef(*def, static_cast<TEncryptionLevel>(level));
        def->SetTableName(C_TABLE_NAMES[level]);
        db.UserTables().CreateTableDef(C_TABLE_NAMES[level], *def);
        stored.push_back(std::move(def));
    }
    std::vector<std::unique_ptr<TDriverTable>> tables;
    auto openAll = [&] {
        for (int level = 0; level < 3; ++level)
            tables.push_back(std::make_unique<TDriverTable>(db.UserTables(), &db.Disk(),
                                                            C_TABLE_NAMES[level], *stored[level]));
    };
    openAll();
    std::vector<TModel> models(3);
    auto count = [&](int level) { return level == main ? n : std::max(n / 20, 50); };
    auto checkPhase = [&](const char* phase) {
        auto problems = CheckAll(db, tables);
        ASSERT_TRUE(problems.empty()) << phase << "\n" << ProblemText(problems);
        for (int level = 0; level < 3; ++level) {
            SCOPED_TRACE(std::string(phase) + " " + C_TABLE_NAMES[level]);
            tables[size_t(level)]->Compare(models[size_t(level)]);
        }
    };

    for (int level = 0; level < 3; ++level)
        InsertRange(*tables[size_t(level)], models[size_t(level)], 0, count(level), 0);
    checkPhase("insert");

    for (int level = 0; level < 3; ++level)
        DeleteEverySecond(*tables[size_t(level)], models[size_t(level)]);
    checkPhase("delete half");

    // Re-insert the deleted half: the space is reused.
    const uint64_t sizeBefore = db.Disk().GetFileSize();
    for (int level = 0; level < 3; ++level)
        for (int32_t i = 0; i < count(level); i += 1000) {
            tables[size_t(level)]->Batch([&] {
                for (int32_t k = i; k < std::min(count(level), i + 1000); k += 2)
                    tables[size_t(level)]->Insert(models[size_t(level)], k, 1);
            });
        }
    checkPhase("re-insert");
    EXPECT_LE(db.Disk().GetFileSize(), sizeBefore + sizeBefore / 10);

    // A committed transaction over all three tables, then one that is rolled back.
    db.Disk().DiskStartTransaction(false);
    for (int level = 0; level < 3; ++level) {
        TDriverTable& t = *tables[size_t(level)];
        InsertRange(t, models[size_t(level)], count(level), count(level) / 10, 2);
        t.Batch([&] {
            for (int32_t id = 1; id < count(level); id += 6)
                if (models[size_t(level)].count(id)) t.Delete(models[size_t(level)], id);
        });
    }
    db.Disk().DiskCommit();
    checkPhase("committed transaction");

    std::vector<TModel> before = models;
    db.Disk().DiskStartTransaction(false);
    for (int level = 0; level < 3; ++level) {
        TDriverTable& t = *tables[size_t(level)];
        InsertRange(t, models[size_t(level)], 2 * count(level), count(level) / 10, 3);
        DeleteEverySecond(t, models[size_t(level)]);
    }
    db.Disk().DiskRollback();
    models = before;
    checkPhase("rolled back transaction");

    // Close and reopen: the file holds what the model holds.
    tables.clear();
    db.Close();
    db.Open();
    openAll();
    checkPhase("reopen");
    tables.clear();
    db.Close();
}

INSTANTIATE_TEST_SUITE_P(Levels, StorageDriver, ::testing::Values(encNone, encWeak, encStrong),
                         [](const auto& info) { return std::string(C_TABLE_NAMES[info.param]); });

TEST(StorageDriver, MemoryTables) {
    const int32_t n = DriverRecords();
    TMemoryTableDefMgr mgr;
    mgr.Open();
    TTableDef def;
    BuildSampleTableDef(def, encNone, true);
    def.SetTableName("mem");
    mgr.CreateTableDef("mem", def);
    TModel model;
    {
        TDriverTable t(mgr, nullptr, "mem", def);
        auto check = [&](const char* phase) {
            auto problems = CheckMemoryTable(t.Def());
            ASSERT_TRUE(problems.empty()) << phase << "\n" << ProblemText(problems);
            SCOPED_TRACE(phase);
            t.Compare(model);
        };
        InsertRange(t, model, 0, n, 0);
        check("insert");
        DeleteEverySecond(t, model);
        check("delete half");
        InsertRange(t, model, n, n / 2, 1);
        check("re-insert");
    }
    // The memory master keeps the rows after its last opener closed.
    TDriverTable again(mgr, nullptr, "mem", def);
    auto problems = CheckMemoryTable(again.Def());
    ASSERT_TRUE(problems.empty()) << ProblemText(problems);
    again.Compare(model);
}

// The checker itself finds damage: a leaked index page, a record that lost its in-use byte, a
// blob chain shorter than its record says.
TEST(StorageChecker, ReportsLeaksLostRecordsAndShortBlobs) {
    TTempFile file("checker_damage.zan");
    TTestDatabase db(file.Path);
    db.Create();
    db.Open();
    TTableDef def;
    BuildSampleTableDef(def);
    def.SetTableName("t");
    db.UserTables().CreateTableDef("t", def);
    TModel model;
    auto t = std::make_unique<TDriverTable>(db.UserTables(), &db.Disk(), "t", def);
    InsertRange(*t, model, 0, 200, 0);
    auto problems = CheckDatabase(db.Disk(), {&t->Def()});
    ASSERT_TRUE(problems.empty()) << ProblemText(problems);
    const uint32_t id = uint32_t(t->Def().GetTableID());

    std::vector<uint8_t> page(4096, 0);
    db.Disk().WriteNewPages(id, C_USAGE_INDEX, 1, 1, page.data());
    const uint32_t victim = model.at(3).Address;
    uint8_t zero = 0;
    t->Def().GetRecordInterface()->WriteBlock(victim, 1, &zero);
    const uint32_t size = uint32_t(t->Def().GetRecordSize());
    std::vector<uint8_t> rec(size);
    const uint32_t withNote = model.at(10).Address;
    t->Def().GetRecordInterface()->ReadBlock(withNote, size, rec.data());
    uint32_t head = 0, length = 0;
    RecordGetBlobRef(rec.data(), *t->Def().GetInternalFields()->Items(2), head, length);
    RecordSetBlobRef(rec.data(), *t->Def().GetInternalFields()->Items(2), head, length + 1);
    t->Def().GetRecordInterface()->WriteBlock(withNote, size, rec.data());

    problems = CheckDatabase(db.Disk(), {&t->Def()});
    const std::string text = ProblemText(problems);
    EXPECT_NE(text.find("is in no tree"), std::string::npos) << text;
    EXPECT_NE(text.find("is no live record"), std::string::npos) << text;
    EXPECT_NE(text.find("the record says"), std::string::npos) << text;
    t.reset();
    db.Close();
}
