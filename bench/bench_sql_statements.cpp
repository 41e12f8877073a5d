// Whole statements through the parser engine and the SQL test owner (parse, table and field
// binding, analysis) beside sqlite3_prepare_v2 of the same statements over the same tables
// (parse, name binding, compile). Aim: at most 1.0x its time. Also the memory a parsed
// statement holds, and the time per token as subqueries nest (aim: flat, i.e. linear time).
#include <malloc.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bench_data.h"
#include "support/zanSqlTestOwner.h"

using namespace zan;
using benchdata::SecondsPerCall;

namespace {

const char* const C_TABLES[] = {
    "CREATE TABLE emp (id INTEGER, name VARCHAR(30), dept INTEGER, salary FLOAT, hired DATE)",
    "CREATE TABLE dept (id INTEGER, title VARCHAR(30), budget FLOAT)",
};

size_t HeapInUse() { return mallinfo2().uordblks; }

struct Pair {
    TZanSqlTestOwner owner;
    sqlite3* db = nullptr;
    Pair() {
        sqlite3_open(":memory:", &db);
        for (const char* t : C_TABLES) {
            owner.AddTable(t);
            sqlite3_exec(db, t, nullptr, nullptr, nullptr);
        }
    }
    ~Pair() { sqlite3_close(db); }

    void Compare(const char* name, const std::string& sql) {
        if (!owner.Validate(sql)) {
            std::printf("%s: %s\n", name, owner.GetErrorsAsText().c_str());
            return;
        }
        const double ours = SecondsPerCall([&] { owner.Validate(sql); });
        const double theirs = SecondsPerCall([&] {
            sqlite3_stmt* stmt = nullptr;
            sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
            sqlite3_finalize(stmt);
        });
        TZanSqlTestOwner held;
        for (const char* t : C_TABLES) held.AddTable(t);
        const size_t catalogue = HeapInUse();
        held.Validate(sql);
        const size_t ourBytes = HeapInUse() - catalogue;
        const sqlite3_int64 sqliteBefore = sqlite3_memory_used();
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
        const sqlite3_int64 sqliteBytes = sqlite3_memory_used() - sqliteBefore;
        sqlite3_finalize(stmt);
        std::printf("%-26s %6zu bytes  %9.0f stmt/s  sqlite3 %9.0f stmt/s  ratio %5.2fx (aim <= 1.0x)"
                    "  held %8zu B  sqlite3 %7lld B\n",
                    name, sql.size(), 1 / ours, 1 / theirs, ours / theirs, ourBytes,
                    static_cast<long long>(sqliteBytes));
    }
};

std::string Nested(int depth) {
    std::string sql = "SELECT name FROM emp WHERE dept IN ";
    for (int i = 0; i < depth; ++i) sql += "(SELECT id FROM dept WHERE id IN ";
    sql += "(1, 2)" + std::string(depth, ')');
    return sql;
}

} // namespace

int main() {
    Pair pair;
    const std::string select =
        "SELECT e.dept, COUNT(*), SUM(e.salary) AS total, MAX(e.hired) FROM emp e, dept d "
        "WHERE e.dept = d.id AND e.salary > 1000 AND e.name LIKE 'A%' AND d.budget < 50000 "
        "GROUP BY e.dept ORDER BY 3 DESC";
    pair.Compare("200-char SELECT", select);
    std::string in = "SELECT name FROM emp WHERE id IN (";
    for (int i = 0; i < 1000; ++i) in += (i ? ", " : "") + std::to_string(100000 + i * 7);
    in += ") AND dept > 0 ORDER BY name";
    pair.Compare("1,000-item IN list", in);
    pair.Compare("10 nested subqueries", Nested(10));
    // Time per token as nesting grows: nested engines must not copy the remaining tokens.
    for (int depth : {10, 20, 40, 80}) {
        const std::string sql = Nested(depth);
        const double t = SecondsPerCall([&] { pair.owner.Validate(sql); });
        const int tokens = 10 + depth * 9;
        std::printf("nesting %3d: %8.1f us  %6.3f us per token\n", depth, t * 1e6,
                    t * 1e6 / tokens);
    }
    return 0;
}
