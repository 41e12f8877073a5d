// Data-changing statements and ORDER BY through the query component beside SQLite, both in this
// process on the same data.
//
// Table t (id INTEGER primary key, k INTEGER indexed, v FLOAT, s VARCHAR(20), n INTEGER), n
// uniform in 0..999 and not indexed, at 65,536 rows (or the count given). Statements:
// INSERT INTO t2 SELECT * FROM t (t2 empty, same columns and indexes), UPDATE t SET v = v + 1
// WHERE n < 500 (half the rows), DELETE FROM t3 WHERE n < 500 (t3 a fresh copy of t), each
// outside a transaction and inside one (its commit timed with it); and two ORDER BY selects over
// non-indexed columns (every row and column fetched). The tables a statement needs are rebuilt,
// untimed, before each run. SQLite: prepared statements, synchronous=OFF, journal_mode=MEMORY;
// ours: a file with its defaults (journal on, syncs off), shared unless BENCH_DML_EXCLUSIVE=1.
// Each case: the median of 3 runs, elapsed and processor time; rows affected (or fetched) are compared between the engines.
// Usage: bench_dml_vs_sqlite [rows]   (default 65536); BENCH_DML_FILTER=text runs only the cases
// whose name holds that text; BENCH_DML_ONLY=ours|sqlite runs one engine (for profiles).
// BENCH_DML_RUNS=n: n runs a case instead of 3.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanSQL.h"

using namespace zan;

namespace {

enum TKind { kInsertSelect, kUpdate, kDelete, kSelect };

struct TCase {
    const char* Name;
    TKind Kind;
    bool InTransaction;
    const char* Sql;
};

const char* const C_INSERT = "INSERT INTO t2 SELECT id, k, v, s, n FROM t";
const char* const C_UPDATE = "UPDATE t SET v = v + 1 WHERE n < 500";
const char* const C_DELETE = "DELETE FROM t3 WHERE n < 500";

const TCase C_CASES[] = {
    {"INSERT SELECT all", kInsertSelect, false, C_INSERT},
    {"INSERT SELECT all, txn", kInsertSelect, true, C_INSERT},
    {"UPDATE WHERE half", kUpdate, false, C_UPDATE},
    {"UPDATE WHERE half, txn", kUpdate, true, C_UPDATE},
    {"DELETE WHERE half", kDelete, false, C_DELETE},
    {"DELETE WHERE half, txn", kDelete, true, C_DELETE},
    {"ORDER BY float", kSelect, false, "SELECT id, v FROM t ORDER BY v, id"},
    {"ORDER BY string", kSelect, false, "SELECT id, s FROM t ORDER BY s DESC, id"},
};
constexpr int C_CASE_COUNT = int(sizeof(C_CASES) / sizeof(C_CASES[0]));
// BENCH_DML_RUNS=n runs each case n times instead (for profiles).
const int C_RUNS = [] {
    const char* n = std::getenv("BENCH_DML_RUNS");
    return n && std::atoi(n) > 0 ? std::atoi(n) : 3;
}();

bool Selected(int c) {
    const char* filter = std::getenv("BENCH_DML_FILTER");
    return !filter || std::string(C_CASES[c].Name).find(filter) != std::string::npos;
}

bool Runs(const char* engine) {
    const char* only = std::getenv("BENCH_DML_ONLY");
    return !only || std::string(only) == engine;
}

struct TRow {
    int Id, K;
    double V; // NaN NULL
    std::string S;
    int N;
};

std::vector<TRow> MakeRows(int count) {
    std::mt19937 rng(42);
    std::vector<TRow> rows;
    rows.reserve(size_t(count));
    for (int i = 1; i <= count; ++i) {
        const int k = int(rng() % 5000);
        const double v = rng() % 10 ? double(rng() % 1000000) / 100 : NAN;
        rows.push_back({i, k, v, "s" + std::to_string(rng() % 20000), int(rng() % 1000)});
    }
    return rows;
}

const char* const C_CREATE[] = {
    "CREATE TABLE %s (id INTEGER, k INTEGER, v FLOAT, s VARCHAR(20), n INTEGER, PRIMARY KEY (id))",
    "CREATE INDEX ix_%s_k ON %s (k)",
};

std::string Fmt(const char* pattern, const std::string& table) {
    char buf[256];
    std::snprintf(buf, sizeof buf, pattern, table.c_str(), table.c_str());
    return buf;
}

double Seconds(std::chrono::steady_clock::time_point a) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

struct TResult {
    double Seconds = 0, CpuSeconds = 0;
    long Rows = 0;
};

// The processor time of this process (user and system): on a busy machine it shifts less than
// the elapsed time.
double CpuNow() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// --- SQLite -------------------------------------------------------------------------------------

struct TLite {
    sqlite3* Db = nullptr;

