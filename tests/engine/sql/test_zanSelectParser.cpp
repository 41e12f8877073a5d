// Select-list parser and select analyser.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/sql/zanSelectParser.h"
#include "host/rtl/SysUtils.h"
#include "support/zanMemProvider.h"
#include "zanExprTestKit.h"

using namespace zan;

namespace {

// t(id AUTOINC, a INTEGER, name VARCHAR(10), m MEMO, g GRAPHIC) and u(a INTEGER, NAME VARCHAR(4)).
struct Select {
    TZanMemProvider T{"t"}, U{"u"};
    TTableList tables;
    TZanPreParser pre;
    TZanSelectParser parser;
    TZanSelectAnalyser analyser;
    bool parsed = false;
    bool analysed = false;
    explicit Select(const std::string& list) {
        T.AddField("id", ftAutoInc);
        T.AddField("a", ftInteger);
        T.AddField("name", ftString, 10);
        T.AddField("m", ftMemo);
        T.AddField("g", ftGraphic);
        U.AddField("a", ftInteger);
        U.AddField("NAME", ftString, 4);
        T.AddToTableList(tables);
        U.AddToTableList(tables, "uu");
        pre.SetText("SELECT " + list + " FROM t, u uu");
        pre.SetParseSingleStack(true);
        pre.PreParseTokens();
        parser.SetTableList(&tables);
        parsed = parser.Execute(ZanParserOptions({zpoExtSyntax}), pre.GetSection(zstSelect, nullptr));
        if (!parsed) return;
        analyser.SetIsDistinct(parser.GetIsDistinct());
        analysed = analyser.CheckSelect(parser.GetFirstNode(), &tables);
    }
    std::string Error() const {
        return parsed ? analyser.GetErrorText() : parser.GetErrorMsg();
    }
    // name:type[:source][:agg][:distinct] per column.
    std::string Columns() const {
        const TSelectFields& f = analyser.GetSelectFields();
        std::string out;
        for (int i = 0; i < f.Count(); ++i) {
            const TSelectFieldItem* c = f.Items(i);
            out += (i ? " " : "") + c->GetFieldName() + ":" + std::string(FieldTypeName(c->GetDataType()));
            if (c->SourceTableItem)
                out += ":" + c->SourceTableItem->GetTableName() + "." + c->SourceFieldName;
            if (c->HasAggregateFunction) out += ":agg" + std::to_string(c->AggFunc);
            if (c->DistinctQuantifier) out += ":distinct";
        }
        return out;
    }
};

} // namespace

TEST(SelectParser, ListsAndColumns) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"*", "id:ftInteger:t.id a:ftInteger:t.a name:ftString:t.name m:ftMemo:t.m "
              "g:ftGraphic:t.g a_1:ftInteger:u.a NAME_1:ftString:u.NAME"},
        {"uu.*, t.a", "a:ftInteger:u.a NAME:ftString:u.NAME t.a:ftInteger:t.a"},
        {"a + 1 AS x, name 'y', uu.a z", "x:ftFloat y:ftString:u.name z:ftInteger:u.a"},
        {"COUNT(*), SUM(DISTINCT a) s, MAX(name)",
         "COUNT(*):ftInteger:agg1 s:ftInteger:agg3:distinct MAX(name):ftString:agg4"},
        {"NULL", "NULL:ftInteger"},
        {"DISTINCT a, name", "a:ftInteger:u.a name:ftString:u.name"},
        {"*, a", "ERR Select clause incorrectly terminated Line 1, Character 9. Token ','"},
        {"a b c", "ERR Select clause incorrectly terminated Line 1, Character 12. Token 'c'"},
        {"nope", "ERR Field not found Line 1, Character 8. Token 'nope'"},
        {"a, :p", "ERR"},
        {"x.*", "ERR Table and/or field not found (x.*)"},
    };
    for (const auto& [list, expected] : cases) {
        Select s(list);
        const std::string got = s.analysed ? s.Columns() : "ERR " + s.Error();
        EXPECT_EQ(got.substr(0, expected.size()), expected) << list << "\n" << got;
    }
}

TEST(SelectAnalyser, DistinctLimits) {
    std::string cols = "a";
    for (int i = 1; i < 32; ++i) cols += ", a";
    EXPECT_TRUE(Select("DISTINCT " + cols).analysed);
    Select over("DISTINCT " + cols + ", a");
    EXPECT_EQ(over.Error(), "Result set colummn count exceeds DISTINCT query limit (32)");
    Select blobs("DISTINCT m, a, g, name");
    EXPECT_EQ(blobs.Error(), "The column is not a valid data type for DISTINCT queries - g");
    EXPECT_TRUE(Select("m, g").analysed);
}

