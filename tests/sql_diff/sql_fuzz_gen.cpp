// The random schema and statement generator of the random differential test.
#include "sql_fuzz_support.h"

#include <algorithm>

namespace zan::fuzz {

namespace {

const char* const C_STRINGS[] = {"", "a", "A", "ab", "b a", "abc", "Zed", "a_b", "5%", "o'k", " x", "x ", "b"};
const char* const C_FLOATS[] = {"0", "0.5", "-1.25", "2", "3.75", "-7", "100.5", "1e3", "0.1"};
const char* const C_DATES[] = {"2020-01-01", "2020-02-29", "1999-12-31", "2021-06-15", "2020-01-02"};
const char* const C_PATTERNS[] = {"a%", "%a", "%b%", "_", "__", "%", "", "A%", "a_b", "%x", "5%", "%'%"};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("''") : std::string(1, c);
    return q + "'";
}

TText Wrap(const std::string& pre, const TText& t, const std::string& post) {
    return {pre + t.Ours + post, pre + t.Lite + post};
}

TText Join(const TText& a, const std::string& op, const TText& b) {
    return {"(" + a.Ours + " " + op + " " + b.Ours + ")", "(" + a.Lite + " " + op + " " + b.Lite + ")"};
}

} // namespace

std::pair<std::string, std::string> TSqlFuzzGen::Value(TKind kind, bool nullable) {
    if (nullable && Chance(15)) return {"NULL", "NULL"};
    switch (kind) {
    case TKind::Int: {
        const std::string v = std::to_string(Pick(12) - 3);
        return {v, v};
    }
    case TKind::Float: {
        const std::string v = C_FLOATS[Pick(std::size(C_FLOATS))];
        return {v, v};
    }
    case TKind::Str: {
        const std::string v = Quote(C_STRINGS[Pick(std::size(C_STRINGS))]);
        return {v, v};
    }
    case TKind::Date: {
        const std::string v = Quote(C_DATES[Pick(std::size(C_DATES))]);
        return {v, v};
    }
    case TKind::Bool:
        return Chance(50) ? std::pair<std::string, std::string>{"TRUE", "1"}
                          : std::pair<std::string, std::string>{"FALSE", "0"};
    }
    return {"NULL", "NULL"};
}

TText TSqlFuzzGen::Literal(TKind kind) {
    const auto v = Value(kind, false);
    return {v.first, v.second};
}

