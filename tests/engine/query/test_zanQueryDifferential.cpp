// Joins and selects against sqlite3 on the same seeded tables (NULL keys, duplicate keys, an
// empty table, keys of mixed types, indexed and unindexed sides), compared as multisets.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include "lite_oracle_support.h"
#include "query_test_support.h"

using namespace zan;

namespace {

using TRows = TLiteRows;

struct TTableData {
    std::string Name;
    std::vector<TTestField> Fields;
    std::vector<TTestIndex> Indexes;
    std::vector<std::vector<Variant>> Rows;
};

class QueryDifferential : public ::testing::Test {
protected:
    void SetUp() override {
        const char* env = std::getenv("ZAN_QUERY_SEED");
        std::mt19937 rng(env ? unsigned(std::atoi(env)) : 20261209u);
        auto chance = [&](int percent) { return int(rng() % 100) < percent; };
        const std::vector<std::string> strings = {"x", "y", "coop", "co-op", "Coop", "z z", "it's"};
        const std::vector<double> floats = {0.0, -0.0, 0.5, 1.0, 2.0, 3.0, 6.0};
        const std::vector<std::string> longs = {"p", "q", "r", "s"};
        auto row = [&](int id, bool withLong) {
            std::vector<Variant> r;
            r.push_back(Variant(id));
            r.push_back(chance(15) ? Null() : Variant(int(rng() % 7)));
            r.push_back(chance(15) ? Null() : Variant(strings[rng() % strings.size()]));
            r.push_back(chance(15) ? Null() : Variant(floats[rng() % floats.size()]));
            if (withLong) r.push_back(chance(15) ? Null() : Variant(longs[rng() % longs.size()]));
            return r;
        };
        const std::vector<TTestField> wide = {{"id", ftInteger},
                                              {"k", ftInteger},
                                              {"s", ftString, 10},
                                              {"f", ftFloat},
                                              {"l", ftString, 256}};
        const std::vector<TTestField> narrow = {
            {"id", ftInteger}, {"k", ftInteger}, {"s", ftString, 20}, {"f", ftFloat}};
        FTables = {{"t1", wide, {{"ix1k", "k", {}}, {"ix1l", "l", {}}}, {}},
                   {"t2", wide, {{"ix2k", "k", {}}, {"ix2l", "l", {}}}, {}},
                   {"t3", narrow, {}, {}},
                   {"t4", wide, {{"ix4k", "k", {}}}, {}}};
        for (int i = 1; i <= 30; ++i) FTables[0].Rows.push_back(row(i, true));
        for (int i = 1; i <= 40; ++i) FTables[1].Rows.push_back(row(i, true));
        for (int i = 1; i <= 20; ++i) FTables[2].Rows.push_back(row(i, false));

        ASSERT_EQ(sqlite3_open(":memory:", &FLite), SQLITE_OK);
        for (const TTableData& t : FTables) {
            std::string ddl = "CREATE TABLE " + t.Name + " (";
            for (size_t i = 0; i < t.Fields.size(); ++i) {
                const TTestField& f = t.Fields[i];
                ddl += (i ? ", " : "") + f.Name +
                       (f.Type == ftInteger ? " INTEGER" : f.Type == ftFloat ? " REAL" : " TEXT");
            }
            ASSERT_EQ(sqlite3_exec(FLite, (ddl + ")").c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
            FillLiteTable(FLite, t.Name, t.Rows);
        }
    }

    void TearDown() override {
        if (FLite) sqlite3_close(FLite);
    }

    TRows LiteRows(const std::string& sql) { return LiteRowsOf(FLite, sql); }

    static TRows OurRows(const std::vector<std::vector<Variant>>& result) {
        TRows rows;
        for (const auto& r : result) {
            std::string line;
            for (const Variant& v : r) line += LiteRender(v) + "|";
            rows.push_back(line);
        }
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    // The rows of a UNION JOIN of two tables' columns, from sqlite's outer and inner rows.
    TRows UnionJoinRows(const std::string& outerSql, const std::string& innerSql, int outerCols,
                        int innerCols) {
        TRows rows;
        std::string nulls;
        for (int i = 0; i < innerCols; ++i) nulls += "N|";
        for (const std::string& r : LiteRows(outerSql)) rows.push_back(r + nulls);
        nulls.clear();
        for (int i = 0; i < outerCols; ++i) nulls += "N|";
        for (const std::string& r : LiteRows(innerSql)) rows.push_back(nulls + r);
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    void Populate(TZanDataBase& db, TSortOrder order) {
        for (const TTableData& t : FTables)
            CreateTestTable(db, t.Name, t.Fields, t.Indexes, t.Rows, order);
    }

    sqlite3* FLite = nullptr;
    std::vector<TTableData> FTables;
};

// Each statement: ours, and sqlite's text when it differs.
struct TCase {
    std::string Sql;
    std::string Lite;
};

const std::vector<TCase>& Corpus() {
    static const std::vector<TCase> cases = [] {
        std::vector<TCase> c;
        const std::string cols = "SELECT a.id, a.k, b.id, b.k FROM ";
        // Every join type over the conditions that pick each way of running a join: hashed
        // equalities (one, AND, OR), an equality on indexed keys of both sides (range set-up),
        // one whose keys are too long to hash, keys of different types, inequalities.
        const std::vector<std::string> ons = {
            "a.k = b.k",
            "a.k = b.k AND a.s = b.s",
            "a.k = b.k OR a.s = b.s",
            "a.l = b.l",
            "a.k > b.k",
            "a.k = b.k AND a.f < b.f",
            "b.k = a.k",
            "a.s = b.s",
        };
        for (std::string join : {"JOIN", "LEFT JOIN", "RIGHT JOIN", "FULL JOIN"})
            for (const std::string& on : ons) {
                c.push_back({cols + "t1 a " + join + " t2 b ON " + on, ""});
                if (on.find(".l") == std::string::npos)
                    c.push_back({cols + "t2 a " + join + " t3 b ON " + on, ""});
            }
        for (std::string join : {"JOIN", "LEFT JOIN", "RIGHT JOIN", "FULL JOIN"}) {
            // Mixed key types, an empty side either way, a self-join.
            c.push_back({"SELECT a.id, b.id FROM t1 a " + join + " t3 b ON a.k = b.f", ""});
            c.push_back({"SELECT a.id, b.id FROM t1 a " + join + " t4 b ON a.k = b.k", ""});
            c.push_back({"SELECT a.id, b.id FROM t4 a " + join + " t1 b ON a.k = b.k", ""});
            c.push_back({"SELECT a.id, b.id FROM t1 a " + join + " t1 b ON a.k = b.k AND a.id < b.id", ""});
        }
        // Cross joins and comma lists with WHERE joins.
        c.push_back({"SELECT a.id, c.id FROM t1 a CROSS JOIN t3 c", ""});
        c.push_back({"SELECT a.id, b.id FROM t1 a, t2 b WHERE a.k = b.k", ""});
        c.push_back({"SELECT a.id, b.id FROM t1 a, t2 b WHERE a.k = b.k AND a.f > 0.5 AND b.s = 'x'", ""});
        c.push_back({"SELECT a.id, b.id, c.id FROM t1 a, t2 b, t3 c WHERE a.k = b.k AND b.id = c.id", ""});
        c.push_back({"SELECT a.id, b.id, c.id FROM t1 a, t2 b, t3 c WHERE a.k = b.k AND c.id = a.id AND c.s = 'x'", ""});
        c.push_back({"SELECT a.id, b.id FROM t1 a, t2 b WHERE a.k = b.k OR a.id = b.id", ""});
        c.push_back({"SELECT a.id, b.id FROM t1 a, t2 b WHERE 1 = 1 AND a.k = b.k", ""});
        c.push_back({"SELECT a.id, b.id FROM t1 a, t2 b WHERE a.k < b.k AND b.id < 6", ""});
        c.push_back({"SELECT a.id, b.id, c.id, d.id FROM t1 a, t2 b, t3 c, t1 d WHERE a.k = b.k AND c.id = d.id AND d.id < 8", ""});
        // Nested shapes: left-nested, right-nested, JOIN then RIGHT JOIN, chains of outer joins.
        c.push_back({"SELECT a.id, b.id, c.id FROM t1 a LEFT JOIN t2 b ON a.k = b.k LEFT JOIN t3 c ON b.id = c.id", ""});
        c.push_back({"SELECT a.id, b.id, c.id FROM t1 a JOIN (t2 b LEFT JOIN t3 c ON b.id = c.id) ON a.k = b.k", ""});
        c.push_back({"SELECT a.id, b.id, c.id FROM t1 a LEFT JOIN (t2 b JOIN t3 c ON b.k = c.k) ON a.id = b.id", ""});
        c.push_back({"SELECT a.id, b.id, c.id FROM t1 a JOIN t2 b ON a.k = b.k RIGHT JOIN t3 c ON b.id = c.id", ""});
        c.push_back({"SELECT a.id, b.id, c.id FROM t1 a FULL JOIN t2 b ON a.k = b.k FULL JOIN t3 c ON b.id = c.id", ""});
        c.push_back({"SELECT a.id, b.id, c.id FROM t3 c RIGHT JOIN (t1 a LEFT JOIN t2 b ON a.id = b.id) ON c.k = a.k", ""});
        // Comma items that hold joins, and a WHERE join onto a FROM tree.
        c.push_back({"SELECT a.id, b.id, c.id, d.id FROM t1 a JOIN t2 b ON a.k = b.k, t3 c JOIN t1 d ON c.id = d.id", ""});
        c.push_back({"SELECT a.id, b.id, c.id FROM t1 a LEFT JOIN t2 b ON a.k = b.k, t3 c WHERE c.id = a.id", ""});
        c.push_back({"SELECT a.id, b.id, c.id, d.id FROM t1 a JOIN t2 b ON a.k = b.k, t3 c, t1 d WHERE c.id = d.id", ""});
        // WHERE on the NULL-supplying side of outer joins.
        for (std::string where : {"b.id IS NULL", "b.f > 0.5", "b.f > 0.5 OR b.id IS NULL",
                                         "a.f = 1 AND b.s = 'x'", "a.id > 20"}) {
            c.push_back({"SELECT a.id, b.id FROM t1 a LEFT JOIN t2 b ON a.k = b.k WHERE " + where, ""});
            c.push_back({"SELECT a.id, b.id FROM t1 a RIGHT JOIN t2 b ON a.k = b.k WHERE " + where, ""});
            c.push_back({"SELECT a.id, b.id FROM t1 a FULL JOIN t2 b ON a.k = b.k WHERE " + where, ""});
        }
        // NATURAL and USING (both copies of the columns stay).
        c.push_back({"SELECT a.id, b.id, a.k, b.k FROM t1 a JOIN t2 b USING (k)", ""});
        c.push_back({"SELECT a.id, b.id FROM t1 a LEFT JOIN t3 b USING (k, s)", ""});
        c.push_back({"SELECT a.id, b.id FROM t3 a NATURAL JOIN t3 b", ""});
        // One table.
        c.push_back({"SELECT id, k FROM t1 WHERE k > 2 AND s = 'x'", ""});
        c.push_back({"SELECT id FROM t1 WHERE k IS NULL OR f = 0", ""});
        c.push_back({"SELECT id, l FROM t2 WHERE l = 'q'", ""});
        c.push_back({"SELECT id FROM t4 WHERE k = 1", ""});
        // IN lists long enough to be sorted: duplicates, NULLs (NOT IN then never True), numbers
        // of both kinds against integer and float columns, strings that differ only in case or
        // punctuation, a list holding a column (scanned), over indexed and plain columns.
        for (const std::string table : {"t1", "t3"}) {
            const std::string from = "SELECT id FROM " + table + " WHERE ";
            for (const std::string in : {" IN ", " NOT IN "}) {
                c.push_back({from + "k" + in + "(0, 2, 2, 4, 6, 8, 10, 12, 14)", ""});
                c.push_back({from + "k" + in + "(1, 3, NULL, 5, 7, 9, 11, 13, 1)", ""});
                c.push_back({from + "k" + in + "(1.0, 2.5, 3, 9, 10, 11, 12, 13, 14)", ""});
                c.push_back({from + "f" + in + "(0, 0.5, 2, 2, 3.0, 6.5, 7, 8, 9)", ""});
                c.push_back({from + "f" + in + "(1, NULL, 6, 8, 9, 10, 11, 12, 13)", ""});
                c.push_back({from + "s" + in + "('x', 'coop', 'zz', 'a', 'b', 'c', 'x', 'it''s')", ""});
                c.push_back({from + "s" + in + "('X', 'co-op', NULL, 'a', 'b', 'c', 'd', 'e', 'f')", ""});
                c.push_back({from + "k" + in + "(1, 2, 3, 4, 5, 6, 7, 8, id)", ""});
                c.push_back({from + "NOT (k" + in + "(1, 3, NULL, 5, 7, 9, 11, 13, 15))", ""});
                c.push_back({from + "k" + in + "(0, 1, 2, 3, 4, 5, 6, 7) OR id" + in + "(1, 2, 3, 4, 5, 6, 7, 8, 9)", ""});
            }
        }
        return c;
    }();
    return cases;
}

} // namespace

TEST_F(QueryDifferential, JoinsAndSelectsMatchSqlite) {
    auto db = NewQueryDatabase();
    Populate(*db, soANSI);
    TZanQueryRunner q(*db);
    for (const TTableData& t : FTables) q.AddTable(t.Name);
    int hashJoins = 0, exprJoins = 0;
    for (const TCase& c : Corpus()) {
        SCOPED_TRACE(c.Sql);
        TRows ours;
        try {
            ours = OurRows(q.Select(c.Sql));
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
            continue;
        }
        for (TZanStdJoinDataProvider* j : q.JoinProviders())
            (j->GetEvaluator().GetMode() == jmtHashJoin ? hashJoins : exprJoins)++;
        EXPECT_EQ(ours, LiteRows(c.Lite.empty() ? c.Sql : c.Lite));
    }
    // Both ways of running a join were exercised.
    EXPECT_GT(hashJoins, 20);
    EXPECT_GT(exprJoins, 20);
}

TEST_F(QueryDifferential, UnionJoinGivesEachSideWithNulls) {
    auto db = NewQueryDatabase();
    Populate(*db, soANSI);
    TZanQueryRunner q(*db);
    for (const TTableData& t : FTables) q.AddTable(t.Name);
    for (std::string other : {"t3", "t4"}) {
        SCOPED_TRACE(other);
        const TRows ours =
            OurRows(q.Select("SELECT a.id, a.k, b.id FROM t1 a UNION JOIN " + other + " b"));
        EXPECT_EQ(ours, UnionJoinRows("SELECT id, k FROM t1", "SELECT id FROM " + other, 2, 1));
    }
}
