// Regressions of the filter: work per IN constant and per find step, prefix constants and
// their index ranges, an assessment leaving the dataset's filter alone, refresh under
// OnFilterRecord, and texts cut by a NUL byte.
#include <gtest/gtest.h>

#include "engine/storage/zanConsts.h"
#include "engine/filter/filter_test_support.h"

using namespace zan;

namespace {

// K and a 6-byte string S with a case-sensitive and a case-insensitive index (soASCII).
struct TStringTable {
    TZanDataBase Db;
    TZanTable Table;
    explicit TStringTable(const std::vector<std::string>& values) {
        Db.SetDataBaseName(std::string(C_MEMORY_DATABASE));
        Db.Open();
        {
            TZanTable def;
            def.SetDataBase(&Db);
            def.SetTableName("T");
            def.SetMemory(true);
            def.SetSortOrder(soASCII);
            TFieldDefs& f = def.GetFieldDefs();
            f.Add("K", ftInteger, 0, true);
            f.Add("S", ftString, 6);
            TIndexDefs& x = def.GetIndexDefs();
            x.Add("ixK", "K", {ixUnique});
            x.Add("ixS", "S", {});
            x.Add("ixSci", "S", {ixCaseInsensitive});
            def.CreateTable();
        }
        Table.SetDataBase(&Db);
        Table.SetTableName("T");
        Table.SetMemory(true);
        Table.Open();
        int k = 0;
        for (const std::string& s : values)
            Table.AppendRecord({Variant(++k), Variant(s)});
    }
    ~TStringTable() {
        Table.Close();
        Table.SetDataBase(nullptr);
    }
};

std::vector<uint32_t> Sorted(std::vector<uint32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// The scan's rows come out of both string indexes as well.
void ExpectIndexesAgree(TZanTable& t, const std::string& text, TFilterOptions options) {
    const TFilterOutcome scan = RunFilter(t, text, options, fmTable, true);
    ASSERT_TRUE(scan.Ok) << text << " " << scan.Error;
    for (const char* index : {"ixS", "ixSci"}) {
        t.SetIndexName(index);
        const TFilterOutcome indexed = RunFilter(t, text, options, fmQuery, false);
        EXPECT_EQ(Sorted(indexed.List), Sorted(scan.List)) << text << " on " << index;
    }
}

int32_t FilterErrorCode(TZanTable& t, const std::string& text) {
    t.SetFiltered(false);
    t.SetFilter(text);
    try {
        t.SetFiltered(true);
    } catch (const EZanDatabaseError& e) {
        return e.ErrorCode;
    }
    return 0;
}


} // namespace

// Each distinct IN constant is searched once, however often the list repeats it.
TEST(FilterRegressions, LongInListSearchesEachDistinctConstantOnce) {
    TFilterTable table(SpecOfRows(600));
    TZanTable& t = table.Table;
    t.SetIndexName("ixK");
    std::string in = "I IN (";
    for (int i = 0; i < 3000; ++i)
        in += std::to_string(i % 21) + (i + 1 < 3000 ? "," : ")");
    const TFilterOutcome scan = RunFilter(t, in, {}, fmTable, true);
    const uint64_t before = TIndexDataInterface::GetSearchCount();
    const TFilterOutcome indexed = RunFilter(t, in, {}, fmTable, false);
    const uint64_t searches = TIndexDataInterface::GetSearchCount() - before;
    ASSERT_TRUE(indexed.Ok) << indexed.Error;
    EXPECT_EQ(indexed.Level, olFull);
    EXPECT_EQ(indexed.List, scan.List);
    EXPECT_LE(searches, 4u * 21u + 10u);
}

// FindFirst/FindNext with Filtered off evaluate the filter once for the whole walk, and again
// only after a write or a new text.
TEST(FilterRegressions, FindStepsKeepTheEvaluator) {
    TFilterTableSpec spec = SpecOfRows(800);
    spec.Nulls = false;
    TFilterTable table(spec);
    TZanTable& t = table.Table;
    t.SetIndexName("ixK");
    t.SetFilter("K + 0 > 0 AND I = 3");
    t.SetFiltered(true);
    const std::vector<int> expected = Walk(t);
    t.SetFiltered(false);
    ASSERT_GT(expected.size(), 10u);
    const uint64_t before = TZanBaseFilterEvaluator::GetEvaluationCount();
    std::vector<int> found;
    for (bool ok = t.FindFirst(); ok; ok = t.FindNext())
        found.push_back(t.FieldByName("K")->GetAsInteger());
    EXPECT_EQ(found, expected);
    EXPECT_LE(TZanBaseFilterEvaluator::GetEvaluationCount() - before, 2u);
    // A write between steps enters the next step's result.
    ASSERT_TRUE(t.FindFirst());
    t.AppendRecord({Variant(100000), Variant(3)});
    int last = 0;
    for (bool ok = t.FindFirst(); ok; ok = t.FindNext())
        last = t.FieldByName("K")->GetAsInteger();
    EXPECT_EQ(last, 100000);
    // So does a new text.
    t.SetFilter("K = 7");
    ASSERT_TRUE(t.FindFirst());
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), 7);
    EXPECT_FALSE(t.FindNext());
    EXPECT_FALSE(t.GetFiltered());
    EXPECT_EQ(t.GetRecordCount(), 801);
}

