#include "engine/query/zanQueryPlanner.h"

#include <algorithm>
#include <unordered_set>

#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

constexpr const char* C_PLAN_CONTEXT = "TZanPlan.PreparePlan";

[[noreturn]] void Refuse(const std::string& text) { ZanDatabaseError(9645, C_PLAN_CONTEXT, text); }

bool ContainsNode(const TZanTableRefNode* tree, const TZanTableRefNode* node) {
    if (!tree) return false;
    if (tree == node) return true;
    return ContainsNode(tree->Left, node) || ContainsNode(tree->Right, node);
}

} // namespace

TZanJoinType MapJoinType(TZanTableRefType type) {
    switch (type) {
    case trCrossJoin: return jtCrossJoin;
    case trUnionJoin: return jtUnionJoin;
    case trInnerJoin: return jtInnerJoin;
    case trLeftOuterJoin: return jtLeftOuterJoin;
    case trRightOuterJoin: return jtRightOuterJoin;
    case trFullOuterJoin: return jtFullOuterJoin;
    default: return jtNone;
    }
}

void TZanQueryPlanner::CreatePlan(TZanPlan* plan) {
    ZanAssert(plan != nullptr, "The Plan is not assigned");
    ZanAssert(plan->GetTableList() != nullptr, "The TableList is not assigned");
    ZanAssert(plan->GetJoins() != nullptr, "The Joins is not assigned");
    ZanAssert(plan->GetSelects() != nullptr, "The Selects is not assigned");
    ZanAssert(plan->GetProviderMgr() != nullptr, "The ProviderMgr is not assigned");
    plan->PreparePlan();
}

void TZanPlan::CheckExposedNames() {
    for (int i = 0; i < FTableList->Count(); ++i)
        for (int j = 0; j < i; ++j)
            if (SameText(ExposedTableName(*FTableList->Items(i)),
                         ExposedTableName(*FTableList->Items(j))))
                Refuse("Duplicate table name or alias: " + ExposedTableName(*FTableList->Items(i)));
}

TZanNonJoinDataProvider* TZanPlan::TableProvider(const std::string& tableName,
                                                 const std::string& correlation) {
    const TTableNameItem* item = FTableList->FindTableAndCorrelationName(tableName, correlation);
    if (!item) item = FTableList->FindTableName(tableName);
    TZanNonJoinDataProvider* p =
        FProviderMgr->GetNonJoinProvider(tableName, correlation, item && item->GetMemory());
    p->SetJoinType(jtInnerJoin);
    return p;
}

TZanNonJoinDataProvider* TZanPlan::TableProvider(const TTableNameItem& table) {
    return TableProvider(table.GetTableName(), table.GetCorrelationName());
}

TZanStdJoinDataProvider* TZanPlan::NewJoin(const std::string& name, TZanJoinType type,
                                           TZanBaseJoinDataProvider* outer,
                                           TZanBaseJoinDataProvider* inner) {
    TZanStdJoinDataProvider* join = FProviderMgr->GetStdJoinProvider();
    join->SetProviderName(name);
    join->SetJoinType(type);
    join->SetOuterProvider(outer);
    join->SetInnerProvider(inner);
    return join;
}

TZanBaseJoinDataProvider* TZanPlan::ParseFromNode(TZanTableRefNode* node) {
    if (!node) return nullptr;
    if (node->JoinType == trTableName) {
        ZanAssert(node->Left == nullptr, "Node.left should be nil");
        ZanAssert(node->Right == nullptr, "Node.right should be nil");
        return TableProvider(node->Text, node->CorrelationName);
    }
    if (!IsJoinRefType(node->JoinType)) return nullptr;
    ZanAssert(node->Left != nullptr, "Node.left should be assigned");
    ZanAssert(node->Right != nullptr, "Node.right should be assigned");
    TZanBaseJoinDataProvider* inner = ParseFromNode(node->Right);
    TZanBaseJoinDataProvider* outer = ParseFromNode(node->Left);
    ZanAssert(inner != nullptr && outer != nullptr, "Join operands could not be planned");
    TZanStdJoinDataProvider* join = NewJoin(node->Text, MapJoinType(node->JoinType), outer, inner);
    join->SetCorrelationName(node->CorrelationName);
    if (node->Text.empty())
        join->SetProviderName(outer->GetProviderName() + "." + inner->GetProviderName());
    join->SetJoinExpr(node->Expr);
    return join;
}