std::vector<TTable> TSqlFuzzGen::Schema() {
    FTables.clear();
    const int count = 2 + Pick(3);
    for (int t = 1; t <= count; ++t) {
        TTable table;
        table.Name = "t" + std::to_string(t);
        table.Columns.push_back({"id", TKind::Int, "INTEGER", true});
        const int more = 2 + Pick(4);
        for (int c = 0; c < more; ++c) {
            // An integer and a string column always; then any kinds.
            const TKind kind = c == 0 ? TKind::Int : c == 1 ? TKind::Str : TKind(Pick(5));
            std::string type;
            switch (kind) {
            case TKind::Int: type = "INTEGER"; break;
            case TKind::Float: type = "FLOAT"; break;
            case TKind::Str:
                type = Chance(30) ? "CHAR(" + std::to_string(4 + Pick(3)) + ")"
                                  : "VARCHAR(" + std::to_string(4 + Pick(8)) + ")";
                break;
            case TKind::Date: type = "DATE"; break;
            case TKind::Bool: type = "BOOLEAN"; break;
            }
            const char letter = "kfsdb"[int(kind)];
            table.Columns.push_back({std::string(1, letter) + std::to_string(c + 1), kind, type});
        }
        const int rows = Chance(10) ? 0 : Chance(60) ? 1 + Pick(15) : 1 + Pick(60);
        std::vector<int> ids;
        for (int i = 1; i <= rows; ++i) ids.push_back(i * (Chance(20) ? -1 : 1));
        std::shuffle(ids.begin(), ids.end(), FRng);
        for (int i = 0; i < rows; ++i) {
            std::vector<std::pair<std::string, std::string>> row;
            row.push_back({std::to_string(ids[i]), std::to_string(ids[i])});
            for (size_t c = 1; c < table.Columns.size(); ++c)
                row.push_back(Value(table.Columns[c].Kind, true));
            table.Rows.push_back(row);
        }
        // Indexes: a unique one on id at times, a plain one on other columns at times, a
        // descending one and one of two columns now and then.
        int n = 0;
        auto name = [&] { return "ix" + table.Name + "_" + std::to_string(++n); };
        if (Chance(50))
            table.IndexDdl.push_back("CREATE UNIQUE INDEX " + name() + " ON " + table.Name + " (id)");
        for (size_t c = 1; c < table.Columns.size(); ++c)
            if (Chance(35))
                table.IndexDdl.push_back("CREATE INDEX " + name() + " ON " + table.Name + " (" +
                                         table.Columns[c].Name + ")");
        if (Chance(20))
            table.IndexDdl.push_back("CREATE INDEX " + name() + " ON " + table.Name + " (" +
                                     table.Columns[1].Name + ", " + table.Columns[2].Name + ")");
        if (Chance(15))
            table.IndexDdl.push_back("CREATE DESC INDEX " + name() + " ON " + table.Name + " (" +
                                     table.Columns[1].Name + ")");
        table.IndexesFirst = Chance(50);
        FTables.push_back(table);
    }
    return FTables;
}

bool TSqlFuzzGen::HasKind(const std::vector<TScope>& scopes, TKind kind) const {
    for (const TScope& s : scopes)
        for (const TColumn& c : s.Table->Columns)
            if (c.Kind == kind) return true;
    return false;
}

TKind TSqlFuzzGen::AnyKind(const std::vector<TScope>& scopes) {
    for (;;) {
        const TKind k = TKind(Pick(5));
        if (HasKind(scopes, k) || k == TKind::Int || k == TKind::Str) return k;
    }
}

TText TSqlFuzzGen::Column(const std::vector<TScope>& scopes, TKind kind, const TColumn** which) {
    std::vector<std::pair<const TScope*, const TColumn*>> all;
    for (const TScope& s : scopes)
        for (const TColumn& c : s.Table->Columns)
            if (c.Kind == kind) all.push_back({&s, &c});
    if (all.empty()) return {};
    // The innermost scopes (last) a little more often.
    int i = Pick(int(all.size()));
    if (Chance(30)) i = int(all.size()) - 1 - Pick(std::min<int>(int(all.size()), 3));
    if (which) *which = all[i].second;
    const std::string t = all[i].first->Alias + "." + all[i].second->Name;
    return {t, t};
}

TText TSqlFuzzGen::NumExpr(const std::vector<TScope>& scopes, int depth) {
    if (depth <= 0 || Chance(40)) {
        if (Chance(70)) {
            TText c = Column(scopes, Chance(60) || !HasKind(scopes, TKind::Float) ? TKind::Int : TKind::Float);
            if (!c.Ours.empty()) return c;
        }
        return Literal(Chance(60) ? TKind::Int : TKind::Float);
    }
    switch (Pick(7)) {
    case 0: return Join(NumExpr(scopes, depth - 1), "+", NumExpr(scopes, depth - 1));
    case 1: return Join(NumExpr(scopes, depth - 1), "-", NumExpr(scopes, depth - 1));
    case 2: return Join(NumExpr(scopes, depth - 1), "*", NumExpr(scopes, depth - 1));
    case 3: {
        // Real division here; SQLite divides integers as integers.
        const TText a = NumExpr(scopes, depth - 1), b = NumExpr(scopes, depth - 1);
        return {"(" + a.Ours + " / " + b.Ours + ")", "((1.0 * " + a.Lite + ") / " + b.Lite + ")"};
    }
    case 4: return Wrap("(0 - ", NumExpr(scopes, depth - 1), ")");
    case 5: {
        const TText a = NumExpr(scopes, depth - 1);
        return {"CAST(" + a.Ours + " AS FLOAT)", "CAST(" + a.Lite + " AS REAL)"};
    }
    default: return Wrap("(", NumExpr(scopes, depth - 1), ")");
    }
}

