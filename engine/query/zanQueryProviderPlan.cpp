// The SELECT side of the provider item: the plan (query analyser, planner, provider manager),
// the result set with its fields and indexes, UNION members, the address lists of DELETE and
// UPDATE, and the live bridge.
#include "engine/query/zanQueryProviderPlan.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "engine/query/zanQueryProvider.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

constexpr size_t C_MAX_RESULT_FIELD_NAME = 40;
constexpr int32_t C_MAX_RESULT_FIELDS = 255;     // the most fields a table holds
constexpr int32_t C_MAX_RESULT_STRING_SIZE = 256; // the widest string field a table holds

void MakeConstant(TZanExprNode* n, const Variant& value) {
    n->Kind = enkConst;
    n->Operator = zeoCONST2;
    n->Data = value;
    n->Args.clear();
}

std::string FieldPart(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(dot + 1);
}

// A select-list string literal is a string of its length; other untyped columns are floats.
void ResultType(const TSelectFieldItem& s, TFieldType& type, int32_t& size) {
    type = s.GetDataType();
    size = 0;
    const TZanExprNode* root = s.ExprRoot;
    // Aggregates compute in floats: an expression around them is a float.
    if (s.HasAggregateFunction && root && !(root->Kind == enkFunc && root->ParserToken.Token == zstAggFunc) &&
        type != ftString)
        type = ftFloat;
    if (type == ftUnknown && root && root->Kind == enkConst && root->Data.Type() == varString) {
        type = ftString;
        size = int32_t(root->Data.StringRef().size());
    } else if (type == ftString || type == ftWideString) {
        size = std::max(1, s.GetFieldSize() - 1);
    } else if (type == ftUnknown) {
        type = ftFloat;
    } else if (type == ftAutoInc) {
        type = ftInteger;
    }
    // An expression's width adds up its parts' (a || b): a result column holds at most the
    // widest string field, and a longer value fails when it is stored, not every value.
    if (type == ftString) size = std::clamp(size, 1, C_MAX_RESULT_STRING_SIZE);
}

// The bytes of one key of a result index over the first count columns: the key header (10
// bytes), each column (a string its length word and its field, the declared width and a
// terminator; other types their stored size), the integers after them (the record number a
// non-unique index adds, the sort tie field) and the null bitmap, a byte per eight key fields.
int32_t ResultKeySize(const std::vector<const TResultSetField*>& columns, size_t count,
                      int32_t integers) {
    int32_t size = 10 + 4 * integers + (int32_t(count) + integers) / 8 + 1;
    for (size_t i = 0; i < count; ++i) {
        const TFieldType type = columns[i]->GetDataType();
        size += type == ftString || type == ftWideString ? 2 + columns[i]->GetFieldSize() + 1
                                                         : FieldStorageSize(type);
    }
    return size;
}

// How many leading columns a result index keys: all when they fit in one key with the given
// integers after them, else those that fit with the integers and more (at least the first).
int32_t KeyedColumns(const std::vector<const TResultSetField*>& columns, int32_t integers,
                     int32_t integersWhenCut) {
    size_t n = columns.size();
    if (ResultKeySize(columns, n, integers) <= C_MAXKEYSIZE) return int32_t(n);
    while (n > 1 && ResultKeySize(columns, n, integersWhenCut) > C_MAXKEYSIZE)
        --n;
    return int32_t(n);
}

// The widest text a value of a type other than a string takes when it is stored in a string
// column (a UNION member's numbers or dates under a first member's string); 0 for a type that
// is no value of its own (blobs, unknown).
int32_t TextWidthOf(TFieldType type) {
    switch (type) {
    case ftSmallint:
        return 6; // -32768
    case ftWord:
        return 5;
    case ftInteger:
    case ftAutoInc:
        return 11;
    case ftLargeint:
        return 20;
    case ftBoolean:
        return 5; // False
    case ftFloat:
    case ftCurrency:
    case ftBCD:
        return 24; // 15 significant digits, a sign, a point and a three-digit exponent
    case ftDate:
        return 10;
    case ftTime:
        return 12; // with milliseconds
    case ftDateTime:
        return 23;
    default:
        return 0;
    }
}

// Whether the subtree reads a subquery that depends on the current outer row.
bool ReadsCorrelatedSubquery(const TZanExprNode* n) {
    if (!n) return false;
    if (auto* p = dynamic_cast<TQueryExprNodeDataProvider*>(n->ExprNodeDataProvider))
        if (p->GetItem() && p->GetItem()->GetIsCorrelated()) return true;
    if (ReadsCorrelatedSubquery(n->Left) || ReadsCorrelatedSubquery(n->Right)) return true;
    for (const TZanExprNode* a : n->Args)
        if (ReadsCorrelatedSubquery(a)) return true;
    return false;
}

void SplitConjuncts(TZanExprNode* n, std::vector<TZanExprNode*>& out) {
    if (n->Kind == enkLogicalOperator && n->Operator == zeoAND && n->Left && n->Right) {
        SplitConjuncts(n->Left, out);
        SplitConjuncts(n->Right, out);
        return;
    }
    out.push_back(n);
}

// Outer-field nodes in the subtree.
int CountOuterRefs(const TZanExprNode* n) {
    if (!n) return 0;
    int count = n->Operator == zeoOUTERFIELD ? 1 : 0;
    count += CountOuterRefs(n->Left) + CountOuterRefs(n->Right);
    for (const TZanExprNode* a : n->Args)
        count += CountOuterRefs(a);
    return count;
}

