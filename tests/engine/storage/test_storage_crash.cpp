// Crash harness: a child process commits a large transaction over a plain and a strongly
// enciphered table (inserts, deletes, blob chains freed and written, growth of the file across a
// new map page) and dies (SIGKILL) at its n-th crash point: a journal or database write (also
// half written), a sync, a truncate, an unlink. The parent reopens the file, which restores a
// journal left hot, and judges: the checker finds nothing, and both tables hold exactly the rows
// before the transaction or exactly the rows after it, the same for both.
//
// CI runs about forty points spread over the commit; ZAN_CRASH_ALL=1 runs every point.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "engine/storage/zanFile.h"
#include "engine/storage/zanJournal.h"
#include "host/win/child_process.h"
#include "storage_e2e_table.h"

using namespace zan;

namespace {

constexpr int32_t C_BASE_ROWS = 1500;  // committed before the transaction, in both tables
constexpr int32_t C_NEW_ROWS = 2500;   // inserted by the transaction into "t"
constexpr int32_t C_NEW_STRONG = 800;  // and into "s"
constexpr int32_t C_DELETE_STEP = 5;   // the transaction deletes every fifth base row
constexpr uint32_t C_MAP_ENTRIES = 2038; // pages described by one map page (4096-byte pages)

struct TDefs {
    TTableDef Plain, Strong, Filler;
    TDefs() {
        BuildSampleTableDef(Plain);
        Plain.SetTableName("t");
        BuildSampleTableDef(Strong, encStrong);
        Strong.SetTableName("s");
        BuildSampleTableDef(Filler);
        Filler.SetTableName("f");
    }
};

std::set<int32_t> OldRows() {
    std::set<int32_t> rows;
    for (int32_t id = 0; id < C_BASE_ROWS; ++id)
        rows.insert(id);
    return rows;
}

std::set<int32_t> NewRows(int32_t inserted) {
    std::set<int32_t> rows;
    for (int32_t id = 0; id < C_BASE_ROWS; ++id)
        if (id % C_DELETE_STEP != 0) rows.insert(id);
    for (int32_t k = 0; k < inserted; ++k)
        rows.insert(C_BASE_ROWS + k);
    return rows;
}

// Inserts ids [from, to) in batches of 500.
void InsertRange(TE2ETable& t, int32_t from, int32_t to) {
    for (int32_t i = from; i < to; i += 500)
        t.Batch([&] {
            for (int32_t k = i; k < std::min(to, i + 500); ++k)
                t.Insert(k);
        });
}

// The same as one transaction (building the base file: one commit instead of one per write).
void InsertCommitted(TTestDatabase& db, TE2ETable& t, int32_t from, int32_t to) {
    db.Disk().DiskStartTransaction(false);
    InsertRange(t, from, to);
    db.Disk().DiskCommit();
}

// Commits db's transaction with the crash point armed at killAt (0: not armed); answers the
// number of crash points the commit passed.
uint64_t CommitArmed(TTestDatabase& db, uint64_t killAt, bool torn) {
    const uint64_t before = ZanCrashPointCount();
    ZanArmCrashPoint(killAt, torn);
    db.Disk().DiskCommit();
    ZanArmCrashPoint(0);
    return ZanCrashPointCount() - before;
}

// The transaction of every trial; the crash point is armed just before the commit when
// killAt > 0. Answers the number of crash points the commit passed.
uint64_t RunTransaction(const std::string& path, const TDefs& defs, uint64_t killAt, bool torn,
                        bool sync = false) {
    TTestDatabase db(path);
    db.Open();
    db.Disk().SetSyncCommits(sync);
    uint64_t points = 0;
    {
        TE2ETable t(db, "t", defs.Plain);
        TE2ETable s(db, "s", defs.Strong);
        db.Disk().DiskStartTransaction(false);
        InsertRange(t, C_BASE_ROWS, C_BASE_ROWS + C_NEW_ROWS);
        InsertRange(s, C_BASE_ROWS, C_BASE_ROWS + C_NEW_STRONG);
        for (TE2ETable* table : {&t, &s})
            table->Batch([&] {
                for (int32_t id = 0; id < C_BASE_ROWS; id += C_DELETE_STEP)
                    table->Delete(id);
            });
        points = CommitArmed(db, killAt, torn);
    }
    db.Close();
    return points;
}

std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// The rows of "t" and "s" after a change.
struct TAfter {
    std::set<int32_t> T = NewRows(C_NEW_ROWS), S = NewRows(C_NEW_STRONG);
};

// The state after a commit that inserted row C_BASE_ROWS into T alone.
TAfter OneRowInserted() {
    TAfter after;
    after.T = OldRows();
    after.T.insert(C_BASE_ROWS);
    after.S = OldRows();
    return after;
}

// Reopens the file (restoring a hot journal) and judges it: empty when the checker finds
// nothing and both tables hold the same one of the two states; otherwise what is wrong. The
// state found goes to state ("before" or "after").
std::string Judge(const std::string& path, const TDefs& defs, std::string& state,
                  const TAfter& expected = TAfter()) {
    try {
        TTestDatabase db(path);
        db.Open();
        TE2ETable t(db, "t", defs.Plain);
        TE2ETable s(db, "s", defs.Strong);
        TE2ETable f(db, "f", defs.Filler);
        const auto problems = CheckDatabase(db.Disk(), {&t.Def(), &s.Def(), &f.Def()});
        if (!problems.empty())
            return std::to_string(problems.size()) + " problems, first: " + problems.front();
        std::string states[2];
        TE2ETable* tables[2] = {&t, &s};
        const std::set<int32_t>* after[2] = {&expected.T, &expected.S};
        for (int i = 0; i < 2; ++i) {
            uint32_t byName = 0, bad = 0;
            const std::vector<int32_t> ids = tables[i]->ReadAllIds(byName, bad);
            const std::set<int32_t> rows(ids.begin(), ids.end());
            if (bad != 0) return std::to_string(bad) + " wrong rows";
            if (byName != ids.size() || rows.size() != ids.size())
                return "index counts disagree";
            const bool old = rows == OldRows(), fresh = rows == *after[i];
            states[i] = old && fresh ? "either" // a table the change leaves alone
                        : old        ? "before"
                        : fresh      ? "after"
                                     : std::to_string(rows.size()) + " rows";
        }
        if (states[1] == "either") states[1] = states[0];
        if (states[0] != states[1]) return "t " + states[0] + ", s " + states[1];
        if (states[0] != "before" && states[0] != "after") return states[0];
        state = states[0];
        if (FileExists(JournalFileNameFor(path)) &&
            InspectJournal(JournalFileNameFor(path)).State != jsEmpty)
            return "a journal is left";
        return {};
    } catch (const std::exception& e) {
        return "cannot read: " + OneLine(e.what());
    }
}

void RemoveSideFiles(const std::string& path) {
    unlink(UsersFileNameFor(path).c_str());
    unlink(JournalFileNameFor(path).c_str());
}

// The base file: both tables with their base rows, and a filler table that brings the file
// close enough to the end of the first map page that the transaction's growth needs a second.
struct TBase {
    TDefs Defs;
    TTempFile File{"crash_base.zan"};
    uint64_t Points = 0; // crash points of a commit without a kill
    uint64_t Points1 = 0;

