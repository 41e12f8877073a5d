// FROM clause parser and the join post-processor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/sql/zanFromParser.h"
#include "host/rtl/SysUtils.h"
#include "support/zanMemProvider.h"

using namespace zan;

namespace {

struct FromParse {
    TZanPreParser pre;
    TZanFromParser parser;
    bool ok = false;
    explicit FromParse(const std::string& clause) {
        pre.SetText("FROM " + clause);
        pre.SetParseSingleStack(true);
        pre.PreParseTokens();
        ok = parser.Execute(ZanParserOptions({zpoExtSyntax}), pre.GetSection(zstFrom, nullptr));
    }
    std::string Dump() const {
        if (!ok) return "ERR " + parser.GetErrorMsg();
        TStringList lines;
        parser.DebugDisplay(lines);
        std::string out;
        for (int i = 0; i < lines.Count(); ++i) out += (i ? "|" : "") + Trim(lines.Strings(i));
        return out;
    }
};

// a(id, x, name), b(id, y, name), c(id, z).
struct Catalogue {
    TZanMemProvider A{"a"}, B{"b"}, C{"c"};
    TTableList Tables;
    Catalogue() {
        for (auto* p : {&A, &B, &C}) p->AddField("id", ftInteger);
        A.AddField("x", ftInteger);
        A.AddField("name", ftString, 10);
        B.AddField("y", ftInteger);
        B.AddField("NAME", ftString, 12);
        C.AddField("z", ftInteger);
        for (auto* p : {&A, &B, &C}) p->AddToTableList(Tables);
    }
    // Gives the parsed statement's tables their layouts, as the statement's owner does.
    void Fill(TTableList& list) const {
        for (int i = 0; i < list.Count(); ++i)
            if (const TTableNameItem* t = Tables.FindTableName(list.Items(i)->GetTableName()))
                list.Items(i)->SetTableFields(&t->GetTableFields());
    }
};

std::string Condition(const TZanTableRefNode* node) {
    TStringList lines;
    if (node && node->Expr.GetRootNode())
        TZanExprNode::DisplayExprTree("", node->Expr.GetRootNode(), lines);
    std::string out;
    for (int i = 0; i < lines.Count(); ++i) out += Trim(lines.Strings(i)) + "\n";
    return out;
}

} // namespace

TEST(FromParser, GrammarTable) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a, b", "StartTables|tbl a   corr|tbl b   corr|EndTables|StartJoins|EndJoins|StartTree|"
                 "EndTree"},
        {"a t1 JOIN b AS t2 ON t1.id = t2.id",
         "StartTables|tbl a   corr  t1|tbl b   corr  t2|EndTables|StartJoins|"
         "join jtInnerJoin   inner  a outer b|EndJoins|StartTree|jtInnerJoin : text -|"},
        {"a LEFT OUTER JOIN b ON a.x = b.y", "join jtLeftOuterJoin   inner  a outer b"},
        {"a RIGHT JOIN b ON a.x = b.y", "join jtRightOuterJoin"},
        {"a FULL JOIN b ON a.x = b.y", "join jtFullOuterJoin"},
        {"a UNION JOIN b", "join jtUnionJoin"},
        {"a CROSS JOIN b", "join jtCrossJoin"},
        {"a NATURAL JOIN b", "jtInnerJoin : text -  natural"},
        {"a JOIN b USING (x, y)", "jtInnerJoin : text -  using x, y"},
        {"(a JOIN b ON a.id = b.id) JOIN c ON c.id = a.id",
         "StartTree|jtInnerJoin : text -|"},
        {"TEMPORARY a", "tbl a   corr|EndTables"},
        {"a CROSS b", "ERR Invalid cross join syntax - expected CROSS Line 1, Character 14. Token 'b'"},
        {"a LEFT b", "ERR Invalid cross join syntax - expected CROSS Line 1, Character 13. Token 'b'"},
        {"a JOIN b USING x", "ERR Missing '(' from using join specification Line 1, Character 21."},
        {"a JOIN b USING (x y)",
         "ERR Invalid column list syntax in using specification Line 1, Character 24."},
        {"a JOIN b USING (x,", "ERR Missing ')' from using join specification"},
        {"a NATURAL JOIN b ON a.x = b.y", "ERR Invalid token Line 1, Character 23. Token 'ON'"},
        {"a NATURAL JOIN b USING (x)", "ERR Invalid token Line 1, Character 23. Token 'USING'"},
        {"(SELECT x FROM a) q", "ERR Missing Right Parenthesis Line 1, Character 7. Token 'SELECT'"},
        {"(a JOIN b ON a.x = b.y", "ERR Missing Right Parenthesis"},
        {"a, SELECT", "ERR Syntax error. Expected table name Line 1, Character 9. Token 'SELECT'"},
        {"a JOIN", "ERR Syntax error. Expected table name"},
        {"a JOIN b ON a.x = ", "ERR Expression incorrectly terminated"},
        {std::string(300, '(') + "a", "ERR Invalid token Line 1, Character 206. Token '('"},
    };
    for (const auto& [clause, expected] : cases) {
        FromParse p(clause);
        EXPECT_NE(p.Dump().find(expected), std::string::npos) << clause << "\n" << p.Dump();
    }
}

