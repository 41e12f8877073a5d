// Hostile input through the expression parser and evaluator: a parse error, a value or an engine
// error, never a crash, a hang or a foreign exception.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/sql/zanExprEvaluator.h"
#include "support/zanTestSupport.h"
#include "zanExprTestKit.h"

using namespace zan;

namespace {

const TZanParserOptions kEverything = ZanParserOptions(
    {zpoExtSyntax, zpoAggregate, zpoParameters, zpoSubqueries, zpoExtractAggFuncExprText});

struct TOutcome {
    bool Parsed = false;
    std::string Error;      // the parse error
    int32_t EngineCode = 0; // an engine error while evaluating
    Variant Value;
};

// Parses (with a subquery handler that hands back a row source that fails to open) and
// evaluates on every row of t.
TOutcome RunText(TExprCatalogue& cat, const std::string& text) {
    static TZanMemSubqueryProvider failing({{"v", ftInteger}}, {});
    failing.FailOpen = true;
    TOutcome out;
    TExprParse p;
    p.Parser.SetParserNotifyEvent([](TParserNotifyType, TBaseParser*, TParserStack*,
                                     TZanExprNode* node, Variant&) {
        if (node) node->SetExprNodeDataProvider(&failing);
    });
    out.Parsed = p.Run(text, kEverything, &cat.Tables);
    if (!out.Parsed) {
        out.Error = p.Error();
        return out;
    }
    TExprEvaluator ev;
    ev.SetDBStringCompare(DBANSICompareStrings);
    ev.SetExcludeRelopNulls(true);
    out.EngineCode = ErrorCodeOf([&] {
        ev.Prepare(&cat.T, p.Root());
        for (int row = 0; row < cat.T.RowCount(); ++row) {
            cat.T.SetCurrentRow(row);
            ev.Reset();
            ev.EvaluateValueExpr(out.Value);
        }
    });
    return out;
}

class ExprRobustness : public ::testing::Test {
protected:
    void SetUp() override {
        cat.T.AddRow({Variant(1), Variant(2), Variant(std::string(100000, 'a')), Null(), Null(),
                      Null(), Variant(1e308), Null(), Variant(true), Null()});
        cat.T.AddRow({Variant(INT32_MAX), Variant(INT32_MIN), Variant("x"), Null(), Null(),
                      Null(), Variant(-0.0), Variant(""), Null(), Null()});
    }
    TExprCatalogue cat;
};

} // namespace

TEST_F(ExprRobustness, HugeAndDeepInput) {
    // A 1 MB expression: an OR chain deeper than the tree limit is refused at once.
    std::string chain = "a = 1";
    while (chain.size() < (1u << 20))
        chain += " OR a = 1";
    TOutcome o = RunText(cat, chain);
    EXPECT_FALSE(o.Parsed);
    EXPECT_EQ(o.Error.substr(0, 13), "Invalid token");
    // A 1 MB string constant parses and compares.
    o = RunText(cat, "s = '" + std::string(1 << 20, 'q') + "'");
    EXPECT_TRUE(o.Parsed);
    EXPECT_EQ(o.EngineCode, 0);
    // 100,000 items in an IN list.
    std::string list = "a IN (";
    for (int i = 0; i < 100000; ++i)
        list += std::to_string(i + 5) + ",";
    list += "1)";
    o = RunText(cat, list);
    ASSERT_TRUE(o.Parsed) << o.Error;
    EXPECT_EQ(o.EngineCode, 0);
    // 10,000 nested parentheses and function calls.
    EXPECT_FALSE(RunText(cat, std::string(10000, '(') + "a" + std::string(10000, ')')).Parsed);
    std::string calls;
    for (int i = 0; i < 10000; ++i)
        calls += "UPPER(";
    EXPECT_FALSE(RunText(cat, calls + "s" + std::string(10000, ')')).Parsed);
    // CAST and EXTRACT nest without parentheses as well: each level counts toward the
    // nesting limit, so 60,000 of them (under 1 MB) are refused, not a stack overflow.
    const auto repeat = [](const std::string& s, int n) {
        std::string r;
        for (int i = 0; i < n; ++i)
            r += s;
        return r;
    };
    for (const std::string& text :
         {repeat("CAST ", 60000) + "a" + repeat(" AS INTEGER", 60000),
          repeat("EXTRACT YEAR FROM ", 50000) + "d",
          repeat("CAST (", 10000) + "a" + repeat(" AS INTEGER)", 10000)}) {
        o = RunText(cat, text);
        EXPECT_FALSE(o.Parsed);
        EXPECT_EQ(o.Error.substr(0, 13), "Invalid token");
    }
    o = RunText(cat, repeat("CAST ", C_MAXEXPRNESTING) + "a" +
                         repeat(" AS INTEGER", C_MAXEXPRNESTING));
    EXPECT_TRUE(o.Parsed) << o.Error;
    o = RunText(cat, repeat("CAST ", C_MAXEXPRNESTING + 1) + "a" +
                         repeat(" AS INTEGER", C_MAXEXPRNESTING + 1));
    EXPECT_EQ(o.Error.substr(0, 13), "Invalid token");
}

