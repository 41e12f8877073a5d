#include "engine/query/zanQueryAnalyser.h"

#include <vector>

#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

// Copies node into expr: the first copy becomes the root, later ones are ANDed in front of it.
TZanExprNode* AddConjunct(TZanExpr& expr, TZanExprNode* root, const TZanExprNode* node) {
    if (!root) return expr.CloneFromTree(node);
    TZanExprNode* copy = expr.CloneSubTree(node);
    TParserToken token;
    token.Token = zstAnd;
    token.Text = "AND";
    return expr.NewNode(enkLogicalOperator, zeoAND, Variant(), copy, root, &token);
}

// Whether two table lists name the same set of tables.

} // namespace

namespace {

// Adds the tables of other that target lacks (same table and correlation name, any case).
void UnionTables(TTableList& target, const TTableList& other) {
    for (int i = 0; i < other.Count(); ++i) {
        const TTableNameItem* t = other.Items(i);
        bool found = false;
        for (int j = 0; j < target.Count() && !found; ++j)
            found = SameText(target.Items(j)->GetTableName(), t->GetTableName()) &&
                    SameText(target.Items(j)->GetCorrelationName(), t->GetCorrelationName());
        if (!found) target.Add()->Assign(*t);
    }
}

} // namespace

TZanJoinItem::TZanJoinItem()
    : FExpr(std::make_unique<TZanExpr>()), FTableList(std::make_unique<TTableList>()) {}
TZanJoinItem::~TZanJoinItem() = default;

void TZanJoinItem::SetJoinExprRoot(const TZanExprNode* node) {
    if (node) FJoinExprRoot = AddConjunct(*FExpr, FJoinExprRoot, node);
}

namespace {
bool SameTableSet(const TTableList& a, const TTableList& b) {
    TTableList merged;
    UnionTables(merged, a);
    UnionTables(merged, b);
    return merged.Count() == a.Count() && merged.Count() == b.Count();
}
} // namespace

TZanJoinItem* TZanJoins::GetJoinItem(const TTableList& tables) {
    for (int i = 0; i < Count(); ++i)
        if (SameTableSet(Items(i)->GetTableList(), tables)) return Items(i);
    return Add();
}

TZanSelectItem::TZanSelectItem() : FExpr(std::make_unique<TZanExpr>()) {}
TZanSelectItem::~TZanSelectItem() = default;

void TZanSelectItem::SetSelectExprRoot(const TZanExprNode* node) {
    if (node) FSelectExprRoot = AddConjunct(*FExpr, FSelectExprRoot, node);
}

TZanSelectItem* TZanSelects::GetSelectItem(const std::string& tableName,
                                           const std::string& correlation) {
    for (int i = 0; i < Count(); ++i) {
        TZanSelectItem* item = Items(i);
        if (SameText(item->GetTableName(), tableName) &&
            SameText(item->GetCorrelationName(), correlation))
            return item;
    }
    TZanSelectItem* item = Add();
    item->SetTableName(tableName);
    item->SetCorrelationName(correlation);
    return item;
}

TZanQueryAnalyser::TZanQueryAnalyser() = default;
TZanQueryAnalyser::~TZanQueryAnalyser() = default;

TZanExpr& TZanQueryAnalyser::GetTempExpr() {
    if (!FTempExpr) FTempExpr = std::make_unique<TZanExpr>();
    return *FTempExpr;
}

void TZanQueryAnalyser::Clear() {
    FRoot = nullptr;
    FNodes.clear();
}

bool TZanQueryAnalyser::CheckAnalysisComplete() const { return !FRoot || FRoot->SplitOK; }

namespace {

// Adds the tables of every field node under the arguments of node (a function's operand, as in
// UPPER(t.s)) to tables: an argument reads its table's row as much as an operand does.
void AddArgumentTables(const TZanExprNode* node, TTableList& tables) {
    std::vector<const TZanExprNode*> stack(node->Args.begin(), node->Args.end());
    while (!stack.empty()) {
        const TZanExprNode* n = stack.back();
        stack.pop_back();
        if (!n) continue;
        if (n->Kind == enkField) {
            TTableList own;
            for (int i = 0; i < n->TableList.Count(); ++i)
                own.Add()->Assign(*n->TableList.Items(i));
            UnionTables(tables, own);
        }
        if (n->Left) stack.push_back(n->Left);
        if (n->Right) stack.push_back(n->Right);
        stack.insert(stack.end(), n->Args.begin(), n->Args.end());
    }
}

} // namespace