// Whether the subtree holds a function (which may fail on a row) or a subquery.
bool HoldsFuncOrSubquery(const TZanExprNode* n) {
    if (!n) return false;
    if (n->Kind == enkFunc || n->Kind == enkSubquery || n->ExprNodeDataProvider) return true;
    if (HoldsFuncOrSubquery(n->Left) || HoldsFuncOrSubquery(n->Right)) return true;
    for (const TZanExprNode* a : n->Args)
        if (HoldsFuncOrSubquery(a)) return true;
    return false;
}

bool IsNumberType(TFieldType type) {
    switch (type) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
    case ftFloat:
        return true;
    default:
        return false;
    }
}

// Appends a key part for a value that is not NULL. Numbers compare as doubles: an integral
// value below 2^53 is one integer key whatever its type, another double keys its bits. Two
// strings are equal in either sort order only when their bytes are. False for a value these
// rules cannot place (the row or the outer value is then not keyed).
bool AppendKey(const Variant& v, bool strings, std::string& key) {
    const TVarType t = v.Type();
    if (strings) {
        if (t != varString) return false;
        const std::string& text = v.StringRef();
        const uint32_t size = uint32_t(text.size());
        key += 's';
        key.append(reinterpret_cast<const char*>(&size), sizeof size);
        key += text;
        return true;
    }
    constexpr double C_EXACT = 9007199254740992.0; // 2^53
    int64_t whole = 0;
    if (t == varInteger || t == varSmallint || t == varInt64) {
        whole = v.AsInt64();
        if (whole >= int64_t(C_EXACT) || whole <= -int64_t(C_EXACT)) return false;
    } else if (t == varDouble) {
        const double d = v.AsDouble();
        if (std::isnan(d) || std::fabs(d) >= C_EXACT) return false;
        if (d != std::floor(d)) {
            key += 'd';
            key.append(reinterpret_cast<const char*>(&d), sizeof d);
            return true;
        }
        whole = int64_t(d);
    } else {
        return false;
    }
    key += 'i';
    key.append(reinterpret_cast<const char*>(&whole), sizeof whole);
    return true;
}

bool IsNullValue(const Variant& v) {
    return v.Type() == varNull || v.Type() == varEmpty;
}

constexpr int C_RESIDUAL_UNKNOWN = -2;

