// The WHERE split and the provider trees the planner builds, over statements parsed by the real
// parser engine; the planner's refusals with their texts.
#include <gtest/gtest.h>

#include <algorithm>

#include "query_test_support.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

std::string OpName(const TZanExprNode& n) {
    switch (n.Operator) {
    case zeoEQ: return "=";
    case zeoNE: return "<>";
    case zeoGT: return ">";
    case zeoLT: return "<";
    case zeoGE: return ">=";
    case zeoLE: return "<=";
    case zeoAND: return "AND";
    case zeoOR: return "OR";
    default: return n.ParserToken.Text;
    }
}

// A condition as "(left op right)" with fields as table.name.
std::string Render(const TZanExprNode* n) {
    if (!n) return "";
    if (n->Kind == enkField) return ZanFieldTableName(*n) + "." + VarToStr(n->Data);
    if (n->Kind == enkConst || n->Kind == enkParam) return VarToStr(n->Data);
    if (!n->Left && !n->Right) return OpName(*n);
    return "(" + Render(n->Left) + " " + OpName(*n) + " " + Render(n->Right) + ")";
}

class QueryPlanner : public ::testing::Test {
protected:
    void SetUp() override {
        FDb = NewQueryDatabase();
        for (const char* name : {"a", "b", "c", "d"})
            CreateTestTable(*FDb, name, {{"x", ftInteger}, {"k", ftInteger}, {"j", ftInteger}}, {},
                            {});
        FRunner = std::make_unique<TZanQueryRunner>(*FDb);
        for (const char* name : {"a", "b", "c", "d"}) FRunner->AddTable(name);
    }

    // "table: condition" per select item, then "{t1,t2}: condition" per join item.
    std::vector<std::string> Split() {
        std::vector<std::string> out;
        TZanSelects& selects = FRunner->GetSelects();
        for (int i = 0; i < selects.Count(); ++i)
            out.push_back(selects.Items(i)->ExposedName() + ": " +
                          Render(selects.Items(i)->GetSelectExprRoot()));
        TZanJoins& joins = FRunner->GetJoins();
        for (int i = 0; i < joins.Count(); ++i) {
            std::string set;
            for (int t = 0; t < joins.Items(i)->GetTableList().Count(); ++t)
                set += (t ? "," : "") + ExposedTableName(*joins.Items(i)->GetTableList().Items(t));
            out.push_back("{" + set + "}: " + Render(joins.Items(i)->GetJoinExprRoot()));
        }
        return out;
    }

    std::unique_ptr<TZanDataBase> FDb;
    std::unique_ptr<TZanQueryRunner> FRunner;
};

} // namespace

TEST_F(QueryPlanner, AnalyserSplitsTheWhereCondition) {
    struct TCaseSplit {
        std::string Sql;
        bool Complete;
        std::vector<std::string> Split;
    };
    const std::vector<TCaseSplit> cases = {
        {"SELECT * FROM a WHERE a.x = 1", true, {"a: (a.x = 1)"}},
        {"SELECT * FROM a, b WHERE a.x = 1 AND b.x = 2 AND a.k = b.k",
         true,
         {"a: (a.x = 1)", "b: (b.x = 2)", "{a,b}: (a.k = b.k)"}},
        {"SELECT * FROM a, b WHERE a.k = b.k AND a.j = b.j",
         true,
         {"a: ", "b: ", "{a,b}: ((a.j = b.j) AND (a.k = b.k))"}},
        {"SELECT * FROM a, b WHERE a.x = 1 OR b.x = 2", false, {"a: ", "b: "}},
        {"SELECT * FROM a, b", true, {"a: ", "b: "}},
        {"SELECT * FROM a, b, c WHERE a.x + b.x = c.x",
         true,
         {"a: ", "b: ", "c: ", "{c,a,b}: (c.x = (a.x + b.x))"}},
        // A conjunct naming no table blocks the split: the root evaluator gets it all.
        {"SELECT * FROM a, b WHERE a.k = b.k AND 1 = 1", false, {"a: ", "b: "}},
        {"SELECT * FROM a, b WHERE a.k = b.k AND :p = 1", false, {"a: ", "b: "}},
        {"SELECT * FROM a WHERE EXISTS (SELECT * FROM b)", false, {"a: "}},
        {"SELECT * FROM a, b WHERE NOT (a.k = b.k)", false, {"a: ", "b: "}},
        // A subquery conjunct over one table stays in that table's select.
        {"SELECT * FROM a, b WHERE a.k = b.k AND a.x IN (SELECT c.x FROM c)",
         true,
         {"a: (a.x IN )", "b: ", "{a,b}: (a.k = b.k)"}},
        // Unqualified names carry the table the parser resolved them to.
        {"SELECT * FROM a x, b WHERE x.k = b.j AND j > 1",
         true,
         {"x: ", "b: (b.j > 1)", "{x,b}: (x.k = b.j)"}},
    };
    for (const TCaseSplit& c : cases) {
        SCOPED_TRACE(c.Sql);
        FRunner->Analyse(c.Sql);
        EXPECT_EQ(FRunner->GetAnalyser().CheckAnalysisComplete(), c.Complete);
        EXPECT_EQ(Split(), c.Split);
    }
}