    TBase() {
        {
            TTestDatabase db(File.Path);
            db.Create();
            db.Open();
            db.UserTables().CreateTableDef("t", Defs.Plain);
            db.UserTables().CreateTableDef("s", Defs.Strong);
            db.UserTables().CreateTableDef("f", Defs.Filler);
            {
                TE2ETable t(db, "t", Defs.Plain);
                TE2ETable s(db, "s", Defs.Strong);
                InsertCommitted(db, t, 0, C_BASE_ROWS);
                InsertCommitted(db, s, 0, C_BASE_ROWS);
            }
            db.Close();
        }
        // How far the transaction grows the file.
        const uint64_t before = std::filesystem::file_size(File.Path);
        TTempFile probe("crash_probe.zan");
        std::filesystem::copy_file(File.Path, probe.Path);
        RunTransaction(probe.Path, Defs, 0, false);
        const uint64_t growth = std::filesystem::file_size(probe.Path) - before;
        RemoveSideFiles(probe.Path);
        // Filler rows until the file ends half the growth before the second map page.
        const uint64_t target = uint64_t(C_MAP_ENTRIES) * 4096 - growth / 2;
        TTestDatabase db(File.Path);
        db.Open();
        {
            TE2ETable f(db, "f", Defs.Filler);
            for (int32_t id = 0; std::filesystem::file_size(File.Path) < target; id += 500)
                InsertCommitted(db, f, id, id + 500);
        }
        db.Close();
        RemoveSideFiles(File.Path);
        std::printf("[ crash    ] base of %llu pages, the transaction grows %llu pages\n",
                    static_cast<unsigned long long>(std::filesystem::file_size(File.Path) / 4096),
                    static_cast<unsigned long long>(growth / 4096));
    }
};

// Runs the operation (run(path, crash point, torn) -> its crash-point count) uninterrupted on a
// copy of the base file: it must end in the expected new state. Sets total to its count.
template <class TRun>
void RunWhole(const TBase& base, const char* name, const TAfter& expected, TRun& run,
              uint64_t& total) {
    TTempFile whole(name);
    std::filesystem::copy_file(base.File.Path, whole.Path);
    total = run(whole.Path, 0, false);
    std::string state;
    ASSERT_EQ(Judge(whole.Path, base.Defs, state, expected), "");
    ASSERT_EQ(state, "after");
    RemoveSideFiles(whole.Path);
}


TBase& Base() {
    static TBase base;
    return base;
}

// The crash points of a change run by run(path, 0) on a copy of the base file.
template <class F>
uint64_t CountPoints(const std::string& name, F run) {
    TTempFile copy(name);
    std::filesystem::copy_file(Base().File.Path, copy.Path);
    const uint64_t total = run(copy.Path, 0);
    RemoveSideFiles(copy.Path);
    return total;
}

} // namespace

