// The query component over the whole statement path: live results, MaxRecords, the result
// tables' life, errors with their positions, subquery runs, the transaction bracket seen from a
// second connection and from a second process.
#include "sql_test_support.h"

#include <thread>

#include "host/rtl/Random.h"
#include "host/rtl/ScopeExit.h"

using namespace zan;

namespace {

void Fill(TQueryTestDb& t) {
    t.Exec("CREATE TABLE t (id INTEGER NOT NULL, grp INTEGER, name VARCHAR(12), PRIMARY KEY (id))");
    for (int i = 1; i <= 30; ++i)
        t.Exec("INSERT INTO t VALUES (" + std::to_string(i) + ", " + std::to_string(i % 4) +
               ", 'n" + std::to_string(i) + "')");
}

std::vector<std::string> MemoryTables(TZanDataBase& db) {
    TStringList names;
    db.GetMemoryTableDefMgr().GetCurrentTableNames(names);
    std::vector<std::string> out;
    for (int i = 0; i < names.Count(); ++i)
        out.push_back(names.Strings(i));
    return out;
}

} // namespace

TEST(QueryLive, EditInsertAndDeleteReachTheBaseTable) {
    TQueryTestDb t(true, "live.zan");
    Fill(t);
    TZanQuery& q = t.Query;
    q.SetRequestLive(true);
    q.GetSQL().SetText("SELECT id, name, grp + 1 AS g1 FROM t WHERE grp = 2 ORDER BY id");
    q.Open();
    ASSERT_TRUE(q.CanModify());
    EXPECT_TRUE(q.FieldByName("g1")->GetReadOnly());
    EXPECT_EQ(q.GetRecordCount(), 8);
    q.Edit();
    q.FieldByName("name")->SetAsString("edited");
    q.Post();
    q.Edit();
    q.FieldByName("name")->SetAsString("twice");
    q.Post();
    q.Next();
    q.Delete();
    q.Append();
    q.FieldByName("id")->SetAsInteger(100);
    q.FieldByName("name")->SetAsString("added");
    q.Post();
    q.Close();
    q.SetRequestLive(false);
    EXPECT_EQ(t.Select("SELECT id, name, grp FROM t WHERE id IN (2, 6, 100) ORDER BY id"),
              "id\tname\tgrp\n2\ttwice\t2\n100\tadded\t\\N\n");
}

TEST(QueryLive, AConcurrentEditIs8708) {
    TQueryTestDb t(true, "live8708.zan");
    Fill(t);
    t.Query.SetRequestLive(true);
    t.Query.GetSQL().SetText("SELECT id, name FROM t WHERE id = 5");
    t.Query.Open();
    {
        TQueryTestDb::TOther other(t.Path());
        other.Exec("UPDATE t SET name = 'theirs' WHERE id = 5");
    }
    t.Query.Edit();
    t.Query.FieldByName("name")->SetAsString("mine");
    EXPECT_EQ(ErrorCodeOf([&] { t.Query.Post(); }), 8708);
    t.Query.Cancel();
    t.Query.Close();
    t.Query.SetRequestLive(false);
    EXPECT_EQ(t.Select("SELECT name FROM t WHERE id = 5"), "name\ntheirs\n");
}

TEST(QueryLive, JoinsAggregatesDistinctAndUnionAreReadOnly) {
    TQueryTestDb t(false);
    Fill(t);
    t.Query.SetRequestLive(true);
    for (const char* sql : {"SELECT a.id FROM t a, t b WHERE a.id = b.grp",
                            "SELECT grp, COUNT(*) FROM t GROUP BY grp", "SELECT DISTINCT grp FROM t",
                            "SELECT id FROM t UNION SELECT grp FROM t"}) {
        t.Query.GetSQL().SetText(sql);
        t.Query.Open();
        EXPECT_FALSE(t.Query.CanModify()) << sql;
        t.Query.Close();
    }
    t.Query.GetSQL().SetText("SELECT id FROM t");
    t.Query.Open();
    EXPECT_TRUE(t.Query.CanModify());
}

