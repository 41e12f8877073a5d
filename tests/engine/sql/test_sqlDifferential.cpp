// Differential check of the expression parser and evaluator against sqlite3 on the dialects'
// common subset: a seeded generator writes each predicate and value expression in both
// dialects; the rows that pass (and the values per row) must agree. ZAN_DIFF_SEED picks the
// seed, ZAN_DIFF_SCALE multiplies the number of cases.
//
// Left out by construction: integer "/", unary minus on names, IS NULL over a comparison, CAST
// of fractions to integers, mixed string/number comparisons, non-ASCII text.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/sql/zanExprEvaluator.h"
#include "engine/sql/zanExprParser.h"
#include "support/zanMemProvider.h"

using namespace zan;

namespace {

struct Dual {
    std::string Ours, Theirs;
};

Dual Same(const std::string& text) {
    return {text, text};
}

class TGenerator {
public:
    explicit TGenerator(uint32_t seed) : FRng(seed) {}

    int Pick(int n) { return static_cast<int>(FRng() % static_cast<uint32_t>(n)); }
    bool Chance(int percent) { return Pick(100) < percent; }

    std::string Text(int maxLength, const char* alphabet) {
        std::string s;
        const int n = Pick(maxLength + 1);
        const int size = static_cast<int>(std::char_traits<char>::length(alphabet));
        for (int i = 0; i < n; ++i)
            s += alphabet[Pick(size)];
        return s;
    }
    static std::string Quote(const std::string& s) {
        std::string q = "'";
        for (char c : s)
            q += c == '\'' ? std::string("''") : std::string(1, c);
        return q + "'";
    }

    Dual IntExpr(int depth) {
        const int k = Pick(depth > 0 ? 6 : 3);
        switch (k) {
        case 0:
            return Same(Chance(50) ? "a" : "b");
        case 1:
            return Same(std::to_string(Pick(41) - 10));
        case 2:
            return Same(Chance(50) ? "a-1" : "b+2");
        default: {
            const Dual l = IntExpr(depth - 1), r = IntExpr(depth - 1);
            const char* op = k == 3 ? " + " : k == 4 ? " - " : " * ";
            return {"(" + l.Ours + op + r.Ours + ")", "(" + l.Theirs + op + r.Theirs + ")"};
        }
        }
    }

    Dual RealExpr(int depth) {
        const Dual x = IntExpr(depth);
        const char* d = Chance(50) ? "2.5" : "0.25";
        return {"(" + x.Ours + " / " + d + ")", "(" + x.Theirs + " / " + d + ")"};
    }

    Dual StrExpr(int depth) {
        const int k = Pick(depth > 0 ? 9 : 3);
        switch (k) {
        case 0:
            return Same(Chance(50) ? "s" : "v");
        case 1:
            return Same(Quote(Text(4, "ab A_%'")));
        case 2:
            return Same(Chance(50) ? "s" : "v");
        case 3: {
            const Dual l = StrExpr(depth - 1), r = StrExpr(depth - 1);
            return {"(" + l.Ours + " || " + r.Ours + ")", "(" + l.Theirs + " || " + r.Theirs + ")"};
        }
        case 4: {
            const Dual x = StrExpr(depth - 1);
            const char* f = Chance(50) ? "UPPER" : "LOWER";
            return {std::string(f) + "(" + x.Ours + ")", std::string(f) + "(" + x.Theirs + ")"};
        }
        case 5: {
            const Dual x = StrExpr(depth - 1);
            const std::string from = std::to_string(1 + Pick(5)), len = std::to_string(Pick(5));
            if (Chance(30))
                return {"SUBSTRING(" + x.Ours + " FROM " + from + ")",
                        "substr(" + x.Theirs + ", " + from + ")"};
            return {"SUBSTRING(" + x.Ours + " FROM " + from + " FOR " + len + ")",
                    "substr(" + x.Theirs + ", " + from + ", " + len + ")"};
        }
        case 6: {
            const Dual x = StrExpr(depth - 1);
            const std::string c = Chance(50) ? "'a'" : "' '";
            switch (Pick(4)) {
            case 0:
                return {"TRIM(" + x.Ours + ")", "trim(" + x.Theirs + ")"};
            case 1:
                return {"TRIM(LEADING " + c + " FROM " + x.Ours + ")",
                        "ltrim(" + x.Theirs + ", " + c + ")"};
            case 2:
                return {"TRIM(TRAILING " + c + " FROM " + x.Ours + ")",
                        "rtrim(" + x.Theirs + ", " + c + ")"};
            default:
                return {"TRIM(BOTH " + c + " FROM " + x.Ours + ")",
                        "trim(" + x.Theirs + ", " + c + ")"};
            }
        }
        default: {
            const Dual x = IntExpr(depth - 1);
            return {"CAST(" + x.Ours + " AS VARCHAR(12))", "CAST(" + x.Theirs + " AS TEXT)"};
        }
        }
    }