TEST(SelectAnalyser, GroupHavingOrderChecks) {
    struct Case {
        std::string list, groupBy, having, orderBy, expected;
    };
    const std::vector<Case> cases = {
        {"name, COUNT(*)", "name", "COUNT(*) > 1", "2", ""},
        {"t.name, SUM(t.a)", "t.name", "SUM(t.a) > 1", "t.name DESC", ""},
        {"name, COUNT(*)", "", "", "", "Output column must be specified in Group By clause : name"},
        {"name, a", "name", "", "", "Output column must be specified in Group By clause : a"},
        {"name", "nope", "", "", "Group By column not found : nope"},
        {"name, COUNT(*)", "name", "MAX(a) > 1",
         "", "Fields specified in having clause must appear in the result set: MAX(a)"},
        {"name, COUNT(*)", "name", "a > 1",
         "", "Fields specified in having clause must appear in the result set: a"},
        {"name", "name", "", "2", "Order by column number is out of range : 2"},
        {"name", "name", "", "a", "Order by column not found (Order By columns must be in result set) : a"},
    };
    for (const auto& c : cases) {
        Select s(c.list);
        ASSERT_TRUE(s.analysed) << c.list;
        TGroupByItems groups;
        if (!c.groupBy.empty()) {
            TGroupByItem* g = groups.Add();
            const size_t dot = c.groupBy.find('.');
            g->TableName = dot == std::string::npos ? "" : c.groupBy.substr(0, dot);
            g->FieldName = dot == std::string::npos ? c.groupBy : c.groupBy.substr(dot + 1);
        }
        bool ok = s.analyser.CheckGroupedColumns(&groups);
        TExprParse having;
        if (ok && !c.having.empty()) {
            ASSERT_TRUE(having.Run(c.having,
                                   ZanParserOptions({zpoExtSyntax, zpoExtractAggFuncExprText,
                                                     zpoAggregate}),
                                   &s.tables))
                << having.Error();
            ok = s.analyser.CheckHavingExpr(having.Parser.GetExpr());
        }
        TOrderByItems order;
        if (ok && !c.orderBy.empty()) {
            const bool desc = c.orderBy.find(" DESC") != std::string::npos;
            const std::string key = c.orderBy.substr(0, c.orderBy.find(' '));
            if (key[0] >= '0' && key[0] <= '9')
                order.AddOrderByItem(std::stoi(key), "", desc);
            else
                order.AddOrderByItem(0, key, desc);
            ok = s.analyser.CheckOrderByColumns(&order);
        }
        EXPECT_EQ(s.analyser.GetErrorText(), c.expected) << c.list;
        EXPECT_EQ(ok, c.expected.empty());
        if (ok && !c.having.empty()) {
            // Matched aggregates now read their output columns.
            const TZanExprNode* agg = having.Parser.GetExpr()->FindNodeWithToken(zstAggFunc);
            EXPECT_EQ(agg, nullptr);
        }
    }
}

TEST(SelectAnalyser, UnionTypeMatrix) {
    const std::vector<std::pair<TFieldType, TFieldType>> refused = {
        {ftBoolean, ftFloat}, {ftBoolean, ftDate}, {ftBoolean, ftTime}, {ftBoolean, ftDateTime},
        {ftBoolean, ftBlob}};
    const std::vector<TFieldType> types = {ftString, ftSmallint, ftInteger, ftBoolean, ftFloat,
                                           ftCurrency, ftDate, ftTime, ftDateTime, ftBlob, ftMemo};
    for (TFieldType from : types)
        for (TFieldType to : types) {
            TZanSelectAnalyser a;
            TSelectFields mine, other;
            mine.Add()->SetDataType(to);
            other.Add()->SetDataType(from);
            a.SetSelectFields(mine);
            bool bad = false;
            for (const auto& r : refused) bad = bad || (r.first == from && r.second == to);
            EXPECT_EQ(a.ValidateUnionSelectFields(&other), !bad);
            if (bad) {
                EXPECT_EQ(a.GetErrorText(), "Cannot convert type " + std::string(FieldTypeName(from)) +
                                                " -> " + std::string(FieldTypeName(to)));
            }
        }
    TZanSelectAnalyser a;
    TSelectFields two;
    two.Add()->SetDataType(ftInteger);
    two.Add()->SetDataType(ftInteger);
    EXPECT_FALSE(a.ValidateUnionSelectFields(&two));
    EXPECT_EQ(a.GetErrorText(), "Union statement column counts do not match");
    EXPECT_FALSE(TZanSelectAnalyser().ValidateUnionSelectFields(nullptr));
}

// "*" over many tables with the same columns: every output column gets a unique name, and the
// naming stays linear (it took cubic time: 100 tables 17 s, 1,000 would not finish).
TEST(SelectAnalyser, StarOverManyTablesNamesEachColumnOnce) {
    TZanMemProvider t{"t"};
    t.AddField("a", ftInteger);
    t.AddField("a_1", ftInteger); // a real column the generated names must step over
    TTableList tables;
    constexpr int C_TABLES = 1000;
    for (int i = 0; i < C_TABLES; ++i)
        t.AddToTableList(tables, "x" + std::to_string(i));
    TZanPreParser pre;
    pre.SetText("SELECT * FROM t");
    pre.SetParseSingleStack(true);
    pre.PreParseTokens();
    TZanSelectParser parser;
    parser.SetTableList(&tables);
    ASSERT_TRUE(parser.Execute(ZanParserOptions({zpoExtSyntax}), pre.GetSection(zstSelect, nullptr)));
    TZanSelectAnalyser analyser;
    ASSERT_TRUE(analyser.CheckSelect(parser.GetFirstNode(), &tables)) << analyser.GetErrorText();
    const TSelectFields& f = analyser.GetSelectFields();
    ASSERT_EQ(f.Count(), 2 * C_TABLES);
    std::set<std::string> names;
    for (int i = 0; i < f.Count(); ++i)
        names.insert(UpperCase(f.Items(i)->GetFieldName()));
    EXPECT_EQ(names.size(), size_t(2 * C_TABLES));
    EXPECT_EQ(f.Items(0)->GetFieldName(), "a");
    EXPECT_EQ(f.Items(1)->GetFieldName(), "a_1");
    EXPECT_EQ(f.Items(2)->GetFieldName(), "a_2");   // a_1 is taken by the real column
    EXPECT_EQ(f.Items(3)->GetFieldName(), "a_1_1");
}
