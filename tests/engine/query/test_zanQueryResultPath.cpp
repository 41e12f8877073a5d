// The result path at sizes where tables and result tables span many nodes: ORDER BY, GROUP BY
// and DISTINCT against a model, a statement reading and writing one table, and a prepared
// query run again after another process changed its table (no lock or stale table state
// kept from one run, or from a failed prepare, to the next).
#include "sql_test_support.h"

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <tuple>

using namespace zan;

namespace {

struct TModelRow {
    int Id;
    std::optional<int> B; // NULL when empty
    int C;
};

std::vector<TModelRow> ModelRows(int n) {
    std::mt19937 rng(4711);
    std::vector<TModelRow> rows;
    for (int i = 1; i <= n; ++i)
        rows.push_back({i, rng() % 10 == 0 ? std::nullopt : std::optional<int>(int(rng() % 97)),
                        int(rng() % 1000)});
    return rows;
}

void FillModel(TQueryConnection& t, const std::vector<TModelRow>& rows) {
    t.Exec("CREATE TABLE m (id INTEGER NOT NULL, b INTEGER, c INTEGER, PRIMARY KEY (id))");
    if (!t.Db.IsMemoryDatabase()) t.Exec("CREATE INDEX ixb ON m (b)");
    if (!t.Db.IsMemoryDatabase()) t.Db.StartTransaction();
    for (const TModelRow& r : rows)
        t.Exec("INSERT INTO m VALUES (" + std::to_string(r.Id) + ", " +
               (r.B ? std::to_string(*r.B) : "NULL") + ", " + std::to_string(r.C) + ")");
    if (!t.Db.IsMemoryDatabase()) t.Db.Commit();
}

// Every row of the open query, each column as text ("N" for NULL).
std::vector<std::vector<std::string>> Rows(TZanQuery& q) {
    std::vector<std::vector<std::string>> out;
    for (q.First(); !q.GetEOF(); q.Next()) {
        std::vector<std::string> row;
        for (int c = 0; c < q.GetFieldCount(); ++c) {
            TField* f = q.GetFields()[c];
            if (!f->GetVisible()) continue;
            row.push_back(f->IsNull() ? std::string("N") : f->GetAsString());
        }
        out.push_back(row);
    }
    return out;
}

std::vector<std::vector<std::string>> RunSelect(TQueryConnection& t, const std::string& sql) {
    t.Query.GetSQL().SetText(sql);
    t.Query.Open();
    auto rows = Rows(t.Query);
    t.Query.Close();
    return rows;
}

std::string Text(const std::optional<int>& v) { return v ? std::to_string(*v) : "N"; }

} // namespace

class QueryResultPath : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(FileAndMemory, QueryResultPath, ::testing::Values(true, false));

