// The random differential test: seeded random schemas (2-4 tables of integers, floats, strings,
// dates and truth values with NULLs, duplicates, negatives, empty strings; unique, plain, two-
// column and descending indexes) and random statements (sql_fuzz_support.h) run through the
// query component on a file database (ASCII order) and through SQLite. Three checks:
//   - SQLite gives the same rows (multisets unless ORDER BY; numbers to 1e-9 relative; True and
//     False as 1 and 0); DML gives the same row count and the same table afterwards;
//   - partitioning: a SELECT's rows are those of its WHERE with P, with NOT P and with P unknown
//     (our engine alone; catches planner faults such as wrong index ranges);
//   - counting: COUNT(*) ... WHERE P equals SQLite's count of rows for which P is true,
//     computed row by row.
// The suite runs a few seeds in a few seconds. ZAN_SQL_FUZZ_SEED picks the first seed,
// ZAN_SQL_FUZZ_SCHEMAS the number of schemas and ZAN_SQL_FUZZ_STATEMENTS the statements per
// schema, for longer runs; ZAN_SQL_FUZZ_DUMP=SEED prints that seed's tables as a
// script; ZAN_SQL_FUZZ_TRACE=1 prints each failure as it is found, 2 each statement before it runs.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanSQL.h"
#include "host/win/child_process.h"
#include "sql_fuzz_support.h"
#include "sql_lite_side.h"
#include "tools/zansql/zanSqlShell.h"

using namespace zan;
using namespace zan::fuzz;

namespace {

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

using TLite = TLiteSide;

class TOurs : public TOurSide {
public:
    TOurs() : TOurSide("sql_fuzz.zan") {}
    void Exec(const std::string& sql) {
        std::vector<std::string> rows;
        int changes;
        std::string error;
        if (!Run(sql, rows, changes, error)) throw std::runtime_error("ours: " + error + " in " + sql);
    }

};

bool SameCell(const std::string& a, const std::string& b) {
    if (a == b) return true;
    if ((a == "True" && b == "1") || (a == "False" && b == "0")) return true;
    return SameNumberText(a, b);
}

std::vector<std::string> Cells(const std::string& line) {
    std::vector<std::string> cells;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        cells.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) return cells;
        start = tab + 1;
    }
}

// Cells in a form that sorts the same for both engines: truth values as 1 and 0, numbers
// rounded to 9 digits.
std::string SortKey(const std::string& line) {
    std::string key;
    for (std::string c : Cells(line)) {
        double v;
        if (c == "True") c = "1";
        if (c == "False") c = "0";
        if (ParseNumber(c, v)) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.9g", v == 0 ? 0.0 : v);
            c = buf;
        }
        key += c + "\t";
    }
    return key;
}

bool SameRows(std::vector<std::string> a, std::vector<std::string> b, bool ordered) {
    if (a.size() != b.size()) return false;
    if (!ordered) {
        auto less = [](const std::string& x, const std::string& y) { return SortKey(x) < SortKey(y); };
        std::sort(a.begin(), a.end(), less);
        std::sort(b.begin(), b.end(), less);
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto x = Cells(a[i]), y = Cells(b[i]);
        if (x.size() != y.size()) return false;
        for (size_t k = 0; k < x.size(); ++k)
            if (!SameCell(x[k], y[k])) return false;
    }
    return true;
}

std::string Lines(const std::vector<std::string>& rows) {
    std::string s;
    for (size_t i = 0; i < rows.size() && i < 40; ++i) s += "  " + rows[i] + "\n";
    if (rows.size() > 40) s += "  ... " + std::to_string(rows.size()) + " rows\n";
    return s;
}

// Creates and fills the tables in both engines.
void Load(const std::vector<TTable>& tables, TOurs& ours, TLite& lite) {
    for (const TTable& t : tables) {
        std::string create = "CREATE TABLE " + t.Name + " (";
        for (size_t i = 0; i < t.Columns.size(); ++i)
            create += (i ? ", " : "") + t.Columns[i].Name + " " + t.Columns[i].Type;
        create += ")";
        ours.Exec(create);
        lite.Exec(create);
        auto indexes = [&] {
            for (const std::string& ddl : t.IndexDdl) {
                ours.Exec(ddl);
                std::string l = ddl;
                if (l.rfind("CREATE DESC INDEX", 0) == 0) {
                    l = "CREATE INDEX" + l.substr(17);
                    l.insert(l.size() - 1, " DESC");
                }
                lite.Exec(l);
            }
        };
        if (t.IndexesFirst) indexes();
        ours.Db.StartTransaction();
        for (const auto& row : t.Rows) {
            std::string a, b;
            for (size_t i = 0; i < row.size(); ++i) {
                a += (i ? ", " : "") + row[i].first;
                b += (i ? ", " : "") + row[i].second;
            }
            ours.Exec("INSERT INTO " + t.Name + " VALUES (" + a + ")");
            lite.Exec("INSERT INTO " + t.Name + " VALUES (" + b + ")");
        }
        ours.Db.Commit();
        if (!t.IndexesFirst) indexes();
    }
}

