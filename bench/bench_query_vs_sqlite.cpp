// SQL queries through the query component beside SQLite on the same data.
//
// Tables: customers (id PK, name indexed, city, created DATE), orders (id PK, cust_id indexed,
// amount FLOAT, status, day DATE), items (order_id indexed, sku, qty), about 10% NULLs in the
// non-key columns, at 10k and 100k orders (customers a tenth, three items an order). SQLite runs
// prepared statements with synchronous=OFF and journal_mode=MEMORY; ours runs on a file opened
// exclusive and shared. Per query: a warm-up, then the median of 5 runs, prepare and run (every
// row and column fetched) apart; rows and a checksum are compared between the engines; a query
// whose run passes 60 s is not repeated. Each engine runs in a process of its own, so the peak
// RSS printed is its own.
// Usage: bench_query_vs_sqlite [orders...]   (default 10000 100000); BENCH_QUERY_FILTER=text
// runs only the queries whose name holds that text; BENCH_CORRELATED_PER_ROW=1 runs every
// correlated subquery once per outer row (the engine's fallback) instead of keyed.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <tuple>
#include <utility>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanQueryProvider.h"
#include "engine/query/zanSQL.h"
#include "host/rtl/DateUtils.h"

using namespace zan;

namespace {

struct TQueryCase {
    const char* Name;
    const char* Sql;
    // SQLite's text of the same question when it differs (ANY and ALL, which SQLite lacks).
    const char* LiteSql = nullptr;
};

// A chain of 100 UNION members of one row each: the cost of a member (its parse, plan, open and
// merge), which must stay flat as the chain grows.
const std::string C_UNION_CHAIN = [] {
    std::string sql = "SELECT id FROM customers WHERE id = 1";
    for (int i = 2; i <= 100; ++i)
        sql += " UNION SELECT id FROM customers WHERE id = " + std::to_string(i);
    return sql;
}();

// IN lists of 1,000 constants, over an indexed and a plain column.
const std::string C_IN_LIST_INDEXED = [] {
    std::string sql = "SELECT id FROM orders WHERE cust_id IN (";
    for (int i = 0; i < 1000; ++i)
        sql += (i ? ", " : "") + std::to_string(1 + i * 7);
    return sql + ")";
}();
const std::string C_IN_LIST_PLAIN = [] {
    std::string sql = "SELECT id FROM orders WHERE amount IN (";
    for (int i = 0; i < 1000; ++i)
        sql += (i ? ", " : "") + std::to_string(i * 3) + ".5";
    return sql + ")";
}();

const TQueryCase C_QUERIES[] = {
    {"point lookup by PK", "SELECT id, cust_id, amount, status, odate FROM orders WHERE id = 777"},
    {"indexed range", "SELECT id, amount FROM orders WHERE cust_id BETWEEN 100 AND 130"},
    {"non-indexed filter", "SELECT id, amount FROM orders WHERE amount > 990"},
    {"equi join with filters",
     "SELECT o.id, c.name FROM orders o, customers c WHERE o.cust_id = c.id AND c.city = 'c3' "
     "AND o.amount > 900"},
    {"LEFT join", "SELECT c.id, o.id FROM customers c LEFT JOIN orders o ON c.id = o.cust_id "
                  "WHERE c.id < 300"},
    {"3-table join",
     "SELECT o.id, i.sku, i.qty FROM customers c, orders o, items i WHERE c.id = o.cust_id AND "
     "o.id = i.order_id AND c.id < 100"},
    {"GROUP BY, 10 groups", "SELECT status, COUNT(*), SUM(amount) FROM orders GROUP BY status"},
    {"GROUP BY, many groups", "SELECT cust_id, COUNT(*), MAX(amount) FROM orders GROUP BY cust_id"},
    {"COUNT(DISTINCT)", "SELECT status, COUNT(DISTINCT cust_id) FROM orders GROUP BY status"},
    {"ORDER BY non-indexed", "SELECT id, amount FROM orders ORDER BY amount, id"},
    {"ORDER BY string", "SELECT id, status FROM orders ORDER BY status DESC, id"},
    {"DISTINCT", "SELECT DISTINCT cust_id, status FROM orders"},
    {"LIKE '%x%'", "SELECT id, name FROM customers WHERE name LIKE '%12%'"},
    {"join no index", "SELECT c.id, o.id FROM customers c, orders o WHERE c.created = o.odate "
                      "AND c.id < 200"},
    {"IN list 1000 idx", C_IN_LIST_INDEXED.c_str()},
    {"IN list 1000 plain", C_IN_LIST_PLAIN.c_str()},
    {"UNION", "SELECT cust_id FROM orders WHERE amount > 950 UNION SELECT id FROM customers "
              "WHERE city = 'c1'"},
    {"UNION ALL", "SELECT cust_id FROM orders WHERE amount > 950 UNION ALL SELECT id FROM "
                  "customers WHERE city = 'c1'"},
    {"100-member UNION chain", C_UNION_CHAIN.c_str()},
    {"IN (subquery)", "SELECT id, name FROM customers WHERE id IN (SELECT cust_id FROM orders "
                      "WHERE amount > 990)"},
    {"correlated EXISTS",
     "SELECT c.id FROM customers c WHERE c.id < 200 AND EXISTS (SELECT o.id FROM orders o WHERE "
     "o.cust_id = c.id AND o.amount > 900)"},
    {"scalar subquery", "SELECT id FROM orders WHERE amount > (SELECT AVG(amount) FROM orders) "
                        "AND cust_id < 100"},
    // Correlated subqueries over every customer: the inner column indexed (orders.cust_id), or
    // not (customers.city, orders.status). The first reads the outer rows alone (the floor).
    {"corr outer rows alone", "SELECT c.id FROM customers c WHERE c.id > 0"},
    {"corr EXISTS idx", "SELECT c.id FROM customers c WHERE EXISTS (SELECT * FROM orders o "
                        "WHERE o.cust_id = c.id)"},
    {"corr NOT EXISTS idx", "SELECT c.id FROM customers c WHERE NOT EXISTS (SELECT * FROM "
                            "orders o WHERE o.cust_id = c.id AND o.amount > 500)"},
    {"corr IN idx", "SELECT c.id FROM customers c WHERE c.city IN (SELECT o.status FROM orders o "
                    "WHERE o.cust_id = c.id) OR c.id IN (SELECT o.cust_id FROM orders o WHERE "
                    "o.cust_id = c.id AND o.amount > 990)"},
    {"corr NOT IN idx", "SELECT c.id FROM customers c WHERE 'c1' NOT IN (SELECT o.status FROM "
                        "orders o WHERE o.cust_id = c.id AND o.status IS NOT NULL)"},
    {"corr scalar idx", "SELECT c.id FROM customers c WHERE (SELECT COUNT(*) FROM orders o "
                        "WHERE o.cust_id = c.id) > 12"},
    {"corr ANY idx", "SELECT c.id FROM customers c WHERE 990 < ANY (SELECT o.amount FROM orders o "
                     "WHERE o.cust_id = c.id)",
     "SELECT c.id FROM customers c WHERE EXISTS (SELECT 1 FROM orders o WHERE o.cust_id = c.id "
     "AND 990 < o.amount)"},
    {"corr ALL idx", "SELECT c.id FROM customers c WHERE 500 > ALL (SELECT o.amount FROM orders o "
                     "WHERE o.cust_id = c.id)",
     "SELECT c.id FROM customers c WHERE NOT EXISTS (SELECT 1 FROM orders o WHERE o.cust_id = "
     "c.id AND (500 > o.amount) IS NOT 1)"},
    {"corr EXISTS items idx", "SELECT o.id FROM orders o WHERE o.id <= 5000 AND EXISTS (SELECT * "
                              "FROM items i WHERE i.order_id = o.id AND i.qty > 8)"},
    {"corr NOT EXISTS no idx", "SELECT c.id FROM customers c WHERE c.id <= 300 AND NOT EXISTS "
                               "(SELECT * FROM customers d WHERE d.city = c.city AND d.id < c.id)"},
    {"corr scalar no idx", "SELECT c.id FROM customers c WHERE c.id <= 300 AND (SELECT COUNT(*) "
                           "FROM customers d WHERE d.name = c.name) > 1"},
};
constexpr int C_QUERY_COUNT = int(sizeof(C_QUERIES) / sizeof(C_QUERIES[0]));

bool Selected(int q) {
    const char* filter = std::getenv("BENCH_QUERY_FILTER");
    return !filter || std::string(C_QUERIES[q].Name).find(filter) != std::string::npos;
}

struct TResult {
    double PrepareMs = 0, RunMs = 0;
    long Rows = 0;
    double Checksum = 0;
    bool Skipped = false;
};

double Ms(std::chrono::steady_clock::time_point a) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count();
}

long PeakRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// A warm-up, then the median of 5 runs of prepare (timed) and run (timed, answers rows and
// checksum); a run over 60 s is not repeated.
TResult Measure(const std::function<void()>& prepare,
                const std::function<std::pair<long, double>()>& run) {
    TResult r;
    std::vector<double> prep, runs;
    for (int rep = 0; rep < 6; ++rep) {
        auto t0 = std::chrono::steady_clock::now();
        prepare();
        const double p = Ms(t0);
        t0 = std::chrono::steady_clock::now();
        std::tie(r.Rows, r.Checksum) = run();
        const double ms = Ms(t0);
        if (ms > 60000) {
            prep.assign(1, p);
            runs.assign(1, ms);
            break;
        }
        if (rep > 0) {
            prep.push_back(p);
            runs.push_back(ms);
        }
    }
    std::sort(prep.begin(), prep.end());
    std::sort(runs.begin(), runs.end());
    r.PrepareMs = prep[prep.size() / 2];
    r.RunMs = runs[runs.size() / 2];
    return r;
}

// The rows of the three tables, generated once per scale from one seed.
struct TData {
    struct TCustomer {
        int Id;
        std::string Name, City;
        int Created; // days after 2020-01-01, -1 NULL
    };
    struct TOrder {
        int Id, CustId;
        double Amount; // NaN NULL
        std::string Status;
        int Day;
    };
    struct TItem {
        int OrderId, Qty;
        std::string Sku;
    };
    std::vector<TCustomer> Customers;
    std::vector<TOrder> Orders;
    std::vector<TItem> Items;