TText TSqlFuzzGen::StrExpr(const std::vector<TScope>& scopes, int depth) {
    if (depth <= 0 || Chance(40)) {
        if (Chance(70)) {
            TText c = Column(scopes, TKind::Str);
            if (!c.Ours.empty()) return c;
        }
        return Literal(TKind::Str);
    }
    switch (Pick(5)) {
    case 0: return Wrap("UPPER(", StrExpr(scopes, depth - 1), ")");
    case 1: return Wrap("LOWER(", StrExpr(scopes, depth - 1), ")");
    case 2: return Wrap("TRIM(", StrExpr(scopes, depth - 1), ")");
    case 3: {
        const TText a = StrExpr(scopes, depth - 1);
        const std::string args = ", " + std::to_string(1 + Pick(3)) + ", " + std::to_string(Pick(4)) + ")";
        return {"SUBSTRING(" + a.Ours + args, "SUBSTR(" + a.Lite + args};
    }
    default:
        if (!FConcat) return Wrap("UPPER(", StrExpr(scopes, depth - 1), ")");
        return Join(StrExpr(scopes, depth - 1), "||", StrExpr(scopes, depth - 1));
    }
}

TText TSqlFuzzGen::Expr(const std::vector<TScope>& scopes, TKind kind, int depth) {
    switch (kind) {
    case TKind::Int:
    case TKind::Float: return NumExpr(scopes, depth);
    case TKind::Str: return StrExpr(scopes, depth);
    default: {
        if (Chance(80)) {
            TText c = Column(scopes, kind);
            if (!c.Ours.empty()) return c;
        }
        return Literal(kind);
    }
    }
}

TText TSqlFuzzGen::Predicate(const std::vector<TScope>& scopes, int depth) {
    static const char* const ops[] = {"=", "<>", "<", "<=", ">", ">="};
    const int choice = depth <= 0 ? Pick(6) : Pick(FSubqueries && FSubDepth < 2 ? 13 : 9);
    switch (choice) {
    case 0:
    case 1: { // a comparison
        const TKind k = AnyKind(scopes);
        const std::string op = k == TKind::Bool ? (Chance(50) ? "=" : "<>") : ops[Pick(6)];
        const TText a = Expr(scopes, k, 1 + Pick(2));
        const TText b = Chance(50) ? Literal(k) : Expr(scopes, k, 1);
        return Join(a, op, b);
    }
    case 2: { // BETWEEN
        TKind k = AnyKind(scopes);
        if (k == TKind::Bool) k = TKind::Int;
        const std::string neg = Chance(30) ? " NOT" : "";
        const TText a = Expr(scopes, k, 1), lo = Literal(k), hi = Chance(70) ? Literal(k) : Expr(scopes, k, 0);
        return {"(" + a.Ours + neg + " BETWEEN " + lo.Ours + " AND " + hi.Ours + ")",
                "(" + a.Lite + neg + " BETWEEN " + lo.Lite + " AND " + hi.Lite + ")"};
    }
    case 3: { // IN a list
        const TKind k = AnyKind(scopes);
        TText r = Wrap("(", Expr(scopes, k, 1), Chance(30) ? " NOT IN (" : " IN (");
        const int n = 1 + Pick(4);
        for (int i = 0; i < n; ++i) {
            const TText v = Chance(10) ? TText{"NULL", "NULL"} : Literal(k);
            r = {r.Ours + (i ? ", " : "") + v.Ours, r.Lite + (i ? ", " : "") + v.Lite};
        }
        return Wrap("", r, "))");
    }
    case 4: { // LIKE
        const TText a = StrExpr(scopes, 1);
        const std::string p = Quote(C_PATTERNS[Pick(std::size(C_PATTERNS))]);
        const std::string op = Chance(30) ? " NOT LIKE " : " LIKE ";
        return Wrap("(", a, op + p + ")");
    }
    case 5: { // IS [NOT] NULL
        const TKind k = AnyKind(scopes);
        return Wrap("(", Expr(scopes, k, Pick(2)), Chance(50) ? " IS NULL)" : " IS NOT NULL)");
    }
    case 6: return Wrap("NOT (", Predicate(scopes, depth - 1), ")");
    case 7: return Join(Predicate(scopes, depth - 1), "AND", Predicate(scopes, depth - 1));
    case 8: return Join(Predicate(scopes, depth - 1), "OR", Predicate(scopes, depth - 1));
    default: return Subquery(scopes, depth - 1);
    }
}

