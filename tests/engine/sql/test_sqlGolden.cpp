// The golden parse corpus: statements run through the parser engine and the test owner; an
// accepted statement prints what was parsed, a rejected one the error the provider reports.
// Files under golden/: CREATE TABLE lines (the catalogue), then cases: a "## " comment line,
// the statement (one or more lines), "----", the expected text. ZAN_GOLDEN_UPDATE=1 rewrites
// the expected texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/rtl/SysUtils.h"
#include "support/zanSqlTestOwner.h"
#include "zanExprTestKit.h"

using namespace zan;

namespace {

struct Case {
    std::string comment, sql, expected;
};

struct GoldenFile {
    std::vector<std::string> tables;
    std::vector<Case> cases;
};

GoldenFile ReadGolden(const std::filesystem::path& path) {
    GoldenFile g;
    std::ifstream in(path);
    std::string line;
    enum { Head, Sql, Expected } state = Head;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0) {
            g.cases.push_back({line, "", ""});
            state = Sql;
        } else if (state == Head) {
            if (!Trim(line).empty()) g.tables.push_back(line);
        } else if (state == Sql && line == "----") {
            state = Expected;
        } else if (state == Sql) {
            g.cases.back().sql += (g.cases.back().sql.empty() ? "" : "\n") + line;
        } else {
            g.cases.back().expected += line + "\n";
        }
    }
    for (Case& c : g.cases)
        while (c.expected.size() >= 2 && c.expected.substr(c.expected.size() - 2) == "\n\n")
            c.expected.pop_back();
    return g;
}

void WriteGolden(const std::filesystem::path& path, const GoldenFile& g) {
    std::ofstream out(path);
    for (const std::string& t : g.tables) out << t << "\n";
    for (const Case& c : g.cases) out << "\n" << c.comment << "\n" << c.sql << "\n----\n" << c.expected;
}

std::string Expr(const TZanExprNode* root) { return root ? CompactTree(root) : "-"; }