    std::string Comparison() {
        static const char* ops[] = {" = ", " <> ", " < ", " <= ", " > ", " >= "};
        return ops[Pick(6)];
    }

    std::string Pattern(bool escape) {
        std::string p;
        const int n = Pick(6);
        for (int i = 0; i < n; ++i) {
            const int k = Pick(escape ? 8 : 7);
            if (k == 7) {
                p += "!";
                p += "%_!a"[Pick(4)];
            } else {
                p += "ab%_ A'"[k];
            }
        }
        return Quote(p);
    }

    Dual Predicate(int depth) {
        const int k = Pick(depth > 0 ? 12 : 8);
        switch (k) {
        case 0: {
            const Dual l = IntExpr(2), r = IntExpr(2);
            const std::string op = Comparison();
            return {l.Ours + op + r.Ours, l.Theirs + op + r.Theirs};
        }
        case 1: {
            const Dual l = StrExpr(2), r = StrExpr(1);
            const std::string op = Comparison();
            return {l.Ours + op + r.Ours, l.Theirs + op + r.Theirs};
        }
        case 2: {
            const Dual x = IntExpr(1);
            const std::string lo = std::to_string(Pick(30) - 10), hi = std::to_string(Pick(30));
            const std::string kw = Chance(30) ? " NOT BETWEEN " : " BETWEEN ";
            return {x.Ours + kw + lo + " AND " + hi, x.Theirs + kw + lo + " AND " + hi};
        }
        case 3: {
            std::string list;
            const int n = 1 + Pick(5);
            for (int i = 0; i < n; ++i)
                list += (i ? ", " : "") + (Chance(10) ? std::string("NULL")
                                                      : std::to_string(Pick(30) - 10));
            const std::string kw = Chance(30) ? " NOT IN (" : " IN (";
            return Same((Chance(50) ? "a" : "b") + kw + list + ")");
        }
        case 4: {
            const Dual x = StrExpr(1);
            const bool escape = Chance(40);
            const std::string kw = Chance(30) ? " NOT LIKE " : " LIKE ";
            const std::string p = Pattern(escape) + (escape ? " ESCAPE '!'" : "");
            return {x.Ours + kw + p, x.Theirs + kw + p};
        }
        case 5: {
            const Dual x = Chance(50) ? IntExpr(1) : StrExpr(1);
            const std::string kw = Chance(50) ? " IS NULL" : " IS NOT NULL";
            return {x.Ours + kw, x.Theirs + kw};
        }
        case 6: {
            const Dual x = RealExpr(1);
            const std::string op = Comparison();
            const std::string c = std::to_string(Pick(20) - 5) + ".5";
            return {x.Ours + op + c, x.Theirs + op + c};
        }
        case 7: {
            const std::string kw = Chance(50) ? " IN (" : " NOT IN (";
            std::string list;
            const int n = 1 + Pick(3);
            for (int i = 0; i < n; ++i)
                list += (i ? ", " : "") + (Chance(10) ? std::string("NULL") : Quote(Text(2, "ab ")));
            return Same("s" + kw + list + ")");
        }
        case 8:
        case 9: {
            const Dual l = Predicate(depth - 1), r = Predicate(depth - 1);
            const char* op = k == 8 ? " AND " : " OR ";
            return {"(" + l.Ours + op + r.Ours + ")", "(" + l.Theirs + op + r.Theirs + ")"};
        }
        default: {
            const Dual x = Predicate(depth - 1);
            return {"NOT (" + x.Ours + ")", "NOT (" + x.Theirs + ")"};
        }
        }
    }

