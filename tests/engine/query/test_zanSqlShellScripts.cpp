// Short scripts through the shell on a database file it creates: the printed rows, the errors
// and the exit status of each, for statements whose results once came out wrong (self-joins,
// unique indexes, conversions, line breaks in literals, the string order of a new file, schema
// changes that touch an index, very wide select lists, deep joins, a damaged table definition).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "host/win/child_process.h"
#include "support/zanTestSupport.h"
#include "support/zanShellScript.h"
#include "tools/zansql/zanSqlShell.h"

using namespace zan;

namespace {

std::string Repeat(const std::string& part, int count, const std::string& separator) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += (i ? separator : "") + part;
    return text;
}

} // namespace

TEST(SqlShellScripts, GoldenResultsOnAFreshFile) {
    const std::string selfJoin = "CREATE TABLE t1 (id INTEGER, k INTEGER);\n"
                                 "INSERT INTO t1 VALUES (1, 2);\n"
                                 "INSERT INTO t1 VALUES (2, 3);\n"
                                 "INSERT INTO t1 VALUES (3, NULL);\n";
    const std::string unique = "CREATE TABLE u (id INTEGER, v INTEGER);\n"
                               "INSERT INTO u VALUES (1, 5);\n"
                               "INSERT INTO u VALUES (2, NULL);\n";
    const std::vector<TScriptCase> cases = {
        {"unaliased name wins over an aliased table's name",
         selfJoin + "SELECT t1.id, t3.id FROM t1 JOIN t1 t3 ON t3.id = t1.k ORDER BY 1;\n"
                    "SELECT t1.id, t3.id FROM t1 t3 JOIN t1 ON t1.id = t3.k ORDER BY 1;\n"
                    "SELECT t1.id, t3.k FROM t1, t1 t3 WHERE t1.k = t3.id ORDER BY 1;\n",
         0, "t1.id\tt3.id\n1\t2\n2\t3\nt1.id\tt3.id\n2\t1\n3\t2\nt1.id\tt3.k\n1\t3\n2\t\\N\n", {}},
        {"a subquery's aliased table leaves its table name to the enclosing table",
         selfJoin + "SELECT id FROM t1 WHERE EXISTS (SELECT x.id FROM t1 x WHERE x.id = t1.k) "
                    "ORDER BY 1;\n"
                    "CREATE TABLE t2 (id INTEGER);\nINSERT INTO t2 VALUES (2);\n"
                    "SELECT t2.id FROM t2 WHERE EXISTS (SELECT x.id FROM t1 x WHERE t1.k = t2.id);\n"
                    "SELECT t2.id FROM t2 WHERE EXISTS (SELECT x.id FROM t1 x WHERE t1.k = 7);\n",
         0, "id\n1\n2\nt2.id\n2\nt2.id\n", {}},
        {"three tables, one of them twice",
         "CREATE TABLE t1 (id INTEGER, k INTEGER);\nCREATE TABLE t2 (id INTEGER, k INTEGER);\n"
         "INSERT INTO t1 VALUES (1, 3);\nINSERT INTO t1 VALUES (3, 3);\n"
         "INSERT INTO t1 VALUES (4, 5);\nINSERT INTO t2 VALUES (1, 3);\n"
         "INSERT INTO t2 VALUES (4, 5);\n"
         "SELECT t1.id, t2.id, t3.id FROM t1 JOIN t2 ON t1.k = t2.k JOIN t1 t3 ON t3.id = t2.id "
         "ORDER BY 1, 2;\n",
         0, "t1.id\tt2.id\tt3.id\n1\t1\t1\n3\t1\t1\n4\t4\t4\n", {}},
        {"unique index over duplicates is refused, rows and indexes kept",
         unique + "INSERT INTO u VALUES (3, 5);\nCREATE UNIQUE INDEX uv ON u (v);\n"
                  "SELECT COUNT(*) FROM u;\nINSERT INTO u VALUES (4, 5);\n"
                  "SELECT COUNT(*) FROM u WHERE v = 5;\n",
         1, "COUNT(*)\n3\nCOUNT(*)\n3\n", {"error 9729: ", "Index uv"}},
        {"unique index counts NULLs as equal",
         unique + "INSERT INTO u VALUES (3, NULL);\nCREATE UNIQUE INDEX uv ON u (v);\n"
                  "SELECT COUNT(*) FROM u;\n",
         1, "COUNT(*)\n3\n", {"error 9729: "}},
        {"unique index over distinct keys, then a duplicate refused",
         unique + "CREATE UNIQUE INDEX uv ON u (v, id);\nINSERT INTO u VALUES (1, 5);\n"
                  "INSERT INTO u VALUES (2, 5);\nSELECT id, v FROM u ORDER BY 1, 2;\n",
         1, "id\tv\n1\t5\n2\t\\N\n2\t5\n", {"error 9729: "}},
        {"string order of a file zansql creates",
         "CREATE TABLE s (v VARCHAR(10));\nINSERT INTO s VALUES ('b');\n"
         "INSERT INTO s VALUES ('B');\nINSERT INTO s VALUES ('a');\nINSERT INTO s VALUES ('A');\n"
         "SELECT v FROM s ORDER BY v;\nSELECT v FROM s WHERE v > 'Z' ORDER BY v;\n",
         0, "v\nA\nB\na\nb\nv\na\nb\n", {}},
        {"a line break inside a literal is kept as written",
         "CREATE TABLE n (id INTEGER, s VARCHAR(4));\nINSERT INTO n VALUES (1, 'a\nb');\n"
         "INSERT INTO n VALUES (2, 'c\r\nd');\nSELECT id, s FROM n ORDER BY id;\n",
         0, "id\ts\n1\ta\\nb\n2\tc\\r\\nd\n", {}},
        {"dropping an indexed column is an engine error, the table unchanged",
         "CREATE TABLE a (x INTEGER, y INTEGER);\nINSERT INTO a VALUES (1, 2);\n"
         "CREATE INDEX ay ON a (y);\nALTER TABLE a DROP y;\nSELECT x, y FROM a;\n"
         "DROP INDEX a ay;\nALTER TABLE a DROP y;\nSELECT * FROM a;\n",
         1, "x\ty\n1\t2\nx\n1\n", {"error 9996: ", "Column y is used by index ay"}},
        {"failed conversions are engine errors and roll back",
         "CREATE TABLE a (id INTEGER, d DATE, x FLOAT);\nCREATE TABLE b (s VARCHAR(10));\n"
         "INSERT INTO a VALUES (1, '2021-01-01', 1.5);\nINSERT INTO b VALUES ('elder');\n"
         "SELECT d FROM a UNION SELECT s FROM b;\nSELECT x FROM a UNION SELECT s FROM b;\n"
         "INSERT INTO a (id, d) SELECT 2, s FROM b;\nSELECT COUNT(*) FROM a;\n"
         "CREATE TABLE c (n INTEGER, s VARCHAR(10));\nINSERT INTO c VALUES (1, 'elder');\n"
         "INSERT INTO c VALUES (2, '7');\nUPDATE c SET n = s;\nSELECT n FROM c ORDER BY 1;\n",
         1, "COUNT(*)\n1\nn\n1\n2\n",
         {"error 9645: ", "'elder' is not a valid date and time",
          "'elder' is not a valid floating point value", "'elder' is not a valid integer value"}},
        {"a select list wider than a table is refused",
         "CREATE TABLE t (a INTEGER);\nSELECT " + Repeat("a", 10000, ", ") + " FROM t;\n", 1, "",
         {"error 9492: "}},
        {"a deep self-join",
         "CREATE TABLE t (a INTEGER);\nINSERT INTO t VALUES (1);\nSELECT COUNT(*) FROM t t0" +
             [] {
                 std::string from;
                 for (int i = 1; i < 120; ++i)
                     from += ", t t" + std::to_string(i);
                 return from;
             }() + ";\n",
         0, "COUNT(*)\n1\n", {}},
    };
    for (const TScriptCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempFile file("scripts.zan");
        std::string out, err;
        EXPECT_EQ(RunScript(c.Script, file.Path, out, err), c.Code) << err;
        EXPECT_EQ(out, c.Out);
        for (const std::string& part : c.ErrParts)
            EXPECT_NE(err.find(part), std::string::npos) << part << " in:\n" << err;
        EXPECT_EQ(err.find("error 0:"), std::string::npos) << err;
    }
}

