// IN over subquery results (the sorted value set each result gets, with the NULL rules of a
// row-by-row comparison) and UNION chains of mixed ALL and distinct members, checked against
// results computed here from the rows.
#include "sql_test_support.h"

#include <algorithm>
#include <optional>
#include <random>
#include <set>
#include <tuple>

using namespace zan;

namespace {

// u: id 1..40, v = id % 6 except NULL for every fifth id, f = v / 2 as a float, s = "s" + v.
std::optional<int> VOf(int id) {
    if (id % 5 == 0) return std::nullopt;
    return id % 6;
}

void FillU(TQueryTestDb& t) {
    t.Exec("CREATE TABLE u (id INTEGER NOT NULL, v INTEGER, f FLOAT, s VARCHAR(8), "
           "PRIMARY KEY (id))");
    for (int id = 1; id <= 40; ++id) {
        const auto v = VOf(id);
        const std::string vs = v ? std::to_string(*v) : "NULL";
        const std::string fs = v ? std::to_string(*v) + " / 2.0" : "NULL";
        const std::string ss = v ? "'s" + std::to_string(*v) + "'" : "NULL";
        t.Exec("INSERT INTO u VALUES (" + std::to_string(id) + ", " + vs + ", " + fs + ", " + ss +
               ")");
    }
}

std::string Lines(const std::string& header, const std::vector<int>& ids) {
    std::string out = header + "\n";
    for (int id : ids) out += std::to_string(id) + "\n";
    return out;
}

// The ids 1..40 whose value passes; a value NULL never passes.
template <class F>
std::vector<int> IdsWhere(F pass) {
    std::vector<int> ids;
    for (int id = 1; id <= 40; ++id)
        if (pass(id)) ids.push_back(id);
    return ids;
}

} // namespace

TEST(QuerySubqueries, InAndNotInOverSubqueriesKeepTheirNullRules) {
    TQueryTestDb t(false);
    FillU(t);
    const auto in = [](std::optional<int> v, std::initializer_list<int> set) {
        return v && std::find(set.begin(), set.end(), *v) != set.end();
    };
    struct TCase {
        std::string Where;
        std::vector<int> Ids;
    };
    const std::vector<TCase> cases = {
        // Integers; the set holds NULLs: NOT IN never passes, IN passes on a match only.
        {"v IN (SELECT v FROM u WHERE id < 12)", IdsWhere([&](int id) { return in(VOf(id), {1, 2, 3, 4, 5, 0}); })},
        {"v IN (SELECT v FROM u WHERE id BETWEEN 6 AND 11)",
         IdsWhere([&](int id) { return in(VOf(id), {0, 1, 2, 3, 5}); })},
        {"v NOT IN (SELECT v FROM u WHERE id BETWEEN 6 AND 11)", {}},
        // No NULL in the set: NOT IN passes every non-NULL value outside it.
        {"v NOT IN (SELECT v FROM u WHERE id BETWEEN 1 AND 3)",
         IdsWhere([&](int id) { return VOf(id) && !in(VOf(id), {1, 2, 3}); })},
        // An empty set: IN never, NOT IN always (NULL values included).
        {"v IN (SELECT v FROM u WHERE id > 100)", {}},
        {"v NOT IN (SELECT v FROM u WHERE id > 100)", IdsWhere([](int) { return true; })},
        // Only NULLs: nothing passes either way.
        {"v IN (SELECT v FROM u WHERE id = 5 OR id = 10)", {}},
        {"v NOT IN (SELECT v FROM u WHERE id = 5 OR id = 10)", {}},
        // Integers against floats and floats against integers (3 / 2.0 = 1.5 matches none).
        {"v IN (SELECT f FROM u WHERE id < 5)", IdsWhere([&](int id) { return in(VOf(id), {1, 2}); })},
        {"f IN (SELECT v FROM u WHERE id < 5)", IdsWhere([&](int id) { return in(VOf(id), {2, 4, 6, 8}); })},
        {"f NOT IN (SELECT v FROM u WHERE id < 5)",
         IdsWhere([&](int id) { return VOf(id) && !in(VOf(id), {2, 4, 6, 8}); })},
        // Strings, by the database comparison.
        {"s IN (SELECT s FROM u WHERE id BETWEEN 2 AND 4)", IdsWhere([&](int id) { return in(VOf(id), {2, 3, 4}); })},
        {"s NOT IN (SELECT s FROM u WHERE id BETWEEN 8 AND 10)", {}},
        {"s NOT IN (SELECT s FROM u WHERE id BETWEEN 8 AND 9)",
         IdsWhere([&](int id) { return VOf(id) && !in(VOf(id), {2, 3}); })},
        // Under NOT and OR the undecided rows stay undecided.
        {"NOT (v IN (SELECT v FROM u WHERE id BETWEEN 4 AND 6))", {}},
        {"v IN (SELECT v FROM u WHERE id BETWEEN 4 AND 6) OR id = 5",
         IdsWhere([&](int id) { return id == 5 || in(VOf(id), {4, 0}); })},
        // Correlated: each outer row gets a result of its own.
        {"id IN (SELECT b.id FROM u b WHERE b.v = a.v AND b.id > 20)",
         IdsWhere([](int id) { return id > 20 && VOf(id); })},
        {"v IN (SELECT b.v FROM u b WHERE b.id = a.id + 6)",
         IdsWhere([](int id) { return id + 6 <= 40 && VOf(id) && VOf(id + 6); })},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Where);
        EXPECT_EQ(t.Select("SELECT id FROM u a WHERE " + c.Where), Lines("id", c.Ids));
    }
}