    Dual ValueExpr() {
        switch (Pick(3)) {
        case 0:
            return IntExpr(2);
        case 1:
            return RealExpr(2);
        default:
            return StrExpr(3);
        }
    }

private:
    std::mt19937 FRng;
};

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

class SqlDifferential : public ::testing::Test {
protected:
    void SetUp() override {
        seed = static_cast<uint32_t>(EnvInt("ZAN_DIFF_SEED", 20261208));
        scale = std::max(1, EnvInt("ZAN_DIFF_SCALE", 1));
        ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
        Exec("PRAGMA case_sensitive_like=ON");
        Exec("CREATE TABLE tab (id INTEGER, a INTEGER, b INTEGER, s VARCHAR(12), v VARCHAR(6))");
        provider.AddField("id", ftInteger);
        provider.AddField("a", ftInteger);
        provider.AddField("b", ftInteger);
        provider.AddField("s", ftString, 12);
        provider.AddField("v", ftString, 6);
        provider.AddToTableList(tables);
        TGenerator g(seed);
        sqlite3_stmt* insert = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO tab VALUES (?, ?, ?, ?, ?)", -1, &insert,
                                     nullptr),
                  SQLITE_OK);
        for (int id = 1; id <= 1000; ++id) {
            std::vector<Variant> row = {Variant(id)};
            sqlite3_bind_int(insert, 1, id);
            for (int c = 0; c < 4; ++c) {
                const int column = c + 2;
                if (g.Chance(10)) {
                    row.push_back(Null());
                    sqlite3_bind_null(insert, column);
                } else if (c < 2) {
                    const int value = g.Pick(c == 0 ? 41 : 21) - (c == 0 ? 20 : 0);
                    row.push_back(Variant(value));
                    sqlite3_bind_int(insert, column, value);
                } else {
                    const std::string text = g.Text(c == 2 ? 8 : 5, "ab AB_%'x");
                    row.push_back(Variant(text));
                    sqlite3_bind_text(insert, column, text.c_str(), static_cast<int>(text.size()),
                                      SQLITE_TRANSIENT);
                }
            }
            provider.AddRow(row);
            ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
    }
    void TearDown() override { sqlite3_close(db); }

    void Exec(const std::string& sql) {
        char* error = nullptr;
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
            << (error ? error : "");
    }

    // Parses a filter text as the table filters will: expression-only, arithmetic and string
    // functions, over the provider's fields.
    // The evaluator is prepared with NULLs excluded and the ASCII order; a parse error fails.
    struct Parsed {
        TZanPreParser Pre;
        TZanExprParser Parser;
        TExprEvaluator Evaluator;
    };
    std::unique_ptr<Parsed> Parse(const Dual& e) {
        auto p = std::make_unique<Parsed>();
        p->Pre.SetText(e.Ours);
        p->Pre.SetParseAsExprOnly(true);
        p->Pre.PreParseTokens();
        p->Parser.SetTableList(&tables);
        p->Parser.Execute(ZanParserOptions({zpoExtSyntax}), p->Pre.GetSection(zstWhere, nullptr));
        EXPECT_FALSE(p->Parser.HasParseError())
            << Context(e) << "\n " << p->Parser.GetErrorMsgNoLine();
        if (p->Parser.HasParseError()) return nullptr;
        p->Evaluator.SetDBStringCompare(DBASCIICompareStrings);
        p->Evaluator.SetExcludeRelopNulls(true);
        p->Evaluator.Prepare(&provider, p->Parser.GetRootNode());
        return p;
    }

