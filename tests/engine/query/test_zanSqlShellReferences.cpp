// Scripts through the shell whose statements name result columns and tables in ways that once
// picked the wrong column or were refused: ORDER BY, GROUP BY and HAVING over columns of the same
// name in two tables or of an aliased table named by its table name, bracketed names, numbers
// written with an exponent, and EXTRACT of a part its value does not have.
#include <gtest/gtest.h>

#include "host/win/child_process.h"
#include "support/zanShellScript.h"

using namespace zan;

namespace {

// a.k is 10, 30, 20 and b.k 3, 2, 1 for ids 1, 2, 3.
const std::string C_TWO_TABLES = "CREATE TABLE a (id INTEGER, k INTEGER);\n"
                                 "CREATE TABLE b (id INTEGER, k INTEGER);\n"
                                 "INSERT INTO a VALUES (1, 10);\nINSERT INTO a VALUES (2, 30);\n"
                                 "INSERT INTO a VALUES (3, 20);\nINSERT INTO b VALUES (1, 3);\n"
                                 "INSERT INTO b VALUES (2, 2);\nINSERT INTO b VALUES (3, 1);\n";

} // namespace

TEST(SqlShellReferences, SameFieldNameInTwoTables) {
    const std::string join = " FROM a JOIN b ON a.id = b.id ";
    const std::string aliased = " FROM a x JOIN b ON x.id = b.id ";
    RunScriptCases({
        {"HAVING names the second table's column",
         C_TWO_TABLES + "SELECT b.k, a.k, COUNT(*)" + join +
             "GROUP BY b.k, a.k HAVING a.k > 15 ORDER BY 1;\n"
             "SELECT a.k, b.k, COUNT(*)" +
             join + "GROUP BY b.k, a.k HAVING b.k > 1 ORDER BY 1;\n",
         0, "b.k\ta.k\tCOUNT(*)\n1\t20\t1\n2\t30\t1\na.k\tb.k\tCOUNT(*)\n10\t3\t1\n30\t2\t1\n", {}},
        {"HAVING over an aliased table, by its alias and by its table name",
         C_TWO_TABLES + "SELECT b.k, x.k, COUNT(*)" + aliased +
             "GROUP BY b.k, x.k HAVING x.k > 15 ORDER BY 1;\n"
             "SELECT b.k, x.k, COUNT(*)" +
             aliased + "GROUP BY b.k, x.k HAVING a.k < 15 ORDER BY 1;\n",
         0, "b.k\tx.k\tCOUNT(*)\n1\t20\t1\n2\t30\t1\nb.k\tx.k\tCOUNT(*)\n3\t10\t1\n", {}},
        {"ORDER BY an aliased table's column by its table name",
         C_TWO_TABLES + "SELECT b.k, x.k AS z" + aliased + "ORDER BY a.k;\n" +
             "SELECT b.k AS k, x.k" + aliased + "ORDER BY a.k DESC;\n" +
             "SELECT b.k AS k, x.k" + aliased + "ORDER BY x.k;\n",
         0, "b.k\tz\n3\t10\n1\t20\n2\t30\nk\tx.k\n2\t30\n1\t20\n3\t10\nk\tx.k\n3\t10\n1\t20\n2\t30\n",
         {}},
        {"GROUP BY a column whose field another column's alias names",
         C_TWO_TABLES + "SELECT b.k AS k, a.k, COUNT(*)" + join + "GROUP BY a.k, b.k ORDER BY 2;\n",
         0, "k\ta.k\tCOUNT(*)\n3\t10\t1\n1\t20\t1\n2\t30\t1\n", {}},
    });
}

