// Statements that write several rows and fail part way (a NOT NULL field left NULL, a key
// violation, a value out of range): the statement is refused as a whole on a file database, and
// the table agrees with its indexes afterwards (counts read through each index and by a scan).
#include <gtest/gtest.h>

#include "sql_test_support.h"
#include "support/zanShellScript.h"

using namespace zan;

namespace {

// Three rows of a table with a NOT NULL primary key, a NOT NULL name and an index on each
// column; then the statements of the case; then the row count by a scan and through each index.
std::string Keyed(const std::string& statements) {
    return "CREATE TABLE t (id INTEGER NOT NULL, v VARCHAR(10) NOT NULL, n SMALLINT, "
           "PRIMARY KEY (id));\n"
           "CREATE INDEX tv ON t (v);\nCREATE INDEX tn ON t (n);\n"
           "INSERT INTO t VALUES (1, 'a', 1);\nINSERT INTO t VALUES (2, 'b', 2);\n"
           "INSERT INTO t VALUES (11, 'c', 3);\n" +
           statements +
           "SELECT COUNT(*) FROM t;\nSELECT COUNT(*) FROM t WHERE id > 0;\n"
           "SELECT COUNT(*) FROM t WHERE v >= '';\nSELECT COUNT(*) FROM t WHERE n > 0;\n"
           "SELECT id, v, n FROM t ORDER BY id;\n";
}

const std::string C_UNCHANGED = "COUNT(*)\n3\nCOUNT(*)\n3\nCOUNT(*)\n3\nCOUNT(*)\n3\n"
                                "id\tv\tn\n1\ta\t1\n2\tb\t2\n11\tc\t3\n";

} // namespace

TEST(SqlShellStatements, NotNullFieldsAndStatementsFailingPartWay) {
    RunScriptCases({
        {"a NULL for a NOT NULL field is refused in INSERT ... VALUES",
         Keyed("INSERT INTO t VALUES (NULL, 'd', 4);\nINSERT INTO t VALUES (4, NULL, 4);\n"
               "INSERT INTO t (id, n) VALUES (5, 5);\n"),
         1, C_UNCHANGED, {"error 9732: ", "Field id must have a value", "Field v must have a value"}},
        {"an UPDATE setting a NOT NULL field NULL on its third row keeps none of its rows",
         Keyed("UPDATE t SET id = 100 / (id - 11);\nUPDATE t SET v = NULL WHERE id = 2;\n"),
         1, C_UNCHANGED, {"error 9732: ", "Field id must have a value"}},
        {"an INSERT ... SELECT whose third row leaves a NOT NULL field NULL keeps none of its rows",
         Keyed("INSERT INTO t SELECT id + 50 + 0 * (100 / (id - 11)), v, n FROM t;\n"),
         1, C_UNCHANGED, {"error 9732: "}},
        {"key violations and values out of range on a later row keep none of the rows",
         Keyed("INSERT INTO t SELECT 13 - id, v, n FROM t;\nUPDATE t SET n = n * 16000;\n"
               "UPDATE t SET id = id + 9;\nINSERT INTO t SELECT id + 20, v, n * 16000 FROM t;\n"),
         1, C_UNCHANGED, {"error 9729: ", "error 9985: "}},
        {"an AUTOINC NOT NULL field is numbered, NOT NULL is checked by column name",
         "CREATE TABLE a (id AUTOINC NOT NULL, s VARCHAR(5) NOT NULL);\n"
         "INSERT INTO a (s) VALUES ('x');\nINSERT INTO a (s) SELECT s FROM a;\n"
         "UPDATE a SET s = 'y' WHERE id = 2;\nSELECT id, s FROM a ORDER BY id;\n",
         0, "id\ts\n1\tx\n2\ty\n", {}},
        {"a UNION takes NULLs into a column from a NOT NULL field",
         "CREATE TABLE a (k INTEGER NOT NULL);\nCREATE TABLE b (k INTEGER);\n"
         "INSERT INTO a VALUES (1);\nINSERT INTO b VALUES (NULL);\n"
         "SELECT k FROM a UNION SELECT k FROM b ORDER BY 1;\n",
         0, "k\n\\N\n1\n", {}},
    });
}

