// Crash harness: a child process commits a large transaction and dies (SIGKILL) in place of its
// n-th file write, for a spread of n over the commit's writes. The parent reopens the file, runs
// the consistency checker and prints one line per n: whether the file is consistent and whether
// it holds the state before or after the transaction. The commit writes pages in place without a
// journal, so damage is expected for most cut points; the harness records, it does not judge.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

#include "engine/storage/zanFile.h"
#include "host/win/child_process.h"
#include "storage_e2e_table.h"

using namespace zan;

namespace {

constexpr int32_t C_BASE_ROWS = 1500; // committed before the transaction
constexpr int32_t C_NEW_ROWS = 2500;  // inserted by the transaction
constexpr int32_t C_DELETE_STEP = 5;  // the transaction deletes every fifth base row

// The transaction of every trial: inserts, deletes, then the commit (where the kill point is
// armed when killAfter > 0). Answers the number of file writes the commit made.
uint64_t RunTransaction(const std::string& path, const TTableDef& stored, uint64_t killAfter) {
    TTestDatabase db(path);
    db.Open();
    uint64_t writes = 0;
    {
        TE2ETable t(db, "t", stored);
        db.Disk().DiskStartTransaction(false);
        for (int32_t i = 0; i < C_NEW_ROWS; i += 500)
            t.Batch([&] {
                for (int32_t k = i; k < std::min(C_NEW_ROWS, i + 500); ++k)
                    t.Insert(C_BASE_ROWS + k);
            });
        t.Batch([&] {
            for (int32_t id = 0; id < C_BASE_ROWS; id += C_DELETE_STEP)
                t.Delete(id);
        });
        const uint64_t before = db.Disk().GetZanFile()->GetWriteCalls();
        ZanSetWriteKillPoint(killAfter);
        db.Disk().DiskCommit();
        ZanSetWriteKillPoint(0);
        writes = db.Disk().GetZanFile()->GetWriteCalls() - before;
    }
    db.Close();
    return writes;
}

size_t RowsAfterCommit() {
    return size_t(C_BASE_ROWS + C_NEW_ROWS - (C_BASE_ROWS + C_DELETE_STEP - 1) / C_DELETE_STEP);
}

std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// Reopens the file after a trial and describes it in a few words: the checker's verdict and
// which state the table shows (rows before or after the transaction).
std::string Inspect(const std::string& path, const TTableDef& stored) {
    try {
        TTestDatabase db(path);
        db.Open();
        TE2ETable t(db, "t", stored);
        std::string verdict;
        try {
            auto problems = CheckDatabase(db.Disk(), {&t.Def()});
            verdict = problems.empty() ? "consistent"
                                       : std::to_string(problems.size()) +
                                             " problems, first: " + problems.front();
        } catch (const std::exception& e) {
            verdict = "checker stopped: " + OneLine(e.what());
        }
        std::string state;
        try {
            uint32_t byName = 0, bad = 0;
            const size_t rows = t.ReadAllIds(byName, bad).size();
            state = rows == size_t(C_BASE_ROWS) ? "rows before"
                    : rows == RowsAfterCommit() ? "rows after"
                                                : std::to_string(rows) + " rows";
            if (bad != 0) state += ", " + std::to_string(bad) + " wrong";
        } catch (const std::exception& e) {
            state = "rows unreadable: " + OneLine(e.what());
        }
        return verdict + "; " + state;
    } catch (const std::exception& e) {
        return "cannot open: " + OneLine(e.what());
    }
}

} // namespace

TEST(StorageCrash, KilledCommitLeavesWhat) {
    TTempFile base("crash_base.zan");
    TTableDef stored;
    BuildSampleTableDef(stored);
    stored.SetTableName("t");
    {
        TTestDatabase db(base.Path);
        db.Create();
        db.Open();
        db.UserTables().CreateTableDef("t", stored);
        {
            TE2ETable t(db, "t", stored);
            t.Batch([&] {
                for (int32_t id = 0; id < C_BASE_ROWS; ++id)
                    t.Insert(id);
            });
        }
        db.Close();
    }

    // A run without a kill gives the number of writes the commit makes, and the expected end.
    TTempFile whole("crash_whole.zan");
    std::filesystem::copy_file(base.Path, whole.Path);
    const uint64_t total = RunTransaction(whole.Path, stored, 0);
    ASSERT_GT(total, 0u);
    ASSERT_EQ(Inspect(whole.Path, stored), "consistent; rows after");

    std::set<uint64_t> points = {
        1, 2, total / 10, total / 4, total / 2, total * 3 / 4, total - 2, total - 1, total};
    int damaged = 0;
    for (uint64_t n : points) {
        if (n == 0 || n > total) continue;
        TTempFile trial("crash_trial.zan");
        std::filesystem::copy_file(base.Path, trial.Path);
        TChildProcess child([&](TChildProcess&) {
            RunTransaction(trial.Path, stored, n);
            return 0;
        });
        const int code = child.Wait();
        const std::string outcome = Inspect(trial.Path, stored);
        if (outcome.rfind("consistent;", 0) != 0) ++damaged;
        std::printf("[ crash    ] killed at write %llu of %llu (%s): %s\n",
                    static_cast<unsigned long long>(n), static_cast<unsigned long long>(total),
                    code == -1 ? "killed" : "exited", outcome.c_str());
        unlink(UsersFileNameFor(trial.Path).c_str());
    }
    std::printf("[ crash    ] %d of %zu cut points left a damaged file\n", damaged, points.size());
}
