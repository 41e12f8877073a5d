// A process killed inside a table create, a cursor's record add or a table component's change
// (post of an insert or edit, delete, blob write-back, generator draw) leaves the database as it
// was before or as it is after, never between: each runs in one write scope, committed through
// the journal. The child is killed at a spread of the change's crash points (journal and database
// writes, syncs, truncations); the reopened file is checked and its state judged.
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
        fields.Add("Note", ftMemo);
        TIndexDefs indexes;
        indexes.Add("ixId", "Id", {ixUnique});
        indexes.Add("ixName", "Name", {});
        c.SetTableDef(false, fields, indexes);
        c.InternalCreateTable();
    }
    auto c = OpenCursor(*db, "t");
    for (int32_t id = 0; id < C_BASE_ROWS; ++id)
        AddRow(*c, id);
    db->CreateGenerator("G", 100, 7);
}

// Everything a table component change could touch: every row of t with its memo, and the
// generator's value.
std::string Fingerprint(TZanDataBase& db) {
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName("t");
    t.SetIndexName("ixId");
    t.Open();
    std::string text;
    for (t.First(); !t.GetEOF(); t.Next()) {
        const std::string note = t.FieldByName("Note")->GetAsString();
        text += t.FieldByName("Id")->GetAsString() + "|" + t.FieldByName("Name")->GetAsString() +
                "|" + std::to_string(note.size()) + ":" + std::to_string(std::hash<std::string>{}(note)) +
                "\n";
    }
    return text + "G=" + std::to_string(db.GetGeneratorValue("G", true));
}

// Reopens the file and judges it: empty when the checker is content and the file is in one of
// the two states; the state found ("before" or "after") goes to state.
// With fingerprints (before, after), the file must show one of them.
using TFingerprints = std::pair<std::string, std::string>;
std::string Judge(const std::string& path, bool createsTable, std::string& state,
                  const TFingerprints* fingerprints = nullptr) {
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
        if (fingerprints) {
            const std::string now = Fingerprint(*db);
            if (now != fingerprints->first && now != fingerprints->second)
                return "neither the old nor the new rows:\n" + now;
            state = now == fingerprints->first ? "before" : "after";
            return {};
        }
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
        return {};
    } catch (const std::exception& e) {
        return std::string("cannot read: ") + e.what();
    }
}

void RemoveSideFiles(const std::string& path) {
    unlink(UsersFileNameFor(path).c_str());
    unlink(JournalFileNameFor(path).c_str());
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

std::string FingerprintOf(const std::string& path) {
    auto db = NewDatabase(path);
    db->Open();
    return Fingerprint(*db);
}

void KillAcrossTheChange(bool createsTable, const std::function<void(TZanDataBase&)>& change,
                         bool byFingerprint = false) {
    TTempFile base("dbcrash_base.zan");
    MakeBase(base.Path);
    RemoveSideFiles(base.Path);
    TTempFile whole("dbcrash_whole.zan");
    std::filesystem::copy_file(base.Path, whole.Path);
    const uint64_t total = RunChange(whole.Path, 0, change);
    TFingerprints prints;
    const TFingerprints* judgeBy = nullptr;
    if (byFingerprint) {
        prints = {FingerprintOf(base.Path), FingerprintOf(whole.Path)};
        RemoveSideFiles(base.Path);
        ASSERT_NE(prints.first, prints.second);
        judgeBy = &prints;
    }
    std::string state;
    ASSERT_EQ(Judge(whole.Path, createsTable, state, judgeBy), "");
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
        EXPECT_EQ(Judge(trial.Path, createsTable, state, judgeBy), "")
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

// The table component's writes, each killed across its crash points.
TEST(DatabaseCrash, KilledTableComponentChangesLeaveAllOrNothing) {
    struct TCase {
        const char* Name;
        std::function<void(TZanTable&, TZanDataBase&)> Change;
    };
    const std::vector<TCase> cases{
        {"insert",
         [](TZanTable& t, TZanDataBase&) {
             t.AppendRecord({Variant(1000), Variant("new row")});
         }},
        {"edit",
         [](TZanTable& t, TZanDataBase&) {
             ASSERT_TRUE(t.FindKey({Variant(5)}));
             t.Edit();
             t.FieldByName("Name")->SetAsString("changed");
             t.Post();
         }},
        {"delete",
         [](TZanTable& t, TZanDataBase&) {
             ASSERT_TRUE(t.FindKey({Variant(7)}));
             t.Delete();
         }},
        {"blob write-back",
         [](TZanTable& t, TZanDataBase&) {
             ASSERT_TRUE(t.FindKey({Variant(3)}));
             t.Edit();
             {
                 auto stream = t.CreateBlobStream(t.FieldByName("Note"), bmWrite);
                 const std::string text(60000, 'm');
                 stream->Write(text.data(), int32_t(text.size()));
             }
             t.Post();
         }},
        {"generator draw",
         [](TZanTable&, TZanDataBase& db) { db.GetGeneratorValue("G", false); }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        KillAcrossTheChange(
            false,
            [&](TZanDataBase& db) {
                TZanTable t;
                t.SetDataBase(&db);
                t.SetTableName("t");
                t.SetIndexName("ixId");
                t.Open();
                c.Change(t, db);
            },
            true);
    }
}
