#include "engine/sql/zanFromParser.h"

#include <array>
#include <unordered_set>
#include <utility>

#include "engine/sql/zanExprParser.h"
#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

constexpr std::array<std::string_view, 9> C_TABLEREFNAMES = {
    "jtUnknown",        "jtCrossJoin",       "jtUnionJoin", "jtInnerJoin", "jtLeftOuterJoin",
    "jtRightOuterJoin", "jtFullOuterJoin",   "jtSubQuery",  "jtTableName"};

constexpr std::string_view C_BADJOINSYNTAX = "Invalid cross join syntax - expected CROSS";
constexpr std::string_view C_USINGNOLPAREN = "Missing '(' from using join specification";
constexpr std::string_view C_USINGBADLIST = "Invalid column list syntax in using specification";
constexpr std::string_view C_USINGNORPAREN = "Missing ')' from using join specification";

// Every node of a subtree, parents before children, left before right; no recursion, so
// trees of any depth are walked within the stack.
template <typename F> void ForEachPreOrder(TZanTableRefNode* root, F visit) {
    std::vector<TZanTableRefNode*> pending;
    if (root) pending.push_back(root);
    while (!pending.empty()) {
        TZanTableRefNode* node = pending.back();
        pending.pop_back();
        if (!visit(node)) return;
        if (node->Right) pending.push_back(node->Right);
        if (node->Left) pending.push_back(node->Left);
    }
}

} // namespace

std::string_view ZanTableRefTypeName(TZanTableRefType type) {
    return type < C_TABLEREFNAMES.size() ? C_TABLEREFNAMES[type] : C_TABLEREFNAMES[0];
}

// ---- Nodes ---------------------------------------------------------------------------------

void TZanTableRefNode::Display(const std::string& indent, TStrings& lines) const {
    std::string line = indent + std::string(ZanTableRefTypeName(JoinType)) + " : text - " + Text;
    if (!CorrelationName.empty()) line += " " + CorrelationName;
    if (IsNaturalJoin) line += " natural";
    for (int i = 0; i < UsingColumnList.Count(); ++i)
        line += (i ? ", " : " using ") + UsingColumnList.Strings(i);
    lines.Add(line);
    if (Expr.GetRootNode()) TZanExprNode::DisplayExprTree(indent + "    ", Expr.GetRootNode(), lines);
}

void TZanTableRefNode::DisplayTree(const TZanTableRefNode* node, const std::string& indent,
                                   TStrings& lines) {
    std::vector<std::pair<const TZanTableRefNode*, size_t>> pending;
    if (node) pending.emplace_back(node, indent.size());
    while (!pending.empty()) {
        auto [n, width] = pending.back();
        pending.pop_back();
        n->Display(std::string(width, ' '), lines);
        if (n->Right) pending.emplace_back(n->Right, width + 2);
        if (n->Left) pending.emplace_back(n->Left, width + 2);
    }
}

// ---- Parser --------------------------------------------------------------------------------

TZanFromParser::TZanFromParser() {
    SetEndTokens(ZanSQLTokens({zstWhere, zstGroupBy, zstHaving, zstUnion, zstOrderBy, zstEnd}));
}

TZanFromParser::~TZanFromParser() = default;

void TZanFromParser::Clear() {
    TBaseParser::Clear();
    FNodes.clear();
    FRootJoinNode = nullptr;
    FTableList.Clear();
    FParenDepth = 0;
}

bool TZanFromParser::IsJoinSpecifier(TZanSQLToken token) {
    switch (token) {
    case zstUnion:
    case zstJoin:
    case zstInner:
    case zstOuter:
    case zstLeft:
    case zstRight:
    case zstCross:
    case zstNatural:
    case zstFull:
        return true;
    default:
        return false;
    }
}

TZanTableRefNode* TZanFromParser::NewNode(TZanTableRefType type) {
    FNodes.push_back(std::make_unique<TZanTableRefNode>());
    TZanTableRefNode* node = FNodes.back().get();
    node->JoinType = type;
    return node;
}