// An assessment with NULL exclusion leaves the dataset's own filter as it was: the same
// records (NULLs below every value) in index order, also after switching it off and on.
TEST(FilterRegressions, AssessmentLeavesTheDatasetFilterAsItWas) {
    TFilterTable table(SpecOfRows(120));
    TZanTable& t = table.Table;
    t.SetIndexName("ixS");
    t.SetFilter("I < 5");
    t.SetFiltered(true);
    const std::vector<int> before = Walk(t);
    TParsedExpr parsed(t, "K > 3");
    TZanFilterExprDriver driver;
    driver.SetFilterExpr(parsed.Expr());
    driver.SetAssessExprOnly(true);
    driver.SetExcludeRelopNulls(true);
    t.AssignFilterExpr(driver);
    EXPECT_EQ(Walk(t), before);
    EXPECT_EQ(t.GetRecordCount(), int(before.size()));
    std::vector<int> six;
    for (const TFilterRow& r : AllRows(t))
        if (VarIsNull(r.I) || r.I.AsInteger() < 6) six.push_back(r.K);
    t.SetFilter("I < 6");
    t.SetFiltered(false);
    t.SetFiltered(true);
    EXPECT_EQ(Walk(t), six);
    t.SetFiltered(false);
}

// A "*" constant is a prefix: values shorter than the prefix do not begin with it and sort
// below it. The evaluation follows a model and every index gives the evaluation's rows.
TEST(FilterRegressions, StarConstantIsAPrefixMatch) {
    const std::vector<std::string> values = {"Smith", "S", "", "Sx", "Sm", "Sl", "SM", "smz"};
    TStringTable o(values);
    TZanTable& t = o.Table;
    const auto model = [&](const std::string& op, const std::string& prefix) {
        std::vector<int> ks;
        for (size_t i = 0; i < values.size(); ++i) {
            const int c = values[i].substr(0, prefix.size()).compare(prefix);
            if ((op == "=" && c == 0) || (op == "<" && c < 0) || (op == "<=" && c <= 0) ||
                (op == ">" && c > 0) || (op == ">=" && c >= 0))
                ks.push_back(int(i) + 1);
        }
        return ks;
    };
    for (const std::string op : {"=", "<", "<=", ">", ">="}) {
        const std::string text = "S " + op + " 'Sm*'";
        t.SetIndexName("ixK");
        t.SetFilter(text);
        t.SetFiltered(true);
        EXPECT_EQ(Walk(t), model(op, "Sm")) << text;
        t.SetFiltered(false);
        ExpectIndexesAgree(t, text, {});
    }
}

