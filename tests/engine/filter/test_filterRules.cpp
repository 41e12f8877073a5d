// The optimiser's rules (levels, index requests, search-type mapping, field limits), query
// expressions handed over by a driver, and bad filter texts.
#include <gtest/gtest.h>

#include <random>

#include "engine/sql/zanExprParser.h"
#include "engine/storage/zanConsts.h"
#include "filter_test_support.h"

using namespace zan;

namespace {

TEST(FilterDriver, QueryExpressionsExcludeNullsAndComeInAddressOrder) {
    TFilterTable table(SpecOfRows(120));
    TZanTable& t = table.Table;
    t.SetIndexName("ixS");
    std::vector<TFilterRow> rows = AllRows(t);
    std::sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.Address < b.Address; });
    std::vector<int> expected;
    for (const TFilterRow& r : rows)
        if (!VarIsNull(r.I) && r.I.AsInteger() < 5) expected.push_back(r.K);

    TParsedExpr parsed(t, "I < 5");
    TZanFilterExprDriver driver;
    driver.SetFilterExpr(parsed.Expr());
    driver.SetExcludeRelopNulls(true);
    t.AssignFilterExpr(driver);
    EXPECT_EQ(driver.GetExprOptimizationLevel(), olFull);
    EXPECT_EQ(Walk(t), expected);
    EXPECT_EQ(t.GetRecordCount(), int(expected.size()));

    // Ordered by an index; the dataset's own filter is ANDed in.
    t.GetFilterMgr().CloseFilter();
    t.SetFilter("S IS NOT NULL");
    t.SetFiltered(true);
    TZanFilterExprDriver ordered;
    ordered.SetFilterExpr(parsed.Expr());
    ordered.SetExcludeRelopNulls(true);
    ordered.SetEnforceExprOrder(true);
    ordered.SetOrderIndexName("ixI");
    t.AssignFilterExpr(ordered);
    EXPECT_EQ(t.GetCurrentIndexName(), "ixI");
    std::vector<int> got = Walk(t);
    std::vector<std::pair<int, int>> byI;
    for (const TFilterRow& r : rows)
        if (!VarIsNull(r.I) && r.I.AsInteger() < 5 && !VarIsNull(r.S))
            byI.push_back({r.I.AsInteger(), r.K});
    std::sort(byI.begin(), byI.end());
    ASSERT_EQ(got.size(), byI.size());
    for (size_t i = 0; i < got.size(); ++i) {
        t.Locate("K", Variant(got[i]), {});
        EXPECT_EQ(t.FieldByName("I")->GetAsInteger(), byI[i].first);
    }
    t.SetFiltered(false);
}

TEST(FilterDriver, AssessOnlyGivesLevelLimitsAndSize) {
    TFilterTable table(SpecOfRows(50));
    TZanTable& t = table.Table;
    struct {
        const char* Text;
        bool Valid, MinSet, MaxSet;
        int Min, Max;
        TZanFilterOptimisationLevel Level;
    } const cases[] = {
        {"I >= 3", true, true, false, 3, 0, olFull},
        {"I = 4", true, true, true, 4, 4, olFull},
        {"I < 9", true, false, true, 0, 9, olFull},
        {"I > 1 AND S = 'a'", false, false, false, 0, 0, olFull},
        {"K + 1 > I", false, false, false, 0, 0, olNone},
    };
    for (const auto& c : cases) {
        TParsedExpr parsed(t, c.Text);
        TZanFilterExprDriver driver;
        driver.SetFilterExpr(parsed.Expr());
        driver.SetAssessExprOnly(true);
        driver.SetLimitFieldName("I");
        t.AssignFilterExpr(driver);
        EXPECT_EQ(driver.GetLimitsAssessed(), c.Valid) << c.Text;
        EXPECT_EQ(driver.GetLimitMinSet(), c.MinSet) << c.Text;
        EXPECT_EQ(driver.GetLimitMaxSet(), c.MaxSet) << c.Text;
        if (c.MinSet) {
            EXPECT_EQ(driver.GetLimitFieldMin().AsInteger(), c.Min) << c.Text;
        }
        if (c.MaxSet) {
            EXPECT_EQ(driver.GetLimitFieldMax().AsInteger(), c.Max) << c.Text;
        }
        EXPECT_EQ(driver.GetExprOptimizationLevel(), c.Level) << c.Text;
        EXPECT_EQ(driver.GetMaximalResultSetSize(), 50) << c.Text;
        EXPECT_FALSE(t.GetFilterMgr().GetActive()) << c.Text;
        EXPECT_EQ(t.GetRecordCount(), 50);
    }
}