TEST_F(QueryPlanner, PlanShapes) {
    struct TShape {
        std::string Sql;
        std::vector<std::string> Lines;
    };
    const std::vector<TShape> cases = {
        {"SELECT * FROM a WHERE x = 1", {"  a"}},
        {"SELECT * FROM a, b", {"  outer ->", "    a", "  a.b", "  inner ->", "    b"}},
        // A chain a-b-c of WHERE joins is left-deep.
        {"SELECT * FROM a, b, c WHERE a.k = b.k AND b.j = c.j",
         {"  outer ->", "    outer ->", "        a", "    a.b", "    inner ->", "        b",
          "  a.b.c", "  inner ->", "    c"}},
        {"SELECT * FROM a LEFT JOIN b ON a.k = b.k",
         {"  outer ->", "    a", "  a.b", "  inner ->", "    b"}},
        // A WHERE pair outside the tree built so far takes its place; the tables left behind
        // come back as cross joins.
        {"SELECT * FROM a, b, c, d WHERE a.k = b.k AND c.k = d.k",
         {"  outer ->", "    outer ->", "        outer ->", "                c",
          "        c.d", "        inner ->", "                d", "    c.d.a", "    inner ->",
          "        a", "  c.d.a.b", "  inner ->", "    b"}},
        // Comma items holding joins are each planned, then cross-joined.
        {"SELECT * FROM a JOIN b ON a.k = b.k, c JOIN d ON c.k = d.k",
         {"  outer ->", "    outer ->", "        a", "    a.b", "    inner ->", "        b",
          "  a.b.c.d", "  inner ->", "    outer ->", "        c", "    c.d", "    inner ->",
          "        d"}},
    };
    for (const TShape& c : cases) {
        SCOPED_TRACE(c.Sql);
        FRunner->Plan(c.Sql);
        EXPECT_EQ(FRunner->PlanLines(), c.Lines);
    }
    FRunner->Plan("SELECT * FROM a LEFT JOIN b ON a.k = b.k");
    TZanBaseJoinDataProvider* root = FRunner->GetProviderMgr().GetRootProvider();
    EXPECT_EQ(root->GetJoinType(), jtLeftOuterJoin);
    EXPECT_EQ(root->GetOuterProvider()->GetProviderName(), "a");
    EXPECT_EQ(root->GetInnerProvider()->GetProviderName(), "b");
    EXPECT_EQ(FRunner->GetProviderMgr().GetJoinCount(), 1);
}