TEST(StorageCrash, CommitWithoutKillGrowsAcrossAMapPage) {
    TBase& base = Base();
    TTempFile whole("crash_whole.zan");
    std::filesystem::copy_file(base.File.Path, whole.Path);
    const uint64_t points = RunTransaction(whole.Path, base.Defs, 0, false);
    EXPECT_GT(points, 3u);
    std::string state;
    EXPECT_EQ(Judge(whole.Path, base.Defs, state), "");
    EXPECT_EQ(state, "after");
    TTestDatabase db(whole.Path);
    db.Open();
    EXPECT_EQ(db.Disk().GetGlobalHdr()->GetMapPageCount(), 2u) << "the growth needs a map page";
    db.Close();
    RemoveSideFiles(whole.Path);
}

// Killed at a spread of crash points (every one with ZAN_CRASH_ALL=1), every other one torn:
// the file is whole and shows one of the two states.
TEST(StorageCrash, KilledCommitLeavesOldOrNewState) {
    TBase& base = Base();
    const uint64_t total = CountPoints("crash_count.zan", [&](const std::string& path, uint64_t) {
        return RunTransaction(path, base.Defs, 0, false);
    });
    ASSERT_GT(total, 3u);

    const char* all = std::getenv("ZAN_CRASH_ALL");
    std::vector<uint64_t> points;
    if (all != nullptr && std::string(all) == "1") {
        for (uint64_t n = 1; n <= total; ++n)
            points.push_back(n);
    } else {
        std::set<uint64_t> spread = {1, 2, 3, total - 2, total - 1, total};
        for (uint64_t k = 1; k < 36; ++k)
            spread.insert(std::max<uint64_t>(1, total * k / 36));
        points.assign(spread.begin(), spread.end());
    }
    int before = 0, after = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        const uint64_t n = points[i];
        // Every other point dies half way through its write (when it is a write).
        const bool torn = i % 2 == 1;
        {
            TTempFile trial("crash_trial.zan");
            std::filesystem::copy_file(base.File.Path, trial.Path);
            TChildProcess child([&](TChildProcess&) {
                RunTransaction(trial.Path, base.Defs, n, torn);
                return 0;
            });
            const int code = child.Wait();
            std::string state;
            const std::string verdict = Judge(trial.Path, base.Defs, state);
            EXPECT_EQ(verdict, "") << "killed at point " << n << " of " << total
                                   << (torn ? " (torn)" : "") << ", child "
                                   << (code == -1 ? "killed" : "exited");
            (state == "after" ? after : before)++;
            RemoveSideFiles(trial.Path);
        }
    }
    // Every crash point lies before the commit point, whose invalidation of the journal is the
    // last: a killed commit always leaves the state before it.
    std::printf("[ crash    ] %zu points of %llu: %d before, %d after\n",
                points.size(), static_cast<unsigned long long>(total), before, after);
    EXPECT_EQ(after, 0);
}