    void Exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(Db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::fprintf(stderr, "sqlite: %s: %s\n", sql.c_str(), error ? error : "?");
            std::exit(1);
        }
    }
    void Create(const std::string& table) {
        Exec("DROP TABLE IF EXISTS " + table);
        // INTEGER PRIMARY KEY would make id the row id, a layout ours has no match for.
        Exec(Fmt("CREATE TABLE %s (id INT PRIMARY KEY, k INTEGER, v FLOAT, s VARCHAR(20), "
                 "n INTEGER)",
                 table));
        Exec(Fmt(C_CREATE[1], table));
    }
    long Run(const char* sql, bool select) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(Db, sql, -1, &st, nullptr) != SQLITE_OK) {
            std::fprintf(stderr, "sqlite: %s: %s\n", sql, sqlite3_errmsg(Db));
            std::exit(1);
        }
        long rows = 0;
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            ++rows;
            for (int c = 0; c < sqlite3_column_count(st); ++c)
                (void)sqlite3_column_text(st, c);
        }
        if (rc != SQLITE_DONE) {
            std::fprintf(stderr, "sqlite: %s: %s\n", sql, sqlite3_errmsg(Db));
            std::exit(1);
        }
        sqlite3_finalize(st);
        return select ? rows : long(sqlite3_changes(Db));
    }
};

