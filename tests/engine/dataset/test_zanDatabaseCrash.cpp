// A process killed inside a table create, a cursor's record add or a table restructure leaves the
// database as it was before or as it is after, never between: each runs in one write scope,
// committed through the journal. The child is killed at a spread of the change's crash points
// (journal and database writes, syncs, truncations); the reopened file is checked and its state
// judged.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>

#include "dataset_test_support.h"
#include "engine/storage/zanJournal.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

constexpr int32_t C_BASE_ROWS = 40;

std::unique_ptr<TZanDataSet> OpenCursor(TZanDataBase& db, const std::string& name) {
    auto c = std::make_unique<TZanDataSet>();
    c->SetDataBase(&db);
    c->SetTableName(name);
    c->DataSetOpen();
    return c;
}

void AddRow(TZanDataSet& c, int32_t id) {
    c.ClearRecord();
    c.InitializeNewRecord(c.GetRecBuf(), false);
    c.DataSetSetFieldDataAsVariant(0, Variant(id));
    c.DataSetSetFieldDataAsVariant(1, Variant(std::string("row ") + std::to_string(id)));
    c.AddRecord(false);
}

// The base file: table "t" (a unique integer key and a string) holding C_BASE_ROWS rows.
void MakeBase(const std::string& path) {
    CreateDatabaseFile(path);
    auto db = NewDatabase(path);
    db->Open();
    {
        TZanDataSet c;
        c.SetDataBase(db.get());
        c.SetTableName("t");
        TFieldDefs fields;
        fields.Add("Id", ftInteger, 0, true);
        fields.Add("Name", ftString, 20);
        TIndexDefs indexes;
        indexes.Add("ixId", "Id", {ixUnique});
        indexes.Add("ixName", "Name", {});
        c.SetTableDef(false, fields, indexes);
        c.InternalCreateTable();
    }
    auto c = OpenCursor(*db, "t");
    for (int32_t id = 0; id < C_BASE_ROWS; ++id)
        AddRow(*c, id);
}

// Tells the state of a change that keeps the tables and rows of "t" ("before", "after").
using TStateOf = std::function<std::string(TZanDataBase&)>;

// Reopens the file and judges it: empty when the checker is content and the file is in one of
// the two states; the state found ("before" or "after") goes to state.
std::string Judge(const std::string& path, bool createsTable, std::string& state,
                  const TStateOf& stateOf = nullptr) {
    try {
        auto db = NewDatabase(path);
        db->Open();
        const std::vector<std::string> names = TableNames(*db);
        TTableDef ref, gen, t, b;
        db->OpenTable("$SYSTBL_OBJECTIDREF", ref);
        db->OpenTable("$SYSTBL_INTGENERATOR", gen);
        db->OpenTable("t", t);
        std::vector<const TTableDef*> defs{&ref, &gen, &t};
        const bool hasB = names.size() == 2;
        if (hasB) {
            db->OpenTable("b", b);
            defs.push_back(&b);
        }
        const auto problems = CheckDatabase(*db->GetDiskMgr(), defs);
        for (TTableDef* d : {&b, &t, &gen, &ref})
            if (d != &b || hasB) db->CloseTable(*d);
        if (!problems.empty()) return ProblemText(problems);
        auto c = OpenCursor(*db, "t");
        const int32_t rows = c->GetTotalRecordCount();
        if (createsTable) {
            if (rows != C_BASE_ROWS) return "t has " + std::to_string(rows) + " rows";
            if (names != std::vector<std::string>{"t"} &&
                names != std::vector<std::string>{"b", "t"})
                return "unexpected tables";
            state = hasB ? "after" : "before";
        } else {
            if (names != std::vector<std::string>{"t"}) return "unexpected tables";
            if (rows != C_BASE_ROWS && rows != C_BASE_ROWS + 1)
                return "t has " + std::to_string(rows) + " rows";
            state = rows == C_BASE_ROWS ? "before" : "after";
        }
        if (stateOf) state = stateOf(*db);
        return {};
    } catch (const std::exception& e) {
        return std::string("cannot read: ") + e.what();
    }
}

void RemoveSideFiles(const std::string& path) {
    unlink(UsersFileNameFor(path).c_str());
    unlink(JournalFileNameFor(path).c_str());
    const std::string backup = ChangeFileExt(path, ".zdx");
    unlink(backup.c_str());
    unlink(UsersFileNameFor(backup).c_str());
}

// Runs change on a connection to path with the kill armed at point killAt (0: not armed) and
// answers the crash points the change passed.
uint64_t RunChange(const std::string& path, uint64_t killAt,
                   const std::function<void(TZanDataBase&)>& change) {
    auto db = NewDatabase(path);
    db->Open();
    const uint64_t start = ZanCrashPointCount();
    ZanArmCrashPoint(killAt, killAt % 2 == 0);
    change(*db);
    ZanArmCrashPoint(0);
    return ZanCrashPointCount() - start;
}

void KillAcrossTheChange(bool createsTable, const std::function<void(TZanDataBase&)>& change,
                         const TStateOf& stateOf = nullptr) {
    TTempFile base("dbcrash_base.zan");
    MakeBase(base.Path);
    RemoveSideFiles(base.Path);
    TTempFile whole("dbcrash_whole.zan");
    std::filesystem::copy_file(base.Path, whole.Path);
    const uint64_t total = RunChange(whole.Path, 0, change);
    std::string state;
    ASSERT_EQ(Judge(whole.Path, createsTable, state, stateOf), "");
    ASSERT_EQ(state, "after");
    ASSERT_GT(total, 2u);
    RemoveSideFiles(whole.Path);
    std::set<std::string> seen;
    for (uint64_t k = 1; k <= 10; ++k) {
        const uint64_t n = std::max<uint64_t>(1, total * k / 10);
        TTempFile trial("dbcrash_trial.zan");
        std::filesystem::copy_file(base.Path, trial.Path);
        TChildProcess child([&](TChildProcess&) {
            RunChange(trial.Path, n, change);
            return 0;
        });
        child.Wait();
        EXPECT_EQ(Judge(trial.Path, createsTable, state, stateOf), "")
            << "killed at point " << n << " of " << total;
        seen.insert(state);
        RemoveSideFiles(trial.Path);
    }
    EXPECT_TRUE(seen.count("before")) << "no kill left the old state";
}

} // namespace

TEST(DatabaseCrash, KilledTableCreateLeavesNoTableOrAWholeOne) {
    KillAcrossTheChange(true, [](TZanDataBase& db) { CreateUserTable(db, "b"); });
}

TEST(DatabaseCrash, KilledRecordAddLeavesTheRowOutOrWhole) {
    KillAcrossTheChange(false, [](TZanDataBase& db) {
        auto c = OpenCursor(db, "t");
        AddRow(*c, 1000);
    });
}

TEST(DatabaseCrash, KilledRestructureLeavesTheOldLayoutOrTheNew) {
    KillAcrossTheChange(
        false,
        [](TZanDataBase& db) {
            db.Close();
            db.SetExclusive(true);
            db.Open();
            TZanTable t;
            t.SetDataBase(&db);
            t.SetTableName("t");
            t.Open();
            t.GetRestructureFieldDefs().AddAndSetFieldDef("Extra", ftInteger, 0);
            t.Close();
            t.RestructureTable({});
        },
        [](TZanDataBase& db) {
            TTableDef def;
            db.QueryTableDef("t", false, def);
            const int32_t fields = def.GetInternalFields()->Count();
            return fields == 2 ? "before" : fields == 3 ? "after" : "neither";
        });
}