// Killed in the middle of writing in place, then the next opener killed inside recovery, then
// a third opener: recovery starts over and ends with the state before.
TEST(StorageCrash, KilledRecoveryIsRepeated) {
    TBase& base = Base();
    const uint64_t total = CountPoints("crash_count.zan", [&](const std::string& path, uint64_t) {
        return RunTransaction(path, base.Defs, 0, false);
    });
    for (uint64_t n : {total - 1, total - total / 10}) {
        for (uint64_t m : {uint64_t(1), uint64_t(7), uint64_t(40)}) {
            TTempFile trial("crash_recovery.zan");
            std::filesystem::copy_file(base.File.Path, trial.Path);
            TChildProcess committer([&](TChildProcess&) {
                RunTransaction(trial.Path, base.Defs, n, false);
                return 0;
            });
            committer.Wait();
            ASSERT_EQ(InspectJournal(JournalFileNameFor(trial.Path)).State, jsHot);
            TChildProcess opener([&](TChildProcess&) {
                ZanArmCrashPoint(m, m % 2 == 1);
                TTestDatabase db(trial.Path);
                db.Open();
                return 0;
            });
            EXPECT_EQ(opener.Wait(), -1) << "the opener dies inside recovery";
            std::string state;
            EXPECT_EQ(Judge(trial.Path, base.Defs, state), "")
                << "commit killed at " << n << ", recovery at " << m;
            EXPECT_EQ(state, "before");
            RemoveSideFiles(trial.Path);
        }
    }
}

// Outside a transaction: one write scope around a batch of inserts that splits B-tree pages
// again and again, killed at a spread of its crash points: the batch is there whole or not at
// all.
TEST(StorageCrash, KilledWriteScopeLeavesOldOrNewState) {
    TBase& base = Base();
    constexpr int32_t C_SCOPE_ROWS = 300;
    auto run = [&](const std::string& path, uint64_t killAt, bool torn) {
        TTestDatabase db(path);
        db.Open();
        uint64_t points = 0;
        {
            TE2ETable t(db, "t", base.Defs.Plain);
            const uint64_t start = ZanCrashPointCount();
            {
                TDiskWriteScope scope(db.Disk());
                t.Batch([&] {
                    for (int32_t k = 0; k < C_SCOPE_ROWS; ++k)
                        t.Insert(C_BASE_ROWS + k);
                });
                ZanArmCrashPoint(killAt, torn);
            }
            ZanArmCrashPoint(0);
            points = ZanCrashPointCount() - start;
        }
        db.Close();
        return points;
    };
    TAfter expected;
    expected.T = OldRows();
    for (int32_t k = 0; k < C_SCOPE_ROWS; ++k)
        expected.T.insert(C_BASE_ROWS + k);
    expected.S = OldRows();

    uint64_t total = 0;
    ASSERT_NO_FATAL_FAILURE(RunWhole(base, "crash_scope.zan", expected, run, total));
    std::string state;
    int before = 0;
    for (uint64_t k = 1; k <= 12; ++k) {
        const uint64_t n = std::max<uint64_t>(1, total * k / 12);
        TTempFile trial("crash_scope_trial.zan");
        std::filesystem::copy_file(base.File.Path, trial.Path);
        TChildProcess child([&](TChildProcess&) {
            run(trial.Path, n, k % 2 == 0);
            return 0;
        });
        EXPECT_EQ(child.Wait(), -1);
        EXPECT_EQ(Judge(trial.Path, base.Defs, state, expected), "")
            << "killed at point " << n << " of " << total;
        before += state == "before";
        RemoveSideFiles(trial.Path);
    }
    EXPECT_EQ(before, 12);
}