TEST(QueryResults, MaxRecordsStopsPlainResultsAndRefusesTooManyGroups) {
    TQueryTestDb t(false);
    Fill(t);
    t.Query.SetMaxRecords(10);
    t.Query.GetSQL().SetText("SELECT id FROM t");
    t.Query.Open();
    EXPECT_EQ(t.Query.GetRecordCount(), 10);
    t.Query.Close();
    std::string message;
    t.Query.SetMaxRecords(3);
    EXPECT_EQ(t.ErrorOf("SELECT name, COUNT(*) FROM t GROUP BY name", &message), 9645);
    EXPECT_NE(message.find("Result set limit of 3 has been exceeded"), std::string::npos) << message;
    t.Query.SetMaxRecords(4);
    EXPECT_EQ(t.Select("SELECT grp, COUNT(*) FROM t GROUP BY grp"),
              "grp\tCOUNT(*)\n0\t7\n1\t8\n2\t8\n3\t7\n");
}

TEST(QueryResults, RowsAffectedCountsTheGroupsHavingKeeps) {
    TQueryTestDb t(false);
    Fill(t);
    // Groups 0 and 3 hold 7 rows, groups 1 and 2 hold 8: HAVING removes two of four.
    const struct {
        const char* Sql;
        int Rows;
    } cases[] = {
        {"SELECT grp, COUNT(*) FROM t GROUP BY grp", 4},
        {"SELECT grp, COUNT(*) FROM t GROUP BY grp HAVING COUNT(*) > 7", 2},
        {"SELECT grp, COUNT(*) FROM t GROUP BY grp HAVING grp > 2", 1},
        {"SELECT grp, COUNT(*) FROM t GROUP BY grp HAVING COUNT(*) > 8", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Sql);
        t.Query.GetSQL().SetText(c.Sql);
        t.Query.Open();
        EXPECT_EQ(t.Query.GetRowsAffected(), c.Rows);
        EXPECT_EQ(t.Query.GetRecordCount(), c.Rows);
        t.Query.Close();
    }
}

TEST(QueryResults, ATakenResultTableNameIsDrawnAgain) {
    TQueryTestDb t(false);
    Fill(t);
    TScopeExit reseed([] { Randomize(); });
    // The same seed makes the second query draw the name the first one's open result holds.
    TZanQuery first;
    first.SetDatabase(&t.Db);
    first.GetSQL().SetText("SELECT id FROM t WHERE grp = 1");
    TZanQuery second;
    second.SetDatabase(&t.Db);
    second.GetSQL().SetText("SELECT name FROM t WHERE grp = 2");
    RandSeed(20261209);
    first.Open();
    RandSeed(20261209);
    second.Open();
    EXPECT_NE(second.GetTableName(), first.GetTableName());
    EXPECT_EQ(second.GetTableName().substr(0, 6), first.GetTableName().substr(0, 6));
    EXPECT_EQ(first.GetRecordCount(), 8);
    EXPECT_EQ(second.GetRecordCount(), 8);
    EXPECT_EQ(first.FieldByName("id")->GetAsInteger() % 4, 1);
    EXPECT_EQ(second.FieldByName("name")->GetAsString().substr(0, 1), "n");
    first.Close();
    second.Close();
}

TEST(QueryResults, ResultTablesGoOnReopenAndWithTheQuery) {
    TQueryTestDb t(false);
    Fill(t);
    const size_t base = MemoryTables(t.Db).size();
    {
        TZanQuery q;
        q.SetDatabase(&t.Db);
        q.GetSQL().SetText("SELECT id FROM t WHERE id IN (SELECT grp FROM t)");
        q.Open();
        const std::string first = q.GetTableName();
        EXPECT_EQ(first.rfind("$Q", 0), 0u);
        EXPECT_EQ(first.size(), 14u);
        EXPECT_EQ(MemoryTables(t.Db).size(), base + 1); // the subquery's went with it
        q.Close();
        q.GetSQL().SetText("SELECT name FROM t");
        q.Open();
        EXPECT_NE(q.GetTableName(), first);
        EXPECT_EQ(MemoryTables(t.Db).size(), base + 1);
    }
    EXPECT_EQ(MemoryTables(t.Db).size(), base);
}