// A residual comparison as the evaluator makes it: 1 True, 0 False or undecided (NULL), and
// C_RESIDUAL_UNKNOWN for values these rules do not cover.
template <class TResidual>
int ResidualCompare(const TResidual& r, const Variant& a, const Variant& b, TZanCompareFunc compare) {
    if (IsNullValue(a) || IsNullValue(b)) return 0;
    int c = 0;
    const TVarType ta = a.Type(), tb = b.Type();
    const bool ia = ta == varInteger || ta == varSmallint || ta == varInt64;
    const bool ib = tb == varInteger || tb == varSmallint || tb == varInt64;
    if (r.Strings) {
        if (ta != varString || tb != varString) return C_RESIDUAL_UNKNOWN;
        const std::string& x = a.StringRef();
        const std::string& y = b.StringRef();
        c = compare(x.data(), int32_t(std::min<size_t>(x.size(), INT32_MAX)), y.data(),
                    int32_t(std::min<size_t>(y.size(), INT32_MAX)), false,
                    r.Term->CaseInsensitiveMatch);
    } else if (ia && ib) {
        const int64_t x = a.AsInt64(), y = b.AsInt64();
        c = x < y ? -1 : x > y ? 1 : 0;
    } else if ((ia || ta == varDouble) && (ib || tb == varDouble)) {
        const double x = a.AsDouble(), y = b.AsDouble();
        if (std::isnan(x) || std::isnan(y)) return C_RESIDUAL_UNKNOWN;
        c = x < y ? -1 : x > y ? 1 : 0;
    } else {
        return C_RESIDUAL_UNKNOWN;
    }
    switch (r.Term->Operator) {
    case zeoEQ:
        return c == 0;
    case zeoNE:
        return c != 0;
    case zeoLT:
        return c < 0;
    case zeoLE:
        return c <= 0;
    case zeoGT:
        return c > 0;
    case zeoGE:
        return c >= 0;
    default:
        return C_RESIDUAL_UNKNOWN;
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Keyed correlated subqueries

namespace {
bool GKeyedSubqueries = true;
} // namespace

void TZanQueryProviderItem::SetKeyedSubqueries(bool value) {
    GKeyedSubqueries = value;
}

bool TZanQueryProviderItem::AnalyseKeyed() {
    if (!GKeyedSubqueries) return false;
    FKeyParts.clear();
    FResiduals.clear();
    FKeyTerms.clear();
    // A SELECT statement only: an UPDATE's later rows may read what its earlier rows wrote.
    if (!FParent || !FIsCorrelated || FUnionPart || FWhereOnly || FStatementType != zsSQLSelect ||
        !FChildren.empty() || GetProvider().GetSQLStatementType() != zsSQLSelect ||
        GetProvider().GetMaxRecords() > 0)
        return false;
    TZanParserEngine& e = *FEngine;
    const TSelectFields& columns = FSelectAnalyser.GetSelectFields();
    if (e.GetGroupByItems().Count() > 0 || e.GetHavingParser().GetRootNode() ||
        columns.Count() == 0 || FSelectAnalyser.GetIsDistinct())
        return false;
    // The first column is read on every row, matching or not: only what cannot fail. An
    // aggregate alone (COUNT, MIN or MAX of a number column, not DISTINCT) is computed over
    // each group.
    const TSelectFieldItem* first = columns.Items(0);
    const TZanExprNode* firstRoot = first->ExprRoot;
    FKeyedAggregate = zafUnknown;
    if (firstRoot && firstRoot->Kind == enkFunc && firstRoot->ParserToken.Token == zstAggFunc) {
        const auto func = static_cast<TZanSQLAggFunc>(firstRoot->ParserToken.CustomOrdinal);
        const bool distinct = firstRoot->Data.Type() == varBoolean && firstRoot->Data.AsBoolean();
        const TZanExprNode* arg = firstRoot->Args.empty() ? nullptr : firstRoot->Args[0];
        if (columns.Count() != 1 || distinct || (arg && arg->Kind != enkField) ||
            !(func == zafCount || ((func == zafMin || func == zafMax) && arg &&
                                   IsNumberType(arg->DataType))))
            return false;
        FKeyedAggregate = func;
    } else if (columns.ContainsAggregateColumns() || columns.ContainsGroupedOutput()) {
        return false;
    } else if (!(first->SourceTableItem && !first->SourceFieldName.empty()) &&
               !(firstRoot && (firstRoot->Kind == enkConst || firstRoot->Kind == enkField))) {
        return false;
    }
    TZanExprNode* where = e.GetWhereParser().GetRootNode();
    if (!where) return false;
    std::vector<TZanExprNode*> terms;
    SplitConjuncts(where, terms);
    int keyed = 0;
    for (TZanExprNode* t : terms) {
        // The other conditions run on every row too.
        if (CountOuterRefs(t) == 0) {
            if (HoldsFuncOrSubquery(t)) return false;
            continue;
        }
        const bool relop = t->Operator == zeoEQ || t->Operator == zeoNE || t->Operator == zeoLT ||
                           t->Operator == zeoLE || t->Operator == zeoGT || t->Operator == zeoGE;
        if (t->Kind != enkRelOperator || !relop || t->PartialMatch || t->PartialLength > 0 ||
            !t->Left || !t->Right)
            return false;
        const TZanExprNode* inner = t->Left->Kind == enkField ? t->Left : t->Right;
        const TZanExprNode* outer = inner == t->Left ? t->Right : t->Left;
        if (inner->Kind != enkField || outer->Operator != zeoOUTERFIELD ||
            inner->PartialLength > 0 || outer->PartialLength > 0)
            return false;
        bool strings = false;
        if (inner->DataType == ftString && outer->DataType == ftString)
            strings = true;
        else if (!IsNumberType(inner->DataType) || !IsNumberType(outer->DataType))
            return false;
        if (t->Operator == zeoEQ && !t->CaseInsensitiveMatch)
            FKeyParts.push_back({inner, outer, strings});
        else
            FResiduals.push_back({t, inner, outer, inner == t->Left, strings});
        FKeyTerms.push_back(t);
        ++keyed;
    }
    // Every outer reference of the item (select list, ON conditions included) is a key or a
    // residual, and one key at least groups the rows.
    return !FKeyParts.empty() && keyed == FOuterRefCount;
}

bool TZanQueryProviderItem::BuildKeyedRows() {
    TZanQueryPlanState& st = *FPlan;
    FKeyedRows.clear();
    // An outer row that could not be keyed may have left a result open over the manager.
    FResultSet->Close();
    FDropKeyTerms = true;
    {
        TScopeExit keep([&] { FDropKeyTerms = false; });
        PreparePlan();
    }
    GetProvider().CountSubqueryRun();
    st.Mgr.OpenProviders();
    st.Opened = true;
    st.Mgr.SetDBStringCompare(GetProvider().GetDBStringCompare());
    if (st.Where.GetRootNode())
        st.Mgr.PrepareJoinExprEvaluator(st.Where.GetRootNode(), GetProvider().GetInstant());
    CreateResultSetFields();
    FKeyedColumns = FResultFields.Count();
    TZanBaseJoinDataProvider* root = st.Mgr.GetRootProvider();
    const auto evaluator = [&](const TZanExprNode* node) {
        auto ev = std::make_unique<TExprEvaluator>();
        ev->SetDBStringCompare(GetProvider().GetDBStringCompare());
        ev->Prepare(root, const_cast<TZanExprNode*>(node), GetProvider().GetInstant());
        return ev;
    };
    std::vector<std::unique_ptr<TExprEvaluator>> keys, residuals;
    for (const TKeyPart& k : FKeyParts)
        keys.push_back(evaluator(k.Inner));
    for (const TResidual& r : FResiduals)
        residuals.push_back(evaluator(r.Inner));
    // The first column's value, or the aggregate's argument (none for COUNT(*)).
    std::unique_ptr<TExprEvaluator> argument;
    TResultSetField* firstColumn = nullptr;
    if (FKeyedAggregate == zafUnknown)
        firstColumn = FResultFields.Items(0);
    else if (!FSelectAnalyser.GetSelectFields().Items(0)->ExprRoot->Args.empty())
        argument = evaluator(FSelectAnalyser.GetSelectFields().Items(0)->ExprRoot->Args[0]);
    TZanHeldReadLocks held(st.Mgr.GetBridges());
    std::string key;
    Variant value;
    for (bool more = st.Mgr.FirstProviderRecord(); more; more = st.Mgr.NextProviderRecord()) {
        key.clear();
        bool null = false;
        for (size_t i = 0; i < keys.size() && !null; ++i) {
            keys[i]->Reset();
            keys[i]->EvaluateValueExpr(value);
            if (IsNullValue(value))
                null = true; // equal to nothing
            else if (!AppendKey(value, FKeyParts[i].Strings, key)) {
                FKeyedRows.clear();
                return false;
            }
        }
        if (null) continue;
        std::vector<Variant>& rows = FKeyedRows[key];
        if (firstColumn) {
            rows.push_back(firstColumn->GetValue());
        } else if (argument) {
            argument->Reset();
            argument->EvaluateValueExpr(value);
            rows.push_back(value);
        } else {
            rows.push_back(Null());
        }
        for (const auto& r : residuals) {
            r->Reset();
            r->EvaluateValueExpr(value);
            rows.push_back(value);
        }
    }
    return true;
}

bool TZanQueryProviderItem::KeyedRows(const std::vector<Variant>*& firstColumn, int32_t& columns) {
    if (FKeyedState == ksUnknown) FKeyedState = AnalyseKeyed() ? ksPlanned : ksNo;
    if (FKeyedState == ksNo) return false;
    static const std::vector<Variant> none;
    std::string key;
    bool null = false;
    for (const TKeyPart& k : FKeyParts) {
        const Variant v = OuterValue(*k.Outer);
        if (IsNullValue(v))
            null = true;
        else if (!AppendKey(v, k.Strings, key))
            return false; // this outer row runs the subquery
    }
    if (FKeyedState == ksPlanned) {
        // A run with an index costs about what reading a thousand rows does: the outer rows
        // run the subquery until their runs would have read about the subquery's tables (one
        // run at least, which opens them), so a few outer rows over a large table never read
        // all of it, and many outer rows pay at most about twice what the better way costs.
        if (FKeyedThreshold < 0 && FKeyedDeferred > 0) {
            int64_t rows = 0;
            for (const auto& p : FPlan->Mgr.GetTableProviders())
                if (TZanDatasetBridge* b = p->GetBridge(); b && b->GetInternalActive())
                    rows += b->GetTotalRecordCount();
            FKeyedThreshold = std::max<int64_t>(1, rows / 1000);
        }
        if (FKeyedThreshold < 0 || FKeyedDeferred < FKeyedThreshold) {
            ++FKeyedDeferred;
            return false;
        }
        if (!BuildKeyedRows()) {
            FKeyedState = ksNo;
            return false;
        }
        FKeyedState = ksBuilt;
    }
    columns = FKeyedColumns;
    const auto it = null ? FKeyedRows.end() : FKeyedRows.find(key);
    const std::vector<Variant>& group = it == FKeyedRows.end() ? none : it->second;
    if (FResiduals.empty() && FKeyedAggregate == zafUnknown) {
        firstColumn = &group;
        return true;
    }
    // The rows of the group that pass every residual comparison, or their aggregate.
    std::vector<Variant> outer;
    for (const TResidual& r : FResiduals)
        outer.push_back(OuterValue(*r.Outer));
    const TZanCompareFunc compare = GetProvider().GetDBStringCompare();
    TFuncResultItem aggregate;
    aggregate.AggFunc = FKeyedAggregate;
    FProbeRows.clear();
    const size_t stride = 1 + FResiduals.size();
    for (size_t row = 0; row + stride <= group.size(); row += stride) {
        bool pass = true;
        for (size_t i = 0; i < FResiduals.size() && pass; ++i) {
            const TResidual& r = FResiduals[i];
            const Variant& inner = group[row + 1 + i];
            const int c = r.InnerLeft ? ResidualCompare(r, inner, outer[i], compare)
                                      : ResidualCompare(r, outer[i], inner, compare);
            if (c == C_RESIDUAL_UNKNOWN) return false; // this outer row runs the subquery
            pass = c == 1;
        }
        if (!pass) continue;
        if (FKeyedAggregate == zafUnknown)
            FProbeRows.push_back(group[row]);
        else if (FKeyedAggregate == zafCount && VarIsNull(group[row]) &&
                 FSelectAnalyser.GetSelectFields().Items(0)->ExprRoot->Args.empty())
            aggregate.CountRow();
        else
            aggregate.SetNewValue(group[row], compare);
    }
    if (FKeyedAggregate != zafUnknown) {
        // As the result column holds it: a count, or an extreme of integers, as an integer.
        Variant result = aggregate.GetResult(compare);
        const TFieldType type = FResultFields.Items(0)->GetDataType();
        if (result.Type() == varDouble && (type == ftInteger || type == ftSmallint ||
                                           type == ftWord || type == ftLargeint)) {
            const double d = result.AsDouble();
            if (d == std::floor(d) && std::fabs(d) < 2147483648.0) result = Variant(int32_t(d));
        }
        FProbeRows.assign(1, result);
    }
    firstColumn = &FProbeRows;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Plan

TZanExprNode* TZanQueryProviderItem::PushableWhere() {
    TZanQueryPlanState& st = *FPlan;
    TZanExprNode* where = st.Where.GetRootNode();
    st.Pushable.Clear();
    if (!where || !ReadsCorrelatedSubquery(where)) return where;
    // A table's filter is evaluated before the joined row is current, so a condition reading
    // a correlated subquery stays with the root evaluator, which checks the whole WHERE.
    std::vector<TZanExprNode*> terms;
    SplitConjuncts(where, terms);
    TZanExprNode* kept = nullptr;
    for (TZanExprNode* t : terms) {
        if (ReadsCorrelatedSubquery(t)) continue;
        TZanExprNode* copy = st.Pushable.CloneSubTree(t);
        kept = kept ? st.Pushable.NewNode(enkLogicalOperator, zeoAND, Variant(), copy, kept, nullptr)
                    : copy;
    }
    if (kept) st.Pushable.SetAsFirstNode(kept);
    return kept;
}

Variant TZanQueryProviderItem::OuterValue(const TZanExprNode& n) {
    std::string table;
    TZanQueryProviderItem* owner = FParent;
    if (n.TableList.Count() > 0) {
        const TTableNameItem* t = n.TableList.Items(0);
        table = t->GetCorrelationName().empty() ? t->GetTableName() : t->GetCorrelationName();
        for (TZanQueryProviderItem* i = FParent; i; i = i->FParent)
            if (i->GetID() == t->GetCorrelatedSubqueryID()) owner = i;
    }
    Variant value = Null();
    if (owner) owner->GetFieldData(table, FieldPart(n.Data.AsString()), value);
    return value;
}

void TZanQueryProviderItem::ResolveOuterReferences(TZanExpr& expr) {
    for (TZanExprNode* n = expr.GetFirstNode(); n; n = n->Next)
        if (n->Operator == zeoOUTERFIELD) MakeConstant(n, OuterValue(*n));
}

bool TZanQueryProviderItem::PreparePlan() {
    ++FPlanCount;
    TZanQueryPlanState& st = *FPlan;
    TZanParserEngine& e = *FEngine;
    st.Where.Clear();
    if (TZanExprNode* where = e.GetWhereParser().GetRootNode()) {
        if (FDropKeyTerms) {
            std::vector<TZanExprNode*> terms;
            SplitConjuncts(where, terms);
            TZanExprNode* kept = nullptr;
            for (TZanExprNode* t : terms) {
                if (std::find(FKeyTerms.begin(), FKeyTerms.end(), t) != FKeyTerms.end()) continue;
                TZanExprNode* copy = st.Where.CloneSubTree(t);
                kept = kept ? st.Where.NewNode(enkLogicalOperator, zeoAND, Variant(), copy, kept,
                                               nullptr)
                            : copy;
            }
            if (kept) st.Where.SetAsFirstNode(kept);
        } else {
            st.Where.CloneFromTree(where);
        }
        ResolveOuterReferences(st.Where);
        BindParams(st.Where);
    }
    st.Mgr.Clear();
    st.Mgr.SetDatabase(GetProvider().GetDatabase());
    st.Mgr.SetDBStringCompare(GetProvider().GetDBStringCompare());
    st.Analyser.Prepare(&st.Joins, &st.Selects, &e.GetTableList(), PushableWhere());
    st.Plan.SetTableList(&e.GetTableList());
    st.Plan.SetJoins(&st.Joins);
    st.Plan.SetSelects(&st.Selects);
    st.Plan.SetProviderMgr(&st.Mgr);
    st.Plan.SetFromRoot(e.GetFromParser().GetRootJoinNode());
    TZanQueryPlanner::CreatePlan(&st.Plan);
    st.Opened = false;
    return true;
}

bool TZanQueryProviderItem::GetFieldData(const std::string& tableName,
                                         const std::string& fieldName, Variant& value) {
    for (TZanQueryProviderItem* i = this; i; i = i->FParent) {
        // HAVING: the group's row, not the source row the grouping ended on.
        if (i->FResultSet && i->FResultSet->HavingColumnValue(i->FResultFields, tableName,
                                                              fieldName, value))
            return true;
        TZanBaseJoinDataProvider* root =
            i->FUpdateRowSource ? i->FUpdateRowSource : i->FPlan->Mgr.GetRootProvider();
        if (!root) continue;
        TZanBaseJoinDataProvider* p = tableName.empty() ? root : root->FindJoinProvider(tableName);
        if (!p) continue;
        TInternalFieldItem* f = p->FindField(nullptr, fieldName);
        if (!f) continue;
        value = p->GetDataAsVariant(f->GetFieldIndex());
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Result set

void TZanQueryProviderItem::CreateResultSetFields() {
    TZanQueryPlanState& st = *FPlan;
    TZanQueryDataset& ds = *FResultSet;
    TZanBaseJoinDataProvider* root = st.Mgr.GetRootProvider();
    ZanAssert(root != nullptr, "Root provider is not assigned");
    FResultFields.Clear();
    if (!FResultDefsExist) ds.GetFieldDefs().Clear();
    const TSelectFields& columns = FSelectAnalyser.GetSelectFields();
    // A longer list than a result table holds is refused before its columns are named, as
    // the result table would refuse it.
    if (columns.Count() > C_MAX_RESULT_FIELDS)
        ZanDatabaseErrorFmt(9492, "TZanQueryProvider.CreateResultSetFields",
                            "%d is not a valid value (min. %d, max. %d)",
                            {columns.Count(), 1, C_MAX_RESULT_FIELDS});
    std::unordered_set<std::string> taken;
    std::unordered_map<std::string, int> nextSuffix; // per name: the first "_N" left to try
    for (int i = 0; i < columns.Count(); ++i) {
        const TSelectFieldItem* s = columns.Items(i);
        TResultSetField* f = FResultFields.Add();
        f->SelectFieldItem = s;
        // A table field name holds at most 40 bytes: longer select-list text is cut (at a
        // character boundary, room kept for the "_N" that makes it unique) and shown whole as
        // the column's display name.
        const std::string& text = s->GetFieldName();
        auto cut = [&](size_t limit) { return text.substr(0, Utf8CutLength(text, limit)); };
        std::string name = cut(C_MAX_RESULT_FIELD_NAME);
        if (taken.count(UpperCase(name))) {
            int& n = nextSuffix.try_emplace(UpperCase(name), 1).first->second;
            for (;; ++n) {
                const std::string suffix = "_" + std::to_string(n);
                name = cut(C_MAX_RESULT_FIELD_NAME - suffix.size()) + suffix;
                if (!taken.count(UpperCase(name))) break;
            }
        }
        taken.insert(UpperCase(name));
        f->SetFieldName(name);
        f->DisplayName = text.size() > C_MAX_RESULT_FIELD_NAME ? text : std::string();
        TFieldType type;
        int32_t size;
        ResultType(*s, type, size);
        // A UNION's string column is as wide as the widest of its members' values: their
        // strings, and the text of their numbers and dates, which are stored as strings.
        if (type == ftString) {
            for (const TZanQueryProviderItem* c : FChildren) {
                if (!c->FUnionPart) continue;
                const TSelectFields& other = c->FSelectAnalyser.GetSelectFields();
                if (i >= other.Count()) continue;
                TFieldType otherType;
                int32_t otherSize;
                ResultType(*other.Items(i), otherType, otherSize);
                size = std::max(size, otherType == ftString ? otherSize : TextWidthOf(otherType));
            }
            size = std::min(size, C_MAX_RESULT_STRING_SIZE);
        }
        f->SetDataType(type);
        f->SetFieldSize(size);
        f->SourceFieldName = s->SourceFieldName.empty() ? name : s->SourceFieldName;
        f->SetDataProvider(root);
        if (s->SourceTableItem && !s->SourceFieldName.empty() && !s->HasAggregateFunction) {
            // A plain column reads its table's field directly.
            TZanBaseJoinDataProvider* p =
                root->FindExposedProvider(ExposedTableName(*s->SourceTableItem));
            ZanAssert(p != nullptr, "The result set field data provider could not be found");
            const TInternalFieldItem* field = p->FindField(nullptr, s->SourceFieldName);
            ZanAssert(field != nullptr, "Resultset field does not have a data provider");
            f->SetDataProvider(p);
            f->SetSourceFieldNo(field->GetFieldIndex());
        } else if (!s->HasAggregateFunction) {
            ZanAssert(s->ExprRoot != nullptr, "Select field expr root is not assigned");
            TExprEvaluator& ev = f->GetEvaluator();
            ev.SetDBStringCompare(GetProvider().GetDBStringCompare());
            ev.Prepare(root, const_cast<TZanExprNode*>(s->ExprRoot), GetProvider().GetInstant());
            // A selected comparison with NULL is NULL, as it is in WHERE.
            ev.SetExcludeRelopNulls(true);
        }
        f->SetComputed(s->SourceFieldName.empty() || s->HasAggregateFunction);
        // A plain column keeps its field's NOT NULL (a live result checks it before posting).
        bool required = false;
        if (s->SourceTableItem && !s->SourceFieldName.empty() && !s->HasAggregateFunction)
            if (const TInternalFieldItem* src =
                    s->SourceTableItem->GetTableFields().FindField(s->SourceFieldName))
                required = src->GetRequired();
        if (!FResultDefsExist) ds.GetFieldDefs().Add(name, type, size, required);
    }
}

void TZanQueryProviderItem::CreateResultSetIndexes() {
    TZanQueryDataset& ds = *FResultSet;
    ds.GetIndexDefs().Clear();
    ds.ClearResultKeys();
    // A hidden field's name: its own unless a result column has that name, then with a suffix.
    const auto hiddenName = [&](const char* base) {
        const auto taken = [&](const std::string& name) {
            for (int i = 0; i < FResultFields.Count(); ++i)
                if (SameText(FResultFields.Items(i)->GetFieldName(), name)) return true;
            return false;
        };
        std::string name = base;
        for (int n = 1; taken(name); ++n)
            name = std::string(base) + "_" + std::to_string(n);
        return name;
    };
    ds.SetSortTieField(hiddenName(C_SORT_TIE_FIELD));
    // Each index keys the leading columns that fit in one key; rows that share them are told
    // apart, and ordered, by the others (TZanQueryDataset::TResultKey).
    const auto addIndex = [&](const char* name, const std::vector<const TResultSetField*>& columns,
                              TZanQueryDataset::TResultKey key, const std::string& extra,
                              TIndexOptions options) {
        std::string fields, desc;
        for (int32_t i = 0; i < key.Keyed; ++i) {
            const std::string& field = columns[size_t(i)]->GetFieldName();
            fields += (fields.empty() ? "" : ";") + field;
            if (key.Descending[size_t(i)]) desc += (desc.empty() ? "" : ";") + field;
        }
        if (!key.Whole() && !extra.empty()) fields += ";" + extra;
        if (!key.Whole() && extra != ds.GetSortTieField()) key.HashField = extra;
        TIndexDef& def = ds.GetIndexDefs().Add(name, fields, options);
        if (!desc.empty()) def.SetDescFields(desc);
        ds.SetResultKey(name, std::move(key));
    };
    TOrderByItems& order = FEngine->GetOrderByItems();
    if (order.Count() > 0) {
        std::vector<const TResultSetField*> columns;
        TZanQueryDataset::TResultKey key;
        for (int i = 0; i < order.Count(); ++i) {
            const TOrderByItem* o = order.Items(i);
            TResultSetField* f = nullptr;
            if (o->FieldIndex > 0 && o->FieldIndex <= FResultFields.Count()) {
                f = FResultFields.Items(o->FieldIndex - 1);
            } else if (o->ResultSetIndex >= 0 && o->ResultSetIndex < FResultFields.Count()) {
                f = FResultFields.Items(o->ResultSetIndex);
            } else {
                f = FResultFields.FindResultSetField(o->SortKey);
                if (!f) f = FResultFields.FindResultSetField(FieldPart(o->SortKey));
            }
            ZanAssert(f != nullptr, "The result set field could not be found: " + o->SortKey);
            columns.push_back(f);
            key.Columns.push_back(f->GetIndex());
            key.Descending.push_back(o->Descending);
        }
        // Cut: the tie field follows the keyed items (with the record number), under a name
        // no result column has.
        key.Keyed = KeyedColumns(columns, 1, 2);
        addIndex("idxorderby", columns, std::move(key), ds.GetSortTieField(), {});
    }
    const TSelectFields& selected = FSelectAnalyser.GetSelectFields();
    if (selected.ContainsGroupedOutput() || FEngine->GetGroupByItems().Count() > 0) {
        std::vector<const TResultSetField*> columns;
        TZanQueryDataset::TResultKey key;
        for (int i = 0; i < FResultFields.Count(); ++i)
            if (!selected.Items(i)->HasAggregateFunction) {
                columns.push_back(FResultFields.Items(i));
                key.Columns.push_back(i);
                key.Descending.push_back(false);
            }
        if (!columns.empty()) {
            // Unique while it keys every grouped column; cut, it takes the hash of the other
            // columns and the record number.
            key.Keyed = KeyedColumns(columns, 0, 2);
            const bool whole = key.Whole();
            addIndex("idxgroupby", columns, std::move(key), hiddenName(C_GROUP_HASH_FIELD),
                     whole ? TIndexOptions{ixUnique} : TIndexOptions{});
        }
    }
    bool distinctUnion = false;
    for (const TZanQueryProviderItem* c : FChildren)
        if (c->FUnionPart && !c->FUnionAll) distinctUnion = true;
    if (FSelectAnalyser.GetIsDistinct() || distinctUnion) {
        std::vector<const TResultSetField*> columns;
        TZanQueryDataset::TResultKey key;
        for (int i = 0; i < FResultFields.Count(); ++i) {
            columns.push_back(FResultFields.Items(i));
            key.Columns.push_back(i);
            key.Descending.push_back(false);
        }
        // Cut, it takes the hash of the other columns before the record number.
        key.Keyed = KeyedColumns(columns, 1, 2);
        addIndex("idxdistinct", columns, std::move(key), hiddenName(C_DISTINCT_HASH_FIELD),
                 {});
    }
}

bool TZanQueryProviderItem::CreateResultSet() {
    TZanQueryDataset& ds = *FResultSet;
    // The result is read through the dataset protocol afterwards: the cursor level closes.
    TScopeExit close([&] {
        if (ds.GetInternalActive() && !ds.GetActive()) ds.DataSetClose();
    });
    return InternalCreateResultSet();
}

bool TZanQueryProviderItem::InternalCreateResultSet() {
    TZanQueryPlanState& st = *FPlan;
    TZanQueryDataset& ds = *FResultSet;
    TZanDataBase* db = GetProvider().GetDatabase();
    ds.Close();
    if (ds.GetInternalActive()) ds.DataSetClose();
    ds.SetDataBase(db);
    ds.SetTableName(ResultTableName());
    ds.SetProviderMgr(&st.Mgr);
    ds.SetInstant(GetProvider().GetInstant());
    if (!st.Opened) {
        st.Mgr.OpenProviders();
        st.Opened = true;
    }
    st.Mgr.SetDBStringCompare(GetProvider().GetDBStringCompare());
    // The whole WHERE is checked on every joined row, whatever was pushed down.
    const bool whereEvaluated = st.Where.GetRootNode() != nullptr;
    if (whereEvaluated)
        st.Mgr.PrepareJoinExprEvaluator(st.Where.GetRootNode(), GetProvider().GetInstant());
    CreateResultSetFields();
    if (!FResultDefsExist) CreateResultSetIndexes();
    const TSelectFields& columns = FSelectAnalyser.GetSelectFields();
    const bool aggregates = columns.ContainsAggregateColumns();
    bool isUnion = false;
    for (const TZanQueryProviderItem* c : FChildren)
        if (c->FUnionPart) isUnion = true;
    FResultIsLive = FRequestLive && !aggregates && FEngine->GetGroupByItems().Count() == 0 &&
                    !FSelectAnalyser.GetIsDistinct() && !isUnion &&
                    dynamic_cast<TZanNonJoinDataProvider*>(st.Mgr.GetRootProvider()) != nullptr;
    if (FResultIsLive && !FResultDefsExist) {
        ds.GetFieldDefs().Add("__RecAddr", ftInteger, 0, false);
        ds.GetFieldDefs().Add("__RecModFlag", ftInteger, 0, false);
        // A freed record slot is reused with the same stamp; the logical number tells them apart.
        ds.GetFieldDefs().Add("__RecLogicalNo", ftInteger, 0, false);
    }
    if (!FResultDefsExist && ds.GetOrdersKeyTies())
        ds.GetFieldDefs().Add(ds.GetSortTieField(), ftInteger, 0, false);
    if (!FResultDefsExist)
        for (const std::string& name : ds.GetKeyHashFields())
            ds.GetFieldDefs().Add(name, ftInteger, 0, false);
    ds.SetCreateLiveResult(FResultIsLive);
    ds.PrepareEmptyResultSet(FResultDefsExist);
    const bool grouped = FEngine->GetGroupByItems().Count() > 0;
    // An EXISTS run per outer row stops at its first row.
    ds.SetMaxRecords(FExistsOnly && !aggregates && !grouped && !isUnion
                         ? 1
                         : GetProvider().GetMaxRecords());
    FResultDefsExist = true;
    if (FCreateDefsOnly) return true;
    // GROUP BY without aggregates still makes one row per group.
    if (aggregates || grouped) {
        ds.PopulateAggregateResultSet(FResultFields, grouped, FEngine->GetHavingParser().GetRootNode(),
                                      whereEvaluated);
    } else {
        ds.PopulateResultSet(FResultFields, FSelectAnalyser.GetIsDistinct());
    }
    if (isUnion) {
        if (!ProcessUnionResultSets()) return false;
    } else if (FResultIsLive) {
        ds.SetReadOnlyResultFields(FResultFields);
    }
    ds.OrderKeyTies();
    return true;
}

bool TZanQueryProviderItem::ProcessUnionResultSets() {
    TZanQueryDataset& ds = *FResultSet;
    // Left-associative: a distinct member makes everything before it distinct too. Rows added
    // by a distinct member are probed against "idxdistinct", so the result stays free of
    // duplicates until an ALL member adds rows unchecked: only then is a sweep needed.
    bool distinctSoFar = FSelectAnalyser.GetIsDistinct() && FEngine->GetGroupByItems().Count() == 0 &&
                         !FSelectAnalyser.GetSelectFields().ContainsAggregateColumns();
    for (TZanQueryProviderItem* part : FChildren) {
        if (!part->FUnionPart) continue;
        bool ok = false;
        try {
            ok = part->PreparePlan() && part->CreateResultSet();
        } catch (const EZanDatabaseError&) {
            AddError("Union result set could not be created");
            throw;
        }
        if (!ok) {
            AddError("Union result set could not be created");
            return false;
        }
        {
            TZanQueryDataset& rows = part->GetResultSet();
            rows.Open();
            TScopeExit close([&] { rows.Close(); });
            if (!part->FUnionAll && !distinctSoFar) ds.RemoveDuplicates("idxdistinct");
            ds.InsertDataFromDataset(FResultFields, rows, false, !part->FUnionAll, false);
            distinctSoFar = !part->FUnionAll;
        }
        // The member's rows are merged: its table goes now, so a long chain holds two result
        // tables at a time, not one per member (the database's table count is limited).
        part->DeleteResultTable();
    }
    ds.SetRowsAffected(ds.GetTotalRecordCount());
    return true;
}

bool TZanQueryProviderItem::CreateResultList(std::vector<uint32_t>& list) {
    TZanQueryPlanState& st = *FPlan;
    if (!PreparePlan()) return false;
    st.Mgr.OpenProviders();
    st.Opened = true;
    st.Mgr.SetDBStringCompare(GetProvider().GetDBStringCompare());
    if (st.Where.GetRootNode())
        st.Mgr.PrepareJoinExprEvaluator(st.Where.GetRootNode(), GetProvider().GetInstant());
    FResultSet->SetProviderMgr(&st.Mgr);
    FResultSet->PopulateResultSetAddrList(list);
    return true;
}

void TZanQueryProviderItem::SetLiveResultBridge(TZanDatasetBridge* bridge) {
    auto* single = dynamic_cast<TZanNonJoinDataProvider*>(FPlan->Mgr.GetRootProvider());
    if (!FResultIsLive || !single || !bridge) return;
    const TTableNameItem* t = FEngine->GetTableList().Items(0);
    bridge->Close();
    bridge->SetDataBase(GetProvider().GetDatabase());
    bridge->SetTableName(t->GetTableName());
    bridge->SetMemory(t->GetMemory());
    bridge->Open();
}

bool TZanQueryProviderItem::ExecUpdate() {
    TZanUpdateParser& p = FEngine->GetUpdateParser();
    TZanUpdateRowConstructor& set = p.GetSetList();
    if (TParams* params = GetProvider().GetParams()) set.BindParams(*params);
    OpenTargetCursor();
    TZanQueryDataset& target = *FResultSet;
    TScopeExit close([&] { target.DataSetClose(); });
    std::vector<uint32_t> list;
    const bool hasWhere = p.GetHasWhereClause();
    if (hasWhere) {
        TZanQueryProviderItem* where = nullptr;
        for (TZanQueryProviderItem* c : FChildren)
            if (c->FWhereOnly) where = c;
        ZanAssert(where != nullptr, "Parser engine table count is incorrect");
        if (!where->CreateResultList(list)) return false;
    }
    // The SET values read the old row through a provider of their own on the target table.
    const TTableNameItem* t = FEngine->GetTableList().Items(0);
    TZanJoinDataProviderMgr mgr;
    mgr.SetDatabase(GetProvider().GetDatabase());
    TZanNonJoinDataProvider* source = mgr.GetNonJoinProvider(t->GetTableName(), "", t->GetMemory());
    mgr.SetRootProvider(source);
    mgr.SetDBStringCompare(GetProvider().GetDBStringCompare());
    mgr.OpenProviders();
    TScopeExit closeSource([&] { mgr.CloseProviders(); });
    // Its read lock is held from the first row to the last, as the target's write lock is: each
    // row's old values are then read without taking the lock and reading the table header again.
    TZanDatasetBridge* bridge = source->GetBridge();
    const bool readLock = bridge && bridge->GetInternalActive() && !bridge->GetReadLocked();
    if (readLock) bridge->ReadLockTable();
    TScopeExit unlockSource([&] {
        if (readLock) bridge->UnlockTable();
    });
    FUpdateRowSource = source;
    TScopeExit forget([&] { FUpdateRowSource = nullptr; });
    target.SetInstant(GetProvider().GetInstant());
    target.UpdateData(!hasWhere, list, set, source);
    return true;
}

} // namespace zan