TText TSqlFuzzGen::Subquery(const std::vector<TScope>& scopes, int depth) {
    ++FSubDepth;
    const TTable& inner = FTables[Pick(int(FTables.size()))];
    const std::string alias = "s" + std::to_string(++FAliasCount);
    std::vector<TScope> all = scopes;
    all.push_back({&inner, alias});
    const std::string from = " FROM " + inner.Name + " " + alias;
    // The inner WHERE: often tied to the outer row by an equality, then anything.
    TText where;
    if (Chance(50)) {
        const TKind k = Chance(70) ? TKind::Int : TKind::Str;
        TText in = Column({all.back()}, k), out = Column(scopes, k);
        if (!in.Ours.empty() && !out.Ours.empty()) where = Join(in, "=", out);
    }
    if (Chance(60)) {
        const TText p = Predicate(all, depth);
        where = where.Ours.empty() ? p : Join(where, "AND", p);
    }
    const TText w = where.Ours.empty() ? TText{} : Wrap(" WHERE ", where, "");
    TText result;
    switch (Pick(4)) {
    case 0: // [NOT] EXISTS
        result = Wrap(Chance(30) ? "NOT EXISTS (SELECT *" + from : "EXISTS (SELECT *" + from, w, ")");
        break;
    case 1: { // [NOT] IN
        TKind k = Chance(60) ? TKind::Int : TKind::Str;
        if (HasKind({all.back()}, TKind::Date) && Chance(20)) k = TKind::Date;
        const TText x = Expr(scopes, k, 1);
        const TText c = Column({all.back()}, k);
        const std::string op = Chance(30) ? " NOT IN (SELECT " : " IN (SELECT ";
        result = {"(" + x.Ours + op + c.Ours + from + w.Ours + "))",
                  "(" + x.Lite + op + c.Lite + from + w.Lite + "))"};
        break;
    }
    case 2: { // a comparison with an aggregate
        static const char* const ops[] = {"=", "<>", "<", "<=", ">", ">="};
        const std::string op = ops[Pick(6)];
        const TText x = NumExpr(scopes, 1);
        const TKind k = HasKind({all.back()}, TKind::Float) && Chance(40) ? TKind::Float : TKind::Int;
        const TText c = Column({all.back()}, k);
        TText agg;
        switch (Pick(5)) {
        case 0: agg = {"COUNT(*)", "COUNT(*)"}; break;
        case 1: agg = Wrap("COUNT(", c, ")"); break;
        case 2: agg = {"SUM(" + c.Ours + ")", "COALESCE(SUM(" + c.Lite + "), 0)"}; break;
        case 3: agg = {"MIN(" + c.Ours + ")", "COALESCE(MIN(" + c.Lite + "), 0)"}; break;
        default: agg = {"MAX(" + c.Ours + ")", "COALESCE(MAX(" + c.Lite + "), 0)"}; break;
        }
        result = {"(" + x.Ours + " " + op + " (SELECT " + agg.Ours + from + w.Ours + "))",
                  "(" + x.Lite + " " + op + " (SELECT " + agg.Lite + from + w.Lite + "))"};
        break;
    }
    default: { // ANY or ALL; SQLite's spelling keeps the unknown outcome
        static const char* const ops[] = {"=", "<>", "<", "<=", ">", ">="};
        const std::string op = ops[Pick(6)];
        const TKind k = Chance(70) ? TKind::Int : TKind::Str;
        const TText x = Expr(scopes, k, 1);
        const TText c = Column({all.back()}, k);
        const bool any = Chance(50);
        const std::string cmp = "(" + x.Lite + " " + op + " " + c.Lite + ")";
        const std::string lw = where.Lite.empty() ? " WHERE " : " WHERE " + where.Lite + " AND ";
        const std::string ex = "EXISTS (SELECT 1" + from + lw;
        const std::string lite =
            any ? "(CASE WHEN " + ex + cmp + ") THEN 1 WHEN " + ex + cmp + " IS NULL) THEN NULL ELSE 0 END)"
                : "(CASE WHEN " + ex + "NOT " + cmp + ") THEN 0 WHEN " + ex + cmp +
                      " IS NULL) THEN NULL ELSE 1 END)";
        result = {"(" + x.Ours + " " + op + (any ? " ANY" : " ALL") + " (SELECT " + c.Ours + from +
                      w.Ours + "))",
                  lite};
        break;
    }
    }
    --FSubDepth;
    return result;
}