// Schema changes of a MEMORY database's tables are refused; the shell's MEMORY database compares
// strings by byte value as its new files do.
TEST(SqlShellScripts, MemoryDatabase) {
    std::istringstream in("CREATE TABLE s (v VARCHAR(5));\nINSERT INTO s VALUES ('b');\n"
                          "INSERT INTO s VALUES ('B');\nCREATE INDEX sv ON s (v);\n"
                          "SELECT v FROM s ORDER BY v;\n");
    std::ostringstream out, err;
    EXPECT_EQ(RunZanSql(std::vector<std::string>{"--tsv", "MEMORY"}, in, out, err), 1);
    EXPECT_EQ(out.str(), "v\nB\nb\n");
    EXPECT_NE(err.str().find("error 10766: "), std::string::npos) << err.str();
}

// A script file that cannot be read (a folder) is an error, as a missing one is.
TEST(SqlShellScripts, UnreadableScriptFile) {
    const std::string folder = TestTempPath("script_folder");
    std::filesystem::create_directories(folder);
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(RunZanSql(std::vector<std::string>{"-f", folder, "MEMORY"}, in, out, err), 1);
    EXPECT_EQ(err.str(), "error 0: cannot read " + folder + "\n");
    std::filesystem::remove_all(folder);
}

// A stored table definition damaged on disk (a digit of "RecordSize = " turned into a letter):
// setting the text of a statement naming the table fails with damage (8962), which reaches
// the shell as an error line (it once escaped a destructor and aborted the process).
TEST(SqlShellScripts, DamagedTableDefinition) {
    TTempFile file("damaged.zan");
    std::istringstream none;
    std::ostringstream out, err;
    ASSERT_EQ(RunZanSql(std::vector<std::string>{"-c", "CREATE TABLE w (id INTEGER);", file.Path},
                        none, out, err),
              0);
    std::vector<uint8_t> bytes = ReadFileBytes(file.Path);
    const std::string text(bytes.begin(), bytes.end());
    const size_t size = text.find("RecordSize = ", text.find("TableName = 'w'"));
    ASSERT_NE(size, std::string::npos);
    bytes[size + 13] = 'Q';
    WriteFileBytes(file.Path, bytes);
    std::string o, e;
    EXPECT_EQ(RunScript("SELECT COUNT(*) FROM w;\nINSERT INTO w VALUES (1);\n", file.Path, o, e), 1);
    EXPECT_EQ(o, "");
    EXPECT_NE(e.find("error 8962: "), std::string::npos) << e; // damage, no internal error
}

