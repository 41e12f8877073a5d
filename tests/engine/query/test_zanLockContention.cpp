// Two processes insert into one indexed table at once, each statement its own transaction (read
// locks taken while inserting, upgraded at the commit). Under contention one side may time out
// (10249), but then the other must get through: a connection that timed out gives its locks back
// and pauses before its error returns, so its next statement does not take them again before the
// other's next attempt. Counted are the timeouts, not the seconds: without that pause both sides
// kept timing each other out on most statements.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "host/rtl/Random.h"
#include "host/win/child_process.h"
#include "sql_test_support.h"
#include "support/zanChecker.h"

using namespace zan;

namespace {

constexpr int32_t C_ROWS_PER_PROCESS = 100;
// A failed row is tried again this often before the child gives up on it.
constexpr int C_ATTEMPTS_PER_ROW = 20;
constexpr int C_CHILD_BROKEN = 255;

int32_t IdOf(int process, int32_t row) {
    return process * 100000 + row;
}

// Inserts the process's rows, trying a row again after a lock timeout. Exit code: the number of
// timeouts, or C_CHILD_BROKEN when a row never went in or another error came.
int InsertRows(const std::string& path, int process, TChildProcess& self) {
    // Forked children start with the parent's generator state: draw apart as separate
    // programs would.
    Randomize();
    TQueryTestDb::TOther c(path);
    // The default number of attempts, closer together: a timeout costs 10 x 20 ms.
    c.Db.SetLockRetryMaximum(10);
    c.Db.SetLockRetryInterval(200);
    const std::string memo(3000, char('a' + process));
    const std::string text(50, 's');
    self.Send('r');
    if (self.Receive() != 'g') return C_CHILD_BROKEN;
    int timeouts = 0;
    for (int32_t row = 0; row < C_ROWS_PER_PROCESS; ++row) {
        const std::string sql = "INSERT INTO t VALUES (" + std::to_string(IdOf(process, row)) +
                                ", " + std::to_string(process) + ", '" + text + "', '" + memo +
                                "')";
        bool done = false;
        for (int attempt = 0; attempt < C_ATTEMPTS_PER_ROW && !done; ++attempt) {
            try {
                done = c.Exec(sql) == 1;
                if (!done) return C_CHILD_BROKEN;
            } catch (const EZanDatabaseError& e) {
                if (e.ErrorCode != 10249) throw;
                ++timeouts;
            }
        }
        if (!done) return C_CHILD_BROKEN;
    }
    return std::min(timeouts, C_CHILD_BROKEN - 1);
}

} // namespace

TEST(LockContentionProcesses, TwoWritersOnOneIndexedTableBothGetThrough) {
    TQueryTestDb parent(true, "lock_contention.zan");
    parent.Exec("CREATE TABLE t (id INTEGER NOT NULL, w INTEGER, s VARCHAR(100), m BLOB(1, 1), "
                "PRIMARY KEY (id))");
    parent.Exec("CREATE INDEX tw ON t (w)");
    parent.Db.Close();
    const std::string path = parent.Path();

    std::vector<std::unique_ptr<TChildProcess>> children;
    for (int p = 1; p <= 2; ++p)
        children.push_back(std::make_unique<TChildProcess>(
            [&, p](TChildProcess& self) { return InsertRows(path, p, self); }));
    for (auto& child : children)
        ASSERT_EQ(child->Receive(), 'r');
    for (auto& child : children)
        child->Send('g');
    int total = 0;
    for (size_t i = 0; i < children.size(); ++i) {
        const int timeouts = children[i]->Wait();
        EXPECT_NE(timeouts, C_CHILD_BROKEN) << "process " << i + 1 << " gave up on a row";
        total += timeouts;
    }
    // Contention may cost a few statements; a tenth of them is far more than a fair turn-taking
    // needs and far less than two writers timing each other out.
    EXPECT_LE(total, 2 * C_ROWS_PER_PROCESS / 10) << total << " lock timeouts";

    parent.Db.Open();
    std::string want = "id\tw\ts\n";
    for (int p = 1; p <= 2; ++p)
        for (int32_t row = 0; row < C_ROWS_PER_PROCESS; ++row)
            want += std::to_string(IdOf(p, row)) + "\t" + std::to_string(p) + "\t" +
                    std::string(50, 's') + "\n";
    ASSERT_EQ(parent.Select("SELECT COUNT(*) AS c FROM t"),
              "c\n" + std::to_string(2 * C_ROWS_PER_PROCESS) + "\n");
    EXPECT_EQ(parent.Select("SELECT id, w, s FROM t ORDER BY id"), want);
    // The index serves both writers' rows.
    EXPECT_EQ(parent.Select("SELECT COUNT(*) AS c FROM t WHERE w = 2"),
              "c\n" + std::to_string(C_ROWS_PER_PROCESS) + "\n");
    EXPECT_EQ(CheckFile(parent.Db), "");
}