TText TSqlFuzzGen::From(std::vector<TScope>& scopes) {
    const int n = Chance(40) ? 1 : Chance(75) ? 2 : 3;
    TText text;
    const bool subqueries = FSubqueries;
    FSubqueries = false; // none in ON
    // ON reads only the tables joined since the last comma (a comma binds loosest).
    size_t onStart = 0;
    for (int i = 0; i < n; ++i) {
        const TTable& t = FTables[Pick(int(FTables.size()))];
        const std::string alias = std::string(1, char('a' + i));
        scopes.push_back({&t, alias});
        const std::string item = t.Name + " " + alias;
        if (i == 0) {
            text = {item, item};
            continue;
        }
        // A third table joins by an equality only: three tables of 60 rows crossed are slow.
        // A comma only before the last table: SQLite joins "a, b LEFT JOIN c" as "(a, b) LEFT
        // JOIN c", standard SQL (and this engine) as "a, (b LEFT JOIN c)".
        int how = i == 2 ? 2 + Pick(5) : Pick(7);
        if (how == 1 && i != n - 1) how = 2;
        if (how == 0) {
            text = {text.Ours + " CROSS JOIN " + item, text.Lite + " CROSS JOIN " + item};
            continue;
        }
        if (how == 1) {
            onStart = scopes.size() - 1;
            text = {text.Ours + ", " + item, text.Lite + ", " + item};
            continue;
        }
        static const char* const joins[] = {" JOIN ", " LEFT JOIN ", " RIGHT JOIN ", " FULL JOIN "};
        const std::string join = joins[Pick(4)];
        // ON: an equality of the new table's column with an earlier one, with more at times.
        const TKind k = Chance(70) ? TKind::Int : TKind::Str;
        const std::vector<TScope> visible(scopes.begin() + long(onStart), scopes.end());
        TText on = Join(Column({scopes.back()}, k),
                        "=", Column(std::vector<TScope>(visible.begin(), visible.end() - 1), k));
        if (Chance(25) && i == 1) on = Predicate(visible, 1);
        else if (Chance(30)) on = Join(on, Chance(70) ? "AND" : "OR", Predicate(visible, 1));
        text = {text.Ours + join + item + " ON " + on.Ours, text.Lite + join + item + " ON " + on.Lite};
    }
    FSubqueries = subqueries;
    return text;
}