bool TZanFromParser::Execute(const TZanParserOptions& options, TParserStack* stack) {
    FNodes.clear();
    FRootJoinNode = nullptr;
    FTableList.Clear();
    FParenDepth = 0;
    TBaseParser::Execute(options, stack);
    if (CurrentTokenType() == zstFrom) NextToken();
    while (!HasParseError() && !AtEndToken()) {
        const TParserToken* start = FCurrToken;
        ParseJoinedRef();
        if (HasParseError()) break;
        if (CurrentTokenType() == zstComma) {
            NextToken();
            continue;
        }
        // A derived table consumes nothing; its tokens cannot start a table reference.
        if (FCurrToken == start) SetError(FCurrToken, SzanMissingTableReference);
    }
    return !HasParseError();
}

TZanTableRefNode* TZanFromParser::ParseJoinedRef() {
    TZanTableRefNode* left = ParsePrimary();
    while (!HasParseError()) {
        const TZanSQLToken t = CurrentTokenType();
        if (t == zstUnion && PeekAtTokenType(0) != zstJoin) break;
        const bool parenJoin = t == zstLParen && IsJoinSpecifier(PeekAtTokenType(1));
        if (!IsJoinSpecifier(t) && !parenJoin) break;
        TZanTableRefNode* join;
        if (t == zstCross) {
            NextToken();
            if (CurrentTokenType() != zstJoin) {
                SetError(FCurrToken, C_BADJOINSYNTAX);
                break;
            }
            join = NewNode(trCrossJoin);
        } else {
            bool natural = false;
            if (CurrentTokenType() == zstNatural) {
                natural = true;
                NextToken();
            }
            TZanTableRefType type = trInnerJoin;
            switch (CurrentTokenType()) {
            case zstInner:
                NextToken();
                break;
            case zstUnion:
                type = trUnionJoin;
                NextToken();
                break;
            case zstLeft:
            case zstRight:
            case zstFull:
                type = CurrentTokenType() == zstLeft    ? trLeftOuterJoin
                       : CurrentTokenType() == zstRight ? trRightOuterJoin
                                                        : trFullOuterJoin;
                NextToken();
                if (CurrentTokenType() == zstOuter) NextToken();
                break;
            default:
                break;
            }
            if (CurrentTokenType() != zstJoin) {
                SetError(FCurrToken, C_BADJOINSYNTAX);
                break;
            }
            join = NewNode(type);
            join->IsNaturalJoin = natural;
        }
        NextToken(); // JOIN
        join->Next = FRootJoinNode;
        join->Left = left;
        join->Right = ParsePrimary();
        if (HasParseError()) break;
        join->InnerTable = left->Text;
        join->OuterTable = join->Right->Text;
        FRootJoinNode = join;
        left = join;
        ParseJoinCondition(join);
    }
    return left;
}

void TZanFromParser::ParseJoinCondition(TZanTableRefNode* node) {
    const TZanSQLToken t = CurrentTokenType();
    if (t != zstOn && t != zstUsing) return;
    // NATURAL names its columns itself.
    if (node->IsNaturalJoin) return SetError(FCurrToken, SzanInvalidToken);
    if (t == zstOn) return ParseOn(node);
    ParseUsing(node);
}

void TZanFromParser::ParseUsing(TZanTableRefNode* node) {
    NextToken();
    if (CurrentTokenType() != zstLParen) return SetError(FCurrToken, C_USINGNOLPAREN);
    NextToken();
    while (FCurrToken && (CurrentTokenType() == zstFieldName || CurrentTokenType() == zstValue)) {
        node->UsingColumnList.Add(FCurrToken->Text);
        NextToken();
        if (CurrentTokenType() == zstComma) {
            NextToken();
            continue;
        }
        if (CurrentTokenType() != zstRParen) return SetError(FCurrToken, C_USINGBADLIST);
    }
    if (CurrentTokenType() != zstRParen || node->UsingColumnList.Count() == 0)
        return SetError(FCurrToken, C_USINGNORPAREN);
    NextToken();
}