// LIKE and "*" ranges hold every key that begins with the prefix, bytes 0xFF after it
// included; a case-insensitive index skips a-z when it raises the prefix's last byte.
TEST(FilterRegressions, PrefixRangesHoldEveryKeyOfThePrefix) {
    TStringTable o({"ab\xFF" "z", "abc", "ab\xFF\xFF", "ab", "ac", "a", "\xFF\xFF", "\xFF",
                    "A`x", "a`", "Aa", "A{", "\xFF" "a"});
    TZanTable& t = o.Table;
    const std::vector<std::pair<std::string, TFilterOptions>> cases = {
        {"S LIKE 'ab%'", {}},          {"S = 'ab*'", {}},
        {"S <= 'ab*'", {}},            {"S > 'ab*'", {}},
        {"S LIKE 'ab\xFF%'", {}},      {"S LIKE '\xFF%'", {}},
        {"S = '\xFF\xFF*'", {}},       {"S LIKE 'a`%'", {foCaseInsensitive}},
        {"S = 'A`*'", {foCaseInsensitive}}, {"S <= 'a`*'", {foCaseInsensitive}},
    };
    for (const auto& [text, options] : cases) {
        ExpectIndexesAgree(t, text, options);
        // The index of the comparison's case rule serves it.
        t.SetIndexName(options.contains(foCaseInsensitive) ? "ixSci" : "ixS");
        EXPECT_EQ(RunFilter(t, text, options, fmQuery, false).Level, olPartial) << text;
    }
    t.SetIndexName("ixS");
    t.SetFilter("S LIKE 'ab%'");
    t.SetFiltered(true);
    EXPECT_EQ(t.GetRecordCount(), 4);
    t.SetFiltered(false);
}

// A refresh drops the counts and record numbers kept for OnFilterRecord.
TEST(FilterRegressions, RefreshDropsTheHandlerCaches) {
    TFilterTableSpec spec = SpecOfRows(60);
    spec.Nulls = false;
    TFilterTable table(spec);
    TZanTable& t = table.Table;
    t.SetIndexName("ixK");
    int modulus = 2;
    t.SetOnFilterRecord([&](TDataSet* ds, bool& accept) {
        accept = ds->FieldByName("K")->GetAsInteger() % modulus == 0;
    });
    t.SetFilter("K > 0");
    t.SetFiltered(true);
    EXPECT_EQ(t.GetRecordCount(), 30);
    t.Last();
    EXPECT_EQ(t.GetRecNo(), 30);
    modulus = 3;
    t.Refresh();
    EXPECT_EQ(t.GetRecordCount(), 20);
    t.Last();
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), 60);
    EXPECT_EQ(t.GetRecNo(), 20);
    t.SetRecNo(2);
    EXPECT_EQ(t.FieldByName("K")->GetAsInteger(), 6);
    t.SetFiltered(false);
    t.SetOnFilterRecord(nullptr);
}

// A NUL byte in a filter text makes it invalid (10051, unfiltered): nothing after it is
// silently dropped.
TEST(FilterRegressions, NulInTheTextIsRefused) {
    TFilterTableSpec spec = SpecOfRows(20);
    TFilterTable table(spec);
    TZanTable& t = table.Table;
    for (const std::string& text : {std::string("I = 1\0 OR I = 2", 15),
                                   std::string("I = 1\0 ((((( garbage '", 22),
                                   std::string("S = 'a\0b'", 10)}) {
        EXPECT_EQ(FilterErrorCode(t, text), 10051) << text.size();
        EXPECT_FALSE(t.GetFiltered());
        EXPECT_EQ(t.GetRecordCount(), 20);
    }
    EXPECT_EQ(FilterErrorCode(t, "I = 1 OR I = 2"), 0);
    t.SetFiltered(false);
}