TEST(QuerySubqueries, AReopenedInSubquerySeesChangedRows) {
    TQueryTestDb t(false);
    FillU(t);
    TZanQuery& q = t.Query;
    q.GetSQL().SetText("SELECT COUNT(*) FROM u WHERE id IN (SELECT v FROM u WHERE id < 5)");
    q.Prepare();
    q.Open();
    EXPECT_EQ(q.GetFields()[0]->GetAsInteger(), 4);
    q.Close();
    {
        TZanQuery other;
        other.SetDatabase(&t.Db);
        other.GetSQL().SetText("UPDATE u SET v = v + 100 WHERE id < 3");
        other.ExecSQL();
    }
    q.Open();
    EXPECT_EQ(q.GetFields()[0]->GetAsInteger(), 2);
    q.Close();
}

TEST(QuerySubqueries, MixedUnionChainsAssociateLeft) {
    TQueryTestDb t(false);
    FillU(t);
    std::mt19937 rng(1209);
    using TBag = std::multiset<std::optional<int>>;
    const auto member = [&](int lo, int hi, TBag& rows) {
        for (int id = lo; id <= hi; ++id) rows.insert(VOf(id));
        return "SELECT v FROM u WHERE id BETWEEN " + std::to_string(lo) + " AND " +
               std::to_string(hi);
    };
    const auto distinct = [](const TBag& rows) {
        TBag out;
        for (const auto& r : rows)
            if (!out.count(r)) out.insert(r);
        return out;
    };
    for (int chain = 0; chain < 12; ++chain) {
        const int members = 2 + int(rng() % 30);
        TBag expected;
        std::string sql;
        // The first member: plain or DISTINCT.
        const int first = int(rng() % 2);
        const int lo = 1 + int(rng() % 40);
        const int hi = std::min(40, lo + int(rng() % 8));
        if (first == 0) {
            sql = member(lo, hi, expected);
        } else {
            TBag rows;
            const std::string plain = member(lo, hi, rows);
            expected = distinct(rows);
            sql = "SELECT DISTINCT" + plain.substr(6);
        }
        for (int i = 1; i < members; ++i) {
            const bool all = rng() % 2 == 0;
            const int a = 1 + int(rng() % 40);
            const int b = std::min(40, a + int(rng() % 6));
            TBag rows;
            sql += std::string(all ? " UNION ALL " : " UNION ") + member(a, b, rows);
            expected.insert(rows.begin(), rows.end());
            if (!all) expected = distinct(expected);
        }
        SCOPED_TRACE(sql);
        t.Query.GetSQL().SetText(sql);
        t.Query.Open();
        TBag got;
        for (t.Query.First(); !t.Query.GetEOF(); t.Query.Next()) {
            TField* f = t.Query.GetFields()[0];
            got.insert(f->IsNull() ? std::nullopt : std::optional<int>(f->GetAsInteger()));
        }
        t.Query.Close();
        EXPECT_EQ(got, expected);
    }
}

TEST(QuerySubqueries, AUnionChainLongerThanTheTableLimitRuns) {
    // Each member's result table goes once its rows are merged: a chain of more members than
    // a database holds tables works.
    TQueryTestDb t(false);
    t.Exec("CREATE TABLE w (id INTEGER NOT NULL, PRIMARY KEY (id))");
    t.Exec("INSERT INTO w VALUES (1)");
    std::string sql = "SELECT id FROM w";
    for (int i = 0; i < 1050; ++i) sql += i % 2 ? " UNION ALL SELECT id FROM w" : " UNION SELECT id FROM w";
    EXPECT_EQ(t.Select(sql), "id\n1\n1\n");
}