TEST(FromParser, TreeShapeAndTableList) {
    FromParse p("(a JOIN b ON a.id = b.id) LEFT JOIN TEMPORARY c cc ON cc.id = a.id");
    ASSERT_TRUE(p.ok) << p.Dump();
    const TZanTableRefNode* root = p.parser.GetRootJoinNode();
    ASSERT_EQ(root->JoinType, trLeftOuterJoin);
    ASSERT_EQ(root->Left->JoinType, trInnerJoin);
    EXPECT_EQ(root->Next, root->Left);
    EXPECT_EQ(root->Left->Left->Text, "a");
    EXPECT_EQ(root->Right->CorrelationName, "cc");
    EXPECT_EQ(p.parser.GetExprCount(), 2);
    const TTableList& list = p.parser.GetTableList();
    ASSERT_EQ(list.Count(), 3);
    EXPECT_TRUE(list.Items(2)->GetMemorySpecified());
    EXPECT_FALSE(list.Items(0)->GetMemorySpecified());
    // A deep left chain is walked without recursion.
    std::string many = "a";
    for (int i = 0; i < 5000; ++i) many += " CROSS JOIN b";
    FromParse deep(many);
    ASSERT_TRUE(deep.ok);
    TStringList lines;
    deep.parser.DebugDisplay(lines);
    EXPECT_GT(lines.Count(), 10000);
}

TEST(JoinPostProcessor, UsingAndNaturalBecomeQualifiedEqualities) {
    Catalogue cat;
    struct Case {
        std::string clause, expected;
    };
    const std::vector<Case> cases = {
        // USING: the equalities in list order, each new one left of what was there.
        {"a JOIN b t2 USING (id, name) ",
         "enkLogicalOperator"},
        {"a JOIN b ON a.x = b.y", ""},
        {"a NATURAL JOIN c", "id"},
        {"a NATURAL JOIN (b JOIN c ON b.id = c.id)", "name"},
        {"a JOIN b USING (z)", "ERR Field not found in join tables: z"},
        {"a JOIN b USING (x)", "ERR Field not found in join tables: x"},
    };
    for (const auto& c : cases) {
        FromParse p(c.clause);
        ASSERT_TRUE(p.ok) << p.Dump();
        cat.Fill(p.parser.GetTableList());
        TJoinPostProcessor post;
        post.SetTableList(&p.parser.GetTableList());
        const bool ok = post.ProcessJoinTree(p.parser.GetRootJoinNode());
        const std::string got =
            ok ? Condition(p.parser.GetRootJoinNode()) : "ERR " + post.GetErrorText();
        EXPECT_NE(got.find(c.expected), std::string::npos) << c.clause << "\n" << got;
    }
}

TEST(JoinPostProcessor, NodesCarryQualifierTypeAndOrder) {
    Catalogue cat;
    FromParse p("a t1 JOIN b USING (id, name)");
    ASSERT_TRUE(p.ok);
    cat.Fill(p.parser.GetTableList());
    TJoinPostProcessor post;
    post.SetTableList(&p.parser.GetTableList());
    ASSERT_TRUE(post.ProcessJoinTree(p.parser.GetRootJoinNode()));
    const TZanExprNode* root = p.parser.GetRootJoinNode()->Expr.GetRootNode();
    ASSERT_EQ(root->Operator, zeoAND);
    const TZanExprNode* first = root->Left; // the last name added
    ASSERT_EQ(first->Operator, zeoEQ);
    EXPECT_EQ(first->DataType, ftBoolean);
    EXPECT_EQ(first->Left->Data.AsString(), "name");
    EXPECT_EQ(first->Left->DataType, ftString);
    ASSERT_EQ(first->Left->TokenArgs.size(), 1u);
    EXPECT_EQ(first->Left->TokenArgs[0]->Token, zstTableName);
    EXPECT_EQ(first->Left->TokenArgs[0]->Text, "t1");
    EXPECT_EQ(first->Right->TokenArgs[0]->Text, "b");
    EXPECT_EQ(first->Right->Data.AsString(), "NAME");
    EXPECT_EQ(root->Right->Left->Data.AsString(), "id");
    // NATURAL over tables with nothing in common stays unconditioned.
    FromParse none("c NATURAL JOIN (a JOIN b ON a.x = b.y)");
    ASSERT_TRUE(none.ok);
    cat.Fill(none.parser.GetTableList());
    post.SetTableList(&none.parser.GetTableList());
    ASSERT_TRUE(post.ProcessJoinTree(none.parser.GetRootJoinNode()));
    EXPECT_EQ(none.parser.GetRootJoinNode()->Expr.GetRootNode()->Operator, zeoEQ); // id only
    // A missing table of the list is reported with both names.
    EXPECT_EQ(post.FindJoinField("id", "q", "qq"), nullptr);
    EXPECT_EQ(post.GetErrorText(), "Join ON field not found: qq : q");
    EXPECT_EQ(post.FindJoinField("nope", "a", ""), nullptr);
    EXPECT_EQ(post.GetErrorText(), "Field (nope) not found in table a");
}