// The level of each case of the optimiser's rules; "all"/"none": the result's size.
TEST(FilterRules, LevelsOfEachCase) {
    struct TCase {
        int IndexSet;
        TSortOrder Order;
        TFilterMode Mode;
        bool CaseInsensitive;
        const char* Text;
        TZanFilterOptimisationLevel Level;
    };
    const TCase cases[] = {
        {0, soASCII, fmTable, false, "I = 5", olFull},
        {0, soASCII, fmTable, false, "5 = I", olFull}, // the parser puts the field first
        {0, soASCII, fmTable, false, "S = 'ab'", olFull},
        {0, soASCII, fmTable, true, "S = 'ab'", olFull}, // the case-insensitive index
        {2, soASCII, fmTable, true, "S = 'ab'", olNone}, // no case-insensitive index
        {0, soASCII, fmTable, false, "S = 'ab*'", olPartial},
        {0, soASCII, fmTable, false, "S LIKE 'ab%'", olPartial},
        {0, soASCII, fmTable, false, "S LIKE '%b'", olNone},
        {0, soASCII, fmTable, false, "S LIKE '_b%'", olNone},
        {0, soASCII, fmTable, false, "S LIKE 'a'", olNone},
        {0, soASCII, fmTable, false, "S NOT LIKE 'ab%'", olNone},
        {0, soANSI, fmTable, false, "S LIKE 'ab%'", olNone}, // prefixes are no key run
        {0, soANSI, fmTable, false, "S = 'ab*'", olNone},
        {0, soANSI, fmTable, false, "S = 'ab'", olFull},
        {0, soASCII, fmTable, false, "I <> 5", olFull},
        {0, soASCII, fmQueryNoNulls, false, "I <> 5", olPartial}, // NULL keys in the complement
        {0, soASCII, fmTable, false, "I > 10 OR I < 20", olFull}, // folded to TRUE
        {0, soASCII, fmTable, false, "I > 20 OR I < 10", olFull},
        {0, soASCII, fmTable, false, "I > 10 OR K < 20", olFull}, // two fields: not folded
        {0, soASCII, fmTable, false, "NOT (I = 1 AND S = 'a')", olNone},
        {0, soASCII, fmTable, false, "I IN (1, 2)", olFull},
        {0, soASCII, fmTable, true, "S IN ('a', 'B')", olFull},
        {2, soASCII, fmTable, true, "S IN ('a', 'B')", olNone}, // only a case-sensitive index
        {1, soASCII, fmTable, false, "S IN ('a', 'B')", olFull}, // descending ixSdesc
        {2, soASCII, fmTable, false, "I = 1 AND D > '2020-01-01'", olPartial},
        {2, soASCII, fmTable, false, "I = 1 OR D IS NULL", olNone},
        {0, soASCII, fmTable, false, "S = 'abcdefgh'", olNone}, // longer than the field
        {0, soASCII, fmTable, false, "1 = 1", olFull},
        {0, soASCII, fmTable, false, "2 < 1", olFull},
        {0, soASCII, fmTable, false, "I IS NULL", olFull},
        {0, soASCII, fmTable, false, "I BETWEEN 3 AND 5", olFull},
        {1, soASCII, fmTable, false, "I < 5", olFull}, // descending key
        {0, soASCII, fmTable, false, "I = 2.5", olNone}, // no integer key for it
        {0, soASCII, fmTable, false, "I + 1 = 5", olNone},
    };
    std::map<std::pair<int, int>, std::unique_ptr<TFilterTable>> tables;
    for (const TCase& c : cases) {
        auto& slot = tables[{c.IndexSet, int(c.Order)}];
        if (!slot) {
            TFilterTableSpec spec;
            spec.IndexSet = c.IndexSet;
            spec.Order = c.Order;
            spec.Rows = 60;
            slot = std::make_unique<TFilterTable>(spec);
        }
        TFilterOptions options;
        if (c.CaseInsensitive) options = TFilterOptions{foCaseInsensitive};
        const TFilterOutcome fast = RunFilter(slot->Table, c.Text, options, c.Mode, false);
        const TFilterOutcome slow = RunFilter(slot->Table, c.Text, options, c.Mode, true);
        ASSERT_TRUE(fast.Ok) << c.Text << " " << fast.Error;
        EXPECT_EQ(fast.Level, c.Level) << c.Text;
        EXPECT_EQ(fast.List, slow.List) << c.Text;
        if (std::string(c.Text) == "2 < 1") {
            EXPECT_TRUE(fast.List.empty());
        }
        if (std::string(c.Text) == "I > 10 OR I < 20") {
            EXPECT_EQ(fast.List.size(), 60u);
        }
    }
}

