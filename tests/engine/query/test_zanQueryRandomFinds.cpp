// Regression tests of statements the random differential test (tests/sql_diff/test_sql_fuzz.cpp)
// found answering otherwise than SQLite, each reduced to a few rows; expected results are
// SQLite's.
#include <gtest/gtest.h>

#include "engine/query/sql_test_support.h"

using namespace zan;

namespace {

void Fill(TQueryConnection& t) {
    t.Exec("CREATE TABLE t (id INTEGER, k INTEGER, s VARCHAR(5), f FLOAT)");
    t.Exec("INSERT INTO t VALUES (1, 1, 'a', 0.5)");
    t.Exec("INSERT INTO t VALUES (2, NULL, 'b', NULL)");
    t.Exec("INSERT INTO t VALUES (3, 3, NULL, 2)");
    t.Exec("INSERT INTO t VALUES (4, 3, NULL, 2)");
}

} // namespace

// A condition that is neither true nor false (a comparison, LIKE or IN with NULL) IS NULL: the
// test gave False, so "WHERE (k > 1) IS NULL" lost the rows whose k is NULL.
TEST(QueryRandomFinds, UndecidedConditionIsNull) {
    struct Case {
        const char* Sql;
        const char* Rows;
    } cases[] = {
        {"SELECT id FROM t WHERE (k > 1) IS NULL", "2\n"},
        {"SELECT id FROM t WHERE (k > 1) IS NOT NULL", "1\n3\n4\n"},
        {"SELECT id FROM t WHERE (s LIKE 'a%') IS NULL", "3\n4\n"},
        {"SELECT id FROM t WHERE (k IN (1, NULL)) IS NULL", "2\n3\n4\n"},
        {"SELECT id FROM t WHERE ((k = 1) OR (f > 1)) IS NULL", "2\n"},
        {"SELECT id FROM t WHERE (NOT (f > 1)) IS NULL", "2\n"},
        {"SELECT id FROM t WHERE k = 3 AND (s = 'x') IS NULL", "3\n4\n"},
    };
    for (bool file : {true, false}) {
        TQueryTestDb t(file, "isnull.zan");
        Fill(t);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.Sql);
            EXPECT_EQ(t.Select(std::string(c.Sql) + " ORDER BY id"), std::string("id\n") + c.Rows);
        }
    }
}

// A grouped column selected twice: the second copy was refused as not grouped.
TEST(QueryRandomFinds, GroupedColumnSelectedTwice) {
    TQueryTestDb t(false);
    Fill(t);
    EXPECT_EQ(t.Select("SELECT f, f, COUNT(*) FROM t GROUP BY f, f"),
              "f\tf_1\tCOUNT(*)\n\\N\t\\N\t1\n0.5\t0.5\t1\n2\t2\t2\n");
    EXPECT_EQ(t.Select("SELECT t.f, k, f, SUM(id) FROM t GROUP BY f, k HAVING SUM(id) > 1"),
              "t.f\tk\tf\tSUM(id)\n\\N\t\\N\t\\N\t2\n2\t3\t2\t7\n");
    // A column that is not grouped is still refused.
    EXPECT_EQ(t.ErrorOf("SELECT f, k, COUNT(*) FROM t GROUP BY f"), 9645);
}

// A selected condition that is neither true nor false is NULL, not False.
TEST(QueryRandomFinds, SelectedUndecidedConditionIsNull) {
    TQueryTestDb t(false);
    Fill(t);
    EXPECT_EQ(t.Select("SELECT id, (k > 1) AS a, (s LIKE 'a%') AS b, (f = 2 OR k = 1) AS c FROM t "
                       "ORDER BY id"),
              "id\ta\tb\tc\n1\tFalse\tTrue\tTrue\n2\t\\N\tFalse\t\\N\n3\tTrue\t\\N\tTrue\n"
              "4\tTrue\t\\N\tTrue\n");
}
