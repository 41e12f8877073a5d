// The read side of the result-set dataset: rows produced by the provider manager, grouped and
// aggregated, filtered by HAVING.
#include "engine/query/zanQueryDataset.h"

#include <cmath>
#include <functional>

#include "engine/query/zanJoinDataProviderUnit.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

bool IsAggregateNode(const TZanExprNode* n) {
    return n && n->Kind == enkFunc && n->ParserToken.Token == zstAggFunc;
}

// The aggregate nodes of a tree, left to right (Node: TZanExprNode, const or not).
template <typename Node>
void CollectAggregates(Node* n, std::vector<Node*>& out) {
    if (!n) return;
    if (IsAggregateNode(n)) {
        out.push_back(n);
        return;
    }
    CollectAggregates<Node>(n->Left, out);
    CollectAggregates<Node>(n->Right, out);
    for (Node* a : n->Args)
        CollectAggregates<Node>(a, out);
}

void MakeConstant(TZanExprNode* n, const Variant& value) {
    n->Kind = enkConst;
    n->Operator = zeoCONST2;
    n->Data = value;
    n->Args.clear();
    n->Left = n->Right = nullptr;
}

// One aggregate of the select list: its column, node, and an evaluator of its argument.
struct TAggSlot {
    int Column = -1;
    const TZanExprNode* Node = nullptr;
    TZanSQLAggFunc Func = zafUnknown;
    bool Distinct = false;
    TFieldType ArgType = ftUnknown;
    std::unique_ptr<TExprEvaluator> Arg; // none for COUNT(*)
};

// Fills the result table row after row: its write lock is held throughout, and added rows
// are not positioned on (the population finds rows by address and key itself).
class TResultAppend {
public:
    explicit TResultAppend(TZanQueryDataset& table)
        : FTable(table), FRelease([this] {
              FTable.SetAppendOnly(false);
              FTable.UnlockTable();
          }) {
        FTable.LockTable();
        FTable.SetAppendOnly(true);
    }

private:
    TZanQueryDataset& FTable;
    TScopeExit<std::function<void()>> FRelease;
};

} // namespace

void TZanQueryDataset::FillRow(TResultSetFields& fields, bool skipAggregates) {
    ClearRecord();
    InitializeNewRecord(GetRecBuf(), false);
    for (int i = 0; i < fields.Count(); ++i) {
        TResultSetField* f = fields.Items(i);
        if (skipAggregates && f->SelectFieldItem && f->SelectFieldItem->HasAggregateFunction)
            continue;
        WriteValue(i, f->GetValue());
    }
}

void TZanQueryDataset::PopulateResultSet(TResultSetFields& fields, bool distinct) {
    static const char* const context = "TZanQueryDataset.PopulateResultSet";
    ZanAssert(FProviderMgr != nullptr, "Result set is not assigned");
    EnsureOpen();
    TZanNonJoinDataProvider* single = nullptr;
    if (FCreateLiveResult) {
        single = dynamic_cast<TZanNonJoinDataProvider*>(FProviderMgr->GetRootProvider());
        ZanAssert(single != nullptr, "CreateLiveResult request is invalid");
    }
    const int visible = fields.Count();
    int32_t added = 0;
    TZanHeldReadLocks held(FProviderMgr->GetBridges());
    TResultAppend append(*this);
    for (bool more = FProviderMgr->FirstProviderRecord(); more;) {
        FillRow(fields, false);
        if (single) {
            TZanDatasetBridge* bridge = single->GetBridge();
            DataSetSetFieldDataToRecBufAsVariant(GetRecBuf(), visible,
                                                 Variant(int32_t(bridge->GetRecAddr())));
            DataSetSetFieldDataToRecBufAsVariant(GetRecBuf(), visible + 1,
                                                 Variant(int32_t(bridge->GetRecModFlag())));
            DataSetSetFieldDataToRecBufAsVariant(GetRecBuf(), visible + 2,
                                                 Variant(int32_t(bridge->GetRecLogicalNo())));
        }
        if (!distinct || KeyAddress("idxdistinct") == 0) {
            StampKeyHashes();
            AddRecord(false);
            ++added;
        }
        // At the limit no further row is read.
        if (FMaxRecords > 0 && added >= FMaxRecords) break;
        more = FProviderMgr->NextProviderRecord();
    }
    (void)context;
    FRowsAffected = GetTotalRecordCount();
}

