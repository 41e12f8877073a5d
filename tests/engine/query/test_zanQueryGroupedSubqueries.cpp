// Correlated subqueries over grouped rows and re-runs, and results whose sort, group or duplicate
// keys are wider than one index key: HAVING with a correlated subquery (keyed and run per group)
// against SQLite, a refreshed query whose inner table changed, COUNT(DISTINCT) of the widest
// strings, a select-list column named like the hidden sort-tie field, and MaxRecords over a
// wide sort.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "host/rtl/ScopeExit.h"
#include "lite_oracle_support.h"
#include "query_test_support.h"
#include "sql_test_support.h"
#include "support/zanShellScript.h"

using namespace zan;

namespace {

// The rows of an open query, printed as SQLite's are (hidden fields left out), sorted.
TLiteRows RowsOf(TZanQuery& q) {
    TLiteRows rows;
    for (q.First(); !q.GetEOF(); q.Next()) {
        std::string line;
        for (int i = 0; i < q.GetFieldCount(); ++i) {
            TField* f = q.GetFields()[i];
            if (!f->GetVisible()) continue;
            line += LiteRender(f->GetValue()) + "|";
        }
        rows.push_back(line);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

TLiteRows RunRows(TZanQuery& q, const std::string& sql) {
    q.Close();
    q.GetSQL().SetText(sql);
    q.Open();
    TLiteRows rows = RowsOf(q);
    q.Close();
    return rows;
}

void Exec(TZanDataBase& db, const std::string& sql) {
    TZanQuery q;
    q.SetDatabase(&db);
    q.GetSQL().SetText(sql);
    q.ExecSQL();
}

// o(id, k, s) and x(id, k, s): keys with duplicates, NULLs and keys only one side has.
class GroupedSubqueries : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sqlite3_open(":memory:", &FLite), SQLITE_OK);
        const Variant n = Null();
        FRows["o"] = {{1, 1, "a"}, {2, 1, "b"}, {3, 2, "a"}, {4, 2, "a"}, {5, 2, "c"},
                      {6, 3, n},   {7, n, "a"}, {8, n, "b"}, {9, 5, "b"}, {10, 1, "c"}};
        FRows["x"] = {{1, 1, "a"}, {2, 1, "a"}, {3, 2, "c"}, {4, 3, "b"}, {5, 3, "b"},
                      {6, 3, "b"}, {7, n, "a"}, {8, 4, "a"}, {9, 2, n},   {10, 1, "c"}};
        for (const auto& [name, rows] : FRows) {
            const std::string ddl = "CREATE TABLE " + name + " (id INTEGER, k INTEGER, s TEXT)";
            ASSERT_EQ(sqlite3_exec(FLite, ddl.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
            FillLiteTable(FLite, name, rows);
        }
    }
    void TearDown() override {
        if (FLite) sqlite3_close(FLite);
    }
    void Populate(TZanDataBase& db) {
        const std::vector<TTestField> fields = {{"id", ftInteger}, {"k", ftInteger}, {"s", ftString, 4}};
        CreateTestTable(db, "o", fields, {}, FRows["o"], soASCII);
        CreateTestTable(db, "x", fields, {{"xk", "k", {}}}, FRows["x"], soASCII);
    }
    void Change(TZanDataBase& db, const std::string& sql) {
        Exec(db, sql);
        ASSERT_EQ(sqlite3_exec(FLite, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }

    sqlite3* FLite = nullptr;
    std::map<std::string, std::vector<std::vector<Variant>>> FRows;
};

} // namespace

// HAVING read the subquery's outer column from the source row the grouping had ended on, not
// from the group: every group got the same answer. Keyed and run per group, over a grouped
// column that is or is not the first result column.
TEST_F(GroupedSubqueries, HavingReadsTheGroupsColumnsInItsSubqueries) {
    TQueryTestDb t(true, "having.zan");
    Populate(t.Db);
    const std::vector<std::string> corpus = {
        "SELECT o.k, COUNT(*) FROM o GROUP BY o.k HAVING EXISTS (SELECT * FROM x WHERE x.k = o.k)",
        "SELECT o.k, COUNT(*) FROM o GROUP BY o.k HAVING NOT EXISTS (SELECT * FROM x WHERE x.k = "
        "o.k + 0)",
        "SELECT o.k, COUNT(*) FROM o GROUP BY o.k HAVING COUNT(*) >= (SELECT COUNT(*) FROM x WHERE "
        "x.k = o.k)",
        "SELECT COUNT(*), o.s, o.k FROM o GROUP BY o.s, o.k HAVING o.s IN (SELECT x.s FROM x WHERE "
        "x.k = o.k)",
        "SELECT o.s, MAX(o.id) FROM o GROUP BY o.s HAVING MAX(o.id) > (SELECT COUNT(*) FROM x "
        "WHERE x.s = o.s AND x.k > 1) + 6",
    };
    TScopeExit restore([] { TZanQueryProviderItem::SetKeyedSubqueries(true); });
    for (const bool keyed : {true, false}) {
        TZanQueryProviderItem::SetKeyedSubqueries(keyed);
        for (const std::string& sql : corpus) {
            SCOPED_TRACE((keyed ? "" : "per row: ") + sql);
            EXPECT_EQ(RunRows(t.Query, sql), LiteRowsOf(FLite, sql));
        }
    }
}

// Refresh runs the statement again without parsing it: a subquery there (keyed, nested, in a
// UNION member, uncorrelated) sees the inner table as it is now.
TEST_F(GroupedSubqueries, ARefreshedQuerySeesItsChangedInnerTable) {
    TQueryTestDb t(true, "refresh.zan");
    Populate(t.Db);
    const std::vector<std::string> corpus = {
        "SELECT o.id FROM o WHERE EXISTS (SELECT * FROM x WHERE x.k = o.k AND x.s = o.s)",
        "SELECT o.id FROM o WHERE o.s IN (SELECT x.s FROM x WHERE x.k = o.k AND NOT EXISTS "
        "(SELECT * FROM x y WHERE y.s = x.s AND y.id > o.id))",
        "SELECT o.id FROM o WHERE o.k IN (SELECT x.k FROM x) UNION SELECT x.id FROM x WHERE "
        "NOT EXISTS (SELECT * FROM o WHERE o.s = x.s)",
    };
    for (const std::string& sql : corpus) {
        SCOPED_TRACE(sql);
        t.Query.GetSQL().SetText(sql);
        t.Query.Open();
        EXPECT_EQ(RowsOf(t.Query), LiteRowsOf(FLite, sql));
        Change(t.Db, "UPDATE x SET s = 'a' WHERE k = 2");
        t.Query.Refresh();
        EXPECT_EQ(RowsOf(t.Query), LiteRowsOf(FLite, sql));
        Change(t.Db, "DELETE FROM x WHERE k = 1");
        t.Query.Refresh();
        EXPECT_EQ(RowsOf(t.Query), LiteRowsOf(FLite, sql));
        Change(t.Db, "UPDATE x SET k = 1, s = 'b' WHERE id > 5");
        t.Query.Refresh();
        EXPECT_EQ(RowsOf(t.Query), LiteRowsOf(FLite, sql));
        t.Query.Close();
    }
}

// MaxRecords cuts the rows produced, then they are sorted: ties of the keyed leading columns
// are still ordered by the others.
TEST(QueryWideKeysLimits, MaxRecordsOverAWideSort) {
    TQueryTestDb t(true, "widemax.zan");
    const std::string a(250, 'a');
    std::vector<std::vector<Variant>> rows;
    for (int i = 0; i < 12; ++i)
        rows.push_back({i, a, std::string(250, 'b') + char('z' - i)});
    CreateTestTable(t.Db, "w", {{"id", ftInteger}, {"a", ftString, 250}, {"b", ftString, 250}}, {},
                    rows, soASCII);
    t.Query.SetMaxRecords(5);
    t.Query.GetSQL().SetText("SELECT id, a, b FROM w ORDER BY a, b DESC");
    t.Query.Open();
    std::vector<int> ids;
    for (t.Query.First(); !t.Query.GetEOF(); t.Query.Next())
        ids.push_back(t.Query.GetFields()[0]->GetAsInteger());
    t.Query.Close();
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 3, 4}));
}

