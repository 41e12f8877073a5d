// The SQL shell's rules: statement splitting, value texts, error lines and options.
#include <gtest/gtest.h>

#include <sstream>

#include "engine/storage/zanConsts.h"
#include "host/rtl/DateUtils.h"
#include "tools/zansql/zanSqlShell.h"

using namespace zan;

namespace {

std::vector<std::string> Texts(const std::string& script, bool ok = true) {
    std::vector<TSqlScriptStatement> statements;
    std::string error;
    EXPECT_EQ(SplitSqlScript(script, statements, error), ok) << error;
    std::vector<std::string> texts;
    for (const auto& s : statements)
        texts.push_back(s.Text);
    return texts;
}

} // namespace

TEST(SqlShellSplit, StatementsEndAtASemicolonEndingALineOutsideQuotes) {
    using V = std::vector<std::string>;
    const struct {
        std::string script;
        V expected;
    } cases[] = {
        {"SELECT 1 FROM t;\nSELECT 2 FROM t;  \n", V{"SELECT 1 FROM t", "SELECT 2 FROM t"}},
        {"SELECT a;b FROM t;\n", V{"SELECT a;b FROM t"}},
        {"SELECT 'x;\n' FROM t;", V{"SELECT 'x;\n' FROM t"}},
        {"SELECT \"a;\nb\" FROM t;\n", V{"SELECT \"a;\nb\" FROM t"}},
        {"SELECT [x;\n] FROM t", V{"SELECT [x;\n] FROM t"}},
        {"SELECT 'it''s;\n' FROM t;", V{"SELECT 'it''s;\n' FROM t"}},
        {"SELECT 1 /* a;\n */ FROM t;", V{"SELECT 1 /* a;\n */ FROM t"}},
        {"SELECT 1 // c;\nFROM t;", V{"SELECT 1 // c;\nFROM t"}},
        {"  \n;\n\n", V{}},
        {"INSERT INTO t VALUES (1)", V{"INSERT INTO t VALUES (1)"}},
        {"-- a comment;\nSELECT 1 FROM t;\n-- tail\n", V{"SELECT 1 FROM t"}},
        {"SELECT a\n-- not a comment inside\nFROM t;", V{"SELECT a\n-- not a comment inside\nFROM t"}},
        {"/* only */;\n// a comment\n", V{}},
        {"SELECT 1 FROM t;\n/* tail */", V{"SELECT 1 FROM t"}},
        {"/* lead */ SELECT 1 FROM t;", V{"/* lead */ SELECT 1 FROM t"}},
        // A UTF-8 byte order mark before the first statement is dropped.
        {"\xEF\xBB\xBFSELECT 1 FROM t;\r\nSELECT 2 FROM t;\r\n",
         V{"SELECT 1 FROM t", "SELECT 2 FROM t"}},
        {"SELECT '\xEF\xBB\xBF' FROM t;", V{"SELECT '\xEF\xBB\xBF' FROM t"}},
        // A comment after the ending ";" ends the statement as blanks do.
        {"SELECT 1 FROM t; -- one;\nSELECT 2 FROM t; // two\nSELECT 3 FROM t;/* 3 */\n",
         V{"SELECT 1 FROM t", "SELECT 2 FROM t", "SELECT 3 FROM t"}},
        {"SELECT 1 FROM t; /* a\nb */ SELECT 2 FROM t;", V{"SELECT 1 FROM t", "/* a\nb */ SELECT 2 FROM t"}},
        {"SELECT a;-1 FROM t;", V{"SELECT a;-1 FROM t"}},
        // "--" lines after a block or "//" comment between statements are comments too.
        {"/* a\n b */\n-- c\nSELECT 1 FROM t;\n// d\n-- e\nSELECT 2 FROM t;",
         V{"SELECT 1 FROM t", "SELECT 2 FROM t"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Texts(c.script), c.expected) << c.script;
}

TEST(SqlShellSplit, CommentsAndLinesGoWithTheirStatement) {
    std::vector<TSqlScriptStatement> s;
    std::string error;
    ASSERT_TRUE(SplitSqlScript("\n-- ordered\n-- sqlite: SELECT 1\nSELECT a\nFROM t;\nSELECT b FROM t;",
                               s, error));
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].Line, 4);
    EXPECT_EQ(s[0].Comments, (std::vector<std::string>{"ordered", "sqlite: SELECT 1"}));
    EXPECT_EQ(s[1].Line, 6);
    EXPECT_TRUE(s[1].Comments.empty());
    ASSERT_TRUE(SplitSqlScript("/* x */\n-- ordered\nSELECT a FROM t;", s, error));
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].Line, 3);
    EXPECT_EQ(s[0].Comments, (std::vector<std::string>{"ordered"}));
}