void TZanQueryDataset::PopulateResultSetAddrList(std::vector<uint32_t>& list) {
    ZanAssert(FProviderMgr != nullptr, "Result set is not assigned");
    auto* single = dynamic_cast<TZanNonJoinDataProvider*>(FProviderMgr->GetRootProvider());
    ZanAssert(single != nullptr, "RootProvider type is incorrect");
    list.clear();
    TZanHeldReadLocks held(FProviderMgr->GetBridges());
    for (bool more = FProviderMgr->FirstProviderRecord(); more;
         more = FProviderMgr->NextProviderRecord())
        list.push_back(single->GetBridge()->GetRecAddr());
}

void TZanQueryDataset::PopulateAggregateResultSet(TResultSetFields& fields, bool grouped,
                                                  TZanExprNode* having, bool whereEvaluated) {
    static const char* const context = "TZanQueryDataset.PopulateAggregateResultSet";
    ZanAssert(FProviderMgr != nullptr, "Result set is not assigned");
    EnsureOpen();
    DataSetEmptyTable();
    TZanBaseJoinDataProvider* root = FProviderMgr->GetRootProvider();
    // COUNT(*) alone over one table without a WHERE: the table's count.
    if (!grouped && !having && fields.Count() == 1 && !whereEvaluated) {
        const TSelectFieldItem* s = fields.Items(0)->SelectFieldItem;
        auto* single = dynamic_cast<TZanNonJoinDataProvider*>(root);
        if (s && single && s->ExprRoot && IsAggregateNode(s->ExprRoot) &&
            s->AggFunc == zafCount && s->ExprRoot->Args.empty() && !s->DistinctQuantifier) {
            PopulateSimpleCountResultSet(single->GetRecordCount());
            return;
        }
    }
    const TZanCompareFunc compare = GetDBStringCompare();
    std::vector<TAggSlot> slots;
    for (int i = 0; i < fields.Count(); ++i) {
        const TSelectFieldItem* s = fields.Items(i)->SelectFieldItem;
        if (!s || !s->HasAggregateFunction) continue;
        std::vector<const TZanExprNode*> nodes;
        CollectAggregates(s->ExprRoot, nodes);
        for (const TZanExprNode* n : nodes) {
            TAggSlot slot;
            slot.Column = i;
            slot.Node = n;
            slot.Func = static_cast<TZanSQLAggFunc>(n->ParserToken.CustomOrdinal);
            slot.Distinct = n->Data.Type() == varBoolean && n->Data.AsBoolean();
            if (!n->Args.empty()) {
                slot.ArgType = n->Args[0]->DataType;
                slot.Arg = std::make_unique<TExprEvaluator>();
                slot.Arg->SetDBStringCompare(compare);
                slot.Arg->Prepare(root, n->Args[0], FInstant);
            }
            slots.push_back(std::move(slot));
        }
    }
    TFuncResultList results;
    auto addHolder = [&](uint32_t address) {
        TFuncResultHolder& h = results.Add(address);
        for (size_t k = 0; k < slots.size(); ++k) {
            TFuncResultItem* item = h.Add();
            item->FieldNo = slots[k].Column;
            item->AggNode = slots[k].Node;
            item->AggFunc = slots[k].Func;
            item->Distinct = slots[k].Distinct;
            item->ValueType = slots[k].ArgType;
            if (item->Distinct) h.SetDatabase(&results.GetDistinctDatabase(GetSortOrder()));
        }
        return &h;
    };
    std::vector<TFuncResultHolder*> order;
    TZanHeldReadLocks held(FProviderMgr->GetBridges());
    TResultAppend append(*this);
    if (!grouped) {
        FillRow(fields, true);
        StampKeyHashes();
        AddRecord(false);
        order.push_back(addHolder(ExtraAddress(GetRecBuf())));
    }
    int32_t groups = 0;
    for (bool more = FProviderMgr->FirstProviderRecord(); more;) {
        TFuncResultHolder* holder = order.empty() ? nullptr : order.front();
        if (grouped) {
            FillRow(fields, true);
            uint32_t address = KeyAddress("idxgroupby");
            if (address == 0) {
                AddRecord(false);
                address = ExtraAddress(GetRecBuf());
                holder = addHolder(address);
                order.push_back(holder);
                ++groups;
            } else {
                holder = results.Find(address);
                ZanAssert(holder != nullptr, "FindFuncResultItem failed");
            }
        }
        for (size_t k = 0; k < slots.size(); ++k) {
            TFuncResultItem* item = holder->Items(int(k));
            if (!slots[k].Arg) {
                item->CountRow();
                continue;
            }
            Variant value;
            slots[k].Arg->EvaluateValueExpr(value);
            item->SetNewValue(value, compare);
        }
        more = FProviderMgr->NextProviderRecord();
        if (more && grouped && FMaxRecords > 0 && groups > FMaxRecords)
            ZanDatabaseErrorFmt(9645, context, "Result set limit of %d has been exceeded",
                                {FMaxRecords});
    }
    // HAVING over one row: its aggregates are those of the select list (COUNT(*) included),
    // its names the result columns.
    TZanExprDataProvider none;
    std::function<void(TZanExprNode*, const std::vector<Variant>&)> bindHaving =
        [&](TZanExprNode* n, const std::vector<Variant>& values) {
            if (!n) return;
            if (IsAggregateNode(n)) {
                size_t k = 0;
                while (k < slots.size() && !slots[k].Node->AreNodesEquivalent(n))
                    ++k;
                if (k == slots.size())
                    ZanDatabaseError(9645, context,
                                     "aggregate in HAVING must appear in the select list");
                MakeConstant(n, values[k]);
                return;
            }
            if (n->Kind == enkField) {
                const std::string name = n->Data.AsString();
                // A qualified name means its table's column, also when another table's column
                // of the same name comes first.
                const bool qualified =
                    !n->TokenArgs.empty() && n->TokenArgs[0]->Token == zstTableName;
                TResultSetField* f =
                    fields.FindReferencedField(qualified ? n->TokenArgs[0]->Text : "", name);
                const size_t dot = name.rfind('.');
                if (!f && dot != std::string::npos)
                    f = fields.FindResultSetField(name.substr(dot + 1));
                if (!f)
                    ZanDatabaseErrorFmt(9645, context, "Column name in having clause not found: %s",
                                        {name});
                MakeConstant(n, DataSetGetFieldDataFromRecBufAsVariant(GetRecBuf(), f->GetIndex()));
                return;
            }
            bindHaving(n->Left, values);
            bindHaving(n->Right, values);
            for (TZanExprNode* a : n->Args)
                bindHaving(a, values);
        };
    auto havingPasses = [&](const std::vector<Variant>& values) {
        TZanExpr copy;
        copy.CloneFromTree(having);
        bindHaving(copy.GetRootNode(), values);
        TExprEvaluator e;
        e.SetDBStringCompare(compare);
        e.SetExcludeRelopNulls(true);
        e.Prepare(&none, copy.GetRootNode(), FInstant);
        return e.Evaluate();
    };
    // Every row gets its aggregates' results; HAVING removes the rows that fail.
    FHavingRow = having != nullptr;
    TScopeExit leave([&] { FHavingRow = false; });
    for (TFuncResultHolder* holder : order) {
        SetToRecord(holder->GetRecAddr(), nullptr, false, false);
        std::vector<Variant> results(slots.size());
        for (size_t k = 0; k < slots.size(); ++k)
            results[k] = holder->Items(int(k))->GetResult(compare);
        for (int i = 0; i < fields.Count(); ++i) {
            const TSelectFieldItem* s = fields.Items(i)->SelectFieldItem;
            if (!s || !s->HasAggregateFunction) continue;
            size_t first = 0;
            while (first < slots.size() && slots[first].Column != i)
                ++first;
            Variant value;
            if (s->ExprRoot == slots[first].Node) {
                value = results[first];
            } else {
                // An expression around aggregates: each aggregate becomes its result.
                TZanExpr copy;
                copy.CloneFromTree(s->ExprRoot);
                std::vector<TZanExprNode*> nodes;
                CollectAggregates(copy.GetRootNode(), nodes);
                for (size_t k = 0; k < nodes.size(); ++k)
                    MakeConstant(nodes[k], results[first + k]);
                TExprEvaluator e;
                e.SetDBStringCompare(compare);
                e.Prepare(&none, copy.GetRootNode(), FInstant);
                ZanAssert(e.IsPrepared(), "AggFunc final evaluator is not prepared");
                e.EvaluateValueExpr(value);
            }
            WriteValue(i, value);
        }
        StampKeyHashes();
        UpdateRecord();
        if (having && !havingPasses(results)) {
            SetToRecord(holder->GetRecAddr(), nullptr, false, false);
            DeleteRecord(nullptr);
        }
    }
    FRowsAffected = GetTotalRecordCount();
}

} // namespace zan
