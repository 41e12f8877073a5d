// A process killed inside a table create, a cursor's record add, a table component's change
// (post of an insert or edit, delete, blob write-back, generator draw) or a table restructure
// leaves the database as it was before or as it is after, never between: each runs in one write
// scope, committed through the journal. The child is killed at a spread of the change's crash
// points (journal and database writes, syncs, truncations); the reopened file is checked and its
// state judged.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

#include "dataset_test_support.h"
#include "engine/storage/zanJournal.h"
#include "host/rtl/ScopeExit.h"
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
    t.UpdateIndexDefs();
    for (int i = 0; i < t.GetIndexDefs().Count(); ++i)
        text += "index " + t.GetIndexDefs().Items(i).GetName() + "\n";
    return text + "G=" + std::to_string(db.GetGeneratorValue("G", true)) +
           " fields=" + std::to_string(t.GetFieldCount());
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

namespace {

// Transactions of inserts (the file grows), deletes and a memo rewrite, then a post outside a
// transaction, in sizes drawn from the seed; after each commit report is called.
void PowerCutWorkload(TZanDataBase& db, uint32_t seed, int commits,
                      const std::function<void()>& report) {
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName("t");
    t.SetIndexName("ixId");
    t.Open();
    auto draw = [&seed](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    for (int k = 0; k < commits; ++k) {
        db.StartTransaction();
        const int rows = 1 + int(draw(30));
        for (int i = 0; i < rows; ++i)
            t.AppendRecord({Variant(1000 + k * 100 + i), Variant("k" + std::to_string(k))});
        for (int i = int(draw(4)); i > 0; --i)
            if (t.FindKey({Variant(int(draw(C_BASE_ROWS)))})) t.Delete();
        if (t.FindKey({Variant(30 + k)})) {
            t.Edit();
            t.FieldByName("Note")->SetAsString(std::string(100 + draw(6000), char('a' + k)));
            t.Post();
        }
        db.Commit();
        report();
    }
    t.AppendRecord({Variant(9999), Variant("alone")});
    report();
}

// The power cut is simulated from the syncs observed, so the files may as well live in memory
// (where a sync costs nothing) when the machine offers it.
struct TFastTempFile {
    explicit TFastTempFile(const std::string& name)
        : Path(std::filesystem::is_directory("/dev/shm")
                   ? "/dev/shm/" + std::to_string(getpid()) + "_" + name
                   : TestTempPath(name)) {
        unlink(Path.c_str());
    }
    ~TFastTempFile() { unlink(Path.c_str()); }
    std::string Path;
};

// The images of the database file and its journal (absent: nullopt) that were on the disk,
// that is synced, at some moment.
struct TDurable {
    std::optional<std::vector<uint8_t>> Db, Journal;
};

} // namespace

// Power cuts: every write not yet synced is lost at the cut. A run with syncs on records what
// is on the disk after each sync, and the commits reported before each crash point; a cut at
// any point leaves the disk as the last sync before it did. Recovery from that must show
// exactly the transactions committed before the cut, or one more whose commit was under way.
TEST(DatabaseCrash, PowerCutsKeepExactlyTheCommittedTransactions) {
    constexpr int C_WORKLOADS = 10, C_CUTS = 10, C_COMMITS = 4;
    TTempFile base("powercut_base.zan");
    MakeBase(base.Path);
    RemoveSideFiles(base.Path);
    const std::vector<uint8_t> baseImage = ReadFileBytes(base.Path);
    std::set<int> seen;
    int cuts = 0;
    for (uint32_t seed = 1; seed <= C_WORKLOADS; ++seed) {
        TFastTempFile run("powercut_run.zan");
        WriteFileBytes(run.Path, baseImage);
        const std::string runJournal = JournalFileNameFor(run.Path);
        // After each sync: the crash point count and the disk; after each commit: the count
        // and the state the table shows.
        std::vector<std::pair<uint64_t, TDurable>> syncs{{0, TDurable{baseImage, std::nullopt}}};
        std::vector<std::pair<uint64_t, std::string>> states;
        {
            auto db = NewDatabase(run.Path);
            db->Open();
            db->GetDiskMgr()->SetSyncCommits(true);
            states.emplace_back(0, Fingerprint(*db));
            const uint64_t start = ZanCrashPointCount();
            ZanSetSyncObserver([&](int fd) {
                char link[64];
                std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
                const std::string path = std::filesystem::read_symlink(link).string();
                TDurable disk = syncs.back().second;
                (path == run.Path ? disk.Db : disk.Journal) = ReadFileBytes(path);
                syncs.emplace_back(ZanCrashPointCount() - start, std::move(disk));
            });
            TScopeExit unobserve([] { ZanSetSyncObserver(nullptr); });
            PowerCutWorkload(*db, seed, C_COMMITS, [&] {
                const uint64_t at = ZanCrashPointCount() - start;
                states.emplace_back(at, Fingerprint(*db));
            });
            states.emplace_back(ZanCrashPointCount() - start, "");
            db->Close();
        }
        RemoveSideFiles(run.Path);
        const uint64_t total = states.back().first;
        states.pop_back();
        ASSERT_GT(syncs.size(), size_t(C_COMMITS));
        for (int c = 0; c < C_CUTS; ++c, ++cuts) {
            // The cut comes just before crash point cutAt.
            const uint64_t cutAt = 1 + (uint64_t(seed) * 7919 + uint64_t(c) * 104729) % total;
            const TDurable* disk = nullptr;
            for (const auto& [at, d] : syncs)
                if (at < cutAt) disk = &d;
            int committed = 0;
            for (size_t i = 1; i < states.size(); ++i)
                if (states[i].first < cutAt) committed = int(i);
            TFastTempFile trial("powercut_trial.zan");
            const std::string journal = JournalFileNameFor(trial.Path);
            WriteFileBytes(trial.Path, *disk->Db);
            unlink(journal.c_str());
            if (disk->Journal) WriteFileBytes(journal, *disk->Journal);
            std::string found;
            try {
                auto db = NewDatabase(trial.Path);
                db->Open();
                TTableDef t;
                db->OpenTable("t", t);
                const auto problems = CheckDatabase(*db->GetDiskMgr(), {&t});
                db->CloseTable(t);
                ASSERT_TRUE(problems.empty()) << ProblemText(problems) << " cut at " << cutAt;
                found = Fingerprint(*db);
            } catch (const std::exception& e) {
                FAIL() << "seed " << seed << ", cut at " << cutAt << ": " << e.what();
            }
            RemoveSideFiles(trial.Path);
            int state = -1;
            for (size_t i = 0; i < states.size(); ++i)
                if (states[i].second == found) state = int(i);
            EXPECT_TRUE(state == committed || state == committed + 1)
                << "seed " << seed << ", cut at " << cutAt << " of " << total << " after "
                << committed << " commits shows state " << state;
            seen.insert(state);
        }
    }
    EXPECT_EQ(cuts, C_WORKLOADS * C_CUTS);
    EXPECT_GE(seen.size(), 4u);
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
        true);
}