void TZanFromParser::ParseOn(TZanTableRefNode* node) {
    NextToken();
    TZanExprParser on;
    on.SetValidEndTokens(ZanSQLTokens({zstWhere, zstGroupBy, zstHaving, zstUnion, zstOrderBy,
                                       zstEnd, zstComma, zstJoin, zstInner, zstOuter, zstLeft,
                                       zstRight, zstCross, zstNatural, zstFull}));
    // Inside parentheses (or a subquery) the ")" that closes them ends the condition.
    on.SetIsSubquery(GetIsSubquery() || FParenDepth > 0);
    on.SetNestingBase(FParenDepth);
    const size_t firstRaw = FCurrToken ? FCurrToken->RawTokenText.size() : 0;
    on.SyncCurrToken(*this);
    if (!on.ExecuteExternalExpr(&node->Expr, ZanParserOptions({zpoExtSyntax}), FStack)) {
        SetError(on.GetErrorToken(), on.GetErrorMessage());
        return;
    }
    FParsedText += on.GetParsedText().substr(std::min(firstRaw, on.GetParsedText().size()));
    FCurrToken = on.GetCurrToken();
}

TZanTableRefNode* TZanFromParser::ParsePrimary() {
    const TZanSQLToken t = CurrentTokenType();
    if (t == zstSelect) return NewNode(trSubQuery);
    if (t == zstLParen) {
        if (FParenDepth >= C_MAXEXPRNESTING) {
            SetError(FCurrToken, SzanInvalidToken);
            return nullptr;
        }
        NextToken();
        ++FParenDepth;
        TZanTableRefNode* inner = ParseJoinedRef();
        --FParenDepth;
        if (HasParseError()) return inner;
        if (CurrentTokenType() != zstRParen) {
            SetError(FCurrToken, SzanRParenMissing);
            return inner;
        }
        NextToken();
        return inner;
    }
    bool memory = false;
    if (t == zstTemporary) {
        memory = true;
        NextToken();
    }
    if (CurrentTokenType() != zstFieldName && CurrentTokenType() != zstValue) {
        SetError(FCurrToken, SzanMissingTableReference);
        return nullptr;
    }
    TZanTableRefNode* node = NewNode(trTableName);
    node->Text = FCurrToken->Text;
    TTableNameItem* item = FTableList.Add();
    item->SetTableName(node->Text);
    item->SetMemorySpecified(memory);
    NextToken();
    if (CurrentTokenType() == zstAS) NextToken();
    if (CurrentTokenType() == zstFieldName) {
        node->CorrelationName = FCurrToken->Text;
        item->SetCorrelationName(node->CorrelationName);
        NextToken();
    }
    return node;
}

int TZanFromParser::GetExprCount() const {
    int n = 0;
    for (const auto& node : FNodes)
        if (IsJoinRefType(node->JoinType) && node->Expr.GetRootNode()) ++n;
    return n;
}

void TZanFromParser::DebugDisplay(TStrings& lines) const {
    lines.Add("StartTables");
    for (int i = 0; i < FTableList.Count(); ++i) {
        const TTableNameItem* item = FTableList.Items(i);
        lines.Add(Format("tbl %s   corr  %s", item->GetTableName(), item->GetCorrelationName()));
    }
    lines.Add("EndTables");
    lines.Add("StartJoins");
    for (const auto& node : FNodes)
        if (IsJoinRefType(node->JoinType))
            lines.Add(Format("join %s   inner  %s outer %s", ZanTableRefTypeName(node->JoinType),
                             node->InnerTable, node->OuterTable));
    lines.Add("EndJoins");
    lines.Add("StartTree");
    TZanTableRefNode::DisplayTree(FRootJoinNode, "", lines);
    lines.Add("EndTree");
}

// ---- Post-processor ------------------------------------------------------------------------

