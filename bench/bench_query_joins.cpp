// Joins through the query planner and join providers (parse, split, plan, open, every joined
// row and its columns read) beside sqlite3 stepping the same statements to the end over the same
// tables and indexes, at two scales ten times apart: an FK->PK equi-join with and without a
// selective filter on each side, LEFT and FULL OUTER of it, a non-equi join, a three-table WHERE
// chain. Prints rows, times, the ratio ours/SQLite and each engine's growth factor, so that a
// path that grows faster than its output shows. Aim: equi-joins within 2x SQLite.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_data.h"
#include "engine/dataset/zanDatabase.h"
#include "support/zanQueryRunner.h"

using namespace zan;

namespace {

using benchdata::Seconds;

struct TTable {
    std::string Name;
    std::vector<std::pair<std::string, TFieldType>> Fields;
    std::vector<std::pair<std::string, std::string>> Indexes; // name, field
    std::vector<std::vector<Variant>> Rows;
};

class TScale {
public:
    explicit TScale(int customers) {
        std::mt19937 rng(7);
        const int orders = customers * 10, items = customers * 2;
        TTable cust{"cust", {{"id", ftInteger}, {"grp", ftInteger}, {"name", ftString}}, {{"ixcust", "id"}}, {}};
        for (int i = 1; i <= customers; ++i)
            cust.Rows.push_back({Variant(i), Variant(int(rng() % 50)), Variant("c" + std::to_string(i))});
        TTable ord{"ord", {{"id", ftInteger}, {"cid", ftInteger}, {"amt", ftFloat}}, {{"ixordcid", "cid"}, {"ixord", "id"}}, {}};
        for (int i = 1; i <= orders; ++i) {
            // 10% of orders have no customer; customers above 90% of the range have no order.
            const bool orphan = rng() % 10 == 0;
            ord.Rows.push_back({Variant(i),
                                orphan ? Null() : Variant(int(rng() % (customers * 9 / 10)) + 1),
                                Variant(double(rng() % 100000) / 100)});
        }
        TTable item{"item", {{"oid", ftInteger}, {"qty", ftInteger}}, {{"ixitem", "oid"}}, {}};
        for (int i = 1; i <= items; ++i)
            item.Rows.push_back({Variant(int(rng() % orders) + 1), Variant(int(rng() % 9))});
        const int small = customers / 10;
        TTable s1{"s1", {{"id", ftInteger}, {"v", ftInteger}}, {}, {}}, s2 = s1;
        s2.Name = "s2";
        for (int i = 1; i <= small; ++i) {
            s1.Rows.push_back({Variant(i), Variant(int(rng() % 1000))});
            s2.Rows.push_back({Variant(i), Variant(int(rng() % 1000))});
        }
        FTables = {cust, ord, item, s1, s2};
        FDb = std::make_unique<TZanDataBase>();
        FDb->SetDataBaseName("MEMORY");
        FDb->Open();
        sqlite3_open(":memory:", &FLite);
        sqlite3_exec(FLite, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
        for (const TTable& t : FTables) Load(t);
        FRunner = std::make_unique<TZanQueryRunner>(*FDb);
        for (const TTable& t : FTables) FRunner->AddTable(t.Name);
    }
    ~TScale() {
        FRunner.reset();
        sqlite3_close(FLite);
    }

    // Rows and seconds of ours, then of sqlite.
    void Run(const std::string& sql, size_t& rows, double& ours, size_t& liteRows, double& lite) {
        ours = Seconds([&] { rows = FRunner->Select(sql).size(); });
        lite = Seconds([&] {
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(FLite, sql.c_str(), -1, &st, nullptr);
            liteRows = 0;
            long long sink = 0;
            while (sqlite3_step(st) == SQLITE_ROW) {
                for (int i = 0; i < sqlite3_column_count(st); ++i) sink += sqlite3_column_int(st, i);
                ++liteRows;
            }
            sqlite3_finalize(st);
            if (sink == -1) std::puts("");
        });
    }

private:
    void Load(const TTable& t) {
        TZanTable table;
        table.SetDataBase(FDb.get());
        table.SetTableName(t.Name);
        table.SetMemory(true);
        std::string ddl = "CREATE TABLE " + t.Name + " (";
        for (size_t i = 0; i < t.Fields.size(); ++i) {
            const auto& [name, type] = t.Fields[i];
            table.GetFieldDefs().Add(name, type, type == ftString ? 20 : 0);
            ddl += (i ? ", " : "") + name +
                   (type == ftInteger ? " INTEGER" : type == ftFloat ? " REAL" : " TEXT");
        }
        for (const auto& [name, field] : t.Indexes) table.GetIndexDefs().Add(name, field, {});
        table.CreateTable();
        sqlite3_exec(FLite, (ddl + ")").c_str(), nullptr, nullptr, nullptr);
        for (const auto& [name, field] : t.Indexes)
            sqlite3_exec(FLite, ("CREATE INDEX " + name + " ON " + t.Name + "(" + field + ")").c_str(),
                         nullptr, nullptr, nullptr);
        table.Open();
        sqlite3_exec(FLite, "BEGIN", nullptr, nullptr, nullptr);
        std::string marks;
        for (size_t i = 0; i < t.Fields.size(); ++i) marks += i ? ",?" : "?";
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(FLite, ("INSERT INTO " + t.Name + " VALUES (" + marks + ")").c_str(), -1,
                           &insert, nullptr);
        for (const auto& row : t.Rows) {
            table.Append();
            for (size_t i = 0; i < row.size(); ++i) {
                const int col = int(i) + 1;
                if (VarIsNull(row[i])) {
                    sqlite3_bind_null(insert, col);
                    continue;
                }
                table.GetFields().Fields(int(i))->SetAsVariant(row[i]);
                if (row[i].Type() == varString)
                    sqlite3_bind_text(insert, col, row[i].StringRef().c_str(), -1, SQLITE_TRANSIENT);
                else if (row[i].Type() == varDouble)
                    sqlite3_bind_double(insert, col, row[i].AsDouble());
                else
                    sqlite3_bind_int(insert, col, row[i].AsInteger());
            }
            table.Post();
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(FLite, "COMMIT", nullptr, nullptr, nullptr);
        table.Close();
    }

    std::vector<TTable> FTables;
    std::unique_ptr<TZanDataBase> FDb;
    sqlite3* FLite = nullptr;
    std::unique_ptr<TZanQueryRunner> FRunner;
};

} // namespace

int main() {
    const std::vector<std::pair<const char*, const char*>> queries = {
        {"equi-join FK->PK", "SELECT c.id, o.id FROM cust c JOIN ord o ON o.cid = c.id"},
        {"equi-join, filter each side",
         "SELECT c.id, o.id FROM cust c JOIN ord o ON o.cid = c.id WHERE c.grp = 3 AND o.amt > 900"},
        {"LEFT OUTER", "SELECT c.id, o.id FROM cust c LEFT JOIN ord o ON o.cid = c.id"},
        {"FULL OUTER", "SELECT c.id, o.id FROM cust c FULL JOIN ord o ON o.cid = c.id"},
        {"non-equi join", "SELECT a.id, b.id FROM s1 a JOIN s2 b ON a.v < b.v"},
        {"three-table WHERE chain",
         "SELECT c.id, o.id, i.qty FROM cust c, ord o, item i WHERE c.id = o.cid AND o.id = i.oid"},
    };
    std::printf("%-30s %8s %10s %10s %10s %7s | %10s %10s %7s %7s\n", "query", "scale", "rows",
                "ours s", "sqlite s", "ratio", "ours x10", "sqlite x10", "growth", "sqlite");
    struct TResult {
        size_t Rows;
        double Ours, Lite;
    };
    std::vector<TResult> small;
    for (int scale : {1000, 10000}) {
        TScale data(scale);
        for (size_t q = 0; q < queries.size(); ++q) {
            size_t rows = 0, liteRows = 0;
            double ours = 0, lite = 0;
            data.Run(queries[q].second, rows, ours, liteRows, lite);
            if (rows != liteRows)
                std::printf("ROW COUNTS DIFFER: %zu against %zu\n", rows, liteRows);
            if (scale == 1000) {
                small.push_back({rows, ours, lite});
                std::printf("%-30s %8d %10zu %10.4f %10.4f %7.2f\n", queries[q].first, scale, rows,
                            ours, lite, ours / lite);
            } else {
                std::printf("%-30s %8d %10zu %10.4f %10.4f %7.2f | growth ours %6.1f sqlite %6.1f\n",
                            queries[q].first, scale, rows, ours, lite, ours / lite,
                            ours / small[q].Ours, lite / small[q].Lite);
            }
        }
    }
    return 0;
}