    explicit TData(int orders) {
        std::mt19937 rng(99);
        auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
        const int customers = std::max(10, orders / 10);
        for (int i = 1; i <= customers; ++i)
            Customers.push_back({i, "name" + std::to_string(pick(customers)),
                                 pick(10) ? "c" + std::to_string(pick(10)) : "",
                                 pick(10) ? pick(1500) : -1});
        for (int i = 1; i <= orders; ++i) {
            Orders.push_back({i, 1 + pick(customers), pick(10) ? double(pick(100000)) / 100 : NAN,
                              pick(10) ? "s" + std::to_string(pick(10)) : "", pick(1500)});
            for (int k = 0; k < 3; ++k)
                Items.push_back({i, 1 + pick(9), pick(10) ? "k" + std::to_string(pick(500)) : ""});
        }
    }
};

std::string DateText(int days) {
    return FormatDateTime("yyyy-mm-dd", EncodeDate(2020, 1, 1) + days);
}

// --- SQLite -------------------------------------------------------------------------------------

std::vector<TResult> RunSqlite(const TData& d, const std::string& path) {
    unlink(path.c_str());
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    auto exec = [&](const char* sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); };
    exec("PRAGMA synchronous=OFF");
    exec("PRAGMA journal_mode=MEMORY");
    exec("CREATE TABLE customers (id INTEGER PRIMARY KEY, name VARCHAR(40), city VARCHAR(20), "
         "created DATE)");
    exec("CREATE INDEX ix_customers_name ON customers (name)");
    exec("CREATE TABLE orders (id INTEGER PRIMARY KEY, cust_id INTEGER, amount FLOAT, status "
         "VARCHAR(10), odate DATE)");
    exec("CREATE INDEX ix_orders_cust ON orders (cust_id)");
    exec("CREATE TABLE items (order_id INTEGER, sku VARCHAR(10), qty INTEGER)");
    exec("CREATE INDEX ix_items_order ON items (order_id)");
    exec("BEGIN");
    sqlite3_stmt* st = nullptr;
    auto text = [&](int i, const std::string& s) {
        if (s.empty())
            sqlite3_bind_null(st, i);
        else
            sqlite3_bind_text(st, i, s.c_str(), -1, SQLITE_TRANSIENT);
    };
    sqlite3_prepare_v2(db, "INSERT INTO customers VALUES (?, ?, ?, ?)", -1, &st, nullptr);
    for (const auto& c : d.Customers) {
        sqlite3_bind_int(st, 1, c.Id);
        text(2, c.Name);
        text(3, c.City);
        text(4, c.Created < 0 ? "" : DateText(c.Created));
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_prepare_v2(db, "INSERT INTO orders VALUES (?, ?, ?, ?, ?)", -1, &st, nullptr);
    for (const auto& o : d.Orders) {
        sqlite3_bind_int(st, 1, o.Id);
        sqlite3_bind_int(st, 2, o.CustId);
        if (std::isnan(o.Amount))
            sqlite3_bind_null(st, 3);
        else
            sqlite3_bind_double(st, 3, o.Amount);
        text(4, o.Status);
        text(5, DateText(o.Day));
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_prepare_v2(db, "INSERT INTO items VALUES (?, ?, ?)", -1, &st, nullptr);
    for (const auto& i : d.Items) {
        sqlite3_bind_int(st, 1, i.OrderId);
        text(2, i.Sku);
        sqlite3_bind_int(st, 3, i.Qty);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    exec("COMMIT");
    std::vector<TResult> results;
    for (int q = 0; q < C_QUERY_COUNT; ++q)
        results.push_back(!Selected(q) ? TResult{0, 0, 0, 0, true} : Measure(
            [&] {
                const char* sql = C_QUERIES[q].LiteSql ? C_QUERIES[q].LiteSql : C_QUERIES[q].Sql;
                if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
                    std::fprintf(stderr, "%s: %s\n", C_QUERIES[q].Name, sqlite3_errmsg(db));
                    std::exit(1);
                }
            },
            [&] {
                long rows = 0;
                double sum = 0;
                while (sqlite3_step(st) == SQLITE_ROW) {
                    ++rows;
                    for (int c = 0; c < sqlite3_column_count(st); ++c) {
                        const int type = sqlite3_column_type(st, c);
                        if (type == SQLITE_INTEGER || type == SQLITE_FLOAT)
                            sum += sqlite3_column_double(st, c);
                        else if (type == SQLITE_TEXT)
                            sum += double(sqlite3_column_bytes(st, c));
                    }
                }
                sqlite3_finalize(st);
                return std::make_pair(rows, sum);
            }));
    sqlite3_close(db);
    unlink(path.c_str());
    return results;
}

// --- Ours ---------------------------------------------------------------------------------------

void LoadOurs(const TData& d, TZanDataBase& db) {
    auto make = [&](const char* name, const std::vector<std::pair<const char*, TFieldType>>& cols,
                    const std::vector<std::pair<const char*, const char*>>& indexes) {
        TZanTable t;
        t.SetDataBase(&db);
        t.SetTableName(name);
        for (const auto& [n, type] : cols)
            t.GetFieldDefs().Add(n, type, type == ftString ? 40 : 0);
        for (const auto& [n, f] : indexes)
            t.GetIndexDefs().Add(n, f, std::string(n).find("pk") == 0 ? TIndexOptions{ixPrimary, ixUnique} : TIndexOptions{});
        t.CreateTable();
    };
    make("customers", {{"id", ftInteger}, {"name", ftString}, {"city", ftString}, {"created", ftDate}},
         {{"pk_customers", "id"}, {"ix_customers_name", "name"}});
    make("orders",
         {{"id", ftInteger}, {"cust_id", ftInteger}, {"amount", ftFloat}, {"status", ftString}, {"odate", ftDate}},
         {{"pk_orders", "id"}, {"ix_orders_cust", "cust_id"}});
    make("items", {{"order_id", ftInteger}, {"sku", ftString}, {"qty", ftInteger}},
         {{"ix_items_order", "order_id"}});
    auto str = [](const std::string& s) { return s.empty() ? Null() : Variant(s); };
    db.StartTransaction();
    {
        TZanTable t;
        t.SetDataBase(&db);
        t.SetTableName("customers");
        t.Open();
        for (const auto& c : d.Customers)
            t.AppendRecord({Variant(c.Id), str(c.Name), str(c.City),
                            c.Created < 0 ? Null() : VarFromDateTime(EncodeDate(2020, 1, 1) + c.Created)});
        t.Close();
        t.SetTableName("orders");
        t.Open();
        for (const auto& o : d.Orders)
            t.AppendRecord({Variant(o.Id), Variant(o.CustId),
                            std::isnan(o.Amount) ? Null() : Variant(o.Amount), str(o.Status),
                            VarFromDateTime(EncodeDate(2020, 1, 1) + o.Day)});
        t.Close();
        t.SetTableName("items");
        t.Open();
        for (const auto& i : d.Items)
            t.AppendRecord({Variant(i.OrderId), str(i.Sku), Variant(i.Qty)});
        t.Close();
    }
    db.Commit();
}

std::vector<TResult> RunOurs(const TData& d, const std::string& path, bool exclusive) {
    if (std::getenv("BENCH_CORRELATED_PER_ROW")) TZanQueryProviderItem::SetKeyedSubqueries(false);
    unlink(path.c_str());
    TZanDataBase db;
    db.SetDataBaseName(path);
    db.SetDefaultSortOrder(soASCII);
    db.CreateDatabase();
    db.SetExclusive(exclusive);
    db.Open();
    LoadOurs(d, db);
    std::vector<TResult> results;
    TZanQuery q;
    q.SetDatabase(&db);
    for (int n = 0; n < C_QUERY_COUNT; ++n)
        results.push_back(!Selected(n) ? TResult{0, 0, 0, 0, true} : Measure(
            [&] {
                q.Close();
                q.GetSQL().SetText(C_QUERIES[n].Sql);
                q.Prepare();
            },
            [&] {
                q.Open();
                long rows = 0;
                double sum = 0;
                const int cols = q.GetFieldCount();
                for (q.First(); !q.GetEOF(); q.Next()) {
                    ++rows;
                    for (int c = 0; c < cols; ++c) {
                        TField* f = q.GetFields()[c];
                        if (!f->GetVisible() || f->IsNull()) continue;
                        if (f->GetDataType() == ftString)
                            sum += double(f->GetAsString().size());
                        else if (f->GetDataType() == ftDate)
                            sum += 10; // SQLite holds dates as yyyy-mm-dd text
                        else
                            sum += f->GetAsFloat();
                    }
                }
                return std::make_pair(rows, sum);
            }));
    q.Close();
    q.SetDatabase(nullptr);
    db.Close();
    unlink(path.c_str());
    return results;
}

// Runs f in a child process; the child writes its results and peak RSS through a pipe.
std::vector<TResult> InChild(const std::function<std::vector<TResult>()>& f, long& rssKb) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::vector<TResult> r = f();
        const long rss = PeakRssKb();
        if (write(fds[1], &rss, sizeof rss) < 0 ||
            write(fds[1], r.data(), r.size() * sizeof(TResult)) < 0)
            _exit(1);
        _exit(0);
    }
    close(fds[1]);
    std::vector<TResult> r(C_QUERY_COUNT);
    size_t got = 0;
    char* buf = reinterpret_cast<char*>(r.data());
    ssize_t n = read(fds[0], &rssKb, sizeof rssKb);
    while (n > 0 && got < r.size() * sizeof(TResult)) {
        n = read(fds[0], buf + got, r.size() * sizeof(TResult) - got);
        if (n > 0) got += size_t(n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != r.size() * sizeof(TResult)) {
        std::fprintf(stderr, "a benchmark process failed (status %d)\n", status);
        std::exit(1);
    }
    return r;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> scales;
    for (int i = 1; i < argc; ++i)
        scales.push_back(std::atoi(argv[i]));
    if (scales.empty()) scales = {10000, 100000};
    std::printf("SQLite %s (synchronous=OFF, journal_mode=MEMORY, prepared statements)\n",
                sqlite3_libversion());
    const std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    bool mismatch = false;
    for (int orders : scales) {
        const TData data(orders);
        const std::string base = dir + "/bench_query_" + std::to_string(getpid());
        long rssSqlite = 0, rssExclusive = 0, rssShared = 0;
        const auto lite = InChild([&] { return RunSqlite(data, base + ".sqlite"); }, rssSqlite);
        const auto excl = InChild([&] { return RunOurs(data, base + "_x.zan", true); }, rssExclusive);
        const auto shared = InChild([&] { return RunOurs(data, base + "_s.zan", false); }, rssShared);
        std::printf("\n%d orders, %zu customers, %zu items; peak RSS: SQLite %ld KiB, ours "
                    "exclusive %ld KiB, shared %ld KiB\n",
                    orders, data.Customers.size(), data.Items.size(), rssSqlite, rssExclusive,
                    rssShared);
        std::printf("%-24s %8s %10s %10s %10s %10s %8s %8s\n", "query (median ms)", "rows",
                    "sqlite", "ours excl", "ours shrd", "prep ours", "ratio X", "ratio S");
        for (int q = 0; q < C_QUERY_COUNT; ++q) {
            const TResult &a = lite[size_t(q)], &b = excl[size_t(q)], &c = shared[size_t(q)];
            if (a.Skipped) continue;
            const bool same = a.Rows == b.Rows && b.Rows == c.Rows &&
                              std::fabs(a.Checksum - b.Checksum) <=
                                  1e-6 * std::max(1.0, std::fabs(a.Checksum));
            if (!same) mismatch = true;
            const double lt = std::max(a.PrepareMs + a.RunMs, 1e-3);
            std::printf("%-24s %8ld %10.3f %10.3f %10.3f %10.3f %8.2f %8.2f%s\n", C_QUERIES[q].Name,
                        a.Rows, a.PrepareMs + a.RunMs, b.PrepareMs + b.RunMs,
                        c.PrepareMs + c.RunMs, b.PrepareMs, (b.PrepareMs + b.RunMs) / lt,
                        (c.PrepareMs + c.RunMs) / lt,
                        same ? "" : "  MISMATCH (rows or checksum differ)");
        }
    }
    return mismatch ? 1 : 0;
}