TTableNameItem* TJoinPostProcessor::FindTableItem(const TZanTableRefNode& table) const {
    TTableNameItem* item = nullptr;
    if (!table.CorrelationName.empty()) item = FTableList->FindTable(table.CorrelationName);
    if (!item && !table.Text.empty()) item = FTableList->FindTableName(table.Text);
    return item;
}

TZanTableRefNode* TJoinPostProcessor::FindTableRefNodeForField(TZanTableRefNode* node,
                                                               std::string_view field) {
    TZanTableRefNode* found = nullptr;
    ForEachPreOrder(node, [&](TZanTableRefNode* n) {
        if (n->JoinType != trTableName) return true;
        const TTableNameItem* item = FindTableItem(*n);
        if (item && item->GetTableFields().FindField(field)) found = n;
        return found == nullptr;
    });
    return found;
}

TInternalFieldItem* TJoinPostProcessor::FindJoinField(std::string_view field,
                                                      const std::string& table,
                                                      const std::string& correlation) {
    ZanAssert(!table.empty() || !correlation.empty(),
              "Neither join table/correlation names is set");
    TZanTableRefNode probe;
    probe.Text = table;
    probe.CorrelationName = correlation;
    const TTableNameItem* item = FindTableItem(probe);
    if (!item) {
        FErrorText = "Join ON field not found: " + correlation + " : " + table;
        return nullptr;
    }
    TInternalFieldItem* f = item->GetTableFields().FindField(field);
    if (!f) FErrorText = "Field (" + std::string(field) + ") not found in table " + table;
    return f;
}

TZanExprNode* TJoinPostProcessor::NewFieldNode(TZanTableRefNode& join,
                                               const TZanTableRefNode& table,
                                               const TInternalFieldItem& field) {
    TParserToken token;
    token.Token = zstFieldName;
    token.Text = field.GetFieldName();
    token.RawTokenText = field.GetFieldName();
    TZanExprNode* node = join.Expr.NewFieldNode(enkField, zeoFIELD2, Variant(field.GetFieldName()),
                                                nullptr, nullptr, &token, field.GetDataType(),
                                                field.GetFieldSize());
    node->ScopeKind = zskField;
    TParserToken qualifier;
    qualifier.Token = zstTableName;
    qualifier.Text = table.CorrelationName.empty() ? table.Text : table.CorrelationName;
    qualifier.RawTokenText = qualifier.Text + ".";
    node->TokenArgs.push_back(&join.OwnTokens.emplace_back(std::move(qualifier)));
    if (const TTableNameItem* item = FindTableItem(table)) {
        node->TableList.Add()->Assign(*item);
        node->DataSize = item->GetFieldSize(field.GetFieldName());
    }
    return node;
}

void TJoinPostProcessor::CreateJoinExpr(const TZanTableRefNode& leftTable,
                                        const TInternalFieldItem& leftField,
                                        const TZanTableRefNode& rightTable,
                                        const TInternalFieldItem& rightField,
                                        TZanTableRefNode& join) {
    TZanExprNode* old = join.Expr.GetRootNode();
    TZanExprNode* left = NewFieldNode(join, leftTable, leftField);
    TZanExprNode* right = NewFieldNode(join, rightTable, rightField);
    TParserToken eqToken;
    eqToken.Token = zstCompOperator;
    eqToken.Text = eqToken.RawTokenText = "=";
    TZanExprNode* top =
        join.Expr.NewNode(enkRelOperator, zeoEQ, Variant(), left, right, &eqToken);
    top->DataType = ftBoolean;
    if (old) {
        TParserToken andToken;
        andToken.Token = zstAnd;
        andToken.Text = andToken.RawTokenText = "AND";
        top = join.Expr.NewNode(enkLogicalOperator, zeoAND, Variant(), top, old, &andToken);
        top->DataType = ftBoolean;
    }
    join.Expr.SetAsFirstNode(top);
}

