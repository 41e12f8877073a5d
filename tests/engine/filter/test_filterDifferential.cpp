// The filter differential: generated filters over generated tables, answered with the indexes
// and again with every record evaluated (the optimiser forced to olNone). Both must give the
// same records in the same order, in table mode (index order) and query mode (address order),
// with and without NULL exclusion. A subset of the filters is also checked against SQLite.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "filter_test_support.h"

using namespace zan;

namespace {

uint32_t SeedFromEnv() {
    const char* s = std::getenv("ZAN_FILTER_SEED");
    return s ? uint32_t(std::strtoul(s, nullptr, 10)) : 20261209u;
}

struct TConfig {
    bool File;
    TSortOrder Order;
    int IndexSet;
    bool Latin1;
};

std::string Describe(const TConfig& c) {
    return std::string(c.File ? "file" : "memory") + (c.Order == soASCII ? "Ascii" : "Ansi") +
           "Set" + std::to_string(c.IndexSet) + (c.Latin1 ? "Latin1" : "");
}

class FilterDifferential : public ::testing::TestWithParam<TConfig> {};

TEST_P(FilterDifferential, IndexesAnswerAsEvaluationDoes) {
    const TConfig c = GetParam();
    const uint32_t seed = SeedFromEnv() ^ uint32_t(c.IndexSet * 7 + c.File * 3 + c.Order);
    TFilterTableSpec spec;
    spec.File = c.File;
    spec.Order = c.Order;
    spec.IndexSet = c.IndexSet;
    spec.Latin1 = c.Latin1;
    spec.Seed = seed;
    TFilterTable table(spec);
    TZanTable& t = table.Table;
    const std::vector<std::string> orders = table.IndexNames();
    TFilterGen gen(seed);
    std::map<TZanFilterOptimisationLevel, int> levels;
    int nonEmpty = 0, errors = 0;
    const int cases = 200;
    for (int n = 0; n < cases; ++n) {
        const std::string text = gen.Condition();
        TFilterOptions options;
        const int o = gen.U(4);
        if (o == 1) options = TFilterOptions{foCaseInsensitive};
        if (o == 2) options = TFilterOptions{foNoPartialCompare};
        // The table's order, and now and then a range on the unique key.
        t.SetIndexName(orders[size_t(gen.U(int(orders.size())))]);
        const bool ranged = gen.U(5) == 0;
        if (ranged) {
            t.SetIndexName("ixK");
            t.SetRange({Variant(20 + gen.U(40))}, {Variant(60 + gen.U(60))});
        }
        for (TFilterMode mode : {fmTable, fmQuery, fmQuerySorted, fmQueryNoNulls}) {
            const TFilterOutcome fast = RunFilter(t, text, options, mode, false);
            const TFilterOutcome slow = RunFilter(t, text, options, mode, true);
            ASSERT_EQ(fast.Ok, slow.Ok) << text << "\n" << fast.Error << "\n" << slow.Error;
            if (!fast.Ok) {
                ++errors;
                EXPECT_EQ(fast.Error, slow.Error) << text;
                continue;
            }
            ASSERT_EQ(fast.List, slow.List)
                << "seed " << seed << " mode " << int(mode) << " options " << o
                << (ranged ? " ranged" : "") << " order " << t.GetCurrentIndexName() << "\n "
                << text;
            EXPECT_EQ(slow.Level, olNone);
            ++levels[fast.Level];
            nonEmpty += fast.List.empty() ? 0 : 1;
            if (mode == fmQuery || mode == fmQueryNoNulls) {
                EXPECT_TRUE(std::is_sorted(fast.List.begin(), fast.List.end())) << text;
            }
        }
        if (ranged) t.CancelRange();
    }
    // The generator must reach every level, and most filters must select something.
    EXPECT_GT(levels[olFull], cases / 4) << Describe(c);
    EXPECT_GT(levels[olPartial], cases / 10) << Describe(c);
    EXPECT_GT(levels[olNone], cases / 10) << Describe(c);
    EXPECT_GT(nonEmpty, cases * 2) << Describe(c);
    EXPECT_LT(errors, cases) << Describe(c);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, FilterDifferential,
    ::testing::Values(TConfig{false, soASCII, 0, false}, TConfig{false, soASCII, 1, false},
                      TConfig{false, soANSI, 0, false}, TConfig{false, soANSI, 1, false},
                      TConfig{true, soASCII, 0, false}, TConfig{true, soANSI, 1, false},
                      TConfig{false, soASCII, 0, true}, TConfig{false, soANSI, 1, true}),
    [](const ::testing::TestParamInfo<TConfig>& info) { return Describe(info.param); });

// A large table: filters over 100,000 rows, with indexes and without.
TEST(FilterDifferentialLarge, HundredThousandRows) {
    TFilterTableSpec spec;
    spec.Rows = 100000;
    spec.IndexSet = 2;
    spec.Seed = SeedFromEnv();
    TFilterTable table(spec);
    TFilterGen gen(spec.Seed + 1);
    static const char* const fixed[] = {"I = 7", "I <> 7", "S LIKE 'ab%'", "I BETWEEN 3 AND 5",
                                        "S = 'aB*'", "I IN (1, 2, 20) AND S > 'b'"};
    for (int n = 0; n < 8; ++n) {
        const std::string text = n < 6 ? fixed[n] : gen.Condition(1);
        const TFilterMode mode = n % 2 ? fmQuery : fmTable;
        const TFilterOutcome fast = RunFilter(table.Table, text, {}, mode, false);
        const TFilterOutcome slow = RunFilter(table.Table, text, {}, mode, true);
        ASSERT_EQ(fast.Ok, slow.Ok) << text;
        ASSERT_EQ(fast.List, slow.List) << text;
    }
}

// The common subset against SQLite over the same rows (no NULLs, ASCII, the ASCII order,
// BINARY collation and a case-sensitive LIKE): the same row sets.
TEST(FilterAgainstSqlite, SameRows) {
    TFilterTableSpec spec;
    spec.Rows = 200;
    spec.Nulls = false;
    spec.Seed = SeedFromEnv() + 7;
    TFilterTable table(spec);
    TZanTable& t = table.Table;

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    TScopeExit closeDb([&] { sqlite3_close(db); });
    auto exec = [&](const std::string& sql) {
        char* error = nullptr;
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
            << (error ? error : "") << "\n" << sql;
    };
    exec("PRAGMA case_sensitive_like = ON");
    exec("CREATE TABLE T (K INTEGER, I INTEGER, S TEXT)");
    exec("BEGIN");
    for (t.First(); !t.GetEOF(); t.Next())
        exec("INSERT INTO T VALUES (" + std::to_string(t.FieldByName("K")->GetAsInteger()) + ", " +
             std::to_string(t.FieldByName("I")->GetAsInteger()) + ", '" +
             t.FieldByName("S")->GetAsString() + "')");
    exec("COMMIT");

    TFilterGen gen(spec.Seed, true);
    int nonEmpty = 0;
    for (int n = 0; n < 300; ++n) {
        const std::string text = gen.Condition();
        std::set<int> theirs;
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, ("SELECT K FROM T WHERE " + text).c_str(), -1, &stmt,
                                     nullptr),
                  SQLITE_OK)
            << text;
        while (sqlite3_step(stmt) == SQLITE_ROW)
            theirs.insert(sqlite3_column_int(stmt, 0));
        sqlite3_finalize(stmt);

        t.SetFilter(text);
        t.SetFiltered(true);
        std::set<int> ours;
        for (t.First(); !t.GetEOF(); t.Next())
            ours.insert(t.FieldByName("K")->GetAsInteger());
        ASSERT_EQ(ours, theirs) << text;
        EXPECT_EQ(t.GetRecordCount(), int(theirs.size())) << text;
        nonEmpty += ours.empty() ? 0 : 1;
    }
    t.SetFiltered(false);
    EXPECT_GT(nonEmpty, 150);
}

} // namespace