TEST(SqlShellSplit, AnOpenQuoteOrCommentAtTheEndIsAnError) {
    for (const std::string script : {"SELECT 'abc FROM t;\n", "SELECT \"x", "SELECT [x", "SELECT 1 /* x"}) {
        std::vector<TSqlScriptStatement> s;
        std::string error;
        EXPECT_FALSE(SplitSqlScript("SELECT 1 FROM t;\n" + script, s, error)) << script;
        EXPECT_NE(error.find("line 2"), std::string::npos) << error;
        ASSERT_EQ(s.size(), 1u); // the complete statements before it still run
    }
}

TEST(SqlShellValues, TextsOfEachType) {
    const TDateTime day = EncodeDate(2024, 2, 29);
    const TDateTime time = EncodeTime(7, 5, 9, 0);
    const struct {
        Variant value;
        TFieldType type;
        std::string tsv, aligned;
    } cases[] = {
        {Null(), ftInteger, "\\N", "NULL"},
        {Variant(3.0), ftFloat, "3", "3"},
        {Variant(0.1), ftFloat, "0.1", "0.1"},
        {Variant(-2.5e-10), ftFloat, "-2.5e-10", "-2.5e-10"},
        {Variant(1.0 / 3), ftFloat, "0.3333333333333333", "0.3333333333333333"},
        {Variant(42), ftInteger, "42", "42"},
        {Variant(true), ftBoolean, "True", "True"},
        {Variant(false), ftBoolean, "False", "False"},
        {VarFromDateTime(day), ftDate, "2024-02-29", "2024-02-29"},
        {VarFromDateTime(time), ftTime, "07:05:09", "07:05:09"},
        {VarFromDateTime(day + time), ftDateTime, "2024-02-29 07:05:09", "2024-02-29 07:05:09"},
        {Variant(std::string("a\\b\tc\r\nd")), ftString, "a\\\\b\\tc\\r\\nd", "a\\b\tc\r\nd"},
        {Variant(std::string("\x01\xab", 2)), ftBlob, "01ab", "01ab"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SqlValueText(c.value, c.type, true), c.tsv) << c.tsv;
        EXPECT_EQ(SqlValueText(c.value, c.type, false), c.aligned) << c.aligned;
    }
}

TEST(SqlShellValues, ShortestFloatsReadBack) {
    for (double v : {0.1, 1e300, 123456789.125, -0.0, 5e-324, 2.0 / 3})
        EXPECT_EQ(std::strtod(ShortestFloatText(v).c_str(), nullptr), v);
    EXPECT_EQ(ShortestFloatText(-0.0), "0");
}

TEST(SqlShellErrors, EngineCodeAndFlatMessage) {
    try {
        ZanDatabaseError(9645, "test", "bad\r\nthing");
    } catch (const std::exception& e) {
        const std::string line = SqlErrorLine(e);
        EXPECT_EQ(line.rfind("error 9645: ", 0), 0u) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_EQ(line.find('\r'), std::string::npos);
        EXPECT_NE(line.find("bad thing"), std::string::npos) << line;
    }
    EXPECT_EQ(SqlErrorLine(std::runtime_error("x\ny")), "error 0: x y");
}

TEST(SqlShellOptions, GoodAndBadCommandLines) {
    TZanSqlOptions o;
    std::string error;
    ASSERT_TRUE(ParseZanSqlOptions({"--tsv", "--bail", "--user", "u", "--password", "p", "--key",
                                    "k1234", "-c", "SELECT 1", "db.zan"},
                                   o, error));
    EXPECT_TRUE(o.Tsv && o.Bail && o.HasCommand);
    EXPECT_EQ(o.User, "u");
    EXPECT_EQ(o.Password, "p");
    EXPECT_EQ(o.Key, "k1234");
    EXPECT_EQ(o.Command, "SELECT 1");
    EXPECT_EQ(o.Database, "db.zan");
    ASSERT_TRUE(ParseZanSqlOptions({}, o, error));
    EXPECT_EQ(o.Database, "MEMORY");
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--nope"}, {"-c"}, {"-c", "x", "-f", "y"}, {"a", "b"},
          {"--user", "u"}, {"-f", ""}, {"--key"}, {"-"}, {"-c", "SELECT 1", "-"}}) {
        EXPECT_FALSE(ParseZanSqlOptions(bad, o, error)) << bad[0];
        EXPECT_FALSE(error.empty());
        std::istringstream in;
        std::ostringstream out, err;
        EXPECT_EQ(RunZanSql(bad, in, out, err), 2);
        EXPECT_NE(err.str().find("usage: zansql"), std::string::npos);
    }
}

TEST(SqlShellOptions, DashAsFileReadsStandardInput) {
    std::istringstream in(
        "CREATE TABLE x (a INTEGER);\nINSERT INTO x VALUES (4);\nSELECT a FROM x;\n");
    std::ostringstream out, err;
    EXPECT_EQ(RunZanSql(std::vector<std::string>{"--tsv", "-f", "-"}, in, out, err), 0)
        << err.str();
    EXPECT_EQ(out.str(), "a\n4\n");
}
