// The data of the SQLite comparisons (bench_vs_sqlite, bench_cursor): records with an integer
// key, a 40-byte string, a double and a 200-byte blob on every tenth row; and small helpers.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace benchdata {

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
// Ends the run on an SQLite failure.
inline void Check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite %s: %s\n", what, sqlite3_errmsg(db));
        std::exit(2);
    }
}

} // namespace benchdata
