#include <gtest/gtest.h>

#include <string>

#include "engine/sql/zanExprParser.h"
#include "host/rtl/StringList.h"
#include "zanExprTestKit.h"

using namespace zan;

namespace {

const TZanParserOptions kAll = ZanParserOptions(
    {zpoExtSyntax, zpoAggregate, zpoParameters, zpoSubqueries, zpoExtractAggFuncExprText});
const TZanParserOptions kWhere = ZanParserOptions({zpoExtSyntax, zpoParameters, zpoSubqueries});
const TZanParserOptions kFilter = ZanParserOptions({zpoExtSyntax});
const TZanParserOptions kNone;

struct ParseCase {
    const char* text;
    TZanParserOptions options;
    // The compact tree, or the error text with its position (" Character n. Token 'x'").
    const char* expected;
};

std::string Outcome(const std::string& text, const TZanParserOptions& options,
                    TTableList* tables) {
    TExprParse p;
    if (!p.Run(text, options, tables)) return "error: " + p.Error();
    return CompactTree(p.Root());
}

} // namespace

TEST(ExprParser, GoldenTreesAndErrors) {
    TExprCatalogue cat;
    const ParseCase cases[] = {
        // Precedence: OR < AND < NOT < predicate < + - || < * /; binary levels left-associative.
        {"a = 1 OR b = 2 AND NOT s = 'x'", kWhere,
         "(OR (EQ a 1) (AND (EQ b 2) (NOT (EQ s 'x')))) :Boolean"},
        {"a + b * 2 - f / 4 > 0", kWhere,
         "(GT (SUB (ADD a (MUL b 2)) (DIV f 4)) 0) :Boolean"},
        {"(a = 1 OR a = 2) AND b = 3", kWhere, "(AND (OR (EQ a 1) (EQ a 2)) (EQ b 3)) :Boolean"},
        {"a-1 = b", kWhere, "(EQ b (SUB a 1)) :Boolean"},
        {"s || 'x' = 'ab'", kWhere, "(EQ (ADD s 'x') 'ab') :Boolean"},
        {"a + b", kWhere, "(ADD a b) :Float"},
        {"s + s", kWhere, "(ADD s s) :String"},
        {"d + 1", kWhere, "(ADD d 1) :DateTime"},
        {"d - 1", kWhere, "(SUB d 1) :Date"},
        {"dt - d", kWhere, "(SUB dt d) :Float"},
        {"'2024-01-02' - d", kWhere, "(SUB #2024-01-02# d) :Float"},
        // Mirror swap: a field is always on the left of a field-to-value comparison.
        {"1 < a", kWhere, "(GT a 1) :Boolean"},
        {"2 >= a", kWhere, "(LE a 2) :Boolean"},
        {"3 <> a", kWhere, "(NE a 3) :Boolean"},
        {"a = b", kWhere, "(EQ a b) :Boolean"},
        // Constants take the field's type; fractions stay for integer fields.
        {"a = 2.0", kWhere, "(EQ a 2) :Boolean"},
        {"a > 1.5", kWhere, "(GT a 1.5) :Boolean"},
        {"a = '7'", kWhere, "(EQ a 7) :Boolean"},
        {"s = 5", kWhere, "(EQ s '5') :Boolean"},
        {"d = '2024-02-29'", kWhere, "(EQ d #2024-02-29#) :Boolean"},
        {"d = ''", kWhere, "(EQ d NULL) :Boolean"},
        {"bo = 'true'", kWhere, "(EQ bo True) :Boolean"},
        {"a = 'abc'", kWhere, "error: Expression data types do not match Character 5. Token 'abc'"},
        {"bo = 'maybe'", kWhere,
         "error: Expression data types do not match Character 6. Token 'maybe'"},
        {"d = '2024-13-01'", kWhere,
         "error: Value 2024-13-01 was not of the expected format yyyy-mmm-dd Character 5. Token "
         "'2024-13-01'"},
        {"tm = '25:00'", kWhere,
         "error: Value 25:00 was not of the expected format hh:nn:ss Character 6. Token '25:00'"},
        {"a = 1.2.3", kWhere, "error: Invalid token Character 5. Token '1.2.3'"},
        // NULL literal and IS NULL.
        {"a = NULL", kWhere, "error: Expression data types do not match Character 5. Token 'NULL'"},
        {"a IS NULL", kWhere, "(ISBLANK a) :Boolean"},
        {"(a + 1) IS NOT NULL", kWhere, "(NOTBLANK (ADD a 1)) :Boolean"},
        {"m IS NULL", kWhere, "(ISBLANK m) :Boolean"},
        {"m = 'x'", kWhere, "error: Expression data types do not match Character 3. Token '='"},
        {"m LIKE 'x%'", kWhere, "(LIKE m 'x%') :Boolean"},
        // LIKE with ESCAPE (the LIKE node's argument), NOT LIKE.
        {"s LIKE 'a!%%' ESCAPE '!'", kWhere, "(LIKE s 'a!%%' ['!']) :Boolean"},
        {"s NOT LIKE 'a%'", kWhere, "(LIKE! s 'a%') :Boolean"},
        {"s LIKE 'a' ESCAPE '!!'", kWhere, "error: Invalid token Character 19. Token '!!'"},
        {"s LIKE 'a' ESCAPE s", kWhere, "error: Invalid token Character 19. Token 's'"},
        {"s LIKE 5", kWhere,
         "error: Character value expression return type is invalid Character 8. Token '5'"},
        // IN lists and their errors.
        {"a IN (1, 2, NULL)", kWhere, "(IN a [1 2 NULL]) :Boolean"},
        {"a NOT IN (1)", kWhere, "(IN! a [1]) :Boolean"},
        {"d IN ('2024-01-01')", kWhere, "(IN d [#2024-01-01#]) :Boolean"},
        {"a IN ()", kWhere, "error: IN list is empty Character 7. Token ')'"},
        {"a IN (1 2)", kWhere, "error: Missing Right Parenthesis or comma Character 9. Token '2'"},
        {"a IN (1, 2", kWhere, "error: Missing Right Parenthesis Character 11. Token ''"},
        {"a IN 1", kWhere, "error: Missing Left Parenthesis Character 6. Token '1'"},
        // BETWEEN expands into two comparisons.
        {"a BETWEEN 1 AND 5", kWhere, "(AND (GE a 1) (LE a 5)) :Boolean"},
        {"a NOT BETWEEN 1 AND 5", kWhere, "(OR (LT a 1) (GT a 5)) :Boolean"},
        {"d BETWEEN '2024-01-01' AND '2024-12-31'", kWhere,
         "(AND (GE d #2024-01-01#) (LE d #2024-12-31#)) :Boolean"},
        {"a BETWEEN 1 OR 5", kWhere,
         "error: missing AND operator in between predicate Character 13. Token 'OR'"},
        // Arithmetic typing.
        {"a + s > 1", kWhere, "error: Expression data types do not match Character 3. Token '+'"},
        {"s - s", kWhere, "error: Expression data types do not match Character 3. Token '-'"},
        {"bo + 1", kWhere, "error: Expression data types do not match Character 4. Token '+'"},
        {"a + 1 > 0", kNone, "error: Arithmetic operators not supported Character 3. Token '+'"},
        // Field resolution: qualified by name or alias, unqualified = last table with the name.
        {"t.a = uu.a", kWhere, "(EQ t.a uu.a) :Boolean"},
        {"x = 'q'", kWhere, "(EQ x 'q') :Boolean"},
        {"zz = 1", kWhere, "error: Field not found Character 1. Token 'zz'"},
        {"t.zz = 1", kWhere, "error: Field not found Character 3. Token 'zz'"},
        {"v.a = 1", kWhere, "error: Table and/or field not found (v.a) Character 3. Token 'a'"},
        // Termination.
        {"a = 1 b", kWhere, "error: Invalid token Character 7. Token 'b'"},
        {"a = 1)", kWhere, "error: Expression incorrectly terminated Character 6. Token ')'"},
        {"a =", kWhere, "error: Expression incorrectly terminated Character 4. Token ''"},
        {"(a = 1", kWhere, "error: Missing Right Parenthesis Character 7. Token ''"},
        {"a = 1 = 2", kWhere, "error: Expression incorrectly terminated Character 7. Token '='"},
        {"a =< 1", kWhere, "error: Expression incorrectly terminated Character 3. Token '=<'"},
        {"NOT NOT a = 1", kWhere, "error: Invalid token Character 5. Token 'NOT'"},
        {"CASE WHEN a = 1 THEN 2 END", kWhere, "error: Invalid token Character 1. Token 'CASE'"},
        {"NULLIF(a, 1) = 1", kWhere, "error: Invalid token Character 1. Token 'NULLIF'"},
        {"COALESCE(a, 1) = 1", kWhere, "error: Invalid token Character 1. Token 'COALESCE'"},
        // Parameters.
        {"a = :p", kWhere, "(EQ a :p) :Boolean"},
        {"a = :p", kFilter, "error: Parameters are not supported Character 5. Token ':'"},
        {"a = : 1", kWhere, "error: Parameter name expected but none found Character 7. Token '1'"},
        // Aggregates: gated by zpoAggregate (not in WHERE or filters); COUNT(*) has no argument.
        {"SUM(a) > 1", kAll, "(GT (AggFunc.3 [a]) 1) :Boolean"},
        {"COUNT(*) > 1", kAll, "(GT (AggFunc.1) 1) :Boolean"},
        {"COUNT(ALL a) > 1", kAll, "(GT (AggFunc.1 [a]) 1) :Boolean"},
        {"SUM(a) > 1", kWhere, "error: Scope is invalid Character 1. Token 'SUM'"},
        {"SUM(a) > 1", kNone, "error: Invalid token Character 1. Token 'SUM'"},
        {"SUM(*) > 1", kAll, "error: Invalid token Character 5. Token '*'"},
        {"SUM() > 1", kAll, "error: Expression is empty Character 5. Token ')'"},
        {"SUM(a) + b > 1", kAll, "error: Scope is invalid Character 8. Token '+'"},
        {"NOT SUM(a) > 1", kAll, "(NOT (GT (AggFunc.3 [a]) 1)) :Boolean"},
        {"SUM(SUM(a)) > 1", kAll, "error: Scope is invalid Character 5. Token 'SUM'"},
        {"SUM(a > 1", kAll, "error: Missing Right Parenthesis Character 7. Token '>'"},
        // String functions.
        {"UPPER(s) = 'A'", kWhere, "(EQ (StrFunc.2 [s]) 'A') :Boolean"},
        {"LOWER(s || 'x')", kWhere, "(StrFunc.3 [(ADD s 'x')]) :String"},
        {"TRIM(s)", kWhere, "(StrFunc.7 [s]) :String"},
        {"TRIM(LEADING 'x' FROM s)", kWhere, "(StrFunc.5 [s 'x']) :String"},
        {"TRIM(TRAILING FROM s)", kWhere, "(StrFunc.6 [s]) :String"},
        {"SUBSTRING(s FROM 2 FOR 3)", kWhere, "(StrFunc.1 [s 2 3]) :String"},
        {"SUBSTRING(s, 2)", kWhere, "(StrFunc.1 [s 2]) :String"},
        {"SUBSTRING(s 2)", kWhere,
         "error: Missing FROM or COMMA token in SUBSTRING function Character 13. Token '2'"},
        {"SUBSTRING(s FROM 'x')", kWhere,
         "error: Expression data types do not match Character 18. Token 'x'"},
        {"UPPER(a)", kWhere,
         "error: Character value expression return type is invalid Character 7. Token 'a'"},
        {"UPPER s", kWhere, "error: Missing Left Parenthesis Character 7. Token 's'"},
        {"UPPER(s", kWhere, "error: Missing Right Parenthesis Character 8. Token ''"},
        {"UPPER(s)", kNone, "error: Invalid token Character 1. Token 'UPPER'"},
        // CAST and EXTRACT.
        {"CAST(a AS VARCHAR(4))", kWhere, "(Cast a) :String"},
        {"CAST a AS DATE", kWhere, "(Cast a) :Date"},
        {"CAST(a VARCHAR(4))", kWhere,
         "error: Missing AS operator in Cast expression Character 8. Token 'VARCHAR'"},
        {"CAST(bo AS FLOAT)", kWhere,
         "error: Cannot convert type ftBoolean -> ftFloat Character 1. Token 'CAST'"},
        {"CAST(a AS WIDGET)", kWhere, "error: Unknown Datatype Character 11. Token 'WIDGET'"},
        {"EXTRACT(YEAR FROM d)", kWhere, "(Extract.83 d) :Integer"},
        {"EXTRACT(SECOND FROM dt)", kWhere, "(Extract.88 dt) :Float"},
        {"EXTRACT(WEEK FROM d)", kWhere,
         "error: Invalid extract field in EXTRACT expression Character 9. Token 'WEEK'"},
        {"EXTRACT(YEAR d)", kWhere,
         "error: Missing FROM operator in Extract expression Character 14. Token 'd'"},
        // CURRENT_* carry no value; the evaluator gives them the execution's instant.
        {"d < CURRENT_DATE", kWhere, "(LT d CURRENT_DATE) :Boolean"},
        // Subqueries need the option (and an engine that parses them).
        {"a IN (SELECT a FROM u)", kFilter,
         "error: Subqueries are not supported Character 7. Token 'SELECT'"},
        {"EXISTS (SELECT a FROM u)", kFilter,
         "error: Subqueries are not supported Character 1. Token 'EXISTS'"},
        {"a = ANY a", kWhere, "error: Missing Left Parenthesis Character 9. Token 'a'"},
        {"EXISTS (a)", kWhere, "error: Missing select token Character 9. Token 'a'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Outcome(c.text, c.options, &cat.Tables), c.expected) << c.text;
}

TEST(ExprParser, NodesRecordTypesSizesScopesAndTables) {
    TExprCatalogue cat;
    TExprParse p;
    ASSERT_TRUE(p.Run("s = 'abc' AND uu.x = 'q' AND a IN (1) AND CAST(a AS VARCHAR(4)) = 'x'",
                      kWhere, &cat.Tables))
        << p.Error();
    int fields = 0;
    for (const TZanExprNode* n = p.Parser.GetExpr()->GetFirstNode(); n; n = n->Next) {
        if (n->Kind == enkField) {
            ++fields;
            ASSERT_EQ(n->TableList.Count(), 1) << VarToStr(n->Data);
            EXPECT_EQ(n->ScopeKind, zskField);
            const std::string table = n->TableList.Items(0)->GetTableName();
            // Unqualified: the last table holding the name (u holds a and x).
            EXPECT_EQ(table, VarToStr(n->Data) == "s" ? "t" : "u");
        }
        if (n->Kind == enkConst && VarToStr(n->Data) == "abc") {
            EXPECT_EQ(n->DataSize, 10);
        }
        if (n->Kind == enkConst && VarToStr(n->Data) == "q") {
            EXPECT_EQ(n->DataSize, 5);
        }
        if (n->Kind == enkFunc) {
            // Four characters of up to four bytes each.
            EXPECT_EQ(n->CastLength, 4);
            EXPECT_EQ(n->DataSize, 16);
        }
        if (n->Kind == enkConst) {
            EXPECT_EQ(n->ScopeKind, zskConst);
        }
    }
    EXPECT_EQ(fields, 4);
    EXPECT_EQ(p.Root(), p.Parser.GetExpr()->GetFirstNode());
    EXPECT_EQ(p.Root()->ScopeKind, zskField);

    // Declared sizes add up for "||" and "+", saturating at the largest size.
    for (const auto& [text, size] : std::initializer_list<std::pair<const char*, int32_t>>{
             {"s || CAST(a AS VARCHAR(4)) || 'xy'", 28},
             {"CAST(s AS VARCHAR(100)) || 'x'", 257},
             {"CAST(s AS VARCHAR(2147483647)) || CAST(s AS VARCHAR(2147483647))", INT32_MAX},
             {"CAST(s AS VARCHAR(2147483647)) + s", INT32_MAX}}) {
        TExprParse sum;
        ASSERT_TRUE(sum.Run(text, kWhere, &cat.Tables)) << text << ": " << sum.Error();
        EXPECT_EQ(sum.Root()->DataSize, size) << text;
    }

    // With fields validated, EXTRACT checks its source's type.
    TExprParse v;
    v.Parser.SetValidateFields(true);
    EXPECT_FALSE(v.Run("EXTRACT(HOUR FROM d) = 1", kWhere, &cat.Tables));
    EXPECT_EQ(v.Error(), "Extract value expression result type is invalid for extract field "
                         "Character 19. Token 'd'");
    TExprParse w;
    w.Parser.SetValidateFields(true);
    EXPECT_TRUE(w.Run("EXTRACT(HOUR FROM dt) = 1 AND EXTRACT(YEAR FROM d) = 2", kWhere,
                      &cat.Tables))
        << w.Error();

    // An untyped name without a table list, and a field of an unknown layout.
    EXPECT_EQ(Outcome("q = 1", kWhere, nullptr), "(EQ q 1) :Boolean");
    TTableList empty;
    empty.Add()->SetTableName("t");
    EXPECT_EQ(Outcome("q = 1", kWhere, &empty), "(EQ q 1) :Boolean");
}

TEST(ExprParser, DisplayDumpAndAggregateText) {
    TExprCatalogue cat;
    TExprParse p;
    ASSERT_TRUE(p.Run("SUM( a ) > 1", kAll, &cat.Tables));
    TStringList lines;
    p.Parser.GetExpr()->Display(lines);
    ASSERT_EQ(lines.Count(), 6);
    EXPECT_EQ(lines[0], " enkFunc zeoFUNC2 zstAggFunc 'SUM( a )' ftInteger 4");
    EXPECT_EQ(lines[1], " Start Args");
    EXPECT_EQ(lines[2], "  enField zeoFIELD2 zstFieldName 'a' ftInteger 4");
    EXPECT_EQ(lines[3], " End Args");
    EXPECT_EQ(lines[4], "enkRelOperator zeoGT zstCompOperator '>' ftBoolean -1");
    EXPECT_EQ(lines[5], " enConst zeoCONST2 zstNumber '1' ftFloat 0");
}

TEST(ExprParser, OuterReferencesAndSubqueriesThroughTheNotifyEvent) {
    TExprCatalogue cat;
    TTableList inner;
    cat.U.AddToTableList(inner);
    TExprParse p;
    p.Parser.SetIsSubquery(true);
    int asked = 0;
    // Answers pntFindTableRef as the query layer does: the outer table t holds a and s.
    p.Parser.SetParserNotifyEvent([&](TParserNotifyType type, TBaseParser*, TParserStack*,
                                      TZanExprNode* node, Variant& value) {
        ASSERT_EQ(type, pntFindTableRef);
        ++asked;
        const std::string name = VarToStr(node->Data);
        const std::string table = VarToStr(value);
        value = Variant(false);
        if ((table.empty() || table == "t") && cat.Tables.Items(0)->GetTableFields().FindField(name)) {
            node->TableList.Add()->Assign(*cat.Tables.Items(0));
            value = Variant(true);
        }
    });
    ASSERT_TRUE(p.Run("x = s AND a = t.a AND t.f > 1", kWhere, &inner)) << p.Error();
    EXPECT_EQ(CompactTree(p.Root()),
              "(AND (AND (EQ x outer:s) (EQ a outer:a)) (GT outer:f 1)) :Boolean");
    EXPECT_EQ(asked, 3);
    TExprParse q;
    q.Parser.SetIsSubquery(true);
    q.Parser.SetParserNotifyEvent(p.Parser.GetParserNotifyEvent());
    EXPECT_FALSE(q.Run("t.zz = 1", kWhere, &inner));
    EXPECT_EQ(q.Error(), "Table and/or field not found (t.zz) Character 3. Token 'zz'");
}


TEST(ExprParser, SubqueryFormsAndNestingLimits) {
    TExprCatalogue cat;
    const auto run = [&](const std::string& text) {
        TExprParse p;
        p.Parser.SetParserNotifyEvent([](TParserNotifyType type, TBaseParser* parser,
                                         TParserStack* stack, TZanExprNode*, Variant&) {
            ASSERT_EQ(type, pntSubquery);
            TSubquerySkipper skip;
            skip.Skip(*parser, stack);
        });
        return p.Run(text, kWhere, &cat.Tables) ? CompactTree(p.Root()) : "error: " + p.Error();
    };
    EXPECT_EQ(run("a IN (SELECT a FROM u)"), "(IN a [(subquery 0)]) :Boolean");
    EXPECT_EQ(run("a = (SELECT a FROM u WHERE (a) = 1)"), "(EQ a (subquery 0)) :Boolean");
    EXPECT_EQ(run("a > ALL (SELECT a FROM u) AND EXISTS (SELECT a FROM u)"),
              "(AND (GT a (subquery 2)) (subquery 3)) :Boolean");
    EXPECT_EQ(run("a < SOME (SELECT a FROM u)"), "(LT a (subquery 1)) :Boolean");

    // 200 open parentheses parse; 201 are "Invalid token" at the parenthesis that passes it.
    const auto nested = [](int n) {
        return std::string(static_cast<size_t>(n), '(') + "a = 1" + std::string(static_cast<size_t>(n), ')');
    };
    EXPECT_EQ(run(nested(200)), "(EQ a 1) :Boolean");
    EXPECT_EQ(run(nested(201)), "error: Invalid token Character 201. Token '('");
    EXPECT_EQ(run(nested(10000)), "error: Invalid token Character 201. Token '('");
    // A tree deeper than 1,000 levels.
    std::string chain = "a";
    for (int i = 0; i < 1000; ++i)
        chain += " + 1";
    EXPECT_EQ(run(chain + " > 0").substr(0, 20), "error: Invalid token");
    chain = "a";
    for (int i = 0; i < 990; ++i)
        chain += " + 1";
    EXPECT_EQ(run(chain).substr(0, 5), "(ADD ");
}

TEST(ExprParser, ExternalExpressionsAndCloning) {
    TExprCatalogue cat;
    TZanPreParser pre;
    pre.SetText("a + 1 , b");
    pre.SetParseAsExprOnly(true);
    pre.PreParseTokens();
    TZanExprParser parser;
    parser.SetTableList(&cat.Tables);
    parser.SetValidEndTokens(ZanSQLTokens({zstComma, zstEnd}));
    TZanExpr value;
    ASSERT_TRUE(parser.ExecuteExternalValueExpr(&value, kWhere, pre.GetSection(zstWhere, nullptr)));
    EXPECT_EQ(value.GetParsedText(), "a + 1");
    EXPECT_EQ(CompactTree(value.GetRootNode()), "(ADD a 1) :Float");

    TExprParse p;
    ASSERT_TRUE(p.Run("a = 1", kWhere, &cat.Tables));
    TExprParse q;
    ASSERT_TRUE(q.Run("b = 2", kWhere, &cat.Tables));
    p.Parser.CloneFromExpr(*q.Parser.GetExpr(), false, zeoOR);
    EXPECT_EQ(CompactTree(p.Parser.GetRootNode()), "(OR (EQ a 1) (EQ b 2)) :Boolean");
    p.Parser.CloneFromExpr(*q.Parser.GetExpr(), true, zeoAND);
    EXPECT_EQ(CompactTree(p.Parser.GetRootNode()), "(EQ b 2) :Boolean");
    EXPECT_THROW(p.Parser.CloneFromExpr(*q.Parser.GetExpr(), false, zeoNOT), EZanDatabaseError);
}
