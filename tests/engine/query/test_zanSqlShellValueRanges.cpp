// Scripts through the shell on a fresh file whose values reach the edge of what a column holds:
// MONEY values outside the currency range, string results wider than a table's widest string
// field, UNION members with longer strings than the first member's column. Each value is
// either stored and read back or refused with an engine error; nothing stored fails to read.
#include <gtest/gtest.h>

#include <sstream>

#include "sql_test_support.h"
#include "host/win/child_process.h"
#include "support/zanTestSupport.h"
#include "support/zanShellScript.h"
#include "tools/zansql/zanSqlShell.h"

using namespace zan;

// A MONEY value beyond the currency range was stored as given and every later read of the row
// failed ("Invalid floating point operation", after part of the row was printed).
TEST(SqlShellValueRanges, MoneyOutsideItsRangeIsRefused) {
    const std::string table = "CREATE TABLE m (id INTEGER, v MONEY);\n"
                              "INSERT INTO m VALUES (1, 12.5);\n";
    RunScriptCases({
        {"INSERT of a huge value",
         table + "INSERT INTO m VALUES (2, 1000000000000000000000);\n"
                 "INSERT INTO m VALUES (3, -1000000000000000);\n"
                 "SELECT id, v FROM m ORDER BY id;\n",
         1, "id\tv\n1\t12.5\n", {"error 9985: ", "out of range for field v"}},
        {"UPDATE that overflows rolls back",
         table + "INSERT INTO m VALUES (2, 900000000000001);\n"
                 "UPDATE m SET v = v * 10;\nSELECT id, v FROM m ORDER BY id;\n",
         1, "id\tv\n1\t12.5\n2\t900000000000001\n", {"error 9985: "}},
        {"INSERT ... SELECT of a float column",
         table + "CREATE TABLE f (x FLOAT);\nINSERT INTO f VALUES (1000000000000000000000);\n"
                 "INSERT INTO m (id, v) SELECT 5, x FROM f;\nSELECT COUNT(*) FROM m;\n",
         1, "COUNT(*)\n1\n", {"error 9985: "}},
        {"the largest values stay readable",
         table + "INSERT INTO m VALUES (2, 922337203685476.5);\n"
                 "INSERT INTO m VALUES (3, -922337203685476.5);\n"
                 "SELECT id, v FROM m ORDER BY id;\n",
         0, "id\tv\n1\t12.5\n2\t922337203685476.5\n3\t-922337203685476.5\n", {}},
    });
}

// A string expression's width is the sum of its parts' (a || b) and was used as the result
// column's size even beyond the widest string field: the statement failed with 9606 whatever
// the values. UNION took its string column's width from the first member alone, so a longer
// string of a later member failed to fit.
TEST(SqlShellValueRanges, StringResultWidths) {
    const std::string table = "CREATE TABLE u (a VARCHAR(5), b VARCHAR(200));\n"
                              "INSERT INTO u VALUES ('abc', 'x');\n";
    RunScriptCases({
        {"concatenation wider than a field",
         table + "SELECT b || b FROM u;\nSELECT DISTINCT b || a || b FROM u;\n",
         0, "b || b\nxx\nb || a || b\nxabcx\n", {}},
        {"a long concatenated value still fails to fit",
         "CREATE TABLE w (b VARCHAR(200));\nINSERT INTO w VALUES ('" + std::string(200, 'y') +
             "');\nSELECT b || b FROM w;\n",
         1, "", {"error 9645: ", "Field data length is out of range"}},
        {"UNION members with longer strings than the first",
         table + "CREATE TABLE v (s VARCHAR(12));\nINSERT INTO v VALUES ('abcdefghij');\n"
                 "SELECT a FROM u UNION SELECT s FROM v ORDER BY 1;\n"
                 "SELECT a FROM u UNION ALL SELECT 'longer text' FROM u ORDER BY 1;\n"
                 "SELECT 'k' FROM u UNION SELECT s FROM v UNION SELECT b || b FROM u ORDER BY 1;\n",
         0,
         "a\nabc\nabcdefghij\na\nabc\nlonger text\n'k'\nabcdefghij\nk\nxx\n", {}},
        // A later member's numbers, dates and truth values are stored as their text, which
        // took no part in the column's width.
        {"UNION members with numbers and dates under a narrow string",
         "CREATE TABLE n (s VARCHAR(2), i INTEGER, m SMALLINT, f FLOAT, c MONEY, d DATE, "
         "b BOOLEAN);\n"
         "INSERT INTO n VALUES ('ab', -2147483647, -32768, -0.000012345678901234, "
         "-922337203685476.5, '2024-05-06', FALSE);\n"
         "SELECT 'a' FROM n UNION SELECT 12345 FROM n ORDER BY 1;\n"
         "SELECT s FROM n UNION ALL SELECT i FROM n UNION ALL SELECT m FROM n UNION ALL "
         "SELECT f FROM n UNION ALL SELECT c FROM n UNION ALL SELECT d FROM n UNION ALL "
         "SELECT b FROM n ORDER BY 1;\n",
         0,
         "'a'\n12345\na\ns\n-1.2345678901234E-5\n-2147483647\n-32768\n"
         "-922337203685476.5\n2024-05-06\nFalse\nab\n",
         {}},
    });
}

