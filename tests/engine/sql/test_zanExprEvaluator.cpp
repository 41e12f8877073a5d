#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "engine/sql/zanExprEvaluator.h"
#include "host/rtl/DateUtils.h"
#include "support/zanTestSupport.h"
#include "zanExprTestKit.h"

using namespace zan;

namespace {

const TZanParserOptions kWhere = ZanParserOptions({zpoExtSyntax, zpoParameters, zpoSubqueries});

class ExprEvaluatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        const TDateTime d = EncodeDate(2024, 2, 29);
        const TDateTime t = EncodeTime(10, 30, 15, 250);
        cat.T.AddRow({Variant(1), Variant(10), Variant("abc"), VarFromDateTime(d),
                      VarFromDateTime(t), VarFromDateTime(d + t), Variant(2.5),
                      Variant("memo text"), Variant(true), Variant(Currency::FromScaled(12500))});
        cat.T.AddRow({Null(), Variant(20), Null(), Null(), Null(), Null(), Null(), Null(), Null(),
                      Null()});
        cat.T.AddRow({Variant(3), Null(), Variant("\xc3\x89t\xc3\xa9 "), Null(), Null(), Null(),
                      Variant(-1.0), Null(), Variant(false), Null()});
    }

    // Parses the text over the catalogue; subquery nodes take the queued row sources.
    TExprParse& Parse(const std::string& text) {
        parses.emplace_back();
        TExprParse& p = parses.back();
        p.Parser.SetParserNotifyEvent([this](TParserNotifyType, TBaseParser* parser,
                                             TParserStack* stack, TZanExprNode* node, Variant&) {
            TSubquerySkipper skip;
            skip.Skip(*parser, stack);
            if (!subqueries.empty()) {
                node->SetExprNodeDataProvider(subqueries.front());
                subqueries.pop_front();
            }
        });
        EXPECT_TRUE(p.Run(text, kWhere, &cat.Tables)) << text << ": " << p.Error();
        return p;
    }

    // "T", "F" per row: whether the condition passes.
    std::string Passes(const std::string& text, bool excludeNulls = true) {
        TExprParse& p = Parse(text);
        TExprEvaluator ev;
        ev.SetDBStringCompare(DBASCIICompareStrings);
        ev.SetExcludeRelopNulls(excludeNulls);
        ev.Prepare(&cat.T, p.Root());
        std::string out;
        for (int row = 0; row < cat.T.RowCount(); ++row) {
            cat.T.SetCurrentRow(row);
            ev.Reset();
            out += ev.Evaluate() ? "T" : "F";
        }
        return out;
    }

    // The value on a row as text: "NULL", "undecided", a value, or "error <code>".
    std::string Value(const std::string& text, int row = 0) {
        TExprParse& p = Parse(text);
        TExprEvaluator ev;
        ev.SetDBStringCompare(DBASCIICompareStrings);
        ev.SetExcludeRelopNulls(true);
        ev.Prepare(&cat.T, p.Root(), EncodeDateTime(2025, 1, 2, 3, 4, 5, 600));
        cat.T.SetCurrentRow(row);
        Variant v;
        const int32_t code = ErrorCodeOf([&] { ev.EvaluateValueExpr(v); });
        if (code) return "error " + std::to_string(code);
        if (VarIsNull(v)) return "NULL";
        if (VarIsEmpty(v)) return "undecided";
        return VarToStr(v);
    }

    TExprCatalogue cat;
    std::deque<TExprParse> parses;
    std::deque<TCustomExprNodeDataProvider*> subqueries;
};

} // namespace