TEST(SqlShellReferences, BracketedNames) {
    const std::string table = "CREATE TABLE [my t] ([c 1] INTEGER, [select] VARCHAR(10), k INTEGER);\n"
                              "INSERT INTO [my t] VALUES (1, 'a', 2);\n"
                              "INSERT INTO [my t] VALUES (2, 'b', 1);\n"
                              "INSERT INTO [my t] VALUES (3, 'b', 5);\n";
    RunScriptCases({
        {"ORDER BY a bracketed column",
         table + "SELECT [c 1], [select] FROM [my t] ORDER BY [c 1] DESC;\n"
                 "SELECT [k] FROM [my t] ORDER BY k DESC;\n"
                 "SELECT DISTINCT [select] FROM [my t] ORDER BY [select] DESC;\n"
                 "SELECT [select] FROM [my t] UNION SELECT [select] FROM [my t] "
                 "ORDER BY [select] DESC;\n",
         0, "[c 1]\t[select]\n3\tb\n2\tb\n1\ta\n[k]\n5\n2\n1\n[select]\nb\na\n[select]\nb\na\n", {}},
        {"GROUP BY and HAVING a bracketed column",
         table + "SELECT [select], COUNT(*) FROM [my t] GROUP BY [select] ORDER BY [select];\n"
                 "SELECT [select], SUM(k) FROM [my t] GROUP BY [select] HAVING [select] > 'a';\n",
         0, "[select]\tCOUNT(*)\na\t1\nb\t2\n[select]\tSUM(k)\nb\t6\n", {}},
        {"a bracketed table name qualifies its columns",
         table + "SELECT [my t].k FROM [my t] WHERE [my t].[c 1] = 2;\n"
                 "SELECT [c 1], k FROM [my t] ORDER BY [my t].k;\n",
         0, "[my t].k\n1\n[c 1]\tk\n2\t1\n1\t2\n3\t5\n", {}},
    });
}

TEST(SqlShellReferences, NumbersWithAnExponent) {
    RunScriptCases({
        {"exponents in values, conditions and expressions",
         "CREATE TABLE n (id INTEGER, f FLOAT);\nINSERT INTO n VALUES (1, 1e3);\n"
         "INSERT INTO n VALUES (2, -2.5e-1);\nINSERT INTO n VALUES (3, 1E+2);\n"
         "SELECT id, f FROM n WHERE f < 2e2 ORDER BY id;\n"
         "SELECT 1e3 AS v, .5e1 AS w FROM n WHERE id = 1;\nSELECT 1e3 FROM n WHERE id = 2;\n"
         "UPDATE n SET f = f * 1e1 WHERE id = 3;\nSELECT id, f FROM n ORDER BY id;\n",
         0, "id\tf\n2\t-0.25\n3\t100\nv\tw\n1000\t5\n1e3\n1000\nid\tf\n1\t1000\n2\t-0.25\n3\t1000\n", {}},
    });
}

TEST(SqlShellReferences, ExtractOfAPartTheValueLacks) {
    const std::string table = "CREATE TABLE t (d DATE, tm TIME, ts TIMESTAMP);\n"
                              "INSERT INTO t VALUES ('2024-02-29', '13:45:10', "
                              "'2024-02-29 13:45:10');\n";
    RunScriptCases({
        {"date parts of a time and time parts of a date are refused",
         table + "SELECT EXTRACT(YEAR FROM tm) FROM t;\nSELECT EXTRACT(MONTH FROM tm) FROM t;\n"
                 "SELECT EXTRACT(DAY FROM tm) FROM t;\nSELECT EXTRACT(HOUR FROM d) FROM t;\n"
                 "SELECT EXTRACT(YEAR FROM d), EXTRACT(DAY FROM ts), EXTRACT(SECOND FROM ts), "
                 "EXTRACT(MINUTE FROM tm) FROM t;\n",
         1,
         "EXTRACT(YEAR FROM d)\tEXTRACT(DAY FROM ts)\tEXTRACT(SECOND FROM ts)\t"
         "EXTRACT(MINUTE FROM tm)\n2024\t29\t10\t45\n",
         {"error 9645: ", "Extract value expression result type is invalid"}},
    });
}