TStatement TSqlFuzzGen::PlainSelect() {
    std::vector<TScope> scopes;
    FConcat = true;
    FSubqueries = true;
    const TText from = From(scopes);
    TText items;
    int count = 0;
    if (Chance(10)) {
        items = {"*", "*"};
        for (const TScope& s : scopes) count += int(s.Table->Columns.size());
    } else {
        count = 1 + Pick(4);
        for (int i = 0; i < count; ++i) {
            TText e = Expr(scopes, AnyKind(scopes), Pick(3));
            if (Chance(8)) { // a condition's truth value (no subquery: refused in the list)
                FSubqueries = false;
                e = Wrap("(", Predicate(scopes, 1), ")");
                FSubqueries = true;
            }
            items = {items.Ours + (i ? ", " : "") + e.Ours, items.Lite + (i ? ", " : "") + e.Lite};
        }
    }
    const bool distinct = Chance(20);
    const std::string head = distinct ? "SELECT DISTINCT " : "SELECT ";
    TText where;
    if (Chance(60)) where = Predicate(scopes, 2);
    const TText p = Predicate(scopes, 2);
    TStatement s;
    const TText w = where.Ours.empty() ? TText{} : Wrap(" WHERE ", where, "");
    s.Sql = {head + items.Ours + " FROM " + from.Ours + w.Ours, head + items.Lite + " FROM " + from.Lite + w.Lite};
    if (Chance(25)) {
        std::string order = " ORDER BY ";
        std::vector<int> cols;
        for (int i = 1; i <= count; ++i) cols.push_back(i);
        std::shuffle(cols.begin(), cols.end(), FRng);
        for (size_t i = 0; i < cols.size(); ++i)
            order += (i ? ", " : "") + std::to_string(cols[i]) + (Chance(40) ? " DESC" : "");
        s.Sql.Ours += order;
        s.Sql.Lite += order;
        s.Kind = TStatementKind::Ordered;
        return s;
    }
    if (!distinct) {
        const std::string base = "SELECT " + items.Ours + " FROM " + from.Ours;
        const std::string pre = where.Ours.empty() ? " WHERE " : " WHERE " + where.Ours + " AND ";
        s.Whole = base + w.Ours;
        s.Partitions = {base + pre + p.Ours, base + pre + "NOT (" + p.Ours + ")",
                        base + pre + "(" + p.Ours + ") IS NULL"};
    }
    s.Count = {"SELECT COUNT(*) FROM " + from.Ours + " WHERE " + p.Ours,
               "SELECT COALESCE(SUM(CASE WHEN " + p.Lite + " THEN 1 ELSE 0 END), 0) FROM " + from.Lite};
    return s;
}

TText TSqlFuzzGen::Aggregate(const std::vector<TScope>& scopes) {
    const TColumn* col = nullptr;
    switch (Pick(6)) {
    case 0: return {"COUNT(*)", "COUNT(*)"};
    case 1: {
        const TText c = Column(scopes, AnyKind(scopes));
        return Chance(30) ? Wrap("COUNT(DISTINCT ", c, ")") : Wrap("COUNT(", c, ")");
    }
    case 2: {
        const TText e = Chance(60) ? Column(scopes, TKind::Int) : NumExpr(scopes, 1);
        const std::string d = Chance(20) ? "DISTINCT " : "";
        return {"SUM(" + d + e.Ours + ")", "COALESCE(SUM(" + d + e.Lite + "), 0)"};
    }
    case 3:
    case 4: {
        const std::string f = Chance(50) ? "MIN(" : "MAX(";
        const TText e = Chance(70) ? Column(scopes, TKind::Int) : NumExpr(scopes, 1);
        return {f + e.Ours + ")", "COALESCE(" + f + e.Lite + "), 0)"};
    }
    default: {
        TText c = HasKind(scopes, TKind::Float) ? Column(scopes, TKind::Float, &col) : TText{};
        if (c.Ours.empty()) return {"COUNT(*)", "COUNT(*)"};
        return {"AVG(" + c.Ours + ")", "COALESCE(AVG(" + c.Lite + "), 0)"};
    }
    }
}