// Index add and drop, a table rebuild and emptying, each killed across its change: the table
// keeps its old rows and indexes or shows the new ones, and the checker is content.
TEST(DatabaseCrash, KilledTableMaintenanceLeavesTheOldTableOrTheNew) {
    struct TCase {
        const char* Name;
        std::function<void(TZanTable&)> Change;
    };
    const std::vector<TCase> cases{
        {"add index",
         [](TZanTable& t) { t.AddIndex("ixDesc", "Name;Id", {}, "Name"); }},
        {"drop index", [](TZanTable& t) { t.DeleteIndex("ixName"); }},
        {"empty",
         [](TZanTable& t) {
             t.Open();
             t.EmptyTable();
         }},
        {"rebuild then add",
         [](TZanTable& t) {
             t.RebuildTable();
             t.Open();
             t.AppendRecord({Variant(500), Variant("after rebuild")});
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        KillAcrossTheChange(
            false,
            [&](TZanDataBase& db) {
                db.Close();
                db.SetExclusive(true);
                db.Open();
                TZanTable t;
                t.SetDataBase(&db);
                t.SetTableName("t");
                c.Change(t);
            },
            true);
    }
}

// A process killed while it creates a database file leaves no file at the path, or a whole one
// that opens with its system tables and takes a table. Killed at the first points of the
// creation and at a spread of the others (plain and encrypted files).
TEST(DatabaseCrash, KilledDatabaseCreateLeavesNoFileOrAWholeOne) {
    for (int level : {0, 1}) {
        SCOPED_TRACE("level " + std::to_string(level));
        TTempFile whole("dbcrash_create_whole.zan");
        const uint64_t start = ZanCrashPointCount();
        CreateDatabaseFile(whole.Path, level);
        const uint64_t total = ZanCrashPointCount() - start;
        ASSERT_GT(total, 2u);
        RemoveSideFiles(whole.Path);
        int whole_files = 0;
        for (uint64_t n = 1; n <= total; n += n < 6 ? 1 : std::max<uint64_t>(1, total / 8)) {
            TTempFile trial("dbcrash_create.zan");
            TChildProcess child([&](TChildProcess&) {
                ZanArmCrashPoint(n, n % 2 == 0);
                CreateDatabaseFile(trial.Path, level);
                return 0;
            });
            child.Wait();
            if (access(trial.Path.c_str(), F_OK) == 0) {
                ++whole_files;
                const int32_t code = ErrorCodeOf([&] {
                    auto db = NewDatabase(trial.Path, level);
                    db->Open();
                    CreateUserTable(*db, "b");
                    EXPECT_EQ(TableNames(*db), std::vector<std::string>{"b"});
                });
                EXPECT_EQ(code, 0) << "killed at point " << n << " of " << total;
            }
            RemoveSideFiles(trial.Path);
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator(
                     std::filesystem::path(trial.Path).parent_path(), ec))
                if (e.path().filename().string().rfind(
                        std::filesystem::path(trial.Path).filename().string() + ".", 0) == 0)
                    std::filesystem::remove(e.path(), ec);
        }
        EXPECT_LT(whole_files, int(total)); // early kills leave no file
    }
}