// ALTER TABLE converting a column that a unique index uses: values that collide once converted
// (NULLs count as equal) once made the rows after the first silently vanish, with success
// reported. The statement now fails and the table keeps its rows, types and indexes, which the
// checker finds whole.
TEST(SqlShellStatements, AlterTypeCollidingInAUniqueIndexChangesNothing) {
    const std::string floats = "CREATE TABLE f (id INTEGER NOT NULL, x FLOAT, PRIMARY KEY (id));\n"
                               "CREATE UNIQUE INDEX ux ON f (x);\nCREATE INDEX fx ON f (x, id);\n"
                               "INSERT INTO f VALUES (1, 1.25);\nINSERT INTO f VALUES (2, 1.375);\n"
                               "INSERT INTO f VALUES (3, 7);\n";
    const std::vector<TScriptCase> cases = {
        {"converted floats collide in a unique index",
         floats + "ALTER TABLE f ALTER x TYPE INTEGER;\nINSERT INTO f VALUES (4, 1.75);\n"
                  "SELECT id, x FROM f ORDER BY x;\nSELECT COUNT(*) FROM f WHERE x > 0;\n"
                  "SELECT COUNT(*) FROM f WHERE id > 0;\n"
                  "ALTER TABLE f ALTER x TYPE VARCHAR(8), ADD y INTEGER;\n"
                  "INSERT INTO f VALUES (5, 'q', 3);\nSELECT id, x, y FROM f ORDER BY id;\n",
         1,
         "id\tx\n1\t1.25\n2\t1.375\n4\t1.75\n3\t7\nCOUNT(*)\n4\nCOUNT(*)\n4\n"
         "id\tx\ty\n1\t1.25\t\\N\n2\t1.375\t\\N\n3\t7\t\\N\n4\t1.75\t\\N\n5\tq\t3\n",
         {"error 9729: ", "Index ux"}},
        {"a primary key whose strings convert to NULLs",
         "CREATE TABLE s (k VARCHAR(5) NOT NULL, v INTEGER, PRIMARY KEY (k));\n"
         "INSERT INTO s VALUES ('a', 1);\nINSERT INTO s VALUES ('b', 2);\n"
         "INSERT INTO s VALUES ('c', 3);\nALTER TABLE s ALTER k TYPE INTEGER;\n"
         "SELECT k, v FROM s ORDER BY k;\nSELECT COUNT(*) FROM s WHERE k > 'a';\n",
         1, "k\tv\na\t1\nb\t2\nc\t3\nCOUNT(*)\n2\n", {"error 9729: ", "Index PRIMARY"}},
    };
    for (const TScriptCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempFile file("alter.zan");
        std::string out, err;
        EXPECT_EQ(RunScript(c.Script, file.Path, out, err), c.Code) << err;
        EXPECT_EQ(out, c.Out);
        for (const std::string& part : c.ErrParts)
            EXPECT_NE(err.find(part), std::string::npos) << part << " in:\n" << err;
        TZanDataBase db;
        db.SetDataBaseName(file.Path);
        db.Open();
        EXPECT_EQ(CheckFile(db), "");
        db.Close();
    }
}

// A NOT NULL blob field takes its value through the blob stream, which the record holds only
// once it is posted: the check asks the value being written, not the record's old state.
TEST(SqlShellStatements, NotNullBlobFields) {
    const std::string table = "CREATE TABLE b (id INTEGER NOT NULL, x BLOB NOT NULL, "
                              "PRIMARY KEY (id));\nCREATE TABLE c (id INTEGER, x BLOB);\n"
                              "INSERT INTO c VALUES (7, 'q');\n";
    RunScriptCases({
        {"values for a NOT NULL blob are taken by INSERT, INSERT ... SELECT and UPDATE",
         table + "INSERT INTO b VALUES (1, 'abc');\nINSERT INTO b SELECT id, x FROM c;\n"
                 "UPDATE b SET x = 'zz' WHERE id = 1;\nUPDATE b SET id = id + 100;\n"
                 "SELECT id, x FROM b ORDER BY id;\n",
         0, "id\tx\n101\t7a7a\n107\t71\n", {}},
        {"a NULL or empty value for a NOT NULL blob is refused, the row keeps its value",
         table + "INSERT INTO b VALUES (1, 'abc');\nINSERT INTO b VALUES (2, NULL);\n"
                 "INSERT INTO b VALUES (3, '');\nINSERT INTO b (id) VALUES (4);\n"
                 "UPDATE b SET x = NULL;\nUPDATE b SET x = '';\n"
                 "INSERT INTO c VALUES (8, NULL);\nINSERT INTO b SELECT id, x FROM c;\n"
                 "SELECT id, x FROM b ORDER BY id;\n",
         1, "id\tx\n1\t616263\n", {"error 9732: ", "Field x must have a value"}},
    });
}