// Through a field the same: a live result's MONEY field set beyond the currency range is
// refused when set, and the stored row keeps its value.
TEST(SqlShellValueRanges, MoneyFieldOutsideItsRangeIsRefused) {
    TQueryTestDb t(true, "moneyfield.zan");
    t.Exec("CREATE TABLE m (id INTEGER, v MONEY)");
    t.Exec("INSERT INTO m VALUES (1, 12.5)");
    t.Query.SetRequestLive(true);
    t.Query.GetSQL().SetText("SELECT id, v FROM m");
    t.Query.Open();
    t.Query.Edit();
    for (double huge : {1e30, -1e16, 922337203685477.0})
        EXPECT_EQ(ErrorCodeOf([&] { t.Query.FieldByName("v")->SetAsFloat(huge); }), 9985) << huge;
    t.Query.FieldByName("v")->SetAsFloat(-922337203685476.5);
    t.Query.Post();
    t.Query.Close();
    t.Query.SetRequestLive(false);
    EXPECT_EQ(t.Select("SELECT id, v FROM m"), "id\tv\n1\t-922337203685476.5\n");
}

// SUBSTRING takes the characters at positions start .. start + length - 1 that lie within the
// text: a start of 0 or below gave as many characters as a start of 1 would. CAST to a string
// shorter than a number's or a date's text cut it to a different value; a text is still cut.
TEST(SqlShellValueRanges, SubstringEdgesAndCastsThatDoNotFit) {
    const std::string table = "CREATE TABLE t (x INTEGER, f FLOAT, d DATE, s VARCHAR(10));\n"
                              "INSERT INTO t VALUES (123456, 3.25, '2024-02-29', 'h\xc3\xa9llo');\n";
    RunScriptCases({
        {"SUBSTRING from 0 and below",
         table + "SELECT SUBSTRING('abcdef' FROM 0 FOR 2) AS a, SUBSTRING('abcdef' FROM -1 FOR 3) "
                 "AS b, SUBSTRING('abcdef' FROM -1 FOR 2) AS c, SUBSTRING('abcdef' FROM -3) AS d, "
                 "SUBSTRING(s FROM 0 FOR 3) AS e, SUBSTRING(s FROM 2 FOR 2) AS g FROM t;\n",
         0, "a\tb\tc\td\te\tg\na\ta\t\tabcdef\th\xc3\xa9\t\xc3\xa9l\n", {}},
        {"CAST of a number too long for the string", table + "SELECT CAST(x AS VARCHAR(3)) FROM t;\n",
         1, "", {"error 9645: "}},
        {"CAST of a float too long for the string", table + "SELECT CAST(f AS CHAR(1)) FROM t;\n",
         1, "", {"error 9645: "}},
        {"CAST of a date too long for the string", table + "SELECT CAST(d AS CHAR(4)) FROM t;\n",
         1, "", {"error 9645: "}},
        {"CAST of values that fit and of a text",
         table + "SELECT CAST(x AS VARCHAR(6)) AS a, CAST(d AS CHAR(10)) AS b, "
                 "CAST('abcdef' AS VARCHAR(3)) AS c FROM t;\n",
         0, "a\tb\tc\n123456\t2024-02-29\tabc\n", {}},
        // n characters of several bytes each once overflowed a result column n bytes wide.
        {"CAST of texts whose characters take several bytes",
         table + "SELECT CAST(s AS CHAR(2)) AS a, CAST('\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac' AS "
                 "VARCHAR(2)) AS b, CAST(s AS CHAR(3)) || 'x' AS c FROM t;\n",
         0, "a\tb\tc\nh\xc3\xa9\t\xe2\x82\xac\xe2\x82\xac\th\xc3\xa9lx\n", {}},
    });
}