TEST_P(QueryResultPath, OrderGroupAndDistinctOverManyRowsMatchAModel) {
    TQueryTestDb t(GetParam(), "resultpath.zan");
    const std::vector<TModelRow> rows = ModelRows(500);
    FillModel(t, rows);

    // ORDER BY a non-indexed column (NULLs first), then id.
    std::vector<TModelRow> sorted = rows;
    std::sort(sorted.begin(), sorted.end(), [](const TModelRow& a, const TModelRow& b) {
        return std::make_tuple(a.C, a.Id) < std::make_tuple(b.C, b.Id);
    });
    auto got = RunSelect(t, "SELECT id, c FROM m ORDER BY c, id");
    ASSERT_EQ(got.size(), sorted.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], (std::vector<std::string>{std::to_string(sorted[i].Id),
                                                    std::to_string(sorted[i].C)}))
            << "row " << i;
    std::sort(sorted.begin(), sorted.end(), [](const TModelRow& a, const TModelRow& b) {
        return std::make_tuple(a.B.has_value(), a.B.value_or(0), -a.Id) <
               std::make_tuple(b.B.has_value(), b.B.value_or(0), -b.Id);
    });
    got = RunSelect(t, "SELECT b, id FROM m ORDER BY b, id DESC");
    ASSERT_EQ(got.size(), sorted.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], (std::vector<std::string>{Text(sorted[i].B), std::to_string(sorted[i].Id)}))
            << "row " << i;

    // GROUP BY: a row per value of b (NULL one group), in the group index's order.
    std::map<std::optional<int>, std::pair<int, int>> groups; // count, max c
    for (const TModelRow& r : rows) {
        auto& g = groups[r.B];
        g.first++;
        g.second = std::max(g.second, r.C);
    }
    got = RunSelect(t, "SELECT b, COUNT(*), MAX(c) FROM m GROUP BY b");
    ASSERT_EQ(got.size(), groups.size());
    size_t i = 0;
    for (const auto& [b, g] : groups) {
        EXPECT_EQ(got[i], (std::vector<std::string>{Text(b), std::to_string(g.first),
                                                    std::to_string(g.second)}));
        ++i;
    }

    // DISTINCT over one and two columns, and a filtered indexed range.
    std::set<std::optional<int>> bs;
    std::set<std::pair<std::optional<int>, int>> pairs;
    for (const TModelRow& r : rows) {
        bs.insert(r.B);
        if (r.Id <= 300) pairs.insert({r.B, r.C});
    }
    EXPECT_EQ(RunSelect(t, "SELECT DISTINCT b FROM m").size(), bs.size());
    got = RunSelect(t, "SELECT DISTINCT b, c FROM m WHERE id <= 300 AND c < 1000");
    std::set<std::vector<std::string>> all(got.begin(), got.end());
    EXPECT_EQ(all.size(), got.size());
    EXPECT_EQ(got.size(), pairs.size());
    size_t inRange = 0;
    for (const TModelRow& r : rows) inRange += r.B && *r.B >= 20 && *r.B <= 40;
    EXPECT_EQ(RunSelect(t, "SELECT id FROM m WHERE b BETWEEN 20 AND 40").size(), inRange);
    std::set<int> cs;
    for (const TModelRow& r : rows) cs.insert(r.C);
    EXPECT_EQ(RunSelect(t, "SELECT DISTINCT c FROM m").size(), cs.size());
}

TEST_P(QueryResultPath, AStatementReadingAndWritingOneTableReadsItAsItWas) {
    TQueryTestDb t(GetParam(), "selfinsert.zan");
    FillModel(t, ModelRows(250));
    EXPECT_EQ(t.Exec("INSERT INTO m SELECT id + 1000, b, c FROM m WHERE id <= 250"), 250);
    EXPECT_EQ(RunSelect(t, "SELECT id FROM m").size(), 500u);
    EXPECT_EQ(RunSelect(t, "SELECT id FROM m WHERE id > 1000").size(), 250u);
    EXPECT_EQ(RunSelect(t, "SELECT a.id FROM m a, m b WHERE a.id = b.id - 1000").size(), 250u);
    const auto rows = ModelRows(250);
    const int over50 = int(std::count_if(rows.begin(), rows.end(),
                                         [](const TModelRow& r) { return r.B && *r.B > 50; }));
    EXPECT_EQ(t.Exec("UPDATE m SET b = b + 100 WHERE b > 50"), 2 * over50);
    EXPECT_EQ(RunSelect(t, "SELECT id FROM m WHERE b > 150").size(), size_t(2 * over50));
}

TEST(QueryResultPathShared, APreparedQuerySeesAnotherProcessesRowsAndAFailedPrepareHoldsNoLock) {
    TQueryTestDb t(true, "seeother.zan");
    FillModel(t, ModelRows(150));
    const std::string path = t.Path();
    // A prepared join and range, kept open while the other process writes.
    TZanQuery q;
    q.SetDatabase(&t.Db);
    q.GetSQL().SetText(
        "SELECT a.id, b.c FROM m a, m b WHERE a.id = b.id AND a.b BETWEEN 10 AND 60");
    q.Prepare();
    q.Open();
    const size_t before = Rows(q).size();
    std::string message;
    EXPECT_EQ(t.ErrorOf("SELECT id FROM missing", &message), 9645);
    EXPECT_NE(message.find("missing"), std::string::npos);
    TChildProcess writer([&](TChildProcess&) {
        TQueryTestDb::TOther other(path);
        for (int i = 1; i <= 60; ++i)
            other.Exec("INSERT INTO m VALUES (" + std::to_string(5000 + i) + ", " +
                       std::to_string(10 + i % 50) + ", 1)");
        return 0;
    });
    EXPECT_EQ(writer.Wait(), 0);
    q.Close();
    q.Open();
    EXPECT_EQ(Rows(q).size(), before + 60);
    q.Close();
    q.SetDatabase(nullptr);
}