TEST(FilterRules, IndexRequestsSearchTypesAndLimits) {
    TFilterTable table(SpecOfRows(20));
    TFilterMgr& m = table.Table.GetFilterMgr();
    m.SetFilterText("I = 1 AND S LIKE 'ab%' OR K IN (1, 2) OR F > 1.5");
    ASSERT_TRUE(m.OpenFilter(&table.Table));
    TStringList lines;
    m.GetEvaluator()->GetOptimizer().GetManager().ListIndexRequests(lines);
    std::vector<std::string> got;
    for (int i = 0; i < lines.Count(); ++i)
        got.push_back(lines.Get(i));
    EXPECT_EQ(got, (std::vector<std::string>{"zeoEQ ixI", "zeoLIKE ixS", "zeoIN ixK",
                                             "zeoGT ixF"}));
    m.CloseFilter();

    struct {
        TZanExprOperator Op;
        TIndexSearchType Ascending, Descending;
    } const map[] = {
        {zeoISBLANK, stLE, stGE}, {zeoEQ, stLE, stLE},    {zeoNE, stLE, stGE},
        {zeoLE, stLE, stGE},      {zeoLIKE, stLE, stGE},  {zeoIN, stLE, stLE},
        {zeoNOTBLANK, stGT, stLT}, {zeoGT, stGT, stLT},   {zeoLT, stLT, stGT},
        {zeoGE, stGE, stLE},
    };
    for (const auto& c : map) {
        EXPECT_EQ(TIndexDataInterface::MapRelOpToSearchType(c.Op, false), c.Ascending);
        EXPECT_EQ(TIndexDataInterface::MapRelOpToSearchType(c.Op, true), c.Descending);
    }
    try {
        TIndexDataInterface::MapRelOpToSearchType(zeoAND, false);
        FAIL();
    } catch (const EZanDatabaseError& e) {
        EXPECT_EQ(e.ErrorCode, 8581);
        EXPECT_NE(std::string(e.what()).find("Unexpected seek type in Internal Find"),
                  std::string::npos);
    }
    EXPECT_EQ(TIndexDataInterface::ConvertStringForPartialMatch(zeoLIKE, "ab_c%"), "ab\xFF");
    EXPECT_EQ(TIndexDataInterface::ConvertStringForPartialMatch(zeoLIKE, "a %"), "a\xFF");
    EXPECT_EQ(TIndexDataInterface::ConvertStringForPartialMatch(zeoLIKE, "%a"), "");
}

// Bad texts give an error or the right rows, never a crash or a hang.
TEST(FilterRules, BadTextsAndTokenSoups) {
    TFilterTable table(SpecOfRows(40));
    TZanTable& t = table.Table;
    std::string deep(10000, '(');
    deep += "I = 1" + std::string(10000, ')');
    std::string longAnd = "I = 1";
    for (int i = 0; i < 3000; ++i)
        longAnd += " AND I = 1";
    std::string bigIn = "I IN (0";
    for (int i = 1; i < 10000; ++i)
        bigIn += ", " + std::to_string(i);
    bigIn += ")";
    std::string huge = "S = '" + std::string(1 << 20, 'a') + "'";
    const std::vector<std::string> errors = {
        "(", "I = (1", "'abc", "I = :p", "I IN (SELECT K FROM T)", "SUM(I) > 1", "Q = 1",
        "D = '2023-02-30'", deep, longAnd, std::string("I = \0 1", 7), "S = '\xFF\xFE'",
        "I = 1 I", "AND", "I IS", "I BETWEEN 1"};
    for (const std::string& text : errors) {
        const TFilterOutcome out = RunFilter(t, text, {}, fmTable, false);
        EXPECT_FALSE(out.Ok && text != "S = '\xFF\xFE'") << text.substr(0, 60);
    }
    const std::vector<std::string> valid = {"I = 99999999999999999999", bigIn, huge,
                                            "S LIKE '%'", "S LIKE '_'", "S LIKE 'a'", "   "};
    for (const std::string& text : valid) {
        const TFilterOutcome fast = RunFilter(t, text, {}, fmTable, false);
        const TFilterOutcome slow = RunFilter(t, text, {}, fmTable, true);
        EXPECT_EQ(fast.Ok, slow.Ok) << text.substr(0, 60);
        EXPECT_EQ(fast.List, slow.List) << text.substr(0, 60);
    }
    // Token soups.
    static const char* const tokens[] = {"I", "S", "K", "=", "<", "AND", "OR", "NOT", "(", ")",
                                         "'a'", "1", "LIKE", "IN", "BETWEEN", ",", "IS", "NULL",
                                         "+", "*", "CURRENT_DATE", "'%'", "TRUE", "-"};
    std::mt19937 r(5);
    for (int n = 0; n < 300; ++n) {
        std::string text;
        for (int k = int(r() % 9) + 1; k > 0; --k)
            text += std::string(tokens[r() % 24]) + " ";
        const TFilterOutcome fast = RunFilter(t, text, {}, fmTable, false);
        const TFilterOutcome slow = RunFilter(t, text, {}, fmTable, true);
        EXPECT_EQ(fast.Ok, slow.Ok) << text;
        EXPECT_EQ(fast.List, slow.List) << text;
    }
}

} // namespace