// Single-row commits after others in the same connection, exclusive and shared, so that what a
// connection keeps between and within commits is in use (the fixed regions and raw stretches
// as stored, their pre-images for the journal, the kept journal), with another connection's
// commit between them when shared. The last commit is killed at every one of its crash points,
// every other one torn: the row is there or not, and the file is whole.
TEST(StorageCrash, KilledSmallCommitAfterOthersLeavesOldOrNewState) {
    TBase& base = Base();
    for (const bool exclusive : {true, false}) {
        auto run = [&](const std::string& path, uint64_t killAt, bool torn) {
            TTestDatabase db(path);
            db.Open(exclusive);
            uint64_t points = 0;
            {
                TE2ETable t(db, "t", base.Defs.Plain);
                TE2ETable f(db, "f", base.Defs.Filler);
                auto commit = [&](TE2ETable& table, int32_t from, int32_t to) {
                    db.Disk().DiskStartTransaction(false);
                    table.Batch([&] {
                        for (int32_t id = from; id < to; ++id)
                            table.Insert(id);
                    });
                    db.Disk().DiskCommit();
                };
                for (int32_t k = 0; k < 3; ++k)
                    commit(f, 1000000 + k, 1000001 + k);
                if (!exclusive) {
                    // Another connection allocates pages: the global header changes under
                    // this one's nose between its locks.
                    TTestDatabase other(path);
                    other.Open();
                    {
                        TE2ETable g(other, "f", base.Defs.Filler);
                        other.Disk().DiskStartTransaction(false);
                        g.Batch([&] {
                            for (int32_t id = 2000000; id < 2000300; ++id)
                                g.Insert(id);
                        });
                        other.Disk().DiskCommit();
                    }
                    other.Close();
                }
                commit(f, 1000003, 1000004);
                db.Disk().DiskStartTransaction(false);
                t.Batch([&] { t.Insert(C_BASE_ROWS); });
                points = CommitArmed(db, killAt, torn);
            }
            db.Close();
            return points;
        };
        const TAfter expected = OneRowInserted();
        uint64_t total = 0;
        ASSERT_NO_FATAL_FAILURE(RunWhole(base, "crash_small.zan", expected, run, total));
        std::string state;
        ASSERT_GT(total, 3u);
        for (uint64_t n = 1; n <= total; ++n) {
            TTempFile trial("crash_small_trial.zan");
            std::filesystem::copy_file(base.File.Path, trial.Path);
            TChildProcess child([&](TChildProcess&) {
                run(trial.Path, n, n % 2 == 0);
                return 0;
            });
            EXPECT_EQ(child.Wait(), -1);
            EXPECT_EQ(Judge(trial.Path, base.Defs, state, expected), "")
                << (exclusive ? "exclusive" : "shared") << ", killed at point " << n << " of "
                << total;
            EXPECT_EQ(state, "before");
            RemoveSideFiles(trial.Path);
        }
    }
}

// The kept journal changed by hand between two commits of one connection: renamed away (shared:
// each commit looks at the path) or cut to zero length (exclusive too: a commit that trusts the
// file untouched asks its size before writing through its mapping). The next single-row commit
// is killed at its first, middle and last crash points: the journal it wrote is at the path,
// so the row is there or not and the file is whole; the process dies at the crash point,
// never of a signal.
TEST(StorageCrash, KeptJournalChangedByHandThenKilledCommit) {
    TBase& base = Base();
    struct TCase {
        bool Exclusive, Rename;
    };
    for (const TCase c : {TCase{false, true}, TCase{false, false}, TCase{true, false}}) {
        auto run = [&](const std::string& path, uint64_t killAt, bool torn) {
            TTestDatabase db(path);
            db.Open(c.Exclusive);
            uint64_t points = 0;
            {
                TE2ETable t(db, "t", base.Defs.Plain);
                TE2ETable f(db, "f", base.Defs.Filler);
                for (int32_t id = 1000000; id < 1000003; ++id) {
                    db.Disk().DiskStartTransaction(false);
                    f.Batch([&] { f.Insert(id); });
                    db.Disk().DiskCommit();
                }
                const std::string journal = JournalFileNameFor(path);
                if (c.Rename ? rename(journal.c_str(), (journal + ".moved").c_str()) != 0
                             : truncate(journal.c_str(), 0) != 0)
                    ADD_FAILURE() << "the kept journal is not there";
                db.Disk().DiskStartTransaction(false);
                t.Batch([&] { t.Insert(C_BASE_ROWS); });
                points = CommitArmed(db, killAt, torn);
                unlink((journal + ".moved").c_str());
            }
            db.Close();
            return points;
        };
        const TAfter expected = OneRowInserted();
        uint64_t total = 0;
        ASSERT_NO_FATAL_FAILURE(RunWhole(base, "crash_byhand.zan", expected, run, total));
        ASSERT_GT(total, 3u);
        std::string state;
        for (const uint64_t n : std::set<uint64_t>{1, total / 2, total - 1, total}) {
            TTempFile trial("crash_byhand_trial.zan");
            std::filesystem::copy_file(base.File.Path, trial.Path);
            TChildProcess child([&](TChildProcess&) {
                run(trial.Path, n, n % 2 == 0);
                return 0;
            });
            const std::string what = std::string(c.Exclusive ? "exclusive" : "shared") +
                                     (c.Rename ? ", renamed" : ", cut") + ", killed at point " +
                                     std::to_string(n) + " of " + std::to_string(total);
            EXPECT_EQ(child.Wait(), -1) << what << " (1: a signal caught by the sanitizer)";
            EXPECT_EQ(Judge(trial.Path, base.Defs, state, expected), "") << what;
            EXPECT_EQ(state, "before") << what;
            unlink((JournalFileNameFor(trial.Path) + ".moved").c_str());
            RemoveSideFiles(trial.Path);
        }
    }
}
