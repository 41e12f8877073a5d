// A seeded generator of random schemas, rows and statements in the part of SQL that this engine
// and SQLite read alike, for the random differential test (test_sql_fuzz.cpp). Every piece is
// written twice: our spelling and SQLite's (real division, empty aggregates as 0, ANY and ALL as
// CASE over EXISTS, TRUE/FALSE as 1/0, SUBSTRING as SUBSTR).
//
// Left out because the dialects differ (docs/SQL.md): CASE, NULLIF and COALESCE (refused here),
// unary minus (refused: written 0 - x), subqueries in the select list or ON (refused), CAST of a
// float to INTEGER (rounds here, truncates there), CAST of numbers to text and || of numbers
// (number texts differ), AVG of integers (rounded here), MIN and MAX of strings and dates (no
// rows give 0 here), comparisons across types (SQLite's affinities), unique indexes over columns
// holding NULLs (NULLs equal here), scalar subqueries of more than one row (an error here, the
// first row there), a UNION of members whose columns differ in type (the first member's types
// here), LIMIT, INTERSECT and EXCEPT (refused). Left out because SQLite reads them otherwise
// than standard SQL: a comma before a JOIN ("a, b LEFT JOIN c" joins (a, b) with c there, a with
// (b LEFT JOIN c) here), so a comma comes only before the last table, and an ON naming a table
// before that comma (refused here). NOT NOT p is refused here as in standard SQL: NOT (p) is
// written instead.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace zan::fuzz {

// Column kinds: integer, float, string, date, truth value.
enum class TKind { Int, Float, Str, Date, Bool };

struct TColumn {
    std::string Name;
    TKind Kind;
    std::string Type; // our declared type; SQLite gets the same words
    bool Key = false; // the unique, never NULL id column
};

struct TTable {
    std::string Name;
    std::vector<TColumn> Columns;
    // Each row's values as our literal and SQLite's.
    std::vector<std::vector<std::pair<std::string, std::string>>> Rows;
    std::vector<std::string> IndexDdl; // CREATE INDEX statements, both dialects
    bool IndexesFirst = false;
};

// Our text and SQLite's.
struct TText {
    std::string Ours;
    std::string Lite;
};

enum class TStatementKind { Select, Ordered, Dml };

struct TStatement {
    TText Sql;
    TStatementKind Kind = TStatementKind::Select;
    std::string Target; // the table a DML statement writes
    // For a plain SELECT whose WHERE is "W AND P": the statement without P and the three
    // partitions by P (true, false, unknown) in our dialect.
    std::string Whole;
    std::vector<std::string> Partitions;
    // SELECT COUNT(*) ... WHERE P and SQLite's count of rows where P is true computed per row.
    TText Count;
};

class TSqlFuzzGen {
public:
    explicit TSqlFuzzGen(uint32_t seed) : FRng(seed) {}

    std::vector<TTable> Schema();
    TStatement Statement();

private:
    // A table instance in scope: its table and alias.
    struct TScope {
        const TTable* Table;
        std::string Alias;
    };

    int Pick(int n) { return int(FRng() % uint32_t(n)); }
    bool Chance(int percent) { return Pick(100) < percent; }

    std::pair<std::string, std::string> Value(TKind kind, bool nullable);
    TText Literal(TKind kind);
    // A column of the scopes of that kind (empty Ours when there is none).
    TText Column(const std::vector<TScope>& scopes, TKind kind, const TColumn** which = nullptr);
    bool HasKind(const std::vector<TScope>& scopes, TKind kind) const;
    TKind AnyKind(const std::vector<TScope>& scopes);
    TText Expr(const std::vector<TScope>& scopes, TKind kind, int depth);
    TText NumExpr(const std::vector<TScope>& scopes, int depth);
    TText StrExpr(const std::vector<TScope>& scopes, int depth);
    TText Predicate(const std::vector<TScope>& scopes, int depth);
    TText Subquery(const std::vector<TScope>& scopes, int depth);
    TText From(std::vector<TScope>& scopes);
    TText Aggregate(const std::vector<TScope>& scopes);

    TStatement PlainSelect();
    TStatement GroupedSelect();
    TStatement UnionSelect();
    TStatement Dml();

    std::mt19937 FRng;
    std::vector<TTable> FTables;
    int FAliasCount = 0;
    int FSubDepth = 0;
    bool FConcat = true;     // || allowed (not where a string must fit its column)
    bool FSubqueries = true; // subqueries allowed (not in ON)
};

} // namespace zan::fuzz