TStatement TSqlFuzzGen::GroupedSelect() {
    std::vector<TScope> scopes;
    FConcat = true;
    FSubqueries = true;
    const TText from = From(scopes);
    const int groups = Pick(3);
    TText items, groupBy;
    for (int i = 0; i < groups; ++i) {
        const TText c = Column(scopes, AnyKind(scopes));
        items = {items.Ours + (i ? ", " : "") + c.Ours, items.Lite + (i ? ", " : "") + c.Lite};
        groupBy = {groupBy.Ours + (i ? ", " : "") + c.Ours, groupBy.Lite + (i ? ", " : "") + c.Lite};
    }
    std::vector<TText> aggs;
    const int n = 1 + Pick(3);
    for (int i = 0; i < n; ++i) {
        aggs.push_back(Aggregate(scopes));
        items = {items.Ours + (items.Ours.empty() ? "" : ", ") + aggs.back().Ours,
                 items.Lite + (items.Lite.empty() ? "" : ", ") + aggs.back().Lite};
    }
    TStatement s;
    std::string ours = "SELECT " + items.Ours + " FROM " + from.Ours;
    std::string lite = "SELECT " + items.Lite + " FROM " + from.Lite;
    if (Chance(50)) {
        const TText w = Predicate(scopes, 2);
        ours += " WHERE " + w.Ours;
        lite += " WHERE " + w.Lite;
    }
    if (groups) {
        ours += " GROUP BY " + groupBy.Ours;
        lite += " GROUP BY " + groupBy.Lite;
        if (Chance(40)) {
            static const char* const ops[] = {"=", "<>", "<", "<=", ">", ">="};
            TText h;
            const int terms = 1 + Pick(2);
            for (int i = 0; i < terms; ++i) {
                const TText& a = aggs[Pick(int(aggs.size()))];
                const TText t = Join(a, ops[Pick(6)], Literal(TKind::Int));
                h = h.Ours.empty() ? t : Join(h, Chance(50) ? "AND" : "OR", t);
            }
            ours += " HAVING " + h.Ours;
            lite += " HAVING " + h.Lite;
        }
    }
    s.Sql = {ours, lite};
    return s;
}

TStatement TSqlFuzzGen::UnionSelect() {
    // Members of one table each with columns of the same kinds, integers and strings (which
    // every table has).
    const int width = 1 + Pick(2);
    std::vector<TKind> kinds;
    for (int i = 0; i < width; ++i) kinds.push_back(Chance(50) ? TKind::Int : TKind::Str);
    TStatement s;
    const int members = 2 + (Chance(25) ? 1 : 0);
    FConcat = false;
    FSubqueries = true;
    for (int m = 0; m < members; ++m) {
        const TTable& t = FTables[Pick(int(FTables.size()))];
        std::vector<TScope> scopes = {{&t, "a"}};
        TText items;
        for (int i = 0; i < width; ++i) {
            const TText c = Column(scopes, kinds[i]);
            items = {items.Ours + (i ? ", " : "") + c.Ours, items.Lite + (i ? ", " : "") + c.Lite};
        }
        TText member = {"SELECT " + items.Ours + " FROM " + t.Name + " a",
                        "SELECT " + items.Lite + " FROM " + t.Name + " a"};
        if (Chance(50)) {
            const TText p = Predicate(scopes, 1);
            member = {member.Ours + " WHERE " + p.Ours, member.Lite + " WHERE " + p.Lite};
        }
        if (m) {
            const std::string u = Chance(50) ? " UNION ALL " : " UNION ";
            s.Sql = {s.Sql.Ours + u + member.Ours, s.Sql.Lite + u + member.Lite};
        } else {
            s.Sql = member;
        }
    }
    if (Chance(40)) {
        std::string order = " ORDER BY ";
        for (int i = 1; i <= width; ++i) order += (i > 1 ? ", " : "") + std::to_string(i) + (Chance(40) ? " DESC" : "");
        s.Sql = {s.Sql.Ours + order, s.Sql.Lite + order};
        s.Kind = TStatementKind::Ordered;
    }
    return s;
}