// What the shell cannot read or write is a failure, and comments alone are no statement: a
// script of comments, or one ending in a comment, succeeds; results that cannot be written (a
// full disk) and a standard input that cannot be read (a folder) fail with exit status 1.
TEST(SqlShellScripts, CommentsAloneAndFailedReadsAndWrites) {
    for (const char* script : {"-- only a comment\n/* and another */\n",
                               "CREATE TABLE t (a INTEGER);\n/* the end */\n// done\n",
                               "/* first */;\nCREATE TABLE t (a INTEGER);\n"}) {
        std::string out, err;
        EXPECT_EQ(RunScript(script, "MEMORY", out, err), 0) << script << err;
        EXPECT_EQ(err, "") << script;
    }

    struct TFullBuffer : std::streambuf {
        int overflow(int) override { return traits_type::eof(); }
    } full;
    std::ostream fullOut(&full);
    std::istringstream in("CREATE TABLE t (a INTEGER);\nINSERT INTO t VALUES (1);\nSELECT a FROM t;\n");
    std::ostringstream err;
    EXPECT_EQ(RunZanSql(std::vector<std::string>{"--tsv", "MEMORY"}, in, fullOut, err), 1);
    EXPECT_EQ(err.str(), "error 0: cannot write the results\n");

    const std::string folder = TestTempPath("stdin_folder");
    std::filesystem::create_directories(folder);
    TChildProcess child([&folder](TChildProcess&) {
        const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0 || dup2(fd, 0) < 0) return 2;
        std::ostringstream o, e;
        const int code = RunZanSql(std::vector<std::string>{"MEMORY"}, std::cin, o, e);
        return code == 1 && e.str() == "error 0: cannot read standard input\n" ? 0 : 1;
    });
    EXPECT_EQ(child.Wait(), 0);
    std::filesystem::remove_all(folder);
}