void TJoinPostProcessor::CollectNaturalColumns(TZanTableRefNode& join,
                                               std::vector<std::string>& names) {
    std::unordered_set<std::string> seen;
    ForEachPreOrder(join.Right, [&](TZanTableRefNode* n) {
        if (n->JoinType != trTableName) return true;
        const TTableNameItem* item = FindTableItem(*n);
        if (!item) return true;
        const TInternalFields& fields = item->GetTableFields();
        for (int i = 0; i < fields.Count(); ++i) {
            const std::string& name = fields.Items(i)->GetFieldName();
            if (seen.insert(UpperCase(name)).second && FindTableRefNodeForField(join.Left, name))
                names.push_back(name);
        }
        return true;
    });
}

std::vector<std::string> TJoinPostProcessor::SharedColumns(TZanTableRefNode& join) {
    std::vector<std::string> names;
    if (join.IsNaturalJoin) CollectNaturalColumns(join, names);
    for (int i = 0; i < join.UsingColumnList.Count(); ++i)
        names.push_back(join.UsingColumnList.Strings(i));
    return names;
}

void TJoinPostProcessor::ProcessJoinNode(TZanTableRefNode& join) {
    ZanAssert(join.Left != nullptr && join.Right != nullptr, "Left Join node is not assigned");
    for (const std::string& name : SharedColumns(join)) {
        const TZanTableRefNode* l = FindTableRefNodeForField(join.Left, name);
        const TZanTableRefNode* r = FindTableRefNodeForField(join.Right, name);
        if (!l || !r) {
            FErrorText = "Field not found in join tables: " + name;
            return;
        }
        const TInternalFieldItem* lf = FindJoinField(name, l->Text, l->CorrelationName);
        const TInternalFieldItem* rf = lf ? FindJoinField(name, r->Text, r->CorrelationName)
                                          : nullptr;
        if (!lf || !rf) return;
        CreateJoinExpr(*l, *lf, *r, *rf, join);
    }
}

void TJoinPostProcessor::MarkSharedColumns(const TZanFromParser& from) {
    ZanAssert(FTableList != nullptr, "TJoinPostProcessor table list is not assigned");
    for (int i = 0; i < from.GetNodeCount(); ++i) {
        TZanTableRefNode& join = *from.GetNode(i);
        const bool leftKept = join.JoinType == trInnerJoin || join.JoinType == trLeftOuterJoin;
        const bool full = join.JoinType == trFullOuterJoin;
        if (!leftKept && !full && join.JoinType != trRightOuterJoin) continue;
        if (!join.Left || !join.Right) continue;
        for (const std::string& name : SharedColumns(join)) {
            const TZanTableRefNode* l = FindTableRefNodeForField(join.Left, name);
            const TZanTableRefNode* r = FindTableRefNodeForField(join.Right, name);
            if (!l || !r) continue; // the post-processing reports it
            // Both copies of a full join's column yield: a bare name of it is refused.
            if (TTableNameItem* item = FindTableItem(leftKept ? *r : *l))
                item->AddYieldedField(name);
            if (TTableNameItem* item = full ? FindTableItem(*r) : nullptr)
                item->AddYieldedField(name);
        }
    }
}

bool TJoinPostProcessor::ProcessJoinTree(TZanTableRefNode* root) {
    ZanAssert(FTableList != nullptr, "TJoinPostProcessor table list is not assigned");
    FErrorText.clear();
    // Children before their parent: the reverse of a right-before-left pre-order.
    std::vector<TZanTableRefNode*> order, pending;
    if (root) pending.push_back(root);
    while (!pending.empty()) {
        TZanTableRefNode* n = pending.back();
        pending.pop_back();
        order.push_back(n);
        if (n->Left) pending.push_back(n->Left);
        if (n->Right) pending.push_back(n->Right);
    }
    for (size_t i = order.size(); i-- > 0 && FErrorText.empty();)
        if (IsJoinRefType(order[i]->JoinType)) ProcessJoinNode(*order[i]);
    return FErrorText.empty();
}

} // namespace zan