// A correlated subquery tied to the outer row by column equalities is read once and grouped by
// its columns' values (after the first outer rows); another runs per outer row; an
// uncorrelated one once.
TEST(QueryResults, CorrelatedSubqueriesRunPerOuterRowUncorrelatedOnce) {
    TQueryTestDb t(false);
    Fill(t);
    EXPECT_EQ(t.Select("SELECT a.id FROM t a WHERE a.id < 4 AND EXISTS "
                       "(SELECT b.id FROM t b WHERE b.grp >= a.id AND b.grp <= a.id AND b.id > 20)"),
              "a.id\n1\n2\n3\n");
    int32_t runs = t.Query.GetProvider().GetSubqueryRuns();
    EXPECT_GE(runs, 3);
    // The first outer row runs it (the table being small), then it is read once.
    EXPECT_EQ(t.Select("SELECT a.id FROM t a WHERE EXISTS "
                       "(SELECT b.id FROM t b WHERE b.grp = a.id AND b.id > 20)"),
              "a.id\n1\n2\n3\n");
    EXPECT_EQ(t.Query.GetProvider().GetSubqueryRuns() - runs, 2);
    runs = t.Query.GetProvider().GetSubqueryRuns();
    EXPECT_EQ(t.Select("SELECT id FROM t WHERE id IN (SELECT grp FROM t WHERE grp > 1)"),
              "id\n2\n3\n");
    EXPECT_EQ(t.Query.GetProvider().GetSubqueryRuns() - runs, 1);
}

TEST(QueryErrors, ParseErrorsCarryTheirPositionAndMessagesTheirTexts) {
    TQueryTestDb t(false);
    Fill(t);
    std::string message;
    EXPECT_EQ(t.ErrorOf("SELECT id FROM t WHERE id = = 1", &message), 9645);
    EXPECT_NE(message.find(" Line 1, Character "), std::string::npos) << message;
    EXPECT_NE(message.find("Token '='"), std::string::npos) << message;
    t.Query.GetSQL().SetText("DELETE FROM t");
    EXPECT_EQ(ErrorCodeOf([&] { t.Query.Open(); }, &message), 9645);
    EXPECT_NE(message.find("SQL statement cannot be opened (execute by ExecSQL)"), std::string::npos);
    t.Query.GetSQL().SetText("SELECT id FROM t");
    EXPECT_EQ(ErrorCodeOf([&] { t.Query.ExecSQL(); }, &message), 9645);
    EXPECT_NE(message.find("SQL statement cannot be executed by ExecSQL"), std::string::npos);
    EXPECT_EQ(t.ErrorOf("SELECT grp, COUNT(*) FROM t GROUP BY grp HAVING SUM(id) > 1", &message), 9645);
    EXPECT_NE(message.find("Fields specified in having clause must appear in the result set: SUM(id)"), std::string::npos)
        << message;
}

TEST(QueryTransactions, AFailingStatementRollsBackWhatItChanged) {
    TQueryTestDb t(true, "rollback.zan");
    Fill(t);
    // The third row's new key collides: the two rows before it are rolled back.
    EXPECT_NE(t.ErrorOf("UPDATE t SET id = id + 2 WHERE id < 6"), 0);
    EXPECT_FALSE(t.Db.InTransaction());
    TQueryTestDb::TOther other(t.Path());
    EXPECT_EQ(other.Select("SELECT id FROM t WHERE id < 8 ORDER BY id"), "id\n1\n2\n3\n4\n5\n6\n7\n");
}

TEST(QueryTransactions, SchemaStatementsNeedTheDatabaseAlone) {
    TQueryTestDb t(true, "exclusive.zan");
    Fill(t);
    {
        TQueryTestDb::TOther other(t.Path());
        EXPECT_NE(t.ErrorOf("CREATE INDEX ix_name ON t (name)"), 0);
        EXPECT_TRUE(t.Db.GetConnected());
        EXPECT_FALSE(t.Db.GetExclusive());
    }
    EXPECT_EQ(t.Exec("CREATE INDEX ix_name ON t (name)"), 0);
    EXPECT_FALSE(t.Db.GetExclusive());
    EXPECT_EQ(t.Select("SELECT name FROM t WHERE id = 3"), "name\nn3\n");
    EXPECT_EQ(t.Exec("DROP TABLE t"), 0);
    std::string message;
    EXPECT_EQ(t.ErrorOf("SELECT id FROM t", &message), 9645);
    EXPECT_NE(message.find("Table not found - t"), std::string::npos);
}