struct TTally {
    int Statements = 0, Failures = 0, LiteErrors = 0, Partitioned = 0, Counted = 0;
    std::string Report;
    void Fail(const std::string& what) {
        static const bool trace = EnvInt("ZAN_SQL_FUZZ_TRACE", 0) != 0;
        if (trace) std::fprintf(stderr, "FAILURE %s\n", what.c_str());
        if (++Failures <= 10) Report += what + "\n";
    }
};

std::string SchemaText(const std::vector<TTable>& tables) {
    std::string s;
    for (const TTable& t : tables) {
        s += t.Name + "(";
        for (size_t i = 0; i < t.Columns.size(); ++i) s += (i ? ", " : "") + t.Columns[i].Name + " " + t.Columns[i].Type;
        s += ") " + std::to_string(t.Rows.size()) + " rows";
        for (const std::string& ix : t.IndexDdl) s += "; " + ix;
        s += "\n";
    }
    return s;
}

// The schema and rows as a script our shell runs (to reduce a failing case by hand).
std::string ScriptText(const std::vector<TTable>& tables) {
    std::string s;
    for (const TTable& t : tables) {
        s += "CREATE TABLE " + t.Name + " (";
        for (size_t i = 0; i < t.Columns.size(); ++i)
            s += (i ? ", " : "") + t.Columns[i].Name + " " + t.Columns[i].Type;
        s += ");\n";
        for (const auto& row : t.Rows) {
            s += "INSERT INTO " + t.Name + " VALUES (";
            for (size_t i = 0; i < row.size(); ++i) s += (i ? ", " : "") + row[i].first;
            s += ");\n";
        }
        for (const std::string& ix : t.IndexDdl) s += ix + ";\n";
    }
    return s;
}

void Check(const TStatement& st, TOurs& ours, TLite& lite, TTally& tally, const std::string& where) {
    static const int trace = EnvInt("ZAN_SQL_FUZZ_TRACE", 0);
    if (trace > 1) std::fprintf(stderr, "%s: %s\n", where.c_str(), st.Sql.Ours.c_str());
    const auto started = std::chrono::steady_clock::now();
    struct TSlow {
        std::chrono::steady_clock::time_point Start;
        std::string What;
        ~TSlow() {
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
            if (s > 3) std::fprintf(stderr, "slow (%.1f s): %s\n", s, What.c_str());
        }
    } slow{started, where + ": " + st.Sql.Ours};
    ++tally.Statements;
    std::vector<std::string> a, b;
    int changesA = 0, changesB = 0;
    std::string errorA, errorB;
    const bool dml = st.Kind == TStatementKind::Dml;
    if (dml) {
        ours.Db.StartTransaction();
        lite.Exec("BEGIN");
    }
    bool okA = ours.Run(st.Sql.Ours, a, changesA, errorA);
    bool okB = lite.Query(st.Sql.Lite, b, changesB, errorB);
    if (!okB) {
        // The generator wrote something SQLite does not take: not a finding.
        if (++tally.LiteErrors <= 3)
            std::fprintf(stderr, "sqlite refused (%s): %s\n", errorB.c_str(), st.Sql.Lite.c_str());
    }
    bool same = okA && okB;
    if (same && dml) {
        same = changesA == changesB;
        int dummy;
        okA = ours.Run("SELECT * FROM " + st.Target, a, dummy, errorA);
        okB = lite.Query("SELECT * FROM " + st.Target, b, dummy, errorB);
        same = same && okA && okB && SameRows(a, b, false);
    } else if (same) {
        same = SameRows(a, b, st.Kind == TStatementKind::Ordered);
    }
    if (dml) {
        if (ours.Db.InTransaction()) ours.Db.Rollback();
        lite.Exec("ROLLBACK");
    }
    if (ours.Db.InTransaction()) {
        tally.Fail(where + ": a transaction stayed open after " + st.Sql.Ours);
        ours.Db.Rollback();
    }
    if (okB && !same)
        tally.Fail(where + ": " + st.Sql.Ours + "\nsqlite: " + st.Sql.Lite + "\nours" +
                   (okA ? "" : " failed: " + errorA) + (dml ? " (" + std::to_string(changesA) + " changed)" : "") +
                   "\n" + Lines(a) + "sqlite" + (dml ? " (" + std::to_string(changesB) + " changed)" : "") +
                   "\n" + Lines(b));
    if (!okB) return;
    // Partitioning by P: our engine alone.
    if (!st.Partitions.empty()) {
        std::vector<std::string> whole, parts, rows;
        int dummy;
        std::string error;
        bool ok = ours.Run(st.Whole, whole, dummy, error);
        for (const std::string& p : st.Partitions) {
            if (!ok) break;
            ok = ours.Run(p, rows, dummy, error);
            parts.insert(parts.end(), rows.begin(), rows.end());
        }
        if (ok) {
            ++tally.Partitioned;
            if (!SameRows(whole, parts, false))
                tally.Fail(where + ": partitions differ from " + st.Whole + "\n" + st.Partitions[0] +
                           "\nwhole\n" + Lines(whole) + "partitions\n" + Lines(parts));
        } else if (okA) {
            tally.Fail(where + ": a partition failed: " + error + "\n" + st.Partitions[0]);
        }
    }
    if (!st.Count.Ours.empty()) {
        std::vector<std::string> x, y;
        int dummy;
        std::string ex, ey;
        const bool ox = ours.Run(st.Count.Ours, x, dummy, ex);
        const bool oy = lite.Query(st.Count.Lite, y, dummy, ey);
        if (oy) {
            ++tally.Counted;
            if (!ox || !SameRows(x, y, true))
                tally.Fail(where + ": count " + st.Count.Ours + "\nsqlite: " + st.Count.Lite + "\nours" +
                           (ox ? "" : " failed: " + ex) + "\n" + Lines(x) + "sqlite\n" + Lines(y));
        }
    }
}

} // namespace

