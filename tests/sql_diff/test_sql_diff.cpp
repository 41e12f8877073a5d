// The SQL differential harness: every statement of the corpus files (corpus/*.sql) runs through
// the query component on a file database (ASCII sort order) and through SQLite
// (case_sensitive_like=ON) on the same seeded tables; results are compared as the shell's
// tab-separated text (multisets unless "-- ordered", numbers to 1e-9 relative), DML by its row
// count and the target table afterwards. Directive lines before a statement:
//   -- ordered              the order of the rows counts
//   -- divergence: NAME     the results differ for a documented reason (docs/SQL.md)
//   -- sqlite: TEXT         the SQLite spelling of the statement
// The refusal corpus (refusals.sql) expects "-- error: CODE TEXT" and no open transaction. A
// seeded mutation test drops and repeats tokens of corpus statements.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanSQL.h"
#include "host/rtl/DateUtils.h"
#include "host/win/child_process.h"
#include "tools/zansql/zanSqlShell.h"
#include "sql_lite_side.h"

using namespace zan;

namespace {

// The divergences docs/SQL.md explains, by harness name.
const std::set<std::string> C_DIVERGENCES = {
    "real-division",
    "aggregate-empty-zero",
    "avg-integer-rounded",
    "cast-integer-rounded",
};

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string DirectiveValue(const std::vector<std::string>& comments, const std::string& key) {
    for (const std::string& c : comments)
        if (c.rfind(key, 0) == 0) {
            std::string v = c.substr(key.size());
            while (!v.empty() && v.front() == ' ')
                v.erase(v.begin());
            return v;
        }
    return {};
}

bool HasDirective(const std::vector<std::string>& comments, const std::string& key) {
    return std::find(comments.begin(), comments.end(), key) != comments.end();
}

// The seeded tables, written the same way into both engines.
struct TSeedRow {
    std::vector<Variant> Values;
};

struct TSeedTable {
    std::string Name;
    std::vector<std::pair<std::string, TFieldType>> Columns; // strings: VARCHAR(20)
    std::vector<std::string> Indexes;                        // column names
    std::vector<TSeedRow> Rows;
};

std::vector<TSeedTable> SeedTables(uint32_t seed) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
    auto maybeNull = [&](Variant v) { return pick(10) == 0 ? Null() : v; };
    const char* words[] = {"apple", "Apple", "banana", "cherry", "date", "elder", "fig",
                           "grape", "kiwi",  "lemon",  "mango",  "a_b",  "50%",  "o'neil"};
    std::vector<TSeedTable> tables(3);
    TSeedTable& t1 = tables[0];
    t1.Name = "t1";
    t1.Columns = {{"id", ftInteger}, {"k", ftInteger}, {"name", ftString},
                  {"x", ftFloat},    {"dt", ftDate}};
    t1.Indexes = {"id", "k", "name"};
    for (int i = 1; i <= 40; ++i)
        t1.Rows.push_back({{Variant(i), maybeNull(Variant(pick(8))), maybeNull(Variant(std::string(words[pick(14)]))),
                            maybeNull(Variant(double(pick(2000) - 1000) / 8)),
                            maybeNull(VarFromDateTime(EncodeDate(2020 + pick(4), 1 + pick(12), 1 + pick(28))))}});
    TSeedTable& t2 = tables[1];
    t2.Name = "t2";
    t2.Columns = {{"id", ftInteger}, {"t1_id", ftInteger}, {"tag", ftString}, {"y", ftFloat}};
    t2.Indexes = {"t1_id"};
    for (int i = 1; i <= 60; ++i)
        t2.Rows.push_back({{Variant(i), maybeNull(Variant(1 + pick(45))),
                            maybeNull(Variant(std::string(words[pick(6)]))),
                            maybeNull(Variant(double(pick(100)) / 4))}});
    TSeedTable& t3 = tables[2];
    t3.Name = "t3";
    t3.Columns = {{"k", ftInteger}, {"label", ftString}};
    t3.Indexes = {"k"};
    for (int i = 0; i < 10; ++i)
        t3.Rows.push_back({{Variant(i), maybeNull(Variant(std::string(words[(i * 5) % 14])))}});
    return tables;
}

