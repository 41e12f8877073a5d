// Scripts through the shell that sort, group and remove duplicates over columns whose key is
// wider than an index key holds (three VARCHAR(200) columns), with the rows SQLite gives.
#include <gtest/gtest.h>

#include "sql_test_support.h"
#include "support/zanShellScript.h"

using namespace zan;

namespace {

const std::string C_WIDE = "CREATE TABLE w (a VARCHAR(200), b VARCHAR(200), c VARCHAR(200), "
                           "n INTEGER);\n"
                           "INSERT INTO w VALUES ('x', 'y', 'z', 1);\n"
                           "INSERT INTO w VALUES ('x', 'y', 'a', 2);\n"
                           "INSERT INTO w VALUES ('x', 'a', 'z', 3);\n"
                           "INSERT INTO w VALUES (NULL, 'y', 'z', 4);\n"
                           "INSERT INTO w VALUES ('x', 'y', 'z', 5);\n";

} // namespace

// ORDER BY, GROUP BY and DISTINCT over the three columns failed with 9602 "Key size too large":
// the result's sort and group indexes keyed every column.
TEST(SqlShellWideKeys, SortGroupAndDistinctOverWideColumns) {
    RunScriptCases({
        {"ORDER BY", C_WIDE + "SELECT a, b, c FROM w ORDER BY a, b, c;\n", 0,
         "a\tb\tc\n\\N\ty\tz\nx\ta\tz\nx\ty\ta\nx\ty\tz\nx\ty\tz\n", {}},
        {"GROUP BY", C_WIDE + "SELECT a, b, c, COUNT(*), SUM(n) FROM w GROUP BY a, b, c "
                              "ORDER BY a, b, c;\n",
         0,
         "a\tb\tc\tCOUNT(*)\tSUM(n)\n\\N\ty\tz\t1\t4\nx\ta\tz\t1\t3\nx\ty\ta\t1\t2\n"
         "x\ty\tz\t2\t6\n",
         {}},
        {"DISTINCT with ORDER BY",
         C_WIDE + "SELECT DISTINCT a, b, c FROM w ORDER BY c DESC, b, a;\n", 0,
         "a\tb\tc\nx\ta\tz\n\\N\ty\tz\nx\ty\tz\nx\ty\ta\n", {}},
        // An index a user makes keeps the limit.
        {"CREATE INDEX", C_WIDE + "CREATE INDEX wi ON w (a, b, c);\n", 1, "",
         {"error 9996: ", "exceeded the maximum key size of 500"}},
    });
}

// ORDER BY the bare name of a qualified select-list column was refused as a column not in the
// result ("SELECT t.id, t.s FROM t ORDER BY s"); SQLite sorts by it.
TEST(SqlShellWideKeys, OrderByTheBareNameOfAQualifiedColumn) {
    RunScriptCases({
        {"bare name", C_WIDE + "SELECT w.n, w.c FROM w ORDER BY c, n;\n", 0,
         "w.n\tw.c\n2\ta\n1\tz\n3\tz\n4\tz\n5\tz\n", {}},
    });
}
