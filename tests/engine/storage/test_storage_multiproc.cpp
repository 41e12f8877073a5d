// Several processes, each with its own connection, insert at the same time into their own tables
// and into one shared table under the lock protocol (table write lock, then header write lock,
// per batch). Afterwards the file passes the consistency checker and every table holds exactly
// the rows inserted: none lost, none twice, every row intact.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "engine/storage/zanJournal.h"
#include "host/win/child_process.h"
#include "storage_e2e_table.h"

using namespace zan;

namespace {

constexpr int32_t C_ROWS_PER_PROCESS = 1500;
constexpr int32_t C_BATCH = 30;

struct TMultiProcCase {
    int Processes;
    bool SameTable;
};

std::string TableOf(int process, bool sameTable) {
    return sameTable ? "shared" : "own" + std::to_string(process);
}

class StorageMultiProcess : public ::testing::TestWithParam<TMultiProcCase> {};

} // namespace

TEST_P(StorageMultiProcess, ConcurrentInsertsLoseAndDuplicateNothing) {
    const TMultiProcCase c = GetParam();
    TTempFile file("multiproc.zan");
    std::vector<std::string> names;
    for (int p = 0; p < c.Processes; ++p)
        if (!c.SameTable || p == 0) names.push_back(TableOf(p, c.SameTable));
    std::vector<std::unique_ptr<TTableDef>> defs;
    {
        TTestDatabase db(file.Path);
        db.Create();
        db.Open();
        for (const std::string& name : names) {
            auto def = std::make_unique<TTableDef>();
            BuildSampleTableDef(*def);
            def->SetTableName(name);
            db.UserTables().CreateTableDef(name, *def);
            defs.push_back(std::move(def));
        }
        db.Close();
    }

    // Each child opens its connection, reports ready, waits for the start signal, then inserts
    // its ids (process p: p, p + n, p + 2n, ...) in small batches; exit code 0 when all went in.
    std::vector<std::unique_ptr<TChildProcess>> children;
    for (int p = 0; p < c.Processes; ++p) {
        const TTableDef& stored = *defs[c.SameTable ? 0 : size_t(p)];
        children.push_back(std::make_unique<TChildProcess>([&, p](TChildProcess& self) {
            TTestDatabase db(file.Path);
            db.Open();
            int code = 0;
            {
                TE2ETable t(db, TableOf(p, c.SameTable), stored);
                self.Send('r');
                if (self.Receive() != 'g') return 2;
                for (int32_t i = 0; i < C_ROWS_PER_PROCESS; i += C_BATCH) {
                    // Every third batch is a transaction of its own: its growth must not
                    // overwrite what the others commit meanwhile.
                    const bool inTransaction = (i / C_BATCH) % 3 == 2;
                    if (inTransaction) db.Disk().DiskStartTransaction(false);
                    t.Batch([&] {
                        for (int32_t k = i; k < std::min(C_ROWS_PER_PROCESS, i + C_BATCH); ++k)
                            if (!t.Insert(k * c.Processes + p)) code = 3;
                    });
                    if (inTransaction) db.Disk().DiskCommit();
                }
            }
            db.Close();
            return code;
        }));
    }
    for (auto& child : children)
        ASSERT_EQ(child->Receive(), 'r');
    for (auto& child : children)
        child->Send('g');
    for (int p = 0; p < c.Processes; ++p)
        EXPECT_EQ(children[size_t(p)]->Wait(), 0) << "process " << p;

    TTestDatabase db(file.Path);
    db.Open();
    {
        std::vector<std::unique_ptr<TE2ETable>> tables;
        std::vector<const TTableDef*> opened;
        for (size_t i = 0; i < names.size(); ++i) {
            tables.push_back(std::make_unique<TE2ETable>(db, names[i], *defs[i]));
            opened.push_back(&tables.back()->Def());
        }
        auto problems = CheckDatabase(db.Disk(), opened);
        EXPECT_TRUE(problems.empty()) << ProblemText(problems);
        for (size_t i = 0; i < names.size(); ++i) {
            SCOPED_TRACE(names[i]);
            uint32_t byName = 0, bad = 0;
            const std::vector<int32_t> ids = tables[i]->ReadAllIds(byName, bad);
            std::vector<int32_t> expected;
            for (int p = 0; p < c.Processes; ++p)
                if (c.SameTable || size_t(p) == i)
                    for (int32_t k = 0; k < C_ROWS_PER_PROCESS; ++k)
                        expected.push_back(k * c.Processes + p);
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(ids, expected);
            EXPECT_EQ(byName, expected.size());
            EXPECT_EQ(bad, 0u);
        }
    }
    db.Close();
}

INSTANTIATE_TEST_SUITE_P(Cases, StorageMultiProcess,
                         ::testing::Values(TMultiProcCase{2, false}, TMultiProcCase{2, true},
                                           TMultiProcCase{4, false}, TMultiProcCase{4, true}),
                         [](const auto& info) {
                             return std::to_string(info.param.Processes) +
                                    (info.param.SameTable ? "SameTable" : "OwnTables");
                         });