TEST_F(ExprRobustness, HostileValues) {
    struct Case {
        const char* text;
        int32_t code; // the engine error expected while evaluating (0: none)
    };
    const Case cases[] = {
        {"s LIKE '%a%a%a%a%b'", 0},
        {"s LIKE '%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%_'", 0},
        {"SUBSTRING(s FROM 2147483647 FOR 2147483647)", 0},
        {"SUBSTRING(s FROM -2147483648 FOR -2147483648)", 0},
        {"SUBSTRING(s FROM 99999999999999999999 FOR 99999999999999999999)", 0},
        {"SUBSTRING(s FROM a FOR b)", 0},
        {"a * a * a * a * a", 0},
        {"f * f", 0},
        {"f / 0", 0},
        {"-1 / 0.0", 0},
        {"CAST(f AS INTEGER)", 9645},
        {"CAST(f AS MONEY)", 9645},
        {"CAST(a AS DATE)", 9645}, // 2147483647 days is no date
        {"CAST(f AS DATE)", 9645},
        {"EXTRACT(YEAR FROM f)", 9645},
        {"EXTRACT(YEAR FROM CAST(s AS DATE))", 9645},
        {"CAST(s AS TIMESTAMP)", 9645},
        {"a = (SELECT v FROM x)", 0},
        {"EXISTS (SELECT v FROM x)", 0},
        {"a IN (SELECT v FROM x)", 0},
        {"a > ALL (SELECT v FROM x)", 0},
        {"(SELECT v FROM x) = (SELECT v FROM y)", 0},
        {":p + 1", 9645}, // an unbound parameter holds its name
        {"m || m", 0},
    };
    for (const auto& c : cases) {
        const TOutcome o = RunText(cat, c.text);
        if (!o.Parsed) { // a parse error is an acceptable outcome for hostile text
            EXPECT_NE(o.Error, "") << c.text;
            continue;
        }
        EXPECT_EQ(o.EngineCode, c.code) << c.text;
    }
    // Hostile date constants are parse errors at the constant.
    for (const char* text : {"d = '99999-99-99'", "d = '2024-02-30'", "d = '0000-00-00'",
                             "dt = '2024-01-01 99:99'", "tm = '12:60'", "d = '\xff\xfe'"}) {
        const TOutcome o = RunText(cat, text);
        EXPECT_FALSE(o.Parsed) << text;
        EXPECT_EQ(o.Error.substr(0, 6), "Value ") << text;
    }
}

TEST_F(ExprRobustness, RandomTokenSequencesGiveParseErrorsOnly) {
    static const char* const words[] = {
        "a", "b", "s", "d", "f", "m", "bo", "t.a", "uu.x", "1", "2.5", "-3", "'x'", "'2024-01-01'",
        "NULL", "TRUE", "(", ")", ",", "=", "<>", "<", ">=", "+", "-", "*", "/", "||", "AND", "OR",
        "NOT", "IS NULL", "IS NOT NULL", "LIKE", "ESCAPE", "'!'", "IN", "BETWEEN", "SELECT",
        "EXISTS", "ANY", "ALL", "SUM", "COUNT", "UPPER", "TRIM", "LEADING", "FROM", "FOR",
        "SUBSTRING", "CAST", "AS", "VARCHAR(3)", "INTEGER", "DATE", "EXTRACT", "YEAR", "SECOND",
        "CURRENT_DATE", ":p", "CASE", "DISTINCT", ";", "1.2.3"};
    std::mt19937 rng(20261208);
    int parsed = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const int n = 1 + static_cast<int>(rng() % 12);
        for (int k = 0; k < n; ++k)
            text += std::string(words[rng() % std::size(words)]) + " ";
        TOutcome o;
        ASSERT_NO_THROW(o = RunText(cat, text)) << text;
        parsed += o.Parsed;
    }
    EXPECT_GT(parsed, 0);
}