void DumpItem(TZanSqlTestOwner::TItem& item, const std::string& ind, std::string& out) {
    TZanParserEngine& e = *item.Engine;
    const auto add = [&](const std::string& line) { out += ind + line + "\n"; };
    add("type " + std::to_string(item.Type) + (item.WhereOnly ? " where-only" : "") +
        (item.UnionPart ? (item.UnionAll ? " union-all" : " union") : ""));
    TStringList lines;
    switch (item.Type) {
    case zsSQLSelect: {
        if (!item.WhereOnly) {
            e.GetFromParser().DebugDisplay(lines);
            for (int i = 0; i < lines.Count(); ++i) add("from " + lines.Strings(i));
            for (const TZanSelectNode* n = e.GetSelectParser().GetFirstNode(); n; n = n->Next)
                add("node " + std::to_string(n->SelectNodeType) + " raw=" + n->RawColumnName +
                    (n->OutputColumnName.empty() ? "" : " as=" + n->OutputColumnName) +
                    (n->SelectNodeType == snGroupColumn ? "" : " " + Expr(n->Expr.GetRootNode())));
            const TSelectFields& f = item.Analyser.GetSelectFields();
            for (int i = 0; i < f.Count(); ++i) {
                const TSelectFieldItem* c = f.Items(i);
                add("col " + c->GetFieldName() + " " + std::string(FieldTypeName(c->GetDataType())) +
                    " " + std::to_string(c->GetFieldSize()) +
                    (c->SourceTableItem ? " src=" + c->SourceTableItem->GetTableName() + "." +
                                              c->SourceFieldName
                                        : "") +
                    (c->HasAggregateFunction ? " agg=" + std::to_string(c->AggFunc) : "") +
                    (c->IsGrouped ? " grouped" : ""));
            }
        }
        if (e.GetWhereParser().GetRootNode()) add("where " + Expr(e.GetWhereParser().GetRootNode()));
        if (e.GetHavingParser().GetRootNode())
            add("having " + Expr(e.GetHavingParser().GetRootNode()));
        for (int i = 0; i < e.GetGroupByItems().Count(); ++i) {
            const TGroupByItem* g = e.GetGroupByItems().Items(i);
            add("group " + g->TableName + "." + g->FieldName);
        }
        for (int i = 0; i < e.GetOrderByItems().Count(); ++i) {
            const TOrderByItem* o = e.GetOrderByItems().Items(i);
            add("order " + std::to_string(o->FieldIndex) + " " + o->SortKey +
                (o->Descending ? " desc" : ""));
        }
        break;
    }
    case zsSQLInsert: {
        TZanInsertParser& p = e.GetInsertParser();
        add("insert " + p.GetTableName() + " (" + p.GetColumnNames().GetCommaText() + ")");
        for (int i = 0; i < p.GetRowConstructor().Count(); ++i) {
            TZanRowConstructorElement* el = p.GetRowConstructor().Items(i);
            add("value " + (el->HasExpr() ? Expr(el->GetExpr()->GetRootNode())
                                          : (VarIsNull(el->Data) ? "NULL" : VarToStr(el->Data))));
        }
        break;
    }
    case zsSQLDelete:
        add("delete " + e.GetDeleteParser().GetTableName());
        break;
    case zsSQLUpdate: {
        TZanUpdateParser& p = e.GetUpdateParser();
        add("update " + p.GetTableName());
        for (int i = 0; i < p.GetSetList().Count(); ++i) {
            TZanUpdateRowConstructorElement* el = p.GetSetList().Items(i);
            add("set " + el->TargetColumnName + " = " +
                (el->HasExpr() ? Expr(el->GetExpr()->GetRootNode())
                               : (VarIsNull(el->Data) ? "NULL" : VarToStr(el->Data))));
        }
        break;
    }
    case zsSchemaManipulation: {
        const TZanSchemaManipulationParser& p = e.GetSchemaParser();
        add("schema op=" + std::to_string(p.GetOperation()) + " table=" + p.GetTableName() +
            (p.GetTemporaryTable() ? " temporary" : "") +
            (p.GetIndexName().empty() ? "" : " index=" + p.GetIndexName()) +
            (p.GetIndexColumns().Count() ? " columns=" + p.GetIndexFieldsAsText() : "") +
            (p.GetIndexOptions().contains(ixPrimary) ? " primary" : "") +
            (p.GetIndexOptions().contains(ixUnique) ? " unique" : "") +
            (p.GetIndexOptions().contains(ixDescending) ? " desc" : ""));
        const auto fields = [&](const char* what, const TInternalFields& f) {
            for (int i = 0; i < f.Count(); ++i)
                add(std::string(what) + " " + f.Items(i)->GetFieldName() +
                    (f.Items(i)->GetSourceField().empty() ? "" : " from " + f.Items(i)->GetSourceField()) +
                    " " + std::string(FieldTypeName(f.Items(i)->GetDataType())) + " " +
                    std::to_string(f.Items(i)->GetFieldSize()) +
                    (f.Items(i)->GetRequired() ? " required" : ""));
        };
        fields("add", p.GetAddedFields());
        fields("drop", p.GetDroppedFields());
        fields("alter", p.GetAlteredFields());
        break;
    }
    default:
        break;
    }
    for (auto& child : item.Children) DumpItem(*child, ind + "  ", out);
}

std::string RunStatement(TZanSqlTestOwner& owner, const std::string& sql) {
    if (!owner.Validate(sql)) return "ERROR " + owner.GetErrorsAsText() + "\n";
    std::string out;
    DumpItem(owner.GetRoot(), "", out);
    TStringList params;
    owner.GetRoot().Engine->GetParamList(&params);
    if (params.Count()) out += "params " + params.GetCommaText() + "\n";
    return out;
}

} // namespace

TEST(SqlGolden, Corpus) {
    const std::filesystem::path dir =
        std::filesystem::path(__FILE__).parent_path() / "golden";
    const bool update = std::getenv("ZAN_GOLDEN_UPDATE") != nullptr;
    int total = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".sql") continue;
        GoldenFile g = ReadGolden(entry.path());
        TZanSqlTestOwner owner;
        for (const std::string& t : g.tables) ASSERT_TRUE(owner.AddTable(t)) << t;
        for (Case& c : g.cases) {
            ++total;
            const std::string got = RunStatement(owner, c.sql);
            if (update)
                c.expected = got;
            else
                EXPECT_EQ(got, c.expected) << entry.path().filename() << ": " << c.comment << "\n"
                                           << c.sql;
        }
        if (update) WriteGolden(entry.path(), g);
    }
    EXPECT_GT(total, 0);
}
