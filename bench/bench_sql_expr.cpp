// Expression evaluation beside SQLite: a 5-predicate WHERE (integer compare, collated string
// compare, LIKE 'ab%', IN list of 10, BETWEEN) over 1,000,000 in-memory rows, against sqlite3
// "SELECT count(*)" with the same WHERE over the same rows in an in-memory database. Prints the
// time ratio (aim <= 1.0x) and heap allocations per row (aim: none for numeric predicates). Also
// LIKE '%a%a%a%a%b' against 10,000 "a" (aim: milliseconds).
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "engine/sql/zanBaseParser.h"
#include "engine/sql/zanExprEvaluator.h"
#include "engine/sql/zanExprParser.h"

using namespace zan;

namespace {
std::atomic<long> GAllocations{0};
}

void* operator new(size_t size) {
    GAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {

constexpr int C_ROWS = 1000000;

// Rows of Variants; the fields a, b (INTEGER) and s (VARCHAR(10)).
class TRowsProvider : public TZanExprDataProvider {
public:
    TRowsProvider() {
        const char* names[] = {"a", "b", "s"};
        for (int i = 0; i < 3; ++i) {
            TInternalFieldItem* f = GetProviderFields().Add();
            f->SetFieldName(names[i]);
            f->SetDataType(i < 2 ? ftInteger : ftString);
            if (i == 2) {
                f->SetIsVariable(true);
                f->SetFieldSize(11);
            }
            f->SetFieldIndex(i);
            f->SetFieldNo(i + 1);
        }
        SetDBStringCompare(DBANSICompareStrings);
    }
    Variant GetDataAsVariant(int32_t fieldNo) override { return Rows[Current][fieldNo]; }
    bool IsFieldNull(int32_t fieldNo) override { return VarIsNull(Rows[Current][fieldNo]); }
    std::vector<std::vector<Variant>> Rows;
    size_t Current = 0;
};

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Evaluates the filter over every row: seconds, passing rows, allocations per row.
void RunOurs(TRowsProvider& rows, const std::string& where, double& seconds, long& count,
             double& allocationsPerRow) {
    TTableList tables;
    TTableNameItem* item = tables.Add();
    item->SetTableName("t");
    item->SetTableFields(&rows.GetProviderFields());
    TZanPreParser pre;
    pre.SetText(where);
    pre.SetParseAsExprOnly(true);
    pre.PreParseTokens();
    TZanExprParser parser;
    parser.SetTableList(&tables);
    if (!parser.Execute(ZanParserOptions({zpoExtSyntax}), pre.GetSection(zstWhere, nullptr))) {
        std::printf("parse error: %s\n", parser.GetErrorMsgNoLine().c_str());
        std::exit(1);
    }
    TExprEvaluator ev;
    ev.SetDBStringCompare(DBANSICompareStrings);
    ev.SetExcludeRelopNulls(true);
    ev.Prepare(&rows, parser.GetRootNode());
    count = 0;
    const long before = GAllocations.load();
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < rows.Rows.size(); ++i) {
        rows.Current = i;
        ev.Reset();
        count += ev.Evaluate();
    }
    seconds = Seconds(start);
    allocationsPerRow = static_cast<double>(GAllocations.load() - before) / rows.Rows.size();
}

void RunSqlite(sqlite3* db, const std::string& where, double& seconds, long& count) {
    const std::string sql = "SELECT count(*) FROM t WHERE " + where;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
    const auto start = std::chrono::steady_clock::now();
    sqlite3_step(st);
    count = sqlite3_column_int64(st, 0);
    seconds = Seconds(start);
    sqlite3_finalize(st);
}

} // namespace

int main() {
    TRowsProvider rows;
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, "CREATE TABLE t (a INTEGER, b INTEGER, s VARCHAR(10)); BEGIN", nullptr,
                 nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?)", -1, &insert, nullptr);
    std::mt19937 rng(42);
    rows.Rows.reserve(C_ROWS);
    for (int i = 0; i < C_ROWS; ++i) {
        const int a = static_cast<int>(rng() % 1000), b = static_cast<int>(rng() % 40);
        std::string s;
        const int n = 1 + static_cast<int>(rng() % 9);
        for (int k = 0; k < n; ++k)
            s += "abcde"[rng() % 5];
        rows.Rows.push_back({Variant(a), Variant(b), Variant(s)});
        sqlite3_bind_int(insert, 1, a);
        sqlite3_bind_int(insert, 2, b);
        sqlite3_bind_text(insert, 3, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);

    const std::string filters[][2] = {
        {"5 predicates",
         "a > 100 AND s >= 'ab' AND s LIKE 'ab%' AND b IN (1, 2, 3, 4, 5, 6, 7, 8, 9, 10) AND "
         "a BETWEEN 150 AND 900"},
        {"numeric predicates", "a > 100 AND b IN (1, 2, 3, 4, 5, 6, 7, 8, 9, 10) AND a BETWEEN "
                               "150 AND 900"},
        {"string compare and LIKE", "s >= 'ab' AND s LIKE '%c%d'"},
    };
    for (const auto& [name, where] : filters) {
        double ours = 0, theirs = 0, allocations = 0;
        long ourCount = 0, theirCount = 0;
        RunOurs(rows, where, ours, ourCount, allocations);
        RunSqlite(db, where, theirs, theirCount);
        std::printf("%-26s %7ld rows (sqlite %7ld)  ours %7.1f ms  sqlite %7.1f ms  ratio %5.2fx "
                    "(aim <= 1.0x)  allocations/row %.2f\n",
                    name.c_str(), ourCount, theirCount, ours * 1e3, theirs * 1e3, ours / theirs,
                    allocations);
    }
    sqlite3_close(db);

    const std::string text(10000, 'a');
    const auto start = std::chrono::steady_clock::now();
    const bool match = MatchPatternedStrings(text, "%a%a%a%a%b");
    std::printf("LIKE '%%a%%a%%a%%a%%b' on 10,000 'a': %s in %.3f ms (aim: milliseconds)\n",
                match ? "match" : "no match", Seconds(start) * 1e3);
    return 0;
}
