// Sorting, grouping and duplicate removal against sqlite3 on the same rows: over result columns
// too wide for one index key (values that share long leading parts, differ only in case or in
// multi-byte characters, empty strings and NULLs, so that many rows share the columns the result
// indexes key and are told apart by the others), and ORDER BY by names, qualified names,
// positions and aliases over grouped, distinct, joined and UNION results.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <cstdlib>
#include <random>

#include "sql_test_support.h"

using namespace zan;

namespace {

// Rows as the shell writes them: tab-separated, NULL as \N, without the header.
std::vector<std::string> OurLines(TQueryConnection& t, const std::string& sql) {
    std::vector<std::string> lines;
    std::istringstream in(t.Select(sql));
    std::string line;
    std::getline(in, line); // the header
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::vector<std::string> LiteLines(sqlite3* db, const std::string& sql) {
    std::vector<std::string> lines;
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db);
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        std::string line;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            if (i) line += '\t';
            const unsigned char* text = sqlite3_column_text(st, i);
            line += text ? reinterpret_cast<const char*>(text) : "\\N";
        }
        lines.push_back(line);
    }
    sqlite3_finalize(st);
    return lines;
}

// One statement: ours, SQLite's when it is spelled otherwise, and whether the order counts.
struct TWideCase {
    std::string Sql;
    bool Ordered;
    std::string Lite;
};

} // namespace

TEST(QueryWideKeys, SortsGroupsAndDuplicatesMatchSqlite) {
    const char* env = std::getenv("ZAN_QUERY_SEED");
    std::mt19937 rng(env ? unsigned(std::atoi(env)) : 20261209u);
    // Values up to 200 bytes: long ones share their first 150 or 198 bytes.
    const std::string run150(150, 'x'), run198(198, 'm');
    const std::vector<std::string> values = {
        "",           "a",           "A",           "ab",          "aB",
        "\xc3\xa9",   "e",           "\xe2\x82\xac", "z",           run150 + "a",
        run150 + "B", run150 + "\xc3\xa9", run198 + "\xc3\xa9", run198 + "ab", run198 + "Ab"};
    TQueryTestDb t(true, "widekeys.zan"); // strings in byte order, as SQLite's
    t.Exec("CREATE TABLE w (id INTEGER, a VARCHAR(200), b VARCHAR(200), c VARCHAR(200), "
           "n INTEGER, d VARCHAR(100))");
    sqlite3* lite = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &lite), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(lite, "CREATE TABLE w (id INTEGER, a TEXT, b TEXT, c TEXT, n INTEGER, "
                                 "d TEXT)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    // Few distinct values in the leading columns, so that rows share them often.
    const auto pick = [&](size_t spread) -> std::string {
        if (rng() % 8 == 0) return "NULL";
        return "'" + values[rng() % std::min(spread, values.size())] + "'";
    };
    for (int id = 1; id <= 160; ++id) {
        const std::string row = "(" + std::to_string(id) + ", " + pick(4) + ", " + pick(6) +
                                ", " + pick(values.size()) + ", " + std::to_string(rng() % 5) +
                                ", " + (rng() % 4 ? "'" + values[rng() % 9] + "'" : "NULL") + ")";
        t.Exec("INSERT INTO w VALUES " + row);
        ASSERT_EQ(sqlite3_exec(lite, ("INSERT INTO w VALUES " + row).c_str(), nullptr, nullptr,
                               nullptr),
                  SQLITE_OK);
    }
    const std::vector<TWideCase> cases = {
        {"SELECT a, b, c FROM w ORDER BY a, b, c", true, ""},
        {"SELECT a, b, c FROM w ORDER BY a DESC, b DESC, c DESC", true, ""},
        {"SELECT a, b, c FROM w ORDER BY a, b DESC, c", true, ""},
        {"SELECT a, b, c FROM w ORDER BY c DESC, a, b DESC", true, ""},
        {"SELECT c, b, a, d FROM w ORDER BY 2, 3 DESC, 1, 4 DESC", true, ""},
        {"SELECT a AS x, b AS y, c AS z FROM w ORDER BY z, x DESC, y", true, ""},
        {"SELECT a, b, c, n FROM w WHERE n > 1 ORDER BY a, b, c DESC, n", true, ""},
        {"SELECT a, b, c, COUNT(*), SUM(n) FROM w GROUP BY a, b, c ORDER BY a, b, c", true, ""},
        {"SELECT a, b, c, COUNT(*) FROM w GROUP BY a, b, c HAVING COUNT(*) > 1 "
         "ORDER BY c DESC, b, a DESC",
         true, ""},
        {"SELECT a, b, MAX(c), MIN(c) FROM w GROUP BY a, b ORDER BY 3 DESC, 4, 1, 2 DESC", true,
         ""},
        {"SELECT a, b, c FROM w GROUP BY a, b, c", false, ""},
        {"SELECT DISTINCT a, b, c FROM w ORDER BY 3, 1 DESC, 2", true, ""},
        {"SELECT DISTINCT c, b, a FROM w", false, ""},
        {"SELECT a, b, c FROM w WHERE n < 3 UNION SELECT a, b, c FROM w WHERE n > 1 "
         "ORDER BY 2 DESC, 3, 1",
         true, ""},
        {"SELECT a, b, c FROM w WHERE n < 2 UNION ALL SELECT a, b, c FROM w WHERE n > 2 "
         "ORDER BY 1, 2, 3 DESC",
         true, ""},
    };
    for (const TWideCase& c : cases) {
        SCOPED_TRACE(c.Sql);
        std::vector<std::string> ours = OurLines(t, c.Sql);
        std::vector<std::string> theirs = LiteLines(lite, c.Lite.empty() ? c.Sql : c.Lite);
        if (!c.Ordered) {
            std::sort(ours.begin(), ours.end());
            std::sort(theirs.begin(), theirs.end());
        }
        EXPECT_GT(theirs.size(), 1u);
        EXPECT_EQ(ours, theirs);
    }
    sqlite3_close(lite);
}