TEST(QueryTransactions, TwoProcessesCountingByUpdatesLoseNothing) {
    TQueryTestDb t(true, "counter.zan");
    t.Exec("CREATE TABLE c (id INTEGER, n INTEGER)");
    t.Exec("INSERT INTO c VALUES (1, 0)");
    const std::string path = t.Path();
    constexpr int kAdds = 25;
    auto adder = [&](TChildProcess&) {
        TQueryTestDb::TOther mine(path);
        for (int done = 0; done < kAdds;) {
            try {
                mine.Exec("UPDATE c SET n = n + 1 WHERE id = 1");
                ++done;
            } catch (const EZanDatabaseError& e) {
                if (mine.Db.InTransaction()) return 2;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return 0;
    };
    TChildProcess a(adder), b(adder);
    EXPECT_EQ(a.Wait(), 0);
    EXPECT_EQ(b.Wait(), 0);
    EXPECT_EQ(t.Select("SELECT n FROM c"), "n\n" + std::to_string(2 * kAdds) + "\n");
}

TEST(QueryParams, UnboundParametersFollowTheMasterRecord) {
    TQueryTestDb t(false);
    Fill(t);
    t.Exec("CREATE TABLE m (grp INTEGER)");
    t.Exec("INSERT INTO m VALUES (1)");
    t.Exec("INSERT INTO m VALUES (3)");
    TZanTable master;
    master.SetDataBase(&t.Db);
    master.SetTableName("m");
    master.SetMemory(true);
    master.Open();
    TDataSource source;
    source.SetDataSet(&master);
    TZanQuery detail;
    detail.SetDatabase(&t.Db);
    detail.SetDataSource(&source);
    detail.GetSQL().SetText("SELECT COUNT(*) AS n FROM t WHERE grp = :grp");
    ASSERT_EQ(detail.GetParamCount(), 1);
    master.First();
    detail.Open();
    EXPECT_EQ(detail.FieldByName("n")->GetAsInteger(), 8);
    master.Next();
    ASSERT_TRUE(detail.GetActive());
    EXPECT_EQ(detail.FieldByName("n")->GetAsInteger(), 7);
    EXPECT_FALSE(detail.ParamByName("grp")->GetBound());
    // A bound parameter keeps its value.
    detail.ParamByName("grp")->SetAsInteger(0);
    detail.Close();
    detail.Open();
    EXPECT_EQ(detail.FieldByName("n")->GetAsInteger(), 7);
    detail.Close();
    detail.SetDataSource(nullptr);
    TDataSource self;
    self.SetDataSet(&detail);
    EXPECT_THROW(detail.SetDataSource(&self), EDatabaseError);
}

TEST(QueryResults, ResultIndexKeysOver500BytesAndMemoryRunsWithoutTransaction) {
    TQueryTestDb t(false);
    t.Exec("CREATE TABLE w (a VARCHAR(200), b VARCHAR(200), c VARCHAR(200))");
    t.Exec("INSERT INTO w VALUES ('x', 'y', 'z')");
    // The result's indexes key the leading columns that fit and compare the others.
    EXPECT_EQ(t.Select("SELECT DISTINCT a, b, c FROM w"), "a\tb\tc\nx\ty\tz\n");
    EXPECT_EQ(t.Select("SELECT a, b, c FROM w ORDER BY a, b, c"), "a\tb\tc\nx\ty\tz\n");
    EXPECT_EQ(t.Select("SELECT DISTINCT a, b FROM w"), "a\tb\nx\ty\n");
    EXPECT_EQ(ErrorCodeOf([&] { t.Db.StartTransaction(); }), 10880);
}