TQueryAnalyserNode* TZanQueryAnalyser::BuildNode(TZanExprNode* node) {
    // Only Left and Right are mirrored: arguments (IN lists, subqueries, function operands) stay
    // inside their node, which takes the tables their fields read.
    FNodes.push_back(std::make_unique<TQueryAnalyserNode>());
    TQueryAnalyserNode* n = FNodes.back().get();
    if (FNodes.size() > 1) FNodes[FNodes.size() - 2]->Next = n;
    n->ExprNode = node;
    if (node->Kind == enkField)
        for (int i = 0; i < node->TableList.Count(); ++i)
            n->TableList.Add()->Assign(*node->TableList.Items(i));
    AddArgumentTables(node, n->TableList);
    if (node->Left) n->Left = BuildNode(node->Left);
    if (node->Right) n->Right = BuildNode(node->Right);
    return n;
}

void TZanQueryAnalyser::CreateSelectList() {
    for (int i = 0; i < FTableList->Count(); ++i) {
        const TTableNameItem* t = FTableList->Items(i);
        FSelects->GetSelectItem(t->GetTableName(), t->GetCorrelationName());
    }
}

void TZanQueryAnalyser::Prepare(TZanJoins* joins, TZanSelects* selects, TTableList* tableList,
                                TZanExprNode* whereRoot) {
    ZanAssert(joins && selects && tableList, "Query analyser collections are not assigned");
    Clear();
    FJoins = joins;
    FSelects = selects;
    FTableList = tableList;
    FJoins->Clear();
    FSelects->Clear();
    if (whereRoot) FRoot = BuildNode(whereRoot);
    CreateSelectList();
    if (FRoot) {
        ParseTableLists(FRoot);
        ParseSelects(FRoot);
        ParseJoins(FRoot);
        CheckNodeSplitStatus(FRoot);
    }
    if (!FRoot || !FRoot->SplitOK) {
        // Nothing can be pushed down: the root evaluator checks the whole condition.
        FJoins->Clear();
        FSelects->Clear();
        CreateSelectList();
    }
}

void TZanQueryAnalyser::ParseTableLists(TQueryAnalyserNode* node) {
    if (!node || node->SplitOK) return;
    ParseTableLists(node->Left);
    ParseTableLists(node->Right);
    for (TQueryAnalyserNode* child : {node->Left, node->Right})
        if (child) UnionTables(node->TableList, child->TableList);
}

void TZanQueryAnalyser::ParseSelects(TQueryAnalyserNode* node) {
    auto addSelect = [this](TQueryAnalyserNode* n) {
        const TTableNameItem* t = n->TableList.Items(0);
        FSelects->GetSelectItem(t->GetTableName(), t->GetCorrelationName())
            ->SetSelectExprRoot(n->ExprNode);
        n->SplitOK = true;
    };
    if (node == FRoot && FRoot->TableList.Count() == 1) {
        addSelect(FRoot);
        return;
    }
    if (!node || node->SplitOK) return;
    ParseSelects(node->Left);
    ParseSelects(node->Right);
    if (node->ExprNode->Kind != enkLogicalOperator || node->ExprNode->Operator != zeoAND ||
        !node->Left || !node->Right || node->TableList.Count() < 2)
        return;
    for (TQueryAnalyserNode* child : {node->Left, node->Right})
        if (!child->SplitOK && child->TableList.Count() == 1) addSelect(child);
    node->SplitOK = node->Left->SplitOK && node->Right->SplitOK;
}

void TZanQueryAnalyser::ParseJoins(TQueryAnalyserNode* node) {
    if (!node || !node->Left || !node->Right) return;
    ParseJoins(node->Left);
    ParseJoins(node->Right);
    if (node->SplitOK || node->ExprNode->Kind != enkRelOperator || node->TableList.Count() < 2)
        return;
    TZanJoinItem* item = FJoins->GetJoinItem(node->TableList);
    item->SetJoinExprRoot(node->ExprNode);
    TTableList& set = item->GetTableList();
    set.Clear();
    for (int i = 0; i < node->TableList.Count(); ++i) set.Add()->Assign(*node->TableList.Items(i));
    node->SplitOK = true;
}

void TZanQueryAnalyser::CheckNodeSplitStatus(TQueryAnalyserNode* node) {
    if (!node) return;
    CheckNodeSplitStatus(node->Left);
    CheckNodeSplitStatus(node->Right);
    if (node->SplitOK) return;
    const bool leftSplit = !node->Left || node->Left->SplitOK;
    const bool rightSplit = !node->Right || node->Right->SplitOK;
    if (leftSplit && rightSplit && node->ExprNode->Kind == enkLogicalOperator &&
        node->ExprNode->Operator == zeoAND)
        node->SplitOK = true;
}

} // namespace zan