TZanBaseJoinDataProvider* TZanPlan::ParseFromTrees() {
    // The join trees of the comma-separated items: the root and the roots before it (each
    // node's Next) that no later node contains, in statement order.
    std::vector<TZanTableRefNode*> chain;
    std::unordered_set<const TZanTableRefNode*> seen;
    for (TZanTableRefNode* n = FFromRoot; n && seen.insert(n).second; n = n->Next)
        if (IsJoinRefType(n->JoinType)) chain.push_back(n);
    std::vector<TZanTableRefNode*> roots;
    for (size_t i = 0; i < chain.size(); ++i) {
        bool contained = false;
        for (size_t j = 0; j < i && !contained; ++j) contained = ContainsNode(chain[j], chain[i]);
        if (!contained) roots.push_back(chain[i]);
    }
    std::reverse(roots.begin(), roots.end());
    TZanBaseJoinDataProvider* root = nullptr;
    for (TZanTableRefNode* node : roots) {
        TZanBaseJoinDataProvider* tree = ParseFromNode(node);
        if (!root)
            root = tree;
        else if (tree)
            root = NewJoin(root->GetProviderName() + "." + tree->GetProviderName(), jtCrossJoin,
                           root, tree);
    }
    return root;
}

void TZanPlan::PreparePlan() {
    FProviderMgr->Clear();
    FRoot = nullptr;
    CheckExposedNames();
    FRoot = ParseFromTrees();
    FProviderMgr->SetRootProvider(FRoot);
    InternalCreateJoins();
    InternalJoinUnmatchedSelects();
    InternalAssignSelects();
    FProviderMgr->SetRootProvider(FRoot);
}

void TZanPlan::InternalCreateJoins() {
    for (int i = 0; i < FJoins->Count(); ++i) {
        TZanJoinItem* item = FJoins->Items(i);
        TTableList& tables = item->GetTableList();
        // A condition over three or more tables joins nothing: their tables come in as cross
        // joins and the WHERE check keeps the rows right.
        if (tables.Count() != 2) continue;
        const TTableNameItem& first = *tables.Items(0);
        const TTableNameItem& second = *tables.Items(1);
        TZanBaseJoinDataProvider* f1 =
            FRoot ? FRoot->FindExposedProvider(ExposedTableName(first)) : nullptr;
        TZanBaseJoinDataProvider* f2 =
            FRoot ? FRoot->FindExposedProvider(ExposedTableName(second)) : nullptr;
        // Both tables are already joined (a FROM join tree, or an earlier WHERE join): the
        // condition is left to the WHERE check, which sees every joined row.
        if (f1 && f2) continue;
        TZanStdJoinDataProvider* join;
        if (f1 || f2) {
            const TTableNameItem& other = f1 ? second : first;
            join = NewJoin(FRoot->GetProviderName() + "." + other.GetTableName(), jtInnerJoin,
                           FRoot, TableProvider(other));
        } else {
            TZanNonJoinDataProvider* outer = TableProvider(first);
            TZanNonJoinDataProvider* inner = TableProvider(second);
            join = NewJoin(first.GetTableName() + "." + second.GetTableName(), jtInnerJoin, outer,
                           inner);
            // A FROM join tree keeps its ON conditions: the pair is cross-joined to it. A tree
            // made of WHERE joins only is left behind; its tables come back as cross joins and
            // the WHERE check keeps the rows right.
            if (FRoot && FFromRoot) {
                join->SetJoinExprRoot(item->GetJoinExprRoot());
                FRoot = NewJoin(FRoot->GetProviderName() + "." + join->GetProviderName(),
                                jtCrossJoin, FRoot, join);
                continue;
            }
        }
        join->SetJoinExprRoot(item->GetJoinExprRoot());
        FRoot = join;
    }
}

void TZanPlan::InternalJoinUnmatchedSelects() {
    for (int i = 0; i < FSelects->Count(); ++i) {
        const TZanSelectItem* item = FSelects->Items(i);
        if (!FRoot) {
            FRoot = TableProvider(item->GetTableName(), item->GetCorrelationName());
        } else if (!FRoot->FindExposedProvider(item->ExposedName())) {
            TZanNonJoinDataProvider* table =
                TableProvider(item->GetTableName(), item->GetCorrelationName());
            FRoot = NewJoin(FRoot->GetProviderName() + "." + item->GetTableName(), jtCrossJoin,
                            FRoot, table);
        }
    }
}

void TZanPlan::InternalAssignSelects() {
    if (!FRoot) Refuse("Root provider is not assigned in InternalAssignSelects");
    for (int i = 0; i < FSelects->Count(); ++i) {
        const TZanSelectItem* item = FSelects->Items(i);
        TZanBaseJoinDataProvider* p = FRoot->FindExposedProvider(item->ExposedName());
        if (!p) ZanDatabaseError(10024, "TZanPlan.InternalAssignSelects", item->GetTableName());
        // A NULL-supplying side keeps all its rows: the WHERE check decides on the joined row.
        if (item->GetSelectExprRoot() && !IsNullSuppliedProvider(FRoot, p))
            p->SetJoinSelectExprRoot(item->GetSelectExprRoot());
    }
}

} // namespace zan