TStatement TSqlFuzzGen::Dml() {
    TStatement s;
    s.Kind = TStatementKind::Dml;
    const TTable& t = FTables[Pick(int(FTables.size()))];
    s.Target = t.Name;
    std::vector<TScope> scopes = {{&t, t.Name}};
    FConcat = false;
    FSubqueries = true;
    auto where = [&] {
        if (Chance(25)) return TText{};
        return Wrap(" WHERE ", Predicate(scopes, 2), "");
    };
    switch (Pick(3)) {
    case 0: {
        const TText w = where();
        s.Sql = {"DELETE FROM " + t.Name + w.Ours, "DELETE FROM " + t.Name + w.Lite};
        break;
    }
    case 1: {
        TText sets;
        const int n = 1 + Pick(2);
        for (int i = 0; i < n; ++i) {
            const TColumn& c = t.Columns[1 + Pick(int(t.Columns.size()) - 1)];
            TText v;
            if (c.Kind == TKind::Int) {
                // Integral values only: an integer column keeps what SQLite keeps.
                const TText a = Column(scopes, TKind::Int), b = Literal(TKind::Int);
                v = Chance(30) ? b : Join(a, Chance(50) ? "+" : "*", b);
            } else if (c.Kind == TKind::Float) {
                v = NumExpr(scopes, 2);
            } else {
                v = Chance(20) ? TText{"NULL", "NULL"} : Expr(scopes, c.Kind, 1);
            }
            if (sets.Ours.find(" " + c.Name + " =") != std::string::npos) break;
            sets = {sets.Ours + (i ? ", " : " ") + c.Name + " = " + v.Ours,
                    sets.Lite + (i ? ", " : " ") + c.Name + " = " + v.Lite};
        }
        const TText w = where();
        s.Sql = {"UPDATE " + t.Name + " SET" + sets.Ours + w.Ours, "UPDATE " + t.Name + " SET" + sets.Lite + w.Lite};
        break;
    }
    default: {
        // INSERT ... SELECT from a table (the target too) of rows with new ids.
        const TTable& u = FTables[Pick(int(FTables.size()))];
        std::vector<TScope> from = {{&u, "x"}};
        std::string cols = "id", ours = "(x.id + 1000)", lite = "(x.id + 1000)";
        for (size_t i = 1; i < t.Columns.size(); ++i) {
            if (Chance(30)) continue;
            const TColumn& c = t.Columns[i];
            TText v = Column(from, c.Kind);
            if (v.Ours.empty() || Chance(20)) v = Chance(30) ? TText{"NULL", "NULL"} : Literal(c.Kind);
            cols += ", " + c.Name;
            ours += ", " + v.Ours;
            lite += ", " + v.Lite;
        }
        TText w;
        if (Chance(60)) w = Wrap(" WHERE ", Predicate(from, 2), "");
        const std::string head = "INSERT INTO " + t.Name + " (" + cols + ") SELECT ";
        s.Sql = {head + ours + " FROM " + u.Name + " x" + w.Ours, head + lite + " FROM " + u.Name + " x" + w.Lite};
        break;
    }
    }
    return s;
}

TStatement TSqlFuzzGen::Statement() {
    FAliasCount = 0;
    FSubDepth = 0;
    const int k = Pick(100);
    if (k < 50) return PlainSelect();
    if (k < 72) return GroupedSelect();
    if (k < 85) return UnionSelect();
    return Dml();
}

} // namespace zan::fuzz
