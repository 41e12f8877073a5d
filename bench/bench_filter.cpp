// Table filters beside SQLite on the same rows in the same run.
//
// 1,000,000 rows (K unique, A and C indexed integers, B an integer without index, S an indexed
// string of the ASCII order) in an in-memory table, and the same rows in an in-memory SQLite
// database with the same indexes (case_sensitive_like on). Each filter is applied and every
// record of its result is walked with Next, reading one field; SQLite prepares the SELECT of
// the same rows and steps through it reading the same column. Filters: equality on an indexed
// field (olFull) and on an unindexed one (olNone), an AND of two indexed ranges, a not-equal,
// LIKE 'AB%' on the indexed string. Also scrolling 10k and 100k results (the times must scale
// linearly) and the peak memory. Aim: within 1.5x of SQLite for the indexed filters, 2x for
// olNone.
// Usage: bench_filter [rows]
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <sys/resource.h>

#include "engine/dataset/zanDatabase.h"

using namespace zan;

namespace {

double Seconds(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long PeakKB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void Exec(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s\n", error ? error : "?");
        std::exit(1);
    }
}

struct TRow {
    int K, A, B, C;
    std::string S;
};

} // namespace

int main(int argc, char** argv) {
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
    std::mt19937 r(42);
    std::vector<TRow> data;
    data.reserve(size_t(rows));
    for (int k = 1; k <= rows; ++k) {
        std::string s;
        s += char('A' + r() % 16);
        s += char('A' + r() % 16);
        s += std::to_string(r() % 100000);
        data.push_back({k, int(r() % 1000), int(r() % 1000), int(r() % 10000), s});
    }

    TZanDataBase db;
    db.SetDataBaseName(C_MEMORY_DATABASE);
    db.Open();
    {
        TZanTable def;
        def.SetDataBase(&db);
        def.SetTableName("T");
        def.SetMemory(true);
        def.SetSortOrder(soASCII);
        def.GetFieldDefs().Add("K", ftInteger, 0, true);
        def.GetFieldDefs().Add("A", ftInteger);
        def.GetFieldDefs().Add("B", ftInteger);
        def.GetFieldDefs().Add("C", ftInteger);
        def.GetFieldDefs().Add("S", ftString, 10);
        def.GetIndexDefs().Add("ixK", "K", {ixUnique});
        def.GetIndexDefs().Add("ixA", "A", {});
        def.GetIndexDefs().Add("ixC", "C", {});
        def.GetIndexDefs().Add("ixS", "S", {});
        def.CreateTable();
    }
    TZanTable t;
    t.SetDataBase(&db);
    t.SetTableName("T");
    t.SetMemory(true);
    t.Open();
    const double load = Seconds([&] {
        for (const TRow& row : data)
            t.AppendRecord({Variant(row.K), Variant(row.A), Variant(row.B), Variant(row.C),
                            Variant(row.S)});
    });

    sqlite3* lite = nullptr;
    sqlite3_open(":memory:", &lite);
    Exec(lite, "PRAGMA case_sensitive_like = ON");
    Exec(lite, "CREATE TABLE T (K INTEGER PRIMARY KEY, A INTEGER, B INTEGER, C INTEGER, S TEXT)");
    Exec(lite, "BEGIN");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(lite, "INSERT INTO T VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr);
    for (const TRow& row : data) {
        sqlite3_bind_int(insert, 1, row.K);
        sqlite3_bind_int(insert, 2, row.A);
        sqlite3_bind_int(insert, 3, row.B);
        sqlite3_bind_int(insert, 4, row.C);
        sqlite3_bind_text(insert, 5, row.S.c_str(), int(row.S.size()), SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Exec(lite, "COMMIT");
    Exec(lite, "CREATE INDEX ixA ON T (A)");
    Exec(lite, "CREATE INDEX ixC ON T (C)");
    Exec(lite, "CREATE INDEX ixS ON T (S)");
    std::printf("%d rows loaded in %.2f s; peak %ld MB\n", rows, load, PeakKB() / 1024);

    TField* field = t.FieldByName("B");
    auto ours = [&](const std::string& filter, long& sum, int& count) {
        return Seconds([&] {
            t.SetFilter(filter);
            t.SetFiltered(true);
            sum = 0;
            count = 0;
            for (t.First(); !t.GetEOF(); t.Next()) {
                sum += field->GetAsInteger();
                ++count;
            }
            t.SetFiltered(false);
        });
    };
    auto theirs = [&](const std::string& where, long& sum, int& count) {
        return Seconds([&] {
            sqlite3_stmt* stmt = nullptr;
            sqlite3_prepare_v2(lite, ("SELECT B FROM T WHERE " + where).c_str(), -1, &stmt,
                               nullptr);
            sum = 0;
            count = 0;
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                sum += sqlite3_column_int(stmt, 0);
                ++count;
            }
            sqlite3_finalize(stmt);
        });
    };
    struct {
        const char* Name;
        const char* Text;
        double Aim;
    } const cases[] = {
        {"equality, indexed (olFull)", "A = 500", 1.5},
        {"equality, no index (olNone)", "B = 500", 2.0},
        {"AND of two indexed ranges", "A < 100 AND C >= 9000", 1.5},
        {"not-equal, indexed", "A <> 500", 1.5},
        {"LIKE 'AB%', indexed", "S LIKE 'AB%'", 1.5},
    };
    std::printf("%-32s %10s %10s %8s %6s %s\n", "filter", "ours s", "sqlite s", "rows", "ratio",
                "aim");
    for (const auto& c : cases) {
        long sumOurs = 0, sumTheirs = 0;
        int countOurs = 0, countTheirs = 0;
        const double a = ours(c.Text, sumOurs, countOurs);
        const double b = theirs(c.Text, sumTheirs, countTheirs);
        std::printf("%-32s %10.4f %10.4f %8d %5.2fx <= %.1fx%s\n", c.Name, a, b, countOurs, a / b,
                    c.Aim, sumOurs != sumTheirs || countOurs != countTheirs ? "  MISMATCH" : "");
    }
    // Scrolling: 10k against 100k results must scale linearly.
    long sum = 0;
    int count = 0;
    const double small = ours("K <= 10000", sum, count);
    const double large = ours("K <= 100000", sum, count);
    std::printf("scrolling 10k results %.4f s, 100k results %.4f s: %.1fx for 10x the rows\n",
                small, large, large / small);
    std::printf("peak memory %ld MB\n", PeakKB() / 1024);
    sqlite3_close(lite);
    t.Close();
    return 0;
}