std::string SqliteType(TFieldType t) {
    switch (t) {
    case ftInteger:
        return "INTEGER";
    case ftFloat:
        return "FLOAT";
    case ftDate:
        return "DATE";
    default:
        return "VARCHAR(20)";
    }
}

// SQLite side.
class TSqlite : public TLiteSide {
public:
    void Load(const std::vector<TSeedTable>& tables) {
        for (const TSeedTable& t : tables) {
            std::string create = "CREATE TABLE " + t.Name + " (";
            for (size_t i = 0; i < t.Columns.size(); ++i)
                create += (i ? ", " : "") + t.Columns[i].first + " " + SqliteType(t.Columns[i].second);
            Exec(create + ")");
            for (const std::string& ix : t.Indexes)
                Exec("CREATE INDEX ix_" + t.Name + "_" + ix + " ON " + t.Name + " (" + ix + ")");
            for (const TSeedRow& r : t.Rows) {
                std::string values;
                for (size_t i = 0; i < r.Values.size(); ++i) {
                    values += i ? ", " : "";
                    const Variant& v = r.Values[i];
                    if (VarIsNull(v))
                        values += "NULL";
                    else if (t.Columns[i].second == ftDate)
                        values += "'" + FormatDateTime("yyyy-mm-dd", v.AsDateTime()) + "'";
                    else if (v.Type() == varString) {
                        std::string q;
                        for (char c : v.AsString())
                            q += c == '\'' ? std::string("''") : std::string(1, c);
                        values += "'" + q + "'";
                    } else
                        values += SqlValueText(v, t.Columns[i].second, true);
                }
                Exec("INSERT INTO " + t.Name + " VALUES (" + values + ")");
            }
        }
    }
};

// Our side: a file database holding the same tables.
class TEngine : public TOurSide {
public:
    explicit TEngine(const std::vector<TSeedTable>& tables) : TOurSide("sql_diff.zan") {
        for (const TSeedTable& t : tables) {
            TZanTable table;
            table.SetDataBase(&Db);
            table.SetTableName(t.Name);
            for (const auto& [name, type] : t.Columns)
                table.GetFieldDefs().Add(name, type, type == ftString ? 20 : 0);
            for (const std::string& ix : t.Indexes)
                table.GetIndexDefs().Add("ix_" + ix, ix, {});
            table.CreateTable();
            table.Open();
            Db.StartTransaction();
            for (const TSeedRow& r : t.Rows)
                table.AppendRecord(r.Values);
            Db.Commit();
            table.Close();
        }
    }
};

bool SameCell(const std::string& a, const std::string& b) {
    return a == b || SameNumberText(a, b);
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

bool SameRows(std::vector<std::string> a, std::vector<std::string> b, bool ordered) {
    if (a.size() != b.size()) return false;
    if (!ordered) {
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto x = Cells(a[i]), y = Cells(b[i]);
        if (x.size() != y.size()) return false;
        for (size_t k = 0; k < x.size(); ++k)
            if (!SameCell(x[k], y[k])) return false;
    }
    return true;
}

// The table an INSERT, UPDATE or DELETE writes; empty for other statements.
std::string DmlTarget(const std::string& sql) {
    std::istringstream words(sql);
    std::string w1, w2, w3;
    words >> w1 >> w2 >> w3;
    for (char& c : w1)
        c = char(toupper(c));
    std::string upper2 = w2;
    for (char& c : upper2)
        c = char(toupper(c));
    if (w1 == "INSERT" && upper2 == "INTO") return w3;
    if (w1 == "DELETE" && upper2 == "FROM") return w3;
    if (w1 == "UPDATE") return w2;
    return {};
}

std::string Join(const std::vector<std::string>& rows) {
    std::string s;
    for (const std::string& r : rows)
        s += "  " + r + "\n";
    return s;
}

std::filesystem::path CorpusDir() {
    return std::filesystem::path(ZAN_SQL_DIFF_DIR) / "corpus";
}

} // namespace

