#include "engine/sql/zanParserUtils.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "host/rtl/DateUtils.h"
#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"
#include "host/rtl/VarCompare.h"

namespace zan {

namespace {

// Whether a date-time value lies in 0001-01-01..9999-12-31 once rounded to the millisecond as
// DateUtils decodes it (a fraction that rounds to a whole day moves to the next day).
bool IsDateInRange(double value) {
    if (!std::isfinite(value) || value < MinDateTime - 1 || value > MaxDateTime + 1) return false;
    double days = std::trunc(value);
    if (std::nearbyint(std::fabs(value - days) * static_cast<double>(MSecsPerDay)) >=
        static_cast<double>(MSecsPerDay))
        days += 1;
    return days >= MinDateTime && days <= std::trunc(MaxDateTime);
}

} // namespace

// ---- TTableNameItem, TTableList ------------------------------------------------------------

TTableNameItem::TTableNameItem() : FTableFields(std::make_unique<TInternalFields>()) {}

void TTableNameItem::SetTableFields(const TInternalFields* fields) {
    if (fields)
        FTableFields->Assign(*fields);
    else
        FTableFields->Clear();
}

TFieldType TTableNameItem::GetFieldType(std::string_view name) const {
    const TInternalFieldItem* f = FTableFields->FindField(name);
    return f ? f->GetDataType() : ftUnknown;
}

int32_t TTableNameItem::GetFieldSize(std::string_view name) const {
    const TInternalFieldItem* f = FTableFields->FindField(name);
    if (!f) return 0;
    return f->GetIsVariable() ? f->GetWriteableFieldSize() : f->GetFieldSize();
}

bool TTableNameItem::YieldsField(std::string_view name) const {
    return std::any_of(FYieldedFields.begin(), FYieldedFields.end(),
                       [&](const std::string& f) { return SameText(f, name); });
}

void TTableNameItem::Assign(const TCollectionItem& source) {
    const auto* s = dynamic_cast<const TTableNameItem*>(&source);
    if (!s) {
        TCollectionItem::Assign(source);
        return;
    }
    FCorrelationName = s->FCorrelationName;
    FTableName = s->FTableName;
    SetTableFields(s->FTableFields.get());
    FMemory = s->FMemory;
    FMemorySpecified = s->FMemorySpecified;
    FInCorrelatedSubquery = s->FInCorrelatedSubquery;
    FCorrelatedSubqueryID = s->FCorrelatedSubqueryID;
    FYieldedFields = s->FYieldedFields;
}

TTableNameItem* TTableList::FindTable(std::string_view name) const {
    // A correlation name, or the table name of an unaliased table, wins over the table name of
    // an aliased table: in "FROM t1 JOIN t1 t3", "t1" is the unaliased instance.
    if (TTableNameItem* item = FindExposedTable(name)) return item;
    return FindTableName(name);
}

TTableNameItem* TTableList::FindExposedTable(std::string_view name) const {
    if (name.empty() && Count() == 1) return Items(0);
    for (int i = Count() - 1; i >= 0; --i) {
        TTableNameItem* item = Items(i);
        if (SameText(item->GetCorrelationName(), name) ||
            (item->GetCorrelationName().empty() && SameText(item->GetTableName(), name)))
            return item;
    }
    return nullptr;
}

TTableNameItem* TTableList::FindTableName(std::string_view name) const {
    if (name.empty() && Count() == 1) return Items(0);
    for (int i = Count() - 1; i >= 0; --i)
        if (SameText(Items(i)->GetTableName(), name)) return Items(i);
    return nullptr;
}

TTableNameItem* TTableList::FindTableAndCorrelationName(std::string_view table,
                                                        std::string_view correlation) const {
    if (table.empty() && Count() == 1) return Items(0);
    for (int i = Count() - 1; i >= 0; --i) {
        TTableNameItem* item = Items(i);
        if (SameText(item->GetTableName(), table) &&
            SameText(item->GetCorrelationName(), correlation))
            return item;
    }
    return nullptr;
}

TTableNameItem* TTableList::FindTableForField(std::string_view field) const {
    TTableNameItem* yielding = nullptr;
    for (int i = Count() - 1; i >= 0; --i) {
        TTableNameItem* item = Items(i);
        if (!item->GetTableFields().FindField(field)) continue;
        if (!item->YieldsField(field)) return item;
        if (!yielding) yielding = item;
    }
    return yielding;
}

void TTableList::MergeLists(const TTableList& first, const TTableList& second) {
    // Copies first, so that merging a list into itself is safe.
    std::vector<std::unique_ptr<TTableNameItem>> items;
    const auto copy = [&](const TTableNameItem* source) {
        items.push_back(std::make_unique<TTableNameItem>());
        items.back()->Assign(*source);
    };
    for (int i = 0; i < first.Count(); ++i)
        copy(first.Items(i));
    for (int i = 0; i < second.Count(); ++i) {
        const TTableNameItem* s = second.Items(i);
        bool present = false;
        for (const auto& item : items)
            present = present || (SameText(item->GetTableName(), s->GetTableName()) &&
                                  SameText(item->GetCorrelationName(), s->GetCorrelationName()));
        if (!present) copy(s);
    }
    Clear();
    for (const auto& item : items)
        Add()->Assign(*item);
}

// ---- TZanExprNode --------------------------------------------------------------------------

void TZanExprNode::SetParserToken(const TParserToken& token) {
    ParserToken.Text = token.Text;
    ParserToken.Token = token.Token;
    ParserToken.Section = token.Section;
    ParserToken.LineNo = token.LineNo;
    ParserToken.LineOffset = token.LineOffset;
    ParserToken.CustomOrdinal = token.CustomOrdinal;
    ParserToken.RawTokenText = token.RawTokenText;
}

void TZanExprNode::AssignNode(const TZanExprNode& source) {
    if (&source == this) return;
    DataSize = source.DataSize;
    Left = source.Left;
    Right = source.Right;
    Operator = source.Operator;
    OriginalOperator = source.OriginalOperator;
    Kind = source.Kind;
    ScopeKind = source.ScopeKind;
    DataType = source.DataType;
    Args = source.Args;
    TokenArgs = source.TokenArgs;
    ParserToken = source.ParserToken;
    Data = source.Data;
    OriginalData = source.OriginalData;
    CaseInsensitiveMatch = source.CaseInsensitiveMatch;
    PartialMatch = source.PartialMatch;
    PartialLength = source.PartialLength;
    CastLength = source.CastLength;
    TableList.Assign(source.TableList);
    ExprNodeDataProvider = source.ExprNodeDataProvider;
}

TZanExprNode* TZanExprNode::CloneNode(TZanExpr& owner) const {
    TZanExprNode* copy = owner.NewNode(Kind, Operator, Data, Left, Right, nullptr);
    copy->AssignNode(*this);
    for (TZanExprNode*& arg : copy->Args) {
        TZanExprNode* a =
            owner.NewNode(arg->Kind, arg->Operator, arg->Data, nullptr, nullptr, nullptr);
        a->AssignNode(*arg);
        arg = a;
    }
    return copy;
}

bool TZanExprNode::AreNodesEquivalent(const TZanExprNode* other) const {
    if (!other) return false;
    if (DataSize != other->DataSize || Operator != other->Operator || Kind != other->Kind ||
        ScopeKind != other->ScopeKind || DataType != other->DataType ||
        ParserToken.Token != other->ParserToken.Token || !(Data == other->Data) ||
        CaseInsensitiveMatch != other->CaseInsensitiveMatch ||
        PartialMatch != other->PartialMatch || PartialLength != other->PartialLength)
        return false;
    if (TableList.Count() != other->TableList.Count()) return false;
    for (int i = 0; i < TableList.Count(); ++i)
        if (TableList.Items(i)->GetTableName() != other->TableList.Items(i)->GetTableName())
            return false;
    if (TokenArgs.size() != other->TokenArgs.size()) return false;
    for (size_t i = 0; i < TokenArgs.size(); ++i)
        if (TokenArgs[i]->Token != other->TokenArgs[i]->Token) return false;
    if (Args.size() != other->Args.size()) return false;
    for (size_t i = 0; i < Args.size(); ++i)
        if (!Args[i]->AreNodesEquivalent(other->Args[i])) return false;
    return true;
}

bool TZanExprNode::SetAndConvertDataType(TFieldType fieldType) {
    DataType = fieldType;
    if (VarIsNull(Data) || VarIsEmpty(Data)) return true;
    try {
        switch (fieldType) {
        case ftString: {
            std::string text = VarToStr(Data);
            DataSize = static_cast<int32_t>(text.size());
            Data = Variant(std::move(text));
            break;
        }
        case ftSmallint:
        case ftInteger:
            Data = Variant(Data.AsInteger());
            break;
        case ftBoolean:
            Data = Variant(Data.AsBoolean());
            break;
        case ftFloat:
            Data = Variant(Data.AsDouble());
            break;
        case ftCurrency:
            Data = Variant(Data.AsCurrency());
            break;
        case ftDate:
        case ftDateTime:
            if (Data.Type() == varString) {
                Variant value;
                if (TZanDataConversionValidator::TryConvertStrToDateTime(Data.AsString(), fieldType,
                                                                         value) != 0)
                    return false;
                Data = value;
            } else if (Data.Type() != varBoolean) {
                const double date = Data.AsDouble();
                if (!IsDateInRange(date)) return false;
                Data = VarFromDateTime(date);
            } else {
                return false;
            }
            break;
        default:
            break;
        }
    } catch (const EConvertError&) {
        return false;
    } catch (const EVariantError&) {
        return false;
    }
    return true;
}

namespace {

// Indentation grows by one blank per level up to this depth, then stays: the trace of a very
// deep tree stays linear in size.
constexpr size_t C_MAX_DISPLAY_INDENT = 100;

std::string NodeDisplayLine(const TZanExprNode& node) {
    return Format("%s %s %s '%s' %s %d", ZanExprNodeKindName(node.Kind),
                  ZanExprOperatorName(node.Operator), ZanSQLTokenName(node.ParserToken.Token),
                  node.ParserToken.Text, FieldTypeName(node.DataType), node.DataSize);
}

// The in-order trace of the subtree below `root` (asNode: only the node's own line and its
// arguments, not its left and right subtrees), each line indented by prefix and its depth.
// Walks with an explicit stack, so the depth of the tree does not matter.
void DisplayTree(const std::string& prefix, const TZanExprNode* root, bool asNode,
                 TStrings& lines) {
    enum TStep : uint8_t { dsSubtree, dsNode, dsEndArgs };
    struct TItem {
        TStep Step;
        const TZanExprNode* Node;
        size_t Depth;
    };
    std::string indent = prefix;
    auto lineAt = [&](size_t depth, const std::string& text) {
        indent.resize(prefix.size() + std::min(depth, C_MAX_DISPLAY_INDENT), ' ');
        lines.Add(indent + text);
    };
    std::vector<TItem> work{{asNode ? dsNode : dsSubtree, root, 0}};
    while (!work.empty()) {
        const TItem item = work.back();
        work.pop_back();
        if (!item.Node) continue;
        switch (item.Step) {
        case dsSubtree: // left, node, right: pushed in reverse
            work.push_back({dsSubtree, item.Node->Right, item.Depth + 1});
            work.push_back({dsNode, item.Node, item.Depth});
            work.push_back({dsSubtree, item.Node->Left, item.Depth + 1});
            break;
        case dsNode:
            lineAt(item.Depth, NodeDisplayLine(*item.Node));
            if (item.Node->Args.empty()) break;
            lineAt(item.Depth, "Start Args");
            work.push_back({dsEndArgs, item.Node, item.Depth});
            for (auto it = item.Node->Args.rbegin(); it != item.Node->Args.rend(); ++it)
                work.push_back({dsSubtree, *it, item.Depth + 1});
            break;
        case dsEndArgs:
            lineAt(item.Depth, "End Args");
            break;
        }
    }
}

} // namespace

void TZanExprNode::Display(const std::string& prefix, TStrings& lines) const {
    DisplayTree(prefix, this, true, lines);
}

void TZanExprNode::DisplayExprTree(const std::string& prefix, const TZanExprNode* node,
                                   TStrings& lines) {
    DisplayTree(prefix, node, false, lines);
}

// ---- TZanExpr ------------------------------------------------------------------------------

TZanExprNode* TZanExpr::NewNode(TZanExprNodeKind kind, TZanExprOperator op, const Variant& value,
                                TZanExprNode* left, TZanExprNode* right,
                                const TParserToken* token) {
    auto node = std::make_unique<TZanExprNode>();
    node->Kind = kind;
    node->Operator = node->OriginalOperator = op;
    node->Data = node->OriginalData = value;
    node->Left = left;
    node->Right = right;
    if (token) node->SetParserToken(*token);
    node->CaseInsensitiveMatch = FCaseInsensitiveMatch;
    node->PartialMatch = FPartialStringComparisons;
    node->Next = FFirstNode;
    FFirstNode = node.release();
    return FFirstNode;
}

TZanExprNode* TZanExpr::NewFieldNode(TZanExprNodeKind kind, TZanExprOperator op,
                                     const Variant& value, TZanExprNode* left, TZanExprNode* right,
                                     const TParserToken* token, TFieldType fieldType,
                                     int32_t size) {
    TZanExprNode* node = NewNode(kind, op, value, left, right, token);
    node->DataType = fieldType;
    node->DataSize = size;
    return node;
}

void TZanExpr::SetAsFirstNode(TZanExprNode* node) {
    if (!node || node == FFirstNode) return;
    for (TZanExprNode* p = FFirstNode; p; p = p->Next)
        if (p->Next == node) {
            p->Next = node->Next;
            node->Next = FFirstNode;
            FFirstNode = node;
            return;
        }
}

void TZanExpr::Clear() {
    while (FFirstNode) {
        TZanExprNode* next = FFirstNode->Next;
        delete FFirstNode;
        FFirstNode = next;
    }
}

TZanExprNode* TZanExpr::CloneSubTree(const TZanExprNode* node) {
    // Post-order with an explicit stack: the copies of a node's children (left, right, then
    // each argument) are made before the node's own copy, in the order a recursive walk would
    // make them, and wait on `done` until their parent's copy takes them.
    struct TFrame {
        const TZanExprNode* Node;
        size_t NextChild; // 0 left, 1 right, 2 + i argument i
    };
    auto childCount = [](const TZanExprNode* n) { return 2 + n->Args.size(); };
    auto childAt = [](const TZanExprNode* n, size_t i) {
        return i == 0 ? n->Left : i == 1 ? n->Right : n->Args[i - 2];
    };
    if (!node) return nullptr;
    std::vector<TFrame> frames{{node, 0}};
    std::vector<TZanExprNode*> done;
    while (!frames.empty()) {
        TFrame& top = frames.back();
        const TZanExprNode* source = top.Node;
        if (top.NextChild < childCount(source)) {
            const TZanExprNode* child = childAt(source, top.NextChild++);
            if (child)
                frames.push_back({child, 0}); // invalidates top
            else
                done.push_back(nullptr);
            continue;
        }
        frames.pop_back();
        const size_t first = done.size() - childCount(source);
        TZanExprNode* copy =
            NewNode(source->Kind, source->Operator, source->Data, nullptr, nullptr, nullptr);
        copy->AssignNode(*source);
        copy->Left = done[first];
        copy->Right = done[first + 1];
        copy->Args.assign(done.begin() + static_cast<std::ptrdiff_t>(first + 2), done.end());
        done.resize(first);
        done.push_back(copy);
    }
    return done.back();
}

TZanExprNode* TZanExpr::CloneFromTree(const TZanExprNode* node) {
    TZanExprNode* copy = CloneSubTree(node);
    SetAsFirstNode(copy);
    return copy;
}

int TZanExpr::GetNodeCount() const {
    int n = 0;
    for (const TZanExprNode* p = FFirstNode; p; p = p->Next)
        ++n;
    return n;
}

TZanExprNode* TZanExpr::FindNodeWithToken(TZanSQLToken token) const {
    for (TZanExprNode* p = FFirstNode; p; p = p->Next)
        if (p->ParserToken.Token == token) return p;
    return nullptr;
}

void TZanExpr::ResetSpecifiedNodes(TZanSQLToken oldToken, TZanSQLToken newToken,
                                   TZanExprNodeKind kind, TZanExprOperator op,
                                   const Variant& value) {
    ZanAssert(oldToken != newToken, "ResetSpecifiedNodes needs a new token kind");
    for (TZanExprNode* p = FFirstNode; p; p = p->Next)
        if (p->ParserToken.Token == oldToken) {
            p->ParserToken.Token = newToken;
            p->Kind = kind;
            p->Operator = op;
            p->Data = value;
        }
}

bool TZanExpr::ExprContainsField(std::string_view name) const {
    for (const TZanExprNode* p = FFirstNode; p; p = p->Next)
        if (p->Kind == enkField && p->Data.Type() == varString &&
            SameText(p->Data.AsString(), name))
            return true;
    return false;
}

std::string TZanExpr::ExtractParsedText(const TZanExprNode* node) const {
    // In order (left, node, right) with an explicit stack of nodes whose left side is pending.
    std::string text;
    std::vector<const TZanExprNode*> pending;
    while (node || !pending.empty()) {
        for (; node; node = node->Left)
            pending.push_back(node);
        node = pending.back();
        pending.pop_back();
        text += node->ParserToken.RawTokenText;
        node = node->Right;
    }
    return text;
}

void TZanExpr::Display(TStrings& lines) const {
    TZanExprNode::DisplayExprTree("", FFirstNode, lines);
}

// ---- TZanOpEvaluator -----------------------------------------------------------------------

namespace {

constexpr std::string_view C_ARITHCONTEXT = "TZanOpEvaluator.EvaluateArithExprValues";
constexpr std::string_view C_LOGICCONTEXT = "TZanOpEvaluator.EvaluateLogicalExprAsVar";

[[noreturn]] void TypeMismatch(std::string_view context) {
    ZanDatabaseError(9645, context, SzanExprTypeMismatch);
}

bool IsUndecided(const Variant& v) {
    return VarIsNull(v) || VarIsEmpty(v);
}

bool IsIntegerVar(const Variant& v) {
    return v.Type() == varSmallint || v.Type() == varInteger || v.Type() == varInt64;
}

bool IsNumericVar(const Variant& v) {
    return IsIntegerVar(v) || v.Type() == varDouble || v.Type() == varCurrency ||
           v.Type() == varDate;
}

// A string operand read as a number: an integer when the text is a decimal integer, else a
// double; the same decimal forms a comparison reads as numbers ("0x10" and "$10" are none).
Variant NumberOperand(const Variant& v, std::string_view context) {
    if (IsNumericVar(v)) return v;
    if (v.Type() != varString) TypeMismatch(context);
    const std::string& text = v.AsString();
    int64_t i = 0;
    if (TryDecimalStrToInt64(text, i)) return Variant(i);
    double d = 0;
    if (TryStrToFloat(text, d)) return Variant(d);
    TypeMismatch(context);
}

Variant IntegerResult(int64_t value) {
    if (value >= INT32_MIN && value <= INT32_MAX) return Variant(static_cast<int32_t>(value));
    return Variant(value);
}

// A date outside 0001-01-01..9999-12-31 (after rounding to the millisecond) has no text and
// no calendar day: as good as no date.
Variant FiniteOrNull(double value, bool asDate) {
    if (!std::isfinite(value) || (asDate && !IsDateInRange(value))) return Null();
    return asDate ? VarFromDateTime(value) : Variant(value);
}

Variant Arith(TZanExprOperator op, const Variant& l, const Variant& r) {
    const bool sub = op == zeoSUB || op == zeoMINUS;
    if (IsIntegerVar(l) && IsIntegerVar(r) && op != zeoDIV) {
        const int64_t a = l.AsInt64(), b = r.AsInt64();
        int64_t out = 0;
        const bool overflow = op == zeoADD ? __builtin_add_overflow(a, b, &out)
                              : sub        ? __builtin_sub_overflow(a, b, &out)
                                           : __builtin_mul_overflow(a, b, &out);
        if (!overflow) return IntegerResult(out);
    }
    if (l.Type() == varCurrency && r.Type() == varCurrency && (op == zeoADD || sub)) {
        const int64_t a = l.AsCurrency().Scaled(), b = r.AsCurrency().Scaled();
        int64_t out = 0;
        if (!(op == zeoADD ? __builtin_add_overflow(a, b, &out)
                           : __builtin_sub_overflow(a, b, &out)))
            return Variant(Currency::FromScaled(out));
    }
    const double a = l.AsDouble(), b = r.AsDouble();
    const bool ld = l.Type() == varDate, rd = r.Type() == varDate;
    switch (op) {
    case zeoADD:
        return FiniteOrNull(a + b, ld != rd);
    case zeoSUB:
    case zeoMINUS:
        return FiniteOrNull(a - b, ld && !rd);
    case zeoMUL:
        return FiniteOrNull(a * b, false);
    default: // zeoDIV
        if (b == 0) return Null();
        return FiniteOrNull(a / b, false);
    }
}

// The truth value of an operand: 1 True, 0 False, -1 undecided.
int Truth(const Variant& v) {
    if (IsUndecided(v)) return -1;
    if (v.Type() == varBoolean) return v.AsBoolean() ? 1 : 0;
    try {
        return v.AsBoolean() ? 1 : 0;
    } catch (const EConvertError&) {
    } catch (const EVariantError&) {
    }
    TypeMismatch(C_LOGICCONTEXT);
}

Variant FromTruth(int t) {
    return t < 0 ? Unassigned() : Variant(t == 1);
}

// -1, 0, 1 for less, equal, greater; 2 when the values do not compare.
int Compare(const Variant& l, const Variant& r) {
    const bool ln = IsUndecided(l), rn = IsUndecided(r);
    if (ln || rn) return ln && rn ? 0 : ln ? -1 : 1;
    switch (VarCompareValue(l, r)) {
    case vrEqual:
        return 0;
    case vrLessThan:
        return -1;
    case vrGreaterThan:
        return 1;
    default:
        return 2;
    }
}

} // namespace

void TZanOpEvaluator::EvaluateArithExprValues(TZanExprOperator op, const Variant& left,
                                              Variant& result, const Variant& right) {
    if (op != zeoADD && op != zeoSUB && op != zeoMINUS && op != zeoMUL && op != zeoDIV) {
        result = Unassigned();
        return;
    }
    if (IsUndecided(left) || IsUndecided(right)) {
        result = Null();
        return;
    }
    if (op == zeoADD && left.Type() == varString && right.Type() == varString) {
        result = Variant(left.AsString() + right.AsString());
        return;
    }
    result = Arith(op, NumberOperand(left, C_ARITHCONTEXT), NumberOperand(right, C_ARITHCONTEXT));
}

void TZanOpEvaluator::EvaluateLogicalExprAsVar(TZanExprOperator op, const Variant& left,
                                               Variant& result, const Variant& right) {
    switch (op) {
    case zeoISBLANK:
        result = Variant(VarIsNull(left));
        return;
    case zeoNOTBLANK:
        result = Variant(!VarIsNull(left));
        return;
    case zeoNOT: {
        const int t = Truth(left);
        result = FromTruth(t < 0 ? -1 : 1 - t);
        return;
    }
    case zeoAND: {
        const int a = Truth(left), b = Truth(right);
        result = FromTruth(a == 0 || b == 0 ? 0 : a < 0 || b < 0 ? -1 : 1);
        return;
    }
    case zeoOR: {
        const int a = Truth(left), b = Truth(right);
        result = FromTruth(a == 1 || b == 1 ? 1 : a < 0 || b < 0 ? -1 : 0);
        return;
    }
    default:
        result = Unassigned();
        return;
    }
}

bool TZanOpEvaluator::EvaluateLogicalExprAsBoolean(TZanExprOperator op, const Variant& left,
                                                   const Variant& right) {
    Variant result;
    EvaluateLogicalExprAsVar(op, left, result, right);
    return result.Type() == varBoolean && result.AsBoolean();
}

void TZanOpEvaluator::EvaluateRelopExprAsVar(TZanExprOperator op, const Variant& left,
                                             Variant& result, bool excludeNulls,
                                             const Variant& right) {
    if (excludeNulls && (IsUndecided(left) || IsUndecided(right))) {
        result = Unassigned();
        return;
    }
    const int c = Compare(left, right);
    bool value = false;
    switch (op) {
    case zeoEQ:
    case zeoLIKE:
        value = c == 0;
        break;
    case zeoNE:
        value = c != 0;
        break;
    case zeoGT:
        value = c == 1;
        break;
    case zeoLT:
        value = c == -1;
        break;
    case zeoGE:
        value = c == 0 || c == 1;
        break;
    case zeoLE:
        value = c == 0 || c == -1;
        break;
    default:
        break;
    }
    result = Variant(value);
}

bool TZanOpEvaluator::EvaluateRelopExprAsBoolean(TZanExprOperator op, const Variant& left,
                                                 bool excludeNulls, const Variant& right) {
    Variant result;
    EvaluateRelopExprAsVar(op, left, result, excludeNulls, right);
    return result.Type() == varBoolean && result.AsBoolean();
}

// ---- TZanDataConversionValidator -----------------------------------------------------------

bool TZanDataConversionValidator::CheckDataConversionValid(TFieldType from, TFieldType to) {
    if (from != ftBoolean) return true;
    return to != ftFloat && to != ftDate && to != ftTime && to != ftDateTime && to != ftBlob;
}

void TZanDataConversionValidator::PerformDataConversionToType(TFieldType from, TFieldType to,
                                                              const Variant& value,
                                                              Variant& result) {
    if (from == ftString && (to == ftDate || to == ftTime || to == ftDateTime) &&
        value.Type() == varString)
        ConvertStrToDateTime(value.AsString(), to, result);
    else
        result = value;
}

std::string TZanDataConversionValidator::DateOrderOf(std::string_view shortDateFormat) {
    const std::string f = UpperCase(shortDateFormat);
    const size_t m = f.find('M'), d = f.find('D');
    const std::string md = m <= d ? "MD" : "DM";
    return !f.empty() && f[0] == 'Y' ? "Y" + md : md + "Y";
}

void TZanDataConversionValidator::ConvertStrToDateTime(const std::string& text,
                                                       TFieldType fieldType, Variant& result) {
    switch (TryConvertStrToDateTime(text, fieldType, result)) {
    case 10059:
        ZanDatabaseError(10059, "TZanDataConversionValidator.ConvertStrToDateTime",
                         Format(SzanDataFormatErrorFmt, text, std::string("yyyy-mmm-dd")));
    case 10058:
        ZanDatabaseError(
            10058, "TZanDataConversionValidator.ConvertStrToDateTime",
            Format(SzanDataFormatErrorFmt, text, std::string(FormatSettings.LongTimeFormat)));
    default:
        return;
    }
}

int32_t TZanDataConversionValidator::TryConvertStrToDateTime(const std::string& text,
                                                             TFieldType fieldType,
                                                             Variant& result) {
    if (text.empty()) {
        result = Null();
        return 0;
    }
    TZanStrToDateTimeConverter converter;
    TDateTime date = 0, time = 0;
    int32_t pos = 1;
    if (fieldType == ftDate || fieldType == ftDateTime) {
        static const std::string order = DateOrderOf(FormatSettings.ShortDateFormat);
        if (!converter.ConvertStrToDate(text, order, date, ftDate) &&
            !converter.ConvertStrToDate(text, "YMD", date, ftDate))
            return 10059;
        pos = converter.GetLastPos();
    }
    if (fieldType == ftTime ||
        (fieldType == ftDateTime && static_cast<int64_t>(text.size()) >= pos)) {
        if (!converter.ConvertStrToDateFromLastPos(text, "YMD", time, ftTime)) return 10058;
    }
    result = VarFromDateTime(ComposeDateTime(date, time));
    return 0;
}

// ---- TZanStrToDateTimeConverter ------------------------------------------------------------

namespace {

bool IsAsciiAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigitChar(char c) {
    return c >= '0' && c <= '9';
}

// A run of digits as a number; -1 when it is empty, not all digits or longer than 9 digits.
int ReadNumber(std::string_view part) {
    if (part.empty() || part.size() > 9) return -1;
    int n = 0;
    for (char c : part) {
        if (!IsDigitChar(c)) return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// The current year, read once: the two-digit-year window moves with it.
int CurrentYear() {
    static const int year = [] {
        int y = 0, m = 0, d = 0;
        DecodeDate(Date(), y, m, d);
        return y;
    }();
    return year;
}

// Reads a date at pos (0-based) in the given order; the position after the last part and its
// trailing separators, or -1.
int64_t ReadDate(std::string_view text, int64_t pos, std::string_view order, TDateTime& date) {
    const int64_t n = static_cast<int64_t>(text.size());
    while (pos < n && text[pos] == ' ')
        ++pos;
    int day = 0, month = 0, year = -1, parts = 0;
    size_t yearDigits = 0;
    while (parts < 3 && pos < n) {
        const int64_t from = pos;
        while (pos < n && IsAsciiAlnum(text[pos]))
            ++pos;
        const std::string_view part = text.substr(from, pos - from);
        switch (order[parts]) {
        case 'D':
            day = ReadNumber(part); // a weekday name is no day
            break;
        case 'M':
            if (part.size() >= 3) {
                month = 0;
                for (int i = 0; i < 12; ++i)
                    if (SameText(part, FormatSettings.ShortMonthNames[i])) month = i + 1;
            } else {
                month = ReadNumber(part);
            }
            break;
        default:
            year = ReadNumber(part);
            yearDigits = part.size();
            break;
        }
        ++parts;
        while (pos < n && !IsAsciiAlnum(text[pos]))
            ++pos;
    }
    if (parts < 3 || month < 1 || month > 12 || day < 1 || day > 31 || year < 0) return -1;
    // Only a year written with one or two digits is two-digit: "0001" is the year 1, so that
    // every date DateTimeToStr writes reads back.
    if (yearDigits <= 2) {
        const int window = FormatSettings.TwoDigitYearCenturyWindow;
        const int base = CurrentYear() - window;
        year += base / 100 * 100;
        if (window != 0 && year < base) year += 100;
    }
    if (!TryEncodeDate(year, month, day, date)) return -1;
    return pos;
}

bool ContainsText(std::string_view upperText, std::string_view word) {
    return !word.empty() && upperText.find(UpperCase(word)) != std::string_view::npos;
}

// Reads a time at pos (0-based); the position reached or -1.
int64_t ReadTime(std::string_view text, int64_t pos, TDateTime& time) {
    const int64_t n = static_cast<int64_t>(text.size());
    while (pos < n && text[pos] == ' ')
        ++pos;
    int values[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4 && pos < n; ++i) {
        const int64_t from = pos;
        while (pos < n && IsDigitChar(text[pos]))
            ++pos;
        std::string_view digits = text.substr(from, pos - from);
        // The fourth number is the fraction of the second: ".5" is half a second, as the
        // fields read it; digits past the millisecond are dropped.
        if (i == 3 && digits.size() > 3) digits = digits.substr(0, 3);
        values[i] = ReadNumber(digits);
        if (values[i] < 0) return -1;
        if (i == 3)
            for (size_t d = digits.size(); d < 3; ++d)
                values[i] *= 10;
        while (pos < n && !IsDigitChar(text[pos]))
            ++pos;
    }
    const std::string upper = UpperCase(text);
    int& hour = values[0];
    if ((ContainsText(upper, "PM") || ContainsText(upper, FormatSettings.TimePMString)) &&
        hour < 12)
        hour += 12;
    else if ((ContainsText(upper, "AM") || ContainsText(upper, FormatSettings.TimeAMString)) &&
             hour == 12)
        hour = 0;
    if (!TryEncodeTime(hour, values[1], values[2], values[3], time)) return -1;
    return pos;
}

} // namespace

bool TZanStrToDateTimeConverter::Convert(std::string_view text, std::string_view order,
                                         TDateTime& value, int32_t startPos, TFieldType fieldType) {
    const std::string upperOrder = UpperCase(order);
    if (upperOrder.size() != 3) {
        FLastPos = -1;
        return false;
    }
    int64_t pos = (startPos <= 0 ? 1 : startPos) - 1; // 0-based from here
    TDateTime date = 0, time = 0;
    if (fieldType == ftDate || fieldType == ftDateTime) pos = ReadDate(text, pos, upperOrder, date);
    if (pos >= 0 && (fieldType == ftTime || fieldType == ftDateTime))
        pos = ReadTime(text, pos, time);
    FLastPos = pos < 0 ? -1 : static_cast<int32_t>(std::min<int64_t>(pos + 1, INT32_MAX));
    if (FLastPos < 1) return false;
    value = ComposeDateTime(date, time);
    return true;
}

bool TZanStrToDateTimeConverter::ConvertStrToDate(std::string_view text, std::string_view order,
                                                  TDateTime& value, TFieldType fieldType) {
    return Convert(text, order, value, 1, fieldType);
}

bool TZanStrToDateTimeConverter::ConvertStrToDateFromLastPos(std::string_view text,
                                                             std::string_view order,
                                                             TDateTime& value,
                                                             TFieldType fieldType) {
    return Convert(text, order, value, FLastPos, fieldType);
}

} // namespace zan