// Through the shell: the widest strings counted distinct, and a result column named like the
// hidden field that orders rows sharing a key's leading columns.
TEST(SqlShellWideKeysMore, DistinctCountsOfWideStringsAndATieFieldName) {
    const std::string q = std::string(254, 'q');
    const std::string wide = "CREATE TABLE w (id INTEGER, a VARCHAR(256), b VARCHAR(256));\n"
                             "INSERT INTO w VALUES (1, '" + q + "ab', '" + q + "xy');\n"
                             "INSERT INTO w VALUES (2, '" + q + "ac', '" + q + "xy');\n"
                             "INSERT INTO w VALUES (3, '" + q + "ab', '" + q + "xz');\n"
                             "INSERT INTO w VALUES (4, '" + q + "a', '" + q + "xz');\n";
    RunScriptCases({
        // The values kept to count distinct were cut to 255 bytes: 9729 "Key violation".
        {"COUNT(DISTINCT)",
         wide + "SELECT COUNT(DISTINCT a), COUNT(DISTINCT b) FROM w;\n"
                "SELECT b, COUNT(DISTINCT a) FROM w GROUP BY b ORDER BY b;\n",
         0,
         "COUNT(DISTINCT a)\tCOUNT(DISTINCT b)\n3\t2\nb\tCOUNT(DISTINCT a)\n" + q + "xy\t2\n" + q +
             "xz\t2\n",
         {}},
        // The hidden field took the column's name: 8962 "Field name __SORTTIE appears twice".
        {"__SortTie", wide + "SELECT a, b, id AS __SortTie FROM w ORDER BY a, b DESC, 3;\n", 0,
         "a\tb\t__SortTie\n" + q + "a\t" + q + "xz\t4\n" + q + "ab\t" + q + "xz\t3\n" + q + "ab\t" +
             q + "xy\t1\n" + q + "ac\t" + q + "xy\t2\n",
         {}},
        // A narrow result hid a column of that name, and printed its rows without it.
        {"__SortTie narrow", wide + "SELECT id AS __SortTie, id + 1 FROM w WHERE id < 3;\n", 0,
         "__SortTie\tid + 1\n1\t2\n2\t3\n", {}},
    });
}