TEST(SqlDiff, CorpusAgreesWithSqlite) {
    const auto seed = SeedTables(20261209);
    TEngine ours(seed);
    TSqlite theirs;
    theirs.Load(seed);
    std::map<std::string, int> uses;
    int passed = 0, failed = 0;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(CorpusDir()))
        if (entry.path().extension() == ".sql") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    for (const auto& file : files) {
        std::vector<TSqlScriptStatement> statements;
        std::string error;
        ASSERT_TRUE(SplitSqlScript(ReadText(file), statements, error)) << file << ": " << error;
        for (const TSqlScriptStatement& s : statements) {
            const std::string where = file.filename().string() + ":" + std::to_string(s.Line);
            const std::string divergence = DirectiveValue(s.Comments, "divergence:");
            std::string sqliteText = DirectiveValue(s.Comments, "sqlite:");
            if (sqliteText.empty()) sqliteText = s.Text;
            const bool ordered = HasDirective(s.Comments, "ordered");
            if (!divergence.empty() && !C_DIVERGENCES.count(divergence)) {
                ADD_FAILURE() << where << ": unknown divergence " << divergence;
                ++failed;
                continue;
            }
            const std::string target = DmlTarget(s.Text);
            std::vector<std::string> a, b;
            int changesA = 0, changesB = 0;
            std::string errorA, errorB;
            if (!target.empty()) {
                ours.Db.StartTransaction();
                theirs.Exec("BEGIN");
            }
            bool okA = ours.Run(s.Text, a, changesA, errorA);
            bool okB = theirs.Query(sqliteText, b, changesB, errorB);
            bool same = okA && okB;
            if (same && !target.empty()) {
                same = changesA == changesB;
                std::vector<std::string> afterA, afterB;
                int dummy;
                okA = ours.Run("SELECT * FROM " + target, afterA, dummy, errorA);
                okB = theirs.Query("SELECT * FROM " + target, afterB, dummy, errorB);
                same = same && okA && okB && SameRows(afterA, afterB, false);
                a = afterA;
                b = afterB;
            } else if (same) {
                same = SameRows(a, b, ordered);
            }
            if (!target.empty()) {
                if (ours.Db.InTransaction()) ours.Db.Rollback();
                theirs.Exec("ROLLBACK");
            }
            if (ours.Db.InTransaction()) {
                ADD_FAILURE() << where << ": a transaction stayed open";
                ours.Db.Rollback();
            }
            if (!divergence.empty()) {
                ++uses[divergence];
                if (same) {
                    ADD_FAILURE() << where << ": marked " << divergence << " but agrees\n" << s.Text;
                    ++failed;
                } else {
                    ++passed;
                }
                continue;
            }
            if (same) {
                ++passed;
                continue;
            }
            ++failed;
            ADD_FAILURE() << where << ": " << s.Text << "\nours" << (okA ? "" : " failed: " + errorA)
                          << "\n" << Join(a) << "sqlite" << (okB ? "" : " failed: " + errorB)
                          << "\n" << Join(b);
        }
    }
    for (const auto& [name, n] : uses)
        std::printf("divergence %s: %d uses\n", name.c_str(), n);
    std::printf("%d passed, %d failed\n", passed, failed);
    EXPECT_EQ(failed, 0);
}

