// Scripts through the shell at the engine's definition and value limits: the most fields an
// index takes (unique and non-unique, through CREATE TABLE's primary key and CREATE INDEX), and
// date-times before the calendar's day zero, whose stored number runs backwards within a day.
// Every definition is either refused with its error or usable afterwards; every comparison,
// sort, aggregate and index range orders date-times by the instant they name.
#include <gtest/gtest.h>

#include <string>

#include "host/win/child_process.h"
#include "support/zanShellScript.h"

using namespace zan;

namespace {

// "c0 SMALLINT, c1 SMALLINT, ..." for n columns, or "c0, c1, ..." without the type.
std::string Columns(int n, const char* type = "") {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += (i ? ", c" : "c") + std::to_string(i) + type;
    return s;
}

std::string Table(const std::string& name, int primaryKeyFields) {
    std::string s = "CREATE TABLE " + name + " (" + Columns(40, " SMALLINT");
    if (primaryKeyFields > 0) s += ", PRIMARY KEY (" + Columns(primaryKeyFields) + ")";
    return s + ");\n";
}

} // namespace

// A key holds at most 32 fields, a non-unique index's hidden record number among them. A
// primary key of 33 fields was stored and every later open of its table failed with an internal
// error (8581 "Too many key fields"); CREATE INDEX past the limit failed with 8581 too.
TEST(SqlShellLimits, FieldsPerIndex) {
    const std::string row = "INSERT INTO u (c0, c31, c39) VALUES (1, 2, 3);\n"
                            "INSERT INTO u (c0, c31, c39) VALUES (4, 5, 6);\n";
    RunScriptCases({
        {"a primary key one field past the limit leaves no table",
         Table("u", 33) + "SELECT COUNT(*) FROM u;\n" + Table("u", 32) + row +
             "SELECT c39 FROM u WHERE c0 = 4;\n",
         1, "c39\n6\n", {"error 9603: ", "PRIMARY: 33 fields, maximum allowed is 32", "Table not found"}},
        {"unique and non-unique indexes at and past the limit",
         Table("u", 0) + row + "CREATE UNIQUE INDEX q33 ON u (" + Columns(33) + ");\n" +
             "CREATE INDEX n32 ON u (" + Columns(32) + ");\n" +
             "CREATE UNIQUE INDEX q32 ON u (" + Columns(32) + ");\n" +
             "CREATE INDEX n31 ON u (" + Columns(31) + ");\n" +
             "INSERT INTO u (c0, c31, c39) VALUES (1, 2, 7);\n" +
             "INSERT INTO u (c0, c31, c39) VALUES (7, 8, 9);\n" +
             "SELECT c0, c39 FROM u WHERE c0 >= 1 AND c1 IS NULL ORDER BY c39;\n",
         1, "c0\tc39\n1\t3\n4\t6\n7\t9\n",
         {"error 9603: ", "q33: 33 fields, maximum allowed is 32",
          "n32: 32 fields, maximum allowed is 31", "error 9729: "}},
    });
}

// Before 1899-12-30 a date-time's number is the day, negative, minus the time of day: within
// such a day a later time is a smaller number. Sorts, comparisons, MIN and MAX and index ranges
// followed the number, so 23:00 came before 01:00 of the same day.
TEST(SqlShellLimits, DateTimesBeforeDayZeroOrderByTheirInstant) {
    const std::string rows = "CREATE TABLE d (ts TIMESTAMP, id INTEGER);\n"
                             "INSERT INTO d VALUES ('1850-06-01 01:00:00', 1);\n"
                             "INSERT INTO d VALUES ('1850-06-01 23:00:00', 2);\n"
                             "INSERT INTO d VALUES ('1850-06-02 00:00:00', 3);\n"
                             "INSERT INTO d VALUES ('1899-12-29 23:59:59', 4);\n"
                             "INSERT INTO d VALUES ('1899-12-30 12:00:00', 5);\n"
                             "INSERT INTO d VALUES ('0001-01-01 00:00:01', 6);\n"
                             "INSERT INTO d VALUES ('1950-06-01 01:00:00', 7);\n";
    const std::string queries =
        "SELECT id, ts FROM d ORDER BY ts;\n"
        "SELECT id FROM d WHERE ts > '1850-06-01 12:00:00' AND ts < '1850-06-02 00:00:00';\n"
        "SELECT id FROM d WHERE ts BETWEEN '1850-06-01 00:30:00' AND '1850-06-01 02:00:00';\n"
        "SELECT MIN(ts), MAX(ts) FROM d WHERE id < 3;\n"
        "SELECT id FROM d WHERE ts >= '1899-12-29 12:00:00' ORDER BY id;\n";
    const std::string expected = "id\tts\n6\t0001-01-01 00:00:01\n1\t1850-06-01 01:00:00\n"
                                 "2\t1850-06-01 23:00:00\n3\t1850-06-02 00:00:00\n"
                                 "4\t1899-12-29 23:59:59\n5\t1899-12-30 12:00:00\n"
                                 "7\t1950-06-01 01:00:00\n"
                                 "id\n2\n"
                                 "id\n1\n"
                                 "MIN(ts)\tMAX(ts)\n1850-06-01 01:00:00\t1850-06-01 23:00:00\n"
                                 "id\n4\n5\n7\n";
    RunScriptCases({
        {"without an index", rows + queries, 0, expected, {}},
        {"through an index", rows + "CREATE INDEX its ON d (ts);\n" + queries, 0, expected, {}},
        {"through a unique descending index",
         rows + "CREATE UNIQUE DESC INDEX its ON d (ts);\n" +
             "INSERT INTO d VALUES ('1850-06-01 23:00:00', 8);\n" + queries,
         1, expected, {"error 9729: "}},
    });
}

// A time's digits after the seconds are a fraction, as a field reads them: SQL read ".5" as 5
// milliseconds and ".0000001" as 1, and refused more than three digits of a non-zero fraction
// ("12:00:00.1234" was 1,234 milliseconds).
TEST(SqlShellLimits, FractionsOfASecond) {
    RunScriptCases({
        {"one to seven digits",
         "CREATE TABLE t (t TIME, ts TIMESTAMP, id INTEGER);\n"
         "INSERT INTO t VALUES ('12:00:00.5', '2024-01-01 23:59:59.9', 1);\n"
         "INSERT INTO t VALUES ('12:00:00.05', '1850-01-01 00:00:00.1234567', 2);\n"
         "INSERT INTO t VALUES ('12:00:00.0000001', '9999-12-31 23:59:59.999', 3);\n"
         "SELECT id, CAST(t AS CHAR(20)), CAST(ts AS CHAR(30)) FROM t ORDER BY id;\n"
         "SELECT id FROM t WHERE t = '12:00:00.500' OR ts = '1850-01-01 00:00:00.123';\n"
         "SELECT id FROM t WHERE t < '12:00:00.01';\n",
         0,
         "id\tCAST(t AS CHAR(20))\tCAST(ts AS CHAR(30))\n"
         "1\t12:00:00.500\t2024-01-01 23:59:59.900\n"
         "2\t12:00:00.050\t1850-01-01 00:00:00.123\n"
         "3\t12:00:00\t9999-12-31 23:59:59.999\n"
         "id\n1\n2\nid\n3\n",
         {}},
    });
}