// Columns too wide for one duplicate key (two strings of 250): the index that finds duplicates
// keys the leading column, and rows sharing it are compared on the others. DISTINCT and random
// chains of ALL and distinct members over rows that often share the first column but not the
// rest give the rows computed here.
TEST(QuerySubqueries, DuplicatesOfRowsWiderThanAKey) {
    TQueryTestDb t(false);
    t.Exec("CREATE TABLE wide (id INTEGER NOT NULL, a VARCHAR(250), b VARCHAR(250), c INTEGER, "
           "PRIMARY KEY (id))");
    using TRow =
        std::tuple<std::optional<std::string>, std::optional<std::string>, std::optional<int>>;
    const std::string longA(250, 'x');
    std::vector<TRow> rows(1); // rows[id]
    std::mt19937 rng(907);
    for (int id = 1; id <= 30; ++id) {
        const int pa = int(rng() % 4), pb = int(rng() % 4), pc = int(rng() % 3);
        std::optional<std::string> a = pa == 0 ? std::nullopt
                                               : std::optional<std::string>(pa == 1   ? "p"
                                                                            : pa == 2 ? "q"
                                                                                      : longA);
        std::optional<std::string> b = pb == 0
                                           ? std::nullopt
                                           : std::optional<std::string>(pb == 1   ? "r"
                                                                        : pb == 2 ? "s"
                                                                                  : longA + "y");
        if (b) b = b->substr(0, 250);
        std::optional<int> c = pc == 0 ? std::nullopt : std::optional<int>(pc);
        rows.emplace_back(a, b, c);
        auto text = [](const std::optional<std::string>& s) {
            return s ? "'" + *s + "'" : std::string("NULL");
        };
        t.Exec("INSERT INTO wide VALUES (" + std::to_string(id) + ", " + text(a) + ", " + text(b) +
               ", " + (c ? std::to_string(*c) : std::string("NULL")) + ")");
    }
    using TBag = std::multiset<TRow>;
    const auto distinct = [](const TBag& bag) {
        const std::set<TRow> once(bag.begin(), bag.end());
        return TBag(once.begin(), once.end());
    };
    const auto member = [&](int lo, int hi, TBag& bag) {
        for (int id = lo; id <= hi; ++id)
            bag.insert(rows[size_t(id)]);
        return "SELECT a, b, c FROM wide WHERE id BETWEEN " + std::to_string(lo) + " AND " +
               std::to_string(hi);
    };
    const auto run = [&](const std::string& sql) {
        SCOPED_TRACE(sql);
        TBag got;
        t.Query.GetSQL().SetText(sql);
        t.Query.Open();
        for (t.Query.First(); !t.Query.GetEOF(); t.Query.Next()) {
            auto str = [&](int i) {
                TField* f = t.Query.GetFields()[size_t(i)];
                return f->IsNull() ? std::nullopt : std::optional<std::string>(f->GetAsString());
            };
            TField* c = t.Query.GetFields()[2];
            got.emplace(str(0), str(1),
                        c->IsNull() ? std::nullopt : std::optional<int>(c->GetAsInteger()));
        }
        t.Query.Close();
        return got;
    };
    {
        TBag all;
        const std::string sql = member(1, 30, all);
        EXPECT_EQ(run("SELECT DISTINCT" + sql.substr(6)), distinct(all));
    }
    for (int chain = 0; chain < 10; ++chain) {
        TBag expected;
        const int lo = 1 + int(rng() % 30), hi = std::min(30, lo + int(rng() % 12));
        std::string sql = member(lo, hi, expected);
        if (rng() % 2) {
            sql = "SELECT DISTINCT" + sql.substr(6);
            expected = distinct(expected);
        }
        const int members = 2 + int(rng() % 5);
        for (int i = 1; i < members; ++i) {
            const bool all = rng() % 2 == 0;
            const int a = 1 + int(rng() % 30), b = std::min(30, a + int(rng() % 12));
            TBag part;
            sql += std::string(all ? " UNION ALL " : " UNION ") + member(a, b, part);
            expected.insert(part.begin(), part.end());
            if (!all) expected = distinct(expected);
        }
        EXPECT_EQ(run(sql), expected);
    }
}