TEST(SqlDiff, RefusalsGiveTheirTextsAndLeaveNoTransaction) {
    const auto seed = SeedTables(7);
    TEngine ours(seed);
    std::vector<TSqlScriptStatement> statements;
    std::string error;
    ASSERT_TRUE(SplitSqlScript(ReadText(std::filesystem::path(ZAN_SQL_DIFF_DIR) / "refusals.sql"),
                               statements, error));
    ASSERT_FALSE(statements.empty());
    for (const TSqlScriptStatement& s : statements) {
        const std::string expected = DirectiveValue(s.Comments, "error:");
        ASSERT_FALSE(expected.empty()) << "refusals.sql:" << s.Line << " has no error line";
        const std::string code = expected.substr(0, expected.find(' '));
        const std::string text = expected.substr(expected.find(' ') + 1);
        std::vector<std::string> rows;
        int changes;
        EXPECT_FALSE(ours.Run(s.Text, rows, changes, error)) << s.Text;
        EXPECT_EQ(error.rfind("error " + code + ":", 0), 0u) << s.Text << "\n" << error;
        EXPECT_NE(error.find(text), std::string::npos) << s.Text << "\n" << error;
        EXPECT_FALSE(ours.Db.InTransaction()) << s.Text;
    }
}

TEST(SqlDiff, DocumentedDivergencesAreTheHarnessNames) {
    const std::string doc = ReadText(std::filesystem::path(ZAN_SQL_DIFF_DIR) / ".." / ".." /
                                     "docs" / "SQL.md");
    for (const std::string& name : C_DIVERGENCES)
        EXPECT_NE(doc.find("`" + name + "`"), std::string::npos) << name;
}

TEST(SqlDiff, MutatedStatementsFailOnlyWithEngineErrors) {
    const auto seed = SeedTables(11);
    TEngine ours(seed);
    std::vector<std::string> corpus;
    for (const auto& entry : std::filesystem::directory_iterator(CorpusDir())) {
        std::vector<TSqlScriptStatement> statements;
        std::string error;
        if (!SplitSqlScript(ReadText(entry.path()), statements, error)) continue;
        for (const auto& s : statements)
            corpus.push_back(s.Text);
    }
    ASSERT_FALSE(corpus.empty());
    std::mt19937 rng(4242);
    const int rounds = 1500;
    for (int round = 0; round < rounds; ++round) {
        std::istringstream words(corpus[rng() % corpus.size()]);
        std::vector<std::string> tokens;
        std::string w;
        while (words >> w)
            tokens.push_back(w);
        const int edits = 1 + int(rng() % 3);
        for (int e = 0; e < edits && !tokens.empty(); ++e) {
            const size_t at = rng() % tokens.size();
            if (rng() % 2)
                tokens.erase(tokens.begin() + long(at));
            else
                tokens.insert(tokens.begin() + long(at), tokens[at]);
        }
        std::string sql;
        for (const std::string& t : tokens)
            sql += t + " ";
        try {
            ours.Query.Close();
            ours.Query.GetSQL().SetText(sql);
            ours.Query.Prepare();
            if (ours.Query.GetSQLStatementType() == zsSQLSelect) {
                ours.Query.Open();
                ours.Query.Close();
            } else if (DmlTarget(sql).empty()) {
                continue; // schema statements would change the tables
            } else {
                ours.Db.StartTransaction();
                ours.Query.ExecSQL();
                ours.Db.Rollback();
            }
        } catch (const EZanDatabaseError&) {
            if (ours.Db.InTransaction()) ours.Db.Rollback();
        } catch (const std::exception& e) {
            ADD_FAILURE() << sql << "\n" << e.what();
            if (ours.Db.InTransaction()) ours.Db.Rollback();
        }
        ASSERT_FALSE(ours.Db.InTransaction()) << sql;
    }
    // Only the query's own result table is left (it lives until the query goes); a new text
    // lets the provider drop its subquery items.
    ours.Query.Close();
    ours.Query.GetSQL().SetText("SELECT k FROM t3");
    TStringList names;
    ours.Db.GetMemoryTableDefMgr().GetCurrentTableNames(names);
    for (int i = 0; i < names.Count(); ++i)
        if (names.Strings(i).rfind("$Q", 0) == 0) {
            EXPECT_EQ(names.Strings(i), ours.Query.GetTableName());
        }
}