std::vector<TResult> RunSqlite(const std::vector<TRow>& data, const std::string& path) {
    unlink(path.c_str());
    TLite lite;
    sqlite3_open(path.c_str(), &lite.Db);
    lite.Exec("PRAGMA synchronous=OFF");
    lite.Exec("PRAGMA journal_mode=MEMORY");
    lite.Create("t");
    lite.Exec("BEGIN");
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(lite.Db, "INSERT INTO t VALUES (?, ?, ?, ?, ?)", -1, &st, nullptr);
    for (const TRow& r : data) {
        sqlite3_bind_int(st, 1, r.Id);
        sqlite3_bind_int(st, 2, r.K);
        if (std::isnan(r.V))
            sqlite3_bind_null(st, 3);
        else
            sqlite3_bind_double(st, 3, r.V);
        sqlite3_bind_text(st, 4, r.S.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 5, r.N);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    lite.Exec("COMMIT");
    std::vector<TResult> results(C_CASE_COUNT);
    for (int c = 0; c < C_CASE_COUNT; ++c) {
        if (!Selected(c)) continue;
        const TCase& k = C_CASES[c];
        std::vector<double> times, cpu;
        for (int run = 0; run < C_RUNS; ++run) {
            if (k.Kind == kInsertSelect) lite.Create("t2");
            if (k.Kind == kDelete) {
                lite.Create("t3");
                lite.Exec("INSERT INTO t3 SELECT * FROM t");
            }
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = CpuNow();
            if (k.InTransaction) lite.Exec("BEGIN");
            results[size_t(c)].Rows = lite.Run(k.Sql, k.Kind == kSelect);
            if (k.InTransaction) lite.Exec("COMMIT");
            times.push_back(Seconds(t0));
            cpu.push_back(CpuNow() - c0);
        }
        results[size_t(c)].Seconds = Median(times);
        results[size_t(c)].CpuSeconds = Median(cpu);
    }
    sqlite3_close(lite.Db);
    unlink(path.c_str());
    return results;
}

// --- Ours ---------------------------------------------------------------------------------------

struct TOurs {
    TZanDataBase Db;
    TZanQuery Query;

    void Exec(const std::string& sql) {
        Query.Close();
        Query.GetSQL().SetText(sql);
        Query.ExecSQL();
    }
    void Create(const std::string& table, bool exists) {
        if (exists) Exec("DROP TABLE " + table);
        Exec(Fmt(C_CREATE[0], table));
        Exec(Fmt(C_CREATE[1], table));
    }
    long Run(const char* sql, bool select) {
        Query.Close();
        Query.GetSQL().SetText(sql);
        if (!select) {
            Query.ExecSQL();
            return Query.GetRowsAffected();
        }
        Query.Open();
        long rows = 0;
        const int cols = Query.GetFieldCount();
        for (Query.First(); !Query.GetEOF(); Query.Next()) {
            ++rows;
            for (int c = 0; c < cols; ++c)
                (void)Query.GetFields()[c]->GetAsString();
        }
        Query.Close();
        return rows;
    }
};

std::vector<TResult> RunOurs(const std::vector<TRow>& data, const std::string& path) {
    unlink(path.c_str());
    TOurs ours;
    ours.Db.SetDataBaseName(path);
    ours.Db.SetDefaultSortOrder(soASCII);
    ours.Db.CreateDatabase();
    ours.Db.SetExclusive(std::getenv("BENCH_DML_EXCLUSIVE") != nullptr);
    ours.Db.Open();
    ours.Query.SetDatabase(&ours.Db);
    ours.Create("t", false);
    ours.Db.StartTransaction();
    {
        TZanTable t;
        t.SetDataBase(&ours.Db);
        t.SetTableName("t");
        t.Open();
        for (const TRow& r : data)
            t.AppendRecord({Variant(r.Id), Variant(r.K), std::isnan(r.V) ? Null() : Variant(r.V),
                            Variant(r.S), Variant(r.N)});
        t.Close();
    }
    ours.Db.Commit();
    bool have2 = false, have3 = false;
    std::vector<TResult> results(C_CASE_COUNT);
    for (int c = 0; c < C_CASE_COUNT; ++c) {
        if (!Selected(c)) continue;
        const TCase& k = C_CASES[c];
        std::vector<double> times, cpu;
        for (int run = 0; run < C_RUNS; ++run) {
            if (k.Kind == kInsertSelect) {
                ours.Create("t2", have2);
                have2 = true;
            }
            if (k.Kind == kDelete) {
                ours.Create("t3", have3);
                have3 = true;
                ours.Db.StartTransaction();
                ours.Exec("INSERT INTO t3 SELECT id, k, v, s, n FROM t");
                ours.Db.Commit();
            }
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = CpuNow();
            if (k.InTransaction) ours.Db.StartTransaction();
            results[size_t(c)].Rows = ours.Run(k.Sql, k.Kind == kSelect);
            if (k.InTransaction) ours.Db.Commit();
            times.push_back(Seconds(t0));
            cpu.push_back(CpuNow() - c0);
        }
        results[size_t(c)].Seconds = Median(times);
        results[size_t(c)].CpuSeconds = Median(cpu);
    }
    ours.Query.Close();
    ours.Query.SetDatabase(nullptr);
    ours.Db.Close();
    unlink(path.c_str());
    return results;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 65536;
    const std::vector<TRow> data = MakeRows(count);
    const std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    const std::string base = dir + "/bench_dml_" + std::to_string(getpid());
    std::vector<TResult> lite(C_CASE_COUNT), ours(C_CASE_COUNT);
    if (Runs("sqlite")) lite = RunSqlite(data, base + ".sqlite");
    if (Runs("ours")) ours = RunOurs(data, base + ".zan");
    std::printf("SQLite %s (synchronous=OFF, journal_mode=MEMORY); ours %s, journal on, syncs "
                "off; %d rows, median of %d\n",
                sqlite3_libversion(), std::getenv("BENCH_DML_EXCLUSIVE") ? "exclusive" : "shared",
                count, C_RUNS);
    std::printf("%-26s %8s %10s %10s %8s %10s %10s %8s\n", "case (seconds)", "rows", "sqlite",
                "ours", "ratio", "cpu sqlite", "cpu ours", "ratio");
    bool mismatch = false;
    for (int c = 0; c < C_CASE_COUNT; ++c) {
        if (!Selected(c)) continue;
        const TResult &a = lite[size_t(c)], &b = ours[size_t(c)];
        const bool same = !Runs("sqlite") || !Runs("ours") || a.Rows == b.Rows;
        if (!same) mismatch = true;
        std::printf("%-26s %8ld %10.4f %10.4f %8.2f %10.4f %10.4f %8.2f%s\n", C_CASES[c].Name,
                    std::max(a.Rows, b.Rows), a.Seconds, b.Seconds,
                    b.Seconds / std::max(a.Seconds, 1e-6), a.CpuSeconds, b.CpuSeconds,
                    b.CpuSeconds / std::max(a.CpuSeconds, 1e-6),
                    same ? "" : "  MISMATCH (rows differ)");
    }
    return mismatch ? 1 : 0;
}
