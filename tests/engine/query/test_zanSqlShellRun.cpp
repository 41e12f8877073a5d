// The shell end to end on a "MEMORY" database and on a file it creates: a golden script in both
// output modes, errors, --bail and exit codes; bad statement texts give engine errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "sql_test_support.h"

using namespace zan;

namespace {

struct TRun {
    int Code;
    std::string Out, Err;
};

TRun Shell(const std::vector<std::string>& args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = RunZanSql(args, in, out, err);
    return {code, out.str(), err.str()};
}

const char* const C_SCRIPT = R"(CREATE TABLE p (id INTEGER, name VARCHAR(10), price FLOAT, born DATE, ok BOOLEAN);
INSERT INTO p VALUES (1, 'tab	here', 3.0, '2024-01-31', TRUE);
INSERT INTO p VALUES (2, NULL, 0.1, NULL, FALSE);
-- a comment line
INSERT INTO p VALUES (3, 'x', 1, '1999-12-31');
SELECT id, name, price, born, ok FROM p ORDER BY id;
SELECT COUNT(*) AS n, SUM(price) AS total FROM p;
DELETE FROM p WHERE id = 2;
SELECT id FROM nosuch;
SELECT id FROM p ORDER BY id;
)";

} // namespace

TEST(SqlShellRun, GoldenScriptAligned) {
    const TRun r = Shell({}, C_SCRIPT);
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Out, "0 rows affected\n"
                     "1 rows affected\n"
                     "1 rows affected\n"
                     "id  name      price  born        ok\n"
                     "--  --------  -----  ----------  -----\n"
                     " 1  tab here      3  2024-01-31  True\n"
                     " 2  NULL        0.1  NULL        False\n"
                     "n  total\n"
                     "-  -----\n"
                     "2    3.1\n"
                     "1 rows affected\n"
                     "id\n"
                     "--\n"
                     " 1\n");
    ASSERT_NE(r.Err.find("error 9645: "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("Number of insert columns does not match number of insert values"),
              std::string::npos);
    EXPECT_NE(r.Err.find("Table not found - nosuch"), std::string::npos);
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 2);
}

TEST(SqlShellRun, GoldenScriptTsvAndBail) {
    TRun r = Shell({"--tsv"}, C_SCRIPT);
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Out, "id\tname\tprice\tborn\tok\n"
                     "1\ttab\\there\t3\t2024-01-31\tTrue\n"
                     "2\t\\N\t0.1\t\\N\tFalse\n"
                     "n\ttotal\n"
                     "2\t3.1\n"
                     "id\n"
                     "1\n");
    r = Shell({"--tsv", "--bail"}, C_SCRIPT);
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1);
    r = Shell({"-c", "CREATE TABLE q (a INTEGER);\nINSERT INTO q VALUES (5);\nSELECT a FROM q"});
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, "0 rows affected\n1 rows affected\na\n-\n5\n");
}

TEST(SqlShellRun, AMissingFileIsCreatedAndKeepsItsRows) {
    TTempFile file("shell.zan");
    EXPECT_EQ(Shell({"-c", "CREATE TABLE k (a INTEGER);\nINSERT INTO k VALUES (7);", file.Path}).Code, 0);
    const TRun r = Shell({"--tsv", file.Path}, "SELECT a FROM k;\n");
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "a\n7\n");
    EXPECT_EQ(Shell({"-f", file.Path + ".missing.sql"}).Code, 1);
}

TEST(SqlShellRun, AnOpenQuoteAtTheEndRunsWhatCameBefore) {
    const TRun r = Shell({"--tsv"}, "CREATE TABLE k (a INTEGER);\nSELECT a FROM k;\nSELECT 'open FROM k;\n");
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Out, "a\n");
    EXPECT_NE(r.Err.find("error 0: Unterminated quoted text starting on line 3"), std::string::npos)
        << r.Err;
}

TEST(QueryBadInput, StatementTextsThatCannotBeSqlGiveEngineErrors) {
    TQueryTestDb t(false);
    t.Exec("CREATE TABLE b (a INTEGER, s VARCHAR(10))");
    const std::string big(1 << 20, 'x');
    const std::string texts[] = {
        "",
        "SELECT a FROM b WHERE s = 'x" + big + "'",
        "SELECT a FROM b WHERE " + std::string(200000, '(') + "a = 1",
        std::string("SELECT a\0 FROM b", 16),
        "SELECT a FROM b WHERE s = '\xff\xfe\x80'",
        "SELECT a FROM b WHERE s = 'open",
        "SELECT \xc3 FROM b",
        big,
    };
    for (const std::string& sql : texts) {
        std::string message;
        const int32_t code = t.ErrorOf(sql, &message);
        EXPECT_TRUE(code == 0 || code == 9645) << code << " " << message.substr(0, 200);
        EXPECT_FALSE(t.Db.InTransaction());
    }
}