// A committer dies in the middle of writing its transaction in place while a survivor keeps
// reading the committer's table and writing its own, each batch in a write scope. The survivor
// never reads a torn row (it restores the journal itself when it next takes the header lock),
// and everything it committed is there at the end.
TEST(StorageMultiProcessCrash, SurvivorRestoresAndKeepsItsCommits) {
    constexpr int32_t C_BASE = 600, C_COMMITTED = 1500;
    TTempFile file("multiproc_crash.zan");
    TTableDef t, u;
    BuildSampleTableDef(t);
    t.SetTableName("t");
    BuildSampleTableDef(u);
    u.SetTableName("u");
    {
        TTestDatabase db(file.Path);
        db.Create();
        db.Open();
        db.UserTables().CreateTableDef("t", t);
        db.UserTables().CreateTableDef("u", u);
        {
            TE2ETable table(db, "t", t);
            db.Disk().DiskStartTransaction(false);
            table.Batch([&] {
                for (int32_t id = 0; id < C_BASE; ++id)
                    table.Insert(id);
            });
            db.Disk().DiskCommit();
        }
        db.Close();
    }
    // The committer's transaction; with killAt its commit dies at that crash point. Exits with
    // the number of crash points of the commit.
    auto committer = [&](const std::string& path, uint64_t killAt) {
        TTestDatabase db(path);
        db.Open();
        TE2ETable table(db, "t", t);
        db.Disk().DiskStartTransaction(false);
        table.Batch([&] {
            for (int32_t id = C_BASE; id < C_BASE + C_COMMITTED; ++id)
                table.Insert(id);
            for (int32_t id = 0; id < C_BASE; id += 3)
                table.Delete(id);
        });
        const uint64_t start = ZanCrashPointCount();
        ZanArmCrashPoint(killAt);
        db.Disk().DiskCommit();
        return static_cast<int>(std::min<uint64_t>(ZanCrashPointCount() - start, 250));
    };
    TTempFile dry("multiproc_crash_dry.zan");
    std::filesystem::copy_file(file.Path, dry.Path);
    const int points = TChildProcess([&](TChildProcess&) { return committer(dry.Path, 0); }).Wait();
    unlink(UsersFileNameFor(dry.Path).c_str());
    unlink(JournalFileNameFor(dry.Path).c_str());
    ASSERT_GT(points, 5); // journal records and header, growth, writes in place, truncate
    ASSERT_LT(points, 250);

    // The survivor: reads "t" (it must hold exactly the base rows), then adds 20 rows to "u" in
    // one scope, until told to stop. Exit code: 0, or 1 for a torn read, 2 for a lost batch.
    TChildProcess survivor([&](TChildProcess& self) {
        TTestDatabase db(file.Path);
        db.Open();
        int code = 0;
        {
            TE2ETable mine(db, "u", u);
            TE2ETable theirs(db, "t", t);
            self.Send('r');
            if (self.Receive() != 'g') return 3;
            int32_t next = 0;
            for (int round = 0; self.Receive(1) != 'q'; ++round) {
                uint32_t byName = 0, bad = 0;
                std::vector<int32_t> ids;
                try {
                    ids = theirs.ReadAllIds(byName, bad);
                } catch (const EZanDatabaseError&) {
                    continue; // the committer holds the header: try again
                }
                if (bad != 0 || ids.size() != size_t(C_BASE) || byName != ids.size()) code = 1;
                try {
                    TDiskWriteScope scope(db.Disk());
                    mine.Batch([&] {
                        for (int32_t k = 0; k < 20; ++k)
                            mine.Insert(next + k);
                    });
                } catch (const EZanDatabaseError&) {
                    db.Disk().ReleaseAllLocks();
                    continue; // rolled back: the same rows again
                }
                next += 20;
                if (round == 2) self.Send('2');
            }
            self.Send('e');
        }
        db.Close();
        return code;
    });
    ASSERT_EQ(survivor.Receive(), 'r');
    survivor.Send('g');
    ASSERT_EQ(survivor.Receive(), '2') << "the survivor works";
    const int killed = TChildProcess([&](TChildProcess&) {
                           return committer(file.Path, static_cast<uint64_t>(points) - 2);
                       }).Wait();
    EXPECT_EQ(killed, -1);
    usleep(300000);
    survivor.Send('q');
    survivor.Receive(); // its last word
    EXPECT_EQ(survivor.Wait(), 0);
    EXPECT_NE(InspectJournal(JournalFileNameFor(file.Path)).State, jsHot)
        << "the survivor restored the journal";

    TTestDatabase db(file.Path);
    db.Open();
    {
        TE2ETable tt(db, "t", t);
        TE2ETable uu(db, "u", u);
        const auto problems = CheckDatabase(db.Disk(), {&tt.Def(), &uu.Def()});
        EXPECT_TRUE(problems.empty()) << ProblemText(problems);
        uint32_t byName = 0, bad = 0;
        EXPECT_EQ(tt.ReadAllIds(byName, bad).size(), size_t(C_BASE));
        EXPECT_EQ(bad, 0u);
        const std::vector<int32_t> ids = uu.ReadAllIds(byName, bad);
        EXPECT_EQ(bad, 0u);
        ASSERT_FALSE(ids.empty());
        EXPECT_EQ(ids.size() % 20, 0u) << "whole batches only";
        for (size_t i = 0; i < ids.size(); ++i)
            EXPECT_EQ(ids[i], int32_t(i));
    }
    db.Close();
}