    std::string Context(const Dual& e) const {
        return "seed " + std::to_string(seed) + "\n ours:   " + e.Ours + "\n sqlite: " + e.Theirs;
    }

    uint32_t seed = 0;
    int scale = 1;
    sqlite3* db = nullptr;
    TZanMemProvider provider{"tab"};
    TTableList tables;
};

} // namespace

TEST_F(SqlDifferential, PredicatesSelectTheSameRows) {
    TGenerator g(seed ^ 0x5eed);
    const int cases = 2000 * scale;
    int nonEmpty = 0;
    for (int n = 0; n < cases; ++n) {
        const Dual e = g.Predicate(3);
        auto parsed = Parse(e);
        if (!parsed) return;
        TExprEvaluator& ev = parsed->Evaluator;
        std::vector<int> ours, theirs;
        try {
            for (int row = 0; row < provider.RowCount(); ++row) {
                provider.SetCurrentRow(row);
                ev.Reset();
                if (ev.Evaluate()) ours.push_back(row + 1);
            }
        } catch (const Exception& x) {
            FAIL() << Context(e) << "\n raised " << x.Message();
        }
        sqlite3_stmt* st = nullptr;
        const std::string sql = "SELECT id FROM tab WHERE " + e.Theirs + " ORDER BY id";
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK)
            << Context(e) << "\n " << sqlite3_errmsg(db);
        while (sqlite3_step(st) == SQLITE_ROW)
            theirs.push_back(sqlite3_column_int(st, 0));
        sqlite3_finalize(st);
        if (ours != theirs) {
            size_t i = 0;
            while (i < ours.size() && i < theirs.size() && ours[i] == theirs[i])
                ++i;
            const int row = i < ours.size() ? ours[i] : theirs[i];
            FAIL() << Context(e) << "\n first differing row id " << row << " (ours "
                   << ours.size() << " rows, sqlite " << theirs.size() << ")";
        }
        nonEmpty += !ours.empty() && ours.size() < 1000;
    }
    // The generator must produce predicates that discriminate.
    EXPECT_GT(nonEmpty, cases / 3);
}

TEST_F(SqlDifferential, ValueExpressionsAgreeRowByRow) {
    TGenerator g(seed ^ 0xfeed);
    const int cases = 500 * scale;
    for (int n = 0; n < cases; ++n) {
        const Dual e = g.ValueExpr();
        auto parsed = Parse(e);
        if (!parsed) return;
        TExprEvaluator& ev = parsed->Evaluator;
        sqlite3_stmt* st = nullptr;
        const std::string sql = "SELECT " + e.Theirs + " FROM tab ORDER BY id";
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK)
            << Context(e) << "\n " << sqlite3_errmsg(db);
        for (int row = 0; sqlite3_step(st) == SQLITE_ROW; ++row) {
            provider.SetCurrentRow(row);
            ev.Reset();
            Variant v;
            ev.EvaluateValueExpr(v);
            const int type = sqlite3_column_type(st, 0);
            bool same = false;
            std::string theirs;
            if (type == SQLITE_NULL) {
                same = VarIsNull(v);
                theirs = "NULL";
            } else if (type == SQLITE_TEXT) {
                theirs = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
                same = v.Type() == varString && v.AsString() == theirs;
            } else {
                const double d = sqlite3_column_double(st, 0);
                theirs = std::to_string(d);
                same = !VarIsNull(v) && !VarIsEmpty(v) && v.Type() != varString &&
                       v.AsDouble() == d;
            }
            if (!same) {
                sqlite3_finalize(st);
                FAIL() << Context(e) << "\n row id " << row + 1 << ": ours '" << VarToStr(v)
                       << "' (type " << VarTypeAsText(v.Type()) << "), sqlite '" << theirs << "'";
            }
        }
        sqlite3_finalize(st);
    }
}
