// The SELECT side of the provider item: the plan (query analyser, planner, provider manager),
// the result set with its fields and indexes, UNION members, the address lists of DELETE and
// UPDATE, and the live bridge.
#include "engine/query/zanQueryProviderPlan.h"

#include <algorithm>
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

} // namespace

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

void TZanQueryProviderItem::ResolveOuterReferences(TZanExpr& expr) {
    for (TZanExprNode* n = expr.GetFirstNode(); n; n = n->Next) {
        if (n->Operator != zeoOUTERFIELD) continue;
        std::string table;
        TZanQueryProviderItem* owner = FParent;
        if (n->TableList.Count() > 0) {
            const TTableNameItem* t = n->TableList.Items(0);
            table = t->GetCorrelationName().empty() ? t->GetTableName() : t->GetCorrelationName();
            for (TZanQueryProviderItem* i = FParent; i; i = i->FParent)
                if (i->GetID() == t->GetCorrelatedSubqueryID()) owner = i;
        }
        Variant value = Null();
        if (owner) owner->GetFieldData(table, FieldPart(n->Data.AsString()), value);
        MakeConstant(n, value);
    }
}

bool TZanQueryProviderItem::PreparePlan() {
    ++FPlanCount;
    TZanQueryPlanState& st = *FPlan;
    TZanParserEngine& e = *FEngine;
    st.Where.Clear();
    if (TZanExprNode* where = e.GetWhereParser().GetRootNode()) {
        st.Where.CloneFromTree(where);
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
        // Cut: the tie field follows the keyed items (with the record number).
        key.Keyed = KeyedColumns(columns, 1, 2);
        addIndex("idxorderby", columns, std::move(key), C_SORT_TIE_FIELD, {});
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
            // Unique while it keys every grouped column; cut, it takes the record number.
            key.Keyed = KeyedColumns(columns, 0, 1);
            const bool whole = key.Whole();
            addIndex("idxgroupby", columns, std::move(key), {},
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
        key.Keyed = KeyedColumns(columns, 1, 1);
        addIndex("idxdistinct", columns, std::move(key), {}, {});
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
        ds.GetFieldDefs().Add(C_SORT_TIE_FIELD, ftInteger, 0, false);
    ds.SetCreateLiveResult(FResultIsLive);
    ds.PrepareEmptyResultSet(FResultDefsExist);
    ds.SetMaxRecords(GetProvider().GetMaxRecords());
    FResultDefsExist = true;
    if (FCreateDefsOnly) return true;
    const bool grouped = FEngine->GetGroupByItems().Count() > 0;
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
    FUpdateRowSource = source;
    TScopeExit forget([&] { FUpdateRowSource = nullptr; });
    target.SetInstant(GetProvider().GetInstant());
    target.UpdateData(!hasWhere, list, set, source);
    return true;
}

} // namespace zan