// A second run of the same query fills the result table made by the first (its tie field
// included); a live result over a wide ORDER BY shows only its columns and takes edits.
TEST(QueryWideKeys, RepeatedAndLiveResults) {
    TQueryTestDb t(false);
    t.Exec("CREATE TABLE w (id INTEGER, a VARCHAR(200), b VARCHAR(200), c VARCHAR(200))");
    t.Exec("INSERT INTO w VALUES (1, 'x', 'y', 'b')");
    t.Exec("INSERT INTO w VALUES (2, 'x', 'y', 'a')");
    t.Exec("INSERT INTO w VALUES (3, 'x', 'a', 'c')");
    const std::string sql = "SELECT a, b, c, id FROM w ORDER BY a, b, c";
    const std::string rows = "a\tb\tc\tid\nx\ta\tc\t3\nx\ty\ta\t2\nx\ty\tb\t1\n";
    t.Query.GetSQL().SetText(sql);
    t.Query.Prepare();
    for (int run = 0; run < 2; ++run) {
        t.Query.Open();
        std::ostringstream out;
        WriteSqlResult(t.Query, true, out);
        t.Query.Close();
        EXPECT_EQ(out.str(), rows) << run;
    }
    t.Query.SetRequestLive(true);
    t.Query.GetSQL().SetText(sql);
    t.Query.Open();
    EXPECT_EQ(t.Query.GetFieldCount(), 4);
    t.Query.First();
    EXPECT_EQ(t.Query.FieldByName("id")->GetAsInteger(), 3);
    t.Query.Edit();
    t.Query.FieldByName("c")->SetAsString("d");
    t.Query.Post();
    t.Query.Close();
    t.Query.SetRequestLive(false);
    EXPECT_EQ(t.Select("SELECT c FROM w WHERE id = 3"), "c\nd\n");
}