TEST(SqlFuzz, RandomStatementsAgreeWithSqlite) {
    const int first = EnvInt("ZAN_SQL_FUZZ_SEED", 1);
    const int schemas = EnvInt("ZAN_SQL_FUZZ_SCHEMAS", 3);
    const int statements = EnvInt("ZAN_SQL_FUZZ_STATEMENTS", 30);
    TTally tally;
    for (int seed = first; seed < first + schemas; ++seed) {
        TSqlFuzzGen gen{uint32_t(seed)};
        const std::vector<TTable> tables = gen.Schema();
        TOurs ours;
        TLite lite;
        Load(tables, ours, lite);
        if (const char* dump = std::getenv("ZAN_SQL_FUZZ_DUMP"); dump && std::atoi(dump) == seed)
            std::fprintf(stderr, "%s", ScriptText(tables).c_str());
        const int before = tally.Failures;
        for (int i = 0; i < statements; ++i)
            Check(gen.Statement(), ours, lite, tally, "seed " + std::to_string(seed) + " #" + std::to_string(i));
        if (tally.Failures != before && EnvInt("ZAN_SQL_FUZZ_TRACE", 0))
            std::fprintf(stderr, "schema of seed %d:\n%s", seed, SchemaText(tables).c_str());
        if (tally.Failures != before && before < 10) tally.Report += "schema of seed " + std::to_string(seed) + ":\n" + SchemaText(tables);
    }
    std::printf("%d statements, %d partitioned, %d counted, %d refused by sqlite, %d failures\n",
                tally.Statements, tally.Partitioned, tally.Counted, tally.LiteErrors, tally.Failures);
    EXPECT_EQ(tally.Failures, 0) << tally.Report;
    EXPECT_LT(tally.LiteErrors, tally.Statements / 20 + 1);
}

// The shell runs a generated schema and statements as one script: exit status 0 and no error
// line, the same rows as the query component gives; one bad statement more makes it 1.
TEST(SqlFuzz, ShellRunsGeneratedScripts) {
    TSqlFuzzGen gen{7u};
    const std::vector<TTable> tables = gen.Schema();
    TOurs ours;
    TLite lite;
    Load(tables, ours, lite);
    std::string script = ScriptText(tables), expected;
    for (int i = 0; i < 12; ++i) {
        const TStatement st = gen.Statement();
        if (st.Kind == TStatementKind::Dml) continue;
        script += st.Sql.Ours + ";\n";
        std::ostringstream out, err;
        ASSERT_TRUE(RunSqlStatement(ours.Query, st.Sql.Ours, true, out, err)) << st.Sql.Ours << err.str();
        expected += out.str();
    }
    TTempFile file("sql_fuzz_shell.zan");
    std::istringstream in(script);
    std::ostringstream out, err;
    EXPECT_EQ(RunZanSql(std::vector<std::string>{"--tsv", "-f", "-", file.Path}, in, out, err), 0);
    EXPECT_EQ(err.str(), "");
    // The shell's output holds each SELECT's rows in order after the schema's statements.
    EXPECT_NE(out.str().find(expected), std::string::npos) << out.str();
    std::istringstream bad(script + "SELECT nosuch FROM t1;\n");
    std::ostringstream out2, err2;
    TTempFile file2("sql_fuzz_shell2.zan");
    EXPECT_EQ(RunZanSql(std::vector<std::string>{"--tsv", "-f", "-", file2.Path}, bad, out2, err2), 1);
    const std::string errors = err2.str();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}
