// The data of the SQLite comparisons (bench_vs_sqlite, bench_cursor): records with an integer
// key, a 40-byte string, a double and a 200-byte blob on every tenth row; and small helpers.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace benchdata {

// Seconds one call of f takes.
template <typename F>
double Seconds(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Seconds per call of f, measured over at least 0.3 s.
template <typename F>
double SecondsPerCall(F&& f) {
    using clock = std::chrono::steady_clock;
    long calls = 0;
    const auto start = clock::now();
    double elapsed = 0;
    do {
        for (int i = 0; i < 16; ++i)
            f();
        calls += 16;
        elapsed = std::chrono::duration<double>(clock::now() - start).count();
    } while (elapsed < 0.3);
    return elapsed / static_cast<double>(calls);
}

// Seconds one call of f takes.
template <class F> double TimeSeconds(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One line of a comparison: both times and our time over SQLite's.
inline void ReportRatio(const char* what, double ours, double sqlite) {
    std::printf("%-36s ours %9.3f s  sqlite %9.3f s  ratio %6.2f\n", what, ours, sqlite,
                sqlite > 0 ? ours / sqlite : 0.0);
}

inline std::string NameOf(int32_t id) {
    std::string s(40, 'a');
    uint32_t x = uint32_t(id) * 2654435761u + 12345u;
    for (int i = 0; i < 40; ++i) {
        x = x * 1103515245u + 12345u;
        s[size_t(i)] = char('a' + (x >> 16) % 26);
    }
    return s;
}
inline double ValueOf(int32_t id) {
    return double(uint32_t(id) * 40503u % 1000003u) / 7.0;
}
inline bool HasBlob(int32_t id) {
    return id % 10 == 0;
}
inline std::string BlobOf(int32_t id) {
    std::string b(200, '\0');
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = char((id + int32_t(i)) & 0xFF);
    return b;
}
// 0 .. n-1 in an order fixed by the seed.
inline std::vector<int32_t> Shuffled(int32_t n, uint32_t seed) {
    std::vector<int32_t> ids(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i)
        ids[size_t(i)] = i;
    std::shuffle(ids.begin(), ids.end(), std::mt19937(seed));
    return ids;
}
inline uint64_t FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}
inline double MB(uint64_t bytes) {
    return double(bytes) / (1024.0 * 1024.0);
}
// Ends the run on an SQLite failure.
inline void Check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite %s: %s\n", what, sqlite3_errmsg(db));
        std::exit(2);
    }
}

inline void SqliteExec(sqlite3* db, const char* sql) {
    Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}
inline sqlite3_stmt* SqlitePrepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    Check(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), db, sql);
    return s;
}
// A new SQLite file with table t(id, name, val, data) and, for three indexes, indexes on name
// and val; no syncs, the journal in memory.
// synced: the rollback journal on disk and every commit synced instead of no syncs and the
// journal in memory.
inline sqlite3* CreateSqliteTable(const std::string& path, int indexes, bool synced = false) {
    unlink(path.c_str());
    sqlite3* db = nullptr;
    Check(sqlite3_open(path.c_str(), &db), db, "open");
    SqliteExec(db, synced ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
    SqliteExec(db, synced ? "PRAGMA journal_mode=DELETE" : "PRAGMA journal_mode=MEMORY");
    SqliteExec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, val REAL, data BLOB)");
    if (indexes >= 3) {
        SqliteExec(db, "CREATE INDEX t_name ON t(name)");
        SqliteExec(db, "CREATE INDEX t_val ON t(val)");
    }
    return db;
}
// Inserts the record of id through a prepared INSERT INTO t(id, name, val, data).
inline void SqliteInsert(sqlite3* db, sqlite3_stmt* ins, int32_t id) {
    const std::string name = NameOf(id);
    sqlite3_bind_int(ins, 1, id);
    sqlite3_bind_text(ins, 2, name.data(), int(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_double(ins, 3, ValueOf(id));
    if (HasBlob(id)) {
        const std::string blob = BlobOf(id);
        sqlite3_bind_blob(ins, 4, blob.data(), int(blob.size()), SQLITE_TRANSIENT);
    } else {
        sqlite3_bind_null(ins, 4);
    }
    Check(sqlite3_step(ins), db, "insert");
    sqlite3_reset(ins);
}
// count keys below n in an order fixed by the seed (repeats possible).
inline std::vector<int32_t> RandomKeys(int32_t n, int32_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int32_t> keys(static_cast<size_t>(count));
    for (auto& k : keys)
        k = int32_t(rng() % uint32_t(n));
    return keys;
}

} // namespace benchdata
