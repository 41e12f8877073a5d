// A statement whose automatic transaction cannot commit (another process holds a read lock on
// its table) is rolled back: the connection is left outside any transaction, the statement's row
// is gone, and the next statements commit on their own.
#include <gtest/gtest.h>

#include "host/win/child_process.h"
#include "sql_test_support.h"

using namespace zan;

TEST(QueryCommitFailure, FailedCommitRollsTheStatementBack) {
    TQueryTestDb t(true, "commit_failure.zan");
    t.Exec("CREATE TABLE w (id INTEGER, v VARCHAR(10))");
    t.Exec("CREATE TABLE w2 (id INTEGER)");
    t.Exec("INSERT INTO w VALUES (1, 'a')");
    const std::string path = t.Path();
    // The child holds a read lock on w until told to let go.
    TChildProcess reader([&](TChildProcess& self) {
        TQueryTestDb::TOther mine(path);
        TZanTable w;
        w.SetDataBase(&mine.Db);
        w.SetTableName("w");
        w.Open();
        if (!w.ReadLockTable()) return 1;
        self.Send('r');
        if (self.Receive() != 'g') return 2;
        w.UnlockTable();
        w.Close();
        return 0;
    });
    ASSERT_EQ(reader.Receive(), 'r');
    for (const char* statement :
         {"INSERT INTO w VALUES (0, 'x')", "UPDATE w SET v = 'b'", "DELETE FROM w"}) {
        SCOPED_TRACE(statement);
        EXPECT_EQ(t.ErrorOf(statement), 10249);
        EXPECT_FALSE(t.Db.InTransaction());
        EXPECT_EQ(t.Select("SELECT id, v FROM w"), "id\tv\n1\ta\n");
    }
    // Statements on other tables commit, each in its own transaction.
    EXPECT_EQ(t.Exec("INSERT INTO w2 VALUES (2)"), 1);
    EXPECT_FALSE(t.Db.InTransaction());
    reader.Send('g');
    EXPECT_EQ(reader.Wait(), 0);
    EXPECT_EQ(t.Exec("CREATE TABLE z (id INTEGER)"), 0);
    TQueryTestDb::TOther other(path);
    EXPECT_EQ(other.Select("SELECT id FROM w2"), "id\n2\n");
    EXPECT_EQ(other.Select("SELECT id, v FROM w"), "id\tv\n1\ta\n");
}