// ALTER TABLE that would leave a NOT NULL field NULL in a row it keeps is refused and changes
// nothing: a later UPDATE of another column would otherwise be refused for that field.
TEST(SqlShellStatements, AlterTableNotNullOverExistingRows) {
    const std::string table = "CREATE TABLE u (id INTEGER, s VARCHAR(10));\n"
                              "INSERT INTO u VALUES (10, NULL);\nINSERT INTO u VALUES (11, 'ok');\n";
    RunScriptCases({
        {"a NOT NULL column added to a table with rows, or a column with NULLs made NOT NULL",
         table + "ALTER TABLE u ADD c INTEGER NOT NULL;\n"
                 "ALTER TABLE u ALTER s TYPE VARCHAR(10) NOT NULL;\n"
                 "UPDATE u SET id = id + 1;\nSELECT * FROM u ORDER BY id;\n",
         1, "id\ts\n11\t\\N\n12\tok\n", {"error 9732: ", "Field c must have a value"}},
        {"a NOT NULL column added to an empty table, and a column without NULLs made NOT NULL",
         "CREATE TABLE e (id INTEGER);\nALTER TABLE e ADD c INTEGER NOT NULL;\n"
         "INSERT INTO e VALUES (1, 2);\n" + table + "DELETE FROM u WHERE s IS NULL;\n"
         "ALTER TABLE u ALTER s TYPE VARCHAR(10) NOT NULL;\nINSERT INTO u VALUES (12, 'x');\n"
         "SELECT * FROM e;\nSELECT * FROM u ORDER BY id;\n",
         0, "id\tc\n1\t2\nid\ts\n11\tok\n12\tx\n", {}},
    });
}

// Names in one ALTER TABLE are the table's own. A type change naming a column that an earlier
// item of the same statement renamed once did nothing while the statement reported success;
// renaming one column twice would leave its indexes naming a column that is gone.
TEST(SqlShellStatements, AlterOfAColumnRenamedInTheSameStatement) {
    const std::string table = "CREATE TABLE t (i INTEGER, j INTEGER, k INTEGER);\n"
                              "CREATE INDEX ki ON t (k, i);\nINSERT INTO t VALUES (1, 2, 3);\n";
    RunScriptCases({
        {"the type change applies whether it comes before or after the rename",
         table + "ALTER TABLE t ALTER i TO ii, ALTER i TYPE CHAR(20);\n"
                 "ALTER TABLE t ALTER j TYPE CHAR(20), ALTER j TO jj;\n"
                 "INSERT INTO t VALUES ('abc', 'def', 4);\n"
                 "ALTER TABLE t ALTER k TO k1, ALTER k TYPE FLOAT, ALTER ii TO i3;\n"
                 "INSERT INTO t VALUES ('d', 'e', 4.5);\n"
                 "SELECT * FROM t WHERE k1 > 3 ORDER BY k1;\n",
         0, "i3\tjj\tk1\nabc\tdef\t4\nd\te\t4.5\n", {}},
        {"one column renamed twice is refused and the table keeps its names and index",
         table + "ALTER TABLE t ALTER k TO k1, ALTER k TO k2;\n"
                 "ALTER TABLE t ALTER k TO K1, ALTER i TO k1;\n"
                 "SELECT k, i FROM t WHERE k > 2;\n",
         1, "k\ti\n3\t1\n", {"error 9645: ", "Field already exists", "Token 'k2'"}},
    });
}