// ORDER BY a result column by number, alias, output text, qualified or unqualified source name
// ("SELECT t.s ... ORDER BY s" was refused as a column not in the result), over groups,
// DISTINCT, joins and UNION, with NULLs, ties, DESC and mixed directions.
TEST(QueryOrdering, NamesPositionsAndAliasesMatchSqlite) {
    const std::vector<std::string> setup = {
        "CREATE TABLE t (id INTEGER, g VARCHAR(10), s VARCHAR(20), n INTEGER, f FLOAT)",
        "INSERT INTO t VALUES (1, 'a', 'x', 3, 1.5)",
        "INSERT INTO t VALUES (2, 'b', 'X', NULL, -0.5)",
        "INSERT INTO t VALUES (3, 'a', NULL, 1, 2.5)",
        "INSERT INTO t VALUES (4, NULL, 'y', 2, NULL)",
        "INSERT INTO t VALUES (5, 'b', 'x', 3, 0.25)",
        "INSERT INTO t VALUES (6, 'c', '\xc3\xa9', 1, 1.5)",
        "INSERT INTO t VALUES (7, 'a', 'Y', NULL, 2.5)",
        "CREATE TABLE u (id INTEGER, g VARCHAR(10), v INTEGER)",
        "INSERT INTO u VALUES (1, 'a', 10)",
        "INSERT INTO u VALUES (2, 'b', 20)",
        "INSERT INTO u VALUES (3, NULL, 30)",
    };
    TQueryTestDb t(true, "ordering.zan");
    sqlite3* lite = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &lite), SQLITE_OK);
    for (const std::string& sql : setup) {
        t.Exec(sql);
        ASSERT_EQ(sqlite3_exec(lite, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    const std::vector<std::string> cases = {
        "SELECT id, s FROM t ORDER BY s DESC, id",
        "SELECT id, n, f FROM t ORDER BY n DESC, f, id DESC",
        "SELECT id, s FROM t ORDER BY 2 DESC, 1 DESC",
        "SELECT id AS x, s AS y FROM t ORDER BY y DESC, x",
        "SELECT t.id, t.s FROM t ORDER BY t.s, t.id",
        "SELECT t.id, t.s FROM t ORDER BY s, id",
        "SELECT id, s FROM t ORDER BY t.s, t.id",
        "SELECT t.s AS q, t.id FROM t ORDER BY s, id",
        "SELECT id, s || g AS c FROM t ORDER BY c, id",
        "SELECT id, n + 1 AS m FROM t ORDER BY m DESC, id",
        "SELECT g, COUNT(*) AS k FROM t GROUP BY g ORDER BY k DESC, g",
        "SELECT g, COUNT(*) FROM t GROUP BY g ORDER BY 2, 1 DESC",
        "SELECT g, SUM(n) AS total FROM t GROUP BY g ORDER BY total, g",
        "SELECT t.g, MAX(t.s) FROM t GROUP BY t.g ORDER BY g DESC",
        "SELECT g, n, COUNT(*) FROM t GROUP BY n, g ORDER BY n DESC, g DESC",
        "SELECT f, COUNT(*) FROM t GROUP BY f ORDER BY f",
        "SELECT DISTINCT g, n FROM t ORDER BY n, g",
        "SELECT DISTINCT t.g FROM t ORDER BY g DESC",
        "SELECT t.id, u.v FROM t JOIN u ON t.g = u.g ORDER BY u.v DESC, t.id",
        "SELECT g, id FROM t UNION SELECT g, id FROM u ORDER BY 1, 2",
        "SELECT g, id FROM t UNION ALL SELECT g, v FROM u ORDER BY 2 DESC, 1",
        "SELECT g AS k, id FROM t UNION SELECT g, id FROM u ORDER BY k, id",
        "SELECT t.g, t.id FROM t UNION SELECT u.g, u.id FROM u ORDER BY g, id",
    };
    for (const std::string& sql : cases) {
        SCOPED_TRACE(sql);
        const std::vector<std::string> theirs = LiteLines(lite, sql);
        EXPECT_GT(theirs.size(), 1u);
        EXPECT_EQ(OurLines(t, sql), theirs);
    }
    sqlite3_close(lite);
    // A name two selected fields stand for stays refused (SQLite: ambiguous).
    EXPECT_EQ(t.ErrorOf("SELECT t.id, u.id FROM t, u WHERE t.g = u.g ORDER BY id"), 9645);
}

namespace {

// A file database of the given sort order, with a query on it.
class TSortOrderDb : public TQueryConnection {
public:
    TSortOrderDb(TSortOrder order, const std::string& name) : FFile(name) {
        Db.SetDataBaseName(FFile.Path);
        Db.SetDefaultSortOrder(order);
        Db.CreateDatabase();
        Connect(FFile.Path);
    }

private:
    TTempFile FFile;
};

} // namespace

// Hundreds of rows share the leading parts the grouping and duplicate indexes key (two values of
// 196 bytes, then one of 196), so the hidden hash of the other columns is what parts them: equal
// rest values (NULLs too) must meet in one group or one kept row whatever the order they come
// in, values that differ by one byte or only in length must not. In the collated order only
// the lengths are hashed, so most rows of a run share a hash and the probe walks them.
TEST(QueryWideKeys, SharedLeadingPartsGroupAndDedupLikeSqlite) {
    const std::string a1(195, 'p'), b1(196, 'q');
    for (const TSortOrder order : {soASCII, soANSI}) {
        SCOPED_TRACE(order == soASCII ? "byte order" : "collated order");
        TSortOrderDb t(order, order == soASCII ? "shared_ascii.zan" : "shared_ansi.zan");
        sqlite3* lite = nullptr;
        ASSERT_EQ(sqlite3_open(":memory:", &lite), SQLITE_OK);
        const std::vector<std::string> setup = {
            "CREATE TABLE w (id INTEGER, a VARCHAR(200), b VARCHAR(200), c VARCHAR(200), "
            "n INTEGER, f FLOAT)",
        };
        for (const std::string& sql : setup) {
            t.Exec(sql);
            ASSERT_EQ(sqlite3_exec(lite, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        }
        std::mt19937 rng(7);
        // c: 30 values of one length differing in one byte, their longer twins, NULL.
        const auto cValue = [&]() -> std::string {
            const unsigned k = rng() % 64;
            if (k >= 60) return "NULL";
            return "'" + b1.substr(0, 100) + "ABCDEFGHIJKLMNOPQRSTUVWXYZabcd"[k % 30] +
                   (k >= 30 ? "z" : "") + "'";
        };
        t.Db.StartTransaction();
        for (int id = 1; id <= 600; ++id) {
            const std::string row = "INSERT INTO w VALUES (" + std::to_string(id) + ", '" + a1 +
                                    char('0' + rng() % 2) + "', '" + b1 + "', " + cValue() +
                                    ", " + (rng() % 9 ? std::to_string(rng() % 4) : "NULL") +
                                    ", " + std::to_string(int(rng() % 3) - 1) + ".5)";
            t.Exec(row);
            ASSERT_EQ(sqlite3_exec(lite, row.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        }
        t.Db.Commit();
        const std::vector<std::string> cases = {
            "SELECT a, b, c, COUNT(*), SUM(n) FROM w GROUP BY a, b, c",
            "SELECT a, b, c, n, MIN(id), MAX(f) FROM w GROUP BY a, b, c, n",
            "SELECT a, b, c, f, COUNT(*) FROM w GROUP BY a, b, c, f HAVING COUNT(*) > 3",
            "SELECT b, a, c, COUNT(*) FROM w WHERE n IS NULL GROUP BY b, a, c",
            "SELECT DISTINCT a, b, c FROM w",
            "SELECT DISTINCT a, b, c, n FROM w",
            "SELECT DISTINCT b, a, f, c FROM w WHERE n > 0",
            "SELECT a, b, c FROM w WHERE n = 1 UNION SELECT a, b, c FROM w WHERE n <> 2",
            "SELECT a, b, c, n FROM w WHERE n < 2 UNION ALL SELECT a, b, c, n FROM w WHERE n > 1 "
            "UNION SELECT a, b, c, n FROM w WHERE id < 50",
            "SELECT a, b, c FROM w UNION ALL SELECT a, b, c FROM w UNION SELECT a, b, c FROM w "
            "WHERE id > 500",
            // Result columns named as the hidden hash fields stay shown and apart from them.
            "SELECT a, b, c, COUNT(*) AS __GroupHash FROM w GROUP BY a, b, c",
            "SELECT DISTINCT a, b, c, n AS __DistinctHash FROM w",
        };
        for (const std::string& sql : cases) {
            SCOPED_TRACE(sql);
            std::vector<std::string> ours = OurLines(t, sql);
            std::vector<std::string> theirs = LiteLines(lite, sql);
            std::sort(ours.begin(), ours.end());
            std::sort(theirs.begin(), theirs.end());
            EXPECT_GT(theirs.size(), 10u);
            // The rows one side lacks, with the shared leading parts left out.
            std::vector<std::string> extra, missing;
            std::set_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(),
                                std::back_inserter(extra));
            std::set_difference(theirs.begin(), theirs.end(), ours.begin(), ours.end(),
                                std::back_inserter(missing));
            const auto shorten = [&](std::vector<std::string> rows) {
                std::string text;
                for (size_t i = 0; i < rows.size() && i < 4; ++i) {
                    std::string row = rows[i];
                    for (const std::string* run : {&a1, &b1})
                        for (size_t at; (at = row.find(*run)) != std::string::npos;)
                            row.replace(at, run->size(), "~");
                    text += row + " | ";
                }
                return text;
            };
            EXPECT_EQ(ours.size(), theirs.size());
            EXPECT_TRUE(extra.empty() && missing.empty())
                << extra.size() << " extra: " << shorten(extra) << "\n"
                << missing.size() << " missing: " << shorten(missing);
        }
        // A second run fills the same result table (its hash field included).
        const std::string again = "SELECT DISTINCT a, b, c FROM w";
        t.Query.GetSQL().SetText(again);
        t.Query.Prepare();
        std::vector<std::string> first;
        for (int run = 0; run < 2; ++run) {
            t.Query.Open();
            std::ostringstream out;
            WriteSqlResult(t.Query, true, out);
            t.Query.Close();
            if (run == 0) first.push_back(out.str());
            else EXPECT_EQ(out.str(), first[0]);
        }
        sqlite3_close(lite);
    }
}