TEST_F(QueryPlanner, SelectsStayOffNullSupplyingSides) {
    struct TPush {
        std::string Sql;
        std::vector<std::string> Pushed; // the tables that got their select
    };
    const std::vector<TPush> cases = {
        {"SELECT * FROM a LEFT JOIN b ON a.k = b.k WHERE a.x = 1 AND b.x = 1", {"a"}},
        {"SELECT * FROM a RIGHT JOIN b ON a.k = b.k WHERE a.x = 1 AND b.x = 1", {"b"}},
        {"SELECT * FROM a FULL JOIN b ON a.k = b.k WHERE a.x = 1 AND b.x = 1", {}},
        {"SELECT * FROM a JOIN b ON a.k = b.k WHERE a.x = 1 AND b.x = 1", {"a", "b"}},
        {"SELECT * FROM a JOIN b ON a.k = b.k LEFT JOIN c ON b.j = c.j WHERE a.x = 1 AND c.x = 1",
         {"a"}},
    };
    for (const TPush& c : cases) {
        SCOPED_TRACE(c.Sql);
        FRunner->Plan(c.Sql);
        std::vector<std::string> pushed;
        for (const auto& p : FRunner->GetProviderMgr().GetTableProviders())
            if (p->GetJoinSelectExprRoot()) pushed.push_back(p->GetProviderName());
        std::sort(pushed.begin(), pushed.end());
        EXPECT_EQ(pushed, c.Pushed);
    }
}

TEST_F(QueryPlanner, RefusalsNameTheirReason) {
    struct TRefusal {
        std::string Sql;
        int32_t Code;
        std::string Text;
    };
    const std::vector<TRefusal> cases = {
        {"SELECT * FROM a, a", 9645, "Duplicate table name or alias: a"},
        {"SELECT * FROM a x, b x", 9645, "Duplicate table name or alias: x"},
        {"SELECT * FROM a JOIN a ON a.k = a.j", 9645, "Duplicate table name or alias: a"},
        // An ON condition naming a field its tables lack.
        {"SELECT * FROM a JOIN b ON a.k = b.nosuch", 9645, "join field not found"},
    };
    for (const TRefusal& c : cases) {
        SCOPED_TRACE(c.Sql);
        std::string message;
        EXPECT_EQ(ErrorCodeOf([&] { FRunner->Select(c.Sql); }, &message), c.Code);
        EXPECT_NE(message.find(c.Text), std::string::npos) << message;
    }
    // A WHERE condition over three tables, or between tables already joined, is left to the
    // WHERE check: every table is planned once.
    for (const char* sql : {"SELECT * FROM a, b, c WHERE a.k + b.k = c.k",
                            "SELECT * FROM a, b, c WHERE a.k = b.k AND b.j = c.j AND a.x = c.x",
                            "SELECT * FROM a JOIN b ON a.k = b.k WHERE a.x > b.x"}) {
        SCOPED_TRACE(sql);
        EXPECT_NO_THROW(FRunner->Select(sql));
        EXPECT_EQ(FRunner->GetProviderMgr().GetTableProviders().size(),
                  std::string(sql).find(" c ") != std::string::npos ? 3u : 2u);
    }
    // A table under two different exposed names is a self-join, not a refusal.
    EXPECT_NO_THROW(FRunner->Select("SELECT * FROM a x, a"));
    EXPECT_EQ(FRunner->GetProviderMgr().GetTableProviders().size(), 2u);
}

TEST_F(QueryPlanner, AStatementWithoutTablesIsRefused) {
    // Straight to the planner: no table, no FROM tree.
    TTableList tables;
    TZanJoins joins;
    TZanSelects selects;
    TZanJoinDataProviderMgr mgr;
    mgr.SetDatabase(FDb.get());
    TZanPlan plan;
    plan.SetTableList(&tables);
    plan.SetJoins(&joins);
    plan.SetSelects(&selects);
    plan.SetProviderMgr(&mgr);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { TZanQueryPlanner::CreatePlan(&plan); }, &message), 9645);
    EXPECT_NE(message.find("Root provider is not assigned in InternalAssignSelects"),
              std::string::npos);
    plan.SetJoins(nullptr);
    EXPECT_EQ(ErrorCodeOf([&] { TZanQueryPlanner::CreatePlan(&plan); }, &message), 8581);
    EXPECT_NE(message.find("The Joins is not assigned"), std::string::npos);
    TStringList lines;
    mgr.DebugDumpProviderStatus(lines);
    EXPECT_EQ(lines.Get(0), "Root provider is nil");
    EXPECT_FALSE(mgr.OpenProviders());
    EXPECT_FALSE(mgr.FirstProviderRecord());
}