// An UPDATE that writes a value into an AUTOINC field moves the counter up to it: the counter
// once drew that value again, so every later INSERT into a keyed table failed with a key
// violation, and an unkeyed table got two rows with one number. Checked after reopening too.
TEST(SqlShellStatements, AutoincCounterPassesValuesWrittenByUpdate) {
    const std::string script = "CREATE TABLE a (id AUTOINC, s CHAR(3), PRIMARY KEY (id));\n"
                               "CREATE TABLE b (id AUTOINC, s CHAR(3));\n"
                               "INSERT INTO a (s) VALUES ('x');\nINSERT INTO a (s) VALUES ('y');\n"
                               "UPDATE a SET id = 3 WHERE s = 'y';\nINSERT INTO a (s) VALUES ('z');\n"
                               "UPDATE a SET id = id + 10 WHERE s = 'x';\n"
                               "INSERT INTO b (s) VALUES ('x');\nUPDATE b SET id = 2;\n"
                               "INSERT INTO b (s) VALUES ('y');\nUPDATE b SET id = 0 WHERE s = 'y';\n"
                               "INSERT INTO b (s) VALUES ('z');\n";
    const std::string after = "INSERT INTO a (s) VALUES ('w');\nINSERT INTO b (s) VALUES ('w');\n"
                              "SELECT id, s FROM a ORDER BY id;\nSELECT id, s FROM b ORDER BY id;\n";
    const std::string expected = "id\ts\n3\ty\n4\tz\n11\tx\n12\tw\nid\ts\n0\ty\n2\tx\n4\tz\n5\tw\n";
    std::string out, err;
    EXPECT_EQ(RunScript(script + after, "MEMORY", out, err), 0) << err;
    EXPECT_EQ(out, expected);
    TTempFile file("autoinc.zan");
    EXPECT_EQ(RunScript(script, file.Path, out, err), 0) << err;
    EXPECT_EQ(RunScript(after, file.Path, out, err), 0) << err;
    EXPECT_EQ(out, expected);
}

// A counter standing at the largest AUTOINC value (written by an UPDATE) draws no further
// number: the INSERT is refused (9985) instead of numbering the row with a wrapped negative
// value, and the table keeps its rows, on a file database and in memory, keyed or not.
TEST(SqlShellStatements, AutoincCounterAtItsLargestValueRefusesTheNextInsert) {
    RunScriptCases({
        {"keyed", "CREATE TABLE a (id AUTOINC, s CHAR(3), PRIMARY KEY (id));\n"
                  "INSERT INTO a (s) VALUES ('x');\nUPDATE a SET id = 2147483647;\n"
                  "INSERT INTO a (s) VALUES ('y');\nINSERT INTO a (s) VALUES ('z');\n"
                  "UPDATE a SET id = 5;\nINSERT INTO a (s) VALUES ('w');\n"
                  "SELECT id, s FROM a ORDER BY id;\n",
         1, "id\ts\n5\tx\n", {"error 9985: ", "2147483648 is out of range for field id"}},
        {"unkeyed", "CREATE TABLE b (id AUTOINC, s CHAR(3));\n"
                    "INSERT INTO b (s) VALUES ('x');\nINSERT INTO b (s) VALUES ('y');\n"
                    "UPDATE b SET id = 2147483647 WHERE s = 'y';\n"
                    "INSERT INTO b (s) VALUES ('z');\nSELECT id, s FROM b ORDER BY id;\n",
         1, "id\ts\n1\tx\n2147483647\ty\n", {"error 9985: "}},
    });
    std::string out, err;
    EXPECT_EQ(RunScript("CREATE TABLE m (id AUTOINC, s CHAR(3));\n"
                        "INSERT INTO m (s) VALUES ('x');\nUPDATE m SET id = 2147483647;\n"
                        "INSERT INTO m (s) VALUES ('y');\nSELECT id, s FROM m;\n",
                        "MEMORY", out, err),
              1);
    EXPECT_EQ(out, "id\ts\n2147483647\tx\n");
    EXPECT_NE(err.find("error 9985: "), std::string::npos) << err;
}