TEST_F(ExprEvaluatorTest, ConditionsOverRowsWithNulls) {
    struct Case {
        const char* text;
        const char* passes;
    };
    const Case cases[] = {
        {"a = 1", "TFF"},
        {"a <> 1", "FFT"},
        {"NOT a = 1", "FFT"},
        {"a IS NULL", "FTF"},
        {"(a + 1) IS NULL", "FTF"},
        {"a IS NOT NULL AND b IS NULL", "FFT"},
        {"a = 1 OR b = 20", "TTF"},
        // Kleene logic: NOT of an undecided AND / OR stays undecided.
        {"NOT (a = 5 AND b = 20)", "TFT"},
        {"NOT (a = 5 OR b = 99)", "TFF"},
        {"a > 0 OR a IS NULL", "TTT"},
        {"s = 'abc'", "TFF"},
        {"s > 'ab'", "TFT"},
        {"UPPER(s) = 'ABC'", "TFF"},
        {"s LIKE 'a%'", "TFF"},
        {"s NOT LIKE 'a%'", "FFT"},
        {"s LIKE '_t__'", "FFT"},
        {"s LIKE '%' ", "TFT"},
        {"a IN (1, 3)", "TFT"},
        {"a IN (2, NULL)", "FFF"},
        {"NOT a IN (2, NULL)", "FFF"},
        {"a NOT IN (2, 4)", "TFT"},
        {"a BETWEEN 1 AND 2", "TFF"},
        {"a NOT BETWEEN 1 AND 2", "FFT"},
        {"d = '2024-02-29'", "TFF"},
        {"EXTRACT(YEAR FROM d) = 2024", "TFF"},
        {"dt > d", "TFF"},
        {"f * 2 = 5", "TFF"},
        {"f / 0 IS NULL", "TTT"},
        {"bo", "TFF"},
        {"bo = FALSE", "FFT"},
        {"c > 1.2", "TFF"},
        {"m LIKE 'memo%'", "TFF"},
        {"TRIM(s) = 'abc'", "TFF"},
        {"SUBSTRING(s FROM 2 FOR 1) = 't'", "FFT"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Passes(c.text), c.passes) << c.text;
    // Without NULL exclusion a NULL compares below every value.
    EXPECT_EQ(Passes("a < 2", false), "TTF");
    EXPECT_EQ(Passes("a = 1", false), "TFF");
}

TEST_F(ExprEvaluatorTest, IsNullAtTheRootAsksTheNullFlag) {
    TExprParse& p = Parse("a IS NULL");
    TExprEvaluator ev;
    ev.SetDBStringCompare(DBASCIICompareStrings);
    ev.Prepare(&cat.T, p.Root());
    cat.T.SetCurrentRow(1);
    cat.T.ValueReads = cat.T.NullFlagReads = 0;
    EXPECT_TRUE(ev.Evaluate());
    EXPECT_EQ(cat.T.NullFlagReads, 1);
    EXPECT_EQ(cat.T.ValueReads, 0);
    TExprParse& q = Parse("(a + 1) IS NULL AND b = 20");
    ev.Prepare(&cat.T, q.Root());
    cat.T.ValueReads = cat.T.NullFlagReads = 0;
    EXPECT_TRUE(ev.Evaluate());
    EXPECT_EQ(cat.T.NullFlagReads, 0);
    EXPECT_EQ(cat.T.ValueReads, 2);
}

TEST_F(ExprEvaluatorTest, CaseInsensitiveAndPartialComparisons) {
    const auto run = [&](const std::string& text, bool caseInsensitive, int partial) {
        TExprParse p;
        p.Parser.SetCaseInsensitiveMatch(caseInsensitive);
        EXPECT_TRUE(p.Run(text, kWhere, &cat.Tables)) << p.Error();
        if (partial > 0) p.Root()->Right->SetPartialLength(partial);
        TExprEvaluator ev;
        ev.SetDBStringCompare(DBANSICompareStrings);
        ev.SetExcludeRelopNulls(true);
        ev.Prepare(&cat.T, p.Root());
        cat.T.SetCurrentRow(0);
        return ev.Evaluate();
    };
    EXPECT_FALSE(run("s = 'ABC'", false, 0));
    EXPECT_TRUE(run("s = 'ABC'", true, 0));
    EXPECT_TRUE(run("s LIKE 'AB%'", true, 0));
    EXPECT_TRUE(run("s LIKE 'aB%'", true, 0)); // the pattern is folded as well
    EXPECT_FALSE(run("s LIKE 'aB%'", false, 0));
    EXPECT_FALSE(run("s = 'abz'", false, 0));
    EXPECT_TRUE(run("s = 'abz'", false, 2));  // a prefix of 2 characters
    EXPECT_TRUE(run("s = 'ab*'", false, 2));
    EXPECT_FALSE(run("s = 'ab'", false, 0));
    EXPECT_TRUE(run("s = 'ab'", false, 2));
    // A partial length beyond the text: the whole constant is the prefix, and "abc" does not
    // begin with "abcdef" (a shorter value sorts below the prefix).
    EXPECT_FALSE(run("s = 'abcdef'", false, 500));
    EXPECT_TRUE(run("s < 'abcdef'", false, 500));
    EXPECT_FALSE(run("s = 'abcd'", false, 4));
    EXPECT_TRUE(run("s = 'abc'", false, 3));
    // A letter as the escape: escapes are found before folding, so the other-case letter stays
    // a plain letter and an escaped wildcard stays literal.
    EXPECT_TRUE(run("'xyz' LIKE 'X%' ESCAPE 'x'", true, 0));
    EXPECT_TRUE(run("'a%' LIKE 'ax%' ESCAPE 'x'", true, 0));
    EXPECT_FALSE(run("'ab' LIKE 'ax%' ESCAPE 'x'", true, 0));
    EXPECT_TRUE(run("'Ax' LIKE 'axx' ESCAPE 'x'", true, 0));
    EXPECT_FALSE(run("'X_' LIKE 'X_' ESCAPE 'X'", true, 0));
    EXPECT_TRUE(run("'_' LIKE 'X_' ESCAPE 'X'", true, 0));
    EXPECT_TRUE(run("'xy' LIKE 'x%' ESCAPE 'X'", true, 0));
    EXPECT_TRUE(run("'XY' LIKE 'x%' ESCAPE 'X'", true, 0));
    EXPECT_FALSE(run("'a' LIKE 'ax' ESCAPE 'x'", true, 0)); // a lone escape matches nothing
}

TEST_F(ExprEvaluatorTest, FunctionsCastsAndExtract) {
    struct Case {
        const char* text;
        int row;
        const char* value;
    };
    const Case cases[] = {
        {"UPPER(s)", 2, "\xc3\x89T\xc3\x89 "},
        {"LOWER(s)", 2, "\xc3\xa9t\xc3\xa9 "},
        {"UPPER(s)", 1, "NULL"},
        {"SUBSTRING(s FROM 2)", 0, "bc"},
        {"SUBSTRING(s, 2, 1)", 2, "t"},
        {"SUBSTRING(s FROM 0 FOR 2)", 0, "a"}, // positions 0 and 1
        {"SUBSTRING(s FROM -1 FOR 3)", 0, "a"},
        {"SUBSTRING(s FROM -1)", 0, "abc"},
        {"SUBSTRING(s FROM 0 FOR 3)", 2, "\xc3\x89t"},
        {"SUBSTRING(s FROM 5)", 0, ""},
        {"SUBSTRING(s FROM 2 FOR -1)", 0, ""},
        {"SUBSTRING(s FROM 2147483647 FOR 2147483647)", 0, ""},
        {"SUBSTRING(s FROM -2147483648 FOR 2147483647)", 0, ""},
        {"SUBSTRING(s FROM -2147483648 FOR 2147483651)", 0, "ab"},
        {"SUBSTRING(s FROM a FOR b)", 1, "NULL"},
        {"TRIM(s)", 2, "\xc3\x89t\xc3\xa9"},
        {"TRIM(LEADING 'a' FROM s)", 0, "bc"},
        {"TRIM(TRAILING 'c' FROM s)", 0, "ab"},
        {"TRIM(BOTH '\xc3\x89' FROM s)", 2, "t\xc3\xa9 "},
        {"TRIM(BOTH '' FROM s)", 0, "abc"},
        {"TRIM(s)", 1, "NULL"},
        {"s || 'x'", 0, "abcx"},
        {"s || 'x'", 1, "NULL"},
        {"a + 1", 1, "NULL"},
        {"a / 0", 0, "NULL"},
        // CAST by the operand's type; text cut at a character boundary.
        {"CAST(a AS VARCHAR(10))", 0, "1"},
        {"CAST(f AS VARCHAR(10))", 0, "2.5"},
        {"CAST(f / 3 AS VARCHAR(30))", 0, "0.8333333333333334"},
        {"CAST(d AS VARCHAR(20))", 0, "2024-02-29"},
        {"CAST(tm AS VARCHAR(20))", 0, "10:30:15.250"},
        {"CAST(dt AS VARCHAR(30))", 0, "2024-02-29 10:30:15.250"},
        {"CAST(s AS CHAR(1))", 2, "\xc3\x89"},
        // The text of a number, a date or a truth value is never cut to another value.
        {"CAST(a AS VARCHAR(1))", 0, "1"},
        {"CAST(b AS CHAR(1))", 0, "error 9645"},
        {"CAST(f AS VARCHAR(2))", 0, "error 9645"},
        {"CAST(d AS VARCHAR(9))", 0, "error 9645"},
        {"CAST(dt AS VARCHAR(10))", 0, "error 9645"},
        {"CAST(bo AS CHAR(2))", 0, "error 9645"},
        {"CAST(bo AS CHAR(5))", 2, "False"},
        {"CAST(a AS CHAR(1))", 1, "NULL"},
        {"CAST(f AS INTEGER)", 0, "2"},
        {"CAST(f * 3 AS INTEGER)", 0, "8"},
        {"CAST('12' AS INTEGER)", 0, "12"},
        {"CAST('x12' AS INTEGER)", 0, "error 9645"},
        {"CAST('0x10' AS INTEGER)", 0, "error 9645"},
        {"CAST(70000 AS SMALLINT)", 0, "error 9645"},
        {"CAST('-32769' AS SMALLINT)", 0, "error 9645"},
        {"CAST(-32768 AS SMALLINT)", 0, "-32768"},
        {"CAST('32767' AS SMALLINT)", 0, "32767"},
        {"CAST('2024-01-05' AS DATE)", 0, "2024-01-05"},
        {"CAST('soon' AS DATE)", 0, "error 9645"},
        // A text that is a time (or reads as one) is no date and no date-time.
        {"CAST('12' AS DATE)", 0, "error 9645"},
        {"CAST('1.5' AS DATE)", 0, "error 9645"},
        {"CAST('10:30' AS DATE)", 0, "error 9645"},
        {"CAST('10:30' AS TIMESTAMP)", 0, "error 9645"},
        {"CAST('2024-01-05 10:30:15' AS DATE)", 0, "2024-01-05"},
        {"CAST(dt AS DATE)", 0, "2024-02-29"},
        {"CAST(dt AS TIME)", 0, "1899-12-30 10:30:15.250"},
        {"CAST(a AS BOOLEAN)", 0, "True"},
        {"CAST(bo AS INTEGER)", 0, "-1"},
        {"CAST(a AS MONEY)", 0, "1"},
        {"CAST(a AS FLOAT)", 0, "1"},
        {"CAST(a AS BLOB)", 0, "error 10000"},
        {"CAST(a AS INTEGER)", 1, "NULL"},
        {"EXTRACT(YEAR FROM d)", 0, "2024"},
        {"EXTRACT(MONTH FROM dt)", 0, "2"},
        {"EXTRACT(DAY FROM d)", 0, "29"},
        {"EXTRACT(HOUR FROM tm)", 0, "10"},
        {"EXTRACT(MINUTE FROM dt)", 0, "30"},
        {"EXTRACT(SECOND FROM dt)", 0, "15.25"},
        {"EXTRACT(SECOND FROM dt)", 1, "NULL"},
        // One instant per execution.
        {"CURRENT_TIMESTAMP", 0, "2025-01-02 03:04:05.600"},
        {"CURRENT_DATE", 0, "2025-01-02"},
        {"CURRENT_TIME", 0, "1899-12-30 03:04:05.600"},
        {"a = 1", 1, "undecided"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Value(c.text, c.row), c.value) << c.text << " on row " << c.row;
}

TEST_F(ExprEvaluatorTest, OneInstantForEveryCurrentNodeOfAnExecution) {
    TExprParse& p = Parse("CURRENT_TIMESTAMP - CURRENT_TIMESTAMP = 0 AND CURRENT_DATE <= CURRENT_TIMESTAMP");
    TExprEvaluator ev;
    ev.SetDBStringCompare(DBASCIICompareStrings);
    ev.Prepare(&cat.T, p.Root());
    for (int i = 0; i < 50; ++i) {
        ev.Reset();
        ASSERT_TRUE(ev.Evaluate());
    }
}

TEST_F(ExprEvaluatorTest, SubqueriesInListsQuantifiersAndScalars) {
    TZanMemSubqueryProvider twoRows({{"v", ftInteger}}, {{Variant(1)}, {Variant(3)}});
    TZanMemSubqueryProvider withNull({{"v", ftInteger}}, {{Variant(5)}, {Null()}});
    TZanMemSubqueryProvider oneRow({{"v", ftInteger}}, {{Variant(1)}});
    TZanMemSubqueryProvider empty({{"v", ftInteger}}, {});
    TZanMemSubqueryProvider twoColumns({{"v", ftInteger}, {"w", ftInteger}}, {{Variant(1), Variant(2)}});
    TZanMemSubqueryProvider failing({{"v", ftInteger}}, {{Variant(1)}});
    failing.FailOpen = true;
    struct Case {
        const char* text;
        TCustomExprNodeDataProvider* source;
        const char* passes;
    };
    const Case cases[] = {
        {"a IN (SELECT v FROM x)", &twoRows, "TFT"},
        {"a NOT IN (SELECT v FROM x)", &twoRows, "FFF"},
        {"a IN (SELECT v FROM x)", &withNull, "FFF"},
        {"NOT a IN (SELECT v FROM x)", &withNull, "FFF"},
        {"a = (SELECT v FROM x)", &oneRow, "TFF"},
        {"(SELECT v FROM x) = a", &oneRow, "TFF"},
        {"a = (SELECT v FROM x)", &empty, "FFF"},
        {"a > ANY (SELECT v FROM x)", &twoRows, "FFT"},
        {"a >= ALL (SELECT v FROM x)", &twoRows, "FFT"},
        {"a > ALL (SELECT v FROM x)", &empty, "TTT"},
        {"a > ANY (SELECT v FROM x)", &empty, "FFF"},
        {"NOT a > ALL (SELECT v FROM x)", &withNull, "TFT"},
        {"NOT a < ANY (SELECT v FROM x)", &withNull, "FFF"},
        {"EXISTS (SELECT v FROM x)", &oneRow, "TTT"},
        {"NOT EXISTS (SELECT v FROM x)", &empty, "TTT"},
        {"(SELECT v FROM x) IS NULL", &empty, "TTT"},
        {"a = (SELECT v FROM x)", &failing, "FFF"},
        {"NOT EXISTS (SELECT v FROM x)", &failing, "FFF"},
        {"a IN (SELECT v FROM x)", &failing, "FFF"},
        // No rows: nothing is compared, so IN is False and NOT IN True even for a Null a.
        {"a IN (SELECT v FROM x)", &empty, "FFF"},
        {"a NOT IN (SELECT v FROM x)", &empty, "TTT"},
        {"NOT a IN (SELECT v FROM x)", &empty, "TTT"},
        {"a <> ALL (SELECT v FROM x)", &empty, "TTT"},
    };
    for (const auto& c : cases) {
        subqueries = {c.source};
        EXPECT_EQ(Passes(c.text), c.passes) << c.text;
    }
    EXPECT_GT(failing.Opens, 0);

    subqueries = {&twoRows};
    EXPECT_EQ(Value("a = (SELECT v FROM x)"), "error 9650");
    subqueries = {&twoRows};
    EXPECT_EQ(Value("(SELECT v FROM x)"), "error 9650");
    subqueries = {&twoColumns};
    EXPECT_EQ(Value("(SELECT v FROM x)"), "error 9656");
    subqueries = {&oneRow};
    EXPECT_EQ(Value("(SELECT v FROM x) + 1"), "2");
    subqueries = {&oneRow, &twoRows};
    EXPECT_EQ(Value("(SELECT v FROM x) = (SELECT v FROM y)"), "error 9650");
    subqueries = {&oneRow, &oneRow};
    EXPECT_EQ(Value("(SELECT v FROM x) = (SELECT v FROM y)"), "True");
    subqueries = {&oneRow, &empty};
    EXPECT_EQ(Value("(SELECT v FROM x) = (SELECT v FROM y)"), "undecided");
}

TEST_F(ExprEvaluatorTest, ResultListGenerator) {
    TExprParse& p = Parse("a IS NOT NULL AND s LIKE '%t%'");
    TExprResultListGenerator gen;
    TIntList candidates, result;
    for (int i = 3; i >= 1; --i)
        candidates.Add(i);
    gen.CreateResultList(&cat.T, p.Root(), true, result, candidates);
    EXPECT_EQ(result.Items(), std::vector<int32_t>({3}));
    gen.CreateResultList(&cat.T, nullptr, true, result, candidates);
    EXPECT_EQ(result.Items(), candidates.Items());
    cat.T.SetDBStringCompare(nullptr);
    EXPECT_EQ(ErrorCodeOf([&] { gen.CreateResultList(&cat.T, p.Root(), true, result, candidates); }),
              10065);
}

TEST_F(ExprEvaluatorTest, PreparingBindsFieldsAndRefusesUnknownOnes) {
    TExprParse& p = Parse("t.a = uu.a AND x = 'q'");
    TExprEvaluator ev;
    ev.SetDBStringCompare(DBASCIICompareStrings);
    EXPECT_EQ(ErrorCodeOf([&] { ev.Prepare(&cat.T, p.Root()); }), 8581); // t holds no x
    TZanMemProvider other("zz");
    other.AddField("a", ftInteger);
    EXPECT_EQ(ErrorCodeOf([&] { ev.Prepare(&other, p.Root()); }), 8581); // no provider "t"
    EXPECT_FALSE(ev.Evaluate());
    TExprParse& q = Parse("t.a = u.a");
    cat.U.AddRow({Variant(1), Variant("q")});
    ev.Prepare(&cat.T, q.Root());
    EXPECT_TRUE(ev.IsPrepared());
    cat.T.SetCurrentRow(0);
    EXPECT_TRUE(ev.Evaluate());
}
